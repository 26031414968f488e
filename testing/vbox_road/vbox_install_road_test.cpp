// The VBox install's whole run in this process: the product's install
// operation with only its download and its VM context scripted, the real
// manager on a test host, the VirtualBox stand-ins from the sample channel's
// engine package, and the prefix's real player folder, helper service,
// uninstall entry, shortcuts and adapter ini. Statistics go to the channel
// fixture through the developer settings' host keys.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "installer/channel_config.h"
#include "installer/install_steps.h"
#include "installer/installer.h"
#include "installer/installer_vbox_impl.h"
#include "installer/seams.h"
#include "installer/uninstall_entry.h"
#include "installer/vbox_manager.h"
#include "services/helper_service.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/fakes/fake_installer.h"
#include "testing/fakes/vbox_install_fakes.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/product_state.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_host.h"
#include "toolkit/child_process.h"
#include "toolkit/shell_util.h"

using fakes::ScriptedAppsVBoxImpl;
using fakes::ScriptedContext;
using tarvo::vboxmgr::VBoxManager;
using tarvo::vboxmgr::VBoxNotify;

namespace {

const wchar_t kCno[] = L"52818";
const wchar_t kVersion[] = L"3.1.0.1001";

std::wstring sampleFile(const std::wstring& name) { return tst::binDir() + L"\\..\\sample_files\\" + name; }

std::wstring regString(const std::wstring& key, const wchar_t* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return L"(none)";
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"(none)";
}

DWORD serviceState(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (service) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return status.dwCurrentState;
}

// The helper service reaches this state within a generous bound.
bool serviceReaches(const wchar_t* name, DWORD state) {
    for (int i = 0; i < 300; ++i) {
        if (serviceState(name) == state) return true;
        Sleep(100);
    }
    return false;
}

// Every extraction callback after the first is a new second for the throttle.
DWORD advancingTicks() {
    static LONG ticks = 0;
    return (DWORD)InterlockedExchangeAdd(&ticks, 1000) + 1000;
}

std::string percentText(float percent) {
    char text[32];
    snprintf(text, sizeof text, "%g", percent);
    return text;
}

// The install's events (stage 1) as "state error percent message". The
// extraction's throttled events become one line "extraction" and the
// manager's one line "manager"; their percents are kept apart.
struct InstallEvents {
    std::vector<std::string> lines;
    std::vector<float> extraction;
    std::vector<float> manager;
};

InstallEvents installEvents(const std::vector<fakes::RecordingProgress::Record>& records,
                            const std::wstring& actionWord) {
    InstallEvents out;
    const std::wstring unpacking = actionWord + L"塔沃主程序...";
    bool unpackStarted = false;
    for (const auto& r : records) {
        if (r.stage != 1) continue;
        const std::string line = std::to_string(r.state) + " " + std::to_string(r.error) + " " +
                                 percentText(r.percent) + " " + tst::narrow(r.message);
        if (r.state == 1 && r.message == unpacking && unpackStarted) {
            if (out.extraction.empty()) out.lines.push_back("extraction");
            out.extraction.push_back(r.percent);
            continue;
        }
        if (r.state == 1 && r.message == unpacking) unpackStarted = true;
        if (r.state == 1 && r.message == L"正在安装虚拟机引擎...") {
            if (out.manager.empty()) out.lines.push_back("manager");
            out.manager.push_back(r.percent);
            continue;
        }
        out.lines.push_back(line);
    }
    return out;
}

// The manager's percents of an install, as the install maps them.
std::vector<float> managerPercents(const std::vector<float>& notified) {
    std::vector<float> out;
    for (float p : notified) out.push_back(40 + 21 * p / 100);
    return out;
}

bool nonDecreasingWithin(const std::vector<float>& values, float low, float high) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i] < low || values[i] > high) return false;
        if (i > 0 && values[i] < values[i - 1]) return false;
    }
    return true;
}

// Counts the manager's notifications beside the install's own listener.
struct NotifyCounter {
    void onNotify(VBoxManager*, ravel::object::smart_ptr<VBoxNotify>) { ++count; }
    int count = 0;
};
typedef ravel::object::delegate<void(VBoxManager*, ravel::object::smart_ptr<VBoxNotify>)> NotifyListener;

