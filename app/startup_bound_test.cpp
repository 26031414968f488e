// The start-up road's bound services at process level: startup_driver.exe runs
// from a folder of its own against the prefix's real loader mutex, pending-launch
// file, adapter ini, log and a fixture web host on 127.0.0.1, and starts the
// stand-in player.
// The fake adb fixture needs winsock2.h before windows.h.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/machine_id.h"
#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"
#include "toolkit/string_util.h"

namespace {

using roadtest::Gate;
using roadtest::DriverRun;
using roadtest::HeldMutex;
using roadtest::RoadSandbox;

const char kChannel[] =
    R"([{"channel": "52817", "apkchannel": "ch7", "apkid": "com.tarvo.game", "launch": "1", "launchapk": "1"}])";
const char kApps[] =
    R"([{"apkid": "com.tarvo.game", "name": "Game", "apkpackagename": "com.tarvo.game",)"
    R"( "apkactivity": "com.tarvo.game.Main", "apkpackage": "game.apk", "icon": "x.png"}])";

std::string iniMain(const wchar_t* key) {
    return tst::narrow(IniFile(getAdaptIniPath()).getString(L"main", key, L"<none>"));
}

// The statistics actions the fixture host saw, in order.
std::vector<std::string> statActions(const RoadSandbox& box) {
    std::vector<std::string> out;
    for (const std::string& r : box.requests()) {
        const std::string head = "GET /Stat?action=";
        if (r.compare(0, head.size(), head) != 0) continue;
        out.push_back(r.substr(head.size(), r.find('&') - head.size()));
    }
    return out;
}

TEST(StartupBoundTest, StartStatisticsMachineIdsAndChannelReachTheirPlaces) {
    struct Case {
        const char* name;
        const wchar_t* args;
        const char* script;
        bool player, channel;
        std::vector<std::string> actions;
        bool qvEngine;  // an installed stand-in Qv engine
    } cases[] = {
        {"nothing installed", L"", "window=fails\n", false, false, {"QV_lod_start"}, false},
        {"player lacks the channel app", L"", "window=fails\n", true, true,
         {"lod_start", "vbox_install_other_apk"}, false},
        // The installed engine counts as an installed emulator.
        {"Qv lacks the channel app", L"", "window=fails\n", false, true, {"lod_start", "reinstall"}, true},
        {"silent upgrade", L"--silent-upgrade", "window=fails\n", false, false, {}, false},
        {"silent removal", L"-s --uninstall", "", true, false, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<qvtest::StandinEngine> engine;
        if (c.qvEngine) {
            engine.reset(new qvtest::StandinEngine());
            ASSERT_TRUE(engine->install());
        }
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        if (c.player) ASSERT_TRUE(box.placePlayer());
        if (c.channel) {
            ASSERT_TRUE(box.serve(L"channel_config.json", kChannel));
            ASSERT_TRUE(box.serve(L"apk_config.json", kApps));
        }
        DriverRun run = box.run(c.args, c.script);
        EXPECT_EQ(0, run.exitCode);

        // The channel documents come first, from the product host.
        std::vector<std::string> requests = box.requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ("GET /data/channel_config.json HTTP/1.1", requests[0]);
        EXPECT_EQ(c.actions, statActions(box));
        EXPECT_EQ(c.channel ? "ch7" : "<none>", iniMain(L"app_channel"));

        // mid and mid2 of this machine in the common data folder's adapter ini.
        const std::wstring mid = getMid(), mid2 = getMid2();
        EXPECT_EQ(32u, mid.size());
        EXPECT_EQ(tst::narrow(mid), iniMain(L"mid"));
        EXPECT_EQ(tst::narrow(mid2), iniMain(L"mid2"));
        EXPECT_TRUE(run.has("writeAdaptIni(mid=" + tst::narrow(mid) + ")"));

        // Every statistics URL sent is the full one, logged as sent.
        const std::string expectedTail = "&ref=loader&ver=" TARVO_BUILD_VERSION "&mid=" + tst::narrow(mid) + "&mid2=" + tst::narrow(mid2) +
                                         "&cno=52817";
        size_t sent = 0;
        for (const std::string& l : run.lines) {
            if (l.compare(0, 9, "sendStat(") != 0) continue;
            ++sent;
            const std::string url = l.substr(9, l.size() - 10);
            EXPECT_EQ(0u, url.find(tst::narrow(box.base()) + "/Stat?action=")) << url;
            EXPECT_EQ(url.size() - expectedTail.size(), url.rfind(expectedTail)) << url;
            if (url.find("lod_start&") != std::string::npos) EXPECT_TRUE(run.logged("TarvoLoad info: " + url)) << url;
        }
        EXPECT_EQ(c.actions.size(), sent);
        EXPECT_TRUE(run.logged("TarvoLoad start..."));
    }
}

TEST(StartupBoundTest, HandOverBetweenRealLoadersThroughThePendingFile) {
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    ASSERT_TRUE(box.placePlayer());
    ASSERT_TRUE(box.serve(L"channel_config.json", kChannel));
    ASSERT_TRUE(box.serve(L"apk_config.json", kApps));
    Gate gate(L"binder-road-gate-" + std::to_wstring(GetCurrentProcessId()));

    // The first loader holds the loader mutex while its install waits.
    RoadSandbox::Started first = box.start(L"-s --backinstall", "driver.block=1\ndriver.gate=" +
                                                                    tst::narrow(gate.name) + "\n");
    ASSERT_TRUE(first.process != nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.blocked, 60000)) << "the first loader never blocked";

    // A second one with a launch value leaves it to the first.
    const std::string player = tst::narrow(box.playerPath());
    DriverRun second = box.run(L"--launch \"" + box.playerPath() + L"\" --app-id 7", "");
    EXPECT_EQ(0, second.exitCode);
    EXPECT_TRUE(second.has("isLoaderRunning=1"));
    EXPECT_TRUE(second.has("activateExistingLoader"));
    EXPECT_EQ(0u, second.count("acquireLoaderInstance"));
    std::string pending;
    ASSERT_TRUE(tst::readFile(roadtest::pendingLaunchPath(), pending));
    EXPECT_EQ("\"" + player + "\" --app-id 7", pending);

    // A third one without words may not run at all.
    DriverRun third = box.run(L"", "");
    EXPECT_EQ(0xFFFFFFFFu, (DWORD)third.exitCode);
    EXPECT_TRUE(third.has("acquireLoaderInstance=0"));
    EXPECT_EQ(0u, third.count("updateChannelConfig"));
    EXPECT_EQ(0u, third.count("takeDataFile"));
    EXPECT_TRUE(tst::fileExists(roadtest::pendingLaunchPath()));

    // The first one finishes, takes the request and starts it.
    SetEvent(gate.release);
    DriverRun run = box.finish(first);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("impl.install(end)"));
    EXPECT_TRUE(run.has("takeDataFile=\"" + player + "\" --app-id 7"));
    EXPECT_TRUE(run.has("isProductProgram(" + player + ")"));
    EXPECT_TRUE(run.has("isProductProgram=1"));
    const std::string command = "\"" + player + "\" --app-id 7 --byloader";
    EXPECT_TRUE(run.has("launchProcess(" + command + ")"));
    EXPECT_EQ(1u, run.count("launchProcess("));
    EXPECT_FALSE(tst::fileExists(roadtest::pendingLaunchPath()));
    EXPECT_EQ("1", iniMain(L"launched"));
    std::vector<std::string> starts = box.playerStarts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(command, starts[0]);
}

