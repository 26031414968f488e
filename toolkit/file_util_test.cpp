#include "toolkit/file_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"
#include "toolkit/seams.h"

namespace {

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

std::vector<std::wstring> readMultiString(HKEY root, const wchar_t* key, const wchar_t* value) {
    std::vector<std::wstring> items;
    HKEY h;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return items;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(h, value, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, 0);
        if (RegQueryValueExW(h, value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) == ERROR_SUCCESS) {
            // Pairs of source and destination; an empty destination means "delete".
            size_t count = size / sizeof(wchar_t);
            size_t start = 0;
            for (size_t i = 0; i <= count && i < data.size(); ++i) {
                if (data[i] == L'\0') {
                    items.push_back(std::wstring(data.data() + start, i - start));
                    start = i + 1;
                }
            }
        }
    }
    RegCloseKey(h);
    return items;
}

bool isPendingDeletion(const std::wstring& path) {
    const std::wstring wanted = L"\\??\\" + path;
    for (const std::wstring& item : readMultiString(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue))
        if (lstrcmpiW(item.c_str(), wanted.c_str()) == 0) return true;
    return false;
}

// Drops the test's own entries again, so a later boot of the prefix has nothing to do.
void forgetPendingUnder(const std::wstring& folder) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &h) !=
        ERROR_SUCCESS)
        return;
    std::vector<std::wstring> items = readMultiString(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue);
    while (!items.empty() && items.back().empty()) items.pop_back();
    std::wstring kept;
    const std::wstring prefix = L"\\??\\" + folder;
    for (size_t i = 0; i < items.size(); i += 2) {
        const std::wstring& source = items[i];
        const std::wstring target = i + 1 < items.size() ? items[i + 1] : std::wstring();
        if (source.compare(0, prefix.size(), prefix) == 0) continue;
        kept += source;
        kept += L'\0';
        kept += target;
        kept += L'\0';
    }
    if (kept.empty()) {
        RegDeleteValueW(h, kPendingValue);
    } else {
        kept += L'\0';
        RegSetValueExW(h, kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
    }
    RegCloseKey(h);
}

std::wstring systemDll(const wchar_t* name) {
    wchar_t dir[MAX_PATH] = {0};
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + name;
}

// A copy of a system DLL, loaded: it cannot be deleted but can be moved.
class LoadedDllCopy {
public:
    explicit LoadedDllCopy(const std::wstring& path) : path_(path) {
        if (CopyFileW(systemDll(L"version.dll").c_str(), path.c_str(), FALSE))
            module_ = LoadLibraryW(path.c_str());
    }
    ~LoadedDllCopy() {
        if (module_) FreeLibrary(module_);
    }
    bool loaded() const { return module_ != nullptr; }

private:
    std::wstring path_;
    HMODULE module_ = nullptr;
};

// A file held open without FILE_SHARE_DELETE: neither deletable nor movable.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path) {
        tst::writeFile(path, "held");
        handle_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    }
    ~HeldFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

bool makeDir(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

std::string readAll(const std::wstring& path) {
    std::string bytes;
    tst::readFile(path, bytes);
    return bytes;
}

// A host symbolic link at `link` pointing to `target` (both Windows paths).
bool makeHostLink(const std::wstring& target, const std::wstring& link) {
    return tst::runLinux("ln -s " + tst::shQuote(tst::unixPath(target)) + " " +
                         tst::shQuote(tst::unixPath(link)));
}

void removeHostLink(const std::wstring& link) {
    tst::runLinux("rm -f " + tst::shQuote(tst::unixPath(link)));
}

}  // namespace

TEST(FileUtilTest, PathTests) {
    tst::TempDir dir(L"fu");
    const std::wstring file = dir.file(L"f.bin");
    ASSERT_TRUE(tst::writeFile(file, "12345"));
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(pathExists(dir.path()));
    EXPECT_FALSE(pathExists(dir.file(L"missing")));
    EXPECT_TRUE(isDirectory(dir.path()));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_TRUE(isRelative(L"a\\b"));
    EXPECT_FALSE(isRelative(L"C:\\a"));
    const std::string narrow = tst::narrow(file);  // ASCII temp path
    EXPECT_TRUE(pathExistsA(narrow));
    EXPECT_EQ(fileSizeA(narrow), 5u);
    EXPECT_EQ(fileSizeA(tst::narrow(dir.file(L"missing"))), 0u);
}

