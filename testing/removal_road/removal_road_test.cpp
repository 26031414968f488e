// The product's removal as the uninstall entry starts it: startup_driver.exe,
// copied as TarvoLoader.exe, runs the start-up road's "--uninstall" with the
// product's engines. Each case seeds an installed product (with the product's
// own functions where they exist) and things that are not the product's beside
// it, runs the removal, checks the machine, restarts the prefix and checks
// again. This program has a Wine prefix of its own, made afresh for each run.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "installer/app_list.h"
#include "installer/app_shortcuts.h"
#include "installer/installer.h"
#include "services/helper_service.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/app_folders.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_host.h"
#include "toolkit/shell_util.h"
#include "toolkit/sys_util.h"
#include "toolkit/zip_extract.h"

namespace {

const std::wstring kUninstallRoot = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring sampleFile(const wchar_t* name) { return tst::binDir() + L"\\..\\sample_files\\" + name; }

std::wstring regString(const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) return L"(none)";
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"(none)";
}

bool keyExists(const std::wstring& key, REGSAM view = 0) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

REGSAM qvView() { return is64BitWindows() ? KEY_WOW64_64KEY : 0; }

bool pendingRenames() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    const bool present =
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size > 2 * sizeof(wchar_t);
    RegCloseKey(key);
    return present;
}

// The entries of a folder, names only, sorted; empty when it does not exist.
std::vector<std::string> entries(const std::wstring& folder) {
    std::vector<std::string> out;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") out.push_back(tst::narrow(name));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(out.begin(), out.end());
    return out;
}

using roadtest::fieldOf;
using roadtest::inOrder;

// The removal's events as "state percent message"; a line for any other stage
// or a failed event says so.
std::vector<std::string> removalEvents(const roadtest::DriverRun& run) {
    std::vector<std::string> out;
    for (const std::string& l : run.lines) {
        if (l.compare(0, 6, "event ") != 0) continue;
        std::string e = fieldOf(l, "state") + " " + fieldOf(l, "percent") + " " + fieldOf(l, "message");
        if (fieldOf(l, "stage") != "3" || fieldOf(l, "error") != "0" || !fieldOf(l, "detail").empty()) e = "odd: " + l;
        out.push_back(e);
    }
    return out;
}

// The /Stat requests the fixture server saw.
std::vector<std::string> statRequests(const std::vector<std::string>& requests) {
    std::vector<std::string> out;
    for (const std::string& r : requests)
        if (r.find("GET /Stat?") == 0) out.push_back(r.substr(4, r.find(' ', 4) - 4));
    return out;
}

size_t indexOf(const std::vector<std::string>& all, const std::string& prefix) {
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].compare(0, prefix.size(), prefix) == 0) return i;
    return all.size();
}

bool anyStartsWith(const std::vector<std::string>& all, const std::string& prefix) {
    return indexOf(all, prefix) < all.size();
}

std::vector<std::string> qvEvents() {
    return {u8"0 0 开始卸载服务...",   u8"1 10 卸载主程序...",   u8"1 20 卸载主程序...",
            u8"1 30 卸载主程序...",    u8"1 40 卸载主程序...",   u8"1 55 卸载主程序...",
            u8"1 60 卸载辅助程序...",  u8"1 60 删除快捷方式...", u8"1 60 卸载数据文件...",
            u8"1 70 卸载数据文件...",  u8"1 80 卸载数据文件...", u8"2 100 卸载塔沃助手完毕"};
}

// The VBox removal: its 10 to 40 come before the shortcuts, 55 after them.
std::vector<std::string> vboxEvents(bool userSide) {
    std::vector<std::string> e = {u8"0 0 开始卸载服务...", u8"1 10 卸载主程序...", u8"1 20 卸载主程序...",
                                  u8"1 30 卸载主程序...", u8"1 40 卸载主程序...", u8"1 55 卸载主程序..."};
    if (userSide) e.insert(e.end(), {u8"1 60 卸载辅助程序...", u8"1 60 删除快捷方式..."});
    e.insert(e.end(), {u8"1 60 卸载数据文件...", u8"1 70 卸载数据文件...", u8"1 80 卸载数据文件...",
                       u8"2 100 卸载塔沃助手完毕"});
    return e;
}

