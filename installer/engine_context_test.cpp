// The fake adb fixture needs winsock2.h before windows.h.
#include <winsock2.h>

#include "installer/engine_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/app_list.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"

namespace {

const char kVmMutex[] = "vbox_1_c189726741d83ce2655d90b94382d566";

std::wstring apk(const std::wstring& name) { return tst::binDir() + L"\\fixtures\\apk\\" + name; }

std::vector<std::string> lines(const std::wstring& path) {
    std::string text;
    tst::readFile(path, text);
    std::vector<std::string> out;
    std::string line;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            out.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) out.push_back(line);
    return out;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    for (const std::string& s : list)
        if (s == item) return true;
    return false;
}

// A mutex name held by the test, as a running program holds it.
class Held {
public:
    explicit Held(const char* name) : h_(CreateMutexA(nullptr, FALSE, name)) {}
    ~Held() { release(); }
    void release() {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

// context_driver in a program folder of its own, offline, with the player
// stand-in beside it (so the VBox player counts as installed). The engine's
// state, the app folders and the list files are the prefix's: the rig holds
// the machine-state mutex and puts the vbox_1 list file back.
class ContextRig {
public:
    explicit ContextRig(const std::string& settings = "", bool player = true) : dir_(L"ctx") {
        prog_ = dir_.file(L"prog");
        CreateDirectoryW(prog_.c_str(), nullptr);
        CreateDirectoryW(dir_.file(L"home").c_str(), nullptr);
        static int serial = 0;
        exe_ = prog_ + L"\\ctx_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial) + L".exe";
        CopyFileW((tst::binDir() + L"\\context_driver.exe").c_str(), exe_.c_str(), FALSE);
        if (player) CopyFileW((tst::binDir() + L"\\TarvoPlayer.exe").c_str(), player_().c_str(), FALSE);
        tst::writeFile(prog_ + L"\\tarvo-dev.lic", "online=0\nhome=" + tst::narrow(dir_.file(L"home")) + "\n" + settings);
        listPath_ = getUserDataFolder() + L"\\apps\\tvdata1_vbox_1.dat";
        listSaved_ = tst::readFile(listPath_, listBytes_);
        DeleteFileW(listPath_.c_str());
    }
    ~ContextRig() {
        tst::writeFile(stopFile(), "stop");
        for (int i = 0; i < 30 && stillRunning(); ++i) Sleep(100);
        fakeadb::killStandIns(statePath(), L"tarvoplayer.exe");
        if (listSaved_)
            tst::writeFile(listPath_, listBytes_);
        else
            DeleteFileW(listPath_.c_str());
        std::wstring name = exe_.substr(exe_.find_last_of(L'\\') + 1);
        DeleteFileW((getLogFolder() + L"\\" + name.substr(0, name.size() - 4) + L".log").c_str());
    }
    ContextRig(const ContextRig&) = delete;
    ContextRig& operator=(const ContextRig&) = delete;

    bool ready() const { return lock_.held() && tst::fileExists(exe_); }
    std::wstring player_() const { return prog_ + L"\\TarvoPlayer.exe"; }
    std::string playerPath() const { return tst::narrow(player_()); }
    std::wstring recordPath() const { return dir_.file(L"player.txt"); }
    std::wstring statePath() const { return dir_.file(L"state.txt"); }
    std::wstring stopFile() const { return dir_.file(L"stop"); }
    std::wstring listPath() const { return listPath_; }
    std::vector<std::string> starts() const { return lines(recordPath()); }
    // The recorded starts once there are `expected` of them (or after waitMs): a
    // started player records on its own time.
    std::vector<std::string> waitStarts(size_t expected, DWORD waitMs = 10000) const {
        for (DWORD waited = 0;; waited += 100) {
            std::vector<std::string> s = starts();
            if (s.size() >= expected || waited >= waitMs) return s;
            Sleep(100);
        }
    }
    std::vector<std::string> state() const { return lines(statePath()); }
    // Whether the player's state file gets the line within waitMs.
    bool waitState(const std::string& line, DWORD waitMs) const {
        for (DWORD waited = 0;; waited += 100) {
            if (contains(state(), line)) return true;
            if (waited >= waitMs) return false;
            Sleep(100);
        }
    }

    fakeadb::DriverRun run(std::vector<std::wstring> args, std::vector<std::wstring> env = {},
                           DWORD waitMs = 60000) {
        env.push_back(L"TARVO_PLAYER_RECORD=" + recordPath());
        env.push_back(L"TARVO_PLAYER_STATE=" + statePath());
        env.push_back(L"TARVO_PLAYER_STOP=" + stopFile());
        if (adbPort_) {
            args.insert(args.begin(), std::to_wstring(adbPort_));
            args.insert(args.begin(), L"--adb-port");
        }
        return fakeadb::runDriver(args, env, waitMs, exe_);
    }
    void useAdb(int port) { adbPort_ = port; }

    // Starts a running player: the stand-in in "run" mode, taking the VM mutex.
    bool startPlayer(bool headless, const std::wstring& mode = L"run") {
        std::wstring line = L"\"" + player_() + L"\" --vmid \"vbox_1\"" + (headless ? L" --headless" : L"");
        std::vector<wchar_t> env = tst::environmentWith(
            {L"TARVO_PLAYER_MODE=" + mode, L"TARVO_PLAYER_RECORD=" + recordPath(),
             L"TARVO_PLAYER_STATE=" + statePath(), L"TARVO_PLAYER_STOP=" + stopFile()});
        std::vector<wchar_t> cmd(line.begin(), line.end());
        cmd.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                            nullptr, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        for (int i = 0; i < 100; ++i) {
            if (mode != L"run" || isMutexHeldHere(kVmMutex)) return true;
            Sleep(100);
        }
        return false;
    }
    static bool isMutexHeldHere(const char* name) {
        HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
        if (h) CloseHandle(h);
        return h != nullptr;
    }

private:
    bool stillRunning() const {
        std::vector<std::string> s = state();
        size_t pids = 0, exits = 0;
        for (const std::string& l : s) {
            pids += l.compare(0, 4, "pid ") == 0;
            exits += l == "exit";
        }
        return exits < pids;
    }

    tst::MachineStateLock lock_;
    tst::TempDir dir_;
    std::wstring prog_, exe_, listPath_;
    bool listSaved_ = false;
    std::string listBytes_;
    int adbPort_ = 0;
};

Json::Value config(std::initializer_list<std::pair<const char*, Json::Value>> values) {
    Json::Value c(Json::objectValue);
    for (const auto& kv : values) c[kv.first] = kv.second;
    return c;
}

std::vector<std::string> logLines(const fakeadb::DriverRun& run) {
    std::vector<std::string> out;
    for (int i = 0;; ++i) {
        auto it = run.result.find("log_" + std::to_string(i));
        if (it == run.result.end()) return out;
        out.push_back(it->second);
    }
}

// The first log line of the run that starts with prefix; empty when none.
std::string logLine(const fakeadb::DriverRun& run, const std::string& prefix) {
    for (const std::string& l : logLines(run))
        if (l.compare(0, prefix.size(), prefix) == 0) return l;
    return std::string();
}

bool logged(const fakeadb::DriverRun& run, const std::string& prefix) { return !logLine(run, prefix).empty(); }

TEST(EngineContextTest, RegistryHoldsVBoxThenQvAndFindsExactNames) {
    {
        ContextRig rig;
        ASSERT_TRUE(rig.ready());
        fakeadb::DriverRun r = rig.run({L"registry"});
        EXPECT_EQ("vbox_1,qv_1", r["names"]);
        EXPECT_EQ("127.0.0.1:5555", r["serial_vbox_1"]);
        EXPECT_EQ("0", r["engine_vbox_1"]);
        EXPECT_EQ("1", r["engine_qv_1"]);
        EXPECT_EQ("vbox_1", rig.run({L"find", L"vbox_1"})["found"]);
        EXPECT_EQ("qv_1", rig.run({L"find", L"qv_1"})["found"]);
        EXPECT_EQ("none", rig.run({L"find", L"VBOX_1"})["found"]);
        EXPECT_EQ("none", rig.run({L"find", L"vbox_2"})["found"]);
    }
    ContextRig off("vbox_enabled=0\n");
    ASSERT_TRUE(off.ready());
    EXPECT_EQ("qv_1", off.run({L"registry"})["names"]);
    EXPECT_EQ("none", off.run({L"find", L"vbox_1"})["found"]);
}

TEST(EngineContextTest, AdbSerialComesFromHostAndPortUnlessGiven) {
    QvContext c;
    EXPECT_EQ(L"127.0.0.1:5555", c.getAdbSerial());
    c.adbHost = L"10.0.2.2";
    c.adbPort = 5556;
    EXPECT_EQ(L"10.0.2.2:5556", c.getAdbSerial());
    c.adbSerial = L"emulator-5554";
    EXPECT_EQ(L"emulator-5554", c.getAdbSerial());
    EXPECT_EQ("vbox_1_c189726741d83ce2655d90b94382d566", getVmMutexName(L"vbox_1"));
}

TEST(EngineContextTest, CurrentContextFollowsVmidElseTheInstalledEngine) {
    struct Case {
        const char* what;
        std::vector<std::wstring> args;
        std::string settings;
        bool qvInstalled;
        const char* expected;
    };
    const Case cases[] = {
        {"default", {L"current"}, "", false, "vbox_1"},
        {"qv installed", {L"current"}, "", true, "qv_1"},
        {"vmid qv_1", {L"--vmid", L"qv_1", L"current"}, "", false, "qv_1"},
        {"vmid of a disabled engine", {L"--vmid", L"vbox_1", L"current"}, "vbox_enabled=0\n", false, "none"},
        {"vmid swallowed by restart", {L"current", L"--vmid", L"/restart"}, "", false, "vbox_1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qvtest::StandinEngine engine;
        if (c.qvInstalled) ASSERT_TRUE(engine.install());
        ContextRig rig(c.settings);
        ASSERT_TRUE(rig.ready());
        fakeadb::DriverRun r = rig.run(c.args);
        EXPECT_EQ(c.expected, r["first"]);
        EXPECT_EQ(c.expected, r["second"]);
        EXPECT_EQ("1", r["threads_same"]);
        EXPECT_EQ("1", r["same_object"]);
    }
}

TEST(EngineContextTest, RunningOnlyOpensTheVmMutex) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    {
        Held vm(kVmMutex);
        EXPECT_EQ("1", rig.run({L"running"})["running"]);
    }
    EXPECT_EQ("0", rig.run({L"running"})["running"]);
    // The probe never made the name, not even for the moment of one question:
    // watched while it asks without a pause for two seconds.
    fakeadb::DriverRun probing;
    std::atomic<bool> done(false);
    std::thread prober([&] {
        probing = rig.run({L"running-for", L"2000"});
        done = true;
    });
    size_t looks = 0, seen = 0;
    while (!done) {
        seen += ContextRig::isMutexHeldHere(kVmMutex) ? 1 : 0;
        ++looks;
    }
    prober.join();
    EXPECT_EQ("0", probing["running"]);
    EXPECT_GT(probing.num("probes"), 100);
    EXPECT_GT(looks, 100u);
    EXPECT_EQ(0u, seen);
}

TEST(EngineContextTest, LaunchStartsThePlayerOrRaisesIt) {
    {
        ContextRig rig;
        ASSERT_TRUE(rig.ready());
        EXPECT_EQ("0", rig.run({L"launch", L"-", L"0"})["result"]);
        rig.waitStarts(1);  // in order
        EXPECT_EQ("0", rig.run({L"launch", L"--pkg com.a.b", L"1"})["result"]);
        std::vector<std::string> s = rig.waitStarts(2);
        ASSERT_EQ(2u, s.size());
        EXPECT_EQ("\"" + rig.playerPath() + "\" --vmid \"vbox_1\"", s[0]);
        EXPECT_EQ("\"" + rig.playerPath() + "\" --pkg com.a.b --vmid \"vbox_1\" --headless", s[1]);
    }
    for (bool headless : {false, true}) {
        SCOPED_TRACE(headless ? "headless" : "not headless");
        ContextRig rig;
        ASSERT_TRUE(rig.ready());
        ASSERT_TRUE(rig.startPlayer(true));
        EXPECT_EQ("0", rig.run({L"launch", L"-", headless ? L"1" : L"0"})["result"]);
        EXPECT_EQ(1u, rig.starts().size());  // the player the test started
        EXPECT_EQ(!headless, rig.waitState("shown", headless ? 1000 : 5000));
    }
    ContextRig none("", false);
    ASSERT_TRUE(none.ready());
    EXPECT_EQ("-1", none.run({L"launch", L"-", L"0"})["result"]);
}

std::vector<std::string> requestsOf(const fakeadb::FakeAdb& adb, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& r : adb.requests())
        if (r.compare(0, prefix.size(), prefix) == 0) out.push_back(r);
    return out;
}

// Index of the first request with the prefix (size when none).
size_t firstRequest(const std::vector<std::string>& requests, const std::string& prefix) {
    for (size_t i = 0; i < requests.size(); ++i)
        if (requests[i].compare(0, prefix.size(), prefix) == 0) return i;
    return requests.size();
}

size_t countBefore(const std::vector<std::string>& requests, const std::string& what, size_t end) {
    size_t n = 0;
    for (size_t i = 0; i < end && i < requests.size(); ++i) n += requests[i] == what;
    return n;
}

const std::wstring kStartedVm[] = {L"TARVO_PLAYER_MODE=run", L"TARVO_PLAYER_VM_DELAY_MS=400",
                                   L"TARVO_PLAYER_LINGER_MS=60000"};

TEST(EngineContextTest, InstallOnAStoppedEngineWaitsForTheGuestToBoot) {
    for (bool qvInstalled : {false, true}) {
        SCOPED_TRACE(qvInstalled ? "qv installed" : "qv absent");
        qvtest::StandinEngine engine;
        if (qvInstalled) ASSERT_TRUE(engine.install());
        ContextRig rig;
        ASSERT_TRUE(rig.ready());
        fakeadb::FakeAdb adb(config({{"boot_after", 2}}));
        ASSERT_TRUE(adb.ok());
        rig.useAdb(adb.port());
        fakeadb::DriverRun r = rig.run({L"install-app", L"1001", apk(L"good.apk"), L"20000"},
                                       {kStartedVm[0], kStartedVm[1], kStartedVm[2]});
        EXPECT_EQ("0", r["result"]);
        EXPECT_EQ("com.a.b", r["package"]);
        std::vector<std::string> s = rig.starts();
        ASSERT_EQ(1u, s.size());
        EXPECT_EQ("\"" + rig.playerPath() + "\" --vmid \"vbox_1\" --headless", s[0]);
        const std::vector<std::string> requests = adb.requests();
        const size_t firstSync = firstRequest(requests, "sync:");
        EXPECT_EQ(3u, countBefore(requests, "shell:getprop sys.boot_completed", firstSync));
        EXPECT_NE(std::string::npos, logLine(r, "guest boot wait ").find(", booted 1"));
        std::string list;
        tst::readFile(rig.listPath(), list);
        EXPECT_NE(std::string::npos, list.find("com.a.b")) << list;
    }
}

TEST(EngineContextTest, InstallGivesUpOnAVmThatNeverComesUp) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    fakeadb::DriverRun r =
        rig.run({L"install-apk", apk(L"good.apk"), L"1500"}, {L"TARVO_PLAYER_MODE=no-vm", L"TARVO_PLAYER_LINGER_MS=10000"});
    EXPECT_EQ("-1", r["result"]);
    EXPECT_GE(r.num("elapsed_ms"), 1500);
    EXPECT_LE(r.num("elapsed_ms"), 2300);
    EXPECT_EQ(0, adb.connections());
}

