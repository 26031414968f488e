#include "installer/app_list.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "installer/engine_context.h"
#include "services/loader_env.h"
#include "testing/fakes/stub_context.h"
#include "testing/proc_support/proc_test_util.h"
#include "testing/support/test_support.h"

namespace {

// The real apps folder of the prefix, moved aside while a test runs in a fresh one.
class AppsSandbox {
public:
    AppsSandbox() {
        EXPECT_TRUE(lock_.held());
        apps_ = getUserDataFolder() + L"\\apps";
        saved_ = apps_ + L".saved-" + std::to_wstring(GetCurrentProcessId());
        moved_ = MoveFileW(apps_.c_str(), saved_.c_str()) != FALSE;
        CreateDirectoryW(apps_.c_str(), nullptr);
    }
    ~AppsSandbox() {
        tst::removeTree(apps_);
        if (moved_) MoveFileW(saved_.c_str(), apps_.c_str());
    }
    const std::wstring& apps() const { return apps_; }
    std::wstring path(const std::wstring& name) const { return apps_ + L"\\" + name; }
    void appFolder(const std::wstring& name, const std::string& ini) {
        CreateDirectoryW(path(name).c_str(), nullptr);
        ASSERT_TRUE(tst::writeFile(path(name) + L"\\app.ini", ini));
    }

private:
    tst::MachineStateLock lock_;
    std::wstring apps_, saved_;
    bool moved_ = false;
};

std::string iniWithId(const std::string& id) { return "[app]\r\nid=" + id + "\r\n"; }

std::set<std::wstring> ids(const LocalAppList& list) {
    std::set<std::wstring> out;
    for (size_t i = 0; i < list.size(); ++i) out.insert(list.at(i).id);
    return out;
}

TEST(LocalAppListTest, TakesFoldersWhoseIniNamesTheirId) {
    AppsSandbox box;
    struct Case {
        const wchar_t* folder;
        const char* iniId;
        bool taken;
    };
    const Case cases[] = {
        {L"app_7", "7", true},
        {L"app_7_x", "7", true},
        {L"app_8_x", "x", false},
        {L"APP_Ab", "aB", true},
        {L"app__9", "9", true},
        {L"app_", "", false},
        {L"app_5", "6", false},
        {L"app_7 --x", "7 --x", false},
    };
    std::set<std::wstring> expected;
    for (const Case& c : cases) {
        box.appFolder(c.folder, iniWithId(c.iniId));
        if (c.taken) expected.insert(tst::widen(c.iniId));
    }
    // A file, and a link made on the Linux side to a folder whose ini would match.
    ASSERT_TRUE(tst::writeFile(box.path(L"app_3"), iniWithId("3")));
    box.appFolder(L"target", iniWithId("2"));
    ASSERT_TRUE(tst::runLinux("ln -s target " + tst::shQuote(tst::unixPath(box.path(L"app_2")))));
    ASSERT_TRUE(tst::fileExists(box.path(L"app_2") + L"\\app.ini"));

    LocalAppList list;
    EXPECT_TRUE(list.load());
    EXPECT_EQ(expected, ids(list));
    // "7" from app_7 and from app_7_x.
    EXPECT_EQ(4u, list.size());
}

TEST(LocalAppListTest, RecordFieldsAndApkPath) {
    AppsSandbox box;
    box.appFolder(L"app_1001", "[app]\r\nid=1001\r\nname=Sample\r\npic=s.ico\r\nicon=s.png\r\n"
                               "package=com.a.b\r\nactivity=.Main\r\napk=s.apk\r\ntip_pics=a.png\r\n");
    box.appFolder(L"app_1002", "[app]\r\nid=1002\r\napk=..\\x.apk\r\n");
    box.appFolder(L"app_1003", "[app]\r\nid=1003\r\n");
    LocalAppList list;
    ASSERT_TRUE(list.load());
    AppInfo app;
    ASSERT_GE(list.find(L"1001", app), 0);
    EXPECT_EQ(L"Sample", app.name);
    EXPECT_EQ(L"s.ico", app.pic);
    EXPECT_EQ(L"s.png", app.icon);
    EXPECT_EQ(L"com.a.b", app.package);
    EXPECT_EQ(L".Main", app.activity);
    EXPECT_EQ(box.path(L"app_1001") + L"\\s.apk", app.apkPath);
    EXPECT_EQ(getAppFolder(L"1001") + L"\\s.apk", app.apkPath);
    EXPECT_TRUE(app.tipPictures.empty());

    ASSERT_GE(list.find(L"1002", app), 0);
    EXPECT_EQ(L"", app.apkPath);
    ASSERT_GE(list.find(L"1003", app), 0);
    EXPECT_EQ(L"", app.name);
    EXPECT_EQ(L"", app.package);
    EXPECT_EQ(L"", app.apkPath);
}

TEST(LocalAppListTest, LoadAnswersFalseOnlyWithoutAnyAppEntry) {
    AppsSandbox box;
    LocalAppList list;
    EXPECT_FALSE(list.load());
    AppInfo app;
    EXPECT_EQ(-1, list.find(L"", app));

    box.appFolder(L"app_4", iniWithId("5"));
    EXPECT_TRUE(list.load());
    EXPECT_EQ(0u, list.size());
}

TEST(LocalAppListTest, FindAndContainsIgnoreCase) {
    AppsSandbox box;
    box.appFolder(L"app_Ab1", iniWithId("aB1"));
    box.appFolder(L"app_c2", iniWithId("c2"));
    LocalAppList list;
    ASSERT_TRUE(list.load());
    AppInfo app;
    const int index = list.find(L"AB1", app);
    ASSERT_GE(index, 0);
    EXPECT_EQ(L"aB1", app.id);
    EXPECT_EQ(L"aB1", list.at((size_t)index).id);
    EXPECT_TRUE(list.contains(L"C2"));
    EXPECT_TRUE(list.contains(L"ab1"));
    EXPECT_FALSE(list.contains(L"c"));
    EXPECT_EQ(-1, list.find(L"d", app));
}

std::string dump(const AppListMap& entries) {
    std::string text;
    for (const auto& e : entries)
        text += e.first + ":" + std::to_string(e.second.spareNumber) + ":" + std::to_string(e.second.appId) +
                ":" + tst::narrow(e.second.label) + ";";
    return text;
}

AppListEntry entry(const std::string& package, uint32_t spare, uint32_t appId, const std::wstring& label) {
    AppListEntry e;
    e.package = package;
    e.spareNumber = spare;
    e.appId = appId;
    e.label = label;
    return e;
}

TEST(AppListStoreTest, ReadUpdatesTheMapFromTheLines) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    struct Case {
        const char* file;
        const char* expected;  // after a seed of keep:1:2:K and com.example:5:7:L
    };
    const Case cases[] = {
        {"com.example#0#12#com.example\r\n", "com.example:0:12:com.example;keep:1:2:K;"},
        {"com.example##12\r\n", "com.example:12:7:L;keep:1:2:K;"},
        {"com.example\r\n", "com.example:5:7:L;keep:1:2:K;"},
        {"new#1#2\r\n", "com.example:5:7:L;keep:1:2:K;new:1:2:;"},
        {"a#1#2#x#y\r\nb#1#2#3#4#5\r\n", "com.example:5:7:L;keep:1:2:K;"},
        {"x#1#1#first\r\nx#2#2#second\r\n", "com.example:5:7:L;keep:1:2:K;x:2:2:second;"},
        {"\r\r\n\ny#3#4#Y\n\n\r\r\nz#5\r", "com.example:5:7:L;keep:1:2:K;y:3:4:Y;z:5:0:;"},
        {"last#8#9#L9", "com.example:5:7:L;keep:1:2:K;last:8:9:L9;"},
        {"n#12abc#99999999999#N\r\nm#abc#-#M", "com.example:5:7:L;keep:1:2:K;m:0:0:M;n:12:4294967295:N;"},
        {"##q###\r\n", "com.example:5:7:L;keep:1:2:K;q:0:0:;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(tst::writeFile(store.listPath(), c.file));
        AppListMap map;
        map["keep"] = entry("keep", 1, 2, L"K");
        map["com.example"] = entry("com.example", 5, 7, L"L");
        store.read(map);
        EXPECT_EQ(c.expected, dump(map));
    }
}

TEST(AppListStoreTest, ReadOfAMissingFileLeavesTheMap) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    AppListMap map;
    map["keep"] = entry("keep", 1, 2, L"K");
    store.read(map);
    EXPECT_EQ("keep:1:2:K;", dump(map));
}

