#include "installer/apk_installer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/app_list.h"
#include "services/loader_env.h"
#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/fakes/stub_context.h"
#include "testing/support/test_support.h"
#include "toolkit/string_util.h"

using fakeadb::FakeAdb;
using ravel::object::smart_ptr;

namespace {

const char kPmInstall[] = "shell:pm install -r ";

using TestContext = fakes::StubContext;

struct Event {
    std::wstring id;
    int status;
    int result;
};

// Records every notification, in order.
class Recorder {
public:
    void onNotify(const ApkInstaller*, const smart_ptr<ApkInstaller::Notify>& n) {
        ravel::system::ScopedLock guard(lock_);
        events_.push_back({n->id, n->status, n->result});
    }
    std::vector<Event> events() {
        ravel::system::ScopedLock guard(lock_);
        return events_;
    }
    std::vector<Event> eventsOf(const std::wstring& id) {
        std::vector<Event> out;
        for (const auto& e : events())
            if (e.id == id) out.push_back(e);
        return out;
    }
    ApkInstaller::Notifier::delegate_type listener() { return ApkInstaller::Notifier::delegate_type(this, &Recorder::onNotify); }

private:
    ravel::system::Lock lock_;
    std::vector<Event> events_;
};

void throwingListener(const ApkInstaller*, const smart_ptr<ApkInstaller::Notify>&) { throw std::runtime_error("x"); }

// One caller on a thread of its own.
struct Call {
    ApkInstaller* installer = nullptr;
    std::wstring apk;
    int32_t timeoutMs = 30000;
    bool deleteAfter = false;
    bool asApp = false;
    AppInfo app;
    int32_t result = 99;
    ULONGLONG ms = 0;
    HANDLE thread = nullptr;
    HANDLE submitting = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ~Call() {
        if (thread) {
            WaitForSingleObject(thread, 60000);
            CloseHandle(thread);
        }
        CloseHandle(submitting);
    }
    static DWORD WINAPI proc(void* arg) {
        Call* c = static_cast<Call*>(arg);
        SetEvent(c->submitting);
        ULONGLONG t0 = GetTickCount64();
        c->result = c->asApp ? c->installer->installApp(c->app, c->deleteAfter, c->timeoutMs)
                             : c->installer->installApk(c->apk, c->deleteAfter, c->timeoutMs);
        c->ms = GetTickCount64() - t0;
        return 0;
    }
    // Starts the call and returns once it is about to submit.
    void start() {
        thread = CreateThread(nullptr, 0, proc, this, 0, nullptr);
        WaitForSingleObject(submitting, 10000);
        Sleep(150);  // past the queueing
    }
    bool join(DWORD waitMs = 60000) { return WaitForSingleObject(thread, waitMs) == WAIT_OBJECT_0; }
};

std::vector<std::string> logLinesWith(const std::string& marker) {
    std::string bytes;
    tst::readFile(getLogFolder() + L"\\installer_tests.log", bytes);
    std::vector<std::string> out;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(marker) != std::string::npos) {
            size_t text = line.find(", , ");
            out.push_back(text == std::string::npos ? line : line.substr(text + 4));
        }
        start = end + 1;
    }
    return out;
}

size_t logSize() {
    std::string bytes;
    tst::readFile(getLogFolder() + L"\\installer_tests.log", bytes);
    return bytes.size();
}

// The log's lines after the first `from` bytes, without their time stamps.
std::vector<std::string> logLinesSince(size_t from) {
    return tst::logLinesSince(getLogFolder() + L"\\installer_tests.log", from);
}

class ApkInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedPort_ = adb::settings().defaultServerPort;
        // Every APK of a test has a name of its own in the shared log.
        tag_ = tst::narrow(src_.path().substr(src_.path().find_last_of(L'\\') + 1));
    }
    void TearDown() override { adb::settings().defaultServerPort = savedPort_; }

    // The fake device; with the shared folder, it sees `shared_` as the guest's share.
    void startFake(Json::Value config, bool shared = true) {
        if (shared) config["shared_dir"] = tst::unixPath(shared_.path());
        fake_.reset(new FakeAdb(config));
        ASSERT_TRUE(fake_->ok()) << "fake adb server did not start";
        adb::settings().defaultServerPort = fake_->port();
    }
    ApkInstaller::Options options() {
        ApkInstaller::Options o;
        o.hostSharedFolder = shared_.path();
        o.listContext = [] { return smart_ptr<Context>(); };
        return o;
    }
    std::wstring makeApk(const std::wstring& name, const std::string& bytes = "PK\x03\x04 apk bytes") {
        std::wstring path = src_.file(name);
        EXPECT_TRUE(tst::writeFile(path, bytes));
        return path;
    }
    // Device services other than the version check and the transport, in order.
    std::vector<std::string> deviceRequests() {
        std::vector<std::string> out;
        for (const auto& r : fake_->requests())
            if (r != "host:version" && r.compare(0, 15, "host:transport:") != 0) out.push_back(r);
        return out;
    }
    std::vector<std::string> syncRequests() {
        std::vector<std::string> out;
        for (const auto& m : fake_->syncMessages())
            if (m.isMember("payload")) out.push_back(m["id"].asString() + " " + m["payload"].asString());
        return out;
    }

    tst::TempDir shared_{L"apkshared"};
    tst::TempDir src_{L"apksrc"};
    std::unique_ptr<FakeAdb> fake_;
    std::string tag_;
    int savedPort_ = 0;
};

// --- roads ---------------------------------------------------------------------------

TEST_F(ApkInstallerTest, SharedFolderRoadCopiesInstallsAndRemovesTheCopy) {
    startFake(Json::Value());
    ApkInstaller installer(options());
    std::wstring apk = makeApk(L"a.apk");
    EXPECT_EQ(0, installer.installApk(apk, false, 30000));
    EXPECT_EQ((std::vector<std::string>{"sync:", std::string(kPmInstall) + "\"/mnt/shared/tv_shared/a.apk\""}),
              deviceRequests());
    EXPECT_EQ((std::vector<std::string>{"LIST /mnt/shared/tv_shared", "QUIT "}), syncRequests());
    // The device could read it from the share: the copy was there during the install.
    EXPECT_EQ(1u, fake_->eventsOf("installed").size());
    EXPECT_FALSE(tst::fileExists(shared_.file(L"a.apk")));
    EXPECT_TRUE(tst::fileExists(apk));
}

TEST_F(ApkInstallerTest, ApkInsideTheSharedFolderIsInstalledWhereItIs) {
    startFake(Json::Value());
    ApkInstaller installer(options());
    const std::string bytes = "PK shared apk";
    ASSERT_TRUE(tst::writeFile(shared_.file(L"Long Application Name.apk"), bytes));
    wchar_t shortName[MAX_PATH] = {};
    GetShortPathNameW(shared_.file(L"Long Application Name.apk").c_str(), shortName, MAX_PATH);
    std::wstring leaf = shared_.path().substr(shared_.path().find_last_of(L'\\') + 1);
    struct Case {
        const char* name;
        std::wstring path;
    };
    const std::vector<Case> cases = {
        {"as the share spells it", shared_.file(L"Long Application Name.apk")},
        {"upper-case folder", toLowerCopy(shared_.path()) + L"\\Long Application Name.apk"},
        {"with a slash", shared_.path() + L"/Long Application Name.apk"},
        {"with ..", shared_.path() + L"\\..\\" + leaf + L"\\Long Application Name.apk"},
        {"short name", shortName},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.path.empty());
        size_t before = fake_->installs().size();
        EXPECT_EQ(0, installer.installApk(c.path, false, 30000));
        auto installs = fake_->installs();
        ASSERT_EQ(before + 1, installs.size());
        // Installed from the share, under its long name where the spelling hides it.
        EXPECT_EQ("/mnt/shared/tv_shared/Long Application Name.apk", installs.back());
        std::string now;
        ASSERT_TRUE(tst::readFile(shared_.file(L"Long Application Name.apk"), now));
        EXPECT_EQ(bytes, now);
        // Nothing else was put into the share.
        WIN32_FIND_DATAW d;
        HANDLE f = FindFirstFileW((shared_.path() + L"\\*").c_str(), &d);
        int files = 0;
        do {
            if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
        } while (FindNextFileW(f, &d));
        FindClose(f);
        EXPECT_EQ(1, files);
    }
    EXPECT_TRUE(syncRequests().size() >= 2);
    for (const auto& s : fake_->syncIds()) EXPECT_NE("SEND", s);
}