void endProcessesUnder(const std::wstring& folder) {
    for (const wchar_t* name : {L"TarvoPlayer.exe", L"TarvoHelper.exe", L"TV-Service.exe", L"TV-Quit.exe",
                                L"qvInstaller.exe", L"tvHdDrv.exe", L"TV-Frontend.exe"}) {
        for (int i = 0; i < 5; ++i) {
            const DWORD pid = findProcessId(name);
            if (!pid) break;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
            if (!process) break;
            wchar_t image[MAX_PATH * 2] = {};
            DWORD size = MAX_PATH * 2;
            const bool ours = QueryFullProcessImageNameW(process, 0, image, &size) &&
                              _wcsnicmp(image, folder.c_str(), folder.size()) == 0;
            if (ours) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 5000);
            }
            CloseHandle(process);
            if (!ours) break;
        }
    }
}

// What the cases seed that is not the product's; unchanged after every removal.
class ForeignThings {
public:
    ForeignThings() {
        const std::wstring documents = getSpecialFolder(CSIDL_PERSONAL, L"");
        const std::wstring profile = getSpecialFolder(CSIDL_PROFILE, L"");
        desktop_ = getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"");
        files_ = {documents + L"\\keep.txt", profile + L"\\.VirtualBox\\VirtualBox.xml", desktop_ + L"\\Other.lnk",
                  desktop_ + L"\\Y-电脑版.lnk"};
        tst::writeFile(files_[0], "the user's own file\r\n");
        CreateDirectoryW((profile + L"\\.VirtualBox").c_str(), nullptr);
        tst::writeFile(files_[1], "<VirtualBox><Global><MachineRegistry/></Global></VirtualBox>\n");
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        createShortcut(desktop_, L"Other.lnk", L"C:\\windows\\notepad.exe", L"", L"", 0);
        // The product's kind of link for an app that is not installed.
        createShortcut(desktop_, L"Y-电脑版.lnk", L"C:\\windows\\notepad.exe", L"--app-id 9999", L"", 0);
        CoUninitialize();
        setRegString(HKEY_LOCAL_MACHINE, kUninstallRoot + L"OtherApp", L"DisplayName", L"Other App");
        setRegString(HKEY_LOCAL_MACHINE, kUninstallRoot + L"OtherApp", L"UninstallString", L"C:\\other\\u.exe");
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager) {
            SC_HANDLE service = CreateServiceW(manager, L"OtherSvc", L"OtherSvc", SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                               L"C:\\other\\svc.exe", nullptr, nullptr, nullptr, nullptr, nullptr);
            if (service) CloseServiceHandle(service);
            CloseServiceHandle(manager);
        }
        for (const std::wstring& f : files_) {
            std::string bytes;
            tst::readFile(f, bytes);
            bytes_.push_back(bytes);
        }
    }
    ~ForeignThings() {
        for (const std::wstring& f : files_) DeleteFileW(f.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kUninstallRoot + L"OtherApp").c_str());
        tst::purgeService("OtherSvc");
    }
    ForeignThings(const ForeignThings&) = delete;
    ForeignThings& operator=(const ForeignThings&) = delete;

    void expectUnchanged() const {
        for (size_t i = 0; i < files_.size(); ++i) {
            std::string bytes;
            EXPECT_TRUE(tst::readFile(files_[i], bytes)) << tst::narrow(files_[i]);
            EXPECT_EQ(bytes_[i], bytes) << tst::narrow(files_[i]);
        }
        EXPECT_EQ(L"Other App", regString(kUninstallRoot + L"OtherApp", L"DisplayName"));
        EXPECT_EQ(L"C:\\other\\u.exe", regString(kUninstallRoot + L"OtherApp", L"UninstallString"));
        EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("OtherSvc"));
    }

private:
    std::wstring desktop_;
    std::vector<std::wstring> files_;
    std::vector<std::string> bytes_;
};

enum class Engine { Qv, VBox };

struct Seed {
    Engine engine = Engine::Qv;
    bool qvRunning = true;        // Qv: the engine started
    bool qvBeside = false;        // VBox: a Qv engine installed in the same player home
    bool productHome = true;      // the player home is "...\tarvoplayer" (else the developer default "...\home")
    bool neverStoppingHelper = false;
    std::vector<std::pair<std::wstring, std::wstring>> modes;  // the Qv stand-ins' modes
};

class RemovalRoadTest : public ::testing::Test {
protected:
    RemovalRoadTest() : box(L"startup_driver.exe") {}

