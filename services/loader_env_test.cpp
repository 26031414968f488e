#include "services/loader_env.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "services/env_test_util.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "services/seams.h"
#include "testing/support/test_support.h"

namespace {

std::wstring appData(int csidl) {
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return path;
}

bool isFolder(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring iniValue(const std::wstring& file, const wchar_t* section, const wchar_t* key) {
    wchar_t buffer[512] = {};
    GetPrivateProfileStringW(section, key, L"<none>", buffer, 512, file.c_str());
    return buffer;
}

// ---- folders --------------------------------------------------------------

TEST(LoaderEnvFolders, LayoutUnderTheApplicationDataFolders) {
    const std::wstring user = appData(CSIDL_APPDATA) + L"\\tarvozhushou";
    const std::wstring common = appData(CSIDL_COMMON_APPDATA) + L"\\tarvozhushou";
    EXPECT_EQ(user, getUserDataFolder());
    EXPECT_EQ(common, getCommonDataFolder());
    EXPECT_EQ(user + L"\\cnos", getCnosFolder());
    EXPECT_EQ(user + L"\\log", getLogFolder());
    EXPECT_EQ(common + L"\\tarvoadapt.ini", getAdaptIniPath());
    for (const std::wstring& folder : {user, common, user + L"\\cnos", user + L"\\log"}) {
        EXPECT_TRUE(isFolder(folder)) << tst::narrow(folder);
        EXPECT_NE(L'\\', folder.back());
        EXPECT_TRUE(envtest::insidePrefix(folder)) << tst::unixPath(folder);
    }
}

TEST(LoaderEnv, Is64BitWindowsInTheWow64Prefix) {
    EXPECT_TRUE(is64BitWindows());
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    EXPECT_EQ(info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64, is64BitWindows());
}

// ---- getCno ---------------------------------------------------------------

// The adapter ini and the channel-number file are machine state: held and
// restored around each test.
class MachineFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lock_.held()); }
    // "-" leaves the file away; otherwise a file with that value ("" = key with an empty value).
    void setAdapter(const std::string& cno) {
        adapter_.removeNow();
        if (cno != "-") tst::writeFile(adapterPath_, "[main]\r\ncno=" + cno + "\r\n");
    }
    void setCnoIni(const std::string& no) {
        cnoIni_.removeNow();
        if (no != "-") {
            CreateDirectoryW((getUserDataFolder() + L"\\cno").c_str(), nullptr);
            tst::writeFile(cnoIniPath_, "[channel]\r\nno=" + no + "\r\n");
        }
    }
    std::wstring adapterCno() { return iniValue(adapterPath_, L"main", L"cno"); }

    tst::MachineStateLock lock_;
    std::wstring adapterPath_ = getAdaptIniPath();
    std::wstring cnoIniPath_ = getUserDataFolder() + L"\\cno\\cno.ini";
    tst::SavedFile adapter_{adapterPath_};
    tst::SavedFile cnoIni_{cnoIniPath_};
};

TEST_F(MachineFiles, GetCnoTable) {
    const std::wstring program = L"\"C:\\Program Files\\Tarvo\\TarvoLoader.exe\"";
    struct Row {
        const wchar_t* args;
        const char* cnoIni;   // "-": no file
        const char* adapter;  // "-": no file, "": empty value
        const wchar_t* result;
        const wchar_t* adapterAfter;
    } rows[] = {
        {L"--cno 123", "-", "456", L"123", L"456"},
        {L"--cno 123", "-", "", L"123", L"123"},
        {L"", "-", "-", L"52817", L"52817"},
        {L"", "quillmoss", "-", L"500124375", L"500124375"},
        {L"", "-", "quillmoss", L"500124375", L"quillmoss"},
        {L"--cno ..\\x", "777", "-", L"777", L"777"},
        {L"--cno", "-", "456", L"456", L"456"},
        {L"-cno 123", "-", "-", L"52817", L"52817"},
        // further cases
        {L"", "777", "456", L"456", L"456"},
        {L"--cno quillmoss", "-", "456", L"500124375", L"456"},
        {L"--cno lm_120639_a", "-", "-", L"lm_120639_a", L"lm_120639_a"},
        {L"--silent --cno 500124375 --launch x", "-", "-", L"500124375", L"500124375"},
        {L"--cno .hidden", "-", "-", L"52817", L"52817"},
        {L"--cno \"a b\"", "-", "456", L"456", L"456"},
        {L"", "C:\\evil", "-", L"52817", L"52817"},
        {L"", "-", "..\\..\\evil", L"52817", L"52817"},
        {L"--cno 123", "-", "..\\evil", L"123", L"123"},
    };
    for (const Row& row : rows) {
        setCnoIni(row.cnoIni);
        setAdapter(row.adapter);
        std::wstring line = program + L" " + row.args;
        EXPECT_EQ(row.result, getCno(line)) << tst::narrow(line) << " / " << row.cnoIni << " / " << row.adapter;
        EXPECT_EQ(row.adapterAfter, adapterCno()) << tst::narrow(line) << " / " << row.cnoIni << " / " << row.adapter;
    }
}

