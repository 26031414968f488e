// The Qv engine's install as the loader runs it: installer_driver.exe runs the
// real download and install against the sample channel on 127.0.0.1, with the
// stand-in engine package, setup, tools and helper service. This test program
// has a Wine prefix of its own; each test clears the product's state first and last.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include <string>
#include <vector>

#include "services/ini_file.h"
#include "services/install_paths.h"
#include "toolkit/shell_util.h"
#include "services/loader_env.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/product_state.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"

namespace {

std::string sampleFilesUnix() { return tst::unixPath(tst::binDir() + L"\\..\\sample_files"); }

std::wstring regValue(const wchar_t* key, const wchar_t* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | (is64BitWindows() ? KEY_WOW64_64KEY : 0), &handle) !=
        ERROR_SUCCESS)
        return L"(none)";
    wchar_t buffer[600] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"(none)";
}

// A value of the product's uninstall entry, in this process's registry view as the install writes it.
std::wstring entryValue(const wchar_t* name) {
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + getProductDisplayName();
    wchar_t buffer[600] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS)
        return L"(none)";
    return buffer;
}

std::string fieldOf(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const size_t start = at + key.size() + 2;
    const size_t end = key == "message" ? line.size() : line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The install stage's events as "state error percent message".
std::vector<std::string> installEvents(const roadtest::DriverRun& run, bool withThreadAndThrottle = false) {
    std::vector<std::string> out;
    for (const std::string& l : run.lines) {
        if (l.compare(0, 6, "event ") != 0 || fieldOf(l, "stage") != "1") continue;
        const float percent = (float)atof(fieldOf(l, "percent").c_str());
        const std::string message = fieldOf(l, "message");
        const bool throttled = percent > 10 && percent < 50;
        const bool thread = percent > 90 && percent < 99;
        if (!withThreadAndThrottle && (throttled || thread)) continue;
        out.push_back(fieldOf(l, "state") + " " + fieldOf(l, "error") + " " + fieldOf(l, "percent") + " " + message);
    }
    return out;
}

// The /Stat action words and market pings the server saw, in order.
std::vector<std::string> actions(const std::vector<std::string>& requests) {
    std::vector<std::string> out;
    for (const std::string& r : requests) {
        const size_t at = r.find("/Stat?action=");
        if (at != std::string::npos) {
            const size_t start = at + 13;
            out.push_back(r.substr(start, r.find('&', start) - start));
        } else if (r.find("GET /mobi.html") == 0) {
            out.push_back("ping:mobi");
        } else if (r.find("GET /Orvekmobilemgr/") == 0) {
            out.push_back("ping:cdn");
        } else if (r.find("GET /Stat/getPeerfetchUrl") == 0) {
            out.push_back("ping:peerfetch");
        }
    }
    return out;
}

bool inOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
    size_t k = 0;
    for (const std::string& a : all)
        if (k < wanted.size() && a == wanted[k]) ++k;
    return k == wanted.size();
}

const char kPackage[] = "qv_engine_3.1.0.1001.zip";

class QvRoadTest : public ::testing::Test {
protected:
    // The case folder is served first, so a case can stand another file in for the package.
    QvRoadTest()
        : box(L"installer_driver.exe", {"--root", tst::testingDirUnix() + "/sample_channel", "--substitute", "--files",
                                        tst::unixPath(cases.path()), "--files", sampleFilesUnix()}) {}
    void SetUp() override {
        ASSERT_TRUE(box.ready());
        tst::clearProductState();
    }
    void TearDown() override { tst::clearProductState(); }

