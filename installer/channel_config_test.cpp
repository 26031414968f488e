#include "installer/channel_config.h"

#include <gtest/gtest.h>

#include <json/json.h>

#include <memory>

#include "services/ini_file.h"
#include "services/loader_env.h"
#include "testing/support/test_support.h"

// Narrow literals are GBK in this build: documents with Chinese text are u8.
//
// The record and the developer settings are per process: every case runs the
// channel_probe program, copied into a folder of its own beside a settings file
// that points every host at the fixture server, with its own --cno.

namespace {

const char kCno[] = "st7001";

// The adapter ini and the cnos folder are shared by the test processes of the
// prefix: the same named mutex as the environment tests guards them.
struct MachineState {
    tst::MachineStateLock lock;  // first in, last out
    tst::SavedFile adapterIni{getAdaptIniPath()};
};

struct ProbeRun {
    long exitCode = -1;
    Json::Value out;
    std::string log;
    const Json::Value& record() const { return out["record"]; }
    const Json::Value& app(int i = 0) const { return out["record"]["apps"][i]; }
};

std::vector<std::string> strings(const Json::Value& list) {
    std::vector<std::string> out;
    for (const Json::Value& v : list) out.push_back(v.asString());
    return out;
}

std::wstring cnosIni(const std::string& cno) { return getCnosFolder() + L"\\" + tst::widen(cno) + L".ini"; }

class ChannelProbe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new tst::LinuxProcess();
        ASSERT_TRUE(server_->start({"/usr/bin/python3", tst::testingDirUnix() + "/channel_fixture/server.py"}, 300));
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        machine_.reset(new MachineState());
        ASSERT_TRUE(machine_->lock.held());
        DeleteFileW(cnosIni(kCno).c_str());
        for (const wchar_t* name : {L"channel_config.json", L"apk_config.json", L"market.json",
                                    L"channel_config.json.status", L"apk_config.json.status", L"moved.json"})
            DeleteFileW((server_->folder() + L"\\" + name).c_str());
    }
    void TearDown() override {
        DeleteFileW(cnosIni(kCno).c_str());
        machine_.reset();
    }

    static std::wstring base() { return L"http://127.0.0.1:" + std::to_wstring(server_->port()); }
    static std::string baseA() { return tst::narrow(base()); }

    void serve(const wchar_t* name, const std::string& bytes) {
        ASSERT_TRUE(tst::writeFile(server_->folder() + L"\\" + name, bytes));
    }

    // Runs the probe; `hosts` is the address every host key gets.
    ProbeRun probe(const std::string& mode, const std::string& arg = std::string(),
                   const std::string& cno = kCno, std::wstring hosts = std::wstring()) {
        if (hosts.empty()) hosts = base();
        tst::TempDir dir(L"chp");
        static int serial = 0;
        const std::wstring name = L"chprobe_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
        const std::wstring exe = dir.file(name + L".exe");
        ProbeRun run;
        if (!CopyFileW((tst::binDir() + L"\\channel_probe.exe").c_str(), exe.c_str(), FALSE)) return run;
        std::string settings = "online=1\n";
        for (const char* key : {"stat_host", "product_host", "market_host", "market_down_host"})
            settings += std::string(key) + "=" + tst::narrow(hosts) + "\n";
        tst::writeFile(dir.file(L"tarvo-dev.lic"), settings);
        const std::wstring outFile = dir.file(L"out.json");
        std::wstring command = L"\"" + exe + L"\" --cno " + tst::widen(cno) + L" --probe-out \"" + outFile +
                               L"\" --probe-mode " + tst::widen(mode);
        if (!arg.empty()) command += L" --probe-arg \"" + tst::widen(arg) + L"\"";
        run.exitCode = tst::runProgram(command, 60000);
        std::string text;
        tst::readFile(outFile, text);
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        reader->parse(text.data(), text.data() + text.size(), &run.out, &errors);
        const std::wstring logFile = getLogFolder() + L"\\" + name + L".log";
        tst::readFile(logFile, run.log);
        DeleteFileW(logFile.c_str());
        return run;
    }

    static std::string adapterAppChannel() {
        return tst::narrow(IniFile(getAdaptIniPath()).getString(L"main", L"app_channel", L"<none>"));
    }

    static void expectDefaults(const Json::Value& r) {
        EXPECT_EQ(r["apkChannel"].asString(), "");
        EXPECT_EQ(r["apkId"].asString(), "");
        EXPECT_EQ(r["romUrls"].size(), 0u);
        EXPECT_EQ(r["romVersions"].size(), 0u);
        EXPECT_FALSE(r["vboxEnabled"].asBool());
        EXPECT_FALSE(r["installApk"].asBool());
        EXPECT_EQ(r["apps"].size(), 0u);
    }

    std::unique_ptr<MachineState> machine_;
    static tst::LinuxProcess* server_;
};
tst::LinuxProcess* ChannelProbe::server_ = nullptr;

