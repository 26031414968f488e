#include "installer/qv_control.h"

#include <gtest/gtest.h>

#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"

namespace {

using qvtest::Key;
using qvtest::StandinEngine;

// The texts this process logs from now on (without their time stamps).
class LogWatch {
public:
    LogWatch() : path_(logPath()) {
        std::string bytes;
        if (tst::readFile(path_, bytes)) offset_ = bytes.size();
    }
    std::vector<std::string> texts() const {
        std::string bytes;
        tst::readFile(path_, bytes);
        bytes = bytes.size() > offset_ ? bytes.substr(offset_) : std::string();
        std::vector<std::string> out;
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            std::string line = bytes.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t at = line.find(", , ");
            if (at != std::string::npos) out.push_back(line.substr(at + 4));
            start = end + 1;
        }
        return out;
    }
    bool has(const std::string& text) const {
        for (const std::string& t : texts())
            if (t == text) return true;
        return false;
    }

private:
    static std::wstring logPath() {
        wchar_t module[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, module, MAX_PATH);
        std::wstring name = module;
        name = name.substr(name.find_last_of(L'\\') + 1);
        return getLogFolder() + L"\\" + name.substr(0, name.find_last_of(L'.')) + L".log";
    }
    std::wstring path_;
    size_t offset_ = 0;
};

std::string ansi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring apk(const wchar_t* name) { return tst::binDir() + L"\\fixtures\\apk\\" + name; }

// An engine's files registered under tarvoGames without running its setup; the
// tool limits shortened while it lives.
class QvControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine.lockHeld());
        ASSERT_TRUE(engine.install(qvtest::InstallOptions{Key::None, false}));
        ASSERT_TRUE(StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, engine.folder()));
        saved = qvToolLimits();
        qvToolLimits().quitMs = 2000;
        qvToolLimits().apkHandlerMs = 2000;
        qvToolLimits().serviceStopMs = 2000;
    }
    void TearDown() override { qvToolLimits() = saved; }

    // Programs started without a wait record their start a moment later.
    std::vector<std::string> startsOf(const std::string& program, size_t atLeast = 1) {
        std::vector<std::string> lines;
        for (int i = 0; i < 200; ++i) {
            lines = engine.starts(program);
            if (lines.size() >= atLeast) break;
            Sleep(50);
        }
        return lines;
    }
    // The record's programs, in order of their start lines.
    std::vector<std::string> startedPrograms() {
        std::vector<std::string> out;
        for (const qvtest::RecordLine& r : engine.record())
            if (r.event == "start") out.push_back(r.program);
        return out;
    }

    StandinEngine engine;
    QvToolLimits saved;
};

TEST_F(QvControlTest, InstallFolderFromTheRegistry) {
    const std::wstring dir = engine.folder();
    const std::wstring bare = dir.substr(0, dir.size() - 1);
    const std::wstring long260 = L"C:\\" + std::wstring(257, L'x');
    struct Case {
        const char* what;
        const wchar_t* tarvoValue;  // null: no key; L"-": the key without InstallDir
        DWORD tarvoType;
        const wchar_t* tvzsValue;
        std::wstring expected;
        std::string logged;
        bool terminator;
    };
    const std::wstring other = L"C:\\other\\";
    const std::wstring expand = L"%ProgramFiles%\\qvplayer\\";
    const std::wstring relative = L"qvplayer\\";
    const std::wstring star = L"C:\\q*\\";
    const Case cases[] = {
        {"tarvoGames only", dir.c_str(), REG_SZ, nullptr, dir, "qv installed. " + ansi(dir) + "TV-StartLauncher.exe", true},
        {"tvzsPlayer only", nullptr, REG_SZ, dir.c_str(), dir, "qv installed. " + ansi(dir) + "TV-StartLauncher.exe", true},
        {"both", dir.c_str(), REG_SZ, other.c_str(), dir, "qv installed. " + ansi(dir) + "TV-StartLauncher.exe", true},
        {"no InstallDir", L"-", REG_SZ, dir.c_str(), L"", "qvPlayer_path err1 2: ", true},
        {"neither", nullptr, REG_SZ, nullptr, L"", "qvPlayer_path err2 2: ", true},
        {"no backslash", bare.c_str(), REG_SZ, nullptr, dir, "qv installed. " + ansi(dir) + "TV-StartLauncher.exe", true},
        {"drive only", L"C:", REG_SZ, nullptr, L"", "qvPlayer_path invalid: C:", true},
        {"relative", relative.c_str(), REG_SZ, nullptr, L"", "qvPlayer_path invalid: qvplayer\\", true},
        {"wildcard", star.c_str(), REG_SZ, nullptr, L"", "qvPlayer_path invalid: C:\\q*\\", true},
        {"expand", expand.c_str(), REG_EXPAND_SZ, nullptr, L"", "qvPlayer_path invalid: %ProgramFiles%\\qvplayer\\", true},
        {"dword", L"7", REG_DWORD, nullptr, L"", "qvPlayer_path err1 1629: ", true},
        {"no terminator", long260.c_str(), REG_SZ, nullptr, long260 + L"\\", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandinEngine::deleteKeys();
        if (c.tarvoValue && std::wstring(c.tarvoValue) == L"-") {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, qvtest::kTarvoGamesKey, 0, nullptr, 0,
                                                     KEY_WRITE | (is64BitWindows() ? KEY_WOW64_64KEY : 0), nullptr,
                                                     &key, nullptr));
            RegCloseKey(key);
        } else if (c.tarvoValue) {
            ASSERT_TRUE(StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, c.tarvoValue, c.tarvoType, true,
                                                       c.terminator));
        }
        if (c.tvzsValue) ASSERT_TRUE(StandinEngine::writeInstallDir(qvtest::kTvzsPlayerKey, c.tvzsValue));
        LogWatch log;
        EXPECT_EQ(c.expected, getQvInstallDir()) << testing::PrintToString(log.texts());
        EXPECT_EQ(c.expected == dir, isQvInstalled());
        if (!c.logged.empty()) EXPECT_TRUE(log.has(c.logged)) << testing::PrintToString(log.texts());
        // Nothing is started from a folder that does not count.
        EXPECT_EQ(c.expected == dir, startQvLauncher());
    }
}

