// The VBox install's own roads that need no VirtualBox set-up: the download's
// results, a run without a package, the manager's notifications and the
// filing rule for the icon picture. The full runs against the VirtualBox
// stand-ins are in testing/vbox_road.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "installer/app_list.h"
#include "installer/channel_config.h"
#include "installer/engine_context.h"
#include "installer/install_steps.h"
#include "installer/installer.h"
#include "installer/installer_vbox_impl.h"
#include "installer/seams.h"
#include "installer/vbox_manager.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/fakes/fake_installer.h"
#include "testing/fakes/vbox_install_fakes.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/product_state.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_ready_engine.h"

namespace {

// A manager host of scratch folders; it runs nothing.
class ScratchHost : public tarvo::vboxmgr::VBoxHost {
public:
    explicit ScratchHost(const std::wstring& root) : root_(root) {}
    std::wstring userDataFolder() override { return root_ + L"\\data"; }
    std::wstring playerHome() override { return root_ + L"\\player"; }
    std::wstring setting(const std::wstring&, const std::wstring& d) override { return d; }
    bool settingBool(const std::wstring&, bool d) override { return d; }
    bool is64BitWindows() override { return true; }
    tarvo::vboxmgr::VBoxOsVersion osVersion() override { return tarvo::vboxmgr::VBoxOsVersion(); }
    std::wstring systemDirectory() override { return root_ + L"\\system"; }
    HKEY classesRoot() override { return HKEY_CURRENT_USER; }
    tarvo::vboxmgr::VBoxRunResult run(const std::wstring& commandLine, uint32_t) override {
        commands.push_back(commandLine);
        return tarvo::vboxmgr::VBoxRunResult();
    }
    std::vector<std::wstring> commands;

private:
    std::wstring root_;
};

using fakes::ScriptedContext;
using fakes::ScriptedVBoxImpl;

std::string logText() {
    std::string text;
    tst::readFile(getLogFolder() + L"\\installer_tests.log", text);
    return text;
}

class VBoxInstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new tst::LinuxProcess();
        if (!server_->start({"/usr/bin/python3", tst::testingDirUnix() + "/channel_fixture/server.py"}, 300)) {
            delete server_;
            server_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    std::vector<std::string> stats() const { return tst::statActions(server_->folder() + L"\\requests.log"); }
    void clearStats() const { tst::writeFile(server_->folder() + L"\\requests.log", ""); }

    void SetUp() override {
        ASSERT_NE(nullptr, server_);
        ASSERT_TRUE(lock.held());
        v2::Installer::destroyInstance();
        installer = v2::Installer::getInstance();
        progress.bind(installer->progressEvent());
        logStart = logText().size();
        DevSettings::getInstance()->properties.setProperty(
            L"stat_host", L"http://127.0.0.1:" + std::to_wstring(server_->port()));
        clearStats();
        IniFile(getDownloadIniPath(v2::commandLineCno())).setString(L"vbox_download", L"main_pkg", L"");
    }
    void TearDown() override {
        DevSettings::getInstance()->properties.setProperty(L"stat_host", L"");
        installer->progressEvent().reset();
    }
    // This test's log lines, without their time stamps.
    std::vector<std::string> logLines() const {
        std::vector<std::string> out;
        const std::string text = logText().substr(logStart);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t at = line.find(", , ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 4));
            start = end + 1;
        }
        return out;
    }
    bool logged(const std::string& line) const {
        for (const std::string& l : logLines())
            if (l == line) return true;
        return false;
    }

    static tst::LinuxProcess* server_;
    tst::MachineStateLock lock;
    v2::Installer* installer = nullptr;
    fakes::RecordingProgress progress;
    size_t logStart = 0;
};

tst::LinuxProcess* VBoxInstallTest::server_ = nullptr;

// What the install fires after the download, as "stage state error percent message".
std::vector<std::wstring> installEvents(const fakes::RecordingProgress& progress) {
    std::vector<std::wstring> out;
    for (const auto& r : progress.records()) {
        if (r.stage != 1) continue;
        out.push_back(std::to_wstring(r.state) + L" " + std::to_wstring(r.error) + L" " +
                      std::to_wstring((int)r.percent) + L" " + r.message);
    }
    return out;
}

TEST_F(VBoxInstallTest, TheDownloadsOwnResultsEndTheRunWithOneFinalEvent) {
    tst::TempDir scratch(L"vbxd");
    ScratchHost host(scratch.path());
    tarvo::vboxmgr::VBoxManager manager(host);
    struct Case {
        InstallAction action;
        int result;
        std::vector<std::wstring> events;  // of the install, after the download
    } cases[] = {
        {ActionInstall, 2, {L"2 0 100 安装成功"}},
        {ActionUpgrade, 2, {L"2 0 100 更新成功"}},
        // The download's own failure is the final event: nothing more.
        {ActionInstall, -1, {}},
        {ActionUpgrade, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.action) + " " + std::to_string(c.result));
        progress.clear();
        clearStats();
        logStart = logText().size();
        installer->setAction(c.action);
        ScriptedVBoxImpl impl(installer, c.result);
        v2::setManagerForTests(impl, &manager);
        EXPECT_EQ(c.result, c.action == ActionInstall ? impl.install() : impl.upgrade());
        EXPECT_EQ(0u, manager.notifier().listenerCount());
        EXPECT_EQ(1, impl.downloads);
        EXPECT_EQ(c.events, installEvents(progress));
        size_t finals = 0;
        for (const auto& r : progress.records()) finals += r.state == 2 ? 1 : 0;
        EXPECT_EQ(c.result == 2 ? 2u : 1u, finals) << "the download's event and at most one of the install";
        EXPECT_TRUE(logged("do install..."));
        EXPECT_EQ(c.result < 0, logged("download failed: -1"));
        EXPECT_TRUE(logged("install end: " + std::to_string(c.result)));
        EXPECT_FALSE(logged("stop service and app..."));
        std::vector<std::string> wanted = {"vbox_install_start"};
        if (c.result < 0) wanted.push_back("vbox_download_failed");
        EXPECT_EQ(wanted, stats());
    }
}

