#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Text conversions and small string operations of the toolkit.
//
// The ANSI conversions use the calling thread's code page (CP_THREAD_ACP);
// UTF-8 is code page 65001. All conversions keep embedded nulls, give an empty
// result for an empty input, and replace invalid input the way the platform
// does (U+FFFD for bad UTF-8, '?' for characters missing from the code page).

std::string wideToAnsi(const std::wstring& text);
std::wstring ansiToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);
std::string toUtf8(const std::wstring& text);
std::wstring utf8ToWide(const std::string& text);
// UTF-8 -> thread ANSI code page.
std::string utf8ToAnsi(const std::string& text);
// The overload set used where a text may be narrow (ANSI) or wide.
std::wstring toWide(const std::wstring& text);
std::wstring toWide(const std::string& ansiText);

// The text with one '"' in front and one at the end; nothing is escaped.
std::wstring quote(const std::wstring& text);

// Erase the leading / trailing run of characters that belong to `set`.
void trimLeft(std::wstring& text, const std::wstring& set);
void trimRight(std::wstring& text, const std::wstring& set);
void trim(std::wstring& text, const std::wstring& set);

// Only 'A'..'Z' change.
void toLowerInPlace(std::wstring& text);
void toLowerInPlaceA(std::string& text);
std::wstring toLowerCopy(const std::wstring& text);

// A character below U+0020 or U+007F.
bool hasControlCharacter(const std::wstring& text);

// Replaces every occurrence of `from`; the search resumes after the inserted
// text. An empty `from` changes nothing.
void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to);

// Splits `text` at every `separator` into `out` (cleared first); empty pieces
// are kept only with keepEmpty. Returns out.size(); 0 for an empty text or
// separator.
size_t split(const std::wstring& text, std::vector<std::wstring>& out,
             const std::wstring& separator, bool keepEmpty);

// printf-style with the C runtime's (msvcrt) rules: in `format` "%s" takes a
// wide string, in `formatA` a narrow one. "" for a null format, a failed
// printf or an empty result. No length limit.
std::wstring format(const wchar_t* fmt, ...);
std::string formatA(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(ms_printf, 1, 2)))
#endif
    ;