// What a case puts into the download's task folder.
struct Fetched {
    std::wstring package = L"vbox_engine_3.1.0.1001.zip";  // a file of the sample channel
    bool hall = false;
    // The app's icon: "download" the fetched picture in the task folder, or a
    // path outside the download folder.
    std::wstring icon = L"download";
};

class VBoxInstallRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new tst::LinuxProcess();
        if (!server_->start({"/usr/bin/python3", tst::testingDirUnix() + "/channel_fixture/server.py", "--root",
                             tst::testingDirUnix() + "/sample_channel", "--substitute"},
                            600)) {
            delete server_;
            server_ = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(nullptr, server_);
        ASSERT_TRUE(lock.held());
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SetEnvironmentVariableW(L"VBOX_STANDIN_DIR", state.path().c_str());
        SetEnvironmentVariableW(L"VBOX_STANDIN_LIFE_MS", L"120000");
        savedTools = tarvo::vboxmgr::vboxToolLimits();
        savedInstall = v2::vboxInstallLimits();
        const std::wstring base = L"http://127.0.0.1:" + std::to_wstring(server_->port());
        for (const wchar_t* key : {L"stat_host", L"product_host", L"market_host", L"market_down_host"})
            DevSettings::getInstance()->properties.setProperty(key, base);
        ASSERT_TRUE(channelFetched()) << "the sample channel's entry " << tst::narrow(kCno);
        clearAll();
        setThrottleTickSourceForTests(&advancingTicks);
        resetThrottleForTests();
        v2::Installer::destroyInstance();
        installer = v2::Installer::getInstance();
        progress.bind(installer->progressEvent());
        newManager();
    }
    // The manager's host has the product's player folder, and its own settings
    // home and classes root.
    void newManager() {
        host.home = getDefaultPlayerFolder();
        manager.reset(new VBoxManager(host));
    }
    void TearDown() override {
        manager.reset();
        installer->progressEvent().reset();
        setThrottleTickSourceForTests(nullptr);
        resetThrottleForTests();
        tst::endProcessesUnder(programs.path());
        clearAll();
        for (const wchar_t* key : {L"stat_host", L"product_host", L"market_host", L"market_down_host"})
            DevSettings::getInstance()->properties.setProperty(key, L"");
        tarvo::vboxmgr::vboxToolLimits() = savedTools;
        v2::vboxInstallLimits() = savedInstall;
        CoUninitialize();
    }
    void clearAll() {
        vboxtest::clearVBoxState(state.path());
        tst::clearProductState();
    }

    // The channel's record, read once per process from the fixture server.
    static bool channelFetched() {
        static bool fetched = false;
        ChannelConfig& config = ChannelConfig::instance();
        if (!fetched) {
            config.cno = kCno;
            fetched = config.fetchChannelConfig();
        }
        AppInfo app;
        return fetched && config.findApp(config.apkId, app);
    }

    void setMode(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        WritePrivateProfileStringW(section, key, value, (state.path() + L"\\modes.ini").c_str());
    }

    // The files of a finished download, and the ini that names them, as the
    // download leaves them.
    void prepare(ScriptedAppsVBoxImpl& impl, const Fetched& f) {
        const std::wstring task = getDownloadTaskFolder(kCno, kVersion, L"vbox");
        packagePath = task + L"\\" + f.package;
        ASSERT_TRUE(CopyFileW(sampleFile(f.package).c_str(), packagePath.c_str(), FALSE)) << tst::narrow(f.package);
        const std::wstring apk = task + L"\\sample_1.0.apk";
        ASSERT_TRUE(CopyFileW(sampleFile(L"sample_1.0.apk").c_str(), apk.c_str(), FALSE));
        std::wstring icon = f.icon;
        if (icon == L"download") {
            icon = task + L"\\1001_icon.png";
            ASSERT_TRUE(CopyFileW(sampleFile(L"sample_icon.png").c_str(), icon.c_str(), FALSE));
        }
        impl.mainPkg = packagePath;
        if (f.hall) {
            impl.hallExe = task + L"\\TarvoHall.exe";
            ASSERT_TRUE(CopyFileW(sampleFile(L"TarvoHall.exe").c_str(), impl.hallExe.c_str(), FALSE));
        }
        const std::wstring section = ChannelConfig::instance().getCno() + L"_1";
        impl.moreIni = [apk, icon, section](IniFile& ini) {
            ini.setString(L"download", L"pkg_count", L"1");
            ini.setString(section, L"file", apk);
            ini.setString(section, L"icon", icon);
        };
    }

    // One run of the operation; the events, statistics and log lines are this run's.
    int run(ScriptedAppsVBoxImpl& impl, InstallAction action) {
        progress.clear();
        tst::writeFile(server_->folder() + L"\\requests.log", "");
        logStart = logText().size();
        installer->setAction(action);
        v2::setManagerForTests(impl, manager.get());
        return action == ActionInstall ? impl.install() : impl.upgrade();
    }

    std::vector<std::string> stats() const { return tst::statActions(server_->folder() + L"\\requests.log"); }
    // The request lines of one statistics action.
    std::vector<std::string> statRequests(const std::string& action) const {
        std::string text;
        tst::readFile(server_->folder() + L"\\requests.log", text);
        std::vector<std::string> out;
        for (const std::string& l : roadtest::splitLines(text))
            if (l.find("/Stat?action=" + action + "&") != std::string::npos) out.push_back(l);
        return out;
    }
    static std::string logText() {
        std::string text;
        tst::readFile(getLogFolder() + L"\\" + v2::baseNameOf(getModulePath()) + L".log", text);
        return text;
    }
    // This run's log lines, without their time stamps.
    std::vector<std::string> logLines() const {
        std::vector<std::string> out;
        for (const std::string& l : roadtest::splitLines(logText().substr(logStart))) {
            const size_t at = l.find(", , ");
            out.push_back(at == std::string::npos ? l : l.substr(at + 4));
        }
        return out;
    }
    std::string logDump() const {
        std::string out;
        for (const std::string& l : logLines()) out += l + "\n";
        return out;
    }
    bool logged(const std::string& line) const {
        for (const std::string& l : logLines())
            if (l == line) return true;
        return false;
    }
    std::vector<std::string> recorded(const std::string& program) const {
        std::vector<std::string> out;
        for (const vboxtest::RecordLine& r : vboxtest::readRecord(state.path()))
            if (r.program == program && r.event == "start") out.push_back(r.details.substr(0, r.details.find('\t')));
        return out;
    }
    std::vector<std::string> imports() const {
        std::vector<std::string> out;
        for (const std::string& line : recorded("VBoxManage"))
            if (line.find("\" import ") != std::string::npos) out.push_back(line);
        return out;
    }
    static std::wstring desktopLink() {
        return getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"") + L"\\" + getProductDisplayName() + L".lnk";
    }
    static std::wstring menuFolder() {
        return getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"") + L"\\" + getProductDisplayName();
    }
    static std::wstring appFolder() { return getUserDataFolder() + L"\\apps\\app_1001"; }

    // What every run that got past the engine steps leaves, successful or not:
    // the helper programs moved, the helper service, the shortcuts, the
    // uninstall entry and the player's folder in the adapter ini.
    void expectProductPieces(const std::wstring& player, bool hall) {
        const std::wstring data = getUserDataFolder();
        for (const wchar_t* name : {L"\\TarvoHelper.exe", L"\\TarvoTips.exe"}) {
            EXPECT_TRUE(tst::fileExists(data + name)) << tst::narrow(name);
            EXPECT_FALSE(tst::fileExists(player + name)) << tst::narrow(name);
        }
        EXPECT_EQ(hall, tst::fileExists(data + L"\\TarvoHall.exe"));
        EXPECT_TRUE(tst::fileExists(player + L"\\TarvoPlayer.exe"));
        EXPECT_TRUE(serviceReaches(L"TarvoHelper", SERVICE_RUNNING));
        EXPECT_EQ(L"\"" + getLoaderExePath() + L"\" --uninstall", regString(uninstallEntryKey(), L"UninstallString"));
        EXPECT_EQ(kVersion, regString(uninstallEntryKey(), L"DisplayVersion"));
        EXPECT_EQ(player, IniFile(getAdaptIniPath()).getString(L"main", L"install_path"));
        const tst::LinkInfo desktop = tst::readLink(desktopLink());
        if (hall) {
            EXPECT_EQ(data + L"\\TarvoHall.exe", desktop.path);
        } else {
            // The test program's name is not the loader's: no copy, and the loader file is missing.
            EXPECT_FALSE(desktop.loaded);
        }
        const tst::LinkInfo start = tst::readLink(menuFolder() + L"\\" + getProductDisplayName() + L".lnk");
        EXPECT_EQ(getLoaderExePath(), start.path);
        const tst::LinkInfo remove = tst::readLink(menuFolder() + L"\\卸载" + getProductDisplayName() + L".lnk");
        EXPECT_EQ(getLoaderExePath(), remove.path);
        EXPECT_EQ(L"--uninstall", remove.arguments);
    }

    static tst::LinuxProcess* server_;
    tst::MachineStateLock lock;
    tst::SavedFile adaptIni{getAdaptIniPath()};
    tst::TempDir state{L"vbsi"};
    vboxtest::TestHost host;
    std::unique_ptr<VBoxManager> manager;
    tarvo::vboxmgr::VBoxToolLimits savedTools;
    v2::VBoxInstallLimits savedInstall;
    v2::Installer* installer = nullptr;
    fakes::RecordingProgress progress;
    size_t logStart = 0;
    std::wstring packagePath;
    tst::TempDir programs{L"vbsp"};  // programs a case runs; ended before the clearing
};

