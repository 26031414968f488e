#include "services/install_paths.h"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "services/ini_file.h"
#include "services/loader_env.h"
#include "testing/support/test_support.h"
#include "testing/sysutil_child/sysutil_test_util.h"
#include "toolkit/disk_util.h"
#include "toolkit/sys_util.h"
#include "services/seams.h"

namespace {

const wchar_t kPlayerKey[] = L"Software\\tarvoplayer\\tarvoplayer";

std::string bytesOf(const std::wstring& path) {
    std::string s;
    return tst::readFile(path, s) ? s : std::string("<missing>");
}

bool isFolder(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string resourceBytes(const wchar_t* type, unsigned short id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    if (!found) return std::string();
    HGLOBAL loaded = LoadResource(nullptr, found);
    return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(nullptr, found));
}

// Handles open in this process (Wine's GetProcessHandleCount always says 0).
int openHandleCount() {
    int count = 0;
    for (ULONG_PTR value = 4; value < 16384; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// Volumes as the install-root choice sees them: one record per drive letter.
class FakeVolumes : public ravel::disk::VolumeFacts {
public:
    struct Drive {
        wchar_t letter;
        uint64_t free;
    };
    std::vector<Drive> drives;
    std::wstring programFiles;

    Drive* find(const std::wstring& path) {
        for (Drive& d : drives)
            if (!path.empty() && towupper(path[0]) == d.letter) return &d;
        return nullptr;
    }
    std::vector<std::wstring> logicalDrives() override {
        std::vector<std::wstring> out;
        for (Drive& d : drives) out.push_back(std::wstring(1, d.letter) + L":\\");
        return out;
    }
    UINT driveType(const std::wstring& root) override { return find(root) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR; }
    bool freeBytesToCaller(const std::wstring& path, uint64_t& bytes) override {
        Drive* d = find(path);
        if (d) bytes = d->free;
        return d != nullptr;
    }
    std::wstring fileSystemName(const std::wstring&) override { return L"NTFS"; }
    int busType(const std::wstring&) override { return 1; }
    bool isDirectory(const std::wstring& path) override { return find(path) != nullptr; }
    bool canCreateTempFile(const std::wstring& path) override { return find(path) != nullptr; }
    std::wstring programFilesFolder() override { return programFiles; }
};

const uint64_t GiB = 1024ull * 1024 * 1024;

// The registry value, the adapter ini and the install-root choice are shared
// by the whole prefix: one test process at a time changes them (the same named
// mutex as the other machine-state tests), and each puts back what it found.
class PlayerHomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        lock_.reset(new tst::MachineStateLock());
        ASSERT_TRUE(lock_->held());
        if (!isOnlineMode()) GTEST_SKIP() << "developer settings beside the test program";

        iniPath_ = getAdaptIniPath();
        ini_.reset(new tst::SavedFile(iniPath_));
        HKEY key = nullptr;
        keyExisted_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) ==
                      ERROR_SUCCESS;
        if (keyExisted_) {
            DWORD size = sizeof(valueBytes_);
            valueExisted_ = RegQueryValueExW(key, L"path", nullptr, &valueType_, valueBytes_, &size) == ERROR_SUCCESS;
            valueSize_ = size;
            RegCloseKey(key);
        }
        removeRegistryPath();
        setPlayerInstallPath(L"");

        volumes_.programFiles = dir_.file(L"Program Files");
        CreateDirectoryW(volumes_.programFiles.c_str(), nullptr);
        volumes_.drives = {{static_cast<wchar_t>(towupper(dir_.path()[0])), 10 * GiB}};
        ravel::disk::setVolumeFacts(&volumes_);
        resetInstallRootForTests();
    }

    void TearDown() override {
        if (lock_ && lock_->held() && !iniPath_.empty()) {
            ravel::disk::setVolumeFacts(nullptr);
            resetInstallRootForTests();
            setQvInstalledTestForTests(nullptr);
            HKEY key = nullptr;
            if (valueExisted_ && RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key,
                                                 nullptr) == ERROR_SUCCESS) {
                RegSetValueExW(key, L"path", 0, valueType_, valueBytes_, valueSize_);
                RegCloseKey(key);
            } else {
                removeRegistryPath();
            }
            if (!keyExisted_) {
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, KEY_WOW64_32KEY, 0);
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\tarvoplayer", KEY_WOW64_32KEY, 0);
            }
            ini_.reset();
        }
        lock_.reset();
    }

    // Writes the "path" value as the 32-bit program would (the 32-bit view).
    void setRegistryPath(const std::wstring& value, DWORD type = REG_SZ, bool terminated = true) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        DWORD bytes = static_cast<DWORD>((value.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
        ASSERT_EQ(RegSetValueExW(key, L"path", 0, type, reinterpret_cast<const BYTE*>(value.c_str()), bytes),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void setRegistryDword(DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"path", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        RegCloseKey(key);
    }
    void removeRegistryPath() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlayerKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, L"path");
            RegCloseKey(key);
        }
    }
    IniFile adaptIni() const { return IniFile(iniPath_); }

    tst::TempDir dir_{L"home"};
    FakeVolumes volumes_;

