// Stand-in player: appends its command line (UTF-8, one line) to the file named
// by TARVO_PLAYER_RECORD and exits 0. It accepts what the loader passes:
// "<path>" [--app-id <id>] --byloader.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
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