    void SetUp() override {
        ASSERT_TRUE(box.ready());
        box.setDriverName(L"TarvoLoader");
        name = getProductDisplayName();
        userData = getUserDataFolder();
        commonData = getCommonDataFolder();
        desktop = getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"");
        menu = getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"") + L"\\" + name;
        appLink = getDesktopFolder() + L"\\塔沃示例-电脑版.lnk";
        clearProductState();
    }
    void TearDown() override {
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        if (engineProgram) {
            TerminateProcess(engineProgram, 1);
            WaitForSingleObject(engineProgram, 5000);
            CloseHandle(engineProgram);
        }
        endProcessesUnder(box.progDir());
        engine.reset();
        clearProductState();
    }

    void clearProductState() {
        endProcessesUnder(userData);
        endProcessesUnder(home);
        for (const char* service : {"TarvoHelper", "tvHdAndroidSvc", "tvHdDrv"}) tst::purgeService(service);
        qvtest::StandinEngine::deleteKeys();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kUninstallRoot + name).c_str());
        tst::removeTree(menu);
        DeleteFileW((desktop + L"\\" + name + L".lnk").c_str());
        DeleteFileW(appLink.c_str());
        for (const wchar_t* entry : {L"\\apps", L"\\download", L"\\vmconfig"}) tst::removeTree(userData + entry);
        for (const wchar_t* file : {L"\\TarvoLoader.exe", L"\\TarvoTips.exe", L"\\TarvoHall.exe", L"\\TarvoHelper.exe",
                                    L"\\qvInstaller.exe", L"\\held.dat"})
            DeleteFileW((userData + file).c_str());
        if (!home.empty()) tst::removeTree(home);
    }

    // The installed product as its install leaves it, with a running helper.
    void seed(const Seed& s) {
        home = s.productHome ? box.tempDir() + L"\\tarvoplayer" : box.homeDir();
        box.setHome(home);
        const bool qvEngine = s.engine == Engine::Qv || s.qvBeside;
        // The player home from the generated engine packages.
        CreateDirectoryW(home.c_str(), nullptr);
        const std::wstring unpackTo = box.tempDir() + L"\\unpack";
        CreateDirectoryW(unpackTo.c_str(), nullptr);
        if (qvEngine) {
            ASSERT_TRUE(unzipToFolder(sampleFile(L"qv_engine_3.1.0.1001.zip"), unpackTo, false, nullptr));
        }
        if (s.engine == Engine::VBox) {
            ASSERT_TRUE(unzipToFolder(sampleFile(L"vbox_engine_3.1.0.1001.zip"), unpackTo, false, nullptr));
        }
        for (const std::string& e : entries(unpackTo + L"\\tarvoplayer")) {
            const std::wstring entry = tst::widen(e);
            ASSERT_TRUE(MoveFileExW((unpackTo + L"\\tarvoplayer\\" + entry).c_str(), (home + L"\\" + entry).c_str(),
                                    MOVEFILE_REPLACE_EXISTING))
                << e;
        }
        tst::removeTree(unpackTo);
        // The install moves the helper programs into the user data folder.
        for (const wchar_t* program : {L"\\TarvoHelper.exe", L"\\TarvoTips.exe", L"\\qvInstaller.exe"}) {
            MoveFileExW((home + program).c_str(), (userData + program).c_str(), MOVEFILE_REPLACE_EXISTING);
            if (!tst::fileExists(userData + program))
                CopyFileW((tst::binDir() + program).c_str(), (userData + program).c_str(), FALSE);
        }
        CopyFileW((tst::binDir() + L"\\startup_driver.exe").c_str(), (userData + L"\\TarvoLoader.exe").c_str(), FALSE);
        CopyFileW(sampleFile(L"TarvoHall.exe").c_str(), (userData + L"\\TarvoHall.exe").c_str(), FALSE);
        if (s.engine == Engine::VBox) {
            ASSERT_TRUE(box.placePlayer());
            CreateDirectoryW((home + L"\\deployed").c_str(), nullptr);
            CreateDirectoryW((home + L"\\deployed\\tarvoplayer").c_str(), nullptr);
            tst::writeFile(home + L"\\deployed\\tarvoplayer\\tarvoplayer.vbox", "<Machine name=\"tarvoplayer\"/>\n");
            CreateDirectoryW((userData + L"\\vmconfig").c_str(), nullptr);
            tst::writeFile(userData + L"\\vmconfig\\VirtualBox.xml", "<VirtualBox/>\n");
            // The engine's VirtualBox as the install unpacks it, its programs recording into vboxState.
            ASSERT_TRUE(unzipToFolder(home + L"\\install\\vbox-x64.zip", home + L"\\vbox", true, nullptr));
            ASSERT_TRUE(tst::fileExists(home + L"\\vbox\\SUPUninstall.exe"));
            SetEnvironmentVariableW(L"VBOX_STANDIN_DIR", vboxState.path().c_str());
            SetEnvironmentVariableW(L"VBOX_STANDIN_LIFE_MS", L"300000");
        }
        if (s.engine == Engine::VBox) {
            CreateDirectoryW((home + L"\\deployed\\MyVm").c_str(), nullptr);
            tst::writeFile(home + L"\\deployed\\MyVm\\MyVm.vbox", "<Machine name=\"MyVm\"/>\n");
        }
        if (qvEngine) {
            engine.reset(new qvtest::StandinEngine(home));
            for (const auto& m : s.modes) engine->setMode(m.first, m.second);
            ASSERT_TRUE(engine->install());
            if (s.qvRunning) {
                ASSERT_TRUE(engine->start());
            }
        }

        // The helper service from the user data folder.
        std::wstring helper = L"\"" + userData + L"\\TarvoHelper.exe\"";
        if (s.neverStoppingHelper) helper += L" --never-stop";
        ASSERT_TRUE(ServiceControl().installAndStart(getHelperName(), helper, SERVICE_WIN32_OWN_PROCESS,
                                                     SERVICE_DEMAND_START));

        // The shortcuts as the install writes them.
        const std::wstring loader = box.driverPath();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(createShortcut(desktop, name + L".lnk", loader, L"", L"", 0));
        ASSERT_TRUE(createShortcut(menu, name + L".lnk", loader, L"", L"", 0));
        ASSERT_TRUE(createShortcut(menu, L"卸载" + name + L".lnk", loader, L"--uninstall", L"", 0));
        // Wine's internet-shortcut object has no shell-link interface: the file is written as the shell would.
        if (!createUrlShortcut(menu, name + L"官网.url", box.base() + L"/", L"访问" + name + L"官网", L""))
            ASSERT_TRUE(tst::writeFile(menu + L"\\" + name + L"官网.url", "[InternetShortcut]\r\nURL=http://127.0.0.1/\r\n"));
        ASSERT_TRUE(apps.add(L"1001", L"塔沃示例", L"1001.ico", std::string("\0\0\1\0", 4)));
        const std::wstring appFolder = getAppFolder(L"1001");
        ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\fixtures\\apk\\sample.apk").c_str(),
                              (appFolder + L"\\sample_1.0.apk").c_str(), FALSE));
        AppInfo app;
        app.id = L"1001";
        app.name = L"塔沃示例";
        ASSERT_TRUE(writeAppShortcut(app, getDesktopFolder(), loader));
        CoUninitialize();
        ASSERT_TRUE(tst::fileExists(appLink));
        const std::wstring task = userData + L"\\download\\52817_qv_3.1.0.1001";
        CreateDirectoryW((userData + L"\\download").c_str(), nullptr);
        CreateDirectoryW(task.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(sampleFile(L"qv_engine_3.1.0.1001.zip").c_str(), (task + L"\\main.zip").c_str(), FALSE));

        // The uninstall entry as the loader (offline: the driver's own path) writes it.
        roadtest::DriverRun entry = box.run(L"", std::string("driver.writeUninstallEntry=") +
                                                     (s.engine == Engine::Qv ? "qv" : "vbox") + "\n");
        ASSERT_EQ(0, entry.exitCode);
        ASSERT_EQ(L"\"" + loader + L"\" --uninstall", uninstallString());
    }

    std::wstring uninstallString() const { return regString(kUninstallRoot + name, L"UninstallString"); }

    // One of the engine's VirtualBox programs running from the player home, as a
    // machine's DHCP server stays.
    void startEngineProgram() {
        std::wstring command = L"\"" + home + L"\\vbox\\VBoxNetDHCP.exe\"";
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                   home.c_str(), &si, &pi));
        CloseHandle(pi.hThread);
        engineProgram = pi.hProcess;
        // Started once it has recorded itself.
        for (int i = 0; i < 100 && engineStarts("VBoxNetDHCP").empty(); ++i) Sleep(50);
        ASSERT_FALSE(engineStarts("VBoxNetDHCP").empty());
    }
    bool engineProgramRuns() const { return engineProgram && WaitForSingleObject(engineProgram, 0) == WAIT_TIMEOUT; }
    // The command lines the engine's programs recorded.
    std::vector<std::string> engineStarts(const std::string& program) const {
        std::vector<std::string> out;
        for (const vboxtest::RecordLine& r : vboxtest::readRecord(vboxState.path()))
            if (r.program == program && r.event == "start") out.push_back(r.details);
        return out;
    }

    // A file of the user data folder held open as the log is.
    void holdUserDataFile() {
        tst::writeFile(userData + L"\\held.dat", "held");
        held = CreateFileW((userData + L"\\held.dat").c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
    }

    roadtest::DriverRun removeWith(const std::wstring& command, const std::string& extraCase = std::string()) {
        requestsBefore = box.requests().size();
        const ULONGLONG start = GetTickCount64();
        // The pacing of the progress events is no case's subject here.
        roadtest::RoadSandbox::Started started =
            box.startCommand(command, "driver.engine=product\ndriver.removalPaceMs=10\n" + extraCase);
        roadtest::DriverRun run = box.finish(started, 240000);
        tookMs = GetTickCount64() - start;
        return run;
    }

    // A removal that met a fault still ends as it promises: code 0, its final
    // event last, no event out of its stage, and "uninstall ok".
    void expectEndsAsPromised(const roadtest::DriverRun& run) {
        ASSERT_EQ(0, run.exitCode) << run.log;
        const std::vector<std::string> events = removalEvents(run);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(u8"2 100 卸载塔沃助手完毕", events.back());
        for (const std::string& e : events) EXPECT_NE(0u, e.find("odd: ")) << e;
        EXPECT_TRUE(run.logged("uninstall ok")) << run.log;
    }

    std::vector<std::string> newStats() const {
        std::vector<std::string> all = box.requests();
        all.erase(all.begin(), all.begin() + (long)std::min(requestsBefore, all.size()));
        return statRequests(all);
    }

    // The prefix's restart: the pending deletions are carried out.
    void restart() {
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
        tst::runProgram(L"wineboot.exe -r", 120000);
        EXPECT_FALSE(pendingRenames());
    }

    void expectProductGone(bool userSide) {
        EXPECT_FALSE(keyExists(kUninstallRoot + name));
        EXPECT_FALSE(tst::fileExists(desktop + L"\\" + name + L".lnk"));
        EXPECT_FALSE(tst::fileExists(menu));
        EXPECT_TRUE(tst::serviceGone("TarvoHelper"));
        EXPECT_EQ(0u, findProcessId(L"TarvoHelper.exe"));
        EXPECT_EQ(userSide, !tst::fileExists(appLink));
    }

    roadtest::RoadSandbox box;
    tst::AppFolders apps;
    ForeignThings foreign;
    std::unique_ptr<qvtest::StandinEngine> engine;
    std::wstring name, userData, commonData, desktop, menu, appLink, home;
    HANDLE held = INVALID_HANDLE_VALUE;
    HANDLE engineProgram = nullptr;
    tst::TempDir vboxState{L"vbst"};
    size_t requestsBefore = 0;
    ULONGLONG tookMs = 0;
};