TEST(EngineContextTest, BootWaitIsBoundedAndCountsAnAbsentDeviceAsNotBooted) {
    {
        ContextRig rig;
        ASSERT_TRUE(rig.ready());
        fakeadb::FakeAdb adb(config({{"boot_never", true}}));
        ASSERT_TRUE(adb.ok());
        rig.useAdb(adb.port());
        // A VM that takes most of the budget to come up leaves the boot wait the rest
        // (the 1.5 s left over also hold the player's start on a loaded machine).
        fakeadb::DriverRun r = rig.run({L"install-apk", apk(L"good.apk"), L"4000"},
                                       {kStartedVm[0], L"TARVO_PLAYER_VM_DELAY_MS=2500", kStartedVm[2]});
        EXPECT_EQ("0", r["result"]);  // the install goes on
        EXPECT_GE(r.num("elapsed_ms"), 4000);
        // The budget, one boot poll of 1 s, and the install itself.
        EXPECT_LE(r.num("elapsed_ms"), 4000 + 1000 + 800);
        EXPECT_EQ(1u, adb.installs().size());
        EXPECT_NE(std::string::npos, logLine(r, "guest boot wait ").find(", booted 0"));
    }
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({{"device_absent_first", 2}}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    fakeadb::DriverRun r = rig.run({L"install-apk", apk(L"good.apk"), L"20000"},
                                   {kStartedVm[0], kStartedVm[1], kStartedVm[2]});
    EXPECT_EQ("0", r["result"]);
    // Two refused transports, then the getprop that sees the booted guest.
    const std::vector<std::string> requests = adb.requests();
    EXPECT_EQ(1u, countBefore(requests, "shell:getprop sys.boot_completed", firstRequest(requests, "sync:")));
    EXPECT_GE(countBefore(requests, "host:transport:127.0.0.1:5555", firstRequest(requests, "sync:")), 3u);
}

TEST(EngineContextTest, InstallOnARunningEngineAsksNoBootState) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({{"boot_never", true}}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    Held vm(kVmMutex);
    fakeadb::DriverRun r = rig.run({L"install-apk", apk(L"good.apk"), L"20000"});
    EXPECT_EQ("0", r["result"]);
    EXPECT_TRUE(rig.starts().empty());
    EXPECT_TRUE(requestsOf(adb, "shell:getprop").empty());
}

TEST(EngineContextTest, StartAppOnARunningEngineSendsAmStart) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    ASSERT_TRUE(rig.startPlayer(true));
    EXPECT_EQ("0", rig.run({L"start-app", L"com.a.b", L".Main"})["result"]);
    EXPECT_EQ("0", rig.run({L"start-app", L"com.a.b", L"-"})["result"]);
    EXPECT_EQ("0", rig.run({L"start-app", L"com.a", L"com.a.Outer$Inner"})["result"]);
    std::vector<std::string> am = requestsOf(adb, "shell:am ");
    ASSERT_EQ(3u, am.size());
    EXPECT_EQ("shell:am start -n \"com.a.b/.Main\"", am[0]);
    EXPECT_EQ("shell:am start \"com.a.b\"", am[1]);
    std::vector<Json::Value> started = adb.eventsOf("am_start");
    ASSERT_EQ(3u, started.size());
    ASSERT_EQ(2u, started[2]["args"].size());
    EXPECT_EQ("-n", started[2]["args"][0].asString());
    EXPECT_EQ("com.a/com.a.Outer$Inner", started[2]["args"][1].asString());
    EXPECT_TRUE(adb.waitAllClosed());
    EXPECT_TRUE(rig.waitState("shown", 5000));
    EXPECT_EQ(1u, rig.starts().size());
}

