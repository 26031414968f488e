// The VirtualBox manager against the VirtualBox stand-ins: real COM
// registrations, a real kernel-driver service, real processes and settings
// files. This test program has a Wine prefix of its own; each test clears the
// VirtualBox state of the prefix first and last.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <set>

#include "installer/vbox_manager.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_host.h"
#include "testing/vbox_standin/vbox_standin.h"
#include "tinyxml.h"
#include "toolkit/child_process.h"
#include "toolkit/string_util.h"

using tarvo::vboxmgr::VBoxManager;
using vboxtest::RecordLine;
using vboxtest::TestHost;
using vboxtest::alive;
using vboxtest::endPid;

namespace {

using vboxtest::kClientKey;
using vboxtest::kServerKey;

bool keyExists(HKEY root, const wchar_t* path) {
    HKEY k;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

DWORD driverCount(const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\VBoxDrvStandin", name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

void copyFolder(const std::wstring& from, const std::wstring& to) {
    SHCreateDirectoryExW(nullptr, to.c_str(), nullptr);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            CopyFileW((from + L"\\" + data.cFileName).c_str(), (to + L"\\" + data.cFileName).c_str(), FALSE);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

DWORD startDetached(const std::wstring& line) {
    DWORD pid = 0;
    return vbs::startDetachedLine(line, &pid) ? pid : 0;
}

// Clears the prefix's VirtualBox state at the start and the end of each test: the
// COM registrations, the driver service, the stand-ins' processes by the pids in
// their record, and the state folder.
class VBoxRoad : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"VBOX_STANDIN_DIR", state_.path().c_str());
        SetEnvironmentVariableW(L"VBOX_STANDIN_LIFE_MS", L"120000");
        saved_ = tarvo::vboxmgr::vboxToolLimits();
        clear();
    }
    void TearDown() override {
        clear();
        tarvo::vboxmgr::vboxToolLimits() = saved_;
    }
    void clear() { vboxtest::clearVBoxState(state_.path()); }
    void setMode(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
        WritePrivateProfileStringW(section, key, value, (state_.path() + L"\\modes.ini").c_str());
    }
    // The player folder as the VBox package leaves it: the programs' package,
    // the appliance and the template.
    void seedPlayer() { seedPlayer(host_); }
    static void seedPlayer(TestHost& host_) {
        const std::wstring fixtures = vboxtest::fixtureFolder();
        SHCreateDirectoryExW(nullptr, (host_.home + L"\\install").c_str(), nullptr);
        SHCreateDirectoryExW(nullptr, (host_.home + L"\\ovas").c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((fixtures + L"\\install\\vbox-x64.zip").c_str(),
                              (host_.home + L"\\install\\vbox-x64.zip").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((fixtures + L"\\fixtures\\VirtualBox.xml").c_str(),
                              (host_.home + L"\\ovas\\VirtualBox.xml").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((fixtures + L"\\ovas\\tarvoplayer.ova").c_str(),
                              (host_.home + L"\\ovas\\tarvoplayer.ova").c_str(), FALSE));
    }
    int install(VBoxManager& m) {
        return m.install(host_.home + L"\\vbox", host_.home + L"\\install\\vbox-x64.zip", host_.home + L"\\deployed");
    }
    std::vector<RecordLine> starts() {
        std::vector<RecordLine> out;
        for (const RecordLine& r : vboxtest::readRecord(state_.path()))
            if (r.event == "start" || r.event == "call") out.push_back(r);
        return out;
    }
    // VBoxManage run by the test, with the engine's settings home.
    std::string manage(VBoxManager& m, const std::wstring& args, uint32_t* code = nullptr) {
        ProcessRunner runner;
        runner.run(L"\"" + m.install_path + L"\\VBoxManage.exe\" " + args, 60000);
        if (code) *code = runner.exitCode();
        return runner.getOutput();
    }

    tst::TempDir state_{L"vbs"};
    TestHost host_;
    tarvo::vboxmgr::VBoxToolLimits saved_;
};

TEST_F(VBoxRoad, InstallRegistersTheEngineAndStartsTheDriver) {
    seedPlayer();
    VBoxManager m(host_);
    ASSERT_EQ(0, install(m));
    const std::wstring vbox = host_.home + L"\\vbox";
    std::string build;
    ASSERT_TRUE(tst::readFile(vbox + L"\\standin-build.txt", build));
    EXPECT_EQ("package", build);

    std::vector<RecordLine> calls = starts();
    std::vector<std::string> seen;
    for (const RecordLine& r : calls) {
        if (r.event == "start") {
            seen.push_back(r.program + " " + r.details.substr(0, r.details.find('\t')));
            EXPECT_NE(std::string::npos, r.details.find("\tVBOX_USER_HOME=" + tst::narrow(m.vbox_user_home)))
                << r.details;
        } else {
            std::string host = r.details.substr(0, r.details.find('\t'));
            EXPECT_NE(std::string::npos, toLowerCopy(tst::widen(host)).find(L"regsvr32.exe")) << host;
            seen.push_back(r.program + " " + r.details.substr(r.details.find('\t') + 1));
        }
    }
    const std::string v = tst::narrow(vbox);
    const std::vector<std::string> expected = {
        "VBoxSVC \"" + v + "\\VBoxSVC.exe\" /UnregServer",
        "VBoxSVC \"" + v + "\\VBoxSVC.exe\" /RegServer",
        "VBoxC DllUnregisterServer\t0x00000000",
        "VBoxC DllRegisterServer\t0x00000000",
        "SUPUninstall \"" + v + "\\SUPUninstall.exe\"",
        "SUPInstall \"" + v + "\\SUPInstall.exe\"",
    };
    EXPECT_EQ(expected, seen);
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kServerKey));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kClientKey));
    EXPECT_EQ(1u, driverCount(L"Loads"));
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"VBoxDrv", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service);
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    EXPECT_EQ((DWORD)SERVICE_RUNNING, status.dwCurrentState);
    std::vector<BYTE> config(8192);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()), 8192, &needed));
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    EXPECT_EQ((DWORD)SERVICE_KERNEL_DRIVER, c->dwServiceType);
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, c->dwStartType);
    EXPECT_NE(std::wstring::npos, toLowerCopy(c->lpBinaryPathName).find(toLowerCopy(vbox + L"\\VBoxDrv.sys")));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    EXPECT_EQ(0, m.good());
    EXPECT_FALSE(m.isEngineReady());  // no machine yet

    // The removal undoes the registrations, the driver and the files.
    m.uninstall(L"");
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kServerKey));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kClientKey));
    EXPECT_TRUE(tst::serviceGone("VBoxDrv"));
    EXPECT_EQ(1u, driverCount(L"Unloads"));
    EXPECT_FALSE(tst::fileExists(vbox));
    EXPECT_FALSE(tst::fileExists(m.vbox_user_home));
}