private:
    std::unique_ptr<tst::MachineStateLock> lock_;
    std::wstring iniPath_;
    std::unique_ptr<tst::SavedFile> ini_;
    bool keyExisted_ = false, valueExisted_ = false;
    DWORD valueType_ = 0, valueSize_ = 0;
    BYTE valueBytes_[2048] = {};
};

int g_qvCalls = 0;
bool g_qvAnswer = false;
bool fakeQvInstalled() {
    ++g_qvCalls;
    return g_qvAnswer;
}

}  // namespace

TEST(CompareVersions, Table) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int result;
    } cases[] = {
        {L"0.0.0.0", L"2.1.0.1", -1},
        {L"2.1", L"2.1.0.0", 0},
        {L"3.0.0.1", L"2.9.9.9", 1},
        {L"1.10", L"1.9", 1},
        {L"1.2.3.4.9", L"1.2.3.4.1", 0},  // a fifth part does not count
        {L"", L"0", 0},
        {L"2.1.0.1", L"2.1.0.1", 0},
        // Long digit runs wrap in 32 bits: 10^29-ish mod 2^32 is 1312754386.
        {L"123456789012345678901234567890", L"1312754386", 0},
        {L"123456789012345678901234567890", L"1312754387", -1},
        // Parts are compared as signed values.
        {L"4294967295", L"0", -1},
        {L"2147483648", L"2147483647", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.result) << c.a << " vs " << c.b;
        EXPECT_EQ(compareVersions(c.b, c.a), -c.result) << c.b << " vs " << c.a;
    }
}

TEST(FileVersion, FromTheVersionBlock) {
    std::wstring out = L"stale";
    EXPECT_TRUE(getFileVersion(tst::binDir() + L"\\version_fixture.dll", out));
    EXPECT_EQ(out, L"2.1.300.65535");

    struct Case {
        std::wstring path;
    } failing[] = {{tst::binDir() + L"\\noversion_fixture.dll"}, {tst::binDir() + L"\\no_such_file.dll"}};
    for (const Case& c : failing) {
        out = L"stale";
        EXPECT_FALSE(getFileVersion(c.path, out)) << c.path;
        EXPECT_EQ(out, L"");
        EXPECT_EQ(getFileVersionString(c.path), L"");
    }

    // An empty path is the running program.
    EXPECT_TRUE(getFileVersion(L"", out));
    EXPECT_EQ(out, L"3.0.0.7");
    EXPECT_EQ(getOwnVersion(), L"3.0.0.7");
}

// The loader and the two libraries it ships carry the build's one version.
TEST(FileVersion, DeliverablesCarryTheBuildVersion) {
    for (const wchar_t* name : {L"TarvoLoader.exe", L"hvprobe.dll", L"peerfetch.dll"}) {
        SCOPED_TRACE(tst::narrow(name));
        const std::wstring path = tst::binDir() + L"\\" + name;
        EXPECT_EQ(tst::narrow(getFileVersionString(path)), TARVO_BUILD_VERSION);
        DWORD ignored = 0;
        std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        ASSERT_FALSE(block.empty());
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, (DWORD)block.size(), block.data()));
        auto text = [&](const wchar_t* key) {
            wchar_t* value = nullptr;
            UINT length = 0;
            const std::wstring sub = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
            if (!VerQueryValueW(block.data(), sub.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
                return std::string("<none>");
            return tst::narrow(value);
        };
        EXPECT_EQ(text(L"ProductVersion"), TARVO_BUILD_VERSION);
        EXPECT_EQ(text(L"FileVersion"), TARVO_BUILD_VERSION);
        EXPECT_EQ(text(L"ProductName"), u8"塔沃助手");
        EXPECT_EQ(text(L"CompanyName"), u8"塔沃助手");
        EXPECT_EQ(text(L"OriginalFilename"), tst::narrow(name));
        EXPECT_NE(text(L"FileDescription"), "<none>");
    }
}

