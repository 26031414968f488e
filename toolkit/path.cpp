#include "toolkit/path.h"

#include <windows.h>
#include <shlwapi.h>

#include <stdlib.h>

#include <vector>

namespace ravel {
namespace file {

namespace {

void removeTrailingBackslashes(std::wstring& text) {
    size_t end = text.find_last_not_of(L'\\');
    text.erase(end == std::wstring::npos ? 0 : end + 1);
}

// Some shell versions leave a final "\." in a combined path; it names the
// folder itself.
std::wstring withoutTrailingDot(std::wstring text) {
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\\.") == 0)
        text.erase(text.size() - 1);
    return text;
}

// Longer texts than this are outside what the shell's path functions handle.
const size_t kMaxShellPath = MAX_PATH - 1;

}  // namespace

Path::Path() {}

Path::Path(const std::wstring& text) { assign(text); }

Path::Path(const wchar_t* text) { assign(text ? std::wstring(text) : std::wstring()); }

Path::Path(const Path& other) { assign(other.fullPath); }

Path& Path::operator=(const std::wstring& text) { return assign(text); }

Path& Path::operator=(const wchar_t* text) {
    return assign(text ? std::wstring(text) : std::wstring());
}

Path& Path::operator=(const Path& other) {
    if (this != &other) assign(std::wstring(other.fullPath));
    return *this;
}

Path& Path::assign(const std::wstring& text) {
    std::wstring full = text;
    removeTrailingBackslashes(full);

    // Buffers sized from the text: a long folder part must split like a short
    // one instead of failing and emptying every part.
    const size_t n = full.size() + 1;
    wchar_t driveBuf[3] = {0};
    std::vector<wchar_t> dirBuf(n, 0), nameBuf(n, 0), extBuf(n, 0);
    std::wstring d, dir, name, ext;
    if (_wsplitpath_s(full.c_str(), driveBuf, 3, dirBuf.data(), n, nameBuf.data(), n,
                      extBuf.data(), n) == 0) {
        d = driveBuf;
        dir = dirBuf.data();
        name = nameBuf.data();
        ext = extBuf.data();
    }

    fullPath = full;
    drive = d;
    directory = d + dir;
    removeTrailingBackslashes(directory);
    baseName = name;
    if (!ext.empty() && ext[0] == L'.') ext.erase(0, 1);
    extension = ext;
    return *this;
}

std::wstring Path::getFileName() const {
    if (extension.empty()) return baseName;
    return baseName + L"." + extension;
}

Path Path::operator/(const std::wstring& name) const {
    size_t start = name.find_first_not_of(L'\\');
    std::wstring rest = start == std::wstring::npos ? std::wstring() : name.substr(start);
    return Path(fullPath + separator + rest);
}

Path Path::operator/(const wchar_t* name) const {
    return *this / (name ? std::wstring(name) : std::wstring());
}

Path& Path::operator/=(const std::wstring& name) { return *this = *this / name; }

Path& Path::operator/=(const wchar_t* name) { return *this = *this / name; }

Path Path::operator+(const std::wstring& suffix) const { return Path(fullPath + suffix); }

Path Path::operator+(const wchar_t* suffix) const {
    return Path(fullPath + (suffix ? std::wstring(suffix) : std::wstring()));
}

Path& Path::operator+=(const std::wstring& suffix) { return *this = *this + suffix; }

Path& Path::operator+=(const wchar_t* suffix) { return *this = *this + suffix; }

Path Path::operator-(int n) const {
    Path result(*this);
    size_t count = componentCount();
    size_t steps = n < 0 ? 0 : static_cast<size_t>(n);
    if (steps > count) steps = count;
    for (size_t i = 0; i < steps; ++i) result.assign(std::wstring(result.directory));
    return result;
}

Path& Path::operator-=(int n) { return *this = *this - n; }

Path& Path::operator--() { return *this -= 1; }

Path& Path::operator--(int) { return *this -= 1; }

size_t Path::componentCount() const {
    size_t count = 0;
    size_t pos = 0;
    while (pos < fullPath.size()) {
        size_t next = fullPath.find(separator, pos);
        if (next == std::wstring::npos) next = fullPath.size();
        if (next > pos) ++count;
        pos = next + 1;
    }
    return count;
}

bool Path::canonicalize() {
    if (PathIsNetworkPathW(fullPath.c_str())) return true;
    // The shell would silently cut an over-long path; refuse instead.
    if (fullPath.size() > kMaxShellPath) return false;

    std::wstring root;
    if (fullPath.compare(0, 2, L"\\\\") == 0) {
        size_t count = componentCount();
        root = (*this - static_cast<int>(count > 0 ? count - 1 : 0)).fullPath;
    } else {
        root = drive;
    }
    if (root.size() > kMaxShellPath) return false;

    wchar_t buf[MAX_PATH] = {0};
    if (!PathCombineW(buf, root.c_str(), fullPath.c_str())) return false;
    assign(withoutTrailingDot(buf));
    return true;
}

bool Path::combine(const std::wstring& base) {
    if (fullPath.size() > kMaxShellPath || base.size() > kMaxShellPath) return false;
    wchar_t buf[MAX_PATH] = {0};
    if (!PathCombineW(buf, base.c_str(), fullPath.c_str())) return false;
    assign(withoutTrailingDot(buf));
    return true;
}

}  // namespace file
}  // namespace ravel
