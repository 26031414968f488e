#pragma once

#include <string>

// Shell folders, the program's own path and shortcuts.

// The path of a CSIDL folder (26 the user's application data, 35 the common
// application data, ...); `fallback` when the shell cannot answer.
std::wstring getSpecialFolder(int csidl, const std::wstring& fallback);

// The running program's own file path, canonical.
std::wstring getModulePath();

// Writes folder\name (".lnk" appended unless the extension is exactly "lnk")
// pointing at target, working folder = the target's folder. An empty iconPath
// means the target; iconIndex < 0 sets no icon. An existing plain file is
// replaced and a missing folder created. False when folder is empty, a folder
// or a reparse point stands at the file's path (left as it is), the shell-link
// object cannot be made or the file was not saved. COM must be initialised on
// the calling thread.
bool createShortcut(const std::wstring& folder, const std::wstring& name,
                    const std::wstring& target, const std::wstring& arguments,
                    const std::wstring& iconPath, int iconIndex);

// Writes folder\name (".url" appended unless the extension is exactly "url")
// opening url; the working folder is workingFile's folder (the program's own
// when empty). Same failure rules as createShortcut; also false when the
// internet-shortcut object offers no shell-link interface.
bool createUrlShortcut(const std::wstring& folder, const std::wstring& name,
                       const std::wstring& url, const std::wstring& description,
                       const std::wstring& workingFile);