TEST(OsVersion, ReadOnceAndVistaOrLater) {
    const OSVERSIONINFOW& first = getOsVersion();
    EXPECT_EQ(first.dwOSVersionInfoSize, 276u);
    EXPECT_EQ(&getOsVersion(), &first);
    EXPECT_EQ(isVistaOrLater(), first.dwPlatformId == VER_PLATFORM_WIN32_NT && first.dwMajorVersion >= 6);
    EXPECT_TRUE(isVistaOrLater());  // every supported system
}

TEST(ProgramFolder, IsTheFolderOfTheRunningProgram) {
    std::wstring folder = getProgramFolder();
    EXPECT_EQ(_wcsicmp(folder.c_str(), tst::binDir().c_str()), 0) << folder;
    EXPECT_NE(folder.back(), L'\\');
}

TEST(DownloadFolders, NamesStayInsideTheDownloadFolder) {
    std::wstring download = getUserDataFolder() + L"\\download";
    std::wstring cno = L"sysutil" + std::to_wstring(GetCurrentProcessId());
    struct Case {
        std::wstring version;
        std::wstring folderName;
    } cases[] = {
        {L"2.1.0.1", cno + L"_qv_2.1.0.1"},
        {L"1\\..\\..\\Windows", cno + L"_qv_1_.._.._Windows"},
        {L"../x:y*?\"<>|\t", cno + L"_qv_.._x_y_______"},
    };
    EXPECT_EQ(getDownloadFolder(), download);
    EXPECT_TRUE(isFolder(download));
    for (const Case& c : cases) {
        std::wstring folder = getDownloadTaskFolder(cno, c.version, L"qv");
        EXPECT_EQ(folder, download + L"\\" + c.folderName) << c.version;
        EXPECT_TRUE(isFolder(folder)) << folder;
        RemoveDirectoryW(folder.c_str());
    }
    EXPECT_EQ(getDownloadIniPath(L"52817_qv_2.1"), download + L"\\download_52817_qv_2.1.ini");
    EXPECT_EQ(getDownloadIniPath(L"a\\..\\..\\b"), download + L"\\download_a_.._.._b.ini");
}

TEST(TempFilePath, NewEmptyFilesInTheProductTempFolder) {
    tst::TempDir temp(L"tvd");
    sysutiltest::TempEnv env(temp.path());
    std::wstring a = getTempFilePath();
    std::wstring b = getTempFilePath();
    EXPECT_NE(a, b);
    for (const std::wstring& f : {a, b}) {
        EXPECT_EQ(_wcsnicmp(f.c_str(), (temp.path() + L"\\tarvozhushou\\TVD").c_str(), temp.path().size() + 17), 0)
            << f;
        EXPECT_EQ(bytesOf(f), "");
    }
}

TEST(ResourceToFile, WritesTheWholeResource) {
    tst::TempDir dir(L"rsrc");
    std::string expected = resourceBytes(L"TVTEST", 301);
    ASSERT_EQ(expected.size(), 70000u);

    // A folder standing at the path gives way to the file.
    std::wstring target = dir.file(L"payload.bin");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(tst::writeFile(target + L"\\inside.txt", "x"));
    EXPECT_TRUE(extractResourceToFile(nullptr, L"TVTEST", 301, target));
    EXPECT_EQ(bytesOf(target), expected);

    // An existing file is replaced.
    ASSERT_TRUE(tst::writeFile(target, std::string(100000, 'z')));
    EXPECT_TRUE(extractResourceToFile(nullptr, L"TVTEST", 301, target));
    EXPECT_EQ(bytesOf(target), expected);

    EXPECT_FALSE(extractResourceToFile(nullptr, L"TVTEST", 399, dir.file(L"none.bin")));
    EXPECT_FALSE(extractResourceToFile(nullptr, L"NOSUCHTYPE", 301, dir.file(L"none.bin")));
    EXPECT_FALSE(tst::fileExists(dir.file(L"none.bin")));
    EXPECT_FALSE(extractResourceToFile(nullptr, L"TVTEST", 301, dir.file(L"missing folder\\x.bin")));

    ModuleHandle self;
    std::wstring narrowTarget = dir.file(L"narrow.bin");
    EXPECT_TRUE(self.extractResource("TVTEST", 301, tst::narrow(narrowTarget)));
    EXPECT_EQ(bytesOf(narrowTarget), expected);
}

