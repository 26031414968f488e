#include "toolkit/disk_util.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <map>

#include "testing/support/test_support.h"
#include "toolkit/seams.h"

using namespace ravel::disk;

namespace {

struct Drive {
    UINT type = DRIVE_FIXED;
    bool freeOk = true;
    uint64_t free = 0;
    std::wstring fs = L"NTFS";
    int bus = 1;  // SCSI
    bool dir = true;
    bool writable = true;
};

class ScriptedFacts : public VolumeFacts {
public:
    std::vector<std::pair<std::wstring, Drive>> drives;  // in listing order, keyed "C:\"
    std::wstring programFiles = L"C:\\Program Files (x86)";
    int tempFileProbes = 0;

    Drive* find(const std::wstring& path) {
        for (auto& d : drives)
            if (!path.empty() && towupper(path[0]) == towupper(d.first[0])) return &d.second;
        return nullptr;
    }
    std::vector<std::wstring> logicalDrives() override {
        std::vector<std::wstring> out;
        for (auto& d : drives) out.push_back(d.first);
        return out;
    }
    UINT driveType(const std::wstring& root) override { Drive* d = find(root); return d ? d->type : DRIVE_NO_ROOT_DIR; }
    bool freeBytesToCaller(const std::wstring& path, uint64_t& bytes) override {
        Drive* d = find(path);
        if (!d || !d->freeOk) return false;
        bytes = d->free;
        return true;
    }
    std::wstring fileSystemName(const std::wstring& root) override { Drive* d = find(root); return d ? d->fs : L""; }
    int busType(const std::wstring& dev) override {
        EXPECT_EQ(dev.substr(0, 4), L"\\\\.\\");
        Drive* d = find(dev.substr(4));
        return d ? d->bus : -1;
    }
    bool isDirectory(const std::wstring& path) override { Drive* d = find(path); return d && d->dir; }
    bool canCreateTempFile(const std::wstring& path) override {
        ++tempFileProbes;
        Drive* d = find(path);
        return d && d->writable;
    }
    std::wstring programFilesFolder() override { return programFiles; }
};

struct FactsScope {
    explicit FactsScope(VolumeFacts* f) { setVolumeFacts(f); }
    ~FactsScope() { setVolumeFacts(nullptr); }
};

const uint64_t GiB = 1024ull * 1024 * 1024;
const uint64_t kMin = 0x140000000ull;

}  // namespace

TEST(SizeText, UnitsChangeAtOneThousand) {
    struct { uint64_t bytes; const wchar_t* text; } cases[] = {
        {0, L"0B"}, {999, L"999B"}, {1000, L"0K"}, {1536, L"1K"}, {1023999, L"999K"}, {1048575, L"1.00M"},
        {1024000, L"0.98M"}, {1048576, L"1.00M"}, {5 * GiB, L"5.00G"}, {1000ull * 1024 * GiB, L""},
    };
    for (auto& c : cases) EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
}

TEST(InstallRoot, ChoiceTable) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::wstring, Drive>> drives;
        std::wstring expected;
    };
    Drive roomy;  roomy.free = 10 * GiB;
    Drive tight;  tight.free = 1 * GiB;
    Drive tiny;   tiny.free = 100 * 1024 * 1024;
    Drive more;   more.free = 4 * GiB;
    Drive hfs = more;  hfs.fs = L"HFS+";
    Drive usb = more;  usb.bus = 7;
    Drive ieee = more; ieee.bus = 4;
    Drive ro = more;   ro.writable = false;
    Drive net = more;  net.type = DRIVE_REMOTE;
    Drive pfBroken = roomy; pfBroken.freeOk = false;
    const std::wstring pf = L"C:\\Program Files (x86)";
    std::vector<Case> cases = {
        {"program files drive has room", {{L"C:\\", roomy}, {L"D:\\", more}}, pf},
        {"only the system drive, short of room", {{L"C:\\", tight}}, pf},
        {"D: has more room", {{L"C:\\", tight}, {L"D:\\", more}}, L"D:\\Program Files"},
        {"D: has less room", {{L"C:\\", more}, {L"D:\\", tiny}}, pf},
        {"later of two equal drives", {{L"C:\\", tight}, {L"D:\\", more}, {L"E:\\", more}}, L"E:\\Program Files"},
        {"HFS+ skipped", {{L"C:\\", tight}, {L"D:\\", hfs}}, pf},
        {"USB skipped", {{L"C:\\", tight}, {L"D:\\", usb}}, pf},
        {"1394 skipped", {{L"C:\\", tight}, {L"D:\\", ieee}}, pf},
        {"unwritable skipped", {{L"C:\\", tight}, {L"D:\\", ro}}, pf},
        {"network drive skipped", {{L"C:\\", tight}, {L"Z:\\", net}}, pf},
        {"program files drive unreadable", {{L"C:\\", pfBroken}, {L"D:\\", tiny}}, L"D:\\Program Files"},
        {"lower-case program files drive is still skipped", {{L"c:\\", tight}}, pf},
    };
    for (auto& c : cases) {
        ScriptedFacts f;
        f.drives = c.drives;
        FactsScope scope(&f);
        EXPECT_EQ(chooseInstallRoot(kMin), c.expected) << c.name;
    }
}

TEST(InstallRoot, BestDataDriveReportsItsSize) {
    ScriptedFacts f;
    Drive c; c.free = 1 * GiB;
    Drive d; d.free = 0;  // taken when nothing better is there
    f.drives = {{L"C:\\", c}, {L"D:\\", d}};
    FactsScope scope(&f);
    std::wstring drive, text;
    EXPECT_TRUE(findBestDataDrive(drive, text));
    EXPECT_EQ(drive, L"D:\\");
    EXPECT_EQ(text, L"0B");
}