tst::LinuxProcess* VBoxInstallRoad::server_ = nullptr;

std::vector<std::string> successEvents(const std::string& word) {
    return {u8"0 0 0 开始" + word,
            "1 0 10 " + word + u8"塔沃主程序...",
            "extraction",
            "manager",
            "1 0 80 " + word + u8"主程序和快捷方式...",
            "1 0 80 " + word + u8"主程序和快捷方式...",
            "1 0 90 " + word + u8"辅助程序...",
            u8"1 0 120 正在安装应用,大概需要3~5分钟...",
            u8"1 0 130 安装应用...",
            u8"2 0 100 安装成功"};
}

// An install with the hall program and the fetched icon, then an upgrade
// over it by the same operation object, as the dialog's later runs are.
TEST_F(VBoxInstallRoad, AFullInstallThenAnUpgradeByTheSameObject) {
    ScriptedContext context;
    ScriptedAppsVBoxImpl impl(installer, &context);
    Fetched install;
    install.hall = true;
    prepare(impl, install);
    installer->setLaunchAppId(L"before");
    ASSERT_EQ(0, run(impl, ActionInstall)) << logDump();

    InstallEvents events = installEvents(progress.records(), L"安装");
    EXPECT_EQ(successEvents(u8"安装"), events.lines);
    EXPECT_TRUE(nonDecreasingWithin(events.extraction, 10, 50)) << testing::PrintToString(events.extraction);
    EXPECT_EQ(managerPercents({0, 10, 40, 50, 60, 70, 80, 100}), events.manager);
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_rom_install_ok", "hall_install",
                                        "vbox_install_apk_ok", "vbox_install_ok"}),
              stats());
    const std::vector<std::string> ok = statRequests("vbox_rom_install_ok");
    ASSERT_EQ(1u, ok.size());
    EXPECT_NE(std::string::npos, ok[0].find("&install_code=0&import_code=0")) << ok[0];
    EXPECT_EQ(L"1001", installer->getLaunchAppId());
    EXPECT_EQ(std::vector<std::wstring>{L"com.tarvo.sample"}, context.installed);

    const std::wstring player = getDefaultPlayerFolder();
    const std::string p = tst::narrow(player);
    EXPECT_EQ(std::vector<std::string>{"\"" + p + "\\vbox\\VBoxManage.exe\" import \"" + p +
                                       "\\ovas\\tarvoplayer.ova\""},
              imports());
    EXPECT_TRUE(manager->isEngineReady());
    expectProductPieces(player, true);
    EXPECT_TRUE(tst::fileExists(packagePath)) << "the package stays in its task folder";
    // The app filed with the fetched icon; its installed APK is gone.
    const IniFile app(appFolder() + L"\\app.ini");
    EXPECT_EQ(L"1001", app.getString(L"app", L"id"));
    EXPECT_EQ(L"com.tarvo.sample", app.getString(L"app", L"package"));
    EXPECT_EQ(L".MainActivity", app.getString(L"app", L"activity"));
    EXPECT_EQ(L"sample_1.0.apk", app.getString(L"app", L"apk"));
    EXPECT_EQ(L"1001_icon.png", app.getString(L"app", L"icon"));
    std::string copied, fetched;
    EXPECT_TRUE(tst::readFile(appFolder() + L"\\1001_icon.png", copied));
    EXPECT_TRUE(tst::readFile(sampleFile(L"sample_icon.png"), fetched));
    EXPECT_EQ(fetched, copied);
    EXPECT_FALSE(tst::fileExists(appFolder() + L"\\sample_1.0.apk"));
    for (const char* line : {"do install...", "stop service and app...", "VBoxManager::install...", "install vbox 0",
                             "vbox rom install ok ", "create all ok.", "install apk...", "install ok!", "install end: 0"})
        EXPECT_TRUE(logged(line)) << line;
    EXPECT_EQ(0u, manager->notifier().listenerCount()) << "nothing of the run stays connected";

    // The upgrade: the engine's machine runs, which the manager ends before its
    // steps; no hall program this time, and an icon from outside the download
    // folder, which the elevated run must not copy.
    ProcessRunner startvm;
    startvm.run(L"\"" + player + L"\\vbox\\VBoxManage.exe\" startvm tarvoplayer --type headless", 60000);
    ASSERT_EQ(0u, startvm.exitCode()) << startvm.getOutput();
    std::vector<DWORD> machines;
    for (const vboxtest::RecordLine& r : vboxtest::readRecord(state.path()))
        if (r.program == "VBoxHeadless" && r.event == "start") machines.push_back(r.pid);
    ASSERT_EQ(1u, machines.size());
    ASSERT_TRUE(vboxtest::alive(machines[0]));
    NotifyCounter counter;
    manager->notifier().connect(NotifyListener(&counter, &NotifyCounter::onNotify));
    tst::removeTree(appFolder());
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    Fetched upgrade;
    upgrade.icon = std::wstring(system) + L"\\kernel32.dll";
    prepare(impl, upgrade);
    impl.hallExe.clear();
    context.installed.clear();
    ASSERT_EQ(0, run(impl, ActionUpgrade)) << logDump();
    manager->notifier().disconnect(NotifyListener(&counter, &NotifyCounter::onNotify));
    EXPECT_EQ(0u, manager->notifier().listenerCount());

    events = installEvents(progress.records(), L"更新");
    EXPECT_EQ(successEvents(u8"更新"), events.lines) << "an upgrade ends with the install's word too";
    EXPECT_TRUE(nonDecreasingWithin(events.extraction, 10, 50)) << testing::PrintToString(events.extraction);
    EXPECT_EQ((size_t)counter.count, events.manager.size()) << "one event per notification: one listener";
    EXPECT_TRUE(nonDecreasingWithin(events.manager, 40, 61)) << testing::PrintToString(events.manager);
    ASSERT_FALSE(events.manager.empty());
    EXPECT_FLOAT_EQ(40, events.manager.front());
    EXPECT_FLOAT_EQ(61, events.manager.back());
    // The hall program of the install is still there.
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_rom_install_ok", "hall_install",
                                        "vbox_install_apk_ok", "vbox_install_ok"}),
              stats());
    EXPECT_EQ(2u, imports().size()) << "the upgrade imports the appliance again";
    EXPECT_FALSE(vboxtest::alive(machines[0])) << "the engine's running machine was ended";
    EXPECT_TRUE(logged("stop VBoxHeadless.exe (" + std::to_string(machines[0]) + ")")) << logDump();
    EXPECT_EQ(L"1001", installer->getLaunchAppId());
    EXPECT_EQ(std::vector<std::wstring>{L"com.tarvo.sample"}, context.installed);
    EXPECT_EQ(player, IniFile(getAdaptIniPath()).getString(L"main", L"install_path"));
    EXPECT_TRUE(logged("refused: " + tst::narrow(upgrade.icon)));
    EXPECT_EQ(L"(none)", IniFile(appFolder() + L"\\app.ini").getString(L"app", L"icon", L"(none)"));
    EXPECT_FALSE(tst::fileExists(appFolder() + L"\\kernel32.dll"));
    EXPECT_TRUE(tst::fileExists(upgrade.icon)) << "the refused file stays where it is";
    EXPECT_TRUE(logged("install end: 0"));
}