    roadtest::DriverRun install(const std::string& modes = std::string(), const std::string& extraCase = std::string(),
                                const char* action = "install") {
        if (!modes.empty()) tst::writeFile(state.path() + L"\\modes.ini", modes);
        return box.run(L"",
                       std::string("action=") + action +
                           "\ncpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\ndotnet=0\n" + extraCase,
                       {L"QV_STANDIN_DIR=" + state.path()});
    }
    // Serves a generated file of sample_files under the package's name.
    void servePackageFrom(const wchar_t* generated) {
        ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\..\\sample_files\\" + generated).c_str(),
                              (cases.path() + L"\\" + tst::widen(kPackage)).c_str(), FALSE));
    }
    std::vector<std::string> actionsSince(size_t before) const {
        std::vector<std::string> requests = box.requests();
        requests.erase(requests.begin(), requests.begin() + (long)std::min(before, requests.size()));
        return actions(requests);
    }
    // The value after "prefix" of the first log line that starts with it.
    static std::string loggedAfter(const roadtest::DriverRun& run, const std::string& prefix) {
        for (const std::string& l : run.logLines())
            if (l.compare(0, prefix.size(), prefix) == 0) return l.substr(prefix.size());
        return std::string();
    }
    static bool desktopLinkExists() {
        return tst::fileExists(getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"") + L"\\" + getProductDisplayName() +
                               L".lnk");
    }
    std::vector<qvtest::RecordLine> record() const {
        std::vector<qvtest::RecordLine> out;
        for (const std::string& line : tst::readLines(state.path() + L"\\record.log")) {
            std::vector<std::string> f;
            size_t a = 0;
            for (size_t b; (b = line.find('\t', a)) != std::string::npos; a = b + 1) f.push_back(line.substr(a, b - a));
            f.push_back(line.substr(a));
            if (f.size() == 4) out.push_back({f[0], (DWORD)strtoul(f[1].c_str(), nullptr, 10), f[2], f[3]});
        }
        return out;
    }
    std::string startOf(const std::string& program) const {
        for (const qvtest::RecordLine& r : record())
            if (r.program == program && r.event == "start") return r.details;
        return "(not started)";
    }
    bool recorded(const std::string& program, const std::string& event, const std::string& details) const {
        for (const qvtest::RecordLine& r : record())
            if (r.program == program && r.event == event && r.details == details) return true;
        return false;
    }

    tst::TempDir cases{L"qvcase"};
    roadtest::RoadSandbox box;
    tst::TempDir state{L"qvroad"};
};

TEST_F(QvRoadTest, FullInstallFromTheSampleChannel) {
    const size_t before = box.requests().size();
    roadtest::DriverRun run = install();
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_TRUE(run.has("result=0"));

    EXPECT_EQ((std::vector<std::string>{
                  u8"0 0 0 开始安装", u8"1 0 10 安装塔沃主程序...", u8"1 0 50 安装主程序和快捷方式...",
                  u8"1 0 50 安装主程序和快捷方式...", u8"1 0 60 安装辅助程序...", u8"1 0 70 安装辅助程序...",
                  u8"1 0 70 初始化程序...", u8"1 0 70 初始化程序...", u8"1 0 90 正在安装应用,大概需要3~5分钟...",
                  u8"1 0 100 安装应用...", u8"2 0 100 安装成功"}),
              installEvents(run));

    const std::wstring player = getDefaultPlayerFolder();
    const std::wstring data = getUserDataFolder();
    const std::wstring engine = player + L"\\qvplayer\\";
    EXPECT_EQ(engine, regValue(qvtest::kTarvoGamesKey, L"InstallDir"));
    EXPECT_EQ(L"3.1.0.1001", regValue(qvtest::kTarvoGamesKey, L"Version"));
    for (const char* service : {"TarvoHelper", "tvHdAndroidSvc", "tvHdDrv"})
        EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError(service)) << service;

    // The helper programs left the player folder for the user data folder.
    for (const wchar_t* name : {L"\\qvInstaller.exe", L"\\TarvoHelper.exe", L"\\TarvoTips.exe"}) {
        EXPECT_TRUE(tst::fileExists(data + name)) << tst::narrow(name);
        EXPECT_FALSE(tst::fileExists(player + name)) << tst::narrow(name);
    }
    EXPECT_TRUE(tst::fileExists(player + L"\\qvPlayer.exe"));

    const std::string setupLine = "\"" + tst::narrow(data) + "\\qvInstaller.exe\" install \"" +
                                  tst::narrow(player) + "\\qvplayer\"";
    EXPECT_EQ(setupLine, startOf("qvInstaller"));
    EXPECT_TRUE(recorded("qvInstaller", "exit", "1"));
    const std::wstring appFolder = data + L"\\apps\\app_1001";
    EXPECT_EQ(" \"" + tst::narrow(appFolder) + "\\sample_1.0.apk\" -h", startOf("TV-ApkHandler"));
    EXPECT_TRUE(recorded("TV-ApkHandler", "apk-installed", "com.tarvo.sample MainActivity 1"));
    EXPECT_TRUE(tst::fileExists(engine + L"tvData\\UserData\\Gadget\\com.tarvo.sample.MainActivity.png"));
    EXPECT_FALSE(tst::fileExists(appFolder + L"\\sample_1.0.apk"));
    EXPECT_EQ("(not started)", startOf("TV-Quit"));

    IniFile ini(appFolder + L"\\app.ini");
    EXPECT_EQ(L"1001", ini.getString(L"app", L"id"));
    EXPECT_EQ(L"com.tarvo.sample", ini.getString(L"app", L"package"));
    EXPECT_EQ(L".MainActivity", ini.getString(L"app", L"activity"));
    EXPECT_EQ(L"sample_1.0.apk", ini.getString(L"app", L"apk"));
    EXPECT_EQ(L"1.0", ini.getString(L"app", L"version"));
    EXPECT_EQ(L"1001_tips.png", ini.getString(L"app", L"tip_pics"));
    EXPECT_EQ(tst::narrow(player), tst::narrow(IniFile(getAdaptIniPath()).getString(L"main", L"install_path")));

    const std::string name = tst::narrow(getProductDisplayName());
    EXPECT_TRUE(tst::fileExists(getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"") + L"\\" + getProductDisplayName() + L".lnk"))
        << name;
    // The start-menu web-site link and "URLInfoAbout" both name the product's site.
    const std::string site = tst::narrow(box.base()) + "/";
    const std::string menu = tst::narrow(getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"")) + "\\" + name;
    EXPECT_EQ(1u, run.count("urlshortcut "));
    EXPECT_EQ("urlshortcut " + menu + "|" + name + u8"官网.url|" + site, run.first("urlshortcut "));
    EXPECT_EQ(site, tst::narrow(entryValue(L"URLInfoAbout")));

    std::vector<std::string> requests = box.requests();
    requests.erase(requests.begin(), requests.begin() + (long)before);
    const std::vector<std::string> seen = actions(requests);
    EXPECT_TRUE(inOrder(seen, {"QV_install_start", "QV_dotnet_no", "QV_qvinstall_start", "ping:peerfetch",
                               "ping:mobi", "ping:cdn", "QV_install_ok"}))
        << testing::PrintToString(seen);
    bool cdnWithoutM2 = false;
    for (const std::string& r : requests)
        if (r.find("GET /Orvekmobilemgr/") == 0) cdnWithoutM2 = r.find("&m2=") == std::string::npos && r.find("sid=1001") != std::string::npos;
    EXPECT_TRUE(cdnWithoutM2);

    std::vector<std::string> order = {"do install...", "stop service and app...", "run setup...",
                                      "extract over, time: sa log", "create all ok.", "call qvInstaller ok",
                                      "install apk...", "APK had install", "install ok!", "install end: 0"};
    EXPECT_TRUE(inOrder(run.logLines(), order)) << run.log;
}