TEST_F(RemovalRoadTest, QvRemovalThroughTheEntrysCommandLine) {
    Seed s;
    seed(s);
    ASSERT_TRUE(qvtest::StandinEngine::running());
    holdUserDataFile();

    roadtest::DriverRun run = removeWith(uninstallString());
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_TRUE(run.has("runWindow(action=3)"));

    const std::vector<std::string> stats = newStats();
    ASSERT_EQ(1u, stats.size()) << testing::PrintToString(stats);
    EXPECT_EQ(0u, stats[0].find("/Stat?action=QV_uninstall&ref=loader&ver=")) << stats[0];
    EXPECT_NE(std::string::npos, stats[0].find("&mid=")) << stats[0];
    EXPECT_NE(std::string::npos, stats[0].find("&mid2=")) << stats[0];
    EXPECT_EQ(stats[0].size() - 10, stats[0].find("&cno=52817")) << stats[0];

    EXPECT_EQ(qvEvents(), removalEvents(run));
    const std::vector<std::string> log = run.logLines();
    const std::string setup = "\"" + tst::narrow(userData) + "\\qvInstaller.exe\" uninstall";
    EXPECT_TRUE(inOrder(log, {"do uninstall...", "stop helper service", "stop tarvo service",
                              "call " + setup + " uninstall qvplayer", "uninstall ok"}))
        << run.log;
    EXPECT_FALSE(anyStartsWith(log, "uninstall step failed")) << run.log;
    ASSERT_FALSE(engine->starts("qvInstaller").empty());
    EXPECT_EQ(setup, engine->starts("qvInstaller").back());
    EXPECT_TRUE(engine->recorded("qvInstaller", "setup-uninstalled", tst::narrow(home) + "\\qvplayer\\"));
    EXPECT_TRUE(engine->recorded("TV-Quit", "quit", "stopped"));

    EXPECT_FALSE(run.logged("helper service not removed")) << run.log;
    expectProductGone(true);
    for (const char* service : {"tvHdAndroidSvc", "tvHdDrv"}) EXPECT_TRUE(tst::serviceGone(service)) << service;
    EXPECT_EQ(0u, findProcessId(L"TV-Service.exe"));
    EXPECT_FALSE(keyExists(qvtest::kTarvoGamesKey, qvView()));
    EXPECT_FALSE(tst::fileExists(home));
    EXPECT_FALSE(tst::fileExists(commonData));
    // Only the held file and the loader's own log are left, for the restart.
    EXPECT_EQ((std::vector<std::string>{"held.dat", "log"}), entries(userData));
    EXPECT_EQ((std::vector<std::string>{"TarvoLoader.log"}), entries(userData + L"\\log"));
    EXPECT_TRUE(run.logged("delete at restart: " + tst::narrow(userData) + "\\held.dat")) << run.log;
    foreign.expectUnchanged();

    restart();
    EXPECT_FALSE(tst::fileExists(userData));
    foreign.expectUnchanged();
}