// Roots and other dangerous shapes are checked through the guard alone: handing
// them to an operation would, on a regression, delete the prefix's drive or,
// for "\", the root of the current drive.
TEST(FileUtilTest, GuardRefusesDangerousPaths) {
    const wchar_t* refused[] = {
        L"",          L"\\",          L"/",           L"\\\\",         L"C:",
        L"c:",        L"C:\\",        L"C:/",         L"C:\\\\",       L"\\\\srv",
        L"\\\\srv\\share", L"\\\\srv\\share\\", L"//srv/share", L"C:\\t\\w*",   L"C:\\t\\w?.txt",
        L"C:\\t\\a\\..\\b", L"C:\\t\\..",  L"..\\x",       L"C:\\.",        L"C:\\t\\. \\x",
        L"C:..\\x",   L"\\\\?\\C:\\", L"\\\\?\\UNC\\srv\\share", L"C:\\t\\a|b", L"C:\\t\\a\nb",
        // Rooted on the current drive (an empty folder joined with a name) and relative.
        L"\\x",       L"/x",          L"\\t\\x",      L"x",            L"rel\\x",
        L"C:x",       L"c:t\\x",
    };
    for (const wchar_t* path : refused)
        EXPECT_TRUE(isRefusedPath(path)) << testing::PrintToString(std::wstring(path));
    const wchar_t* accepted[] = {L"C:\\t\\x", L"C:\\t\\a..b", L"C:/t/x", L"\\\\srv\\share\\x",
                                 L"\\\\?\\C:\\x", L"C:\\t\\.hidden"};
    for (const wchar_t* path : accepted) EXPECT_FALSE(isRefusedPath(path)) << testing::PrintToString(std::wstring(path));
}

namespace {
DWORD g_attributesError = 0;
DWORD unreadableAttributes(const wchar_t*) {
    SetLastError(g_attributesError);
    return INVALID_FILE_ATTRIBUTES;
}
}  // namespace

// Only a file that is not there counts as deleted: one whose attributes cannot
// be read (access denied and the like) is a failure of the forced deletion.
TEST(FileUtilTest, ForcedDeletionCountsOnlyAMissingFileAsGone) {
    tst::TempDir dir(L"fu");
    const std::wstring file = dir.file(L"unreadable.txt");
    ASSERT_TRUE(tst::writeFile(file, "u"));
    struct {
        DWORD error;
        bool deleted;
    } cases[] = {
        {ERROR_ACCESS_DENIED, false}, {ERROR_SHARING_VIOLATION, false}, {ERROR_INVALID_NAME, false},
        {ERROR_FILE_NOT_FOUND, true}, {ERROR_PATH_NOT_FOUND, true},
    };
    for (const auto& c : cases) {
        g_attributesError = c.error;
        setFileAttributesQueryForTests(&unreadableAttributes);
        const bool result = forceDeletePath(file).value();
        setFileAttributesQueryForTests(nullptr);
        EXPECT_EQ(c.deleted, result) << c.error;
        EXPECT_TRUE(tst::fileExists(file)) << c.error;
    }
}

