#include "installer/app_shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwchar>

#include "installer/app_list.h"
#include "installer/channel_config.h"
#include "services/com_init.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/shell_util.h"
#include "toolkit/sys_util.h"

namespace {

const wchar_t kShortcutSuffix[] = L"-电脑版.lnk";
const size_t kMaxNameUnits = 100;

std::string printable(const std::wstring& path) { return wideToNarrow(path); }

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The app's name as a file name that stays inside its folder: characters the
// file system refuses or reads as a separator or stream become "_".
std::wstring safeName(const AppInfo& app) {
    const std::wstring& name = app.name;
    std::wstring out;
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        if (isHighSurrogate(c) && i + 1 < name.size() && isLowSurrogate(name[i + 1])) {
            out += c;
            out += name[++i];
        } else if (c < 0x20 || isHighSurrogate(c) || isLowSurrogate(c) || std::wcschr(L"\\/:*?\"<>|", c)) {
            out += L'_';
        } else {
            out += c;
        }
    }
    // Never between the two halves of a pair.
    if (out.size() > kMaxNameUnits)
        out.resize(isHighSurrogate(out[kMaxNameUnits - 1]) ? kMaxNameUnits - 1 : kMaxNameUnits);
    if (out.find_first_not_of(L' ') == std::wstring::npos) return app.id;
    return out;
}

std::wstring launchArguments(const AppInfo& app) { return L"--app-id " + app.id; }

// The product's own shortcut for `app`: a plain file that loads as a shell link
// whose arguments are exactly the app's. Its target differs between modes.
bool isProductShortcut(const std::wstring& path, const AppInfo& app) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    ScopedComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.receive()))))
        return false;
    bool ours = false;
    ScopedComPtr<IPersistFile> persist;
    if (SUCCEEDED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.receive())))) {
        if (SUCCEEDED(persist.get()->Load(path.c_str(), STGM_READ))) {
            wchar_t arguments[INFOTIPSIZE + 1] = {0};
            if (SUCCEEDED(link.get()->GetArguments(arguments, INFOTIPSIZE))) ours = launchArguments(app) == arguments;
        }
    }
    return ours;
}

// The shortcut's full path, or empty (logged) when the app may not have one here.
std::wstring shortcutPath(const AppInfo& app, const std::wstring& desktop) {
    if (!isSafeChannelAppId(app.id)) {
        logPrintf("app shortcut skipped, unsafe app id: %s", printable(app.id).c_str());
        return std::wstring();
    }
    if (desktop.empty()) return std::wstring();
    const std::wstring path = desktop + L"\\" + appShortcutFileName(app);
    if (path.size() >= MAX_PATH) {
        logPrintf("app shortcut skipped, path too long: %s", printable(path).c_str());
        return std::wstring();
    }
    return path;
}

// app folder + "\" + pic when pic is a plain file name of an existing file;
// empty (the loader's own icon) otherwise.
std::wstring iconLocation(const AppInfo& app) {
    const std::wstring& pic = app.pic;
    if (pic.empty() || pic == L"." || pic == L".." || pic.find_first_of(L"\\/:") != std::wstring::npos)
        return std::wstring();
    const std::wstring path = getAppFolder(app.id) + L"\\" + pic;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::wstring();
    return path;
}

void deleteShortcutFile(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    deletePath(path, false).ignore();
}

template <typename Action>
void forEachApp(Action action) {
    LocalAppList apps;
    apps.load();
    for (size_t i = 0; i < apps.size(); ++i) action(apps.at(i));
}

// The first app whose id equals appId exactly.
bool findExact(const std::wstring& appId, AppInfo& out) {
    LocalAppList apps;
    apps.load();
    for (size_t i = 0; i < apps.size(); ++i) {
        if (apps.at(i).id == appId) {
            out = apps.at(i);
            return true;
        }
    }
    return false;
}

}  // namespace

std::wstring appShortcutFileName(const AppInfo& app) { return safeName(app) + kShortcutSuffix; }

bool writeAppShortcut(const AppInfo& app, const std::wstring& desktop, const std::wstring& loaderPath) {
    const std::wstring path = shortcutPath(app, desktop);
    if (path.empty()) return false;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!isProductShortcut(path, app)) {
            logPrintf("app shortcut kept, not the product's: %s", printable(path).c_str());
            return false;
        }
        // A read-only old link of ours is replaced all the same.
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    return createShortcut(desktop, appShortcutFileName(app), loaderPath, launchArguments(app), iconLocation(app), 0);
}

void deleteAppShortcut(const AppInfo& app, const std::wstring& desktop) {
    const std::wstring path = shortcutPath(app, desktop);
    if (path.empty() || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    if (!isProductShortcut(path, app)) {
        logPrintf("app shortcut kept, not the product's: %s", printable(path).c_str());
        return;
    }
    deleteShortcutFile(path);
}

bool addAppShortcut(const std::wstring& appId) {
    ComInitGuard com;
    AppInfo app;
    if (!findExact(appId, app)) return false;
    return writeAppShortcut(app, getDesktopFolder(), getLoaderExePath());
}

void addAllAppShortcuts() {
    ComInitGuard com;
    const std::wstring desktop = getDesktopFolder();
    const std::wstring loader = getLoaderExePath();
    forEachApp([&](const AppInfo& app) { writeAppShortcut(app, desktop, loader); });
}

void removeAppShortcut(const std::wstring& appId) {
    ComInitGuard com;
    AppInfo app;
    if (findExact(appId, app)) deleteAppShortcut(app, getDesktopFolder());
}

void removeAllAppShortcuts() {
    ComInitGuard com;
    const std::wstring desktop = getDesktopFolder();
    forEachApp([&](const AppInfo& app) { deleteAppShortcut(app, desktop); });
}
