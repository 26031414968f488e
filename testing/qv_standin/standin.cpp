#include "testing/qv_standin/standin.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

namespace qvs {

namespace {

Flavor g_flavor = {L"QV_STANDIN_DIR", L"qv-standin", L"Global\\qv-standin-record", nullptr, nullptr};
std::wstring g_program = L"standin";
std::wstring g_stateDir;
DWORD g_lifeMs = 600000;
DWORD g_startTick = 0;

class RecordMutex {
public:
    RecordMutex() : mutex_(CreateMutexW(nullptr, FALSE, g_flavor.recordMutex)) {
        if (mutex_) {
            DWORD r = WaitForSingleObject(mutex_, 5000);
            held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        }
    }
    ~RecordMutex() {
        if (!mutex_) return;
        if (held_) ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }

private:
    HANDLE mutex_;
    bool held_ = false;
};

void createFolders(const std::wstring& path) {
    if (path.empty() || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    std::wstring::size_type slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 2) createFolders(path.substr(0, slash));
    CreateDirectoryW(path.c_str(), nullptr);
}

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

DWORD WINAPI watchdog(LPVOID) {
    Sleep(g_lifeMs);
    record(L"life-end");
    ExitProcess(0);
    return 0;
}

std::wstring envValue(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring iniValue(const std::wstring& path, const std::wstring& section, const wchar_t* key) {
    wchar_t buffer[512] = {};
    GetPrivateProfileStringW(section.c_str(), key, L"", buffer, 512, path.c_str());
    return buffer;
}

SC_HANDLE openService(const wchar_t* name, DWORD access, SC_HANDLE& manager) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return nullptr;
    SC_HANDLE service = OpenServiceW(manager, name, access);
    if (!service) {
        CloseServiceHandle(manager);
        manager = nullptr;
    }
    return service;
}

bool waitState(SC_HANDLE service, DWORD wanted, DWORD waitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == wanted) return true;
        if (GetTickCount() - start > waitMs) return false;
        Sleep(50);
    }
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    return text;
}

}  // namespace

const wchar_t* const kEngineFiles[] = {L"TV-Service.exe",   L"TV-Frontend.exe",      L"TV-Quit.exe",
                                       L"TV-RunApp.exe",    L"TV-ApkHandler.exe",    L"TV-StartLauncher.exe",
                                       L"tvHdDrv.exe",      L"engine.ini"};
const size_t kEngineFileCount = sizeof(kEngineFiles) / sizeof(kEngineFiles[0]);