TEST_F(MachineFiles, GetCnoAcceptsPlainNamesOfUpTo64Characters) {
    setCnoIni("-");
    const std::wstring longest(64, L'a');
    struct Case {
        std::wstring cno;
        bool valid;
    } cases[] = {
        {longest, true}, {longest + L"a", false}, {L"a.b-c_D9", true}, {L"x.", true},
        {L".x", false},  {L"a/b", false},         {L"a:b", false},     {L"%TEMP%", false},
    };
    for (const Case& c : cases) {
        setAdapter("-");
        EXPECT_EQ(c.valid ? c.cno : L"52817", getCno(L"p.exe --cno " + c.cno)) << tst::narrow(c.cno);
    }
}

TEST_F(MachineFiles, WriteAppChannel) {
    setAdapter("52817");
    EXPECT_TRUE(writeAppChannel(L"app_77"));
    EXPECT_EQ(L"app_77", iniValue(adapterPath_, L"main", L"app_channel"));
    EXPECT_EQ(L"52817", adapterCno());

    // Another program holds the file without sharing: the write does not land.
    HANDLE held = CreateFileW(adapterPath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_FALSE(writeAppChannel(L"app_88"));
    CloseHandle(held);
    EXPECT_EQ(L"app_77", iniValue(adapterPath_, L"main", L"app_channel"));
}

// ---- registry helpers -----------------------------------------------------

class RegistryHelpers : public ::testing::Test {
protected:
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str()); }
    std::wstring base_ = L"Software\\TarvoEnvTest_" + std::to_wstring(GetCurrentProcessId());
};

TEST_F(RegistryHelpers, SetRegStringCreatesTheKeyAndStoresTheTerminator) {
    const std::wstring key = base_ + L"\\a\\b";
    ASSERT_TRUE(setRegString(HKEY_CURRENT_USER, key, L"name", L"值 value"));
    ASSERT_TRUE(setRegString(HKEY_CURRENT_USER, key, L"empty", L""));
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h));
    wchar_t data[64] = {};
    DWORD type = 0, size = sizeof(data);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, L"name", nullptr, &type, reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ((wcslen(L"值 value") + 1) * 2, size);
    EXPECT_STREQ(L"值 value", data);
    size = sizeof(data);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(h, L"empty", nullptr, &type, reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(2u, size);
    RegCloseKey(h);
    // An existing key is written in place.
    EXPECT_TRUE(setRegString(HKEY_CURRENT_USER, key, L"name", L"v2"));
}

TEST_F(RegistryHelpers, DeleteRegKeyTakesLeavesOnly) {
    ASSERT_TRUE(setRegString(HKEY_CURRENT_USER, base_ + L"\\parent\\child", L"v", L"1"));
    EXPECT_FALSE(deleteRegKey(HKEY_CURRENT_USER, base_ + L"\\parent"));  // has a subkey
    EXPECT_TRUE(deleteRegKey(HKEY_CURRENT_USER, base_ + L"\\parent\\child"));
    EXPECT_TRUE(deleteRegKey(HKEY_CURRENT_USER, base_ + L"\\parent"));
    EXPECT_FALSE(deleteRegKey(HKEY_CURRENT_USER, base_ + L"\\parent"));  // gone
}

// The handle value the next new handle gets: the lowest free slot, so it moves
// up when a handle is left open. (Wine's GetProcessHandleCount answers 0.)
HANDLE nextHandleValue() {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(e);
    return e;
}

TEST_F(RegistryHelpers, NoHandleIsLeftOpen) {
    // Warm up whatever the first calls open for good.
    setRegString(HKEY_CURRENT_USER, base_ + L"\\warm", L"v", L"1");
    deleteRegKey(HKEY_CURRENT_USER, base_ + L"\\warm");
    DWORD before = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    const HANDLE next = nextHandleValue();
    for (int i = 0; i < 20; ++i) {
        std::wstring key = base_ + L"\\k" + std::to_wstring(i);
        setRegString(HKEY_CURRENT_USER, key, L"v", L"x");
        setRegString(HKEY_CURRENT_USER, key, L"v", L"y");  // existing key
        setRegString(HKEY_CURRENT_USER, key + L"\\sub", L"v", L"x");
        deleteRegKey(HKEY_CURRENT_USER, key);  // refused: has a subkey
        deleteRegKey(HKEY_CURRENT_USER, key + L"\\sub");
        deleteRegKey(HKEY_CURRENT_USER, key);
        deleteRegKey(HKEY_CURRENT_USER, key);  // missing
    }
    EXPECT_EQ(next, nextHandleValue());
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(before, after);
}