TEST(UsableFolder, FileSystemAndWriteTests) {
    struct { const wchar_t* fs; bool dir; bool writable; bool usable; } cases[] = {
        {L"NTFS", true, true, true}, {L"HFS", true, true, false}, {L"HFS+", true, true, false},
        {L"hfs+", true, true, true}, {L"NTFS", false, true, false}, {L"NTFS", true, false, false},
    };
    for (auto& c : cases) {
        ScriptedFacts f;
        Drive d; d.fs = c.fs; d.dir = c.dir; d.writable = c.writable;
        f.drives = {{L"D:\\", d}};
        FactsScope scope(&f);
        EXPECT_EQ(isUsableFolder(L"D:\\data"), c.usable) << c.fs << c.dir << c.writable;
    }
}

TEST(DriveTests, TextMustNameADrive) {
    ScriptedFacts f;
    Drive usb; usb.bus = 7;
    f.drives = {{L"C:\\", Drive()}, {L"E:\\", usb}};
    FactsScope scope(&f);
    for (const wchar_t* t : {L"", L"C", L"C:", L"CC\\"}) {
        EXPECT_FALSE(isRemovableBus(t)) << t;
    }
    for (const wchar_t* t : {L"", L"C"}) EXPECT_FALSE(isFixedLocalDrive(t)) << t;
    EXPECT_TRUE(isRemovableBus(L"E:\\"));
    EXPECT_TRUE(isRemovableBus(L"E:/x"));
    EXPECT_FALSE(isFixedLocalDrive(L"E:\\"));  // a USB disk reported as fixed
    EXPECT_TRUE(isFixedLocalDrive(L"c:\\folder"));
    EXPECT_FALSE(isFixedLocalDrive(L"Q:\\"));
}

TEST(DriveTests, RealSystemDrive) {
    // Under the test prefix C: is a fixed drive on the SCSI bus; Z: (the host) is not fixed.
    EXPECT_FALSE(isRemovableBus(L"C:\\"));
    EXPECT_TRUE(isFixedLocalDrive(L"C:\\"));
    EXPECT_FALSE(isFixedLocalDrive(L"Z:\\"));
    EXPECT_FALSE(volumeFileSystem(L"C:\\").empty());
    tst::TempDir dir;
    EXPECT_TRUE(isUsableFolder(dir.path()));
    EXPECT_FALSE(isUsableFolder(dir.file(L"missing")));
    // The probe file is removed again.
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir.path() + L"\\IDT*").c_str(), &fd);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    // The real choice never lands outside the prefix's drives.
    std::wstring root = chooseInstallRoot(kMin);
    ASSERT_FALSE(root.empty());
    EXPECT_NE(towupper(root[0]), L'Z');
}

namespace {
bool noProgramFiles(std::wstring&) { return false; }

struct EnvScope {
    std::wstring name, saved;
    bool had;
    EnvScope(const wchar_t* n, const wchar_t* value) : name(n) {
        wchar_t buf[MAX_PATH] = {};
        DWORD got = GetEnvironmentVariableW(n, buf, MAX_PATH);
        had = got > 0 && got < MAX_PATH;
        saved = had ? buf : L"";
        SetEnvironmentVariableW(n, value);
    }
    ~EnvScope() { SetEnvironmentVariableW(name.c_str(), had ? saved.c_str() : nullptr); }
};
}  // namespace

// The Program Files folder is the shell's CSIDL 38 (on the x86_64 test build
// "C:\Program Files", not the x86 folder); when the shell cannot say, the
// environment's value, never an empty text.
TEST(ProgramFiles, ShellFolderThirtyEightElseTheEnvironment) {
    wchar_t shell[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, shell, CSIDL_PROGRAM_FILES, FALSE));
    EXPECT_EQ(std::wstring(shell), programFilesFolder());
    EXPECT_EQ(std::wstring(shell), systemVolumeFacts().programFilesFolder());
#ifdef TARVO_TEST_BUILD_64
    EXPECT_EQ(L"C:\\Program Files", programFilesFolder());
#endif

    EnvScope env(L"ProgramFiles", L"C:\\PF from the environment");
    setProgramFilesLookupForTests(&noProgramFiles);
    EXPECT_EQ(L"C:\\PF from the environment", programFilesFolder());
    EXPECT_EQ(L"C:\\PF from the environment", systemVolumeFacts().programFilesFolder());
    setProgramFilesLookupForTests(nullptr);
}

// Under Wine GetTempFileNameW answers success in a folder it cannot write to:
// only the probe file's presence shows that the folder takes files.
TEST(UsableFolder, AFolderThatTakesNoFileIsNotUsable) {
    tst::TempDir dir;
    const std::wstring folder = dir.file(L"locked");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(isUsableFolder(folder));
    const std::string unix = tst::shQuote(tst::unixPath(folder));
    int rc = -1;
    // Root ignores the mode bits; an immutable folder refuses even root.
    const bool locked = tst::runLinux("chattr +i " + unix + " 2>/dev/null || chmod a-w " + unix, 10000, &rc) && rc == 0;
    struct Unlock {
        std::string unix;
        ~Unlock() { tst::runLinux("chattr -i " + unix + " 2>/dev/null; chmod u+w " + unix, 10000); }
    } unlock{unix};
    ASSERT_TRUE(locked);
    HANDLE probe = CreateFileW((folder + L"\\probe.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        GTEST_SKIP() << "this machine cannot make a folder unwritable";
    }
    EXPECT_FALSE(isUsableFolder(folder));
}
