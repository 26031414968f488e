// Helpers of the environment tests (compiled into the test program only).
#include "services/env_test_util.h"

#include <shlwapi.h>

#include "testing/support/test_support.h"

namespace envtest {

RegValueBackup::RegValueBackup(HKEY root, const std::string& key, const std::string& value, REGSAM view)
    : root_(root), key_(key), value_(value), view_(view), existed_(false), type_(0) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_READ | view_, &h) != ERROR_SUCCESS) return;
    DWORD size = 0;
    if (RegQueryValueExA(h, value_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
        data_.resize(size);
        if (RegQueryValueExA(h, value_.c_str(), nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS) {
            data_.resize(size);
            existed_ = true;
        }
    }
    RegCloseKey(h);
}

RegValueBackup::~RegValueBackup() {
    if (!existed_) {
        removeNow();
        return;
    }
    HKEY h = nullptr;
    if (RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, &h, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(h, value_.c_str(), 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
        RegCloseKey(h);
    }
}

void RegValueBackup::removeNow() {
    HKEY h = nullptr;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_SET_VALUE | view_, &h) == ERROR_SUCCESS) {
        RegDeleteValueA(h, value_.c_str());
        RegCloseKey(h);
    }
}

std::wstring selfPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

bool insidePrefix(const std::wstring& path) {
    std::string prefix = tst::narrow(envVar(L"WINEPREFIX"));
    std::string unixName = tst::unixPath(path);
    if (prefix.empty() || unixName.empty()) return false;
    if (prefix.back() != '/') prefix += '/';
    return unixName.compare(0, prefix.size(), prefix) == 0;
}

std::wstring envVar(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

long runChild(const std::string& test, const std::vector<std::wstring>& env, const std::wstring& copyTo,
              const std::wstring& extraArgs) {
    std::wstring program = selfPath();
    if (!copyTo.empty()) {
        if (!CopyFileW(program.c_str(), copyTo.c_str(), FALSE)) return -2000;
        program = copyTo;
    }
    std::wstring command = L"\"" + program + L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
                           tst::widen(test);
    if (!extraArgs.empty()) command += L" " + extraArgs;
    return tst::runProgram(command, 60000, env);
}

}  // namespace envtest