// An engine that does not set up still gets the product's pieces, then the
// run ends with one failure event.
TEST_F(VBoxInstallRoad, EngineFailuresEndTheRunAfterTheProductPieces) {
    struct Case {
        const wchar_t* section;
        int installCode;
        std::vector<float> notified;
    } cases[] = {
        {L"SUPInstall", -101, {0, 10, 40, 50, 60, 60}},
        {L"VBoxManage.import", 0, {0, 10, 40, 50, 60, 70, 80, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.section));
        clearAll();
        tst::removeTree(host.userData + L"\\vmconfig");
        newManager();
        setMode(c.section, L"mode", L"fail");
        ScriptedContext context;
        ScriptedAppsVBoxImpl impl(installer, &context);
        prepare(impl, Fetched());
        installer->setLaunchAppId(L"before");
        EXPECT_EQ(-1, run(impl, ActionInstall)) << logDump();
        EXPECT_EQ(0u, manager->notifier().listenerCount());

        const InstallEvents events = installEvents(progress.records(), L"安装");
        EXPECT_EQ((std::vector<std::string>{u8"0 0 0 开始安装", u8"1 0 10 安装塔沃主程序...", "extraction", "manager",
                                            u8"1 0 80 安装主程序和快捷方式...", u8"1 0 80 安装主程序和快捷方式...",
                                            u8"1 0 90 安装辅助程序...", u8"2 -1 100 安装失败"}),
                  events.lines);
        EXPECT_EQ(managerPercents(c.notified), events.manager);
        std::vector<std::string> wanted = {"vbox_install_start"};
        if (c.installCode == 0) wanted.push_back("vbox_rom_install_ok");
        wanted.push_back("install_vbox_failed");
        EXPECT_EQ(wanted, stats());
        if (c.installCode == 0) {
            const std::vector<std::string> ok = statRequests("vbox_rom_install_ok");
            ASSERT_EQ(1u, ok.size());
            EXPECT_NE(std::string::npos, ok[0].find("&install_code=0&import_code=-103")) << ok[0];
            EXPECT_TRUE(logged("vbox rom install ok "));
            EXPECT_EQ(2u, imports().size()) << "a failed import is tried once more";
        } else {
            EXPECT_TRUE(imports().empty()) << "no import after a failed set-up";
            EXPECT_FALSE(logged("vbox rom install ok "));
            EXPECT_TRUE(logged("install vbox -101"));
        }
        expectProductPieces(getDefaultPlayerFolder(), false);
        EXPECT_TRUE(context.installed.empty());
        EXPECT_EQ(L"before", installer->getLaunchAppId());
        EXPECT_FALSE(logged("install apk..."));
        EXPECT_TRUE(logged("install end: -1"));
    }
}

