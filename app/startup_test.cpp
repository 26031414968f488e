#include "app/startup.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "services/system_checks.h"
#include "testing/fakes/fake_installer.h"
#include "testing/fakes/fake_startup_services.h"
#include "services/seams.h"
#include "installer/seams.h"

namespace {

using fakes::FakeInstallerEnv;
using fakes::FakeStartupServices;
using fakes::StartupScript;

const wchar_t kProgram[] = L"\"C:\\tarvo\\TarvoLoader.exe\"";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
}

// Arguments of calls named op, in order.
std::vector<std::string> argsOf(const FakeStartupServices& s, const std::string& op) {
    std::vector<std::string> out;
    for (const std::string& e : s.calls.named(op)) {
        std::string::size_type open = e.find('(');
        out.push_back(open == std::string::npos ? std::string() : e.substr(open + 1, e.size() - open - 2));
    }
    return out;
}

// Every recorded call that is not a log line.
std::vector<std::string> nonLogCalls(const FakeStartupServices& s) {
    std::vector<std::string> out;
    for (const std::string& e : s.calls.all()) {
        if (e.compare(0, 4, "log(") != 0) out.push_back(e);
    }
    return out;
}

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> out;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine.c_str(), &argc);
    for (int i = 0; argv && i < argc; ++i) out.push_back(argv[i]);
    if (argv) LocalFree(argv);
    return out;
}

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        v2::resetSelectionForTests();
        v2::Installer::destroyInstance();
        g_installer = nullptr;
        env.reset();
        s.reset();
        env.timeline = &timeline;
        v2::setInstallerEnv(&env);
        // No engine installed, whatever this prefix holds: the scripted one decides.
        setInstalledEngineForTests([] { return std::optional<EngineKind>(); });
    }
    void TearDown() override {
        env.release();
        if (g_installer) {
            g_installer->wait(10000);
            EXPECT_FALSE(g_installer->isBusy());
            g_installer->progressEvent().reset();
        }
        v2::resetSelectionForTests();
        v2::setInstallerEnv(nullptr);
        setInstalledEngineForTests(nullptr);
    }

    int road(const std::wstring& args) { return app::runStartupRoad(std::wstring(kProgram) + L" " + args, s); }

    // The operations the fake engine ran, in order.
    std::vector<int> opsRun() const {
        std::vector<int> out;
        for (const fakes::FakeOpRecord& r : env.records()) out.push_back(r.op);
        return out;
    }

    fakes::CallLog timeline;
    FakeInstallerEnv env;
    FakeStartupServices s{&timeline};
};

// ---------------------------------------------------------------- words

TEST_F(RoadTest, SilentFlagFromTheSilentFormsAndTheWords) {
    struct Case {
        const wchar_t* args;
        bool silent;
    } cases[] = {
        {L"/silent=1", true},           {L"/silent=0", false},   {L"/silent", false},
        {L"/silent=", false},           {L"/SILENT=1", false},   {L"/silent=10", false},
        {L"/slient=1", true},           {L"/silent=1x", true},   {L"/silent=1 /silent=0", false},
        {L"/silent=0 /silent=1", true}, {L"/silent=0 -s", true}, {L"-s", true},
        {L"-silent", true},             {L"--silent", true},     {L"", false},
        {L"--s", true},                 {L"-backinstall", true},  {L"/silentX1", true},
    };
    for (const Case& c : cases) {
        app::StartupWords w = app::readStartupWords(std::wstring(kProgram) + L" " + c.args, s);
        EXPECT_EQ(c.silent, w.silent) << fakes::utf8(c.args);
    }
}