// Every guarded operation refuses a dangerous path that names a sandbox, and
// the sandbox keeps everything in it.
TEST(FileUtilTest, GuardedOperationsLeaveTheSandboxAlone) {
    tst::TempDir dir(L"fu");
    const std::wstring box = dir.file(L"box");
    const std::wstring boxName = L"box";
    ASSERT_TRUE(makeDir(box));
    ASSERT_TRUE(tst::writeFile(box + L"\\x", "x"));
    ASSERT_TRUE(tst::writeFile(box + L"\\y", "y"));
    // A file whose path has 300 characters, made through the long-path prefix.
    std::wstring deep = box;
    while (deep.size() < 280) {
        deep += L"\\" + std::wstring(40, L'd');
        CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr);
    }
    std::wstring longFile = deep + L"\\" + std::wstring(300 - deep.size() - 1, L'f');
    ASSERT_EQ(300u, longFile.size());
    const bool longMade = tst::writeFile(L"\\\\?\\" + longFile, "l");

    const std::wstring cases[] = {
        box + L"\\..\\" + boxName + L"\\x",
        box + L"\\*",
        box + L"\\?",
        longFile,
        L"\\\\?\\" + box + L"\\*",
        L"\\\\?\\" + box + L"\\..\\" + boxName + L"\\x",
    };
    for (const std::wstring& path : cases) {
        SCOPED_TRACE(testing::PrintToString(path));
        EXPECT_FALSE(deletePath(path).value());
        EXPECT_FALSE(deletePath(path, true).value());
        EXPECT_FALSE(deletePathA(tst::narrow(path)).value());
        EXPECT_FALSE(forceDeletePath(path).value());
        EXPECT_FALSE(forceDeletePathExcept(path, L"y").value());
        EXPECT_FALSE(movePath(path, dir.file(L"moved")).value());
        EXPECT_FALSE(copyPath(path, dir.file(L"copied")).value());
        EXPECT_EQ(-1, shellFileOperation(FO_DELETE, path, L"", FOF_SILENT | FOF_NOCONFIRMATION));
        EXPECT_TRUE(tst::fileExists(box + L"\\x"));
        EXPECT_TRUE(tst::fileExists(box + L"\\y"));
        if (longMade) {
            EXPECT_TRUE(tst::fileExists(L"\\\\?\\" + longFile));
        }
    }
    EXPECT_FALSE(pathExists(dir.file(L"moved")));
    EXPECT_FALSE(pathExists(dir.file(L"copied")));
    // Long names are removed here, deepest first.
    DeleteFileW((L"\\\\?\\" + longFile).c_str());
    while (deep.size() > box.size()) {
        RemoveDirectoryW((L"\\\\?\\" + deep).c_str());
        deep.resize(deep.rfind(L'\\'));
    }
}

TEST(FileUtilTest, GuardLeavesWildcardAndDotDotMatchesAlone) {
    tst::TempDir dir(L"fu");
    const std::wstring t = dir.file(L"t");
    ASSERT_TRUE(makeDir(t));
    ASSERT_TRUE(makeDir(t + L"\\a"));
    ASSERT_TRUE(tst::writeFile(t + L"\\w1.txt", "1"));
    ASSERT_TRUE(tst::writeFile(t + L"\\w2.txt", "2"));
    ASSERT_TRUE(tst::writeFile(t + L"\\b", "b"));

    EXPECT_FALSE(deletePath(t + L"\\w*").value());
    EXPECT_FALSE(deletePath(t + L"\\w?.txt").value());
    EXPECT_FALSE(forceDeletePath(t + L"\\w*").value());
    EXPECT_FALSE(movePath(t + L"\\w*", dir.file(L"moved")).value());
    EXPECT_FALSE(deletePath(t + L"\\a\\..\\b").value());
    EXPECT_FALSE(forceDeletePath(t + L"\\a\\..").value());
    EXPECT_FALSE(deletePathA(tst::narrow(t) + "\\*").value());

    EXPECT_TRUE(tst::fileExists(t + L"\\w1.txt"));
    EXPECT_TRUE(tst::fileExists(t + L"\\w2.txt"));
    EXPECT_TRUE(tst::fileExists(t + L"\\b"));
    EXPECT_TRUE(isDirectory(t + L"\\a"));
    EXPECT_FALSE(pathExists(dir.file(L"moved")));
}