TEST_F(RemovalRoadTest, VBoxRemovalAlone) {
    Seed s;
    s.engine = Engine::VBox;
    seed(s);
    startEngineProgram();

    roadtest::DriverRun run = removeWith(uninstallString());
    ASSERT_EQ(0, run.exitCode) << run.log;
    // The engine was stopped, unregistered and its driver removed before its folder went.
    EXPECT_FALSE(engineProgramRuns());
    const std::vector<std::string> services = engineStarts("VBoxSVC");
    ASSERT_EQ(1u, services.size()) << run.log;
    EXPECT_NE(std::string::npos, services[0].find("/UnregServer")) << services[0];
    EXPECT_EQ(1u, engineStarts("SUPUninstall").size()) << run.log;
    EXPECT_FALSE(tst::fileExists(home + L"\\vbox"));
    EXPECT_FALSE(tst::fileExists(userData + L"\\vmconfig"));
    const std::vector<std::string> stats = newStats();
    ASSERT_EQ(1u, stats.size()) << testing::PrintToString(stats);
    EXPECT_EQ(0u, stats[0].find("/Stat?action=uninstall&ref=loader&ver=")) << stats[0];
    EXPECT_EQ(vboxEvents(true), removalEvents(run));
    const std::vector<std::string> log = run.logLines();
    EXPECT_TRUE(inOrder(log, {"do uninstall...", "stop helper service", "uninstall ok"})) << run.log;
    EXPECT_FALSE(anyStartsWith(log, "stop tarvo service"));

    expectProductGone(true);
    // Another machine in the product's machine folder stays, and so does the folder.
    EXPECT_EQ((std::vector<std::string>{"deployed"}), entries(home));
    EXPECT_EQ((std::vector<std::string>{"MyVm"}), entries(home + L"\\deployed"));
    EXPECT_TRUE(run.logged("kept " + tst::narrow(home) + "\\deployed\\MyVm")) << run.log;
    EXPECT_EQ((std::vector<std::string>{"log"}), entries(userData));
    // The common data folder comes back with the empty install path only.
    EXPECT_EQ((std::vector<std::string>{"tarvoadapt.ini"}), entries(commonData));
    wchar_t section[256] = {};
    const DWORD n = GetPrivateProfileSectionW(L"main", section, 256, getAdaptIniPath().c_str());
    EXPECT_EQ(L"install_path=", std::wstring(section, n ? wcslen(section) : 0));
    wchar_t names[256] = {};
    GetPrivateProfileSectionNamesW(names, 256, getAdaptIniPath().c_str());
    EXPECT_EQ(L"main", std::wstring(names));
    EXPECT_EQ(0u, names[5]);
    foreign.expectUnchanged();

    restart();
    EXPECT_EQ((std::vector<std::string>{"MyVm"}), entries(home + L"\\deployed"));
    EXPECT_EQ((std::vector<std::string>{"log"}), entries(userData));
    foreign.expectUnchanged();
}

