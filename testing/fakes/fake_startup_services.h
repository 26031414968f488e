// A scripted, recording app::StartupServices for the road's tests and the
// start-up driver. Every call except the two text conversions is recorded in
// order as "op" or "op(arguments)" (wide arguments as UTF-8, log lines as
// their own bytes).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/startup.h"
#include "testing/fakes/call_log.h"
#include "testing/fakes/fake_installer.h"

namespace fakes {

struct StartupScript {
    bool emulatorInstalled = false;
    bool playerInstalled = false;
    std::wstring playerExe;  // playerExeIfPresent; empty: no player file
    bool launchResult = true;
    DWORD launchError = ERROR_FILE_NOT_FOUND;  // last error after a failed launch
    std::vector<std::wstring> productPrograms;  // isProductProgram (case-insensitive)
    bool loaderRunning = false;
    bool setupRunning = false;
    bool playerRunning = false;
    bool acquireResult = true;
    std::string pendingFile;  // bytes of the pending-launch file; empty: none
    std::wstring mid = L"MID1";
    std::wstring mid2 = L"MID2";
    std::wstring statHost = L"http://stat.test";
    std::wstring apkId;
    bool channelLaunch = false;
    bool channelLaunchApk = false;
    bool qvContextInstalled = false;
    enum Context { NoContext, AppInstalled, AppMissing, Throws } context = NoContext;
    bool qvInstalled = false;
    bool qvAppFound = true;
    std::vector<bool> qvLaunchResults;  // per call, then qvLaunchDefault
    bool qvLaunchDefault = true;
    std::vector<std::wstring> localApps;
    // runWindow: fail; start the installer and wait; or also roll back (action 3).
    enum Window { WindowFails, WindowRuns, WindowRollsBack } window = WindowRuns;
    DWORD windowError = ERROR_INVALID_WINDOW_HANDLE;
};

class FakeStartupServices : public app::StartupServices {
public:
    explicit FakeStartupServices(CallLog* log = nullptr) : calls(log ? *log : ownLog_) {}

    StartupScript script;
    CallLog& calls;
    RecordingProgress windowProgress;  // the listener runWindow binds

    // Back to the default script with nothing recorded.
    void reset();

    // Log lines in order (the bytes passed to log).
    std::vector<std::string> logLines() const;
    // The data files written, name -> bytes.
    std::vector<std::pair<std::wstring, std::string>> dataFiles;

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
    app::ContextAppState currentContextAppState(const std::wstring& appId) override;
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

private:
    void add(const std::string& op) { calls.add(op); }
    void add(const std::string& op, const std::wstring& arg) { calls.add(op + "(" + utf8(arg) + ")"); }

    CallLog ownLog_;
    size_t qvLaunchCalls_ = 0;
};

// Reads a case file (UTF-8 "key=value" lines, '#' comments) into a script for
// the services and the installer environment. False with a reason on an
// unknown key or a malformed value.
bool loadStartupCase(const std::string& text, StartupScript& script, FakeInstallerEnv& env, std::string& error);

}  // namespace fakes