// Without a package the installed engine is asked whether it is ready: the
// real set-up of a first run is, and only the apps are installed; once its
// settings file is gone it is not, and the run fails without touching the
// product's pieces.
TEST_F(VBoxInstallRoad, WithoutAPackageTheInstalledEngineDecides) {
    ScriptedContext context;
    ScriptedAppsVBoxImpl first(installer, &context);
    prepare(first, Fetched());
    ASSERT_EQ(0, run(first, ActionInstall)) << logDump();
    const size_t programsBefore = vboxtest::readRecord(state.path()).size();

    ScriptedAppsVBoxImpl appsOnly(installer, &context);
    prepare(appsOnly, Fetched());
    appsOnly.mainPkg.clear();
    context.installed.clear();
    ASSERT_EQ(0, run(appsOnly, ActionUpgrade)) << logDump();
    EXPECT_TRUE(logged("engine up to date, apps only"));
    EXPECT_EQ((std::vector<std::string>{u8"1 0 120 正在安装应用,大概需要3~5分钟...", u8"1 0 130 安装应用...",
                                        u8"2 0 100 安装成功"}),
              installEvents(progress.records(), L"更新").lines)
        << "no start event and no engine steps";
    EXPECT_EQ((std::vector<std::string>{"vbox_install_start", "vbox_install_apk_ok", "vbox_install_ok"}), stats());
    EXPECT_EQ(std::vector<std::wstring>{L"com.tarvo.sample"}, context.installed);
    EXPECT_EQ(programsBefore, vboxtest::readRecord(state.path()).size()) << "no VirtualBox program ran";
    EXPECT_EQ(L"1001", installer->getLaunchAppId());

    ASSERT_TRUE(DeleteFileW(manager->global_xml.c_str()));
    ASSERT_TRUE(DeleteFileW((getUserDataFolder() + L"\\TarvoTips.exe").c_str()));
    ScriptedAppsVBoxImpl notReady(installer, &context);
    prepare(notReady, Fetched());
    notReady.mainPkg.clear();
    context.installed.clear();
    EXPECT_EQ(-1, run(notReady, ActionUpgrade)) << logDump();
    EXPECT_TRUE(logged("no engine package and the engine is not ready"));
    EXPECT_EQ(std::vector<std::string>{u8"2 -1 100 更新失败"}, installEvents(progress.records(), L"更新").lines);
    EXPECT_EQ(std::vector<std::string>{"vbox_install_start"}, stats());
    EXPECT_TRUE(context.installed.empty());
    EXPECT_FALSE(tst::fileExists(getUserDataFolder() + L"\\TarvoTips.exe")) << "no helper program copied";
    EXPECT_EQ(programsBefore, vboxtest::readRecord(state.path()).size());
    EXPECT_TRUE(logged("install end: -1"));
}

