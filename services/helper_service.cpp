#include "services/helper_service.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "services/loader_env.h"
#include "services/log.h"
#include "services/install_paths.h"
#include "toolkit/file_util.h"
#include "toolkit/string_util.h"

const wchar_t kPendingLaunchName[] = L"TarvoLoader_routines";

namespace {

class SystemServiceManager : public ServiceManagerApi {
public:
    BOOL queryStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
        return QueryServiceStatus(service, status);
    }
    BOOL enumDependents(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* buffer,
                        DWORD bufferSize, DWORD* bytesNeeded, DWORD* count) override {
        return EnumDependentServicesW(service, state, buffer, bufferSize, bytesNeeded, count);
    }
    SC_HANDLE openService(SC_HANDLE manager, const wchar_t* name, DWORD access) override {
        return OpenServiceW(manager, name, access);
    }
    BOOL control(SC_HANDLE service, DWORD code, SERVICE_STATUS* status) override {
        return ControlService(service, code, status);
    }
    BOOL closeHandle(SC_HANDLE handle) override { return CloseServiceHandle(handle); }
    void sleep(DWORD ms) override { Sleep(ms); }
    DWORD tickCount() override { return GetTickCount(); }
};

// One time budget for a whole stop, measured from the call's start.
class Budget {
public:
    Budget(ServiceManagerApi& api, DWORD limitMs)
        : api_(api), limit_(limitMs), start_(api.tickCount()) {}
    bool unlimited() const { return limit_ == INFINITE; }
    DWORD left() const {
        if (unlimited()) return INFINITE;
        DWORD spent = api_.tickCount() - start_;
        return spent >= limit_ ? 0 : limit_ - spent;
    }

private:
    ServiceManagerApi& api_;
    DWORD limit_;
    DWORD start_;
};

// A tenth of the service's own hint, within 100 to 1000 ms: a long hint must
// not overshoot the budget, a zero hint must not spin.
DWORD pauseFor(DWORD waitHint) {
    DWORD pause = waitHint / 10;
    if (pause < 100) pause = 100;
    if (pause > 1000) pause = 1000;
    return pause;
}

// Polls while the state is pending (or, for untilStopped, until it is
// stopped). 0, ERROR_TIMEOUT, or the error of a failed query.
DWORD waitState(ServiceManagerApi& api, SC_HANDLE service, SERVICE_STATUS& status,
                const Budget& budget, bool untilStopped) {
    for (;;) {
        bool waiting = untilStopped ? status.dwCurrentState != SERVICE_STOPPED
                                    : status.dwCurrentState == SERVICE_STOP_PENDING;
        if (!waiting) return 0;
        DWORD pause = pauseFor(status.dwWaitHint);
        if (!budget.unlimited()) {
            DWORD left = budget.left();
            if (left == 0) return ERROR_TIMEOUT;
            if (pause > left) pause = left;
        }
        api.sleep(pause);
        if (!api.queryStatus(service, &status)) return GetLastError();
    }
}

// Sends the stop code and waits until the service reports stopped. A service
// that stopped on its own meanwhile (1062) is no error.
DWORD stopOne(ServiceManagerApi& api, SC_HANDLE service, const Budget& budget) {
    SERVICE_STATUS status = {};
    if (!api.control(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) return error;
        if (!api.queryStatus(service, &status)) return GetLastError();
    }
    return waitState(api, service, status, budget, true);
}

DWORD stopDependents(ServiceManagerApi& api, SC_HANDLE manager, SC_HANDLE service,
                     const Budget& budget) {
    DWORD needed = 0;
    DWORD count = 0;
    if (api.enumDependents(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count)) return 0;
    DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) return error;

    ENUM_SERVICE_STATUSW* list = static_cast<ENUM_SERVICE_STATUSW*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (!list) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD result = 0;
    if (!api.enumDependents(service, SERVICE_ACTIVE, list, needed, &needed, &count)) {
        result = GetLastError();
    } else {
        for (DWORD i = 0; i < count && result == 0; ++i) {
            SC_HANDLE dependent = api.openService(manager, list[i].lpServiceName,
                                                  SERVICE_STOP | SERVICE_QUERY_STATUS);
            if (!dependent) {
                result = GetLastError();
                break;
            }
            result = stopOne(api, dependent, budget);
            api.closeHandle(dependent);
        }
    }
    HeapFree(GetProcessHeap(), 0, list);
    return result;
}

std::wstring dataFilePath(const std::wstring& name) {
    return getCommonDataFolder() + L"\\" + name + L".dat";
}

}  // namespace

ServiceManagerApi& systemServiceManager() {
    static SystemServiceManager manager;
    return manager;
}

