// The product binding's rows in this process: each forwards to the loader's
// own function and acts on the machine (the prefix's mutexes, the common data
// folder, the adapter ini, the log).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/product_services.h"
#include "app/startup.h"
#include "services/helper_service.h"
#include "services/http_stat.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/machine_id.h"
#include "services/single_instance.h"
#include "services/web_hosts.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"
#include "toolkit/string_util.h"

namespace {

using app::ProductStartupServices;
using roadtest::HeldMutex;
using tst::MachineStateLock;
using tst::SavedFile;

std::string iniMain(const wchar_t* key) {
    return tst::narrow(IniFile(getAdaptIniPath()).getString(L"main", key, L"<none>"));
}

bool isLowerHex32(const std::wstring& text) {
    if (text.size() != 32) return false;
    for (wchar_t c : text)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    return true;
}

// The player home of this (online) test process pointed at a temporary folder
// through the adapter ini, so that no default install folder is created.
class PlayerHomeFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held());
        ini_.reset(new SavedFile(getAdaptIniPath()));
        DeleteFileW(getAdaptIniPath().c_str());
        home_ = dir_.file(L"player home");
        ASSERT_TRUE(CreateDirectoryW(home_.c_str(), nullptr));
        playerKey_.remove();
        setPlayerInstallPath(home_);
        ASSERT_EQ(home_, getPlayerHome());
    }
    void TearDown() override { ini_.reset(); }
    // The home written where the player's install writes it (HKLM), as well.
    void installHome() { ASSERT_TRUE(playerKey_.set(home_)); }

    MachineStateLock lock_;
    tst::SavedRegistryValue playerKey_{HKEY_LOCAL_MACHINE, L"Software\\tarvoplayer\\tarvoplayer", L"path",
                                       KEY_WOW64_32KEY};
    std::unique_ptr<SavedFile> ini_;
    tst::TempDir dir_{L"home"};
    std::wstring home_;
};

TEST(ProductServicesBoundTest, AnsiConversionsUseTheThreadCodePage) {
    ProductStartupServices s;
    const std::wstring text = L"塔沃 C:\\a b\\x.exe";
    const std::string ansi = s.toAnsi(text);
    EXPECT_EQ(wideToAnsi(text), ansi);
    char expected[64] = {};
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), (int)text.size(), expected, sizeof expected, nullptr,
                                nullptr);
    EXPECT_EQ(std::string(expected, n), ansi);
    if (GetACP() == 936) EXPECT_EQ(text, s.fromAnsi(ansi));
    EXPECT_EQ(L"", s.fromAnsi(""));
}

TEST(ProductServicesBoundTest, LogAppendsOneLineToTheProgramsLog) {
    ProductStartupServices s;
    const std::string marker = "bound log " + std::to_string(GetCurrentProcessId()) + " %s %d";
    s.log(marker);  // the line is text, never a format
    std::string text;
    ASSERT_TRUE(tst::readFile(getLogFolder() + L"\\app_tests.log", text));
    std::vector<std::string> lines = roadtest::splitLines(text);
    bool found = false;
    for (const std::string& l : lines) found = found || (l.size() > 21 && l.substr(19) == ", , " + marker);
    EXPECT_TRUE(found) << "no line ending in: " << marker;
}

TEST(ProductServicesBoundTest, AdapterIniRowsAndMachineIdsLandInTheCommonDataFolder) {
    MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    SavedFile ini(getAdaptIniPath());
    roadtest::SavedMidCache cache;
    ProductStartupServices s;

    const std::wstring mid = s.getMid(), mid2 = s.getMid2();
    EXPECT_TRUE(isLowerHex32(mid)) << tst::narrow(mid);
    EXPECT_TRUE(isLowerHex32(mid2)) << tst::narrow(mid2);
    EXPECT_EQ(::getMid(), mid);
    EXPECT_EQ(::getMid2(), mid2);

    s.writeAdaptIni(L"mid", mid);
    s.writeAdaptIni(L"mid2", mid2);
    EXPECT_EQ(getCommonDataFolder() + L"\\tarvoadapt.ini", getAdaptIniPath());
    EXPECT_EQ(tst::narrow(mid), iniMain(L"mid"));
    EXPECT_EQ(tst::narrow(mid2), iniMain(L"mid2"));

    DeleteFileW(getAdaptIniPath().c_str());
    s.markLaunched();
    EXPECT_EQ("1", iniMain(L"launched"));
}