// A failed setup ends the run with one failure event and -1; the process lives on,
// and only a window run shows the box.
TEST_F(QvRoadTest, FailingSetupEndsTheRunWithoutTheEngine) {
    struct Case {
        const char* modes;
        const char* extra;
        const char* exitLine;
        const char* timeoutLine;
        bool box;
    } cases[] = {
        {"[qvInstaller.install]\r\nmode=exit\r\nexit_code=0\r\n", "", "call qvInstaller failed, exit code 0", nullptr,
         false},
        {"[qvInstaller.install]\r\nmode=exit\r\nexit_code=2\r\n", "", "call qvInstaller failed, exit code 2", nullptr,
         false},
        {"[qvInstaller.install]\r\nmode=crash\r\n", "", "call qvInstaller failed, exit code 3221225477", nullptr, false},
        {"[qvInstaller.install]\r\nmode=hang\r\n", "qv.setupMs=3000\n", "call qvInstaller failed, exit code 4294967295",
         "qvInstaller timed out after 3000 ms", false},
        {"[qvInstaller.install]\r\nmode=exit\r\nexit_code=0\r\n", "interactive=1\n",
         "call qvInstaller failed, exit code 0", nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.modes) + c.extra);
        tst::clearProductState();
        const size_t before = box.requests().size();
        roadtest::DriverRun run = install(c.modes, c.extra);
        EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
        const std::vector<std::string> events = installEvents(run);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(u8"2 -1 70 安装失败", events.back());
        EXPECT_EQ(1, std::count_if(events.begin(), events.end(), [](const std::string& e) { return e[0] == '2'; }));
        EXPECT_TRUE(run.logged(c.exitLine)) << run.log;
        if (c.timeoutLine) {
            EXPECT_TRUE(run.logged(c.timeoutLine)) << run.log;
        }
        EXPECT_TRUE(run.logged("install end: -1"));
        EXPECT_EQ(c.box ? 1u : 0u, run.count("box "));
        if (c.box) {
            EXPECT_EQ(u8"box 安装出现错误,请安装最新版本!|" + tst::narrow(getProductDisplayName()) + "|48",
                      run.first("box "));
        }
        // The setup program is gone, also the one that hung.
        for (const qvtest::RecordLine& r : record()) {
            if (r.program != "qvInstaller" || r.event != "start") continue;
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, r.pid);
            if (process) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 5000));
                CloseHandle(process);
            }
        }
        EXPECT_EQ(L"(none)", regValue(qvtest::kTarvoGamesKey, L"InstallDir"));
        EXPECT_EQ(L"<none>", IniFile(getAdaptIniPath()).getString(L"main", L"install_path", L"<none>"));
        // The product's own pieces stay: the desktop link starts the loader, which installs again.
        EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("TarvoHelper"));
        EXPECT_TRUE(desktopLinkExists());
        const std::vector<std::string> seen = actionsSince(before);
        EXPECT_TRUE(inOrder(seen, {"QV_qvinstall_start", "rom_install_fail"})) << testing::PrintToString(seen);
        for (const std::string& a : seen) EXPECT_NE("QV_install_ok", a);
        tst::removeTree(state.path());
        CreateDirectoryW(state.path().c_str(), nullptr);
    }
}