TEST_F(ApkInstallerTest, OlderFileOfTheSameNameIsReplacedThenRemoved) {
    tst::TempDir hold(L"apkhold");
    Json::Value config;
    config["install_hold"]["release_file"] = tst::unixPath(hold.path()) + "/go";
    config["install_hold"]["limit_s"] = 30;
    startFake(config);
    ApkInstaller installer(options());
    ASSERT_TRUE(tst::writeFile(shared_.file(L"b.apk"), "old bytes"));
    const std::string fresh = "PK new bytes of b";
    Call call;
    call.installer = &installer;
    call.apk = makeApk(L"b.apk", fresh);
    call.start();
    ASSERT_TRUE(fake_->waitFor([&] { return fake_->installs().size() == 1; }));
    std::string during;
    EXPECT_TRUE(tst::readFile(shared_.file(L"b.apk"), during));
    EXPECT_EQ(fresh, during);
    ASSERT_TRUE(tst::writeFile(hold.file(L"go"), ""));
    ASSERT_TRUE(call.join());
    EXPECT_EQ(0, call.result);
    EXPECT_EQ("/mnt/shared/tv_shared/b.apk", fake_->installs()[0]);
    EXPECT_FALSE(tst::fileExists(shared_.file(L"b.apk")));
    EXPECT_TRUE(tst::fileExists(call.apk));
}

