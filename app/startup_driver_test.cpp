// The start-up road as a process under Wine: the real command line, argument
// splitting, installer thread and COM, the product's bound services on the
// prefix's real mutexes and files, scripted rows for the rest and a scripted
// engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "installer/qv_control.h"
#include "services/install_paths.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/qv_standin.h"
#include "testing/support/app_folders.h"
#include "testing/support/test_support.h"

namespace {

using roadtest::DriverRun;
using roadtest::Gate;
using roadtest::HeldMutex;
using roadtest::RoadSandbox;

// A channel whose app is to be launched in the player.
const char kChannel[] =
    R"([{"channel": "52817", "apkchannel": "ch7", "apkid": "com.tarvo.game", "launch": "1", "launchapk": "1"}])";
const char kApps[] =
    R"([{"apkid": "com.tarvo.game", "name": "Game", "apkpackagename": "com.tarvo.game",)"
    R"( "apkactivity": "com.tarvo.game.Main", "apkpackage": "game.apk", "icon": "x.png"}])";

// A sandbox with the player installed and the channel above served.
bool readyWithPlayerAndChannel(RoadSandbox& box) {
    return box.ready() && box.placePlayer() && box.serve(L"channel_config.json", kChannel) &&
           box.serve(L"apk_config.json", kApps);
}

TEST(StartupDriverTest, SilentBackinstallRunsTheInstallerThreadAndLaunchesOnce) {
    RoadSandbox box;
    ASSERT_TRUE(readyWithPlayerAndChannel(box));
    // The player is there but its context lacks the channel's app: install.
    DriverRun run = box.run(L"-s --backinstall",
                            "op.1.events=1:0:0:0;1:2:0:100\n"
                            "op.1.workerEvents=0:1:0:10;0:1:0:20\n");
    EXPECT_EQ(0, run.exitCode);
    ASSERT_TRUE(run.has("impl.install(end)"));
    const std::string command = "\"" + tst::narrow(box.playerPath()) + "\" --app-id com.tarvo.game --byloader";
    const std::string launch = "launchProcess(" + command + ")";
    EXPECT_EQ(1u, run.count("launchProcess("));
    EXPECT_TRUE(run.has("launchProcess=1"));
    EXPECT_EQ(1u, run.count("markLaunched"));
    EXPECT_LT(run.index("impl.install(begin)"), run.index("impl.install(end)"));
    EXPECT_LT(run.index("impl.install(end)"), run.index("takeDataFile(TarvoLoader_routines)"));
    EXPECT_LT(run.index("takeDataFile(TarvoLoader_routines)"), run.index(launch));
    // The installed player makes the selector take VBox without probing the machine.
    EXPECT_TRUE(run.has("record(op=1, engine=0, mainThread=0, com=0x00000001, fired=2, worker=2, workerOwnThread=1)"));
    EXPECT_EQ(0u, run.count("installer.selectedEngine"));
    EXPECT_EQ(0u, run.count("runWindow"));
    EXPECT_TRUE(run.has("g_silent=1 g_backinstall=1 g_silent_upgrade=0"));
    EXPECT_TRUE(run.has("exit=0"));
    // The road logged the process's own command line, in the record and in its log file.
    bool cmdline = false;
    for (const std::string& l : run.lines)
        cmdline = cmdline || (l.find("log(cmdline: ") == 0 && l.find(".exe\" -s --backinstall") != std::string::npos);
    EXPECT_TRUE(cmdline);
    EXPECT_TRUE(run.logged("loader start..."));
    // The stand-in player was really started, once, with that command line.
    std::vector<std::string> starts = box.playerStarts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(command, starts[0]);
}

// A pending-launch file far larger than any command line: the road takes it
// unread, launches nothing from it and ends as usual.
TEST(StartupDriverTest, AHugePendingFileIsDroppedAndTheRoadEndsNormally) {
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    {
        HANDLE file = CreateFileW(roadtest::pendingLaunchPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        LARGE_INTEGER size;
        size.QuadPart = 100LL * 1024 * 1024;
        ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
    }
    DriverRun run = box.run(L"-s", "");
    EXPECT_EQ(0, run.exitCode) << run.log;
    EXPECT_TRUE(run.has("impl.install(end)"));
    EXPECT_TRUE(run.has("takeDataFile=")) << "taken, and the text is empty";
    EXPECT_TRUE(run.has("exit=0"));
    EXPECT_TRUE(run.logged("data file too large: " + tst::narrow(roadtest::pendingLaunchPath()))) << run.log;
    EXPECT_EQ(0u, run.count("launchProcess("));
    EXPECT_FALSE(tst::fileExists(roadtest::pendingLaunchPath()));
}

TEST(StartupDriverTest, ExitCodesOfEveryKindOfReturn) {
    struct Case {
        const wchar_t* args;
        const char* script;
        const char* held;  // a product mutex held by this test: "setup", "loader", "player"
        bool player;       // the player file is installed
        DWORD code;        // as GetExitCodeProcess reports it
        const char* mark;
    } cases[] = {
        {L"", "", "setup", false, 0xFFFFFFFFu, "isSetupRunning=1"},
        {L"", "", "loader", false, 0xFFFFFFFFu, "acquireLoaderInstance=0"},
        {L"--add-shortcut", "", "", false, 0, "addAllAppShortcuts"},
        {L"--uninstall", "", "player", false, 0, "showRemoveRefused"},
        {L"-s", "", "", false, 0, "impl.install(end)"},
        {L"", "window=fails\n", "", false, 0, "runWindow(action=1)"},
        {L"-s --uninstall", "", "", true, 0, "impl.remove(end)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mark);
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        if (c.player) ASSERT_TRUE(box.placePlayer());
        std::string name = std::string(c.held) == "setup"    ? getSetupMutexName()
                           : std::string(c.held) == "loader" ? getLoaderMutexName()
                           : std::string(c.held) == "player" ? getPlayerMutexName()
                                                             : std::string();
        std::unique_ptr<HeldMutex> held;
        if (!name.empty()) {
            held.reset(new HeldMutex(name));
            ASSERT_TRUE(held->ok());
        }
        DriverRun run = box.run(c.args, c.script);
        EXPECT_EQ(c.code, (DWORD)run.exitCode);
        EXPECT_TRUE(run.has(c.mark));
        EXPECT_TRUE(run.has(std::string("exit=") + (c.code ? "-1" : "0")));
        // Only a run that took the loader mutex holds it at its end.
        bool took = run.has("acquireLoaderInstance=1");
        EXPECT_TRUE(run.has(std::string("loaderMutexHeld=") + (took ? "1" : "0")));
    }
}

TEST(StartupDriverTest, HandOverThroughTheRealArgumentSplit) {
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    HeldMutex firstLoader(getLoaderMutexName());
    ASSERT_TRUE(firstLoader.ok());
    DriverRun run = box.run(L"--launch \"C:\\a b\\x.exe\" --app-id 7 /restart", "");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("isLoaderRunning=1"));
    EXPECT_TRUE(run.has("writeDataFile(TarvoLoader_routines, \"C:\\a b\\x.exe\" --app-id 7)"));
    EXPECT_TRUE(run.has("activateExistingLoader"));
    EXPECT_EQ(0u, run.count("isSetupRunning"));
    // The text lies in the common data folder for the running loader.
    std::string pending;
    ASSERT_TRUE(tst::readFile(roadtest::pendingLaunchPath(), pending));
    EXPECT_EQ("\"C:\\a b\\x.exe\" --app-id 7", pending);
}

// The Qv rows against an installed stand-in engine.
std::string lastStart(const qvtest::StandinEngine& engine, const std::string& program, DWORD waitMs = 15000) {
    for (DWORD waited = 0;; waited += 100) {
        std::vector<std::string> starts = engine.starts(program);
        if (!starts.empty()) return starts.back();
        if (waited >= waitMs) return std::string();
        Sleep(100);
    }
}

TEST(StartupDriverQvTest, RunasQvLaunchesAnInstalledApp) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install());
    const std::wstring folder = engine.writeAppFolder(
        L"1001", {{"id", "1001"}, {"package", "com.tarvo.sample"}, {"activity", "MainActivity"}, {"apk", "sample.apk"}});
    const std::wstring apk = folder + L"\\sample.apk";
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\fixtures\\apk\\sample.apk").c_str(), apk.c_str(), FALSE));
    ASSERT_TRUE(engine.addGadget(L"com.tarvo.sample", L"MainActivity"));
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    DriverRun run = box.run(L"--runas qv --app-id 1001", "");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("isQvContextInstalled=1"));
    EXPECT_TRUE(run.has("launchQvAppById(1001)"));
    EXPECT_TRUE(run.has("launchQvAppById=1"));
    EXPECT_EQ("  -p com.tarvo.sample -a MainActivity", lastStart(engine, "TV-RunApp"));
    EXPECT_FALSE(tst::fileExists(apk));
    EXPECT_EQ(0u, run.count("launchProcess("));
    EXPECT_EQ(0u, run.count("markLaunched"));
    EXPECT_TRUE(engine.waitRecorded("TV-RunApp", "runapp", "com.tarvo.sample MainActivity", 30000));
}