TEST_F(VBoxInstallTest, WithoutAPackageAndNoReadyEngineTheRunFailsAndTouchesNothing) {
    if (isPlayerInstalled()) GTEST_SKIP() << "this prefix has a VBox player";
    const std::wstring helper = getUserDataFolder() + L"\\TarvoHelper.exe";
    const bool helperBefore = tst::fileExists(helper);
    tst::TempDir scratch(L"vbxd");
    ScratchHost host(scratch.path());
    tarvo::vboxmgr::VBoxManager manager(host);
    tst::TempDir outside(L"vbxo");
    const std::wstring foreign = outside.file(L"vbox_engine.zip");
    ASSERT_TRUE(tst::writeFile(foreign, "a package put there by someone else"));
    for (const std::wstring& pkg : {std::wstring(), std::wstring(L"C:\\no\\such\\vbox_engine.zip"), foreign}) {
        SCOPED_TRACE(tst::narrow(pkg));
        progress.clear();
        clearStats();
        logStart = logText().size();
        installer->setAction(ActionUpgrade);
        ScriptedVBoxImpl impl(installer, 0);
        v2::setManagerForTests(impl, &manager);
        impl.mainPkg = pkg;
        EXPECT_EQ(-1, impl.install());
        EXPECT_EQ(0u, manager.notifier().listenerCount());
        EXPECT_EQ(std::vector<std::wstring>{L"2 -1 100 更新失败"}, installEvents(progress));
        EXPECT_TRUE(logged("no engine package and the engine is not ready"));
        EXPECT_FALSE(logged("stop service and app..."));
        EXPECT_FALSE(logged("create TarvoHelper ..."));
        EXPECT_TRUE(logged("install end: -1"));
        EXPECT_EQ(helperBefore, tst::fileExists(helper));
        EXPECT_EQ(std::vector<std::string>{"vbox_install_start"}, stats()) << "no engine statistics";
        EXPECT_EQ(!pkg.empty(), logged("refused: " + tst::narrow(pkg))) << "both lie outside the download folder";
    }
    EXPECT_TRUE(tst::fileExists(foreign));
}

// An engine that is up to date: the run goes to the apps at once.
using AppsOnlyImpl = fakes::ScriptedAppsVBoxImpl;