TEST(EngineContextTest, StartAppRefusesTextsThatWouldReachAShell) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    Held vm(kVmMutex);
    struct Case {
        std::wstring package, activity;
    };
    const Case cases[] = {{L"com.a b", L"-"}, {L"com.a;x", L"-"}, {L"", L"-"}, {L"com.a.b", L".Ma\"in"},
                          {L"com.a.b", L".M`x`"}, {std::wstring(256, L'a'), L"-"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.package + L" " + c.activity));
        fakeadb::DriverRun r = rig.run({L"start-app", c.package, c.activity});
        EXPECT_EQ("-1", r["result"]);
        EXPECT_TRUE(logged(r, "app start refused: "));
    }
    EXPECT_EQ(0, adb.connections());
    EXPECT_TRUE(rig.starts().empty());
}

TEST(EngineContextTest, StartAppWithoutAnAdbServerFails) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    rig.useAdb(fakeadb::freePort());
    Held vm(kVmMutex);
    EXPECT_EQ("-1", rig.run({L"start-app", L"com.a.b", L".Main"})["result"]);
}

TEST(EngineContextTest, StartAppOnAStoppedEngineStartsThePlayerWithAWindow) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    EXPECT_EQ("0", rig.run({L"start-app", L"com.a.b", L".Main", L"headless"})["result"]);
    rig.waitStarts(1);  // in order
    EXPECT_EQ("0", rig.run({L"start-app", L"com.a.b", L"-"})["result"]);
    std::vector<std::string> s = rig.waitStarts(2);
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ("\"" + rig.playerPath() + "\" --pkg com.a.b --act .Main --vmid \"vbox_1\"", s[0]);
    EXPECT_EQ("\"" + rig.playerPath() + "\" --pkg com.a.b --vmid \"vbox_1\"", s[1]);
}