TEST_F(QvRoadTest, MissingSetupEndsTheRunAfterTheProductPieces) {
    servePackageFrom(L"qv_engine_nosetup.zip");
    const size_t before = box.requests().size();
    roadtest::DriverRun run = install();
    EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
    EXPECT_EQ(u8"2 -1 70 安装失败", installEvents(run).back());
    EXPECT_EQ(tst::narrow(getUserDataFolder()) + "\\qvInstaller.exe", loggedAfter(run, "qvInstaller.exe not exits "));
    const std::vector<std::string> seen = actionsSince(before);
    EXPECT_TRUE(inOrder(seen, {"QV_dotnet_no", "QV_qvinstall_notfind"})) << testing::PrintToString(seen);
    for (const std::string& a : seen) EXPECT_NE("QV_qvinstall_start", a);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("TarvoHelper"));
    EXPECT_TRUE(desktopLinkExists());
    EXPECT_EQ(L"(none)", regValue(qvtest::kTarvoGamesKey, L"InstallDir"));
    EXPECT_TRUE(run.logged("install end: -1"));
}

// A damaged package on a fresh machine: nothing of the product is left but the
// package, kept for a look at it.
TEST_F(QvRoadTest, DamagedPackageTakesTheRunBack) {
    servePackageFrom(L"qv_engine_damaged.zip");
    const size_t before = box.requests().size();
    roadtest::DriverRun run = install();
    EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
    const std::vector<std::string> events = installEvents(run);
    EXPECT_EQ((std::vector<std::string>{u8"0 0 0 开始安装", u8"1 0 10 安装塔沃主程序...", u8"2 -1 10 安装失败"}), events);
    const std::string package = loggedAfter(run, "extract main package failed: ");
    ASSERT_FALSE(package.empty()) << run.log;
    EXPECT_TRUE(tst::fileExists(tst::widen(package)));
    std::string player = loggedAfter(run, "extract main app to ");
    ASSERT_GT(player.size(), 3u) << run.log;
    player.resize(player.size() - 3);  // "..."
    EXPECT_FALSE(tst::fileExists(tst::widen(player))) << player;
    EXPECT_TRUE(tst::serviceGone("TarvoHelper"));
    EXPECT_FALSE(desktopLinkExists());
    EXPECT_FALSE(tst::fileExists(getUserDataFolder() + L"\\qvInstaller.exe"));
    const std::vector<std::string> seen = actionsSince(before);
    EXPECT_TRUE(inOrder(seen, {"QV_install_start", "rom_install_fail"})) << testing::PrintToString(seen);
    for (const std::string& a : seen) EXPECT_NE("QV_qvinstall_start", a);
    EXPECT_TRUE(run.logged("install end: -1"));
}

