#include "installer/adb/adb_sync.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/support/test_support.h"

using fakeadb::DriverRun;
using fakeadb::FakeAdb;

namespace {

const char* kSerial = "127.0.0.1:5555";

std::string pattern(size_t n) {
    std::string s(n, '\0');
    unsigned x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

// Gives a file a fixed modification time, so that DONE can be checked exactly.
void setMtime(const std::wstring& path, int year) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    SYSTEMTIME st = {};
    st.wYear = (WORD)year;
    st.wMonth = 3;
    st.wDay = 4;
    st.wHour = 5;
    st.wMinute = 6;
    st.wSecond = 7;
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
}

struct LocalStat {
    unsigned mode;
    unsigned mtime;
};
LocalStat localStat(const std::wstring& path) {
    struct _stat64 st;
    EXPECT_EQ(0, _wstat64(path.c_str(), &st));
    return {(unsigned)st.st_mode, (unsigned)st.st_mtime};
}

// The sync message of one id (the n-th one) in the fake's log.
Json::Value syncMessage(const FakeAdb& fake, const std::string& id, size_t nth = 0) {
    for (const auto& m : fake.syncMessages())
        if (m["id"].asString() == id && nth-- == 0) return m;
    return Json::Value();
}

class AdbSyncTest : public ::testing::Test {
protected:
    void SetUp() override { savedPort_ = adb::settings().defaultServerPort; }
    void TearDown() override { adb::settings().defaultServerPort = savedPort_; }
    void useFake(const FakeAdb& fake) {
        ASSERT_TRUE(fake.ok()) << "fake adb server did not start";
        adb::settings().defaultServerPort = fake.port();
    }
    static std::wstring num(long long v) { return std::to_wstring(v); }
    int savedPort_;
    tst::TempDir dir_{L"adbsync"};
};

TEST_F(AdbSyncTest, PushSizesAndWireFormat) {
    struct Case {
        size_t size;
        std::vector<uint32_t> chunks;
        bool readOnly;
    };
    const std::vector<Case> cases = {
        {0, {}, false},          {1, {1}, false},          {65535, {65535}, false},
        {65536, {65536}, false}, {65537, {65536, 1}, false}, {10, {10}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.readOnly ? " read-only" : ""));
        Json::Value config;
        FakeAdb fake(config);
        useFake(fake);
        std::wstring local = dir_.file(L"f" + num(c.size) + (c.readOnly ? L"ro" : L"") + L".bin");
        std::string bytes = pattern(c.size);
        ASSERT_TRUE(tst::writeFile(local, bytes));
        setMtime(local, 2021);
        if (c.readOnly) SetFileAttributesW(local.c_str(), FILE_ATTRIBUTE_READONLY);
        LocalStat st = localStat(local);
        EXPECT_EQ(c.readOnly ? 0100444u : 0100666u, st.mode);

        adb::AdbClient client(kSerial);
        EXPECT_EQ(0, adb::push(client, local, "/sdcard/x.bin"));
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
        SetFileAttributesW(local.c_str(), FILE_ATTRIBUTE_NORMAL);

        std::vector<std::string> ids = {"STAT", "SEND"};
        ids.insert(ids.end(), c.chunks.size(), "DATA");
        ids.push_back("DONE");
        ids.push_back("QUIT");
        EXPECT_EQ(ids, fake.syncIds());
        std::string sendText = "/sdcard/x.bin," + std::to_string(st.mode);
        Json::Value send = syncMessage(fake, "SEND");
        EXPECT_EQ(sendText, send["payload"].asString());
        EXPECT_EQ(fakeadb::syncHeaderHex("SEND", (uint32_t)sendText.size()), send["header"].asString());
        for (size_t i = 0; i < c.chunks.size(); ++i)
            EXPECT_EQ(fakeadb::syncHeaderHex("DATA", c.chunks[i]), syncMessage(fake, "DATA", i)["header"].asString());
        EXPECT_EQ(fakeadb::syncHeaderHex("DONE", st.mtime), syncMessage(fake, "DONE")["header"].asString());
        EXPECT_EQ(fakeadb::syncHeaderHex("QUIT", 0), syncMessage(fake, "QUIT")["header"].asString());
        auto stored = fake.eventsOf("stored");
        ASSERT_EQ(1u, stored.size());
        EXPECT_EQ("/sdcard/x.bin", stored[0]["path"].asString());
        EXPECT_TRUE(fake.stored(stored[0]) == bytes);
    }
}

