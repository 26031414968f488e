// TEMPORARY (lead): replaced by the file utilities once they land.
#pragma once
#include <windows.h>
#include <shlobj.h>
#include <string>
namespace ravel { namespace zip { namespace deps {
inline bool createDirectories(const std::wstring& p) {
    int r = SHCreateDirectoryExW(nullptr, p.c_str(), nullptr);
    return r == ERROR_SUCCESS || r == ERROR_ALREADY_EXISTS;
}
inline std::string toAnsi(const std::wstring& w) {
    if (w.empty()) return "";
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}
}}}