TEST_F(RoadTest, WordsOfTheRun) {
    app::StartupWords w = app::readStartupWords(
        std::wstring(kProgram) + L" --silent-upgrade --backinstall --uninstall --runas qv --app-id com.a-1_B.c", s);
    EXPECT_TRUE(w.silentUpgrade);
    EXPECT_TRUE(w.backinstall);
    EXPECT_TRUE(w.uninstall);
    EXPECT_TRUE(w.runasQv);
    EXPECT_EQ(L"com.a-1_B.c", w.appId);
    EXPECT_FALSE(w.silent);

    w = app::readStartupWords(std::wstring(kProgram) + L" --runas QV --launch \\\"C:\\x.exe\\\"", s);
    EXPECT_FALSE(w.runasQv);
    EXPECT_EQ(L"C:\\x.exe", w.launchValue);  // surrounding quotes trimmed

    // The elevated restart's "/restart" is never a value.
    w = app::readStartupWords(std::wstring(kProgram) + L" --launch /restart", s);
    EXPECT_EQ(L"", w.launchValue);
    w = app::readStartupWords(std::wstring(kProgram) + L" --app-id 7 /restart", s);
    EXPECT_EQ(L"7", w.appId);
}

TEST_F(RoadTest, UnsafeLaunchValuesAndAppIdsAreRefused) {
    struct Case {
        const wchar_t* args;
        const wchar_t* launch;
        const wchar_t* appId;
        const char* logLine;
    } cases[] = {
        {L"--launch \"C:\\x\\\"y.exe\"", L"", L"", "launch value refused: C:\\x\"y.exe"},
        {L"--launch \"C:\\a\tb.exe\"", L"", L"", "launch value refused: C:\\a\tb.exe"},
        {L"--app-id \"7 8\"", L"", L"", "app id refused: 7 8"},
        {L"--app-id \"7\\\" --evil\"", L"", L"", "app id refused: 7\" --evil"},
        {L"--app-id a/b", L"", L"", "app id refused: a/b"},
        {L"--launch \"C:\\a b\\x.exe\" --app-id 7", L"C:\\a b\\x.exe", L"7", nullptr},
    };
    for (const Case& c : cases) {
        s.calls.clear();
        app::StartupWords w = app::readStartupWords(std::wstring(kProgram) + L" " + c.args, s);
        EXPECT_EQ(c.launch, w.launchValue) << fakes::utf8(c.args);
        EXPECT_EQ(c.appId, w.appId) << fakes::utf8(c.args);
        if (c.logLine) {
            EXPECT_EQ(std::vector<std::string>{c.logLine}, s.logLines()) << fakes::utf8(c.args);
        } else {
            EXPECT_TRUE(s.logLines().empty());
        }
    }
}

TEST(PendingLaunchTextTest, OnlyTheHandOverFormatParses) {
    struct Case {
        const wchar_t* text;
        bool ok;
        const wchar_t* program;
        const wchar_t* appId;
    } cases[] = {
        {L"\"C:\\p\\TarvoPlayer.exe\"", true, L"C:\\p\\TarvoPlayer.exe", L""},
        {L"\"C:\\a b\\x.exe\" --app-id 7", true, L"C:\\a b\\x.exe", L"7"},
        {L"C:\\p\\TarvoPlayer.exe", false, L"", L""},
        {L"\"C:\\p\\TarvoPlayer.exe\" --evil", false, L"", L""},
        {L"\"C:\\p\\TarvoPlayer.exe\" --app-id ", false, L"", L""},
        {L"\"C:\\p\\TarvoPlayer.exe\" --app-id 7\" --x", false, L"", L""},
        {L"\"C:\\p\\TarvoPlayer.exe\" --app-id 7 8", false, L"", L""},
        {L"\"C:\\p\\TarvoPlayer.exe\"\r\n", false, L"", L""},
        {L"\"\"", false, L"", L""},
        {L"\"C:\\p\\x.exe", false, L"", L""},
        {L"", false, L"", L""},
    };
    for (const Case& c : cases) {
        std::wstring program = L"untouched", id = L"untouched";
        EXPECT_EQ(c.ok, app::parsePendingLaunch(c.text, program, id)) << fakes::utf8(c.text);
        if (c.ok) {
            EXPECT_EQ(c.program, program);
            EXPECT_EQ(c.appId, id);
        } else {
            EXPECT_EQ(L"untouched", program);
        }
    }
}

// ---------------------------------------------------------------- early exits