TEST(AppListStoreTest, WriteGivesExactlyTheMapInKeyOrder) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    ASSERT_TRUE(tst::writeFile(store.listPath(), "old#0#0#old\r\n"));
    AppListMap map;
    map["abc"] = entry("abc", 0, 0, L"abc");
    map["Zed"] = entry("Zed", 1, 4294967295u, L"Zed");
    store.write(map);
    std::string bytes;
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ("Zed#1#4294967295#Zed\r\nabc#0#0#abc\r\n", bytes);
    EXPECT_FALSE(tst::fileExists(store.listPath() + L".tmp"));

    AppListMap back;
    store.read(back);
    EXPECT_EQ(dump(map), dump(back));

    store.write(AppListMap());
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ("", bytes);
}

TEST(AppListStoreTest, LabelInCodePage936) {
    if (GetACP() != 936) GTEST_SKIP() << "ANSI code page " << GetACP();
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    AppListMap map;
    map["com.a"] = entry("com.a", 0, 3, L"\u4e2d\u6587");
    store.write(map);
    std::string bytes;
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ(std::string("com.a#0#3#\xd6\xd0\xce\xc4\r\n"), bytes);
    AppListMap back;
    store.read(back);
    EXPECT_EQ(L"\u4e2d\u6587", back["com.a"].label);
}