const char kApps[] = u8R"([
  {"apkid": "1001", "name": "塔沃", "apkpackagename": "com.x.y", "apkactivity": ".Main",
   "apkurl": "http://h/app.apk", "one": "http://h/1.png", "two": "http://h/2.png",
   "icon": "http://h/i.png", "apkpackage": "x.apk", "apkversion": "1.2", "latest": "1"},
  {"apkid": "1001", "name": "second entry"}
])";

}  // namespace

TEST_F(ChannelProbe, ChannelEntryFillsTheRecordAndTheChannelIni) {
    serve(L"channel_config.json", R"([
      {"channel": "other", "apkchannel": "not this"},
      {"channel": "st7001", "apkchannel": "ch\r\nX=1",
       "romurl": "http://h/r1.zip;;http://h/r2.zip;http://h/r3.zip;", "romversion": "3.1.0.1",
       "vbox_url": "http://h/v1.zip;http://h/v2.zip", "vbox_version": "",
       "vbox_enabled": "true", "installapk": 1, "silent": "1", "launch": "0", "launchapk": "1",
       "hall_url": "http://h/hall.exe", "hall_ver": "2.0", "only_hall": true,
       "apkid": "1001", "apkurl": "http://h/override.apk"}
    ])");
    serve(L"apk_config.json", kApps);
    ProbeRun run = probe("update", "1001");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out["result"].asInt(), 1);
    const Json::Value& r = run.record();
    EXPECT_EQ(r["cno"].asString(), kCno);
    EXPECT_EQ(r["apkChannel"].asString(), "chX=1");
    EXPECT_EQ(strings(r["romUrls"]), (std::vector<std::string>{"http://h/r1.zip", "http://h/r2.zip", "http://h/r3.zip"}));
    EXPECT_EQ(strings(r["romVersions"]), (std::vector<std::string>{"3.1.0.1", "0.0.0.0000", "0.0.0.0000"}));
    EXPECT_EQ(strings(r["vboxVersions"]), (std::vector<std::string>{"0.0.0.0000", "0.0.0.0000"}));
    EXPECT_FALSE(r["vboxEnabled"].asBool());  // only the text "1" counts
    EXPECT_TRUE(r["installApk"].asBool());    // the number 1 reads "1"
    EXPECT_TRUE(r["silent"].asBool());
    EXPECT_FALSE(r["launch"].asBool());
    EXPECT_TRUE(r["launchApk"].asBool());
    EXPECT_FALSE(r["onlyHall"].asBool());  // true reads "true"
    EXPECT_EQ(r["hallUrl"].asString(), "http://h/hall.exe");
    EXPECT_EQ(r["hallVersion"].asString(), "2.0");
    EXPECT_EQ(r["apkId"].asString(), "1001");

    ASSERT_EQ(r["apps"].size(), 1u);
    const Json::Value& a = run.app();
    EXPECT_EQ(a["id"].asString(), "1001");
    EXPECT_EQ(a["name"].asString(), u8"塔沃");  // the first matching entry
    EXPECT_EQ(a["package"].asString(), "com.x.y");
    EXPECT_EQ(a["activity"].asString(), ".Main");
    EXPECT_EQ(a["apkUrl"].asString(), "http://h/override.apk");
    EXPECT_EQ(a["apkFileName"].asString(), "x.apk");
    EXPECT_EQ(strings(a["tipPictures"]), (std::vector<std::string>{"http://h/1.png", "http://h/2.png", ""}));
    EXPECT_EQ(a["iconUrl"].asString(), "http://h/i.png");
    EXPECT_EQ(a["apkVersion"].asString(), "1.2");
    EXPECT_EQ(a["latest"].asString(), "1");
    EXPECT_TRUE(run.out["found"].asBool());

    // The app channel stays one ini line; the channel ini names cno and app channel.
    EXPECT_EQ(adapterAppChannel(), "chX=1");
    std::string adapter;
    tst::readFile(getAdaptIniPath(), adapter);
    EXPECT_EQ(adapter.find("\nX=1"), std::string::npos);
    IniFile channelIni(cnosIni(kCno));
    EXPECT_EQ(channelIni.getString(L"main", L"id", L""), tst::widen(kCno));
    EXPECT_EQ(channelIni.getString(L"main", L"no", L""), L"chX=1");
}

