#include "services/http_stat.h"

#include <gtest/gtest.h>

#include <set>

#include "services/env_test_util.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/machine_id.h"
#include "services/web_hosts.h"
#include "testing/support/test_support.h"

namespace {

// Sets developer-settings keys of this process for the scope (as the settings
// file beside the program would) and clears them again.
class HostOverride {
public:
    HostOverride(std::initializer_list<const wchar_t*> keys, const std::wstring& address) : keys_(keys) {
        for (const wchar_t* key : keys_) DevSettings::getInstance()->properties.setProperty(key, address);
    }
    ~HostOverride() {
        for (const wchar_t* key : keys_) DevSettings::getInstance()->properties.setProperty(key, L"");
    }

private:
    std::vector<const wchar_t*> keys_;
};

std::vector<std::string> requestLines(const std::wstring& logPath) {
    std::string log;
    tst::readFile(logPath, log);
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n\r\n", pos);
        if (end == std::string::npos) end = log.size();
        std::string block = log.substr(pos, end - pos);
        lines.push_back(block.substr(0, block.find("\r\n")));
        pos = end + 4;
    }
    return lines;
}

std::string narrowAscii(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The fixed part of every direct statistics URL, as this process sends it.
std::string commonQuery() {
    return "&ref=loader&ver=" + narrowAscii(getOwnVersion()) + "&mid=" + narrowAscii(getMid()) +
           "&mid2=" + narrowAscii(getMid2()) + "&cno=" + narrowAscii(getCno(GetCommandLineW()));
}

class StatServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        channel_ = new tst::LinuxProcess();
        ASSERT_TRUE(channel_->start({"/usr/bin/python3", tst::testingDirUnix() + "/channel_fixture/server.py"}, 300));
        transport_ = new tst::LinuxProcess();
        ASSERT_TRUE(transport_->start({"/usr/bin/python3", tst::testingDirUnix() + "/http_fixture/server.py"}, 300));
    }
    static void TearDownTestSuite() {
        delete channel_;
        delete transport_;
        channel_ = transport_ = nullptr;
    }
    static std::wstring base(tst::LinuxProcess* p) { return L"http://127.0.0.1:" + std::to_wstring(p->port()); }
    static std::wstring channelBase() { return base(channel_); }
    static std::wstring transportUrl(const wchar_t* path) { return base(transport_) + path; }
    std::vector<std::string> channelRequests() { return requestLines(channel_->folder() + L"\\requests.log"); }
    std::string lastRequest() {
        std::vector<std::string> lines = channelRequests();
        return lines.empty() ? std::string() : lines.back();
    }
    void writeMarket(const std::string& json) {
        ASSERT_TRUE(tst::writeFile(channel_->folder() + L"\\market.json", json));
    }
    void writeDocument(const wchar_t* name, const std::string& bytes) {
        ASSERT_TRUE(tst::writeFile(channel_->folder() + L"\\" + name, bytes));
    }

    static tst::LinuxProcess* channel_;
    static tst::LinuxProcess* transport_;
};
tst::LinuxProcess* StatServer::channel_ = nullptr;
tst::LinuxProcess* StatServer::transport_ = nullptr;

}  // namespace

TEST(WebHosts, DefaultsAndOverrides) {
    struct { WebHost host; const wchar_t* key; } rows[] = {
        {WebHost::Stat, L"stat_host"},        {WebHost::Product, L"product_host"},
        {WebHost::Market, L"market_host"},    {WebHost::MarketDown, L"market_down_host"},
        {WebHost::MarketStat, L"market_stat_host"}, {WebHost::Www, L"www_host"},
        {WebHost::Cdn, L"cdn_host"},
    };
    std::set<std::wstring> defaults;
    for (auto& r : rows) {
        EXPECT_STREQ(webHostKey(r.host), r.key);
        std::wstring d = webHostDefault(r.host);
        EXPECT_EQ(d.compare(0, 7, L"http://"), 0) << r.key;
        EXPECT_NE(d.back(), L'/') << r.key;
        EXPECT_EQ(webHostAddress(r.host), d) << r.key;
        defaults.insert(d);
        {
            HostOverride o({r.key}, L" http://127.0.0.1:8123/ ");
            EXPECT_EQ(webHostAddress(r.host), L"http://127.0.0.1:8123") << r.key;
        }
        EXPECT_EQ(webHostAddress(r.host), d) << r.key;
    }
    EXPECT_EQ(defaults.size(), 7u);
}