#if !defined(TARVO_TEST_BUILD_64)
TEST_F(QvControlTest, KeyWrittenInThe32BitViewIsNotSeen) {
    if (!is64BitWindows()) GTEST_SKIP() << "32-bit Windows has one view";
    StandinEngine::deleteKeys();
    ASSERT_TRUE(StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, engine.folder(), REG_SZ, false));
    LogWatch log;
    EXPECT_EQ(L"", getQvInstallDir());
    EXPECT_TRUE(log.has("qvPlayer_path err2 2: "));
}
#endif

TEST_F(QvControlTest, InstalledNeedsTheLauncherAndRunningTheService) {
    EXPECT_TRUE(isQvInstalled());
    DeleteFileW((engine.folder() + L"TV-StartLauncher.exe").c_str());
    EXPECT_FALSE(isQvInstalled());
}

TEST(QvControlEngineTest, RunningFollowsTheEngineAndQuitStopsIt) {
    StandinEngine engine;
    ASSERT_TRUE(engine.install());
    EXPECT_FALSE(isQvRunning());
    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(isQvRunning());
    EXPECT_TRUE(quitQv());
    EXPECT_FALSE(isQvRunning());
    ASSERT_EQ(1u, engine.starts("TV-Quit").size());
    EXPECT_EQ(" ", engine.starts("TV-Quit")[0]);
    EXPECT_TRUE(engine.recorded("TV-Quit", "quit", "stopped"));
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const wchar_t* name : {L"tvHdAndroidSvc", L"tvHdDrv"}) {
        SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
        ASSERT_NE(nullptr, service);
        ASSERT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

TEST_F(QvControlTest, QuitIsBoundedAndNeedsItsTool) {
    engine.setMode(L"TV-Quit", L"hang");
    LogWatch log;
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(quitQv());
    EXPECT_LT(GetTickCount() - t0, 2000u + 5000u);
    EXPECT_TRUE(log.has("qv quit timed out"));
    std::vector<qvtest::RecordLine> lines = engine.record();
    ASSERT_FALSE(lines.empty());
    HANDLE quit = OpenProcess(SYNCHRONIZE, FALSE, lines.back().pid);
    if (quit) {
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(quit, 0));
        CloseHandle(quit);
    }

    DeleteFileW((engine.folder() + L"TV-Quit.exe").c_str());
    EXPECT_TRUE(quitQv());
    EXPECT_EQ(1u, engine.starts("TV-Quit").size());
}