class VBoxAppsTest : public VBoxInstallTest {
protected:
    void SetUp() override {
        VBoxInstallTest::SetUp();
        // The player of a ready engine: its file in a home of its own, and the
        // settings file of the manager's scratch home registering a machine.
        setPlayerInstallPath(home.path());
        ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer-3.1.0.1001.exe").c_str(),
                              (home.path() + L"\\TarvoPlayer.exe").c_str(), FALSE));
        ASSERT_TRUE(isPlayerInstalled()) << tst::narrow(getPlayerExePath());
        const std::wstring data = scratch.path() + L"\\data";
        CreateDirectoryW(data.c_str(), nullptr);
        ASSERT_TRUE(tst::writeReadyVBoxEngine(home.path(), data + L"\\vmconfig"));
        manager.reset(new tarvo::vboxmgr::VBoxManager(host));
        ASSERT_TRUE(manager->isEngineReady());
        // Two apps of the loader's list, each with its APK beside its app.ini.
        for (const wchar_t* id : {L"9001", L"9002"}) {
            const std::wstring folder = getAppsFolder() + L"\\app_" + id;
            CreateDirectoryW(getAppsFolder().c_str(), nullptr);
            CreateDirectoryW(folder.c_str(), nullptr);
            ASSERT_TRUE(tst::writeFile(folder + L"\\a.apk", "apk"));
            const IniFile ini(folder + L"\\app.ini");
            ini.setString(L"app", L"id", id);
            ini.setString(L"app", L"package", std::wstring(L"com.tarvo.test") + id);
            ini.setString(L"app", L"apk", L"a.apk");
        }
    }
    void TearDown() override {
        for (const wchar_t* id : {L"9001", L"9002"}) tst::removeTree(getAppsFolder() + L"\\app_" + id);
        manager.reset();
        VBoxInstallTest::TearDown();
    }
    int run(ScriptedContext* context, AppsOnlyImpl** out = nullptr) {
        progress.clear();
        clearStats();
        logStart = logText().size();
        installer->setAction(ActionInstall);
        std::unique_ptr<AppsOnlyImpl> impl(new AppsOnlyImpl(installer, context));
        v2::setManagerForTests(*impl, manager.get());
        const int r = impl->install();
        contextCalls = impl->contextCalls;
        return r;
    }
    bool apkKept(const wchar_t* id) const { return tst::fileExists(getAppsFolder() + L"\\app_" + id + L"\\a.apk"); }

    tst::SavedFile adaptIni{getAdaptIniPath()};
    tst::TempDir home{L"vbxh"};
    tst::TempDir scratch{L"vbxs"};
    ScratchHost host{scratch.path()};
    std::unique_ptr<tarvo::vboxmgr::VBoxManager> manager;
    int contextCalls = 0;
};

TEST_F(VBoxAppsTest, AnUpToDateEngineGetsOnlyTheAppsAndEndsWithSuccess) {
    ScriptedContext context;
    ASSERT_EQ(0, run(&context));
    EXPECT_TRUE(logged("engine up to date, apps only"));
    EXPECT_FALSE(logged("stop service and app..."));
    EXPECT_EQ((std::vector<std::wstring>{L"1 0 120 正在安装应用,大概需要3~5分钟...", L"1 0 130 安装应用...",
                                         L"2 0 100 安装成功"}),
              installEvents(progress))
        << "no start event and no engine steps";
    EXPECT_EQ(2u, context.installed.size());
    EXPECT_FALSE(apkKept(L"9001"));
    EXPECT_FALSE(apkKept(L"9002"));
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_install_apk_ok", "vbox_install_apk_ok",
                                        "vbox_install_ok"}),
              stats());
    EXPECT_TRUE(logged("install ok!"));
    EXPECT_TRUE(logged("install end: 0"));
    EXPECT_TRUE(host.commands.empty()) << "no VirtualBox program ran";
}