TEST(EngineContextTest, LaunchByIdUsesTheAppFolder) {
    qvtest::StandinEngine apps;  // app folders only; the engine stays uninstalled
    apps.writeAppFolder(L"1001", {{"id", "1001"}, {"package", "com.example.one"}, {"activity", ".Main"}});
    apps.writeAppFolder(L"1002", {{"id", "1002"}, {"package", "com.example.two"}, {"activity", ".Ma in"}});
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    EXPECT_EQ("-1", rig.run({L"launch-by-id", L"999"})["result"]);
    fakeadb::DriverRun spaced = rig.run({L"launch-by-id", L"1 2"});
    EXPECT_EQ("-1", spaced["result"]);
    EXPECT_TRUE(logged(spaced, "app start refused: "));
    EXPECT_EQ("0", rig.run({L"launch-by-id", L"1001"})["result"]);
    std::vector<std::string> s = rig.waitStarts(1);
    ASSERT_EQ(1u, s.size());
    EXPECT_EQ("\"" + rig.playerPath() + "\" --app-id 1001 --vmid \"vbox_1\"", s[0]);

    Held vm(kVmMutex);
    EXPECT_EQ("0", rig.run({L"launch-by-id", L"1001"})["result"]);
    fakeadb::DriverRun blank = rig.run({L"launch-by-id", L"1002"});
    EXPECT_EQ("-1", blank["result"]);
    EXPECT_TRUE(logged(blank, "app start refused: "));
    std::vector<std::string> am = requestsOf(adb, "shell:am ");
    ASSERT_EQ(1u, am.size());
    EXPECT_EQ("shell:am start -n \"com.example.one/.Main\"", am[0]);
    EXPECT_EQ(1u, rig.starts().size());
}