TEST(FileUtilTest, DeletePathCases) {
    tst::TempDir dir(L"fu");
    EXPECT_TRUE(deletePath(dir.file(L"missing.txt")).value());

    const std::wstring readOnly = dir.file(L"ro.txt");
    ASSERT_TRUE(tst::writeFile(readOnly, "r"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(deletePath(readOnly).value());
    EXPECT_FALSE(pathExists(readOnly));

    const std::wstring tree = dir.file(L"tree");
    ASSERT_TRUE(makeDir(tree));
    ASSERT_TRUE(makeDir(tree + L"\\sub"));
    ASSERT_TRUE(tst::writeFile(tree + L"\\sub\\x.txt", "x"));
    ASSERT_TRUE(tst::writeFile(tree + L"\\y.txt", "y"));
    EXPECT_TRUE(deletePath(tree).value());
    EXPECT_FALSE(pathExists(tree));

    const std::wstring narrowFile = dir.file(L"narrow.txt");
    ASSERT_TRUE(tst::writeFile(narrowFile, "n"));
    EXPECT_TRUE(deletePathA(tst::narrow(narrowFile)).value());
    EXPECT_FALSE(pathExists(narrowFile));

    const std::wstring heldPath = dir.file(L"held.txt");
    {
        HeldFile held(heldPath);
        ASSERT_TRUE(held.held());
        EXPECT_FALSE(deletePath(heldPath).value());
        EXPECT_FALSE(forceDeletePath(heldPath).value());
        EXPECT_TRUE(tst::fileExists(heldPath));
        EXPECT_FALSE(pathExists(dir.file(L"~held.txt")));
    }
}

TEST(FileUtilTest, LoadedDllIsParkedBesideItsFolderAndScheduled) {
    tst::TempDir dir(L"fu");
    const std::wstring folder = dir.file(L"bin");
    ASSERT_TRUE(makeDir(folder));
    const std::wstring dll = folder + L"\\v.dll";
    const std::wstring parking = dir.file(L"bin~v.dll");
    // An old parked file of the same name is replaced.
    ASSERT_TRUE(tst::writeFile(parking, "old"));
    {
        LoadedDllCopy loaded(dll);
        ASSERT_TRUE(loaded.loaded());
        ASSERT_FALSE(DeleteFileW(dll.c_str()));

        EXPECT_TRUE(deletePath(dll).value());
        EXPECT_FALSE(pathExists(dll));
        ASSERT_TRUE(pathExists(parking));
        EXPECT_NE(readAll(parking), "old");
        EXPECT_TRUE(isPendingDeletion(parking));
    }
    forgetPendingUnder(dir.path());
    DeleteFileW(parking.c_str());
}

TEST(FileUtilTest, ForceDeleteExceptKeepsListedTopLevelEntries) {
    tst::TempDir dir(L"fu");
    const std::wstring root = dir.file(L"home");
    ASSERT_TRUE(makeDir(root));
    ASSERT_TRUE(tst::writeFile(root + L"\\data", "kept file"));
    ASSERT_TRUE(makeDir(root + L"\\CACHE"));
    ASSERT_TRUE(tst::writeFile(root + L"\\CACHE\\inner.txt", "kept too"));
    ASSERT_TRUE(tst::writeFile(root + L"\\other.txt", "goes"));
    ASSERT_TRUE(makeDir(root + L"\\sub"));
    ASSERT_TRUE(tst::writeFile(root + L"\\sub\\data", "nested, goes"));
    ASSERT_TRUE(tst::writeFile(root + L"\\ro.txt", "goes"));
    SetFileAttributesW((root + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_FALSE(forceDeletePathExcept(root, L"Data;;Cache;").value());
    EXPECT_TRUE(tst::fileExists(root + L"\\data"));
    EXPECT_TRUE(tst::fileExists(root + L"\\CACHE\\inner.txt"));
    EXPECT_FALSE(pathExists(root + L"\\other.txt"));
    EXPECT_FALSE(pathExists(root + L"\\ro.txt"));
    EXPECT_FALSE(pathExists(root + L"\\sub"));

    // An empty keep list keeps nothing.
    EXPECT_TRUE(forceDeletePathExcept(root, L"").value());
    EXPECT_FALSE(pathExists(root));
}

TEST(FileUtilTest, ForceDeleteParksNestedLockedDll) {
    tst::TempDir dir(L"fu");
    const std::wstring root = dir.file(L"tree");
    ASSERT_TRUE(makeDir(root));
    ASSERT_TRUE(makeDir(root + L"\\x"));
    ASSERT_TRUE(tst::writeFile(root + L"\\a.txt", "a"));
    ASSERT_TRUE(tst::writeFile(root + L"\\x\\b.txt", "b"));
    const std::wstring dll = root + L"\\x\\v.dll";
    {
        LoadedDllCopy loaded(dll);
        ASSERT_TRUE(loaded.loaded());
        forceDeletePath(root).ignore();
        EXPECT_FALSE(pathExists(dll));
        EXPECT_FALSE(pathExists(root + L"\\a.txt"));
        EXPECT_FALSE(pathExists(root + L"\\x\\b.txt"));
        // Parked beside its folder x (inside the tree), or, when the enumeration met
        // the parked file again, beside the tree.
        const std::wstring parkedInTree = root + L"\\x~v.dll";
        const std::wstring parkedBeside = dir.file(L"tree~x~v.dll");
        EXPECT_TRUE(isPendingDeletion(parkedInTree) || isPendingDeletion(parkedBeside));
        EXPECT_TRUE(pathExists(parkedInTree) || pathExists(parkedBeside));
    }
    forgetPendingUnder(dir.path());
}

TEST(FileUtilTest, LinksAreRemovedNeverFollowed) {
    tst::TempDir dir(L"fu");
    const std::wstring sandbox = dir.file(L"sandbox");
    const std::wstring marker = sandbox + L"\\marker.txt";
    ASSERT_TRUE(makeDir(sandbox));
    ASSERT_TRUE(tst::writeFile(marker, "keep me"));
    const std::wstring tree = dir.file(L"tree");
    ASSERT_TRUE(makeDir(tree));
    ASSERT_TRUE(makeDir(tree + L"\\inner"));
    ASSERT_TRUE(tst::writeFile(tree + L"\\inner\\f.txt", "f"));
    const std::wstring nestedLink = tree + L"\\inner\\link";
    const std::wstring topLink = dir.file(L"toplink");
    ASSERT_TRUE(makeHostLink(sandbox, nestedLink));
    ASSERT_TRUE(makeHostLink(sandbox, topLink));
    DWORD attributes = GetFileAttributesW(nestedLink.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);

    // The link itself may or may not be removable here; what it points to stays.
    forceDeletePath(tree).ignore();
    EXPECT_TRUE(tst::fileExists(marker));
    EXPECT_FALSE(pathExists(tree + L"\\inner\\f.txt"));

    forceDeletePathExcept(topLink, L"").ignore();
    EXPECT_TRUE(tst::fileExists(marker));

    // The shell would follow the links; deletePath must not hand such trees to it.
    ASSERT_TRUE(tst::writeFile(tree + L"\\g.txt", "g"));
    deletePath(tree).ignore();
    EXPECT_TRUE(tst::fileExists(marker));
    deletePath(topLink).ignore();
    deletePath(topLink, true).ignore();
    EXPECT_TRUE(tst::fileExists(marker));
    // Every shell delete goes through the one operation, which refuses them too.
    EXPECT_EQ(shellFileOperation(FO_DELETE, tree, L"", FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI), -1);
    EXPECT_EQ(shellFileOperation(FO_DELETE, topLink, L"", FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI), -1);
    EXPECT_TRUE(tst::fileExists(marker));

    removeHostLink(nestedLink);
    removeHostLink(topLink);
}

TEST(FileUtilTest, MoveAndCopy) {
    tst::TempDir dir(L"fu");
    const std::wstring source = dir.file(L"src.txt");
    ASSERT_TRUE(tst::writeFile(source, "payload"));
    EXPECT_TRUE(copyPath(source, dir.file(L"copy.txt")).value());
    EXPECT_EQ(readAll(dir.file(L"copy.txt")), "payload");
    EXPECT_TRUE(tst::fileExists(source));

    const std::wstring folder = dir.file(L"folder");
    ASSERT_TRUE(makeDir(folder));
    ASSERT_TRUE(tst::writeFile(folder + L"\\in.txt", "in"));
    EXPECT_TRUE(movePath(folder, dir.file(L"moved")).value());
    EXPECT_FALSE(pathExists(folder));
    EXPECT_EQ(readAll(dir.file(L"moved\\in.txt")), "in");

    EXPECT_FALSE(copyPath(dir.file(L"missing.txt"), dir.file(L"x.txt")).value());
    // (Wine's shell reports the move of a missing source as done; not pinned.)
    movePath(dir.file(L"missing.txt"), dir.file(L"y.txt")).ignore();
    EXPECT_FALSE(pathExists(dir.file(L"y.txt")));
}

TEST(FileUtilTest, PathsUpTo259CharactersWorkLongerOnesAreRefused) {
    tst::TempDir dir(L"fu");
    std::wstring folder = dir.file(std::wstring(100, L'd'));
    ASSERT_TRUE(makeDir(folder));
    ASSERT_LT(folder.size(), 250u);
    // A file path of exactly 259 characters, and one of 260 (made through "\\?\").
    const std::wstring file259 = folder + L"\\" + std::wstring(259 - folder.size() - 1, L'f');
    const std::wstring file260 = folder + L"\\" + std::wstring(260 - folder.size() - 1, L'g');
    ASSERT_EQ(file259.size(), 259u);
    ASSERT_EQ(file260.size(), 260u);
    ASSERT_TRUE(tst::writeFile(file259, "259"));
    ASSERT_TRUE(tst::writeFile(L"\\\\?\\" + file260, "260"));

    const std::wstring copy259 = folder + L"\\" + std::wstring(259 - folder.size() - 1, L'c');
    EXPECT_TRUE(copyPath(file259, copy259).value());
    EXPECT_TRUE(tst::fileExists(copy259));
    EXPECT_TRUE(deletePath(file259).value());
    EXPECT_FALSE(tst::fileExists(file259));
    EXPECT_TRUE(deletePath(copy259).value());

    EXPECT_FALSE(deletePath(file260).value());
    EXPECT_FALSE(forceDeletePath(file260).value());
    EXPECT_FALSE(copyPath(file260, dir.file(L"c.txt")).value());
    EXPECT_FALSE(copyPath(dir.file(L"none"), file260).value());
    EXPECT_EQ(shellFileOperation(FO_DELETE, file260, L"", FOF_SILENT | FOF_NOCONFIRMATION), -1);
    EXPECT_TRUE(tst::fileExists(L"\\\\?\\" + file260));
    DeleteFileW((L"\\\\?\\" + file260).c_str());
}

TEST(FileUtilTest, CreateDirectories) {
    tst::TempDir dir(L"fu");
    const std::wstring nested = dir.file(L"a\\b\\c\\");
    EXPECT_TRUE(createDirectories(nested).value());
    EXPECT_TRUE(isDirectory(dir.file(L"a\\b\\c")));
    EXPECT_TRUE(createDirectories(dir.file(L"a\\b")).value());

    const std::wstring file = dir.file(L"f.txt");
    ASSERT_TRUE(tst::writeFile(file, "f"));
    ravel::object::ErrorCode inTheWay = createDirectories(file);
    EXPECT_FALSE(inTheWay.value());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_FALSE(createDirectories(file + L"\\sub").value());

    // No backslash: no parent to recurse into.
    EXPECT_FALSE(createDirectories(L"").value());
    wchar_t cwd[MAX_PATH] = {0};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    EXPECT_TRUE(createDirectories(L"rel").value());
    SetCurrentDirectoryW(cwd);
    EXPECT_TRUE(isDirectory(dir.file(L"rel")));
    if (GetDriveTypeW(L"Q:\\") == DRIVE_NO_ROOT_DIR) {
        EXPECT_FALSE(createDirectories(L"Q:").value());
    }
    EXPECT_FALSE(createDirectories(L"C:\\" + std::wstring(300, L'x')).value());
}