TEST_F(VBoxAppsTest, AFailedAppEndsTheRunWithItsCodeAndTheMessageForIt) {
    struct Case {
        int rc;
        const wchar_t* message;
    } cases[] = {{-3, L"显卡驱动不支持，请更新显卡驱动"}, {-1, L"启动引擎失败"}, {-2, L"启动引擎失败"}, {-4, L""}, {1, L""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        installer->setLaunchAppId(L"before");
        ScriptedContext context;
        context.rc = c.rc;
        EXPECT_EQ(c.rc, run(&context));
        EXPECT_EQ(1u, context.installed.size()) << "the later app is not installed";
        const auto events = installEvents(progress);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(std::wstring(L"2 -1 120 ") + c.message, events.back());
        EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_install_apk_failed"}), stats());
        EXPECT_TRUE(logged("install failed!"));
        EXPECT_EQ(L"before", installer->getLaunchAppId()) << "no launch app after a failure";
        EXPECT_TRUE(apkKept(L"9001") && apkKept(L"9002"));
    }
}

TEST_F(VBoxAppsTest, PresentPackagesAreSkippedAndALockedListDoesNotStopTheInstall) {
    ScriptedContext present;
    present.present = L"com.tarvo.test9001";
    ASSERT_EQ(0, run(&present));
    EXPECT_EQ(std::vector<std::wstring>{L"com.tarvo.test9002"}, present.installed);
    EXPECT_TRUE(apkKept(L"9001"));
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_install_apk_ok", "vbox_install_ok"}), stats());

    ScriptedContext locked;
    locked.lockFails = true;
    ASSERT_EQ(0, run(&locked));
    EXPECT_TRUE(logged("app check failed: lock failed"));
    EXPECT_EQ(2u, locked.installed.size()) << "an unknown state installs: pm replaces";
}

TEST_F(VBoxAppsTest, WithoutTheVmContextNoAppIsInstalledAndTheRunSucceeds) {
    ASSERT_EQ(0, run(nullptr));
    EXPECT_EQ(2, contextCalls);
    EXPECT_TRUE(apkKept(L"9001") && apkKept(L"9002"));
    EXPECT_EQ(L"2 0 100 安装成功", installEvents(progress).back());
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_install_ok"}), stats());
}

TEST(VBoxNotifyTest, EveryNotificationIsARunningEventBetween40And61) {
    tst::TempDir dir(L"vbxn");
    ScratchHost host(dir.path());
    std::unique_ptr<tarvo::vboxmgr::VBoxManager> manager(new tarvo::vboxmgr::VBoxManager(host));
    v2::Installer::destroyInstance();
    v2::Installer* installer = v2::Installer::getInstance();
    fakes::RecordingProgress progress;
    progress.bind(installer->progressEvent());
    {
        v2::InstallerVBoxImpl impl(installer);
        v2::setManagerForTests(impl, manager.get());
        struct Case {
            int state, error;
            float percent;
        } cases[] = {{0, 0, 0}, {1, 0, 50}, {2, -1, 100}, {2, 0, 100}};
        for (const Case& c : cases) {
            ravel::object::smart_ptr<tarvo::vboxmgr::VBoxNotify> n(new tarvo::vboxmgr::VBoxNotify());
            n->state = c.state;
            n->error = c.error;
            n->percent = c.percent;
            n->message = L"x";
            impl.onVBoxNotify(manager.get(), n);
        }
        const auto records = progress.records();
        ASSERT_EQ(4u, records.size());
        const float expected[] = {40.0f, 50.5f, 61.0f, 61.0f};
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(1, records[i].stage);
            EXPECT_EQ(1, records[i].state) << "whatever the notification's state";
            EXPECT_EQ(0, records[i].error);
            EXPECT_FLOAT_EQ(expected[i], records[i].percent);
            EXPECT_TRUE(records[i].detail.empty());
            EXPECT_EQ(L"正在安装虚拟机引擎...", records[i].message);
        }
    }
    installer->progressEvent().reset();
}

// At process exit the VirtualBox manager, made after the selector's holder of
// the chosen engine, is destroyed before that engine: a run must leave nothing
// behind that the engine's end would reach into the freed manager with. The
// driver gives the manager pages that become inaccessible when it is deleted.
TEST(VBoxExitOrderTest, AfterAVBoxRunTheExitTouchesNoFreedManager) {
    roadtest::RoadSandbox box(L"installer_driver.exe");
    ASSERT_TRUE(box.ready());
    ASSERT_TRUE(box.placePlayer());
    roadtest::DriverRun run = box.run(L"", "action=install\ndownload=vboxpkg\n");
    tst::clearProductState();
    ASSERT_NE(77, run.exitCode) << "the freed manager was used at exit";
    EXPECT_EQ(-1, run.exitCode) << run.log;
    EXPECT_TRUE(run.has("result=-1")) << run.log;
    EXPECT_TRUE(run.has("guarded=1"));
    // The engine's listener was connected during the run.
    bool notified = false;
    for (const std::string& l : run.lines) notified = notified || l.find(u8"message=正在安装虚拟机引擎...") != std::string::npos;
    EXPECT_TRUE(notified) << run.log;
}

