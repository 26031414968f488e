#include "installer/install_steps.h"

#include <shlobj.h>

#include "installer/apk_manifest.h"
#include "installer/app_list.h"
#include "installer/app_shortcuts.h"
#include "installer/channel_config.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "installer/uninstall_entry.h"
#include "services/helper_service.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/web_hosts.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"

#ifdef TARVO_TEST_SEAMS
#include "installer/seams.h"
#endif

namespace v2 {

namespace {

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

std::wstring lastComponent(const std::wstring& path) {
    std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring fullPathOf(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring out(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, &out[0], nullptr);
    out.resize(size);
    return out;
}

// More entries than the download ever writes are not filed.
const int kMaxPackageEntries = 64;

bool serviceExists(const std::wstring& name) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    return ScopedServiceHandle(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS)).valid();
}

}  // namespace

std::wstring installActionWord(const InstallerImpl& impl) {
    const InstallAction action = impl.getOwner() ? impl.getOwner()->getAction() : ActionInstall;
    if (action == ActionInstall) return L"安装";
    if (action == ActionUpgrade || action == ActionFix) return L"更新";
    return L"";
}

void installStat(const std::wstring& action, const UrlParams& extras) { sendStat(buildStatUrl(action, extras)); }

std::wstring commandLineCno() { return getCno(GetCommandLineW()); }

