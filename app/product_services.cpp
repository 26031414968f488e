#include "app/product_services.h"

#include "installer/installer_product_env.h"

namespace app {

std::vector<std::string> ProductStartupServices::missingRows() {
    return {"toAnsi",
            "fromAnsi",
            "log",
            "writeAdaptIni",
            "getMid",
            "getMid2",
            "isEmulatorInstalled",
            "isPlayerInstalled",
            "playerExeIfPresent",
            "launchProcess",
            "markLaunched",
            "isProductProgram",
            "isLoaderRunning",
            "isSetupRunning",
            "isPlayerRunning",
            "acquireLoaderInstance",
            "activateExistingLoader",
            "writeDataFile",
            "takeDataFile",
            "statUrl",
            "sendStat",
            "updateChannelConfig",
            "channelApkId",
            "channelLaunch",
            "channelLaunchApk",
            "isQvContextInstalled",
            "currentContextAppState",
            "launchInCurrentContext",
            "isQvInstalled",
            "lookupQvApp",
            "launchQvAppById",
            "localAppListContains",
            "addAppShortcut",
            "addAllAppShortcuts",
            "removeAppShortcut",
            "removeAllAppShortcuts",
            "runWindow"};
}

std::string ProductStartupServices::toAnsi(const std::wstring&) { throw NotBuilt("toAnsi"); }
std::wstring ProductStartupServices::fromAnsi(const std::string&) { throw NotBuilt("fromAnsi"); }
void ProductStartupServices::log(const std::string&) { throw NotBuilt("log"); }
void ProductStartupServices::writeAdaptIni(const std::wstring&, const std::wstring&) {
    throw NotBuilt("writeAdaptIni");
}
std::wstring ProductStartupServices::getMid() { throw NotBuilt("getMid"); }
std::wstring ProductStartupServices::getMid2() { throw NotBuilt("getMid2"); }
bool ProductStartupServices::isEmulatorInstalled() { throw NotBuilt("isEmulatorInstalled"); }
bool ProductStartupServices::isPlayerInstalled() { throw NotBuilt("isPlayerInstalled"); }
std::wstring ProductStartupServices::playerExeIfPresent() { throw NotBuilt("playerExeIfPresent"); }
bool ProductStartupServices::launchProcess(const std::wstring&) { throw NotBuilt("launchProcess"); }
void ProductStartupServices::markLaunched() { throw NotBuilt("markLaunched"); }
bool ProductStartupServices::isProductProgram(const std::wstring&) { throw NotBuilt("isProductProgram"); }
bool ProductStartupServices::isLoaderRunning() { throw NotBuilt("isLoaderRunning"); }
bool ProductStartupServices::isSetupRunning() { throw NotBuilt("isSetupRunning"); }
bool ProductStartupServices::isPlayerRunning() { throw NotBuilt("isPlayerRunning"); }
bool ProductStartupServices::acquireLoaderInstance() { throw NotBuilt("acquireLoaderInstance"); }
void ProductStartupServices::activateExistingLoader() { throw NotBuilt("activateExistingLoader"); }
void ProductStartupServices::writeDataFile(const std::wstring&, const std::string&) {
    throw NotBuilt("writeDataFile");
}
std::string ProductStartupServices::takeDataFile(const std::wstring&) { throw NotBuilt("takeDataFile"); }
std::wstring ProductStartupServices::statUrl(const std::wstring&) { throw NotBuilt("statUrl"); }
void ProductStartupServices::sendStat(const std::wstring&) { throw NotBuilt("sendStat"); }
void ProductStartupServices::updateChannelConfig() { throw NotBuilt("updateChannelConfig"); }
std::wstring ProductStartupServices::channelApkId() { throw NotBuilt("channelApkId"); }
bool ProductStartupServices::channelLaunch() { throw NotBuilt("channelLaunch"); }
bool ProductStartupServices::channelLaunchApk() { throw NotBuilt("channelLaunchApk"); }
bool ProductStartupServices::isQvContextInstalled() { throw NotBuilt("isQvContextInstalled"); }
ContextAppState ProductStartupServices::currentContextAppState(const std::wstring&) {
    throw NotBuilt("currentContextAppState");
}
bool ProductStartupServices::launchInCurrentContext(const std::wstring&) {
    throw NotBuilt("launchInCurrentContext");
}
bool ProductStartupServices::isQvInstalled() { throw NotBuilt("isQvInstalled"); }
bool ProductStartupServices::lookupQvApp(const std::wstring&) { throw NotBuilt("lookupQvApp"); }
bool ProductStartupServices::launchQvAppById(const std::wstring&) { throw NotBuilt("launchQvAppById"); }
bool ProductStartupServices::localAppListContains(const std::wstring&) {
    throw NotBuilt("localAppListContains");
}
void ProductStartupServices::addAppShortcut(const std::wstring&) { throw NotBuilt("addAppShortcut"); }
void ProductStartupServices::addAllAppShortcuts() { throw NotBuilt("addAllAppShortcuts"); }
void ProductStartupServices::removeAppShortcut(const std::wstring&) { throw NotBuilt("removeAppShortcut"); }
void ProductStartupServices::removeAllAppShortcuts() { throw NotBuilt("removeAllAppShortcuts"); }
bool ProductStartupServices::runWindow(v2::Installer&) { throw NotBuilt("runWindow"); }

void ProductStartupServices::showRemoveRefused() {
    MessageBoxW(nullptr, L"塔沃模拟器正在运行，请退出后再进行卸载！", L"塔沃助手", MB_ICONEXCLAMATION);
}

void ProductStartupServices::sleepMs(DWORD milliseconds) { Sleep(milliseconds); }

std::string incompleteServicesMessage() {
    std::vector<std::string> missing = ProductStartupServices::missingRows();
    for (const std::string& row : v2::ProductInstallerEnv::missingRows()) missing.push_back("InstallerEnv::" + row);
    if (missing.empty()) return std::string();
    std::string text = "start-up services incomplete: ";
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i) text += ", ";
        text += missing[i];
    }
    return text;
}

}  // namespace app