TEST_F(StatServer, EveryActionWordGoesOutWithItsKeysInOrder) {
    tst::MachineStateLock machine;
    HostOverride hosts({L"stat_host"}, channelBase());
    struct { StatAction action; const char* word; std::vector<std::wstring> values; const char* extras; } cases[] = {
        {StatAction::LodStart, "lod_start", {}, ""},
        {StatAction::QvLodStart, "QV_lod_start", {}, ""},
        {StatAction::Reinstall, "reinstall", {}, ""},
        {StatAction::VboxInstallOtherApk, "vbox_install_other_apk", {}, ""},
        {StatAction::DownloadRom, "download_rom", {L"1", L"GenuineIntel", L"http://h/rom.zip"},
         "&ssse3=1&cpu=GenuineIntel&romurl=http://h/rom.zip"},
        {StatAction::QvDownloadOk, "QV_download_ok", {}, ""},
        {StatAction::QvRomDownloadOk, "QV_rom_download_ok", {L"C:\\d\\rom.zip"}, "&mainpkg=C:%5Cd%5Crom.zip"},
        {StatAction::VboxDownloadRom, "vbox_download_rom", {L"0", L"AuthenticAMD", L"http://h/not-sent"},
         "&ssse3=0&cpu=AuthenticAMD"},
        {StatAction::VboxDownloadOk, "vbox_download_ok", {}, ""},
        {StatAction::VboxRomDownloadOk, "vbox_rom_download_ok", {L"C:\\v.zip"}, "&mainpkg=C:%5Cv.zip"},
        {StatAction::QvInstallStart, "QV_install_start", {}, ""},
        {StatAction::QvDotnetNo, "QV_dotnet_no", {}, ""},
        {StatAction::QvDotnetFail, "QV_dotnet_fail", {L"\"C:\\n.exe\" /q"}, "&dotnet=%22C:%5Cn.exe%22%20/q"},
        {StatAction::QvQvinstallNotfind, "QV_qvinstall_notfind", {}, ""},
        {StatAction::QvQvinstallStart, "QV_qvinstall_start", {}, ""},
        {StatAction::RomInstallFail, "rom_install_fail", {}, ""},
        {StatAction::ApkInstallFail, "apk_install_fail", {}, ""},
        {StatAction::HallInstall, "hall_install", {}, ""},
        {StatAction::QvInstallOk, "QV_install_ok", {}, ""},
        {StatAction::VboxInstallStart, "vbox_install_start", {}, ""},
        {StatAction::VboxDownloadFailed, "vbox_download_failed", {}, ""},
        {StatAction::VboxRomInstallOk, "vbox_rom_install_ok", {L"0", L"-101"}, "&install_code=0&import_code=-101"},
        {StatAction::InstallVboxFailed, "install_vbox_failed", {}, ""},
        {StatAction::VboxInstallApkFailed, "vbox_install_apk_failed", {}, ""},
        {StatAction::VboxInstallApkOk, "vbox_install_apk_ok", {}, ""},
        {StatAction::VboxInstallOk, "vbox_install_ok", {}, ""},
        {StatAction::QvUninstall, "QV_uninstall", {}, ""},
        {StatAction::Uninstall, "uninstall", {}, ""},
    };
    ASSERT_EQ(statActionTable().size(), sizeof(cases) / sizeof(cases[0]));
    const std::string common = commonQuery();
    for (auto& c : cases) {
        sendStatAction(c.action, c.values);
        EXPECT_EQ(lastRequest(), std::string("GET /Stat?action=") + c.word + common + c.extras + " HTTP/1.1");
    }
    // The word-based builder (the start-up road's) gives the same text.
    EXPECT_EQ(buildStatUrl(L"lod_start"), buildStatUrl(StatAction::LodStart));
    // A missing value is empty; values beyond the keys are dropped.
    EXPECT_EQ(buildStatUrl(StatAction::QvDotnetFail), buildStatUrl(L"QV_dotnet_fail", {{L"dotnet", L""}}));
    EXPECT_EQ(buildStatUrl(StatAction::LodStart, {L"x"}), buildStatUrl(L"lod_start"));
}

