// Runs the start-up road once with the real command line, the real installer
// thread and COM, the product's bound services and, for the rows that are not
// bound yet, scripted ones; the engine implementation is scripted unless the
// case asks for the product's (driver.engine=product), and the window run is
// scripted unless the case asks for the real dialog (driver.window=real). Writes
// every recorded call, the engine's records and the exit code to <case>.out
// and exits with the road's code.
//
// The bound services act on the machine (mutexes, the common data folder, the
// log, the web hosts), so the driver runs only from a folder that holds a
// developer settings file: offline mode, and every web host on 127.0.0.1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "app/product_services.h"
#include "app/startup.h"
#include "installer/adb/adb_client.h"
#include "installer/engine_removal.h"
#include "installer/installer_product_env.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "installer/qv_control.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/seams.h"
#include "services/web_hosts.h"
#include "testing/fakes/fake_startup_services.h"
#include "testing/startup_driver/loopback_guard.h"
#include "services/log.h"
#include "toolkit/log_sink.h"

namespace {

bool readAll(const std::wstring& path, std::string& out) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return true;
}

bool writeAll(const std::wstring& path, const std::string& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return true;
}

// Case keys of rows that the product now answers: the machine's real state
// decides them, so a case may not script them.
const char* const kBoundKeys[] = {
    "emulatorInstalled", "playerInstalled", "playerExe", "launchResult", "productProgram", "loaderRunning",
    "setupRunning",      "playerRunning",   "acquire",   "pending",      "apkId",          "channelLaunch",
    "channelLaunchApk",  "installer.engine",
    "qvContextInstalled", "qvInstalled", "qvAppFound", "qvLaunchDefault", "qvLaunchResults", "localApp",
    "context",
};

bool findBoundKey(const std::string& text, std::string& key) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        for (const char* k : kBoundKeys) {
            if (line.compare(0, eq, k) == 0 && eq == strlen(k)) {
                key = k;
                return true;
            }
        }
    }
    return false;
}

// Driver keys ("driver.<name>=<value>") are taken out of the case text; the
// rest goes to the scripted services.
struct DriverKeys {
    int blockOp = -1;      // driver.block: the operation that waits for the gate
    std::wstring gate;     // driver.gate: events <gate>.blocked (set) and <gate>.release (awaited)
    bool productEngine = false;  // driver.engine=product: the product's engine implementations
    long removalBoundsMs = -1;   // driver.removalBoundsMs: the removal's waits and the Qv tools' bounds
    long removalPaceMs = -1;     // driver.removalPaceMs: the pause before each paced removal event
    std::string entryEngine;     // driver.writeUninstallEntry=qv|vbox: only write that engine's entry
    bool realWindow = false;     // driver.window=real: the product's dialog and window run
    bool homeThrows = false;     // driver.playerHome=throw: off the main thread, once the engine is made
    bool noDataFolders = false;  // driver.dataFolders=fail: the shell names no data folder, once the engine is made
};

bool takeDriverKeys(std::string& text, DriverKeys& keys, std::string& error) {
    std::string rest;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, 7, "driver.") != 0) {
            rest += line + "\n";
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq), value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (key == "driver.block" && value.size() == 1 && value[0] >= '0' && value[0] <= '4') {
            keys.blockOp = value[0] - '0';
        } else if (key == "driver.engine" && (value == "product" || value == "scripted")) {
            keys.productEngine = value == "product";
        } else if ((key == "driver.removalBoundsMs" || key == "driver.removalPaceMs") && !value.empty() &&
                   value.find_first_not_of("0123456789") == std::string::npos && value.size() < 9) {
            (key == "driver.removalPaceMs" ? keys.removalPaceMs : keys.removalBoundsMs) = atol(value.c_str());
        } else if (key == "driver.writeUninstallEntry" && (value == "qv" || value == "vbox")) {
            keys.entryEngine = value;
        } else if (key == "driver.window" && value == "real") {
            keys.realWindow = true;
        } else if (key == "driver.playerHome" && value == "throw") {
            keys.homeThrows = true;
        } else if (key == "driver.dataFolders" && value == "fail") {
            keys.noDataFolders = true;
        } else if (key == "driver.gate" && !value.empty()) {
            keys.gate = fakes::fromUtf8(value);
        } else {
            error = "bad driver key: " + line;
            return false;
        }
    }
    text = rest;
    return true;
}

// The product's rows where they are bound, recorded as the scripted services
// record them; the scripted rows for the rest.
class BoundStartupServices : public fakes::FakeStartupServices {
public:
    explicit BoundStartupServices(fakes::CallLog* log) : FakeStartupServices(log) {}

