// Test-only console program with one behaviour per mode word:
//
//   proc_child.exe @streams          "out1\n" to stdout, "err1\n" to stderr, "out2\n" to stdout
//   proc_child.exe @exit <code>      exits with <code> (decimal or 0x hex)
//   proc_child.exe @kib <n>          writes n KiB of a fixed pattern to stdout
//   proc_child.exe @grandchild <ms> [code] [own ms]
//                                    starts a copy of itself that inherits stdout and sleeps
//                                    <ms>, prints "grandchild <pid>\n", sleeps [own ms]
//                                    (default 0), prints "parent done\n", exits with code
//                                    (default 0)
//   proc_child.exe @sleep <ms>       sleeps, then exits 0
//   proc_child.exe @say-sleep <ms>   prints "waiting\n", sleeps, then prints "woke\n"
//   proc_child.exe @hold <file> <ms> opens <file> (created when missing) with no sharing,
//                                    keeps it open <ms>, exits 0
//   proc_child.exe @hold-read <file> <ms>  the same, reading, shared for reading only (as
//                                    a loaded library is): it can be read, not replaced
//   proc_child.exe anything else     records: appends its command line and argv (UTF-8)
//                                    to "<own path>.record.txt", then exits 0
//
// A record is "pid=<n>\ncmdline=<text>\nargc=<n>\nargv=<text>\n...end\n"; the file is
// shared by every copy started from the same path.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void writeOut(DWORD which, const char* text) {
    HANDLE h = GetStdHandle(which);
    DWORD written = 0;
    WriteFile(h, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    FlushFileBuffers(h);
}

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring ownPath() {
    wchar_t buf[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return buf;
}

int record() {
    std::wstring line = GetCommandLineW();
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
    std::string text = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    text += "cmdline=" + utf8(line) + "\n";
    text += "argc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) text += "argv=" + utf8(argv[i]) + "\n";
    text += "end\n";
    LocalFree(argv);
    std::wstring path = ownPath() + L".record.txt";
    // One write per record, so that copies appending at once never interleave.
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(f);
            return 0;
        }
        Sleep(20);
    }
    return 3;
}

unsigned long number(const wchar_t* text) { return wcstoul(text, nullptr, 0); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"@streams") {
        writeOut(STD_OUTPUT_HANDLE, "out1\n");
        writeOut(STD_ERROR_HANDLE, "err1\n");
        writeOut(STD_OUTPUT_HANDLE, "out2\n");
        return 0;
    }
    if (mode == L"@exit" && argc > 2) {
        ExitProcess(static_cast<UINT>(number(argv[2])));
    }
    if (mode == L"@kib" && argc > 2) {
        unsigned long n = number(argv[2]);
        std::string block(1024, '\0');
        for (unsigned long k = 0; k < n; ++k) {
            for (size_t i = 0; i < block.size(); ++i)
                block[i] = static_cast<char>((k * 1024 + i) * 7 % 251);
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), block.data(), 1024, &written, nullptr);
        }
        return 0;
    }
    if (mode == L"@sleep" && argc > 2) {
        Sleep(static_cast<DWORD>(number(argv[2])));
        return 0;
    }
    if (mode == L"@say-sleep" && argc > 2) {
        writeOut(STD_OUTPUT_HANDLE, "waiting\n");
        Sleep(static_cast<DWORD>(number(argv[2])));
        writeOut(STD_OUTPUT_HANDLE, "woke\n");
        return 0;
    }
    if (mode == L"@hold" && argc > 3) {
        HANDLE f = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 91;
        Sleep(static_cast<DWORD>(number(argv[3])));
        CloseHandle(f);
        return 0;
    }
    if (mode == L"@hold-read" && argc > 3) {
        HANDLE f = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (f == INVALID_HANDLE_VALUE) return 91;
        Sleep(static_cast<DWORD>(number(argv[3])));
        CloseHandle(f);
        return 0;
    }
    if (mode == L"@grandchild" && argc > 2) {
        std::wstring cmd = L"\"" + ownPath() + L"\" @sleep " + argv[2];
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            return 90;
        char line[64];
        snprintf(line, sizeof line, "grandchild %lu\n", static_cast<unsigned long>(pi.dwProcessId));
        writeOut(STD_OUTPUT_HANDLE, line);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        if (argc > 4) Sleep(static_cast<DWORD>(number(argv[4])));
        writeOut(STD_OUTPUT_HANDLE, "parent done\n");
        return argc > 3 ? static_cast<int>(number(argv[3])) : 0;
    }
    return record();
}