TEST_F(RoadTest, ShortcutWordsEndTheRunAndTouchNothingElse) {
    struct Case {
        const wchar_t* args;
        std::vector<std::string> calls;
    } cases[] = {
        {L"--add-shortcut", {"addAllAppShortcuts"}},
        {L"--add-shortcut 123 --rm-shortcut", {"addAppShortcut(123)", "removeAllAppShortcuts"}},
        {L"--rm-shortcut 9", {"removeAppShortcut(9)"}},
        {L"--add-shortcut /silent=1", {"addAppShortcut(/silent=1)"}},
    };
    for (const Case& c : cases) {
        s.calls.clear();
        EXPECT_EQ(0, road(c.args)) << fakes::utf8(c.args);
        EXPECT_EQ(c.calls, nonLogCalls(s)) << fakes::utf8(c.args);
        EXPECT_EQ(nullptr, g_installer);
    }
    std::vector<std::string> logs = s.logLines();
    ASSERT_EQ(4u, logs.size());
    EXPECT_EQ("********************************", logs[0]);
    EXPECT_EQ("loader start...", logs[1]);
    EXPECT_EQ("********************************", logs[2]);
    EXPECT_EQ("cmdline: \"C:\\tarvo\\TarvoLoader.exe\" --add-shortcut /silent=1", logs[3]);
}

TEST_F(RoadTest, LaunchIsHandedToTheRunningLoader) {
    s.script.loaderRunning = true;
    EXPECT_EQ(0, road(L"--launch \"C:\\a b\\x.exe\" --app-id 7"));
    EXPECT_EQ((std::vector<std::string>{"isLoaderRunning",
                                        "writeDataFile(TarvoLoader_routines, \"C:\\a b\\x.exe\" --app-id 7)",
                                        "activateExistingLoader"}),
              nonLogCalls(s));
    ASSERT_EQ(1u, s.dataFiles.size());
    EXPECT_EQ("\"C:\\a b\\x.exe\" --app-id 7", s.dataFiles[0].second);

    // A refused app id is left off the hand-over.
    s.calls.clear();
    s.dataFiles.clear();
    EXPECT_EQ(0, road(L"--launch C:\\x.exe --app-id \"1 2\""));
    ASSERT_EQ(1u, s.dataFiles.size());
    EXPECT_EQ("\"C:\\x.exe\"", s.dataFiles[0].second);
}

TEST_F(RoadTest, ExitCodesOfTheGuards) {
    struct Case {
        bool setupRunning, acquire;
        int rc;
        const char* lastCall;
    } cases[] = {
        {true, true, -1, "isSetupRunning"},
        {false, false, -1, "acquireLoaderInstance"},
    };
    for (const Case& c : cases) {
        s.calls.clear();
        s.script.setupRunning = c.setupRunning;
        s.script.acquireResult = c.acquire;
        EXPECT_EQ(c.rc, road(L"--launch C:\\x.exe"));
        std::vector<std::string> calls = nonLogCalls(s);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(c.lastCall, calls.back());
        EXPECT_EQ(0u, s.calls.count("takeDataFile"));
        EXPECT_EQ(0u, s.calls.count("updateChannelConfig"));
    }
}

// ---------------------------------------------------------------- mode

struct ModeCase {
    const char* name;
    const wchar_t* args;
    void (*script)(StartupScript&);
    std::vector<int> ops;            // engine operations run
    std::vector<std::string> stats;  // statistics action words in order
    const char* flags;
    const char* logLine;  // one more line the run must log, or null
};

