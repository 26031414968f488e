// The processor facts: CPUID leaves 0 and 1.
#include "services/system_checks.h"

#include <windows.h>
#include <intrin.h>  // __cpuid; <cpuid.h> must not join it in this unit

#include <cstring>

#include "toolkit/string_util.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif

namespace {

CpuidLeaf0 realLeaf0() {
    int regs[4] = {};
    __cpuid(regs, 0);
    CpuidLeaf0 r;
    r.maxLeaf = static_cast<uint32_t>(regs[0]);
    r.ebx = static_cast<uint32_t>(regs[1]);
    r.ecx = static_cast<uint32_t>(regs[2]);
    r.edx = static_cast<uint32_t>(regs[3]);
    return r;
}

uint32_t realLeaf1Ecx() {
    int regs[4] = {};
    __cpuid(regs, 1);
    return static_cast<uint32_t>(regs[2]);
}

#ifdef TARVO_TEST_SEAMS
CpuFacts g_cpuFacts;  // empty members: the instruction itself
CpuidLeaf0 leaf0() { return g_cpuFacts.leaf0 ? g_cpuFacts.leaf0() : realLeaf0(); }
uint32_t leaf1Ecx() { return g_cpuFacts.leaf1Ecx ? g_cpuFacts.leaf1Ecx() : realLeaf1Ecx(); }
#else
CpuidLeaf0 leaf0() { return realLeaf0(); }
uint32_t leaf1Ecx() { return realLeaf1Ecx(); }
#endif

const uint32_t kGenu = 0x756E6547u;  // "Genu", lowest byte first

}  // namespace

// ---- processor -------------------------------------------------------------------

bool isIntelProcessor() { return leaf0().ebx == kGenu; }

bool hasVmx() { return (leaf1Ecx() >> 5) & 1u; }

bool hasSSSE3() {
    if (leaf0().maxLeaf < 1) return false;
    return (leaf1Ecx() >> 9) & 1u;
}

std::wstring getCpuVendor() {
    CpuidLeaf0 r = leaf0();
    char vendor[12];
    std::memcpy(vendor, &r.ebx, 4);
    std::memcpy(vendor + 4, &r.edx, 4);
    std::memcpy(vendor + 8, &r.ecx, 4);
    // A text: it ends at a zero byte, should a processor report one.
    return ansiToWide(std::string(vendor, strnlen(vendor, sizeof(vendor))));
}

#ifdef TARVO_TEST_SEAMS
CpuFacts realCpuFacts() {
    CpuFacts facts;
    facts.leaf0 = realLeaf0;
    facts.leaf1Ecx = realLeaf1Ecx;
    return facts;
}

void setCpuFactsForTests(const CpuFacts& facts) { g_cpuFacts = facts; }
#endif