TEST(StartupDriverQvTest, InstallRunLaunchesTheChannelAppOrTheLauncher) {
    struct Case {
        const char* name;
        bool channel;      // the channel names com.tarvo.game with launch and launchapk
        bool appFolder;    // the loader's app folder of com.tarvo.game exists
        const char* launch;
        bool installs;
    } cases[] = {
        {"listed channel app", true, true, "launchQvAppById(com.tarvo.game)", true},
        {"unlisted channel app", true, false, "launchQvAppById()", true},
        {"nothing to do", false, false, "launchQvAppById()", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::StandinEngine engine;
        ASSERT_TRUE(engine.install());
        if (c.appFolder) {
            const std::wstring folder = engine.writeAppFolder(
                L"com.tarvo.game",
                {{"id", "com.tarvo.game"}, {"package", "com.tarvo.sample"}, {"activity", ".MainActivity"}, {"apk", "game.apk"}});
            ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\fixtures\\apk\\sample.apk").c_str(),
                                  (folder + L"\\game.apk").c_str(), FALSE));
        }
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        if (c.channel) {
            ASSERT_TRUE(box.serve(L"channel_config.json", kChannel));
            ASSERT_TRUE(box.serve(L"apk_config.json", kApps));
        }
        DriverRun run = box.run(L"-s --backinstall", "");
        EXPECT_EQ(0, run.exitCode);
        EXPECT_EQ(c.installs, run.has("lookupQvApp=0"));
        EXPECT_EQ(c.installs, run.has("impl.install(end)"));
        if (c.installs) {
            bool reinstall = false;
            for (const std::string& r : box.requests()) reinstall = reinstall || r.find("/Stat?action=reinstall&") != std::string::npos;
            EXPECT_TRUE(reinstall);
            EXPECT_NE("", run.first("record(op=1, engine=1,"));
            EXPECT_EQ(std::string("localAppListContains=") + (c.appFolder ? "1" : "0"),
                      run.first("localAppListContains="));
        }
        EXPECT_TRUE(run.has(c.launch)) << testing::PrintToString(run.lines);
        EXPECT_TRUE(run.has("launchQvAppById=1"));
        if (c.appFolder) {
            // Installed through the handler, then started.
            EXPECT_EQ("  -p com.tarvo.sample -a .MainActivity", lastStart(engine, "TV-RunApp"));
            EXPECT_TRUE(engine.recorded("TV-ApkHandler", "apk-installed", "com.tarvo.sample MainActivity 0"));
            EXPECT_TRUE(engine.waitRecorded("TV-RunApp", "runapp", "com.tarvo.sample MainActivity", 30000));
        } else {
            EXPECT_EQ(" ", lastStart(engine, "TV-StartLauncher"));
            EXPECT_TRUE(engine.waitRecorded("TV-StartLauncher", "launcher", "", 30000));
        }
    }
}