TEST_F(RoadTest, ModeDecisionTable) {
    const ModeCase cases[] = {
        {"nothing installed", L"", [](StartupScript&) {}, {1}, {"QV_lod_start"}, "flags i: 1, u: 0, r: 0",
         "不是后台更新,也不是卸载,发送QV_LOD_START统计"},
        {"silent upgrade, nothing installed", L"--silent-upgrade", [](StartupScript&) {}, {1}, {},
         "flags i: 1, u: 1, r: 0", "not install anything"},
        {"silent upgrade, installed", L"--silent-upgrade", [](StartupScript& s) { s.emulatorInstalled = true; },
         {2}, {}, "flags i: 0, u: 1, r: 0", nullptr},
        {"silent removal while the player runs", L"-s --uninstall",
         [](StartupScript& s) {
             s.playerRunning = true;
             s.emulatorInstalled = true;
         },
         {3}, {}, "flags i: 0, u: 0, r: 1", "have remove 1"},
        {"removal wins over upgrade", L"--uninstall --silent-upgrade",
         [](StartupScript& s) { s.emulatorInstalled = true; }, {3}, {}, "flags i: 0, u: 1, r: 1", nullptr},
        {"engine and app installed", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.playerInstalled = true;
             s.apkId = L"com.a";
             s.context = StartupScript::AppInstalled;
         },
         {}, {"lod_start"}, "flags i: 0, u: 0, r: 0", "have remove 0"},
        {"Qv installed without the app", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.qvContextInstalled = true;
             s.apkId = L"com.a";
             s.qvAppFound = false;
         },
         {1}, {"lod_start", "reinstall"}, "flags i: 1, u: 0, r: 0", "qv had install ,install new apk:com.a"},
        {"VBox player without a context", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.playerInstalled = true;
             s.apkId = L"com.a";
             s.context = StartupScript::NoContext;
         },
         {1}, {"lod_start", "vbox_install_other_apk"}, "flags i: 1, u: 0, r: 0", "vbox install new apk:com.a"},
        {"VBox app missing", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.playerInstalled = true;
             s.apkId = L"com.a";
             s.context = StartupScript::AppMissing;
         },
         {1}, {"lod_start", "vbox_install_other_apk"}, "flags i: 1, u: 0, r: 0", nullptr},
        {"app list locked", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.playerInstalled = true;
             s.apkId = L"com.a";
             s.context = StartupScript::Throws;
         },
         {}, {"lod_start"}, "flags i: 0, u: 0, r: 0", "app check failed: lock failed"},
        {"no channel app", L"",
         [](StartupScript& s) {
             s.emulatorInstalled = true;
             s.qvContextInstalled = true;
             s.playerInstalled = true;
             s.qvAppFound = false;
         },
         {}, {"lod_start"}, "flags i: 0, u: 0, r: 0", nullptr},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        s.calls.clear();
        s.script = StartupScript();
        c.script(s.script);
        EXPECT_EQ(0, road(c.args));
        EXPECT_EQ(c.ops, opsRun());
        EXPECT_EQ(c.ops.empty(), g_installer == nullptr);
        std::vector<std::string> stats;
        for (const std::string& a : argsOf(s, "statUrl")) stats.push_back(a);
        EXPECT_EQ(c.stats, stats);
        EXPECT_EQ(c.stats.size(), s.calls.count("sendStat"));
        std::vector<std::string> logs = s.logLines();
        EXPECT_TRUE(contains(logs, c.flags));
        if (c.logLine) {
            EXPECT_TRUE(contains(logs, c.logLine)) << c.logLine;
        }
        EXPECT_EQ(1u, s.calls.count("takeDataFile"));
    }
}

TEST_F(RoadTest, StartStatisticsAreSentAndLogged) {
    s.script.emulatorInstalled = true;
    EXPECT_EQ(0, road(L""));
    const std::string url = "http://stat.test/Stat?action=lod_start&ref=loader&ver=1.0.0.1&mid=MID1&mid2=MID2&cno=52817";
    EXPECT_EQ(std::vector<std::string>{url}, argsOf(s, "sendStat"));
    std::vector<std::string> logs = s.logLines();
    EXPECT_TRUE(contains(logs, "TarvoLoad info: " + url));
    EXPECT_FALSE(contains(logs, "不是后台更新,也不是卸载,发送QV_LOD_START统计"));
    // The road's fixed order up to the mode.
    std::vector<std::string> calls = nonLogCalls(s);
    std::vector<std::string> head(calls.begin(), calls.begin() + 8);
    EXPECT_EQ((std::vector<std::string>{"isSetupRunning", "acquireLoaderInstance", "updateChannelConfig", "getMid",
                                        "writeAdaptIni(mid=MID1)", "getMid2", "writeAdaptIni(mid2=MID2)",
                                        "isEmulatorInstalled"}),
              head);
    EXPECT_LT(indexOf(logs, "TarvoLoad start..."), indexOf(logs, "have remove 0"));
}

