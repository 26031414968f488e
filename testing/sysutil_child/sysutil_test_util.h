// Helpers of the system-utility and install-path tests: copies of the
// recording child program, its records, and a private temporary folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace sysutiltest {

// One start of sysutil_child as it recorded it.
struct ChildRecord {
    DWORD pid = 0;
    std::wstring commandLine;
    std::vector<std::wstring> argv;
    std::wstring path;
};

// Copies sysutil_child.exe to `target`; false when the copy failed.
inline bool copyChild(const std::wstring& target) {
    return CopyFileW((tst::binDir() + L"\\sysutil_child.exe").c_str(), target.c_str(), FALSE) != FALSE;
}

// The records a copy at `program` left so far, in start order.
inline std::vector<ChildRecord> readRecords(const std::wstring& program) {
    std::vector<ChildRecord> out;
    std::string bytes;
    if (!tst::readFile(program + L".txt", bytes)) return out;
    ChildRecord current;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) break;
        std::string line = bytes.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq);
        std::wstring value = eq == std::string::npos ? std::wstring() : tst::widen(line.substr(eq + 1));
        if (key == "pid") current.pid = static_cast<DWORD>(std::stoul(line.substr(eq + 1)));
        else if (key == "cmdline") current.commandLine = value;
        else if (key == "argv") current.argv.push_back(value);
        else if (key == "path") current.path = value;
        else if (key == "end") {
            out.push_back(current);
            current = ChildRecord();
        }
    }
    return out;
}

// Waits (at most waitMs) until the copy at `program` has left `count` records.
inline std::vector<ChildRecord> waitForRecords(const std::wstring& program, size_t count, DWORD waitMs = 15000) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<ChildRecord> records = readRecords(program);
        if (records.size() >= count || GetTickCount() - start > waitMs) return records;
        Sleep(20);
    }
}

// Waits (at most waitMs) for a process to end; false when it still runs.
inline bool waitForExit(DWORD pid, DWORD waitMs = 15000) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return true;
    bool ended = WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Points TMP and TEMP (so GetTempPathW) at `folder` while alive.
class TempEnv {
public:
    explicit TempEnv(const std::wstring& folder) {
        save(L"TMP", tmp_, hadTmp_);
        save(L"TEMP", temp_, hadTemp_);
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ~TempEnv() {
        SetEnvironmentVariableW(L"TMP", hadTmp_ ? tmp_.c_str() : nullptr);
        SetEnvironmentVariableW(L"TEMP", hadTemp_ ? temp_.c_str() : nullptr);
    }
    TempEnv(const TempEnv&) = delete;
    TempEnv& operator=(const TempEnv&) = delete;

private:
    static void save(const wchar_t* name, std::wstring& value, bool& had) {
        wchar_t buffer[32768] = {};
        DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
        had = n > 0 && n < 32768;
        value.assign(buffer, had ? n : 0);
    }
    std::wstring tmp_, temp_;
    bool hadTmp_ = false, hadTemp_ = false;
};

// Names of the files in `folder` that match `pattern` ("RES*.tmp", ...).
inline std::vector<std::wstring> filesMatching(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) out.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return out;
}

}  // namespace sysutiltest