TEST(StartupDriverQvTest, PendingLaunchInsideTheEngineFolder) {
    struct Case {
        const char* name;
        const wchar_t* program;  // relative to the install folder
        bool validDir;
        bool started;
    } cases[] = {
        {"the engine's launcher", L"TV-StartLauncher.exe", true, true},
        {"a file deeper in the folder", L"tvData\\TV-StartLauncher.exe", true, false},
        {"an invalid install folder", L"TV-StartLauncher.exe", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::StandinEngine engine;
        ASSERT_TRUE(engine.install());
        const std::wstring program = engine.folder() + c.program;
        if (!tst::fileExists(program))
            ASSERT_TRUE(CopyFileW((engine.folder() + L"TV-StartLauncher.exe").c_str(), program.c_str(), FALSE));
        if (!c.validDir) ASSERT_TRUE(qvtest::StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, L"qvplayer\\"));
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        const std::string pending = "\"" + tst::narrow(program) + "\"";
        ASSERT_TRUE(tst::writeFile(roadtest::pendingLaunchPath(), pending));
        DriverRun run = box.run(L"-s --backinstall", "");
        EXPECT_EQ(0, run.exitCode);
        const std::string launch = "launchProcess(" + pending + " --byloader)";
        EXPECT_EQ(c.started, run.has(launch));
        if (c.started) {
            EXPECT_EQ(pending + " --byloader", lastStart(engine, "TV-StartLauncher"));
            EXPECT_TRUE(engine.waitRecorded("TV-StartLauncher", "launcher", "--byloader", 30000));
        } else {
            EXPECT_TRUE(run.logged("pending launch refused: " + pending)) << run.log;
            for (const std::string& line : engine.starts("TV-StartLauncher"))
                EXPECT_EQ(std::string::npos, line.find("--byloader")) << line;
        }
    }
}

