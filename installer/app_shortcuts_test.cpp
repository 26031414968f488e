// Desktop shortcuts of the installed apps: through the places seam into a
// temporary desktop, and through the public operations onto the prefix's desktop,
// with app folders from the fixture in the real apps folder.
#include "installer/app_shortcuts.h"

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "installer/app_list.h"
#include "services/com_init.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/support/app_folders.h"
#include "testing/support/test_support.h"
#include "toolkit/shell_util.h"
#include "toolkit/sys_util.h"

namespace {

const std::wstring kSuffix = L"-\u7535\u8111\u7248.lnk";  // "-电脑版.lnk"

AppInfo app(const std::wstring& id, const std::wstring& name, const std::wstring& pic = std::wstring()) {
    AppInfo a;
    a.id = id;
    a.name = name;
    a.pic = pic;
    return a;
}

std::set<std::wstring> listing(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.insert(data.cFileName);
    while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

std::string logText() {
    std::string text;
    tst::readFile(getLogFolder() + L"\\installer_tests.log", text);
    return text;
}

bool logged(const std::string& line) { return logText().find(line) != std::string::npos; }

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::wstring lower(std::wstring s) {
    CharLowerBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

// A temporary desktop with a fake loader beside it; COM for the test's thread.
class SeamTest : public ::testing::Test {
protected:
    SeamTest() : root_(L"lnk") {
        desktop_ = root_.file(L"Desktop");
        CreateDirectoryW(desktop_.c_str(), nullptr);
        loader_ = root_.file(L"TarvoLoader.exe");
        tst::writeFile(loader_, "MZ");
    }
    ComInitGuard com_;
    tst::TempDir root_;
    std::wstring desktop_, loader_;
};

TEST_F(SeamTest, NamesBecomeOneFileInsideTheDesktop) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"t25names", L"x", L"t25.ico", "icon bytes"));
    const std::wstring longName(150, L'\u957f');
    const std::wstring emoji = std::wstring(99, L'a') + L"\U0001F600";
    struct Row {
        std::wstring name, file;
    } rows[] = {
        {L"Demo", L"Demo"},
        {L"\u5854\u6c83\u793a\u4f8b", L"\u5854\u6c83\u793a\u4f8b"},
        {L"A:B/C*?", L"A_B_C__"},
        {L"x\"<>|y", L"x____y"},
        {L"..\\..\\evil", L".._.._evil"},
        {L"a\tb\nc", L"a_b_c"},
        {L"", L"t25names"},
        {L"   ", L"t25names"},
        {std::wstring(150, L'x'), std::wstring(100, L'x')},
        {emoji, std::wstring(99, L'a')},
        {L"a\xD800z\xDC00", L"a_z_"},
        {L"CON", L"CON"},
    };
    // Cut at 100 units. Written, 100 such characters and the suffix exceed the 255
    // bytes of a Linux file name under Wine, so only the name is checked here.
    EXPECT_EQ(longName.substr(0, 100) + kSuffix, appShortcutFileName(app(L"t25names", longName)));

    const std::set<std::wstring> parentBefore = listing(root_.path());
    for (const Row& r : rows) {
        SCOPED_TRACE(tst::narrow(r.file));
        const AppInfo a = app(L"t25names", r.name, L"t25.ico");
        EXPECT_EQ(r.file + kSuffix, appShortcutFileName(a));
        ASSERT_TRUE(writeAppShortcut(a, desktop_, loader_));
        EXPECT_EQ(std::set<std::wstring>{r.file + kSuffix}, listing(desktop_));
        EXPECT_EQ(parentBefore, listing(root_.path()));

        tst::LinkInfo link = tst::readLink(desktop_ + L"\\" + r.file + kSuffix);
        ASSERT_TRUE(link.loaded);
        EXPECT_EQ(lower(loader_), lower(link.path));
        EXPECT_EQ(L"--app-id t25names", link.arguments);
        EXPECT_EQ(lower(getAppFolder(L"t25names") + L"\\t25.ico"), lower(link.iconPath));
        EXPECT_EQ(0, link.iconIndex);
        deleteAppShortcut(a, desktop_);
        EXPECT_TRUE(listing(desktop_).empty());
    }
}

