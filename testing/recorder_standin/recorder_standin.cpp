// Stand-in for the product's sibling programs and the engines' tools: appends
// "<own file name> <arguments>" (UTF-8, one line; the arguments are the command
// line after the program's own token) to the file named by
// TARVO_STANDIN_RECORD, and exits with TARVO_STANDIN_EXIT (default 0).
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

std::wstring env(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

// The command line after its first token (quoted or not), without leading blanks.
std::wstring arguments(const wchar_t* line) {
    const wchar_t* p = line;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring exitText = env(L"TARVO_STANDIN_EXIT");
    const int exitCode = exitText.empty() ? 0 : (int)wcstol(exitText.c_str(), nullptr, 10);
    const std::wstring record = env(L"TARVO_STANDIN_RECORD");
    if (record.empty()) return exitCode;

    wchar_t self[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    const wchar_t* name = wcsrchr(self, L'\\');
    name = name ? name + 1 : self;
    const std::string line = utf8(std::wstring(name) + L" " + arguments(GetCommandLineW())) + "\n";
    // Several stand-ins may record into one file: append, retrying while another holds it.
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE f = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, line.data(), (DWORD)line.size(), &written, nullptr);
            CloseHandle(f);
            break;
        }
        Sleep(20);
    }
    return exitCode;
}
