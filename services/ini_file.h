#pragma once

#include <string>

// Reads and writes a Windows-style ini file through the platform's
// private-profile functions. Every call opens and closes the file; there is no
// cache and no lock. Reads of a missing file or key give the default; failed
// writes are ignored. Values are cut by the platform at 4095 characters. An
// empty path (a data folder the shell could not name) reads as missing and
// writes nothing.
//
// The narrow ("A") operations take and return text in the thread's ANSI code
// page but work on the wide path, so a path outside that code page works with
// both kinds. Every write replaces CR and LF in section, key and value by a
// blank, so a value cannot start a new line (a new key or section).
class IniFile {
public:
    IniFile() {}
    explicit IniFile(const std::wstring& iniPath) : path(iniPath) {}

    std::wstring getString(const std::wstring& section, const std::wstring& key,
                           const std::wstring& defaultValue = std::wstring()) const;
    // An empty value writes "key=" (the key stays).
    void setString(const std::wstring& section, const std::wstring& key,
                   const std::wstring& value) const;
    // Empty text gives the default; "0" and "false" (any case) are false;
    // any other text is true.
    bool getBool(const std::wstring& section, const std::wstring& key, bool defaultValue) const;
    // Writes "1" or "0".
    void setBool(const std::wstring& section, const std::wstring& key, bool value) const;

    int getIntA(const std::string& section, const std::string& key, int defaultValue) const;
    std::string getStringA(const std::string& section, const std::string& key,
                           const std::string& defaultValue = std::string()) const;
    bool getBoolA(const std::string& section, const std::string& key, bool defaultValue) const;
    // The value as decimal text.
    void setIntA(const std::string& section, const std::string& key, int value) const;
    void setStringA(const std::string& section, const std::string& key,
                    const std::string& value) const;

    // Replaces the file by an empty one that holds only the UTF-16LE byte-order
    // mark: the profile functions then keep every character, where a new file
    // would get the ANSI code page. False (nothing changed) when the old file
    // cannot be deleted or the new one cannot be written.
    bool startUtf16File() const;

    // The full path of the ini file.
    std::wstring path;
};
