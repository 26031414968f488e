// Text helpers shared by the VBox manager's two halves (set-up and
// registration; appliance import and engine stop).
#pragma once

#include <windows.h>

#include <string>

#include "toolkit/string_util.h"

namespace tarvo {
namespace vboxmgr {

inline std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

inline std::wstring stripSlash(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

inline std::wstring folderOf(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos);
}

inline std::wstring nameOf(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

inline bool sameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

inline std::string lowerA(std::string text) {
    toLowerInPlaceA(text);
    return text;
}

}  // namespace vboxmgr
}  // namespace tarvo