TEST_F(RoadTest, RemovalRefusedWhileThePlayerRuns) {
    s.script.playerRunning = true;
    s.script.emulatorInstalled = true;
    s.script.pendingFile = "\"C:\\p\\TarvoPlayer.exe\"";
    EXPECT_EQ(0, road(L"--uninstall"));
    EXPECT_EQ(1u, s.calls.count("showRemoveRefused"));
    EXPECT_EQ(nullptr, g_installer);
    EXPECT_TRUE(env.records().empty());
    EXPECT_EQ(0u, s.calls.count("runWindow"));
    EXPECT_EQ(1u, s.calls.count("takeDataFile"));
    EXPECT_EQ(0u, s.calls.count("launchProcess"));
    EXPECT_TRUE(contains(s.logLines(), "pending launch dropped: \"C:\\p\\TarvoPlayer.exe\""));
}

// ---------------------------------------------------------------- launch

struct LaunchCase {
    const char* name;
    const wchar_t* args;
    void (*script)(StartupScript&, FakeInstallerEnv&);
    std::vector<std::string> launches;  // launchProcess commands
    std::vector<std::string> qv;        // launchQvAppById ids
    std::vector<std::string> context;   // launchInCurrentContext ids
    size_t sleeps;
    const char* logLine;
};

// An engine and the channel app installed: no installer, straight to the launch.
void installedWithApp(StartupScript& s) {
    s.emulatorInstalled = true;
    s.playerInstalled = true;
    s.apkId = L"com.a";
    s.context = StartupScript::AppInstalled;
}

// Only the Qv engine, the channel app missing from it: an install run.
void qvInstallRun(StartupScript& s) {
    s.emulatorInstalled = true;
    s.qvContextInstalled = true;
    s.qvInstalled = true;
    s.apkId = L"com.x";
    s.qvAppFound = false;
}