    std::string toAnsi(const std::wstring& text) override { return real.toAnsi(text); }
    std::wstring fromAnsi(const std::string& text) override { return real.fromAnsi(text); }
    void log(const std::string& line) override {
        calls.add("log(" + line + ")");
        real.log(line);
    }
    void writeAdaptIni(const std::wstring& key, const std::wstring& value) override {
        record("writeAdaptIni", key + L"=" + value);
        real.writeAdaptIni(key, value);
    }
    std::wstring getMid() override {
        calls.add("getMid");
        return real.getMid();
    }
    std::wstring getMid2() override {
        calls.add("getMid2");
        return real.getMid2();
    }
    bool isEmulatorInstalled() override { return answer("isEmulatorInstalled", real.isEmulatorInstalled()); }
    bool isPlayerInstalled() override { return answer("isPlayerInstalled", real.isPlayerInstalled()); }
    std::wstring playerExeIfPresent() override {
        calls.add("playerExeIfPresent");
        return real.playerExeIfPresent();
    }
    bool launchProcess(const std::wstring& commandLine) override {
        record("launchProcess", commandLine);
        bool ok = real.launchProcess(commandLine);
        DWORD error = GetLastError();
        calls.add(std::string("launchProcess=") + (ok ? "1" : "0"));
        SetLastError(error);
        return ok;
    }
    void markLaunched() override {
        calls.add("markLaunched");
        real.markLaunched();
    }
    bool isProductProgram(const std::wstring& programPath) override {
        record("isProductProgram", programPath);
        return answer("isProductProgram", real.isProductProgram(programPath), false);
    }
    bool isLoaderRunning() override { return answer("isLoaderRunning", real.isLoaderRunning()); }
    bool isSetupRunning() override { return answer("isSetupRunning", real.isSetupRunning()); }
    bool isPlayerRunning() override { return answer("isPlayerRunning", real.isPlayerRunning()); }
    bool acquireLoaderInstance() override { return answer("acquireLoaderInstance", real.acquireLoaderInstance()); }
    void activateExistingLoader() override {
        calls.add("activateExistingLoader");
        real.activateExistingLoader();
    }
    void writeDataFile(const std::wstring& name, const std::string& bytes) override {
        calls.add("writeDataFile(" + fakes::utf8(name) + ", " + bytes + ")");
        real.writeDataFile(name, bytes);
    }
    std::string takeDataFile(const std::wstring& name) override {
        record("takeDataFile", name);
        std::string bytes = real.takeDataFile(name);
        calls.add("takeDataFile=" + bytes);
        return bytes;
    }
    std::wstring statUrl(const std::wstring& action) override {
        record("statUrl", action);
        return real.statUrl(action);
    }
    void sendStat(const std::wstring& url) override {
        record("sendStat", url);
        real.sendStat(url);
    }
    void updateChannelConfig() override {
        calls.add("updateChannelConfig");
        real.updateChannelConfig();
    }
    std::wstring channelApkId() override {
        calls.add("channelApkId");
        return real.channelApkId();
    }
    bool channelLaunch() override { return answer("channelLaunch", real.channelLaunch()); }
    bool channelLaunchApk() override { return answer("channelLaunchApk", real.channelLaunchApk()); }
    bool isQvContextInstalled() override { return answer("isQvContextInstalled", real.isQvContextInstalled()); }
    // The list store's exception goes through to the road, as in the loader.
    app::ContextAppState currentContextAppState(const std::wstring& appId) override {
        record("currentContextAppState", appId);
        const app::ContextAppState state = real.currentContextAppState(appId);
        calls.add(std::string("currentContextAppState=") + (state == app::ContextAppState::NoContext  ? "none"
                                                             : state == app::ContextAppState::Installed ? "installed"
                                                                                                         : "missing"));
        return state;
    }
    bool launchInCurrentContext(const std::wstring& appId) override {
        record("launchInCurrentContext", appId);
        return answer("launchInCurrentContext", real.launchInCurrentContext(appId), false);
    }
    bool isQvInstalled() override { return answer("isQvInstalled", real.isQvInstalled()); }
    bool lookupQvApp(const std::wstring& appId) override {
        record("lookupQvApp", appId);
        return answer("lookupQvApp", real.lookupQvApp(appId), false);
    }
    bool launchQvAppById(const std::wstring& appId) override {
        record("launchQvAppById", appId);
        return answer("launchQvAppById", real.launchQvAppById(appId), false);
    }
    bool localAppListContains(const std::wstring& appId) override {
        record("localAppListContains", appId);
        return answer("localAppListContains", real.localAppListContains(appId), false);
    }
    void addAppShortcut(const std::wstring& appId) override {
        record("addAppShortcut", appId);
        real.addAppShortcut(appId);
    }
    void addAllAppShortcuts() override {
        calls.add("addAllAppShortcuts");
        real.addAllAppShortcuts();
    }
    void removeAppShortcut(const std::wstring& appId) override {
        record("removeAppShortcut", appId);
        real.removeAppShortcut(appId);
    }
    void removeAllAppShortcuts() override {
        calls.add("removeAllAppShortcuts");
        real.removeAllAppShortcuts();
    }
    bool runWindow(v2::Installer& installer) override {
        if (!realWindow) return FakeStartupServices::runWindow(installer);
        calls.add("runWindow(action=" + std::to_string(installer.getAction()) + ")");
        bool ok = real.runWindow(installer);
        DWORD error = GetLastError();
        calls.add(std::string("runWindow=") + (ok ? "1" : "0") + " action=" + std::to_string(installer.getAction()));
        SetLastError(error);
        return ok;
    }