TEST(StartupBoundTest, PendingFileIsTakenOnceAndStartsOnlyTheProductsPrograms) {
    struct Case {
        const char* name;
        const wchar_t* args;
        std::wstring pending;      // {home} and {player} and {other} are replaced
        const wchar_t* placeAt;    // a stand-in copy placed there too ({home}, {other})
        std::wstring started;      // the expected start, "" for none
        bool fileRemains;
        const char* logLine;       // prefix of a log line, or null
    } cases[] = {
        {"the player", L"", L"\"{player}\" --app-id 7", nullptr, L"\"{player}\" --app-id 7 --byloader", false,
         nullptr},
        {"a program directly in the player home", L"", L"\"{home}\\Helper.exe\"", L"{home}\\Helper.exe",
         L"\"{home}\\Helper.exe\" --byloader", false, nullptr},
        {"a Chinese name in the player home", L"", L"\"{home}\\塔沃.exe\" --app-id 7", L"{home}\\塔沃.exe",
         L"\"{home}\\塔沃.exe\" --app-id 7 --byloader", false, nullptr},
        {"another program", L"", L"\"{other}\\TarvoPlayer.exe\" --app-id 7", L"{other}\\TarvoPlayer.exe",
         L"\"{player}\" --byloader", false, "pending launch refused: "},
        {"options of its own", L"", L"\"{player}\" --app-id 7 --silent", nullptr, L"\"{player}\" --byloader", false,
         "pending launch refused: "},
        {"an own launch value wins", L"--launch \"{player}\"", L"\"{home}\\Helper.exe\"", L"{home}\\Helper.exe",
         L"\"{player}\" --byloader", false, "pending launch dropped: "},
        {"a removal drops it", L"-s --uninstall", L"\"{player}\" --app-id 7", nullptr, L"", false,
         "pending launch dropped: "},
        {"shortcut words leave it", L"--add-shortcut", L"\"{player}\" --app-id 7", nullptr, L"", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        ASSERT_TRUE(box.placePlayer());
        const std::wstring other = box.tempDir() + L"\\other";
        CreateDirectoryW(other.c_str(), nullptr);
        auto fill = [&](std::wstring text) {
            replaceAll(text, L"{player}", box.playerPath());
            replaceAll(text, L"{home}", box.homeDir());
            replaceAll(text, L"{other}", other);
            return text;
        };
        if (c.placeAt)
            ASSERT_TRUE(CopyFileW(box.playerPath().c_str(), fill(c.placeAt).c_str(), FALSE)) << tst::narrow(fill(c.placeAt));
        // Written as any local program could: ANSI text in the common data folder.
        const std::string pending = wideToAnsi(fill(c.pending));
        ASSERT_TRUE(tst::writeFile(roadtest::pendingLaunchPath(), pending));

        DriverRun run = box.run(fill(c.args), "");
        EXPECT_EQ(0, run.exitCode);
        std::vector<std::string> starts = box.playerStarts(c.started.empty() ? 1500 : 10000);
        if (c.started.empty()) {
            EXPECT_TRUE(starts.empty());
        } else {
            ASSERT_EQ(1u, starts.size());
            EXPECT_EQ(tst::narrow(fill(c.started)), starts[0]);
        }
        EXPECT_EQ(c.fileRemains, tst::fileExists(roadtest::pendingLaunchPath()));
        EXPECT_EQ(c.fileRemains ? 0u : 1u, run.count("takeDataFile(TarvoLoader_routines)"));
        if (c.logLine) {
            EXPECT_TRUE(run.logged(c.logLine + pending)) << run.log;
        }
    }
}

}  // namespace

