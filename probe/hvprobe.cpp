// hvprobe.dll: five questions about the machine. Whether VT-x is switched on can only
// be asked in kernel mode, so isVTOn installs a driver service for the one call.
#include <windows.h>
#include <shlwapi.h>
#include <intrin.h>
#include <stdio.h>

#include "probe/hvprobe.h"
#include "probe/hvprobe_rules.h"
#include "toolkit/scoped_handle.h"

static_assert(sizeof(MEMORYSTATUSEX) == 64, "MEMORYSTATUSEX record length");

namespace {

HMODULE g_module = nullptr;

const char kDevicePath[] = "\\\\.\\HvSense";

int lastError() { return static_cast<int>(GetLastError()); }

bool installDriverService(const char* name, const char* file) {
    char folder[MAX_PATH] = {0};
    GetModuleFileNameA(g_module, folder, MAX_PATH);
    PathRemoveFileSpecA(folder);
    char path[MAX_PATH] = {0};
    if (!PathCombineA(path, folder, file)) return false;

    ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager() Faild %d ! \n", lastError());
        return false;
    }
    ScopedServiceHandle service(CreateServiceA(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, path,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_SERVICE_EXISTS) {
            printf("CrateService() Faild Service is ERROR_IO_PENDING or ERROR_SERVICE_EXISTS! \n");
            service.reset(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
            if (!service) {
                printf("OpenService() Faild %d ! \n", lastError());
                return false;
            }
        } else {
            printf("CreateService() Faild %d ! \n", static_cast<int>(error));
            return false;
        }
    }

    bool started = false;
    if (StartServiceA(service.get(), 0, nullptr)) {
        started = true;
    } else {
        const DWORD error = GetLastError();
        switch (error) {
        case ERROR_IO_PENDING:
            printf("StartService() Faild ERROR_IO_PENDING ! \n");
            break;
        case ERROR_SERVICE_ALREADY_RUNNING:
            printf("StartService() Faild ERROR_SERVICE_ALREADY_RUNNING ! \n");
            started = true;
            break;
        case ERROR_ALREADY_EXISTS:
            started = true;
            break;
        default:
            printf("StartService() Faild %d ! \n", static_cast<int>(error));
            break;
        }
    }
    return started;
}

bool removeDriverService(const char* name) {
    ScopedServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        printf("OpenSCManager() Faild %d ! \n", lastError());
        return false;
    }
    ScopedServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) {
        printf("OpenService() Faild %d ! \n", lastError());
        return false;
    }
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        printf("ControlService() Faild %d !\n", lastError());
    if (!DeleteService(service.get()))
        printf("DeleteSrevice() Faild %d !\n", lastError());
    return true;
}

// Closes the device and removes the service on every way out of the query.
class ServiceCleanup {
public:
    explicit ServiceCleanup(const char* name) : name_(name) {}
    ~ServiceCleanup() {
        device.reset();  // closed before the driver is stopped and its service removed
        removeDriverService(name_);
    }
    ServiceCleanup(const ServiceCleanup&) = delete;
    ServiceCleanup& operator=(const ServiceCleanup&) = delete;
    ScopedHandle device;
private:
    const char* name_;
};

typedef void(WINAPI* GetNativeSystemInfoFn)(LPSYSTEM_INFO);

WORD nativeArchitecture() {
    SYSTEM_INFO info = {};
    HMODULE kernel = GetModuleHandleA("kernel32");
    GetNativeSystemInfoFn native =
        kernel ? reinterpret_cast<GetNativeSystemInfoFn>(
                     reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")))
               : nullptr;
    if (native) native(&info);
    else GetSystemInfo(&info);
    return info.wProcessorArchitecture;
}

int queryVT() {
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    unsigned char request32[hvprobe::kRequestSize32];
    unsigned char request64[hvprobe::kRequestSize64];
    hvprobe::buildRequest(request32, sizeof(request32), system.dwNumberOfProcessors);
    hvprobe::buildRequest(request64, sizeof(request64), system.dwNumberOfProcessors);

    const hvprobe::DriverChoice driver = hvprobe::driverFor(nativeArchitecture());
    unsigned char* request = driver.requestSize == hvprobe::kRequestSize64 ? request64 : request32;

    // A service left by an earlier run would point at another file or be stuck.
    removeDriverService(driver.service);

    ServiceCleanup cleanup(driver.service);
    if (!installDriverService(driver.service, driver.file)) return 0;

    cleanup.device.reset(CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!cleanup.device) return 0;

    DWORD returned = 0;
    if (!DeviceIoControl(cleanup.device.get(), hvprobe::kControlCode, request, driver.requestSize, request,
                         driver.requestSize, &returned, nullptr))
        return 0;
    return hvprobe::answerFrom(request[0]);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

extern "C" int __cdecl isIntelCPU(void) {
    int regs[4] = {0, 0, 0, 0};
    __cpuid(regs, 0);
    // EBX holds "Genu" with 'G' in the lowest byte.
    return static_cast<unsigned>(regs[1]) == 0x756E6547u ? 1 : 0;
}

extern "C" int __cdecl isSupportVT(void) {
    int regs[4] = {0, 0, 0, 0};
    __cpuid(regs, 1);
    return (static_cast<unsigned>(regs[2]) & (1u << 5)) ? 1 : 0;
}

extern "C" int __cdecl isVTOn(void) {
    // Nothing may cross the DLL boundary: any failure is a plain "no".
    try {
        return queryVT();
    } catch (...) {
        return 0;
    }
}

extern "C" int __cdecl getCPUCoreNum(void) {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

extern "C" int __cdecl getPhyMemSize(void) {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    GlobalMemoryStatusEx(&status);
    return hvprobe::memoryAnswer(status.ullTotalPhys);
}