TEST_F(ChannelProbe, FindAppIsExact) {
    serve(L"channel_config.json", R"([{"channel": "st7001", "apkid": "1001"}])");
    serve(L"apk_config.json", kApps);
    for (const char* id : {"1001 ", "1001x", "100"}) {
        ProbeRun run = probe("update", id);
        ASSERT_EQ(run.record()["apps"].size(), 1u) << id;
        EXPECT_FALSE(run.out["found"].asBool()) << id;
    }
}

TEST_F(ChannelProbe, EmptyAppIdKeepsWhatWasReadButWritesNoChannelIni) {
    serve(L"channel_config.json", R"({"x": {"channel": "st7001", "apkchannel": "ac9", "romurl": "http://h/a.zip",
                                     "vbox_enabled": "1", "apkid": ""}})");
    serve(L"apk_config.json", kApps);
    ProbeRun fetch = probe("fetch");
    ASSERT_EQ(fetch.exitCode, 0);
    EXPECT_FALSE(fetch.out["result"].asBool());
    ProbeRun run = probe("update");
    EXPECT_EQ(run.out["result"].asInt(), 1);
    const Json::Value& r = run.record();
    EXPECT_EQ(r["apkChannel"].asString(), "ac9");
    EXPECT_EQ(strings(r["romUrls"]), std::vector<std::string>{"http://h/a.zip"});
    EXPECT_EQ(strings(r["romVersions"]), std::vector<std::string>{"0.0.0.0000"});
    EXPECT_TRUE(r["vboxEnabled"].asBool());
    EXPECT_EQ(r["apps"].size(), 0u);
    EXPECT_EQ(adapterAppChannel(), "ac9");
    EXPECT_FALSE(tst::fileExists(cnosIni(kCno)));
}

TEST_F(ChannelProbe, FirstMatchingEntryWinsInDocumentOrKeyOrder) {
    struct { const char* document; const char* winner; } cases[] = {
        // An array is walked in document order.
        {R"([{"channel": "st7001", "apkchannel": "first"}, {"channel": "st7001", "apkchannel": "second"}])", "first"},
        // An object is walked in key order: "a" comes before "b".
        {R"({"b": {"channel": "st7001", "apkchannel": "under b"}, "a": {"channel": "st7001", "apkchannel": "under a"}})",
         "under a"},
    };
    for (auto& c : cases) {
        serve(L"channel_config.json", c.document);
        ProbeRun run = probe("fetch");
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_FALSE(run.out["result"].asBool());
        EXPECT_EQ(run.record()["apkChannel"].asString(), c.winner);
    }
}