TEST_F(RemovalRoadTest, VBoxRemovalLeavesAnInstalledQvEngine) {
    Seed s;
    s.engine = Engine::VBox;
    s.qvBeside = true;
    s.qvRunning = false;
    seed(s);

    roadtest::DriverRun run = removeWith(uninstallString());
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_EQ(vboxEvents(false), removalEvents(run));
    expectProductGone(false);
    std::vector<std::string> left = entries(home);
    left.erase(std::remove(left.begin(), left.end(), "deployed"), left.end());
    EXPECT_EQ((std::vector<std::string>{"qvPlayer.exe", "qvplayer"}), left);
    for (const wchar_t* program : {L"\\TarvoHelper.exe", L"\\TarvoTips.exe", L"\\TarvoHall.exe", L"\\TarvoLoader.exe"})
        EXPECT_TRUE(tst::fileExists(userData + program)) << tst::narrow(program);
    EXPECT_TRUE(tst::fileExists(getAppFolder(L"1001") + L"\\app.ini"));
    EXPECT_EQ(tst::narrow(home) + "\\qvplayer\\", tst::narrow(regString(qvtest::kTarvoGamesKey, L"InstallDir", qvView())));
    foreign.expectUnchanged();
}

TEST_F(RemovalRoadTest, ARunningPlayerIsRefusedInAWindowAndEndedInASilentRun) {
    Seed s;
    s.engine = Engine::VBox;
    seed(s);
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "window");
        std::vector<wchar_t> env = tst::environmentWith({L"TARVO_PLAYER_STAY=120000"});
        std::wstring command = L"\"" + box.playerPath() + L"\"";
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(0);
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                                   env.data(), box.progDir().c_str(), &si, &pi));
        CloseHandle(pi.hThread);
        for (int i = 0; i < 100; ++i) {
            HANDLE mark = OpenMutexA(SYNCHRONIZE, FALSE, getPlayerMutexName().c_str());
            if (mark) {
                CloseHandle(mark);
                break;
            }
            Sleep(50);
        }
        roadtest::DriverRun run = removeWith(uninstallString() + (silent ? L" -s" : L""));
        EXPECT_EQ(0, run.exitCode) << run.log;
        const bool ended = WaitForSingleObject(pi.hProcess, 5000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        if (!silent) {
            EXPECT_TRUE(run.has("showRemoveRefused"));
            EXPECT_FALSE(ended);
            EXPECT_TRUE(newStats().empty()) << testing::PrintToString(newStats());
            EXPECT_TRUE(keyExists(kUninstallRoot + name));
            EXPECT_TRUE(tst::fileExists(home + L"\\TarvoPlayer.exe"));
            EXPECT_TRUE(tst::fileExists(userData + L"\\TarvoHelper.exe"));
            EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("TarvoHelper"));
        } else {
            EXPECT_TRUE(ended);
            HANDLE mark = OpenMutexA(SYNCHRONIZE, FALSE, getPlayerMutexName().c_str());
            EXPECT_EQ(nullptr, mark);
            if (mark) CloseHandle(mark);
            const std::vector<std::string> log = run.logLines();
            EXPECT_LT(indexOf(log, "stop k : TarvoPlayer.exe"), indexOf(log, "stop helper service")) << run.log;
            EXPECT_TRUE(run.logged("uninstall ok")) << run.log;
            expectProductGone(true);
            EXPECT_EQ((std::vector<std::string>{"log"}), entries(userData));
        }
    }
    foreign.expectUnchanged();
}