TEST(InstallStepsTest, TheParentOfAFolderUnderARootIsTheRoot) {
    struct Case {
        const wchar_t* path;
        const wchar_t* parent;
    } cases[] = {
        {L"D:\\x", L"D:\\"},
        {L"D:\\x\\", L"D:\\"},
        {L"D:/x", L"D:/"},
        {L"D:\\x\\y", L"D:\\x"},
        {L"D:\\x\\y\\", L"D:\\x"},
        {L"C:\\Program Files (x86)\\tarvoplayer", L"C:\\Program Files (x86)"},
        {L"D:\\", L"D:\\"},
        {L"D:", L"D:"},
        {L"x", L"x"},
        {L"", L""},
        {L"\\\\server\\share\\x", L"\\\\server\\share\\"},
        {L"\\\\server\\share\\x\\y", L"\\\\server\\share\\x"},
        {L"\\\\server\\share", L"\\\\server\\share"},
        {L"\\\\server\\share\\", L"\\\\server\\share\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.parent, v2::parentFolder(c.path)) << tst::narrow(c.path);
}

TEST(InstallStepsTest, AnIconIsTakenOnlyFromInsideTheDownloadFolder) {
    const std::wstring downloads = L"C:\\users\\u\\AppData\\Roaming\\tarvozhushou\\download";
    struct Case {
        std::wstring path;
        bool inside;
    } cases[] = {
        {downloads + L"\\52818_vbox_3.1.0.1001\\1001_icon.png", true},
        {L"c:\\USERS\\U\\appdata\\roaming\\TARVOZHUSHOU\\Download\\x\\icon.png", true},
        {downloads + L"\\.\\x\\icon.png", true},
        {downloads + L"\\x\\..\\icon.png", true},
        {downloads + L"\\..\\TarvoHelper.exe", false},
        {downloads + L"\\x\\..\\..\\cnos\\52818.ini", false},
        {downloads + L"2\\icon.png", false},
        {downloads, false},
        {downloads + L"\\", false},
        {L"C:\\windows\\system32\\kernel32.dll", false},
        {L"", false},
        {L"icon.png", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.inside, v2::isPathInside(c.path, downloads)) << tst::narrow(c.path);
}

// The files that the download ini's path values name, in the prefix's own
// download folder, and files elsewhere that they must never reach.
class IniPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock.held());
        CreateDirectoryW(inside.c_str(), nullptr);
        logStart = logText().size();
    }
    void TearDown() override {
        tst::removeTree(inside);
        DeleteFileW(besideDownloads.c_str());
    }
    bool logged(const std::string& line) const {
        const std::string text = logText();
        for (size_t at = text.find(", , " + line, logStart); at != std::string::npos;
             at = text.find(", , " + line, at + 1)) {
            const size_t end = at + 4 + line.size();
            if (end == text.size() || text[end] == '\r' || text[end] == '\n') return true;
        }
        return false;
    }
    static std::wstring fresh(const std::wstring& path, const std::string& bytes = "bytes") {
        EXPECT_TRUE(tst::writeFile(path, bytes)) << tst::narrow(path);
        return path;
    }

    tst::MachineStateLock lock;
    const std::wstring downloads = getDownloadFolder();
    const std::wstring inside = downloads + L"\\refusal_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring besideDownloads =
        getUserDataFolder() + L"\\refusal_" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    tst::TempDir outside{L"inip"};
    size_t logStart = 0;
};

TEST_F(IniPathsTest, OnlyPlainFilesInsideTheDownloadFolderAreUsed) {
    const std::wstring file = fresh(inside + L"\\inside.bin");
    const std::wstring elsewhere = fresh(outside.file(L"elsewhere.bin"));
    fresh(besideDownloads);
    CreateDirectoryW((inside + L"\\folder").c_str(), nullptr);
    CreateDirectoryW(outside.file(L"real").c_str(), nullptr);
    const std::wstring throughLink = inside + L"\\linked";
    ASSERT_TRUE(tst::runLinux("ln -s " + tst::shQuote(tst::unixPath(outside.file(L"real"))) + " " +
                              tst::shQuote(tst::unixPath(throughLink))));
    fresh(outside.file(L"real\\through.bin"));
    struct Case {
        std::wstring value;
        std::wstring answer;  // empty: refused
    } cases[] = {
        {file, file},
        {downloads + L"\\X\\..\\" + inside.substr(downloads.size() + 1) + L"\\inside.bin", file},
        {inside + L"\\not_yet.bin", inside + L"\\not_yet.bin"},  // nothing there to act on
        {elsewhere, L""},
        {downloads + L"\\..\\" + besideDownloads.substr(besideDownloads.find_last_of(L'\\') + 1), L""},
        {inside + L"\\folder", L""},
        {inside + L"\\", L""},
        {downloads, L""},
        {L"\\\\?\\" + file, L""},
        {L"\\\\127.0.0.1\\c$\\" + file.substr(3), L""},
        {throughLink + L"\\through.bin", L""},
        {L"inside.bin", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.value));
        logStart = logText().size();
        EXPECT_EQ(tst::narrow(c.answer), tst::narrow(v2::downloadedFile(c.value)));
        EXPECT_EQ(c.answer.empty(), logged("refused: " + tst::narrow(c.value)));
    }
    logStart = logText().size();
    EXPECT_EQ(L"", v2::downloadedFile(L""));
    EXPECT_FALSE(logged("refused: ")) << "an empty value is no refusal";
    for (const std::wstring& kept : {file, elsewhere, besideDownloads, outside.file(L"real\\through.bin")})
        EXPECT_TRUE(tst::fileExists(kept)) << tst::narrow(kept);
}