TEST_F(ApkInstallerTest, PushRoadWhenTheShareIsNotListed) {
    struct Case {
        const char* name;
        bool shared;
        const char* variant;
    };
    const Case cases[] = {{"LIST answers DONE only", false, "normal"}, {"LIST fails", true, "fail"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value config;
        config["list_variant"] = c.variant;
        startFake(config, c.shared);
        ApkInstaller installer(options());
        const std::string bytes(100000, 'z');
        std::wstring apk = makeApk(L"c.apk", bytes);
        EXPECT_EQ(0, installer.installApk(apk, false, 30000));
        EXPECT_EQ((std::vector<std::string>{"sync:", "sync:", std::string(kPmInstall) + "\"/sdcard/c.apk\""}),
                  deviceRequests());
        auto stored = fake_->eventsOf("stored");
        ASSERT_EQ(1u, stored.size());
        EXPECT_EQ("/sdcard/c.apk", stored[0]["path"].asString());
        EXPECT_EQ(bytes, fake_->stored(stored[0]));
        bool sawSend = false;
        for (const auto& s : syncRequests())
            if (s.compare(0, 5, "SEND ") == 0) {
                sawSend = true;
                EXPECT_EQ(0u, s.find("SEND /sdcard/c.apk,")) << s;
            }
        EXPECT_TRUE(sawSend);
        EXPECT_FALSE(tst::fileExists(shared_.file(L"c.apk")));
    }
}

TEST_F(ApkInstallerTest, RefusedPushGivesMinusTwoAndNoInstall) {
    struct Case {
        const char* name;
        const char* key;
        const char* value;
    };
    const Case cases[] = {{"SEND answered FAIL", "send_reply", "fail"},
                          {"device not found", "serial", "emulator-5554"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value config;
        config[c.key] = c.value;
        startFake(config, false);
        ApkInstaller installer(options());
        Recorder recorder;
        installer.notifier.connect(recorder.listener());
        std::wstring apk = makeApk(L"d.apk");
        EXPECT_EQ(-2, installer.installApk(apk, true, 30000));
        for (const auto& r : fake_->requests()) EXPECT_EQ(std::string::npos, r.find("pm install")) << r;
        auto events = recorder.events();
        ASSERT_EQ(2u, events.size());
        EXPECT_EQ(102, events[1].status);
        EXPECT_EQ(-2, events[1].result);
        EXPECT_TRUE(tst::fileExists(apk));  // deleteAfter only after an install
        installer.notifier.disconnect(recorder.listener());
    }
}

// --- package manager replies ---------------------------------------------------------

TEST_F(ApkInstallerTest, PackageManagerRepliesAndTheirLogLines) {
    struct Case {
        const char* name;
        std::wstring file;
        Json::Value rule;  // install_replies entry, or a scripted service reply
        bool scriptedService;
        int result;
    };
    Json::Value closeAtOnce;
    closeAtOnce["send"] = "FAIL0004nope";
    closeAtOnce["close"] = true;
    const std::vector<Case> cases = {
        {"Success", L"e1.apk", "Success\r\n", false, 0},
        {"Success after a line", L"e2.apk", "\tpkg: /sdcard/x.apk\r\nSuccess\r\n", false, 0},
        {"a failure", L"e3.apk", "Failure [INSTALL_FAILED_VERSION_DOWNGRADE]\r\n", false, -1},
        {"nothing before the close", L"e4.apk", "", false, -1},
        {"lower-case success", L"e5.apk", "success\r\n", false, -1},
        {"the install connection fails", L"e6.apk", closeAtOnce, true, -1},
    };
    Json::Value config;
    std::vector<std::wstring> apks;
    for (const auto& c : cases) {
        apks.push_back(makeApk(c.file));
        std::string name = tst::narrow(c.file);
        if (c.scriptedService)
            config["replies"][std::string(kPmInstall) + "\"/sdcard/" + name + "\""] = c.rule;
        else
            config["install_replies"][name] = c.rule;
    }
    startFake(config, false);
    ApkInstaller installer(options());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(cases[i].result, installer.installApk(apks[i], false, 30000));
    }
    // Log lines in the ANSI code page; the format's own text is GBK.
    const std::string install = "\xb0\xb2\xd7\xb0" "apk ";
    const std::string ok = std::string(" ") + "\xb3\xc9\xb9\xa6";
    const std::string failed = std::string(" ") + "\xca\xa7\xb0\xdc";
    // The log is shared with other runs of this program: the latest line counts.
    auto lines = logLinesWith(tag_ + "\\e1.apk");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(install + wideToAnsi(apks[0]) + " ", lines[0]);
    lines = logLinesWith("/sdcard/e1.apk");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(install + "shell:pm install -r \"/sdcard/e1.apk\"" + ok, lines.back());
    lines = logLinesWith("/sdcard/e6.apk");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(install + "shell:pm install -r \"/sdcard/e6.apk\"" + failed, lines.back());
}

TEST_F(ApkInstallerTest, FileNamesReachTheDeviceShellUnchanged) {
    startFake(Json::Value(), false);
    ApkInstaller installer(options());
    const std::vector<std::wstring> names = {L"a b.apk",   L"a$(echo X).apk", L"a`echo X`.apk",
                                             L"a$HOME.apk", L"a'b.apk",       L"\u5e94\u7528.apk"};
    for (const auto& name : names) {
        SCOPED_TRACE(tst::narrow(name));
        size_t before = fake_->eventsOf("pm_install").size();
        EXPECT_EQ(0, installer.installApk(makeApk(name), false, 30000));
        auto decoded = fake_->eventsOf("pm_install");
        ASSERT_EQ(before + 1, decoded.size());
        const Json::Value& e = decoded.back();
        ASSERT_EQ(1u, e["hex"].size());
        EXPECT_EQ(fakeadb::hexOf("/sdcard/" + tst::narrow(name)), e["hex"][0].asString());
    }
}

TEST_F(ApkInstallerTest, PathWithAControlCharacterIsRefusedWithoutTheDevice) {
    startFake(Json::Value(), false);
    ApkInstaller installer(options());
    Recorder recorder;
    installer.notifier.connect(recorder.listener());
    for (const std::wstring name : {std::wstring(L"q\x7f.apk"), std::wstring(L"q\x01.apk")}) {
        std::wstring path = src_.file(name);
        EXPECT_EQ(-1, installer.installApk(path, false, 30000));
        EXPECT_EQ(1u, logLinesWith("apk task refused: " + wideToAnsi(path)).size());  // the folder is new
    }
    EXPECT_EQ(0, fake_->connections());
    auto events = recorder.events();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ(102, events[3].status);
    EXPECT_EQ(-1, events[3].result);
    installer.notifier.disconnect(recorder.listener());
}

// An empty name or a folder must never make the shared folder (or a folder in it)
// the copy that is replaced and removed.
TEST_F(ApkInstallerTest, AnEmptyOrFolderPathIsRefusedAndTheSharedFolderStays) {
    startFake(Json::Value());
    ApkInstaller installer(options());
    const std::wstring mine = shared_.file(L"mine.txt");
    ASSERT_TRUE(tst::writeFile(mine, "the user's file"));
    tst::TempDir other(L"apkdir");
    ASSERT_TRUE(tst::writeFile(other.file(L"inside.apk"), "PK inside"));
    // A folder in the share under the name of the folder task's last component.
    const std::wstring leaf = other.path().substr(other.path().find_last_of(L'\\') + 1);
    ASSERT_TRUE(CreateDirectoryW(shared_.file(leaf).c_str(), nullptr));
    ASSERT_TRUE(tst::writeFile(shared_.file(leaf) + L"\\kept.txt", "kept"));
    struct Case {
        const char* name;
        std::wstring path;
    };
    const std::vector<Case> cases = {
        {"empty", L""},
        {"the shared folder itself", shared_.path()},
        {"the shared folder with a backslash", shared_.path() + L"\\"},
        {"a folder", other.path()},
        {"missing", src_.file(L"absent.apk")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t mark = logSize();
        EXPECT_EQ(-1, installer.installApk(c.path, true, 30000));
        const std::vector<std::string> lines = logLinesSince(mark);
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "apk task refused: " + wideToAnsi(c.path)));
        std::string bytes;
        EXPECT_TRUE(tst::readFile(mine, bytes));
        EXPECT_EQ("the user's file", bytes);
        EXPECT_TRUE(tst::readFile(shared_.file(leaf) + L"\\kept.txt", bytes));
        EXPECT_TRUE(tst::fileExists(other.file(L"inside.apk")));
    }
    EXPECT_EQ(0, fake_->connections());

    // A real APK whose name a folder of the share holds: that folder stays, the APK is pushed.
    const std::wstring apk = makeApk(leaf);
    EXPECT_EQ(0, installer.installApk(apk, false, 30000));
    EXPECT_EQ(std::string("/sdcard/") + tst::narrow(leaf), fake_->installs().back());
    std::string bytes;
    EXPECT_TRUE(tst::readFile(shared_.file(leaf) + L"\\kept.txt", bytes));
    EXPECT_EQ("kept", bytes);
    EXPECT_TRUE(tst::readFile(mine, bytes));
}