TEST_F(ChannelProbe, MarketCompletesOrSuppliesTheApp) {
    serve(L"channel_config.json", R"([{"channel": "st7001", "apkchannel": "c h", "apkid": "2002"},
                                       {"channel": "st7002", "apkchannel": "c2", "apkid": "3003"},
                                       {"channel": "st7003", "apkchannel": "c3", "apkid": "4004"},
                                       {"channel": "st7004", "apkchannel": "c4", "apkid": "5005"}])");
    serve(L"apk_config.json", R"([{"apkid": "3003", "name": "in doc", "apkpackage": "", "apkpackagename": ""},
                                  {"apkid": "5005", "name": "no market"}])");
    serve(L"market.json", u8R"({"2002": {"2002": {"pname": "com.m.app", "soft_name": "市场", "logo_url": "http://m/l.png"}},
                               "3003": {"3003": {"pname": "com.m.three", "logo_url": "http://m/3.png"}},
                               "4004": {"4004": {"soft_name": "nameless"}}})");
    // Absent from the app document: the market's package, name and logo, the market address.
    ProbeRun market = probe("update", "2002", "st7001");
    ASSERT_EQ(market.exitCode, 0);
    ASSERT_EQ(market.record()["apps"].size(), 1u);
    const Json::Value& a = market.app();
    EXPECT_EQ(a["id"].asString(), "2002");
    EXPECT_EQ(a["apkUrl"].asString(), baseA() + "/redirect/down/?from=c%20h&appid=2002");
    EXPECT_EQ(a["package"].asString(), "com.m.app");
    EXPECT_EQ(a["apkFileName"].asString(), "com.m.app.apk");
    EXPECT_EQ(a["name"].asString(), u8"市场");
    EXPECT_EQ(a["iconUrl"].asString(), "http://m/l.png");
    EXPECT_EQ(a["tipPictures"].size(), 3u);
    EXPECT_TRUE(tst::fileExists(cnosIni("st7001")));
    DeleteFileW(cnosIni("st7001").c_str());

    // In the document with empty package and file name: the market's package names the file.
    ProbeRun completed = probe("fetch", "", "st7002");
    EXPECT_TRUE(completed.out["result"].asBool());
    const Json::Value& b = completed.app();
    EXPECT_EQ(b["name"].asString(), "in doc");
    EXPECT_EQ(b["package"].asString(), "com.m.three");
    EXPECT_EQ(b["apkFileName"].asString(), "com.m.three.apk");
    EXPECT_EQ(b["apkUrl"].asString(), baseA() + "/redirect/down/?from=c2&appid=3003");
    EXPECT_EQ(b["iconUrl"].asString(), "http://m/3.png");
    EXPECT_EQ(strings(b["tipPictures"]), (std::vector<std::string>{"", "", ""}));

    // Absent from the document and no package from the market: not found.
    ProbeRun none = probe("fetch", "", "st7003");
    EXPECT_FALSE(none.out["result"].asBool());
    EXPECT_EQ(none.record()["apps"].size(), 0u);
    EXPECT_EQ(none.record()["apkChannel"].asString(), "c3");

    // In the document, market unknown: empty texts, the app is still taken.
    ProbeRun unknown = probe("fetch", "", "st7004");
    EXPECT_TRUE(unknown.out["result"].asBool());
    EXPECT_EQ(unknown.app()["apkFileName"].asString(), ".apk");
    EXPECT_EQ(unknown.app()["package"].asString(), "");
}

TEST_F(ChannelProbe, MalformedShapesAreSkippedWithoutACrash) {
    struct { const char* channel; const char* apps; bool result; const char* apkChannel; } cases[] = {
        // Entries that are not objects are skipped; an array member reads empty.
        {R"(["text", 5, null, [1], {"channel": "st7001", "apkchannel": "ok", "romurl": ["a", "b"], "apkid": "1001"}])",
         R"(["x", {"apkid": "1001", "name": {"n": 1}, "apkpackagename": ["p"]}])", true, "ok"},
        // An app id that is an object reads empty: no app.
        {R"([{"channel": "st7001", "apkchannel": "obj", "apkid": {"id": "1001"}}])", kApps, false, "obj"},
        // Top levels that are not collections.
        {"42", kApps, false, ""},
        {R"("st7001")", kApps, false, ""},
        // The app document's top level is a number.
        {R"([{"channel": "st7001", "apkchannel": "c", "apkid": "1001"}])", "7", false, "c"},
    };
    for (auto& c : cases) {
        serve(L"channel_config.json", c.channel);
        serve(L"apk_config.json", c.apps);
        ProbeRun run = probe("fetch");
        ASSERT_EQ(run.exitCode, 0) << c.channel;
        EXPECT_EQ(run.out["result"].asBool(), c.result) << c.channel;
        EXPECT_EQ(run.record()["apkChannel"].asString(), c.apkChannel) << c.channel;
        EXPECT_EQ(run.record()["romUrls"].size(), 0u) << c.channel;
    }
    serve(L"channel_config.json", cases[0].channel);
    serve(L"apk_config.json", cases[0].apps);
    ProbeRun run = probe("fetch");
    EXPECT_EQ(run.app()["name"].asString(), "");
    EXPECT_EQ(run.app()["apkFileName"].asString(), ".apk");
}