// A player home directly under a drive root: the package's top folder lands in
// that home, not in a folder of the same name inside it.
TEST_F(VBoxInstallRoad, AnUpgradeOfAHomeDirectlyUnderTheDriveRootLandsInIt) {
    const std::wstring home = L"C:\\tarvoplayer";
    struct Cleanup {
        std::wstring home, state;
        ~Cleanup() {
            vboxtest::clearVBoxState(state);
            tst::endProcessesUnder(home);
            tst::removeTree(home);
        }
    } cleanup{home, state.path()};
    ASSERT_FALSE(tst::fileExists(home)) << "a leftover of another run";
    ASSERT_TRUE(CreateDirectoryW(home.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer-3.1.0.1001.exe").c_str(), (home + L"\\TarvoPlayer.exe").c_str(),
                          FALSE));
    setPlayerInstallPath(home);
    ASSERT_TRUE(isPlayerInstalled());
    ASSERT_EQ(home, getPlayerHome());
    host.home = home;
    manager.reset(new VBoxManager(host));

    ScriptedContext context;
    ScriptedAppsVBoxImpl impl(installer, &context);
    prepare(impl, Fetched());
    EXPECT_EQ(0, run(impl, ActionUpgrade)) << logDump();
    EXPECT_TRUE(logged("extract main app to " + tst::narrow(home) + "...")) << logDump();
    EXPECT_FALSE(tst::fileExists(home + L"\\tarvoplayer"));
    EXPECT_TRUE(tst::fileExists(home + L"\\install\\vbox-x64.zip"));
    EXPECT_TRUE(tst::fileExists(home + L"\\vbox\\VBoxManage.exe"));
    EXPECT_EQ(std::vector<std::string>{"\"" + tst::narrow(home) + "\\vbox\\VBoxManage.exe\" import \"" +
                                       tst::narrow(home) + "\\ovas\\tarvoplayer.ova\""},
              imports());
    EXPECT_EQ(home, IniFile(getAdaptIniPath()).getString(L"main", L"install_path"));
    manager.reset();
}