TEST_F(AdbSyncTest, PushIntoARemoteFolderKeepsTheLocalName) {
    std::wstring local = dir_.file(L"app one.apk");
    ASSERT_TRUE(tst::writeFile(local, "apk bytes"));
    std::wstring forward = local;
    for (auto& ch : forward)
        if (ch == L'\\') ch = L'/';
    for (const std::wstring& path : {local, forward}) {
        Json::Value config;
        config["stat"]["/sdcard/apps"] = 0x41ed;
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client(kSerial);
        EXPECT_EQ(0, adb::push(client, path, "/sdcard/apps"));
        ASSERT_TRUE(fake.waitAllClosed());
        auto stored = fake.eventsOf("stored");
        ASSERT_EQ(1u, stored.size());
        EXPECT_EQ("/sdcard/apps/app one.apk", stored[0]["path"].asString());
        EXPECT_EQ("apk bytes", fake.stored(stored[0]));
    }
}

TEST_F(AdbSyncTest, RemotePathLength) {
    std::wstring local = dir_.file(L"small.txt");
    ASSERT_TRUE(tst::writeFile(local, "abc"));
    for (size_t length : {size_t(1024), size_t(1025)}) {
        SCOPED_TRACE(length);
        Json::Value config;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        std::string remote = "/sdcard/" + std::string(length - 8, 'r');
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", local, tst::widen(remote)});
        ASSERT_EQ(0, run.exitCode);
        ASSERT_TRUE(fake.waitAllClosed());
        if (length == 1024) {
            EXPECT_EQ(0, run.num("rc")) << run.err;
            auto stored = fake.eventsOf("stored");
            ASSERT_EQ(1u, stored.size());
            EXPECT_EQ(remote, stored[0]["path"].asString());
            EXPECT_EQ(std::string::npos, run.err.find("protocol failure"));
        } else {
            EXPECT_EQ(1, run.num("rc"));
            EXPECT_EQ("protocol failure\n", run.err);
            EXPECT_EQ(std::vector<std::string>{"STAT"}, fake.syncIds());
        }
    }
}

TEST_F(AdbSyncTest, ServerRepliesAfterDone) {
    std::wstring local = dir_.file(L"up.bin");
    ASSERT_TRUE(tst::writeFile(local, "payload"));
    std::string l = tst::narrow(local);
    std::string long300(300, 'm');
    for (int i = 0; i < 300; ++i) long300[i] = (char)('A' + i % 26);
    struct Case {
        const char* reply;
        std::string message;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"fail", "disk full", "disk full"},
        {"fail", long300, long300.substr(0, 256)},
        {"unknown", "", "unknown reason"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown.substr(0, 20));
        Json::Value config;
        config["send_reply"] = c.reply;
        config["send_message"] = c.message;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", local, L"/sdcard/up.bin"});
        ASSERT_EQ(0, run.exitCode);
        EXPECT_EQ(1, run.num("rc"));
        EXPECT_EQ("failed to copy '" + l + "' to '/sdcard/up.bin': " + c.shown + "\n", run.err);
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
    }
}