// --- deleteAfter ---------------------------------------------------------------------

TEST_F(ApkInstallerTest, DeleteAfterOnlyAfterASuccess) {
    struct Case {
        const char* name;
        const char* key;
        const char* value;
        int result;
        bool kept;
    };
    const Case cases[] = {{"installed", "install_reply", "Success\r\n", 0, false},
                          {"package manager failure", "install_reply", "Failure [INSTALL_FAILED_INVALID_APK]\r\n", -1, true},
                          {"push failure", "send_reply", "fail", -2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json::Value config;
        config[c.key] = c.value;
        startFake(config, false);
        ApkInstaller installer(options());
        std::wstring apk = makeApk(L"f.apk");
        EXPECT_EQ(c.result, installer.installApk(apk, true, 30000));
        EXPECT_EQ(c.kept, tst::fileExists(apk));
    }
}

// --- the package list ------------------------------------------------------------------

class ApkListTest : public ApkInstallerTest {
protected:
    void SetUp() override {
        ApkInstallerTest::SetUp();
        ASSERT_TRUE(state_.held());
        context_.reset(new TestContext());
        listPath_ = AppListStore(*context_).listPath();
        DeleteFileW(listPath_.c_str());
        startFake(Json::Value(), false);
    }
    void TearDown() override {
        DeleteFileW(listPath_.c_str());
        ApkInstallerTest::TearDown();
    }
    ApkInstaller::Options listOptions() {
        ApkInstaller::Options o = options();
        smart_ptr<Context> c = context_;
        o.listContext = [c] { return c; };
        return o;
    }
    AppInfo app(const std::wstring& id, const std::wstring& package, const std::wstring& file) {
        AppInfo a;
        a.id = id;
        a.package = package;
        a.apkPath = makeApk(file);
        return a;
    }

    tst::MachineStateLock state_;  // the user data folder is shared by the prefix's tests
    smart_ptr<Context> context_;
    std::wstring listPath_;
};

TEST_F(ApkListTest, AnInstalledAppGainsOneLine) {
    ApkInstaller installer(listOptions());
    EXPECT_EQ(0, installer.installApp(app(L"1001", L"com.x", L"x.apk"), false, 30000));
    std::string bytes;
    ASSERT_TRUE(tst::readFile(listPath_, bytes));
    EXPECT_EQ("com.x#0#0#com.x\r\n", bytes);

    // A package already listed leaves the file as it is.
    ASSERT_TRUE(tst::writeFile(listPath_, "com.x#5#7#Label\r\nb#1#2#c\r\n"));
    EXPECT_EQ(0, installer.installApp(app(L"1001", L"com.x", L"x2.apk"), false, 30000));
    ASSERT_TRUE(tst::readFile(listPath_, bytes));
    EXPECT_EQ("com.x#5#7#Label\r\nb#1#2#c\r\n", bytes);

    // Without an app id (or a bare APK) no list is touched.
    DeleteFileW(listPath_.c_str());
    EXPECT_EQ(0, installer.installApp(app(L"", L"com.y", L"y.apk"), false, 30000));
    EXPECT_EQ(0, installer.installApk(makeApk(L"z.apk"), false, 30000));
    EXPECT_FALSE(tst::fileExists(listPath_));

    // A failed install records nothing.
    AppInfo failing = app(L"1002", L"com.f", L"fail.apk");
    failing.apkPath = src_.file(L"absent.apk");
    EXPECT_EQ(-1, installer.installApp(failing, false, 30000));
    EXPECT_FALSE(tst::fileExists(listPath_));
}

TEST_F(ApkListTest, ALockedListCostsTheRecordOnly) {
    ApkInstaller installer(listOptions());
    std::wstring lock = listPath_ + L".lck";
    HANDLE held = CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    AppInfo a = app(L"1003", L"com.locked", L"l.apk");
    EXPECT_EQ(0, installer.installApp(a, false, 30000));
    CloseHandle(held);
    DeleteFileW(lock.c_str());
    EXPECT_FALSE(tst::fileExists(listPath_));
    EXPECT_FALSE(logLinesWith("app list update failed: lock failed").empty());
    // The worker goes on.
    EXPECT_EQ(0, installer.installApp(app(L"1004", L"com.after", L"after.apk"), false, 30000));
    std::string bytes;
    ASSERT_TRUE(tst::readFile(listPath_, bytes));
    EXPECT_EQ("com.after#0#0#com.after\r\n", bytes);
}

TEST_F(ApkInstallerTest, AThrowingListContextLeavesTheWorkerRunning) {
    startFake(Json::Value(), false);
    ApkInstaller::Options o = options();
    o.listContext = []() -> smart_ptr<Context> { throw std::runtime_error("no registry"); };
    ApkInstaller installer(o);
    AppInfo a;
    a.id = L"1005";
    a.package = L"com.t";
    a.apkPath = makeApk(L"t1.apk");
    EXPECT_EQ(0, installer.installApp(a, false, 30000));
    a.apkPath = makeApk(L"t2.apk");
    EXPECT_EQ(0, installer.installApp(a, false, 30000));
    EXPECT_EQ(2u, fake_->eventsOf("installed").size());
    EXPECT_FALSE(logLinesWith("app list update failed: no registry").empty());
}

TEST(ApkListContext, VBoxGuestInstallsGoToAVBoxList) {
    smart_ptr<Context> vbox(new TestContext(EngineKind::VBox, L"vbox_1"));
    smart_ptr<Context> otherVBox(new TestContext(EngineKind::VBox, L"vbox_2"));
    smart_ptr<Context> qv(new TestContext(EngineKind::Qv, L"qv_1"));
    std::vector<std::wstring> asked;
    auto registry = [&](const std::wstring& name) {
        asked.push_back(name);
        return name == L"vbox_1" ? vbox : smart_ptr<Context>();
    };
    auto none = [&](const std::wstring& name) {
        asked.push_back(name);
        return smart_ptr<Context>();
    };
    struct Case {
        const char* name;
        smart_ptr<Context> current;
        bool withVBox;
        Context* expected;
    };
    const std::vector<Case> cases = {
        {"current VBox context", otherVBox, true, otherVBox.get()},
        {"current Qv context", qv, true, vbox.get()},
        {"no current context", smart_ptr<Context>(), true, vbox.get()},
        {"Qv current, no VBox registered", qv, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        smart_ptr<Context> chosen =
            c.withVBox ? apkListContext(c.current, registry) : apkListContext(c.current, none);
        EXPECT_EQ(c.expected, chosen.get());
    }
    EXPECT_EQ((std::vector<std::wstring>{L"vbox_1", L"vbox_1", L"vbox_1"}), asked);
}

// --- waiting, order, notifications ---------------------------------------------------

TEST_F(ApkInstallerTest, QueueOrderAndCallersThatStopWaiting) {
    tst::TempDir hold(L"apkhold");
    Json::Value config;
    config["install_hold"]["release_file"] = tst::unixPath(hold.path()) + "/go";
    config["install_hold"]["limit_s"] = 40;
    startFake(config, false);
    ApkInstaller installer(options());
    Recorder recorder;
    installer.notifier.connect(recorder.listener());
    Call a, b, c, d;
    struct Slot {
        Call* call;
        const wchar_t* file;
        int32_t timeoutMs;
    };
    // a is held in the worker; b and c wait in the queue; d waits without limit.
    const Slot slots[] = {{&a, L"qa.apk", 30000}, {&b, L"qb.apk", 600}, {&c, L"qc.apk", 30000}, {&d, L"qd.apk", -1}};
    for (const auto& s : slots) {
        s.call->installer = &installer;
        s.call->apk = makeApk(s.file);
        s.call->timeoutMs = s.timeoutMs;
        s.call->start();
        if (s.call == &a) ASSERT_TRUE(fake_->waitFor([&] { return fake_->installs().size() == 1; }));
    }
    ASSERT_TRUE(b.join(10000));
    EXPECT_EQ(-1, b.result);
    EXPECT_GE(b.ms, 550u);
    EXPECT_LT(b.ms, 3000u);
    ASSERT_TRUE(tst::writeFile(hold.file(L"go"), ""));
    for (Call* call : {&a, &c, &d}) ASSERT_TRUE(call->join(60000));
    EXPECT_EQ(0, a.result);
    EXPECT_EQ(0, c.result);
    EXPECT_EQ(0, d.result);
    // The caller without limit went first; b is still installed, with nobody waiting.
    ASSERT_TRUE(fake_->waitFor([&] { return fake_->installs().size() == 4; }, 30000));
    EXPECT_EQ((std::vector<std::string>{"/sdcard/qa.apk", "/sdcard/qd.apk", "/sdcard/qb.apk", "/sdcard/qc.apk"}),
              fake_->installs());
    ASSERT_TRUE(fake_->waitFor([&] { return recorder.events().size() == 8; }));
    std::vector<std::wstring> ids;
    for (const auto& e : recorder.events())
        if (e.status == 102) {
            ids.push_back(e.id);
            EXPECT_EQ(0, e.result);
        }
    EXPECT_EQ(4u, ids.size());
    installer.notifier.disconnect(recorder.listener());
}

TEST_F(ApkInstallerTest, EveryCallerGetsItsOwnResultAndEvents) {
    Json::Value config;
    config["install_replies"]["r2.apk"] = "Failure [INSTALL_FAILED_OLDER_SDK]\r\n";
    startFake(config, false);
    ApkInstaller installer(options());
    ApkInstaller::Notifier::delegate_type thrower;
    thrower.bindStatic(&throwingListener);
    installer.notifier.connect(thrower);  // first in line, and it throws
    Recorder recorder;
    installer.notifier.connect(recorder.listener());
    Call calls[3];
    const wchar_t* files[] = {L"r1.apk", L"r2.apk", L"r3.apk"};
    for (int i = 0; i < 3; ++i) {
        calls[i].installer = &installer;
        calls[i].apk = makeApk(files[i]);
    }
    // Held without sharing: nothing can be read to push.
    HANDLE held = CreateFileW(calls[2].apk.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    for (auto& c : calls) c.thread = CreateThread(nullptr, 0, Call::proc, &c, 0, nullptr);
    for (auto& c : calls) ASSERT_TRUE(c.join());
    CloseHandle(held);
    EXPECT_EQ(0, calls[0].result);
    EXPECT_EQ(-1, calls[1].result);
    EXPECT_EQ(-2, calls[2].result);

    const std::regex idPattern("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    std::set<std::wstring> ids;
    auto events = recorder.events();
    ASSERT_EQ(6u, events.size());
    for (const auto& e : events) ids.insert(e.id);
    EXPECT_EQ(3u, ids.size());
    const int expected[] = {0, -1, -2};
    std::set<int> finals;
    for (const auto& id : ids) {
        EXPECT_TRUE(std::regex_match(tst::narrow(id), idPattern)) << tst::narrow(id);
        auto mine = recorder.eventsOf(id);
        ASSERT_EQ(2u, mine.size());
        EXPECT_EQ(100, mine[0].status);
        EXPECT_EQ(-1, mine[0].result);
        EXPECT_EQ(102, mine[1].status);
        finals.insert(mine[1].result);
    }
    EXPECT_EQ(std::set<int>(expected, expected + 3), finals);
    installer.notifier.disconnect(recorder.listener());
    installer.notifier.disconnect(thrower);
}

// --- stopping ------------------------------------------------------------------------

TEST_F(ApkInstallerTest, DestroyingAbandonsTheRunningTaskAndDropsTheQueue) {
    Json::Value config;
    config["install_silent"] = true;
    startFake(config);
    Recorder recorder;
    std::unique_ptr<ApkInstaller> installer(new ApkInstaller(options()));
    installer->notifier.connect(recorder.listener());
    std::wstring first = makeApk(L"s1.apk");
    EXPECT_EQ(-1, installer->installApk(first, true, 500));
    ASSERT_TRUE(fake_->waitFor([&] {
        for (const auto& r : fake_->requests())
            if (r.find("pm install") != std::string::npos) return true;
        return false;
    }));
    EXPECT_TRUE(tst::fileExists(shared_.file(L"s1.apk")));  // the worker's copy, in use
    EXPECT_EQ(-1, installer->installApk(makeApk(L"s2.apk"), false, 200));
    ULONGLONG t0 = GetTickCount64();
    installer.reset();
    EXPECT_LT(GetTickCount64() - t0, 1000u);

    auto events = recorder.events();
    ASSERT_EQ(2u, events.size());  // the queued task never started
    EXPECT_EQ(102, events[1].status);
    EXPECT_EQ(-1, events[1].result);
    EXPECT_FALSE(tst::fileExists(shared_.file(L"s1.apk")));
    EXPECT_TRUE(tst::fileExists(first));  // no deleteAfter for an abandoned task
    std::string detail;
    EXPECT_TRUE(fake_->waitAllClosed(15000, &detail)) << detail;
    Sleep(300);
    int installs = 0;
    for (const auto& r : fake_->requests())
        if (r.find("pm install") != std::string::npos) ++installs;
    EXPECT_EQ(1, installs);
}

TEST_F(ApkInstallerTest, ProcessExitStopsASilentInstall) {
    Json::Value config;
    config["install_silent"] = true;
    startFake(config, false);
    std::wstring apk = makeApk(L"exit.apk");
    ULONGLONG t0 = GetTickCount64();
    fakeadb::DriverRun run = fakeadb::runDriver(
        {L"--adb-port", std::to_wstring(fake_->port()), L"install", apk, L"500"}, {}, 60000,
        tst::binDir() + L"\\apk_driver.exe");
    ULONGLONG lived = GetTickCount64() - t0;
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(-1, run.num("result"));
    EXPECT_GE(run.num("elapsed_ms"), 450);
    EXPECT_LT(run.num("elapsed_ms"), 2500);
    EXPECT_LT(lived, 3000u);
    EXPECT_EQ(1, run.num("notify_count"));
    EXPECT_NE(std::string::npos, run["notify_0"].find(" 100 -1"));
    std::string detail;
    EXPECT_TRUE(fake_->waitAllClosed(15000, &detail)) << detail;
}

}  // namespace
