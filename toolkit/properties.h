#pragma once

#include <map>
#include <string>

#include "toolkit/lock.h"

namespace ravel {
namespace file {

// A key=value settings store filled from a text file and read with defaults.
// File format: every byte becomes one character of the same value (no code
// page, no byte-order mark handling); lines end at LF (a CR before it is
// dropped); "#" comment lines, empty lines and lines without "=" are skipped;
// the first "=" splits; the key is trimmed of white space at its end, the
// value at both ends and then of every leading and trailing '"'. White space
// is exactly space, tab, LF, VT, FF and CR. A later duplicate key wins.
// Every operation takes the store's lock.
class Properties {
public:
    Properties();
    virtual ~Properties();

    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;

    // False only for an empty path. A file that cannot be opened leaves the
    // entries as they were; an opened one replaces all of them.
    bool load(const std::wstring& path);

    bool containsKey(const std::wstring& key);
    // The value, or "" when the key is missing.
    std::wstring get(const std::wstring& key);
    std::wstring get(const wchar_t* key);
    std::wstring getProperty(const std::wstring& key, const std::wstring& defaultValue);
    // defaultValue when the key is missing; otherwise true exactly for "1" and
    // "true" (case-sensitive).
    bool getBool(const std::wstring& key, bool defaultValue);
    void setProperty(const std::wstring& key, const std::wstring& value);

protected:
    // Parses the bytes of a file; replaces all entries.
    void parse(const std::string& bytes);

private:
    std::map<std::wstring, std::wstring> entries;
    ravel::system::Lock lock;
};

}  // namespace file
}  // namespace ravel