TEST_F(VBoxRoad, FailingStandinsStopTheInstallAtTheirStep) {
    struct Case {
        const wchar_t* section;
        const wchar_t* mode;
        const wchar_t* extraKey;
        const wchar_t* extraValue;
        int result;
        const char* lastProgram;
    } cases[] = {
        {L"VBoxSVC.regserver", L"exit", L"exit_code", L"1", -101, "VBoxSVC"},
        {L"VBoxC.register", L"fail", L"hresult", L"0x80070005", -101, "VBoxC"},
        {L"SUPInstall", L"fail", nullptr, nullptr, -101, "SUPInstall"},
        {L"SUPInstall", L"stock", nullptr, nullptr, 0, "SUPInstall"},
    };
    for (const Case& c : cases) {
        clear();
        TestHost host;
        seedPlayer(host);
        setMode(c.section, L"mode", c.mode);
        if (c.extraKey) setMode(c.section, c.extraKey, c.extraValue);
        VBoxManager m(host);
        EXPECT_EQ(c.result, m.install(host.home + L"\\vbox", L"", host.home + L"\\deployed"))
            << tst::narrow(c.section) << " " << tst::narrow(c.mode);
        std::vector<RecordLine> calls = starts();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(c.lastProgram, calls.back().program) << tst::narrow(c.section);
    }
}

