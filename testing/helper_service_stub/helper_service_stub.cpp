// Test stand-in of the helper service "TarvoHelper.exe" (SERVICE_WIN32_OWN_PROCESS).
//
// On a user control 133 to 136 it reads <common app data>\tarvozhushou\<"%04x" of the
// code>.dat whole in text mode and deletes it, appends "<code> [<text>]\n" to its record
// file, and starts <its own folder>\<program of the code> followed by one blank and the
// text. SERVICE_CONTROL_STOP ends it; other codes are ignored.
//
// Options on its service command line:
//   --hold-mutex            holds the helper's running mark while it runs
//   --record <path>         record file (default "<own path>.record.txt")
//   --pending-hint <ms>     on a stop, report STOP_PENDING with this dwWaitHint ...
//   --pending-for <ms>      ... for this long, then stop
//   --never-stop            on a stop, stay in STOP_PENDING
//   --life <ms>             hard limit of its run (default 180000)
#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kHelperMutex[] = "Global\\helper-79620acd-4c47-3380-56d3-e4aedaa0499d";

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopEvent = nullptr;
CRITICAL_SECTION g_lock;

bool g_holdMutex = false;
bool g_neverStop = false;
DWORD g_pendingHint = 0;
DWORD g_pendingFor = 0;
DWORD g_life = 180000;
std::wstring g_recordPath;
bool g_stopRequested = false;

std::wstring ownPath() {
    wchar_t buf[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return buf;
}

std::wstring ownFolder() {
    std::wstring p = ownPath();
    size_t slash = p.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : p.substr(0, slash);
}

void report(DWORD state, DWORD hint) {
    EnterCriticalSection(&g_lock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwWaitHint = hint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        g_status.dwCheckPoint = 0;
    else
        ++g_status.dwCheckPoint;
    SetServiceStatus(g_statusHandle, &g_status);
    LeaveCriticalSection(&g_lock);
}

void appendRecord(const std::string& line) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = CreateFileW(g_recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(f);
            return;
        }
        Sleep(20);
    }
}

const wchar_t* programOf(DWORD code) {
    switch (code) {
        case 133: return L"TarvoPlayer.exe";
        case 134: return L"TarvoLoader.exe";
        case 135: return L"TarvoTips.exe";
        case 136: return L"TarvoHall.exe";
    }
    return nullptr;
}

void launchFor(DWORD code) {
    wchar_t common[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
    wchar_t name[16];
    swprintf(name, 16, L"%04x.dat", static_cast<unsigned>(code));
    std::wstring dataPath = std::wstring(common) + L"\\tarvozhushou\\" + name;

    std::string text;
    FILE* f = _wfopen(dataPath.c_str(), L"r");
    if (f) {
        char buf[1024];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
        DeleteFileW(dataPath.c_str());
    }
    appendRecord(std::to_string(code) + " [" + text + "]\n");

    std::wstring args;
    if (!text.empty()) {
        int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        args.assign(n, L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &args[0], n);
    }
    std::wstring program = ownFolder() + L"\\" + programOf(code);
    if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    std::wstring cmd = L"\"" + program + L"\" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, ownFolder().c_str(),
                       &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

DWORD WINAPI stopLater(void*) {
    Sleep(g_pendingFor);
    SetEvent(g_stopEvent);
    return 0;
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        if (g_stopRequested) return NO_ERROR;
        g_stopRequested = true;
        if (g_neverStop) {
            report(SERVICE_STOP_PENDING, g_pendingHint);
        } else if (g_pendingFor > 0) {
            report(SERVICE_STOP_PENDING, g_pendingHint);
            HANDLE t = CreateThread(nullptr, 0, stopLater, nullptr, 0, nullptr);
            if (t) CloseHandle(t); else SetEvent(g_stopEvent);
        } else {
            report(SERVICE_STOP_PENDING, 0);
            SetEvent(g_stopEvent);
        }
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control >= 133 && control <= 136) {
        launchFor(control);
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(L"", handler, nullptr);
    if (!g_statusHandle) return;
    report(SERVICE_START_PENDING, 3000);
    HANDLE mark = g_holdMutex ? CreateMutexA(nullptr, FALSE, kHelperMutex) : nullptr;
    report(SERVICE_RUNNING, 0);
    WaitForSingleObject(g_stopEvent, g_life);
    if (mark) CloseHandle(mark);
    report(SERVICE_STOPPED, 0);
}

void parseOptions() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == L"--hold-mutex") g_holdMutex = true;
        else if (a == L"--never-stop") g_neverStop = true;
        else if (a == L"--record" && hasValue) g_recordPath = argv[++i];
        else if (a == L"--pending-hint" && hasValue) g_pendingHint = wcstoul(argv[++i], nullptr, 10);
        else if (a == L"--pending-for" && hasValue) g_pendingFor = wcstoul(argv[++i], nullptr, 10);
        else if (a == L"--life" && hasValue) g_life = wcstoul(argv[++i], nullptr, 10);
    }
    if (argv) LocalFree(argv);
    if (g_recordPath.empty()) g_recordPath = ownPath() + L".record.txt";
}

}  // namespace

int wmain() {
    InitializeCriticalSection(&g_lock);
    parseOptions();
    g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t empty[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{empty, serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return 2;
    return 0;
}
