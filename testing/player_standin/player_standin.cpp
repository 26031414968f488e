// Stand-in player. It appends its command line (UTF-8, one line) to the file
// named by TARVO_PLAYER_RECORD. By default it then exits 0; it accepts what the
// loader passes: "<path>" [--app-id <id>] --byloader.
//
// TARVO_PLAYER_MODE "run" plays a running player: a second start exits 0;
// otherwise it holds the player mutex, shows one marked window (hidden for
// " --headless"), takes the VM mutex of " --vmid "<name>"" after
// TARVO_PLAYER_VM_DELAY_MS, and stays until TARVO_PLAYER_LINGER_MS passed
// (default 30000), the file TARVO_PLAYER_STOP exists, or WM_CLOSE. "no-vm" never
// takes the VM mutex. TARVO_PLAYER_STATE names a file that gets "pid <n>",
// "vm-mutex <name>", "shown" and "exit" lines.
#include <windows.h>

#include <string>

#include "installer/engine_context.h"
#include "services/install_paths.h"
#include "services/single_instance.h"

namespace {

std::wstring env(const wchar_t* name) {
    wchar_t value[4096];
    DWORD n = GetEnvironmentVariableW(name, value, 4096);
    if (n == 0 || n >= 4096) return std::wstring();
    return std::wstring(value, n);
}

DWORD envNumber(const wchar_t* name, DWORD fallback) {
    const std::wstring text = env(name);
    return text.empty() ? fallback : (DWORD)wcstoul(text.c_str(), nullptr, 10);
}

std::string toUtf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

// Several starts may append to one file: append under a share lock.
void appendLine(const std::wstring& path, const std::string& line) {
    if (path.empty()) return;
    const std::string text = line + "\n";
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr);
            CloseHandle(f);
            return;
        }
        Sleep(20);
    }
}

std::wstring g_statePath;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SHOWWINDOW:
        if (wParam) appendLine(g_statePath, "shown");
        break;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The name after " --vmid " in double quotes; empty when there is none.
std::wstring vmidOf(const std::wstring& commandLine) {
    const std::wstring key = L" --vmid \"";
    const std::wstring::size_type at = commandLine.find(key);
    if (at == std::wstring::npos) return std::wstring();
    const std::wstring::size_type start = at + key.size();
    const std::wstring::size_type end = commandLine.find(L'"', start);
    return end == std::wstring::npos ? std::wstring() : commandLine.substr(start, end - start);
}

int runPlayer(const std::wstring& commandLine, bool takeVm) {
    g_statePath = env(L"TARVO_PLAYER_STATE");
    appendLine(g_statePath, "pid " + std::to_string(GetCurrentProcessId()));
    if (isPlayerRunning()) {
        appendLine(g_statePath, "exit");
        return 0;
    }
    NamedMutex player(getPlayerMutexName());

    WNDCLASSW wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TarvoPlayerStandIn";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"TarvoPlayer", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    player.markWindow(window);
    if (commandLine.find(L" --headless") == std::wstring::npos) ShowWindow(window, SW_SHOWNORMAL);

    const std::wstring vmid = takeVm ? vmidOf(commandLine) : std::wstring();
    const DWORD vmDelay = envNumber(L"TARVO_PLAYER_VM_DELAY_MS", 0);
    const DWORD linger = envNumber(L"TARVO_PLAYER_LINGER_MS", 30000);
    const std::wstring stopFile = env(L"TARVO_PLAYER_STOP");
    HANDLE vmMutex = nullptr;
    const DWORD t0 = GetTickCount();
    bool quit = false;
    while (!quit) {
        const DWORD spent = GetTickCount() - t0;
        if (spent >= linger) break;
        if (!stopFile.empty() && GetFileAttributesW(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        if (!vmid.empty() && !vmMutex && spent >= vmDelay) {
            const std::string name = getVmMutexName(vmid);
            vmMutex = CreateMutexA(nullptr, FALSE, name.c_str());
            appendLine(g_statePath, "vm-mutex " + name);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) quit = true;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (vmMutex) CloseHandle(vmMutex);
    if (IsWindow(window)) {
        player.unmarkWindow();
        DestroyWindow(window);
    }
    appendLine(g_statePath, "exit");
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring commandLine = GetCommandLineW();
    appendLine(env(L"TARVO_PLAYER_RECORD"), toUtf8(commandLine));
    const std::wstring mode = env(L"TARVO_PLAYER_MODE");
    if (mode == L"run") return runPlayer(commandLine, true);
    if (mode == L"no-vm") return runPlayer(commandLine, false);
    return 0;
}