// The download's result ends the run before any install step.
TEST_F(QvRoadTest, DownloadResultsEndTheRunAtOnce) {
    struct Case {
        const char* script;
        const char* action;
        long result;
        std::vector<std::string> installEvents;
        const char* logLine;
    } cases[] = {
        {"fail", "install", -1, {}, "download failed: -1"},
        {"fail", "upgrade", -1, {}, "download failed: -1"},
        {"nothing", "install", 2, {u8"2 0 100 安装成功"}, nullptr},
        {"nothing", "upgrade", 2, {u8"2 0 100 更新成功"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.script) + " " + c.action);
        roadtest::DriverRun run = install("", std::string("download=") + c.script + "\n", c.action);
        EXPECT_EQ(c.result, run.exitCode) << run.log;
        EXPECT_EQ(c.installEvents, installEvents(run, true));
        // The download's own final event; a failed one is the run's only final event.
        EXPECT_EQ(1u, run.count("event stage=0 state=2"));
        if (c.logLine) {
            EXPECT_TRUE(run.logged(c.logLine)) << run.log;
        }
        EXPECT_TRUE(run.logged("install end: " + std::to_string(c.result))) << run.log;
        EXPECT_FALSE(run.logged("stop service and app..."));
        EXPECT_FALSE(run.logged("install apk..."));
        EXPECT_FALSE(tst::fileExists(getDefaultPlayerFolder() + L"\\qvplayer"));
        EXPECT_TRUE(tst::serviceGone("TarvoHelper"));
    }
}

// Without an engine package only the app part runs; with no engine installed
// either, there is nothing to report as a success.
TEST_F(QvRoadTest, NoEnginePackage) {
    const size_t before = box.requests().size();
    roadtest::DriverRun run = install("", "download=nopkg\n");
    EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
    EXPECT_EQ((std::vector<std::string>{u8"2 -1 70 安装失败"}), installEvents(run, true));
    EXPECT_TRUE(run.logged("no engine package and qv not installed")) << run.log;
    EXPECT_TRUE(inOrder(actionsSince(before), {"QV_install_start", "rom_install_fail"}));

    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install());
    run = install("", "download=nopkg\n");
    EXPECT_EQ(0, run.exitCode) << run.log;
    EXPECT_EQ((std::vector<std::string>{u8"1 0 90 正在安装应用,大概需要3~5分钟...", u8"1 0 100 安装应用...",
                                        u8"2 0 100 安装成功"}),
              installEvents(run, true));
    EXPECT_FALSE(run.logged("stop service and app..."));
    EXPECT_TRUE(run.logged("install apk..."));
    // pkg_count 0: the app folder is made, with nothing filed in it.
    EXPECT_TRUE(tst::fileExists(getUserDataFolder() + L"\\apps\\app_1001"));
    EXPECT_FALSE(tst::fileExists(getUserDataFolder() + L"\\apps\\app_1001\\app.ini"));
    EXPECT_EQ("(not started)", startOf("qvInstaller"));
}

// The .NET package: fetched on an old Windows when the runtime is missing, run once
// with "/q"; its failure is reported and the install goes on.
TEST_F(QvRoadTest, DotNetPackage) {
    struct Case {
        const char* extra;
        const char* exitCode;
        bool runs;
        std::vector<std::string> dotnetActions;
    } cases[] = {
        {"os.major=5\nos.wow64=0\n", "0", true, {"QV_dotnet_no"}},
        {"os.major=5\nos.wow64=0\n", "1603", true, {"QV_dotnet_no", "QV_dotnet_fail"}},
        // .NET present: nothing fetched, nothing run, nothing sent.
        {"os.major=5\nos.wow64=0\ndotnet=1\n", "0", false, {}},
    };
    // The runtime counts as present only with its setup key as well: this
    // road's prefix is its own, so the key is written here for that row.
    const wchar_t ndpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.extra) + " exit " + c.exitCode);
        tst::clearProductState();
        const bool present = std::string(c.extra).find("dotnet=1") != std::string::npos;
        if (present) {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, ndpKey, 0, nullptr, 0, KEY_SET_VALUE,
                                                     nullptr, &key, nullptr));
            const DWORD one = 1;
            RegSetValueExW(key, L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
            RegCloseKey(key);
        } else {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, ndpKey);
        }
        const std::wstring recordFile = state.path() + L"\\dotnet.txt";
        DeleteFileW(recordFile.c_str());
        const size_t before = box.requests().size();
        roadtest::DriverRun run =
            box.run(L"",
                    std::string("action=install\ncpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\ndotnet=0\n") + c.extra,
                    {L"QV_STANDIN_DIR=" + state.path(), L"TARVO_STANDIN_RECORD=" + recordFile,
                     L"TARVO_STANDIN_EXIT=" + tst::widen(c.exitCode)});
        EXPECT_EQ(0, run.exitCode) << run.log;
        std::string recorded;
        tst::readFile(recordFile, recorded);
        const std::string command = loggedAfter(run, "dotnet installing  ");
        if (c.runs) {
            EXPECT_EQ("NetFx20SP1_x86.exe /q", recorded.substr(0, recorded.find_first_of("\r\n")));
            // Quoted once.
            EXPECT_EQ('"', command.empty() ? 0 : command[0]) << command;
            EXPECT_TRUE(command.size() > 4 && command.compare(command.size() - 4, 4, "\" /q") == 0) << command;
            EXPECT_EQ(command.size() - 4, command.find('"', 1)) << command;
        } else {
            EXPECT_EQ("", recorded);
            EXPECT_EQ("", command);
        }
        std::vector<std::string> dotnetActions;
        for (const std::string& a : actionsSince(before))
            if (a.compare(0, 10, "QV_dotnet_") == 0) dotnetActions.push_back(a);
        EXPECT_EQ(c.dotnetActions, dotnetActions);
        std::vector<std::string> requests = box.requests();
        bool encodedCommand = false;
        for (size_t i = before; i < requests.size(); ++i)
            if (requests[i].find("action=QV_dotnet_fail&") != std::string::npos)
                encodedCommand = requests[i].find("&dotnet=%22") != std::string::npos &&
                                 requests[i].find("NetFx20SP1_x86.exe%22") != std::string::npos;
        EXPECT_EQ(c.dotnetActions.size() == 2, encodedCommand);
        EXPECT_TRUE(run.logged("install end: 0"));
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, ndpKey);
}