TEST(ResourceToFile, ShortOrFailedWriteIsAFailure) {
    tst::TempDir dir(L"rsrcshort");
    struct Case {
        const char* name;
        ResourceWriteFn write;
    } cases[] = {
        {"short", [](HANDLE f, const void* data, DWORD size, DWORD* written) -> BOOL {
             return WriteFile(f, data, size / 2, written, nullptr);
         }},
        {"failed", [](HANDLE, const void*, DWORD, DWORD* written) -> BOOL {
             *written = 0;
             SetLastError(ERROR_DISK_FULL);
             return FALSE;
         }},
    };
    for (const Case& c : cases) {
        std::wstring target = dir.file(tst::widen(c.name) + L".bin");
        EXPECT_FALSE(writeResourceToFile(nullptr, L"TVTEST", 301, target, c.write)) << c.name;
        // No truncated copy is left to be taken for the real one.
        EXPECT_FALSE(tst::fileExists(target)) << c.name;
    }
}

TEST(ModuleHandleTest, FreesItsModuleOnceAndMoves) {
    static_assert(!std::is_copy_constructible<ModuleHandle>::value, "a copy would free twice");
    static_assert(!std::is_copy_assignable<ModuleHandle>::value, "a copy would free twice");
    std::wstring path = tst::binDir() + L"\\version_fixture.dll";
    ASSERT_EQ(GetModuleHandleW(path.c_str()), nullptr);
    {
        ModuleHandle a(LoadLibraryW(path.c_str()));
        ASSERT_NE(a.get(), nullptr);
        ModuleHandle b(std::move(a));
        EXPECT_EQ(a.get(), nullptr);
        ModuleHandle c;
        c = std::move(b);
        EXPECT_EQ(b.get(), nullptr);
        EXPECT_NE(GetModuleHandleW(path.c_str()), nullptr);
    }
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
}

TEST(LaunchProcess, StartsWithoutWaitingOrLeakingHandles) {
    tst::TempDir dir(L"launch");
    std::wstring folder = dir.file(L"dir with blanks");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring child = folder + L"\\tv launch child.exe";
    ASSERT_TRUE(sysutiltest::copyChild(child));

    int handlesBefore = openHandleCount();
    std::wstring command = L"\"" + child + L"\" sleep 3000";
    DWORD start = GetTickCount();
    ASSERT_TRUE(launchProcess(command, SW_HIDE));
    EXPECT_LT(GetTickCount() - start, 2500u);
    EXPECT_EQ(openHandleCount(), handlesBefore);

    std::vector<sysutiltest::ChildRecord> records = sysutiltest::waitForRecords(child, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, command);
    EXPECT_EQ(records[0].argv, (std::vector<std::wstring>{child, L"sleep", L"3000"}));
    EXPECT_TRUE(sysutiltest::waitForExit(records[0].pid));

    EXPECT_FALSE(launchProcess(L"\"" + folder + L"\\missing.exe\"", SW_HIDE));
}

TEST_F(PlayerHomeTest, RegistryThenIniThenDefaultFolder) {
    std::wstring regHome = dir_.file(L"reg home");
    std::wstring iniHome = dir_.file(L"ini home");
    std::wstring defaultHome = volumes_.programFiles + L"\\tarvoplayer";

    setRegistryPath(regHome);
    setPlayerInstallPath(iniHome);
    EXPECT_EQ(getPlayerHome(), regHome);
    EXPECT_EQ(getPlayerExePath(), regHome + L"\\TarvoPlayer.exe");
    EXPECT_EQ(getQvPlayerFolder(), regHome + L"\\qvPlayer");
    EXPECT_EQ(getQvPlayerExePath(), regHome + L"\\qvPlayer.exe");

    // Written without a terminator, the value still reads back exactly.
    setRegistryPath(regHome, REG_SZ, false);
    EXPECT_EQ(getPlayerHome(), regHome);
    setRegistryPath(regHome, REG_EXPAND_SZ);
    EXPECT_EQ(getPlayerHome(), regHome);

    // Not a text: the ini decides.
    setRegistryDword(7);
    EXPECT_EQ(getPlayerHome(), iniHome);
    removeRegistryPath();
    EXPECT_EQ(getPlayerHome(), iniHome);
    EXPECT_EQ(adaptIni().getString(L"main", L"install_path"), iniHome);

    setPlayerInstallPath(L"");
    EXPECT_FALSE(isFolder(defaultHome));
    EXPECT_EQ(getPlayerHome(), defaultHome);
    EXPECT_TRUE(isFolder(defaultHome));

    // Loader and hall live in the user data folder.
    EXPECT_EQ(getLoaderExePath(), getUserDataFolder() + L"\\TarvoLoader.exe");
    EXPECT_EQ(getHallExePath(), getUserDataFolder() + L"\\TarvoHall.exe");

    markLaunched();
    EXPECT_EQ(adaptIni().getString(L"main", L"launched"), L"1");
}