TEST_F(AdbSyncTest, LocalFailures) {
    std::wstring missing = dir_.file(L"missing.apk");
    std::wstring locked = dir_.file(L"locked.apk");
    ASSERT_TRUE(tst::writeFile(locked, std::string(70000, 'L')));
    {
        Json::Value config;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", missing, L"/sdcard/m.apk"});
        EXPECT_EQ(1, run.num("rc"));
        EXPECT_EQ("cannot stat '" + tst::narrow(missing) + "': No such file or directory\n", run.err);
        ASSERT_TRUE(fake.waitAllClosed());
        EXPECT_EQ(std::vector<std::string>{"QUIT"}, fake.syncIds());
    }
    {
        Json::Value config;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        // Readable for stat, but nobody else may open it.
        HANDLE h = CreateFileW(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", locked, L"/sdcard/l.apk"});
        CloseHandle(h);
        EXPECT_EQ(1, run.num("rc"));
        EXPECT_EQ("cannot open '" + tst::narrow(locked) + "': No such file or directory\n", run.err);
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
        // The device sees the transfer cut off: no DONE, nothing stored.
        EXPECT_EQ((std::vector<std::string>{"STAT", "SEND"}), fake.syncIds());
        EXPECT_TRUE(fake.eventsOf("stored").empty());
    }
}

TEST_F(AdbSyncTest, ListFindsDot) {
    const std::string shared = "/mnt/shared/tv_shared";
    struct Case {
        const char* name;
        const char* variant;
        std::vector<std::string> entries;
        int rc;
        bool found;
    };
    const std::vector<Case> cases = {
        {"dot first", "normal", {".", "..", "a.apk"}, 0, true},
        {"dot later", "normal", {"a.apk", ".."}, 0, false},
        {"dot after others", "normal", {"a.apk", "."}, 0, true},
        {"done only", "normal", {}, 0, false},
        {"fail", "fail", {}, 1, false},
        {"name of 257", "long_name", {}, 1, false},
        {"unknown id", "unknown_id", {}, 1, false},
        {"closed midway", "close_midway", {}, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value config;
        config["list_variant"] = c.variant;
        config["list"][shared] = Json::Value(Json::arrayValue);
        for (const auto& e : c.entries) {
            Json::Value entry;
            entry["name"] = e;
            entry["mode"] = 0x41ed;
            config["list"][shared].append(entry);
        }
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client(kSerial);
        bool found = !c.found;
        EXPECT_EQ(c.rc, adb::listFindsDot(client, shared, found));
        EXPECT_EQ(c.found, found);
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
        std::vector<std::string> ids = {"LIST"};
        if (c.rc == 0) ids.push_back("QUIT");
        EXPECT_EQ(ids, fake.syncIds());
        EXPECT_EQ(shared, syncMessage(fake, "LIST")["payload"].asString());
    }
}

TEST_F(AdbSyncTest, ConnectFailuresArePrinted) {
    Json::Value config;
    FakeAdb fake(config);
    ASSERT_TRUE(fake.ok());
    std::wstring local = dir_.file(L"x.apk");
    ASSERT_TRUE(tst::writeFile(local, "x"));
    DriverRun push = fakeadb::runDriver({L"push", num(fake.port()), L"10.1.1.1:5555", local, L"/sdcard/x.apk"});
    EXPECT_EQ(1, push.num("rc"));
    EXPECT_EQ("error: device '10.1.1.1:5555' not found\n", push.err);
    DriverRun list = fakeadb::runDriver({L"list", num(fake.port()), L"10.1.1.1:5555", L"/sdcard"});
    EXPECT_EQ(1, list.num("rc"));
    EXPECT_EQ("error: device '10.1.1.1:5555' not found\n", list.err);
    ASSERT_TRUE(fake.waitAllClosed());
}

TEST_F(AdbSyncTest, FailedPushesLeaveNoHandlesOpen) {
    Json::Value config;
    config["send_reply"] = "fail";
    config["linger"] = 2;
    FakeAdb fake(config);
    useFake(fake);
    std::wstring local = dir_.file(L"h.bin");
    ASSERT_TRUE(tst::writeFile(local, "hh"));
    std::wstring missing = dir_.file(L"nope.bin");
    auto round = [&] {
        adb::AdbClient client(kSerial);
        EXPECT_EQ(1, adb::push(client, local, "/sdcard/h.bin"));     // FAIL after DONE
        EXPECT_EQ(1, adb::push(client, missing, "/sdcard/h.bin"));   // local stat fails
        std::string longRemote(1100, 'r');
        EXPECT_EQ(1, adb::push(client, local, longRemote));          // SEND refused
        adb::AdbClient stranger("nobody");
        EXPECT_EQ(1, adb::push(stranger, local, "/sdcard/h.bin"));   // transport refused
        bool found = true;
        EXPECT_EQ(0, adb::listFindsDot(client, "/nowhere", found));
    };
    round();
    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int i = 0; i < 10; ++i) round();
    GetProcessHandleCount(GetCurrentProcess(), &after);
    EXPECT_LE(after, before + 2) << before << " -> " << after;
    std::string detail;
    EXPECT_TRUE(fake.waitAllClosed(20000, &detail)) << detail;
}

TEST_F(AdbSyncTest, FolderPush) {
    tst::TempDir tree(L"tree");
    const std::wstring root = tree.path();
    CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
    CreateDirectoryW((root + L"\\sub\\deeper").c_str(), nullptr);
    CreateDirectoryW((root + L"\\empty").c_str(), nullptr);
    ASSERT_TRUE(tst::writeFile(root + L"\\a.txt", "A"));
    ASSERT_TRUE(tst::writeFile(root + L"\\sub\\b.txt", "BB"));
    ASSERT_TRUE(tst::writeFile(root + L"\\sub\\deeper\\c.bin", pattern(70000)));
    {
        // In this process: the stored files, and the current folder stays.
        Json::Value config;
        FakeAdb fake(config);
        useFake(fake);
        wchar_t cwdBefore[MAX_PATH], cwdAfter[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwdBefore);
        adb::AdbClient client(kSerial);
        EXPECT_EQ(0, adb::push(client, root, "/sdcard/tree"));
        GetCurrentDirectoryW(MAX_PATH, cwdAfter);
        EXPECT_STREQ(cwdBefore, cwdAfter);
        ASSERT_TRUE(fake.waitAllClosed());
        std::map<std::string, std::string> stored;
        for (const auto& e : fake.eventsOf("stored")) stored[e["path"].asString()] = fake.stored(e);
        std::map<std::string, std::string> expected = {
            {"/sdcard/tree/a.txt", "A"},
            {"/sdcard/tree/sub/b.txt", "BB"},
            {"/sdcard/tree/sub/deeper/c.bin", pattern(70000)},
        };
        EXPECT_TRUE(stored == expected);
        EXPECT_EQ("QUIT", fake.syncIds().back());
    }
    {
        // Printed lines, from a driver process.
        Json::Value config;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", root, L"/sdcard/tree/"});
        EXPECT_EQ(0, run.num("rc"));
        std::string r = tst::narrow(root);
        for (const std::string& line : {"push: " + r + "/a.txt -> /sdcard/tree/a.txt\n",
                                        "push: " + r + "/sub/b.txt -> /sdcard/tree/sub/b.txt\n",
                                        "push: " + r + "/sub/deeper/c.bin -> /sdcard/tree/sub/deeper/c.bin\n",
                                        std::string("3 files pushed. 0 files skipped.\n")})
            EXPECT_NE(std::string::npos, run.err.find(line)) << line << "\nin:\n" << run.err;
        EXPECT_NE(std::string::npos, run.err.find(" bytes in ")) << run.err;
    }
    {
        tst::TempDir one(L"one");
        ASSERT_TRUE(tst::writeFile(one.file(L"only.txt"), "1"));
        Json::Value config;
        FakeAdb fake(config);
        ASSERT_TRUE(fake.ok());
        DriverRun run = fakeadb::runDriver({L"push", num(fake.port()), L"127.0.0.1:5555", one.path(), L"/sdcard/one"});
        EXPECT_EQ(0, run.num("rc"));
        EXPECT_NE(std::string::npos, run.err.find("1 file pushed. 0 files skipped.\n")) << run.err;
    }
}

}  // namespace