TEST_F(PlayerHomeFixture, InstalledTestsFollowThePlayerFile) {
    ProductStartupServices s;
    const std::wstring player = home_ + L"\\TarvoPlayer.exe";
    ASSERT_EQ(player, getPlayerExePath());
    EXPECT_FALSE(s.isPlayerInstalled());
    EXPECT_EQ(L"", s.playerExeIfPresent());
    EXPECT_EQ(::isEmulatorInstalled(), s.isEmulatorInstalled());

    ASSERT_TRUE(tst::writeFile(player, "MZ"));
    EXPECT_TRUE(s.isPlayerInstalled());
    EXPECT_TRUE(s.isEmulatorInstalled());
    EXPECT_EQ(player, s.playerExeIfPresent());
}

TEST_F(PlayerHomeFixture, PendingLaunchAllowListTakesOnlyTheProductsPrograms) {
    ProductStartupServices s;
    installHome();
    const std::wstring player = home_ + L"\\TarvoPlayer.exe";
    const std::wstring hall = getUserDataFolder() + L"\\TarvoHall.exe";
    ASSERT_EQ(hall, getHallExePath());
    const std::wstring other = dir_.file(L"other");
    std::wstring upperHome = home_;
    for (wchar_t& c : upperHome) c = (wchar_t)towupper(c);
    struct Case {
        std::wstring path;
        bool allowed;
    } cases[] = {
        {player, true},
        {upperHome + L"\\TARVOPLAYER.EXE", true},
        {hall, true},
        {home_ + L"\\TarvoTips.exe", true},             // directly inside the player home
        {home_ + L"\\sub\\..\\TarvoTips.exe", true},    // the same file
        {home_ + L"/TarvoTips.exe", true},
        {home_ + L"\\sub\\TarvoTips.exe", false},       // not directly inside
        {home_ + L"\\..\\evil.exe", false},
        {home_ + L"\\sub\\..\\..\\evil.exe", false},
        {other + L"\\TarvoPlayer.exe", false},
        {home_ + L"x\\TarvoPlayer.exe", false},        // a sibling folder that starts alike
        {L"TarvoPlayer.exe", false},                    // relative: the search path decides
        {L"\\TarvoPlayer.exe", false},
        {L"\\\\?\\" + player, false},
        {L"\\\\.\\" + player, false},
        {home_ + L"\\*.exe", false},
        {home_ + L"\\Tarvo?layer.exe", false},
        {player + L":stream", false},
        {L"C:\\Windows\\system32\\cmd.exe", false},
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.allowed, s.isProductProgram(c.path)) << tst::narrow(c.path);
        EXPECT_EQ(c.allowed, app::isAllowedPendingProgram(c.path)) << tst::narrow(c.path);
    }
}

// The adapter ini lies in a folder every user writes: a home named only there
// never makes the elevated loader start a program of it.
TEST_F(PlayerHomeFixture, PendingLaunchRefusesAHomeNamedOnlyByTheAdapterIni) {
    ProductStartupServices s;
    // Not the player itself: without a pending launch the road starts the player
    // of the ini's home, as it should.
    const std::wstring program = home_ + L"\\Helper.exe";
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer.exe").c_str(), program.c_str(), FALSE));
    const std::wstring record = dir_.file(L"record.txt");
    ASSERT_TRUE(SetEnvironmentVariableW(L"TARVO_PLAYER_RECORD", record.c_str()));

    for (bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "home in HKLM" : "home in the ini only");
        if (installed) installHome();
        app::LaunchInputs in;
        in.pendingText = wideToAnsi(L"\"" + program + L"\" --app-id " + (installed ? L"8" : L"7"));
        app::LaunchPlan plan = app::buildLaunchPlan(in, s);
        app::executeLaunchPlan(plan, in, s);
        std::string text;
        for (int i = 0; i < 30 && !(tst::readFile(record, text) && !text.empty()); ++i) Sleep(100);
        std::string logText;
        tst::readFile(getLogFolder() + L"\\app_tests.log", logText);
        const bool refusedLine = logText.find("pending launch refused: " + in.pendingText) != std::string::npos;
        if (installed) {
            EXPECT_EQ(app::LaunchPlan::CommandLine, plan.kind);
            EXPECT_EQ(tst::narrow(L"\"" + program + L"\" --app-id 8 --byloader\n"), text);
            EXPECT_FALSE(refusedLine);
        } else {
            EXPECT_NE(app::LaunchPlan::CommandLine, plan.kind);
            EXPECT_TRUE(plan.command.empty());
            EXPECT_EQ("", text) << "started";
            EXPECT_TRUE(refusedLine);
        }
    }
    SetEnvironmentVariableW(L"TARVO_PLAYER_RECORD", nullptr);
    Sleep(200);  // the stand-in has closed its record
}