TEST_F(StatServer, InsertedValuesArrivePercentEncodedOnOneLine) {
    tst::MachineStateLock machine;
    HostOverride hosts({L"stat_host"}, channelBase());
    const size_t before = channelRequests().size();
    sendStat(buildStatUrl(L"QV_rom_download_ok", {
                                                     {L"mainpkg", L"C:\\Users\\A B\\rom#1.zip"},
                                                     {L"dotnet", L"\"C:\\p q\\n.exe\" /q"},
                                                     {L"romurl", L"http://h/a?b=1&c=2#f"},
                                                     {L"cpu", L"  Shanghai  "},
                                                     {L"inject", L"a\r\nX-Injected: 1"},
                                                     {L"name", L"\u4e2d\u6587"},
                                                     {L"plain", L"http://h/a.zip"},
                                                     {L"id", L"0123456789abcdef"},
                                                 }));
    std::vector<std::string> lines = channelRequests();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), "GET /Stat?action=QV_rom_download_ok" + commonQuery() +
                                "&mainpkg=C:%5CUsers%5CA%20B%5Crom%231.zip"
                                "&dotnet=%22C:%5Cp%20q%5Cn.exe%22%20/q"
                                "&romurl=http://h/a%3Fb%3D1%26c%3D2%23f"
                                "&cpu=%20%20Shanghai%20%20"
                                "&inject=a%0D%0AX-Injected:%201"
                                "&name=%E4%B8%AD%E6%96%87"
                                "&plain=http://h/a.zip"
                                "&id=0123456789abcdef HTTP/1.1");
    std::string log;
    tst::readFile(channel_->folder() + L"\\requests.log", log);
    EXPECT_EQ(log.find("\r\nX-Injected"), std::string::npos);
}

TEST_F(StatServer, MarketPingsKeepTheirLiteralPartsAndTheCallersKeys) {
    HostOverride hosts({L"market_stat_host", L"www_host", L"cdn_host"}, channelBase());
    const UrlParams keys = {{L"m", L"aa11"}, {L"m2", L"bb22"}, {L"cno", L"52817"}};
    const UrlParams withoutM2 = {{L"m", L"aa11"}, {L"cno", L"52817"}};
    const std::string tail = "&marketid=&tj=&appver=2.5.0.1405";
    struct { MarketPing ping; const wchar_t* sid; const UrlParams* keys; std::string line; } cases[] = {
        {MarketPing::PeerfetchUrl, L"1001", &keys,
         "GET /Stat/getPeerfetchUrl?action=sytj&ref=Orvekmarket&mnq=tarvo&sid=1001" + tail +
             "&m=aa11&m2=bb22&cno=52817 HTTP/1.1"},
        {MarketPing::MobiPage, L"a b&c", &keys,
         "GET /mobi.html?type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=a%20b%26c" + tail +
             "&m=aa11&m2=bb22&cno=52817 HTTP/1.1"},
        {MarketPing::CdnStat, L"1001", &withoutM2,
         "GET /Orvekmobilemgr/stat.php?resurl=" + narrowAscii(channelBase()) +
             "/Stat/DownloadApp&type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=1001" + tail +
             "&m=aa11&cno=52817 HTTP/1.1"},
    };
    for (auto& c : cases) {
        sendStat(buildMarketPingUrl(c.ping, c.sid, *c.keys));
        EXPECT_EQ(lastRequest(), c.line);
    }
}

