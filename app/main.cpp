// TarvoLoader.exe: the start-up road over the product's services.
#include <windows.h>

#include <string>

#include "app/product_services.h"
#include "app/startup.h"
#include "installer/installer_product_env.h"
#include "services/log.h"
#include "toolkit/log_sink.h"

#if defined(TARVO_CPU_SEAM)
#include <cstdlib>
#include <cstring>

#include "services/seams.h"
#include "services/system_checks.h"

namespace {

// Test build only (bin/seams): the processor a first install decides on, from
// TARVO_TEST_CPU "amd", "intel-vmx" or "intel-novmx". The product never has it.
void applyTestCpu() {
    const char* cpu = getenv("TARVO_TEST_CPU");
    if (!cpu || !*cpu) return;
    const std::string kind = cpu;
    const char* vendor = kind == "amd" ? "AuthenticAMD" : "GenuineIntel";
    const bool vmx = kind == "intel-vmx";
    CpuidLeaf0 leaf;
    leaf.maxLeaf = 1;
    // The vendor text is EBX, EDX, ECX in that order.
    std::memcpy(&leaf.ebx, vendor, 4);
    std::memcpy(&leaf.edx, vendor + 4, 4);
    std::memcpy(&leaf.ecx, vendor + 8, 4);
    const CpuFacts real = realCpuFacts();
    CpuFacts facts;
    facts.leaf0 = [leaf]() { return leaf; };
    facts.leaf1Ecx = [real, vmx]() { return vmx ? (real.leaf1Ecx() | (1u << 5)) : (real.leaf1Ecx() & ~(1u << 5)); };
    setCpuFactsForTests(facts);
}

}  // namespace
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ravel::log::setLineSink(&writeLogLine);
#if defined(TARVO_CPU_SEAM)
    applyTestCpu();
#endif
    // Static: the installer singleton, destroyed at exit, may still log.
    static v2::ProductInstallerEnv installerEnv;
    v2::setInstallerEnv(&installerEnv);
    static app::ProductStartupServices services;
    const int rc = app::runStartupRoad(GetCommandLineW(), services);
    logPrintf("loader exit %d", rc);
    return rc;
}
