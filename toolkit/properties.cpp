#include "toolkit/properties.h"

#include <fstream>
#include <iterator>

#include "toolkit/string_util.h"

namespace ravel {
namespace file {

namespace {

// Exactly the six ASCII white-space characters; the runtime's wide
// classification would also cut 0xA0, a common byte inside UTF-8 text.
const wchar_t kWhiteSpace[] = L" \t\n\v\f\r";

}  // namespace

Properties::Properties() {}

Properties::~Properties() {}

bool Properties::load(const std::wstring& path) {
    if (path.empty()) return false;
    std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
    if (!in.is_open()) return true;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    parse(bytes);
    return true;
}

void Properties::parse(const std::string& bytes) {
    ravel::system::ScopedLock guard(lock);
    entries.clear();
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::wstring line;
        line.reserve(end - start);
        for (size_t i = start; i < end; ++i)
            line += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        start = end + 1;

        if (!line.empty() && line.back() == L'\r') line.pop_back();
        size_t first = line.find_first_not_of(kWhiteSpace);
        if (first == std::wstring::npos || line[first] == L'#') continue;
        size_t equals = line.find(L'=', first);
        if (equals == std::wstring::npos) continue;

        std::wstring key = line.substr(first, equals - first);
        std::wstring value = line.substr(equals + 1);
        trimRight(key, kWhiteSpace);
        trim(value, kWhiteSpace);
        trim(value, L"\"");
        setProperty(key, value);
    }
}

bool Properties::containsKey(const std::wstring& key) {
    ravel::system::ScopedLock guard(lock);
    return entries.find(key) != entries.end();
}

std::wstring Properties::get(const std::wstring& key) {
    ravel::system::ScopedLock guard(lock);
    auto it = entries.find(key);
    return it == entries.end() ? std::wstring() : it->second;
}

std::wstring Properties::get(const wchar_t* key) {
    return get(key ? std::wstring(key) : std::wstring());
}

std::wstring Properties::getProperty(const std::wstring& key, const std::wstring& defaultValue) {
    ravel::system::ScopedLock guard(lock);
    auto it = entries.find(key);
    return it == entries.end() ? defaultValue : it->second;
}

bool Properties::getBool(const std::wstring& key, bool defaultValue) {
    ravel::system::ScopedLock guard(lock);
    auto it = entries.find(key);
    if (it == entries.end()) return defaultValue;
    return it->second == L"1" || it->second == L"true";
}

void Properties::setProperty(const std::wstring& key, const std::wstring& value) {
    ravel::system::ScopedLock guard(lock);
    entries[key] = value;
}

}  // namespace file
}  // namespace ravel
