// The Qv engine's install as the loader runs it: installer_driver.exe runs the
// real download and install against the sample channel on 127.0.0.1, with the
// stand-in engine package, setup, tools and helper service. This test program
// has a Wine prefix of its own; each test clears the product's state first and last.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>

#include <string>
#include <vector>

#include "services/ini_file.h"
#include "services/install_paths.h"
#include "toolkit/shell_util.h"
#include "services/loader_env.h"
#include "testing/startup_driver/road_driver.h"
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

void endProcessesUnder(const std::wstring& folder) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process =
            OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            _wcsnicmp(image, folder.c_str(), folder.size()) == 0) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

// The product's state of this prefix, cleared when the test starts and ends.
void clearProductState() {
    for (const char* service : {"TarvoHelper", "tvHdAndroidSvc", "tvHdDrv"}) tst::purgeService(service);
    const std::wstring player = getDefaultPlayerFolder();
    endProcessesUnder(player);
    endProcessesUnder(getUserDataFolder());
    qvtest::StandinEngine::deleteKeys();
    for (int i = 0; i < 30 && tst::fileExists(player + L"\\qvplayer"); ++i) {
        tst::removeTree(player);
        if (tst::fileExists(player + L"\\qvplayer")) Sleep(200);
    }
    const std::wstring data = getUserDataFolder();
    for (const wchar_t* name : {L"\\qvInstaller.exe", L"\\TarvoHelper.exe", L"\\TarvoTips.exe", L"\\TarvoHall.exe"})
        DeleteFileW((data + name).c_str());
    tst::removeTree(data + L"\\apps");
    tst::removeTree(data + L"\\download");
    const std::wstring name = getProductDisplayName();
    DeleteFileW((getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"") + L"\\" + name + L".lnk").c_str());
    tst::removeTree(getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"") + L"\\" + name);
}

class QvRoadTest : public ::testing::Test {
protected:
    QvRoadTest()
        : box(L"installer_driver.exe",
              {"--root", tst::testingDirUnix() + "/sample_channel", "--substitute", "--files", sampleFilesUnix()}) {}
    void SetUp() override {
        ASSERT_TRUE(box.ready());
        clearProductState();
    }
    void TearDown() override { clearProductState(); }

    roadtest::DriverRun install(const std::string& modes = std::string()) {
        if (!modes.empty()) tst::writeFile(state.path() + L"\\modes.ini", modes);
        return box.run(L"", "action=install\ncpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\ndotnet=0\n",
                       {L"QV_STANDIN_DIR=" + state.path()});
    }
    std::vector<qvtest::RecordLine> record() const {
        std::vector<qvtest::RecordLine> out;
        std::string text;
        tst::readFile(state.path() + L"\\record.log", text);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
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

TEST_F(QvRoadTest, FailingSetupEndsTheRunWithoutTheEngine) {
    struct Case {
        const char* modes;
        const char* exitLine;
    } cases[] = {
        {"[qvInstaller.install]\r\nmode=exit\r\nexit_code=0\r\n", "call qvInstaller failed, exit code 0"},
        {"[qvInstaller.install]\r\nmode=exit\r\nexit_code=2\r\n", "call qvInstaller failed, exit code 2"},
        {"[qvInstaller.install]\r\nmode=crash\r\n", "call qvInstaller failed, exit code 3221225477"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.modes);
        clearProductState();
        const size_t before = box.requests().size();
        roadtest::DriverRun run = install(c.modes);
        EXPECT_EQ(0xFFFFFFFFu, (DWORD)run.exitCode) << run.log;
        const std::vector<std::string> events = installEvents(run);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(u8"2 -1 70 安装失败", events.back());
        EXPECT_EQ(1, std::count_if(events.begin(), events.end(), [](const std::string& e) { return e[0] == '2'; }));
        EXPECT_TRUE(run.logged(c.exitLine)) << run.log;
        EXPECT_TRUE(run.logged("install end: -1"));
        EXPECT_EQ(L"(none)", regValue(qvtest::kTarvoGamesKey, L"InstallDir"));
        EXPECT_EQ((DWORD)ERROR_SUCCESS, tst::openServiceError("TarvoHelper"));
        EXPECT_EQ(L"<none>", IniFile(getAdaptIniPath()).getString(L"main", L"install_path", L"<none>"));
        std::vector<std::string> requests = box.requests();
        requests.erase(requests.begin(), requests.begin() + (long)before);
        EXPECT_TRUE(inOrder(actions(requests), {"QV_qvinstall_start", "rom_install_fail"}));
        for (const std::string& a : actions(requests)) EXPECT_NE("QV_install_ok", a);
        tst::removeTree(state.path());
        CreateDirectoryW(state.path().c_str(), nullptr);
    }
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

}  // namespace
