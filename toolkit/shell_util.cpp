#include "toolkit/shell_util.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <intshcut.h>

#include <vector>

#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/scoped_handle.h"

namespace {

// folder\name with the extension `ext` appended unless it is already there
// (compared case-sensitively). Creates the folder and removes an old plain file;
// false, with nothing deleted, when a folder or a reparse point stands there.
bool prepareShortcutFile(const std::wstring& folder, const std::wstring& name, const std::wstring& ext,
                         ravel::file::Path& file) {
    if (!pathExists(folder)) createDirectories(folder).ignore();
    file = ravel::file::Path(folder) / name;
    if (file.getExtension() != ext) file += L"." + ext;
    const DWORD attributes = GetFileAttributesW(file.toString().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    deletePath(file.toString(), false).ignore();
    return true;
}

}  // namespace

std::wstring getSpecialFolder(int csidl, const std::wstring& fallback) {
    LPITEMIDLIST items = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) || !items) return fallback;
    wchar_t buffer[MAX_PATH] = {0};
    BOOL ok = SHGetPathFromIDListW(items, buffer);
    CoTaskMemFree(items);
    if (!ok) return fallback;
    return buffer;
}

std::wstring getModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH, 0);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size() || buffer.size() >= 32768) {
            ravel::file::Path path(std::wstring(buffer.data(), n));
            path.canonicalize();
            return path.toString();
        }
        buffer.assign(buffer.size() * 2, 0);
    }
}

bool createShortcut(const std::wstring& folder, const std::wstring& name,
                    const std::wstring& target, const std::wstring& arguments,
                    const std::wstring& iconPath, int iconIndex) {
    // An empty folder would put the file at the root of the current drive.
    if (folder.empty()) return false;
    ravel::file::Path file;
    if (!prepareShortcutFile(folder, name, L"lnk", file)) return false;
    const std::wstring icon = iconPath.empty() ? target : iconPath;

    ScopedComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))))
        return false;
    ScopedComPtr<IPersistFile> persist;
    if (FAILED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.receive()))))
        return false;

    link.get()->SetPath(target.c_str());
    link.get()->SetWorkingDirectory((ravel::file::Path(target) - 1).toString().c_str());
    link.get()->SetArguments(arguments.c_str());
    if (iconIndex >= 0) link.get()->SetIconLocation(icon.c_str(), iconIndex);
    return SUCCEEDED(persist.get()->Save(file.toString().c_str(), FALSE));
}

bool createUrlShortcut(const std::wstring& folder, const std::wstring& name,
                       const std::wstring& url, const std::wstring& description,
                       const std::wstring& workingFile) {
    if (folder.empty()) return false;
    ravel::file::Path file;
    if (!prepareShortcutFile(folder, name, L"url", file)) return false;
    const std::wstring working = workingFile.empty() ? getModulePath() : workingFile;

    ScopedComPtr<IUniformResourceLocatorW> locator;
    if (FAILED(CoCreateInstance(CLSID_InternetShortcut, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IUniformResourceLocatorW, reinterpret_cast<void**>(locator.receive()))))
        return false;
    if (FAILED(locator.get()->SetURL(url.c_str(), 0))) return false;
    ScopedComPtr<IShellLinkW> link;
    if (FAILED(locator.get()->QueryInterface(IID_IShellLinkW, reinterpret_cast<void**>(link.receive()))))
        return false;
    ScopedComPtr<IPersistFile> persist;
    if (FAILED(locator.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.receive()))))
        return false;

    link.get()->SetWorkingDirectory((ravel::file::Path(working) - 1).toString().c_str());
    link.get()->SetDescription(description.c_str());
    return SUCCEEDED(persist.get()->Save(file.toString().c_str(), FALSE));
}