TEST(AppListStoreTest, FailedWriteKeepsTheOldList) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    ASSERT_TRUE(tst::writeFile(store.listPath(), "old#0#0#old\r\n"));
    ASSERT_TRUE(CreateDirectoryW((store.listPath() + L".tmp").c_str(), nullptr));
    AppListMap map;
    map["new"] = entry("new", 0, 0, L"new");
    store.write(map);
    std::string bytes;
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ("old#0#0#old\r\n", bytes);
    EXPECT_FALSE(tst::fileExists(store.listPath() + L".lck"));
}

// The apps folder is the user's: what another program planted at the
// temporary name is replaced, never written through.
TEST(AppListStoreTest, APlantedTemporaryEntryIsReplacedNotFollowed) {
    AppsSandbox box;
    tst::TempDir elsewhere(L"alt");
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    const std::wstring temporary = store.listPath() + L".tmp";
    const std::wstring target = elsewhere.file(L"target.txt");
    ASSERT_TRUE(tst::writeFile(target, "not the list"));
    // Wine 8 deletes through a host link to a file: the planted entry here is a read-only file.
    {
        ASSERT_TRUE(tst::writeFile(temporary, "planted"));
        ASSERT_TRUE(SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_READONLY));
        AppListMap map;
        map["new"] = entry("new", 0, 0, L"new");
        store.write(map);
        std::string bytes;
        ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
        EXPECT_EQ("new#0#0#new\r\n", bytes);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(temporary.c_str()));
        ASSERT_TRUE(tst::readFile(target, bytes));
        EXPECT_EQ("not the list", bytes);
    }
    // A hard link shares the file's data: writing into the planted name would
    // write into the file outside.
    {
        DeleteFileW(temporary.c_str());
        if (!CreateHardLinkW(temporary.c_str(), target.c_str(), nullptr)) GTEST_SKIP() << GetLastError();
        AppListMap map;
        map["other"] = entry("other", 0, 0, L"other");
        store.write(map);
        std::string bytes;
        ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
        EXPECT_EQ("other#0#0#other\r\n", bytes);
        ASSERT_TRUE(tst::readFile(target, bytes));
        EXPECT_EQ("not the list", bytes);
    }
}

TEST(AppListStoreTest, NothingHappensWhileTheEngineIsNotInstalled) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", false);
    AppListStore store(context);
    AppListMap map;
    map["keep"] = entry("keep", 1, 2, L"K");
    store.write(map);
    EXPECT_FALSE(tst::fileExists(box.path(L"tvdata1_qv_1.dat")));
    ASSERT_TRUE(tst::writeFile(box.path(L"tvdata1_qv_1.dat"), "other#3#4#O\r\n"));
    store.read(map);
    EXPECT_EQ("keep:1:2:K;", dump(map));
}

bool openedElsewhere(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

TEST(AppListStoreTest, LockHeldElsewhereThrowsAtOnceAndAStaleLockIsTaken) {
    AppsSandbox box;
    fakes::StubContext context(EngineKind::Qv, L"qv_1", true);
    AppListStore store(context);
    const std::string before = "keep#1#2#K\r\n";
    ASSERT_TRUE(tst::writeFile(store.listPath(), before));
    const std::wstring lck = store.listPath() + L".lck";

    proctest::Background holder;
    ASSERT_TRUE(holder.start(proctest::inQuotes(proctest::bin(L"proc_child.exe")) + L" @hold " +
                             proctest::inQuotes(lck) + L" 30000"));
    for (int i = 0; i < 200 && !openedElsewhere(lck); ++i) Sleep(50);
    ASSERT_TRUE(openedElsewhere(lck));

    AppListMap map;
    map["new"] = entry("new", 0, 0, L"new");
    const DWORD t0 = GetTickCount();
    try {
        store.write(map);
        ADD_FAILURE() << "write took a held lock";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("lock failed", e.what());
    }
    EXPECT_THROW(store.read(map), std::runtime_error);
    EXPECT_LT(GetTickCount() - t0, 2000u);
    std::string bytes;
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ(before, bytes);
    EXPECT_EQ(1u, map.size());

    // The holder goes; its lock file stays behind, not open.
    holder.end();
    ASSERT_TRUE(tst::fileExists(lck));
    store.read(map);
    EXPECT_EQ("keep:1:2:K;new:0:0:new;", dump(map));
    EXPECT_FALSE(tst::fileExists(lck));
    store.write(map);
    EXPECT_FALSE(tst::fileExists(lck));
    ASSERT_TRUE(tst::readFile(store.listPath(), bytes));
    EXPECT_EQ("keep#1#2#K\r\nnew#0#0#new\r\n", bytes);
}

}  // namespace