TEST_F(RoadTest, LaunchTable) {
    const LaunchCase cases[] = {
        {"own launch value", L"--launch \"C:\\a b\\x.exe\"",
         [](StartupScript& s, FakeInstallerEnv&) { installedWithApp(s); }, {"\"C:\\a b\\x.exe\" --byloader"}, {},
         {}, 0, nullptr},
        {"own launch value with app id", L"--launch \"C:\\a b\\x.exe\" --app-id 7",
         [](StartupScript& s, FakeInstallerEnv&) { installedWithApp(s); },
         {"\"C:\\a b\\x.exe\" --app-id 7 --byloader"}, {}, {}, 0, nullptr},
        {"own launch value drops the pending text", L"--launch C:\\x.exe",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "\"C:\\p\\TarvoPlayer.exe\"";
         },
         {"\"C:\\x.exe\" --byloader"}, {}, {}, 0, "pending launch dropped: \"C:\\p\\TarvoPlayer.exe\""},
        {"pending text for an allowed program", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "\"c:\\P\\tarvoplayer.exe\" --app-id 9";
             s.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
         },
         {"\"c:\\P\\tarvoplayer.exe\" --app-id 9 --byloader"}, {}, {}, 0, nullptr},
        {"pending text for another program", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "\"C:\\evil\\cmd.exe\"";
             s.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
         },
         {}, {}, {}, 0, "pending launch refused: \"C:\\evil\\cmd.exe\""},
        {"pending text with line breaks and control characters", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "\"C:\\evil\\cmd.exe\"\r\n12:00:00, , install ok!\x01";
             s.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
         },
         {}, {}, {}, 0, "pending launch refused: \"C:\\evil\\cmd.exe\"\\x0D\\x0A12:00:00, , install ok!\\x01"},
        {"malformed pending text", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "C:\\p\\TarvoPlayer.exe /c calc";
             s.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --byloader"}, {}, {}, 0,
         "pending launch refused: C:\\p\\TarvoPlayer.exe /c calc"},
        {"pending text with an inner quote", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.pendingFile = "\"C:\\p\\TarvoPlayer.exe\" --app-id 9\" --x";
             s.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
         },
         {}, {}, {}, 0, "pending launch refused: \"C:\\p\\TarvoPlayer.exe\" --app-id 9\" --x"},
        {"runas qv with Qv", L"--runas qv --app-id 5",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.qvInstalled = true;
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
         },
         {}, {"5"}, {}, 0, nullptr},
        {"runas qv without Qv", L"--runas qv --app-id 5",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
         },
         {}, {}, {}, 0, nullptr},
        {"player present", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.playerExe = L"C:\\p q\\TarvoPlayer.exe";
         },
         {"\"C:\\p q\\TarvoPlayer.exe\" --byloader"}, {}, {}, 0, nullptr},
        {"player present with app id", L"--app-id 7",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             s.channelLaunch = s.channelLaunchApk = true;
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --app-id 7 --byloader"}, {}, {}, 0, nullptr},
        {"player present with the channel app", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             s.channelLaunch = s.channelLaunchApk = true;
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --app-id com.a --byloader"}, {}, {}, 0, nullptr},
        {"player present, launch flag only", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             s.channelLaunch = true;
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --byloader"}, {}, {}, 0, nullptr},
        {"player present, unsafe channel app", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             s.emulatorInstalled = true;
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             s.apkId = L"a b";
             s.qvContextInstalled = true;
             s.channelLaunch = s.channelLaunchApk = true;
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --byloader"}, {}, {}, 0, "app id refused: a b"},
        {"Qv a: app id given", L"--app-id 5",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.qvInstalled = true;
         },
         {}, {"5"}, {}, 0, nullptr},
        {"Qv d: retries until the first success", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             qvInstallRun(s);
             s.channelLaunch = s.channelLaunchApk = true;
             s.localApps = {L"com.x"};
             s.qvLaunchResults = {false, false, true};
         },
         {}, {"com.x", "com.x", "com.x"}, {}, 2, nullptr},
        {"Qv d: at most 11 calls", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             qvInstallRun(s);
             s.channelLaunch = s.channelLaunchApk = true;
             s.localApps = {L"com.x"};
             s.qvLaunchDefault = false;
         },
         {}, std::vector<std::string>(11, "com.x"), {}, 10, nullptr},
        {"Qv c: app not in the local list", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             qvInstallRun(s);
             s.channelLaunch = s.channelLaunchApk = true;
         },
         {}, {""}, {}, 0, nullptr},
        {"Qv e: no launch flag", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             qvInstallRun(s);
             s.channelLaunchApk = true;
             s.localApps = {L"com.x"};
         },
         {}, {""}, {}, 0, nullptr},
        {"Qv e: not an install run", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.qvInstalled = true;
             s.channelLaunch = s.channelLaunchApk = true;
             s.localApps = {L"com.a"};
         },
         {}, {""}, {}, 0, nullptr},
        {"step 3: install run, player running, context", L"",
         [](StartupScript& s, FakeInstallerEnv& env) {
             installedWithApp(s);
             s.context = StartupScript::AppMissing;
             s.playerRunning = true;
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             env.ops[1].setLaunchAppId = true;
             env.ops[1].launchAppId = L"com.y";
         },
         {}, {}, {"com.y"}, 0, nullptr},
        {"step 3 with no launch app id", L"",
         [](StartupScript& s, FakeInstallerEnv&) {
             installedWithApp(s);
             s.context = StartupScript::AppMissing;
             s.playerRunning = true;
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
         },
         {}, {}, {""}, 0, nullptr},
        {"step 3 without a context falls through", L"",
         [](StartupScript& s, FakeInstallerEnv& env) {
             installedWithApp(s);
             s.context = StartupScript::NoContext;
             s.playerRunning = true;
             s.playerExe = L"C:\\p\\TarvoPlayer.exe";
             env.ops[1].setLaunchAppId = true;
             env.ops[1].launchAppId = L"com.y";
         },
         {"\"C:\\p\\TarvoPlayer.exe\" --byloader"}, {}, {"com.y"}, 0, nullptr},
        {"nothing to start", L"", [](StartupScript& s, FakeInstallerEnv&) { installedWithApp(s); }, {}, {}, {}, 0,
         nullptr},
    };
    for (const LaunchCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        s.calls.clear();
        s.script = StartupScript();
        for (auto& op : env.ops) op = fakes::FakeOpScript();
        c.script(s.script, env);
        EXPECT_EQ(0, road(c.args));
        std::vector<std::string> launches = argsOf(s, "launchProcess");
        EXPECT_EQ(c.launches, launches);
        EXPECT_EQ(c.launches.size(), s.calls.count("markLaunched"));
        EXPECT_EQ(c.qv, argsOf(s, "launchQvAppById"));
        EXPECT_EQ(c.context, argsOf(s, "launchInCurrentContext"));
        EXPECT_EQ(std::vector<std::string>(c.sleeps, "5000"), argsOf(s, "sleepMs"));
        if (c.logLine) {
            EXPECT_TRUE(contains(s.logLines(), c.logLine)) << c.logLine;
        }
        // Every command splits into the program, optionally --app-id and the id, and --byloader.
        for (const std::string& command : launches) {
            std::vector<std::wstring> parts = splitCommandLine(fakes::fromUtf8(command));
            ASSERT_TRUE(parts.size() == 2 || parts.size() == 4) << command;
            EXPECT_EQ(std::string::npos, fakes::utf8(parts[0]).find('"'));
            if (parts.size() == 4) {
                EXPECT_EQ(L"--app-id", parts[1]);
            }
            EXPECT_EQ(L"--byloader", parts.back());
        }
    }
}

