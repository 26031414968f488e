// Test-only console program: appends what it was started with to
// "<own path>.txt" and, when an argument is "sleep" followed by a number of
// milliseconds, sleeps that long before it exits 0. Copies under other names
// record beside themselves.
//
// A record is, in UTF-8, one line each:
//   pid=<n>  cmdline=<text>  argc=<n>  argv=<text> (argc times)  path=<PATH>  end
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring envPath() {
    DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (n == 0) return std::wstring();
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(L"PATH", &value[0], n);
    value.resize(n);
    return value;
}

}  // namespace

int wmain() {
    std::wstring line = GetCommandLineW();
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
    std::string text = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    text += "cmdline=" + utf8(line) + "\n";
    text += "argc=" + std::to_string(argc) + "\n";
    DWORD sleepMs = 0;
    for (int i = 0; i < argc; ++i) {
        text += "argv=" + utf8(argv ? argv[i] : L"") + "\n";
        if (argv && i + 1 < argc && std::wstring(argv[i]) == L"sleep") sleepMs = wcstoul(argv[i + 1], nullptr, 10);
    }
    if (argv) LocalFree(argv);
    text += "path=" + utf8(envPath()) + "\nend\n";

    wchar_t self[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring recordPath = std::wstring(self) + L".txt";
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE f = CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(f);
            break;
        }
        Sleep(20);
    }
    if (sleepMs) Sleep(sleepMs);
    return 0;
}