// A path value that a user-side process put in the download ini and that lies
// outside the download folder is refused: nothing is extracted, run, copied or
// deleted from there, and the run goes on as without the value.
TEST_F(QvRoadTest, IniPathsOutsideTheDownloadFolderAreRefused) {
    tst::TempDir outside(L"qvout");
    const std::wstring samples = tst::binDir() + L"\\..\\sample_files\\";
    const std::wstring recordFile = state.path() + L"\\dotnet.txt";
    struct Case {
        const char* key;
        std::wstring sample;  // copied outside under its own name
        const char* extra;
    } cases[] = {
        {"main_pkg", tst::widen(kPackage), ""},
        {"dotnet_exe", L"dotnet\\NetFx20SP1_x86.exe", "os.major=5\nos.wow64=0\n"},
        {"hall_exe", L"TarvoHall.exe", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        tst::clearProductState();
        DeleteFileW(recordFile.c_str());
        const std::wstring name = c.sample.substr(c.sample.find_last_of(L'\\') + 1);
        const std::wstring foreign = outside.file(name);
        ASSERT_TRUE(CopyFileW((samples + c.sample).c_str(), foreign.c_str(), FALSE));
        const size_t before = box.requests().size();
        roadtest::DriverRun run =
            box.run(L"",
                    std::string("action=install\ncpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\ndotnet=0\n") + c.extra +
                        "ini." + c.key + "=" + tst::narrow(foreign) + "\n",
                    {L"QV_STANDIN_DIR=" + state.path(), L"TARVO_STANDIN_RECORD=" + recordFile});
        EXPECT_TRUE(run.logged("refused: " + tst::narrow(foreign))) << run.log;
        EXPECT_TRUE(tst::fileExists(foreign));
        std::string recorded;
        tst::readFile(recordFile, recorded);
        EXPECT_EQ("", recorded) << "nothing was run";
        EXPECT_FALSE(tst::fileExists(getUserDataFolder() + L"\\TarvoHall.exe"));
        const std::vector<std::string> seen = actionsSince(before);
        EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), "hall_install"));
        if (std::string(c.key) == "main_pkg") {
            // As for an empty value: no engine steps, and without an engine no success.
            EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
            EXPECT_FALSE(run.logged("stop service and app..."));
            EXPECT_TRUE(run.logged("no engine package and qv not installed"));
        } else {
            EXPECT_EQ(0, run.exitCode) << run.log;
            EXPECT_TRUE(run.logged("install end: 0"));
        }
    }
}