TEST(QvControlEngineTest, DeleteServicesRemovesBothAndIsBounded) {
    {
        StandinEngine engine;
        ASSERT_TRUE(engine.install());
        EXPECT_TRUE(deleteQvServices());
        EXPECT_TRUE(tst::serviceGone("tvHdAndroidSvc"));
        EXPECT_TRUE(tst::serviceGone("tvHdDrv"));
    }
    StandinEngine engine;
    ASSERT_TRUE(engine.install());
    engine.setMode(L"TV-Service", L"no-stop");
    ASSERT_TRUE(engine.start());
    const QvToolLimits saved = qvToolLimits();
    qvToolLimits().serviceStopMs = 2000;
    LogWatch log;
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(deleteQvServices());
    EXPECT_LT(GetTickCount() - t0, 15000u);
    qvToolLimits() = saved;
    EXPECT_TRUE(log.has("remove service tvHdAndroidSvc failed"));
    EXPECT_FALSE(log.has("remove service tvHdDrv failed"));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("tvHdAndroidSvc"));
    for (int i = 0; i < 100 && !tst::serviceGone("tvHdDrv"); ++i) Sleep(100);
    EXPECT_TRUE(tst::serviceGone("tvHdDrv"));
    // The service that ignores its stop is ended here, not by the engine's clean-up.
    for (const qvtest::RecordLine& r : engine.record()) {
        if (r.program != "TV-Service") continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, r.pid);
        if (!process) continue;
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

TEST_F(QvControlTest, InstallApkWithTheHandler) {
    tst::TempDir dir(L"qvapk");
    const std::wstring good = dir.file(L"good one.apk");
    ASSERT_TRUE(CopyFileW(apk(L"good.apk").c_str(), good.c_str(), FALSE));
    const std::wstring gadget = engine.gadgetPath(L"com.a.b", L"MainActivity");
    struct Case {
        const char* what;
        std::wstring path;
        bool hidden;
        const wchar_t* mode;
        bool removeTool;
        bool result;
        std::string startLine;  // empty: no start
        bool gadget;
    };
    const std::string quoted = " \"" + tst::narrow(good) + "\"";
    const std::string notzipLine = " \"" + tst::narrow(apk(L"notzip.apk")) + "\"";
    const Case cases[] = {
        {"hidden", good, true, nullptr, false, true, quoted + " -h", true},
        {"shown", good, false, nullptr, false, true, quoted, true},
        {"handler fails", good, false, L"fail", false, true, quoted, false},
        {"not a zip", apk(L"notzip.apk"), false, nullptr, false, true, notzipLine, false},
        {"apk missing", dir.file(L"none.apk"), false, nullptr, false, false, "", false},
        {"quote in path", dir.file(L"a\".apk"), false, nullptr, false, false, "", false},
        {"empty path", L"", false, nullptr, false, false, "", false},
        {"tool missing", good, false, nullptr, true, false, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(gadget.c_str());
        engine.setMode(L"TV-ApkHandler", c.mode ? c.mode : L"ok");
        const std::wstring tool = engine.folder() + L"TV-ApkHandler.exe";
        if (c.removeTool) ASSERT_TRUE(MoveFileW(tool.c_str(), (tool + L".off").c_str()));
        const size_t before = engine.starts("TV-ApkHandler").size();
        EXPECT_EQ(c.result, installApkWithQv(c.path, c.hidden));
        std::vector<std::string> starts = engine.starts("TV-ApkHandler");
        if (!c.startLine.empty()) {
            ASSERT_EQ(before + 1, starts.size());
            EXPECT_EQ(c.startLine, starts.back());
        } else {
            EXPECT_EQ(before, starts.size());
        }
        EXPECT_EQ(c.gadget, tst::fileExists(gadget));
        if (c.removeTool) MoveFileW((tool + L".off").c_str(), tool.c_str());
    }
}

TEST_F(QvControlTest, HangingHandlerIsEnded) {
    engine.setMode(L"TV-ApkHandler", L"hang");
    LogWatch log;
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(installApkWithQv(apk(L"good.apk"), false));
    EXPECT_LT(GetTickCount() - t0, 2000u + 5000u);
    EXPECT_TRUE(log.has("qv apk handler timed out: " + ansi(apk(L"good.apk"))));
    for (const qvtest::RecordLine& r : engine.record()) {
        if (r.program != "TV-ApkHandler") continue;
        HANDLE handler = OpenProcess(SYNCHRONIZE, FALSE, r.pid);
        if (!handler) continue;
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(handler, 0));
        CloseHandle(handler);
    }
}