// Hanging tools and services: every wait ends at its (shortened) bound.
TEST_F(RemovalRoadTest, EveryWaitIsBounded) {
    Seed s;
    s.neverStoppingHelper = true;
    s.modes = {{L"TV-Quit", L"hang"}, {L"TV-Service", L"no-stop"}, {L"qvInstaller.uninstall", L"hang"}};
    seed(s);

    roadtest::DriverRun run = removeWith(uninstallString(), "driver.removalBoundsMs=3000\n");
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_EQ(qvEvents(), removalEvents(run));
    EXPECT_TRUE(run.logged("qv quit timed out")) << run.log;
    EXPECT_TRUE(run.logged("qvInstaller uninstall did not end within 3000 ms")) << run.log;
    EXPECT_TRUE(anyStartsWith(run.logLines(), "stop service tvHdAndroidSvc failed: ")) << run.log;
    // Three bounded waits and the process ends (1 s each).
    EXPECT_LT(tookMs, 40000u);
    EXPECT_TRUE(tst::serviceGone("TarvoHelper"));
    EXPECT_FALSE(keyExists(kUninstallRoot + name));
    for (const wchar_t* program : {L"TV-Quit", L"TV-Service", L"qvInstaller.uninstall"}) engine->setMode(program, L"ok");
}