// The app install's progress thread: 0.5 more per period from 90.5, ending at 98.5
// by itself while the APK tool still runs.
TEST_F(QvRoadTest, ProgressThreadStopsAt98AndAHalf) {
    roadtest::DriverRun run = install("[TV-ApkHandler]\r\nmode=slow\r\ndelay_ms=5000\r\n", "qv.progressMs=100\n");
    ASSERT_EQ(0, run.exitCode) << run.log;
    std::vector<std::string> thread, expected;
    for (const std::string& l : run.lines)
        if (l.compare(0, 6, "event ") == 0 && fieldOf(l, "stage") == "1" && fieldOf(l, "thread") == "other")
            thread.push_back(fieldOf(l, "percent") + " " + fieldOf(l, "message"));
    for (int i = 1; i <= 17; ++i) {
        char percent[16];
        snprintf(percent, sizeof percent, "%g", 90.0 + 0.5 * i);
        expected.push_back(std::string(percent) + u8" 正在安装应用,大概需要3~5分钟...");
    }
    EXPECT_EQ(expected, thread);
    const std::vector<std::string> events = installEvents(run, true);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(u8"1 0 100 安装应用...", events[events.size() - 2]);
    EXPECT_TRUE(recorded("TV-ApkHandler", "apk-installed", "com.tarvo.sample MainActivity 1"));
}

// An APK handler that throws: the progress thread is stopped and joined before the
// step gives the exception up, so no progress event follows the run's end.
TEST_F(QvRoadTest, AThrowingApkHandlerLeavesNoProgressThreadBehind) {
    roadtest::DriverRun run = install("", "qv.progressMs=100\napkHandler=throw\nsettleMs=1000\n");
    EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
    EXPECT_TRUE(run.logged("installer exception: apk handler failed")) << run.log;
    std::vector<std::string> events;
    size_t threadEvents = 0;
    for (const std::string& l : run.lines) {
        if (l.compare(0, 6, "event ") != 0) continue;
        events.push_back(l);
        threadEvents += fieldOf(l, "stage") == "1" && fieldOf(l, "thread") == "other";
    }
    EXPECT_GE(threadEvents, 1u) << "the thread ran while the handler did";
    ASSERT_FALSE(events.empty());
    // The installer's own final event is the last one, also a second after the run.
    const std::string& last = events.back();
    EXPECT_EQ("1", fieldOf(last, "stage")) << last;
    EXPECT_EQ("2", fieldOf(last, "state")) << last;
    EXPECT_EQ("-1", fieldOf(last, "error")) << last;
    EXPECT_EQ("installer", fieldOf(last, "thread")) << last;
}

// Every package entry is filed under the channel's app: the later entry's files
// and values win, and both fetched APKs leave their folder.
TEST_F(QvRoadTest, LaterPackageEntriesOverwriteEarlierOnes) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install());
    // The install files only what lies in the download folder.
    struct Fetched {
        std::wstring folder = getDownloadFolder() + L"\\qvpkgs";
        Fetched() {
            CreateDirectoryW(getDownloadFolder().c_str(), nullptr);
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        ~Fetched() { tst::removeTree(folder); }
        std::wstring file(const std::wstring& name) const { return folder + L"\\" + name; }
    } fetched;
    const std::wstring first = fetched.file(L"first.apk"), second = fetched.file(L"second.apk");
    ASSERT_TRUE(tst::writeFile(first, "not an apk"));
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\..\\sample_files\\sample_1.0.apk").c_str(), second.c_str(), FALSE));
    ASSERT_TRUE(tst::writeFile(fetched.file(L"a_tips.png"), "a"));
    ASSERT_TRUE(tst::writeFile(fetched.file(L"b_tips.png"), "b"));
    const IniFile ini(getDownloadIniPath(L"52817"));
    ASSERT_TRUE(ini.startUtf16File());
    ini.setString(L"qv_download", L"main_pkg", L"");
    ini.setIntA("download", "pkg_count", 2);
    ini.setString(L"52817_1", L"file", first);
    ini.setString(L"52817_1", L"tips", fetched.file(L"a_tips.png"));
    ini.setString(L"52817_2", L"file", second);
    ini.setString(L"52817_2", L"tips", fetched.file(L"b_tips.png"));

    roadtest::DriverRun run = install("", "download=keep\n");
    EXPECT_EQ(0, run.exitCode) << run.log;
    EXPECT_FALSE(tst::fileExists(first));
    EXPECT_FALSE(tst::fileExists(second));
    const std::wstring appFolder = getUserDataFolder() + L"\\apps\\app_1001";
    EXPECT_TRUE(tst::fileExists(appFolder + L"\\a_tips.png"));
    EXPECT_TRUE(tst::fileExists(appFolder + L"\\b_tips.png"));
    const IniFile app(appFolder + L"\\app.ini");
    EXPECT_EQ(L"b_tips.png", app.getString(L"app", L"tip_pics"));
    EXPECT_EQ(L"sample_1.0.apk", app.getString(L"app", L"apk"));
    // The handler got the second entry's APK, the real one. This test's engine
    // gave its stand-ins its own record folder, which the driver inherits.
    EXPECT_EQ(std::vector<std::string>{" \"" + tst::narrow(appFolder) + "\\sample_1.0.apk\" -h"},
              engine.starts("TV-ApkHandler"))
        << run.log;
    EXPECT_TRUE(engine.recorded("TV-ApkHandler", "apk-installed", "com.tarvo.sample MainActivity 1"));
}

