// Test helpers for the loader environment and machine identifier tests: the
// adapter ini, the channel-number file and HKLM are shared by every test
// process of the prefix, so tests that change them hold one named mutex and
// put back what they found.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace envtest {

// Saves one registry value (or its absence) and restores it on destruction.
class RegValueBackup {
public:
    RegValueBackup(HKEY root, const std::string& key, const std::string& value, REGSAM view = 0);
    ~RegValueBackup();
    RegValueBackup(const RegValueBackup&) = delete;
    RegValueBackup& operator=(const RegValueBackup&) = delete;
    void removeNow();

private:
    HKEY root_;
    std::string key_, value_;
    REGSAM view_;
    bool existed_;
    DWORD type_;
    std::vector<BYTE> data_;
};

// Runs this test program again with the one (disabled) test `test`, the
// extra environment entries and extra arguments; returns its exit code. When
// `copyTo` is not empty, the program is first copied there and run from that
// copy.
long runChild(const std::string& test, const std::vector<std::wstring>& env,
              const std::wstring& copyTo = std::wstring(), const std::wstring& extraArgs = std::wstring());

std::wstring selfPath();
// True when the file's Unix path lies inside the Wine prefix.
bool insidePrefix(const std::wstring& path);
std::wstring envVar(const wchar_t* name);

}  // namespace envtest