TEST_F(ChannelProbe, UnsafeRemoteNamesRejectTheApp) {
    struct { const char* apkid; const char* field; const char* value; } cases[] = {
        {"1001", "apkpackage", "..\\\\..\\\\x.apk"},
        {"1001", "apkpackage", "sub/x.apk"},
        {"1/2", "name", "n"},
        {".hidden", "name", "n"},
        {"--uninstall", "name", "n"},
        {"1001", "apkpackagename", "com.x\\\"y"},
        {"1001", "apkpackagename", "com x"},
        {"1001", "apkactivity", ".Main \\\"; reboot"},
    };
    for (auto& c : cases) {
        serve(L"channel_config.json",
              std::string(R"([{"channel": "st7001", "apkchannel": "u", "apkid": ")") + c.apkid + "\"}]");
        serve(L"apk_config.json", std::string(R"([{"apkid": ")") + c.apkid + R"(", "apkpackagename": "com.ok", ")" +
                                      c.field + "\": \"" + c.value + "\"}]");
        ProbeRun run = probe("update");
        ASSERT_EQ(run.exitCode, 0) << c.value;
        EXPECT_EQ(run.record()["apps"].size(), 0u) << c.apkid << " " << c.value;
        EXPECT_EQ(run.record()["apkChannel"].asString(), "u");
        EXPECT_NE(run.log.find("refused"), std::string::npos) << run.log;
        EXPECT_FALSE(tst::fileExists(cnosIni(kCno)));
    }
}

TEST_F(ChannelProbe, UnsafeVersionPiecesAreReplaced) {
    serve(L"channel_config.json", R"([{"channel": "st7001", "romurl": "http://h/1.zip;http://h/2.zip;http://h/3.zip",
        "romversion": "1\\..\\x;2.0.0.1;C:x", "vbox_url": "http://h/v.zip", "vbox_version": "a/b"}])");
    ProbeRun run = probe("fetch");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(strings(run.record()["romVersions"]), (std::vector<std::string>{"0.0.0.0000", "2.0.0.1", "0.0.0.0000"}));
    EXPECT_EQ(strings(run.record()["vboxVersions"]), std::vector<std::string>{"0.0.0.0000"});
    EXPECT_NE(run.log.find("refused"), std::string::npos);
}

TEST_F(ChannelProbe, DocumentFailuresKeepTheDefaults) {
    struct { const char* name; const char* status; const char* body; } cases[] = {
        {"404", "404", nullptr},
        {"not JSON", nullptr, "<html>channel</html>"},
        {"empty", nullptr, ""},
        {"500", "500", nullptr},
    };
    for (auto& c : cases) {
        DeleteFileW((server_->folder() + L"\\channel_config.json.status").c_str());
        if (c.status) serve(L"channel_config.json.status", c.status);
        if (c.body) serve(L"channel_config.json", c.body);
        ProbeRun run = probe("update");
        ASSERT_EQ(run.exitCode, 0) << c.name;
        EXPECT_EQ(run.out["result"].asInt(), 1) << c.name;
        expectDefaults(run.record());
        EXPECT_FALSE(tst::fileExists(cnosIni(kCno))) << c.name;
    }
    ProbeRun unreachable = probe("update", "", kCno, L"http://127.0.0.1:1");
    ASSERT_EQ(unreachable.exitCode, 0);
    EXPECT_EQ(unreachable.out["result"].asInt(), 1);
    expectDefaults(unreachable.record());
    EXPECT_FALSE(tst::fileExists(cnosIni(kCno)));

    // The app document fails: the channel's fields stay, there is no app.
    DeleteFileW((server_->folder() + L"\\channel_config.json.status").c_str());
    serve(L"channel_config.json", R"([{"channel": "st7001", "apkchannel": "kept", "apkid": "1001"}])");
    serve(L"apk_config.json.status", "404");
    ProbeRun noApps = probe("update");
    EXPECT_EQ(noApps.record()["apkChannel"].asString(), "kept");
    EXPECT_EQ(noApps.record()["apps"].size(), 0u);
    EXPECT_FALSE(tst::fileExists(cnosIni(kCno)));
}