TEST_F(RoadTest, FailedStartStillMarksLaunched) {
    installedWithApp(s.script);
    s.script.playerExe = L"C:\\p\\TarvoPlayer.exe";
    s.script.launchResult = false;
    s.script.launchError = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(0, road(L""));
    EXPECT_EQ(1u, s.calls.count("launchProcess"));
    EXPECT_EQ(1u, s.calls.count("markLaunched"));
    EXPECT_TRUE(contains(s.logLines(), "launch failed: 2"));
    std::vector<std::string> calls = nonLogCalls(s);
    EXPECT_LT(indexOf(calls, "launchProcess(\"C:\\p\\TarvoPlayer.exe\" --byloader)"), indexOf(calls, "markLaunched"));
}

// ---------------------------------------------------------------- end of run

struct EndCase {
    const char* name;
    const wchar_t* args;
    void (*script)(StartupScript&, FakeInstallerEnv&);
    std::vector<int> ops;
    bool launched;
    bool window;
};

TEST_F(RoadTest, EndOfRunTakesThePendingFileOnceAndLaunchesOnlyWhenDue) {
    const EndCase cases[] = {
        {"removal", L"-s --uninstall", [](StartupScript& s, FakeInstallerEnv&) { s.emulatorInstalled = true; }, {3},
         false, false},
        {"silent without backinstall", L"-s", [](StartupScript&, FakeInstallerEnv&) {}, {1}, false, false},
        {"silent, nothing to install", L"-s", [](StartupScript& s, FakeInstallerEnv&) { installedWithApp(s); }, {},
         false, false},
        {"silent with backinstall", L"-s --backinstall", [](StartupScript&, FakeInstallerEnv&) {}, {1}, true, false},
        {"backinstall alone", L"--backinstall", [](StartupScript&, FakeInstallerEnv&) {}, {1}, true, false},
        {"window run", L"", [](StartupScript&, FakeInstallerEnv&) {}, {1}, true, true},
        {"rollback after a failed install", L"",
         [](StartupScript& s, FakeInstallerEnv& env) {
             s.window = StartupScript::WindowRollsBack;
             env.ops[1].result = -1;
         },
         {1, 3}, false, true},
        {"failed dialog", L"", [](StartupScript& s, FakeInstallerEnv&) { s.window = StartupScript::WindowFails; }, {},
         false, true},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        timeline.clear();
        s.script = StartupScript();
        for (auto& op : env.ops) op = fakes::FakeOpScript();
        c.script(s.script, env);
        s.script.playerExe = L"C:\\p\\TarvoPlayer.exe";
        s.script.pendingFile = "\"C:\\p\\TarvoPlayer.exe\" --app-id 3";
        s.script.productPrograms = {L"C:\\p\\TarvoPlayer.exe"};
        EXPECT_EQ(0, road(c.args));
        EXPECT_EQ(c.ops, opsRun());
        EXPECT_EQ(1u, s.calls.count("takeDataFile"));
        EXPECT_EQ(c.window ? 1u : 0u, s.calls.count("runWindow"));
        std::vector<std::string> all = timeline.all();
        // Taken after the installer was joined.
        size_t take = indexOf(all, "takeDataFile(TarvoLoader_routines)");
        for (size_t k = take; k < all.size(); ++k) EXPECT_EQ(std::string::npos, all[k].find("impl.")) << all[k];
        if (c.launched) {
            EXPECT_EQ(std::vector<std::string>{"\"C:\\p\\TarvoPlayer.exe\" --app-id 3 --byloader"},
                      argsOf(s, "launchProcess"));
            EXPECT_EQ(1u, s.calls.count("markLaunched"));
        } else {
            EXPECT_EQ(0u, s.calls.count("launchProcess"));
            EXPECT_EQ(0u, s.calls.count("markLaunched"));
            EXPECT_EQ(0u, s.calls.count("launchQvAppById"));
            EXPECT_TRUE(contains(s.logLines(), "pending launch dropped: \"C:\\p\\TarvoPlayer.exe\" --app-id 3"));
        }
    }
}

