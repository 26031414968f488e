#include "installer/uninstall_entry.h"

#include <gtest/gtest.h>

#include <map>

#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/web_hosts.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/test_support.h"

namespace {

struct RegValue {
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring text;
};

// Every value of the key in this process's own view; false when it does not open.
bool readKey(const std::wstring& key, std::map<std::wstring, RegValue>& out, REGSAM view = 0) {
    out.clear();
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) return false;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[4096] = {};
        DWORD size = sizeof(data) - 2;
        RegValue v;
        if (RegEnumValueW(handle, i, name, &nameLength, nullptr, &v.type, data, &size) != ERROR_SUCCESS) break;
        v.bytes = size;
        v.text = reinterpret_cast<const wchar_t*>(data);
        out[name] = v;
    }
    RegCloseKey(handle);
    return true;
}

bool isWow64() {
    BOOL wow = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow) && wow;
}

// The player folder of this online test process is the adapter ini's
// install_path; the entry's key and the ini are put back afterwards.
class UninstallEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock.held());
        ASSERT_TRUE(isOnlineMode());
        key = uninstallEntryKey();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        setPlayerInstallPath(home.path());
    }
    void TearDown() override {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (key + L"\\Sub").c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }

    tst::MachineStateLock lock;
    tst::SavedFile ini{getAdaptIniPath()};
    tst::TempDir home{L"entry"};
    std::wstring key;
};

TEST_F(UninstallEntryTest, EachEngineWritesExactlySevenStringsWithItsPlayersVersion) {
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\qvPlayer.exe").c_str(), (home.path() + L"\\qvPlayer.exe").c_str(), FALSE));
    // The player stand-in has no version block.
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer.exe").c_str(), (home.path() + L"\\TarvoPlayer.exe").c_str(), FALSE));
    struct Case {
        const char* engine;
        void (*write)();
        const wchar_t* version;
    } cases[] = {
        {"qv", &v2::InstallerQvImpl::writeUninstallEntry, L"3.1.0.7"},
        {"vbox", &v2::InstallerVBoxImpl::writeUninstallEntry, L""},
    };
    const std::wstring name = getProductDisplayName();
    const std::wstring loader = getLoaderExePath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.engine);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        c.write();
        std::map<std::wstring, RegValue> values;
        ASSERT_TRUE(readKey(key, values));
        const std::map<std::wstring, std::wstring> expected = {
            {L"DisplayIcon", loader},
            {L"DisplayName", name},
            {L"DisplayVersion", c.version},
            {L"InstallLocation", getUserDataFolder()},
            {L"Publisher", name},
            {L"UninstallString", L"\"" + loader + L"\" --uninstall"},
            {L"URLInfoAbout", webHostAddress(WebHost::Product) + L"/"},
        };
        EXPECT_EQ(expected.size(), values.size());
        for (const auto& e : expected) {
            SCOPED_TRACE(tst::narrow(e.first));
            auto found = values.find(e.first);
            ASSERT_NE(values.end(), found);
            EXPECT_EQ((DWORD)REG_SZ, found->second.type);
            EXPECT_EQ((e.second.size() + 1) * sizeof(wchar_t), found->second.bytes);
            EXPECT_EQ(tst::narrow(e.second), tst::narrow(found->second.text));
        }
    }
}

TEST_F(UninstallEntryTest, AnEarlierEntryIsReplacedWholeUnlessItHasSubkeys) {
    ASSERT_TRUE(setRegString(HKEY_LOCAL_MACHINE, key, L"Extra", L"old"));
    ASSERT_TRUE(setRegString(HKEY_LOCAL_MACHINE, key, L"DisplayName", L"old"));
    v2::InstallerQvImpl::writeUninstallEntry();
    std::map<std::wstring, RegValue> values;
    ASSERT_TRUE(readKey(key, values));
    EXPECT_EQ(7u, values.size());
    EXPECT_EQ(0u, values.count(L"Extra"));
    EXPECT_EQ(tst::narrow(getProductDisplayName()), tst::narrow(values[L"DisplayName"].text));

    // A key with a subkey stays: its values are overwritten in place.
    ASSERT_TRUE(setRegString(HKEY_LOCAL_MACHINE, key + L"\\Sub", L"x", L"y"));
    ASSERT_TRUE(setRegString(HKEY_LOCAL_MACHINE, key, L"Extra", L"old"));
    v2::InstallerVBoxImpl::writeUninstallEntry();
    ASSERT_TRUE(readKey(key, values));
    EXPECT_EQ(8u, values.size());
    EXPECT_EQ(L"", values[L"DisplayVersion"].text);
}

// A 32-bit loader on 64-bit Windows keeps the entry in the 32-bit view.
TEST_F(UninstallEntryTest, TheEntryLiesInTheThirtyTwoBitViewOnWow64) {
    if (!isWow64()) GTEST_SKIP() << "only a 32-bit process on 64-bit Windows";
    v2::InstallerQvImpl::writeUninstallEntry();
    std::map<std::wstring, RegValue> values;
    const std::wstring tail = key.substr(std::wstring(L"SOFTWARE\\").size());
    EXPECT_TRUE(readKey(L"SOFTWARE\\WOW6432Node\\" + tail, values, KEY_WOW64_64KEY));
    EXPECT_EQ(7u, values.size());
    EXPECT_FALSE(readKey(key, values, KEY_WOW64_64KEY));
}

// The display name follows the command line's channel: a child test process
// with "--cno lm_120639_a" writes the entry.
TEST_F(UninstallEntryTest, TheSimulatorChannelNamesTheEntryItsOwnWay) {
    const std::wstring simulatorKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\塔沃模拟器";
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, simulatorKey.c_str());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring command = L"\"" + std::wstring(self) +
                                 L"\" --gtest_filter=UninstallEntryChild.WritesTheEntry --cno lm_120639_a";
    EXPECT_EQ(0, tst::runProgram(command, 60000, {L"TARVO_UNINSTALL_ENTRY_CHILD=1"}));
    std::map<std::wstring, RegValue> values;
    ASSERT_TRUE(readKey(simulatorKey, values));
    EXPECT_EQ(u8"塔沃模拟器", tst::narrow(values[L"DisplayName"].text));
    EXPECT_EQ(u8"塔沃模拟器", tst::narrow(values[L"Publisher"].text));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, simulatorKey.c_str());
}

// Runs only as the child of the case above (which holds the machine lock).
TEST(UninstallEntryChild, WritesTheEntry) {
    if (!GetEnvironmentVariableW(L"TARVO_UNINSTALL_ENTRY_CHILD", nullptr, 0)) GTEST_SKIP() << "child only";
    ASSERT_EQ(L"塔沃模拟器", getProductDisplayName());
    v2::InstallerQvImpl::writeUninstallEntry();
}

}  // namespace