// A helper service that will not stop holds the run only for the bound.
TEST_F(VBoxInstallRoad, AHelperThatWillNotStopIsLeftAndTheRunGoesOn) {
    const std::wstring helper = programs.file(L"TarvoHelper.exe");
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoHelper.exe").c_str(), helper.c_str(), FALSE));
    ASSERT_TRUE(ServiceControl().installAndStart(getHelperName(), L"\"" + helper + L"\" --never-stop",
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START));
    ASSERT_TRUE(serviceReaches(L"TarvoHelper", SERVICE_RUNNING));
    v2::vboxInstallLimits().helperServiceMs = 3000;

    ScriptedContext context;
    ScriptedAppsVBoxImpl impl(installer, &context);
    prepare(impl, Fetched());
    const DWORD started = GetTickCount();
    EXPECT_EQ(0, run(impl, ActionInstall)) << logDump();
    EXPECT_LT(GetTickCount() - started, 240000u);
    EXPECT_TRUE(logged("stop helper failed: 3000"));
    EXPECT_EQ(successEvents(u8"安装"), installEvents(progress.records(), L"安装").lines);
    EXPECT_TRUE(logged("create TarvoHelper ..."));
    EXPECT_TRUE(logged("install end: 0"));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("TarvoHelper"));
}

// The shortcut step run by a copy of this program, as the loader started
// from a setup package runs it. The parent gives it an empty product state.
TEST(VBoxSelfCopyChild, DISABLED_HelperAndShortcuts) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ServiceControl services;
    v2::installHelperAndShortcuts(services, EngineKind::VBox, true);
    CoUninitialize();
}