// A copy of the fetched APK that fails keeps the APK where the download left it.
TEST_F(QvRoadTest, FailedApkCopyKeepsTheApk) {
    const std::wstring appFolder = getUserDataFolder() + L"\\apps\\app_1001";
    CreateDirectoryW((getUserDataFolder() + L"\\apps").c_str(), nullptr);
    CreateDirectoryW(appFolder.c_str(), nullptr);
    // The target held open without sharing: the copy cannot replace it.
    HANDLE held = CreateFileW((appFolder + L"\\sample_1.0.apk").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    // An older helper program in the user data folder is replaced.
    ASSERT_TRUE(tst::writeFile(getUserDataFolder() + L"\\TarvoTips.exe", "old"));
    roadtest::DriverRun run = install();
    CloseHandle(held);
    EXPECT_EQ(0, run.exitCode) << run.log;
    const std::string fetched = loggedAfter(run, "copy apk failed: ");
    ASSERT_FALSE(fetched.empty()) << run.log;
    EXPECT_TRUE(tst::fileExists(tst::widen(fetched)));
    std::string tips;
    EXPECT_TRUE(tst::readFile(getUserDataFolder() + L"\\TarvoTips.exe", tips));
    EXPECT_NE("old", tips);
    EXPECT_FALSE(tst::fileExists(getDefaultPlayerFolder() + L"\\TarvoTips.exe"));
}

// The handler's exit code is not read: a handler that ran counts as an install.
TEST_F(QvRoadTest, AHandlerThatRanCountsAsAnInstall) {
    roadtest::DriverRun run = install("[TV-ApkHandler]\r\nmode=fail\r\n");
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_TRUE(recorded("TV-ApkHandler", "apk-failed",
                         tst::narrow(getUserDataFolder()) + "\\apps\\app_1001\\sample_1.0.apk"));
    EXPECT_FALSE(run.logged("APK install return false"));
    EXPECT_EQ(u8"2 0 100 安装成功", installEvents(run).back());
    EXPECT_FALSE(tst::fileExists(getUserDataFolder() + L"\\apps\\app_1001\\sample_1.0.apk"));
    EXPECT_FALSE(tst::fileExists(getDefaultPlayerFolder() +
                                 L"\\qvplayer\\tvData\\UserData\\Gadget\\com.tarvo.sample.MainActivity.png"));
}

// A handler that does not end in time fails the app's install: the statistics host
// hears of it, the APK stays for the next run and the install still ends well.
TEST_F(QvRoadTest, FailingHandlerReportsApkInstallFail) {
    const size_t before = box.requests().size();
    roadtest::DriverRun run = install("[TV-ApkHandler]\r\nmode=hang\r\n", "qv.apkHandlerMs=2000\nqv.progressMs=100\n");
    ASSERT_EQ(0, run.exitCode) << run.log;
    const std::wstring apk = getUserDataFolder() + L"\\apps\\app_1001\\sample_1.0.apk";
    EXPECT_TRUE(run.logged("qv apk handler timed out: " + tst::narrow(apk))) << run.log;
    EXPECT_TRUE(inOrder(run.logLines(), {"APK had install", "APK install return false", "install ok!"})) << run.log;
    const std::vector<std::string> seen = actionsSince(before);
    EXPECT_TRUE(inOrder(seen, {"ping:cdn", "apk_install_fail", "QV_install_ok"})) << testing::PrintToString(seen);
    EXPECT_EQ(u8"2 0 100 安装成功", installEvents(run).back());
    EXPECT_TRUE(tst::fileExists(apk));
}

}  // namespace