    bool realWindow = false;

private:
    void record(const std::string& op, const std::wstring& arg) { calls.add(op + "(" + fakes::utf8(arg) + ")"); }
    // "op", then "op=<answer>" (the answer after the call when named is false).
    bool answer(const char* op, bool value, bool named = true) {
        if (named) calls.add(op);
        calls.add(std::string(op) + "=" + (value ? "1" : "0"));
        return value;
    }

    app::ProductStartupServices real;
};

// The product's installer rows where they are bound; the engine stays scripted.
class BoundInstallerEnv : public fakes::FakeInstallerEnv {
public:
    void log(const std::string& line) override {
        if (timeline) timeline->add("installer.log(" + line + ")");
        real.log(line);
    }
    int32_t selectedEngine() override {
        ++engineCalls;
        int32_t v = real.selectedEngine();
        if (timeline) timeline->add("installer.selectedEngine=" + std::to_string(v));
        return v;
    }
    v2::InstallerImpl* createImpl(int32_t engine, v2::Installer* owner) override {
        if (!productEngine) return FakeInstallerEnv::createImpl(engine, owner);
        if (timeline) timeline->add("installer.createImpl(" + std::to_string(engine) + ")");
        v2::InstallerImpl* impl = real.createImpl(engine, owner);
        if (homeThrows) {
            // The operation's own lookups fail; the road's, on the main thread, do not.
            const std::wstring home = getPlayerHome();
            const DWORD main = mainThread;
            setPlayerHomeLookupForTests([home, main]() -> std::wstring {
                if (GetCurrentThreadId() != main) throw std::runtime_error("player home lookup failed");
                return home;
            });
        }
        // The road has opened its log; the operation's own lookups fail from here.
        if (noDataFolders) setDataFolderLookupForTests([](int, std::wstring&) { return false; });
        return impl;
    }

    bool productEngine = false;
    bool homeThrows = false;
    bool noDataFolders = false;
    DWORD mainThread = 0;

private:
    v2::ProductInstallerEnv real;
};

// Signals the test when the blocked operation is reached, and releases it when the
// test opens the gate.
struct GateWatch {
    BoundInstallerEnv* env;
    std::wstring gate;
};