std::vector<std::wstring> splitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> out;
    const size_t n = line.size();
    size_t i = 0;
    std::wstring first;
    bool quoted = false;
    while (i < n) {
        const wchar_t c = line[i];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        } else {
            first += c;
        }
        ++i;
    }
    out.push_back(first);
    for (;;) {
        while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i >= n) break;
        std::wstring arg;
        quoted = false;
        while (i < n) {
            const wchar_t c = line[i];
            if (!quoted && (c == L' ' || c == L'\t')) break;
            if (c == L'\\') {
                size_t k = i;
                while (k < n && line[k] == L'\\') ++k;
                const size_t count = k - i;
                if (k < n && line[k] == L'"') {
                    if (quoted && (k + 1 >= n || line[k + 1] == L' ' || line[k + 1] == L'\t')) {
                        // "C:\dir\" : the folder's backslash stays, the quote closes.
                        arg.append(count, L'\\');
                        quoted = false;
                        i = k + 1;
                        continue;
                    }
                    arg.append(count / 2, L'\\');
                    if (count % 2) {
                        arg += L'"';
                        i = k + 1;
                    } else {
                        i = k;
                    }
                    continue;
                }
                arg.append(count, L'\\');
                i = k;
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        out.push_back(arg);
    }
    return out;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

std::wstring escapeControls(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c < 0x20) {
            wchar_t hex[8];
            _snwprintf(hex, 8, L"\\x%02X", (unsigned)c);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void removeTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found = {};
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") removeTree(path + L"\\" + name);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path.c_str());
    else
        DeleteFileW(path.c_str());
}

std::wstring ownFolder() {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    std::wstring path(buffer, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring stateDir() { return g_stateDir; }

DWORD lifeLeftMs() {
    DWORD used = GetTickCount() - g_startTick;
    return used >= g_lifeMs ? 0 : g_lifeMs - used;
}

void print(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(out, text.data(), (DWORD)text.size(), &written, nullptr);
}

void record(const std::wstring& event, const std::wstring& details) {
    recordFields(event, std::vector<std::wstring>{details});
}

void recordFields(const std::wstring& event, const std::vector<std::wstring>& fields) {
    if (g_stateDir.empty()) return;
    std::string details;
    for (size_t i = 0; i < fields.size(); ++i) details += (i ? "\t" : "") + utf8(escapeControls(fields[i]));
    const std::string line = utf8(g_program) + "\t" + std::to_string(GetCurrentProcessId()) + "\t" + utf8(event) +
                             "\t" + details + "\n";
    RecordMutex lock;
    HANDLE file = CreateFileW((g_stateDir + L"\\record.log").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(file);
}

void finish(int code) {
    record(L"exit", std::to_wstring(code));
    ExitProcess((UINT)code);
}

void badArgs(const char* usage) {
    record(L"bad-args");
    if (usage) print(std::string(usage) + "\n");
    finish(2);
}

void hangUntilLifeEnds() {
    record(L"hang");
    Sleep(lifeLeftMs());
    finish(0);
}

Start begin(const std::wstring& program) {
    g_startTick = GetTickCount();
    Start s;
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    std::wstring name(buffer, n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    if (lower(name).size() > 4 && lower(name).compare(name.size() - 4, 4, L".exe") == 0)
        name.resize(name.size() - 4);
    s.program = program.empty() ? name : program;

    std::vector<std::wstring> all = splitCommandLine(GetCommandLineW());
    for (size_t i = 1; i < all.size(); ++i) {
        if (all[i] == L"--standin-dir" && i + 1 < all.size()) {
            s.stateDir = all[++i];
        } else if (all[i] == L"--life" && i + 1 < all.size()) {
            s.lifeMs = wcstoul(all[++i].c_str(), nullptr, 10);
        } else {
            s.args.push_back(all[i]);
        }
    }
    if (s.stateDir.empty()) s.stateDir = defaultStateDir();
    if (g_flavor.lifeEnv && !envValue(g_flavor.lifeEnv).empty())
        s.lifeMs = wcstoul(envValue(g_flavor.lifeEnv).c_str(), nullptr, 10);
    while (s.stateDir.size() > 3 && (s.stateDir.back() == L'\\' || s.stateDir.back() == L'/')) s.stateDir.pop_back();
    createFolders(s.stateDir);
    g_program = s.program;
    g_stateDir = s.stateDir;
    g_lifeMs = s.lifeMs;
    std::vector<std::wstring> details{GetCommandLineW()};
    if (g_flavor.startEnv) details.push_back(std::wstring(g_flavor.startEnv) + L"=" + envValue(g_flavor.startEnv));
    recordFields(L"start", details);
    HANDLE thread = CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
    if (thread) CloseHandle(thread);
    return s;
}

void setFlavor(const Flavor& flavor) { g_flavor = flavor; }

std::wstring defaultStateDir() {
    std::wstring dir = envValue(g_flavor.dirEnv);
    if (dir.empty()) {
        std::wstring data = envValue(L"ProgramData");
        dir = (data.empty() ? std::wstring(L"C:\\ProgramData") : data) + L"\\" + g_flavor.dirName;
    }
    return dir;
}

void attach(const std::wstring& program) {
    g_program = program;
    g_stateDir = defaultStateDir();
    while (g_stateDir.size() > 3 && (g_stateDir.back() == L'\\' || g_stateDir.back() == L'/')) g_stateDir.pop_back();
    createFolders(g_stateDir);
}

void printGarbage() {
    std::string bytes(3000, '\0');
    unsigned seed = 12345;
    for (char& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = (char)(seed >> 16);
    }
    bytes[0] = '\0';
    bytes[1] = '\xff';
    bytes[2] = '\r';
    bytes[10] = '\n';
    bytes[2999] = '\r';
    print(bytes);
}

void readModes(Start& s, const std::wstring& section) {
    const std::wstring modes = s.stateDir + L"\\modes.ini";
    {
        RecordMutex lock;
        std::wstring mode = iniValue(modes, section, L"mode");
        const std::wstring times = iniValue(modes, section, L"times");
        if (!times.empty()) {
            long left = wcstol(times.c_str(), nullptr, 10);
            if (left > 0)
                WritePrivateProfileStringW(section.c_str(), L"times", std::to_wstring(left - 1).c_str(), modes.c_str());
            else
                mode.clear();
        }
        s.mode = mode.empty() ? L"ok" : mode;
        s.delayMs = wcstoul(iniValue(modes, section, L"delay_ms").c_str(), nullptr, 10);
        const std::wstring code = iniValue(modes, section, L"exit_code");
        s.exitCode = code.empty() ? 2 : (int)wcstol(code.c_str(), nullptr, 10);
        s.hresult = wcstoul(iniValue(modes, section, L"hresult").c_str(), nullptr, 0);
    }
}

void applyModes(Start& s, const std::wstring& section) {
    readModes(s, section);
    if (s.mode == L"exit") finish(s.exitCode);
    if (s.mode == L"crash") {
        record(L"crash");
        // No debugger (Wine starts one, which can hold the caller's pipes): the
        // process ends with the fault's code.
        SetUnhandledExceptionFilter(endWithExceptionCode);
        // Raised, not a write to address 0: Wine may have the zero page mapped.
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    if (s.mode == L"hang") hangUntilLifeEnds();
    if (s.mode == L"slow") Sleep(s.delayMs);
    if (s.mode == L"garbage") printGarbage();
}

bool startEngineProgram(const std::wstring& exe, const std::wstring& args) {
    std::wstring line = L"\"" + ownFolder() + exe + L"\" " + args + L" --standin-dir \"" + g_stateDir + L"\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

DWORD serviceState(const wchar_t* name) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = openService(name, SERVICE_QUERY_STATUS, manager);
    if (!service) return 0;
    SERVICE_STATUS status = {};
    DWORD state = QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return state;
}

bool startServiceAndWait(const wchar_t* name, DWORD waitMs) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = openService(name, SERVICE_START | SERVICE_QUERY_STATUS, manager);
    if (!service) return false;
    bool ok = StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    if (ok) ok = waitState(service, SERVICE_RUNNING, waitMs);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

bool stopServiceAndWait(const wchar_t* name, DWORD waitMs) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = openService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, manager);
    if (!service) return true;
    SERVICE_STATUS status = {};
    bool ok = true;
    if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        ok = waitState(service, SERVICE_STOPPED, waitMs);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

bool deleteService(const wchar_t* name) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = openService(name, DELETE, manager);
    if (!service) return true;
    bool ok = DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

std::wstring serviceBinaryPath(const std::wstring& folder, const std::wstring& exe) {
    return L"\"" + folder + exe + L"\" --service --standin-dir \"" + g_stateDir + L"\"";
}

DWORD createOrConfigureService(const wchar_t* name, const std::wstring& binaryPath) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError();
    DWORD error = 0;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (service) {
        if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                  binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
            error = GetLastError();
    } else {
        service = CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binaryPath.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
        if (!service) error = GetLastError();
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

std::vector<DWORD> processesIn(const std::wstring& folder, const wchar_t* exe) {
    std::vector<DWORD> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return pids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    const std::wstring wanted = lower(folder + exe);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lower(entry.szExeFile) != lower(exe)) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) && lower(std::wstring(image, size)) == wanted)
            pids.push_back(entry.th32ProcessID);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return pids;
}

void terminateProcesses(const std::vector<DWORD>& pids) {
    for (DWORD pid : pids) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (!process) continue;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

bool is64BitWindows() {
#if defined(_WIN64)
    return true;
#else
    BOOL wow = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow) && wow;
#endif
}

REGSAM registryView() { return is64BitWindows() ? KEY_WOW64_64KEY : 0; }

std::wstring readInstallDir(const wchar_t* keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | registryView(), &key) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[1025] = {};
    DWORD bytes = 1024 * sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(key, L"InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
    buffer[bytes / sizeof(wchar_t)] = 0;
    return buffer;
}

bool writeRegString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE | registryView(), nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             (DWORD)((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

void deleteRegKey(const wchar_t* keyPath) { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath, registryView(), 0); }

std::wstring engineVersion(const std::wstring& folder) {
    HANDLE file = CreateFileW((folder + L"engine.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::wstring();
    char buffer[1024] = {};
    DWORD got = 0;
    ReadFile(file, buffer, sizeof(buffer) - 1, &got, nullptr);
    CloseHandle(file);
    std::string text(buffer, got);
    std::string::size_type pos = text.find("version=");
    if (pos == std::string::npos) return std::wstring();
    std::string::size_type end = text.find_first_of("\r\n", pos);
    return widen(text.substr(pos + 8, end == std::string::npos ? std::string::npos : end - pos - 8));
}

}  // namespace qvs