TEST_F(StatServer, SendStatIsBoundedAndSilent) {
    platform::http::Options shortCall;
    shortCall.totalTimeoutMs = 3000;
    DWORD start = GetTickCount();
    EXPECT_NO_THROW(sendStat(transportUrl(L"/trickle"), shortCall));
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 2500u);
    EXPECT_LT(took, 6000u);

    start = GetTickCount();
    EXPECT_NO_THROW(sendStat(L"http://127.0.0.1:1/Stat?action=x"));
    EXPECT_NO_THROW(sendStat(transportUrl(L"/drop")));
    EXPECT_NO_THROW(sendStat(L"not a url"));
    EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST_F(StatServer, GetJsonNeedsAFinal200AndAJsonBody) {
    struct { const wchar_t* path; bool ok; } cases[] = {
        {L"/ok", true},        {L"/r301", true},      {L"/r302rel", true},  {L"/bom", true},
        {L"/404", false},      {L"/500", false},      {L"/notjson", false}, {L"/empty200", false},
        {L"/big", false},      {L"/loop", false},     {L"/tohttps", false}, {L"/drop", false},
        {L"/chunked", false},  {L"/close", false},
    };
    for (auto& c : cases) {
        Json::Value out("untouched");
        bool ok = false;
        EXPECT_NO_THROW(ok = WebQuery::getJson(tst::narrow(transportUrl(c.path)), out)) << c.path;
        EXPECT_EQ(ok, c.ok) << c.path;
        if (!c.ok) {
            EXPECT_EQ(out, Json::Value("untouched")) << c.path;
        }
    }
    Json::Value out;
    ASSERT_TRUE(WebQuery::getJson(tst::narrow(transportUrl(L"/ok")), out));
    EXPECT_EQ(out["a"].asInt(), 1);
    EXPECT_EQ(out["b"].asString(), "x");
    ASSERT_TRUE(WebQuery::getJson(tst::narrow(transportUrl(L"/bom")), out));
    EXPECT_EQ(out["a"].asInt(), 2);
    EXPECT_FALSE(WebQuery::getJson("http://127.0.0.1:1/x", out));
    EXPECT_FALSE(WebQuery::getJson("", out));
}

TEST_F(StatServer, GetJsonAcceptsCommentsAndUtf8) {
    writeDocument(L"commented.json", "// channel list\n{\"a\": /* inline */ \"\xE4\xB8\xAD\"}\n");
    Json::Value out;
    ASSERT_TRUE(WebQuery::getJson(tst::narrow(channelBase() + L"/data/commented.json"), out));
    EXPECT_EQ(out["a"].asString(), "\xE4\xB8\xAD");
}

TEST_F(StatServer, SoftInfoFieldTakesOnlyUsableTexts) {
    HostOverride hosts({L"market_host"}, channelBase());
    writeMarket(R"({
        "123": {"123": {"soft_name": "", "logo_url": "x"}},
        "str": {"a": "text", "b": [1, 2], "c": {"logo_url": {"deep": "y"}}, "d": {"logo_url": [1]},
                "e": {"logo_url": null}},
        "num": {"a": {"logo_url": 42, "soft_name": true}},
        "many": {"b": {"logo_url": "second"}, "a": {"logo_url": ""}, "c": {"logo_url": "third"}},
        "mixed": {"a": "text", "b": {"logo_url": [1]}, "c": {"logo_url": {"o": 1}}, "d": {"logo_url": "after"}},
        "wide": {"1": {"soft_name": "\u5854\u6c83"}},
        "arr": "[{\"logo_url\": \"z\"}]",
        "numtop": "7",
        "broken": "{\"a\": ",
        "a/b c": {"1": {"logo_url": "slash"}}
    })");
    struct { const wchar_t* sid; const wchar_t* field; const wchar_t* expected; } cases[] = {
        {L"123", L"logo_url", L"x"},
        {L"123", L"soft_name", L"dflt"},
        {L"str", L"logo_url", L"dflt"},
        {L"num", L"logo_url", L"42"},
        {L"num", L"soft_name", L"true"},
        {L"many", L"logo_url", L"second"},
        {L"mixed", L"logo_url", L"after"},
        {L"wide", L"soft_name", L"\u5854\u6c83"},
        {L"arr", L"logo_url", L"dflt"},
        {L"numtop", L"logo_url", L"dflt"},
        {L"broken", L"logo_url", L"dflt"},
        {L"unknown", L"logo_url", L"dflt"},
        {L"a/b c", L"logo_url", L"slash"},
    };
    for (auto& c : cases) {
        std::wstring got;
        EXPECT_NO_THROW(got = WebQuery::getSoftInfoField(c.sid, c.field, L"dflt")) << c.sid;
        EXPECT_EQ(got, c.expected) << c.sid << " " << c.field;
    }
    std::vector<std::string> lines = channelRequests();
    auto sent = [&](const std::string& line) {
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    };
    EXPECT_TRUE(sent("GET /index/getSoftInfoByIdsAccordingToFields/sids/123/fields/soft_name|logo_url HTTP/1.1"));
    EXPECT_TRUE(sent("GET /index/getSoftInfoByIdsAccordingToFields/sids/a%2Fb%20c/fields/soft_name|logo_url HTTP/1.1"));

    // An unreachable market gives the default.
    HostOverride nowhere({L"market_host"}, L"http://127.0.0.1:1");
    EXPECT_EQ(WebQuery::getSoftInfoField(L"123", L"logo_url", L"dflt"), L"dflt");
}

