#include "toolkit/shell_util.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <intshcut.h>

#include <vector>

#include "toolkit/file_util.h"
#include "toolkit/path.h"

namespace {

// Releases a COM interface at the end of the scope.
template <typename T>
class ComRef {
public:
    ComRef() : p_(nullptr) {}
    ~ComRef() {
        if (p_) p_->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    void** out() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_;
};

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

    ComRef<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.out())))
        return false;
    ComRef<IPersistFile> persist;
    if (FAILED(link->QueryInterface(IID_IPersistFile, persist.out()))) return false;

    link->SetPath(target.c_str());
    link->SetWorkingDirectory((ravel::file::Path(target) - 1).toString().c_str());
    link->SetArguments(arguments.c_str());
    if (iconIndex >= 0) link->SetIconLocation(icon.c_str(), iconIndex);
    return SUCCEEDED(persist->Save(file.toString().c_str(), FALSE));
}

bool createUrlShortcut(const std::wstring& folder, const std::wstring& name,
                       const std::wstring& url, const std::wstring& description,
                       const std::wstring& workingFile) {
    if (folder.empty()) return false;
    ravel::file::Path file;
    if (!prepareShortcutFile(folder, name, L"url", file)) return false;
    const std::wstring working = workingFile.empty() ? getModulePath() : workingFile;

    ComRef<IUniformResourceLocatorW> locator;
    if (FAILED(CoCreateInstance(CLSID_InternetShortcut, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IUniformResourceLocatorW, locator.out())))
        return false;
    if (FAILED(locator->SetURL(url.c_str(), 0))) return false;
    ComRef<IShellLinkW> link;
    if (FAILED(locator->QueryInterface(IID_IShellLinkW, link.out()))) return false;
    ComRef<IPersistFile> persist;
    if (FAILED(locator->QueryInterface(IID_IPersistFile, persist.out()))) return false;

    link->SetWorkingDirectory((ravel::file::Path(working) - 1).toString().c_str());
    link->SetDescription(description.c_str());
    return SUCCEEDED(persist->Save(file.toString().c_str(), FALSE));
}
