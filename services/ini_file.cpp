#include "services/ini_file.h"

#include <windows.h>

#include <vector>

#include "services/log.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace {

const DWORD kValueBuffer = 4096;

// A line break in a written text would start a new key or section.
std::wstring oneLine(std::wstring text) {
    for (wchar_t& c : text)
        if (c == L'\r' || c == L'\n') c = L' ';
    return text;
}

bool textAsBool(std::wstring text, bool defaultValue) {
    if (text.empty()) return defaultValue;
    toLowerInPlace(text);
    return !(text == L"0" || text == L"false");
}

}  // namespace

std::wstring IniFile::getString(const std::wstring& section, const std::wstring& key,
                                const std::wstring& defaultValue) const {
    // No path (its data folder is unknown): the platform would take a bare
    // name from the Windows folder.
    if (path.empty()) return defaultValue;
    std::vector<wchar_t> buffer(kValueBuffer, 0);
    DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), defaultValue.c_str(),
                                       buffer.data(), kValueBuffer, path.c_str());
    return std::wstring(buffer.data(), n < kValueBuffer ? n : kValueBuffer - 1);
}

void IniFile::setString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value) const {
    if (path.empty()) {
        logPrintf("no data folder");
        return;
    }
    // Never a null value: that would delete the key.
    WritePrivateProfileStringW(oneLine(section).c_str(), oneLine(key).c_str(),
                               oneLine(value).c_str(), path.c_str());
}

bool IniFile::getBool(const std::wstring& section, const std::wstring& key,
                      bool defaultValue) const {
    return textAsBool(getString(section, key, std::wstring()), defaultValue);
}

void IniFile::setBool(const std::wstring& section, const std::wstring& key, bool value) const {
    setString(section, key, value ? L"1" : L"0");
}

// The narrow operations go through the wide functions on the wide path, so a
// path outside the ANSI code page still works; the texts are converted with
// the thread's code page, which keeps the bytes in the file the same.

int IniFile::getIntA(const std::string& section, const std::string& key, int defaultValue) const {
    if (path.empty()) return defaultValue;
    return static_cast<int>(GetPrivateProfileIntW(ansiToWide(section).c_str(),
                                                  ansiToWide(key).c_str(), defaultValue,
                                                  path.c_str()));
}

std::string IniFile::getStringA(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
    return wideToAnsi(getString(ansiToWide(section), ansiToWide(key), ansiToWide(defaultValue)));
}

bool IniFile::getBoolA(const std::string& section, const std::string& key,
                       bool defaultValue) const {
    return textAsBool(getString(ansiToWide(section), ansiToWide(key), std::wstring()),
                      defaultValue);
}

void IniFile::setIntA(const std::string& section, const std::string& key, int value) const {
    setString(ansiToWide(section), ansiToWide(key), std::to_wstring(value));
}

void IniFile::setStringA(const std::string& section, const std::string& key,
                         const std::string& value) const {
    setString(ansiToWide(section), ansiToWide(key), ansiToWide(value));
}

bool IniFile::startUtf16File() const {
    if (path.empty()) {
        logPrintf("no data folder");
        return false;
    }
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    static const unsigned char kMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    bool ok = WriteFile(file.get(), kMark, sizeof kMark, &written, nullptr) && written == sizeof kMark;
    file.reset();
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}