TEST_F(SeamTest, ANameOutsideTheAnsiCodePageComesBackFromAppIniAsUnderscore) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"t25ansi", L"\u0105pp"));
    LocalAppList list;
    ASSERT_TRUE(list.load());
    AppInfo a;
    ASSERT_GE(list.find(L"t25ansi", a), 0);
    EXPECT_EQ(L"?pp", a.name);
    ASSERT_TRUE(writeAppShortcut(a, desktop_, loader_));
    EXPECT_EQ(std::set<std::wstring>{L"_pp" + kSuffix}, listing(desktop_));
}

TEST_F(SeamTest, OnlySafeIdsGetAShortcut) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    struct Row {
        std::wstring id;
        bool written;
    } rows[] = {
        {L"1001", true},          {L"com.tarvo.game", true}, {L"1 --uninstall", false}, {L"--uninstall", false},
        {L"-s", false},           {L"_x", false},            {L"a\"b", false},          {L"", false},
        {std::wstring(65, L'a'), false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(tst::narrow(r.id));
        const AppInfo a = app(r.id, L"IdCase");
        EXPECT_EQ(r.written, writeAppShortcut(a, desktop_, loader_));
        EXPECT_EQ(r.written, tst::fileExists(desktop_ + L"\\IdCase" + kSuffix));
        if (r.written) {
            EXPECT_EQ(L"--app-id " + r.id, tst::readLink(desktop_ + L"\\IdCase" + kSuffix).arguments);
            deleteAppShortcut(a, desktop_);
            EXPECT_FALSE(tst::fileExists(desktop_ + L"\\IdCase" + kSuffix));
        } else {
            EXPECT_TRUE(logged("app shortcut skipped, unsafe app id: " + wideToNarrow(r.id)));
        }
    }
    // Removal skips an unsafe id as well, even when a file of the name is there.
    ASSERT_TRUE(writeAppShortcut(app(L"t25keep", L"Kept"), desktop_, loader_));
    deleteAppShortcut(app(L"--uninstall", L"Kept"), desktop_);
    EXPECT_TRUE(tst::fileExists(desktop_ + L"\\Kept" + kSuffix));
}