DWORD WINAPI gateThreadProc(LPVOID arg) {
    GateWatch* watch = static_cast<GateWatch*>(arg);
    HANDLE blocked = OpenEventW(EVENT_MODIFY_STATE, FALSE, (watch->gate + L".blocked").c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (watch->gate + L".release").c_str());
    if (watch->env->waitBlocked(120000) && blocked) SetEvent(blocked);
    if (release) WaitForSingleObject(release, 120000);
    watch->env->release();
    if (blocked) CloseHandle(blocked);
    if (release) CloseHandle(release);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The device side of the context rows: a fake adb server of the test.
    wchar_t adbPort[16];
    DWORD portLength = GetEnvironmentVariableW(L"TARVO_ADB_PORT", adbPort, 16);
    if (portLength > 0 && portLength < 16) adb::settings().defaultServerPort = _wtoi(adbPort);

    ravel::log::setLineSink(&writeLogLine);  // as the loader does
    wchar_t casePath[4096];
    DWORD n = GetEnvironmentVariableW(L"TARVO_ROAD_CASE", casePath, 4096);
    if (n == 0 || n >= 4096) return 3;
    const std::wstring outPath = std::wstring(casePath) + L".out";

    std::string text;
    if (!readAll(casePath, text)) return 3;

    DriverKeys keys;
    std::string keyError;
    if (!takeDriverKeys(text, keys, keyError) || (keys.blockOp >= 0) != !keys.gate.empty()) {
        writeAll(outPath, "case error: " + (keyError.empty() ? std::string("driver.block needs driver.gate") : keyError) + "\n");
        return 3;
    }

    std::string refused = roadtest::unsafeDriverSetting();
    // Seeding: the entry as this offline loader (its own path) writes it.
    if (refused.empty() && !keys.entryEngine.empty()) {
        if (keys.entryEngine == "qv")
            v2::InstallerQvImpl::writeUninstallEntry();
        else
            v2::InstallerVBoxImpl::writeUninstallEntry();
        writeAll(outPath, "entry=" + keys.entryEngine + "\nexit=0\n");
        return 0;
    }
    std::string key;
    if (refused.empty() && findBoundKey(text, key)) refused = "key " + key + " is answered by the product";
    if (!refused.empty()) {
        writeAll(outPath, "case error: " + refused + "\n");
        return 3;
    }

    static fakes::CallLog timeline;
    static BoundInstallerEnv env;
    static BoundStartupServices services(&timeline);
    std::string error;
    if (!fakes::loadStartupCase(text, services.script, env, error)) {
        writeAll(outPath, "case error: " + error + "\n");
        return 3;
    }
    env.timeline = &timeline;
    env.productEngine = keys.productEngine;
    env.homeThrows = keys.homeThrows;
    env.noDataFolders = keys.noDataFolders;
    env.mainThread = GetCurrentThreadId();
    if (keys.removalBoundsMs >= 0) {
        const DWORD ms = (DWORD)keys.removalBoundsMs;
        removalBounds().setupUninstallMs = ms;
        removalBounds().helperServiceMs = ms;
        removalBounds().helperRetryMs = ms;
        qvToolLimits().quitMs = ms;
        qvToolLimits().serviceStopMs = ms;
    }
    if (keys.removalPaceMs >= 0) {
        const DWORD ms = (DWORD)keys.removalPaceMs;
        removalBounds().qvMainPaceMs = ms;
        removalBounds().qvDataPaceMs = ms;
        removalBounds().vboxPaceMs = ms;
    }
    services.realWindow = keys.realWindow;
    v2::setInstallerEnv(&env);

    // A blocked operation holds the run (and the loader mutex) until the test
    // opens the gate; every wait is bounded.
    HANDLE gateThread = nullptr;
    if (keys.blockOp >= 0) {
        env.ops[keys.blockOp].block = true;
        static GateWatch watch{&env, keys.gate};
        gateThread = CreateThread(nullptr, 0, gateThreadProc, &watch, 0, nullptr);
    }

    const DWORD mainThread = GetCurrentThreadId();
    int rc = app::runStartupRoad(GetCommandLineW(), services);
    if (gateThread) {
        env.release();
        WaitForSingleObject(gateThread, 5000);
        CloseHandle(gateThread);
    }

    std::string out;
    for (const std::string& e : timeline.all()) out += e + "\n";
    // The window run's progress, as the dialog would have shown it.
    for (const fakes::RecordingProgress::Record& r : services.windowProgress.records()) {
        char line[160];
        snprintf(line, sizeof line, "event stage=%d state=%d error=%d percent=%g detail=", r.stage, r.state, r.error,
                 r.percent);
        out += line + fakes::utf8(r.detail) + " message=" + fakes::utf8(r.message) + "\n";
    }
    for (const fakes::FakeOpRecord& r : env.records()) {
        char line[256];
        snprintf(line, sizeof line, "record(op=%d, engine=%d, mainThread=%d, com=0x%08lx, fired=%d, worker=%d, workerOwnThread=%d)\n",
                 r.op, (int)r.engine, r.threadId == mainThread ? 1 : 0, (unsigned long)r.coInit, r.fired,
                 r.firedByWorker, r.workerThreadId != 0 && r.workerThreadId != r.threadId ? 1 : 0);
        out += line;
    }
    out += "g_silent=" + std::to_string(g_silent ? 1 : 0) + " g_backinstall=" + std::to_string(g_backinstall ? 1 : 0) +
           " g_silent_upgrade=" + std::to_string(g_silent_upgrade ? 1 : 0) + "\n";
    out += "loaderMutexHeld=" + std::to_string(g_loaderMutex.get() ? 1 : 0) + "\n";
    out += "exit=" + std::to_string(rc) + "\n";
    writeAll(outPath, out);
    return rc;
}
