// The start-up road's services in the product: every row forwards to the
// loader's own function for it.
#pragma once

#include <string>
#include <vector>

#include "app/startup.h"
#include "services/single_instance.h"

// The loader's single-instance mutex, held from start-up until the process ends.
extern NamedMutexHolder g_loaderMutex;

namespace app {

class ProductStartupServices : public StartupServices {
public:
    std::string toAnsi(const std::wstring& text) override;
    std::wstring fromAnsi(const std::string& text) override;
    void log(const std::string& line) override;
    void writeAdaptIni(const std::wstring& key, const std::wstring& value) override;
    std::wstring getMid() override;
    std::wstring getMid2() override;
    bool isEmulatorInstalled() override;
    bool isPlayerInstalled() override;
    std::wstring playerExeIfPresent() override;
    bool launchProcess(const std::wstring& commandLine) override;
    void markLaunched() override;
    bool isProductProgram(const std::wstring& programPath) override;
    bool isLoaderRunning() override;
    bool isSetupRunning() override;
    bool isPlayerRunning() override;
    bool acquireLoaderInstance() override;
    void activateExistingLoader() override;
    void writeDataFile(const std::wstring& name, const std::string& bytes) override;
    std::string takeDataFile(const std::wstring& name) override;
    std::wstring statUrl(const std::wstring& action) override;
    void sendStat(const std::wstring& url) override;
    void updateChannelConfig() override;
    std::wstring channelApkId() override;
    bool channelLaunch() override;
    bool channelLaunchApk() override;
    bool isQvContextInstalled() override;
    ContextAppState currentContextAppState(const std::wstring& appId) override;
    bool launchInCurrentContext(const std::wstring& appId) override;
    bool isQvInstalled() override;
    bool lookupQvApp(const std::wstring& appId) override;
    bool launchQvAppById(const std::wstring& appId) override;
    bool localAppListContains(const std::wstring& appId) override;
    void addAppShortcut(const std::wstring& appId) override;
    void addAllAppShortcuts() override;
    void removeAppShortcut(const std::wstring& appId) override;
    void removeAllAppShortcuts() override;
    bool runWindow(v2::Installer& installer) override;
    void showRemoveRefused() override;
    void sleepMs(DWORD milliseconds) override;
};

// The pending-launch allow-list: the canonical full path of `programPath` is
// the player or the hall executable, or a file directly inside the player
// home (compared without regard to case). Relative paths, device and
// long-path prefixes and wildcards never pass.
bool isAllowedPendingProgram(const std::wstring& programPath);

}  // namespace app