const std::wstring kLinkSuffix = L"-\u7535\u8111\u7248.lnk";  // "-电脑版.lnk"

TEST(StartupDriverTest, ShortcutWordsWriteAndRemoveTheAppsLinks) {
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"1001", L"T25 Road One"));
    ASSERT_TRUE(apps.add(L"t25road", L"T25 Road Two"));
    const std::wstring one = L"T25 Road One" + kLinkSuffix;
    const std::wstring two = L"T25 Road Two" + kLinkSuffix;
    typedef std::set<std::wstring> Links;
    struct Step {
        const wchar_t* args;
        Links links;  // the new links on the desktop afterwards
    } steps[] = {
        {L"--add-shortcut", {one, two}},
        {L"--rm-shortcut", {}},
        {L"--add-shortcut 1001", {one}},
        {L"--add-shortcut t25road", {one, two}},
        {L"--rm-shortcut 1001", {two}},
        {L"--rm-shortcut", {}},
        {L"--add-shortcut 1001 --rm-shortcut", {}},
        {L"--add-shortcut /silent=1", {}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(tst::narrow(s.args));
        DriverRun run = box.run(s.args, "");
        EXPECT_EQ(0, run.exitCode);
        EXPECT_TRUE(run.has("exit=0"));
        EXPECT_EQ(0u, run.count("acquireLoaderInstance"));
        EXPECT_EQ(s.links, apps.newLinks());
    }
    for (const std::string& request : box.requests())
        EXPECT_EQ(std::string::npos, request.find("/data/")) << request;

    // The links start the loader beside the program with the app's id.
    ASSERT_EQ(0, box.run(L"--add-shortcut 1001", "").exitCode);
    HRESULT com = CoInitialize(nullptr);
    tst::LinkInfo link = tst::readLink(apps.desktop() + L"\\" + one);
    if (SUCCEEDED(com)) CoUninitialize();
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(0, _wcsicmp((box.progDir() + L"\\TarvoLoader.exe").c_str(), link.path.c_str()))
        << tst::narrow(link.path);
    EXPECT_EQ(L"--app-id 1001", link.arguments);
}

// The road with the real dialog and window run over the scripted engine.

// The process's windows of a class.
std::vector<HWND> windowsOf(DWORD pid, const wchar_t* cls) {
    std::vector<HWND> out;
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, cls, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid) out.push_back(w);
    }
    return out;
}

std::vector<std::string> dialogLines(const DriverRun& run) {
    std::vector<std::string> out;
    for (const std::string& l : run.logLines())
        if (l.compare(0, 8, "dialog: ") == 0) out.push_back(l);
    return out;
}