TEST_F(PlayerHomeFixture, PendingLaunchAllowListTakesFilesDirectlyInTheQvFolder) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install(qvtest::InstallOptions{qvtest::Key::None, false}));
    const std::wstring launcher = engine.folder() + L"TV-StartLauncher.exe";
    const std::wstring dir = engine.folder();
    struct Case {
        std::wstring installDir;
        std::wstring path;
        bool allowed;
    } cases[] = {
        {dir, launcher, true},
        {dir.substr(0, dir.size() - 1), launcher, true},
        {dir, dir + L"tvData\\TV-StartLauncher.exe", false},
        {dir, dir + L"..\\TV-StartLauncher.exe", false},
        {L"qvplayer\\", launcher, false},
        {L"", launcher, false},
    };
    for (const Case& c : cases) {
        qvtest::StandinEngine::deleteKeys();
        if (!c.installDir.empty())
            ASSERT_TRUE(qvtest::StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, c.installDir));
        EXPECT_EQ(c.allowed, app::isAllowedPendingProgram(c.path)) << tst::narrow(c.installDir + L" " + c.path);
    }
}

TEST_F(PlayerHomeFixture, PendingLaunchAllowListSeesThroughShortNames) {
    ProductStartupServices s;
    installHome();
    const std::wstring player = home_ + L"\\TarvoPlayer.exe";
    ASSERT_TRUE(tst::writeFile(player, "MZ"));
    wchar_t shortName[MAX_PATH] = {};
    DWORD n = GetShortPathNameW(player.c_str(), shortName, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || player == shortName) GTEST_SKIP() << "no short names on this volume";
    EXPECT_TRUE(s.isProductProgram(shortName)) << tst::narrow(shortName);
}

