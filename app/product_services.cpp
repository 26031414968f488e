#include "app/product_services.h"

#include "app/ui/main_dialog.h"
#include "installer/app_list.h"
#include "installer/app_shortcuts.h"
#include "installer/channel_config.h"
#include "installer/engine_context.h"
#include "installer/qv_control.h"
#include "services/helper_service.h"
#include "services/http_stat.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/machine_id.h"
#include "toolkit/string_util.h"

NamedMutexHolder g_loaderMutex;

namespace app {

namespace {

bool equalNoCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

// The full path with long names and no trailing backslash; empty for anything
// but an absolute drive path ("X:\..."), or one with wildcards, a stream name
// or control characters.
std::wstring canonicalPath(const std::wstring& path) {
    if (path.size() < 3 || !((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/'))
        return std::wstring();
    for (size_t i = 0; i < path.size(); ++i) {
        wchar_t c = path[i];
        if (c < 0x20 || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|') return std::wstring();
        if (c == L':' && i != 1) return std::wstring();
    }
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::wstring();
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size()) return std::wstring();
    full.resize(n);
    // Short (8.3) names of existing files become their long names.
    DWORD m = GetLongPathNameW(full.c_str(), nullptr, 0);
    if (m > 0) {
        std::wstring longName(m, L'\0');
        m = GetLongPathNameW(full.c_str(), &longName[0], m);
        if (m > 0 && m < longName.size()) {
            longName.resize(m);
            full = longName;
        }
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

std::wstring parentOf(const std::wstring& path) {
    std::wstring::size_type slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return std::wstring();
    return path.substr(0, slash < 3 ? 3 : slash);
}

}  // namespace

// Only folders that need administrator rights to write: the elevated loader
// starts what the request names, and the request's file is user-writable.
bool isAllowedPendingProgram(const std::wstring& programPath) {
    const std::wstring program = canonicalPath(programPath);
    if (program.empty()) return false;
    if (!isOnlineMode()) {
        const std::wstring player = canonicalPath(getPlayerExePath());
        if (!player.empty() && equalNoCase(program, player)) return true;
    }
    const std::wstring hall = canonicalPath(getHallExePath());
    if (!hall.empty() && equalNoCase(program, hall)) return true;
    const std::wstring parent = parentOf(program);
    for (const std::wstring& folder : getAdminPlayerHomes()) {
        const std::wstring home = folder.empty() ? std::wstring() : canonicalPath(folder);
        if (!home.empty() && equalNoCase(parent, home)) return true;
    }
    const std::wstring qvDir = getQvInstallDir();
    const std::wstring qv = qvDir.empty() ? std::wstring() : canonicalPath(qvDir);
    return !qv.empty() && equalNoCase(parent, qv);
}

std::string ProductStartupServices::toAnsi(const std::wstring& text) { return wideToAnsi(text); }
std::wstring ProductStartupServices::fromAnsi(const std::string& text) { return ansiToWide(text); }

void ProductStartupServices::log(const std::string& line) { logPrintf("%s", line.c_str()); }

void ProductStartupServices::writeAdaptIni(const std::wstring& key, const std::wstring& value) {
    IniFile(getAdaptIniPath()).setString(L"main", key, value);
}

std::wstring ProductStartupServices::getMid() { return ::getMid(); }
std::wstring ProductStartupServices::getMid2() { return ::getMid2(); }

bool ProductStartupServices::isEmulatorInstalled() { return ::isEmulatorInstalled(); }
bool ProductStartupServices::isPlayerInstalled() { return ::isPlayerInstalled(); }

std::wstring ProductStartupServices::playerExeIfPresent() {
    return ::isPlayerInstalled() ? getPlayerExePath() : std::wstring();
}

bool ProductStartupServices::launchProcess(const std::wstring& commandLine) {
    return ::launchProcess(commandLine, SW_SHOWNORMAL);
}

void ProductStartupServices::markLaunched() { ::markLaunched(); }

bool ProductStartupServices::isProductProgram(const std::wstring& programPath) {
    return isAllowedPendingProgram(programPath);
}

bool ProductStartupServices::isLoaderRunning() { return ::isLoaderRunning(); }
bool ProductStartupServices::isSetupRunning() { return ::isSetupRunning(); }
bool ProductStartupServices::isPlayerRunning() { return ::isPlayerRunning(); }

bool ProductStartupServices::acquireLoaderInstance() {
    g_loaderMutex = acquireInstance(getLoaderMutexName(), true);
    return g_loaderMutex.get() != nullptr;
}

void ProductStartupServices::activateExistingLoader() { NamedMutex(getLoaderMutexName()).activateExisting(); }

void ProductStartupServices::writeDataFile(const std::wstring& name, const std::string& bytes) {
    ::writeDataFile(name, bytes);
}

std::string ProductStartupServices::takeDataFile(const std::wstring& name) { return ::takeDataFile(name); }

std::wstring ProductStartupServices::statUrl(const std::wstring& action) { return buildStatUrl(action); }
void ProductStartupServices::sendStat(const std::wstring& url) { ::sendStat(url); }

void ProductStartupServices::updateChannelConfig() { ChannelConfig::instance().update(); }
std::wstring ProductStartupServices::channelApkId() { return ChannelConfig::instance().apkId; }
bool ProductStartupServices::channelLaunch() { return ChannelConfig::instance().launch; }
bool ProductStartupServices::channelLaunchApk() { return ChannelConfig::instance().launchApk; }

bool ProductStartupServices::isQvContextInstalled() {
    ravel::object::smart_ptr<Context> qv = findContext(L"qv_1");
    return qv.get() && qv->isInstalled();
}
// The list store's "lock failed" goes through: the road reports it.
ContextAppState ProductStartupServices::currentContextAppState(const std::wstring& appId) {
    ravel::object::smart_ptr<Context> context = getCurrentContext();
    if (!context.get()) return ContextAppState::NoContext;
    return context->isAppInstalled(appId) ? ContextAppState::Installed : ContextAppState::NotInstalled;
}
bool ProductStartupServices::launchInCurrentContext(const std::wstring& appId) {
    ravel::object::smart_ptr<Context> context = getCurrentContext();
    if (!context.get()) return false;
    context->launchAppById(appId);
    return true;
}
bool ProductStartupServices::isQvInstalled() { return ::isQvInstalled(); }
bool ProductStartupServices::lookupQvApp(const std::wstring& appId) {
    AppInfo app;
    return ::lookupQvApp(appId, app);
}
bool ProductStartupServices::launchQvAppById(const std::wstring& appId) { return ::launchQvAppById(appId); }
bool ProductStartupServices::localAppListContains(const std::wstring& appId) {
    LocalAppList list;
    list.load();
    return list.contains(appId);
}
void ProductStartupServices::addAppShortcut(const std::wstring& appId) { ::addAppShortcut(appId); }
void ProductStartupServices::addAllAppShortcuts() { ::addAllAppShortcuts(); }
void ProductStartupServices::removeAppShortcut(const std::wstring& appId) { ::removeAppShortcut(appId); }
void ProductStartupServices::removeAllAppShortcuts() { ::removeAllAppShortcuts(); }
bool ProductStartupServices::runWindow(v2::Installer& installer) {
    return runMainWindow(installer, productDialogInputs());
}

void ProductStartupServices::showRemoveRefused() {
    MessageBoxW(nullptr, L"塔沃模拟器正在运行，请退出后再进行卸载！", L"塔沃助手", MB_ICONEXCLAMATION);
}

void ProductStartupServices::sleepMs(DWORD milliseconds) { Sleep(milliseconds); }

}  // namespace app