// The developer default home "...\home" is not the product's folder.
TEST_F(RemovalRoadTest, APlayerHomeOutsideTheRuleStaysWhole) {
    Seed s;
    s.engine = Engine::VBox;
    s.productHome = false;
    seed(s);
    startEngineProgram();
    const std::vector<std::string> before = entries(home);
    ASSERT_TRUE(std::count(before.begin(), before.end(), "vbox"));
    const std::vector<std::string> engineFiles = entries(home + L"\\vbox");

    roadtest::DriverRun run = removeWith(uninstallString());
    ASSERT_EQ(0, run.exitCode) << run.log;
    EXPECT_TRUE(run.logged("player home left in place: " + tst::narrow(home))) << run.log;
    EXPECT_EQ(before, entries(home));
    // Its engine is not the removal's either: not stopped, not unregistered.
    EXPECT_TRUE(run.logged("kept " + tst::narrow(home) + "\\vbox")) << run.log;
    EXPECT_EQ(engineFiles, entries(home + L"\\vbox"));
    EXPECT_TRUE(engineProgramRuns());
    EXPECT_TRUE(engineStarts("SUPUninstall").empty());
    EXPECT_TRUE(engineStarts("VBoxSVC").empty());
    EXPECT_EQ((std::vector<std::string>{"MyVm", "tarvoplayer"}), entries(home + L"\\deployed"));
    expectProductGone(true);
    EXPECT_EQ((std::vector<std::string>{"log"}), entries(userData));
    foreign.expectUnchanged();
}

TEST_F(RemovalRoadTest, NothingInstalled) {
    home = box.tempDir() + L"\\tarvoplayer";
    box.setHome(home);
    roadtest::DriverRun run = removeWith(L"\"" + box.driverPath() + L"\" --uninstall");
    ASSERT_EQ(0, run.exitCode) << run.log;
    // The environment check chose the engine: the sandbox serves no channel document,
    // so no VBox engine is offered, whatever the processor. Nothing missing is an error.
    ASSERT_TRUE(run.has("installer.createImpl(" + std::to_string(v2::EngineQv) + ")")) << run.log;
    EXPECT_EQ(qvEvents(), removalEvents(run));
    EXPECT_FALSE(anyStartsWith(run.logLines(), "uninstall step failed")) << run.log;
    EXPECT_TRUE(run.logged("uninstall ok"));
    expectProductGone(true);
    foreign.expectUnchanged();
}

// A lookup that throws at the start still gives the removal's end: its final
// event and no failure; what it could not place stays.
TEST_F(RemovalRoadTest, APlayerHomeLookupThatThrowsStillEndsTheRemoval) {
    Seed s;
    s.engine = Engine::VBox;
    seed(s);

    roadtest::DriverRun run = removeWith(uninstallString(), "driver.playerHome=throw\n");
    ASSERT_NO_FATAL_FAILURE(expectEndsAsPromised(run));
    EXPECT_TRUE(run.logged("uninstall step failed: start: player home lookup failed")) << run.log;
    EXPECT_FALSE(anyStartsWith(run.logLines(), "installer exception")) << run.log;
    EXPECT_TRUE(tst::fileExists(home + L"\\vbox\\SUPUninstall.exe"));
    EXPECT_TRUE(engineStarts("SUPUninstall").empty());
    EXPECT_FALSE(keyExists(kUninstallRoot + name));
    EXPECT_TRUE(tst::serviceGone("TarvoHelper"));
}

// The shell names no data folder: the removal deletes nothing of them, nothing
// lands on a drive's root, and the road still ends as promised.
TEST_F(RemovalRoadTest, NoDataFolderDeletesNothingThereAndStillEnds) {
    Seed s;
    seed(s);
    const std::vector<std::string> userBefore = entries(userData), commonBefore = entries(commonData);
    const std::wstring rooted[] = {L"C:\\tarvozhushou", L"Z:\\tarvozhushou"};
    for (const std::wstring& r : rooted) ASSERT_FALSE(tst::fileExists(r)) << tst::narrow(r);

    roadtest::DriverRun run = removeWith(uninstallString(), "driver.dataFolders=fail\n");
    ASSERT_NO_FATAL_FAILURE(expectEndsAsPromised(run));
    EXPECT_TRUE(run.logged("no data folder")) << run.log;
    EXPECT_EQ(userBefore, entries(userData));
    EXPECT_EQ(commonBefore, entries(commonData));
    for (const std::wstring& r : rooted) EXPECT_FALSE(tst::fileExists(r)) << tst::narrow(r);
    foreign.expectUnchanged();
}

}  // namespace