// ---- per-process answers, each in a process of its own --------------------

bool noShellFolder(int, std::wstring&) { return false; }

struct CurrentFolder {
    wchar_t saved[MAX_PATH] = {};
    explicit CurrentFolder(const std::wstring& folder) {
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(folder.c_str());
    }
    ~CurrentFolder() { SetCurrentDirectoryW(saved); }
};

// When the shell cannot name the application-data folders, no data folder
// exists: every path in them is empty, nothing lands on the current drive's
// root, and the adapter ini is neither read nor written.
TEST_F(MachineFiles, FailedFolderLookupGivesNoDataFolders) {
    setCnoIni("-");
    setAdapter("456");
    tst::TempDir dir(L"nodata");  // on C:, so a rooted "\\tarvozhushou" would be C:'s
    CurrentFolder current(dir.path());
    const std::wstring rooted = L"C:\\tarvozhushou";
    ASSERT_FALSE(tst::fileExists(rooted));
    const std::wstring logPath = getLogFolder() + L"\\services_tests.log";
    std::string log;
    tst::readFile(logPath, log);
    const size_t logBefore = log.size();
    logPrintf("shell folder lookups fail from here");  // opens the log while its folder is known

    setDataFolderLookupForTests(&noShellFolder);
    const std::wstring paths[] = {
        getUserDataFolder(),  getCommonDataFolder(), commonDataFolderPath(),
        getCnosFolder(),      getLogFolder(),        getAdaptIniPath(),
        getDownloadFolder(),  getDownloadTaskFolder(L"52817", L"1.0", L"qv"),
        getDownloadIniPath(L"52817"), getLoaderExePath(), getHallExePath(),
    };
    const std::wstring cno = getCno(L"p.exe");
    const bool channelWritten = writeAppChannel(L"ch7");
    setDataFolderLookupForTests(nullptr);

    for (const std::wstring& path : paths) EXPECT_EQ(L"", path);
    EXPECT_EQ(L"52817", cno);
    EXPECT_FALSE(channelWritten);
    EXPECT_FALSE(tst::fileExists(rooted));
    EXPECT_EQ(L"456", adapterCno());
    EXPECT_EQ(L"<none>", iniValue(adapterPath_, L"main", L"app_channel"));
    // The refused write says why.
    ASSERT_TRUE(tst::readFile(logPath, log));
    EXPECT_NE(std::string::npos, log.find("no data folder", logBefore));
}

// Three reads that each meet an invalid channel number, in a process of its own.
TEST(DISABLED_EnvChild, InvalidCnos) {
    if (envtest::envVar(L"TARVO_ENV_CNO").empty()) return;
    for (const wchar_t* line : {L"p.exe --cno a/b", L"p.exe --cno %x%", L"p.exe --cno .y"}) getCno(line);
}

// Each statistics request reads the channel number again: an invalid one is
// logged once per process, not once per read.
TEST_F(MachineFiles, InvalidCnoIsLoggedOncePerProcess) {
    setCnoIni("-");
    setAdapter("-");
    const std::wstring logPath = getLogFolder() + L"\\services_tests.log";
    std::string log;
    tst::readFile(logPath, log);
    const size_t before = log.size();
    ASSERT_EQ(0, envtest::runChild("DISABLED_EnvChild.InvalidCnos", {L"TARVO_ENV_CNO=1"}));
    ASSERT_TRUE(tst::readFile(logPath, log));
    size_t lines = 0;
    for (size_t at = log.find("ignoring invalid cno", before); at != std::string::npos;
         at = log.find("ignoring invalid cno", at + 1))
        ++lines;
    EXPECT_EQ(1u, lines);
    EXPECT_EQ(L"52817", adapterCno());
}

void writeUtf8Line(std::string& out, const char* key, const std::wstring& value) {
    out += key;
    out += "=" + tst::narrow(value) + "\n";
}