// The package entries: a value from outside is skipped and the file there
// stays; one from inside is filed as it always was.
TEST_F(IniPathsTest, PackageEntriesFileOnlyWhatLiesInTheDownloadFolder) {
    ChannelConfig& config = ChannelConfig::instance();
    AppInfo app;
    config.findApp(config.apkId, app);
    const std::wstring appFolder = getAppsFolder() + L"\\app_" + app.id;
    const bool appFolderBefore = tst::fileExists(appFolder);
    const std::wstring section = config.getCno() + L"_1";
    CreateDirectoryW((inside + L"\\folder").c_str(), nullptr);
    struct Case {
        const wchar_t* key;
        std::wstring value;  // a file named "<key>_<n>.png" somewhere
        bool used;
    };
    std::vector<Case> cases;
    int n = 0;
    for (const wchar_t* key : {L"file", L"icon", L"tips"}) {
        const std::wstring name = std::wstring(key) + L"_" + std::to_wstring(++n) + L".png";
        cases.push_back({key, fresh(outside.file(name)), false});
        fresh(getUserDataFolder() + L"\\" + name);
        cases.push_back({key, downloads + L"\\..\\" + name, false});
        cases.push_back({key, L"\\\\?\\" + fresh(inside + L"\\unc_" + name), false});
        cases.push_back({key, inside + L"\\folder", false});
        cases.push_back({key, fresh(inside + L"\\" + name), true});
    }
    const IniFile ini(outside.file(L"download.ini"));
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.key) + " " + tst::narrow(c.value));
        const std::wstring apk = std::wstring(c.key) == L"file" ? c.value : fresh(inside + L"\\the.apk");
        ini.setIntA("download", "pkg_count", 1);
        ini.setString(section, L"file", apk);
        ini.setString(section, L"icon", std::wstring(c.key) == L"icon" ? c.value : L"");
        ini.setString(section, L"tips", std::wstring(c.key) == L"tips" ? c.value : L"");
        logStart = logText().size();
        v2::fileAppPackages(ini, true);
        EXPECT_EQ(!c.used, logged("refused: " + tst::narrow(c.value)));
        const std::wstring name = c.value.substr(c.value.find_last_of(L'\\') + 1);
        const bool landed = tst::fileExists(appFolder + L"\\" + name) ||
                            (std::wstring(c.key) == L"file" && !tst::fileExists(c.value));
        EXPECT_EQ(c.used, landed);
        if (!c.used) EXPECT_TRUE(GetFileAttributesW(c.value.c_str()) != INVALID_FILE_ATTRIBUTES) << "left as it was";
        if (std::wstring(c.key) == L"file") EXPECT_EQ(c.used, !tst::fileExists(c.value)) << "moved only from inside";
        DeleteFileW((appFolder + L"\\" + name).c_str());
    }
    for (const wchar_t* name : {L"file_1.png", L"icon_2.png", L"tips_3.png"})
        DeleteFileW((getUserDataFolder() + L"\\" + name).c_str());

    // At most 64 entries; a larger count is logged and cut.
    const std::wstring last = fresh(inside + L"\\64.apk"), beyond = fresh(inside + L"\\65.apk");
    ini.setString(section, L"file", L"");
    ini.setIntA("download", "pkg_count", 100);
    ini.setString(config.getCno() + L"_64", L"file", last);
    ini.setString(config.getCno() + L"_65", L"file", beyond);
    logStart = logText().size();
    v2::fileAppPackages(ini, true);
    EXPECT_TRUE(logged("pkg_count 100 limited to 64"));
    EXPECT_FALSE(tst::fileExists(last));
    EXPECT_TRUE(tst::fileExists(beyond));
    if (!appFolderBefore) tst::removeTree(appFolder);
}

}  // namespace