TEST(StartupDriverWindowTest, InstallRunShowsTheDialogFromCreatedToClosedAndThenLaunches) {
    RoadSandbox box;
    ASSERT_TRUE(readyWithPlayerAndChannel(box));
    DriverRun run = box.run(L"", "driver.window=real\nop.1.events=1:0:0:0;1:1:0:50;1:2:0:100\n");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("runWindow(action=1)"));
    EXPECT_TRUE(run.has("runWindow=1 action=1"));
    const std::vector<std::string> expected = {
        "dialog: created",
        "dialog: pictures 0/3 slides, icon 0",
        "dialog: installer started (action 1)",
        "dialog: progress stage 1 state 0 error 0",
        "dialog: progress stage 1 state 1 error 0",
        "dialog: progress stage 1 state 2 error 0",
        "dialog: closed",
    };
    EXPECT_EQ(expected, dialogLines(run));
    // The launch comes after the window run, which waited for the run.
    EXPECT_LT(run.index("impl.install(end)"), run.index("runWindow=1 action=1"));
    EXPECT_LT(run.index("runWindow=1 action=1"), run.index(run.first("launchProcess(")));
    EXPECT_EQ(1u, run.count("launchProcess("));
    EXPECT_TRUE(run.has("launchProcess=1"));
}

TEST(StartupDriverWindowTest, CancelInTheFailureBoxRollsBackAndLaunchesNothing) {
    RoadSandbox box;
    ASSERT_TRUE(readyWithPlayerAndChannel(box));
    RoadSandbox::Started s = box.start(
        L"", "driver.window=real\nop.1.events=1:0:0:0;1:2:-1:0\nop.3.events=3:0:0:0;3:2:0:100\n");
    ASSERT_TRUE(s.process != nullptr);
    const DWORD pid = GetProcessId(s.process);
    // The user answers Cancel in the box that the driver's dialog owns.
    bool answered = false;
    for (int i = 0; i < 1200 && !answered && WaitForSingleObject(s.process, 0) == WAIT_TIMEOUT; ++i) {
        for (HWND box32770 : windowsOf(pid, L"#32770")) {
            HWND owner = GetWindow(box32770, GW_OWNER);
            wchar_t cls[64] = {};
            if (owner) GetClassNameW(owner, cls, 64);
            if (IsWindowVisible(box32770) && std::wstring(cls) == L"TarvoLoaderDlg") {
                Sleep(200);
                PostMessageW(box32770, WM_COMMAND, IDCANCEL, 0);
                answered = true;
            }
        }
        Sleep(50);
    }
    DriverRun run = box.finish(s);
    EXPECT_TRUE(answered);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("runWindow=1 action=3"));
    EXPECT_TRUE(run.has("impl.remove(end)"));
    EXPECT_EQ(0u, run.count("launchProcess("));
    const std::vector<std::string> lines = dialogLines(run);
    auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
    EXPECT_LT(at("dialog: failure box"), at("dialog: failure box answer 2"));
    EXPECT_LT(at("dialog: failure box answer 2"), at("dialog: rollback started"));
    EXPECT_LT(at("dialog: rollback started"), at("dialog: installer started (action 3)"));
    EXPECT_LT(at("dialog: installer started (action 3)"), at("dialog: closed"));
    EXPECT_LT(at("dialog: closed"), (ptrdiff_t)lines.size());
}

TEST(StartupDriverWindowTest, SilentRunMakesNoWindowAndNoTrayIcon) {
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    Gate gate(L"window-road-gate-" + std::to_wstring(GetCurrentProcessId()));
    RoadSandbox::Started s =
        box.start(L"-s", "driver.window=real\ndriver.block=1\ndriver.gate=" + tst::narrow(gate.name) + "\n");
    ASSERT_TRUE(s.process != nullptr);
    const DWORD pid = GetProcessId(s.process);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.blocked, 60000)) << "the run never blocked";
    Sleep(300);
    EXPECT_TRUE(windowsOf(pid, L"TarvoLoaderDlg").empty());
    EXPECT_TRUE(windowsOf(pid, L"#32770").empty());
    SetEvent(gate.release);
    DriverRun run = box.finish(s);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("impl.install(end)"));
    EXPECT_EQ(0u, run.count("runWindow"));
    // Only the dialog adds the tray icon, and it never came.
    EXPECT_TRUE(dialogLines(run).empty());
}

}  // namespace
