#include "toolkit/shell_util.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/support/test_support.h"
#include "toolkit/file_util.h"
#include "toolkit/string_util.h"

namespace {

using tst::LinkInfo;
using tst::readLink;

bool runningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComScope() { CoUninitialize(); }
};

}  // namespace

TEST(ShellUtilTest, SpecialFolderAndModulePath) {
    const std::wstring appData = getSpecialFolder(CSIDL_APPDATA, L"fallback");
    EXPECT_NE(appData, L"fallback");
    EXPECT_TRUE(isDirectory(appData));
    EXPECT_EQ(getSpecialFolder(0x7FFF, L"fallback"), L"fallback");
    EXPECT_EQ(getSpecialFolder(0x7FFF, L""), L"");

    wchar_t raw[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, raw, MAX_PATH);
    const std::wstring self = getModulePath();
    EXPECT_EQ(toLowerCopy(self), toLowerCopy(raw));
    EXPECT_TRUE(pathExists(self));
    const std::wstring lower = toLowerCopy(self);
    EXPECT_EQ(lower.substr(lower.size() - 4), L".exe");
}

TEST(ShellUtilTest, ShortcutNamesGetTheLinkExtensionOnce) {
    ComScope com;
    tst::TempDir dir(L"su");
    const std::wstring target = dir.file(L"Player.exe");
    ASSERT_TRUE(tst::writeFile(target, "MZ"));
    struct {
        const wchar_t* name;
        const wchar_t* file;
    } cases[] = {{L"Player", L"Player.lnk"},
                 {L"Player.lnk", L"Player.lnk"},
                 {L"Player.LNK", L"Player.LNK.lnk"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        const std::wstring folder = dir.file(std::wstring(L"out_") + c.file);
        EXPECT_TRUE(createShortcut(folder, c.name, target, L"", L"", 0));
        EXPECT_TRUE(tst::fileExists(folder + L"\\" + c.file));
        // Exactly one file was written.
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*.lnk").c_str(), &data);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        EXPECT_EQ(std::wstring(data.cFileName), c.file);
        EXPECT_FALSE(FindNextFileW(find, &data));
        FindClose(find);
    }
}

TEST(ShellUtilTest, ShortcutReadsBackWhatWasWritten) {
    ComScope com;
    tst::TempDir dir(L"su");
    const std::wstring app = dir.file(L"app");
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
    const std::wstring target = app + L"\\Player.exe";
    const std::wstring icon = app + L"\\icon.ico";
    ASSERT_TRUE(tst::writeFile(target, "MZ"));
    ASSERT_TRUE(tst::writeFile(icon, "ico"));
    // The folder is missing and made with its parents.
    const std::wstring folder = dir.file(L"links\\deeper");

    ASSERT_TRUE(createShortcut(folder, L"Full", target, L"--app-id 7", icon, 2));
    LinkInfo full = readLink(folder + L"\\Full.lnk");
    ASSERT_TRUE(full.loaded);
    EXPECT_EQ(toLowerCopy(full.path), toLowerCopy(target));
    EXPECT_EQ(full.arguments, L"--app-id 7");
    EXPECT_EQ(toLowerCopy(full.workingFolder), toLowerCopy(app));
    EXPECT_EQ(toLowerCopy(full.iconPath), toLowerCopy(icon));
    EXPECT_EQ(full.iconIndex, 2);

    ASSERT_TRUE(createShortcut(folder, L"DefaultIcon", target, L"", L"", 0));
    LinkInfo defaultIcon = readLink(folder + L"\\DefaultIcon.lnk");
    ASSERT_TRUE(defaultIcon.loaded);
    EXPECT_EQ(toLowerCopy(defaultIcon.iconPath), toLowerCopy(target));

    ASSERT_TRUE(createShortcut(folder, L"NoIcon", target, L"", icon, -1));
    LinkInfo noIcon = readLink(folder + L"\\NoIcon.lnk");
    ASSERT_TRUE(noIcon.loaded);
    EXPECT_EQ(noIcon.iconPath, L"");

    // An existing shortcut is replaced.
    ASSERT_TRUE(createShortcut(folder, L"Full", target, L"--other", icon, 1));
    EXPECT_EQ(readLink(folder + L"\\Full.lnk").arguments, L"--other");
}

TEST(ShellUtilTest, ShortcutFailuresWriteNothing) {
    ComScope com;
    tst::TempDir dir(L"su");
    const std::wstring target = dir.file(L"Player.exe");
    ASSERT_TRUE(tst::writeFile(target, "MZ"));

    const bool rootHadOne = pathExists(L"\\EmptyFolderCase.lnk");
    EXPECT_FALSE(createShortcut(L"", L"EmptyFolderCase", target, L"", L"", 0));
    EXPECT_FALSE(createUrlShortcut(L"", L"EmptyFolderCase", L"http://127.0.0.1/", L"d", L""));
    if (!rootHadOne) {
        EXPECT_FALSE(pathExists(L"\\EmptyFolderCase.lnk"));
        EXPECT_FALSE(pathExists(L"\\EmptyFolderCase.url"));
    }

    // A folder below a file cannot be made: the save fails and that is reported.
    const std::wstring blocker = dir.file(L"f.txt");
    ASSERT_TRUE(tst::writeFile(blocker, "f"));
    EXPECT_FALSE(createShortcut(blocker + L"\\sub", L"Player", target, L"", L"", 0));
    EXPECT_FALSE(pathExists(blocker + L"\\sub\\Player.lnk"));
}

TEST(ShellUtilTest, UrlShortcut) {
    ComScope com;
    tst::TempDir dir(L"su");
    const bool made = createUrlShortcut(dir.path(), L"Site", L"http://127.0.0.1/x", L"A site", L"");
    if (runningOnWine()) {
        // Wine's internet shortcut offers no shell-link interface.
        EXPECT_FALSE(made);
        EXPECT_FALSE(pathExists(dir.file(L"Site.url")));
        return;
    }
    EXPECT_TRUE(made);
    std::string bytes;
    ASSERT_TRUE(tst::readFile(dir.file(L"Site.url"), bytes));
    EXPECT_NE(bytes.find("http://127.0.0.1/x"), std::string::npos);
    EXPECT_TRUE(createUrlShortcut(dir.path(), L"Site.url", L"http://127.0.0.1/y", L"", L""));
    EXPECT_FALSE(pathExists(dir.file(L"Site.url.url")));
}

TEST(ShellUtilTest, ShortcutNeverDeletesAFolderAtItsPath) {
    ComScope com;
    tst::TempDir dir(L"su");
    const std::wstring target = dir.file(L"Player.exe");
    ASSERT_TRUE(tst::writeFile(target, "MZ"));
    for (const wchar_t* name : {L"Blocked.lnk", L"Blocked.url"}) {
        ASSERT_TRUE(CreateDirectoryW(dir.file(name).c_str(), nullptr));
        ASSERT_TRUE(tst::writeFile(dir.file(name) + L"\\keep.txt", "mine"));
    }

    EXPECT_FALSE(createShortcut(dir.path(), L"Blocked", target, L"", L"", 0));
    EXPECT_FALSE(createUrlShortcut(dir.path(), L"Blocked", L"http://127.0.0.1/", L"", L""));
    for (const wchar_t* name : {L"Blocked.lnk", L"Blocked.url"}) {
        std::string kept;
        EXPECT_TRUE(tst::readFile(dir.file(name) + L"\\keep.txt", kept)) << tst::narrow(name);
        EXPECT_EQ("mine", kept);
    }

    // A plain file of the name still gives way.
    ASSERT_TRUE(tst::writeFile(dir.file(L"Plain.lnk"), "junk"));
    EXPECT_TRUE(createShortcut(dir.path(), L"Plain", target, L"", L"", 0));
    EXPECT_TRUE(readLink(dir.file(L"Plain.lnk")).loaded);
}
