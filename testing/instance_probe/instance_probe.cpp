// Test-only program: a loader's single-instance step, seen from outside.
//
// It appends a record of its command line (as proc_child does) to "<own path>.record.txt",
// reads "<own path>.cfg" (lines "mutex=<name>", "bring=1", "hold=<ms>", and "vanish=1":
// first move its own file away, so that a "runas" start of it fails), calls
// acquireInstance(mutex, bring) and appends "result <pid> held" or "result <pid> empty".
// A held name is kept for hold ms. Exit code 0 when it got the holder, 1 when not.
// With TARVO_TEST_NOT_ELEVATED=1 in its environment it counts as not elevated.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "services/single_instance.h"

namespace {

std::wstring ownPath() {
    wchar_t buf[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    return buf;
}

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

void append(const std::string& text) {
    std::wstring path = ownPath() + L".record.txt";
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(f);
            return;
        }
        Sleep(20);
    }
}

}  // namespace

int wmain() {
    std::wstring line = GetCommandLineW();
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &argc);
    std::string pid = std::to_string(GetCurrentProcessId());
    std::string text = "pid=" + pid + "\ncmdline=" + utf8(line) + "\nargc=" + std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) text += "argv=" + utf8(argv[i]) + "\n";
    text += "end\n";
    LocalFree(argv);
    append(text);

    std::string mutex;
    bool bring = false;
    DWORD hold = 0;
    bool vanish = false;
    FILE* cfg = _wfopen((ownPath() + L".cfg").c_str(), L"r");
    if (cfg) {
        char buf[512];
        while (fgets(buf, sizeof buf, cfg)) {
            std::string l = buf;
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
            if (l.compare(0, 6, "mutex=") == 0) mutex = l.substr(6);
            else if (l == "bring=1") bring = true;
            else if (l.compare(0, 5, "hold=") == 0) hold = strtoul(l.c_str() + 5, nullptr, 10);
            else if (l == "vanish=1") vanish = true;
        }
        fclose(cfg);
    }
    if (mutex.empty()) return 3;
    // Its file moved away, a "runas" start of it fails.
    if (vanish && !MoveFileW(ownPath().c_str(), (ownPath() + L".gone").c_str())) return 4;

    NamedMutexHolder holder = acquireInstance(mutex, bring);
    append("result " + pid + (holder.get() ? " held\n" : " empty\n"));
    if (holder.get() && hold) Sleep(hold);
    return holder.get() ? 0 : 1;
}