bool ServiceControl::installAndStart(const std::wstring& name, const std::wstring& binaryPath,
                                     DWORD serviceType, DWORD startType) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        logPrintf("open service manager failed: %lu", GetLastError());
        return false;
    }
    // An unquoted path with a blank lets Windows try each prefix as a program.
    std::wstring path = binaryPath;
    if (path.find(L' ') != std::wstring::npos && path[0] != L'"') path = L"\"" + path + L"\"";

    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       serviceType, startType, SERVICE_ERROR_IGNORE, path.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_SERVICE_EXISTS)
            service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
        if (!service) logPrintf("create service %ls failed: %lu", name.c_str(), error);
    }
    bool started = false;
    if (service) {
        if (StartServiceW(service, 0, nullptr)) {
            started = true;
        } else {
            DWORD error = GetLastError();
            started = error == ERROR_SERVICE_ALREADY_RUNNING || error == ERROR_ALREADY_EXISTS;
            if (!started) logPrintf("start service %ls failed: %lu", name.c_str(), error);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return started;
}

bool ServiceControl::remove(const std::wstring& name, DWORD timeoutMs) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    bool removed = false;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service) {
        DWORD result = stop(manager, service, true, timeoutMs);
        if (result == 0)
            removed = DeleteService(service) != FALSE;
        else
            logPrintf("stop service %ls failed: %lu", name.c_str(), result);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return removed;
}

DWORD ServiceControl::stop(SC_HANDLE manager, SC_HANDLE service, bool stopDependentsToo,
                           DWORD timeoutMs) {
    return stop(manager, service, stopDependentsToo, timeoutMs, systemServiceManager());
}

DWORD ServiceControl::stop(SC_HANDLE manager, SC_HANDLE service, bool stopDependentsToo,
                           DWORD timeoutMs, ServiceManagerApi& api) {
    Budget budget(api, timeoutMs);
    SERVICE_STATUS status = {};
    if (!api.queryStatus(service, &status)) return GetLastError();
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;

    DWORD result = waitState(api, service, status, budget, false);
    if (result != 0) return result;
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;

    if (stopDependentsToo) {
        result = stopDependents(api, manager, service, budget);
        if (result != 0) return result;
    }
    return stopOne(api, service, budget);
}

void writeDataFile(const std::wstring& name, const std::string& bytes) {
    FILE* file = _wfopen(dataFilePath(name).c_str(), L"w");
    if (!file) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::string takeDataFile(const std::wstring& name) {
    // Only a read: after a removal the folder must not come back.
    std::wstring path = commonDataFolderPath() + L"\\" + name + L".dat";
    FILE* file = _wfopen(path.c_str(), L"r");
    if (!file) return std::string();
    // Text mode turns CR LF into LF: the byte count read is what counts.
    std::string text;
    char chunk[1024];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    fclose(file);
    deletePath(path, false).ignore();
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

bool sendHelperControl(uint32_t code, const std::wstring& payload) {
    wchar_t name[16];
    swprintf(name, 16, L"%04x", static_cast<unsigned>(code));
    writeDataFile(name, wideToAnsi(payload));

    bool delivered = false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        logPrintf("Open SCM failed with error %u", static_cast<unsigned>(GetLastError()));
    } else {
        SC_HANDLE service =
            OpenServiceW(manager, getHelperName().c_str(), SERVICE_USER_DEFINED_CONTROL);
        if (service) {
            SERVICE_STATUS status = {};
            if (ControlService(service, code, &status))
                delivered = true;
            else
                logPrintf("Control Service failed with error %u",
                          static_cast<unsigned>(GetLastError()));
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    if (!delivered) takeDataFile(name);
    return delivered;
}

bool killProcessesByName(const std::wstring& exeName) {
    std::vector<std::wstring> names;
    size_t from = 0;
    while (from <= exeName.size()) {
        size_t semi = exeName.find(L';', from);
        std::wstring piece = exeName.substr(from, semi == std::wstring::npos ? std::wstring::npos
                                                                                : semi - from);
        if (!piece.empty()) names.push_back(toLowerCopy(piece));
        if (semi == std::wstring::npos) break;
        from = semi + 1;
    }

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        std::wstring exe = toLowerCopy(entry.szExeFile);
        bool match = false;
        for (const std::wstring& n : names) match = match || n == exe;
        if (!match) continue;
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID);
        if (process) {
            logPrintf("stop k : %s", wideToAnsi(entry.szExeFile).c_str());
            TerminateProcess(process, 1);
            CloseHandle(process);
            Sleep(1000);
        }
        break;  // only the first match
    }
    CloseHandle(snapshot);
    return true;
}

void notifyApkInstalled(const std::wstring& appId) {
    uint32_t id = static_cast<uint32_t>(wcstoul(appId.c_str(), nullptr, 10));
    const wchar_t* titles[] = {L"Orvek壁纸", L"塔沃助手"};
    for (const wchar_t* title : titles) {
        bool delivered = false;
        // The loader's own dialog bears one of the titles: windows of this process are not receivers.
        HWND window = nullptr;
        DWORD owner = 0;
        do {
            window = FindWindowExW(nullptr, window, nullptr, title);
            owner = 0;
            if (window) GetWindowThreadProcessId(window, &owner);
        } while (window && owner == GetCurrentProcessId());
        if (window) {
            COPYDATASTRUCT data = {};
            data.dwData = id;
            data.cbData = sizeof(id);
            data.lpData = &id;
            DWORD_PTR answer = 0;
            // A hung receiver must not hold the installer thread.
            delivered = SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                            SMTO_ABORTIFHUNG, 5000, &answer) != 0;
        }
        if (!delivered) appendAppIdRecord(id);
    }
}

void appendAppIdRecord(uint32_t appId) {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData))) return;
    std::wstring folder = std::wstring(appData) + L"\\tarvozhushou";
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring path = folder + L"\\tvdata2.dat";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    char line[16];
    int length = snprintf(line, sizeof line, "%u\r\n", static_cast<unsigned>(appId));
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}