TEST_F(PlayerHomeTest, InstallRootIsChosenOncePerProcess) {
    std::wstring first = getDefaultPlayerFolder();
    EXPECT_EQ(first, volumes_.programFiles + L"\\tarvoplayer");

    // The extraction filled the Program Files drive; another drive now has room.
    volumes_.drives = {{volumes_.drives[0].letter, 1 * GiB}, {L'Q', 100 * GiB}};
    ASSERT_EQ(ravel::disk::chooseInstallRoot(0x140000000ull), L"Q:\\Program Files");
    EXPECT_EQ(getDefaultPlayerFolder(), first);

    // The folder is created again when it went away.
    ASSERT_TRUE(RemoveDirectoryW(first.c_str()));
    EXPECT_EQ(getPlayerHome(), first);
    EXPECT_TRUE(isFolder(first));
}

TEST_F(PlayerHomeTest, EmulatorInstalledAsksTheQvTestEveryTime) {
    std::wstring home = dir_.file(L"player");
    ASSERT_TRUE(CreateDirectoryW(home.c_str(), nullptr));
    setRegistryPath(home);
    setQvInstalledTestForTests(&fakeQvInstalled);
    ASSERT_TRUE(isVBoxEnabled());

    struct Case {
        bool playerFile;
        bool qv;
        bool installed;
    } cases[] = {{false, false, false}, {false, true, true}, {true, false, true}, {true, true, true}};
    for (const Case& c : cases) {
        if (c.playerFile) {
            ASSERT_TRUE(tst::writeFile(home + L"\\TarvoPlayer.exe", "MZ"));
        } else {
            DeleteFileW((home + L"\\TarvoPlayer.exe").c_str());
        }
        g_qvAnswer = c.qv;
        g_qvCalls = 0;
        EXPECT_EQ(isPlayerInstalled(), c.playerFile);
        EXPECT_EQ(isEmulatorInstalled(), c.installed) << c.playerFile << c.qv;
        EXPECT_EQ(g_qvCalls, 1) << c.playerFile << c.qv;
    }
}

// Developer settings are read once per process: this part runs in a copy of the
// test program with a "tarvo-dev.lic" beside it (see OfflineMode below).
TEST(OfflineModeChild, DISABLED_PathsFollowTheProgramFolder) {
    std::wstring program = getProgramFolder();
    wchar_t home[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SYSUTIL_TEST_HOME", home, MAX_PATH);
    ASSERT_FALSE(isOnlineMode());
    EXPECT_EQ(getPlayerHome(), home);
    EXPECT_EQ(getPlayerExePath(), program + L"\\TarvoPlayer.exe");
    EXPECT_EQ(getLoaderExePath(), program + L"\\TarvoLoader.exe");
    EXPECT_EQ(getHallExePath(), program + L"\\TarvoHall.exe");
    EXPECT_EQ(getQvPlayerFolder(), std::wstring(home) + L"\\qvPlayer");

    // "vbox_enabled" = 0: only the Qv engine counts, and it is always asked.
    EXPECT_FALSE(isVBoxEnabled());
    ASSERT_TRUE(tst::writeFile(program + L"\\TarvoPlayer.exe", "MZ"));
    EXPECT_TRUE(isPlayerInstalled());
    setQvInstalledTestForTests(&fakeQvInstalled);
    g_qvAnswer = true;
    EXPECT_TRUE(isEmulatorInstalled());
    g_qvAnswer = false;
    EXPECT_FALSE(isEmulatorInstalled());
    EXPECT_EQ(g_qvCalls, 2);
    setQvInstalledTestForTests(nullptr);

    if (!::testing::Test::HasFailure()) tst::writeFile(program + L"\\offline_ok.txt", "ok");
}

TEST(OfflineMode, PathsFollowTheProgramFolder) {
    tst::TempDir dir(L"offline");
    std::wstring program = dir.file(L"prog");
    std::wstring home = dir.file(L"devhome");
    ASSERT_TRUE(CreateDirectoryW(program.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(home.c_str(), nullptr));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring copy = program + L"\\services_tests.exe";
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
    ASSERT_TRUE(tst::writeFile(program + L"\\tarvo-dev.lic",
                               "online=0\nhome=" + tst::narrow(home) + "\nvbox_enabled=0\n"));

    long rc = tst::runProgram(L"\"" + copy +
                                  L"\" --gtest_also_run_disabled_tests "
                                  L"--gtest_filter=OfflineModeChild.DISABLED_PathsFollowTheProgramFolder",
                              60000, {L"SYSUTIL_TEST_HOME=" + home});
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(tst::fileExists(program + L"\\offline_ok.txt"));
}