TEST(QvControlGadgetTest, ActivityFromTheFirstIconOfThePackage) {
    struct Case {
        const char* what;
        std::vector<const wchar_t*> files;
        std::wstring package;
        bool found;
        const wchar_t* activity;
    };
    const Case cases[] = {
        {"one icon", {L"com.a.b.Main.png"}, L"com.a.b", true, L"Main"},
        {"another package's icon", {L"com.a.bx.Foo.png"}, L"com.a.b", false, L""},
        {"empty activity passed over", {L"com.a.b..png", L"com.a.b.Main.png"}, L"com.a.b", true, L"Main"},
        {"empty package", {L"com.a.b.Main.png", L"x.png"}, L"", false, L""},
        {"pattern too long", {L"com.a.b.Main.png"}, std::wstring(240, L'a'), false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tst::TempDir qv(L"gadget");
        const std::wstring dir = qv.path() + L"\\";
        CreateDirectoryW((dir + L"tvData").c_str(), nullptr);
        CreateDirectoryW((dir + L"tvData\\UserData").c_str(), nullptr);
        CreateDirectoryW((dir + L"tvData\\UserData\\Gadget").c_str(), nullptr);
        for (const wchar_t* f : c.files) ASSERT_TRUE(tst::writeFile(dir + L"tvData\\UserData\\Gadget\\" + f, "png"));
        std::wstring activity;
        EXPECT_EQ(c.found, findGadgetActivity(activity, dir, c.package));
        EXPECT_EQ(c.activity, activity);
    }
}

TEST_F(QvControlTest, LookupFindsTheAppAndItsIcon) {
    struct Case {
        const char* what;
        const wchar_t* folderId;
        std::string iniId, package, activity;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> gadgets;
        const wchar_t* lookupId;
        bool present;
        const char* resultId;
        const char* resultActivity;
    };
    const Case cases[] = {
        {"id in another case", L"qva1", "QvA1", "com.q.a", "Main", {{L"com.q.a", L"Main"}}, L"qvA1", true, "QvA1", "Main"},
        {"activity from the icon", L"qvb1", "qvb1", "com.q.b", ".MainActivity", {{L"com.q.b", L"MainActivity"}}, L"qvb1",
         true, "qvb1", "MainActivity"},
        {"another icon of the package", L"qvc1", "qvc1", "com.q.c", "Gone", {{L"com.q.c", L"Other"}}, L"qvc1", true,
         "qvc1", "Other"},
        {"not listed", L"qvd1", "qvd1", "com.q.d", "Main", {{L"com.q.d", L"Main"}}, L"qvd2", false, "", ""},
        {"no icon", L"qve1", "qve1", "com.q.e", "Main", {}, L"qve1", false, "qve1", "Main"},
        {"wildcard package", L"qvf1", "qvf1", "a*", "Main", {{L"com.q.z", L"Z"}}, L"qvf1", false, "qvf1", "Main"},
        {"empty package", L"qvg1", "qvg1", "", "Main", {{L"com.q.z", L"Z"}}, L"qvg1", false, "qvg1", "Main"},
        {"empty activity from the icon", L"qvh1", "qvh1", "com.q.h", "", {{L"com.q.h", L"Start"}}, L"qvh1", true,
         "qvh1", "Start"},
        {"unsafe activity", L"qvi1", "qvi1", "com.q.i", "M;x", {{L"com.q.i", L"Main"}}, L"qvi1", false, "qvi1", "M;x"},
        {"unsafe activity of the icon", L"qvj1", "qvj1", "com.q.j", "", {{L"com.q.j", L"M x"}}, L"qvj1", false, "qvj1",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        engine.writeAppFolder(c.folderId, {{"id", c.iniId}, {"package", c.package}, {"activity", c.activity}});
        for (const auto& g : c.gadgets) ASSERT_TRUE(engine.addGadget(g.first, g.second));
        AppInfo app;
        app.id = L"stale";
        EXPECT_EQ(c.present, lookupQvApp(c.lookupId, app));
        EXPECT_EQ(c.resultId, tst::narrow(app.id));
        EXPECT_EQ(c.resultActivity, tst::narrow(app.activity));
    }
}

TEST_F(QvControlTest, RunAppAndLauncherStartLines) {
    LogWatch log;
    EXPECT_TRUE(runQvApp(L"com.a.b", L"Main"));
    std::vector<std::string> lines = startsOf("TV-RunApp");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("  -p com.a.b -a Main", lines[0]);

    EXPECT_FALSE(runQvApp(L"a -x", L"Main"));
    EXPECT_FALSE(runQvApp(L"com.a.b", L""));
    EXPECT_TRUE(log.has("qv app refused: a -x/Main"));
    EXPECT_TRUE(log.has("qv app refused: com.a.b/"));

    EXPECT_TRUE(startQvLauncher());
    lines = startsOf("TV-StartLauncher");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(" ", lines[0]);
    // No services are registered: the launcher gives up on the engine.
    EXPECT_TRUE(engine.waitRecorded("TV-StartLauncher", "exit", "1", 30000));

    DeleteFileW((engine.folder() + L"TV-RunApp.exe").c_str());
    EXPECT_FALSE(runQvApp(L"com.a.b", L"Main"));
    EXPECT_EQ(1u, engine.starts("TV-RunApp").size());
}

// Waits until a program started without a wait has ended.
void waitForExit(const StandinEngine& engine, const std::string& program) {
    for (int i = 0; i < 600; ++i) {
        for (const qvtest::RecordLine& r : engine.record())
            if (r.program == program && r.event == "exit") return;
        Sleep(50);
    }
}

TEST(QvControlLaunchTest, LaunchByAppId) {
    struct Case {
        const char* what;
        const wchar_t* id;
        bool gadget, removeHandler;
        bool result;
        std::vector<std::string> programs;  // the loader's starts, in order
        bool apkKept;
        const char* logged;
        const char* runLine;
        const char* activity = ".MainActivity";  // of the app.ini
    };
    const Case cases[] = {
        {"empty id", L"", false, false, true, {"TV-StartLauncher"}, true, nullptr, nullptr},
        {"present", L"QVL1", true, false, true, {"TV-RunApp"}, false, "app QVL1 exists!",
         "  -p com.a.b -a MainActivity"},
        {"missing", L"qvl1", false, false, true, {"TV-ApkHandler", "TV-RunApp"}, false, nullptr,
         "  -p com.a.b -a .MainActivity"},
        {"handler missing", L"qvl1", false, true, false, {}, true, "app install failed!", nullptr},
        {"not listed", L"qvl9", false, false, false, {}, true, "app install failed!", nullptr},
        {"empty activity, present by its icon", L"qvl1", true, false, true, {"TV-RunApp"}, false, "app qvl1 exists!",
         "  -p com.a.b -a MainActivity", ""},
    };
    // One turn of the machine-state lock for all the cases: each case's stand-in
    // engine takes it again (the mutex is this thread's), instead of queueing
    // behind the other tests once per case.
    tst::MachineStateLock machine;
    ASSERT_TRUE(machine.held());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandinEngine engine;
        ASSERT_TRUE(engine.install(qvtest::InstallOptions{Key::None, false}));
        ASSERT_TRUE(StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, engine.folder()));
        const std::wstring folder = engine.writeAppFolder(
            L"qvl1", {{"id", "qvl1"}, {"package", "com.a.b"}, {"activity", c.activity}, {"apk", "good.apk"}});
        const std::wstring apkPath = folder + L"\\good.apk";
        ASSERT_TRUE(CopyFileW(apk(L"good.apk").c_str(), apkPath.c_str(), FALSE));
        if (c.gadget) ASSERT_TRUE(engine.addGadget(L"com.a.b", L"MainActivity"));
        if (c.removeHandler) DeleteFileW((engine.folder() + L"TV-ApkHandler.exe").c_str());
        LogWatch log;
        EXPECT_EQ(c.result, launchQvAppById(c.id));
        if (!c.programs.empty()) waitForExit(engine, c.programs.back());
        std::vector<std::string> programs;
        for (const qvtest::RecordLine& r : engine.record())
            if (r.event == "start" && r.program != "TV-Frontend" && r.program != "TV-Service" && r.program != "tvHdDrv")
                programs.push_back(r.program);
        EXPECT_EQ(c.programs, programs);
        EXPECT_EQ(c.apkKept, tst::fileExists(apkPath));
        if (c.logged) EXPECT_TRUE(log.has(c.logged));
        if (std::string(c.what) == "missing")
            EXPECT_TRUE(log.has("app qvl1 not exists, install " + ansi(apkPath)));
        if (std::string(c.what) == "not listed") EXPECT_TRUE(log.has("app qvl9 not exists, install "));
        if (c.runLine) {
            std::vector<std::string> run = engine.starts("TV-RunApp");
            ASSERT_EQ(1u, run.size());
            EXPECT_EQ(c.runLine, run[0]);
        }
    }
}

}  // namespace