TEST(DISABLED_EnvChild, Report) {
    const std::wstring outFile = envtest::envVar(L"TARVO_ENV_OUT");
    if (outFile.empty()) return;
    std::string out;
    DevSettings* settings = DevSettings::getInstance();
    writeUtf8Line(out, "online", isOnlineMode() ? L"1" : L"0");
    writeUtf8Line(out, "online_field", settings->online ? L"1" : L"0");
    writeUtf8Line(out, "home", settings->home);
    if (!envtest::envVar(L"TARVO_ENV_NAME").empty()) {
        writeUtf8Line(out, "name", getProductDisplayName());
        WritePrivateProfileStringW(L"main", L"cno", L"52817", getAdaptIniPath().c_str());
        writeUtf8Line(out, "name_again", getProductDisplayName());
    }
    tst::writeFile(outFile, out);
}

std::string reportValue(const std::string& report, const std::string& key) {
    size_t at = report.find(key + "=");
    if (at == std::string::npos) return "<none>";
    size_t start = at + key.size() + 1;
    return report.substr(start, report.find('\n', start) - start);
}

TEST(DevSettingsTest, Table) {
    tst::TempDir dir(L"dev");
    const std::string top = tst::narrow(dir.path());
    const std::wstring programFolder = dir.path() + L"\\a\\b\\prog";
    ASSERT_TRUE(CreateDirectoryW((dir.path() + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((dir.path() + L"\\a\\b").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(programFolder.c_str(), nullptr));
    const std::string program = tst::narrow(programFolder);
    struct Case {
        const char* file;  // null: no settings file
        const char* online;
        std::string home;
    } cases[] = {
        {nullptr, "1", program},
        {"online=1\r\nhome=..\\x\r\n", "1", top + "\\a\\b\\x"},
        {"online=1\nhome=C:\\dev\\.\\..\\player\n", "1", "C:\\player"},
        {"online=1\n", "1", top + "\\a\\home"},
        {"home=  \n online=true\n", "1", top + "\\a\\home"},
        {"home=..\\x\n", "0", top + "\\a\\b\\x"},
        {"online=yes\n", "0", top + "\\a\\home"},
        {"\xEF\xBB\xBFonline=1\n", "0", top + "\\a\\home"},
        {"# online=1\n", "0", top + "\\a\\home"},
    };
    const std::wstring settingsFile = programFolder + L"\\tarvo-dev.lic";
    const std::wstring outFile = dir.file(L"report.txt");
    int n = 0;
    for (const Case& c : cases) {
        DeleteFileW(settingsFile.c_str());
        DeleteFileW(outFile.c_str());
        if (c.file) {
            ASSERT_TRUE(tst::writeFile(settingsFile, c.file));
        }
        const std::wstring exe = programFolder + L"\\envdev" + std::to_wstring(n++) + L".exe";
        ASSERT_EQ(0, envtest::runChild("DISABLED_EnvChild.Report", {L"TARVO_ENV_OUT=" + outFile}, exe));
        std::string report;
        ASSERT_TRUE(tst::readFile(outFile, report)) << (c.file ? c.file : "no file");
        EXPECT_EQ(c.online, reportValue(report, "online")) << (c.file ? c.file : "no file");
        EXPECT_EQ(c.online, reportValue(report, "online_field"));
        EXPECT_EQ(c.home, reportValue(report, "home")) << (c.file ? c.file : "no file");
        DeleteFileW(exe.c_str());
    }
}

TEST_F(MachineFiles, ProductDisplayNameIsChosenOnceFromTheChannel) {
    tst::TempDir dir(L"name");
    const std::wstring outFile = dir.file(L"report.txt");
    struct Case {
        const wchar_t* args;
        const char* adapter;
        const char* name;
    } cases[] = {
        {L"--cno lm_120639_a", "-", u8"塔沃模拟器"},
        {L"", "lm_120639_a", u8"塔沃模拟器"},
        {L"", "x_lm_120639", u8"塔沃模拟器"},
        {L"--cno lm_12063", "-", u8"塔沃助手"},
        {L"", "52817", u8"塔沃助手"},
    };
    setCnoIni("-");
    for (const Case& c : cases) {
        setAdapter(c.adapter);
        DeleteFileW(outFile.c_str());
        ASSERT_EQ(0, envtest::runChild("DISABLED_EnvChild.Report",
                                       {L"TARVO_ENV_OUT=" + outFile, L"TARVO_ENV_NAME=1"}, L"", c.args));
        std::string report;
        ASSERT_TRUE(tst::readFile(outFile, report));
        EXPECT_EQ(c.name, reportValue(report, "name")) << tst::narrow(c.args) << " " << c.adapter;
        // The child changed [main] cno in between: the answer stays.
        EXPECT_EQ(c.name, reportValue(report, "name_again")) << tst::narrow(c.args) << " " << c.adapter;
    }
}

}  // namespace