// Without a hall program, a loader started from elsewhere under its own name
// puts itself at the loader path and the desktop link points there; under
// another name the link is made only when the loader file exists already.
TEST_F(VBoxInstallRoad, TheLoaderCopiesItselfOnlyUnderItsOwnName) {
    struct Case {
        const wchar_t* name;  // null: the loader file itself runs
        bool loaderBefore;
        bool loaderAfter;
        bool link;
    } cases[] = {
        {L"TarvoLoader.exe", false, true, true},
        {L"tarvoloader_setup.exe", false, true, true},
        {L"setup.exe", false, false, false},
        {L"setup.exe", true, true, true},
        // A copy onto itself fails and changes nothing.
        {nullptr, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.name ? c.name : L"(the loader)") + (c.loaderBefore ? " with a loader" : ""));
        clearAll();
        const std::wstring loader = getLoaderExePath();
        if (c.loaderBefore) {
            ASSERT_TRUE(tst::writeFile(loader, "the installed loader"));
        }
        tst::TempDir dir(L"vbsc");
        const std::wstring child = c.name ? dir.file(c.name) : loader;
        ASSERT_TRUE(CopyFileW(getModulePath().c_str(), child.c_str(), FALSE));
        EXPECT_EQ(0, tst::runProgram(L"\"" + child + L"\" --gtest_also_run_disabled_tests "
                                     L"--gtest_filter=VBoxSelfCopyChild.DISABLED_HelperAndShortcuts",
                                     180000));
        EXPECT_EQ(c.loaderAfter, tst::fileExists(loader));
        std::string bytes;
        tst::readFile(loader, bytes);
        if (c.loaderBefore) {
            // Never printed: a program's bytes would end up in the test's output.
            EXPECT_TRUE(bytes == "the installed loader") << bytes.size() << " bytes";
        } else if (c.loaderAfter) {
            std::string self;
            ASSERT_TRUE(tst::readFile(child, self));
            EXPECT_TRUE(bytes == self) << "the loader path holds the running program's copy, not " << bytes.size()
                                       << " bytes";
        }
        const tst::LinkInfo desktop = tst::readLink(desktopLink());
        EXPECT_EQ(c.link, desktop.loaded);
        if (c.link) {
            EXPECT_EQ(loader, desktop.path);
        }
        EXPECT_EQ(loader, tst::readLink(menuFolder() + L"\\" + getProductDisplayName() + L".lnk").path);
        EXPECT_EQ(L"\"" + loader + L"\" --uninstall", regString(uninstallEntryKey(), L"UninstallString"));
    }
}

}  // namespace