namespace {

bool isSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// Length of the root that path begins with, its separator included: "D:\" 3,
// "D:" 2, "\\server\share\" up to that separator, "\" 1; 0 for a relative path.
std::wstring::size_type rootLength(const std::wstring& path) {
    if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && isSlash(path[2]) ? 3 : 2;
    if (path.size() >= 2 && isSlash(path[0]) && isSlash(path[1])) {
        const std::wstring::size_type server = path.find_first_of(L"\\/", 2);
        if (server == std::wstring::npos) return path.size();
        const std::wstring::size_type share = path.find_first_of(L"\\/", server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    return !path.empty() && isSlash(path[0]) ? 1 : 0;
}

}  // namespace

std::wstring parentFolder(const std::wstring& path) {
    const std::wstring::size_type root = rootLength(path);
    std::wstring::size_type end = path.size();
    while (end > root && isSlash(path[end - 1])) --end;
    // A root, or a name without a folder, has no parent.
    if (end <= root) return path;
    const std::wstring::size_type slash = path.find_last_of(L"\\/", end - 1);
    if (slash == std::wstring::npos) return path;
    // Directly under the root: the root itself, with its separator.
    if (slash < root) return path.substr(0, root);
    return path.substr(0, slash);
}

std::wstring fileNameOf(const std::wstring& path) { return lastComponent(path); }

std::wstring baseNameOf(const std::wstring& path) {
    std::wstring name = fileNameOf(path);
    std::wstring::size_type dot = name.find_last_of(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

bool isPathInside(const std::wstring& path, const std::wstring& folder) {
    if (path.empty() || folder.empty()) return false;
    const std::wstring full = toLowerCopy(fullPathOf(path));
    std::wstring root = toLowerCopy(fullPathOf(folder));
    if (full.empty() || root.empty()) return false;
    if (root.back() != L'\\') root += L'\\';
    return full.size() > root.size() && full.compare(0, root.size(), root) == 0;
}

std::wstring downloadedFile(const std::wstring& value) {
    if (value.empty()) return value;
    const std::wstring folder = fullPathOf(getDownloadFolder());
    const std::wstring full = fullPathOf(value);
    bool allowed = isPathInside(full, folder);
    // Below the download folder: no link on the way, and a plain file at the end.
    for (size_t at = folder.size(); allowed && at != std::wstring::npos;) {
        const size_t next = full.find(L'\\', at + 1);
        const DWORD attributes = GetFileAttributesW(full.substr(0, next).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) break;  // nothing there to act on
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) allowed = false;
        if (next == std::wstring::npos && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
            allowed = false;
        at = next;
    }
    if (!allowed) {
        logPrintf("refused: %s", ansi(value).c_str());
        return std::wstring();
    }
    return full;
}

int startInstall(InstallerImpl& impl, const std::wstring& startAction, const std::wstring& failedAction,
                 std::wstring& actionWord) {
    logPrintf("do install...");
    installStat(startAction);
    actionWord = installActionWord(impl);
    const int r = impl.download();
    if (r < 0) {
        // The download's own failure event is the run's final one.
        if (!failedAction.empty()) installStat(failedAction);
        logPrintf("download failed: %d", r);
    } else if (r == 2) {
        impl.progressEvent()(1, 2, 0, 100, std::wstring(), actionWord + L"成功");
    }
    return r;
}

bool stopHelperService(ServiceControl& services, DWORD timeoutMs) {
    const std::wstring name = getHelperName();
    const bool existed = serviceExists(name);
    const bool removed = services.remove(name, timeoutMs);
    if (existed && !removed) logPrintf("stop helper failed: %u", (unsigned)timeoutMs);
    return removed;
}

void moveHelperPrograms(const std::wstring& playerFolder, const std::vector<std::wstring>& names,
                        const std::wstring& hallExe) {
    const std::wstring data = getUserDataFolder();
    if (data.empty()) {
        logPrintf("no data folder");
        return;
    }
    for (const std::wstring& name : names) {
        logPrintf("cp %s ...", ansi(name).c_str());
        const std::wstring from = playerFolder + L"\\" + name + L".exe";
        if (!pathExists(from)) continue;
        const std::wstring to = data + L"\\" + name + L".exe";
        forceDeletePath(to);
        if (copyPath(from, to).value()) deletePath(from);
    }
    logPrintf("cp TarvoHall...");
    if (!hallExe.empty() && pathExists(hallExe)) {
        const std::wstring hall = data + L"\\TarvoHall.exe";
        forceDeletePath(hall);
        if (copyPath(hallExe, hall).value()) deletePath(hallExe);
    }
}

#ifdef TARVO_TEST_SEAMS
namespace {
UrlShortcutObserver g_urlShortcutObserver = nullptr;
}  // namespace

void setUrlShortcutObserverForTests(UrlShortcutObserver observer) { g_urlShortcutObserver = observer; }
#endif

void installHelperAndShortcuts(ServiceControl& services, EngineKind engine, bool loaderSelfCopy) {
    logPrintf("create TarvoHelper ...");
    services.installAndStart(getHelperName(), getUserDataFolder() + L"\\TarvoHelper.exe", SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START);
    logPrintf("create_shortcut ...");
    const std::wstring name = getProductDisplayName();
    const std::wstring loader = getLoaderExePath();
    const std::wstring desktop = getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"");
    if (pathExists(getHallExePath())) {
        installStat(L"hall_install");
        createShortcut(desktop, name + L".lnk", getHallExePath(), L"", L"", 0);
    } else if (!loaderSelfCopy) {
        createShortcut(desktop, name + L".lnk", loader, L"", L"", 0);
    } else {
        // A loader started from the setup package puts itself where its links point.
        const std::wstring self = getModulePath();
        if (toLowerCopy(fileNameOf(self)).compare(0, 11, L"tarvoloader") == 0) copyPath(self, loader);
        if (pathExists(loader)) createShortcut(desktop, name + L".lnk", loader, L"", L"", 0);
    }
    const std::wstring programs = getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"");
    if (!programs.empty()) {
        const std::wstring menu = programs + L"\\" + name;
        createShortcut(menu, name + L".lnk", loader, L"", L"", 0);
        createShortcut(menu, L"卸载" + name + L".lnk", loader, L"--uninstall", L"", 0);
        const std::wstring site = productSiteAddress();
#ifdef TARVO_TEST_SEAMS
        if (g_urlShortcutObserver) g_urlShortcutObserver(menu, name + L"官网.url", site);
#endif
        createUrlShortcut(menu, name + L"官网.url", site, L"访问" + name + L"官网", L"");
        SHChangeNotify(SHCNE_MKDIR, SHCNF_PATHW | SHCNF_FLUSH, menu.c_str(), nullptr);
    }
    if (engine == EngineKind::Qv) {
        InstallerQvImpl::writeUninstallEntry();
    } else {
        InstallerVBoxImpl::writeUninstallEntry();
    }
    logPrintf("create all ok.");
}

void fileAppPackages(const IniFile& ini, bool copyIcon) {
    ChannelConfig& config = ChannelConfig::instance();
    AppInfo app;
    config.findApp(config.apkId, app);
    const std::wstring appFolder = getAppsFolder() + L"\\app_" + app.id;
    createDirectories(appFolder);
    int count = ini.getIntA("download", "pkg_count", 0);
    if (count > kMaxPackageEntries) {
        logPrintf("pkg_count %d limited to 64", count);
        count = kMaxPackageEntries;
    }
    for (int n = 1; n <= count; ++n) {
        const std::wstring section = format(L"%s_%d", config.getCno().c_str(), n);
        const std::wstring file = downloadedFile(ini.getString(section, L"file"));
        if (file.empty()) continue;
        const IniFile appIni(appFolder + L"\\app.ini");
        const std::wstring apk = appFolder + L"\\" + app.apkFileName;
        if (copyPath(file, apk).value())
            deletePath(file);
        else
            logPrintf("copy apk failed: %s", ansi(file).c_str());
        appIni.setString(L"app", L"apk", app.apkFileName);
        appIni.setString(L"app", L"id", app.id);
        appIni.setString(L"app", L"name", app.name);
        appIni.setString(L"app", L"package", app.package);
        std::wstring activity = app.activity;
        if (activity.empty()) {
            std::wstring package = app.package;
            activity = readApkManifest(apk, package);
        }
        appIni.setString(L"app", L"activity", activity);
        appIni.setString(L"app", L"version", app.apkVersion);
        appIni.setString(L"app", L"latest", app.latest);
        const std::wstring icon = downloadedFile(ini.getString(section, L"icon"));
        const std::wstring base = baseNameOf(icon);
        if (!icon.empty() && makeIcon(icon, appFolder + L"\\" + base + L".ico", 64))
            appIni.setString(L"app", L"pic", base + L".ico");
        if (copyIcon && !icon.empty() && pathExists(icon)) {
            const std::wstring iconName = fileNameOf(icon);
            if (copyPath(icon, appFolder + L"\\" + iconName).value()) appIni.setString(L"app", L"icon", iconName);
        }
        const std::wstring tips = downloadedFile(ini.getString(section, L"tips"));
        const std::wstring tipsName = fileNameOf(tips);
        if (!tips.empty()) copyPath(tips, appFolder + L"\\" + tipsName);
        appIni.setString(L"app", L"tip_pics", tipsName);
    }
}

void finishInstall(InstallerImpl& impl, float percent, const std::wstring& okAction) {
    impl.progressEvent()(1, 1, 0, percent, std::wstring(), L"安装应用...");
    addAllAppShortcuts();
    impl.progressEvent()(1, 2, 0, 100, std::wstring(), L"安装成功");
    logPrintf("install ok!");
    installStat(okAction);
}

}  // namespace v2