TEST(EngineContextTest, QvContextDoesNothing) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install());
    fakeadb::FakeAdb adb(config({}));
    ASSERT_TRUE(adb.ok());
    const int savedPort = ::adb::settings().defaultServerPort;
    ::adb::settings().defaultServerPort = adb.port();
    const size_t recorded = engine.record().size();
    QvContext qv;
    EXPECT_EQ(L"qv_1", qv.getName());
    EXPECT_EQ(EngineKind::Qv, qv.engine);
    EXPECT_TRUE(qv.isInstalled());
    AppInfo app;
    app.id = L"1001";
    app.package = L"com.a.b";
    app.apkPath = apk(L"good.apk");
    EXPECT_EQ(0, qv.launch(L"--pkg com.a.b"));
    qv.reserved3();
    EXPECT_FALSE(qv.isRunning());
    qv.bringToFront();
    EXPECT_FALSE(qv.isAppInstalled(L"1001"));
    EXPECT_FALSE(qv.isPackageInstalled(L"com.a.b"));
    EXPECT_EQ(0, qv.installApp(app, false, 1000));
    EXPECT_EQ(0, qv.installApk(app.apkPath, false, 1000));
    EXPECT_EQ(0, qv.startApp(L"com.a.b", L".Main"));
    EXPECT_EQ(0, qv.launchAppById(L"1001"));
    Sleep(300);
    EXPECT_EQ(recorded, engine.record().size());
    EXPECT_EQ(0, adb.connections());
    ::adb::settings().defaultServerPort = savedPort;
}