TEST_F(ChannelProbe, MovedDocumentIsFollowed) {
    serve(L"channel_config.json.status", "301 /data/moved.json");
    serve(L"moved.json", R"([{"channel": "st7001", "apkchannel": "moved", "apkid": "1001"}])");
    serve(L"apk_config.json", kApps);
    ProbeRun run = probe("update");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.record()["apkChannel"].asString(), "moved");
    EXPECT_EQ(run.record()["apps"].size(), 1u);
    EXPECT_TRUE(tst::fileExists(cnosIni(kCno)));
}

TEST_F(ChannelProbe, StatisticsHostComesFromTheSettingsFile) {
    ProbeRun run = probe("stat");
    ASSERT_EQ(run.exitCode, 0);
    std::string log;
    tst::readFile(server_->folder() + L"\\requests.log", log);
    EXPECT_NE(log.find("GET /Stat?action=lod_start&ref=loader&ver="), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("&cno=") + kCno + " HTTP/1.1\r\n"), std::string::npos) << log;
}

TEST(ChannelNames, SafetyTables) {
    struct { const wchar_t* text; bool id, file, package, activity; } cases[] = {
        {L"1001", true, true, true, true},
        {L"com.x.y", true, true, true, true},
        {L".Main", false, true, true, true},
        {L"x.apk", true, true, true, true},
        {L"a_b-c", true, true, false, false},
        {L"Outer$Inner", false, true, false, true},
        {L"", false, false, true, true},
        {L".", false, false, true, true},
        {L"..", false, false, true, true},
        {L"a b", false, true, false, false},
        {L"1/2", false, false, false, false},
        {L"..\\x.apk", false, false, false, false},
        {L"x:y", false, false, false, false},
        {L"a\"b", false, false, false, false},
        {L"a|b", false, false, false, false},
        {L"a*b?", false, false, false, false},
        {L"a<b>", false, false, false, false},
        {L"a\tb", false, false, false, false},
        {L"\u4e2d.apk", false, true, false, false},
        // An id is passed on after "--app-id": it must not read as a command word.
        {L"--uninstall", false, true, false, false},
        {L"-s", false, true, false, false},
        {L"_x", false, true, true, true},
        {L"1 --uninstall", false, true, false, false},
        {L"com.tarvo.game", true, true, true, true},
    };
    for (auto& c : cases) {
        EXPECT_EQ(isSafeChannelAppId(c.text), c.id) << tst::narrow(c.text);
        EXPECT_EQ(isSafeApkFileName(c.text), c.file) << tst::narrow(c.text);
        EXPECT_EQ(isSafeAndroidPackage(c.text), c.package) << tst::narrow(c.text);
        EXPECT_EQ(isSafeAndroidActivity(c.text), c.activity) << tst::narrow(c.text);
    }
    EXPECT_TRUE(isSafeChannelAppId(std::wstring(64, L'a')));
    EXPECT_FALSE(isSafeChannelAppId(std::wstring(65, L'a')));
    EXPECT_TRUE(isSafeApkFileName(std::wstring(124, L'a') + L".apk"));
    EXPECT_FALSE(isSafeApkFileName(std::wstring(125, L'a') + L".apk"));

    struct { const wchar_t* piece; bool safe; } versions[] = {
        {L"3.1.0.1234", true}, {L"0.0.0.0000", true}, {L"1\\..\\x", false}, {L"a/b", false},
        {L"C:x", false}, {L"1..2", false}, {L"1\n", false},
    };
    for (auto& v : versions) EXPECT_EQ(isSafeVersionPiece(v.piece), v.safe) << tst::narrow(v.piece);
}