TEST(ProductServicesBoundTest, LaunchProcessStartsTheCommandShownNormally) {
    ProductStartupServices s;
    tst::TempDir dir(L"launch");
    const std::wstring folder = dir.file(L"a b");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring player = folder + L"\\TarvoPlayer.exe";
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer.exe").c_str(), player.c_str(), FALSE));
    const std::wstring record = dir.file(L"record.txt");
    ASSERT_TRUE(SetEnvironmentVariableW(L"TARVO_PLAYER_RECORD", record.c_str()));

    const std::wstring command = L"\"" + player + L"\" --app-id 7 --byloader";
    ASSERT_TRUE(s.launchProcess(command));
    std::string text;
    for (int i = 0; i < 100 && !(tst::readFile(record, text) && !text.empty()); ++i) Sleep(100);
    EXPECT_EQ(tst::narrow(command) + "\n", text);

    SetLastError(0);
    EXPECT_FALSE(s.launchProcess(L"\"" + folder + L"\\missing.exe\" --byloader"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    SetEnvironmentVariableW(L"TARVO_PLAYER_RECORD", nullptr);
    Sleep(200);  // the stand-in has closed its record
}

TEST(ProductServicesBoundTest, RunningTestsReadTheProductsMutexes) {
    MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    ProductStartupServices s;
    struct Row {
        std::string name;
        bool (ProductStartupServices::*probe)();
    } rows[] = {
        {getLoaderMutexName(), &ProductStartupServices::isLoaderRunning},
        {getSetupMutexName(), &ProductStartupServices::isSetupRunning},
        {getPlayerMutexName(), &ProductStartupServices::isPlayerRunning},
    };
    for (const Row& r : rows) {
        EXPECT_FALSE((s.*r.probe)()) << r.name;
        {
            HeldMutex held(r.name);
            ASSERT_TRUE(held.ok());
            EXPECT_TRUE((s.*r.probe)()) << r.name;
        }
        EXPECT_FALSE((s.*r.probe)()) << r.name;
    }
}

TEST(ProductServicesBoundTest, AcquireKeepsTheLoaderMutexForTheProcess) {
    MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    ProductStartupServices s;
    ASSERT_FALSE(s.isLoaderRunning());
    ASSERT_TRUE(s.acquireLoaderInstance());
    ASSERT_TRUE(g_loaderMutex.get() != nullptr);
    EXPECT_EQ(getLoaderMutexName(), g_loaderMutex->name);
    EXPECT_TRUE(s.isLoaderRunning());
    // A second take in the same process finds the name held.
    {
        NamedMutexHolder first = g_loaderMutex;
        EXPECT_FALSE(s.acquireLoaderInstance());
        EXPECT_TRUE(g_loaderMutex.get() == nullptr);
        EXPECT_TRUE(s.isLoaderRunning());
    }
    EXPECT_FALSE(s.isLoaderRunning());
}

LRESULT CALLBACK plainWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }

TEST(ProductServicesBoundTest, ActivateBringsTheMarkedLoaderWindowForward) {
    MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    WNDCLASSW wc = {};
    wc.lpfnWndProc = plainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"binder_loader_window";
    RegisterClassW(&wc);
    HWND window = CreateWindowW(wc.lpszClassName, L"loader", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                wc.hInstance, nullptr);
    ASSERT_TRUE(window != nullptr);
    NamedMutex first(getLoaderMutexName());
    first.markWindow(window);
    ShowWindow(window, SW_MINIMIZE);
    // The window system may take a moment under load.
    auto settle = [&](bool iconic) {
        for (int i = 0; i < 100 && (IsIconic(window) != FALSE) != iconic; ++i) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            Sleep(50);
        }
        return (IsIconic(window) != FALSE) == iconic;
    };
    ASSERT_TRUE(settle(true));

    ProductStartupServices s;
    s.activateExistingLoader();
    EXPECT_TRUE(settle(false));
    EXPECT_TRUE(IsWindowVisible(window));
    DestroyWindow(window);
}

TEST(ProductServicesBoundTest, DataFilesAreWrittenAndTakenOnce) {
    ProductStartupServices s;
    const std::wstring name = L"binder_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring path = getCommonDataFolder() + L"\\" + name + L".dat";
    const std::string bytes = "\"C:\\a b\\x.exe\" --app-id 7";
    s.writeDataFile(name, bytes);
    std::string onDisk;
    ASSERT_TRUE(tst::readFile(path, onDisk));
    EXPECT_EQ(bytes, onDisk);
    EXPECT_EQ(bytes, s.takeDataFile(name));
    EXPECT_FALSE(tst::fileExists(path));
    EXPECT_EQ("", s.takeDataFile(name));
}

TEST(ProductServicesBoundTest, StatisticsUrlAndSendReachTheStatisticsHost) {
    MachineStateLock lock;  // mid2 may be cached in HKLM, and the channel number in the adapter ini
    ASSERT_TRUE(lock.held());
    SavedFile ini(getAdaptIniPath());
    roadtest::SavedMidCache cache;
    ProductStartupServices s;
    const std::wstring url = s.statUrl(L"lod_start");
    EXPECT_EQ(buildStatUrl(L"lod_start"), url);
    const std::wstring head = webHostAddress(WebHost::Stat) + L"/Stat?action=lod_start&ref=loader&ver=";
    EXPECT_EQ(0u, url.compare(0, head.size(), head)) << tst::narrow(url);
    EXPECT_NE(std::wstring::npos, url.find(L"&mid=" + ::getMid() + L"&mid2=")) << tst::narrow(url);

    tst::LinuxProcess server;
    ASSERT_TRUE(server.start({"/usr/bin/python3", tst::testingDirUnix() + "/http_fixture/server.py"}, 60));
    const std::wstring local = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/Stat?action=lod_start&ref=loader";
    s.sendStat(local);
    std::string requests;
    tst::readFile(server.folder() + L"\\requests.log", requests);
    EXPECT_EQ(0u, requests.find("GET /Stat?action=lod_start&ref=loader HTTP/1.1\r\n")) << requests;
}

}  // namespace
