// Test helpers of the child-process, service and single-instance tests: background
// fixture programs ended by their process, services deleted on scope exit, and the
// record files that proc_child, instance_probe and the helper stand-in write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace proctest {

inline std::wstring bin(const std::wstring& exe) { return tst::binDir() + L"\\" + exe; }

inline std::wstring inQuotes(const std::wstring& path) { return L"\"" + path + L"\""; }

inline std::wstring uniqueName(const std::wstring& tag) {
    static LONG counter = 0;
    return tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(InterlockedIncrement(&counter));
}

inline std::string narrowAscii(const std::wstring& w) { return std::string(w.begin(), w.end()); }

inline void endProcessById(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!h) return;
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) {
        TerminateProcess(h, 9);
        WaitForSingleObject(h, 5000);
    }
    CloseHandle(h);
}

// A program running in the background; ended by its process handle when the object goes.
class Background {
public:
    Background() = default;
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() { end(); }

    bool start(const std::wstring& commandLine, const std::vector<std::wstring>& extraEnv = {}) {
        end();
        std::vector<wchar_t> env = tst::environmentWith(extraEnv);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::vector<wchar_t> buf(commandLine.begin(), commandLine.end());
        buf.push_back(0);
        if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                            env.empty() ? nullptr : env.data(), nullptr, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
        return true;
    }
    // Waits for the program to end by itself; its exit code, or -1000 on time-out.
    long wait(DWORD ms) {
        if (!process_) return -1001;
        if (WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return -1000;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return static_cast<long>(code);
    }
    bool running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    void end() {
        if (!process_) return;
        if (running()) {
            TerminateProcess(process_, 9);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
        process_ = nullptr;
    }
    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

struct WindowSearch {
    DWORD pid;
    HWND found;
};

inline BOOL CALLBACK findWindowOfProcess(HWND w, LPARAM p) {
    WindowSearch* s = reinterpret_cast<WindowSearch*>(p);
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    wchar_t cls[256] = {};
    GetClassNameW(w, cls, 256);
    // The fixture's class, or one of its own that begins with it (--class).
    if (owner == s->pid && wcsncmp(cls, L"TarvoTestWindowFixture", 22) == 0) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

// The window fixture's window in a process, polled for up to waitMs.
inline HWND windowOf(DWORD pid, DWORD waitMs = 10000) {
    WindowSearch search = {pid, nullptr};
    DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(findWindowOfProcess, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start > waitMs) return search.found;
        Sleep(50);
    }
}

// The window fixture, started and waited for until its window exists.
class WindowFixture {
public:
    bool start(const std::wstring& args) {
        readyName_ = uniqueName(L"proc_ready");
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName_.c_str());
        bool ok = process_.start(inQuotes(bin(L"window_fixture.exe")) + L" --ready " + readyName_ +
                                 L" --limit 60000 " + args);
        if (ok) ok = WaitForSingleObject(ready, 15000) == WAIT_OBJECT_0;
        CloseHandle(ready);
        if (ok) window_ = windowOf(process_.pid());
        return ok && window_ != nullptr;
    }
    HWND window() const { return window_; }
    Background& process() { return process_; }

private:
    Background process_;
    std::wstring readyName_;
    HWND window_ = nullptr;
};

// A service created by a test: stopped (or its process ended) and deleted on scope exit.
class ServiceGuard {
public:
    explicit ServiceGuard(const std::wstring& name) : name_(name) {}
    ServiceGuard(const ServiceGuard&) = delete;
    ServiceGuard& operator=(const ServiceGuard&) = delete;
    ~ServiceGuard() { removeNow(); }

    const std::wstring& name() const { return name_; }

    SERVICE_STATUS_PROCESS status() const {
        SERVICE_STATUS_PROCESS s = {};
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!m) return s;
        SC_HANDLE h = OpenServiceW(m, name_.c_str(), SERVICE_QUERY_STATUS);
        if (h) {
            DWORD needed = 0;
            QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed);
            CloseServiceHandle(h);
        }
        CloseServiceHandle(m);
        return s;
    }
    bool exists() const {
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!m) return false;
        SC_HANDLE h = OpenServiceW(m, name_.c_str(), SERVICE_QUERY_STATUS);
        if (h) CloseServiceHandle(h);
        CloseServiceHandle(m);
        return h != nullptr;
    }
    // Waits until the service reports the state.
    bool waitFor(DWORD state, DWORD ms) const {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            if (status().dwCurrentState == state) return true;
            Sleep(50);
        }
        return status().dwCurrentState == state;
    }
    void removeNow() {
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!m) return;
        SC_HANDLE h = OpenServiceW(m, name_.c_str(), SERVICE_ALL_ACCESS);
        if (h) {
            SERVICE_STATUS_PROCESS s = status();
            if (s.dwCurrentState != SERVICE_STOPPED && s.dwCurrentState != 0) {
                SERVICE_STATUS plain;
                ControlService(h, SERVICE_CONTROL_STOP, &plain);
                if (!waitFor(SERVICE_STOPPED, 3000) && s.dwProcessId) endProcessById(s.dwProcessId);
                waitFor(SERVICE_STOPPED, 3000);
            }
            DeleteService(h);
            CloseServiceHandle(h);
        }
        CloseServiceHandle(m);
    }

private:
    std::wstring name_;
};

inline std::string readAll(const std::wstring& path) {
    std::string bytes;
    tst::readFile(path, bytes);
    return bytes;
}

// The records of proc_child / instance_probe: argv lists of every start.
struct StartRecord {
    unsigned long pid = 0;
    std::vector<std::wstring> argv;
    bool restarted() const { return !argv.empty() && argv.back() == L"/restart"; }
};

inline std::vector<StartRecord> parseRecords(const std::string& text) {
    std::vector<StartRecord> records;
    StartRecord current;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        if (nl == std::string::npos) break;  // incomplete line: still being written
        std::string line = text.substr(from, nl - from);
        from = nl + 1;
        if (line.compare(0, 4, "pid=") == 0) {
            current = StartRecord();
            current.pid = strtoul(line.c_str() + 4, nullptr, 10);
        } else if (line.compare(0, 5, "argv=") == 0) {
            current.argv.push_back(tst::widen(line.substr(5)));
        } else if (line == "end") {
            records.push_back(current);
        }
    }
    return records;
}

// Polls a file until pred(text) holds; false after waitMs.
template <typename Pred>
bool waitForFile(const std::wstring& path, Pred pred, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (pred(readAll(path))) return true;
        if (GetTickCount() - start > waitMs) return false;
        Sleep(50);
    }
}

}  // namespace proctest
