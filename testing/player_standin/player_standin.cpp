// Stand-in player: appends its command line (UTF-8, one line) to the file named
// by TARVO_PLAYER_RECORD and exits 0. It accepts what the loader passes:
// "<path>" [--app-id <id>] --byloader.
// With TARVO_PLAYER_STAY=<ms> it first stays that long as a running player does:
// it holds the player's mutex and its own file "TarvoPlayer.dat" beside it open.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

void stay(DWORD ms) {
    HANDLE mark = CreateMutexA(nullptr, FALSE, "player-814d5a85-4771-e112-ff1e-adaf77fa1351");
    wchar_t own[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH * 2);
    std::wstring data = own;
    const size_t slash = data.find_last_of(L'\\');
    data = (slash == std::wstring::npos ? std::wstring() : data.substr(0, slash + 1)) + L"TarvoPlayer.dat";
    HANDLE file = CreateFileW(data.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Sleep(ms);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (mark) CloseHandle(mark);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t stayMs[32];
    DWORD stayLength = GetEnvironmentVariableW(L"TARVO_PLAYER_STAY", stayMs, 32);
    if (stayLength > 0 && stayLength < 32) stay(wcstoul(stayMs, nullptr, 10));
    wchar_t path[4096];
    DWORD n = GetEnvironmentVariableW(L"TARVO_PLAYER_RECORD", path, 4096);
    if (n == 0 || n >= 4096) return 0;
    const wchar_t* line = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, line, -1, &text[0], size, nullptr, nullptr);
    text += "\n";
    // Several starts may record into one file: append under a share lock.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, text.data(), (DWORD)text.size(), &written, nullptr);
            CloseHandle(f);
            return 0;
        }
        Sleep(20);
    }
    return 0;
}