TEST_F(StatServer, ReportStatQueuesEncodedUrlsThatAreNeverSent) {
    HostOverride hosts({L"stat_host"}, channelBase());
    const std::string prefix = narrowAscii(channelBase()) + "/Stat?action=";
    const std::string ids = "&ver=" + narrowAscii(getOwnVersion()) + "&mid=" + narrowAscii(getMid()) +
                            "&mid2=" + narrowAscii(getMid2());
    struct { const wchar_t* action; std::wstring extra; const wchar_t* ref; std::string expected; } cases[] = {
        {L"debug", L"E_NOINTERFACE(0x80004002)_3_true", L"vbox",
         prefix + "debug&ref=vbox" + ids + "&dbginfo=E_NOINTERFACE(0x80004002)_3_true"},
        {L"debug", L"dbginfo=E_x:1", L"vbox", prefix + "debug&ref=vbox" + ids + "&dbginfo=E_x:1"},
        {L"install_vbox", L"result=-104", L"vbox", prefix + "install_vbox&ref=vbox" + ids + "&result=-104"},
        {L"import_vm", L"dbg", L"vbox", prefix + "import_vm&ref=vbox" + ids + "&dbg"},
        {L"import_vm", L"", L"vbox", prefix + "import_vm&ref=vbox" + ids},
        {L"debug", L"C:\\a b", L"vbox", prefix + "debug&ref=vbox" + ids + "&dbginfo=C:%5ca%20b"},
        {L"debug", L"\u4e2d", L"vbox", prefix + "debug&ref=vbox" + ids + "&dbginfo=%e4%b8%ad"},
    };
    const size_t before = queuedStatUrls().size();
    for (auto& c : cases) reportStat(c.action, c.extra, c.ref);
    std::deque<std::string> queue = queuedStatUrls();
    ASSERT_EQ(queue.size(), before + sizeof(cases) / sizeof(cases[0]));
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) EXPECT_EQ(queue[before + i], cases[i].expected);

    // An oversized extra is cut: the text stays within 4095 characters.
    reportStat(L"debug", std::wstring(10000, L'x'), L"vbox");
    const std::string longest = queuedStatUrls().back();
    EXPECT_EQ(longest.size(), 4095u);
    EXPECT_EQ(longest.compare(0, prefix.size() + 5, prefix + "debug"), 0);
    EXPECT_NE(longest.find(ids + "&dbginfo=xxx"), std::string::npos);

    // Nothing of the queue reaches the statistics host.
    Sleep(500);
    for (const std::string& line : channelRequests()) {
        EXPECT_EQ(line.find("action=debug"), std::string::npos) << line;
        EXPECT_EQ(line.find("action=install_vbox"), std::string::npos) << line;
        EXPECT_EQ(line.find("action=import_vm"), std::string::npos) << line;
    }
}
