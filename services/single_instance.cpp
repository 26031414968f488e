#include "services/single_instance.h"

#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

#include "services/helper_service.h"
#include "services/log.h"
#include "services/install_paths.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace {

const char kGlobalPrefix[] = "Global\\";
const DWORD kPollMs = 200;

std::wstring ownProgramPath() {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), n);
}

HWND findMarkedWindow(const std::string& name) {
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
        if (GetPropA(w, name.c_str())) return w;
    }
    return nullptr;
}

void bringWindowForward(const std::string& name, const std::wstring& windowClass) {
    HWND target = nullptr;
    if (!windowClass.empty()) target = FindWindowW(windowClass.c_str(), nullptr);
    if (!target) target = findMarkedWindow(name);
    if (!target) return;
    ShowWindow(target, IsIconic(target) ? SW_RESTORE : SW_SHOW);
    if (!(GetWindowLongPtrW(target, GWL_EXSTYLE) & WS_EX_TOPMOST)) {
        // Raised to the top and released again, so that it does not stay on top.
        SetWindowPos(target, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SetWindowPos(target, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
}

// Quoted so that CommandLineToArgvW gives the argument back unchanged.
std::wstring quoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& mutexName)
    : createError(0), name(mutexName), window(nullptr) {
    mutex.reset(CreateMutexA(nullptr, FALSE, name.c_str()));
    createError = static_cast<int32_t>(GetLastError());
}

NamedMutex::~NamedMutex() {
    unmarkWindow();
}

bool NamedMutex::isGlobal() const { return name.compare(0, 7, kGlobalPrefix) == 0; }

bool NamedMutex::alreadyExists() const {
    if (createError == ERROR_ALREADY_EXISTS) return true;
    // Held by a program that this one may not open (an elevated loader, the setup).
    if (createError == ERROR_ACCESS_DENIED) return true;
    return isGlobal() && createError != 0;
}

void NamedMutex::markWindow(HWND w) {
    if (!w || !IsWindow(w)) return;
    window = w;
    SetPropA(window, name.c_str(), reinterpret_cast<HANDLE>(1));
}

void NamedMutex::unmarkWindow() {
    if (window && IsWindow(window)) RemovePropA(window, name.c_str());
}

void NamedMutex::activateExisting() { bringWindowForward(name, windowClass); }

bool isMutexHeld(const std::string& name) {
    ScopedHandle h(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    if (h) return true;
    return GetLastError() == ERROR_ACCESS_DENIED;
}

bool isHelperRunning() { return isMutexHeld(getHelperMutexName()); }
bool isPlayerRunning() { return isMutexHeld(getPlayerMutexName()); }
bool isLoaderRunning() { return isMutexHeld(getLoaderMutexName()); }
bool isSetupRunning() { return isMutexHeld(getSetupMutexName()); }

bool hasRestartFlag(const std::wstring& commandLine) {
    return commandLine.find(L" /restart") != std::wstring::npos;
}

NamedMutexHolder waitForMutexFree(const std::string& name, uint32_t timeoutMs) {
    DWORD start = GetTickCount();
    NamedMutexHolder holder(new NamedMutex(name));
    while (holder->alreadyExists()) {
        holder.reset();
        Sleep(kPollMs);
        if (timeoutMs != INFINITE && GetTickCount() - start > timeoutMs) return NamedMutexHolder();
        holder.reset(new NamedMutex(name));
    }
    return holder;
}

bool restartThroughHelper(const std::wstring& programPath, const std::wstring& arguments) {
    if (!isHelperRunning()) return false;
    size_t slash = programPath.find_last_of(L"\\/");
    std::wstring file = toLowerCopy(slash == std::wstring::npos ? programPath : programPath.substr(slash + 1));
    uint32_t code;
    if (file == L"tarvoplayer.exe")
        code = LaunchPlayer;
    else if (file == L"tarvoloader.exe")
        code = LaunchLoader;
    else if (file == L"tarvotips.exe")
        code = LaunchTips;
    else if (file == L"tarvohall.exe")
        code = LaunchHall;
    else
        return false;
    return sendHelperControl(code, arguments);
}

bool isProcessElevated() {
#if defined(TARVO_ELEVATION_SEAM)
    // Test builds only: Wine runs every process elevated.
    const char* forced = getenv("TARVO_TEST_NOT_ELEVATED");
    if (forced && forced[0] == '1') return false;
#endif
    if (!isVistaOrLater()) return true;
    ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size);
    return ok && elevation.TokenIsElevated != 0;
}

bool shellExecuteRunas(const std::wstring& file, const std::wstring& parameters) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = 0;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) != FALSE;
}

bool relaunchElevated(const std::wstring& parameters) {
    return shellExecuteRunas(ownProgramPath(), parameters);
}

std::wstring buildRestartArguments(const std::wstring& commandLine) {
    std::wstring arguments;
    int argc = 0;
    LPWSTR* argv = commandLine.empty() ? nullptr : CommandLineToArgvW(commandLine.c_str(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        arguments += quoteArgument(argv[i]);
        arguments += L' ';
    }
    if (argv) LocalFree(argv);
    arguments += L"/restart";
    return arguments;
}

bool restartElevatedIfNeeded() {
    std::wstring commandLine = GetCommandLineW();
    if (hasRestartFlag(commandLine)) return false;  // this is the restarted copy
    std::wstring arguments = buildRestartArguments(commandLine);
    if (isProcessElevated()) return false;

    std::wstring self = ownProgramPath();
    bool sent = false;
    // The helper starts the copy in the user data folder: only that copy may
    // take this road.
    if (isHelperRunning() && _wcsicmp(self.c_str(), getLoaderExePath().c_str()) == 0) {
        sent = restartThroughHelper(self, arguments);
        logPrintf("restart elevated through the helper service: %s", sent ? "sent" : "failed");
    }
    if (!sent) {
        bool started = relaunchElevated(arguments);
        DWORD error = started ? 0 : GetLastError();
        logPrintf("restart elevated with runas: %s, error %lu", started ? "started" : "failed", error);
    }
    return true;
}

NamedMutexHolder acquireInstance(const std::string& name, bool bringForward) {
    bool restarted = hasRestartFlag(GetCommandLineW());
    // A second copy leaves before any restart: the first one is brought forward.
    if (!restarted && isMutexHeld(name)) {
        if (bringForward) bringWindowForward(name, std::wstring());
        return NamedMutexHolder();
    }
    if (restartElevatedIfNeeded()) return NamedMutexHolder();
    if (restarted) return waitForMutexFree(name, INFINITE);

    NamedMutexHolder holder(new NamedMutex(name));
    if (holder->alreadyExists()) {
        if (bringForward) holder->activateExisting();
        return NamedMutexHolder();
    }
    return holder;
}
