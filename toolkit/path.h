#pragma once

#include <cstddef>
#include <string>

namespace ravel {
namespace file {

// A Windows file-system path kept together with its parts. Every assignment
// removes trailing backslashes and splits the text again with the C runtime's
// splitter (which also takes "/" as a separator); joining, trailing-separator
// removal and componentCount use the backslash only.
class Path {
public:
    static constexpr wchar_t separator = L'\\';

    Path();
    Path(const std::wstring& text);
    Path(const wchar_t* text);
    Path(const Path& other);

    Path& operator=(const std::wstring& text);
    Path& operator=(const wchar_t* text);
    Path& operator=(const Path& other);

    Path& assign(const std::wstring& text);

    std::wstring toString() const { return fullPath; }
    operator std::wstring() const { return fullPath; }

    std::wstring getDirectory() const { return directory; }
    std::wstring getBaseName() const { return baseName; }
    std::wstring getExtension() const { return extension; }
    std::wstring getDrive() const { return drive; }
    // baseName + "." + extension, or baseName alone without an extension.
    std::wstring getFileName() const;

    // fullPath + "\" + name, leading backslashes of name removed first.
    Path operator/(const std::wstring& name) const;
    Path operator/(const wchar_t* name) const;
    Path& operator/=(const std::wstring& name);
    Path& operator/=(const wchar_t* name);

    // fullPath + suffix, no separator inserted (".lnk", ".url", ...).
    Path operator+(const std::wstring& suffix) const;
    Path operator+(const wchar_t* suffix) const;
    Path& operator+=(const std::wstring& suffix);
    Path& operator+=(const wchar_t* suffix);

    // Moves up n levels, at most componentCount(); "C:" stays "C:".
    Path operator-(int n) const;
    Path& operator-=(int n);
    // Both forms move one level up and return the moved path.
    Path& operator--();
    Path& operator--(int);

    // Non-empty pieces of fullPath between backslashes.
    size_t componentCount() const;

    // Resolves "." and ".." against the path's root. A network path stays as
    // it is (true). False, path unchanged, when the shell cannot combine or
    // the path has 260 characters or more. Meant for absolute paths: a
    // relative one has an empty root (use combine).
    bool canonicalize();
    // Replaces the path by the shell's combination of base and the path. False,
    // path unchanged, on failure or for texts of 260 characters or more.
    bool combine(const std::wstring& base);

    bool empty() const { return fullPath.empty(); }
    bool operator==(const Path& other) const { return fullPath == other.fullPath; }
    bool operator!=(const Path& other) const { return fullPath != other.fullPath; }

private:
    std::wstring fullPath;
    std::wstring drive;
    std::wstring directory;
    std::wstring baseName;
    std::wstring extension;
};

}  // namespace file
}  // namespace ravel