TEST_F(VBoxRoad, HangingRegistrationEndsAtTheLimit) {
    seedPlayer();
    setMode(L"VBoxSVC.regserver", L"mode", L"hang");
    tarvo::vboxmgr::vboxToolLimits().registrationMs = 3000;
    VBoxManager m(host_);
    DWORD start = GetTickCount();
    EXPECT_EQ(-101, install(m));
    EXPECT_LT(GetTickCount() - start, 60000u);
    for (const RecordLine& r : starts()) {
        if (r.program == "VBoxSVC" && r.details.find("/RegServer") != std::string::npos) {
            EXPECT_FALSE(alive(r.pid));
        }
    }
}

TEST_F(VBoxRoad, ImportRegistersTheApplianceInTheDeployedFolder) {
    seedPlayer();
    VBoxManager m(host_);
    ASSERT_EQ(0, install(m));
    ASSERT_EQ(0, m.importAppliance(host_.home + L"\\ovas\\tarvoplayer.ova"));
    std::string list = manage(m, L"list vms");
    EXPECT_EQ(0u, list.find("\"tarvoplayer\" {")) << list;
    EXPECT_TRUE(tst::fileExists(m.deployed_path + L"\\tarvoplayer\\tarvoplayer.vbox"));
    EXPECT_TRUE(tst::fileExists(m.deployed_path + L"\\tarvoplayer\\tarvoplayer-disk001.vmdk"));
    EXPECT_TRUE(m.isEngineReady());

    // A second import is a second machine; the first stays registered.
    ASSERT_EQ(0, m.importAppliance(host_.home + L"\\ovas\\tarvoplayer.ova"));
    list = manage(m, L"list vms");
    EXPECT_NE(std::string::npos, list.find("\"tarvoplayer\" {"));
    EXPECT_NE(std::string::npos, list.find("\"tarvoplayer_1\" {"));

    // A bad digest writes nothing.
    std::string before, after;
    ASSERT_TRUE(tst::readFile(m.global_xml, before));
    EXPECT_EQ(-103, m.importAppliance(vboxtest::fixtureFolder() + L"\\ovas\\baddigest.ova"));
    ASSERT_TRUE(tst::readFile(m.global_xml, after));
    EXPECT_EQ(before, after);
}

TEST_F(VBoxRoad, StopEndsOnlyTheEnginesOwnProcesses) {
    seedPlayer();
    VBoxManager m(host_);
    ASSERT_EQ(0, install(m));
    ASSERT_EQ(0, m.importAppliance(host_.home + L"\\ovas\\tarvoplayer.ova"));
    uint32_t code = 0;
    std::string out = manage(m, L"startvm tarvoplayer --type headless", &code);
    ASSERT_EQ(0u, code) << out;
    // A separately installed VirtualBox with the same programs running.
    const std::wstring own = host_.file(L"Oracle VirtualBox");
    copyFolder(vboxtest::standinFolder(), own);
    DWORD ownFront = startDetached(L"\"" + own + L"\\VirtualBox.exe\"");
    DWORD ownDhcp = startDetached(L"\"" + own + L"\\VBoxNetDHCP.exe\" --network x");
    DWORD front = startDetached(L"\"" + m.install_path + L"\\VirtualBox.exe\"");
    ASSERT_NE(0u, ownFront);
    ASSERT_NE(0u, front);
    Sleep(500);

    out = manage(m, L"unregistervm tarvoplayer", &code);
    EXPECT_EQ(1u, code);
    EXPECT_NE(std::string::npos, out.find("is already locked for a session"));

    EXPECT_EQ(0, m.stop());
    std::set<std::string> ended;
    for (const RecordLine& r : starts()) {
        if (r.event != "start" || r.pid == ownFront || r.pid == ownDhcp) continue;
        if (r.program == "VBoxHeadless" || r.program == "VirtualBox" || r.program == "VBoxSVC") {
            if (r.details.find("/RegServer") != std::string::npos || r.details.find("/UnregServer") != std::string::npos)
                continue;
            EXPECT_FALSE(alive(r.pid)) << r.program << " " << r.details;
            ended.insert(r.program);
        }
    }
    EXPECT_TRUE(ended.count("VBoxHeadless"));
    EXPECT_TRUE(ended.count("VirtualBox"));
    EXPECT_TRUE(alive(ownFront));
    EXPECT_TRUE(alive(ownDhcp));

    out = manage(m, L"unregistervm tarvoplayer", &code);
    EXPECT_EQ(0u, code) << out;
    endPid(ownFront);
    endPid(ownDhcp);
}

}  // namespace
