#include "toolkit/string_util.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "toolkit/scoped_buffer.h"

namespace {

// Measures first, then converts into a heap buffer of exactly that size, so
// that code pages with long sequences (65001, 54936) and large inputs work.
std::string narrowFrom(UINT codePage, const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    ScopedBuffer<char> buffer(static_cast<uint32_t>(needed));
    int written = WideCharToMultiByte(codePage, 0, text.data(), length, buffer.get(), needed,
                                      nullptr, nullptr);
    if (written <= 0) return std::string();
    return std::string(buffer.get(), static_cast<size_t>(written));
}

std::wstring wideFrom(UINT codePage, const std::string& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::wstring();
    const int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::wstring();
    ScopedBuffer<wchar_t> buffer(static_cast<uint32_t>(needed));
    int written = MultiByteToWideChar(codePage, 0, text.data(), length, buffer.get(), needed);
    if (written <= 0) return std::wstring();
    return std::wstring(buffer.get(), static_cast<size_t>(written));
}

}  // namespace

std::string wideToAnsi(const std::wstring& text) { return narrowFrom(CP_THREAD_ACP, text); }

std::wstring ansiToWide(const std::string& text) { return wideFrom(CP_THREAD_ACP, text); }

std::string wideToUtf8(const std::wstring& text) { return narrowFrom(CP_UTF8, text); }

std::string toUtf8(const std::wstring& text) { return wideToUtf8(text); }

std::wstring utf8ToWide(const std::string& text) { return wideFrom(CP_UTF8, text); }

std::string utf8ToAnsi(const std::string& text) { return wideToAnsi(utf8ToWide(text)); }

std::wstring toWide(const std::wstring& text) { return text; }

std::wstring toWide(const std::string& ansiText) { return ansiToWide(ansiText); }

std::wstring quote(const std::wstring& text) { return L"\"" + text + L"\""; }

void trimLeft(std::wstring& text, const std::wstring& set) {
    size_t start = text.find_first_not_of(set);
    text.erase(0, start == std::wstring::npos ? text.size() : start);
}

void trimRight(std::wstring& text, const std::wstring& set) {
    size_t end = text.find_last_not_of(set);
    text.erase(end == std::wstring::npos ? 0 : end + 1);
}

void trim(std::wstring& text, const std::wstring& set) {
    trimRight(text, set);
    trimLeft(text, set);
}

void toLowerInPlace(std::wstring& text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
}

void toLowerInPlaceA(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::wstring toLowerCopy(const std::wstring& text) {
    std::wstring copy = text;
    toLowerInPlace(copy);
    return copy;
}

bool hasControlCharacter(const std::wstring& text) {
    for (wchar_t c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) return;
    size_t pos = text.find(from);
    while (pos != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos = text.find(from, pos + to.size());
    }
}

size_t split(const std::wstring& text, std::vector<std::wstring>& out,
             const std::wstring& separator, bool keepEmpty) {
    out.clear();
    if (text.empty() || separator.empty()) return 0;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(separator, start);
        std::wstring piece =
            text.substr(start, pos == std::wstring::npos ? std::wstring::npos : pos - start);
        if (keepEmpty || !piece.empty()) out.push_back(piece);
        if (pos == std::wstring::npos) break;
        start = pos + separator.size();
    }
    return out.size();
}

std::wstring format(const wchar_t* fmt, ...) {
    if (!fmt) return std::wstring();
    va_list args;
    va_start(args, fmt);
    va_list fill;
    va_copy(fill, args);
    // msvcrt's counting and bounded printf: "%s" takes a wide string here.
    int length = _vscwprintf(fmt, args);
    va_end(args);
    std::wstring result;
    if (length > 0) {
        ScopedBuffer<wchar_t> buffer(static_cast<uint32_t>(length) + 1);
        int written = _vsnwprintf(buffer.get(), static_cast<size_t>(length) + 1, fmt, fill);
        if (written > 0) result.assign(buffer.get(), static_cast<size_t>(written));
    }
    va_end(fill);
    return result;
}

std::string formatA(const char* fmt, ...) {
    if (!fmt) return std::string();
    va_list args;
    va_start(args, fmt);
    va_list fill;
    va_copy(fill, args);
    int length = _vscprintf(fmt, args);
    va_end(args);
    std::string result;
    if (length > 0) {
        ScopedBuffer<char> buffer(static_cast<uint32_t>(length) + 1);
        int written = _vsnprintf(buffer.get(), static_cast<size_t>(length) + 1, fmt, fill);
        if (written > 0) result.assign(buffer.get(), static_cast<size_t>(written));
    }
    va_end(fill);
    return result;
}