namespace {

const char kVmMutex[] = "vbox_1_c189726741d83ce2655d90b94382d566";
const char kOneChannel[] =
    R"([{"channel": "52817", "apkchannel": "ch7", "apkid": "1001", "launch": "1", "launchapk": "1"}])";
const char kOneApps[] =
    R"([{"apkid": "1001", "name": "One", "apkpackagename": "com.example.one",)"
    R"( "apkactivity": ".Main", "apkpackage": "one.apk", "icon": "x.png"}])";

Json::Value listing(bool withOne) {
    Json::Value config(Json::objectValue);
    Json::Value packages(Json::arrayValue);
    Json::Value entry(Json::arrayValue);
    entry.append("/system/app/Settings.apk");
    entry.append("com.android.settings");
    packages.append(entry);
    if (withOne) {
        Json::Value one(Json::arrayValue);
        one.append("/data/app/~~Hs2X==/com.example.one-G5ZX==/base.apk");
        one.append("com.example.one");
        packages.append(one);
    }
    config["packages"] = packages;
    config["line_end"] = "\n";
    return config;
}

// The context rows against the engine as it stands: the VBox player installed,
// the channel's app 1001 in its app folder naming com.example.one, the guest
// behind a fake adb server.
TEST(StartupBoundTest, ContextRowsAskTheEngineForReal) {
    struct Case {
        const char* name;
        bool running, listed;
        std::vector<std::string> actions;
        const char* state;
        bool adbTraffic;
    };
    const Case cases[] = {
        {"running, app on the device", true, true, {"lod_start"}, "installed", true},
        {"running, app missing", true, false, {"lod_start", "vbox_install_other_apk"}, "missing", true},
        {"stopped: the app folder answers", false, false, {"lod_start"}, "installed", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::StandinEngine apps;  // app folders only
        apps.writeAppFolder(L"1001", {{"id", "1001"}, {"package", "com.example.one"}, {"activity", ".Main"}});
        RoadSandbox box;
        ASSERT_TRUE(box.ready());
        ASSERT_TRUE(box.placePlayer());
        ASSERT_TRUE(box.serve(L"channel_config.json", kOneChannel));
        ASSERT_TRUE(box.serve(L"apk_config.json", kOneApps));
        fakeadb::FakeAdb adb(listing(c.listed));
        ASSERT_TRUE(adb.ok());
        std::unique_ptr<HeldMutex> vm(c.running ? new HeldMutex(kVmMutex) : nullptr);
        DriverRun run = box.run(L"", "window=fails\n", {L"TARVO_ADB_PORT=" + std::to_wstring(adb.port())});
        EXPECT_EQ(0, run.exitCode);
        EXPECT_TRUE(run.has("currentContextAppState(1001)"));
        EXPECT_TRUE(run.has(std::string("currentContextAppState=") + c.state));
        EXPECT_EQ(c.actions, statActions(box));
        EXPECT_EQ(c.adbTraffic, adb.connections() > 0);
    }
}

TEST(StartupBoundTest, LaunchInTheRunningPlayerGoesThroughItsContext) {
    qvtest::StandinEngine apps;
    apps.writeAppFolder(L"1001", {{"id", "1001"}, {"package", "com.example.one"}, {"activity", ".Main"}});
    RoadSandbox box;
    ASSERT_TRUE(box.ready());
    ASSERT_TRUE(box.placePlayer());
    ASSERT_TRUE(box.serve(L"channel_config.json", kOneChannel));
    ASSERT_TRUE(box.serve(L"apk_config.json", kOneApps));
    fakeadb::FakeAdb adb(listing(false));
    ASSERT_TRUE(adb.ok());
    HeldMutex vm(kVmMutex);
    HeldMutex player(getPlayerMutexName());
    DriverRun run = box.run(L"-s --backinstall", "op.1.launchAppId=1001\n",
                            {L"TARVO_ADB_PORT=" + std::to_wstring(adb.port())});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("launchInCurrentContext(1001)"));
    EXPECT_TRUE(run.has("launchInCurrentContext=1"));
    std::vector<Json::Value> started = adb.eventsOf("am_start");
    ASSERT_EQ(1u, started.size());
    ASSERT_EQ(2u, started[0]["args"].size());
    EXPECT_EQ("com.example.one/.Main", started[0]["args"][1].asString());
    EXPECT_EQ(0u, run.count("launchProcess("));
    EXPECT_TRUE(box.playerStarts(500, 1).empty());
}

}  // namespace