TEST_F(RoadTest, FailedDialogIsLogged) {
    s.script.window = StartupScript::WindowFails;
    s.script.windowError = 1400;
    EXPECT_EQ(0, road(L""));
    EXPECT_TRUE(contains(s.logLines(), "dialog create failed: 1400"));
    EXPECT_TRUE(env.records().empty());
}

TEST_F(RoadTest, GlobalsOfTheRun) {
    struct Case {
        const wchar_t* args;
        bool silent, silentUpgrade, backinstall;
        const char* line;
    } cases[] = {
        {L"-s --backinstall", true, false, true, "silent = 1, g_silent_upgrade = 0"},
        {L"--silent-upgrade", false, true, false, "silent = 0, g_silent_upgrade = 1"},
        {L"/silent=1", true, false, false, "silent = 1, g_silent_upgrade = 0"},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        s.calls.clear();
        EXPECT_EQ(0, road(c.args));
        EXPECT_EQ(c.silent, g_silent);
        EXPECT_EQ(c.silentUpgrade, g_silent_upgrade);
        EXPECT_EQ(c.backinstall, g_backinstall);
        EXPECT_EQ(v2::Installer::getInstance(), g_installer);
        EXPECT_TRUE(contains(s.logLines(), c.line)) << c.line;
    }
}

TEST_F(RoadTest, SilentRunUsesTheInstallerThreadAndIgnoresProgress) {
    env.ops[1].events = {{1, 0, 0, 0, L"", L""}, {1, 2, 0, 100, L"", L"done"}};
    env.ops[1].workerEvents = {{0, 1, 0, 30, L"", L""}};
    s.script.playerExe = L"C:\\p\\TarvoPlayer.exe";
    EXPECT_EQ(0, road(L"-s --backinstall"));
    auto records = env.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(GetCurrentThreadId(), records[0].threadId);
    EXPECT_EQ(2, records[0].fired);
    EXPECT_EQ(1, records[0].firedByWorker);
    EXPECT_EQ(0u, s.calls.count("runWindow"));
    EXPECT_EQ(1u, s.calls.count("launchProcess"));
    EXPECT_TRUE(s.windowProgress.records().empty());
}

TEST_F(RoadTest, WindowRunHandsTheInstallerToTheDialog) {
    env.ops[1].events = {{1, 2, 0, 100, L"", L"ok"}};
    EXPECT_EQ(0, road(L""));
    EXPECT_EQ(std::vector<std::string>{"runWindow(action=1)"}, s.calls.named("runWindow"));
    auto events = s.windowProgress.records();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"ok", events[0].message);
}

}  // namespace