// The device's and the list file's answers.
TEST(EngineContextTest, PackageAndAppInstalledAskTheGuestOrTheList) {
    qvtest::StandinEngine apps;
    apps.writeAppFolder(L"1001", {{"id", "1001"}, {"package", "com.example.one"}, {"activity", ".Main"}});
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    // The list: one entry with appId 12, two that the APK installer added (appId 0).
    {
        // Written through the store so the format is the store's own.
        struct ListContext : QvContext {
            ListContext() { name = L"vbox_1"; }
            bool isInstalled() override { return true; }
        } listContext;
        AppListStore store(listContext);
        AppListMap entries;
        AppListEntry twelve;
        twelve.package = "com.listed.twelve";
        twelve.appId = 12;
        twelve.label = L"twelve";
        entries[twelve.package] = twelve;
        for (const char* p : {"com.added.a", "com.added.b"}) {
            AppListEntry e;
            e.package = p;
            e.label = L"added";
            entries[p] = e;
        }
        store.write(entries);
    }
    Json::Value packages(Json::arrayValue);
    Json::Value one(Json::arrayValue);
    one.append("/data/app/~~Hs2X==/com.example.one-G5ZX==/base.apk");
    one.append("com.example.one");
    packages.append(one);
    fakeadb::FakeAdb adb(config({{"line_end", "\n"}, {"packages", packages}}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    struct Case {
        const wchar_t* scenario;
        const wchar_t* value;
        const char* installed;
    };
    // Stopped: the list alone, no adb.
    const Case stopped[] = {
        {L"package-installed", L"com.listed.twelve", "1"}, {L"package-installed", L"COM.LISTED.TWELVE", "0"},
        {L"package-installed", L"com.example.one", "0"},   {L"app-installed", L"1001", "1"},
        {L"app-installed", L"12", "1"},                     {L"app-installed", L"012", "1"},
        {L"app-installed", L"abc", "0"},                    {L"app-installed", L"0", "0"},
        {L"app-installed", L"4294967296", "0"},             {L"app-installed", L"77", "0"},
    };
    for (const Case& c : stopped) {
        SCOPED_TRACE(tst::narrow(std::wstring(c.scenario) + L" " + c.value));
        EXPECT_EQ(c.installed, rig.run({c.scenario, c.value})["installed"]);
    }
    EXPECT_EQ(0, adb.connections());

    // Running: the guest decides.
    Held vm(kVmMutex);
    const Case running[] = {
        {L"package-installed", L"com.example.one", "1"}, {L"package-installed", L"COM.Example.ONE", "1"},
        {L"package-installed", L"com.example", "0"},     {L"package-installed", L"com.listed.twelve", "0"},
        {L"app-installed", L"1001", "1"},                {L"app-installed", L"12", "0"},
        {L"app-installed", L"abc", "0"},
    };
    for (const Case& c : running) {
        SCOPED_TRACE(tst::narrow(std::wstring(c.scenario) + L" " + c.value + L" (running)"));
        EXPECT_EQ(c.installed, rig.run({c.scenario, c.value})["installed"]);
    }
    EXPECT_EQ(6u, requestsOf(adb, "shell:pm \"list\" \"packages\" \"-f\"").size());
}

TEST(EngineContextTest, PackageQueriesEndWithinTheRequestDeadline) {
    ContextRig rig;
    ASSERT_TRUE(rig.ready());
    fakeadb::FakeAdb adb(config({{"shell_silent", true}}));
    ASSERT_TRUE(adb.ok());
    rig.useAdb(adb.port());
    Held vm(kVmMutex);
    fakeadb::DriverRun r = rig.run({L"--request-ms", L"1500", L"package-installed", L"com.example.one"});
    EXPECT_EQ("0", r["installed"]);
    EXPECT_LT(r.num("elapsed_ms"), 6000);

    // Without the VBox player nothing is asked.
    ContextRig bare("", false);
    ASSERT_TRUE(bare.ready());
    bare.useAdb(adb.port());
    const int before = adb.connections();
    EXPECT_EQ("0", bare.run({L"package-installed", L"com.example.one"})["installed"]);
    EXPECT_EQ("0", bare.run({L"app-installed", L"12"})["installed"]);
    EXPECT_EQ(before, adb.connections());
}

}  // namespace