TEST_F(SeamTest, TheIconIsThePicOnlyWhenItIsAFileOfTheAppFolder) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"t25icon", L"Icon", L"t.ico", "icon"));
    const std::wstring folder = getAppFolder(L"t25icon");
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(tst::writeFile(folder + L"\\sub\\x.ico", "icon"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\dir.ico").c_str(), nullptr));
    const std::wstring outside = getAppsFolder() + L"\\t25x.ico";
    ASSERT_TRUE(tst::writeFile(outside, "icon"));
    struct Row {
        const wchar_t* pic;
        bool own;
    } rows[] = {{L"t.ico", true},    {L"", false},        {L"..\\t25x.ico", false}, {L"../t25x.ico", false},
                {L"sub\\x.ico", false}, {L"missing.ico", false}, {L"dir.ico", false},     {L"..", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(tst::narrow(r.pic));
        const AppInfo a = app(L"t25icon", L"Icon", r.pic);
        ASSERT_TRUE(writeAppShortcut(a, desktop_, loader_));
        tst::LinkInfo link = tst::readLink(desktop_ + L"\\Icon" + kSuffix);
        EXPECT_EQ(lower(r.own ? folder + L"\\" + r.pic : loader_), lower(link.iconPath));
        EXPECT_EQ(0, link.iconIndex);
        deleteAppShortcut(a, desktop_);
    }
    DeleteFileW(outside.c_str());
}

TEST_F(SeamTest, OnlyTheProductsOwnFileIsReplacedOrRemoved) {
    const AppInfo a = app(L"1001", L"Owner");
    const std::wstring path = desktop_ + L"\\Owner" + kSuffix;
    const std::wstring otherTarget = root_.file(L"Other.exe");
    auto placeLink = [&](const std::wstring& args, bool readOnly) {
        ASSERT_TRUE(createShortcut(desktop_, L"Owner" + kSuffix, otherTarget, args, L"", 0));
        if (readOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    };
    struct Row {
        const char* what;
        std::function<void()> place;
        bool replaced;  // add writes the new link; remove deletes
    } rows[] = {
        {"the product's read-only link", [&] { placeLink(L"--app-id 1001", true); }, true},
        {"another app's link", [&] { placeLink(L"--app-id 1002", false); }, false},
        {"a link with more arguments", [&] { placeLink(L"--app-id 1001 -s", false); }, false},
        {"a file of junk", [&] { ASSERT_TRUE(tst::writeFile(path, "junk bytes")); }, false},
        {"a folder", [&] {
             ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
             ASSERT_TRUE(tst::writeFile(path + L"\\mine.txt", "mine"));
         }, false},
    };
    // Nothing there: written, and removing it twice is no error.
    ASSERT_TRUE(writeAppShortcut(a, desktop_, loader_));
    deleteAppShortcut(a, desktop_);
    deleteAppShortcut(a, desktop_);
    EXPECT_FALSE(tst::fileExists(path));

    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        for (bool add : {true, false}) {
            r.place();
            std::string before;
            tst::readFile(path, before);
            const std::string keptLine = "app shortcut kept, not the product's: " + wideToNarrow(path);
            const size_t keptBefore = count(logText(), keptLine);
            if (add) {
                EXPECT_EQ(r.replaced, writeAppShortcut(a, desktop_, loader_));
                if (r.replaced) {
                    EXPECT_EQ(lower(loader_), lower(tst::readLink(path).path));
                }
            } else {
                deleteAppShortcut(a, desktop_);
                EXPECT_EQ(!r.replaced, GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES);
            }
            if (!r.replaced) {
                std::string after;
                tst::readFile(path, after);
                EXPECT_EQ(before, after);
                if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
                    EXPECT_TRUE(tst::fileExists(path + L"\\mine.txt"));
                }
                EXPECT_EQ(keptBefore + 1, count(logText(), keptLine));
            }
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            tst::removeTree(path);
            DeleteFileW(path.c_str());
        }
    }
}

TEST_F(SeamTest, AppsWhoseNamesSanitiseAlikeKeepTheFirstLink) {
    ASSERT_TRUE(writeAppShortcut(app(L"t25one", L"Same:1"), desktop_, loader_));
    EXPECT_FALSE(writeAppShortcut(app(L"t25two", L"Same*1"), desktop_, loader_));
    EXPECT_EQ(L"--app-id t25one", tst::readLink(desktop_ + L"\\Same_1" + kSuffix).arguments);
    deleteAppShortcut(app(L"t25two", L"Same*1"), desktop_);
    EXPECT_TRUE(tst::fileExists(desktop_ + L"\\Same_1" + kSuffix));
}

TEST_F(SeamTest, APathOf260CharactersIsSkipped) {
    // "\\Demo-电脑版.lnk" is 13 characters: the link's path is exactly 260.
    const std::wstring deep = root_.path() + L"\\" + std::wstring(260 - 13 - 1 - root_.path().size(), L'd');
    const AppInfo a = app(L"t25deep", L"Demo");
    const std::wstring path = deep + L"\\Demo" + kSuffix;
    ASSERT_EQ(260u, path.size());
    EXPECT_FALSE(writeAppShortcut(a, deep, loader_));
    EXPECT_FALSE(tst::fileExists(deep));
    EXPECT_TRUE(logged("app shortcut skipped, path too long: " + wideToNarrow(path)));
    // One character shorter fits.
    const std::wstring fits = deep.substr(0, deep.size() - (path.size() - 259));
    ASSERT_TRUE(writeAppShortcut(a, fits, loader_));
    EXPECT_TRUE(tst::fileExists(fits + L"\\Demo" + kSuffix));
    EXPECT_FALSE(writeAppShortcut(a, L"", loader_));
}

// ------------------------------------------------------------ real places

TEST(AppShortcutsTest, AllAppsOnTheDesktopAndOnlyTheProductsLinksRemoved) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"t25a", L"T25 Alpha", L"a.ico", "icon"));
    ASSERT_TRUE(apps.add(L"t25b", L"T25 Beta"));
    ASSERT_TRUE(apps.add(L"t25c", L"T25 Gamma"));
    const std::wstring desktop = getSpecialFolder(0x0000 /* CSIDL_DESKTOP */, L"");
    ASSERT_FALSE(desktop.empty());
    addAllAppShortcuts();
    for (const wchar_t* id : {L"t25a", L"t25b", L"t25c"}) {
        LocalAppList list;
        list.load();
        AppInfo a;
        ASSERT_GE(list.find(id, a), 0);
        ComInitGuard com;
        tst::LinkInfo link = tst::readLink(desktop + L"\\" + a.name + kSuffix);
        ASSERT_TRUE(link.loaded) << tst::narrow(id);
        EXPECT_EQ(lower(getLoaderExePath()), lower(link.path));
        EXPECT_EQ(std::wstring(L"--app-id ") + id, link.arguments);
    }
    {
        ComInitGuard com;
        EXPECT_EQ(lower(getAppFolder(L"t25a") + L"\\a.ico"),
                  lower(tst::readLink(desktop + L"\\T25 Alpha" + kSuffix).iconPath));
        // The user's own link of Gamma's name, and a file of theirs.
        ASSERT_TRUE(DeleteFileW((desktop + L"\\T25 Gamma" + kSuffix).c_str()));
        ASSERT_TRUE(createShortcut(desktop, L"T25 Gamma" + kSuffix, getLoaderExePath(), L"--mine", L"", 0));
    }
    const std::wstring userFile = desktop + L"\\T25 notes.txt";
    ASSERT_TRUE(tst::writeFile(userFile, "notes"));

    removeAllAppShortcuts();
    EXPECT_FALSE(tst::fileExists(desktop + L"\\T25 Alpha" + kSuffix));
    EXPECT_FALSE(tst::fileExists(desktop + L"\\T25 Beta" + kSuffix));
    EXPECT_TRUE(tst::fileExists(desktop + L"\\T25 Gamma" + kSuffix));
    EXPECT_TRUE(tst::fileExists(userFile));
    DeleteFileW(userFile.c_str());
}

