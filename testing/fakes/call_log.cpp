#include "testing/fakes/call_log.h"

#include <windows.h>

namespace fakes {

void CallLog::add(const std::string& entry) {
    ravel::system::ScopedLock guard(lock_);
    entries_.push_back(entry);
}

std::vector<std::string> CallLog::all() const {
    ravel::system::ScopedLock guard(lock_);
    return entries_;
}

std::vector<std::string> CallLog::named(const std::string& op) const {
    ravel::system::ScopedLock guard(lock_);
    std::vector<std::string> out;
    for (const std::string& e : entries_) {
        if (e.substr(0, e.find('(')) == op) out.push_back(e);
    }
    return out;
}

void CallLog::clear() {
    ravel::system::ScopedLock guard(lock_);
    entries_.clear();
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

}  // namespace fakes