TEST(AppShortcutsTest, OneAppByItsExactId) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"T25Abc", L"T25 Case"));
    ASSERT_TRUE(apps.add(L"t25other", L"T25 Other"));
    const std::wstring link = apps.desktop() + L"\\T25 Case" + kSuffix;
    EXPECT_FALSE(addAppShortcut(L"t25abc"));
    EXPECT_FALSE(tst::fileExists(link));
    EXPECT_FALSE(addAppShortcut(L"t25missing"));
    EXPECT_TRUE(addAppShortcut(L"T25Abc"));
    EXPECT_TRUE(tst::fileExists(link));
    EXPECT_EQ(std::set<std::wstring>{L"T25 Case" + kSuffix}, apps.newLinks());
    removeAppShortcut(L"t25abc");
    EXPECT_TRUE(tst::fileExists(link));
    removeAppShortcut(L"T25Abc");
    EXPECT_FALSE(tst::fileExists(link));
}

DWORD WINAPI comStateAfterShortcut(void* param) {
    bool* ok = static_cast<bool*>(param);
    *ok = addAppShortcut(L"t25thread");
    // No apartment is left behind: this thread can still choose its own.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr != S_OK) *ok = false;
    if (SUCCEEDED(hr)) CoUninitialize();
    return 0;
}

TEST(AppShortcutsTest, AThreadWithoutComGetsItsShortcutAndKeepsItsComState) {
    tst::AppFolders apps;
    ASSERT_TRUE(apps.held());
    ASSERT_TRUE(apps.add(L"t25thread", L"T25 Thread"));
    bool ok = false;
    HANDLE thread = CreateThread(nullptr, 0, comStateAfterShortcut, &ok, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
    CloseHandle(thread);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(tst::fileExists(apps.desktop() + L"\\T25 Thread" + kSuffix));
}

}  // namespace
