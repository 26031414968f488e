// The engines' download action, in this process for its pure pieces and end to
// end through installer_driver.exe against the channel fixture, which serves
// the generated sample files (and a test's own files or faults before them).
#include "installer/engine_download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "testing/peerfetch_test/peerfetch_test_util.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/url_encode.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"
#include "testing/support/vbox_ready_engine.h"

namespace {

TEST(DownloadFileNameTest, LastPathComponentWithoutQueryOrFragment) {
    const struct {
        const wchar_t* url;
        const wchar_t* name;
    } rows[] = {
        {L"http://cdn/x/pkg.zip", L"pkg.zip"},
        {L"http://cdn/x/pkg.zip?sign=ab", L"pkg.zip"},
        {L"http://cdn/x/pkg.zip#part", L"pkg.zip"},
        {L"http://cdn/x/pkg.zip?a=/b/c.zip", L"pkg.zip"},
        {L"http://cdn/x/a%20b.zip", L"a%20b.zip"},  // no percent-decoding
        {L"http://cdn/x/", L""},                     // refused by the downloader
        {L"http://cdn/x/?q=1", L""},
    };
    for (const auto& r : rows) EXPECT_EQ(r.name, v2::downloadFileName(r.url)) << tst::narrow(r.url);
}

TEST(OldTaskFolderNameTest, OnlyThisChannelAndEngineWithAVersionTail) {
    const struct {
        const wchar_t* name;
        bool old;
    } rows[] = {
        {L"52817_qv_3.0.0.1", true},     {L"52817_qv_3", true},          {L"52817_qv_", true},
        {L"52817_vbox_3.0.0.1", false},  {L"5281_qv_3.0.0.1", false},    {L"152817_qv_3.0.0.1", false},
        {L"52817_qv_3.0.0.1a", false},   {L"52817_qv_3_0", false},       {L"52817_qv_..", true},
        {L"52817_qv_3.0.0.1.bak", false}, {L"download_52817.ini", false},
    };
    for (const auto& r : rows) EXPECT_EQ(r.old, v2::isOldTaskFolderName(r.name, L"52817", L"qv")) << tst::narrow(r.name);
}

std::string sampleFile(const std::wstring& name) {
    std::string bytes;
    tst::readFile(tst::binDir() + L"\\..\\sample_files\\" + name, bytes);
    return bytes;
}

TEST(ZipCheckTest, AnArchiveMustOpenAndListAnItem) {
    tst::TempDir dir(L"zipck");
    const std::string apk = sampleFile(L"sample_1.0.apk");
    ASSERT_FALSE(apk.empty());
    // An archive without items: only its end-of-central-directory record.
    const std::string emptyZip("PK\x05\x06" + std::string(18, '\0'), 22);
    const struct {
        const char* name;
        std::string bytes;
        bool ok;
    } rows[] = {
        {"whole", apk, true},
        {"cut", apk.substr(0, apk.size() / 2), false},
        {"html", "<html><body>please log in</body></html>", false},
        {"nothing", "", false},
        {"no items", emptyZip, false},
    };
    for (const auto& r : rows) {
        const std::wstring path = dir.file(tst::widen(r.name));
        ASSERT_TRUE(tst::writeFile(path, r.bytes));
        EXPECT_EQ(r.ok, v2::isZipWithItems(path)) << r.name;
    }
    EXPECT_FALSE(v2::isZipWithItems(dir.file(L"missing.zip")));
}

// ---- end to end through the driver --------------------------------------------

const char kCno[] = "52817";
const char kVersion[] = "3.1.0.1001";

std::string sampleFilesUnix() { return tst::unixPath(tst::binDir() + L"\\..\\sample_files"); }

// What the channel documents of one case say.
struct Channel {
    std::string romUrl = "/files/qv_engine_3.1.0.1001.zip";  // relative addresses get the server's base
    std::string romVersion = kVersion;
    std::string vboxUrl = "/files/vbox_engine_3.1.0.1001.zip";
    std::string vboxVersion = kVersion;
    bool vboxEnabled = false;
    std::string hallUrl;
    std::string apkId = "1001";  // "" for none
    bool appListed = true;
    std::string apkUrl = "/files/sample_1.0.apk";
    std::string iconUrl = "/files/sample_icon.png";
};

struct Event {
    int state = 0, error = 0;
    float percent = 0;
    std::string message, thread;
};

std::string fieldOf(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const size_t start = at + key.size() + 2;
    const size_t end = key == "message" ? line.size() : line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<Event> eventsOf(const roadtest::DriverRun& run) {
    std::vector<Event> out;
    for (const std::string& l : run.lines) {
        if (l.compare(0, 6, "event ") != 0) continue;
        Event e;
        EXPECT_EQ("0", fieldOf(l, "stage")) << l;
        e.state = atoi(fieldOf(l, "state").c_str());
        e.error = atoi(fieldOf(l, "error").c_str());
        e.percent = (float)atof(fieldOf(l, "percent").c_str());
        e.message = fieldOf(l, "message");
        e.thread = fieldOf(l, "thread");
        EXPECT_EQ("", fieldOf(l, "detail").substr(0, fieldOf(l, "detail").find(' '))) << l;
        out.push_back(e);
    }
    return out;
}

// The ini's text after its UTF-16LE mark, as UTF-8; "<no mark>" + the bytes otherwise.
std::string iniText(const std::string& bytes) {
    if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') return "<no mark>" + bytes;
    std::wstring wide((bytes.size() - 2) / 2, L'\0');
    memcpy(&wide[0], bytes.data() + 2, wide.size() * 2);
    return tst::narrow(wide);
}

class DownloadDriverTest : public ::testing::Test {
protected:
    DownloadDriverTest()
        : box(L"installer_driver.exe", {"--files", "files", "--files", sampleFilesUnix()}) {}

    void SetUp() override {
        ASSERT_TRUE(box.ready());
        ASSERT_FALSE(sampleFile(L"qv_engine_3.1.0.1001.zip").empty()) << "sample files not generated";
        ASSERT_TRUE(CreateDirectoryW(filesDir().c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        clearDownloads();
    }
    void TearDown() override { clearDownloads(); }

public:
    // The download folder's entries of this channel, and its ini.
    static void clearDownloads() {
        const std::wstring folder = getDownloadFolder();
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((folder + L"\\" + tst::widen(kCno) + L"_*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                tst::removeTree(folder + L"\\" + fd.cFileName);
                DeleteFileW((folder + L"\\" + fd.cFileName).c_str());
            } while (FindNextFileW(h, &fd));
            FindClose(h);
        }
        DeleteFileW(iniPath().c_str());
    }

    static std::wstring iniPath() { return getDownloadIniPath(tst::widen(kCno)); }

protected:
    static std::wstring taskFolder(const char* engine, const std::string& version = kVersion) {
        return getUserDataFolder() + L"\\download\\" + tst::widen(kCno) + L"_" + tst::widen(engine) + L"_" +
               tst::widen(version);
    }
    std::string base() const { return tst::narrow(box.base()); }
    std::string full(const std::string& url) const { return url.empty() || url[0] != '/' ? url : base() + url; }
    // The test's own served files, found before the sample files.
    std::wstring filesDir() const { return box.serverFolder() + L"\\files"; }

    // A fault or status for one served file: the sample file is copied beside it.
    void override(const std::wstring& name, const std::string& kind, const std::string& line) {
        ASSERT_TRUE(tst::writeFile(filesDir() + L"\\" + name, sampleFile(name)));
        ASSERT_TRUE(tst::writeFile(filesDir() + L"\\" + name + L"." + tst::widen(kind), line + "\n"));
    }

    void serveChannel(const Channel& c) {
        std::string channel = "[{\"channel\": \"" + std::string(kCno) + "\", \"apkchannel\": \"52817\", \"romurl\": \"" +
                              full(c.romUrl) + "\", \"romversion\": \"" + c.romVersion + "\", \"vbox_url\": \"" +
                              full(c.vboxUrl) + "\", \"vbox_version\": \"" + c.vboxVersion +
                              "\", \"vbox_enabled\": \"" + (c.vboxEnabled ? "1" : "0") +
                              "\", \"installapk\": \"1\", \"hall_url\": \"" + full(c.hallUrl) +
                              "\", \"apkid\": \"" + c.apkId + "\", \"apkurl\": \"\"}]";
        std::string apps = "[]";
        if (c.appListed)
            apps = "[{\"apkid\": \"1001\", \"name\": \"Sample\", \"apkpackagename\": \"com.tarvo.sample\", "
                   "\"apkactivity\": \".MainActivity\", \"apkurl\": \"" +
                   full(c.apkUrl) + "\", \"icon\": \"" + full(c.iconUrl) +
                   "\", \"apkpackage\": \"sample_1.0.apk\", \"apkversion\": \"1.0\"}]";
        ASSERT_TRUE(box.serve(L"channel_config.json", channel));
        ASSERT_TRUE(box.serve(L"apk_config.json", apps));
    }

    // An installed player of the given version ("" none, "nover" without a version block).
    void seedPlayer(const std::string& version, bool qv) {
        const std::wstring target = qv ? box.homeDir() + L"\\qvPlayer.exe" : box.playerPath();
        DeleteFileW(target.c_str());
        if (version.empty()) return;
        const std::wstring source = tst::binDir() + L"\\" +
                                    (version == "nover" ? std::wstring(L"recorder_standin.exe")
                                                        : (qv ? L"recorder-" : L"TarvoPlayer-") + tst::widen(version) + L".exe");
        ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << tst::narrow(source);
    }

    // A ready VBox engine beside the seeded player, or none: the device module
    // and the machine file under the player home, and the settings file that
    // names them (put back when the test ends).
    void seedEngine(bool ready) {
        const std::wstring home = box.homeDir();
        const std::wstring xml = getUserDataFolder() + L"\\vmconfig\\VirtualBox.xml";
        if (!savedSettings) savedSettings.reset(new tst::SavedFile(xml));
        DeleteFileW(xml.c_str());
        if (!ready) return;
        ASSERT_TRUE(tst::writeReadyVBoxEngine(home, getUserDataFolder() + L"\\vmconfig"));
    }

    roadtest::DriverRun run(const std::string& caseText) {
        static int serial = 0;
        callLogPath = box.tempDir() + L"\\calls" + std::to_wstring(++serial) + L".log";
        return box.run(L"", caseText, {L"PEERFETCH_TEST_LOG=" + callLogPath});
    }
    std::vector<std::string> starts() const {
        std::string text;
        tst::readFile(callLogPath, text);
        std::vector<std::string> out;
        for (const std::string& l : pftest::splitLines(text))
            if (l.compare(0, 6, "start ") == 0) out.push_back(l);
        return out;
    }
    // Request targets (path and query) the fixture saw, in order.
    std::vector<std::string> targets(const std::string& prefix = "/") const {
        std::vector<std::string> out;
        for (const std::string& l : box.requests()) {
            const size_t a = l.find(' '), b = l.rfind(' ');
            const std::string t = l.substr(a + 1, b - a - 1);
            if (t.compare(0, prefix.size(), prefix) == 0) out.push_back(t);
        }
        return out;
    }
    std::vector<std::string> statTargets() const {
        std::vector<std::string> out;
        for (const std::string& t : targets())
            if (t.compare(0, 6, "/files") != 0 && t.compare(0, 6, "/data/") != 0 && t.compare(0, 7, "/index/") != 0 &&
                t.compare(0, 8, "/150706/") != 0)
                out.push_back(t);
        return out;
    }

    std::string statPrefix(const std::string& action) const {
        return "/Stat?action=" + action + "&ref=loader&ver=";
    }

    roadtest::RoadSandbox box;
    std::unique_ptr<tst::SavedFile> savedSettings;
    std::wstring callLogPath;
};


// Events of a run that fetched a batch: start, state-1 reports that never pass
// 100, then exactly one final event.
void expectBatchEvents(const std::vector<Event>& events, int error, const std::string& message) {
    ASSERT_GE(events.size(), error ? 2u : 3u);
    EXPECT_EQ(0, events.front().state);
    EXPECT_EQ(0.0f, events.front().percent);
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(1, events[i].state) << i;
        EXPECT_EQ(0, events[i].error) << i;
        EXPECT_LE(events[i].percent, 100.0f) << i;
    }
    const Event& last = events.back();
    EXPECT_EQ(2, last.state);
    EXPECT_EQ(error, last.error);
    EXPECT_EQ(error ? 0.0f : 100.0f, last.percent);
    EXPECT_EQ(message, last.message);
}

const char kOk[] = "\xe4\xb8\x8b\xe8\xbd\xbdok!";                      // 下载ok!
const char kFailed[] = "\xe4\xb8\x8b\xe8\xbd\xbd\xe5\xa4\xb1\xe8\xb4\xa5!";  // 下载失败!

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\r\n";
    return out;
}

std::string ansiPath(const std::wstring& path) { return tst::narrow(path); }

// Qv, machine of Windows XP without .NET: package, .NET, app, icon and hall.
TEST_F(DownloadDriverTest, QvFetchesEverythingInOrderAndRecordsIt) {
    Channel c;
    c.hallUrl = "/files/TarvoHall.exe";
    serveChannel(c);
    // The user data folder's hall program goes when a new one was fetched.
    const std::wstring userHall = getUserDataFolder() + L"\\TarvoHall.exe";
    tst::SavedFile savedHall(userHall);
    ASSERT_TRUE(tst::writeFile(userHall, "installed hall"));
    roadtest::DriverRun r = run("action=download\ncpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\nos.major=5\nos.wow64=0\ndotnet=0\n");
    ASSERT_EQ(0, r.exitCode) << r.log;
    ASSERT_TRUE(r.has("result=0"));
    expectBatchEvents(eventsOf(r), 0, kOk);
    for (const Event& e : eventsOf(r))
        if (e.state == 1) {
            EXPECT_EQ("other", e.thread) << "state-1 reports come from the downloader's worker";
        }

    const std::wstring task = taskFolder("qv");
    const std::string t = ansiPath(task);
    const std::string dotnetUrl = base() + "/150706/c61111d7d62306b997ce7dd04898b1ca/NetFx20SP1_x86.exe";
    const struct {
        std::string url, name;
    } queued[] = {
        {base() + "/files/qv_engine_3.1.0.1001.zip", "qv_engine_3.1.0.1001.zip"},
        {dotnetUrl, "NetFx20SP1_x86.exe"},
        {base() + "/files/sample_1.0.apk", "sample_1.0.apk"},
        {base() + "/files/sample_icon.png", "1001_icon.png"},
        {base() + "/files/TarvoHall.exe", "TarvoHall.exe"},
    };
    const std::vector<std::string> s = starts();
    ASSERT_EQ(5u, s.size());
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(queued[i].url, pftest::field(s[i], "url")) << i;
        EXPECT_EQ(queued[i].name, pftest::field(s[i], "name")) << i;
        EXPECT_EQ(t, pftest::field(s[i], "folder")) << i;
    }

    // Byte-identical files, nothing partial.
    const struct {
        const wchar_t* saved;
        const wchar_t* served;
    } files[] = {{L"qv_engine_3.1.0.1001.zip", L"qv_engine_3.1.0.1001.zip"},
                 {L"NetFx20SP1_x86.exe", L"dotnet\\NetFx20SP1_x86.exe"},
                 {L"sample_1.0.apk", L"sample_1.0.apk"},
                 {L"1001_icon.png", L"sample_icon.png"},
                 {L"TarvoHall.exe", L"TarvoHall.exe"}};
    for (const auto& f : files) {
        std::string got;
        EXPECT_TRUE(tst::readFile(task + L"\\" + f.saved, got)) << tst::narrow(f.saved);
        EXPECT_TRUE(got == sampleFile(f.served)) << tst::narrow(f.saved);
        EXPECT_FALSE(tst::fileExists(task + L"\\" + f.saved + L".part"));
    }
    std::string hall;
    ASSERT_TRUE(tst::readFile(box.progDir() + L"\\TarvoHall.exe", hall)) << "copied to the hall path";
    EXPECT_TRUE(hall == sampleFile(L"TarvoHall.exe"));
    EXPECT_FALSE(tst::fileExists(userHall));

    std::string ini;
    ASSERT_TRUE(tst::readFile(iniPath(), ini));
    EXPECT_EQ(joinLines({"[qv_download]", "main_pkg=" + t + "\\qv_engine_3.1.0.1001.zip", "hall_exe=" + t + "\\TarvoHall.exe",
                         "dotnet_exe=" + t + "\\NetFx20SP1_x86.exe", "xp=1", "[download]", "pkg_count=1",
                         "[52817_1]", "file=" + t + "\\sample_1.0.apk", "icon=" + t + "\\1001_icon.png",
                         "tips=" + t + "\\1001_tips.png"}),
              iniText(ini));

    const std::vector<std::string> stats = statTargets();
    ASSERT_EQ(3u, stats.size());
    const std::string romUrl = base() + "/files/qv_engine_3.1.0.1001.zip";
    EXPECT_EQ(0u, stats[0].find(statPrefix("download_rom"))) << stats[0];
    EXPECT_NE(std::string::npos,
              stats[0].find("&cno=52817&ssse3=1&cpu=GenuineIntel&romurl=" + tst::narrow(encodeQueryValue(tst::widen(romUrl)))))
        << stats[0];
    EXPECT_EQ(0u, stats[1].find(statPrefix("QV_download_ok"))) << stats[1];
    EXPECT_EQ(0u, stats[2].find(statPrefix("QV_rom_download_ok"))) << stats[2];
    EXPECT_NE(std::string::npos,
              stats[2].find("&cno=52817&mainpkg=" +
                            tst::narrow(encodeQueryValue(task + L"\\qv_engine_3.1.0.1001.zip"))))
        << stats[2];
    EXPECT_TRUE(r.logged("start downlaod...")) << r.log;
    EXPECT_TRUE(r.logged("dotnet need install"));
    EXPECT_TRUE(r.logged("download ok!"));
}

// VBox over an older player: package, app and icon, the market pings.
TEST_F(DownloadDriverTest, VBoxUpgradesAnOlderPlayerAndPingsTheMarket) {
    Channel c;
    c.vboxEnabled = true;
    c.hallUrl = "/files/TarvoHall.exe";
    serveChannel(c);
    seedPlayer("3.0.0.1", false);
    roadtest::DriverRun r = run("action=download\ncpu.vendor=AuthenticAMD\ncpu.ssse3=0\n");
    ASSERT_EQ(0, r.exitCode) << r.log;
    expectBatchEvents(eventsOf(r), 0, kOk);
    const std::wstring task = taskFolder("vbox");
    const std::string t = ansiPath(task);
    const std::vector<std::string> s = starts();
    ASSERT_EQ(4u, s.size());
    EXPECT_EQ("vbox_engine_3.1.0.1001.zip", pftest::field(s[0], "name"));
    EXPECT_EQ("sample_1.0.apk", pftest::field(s[1], "name"));
    EXPECT_EQ("1001_icon.png", pftest::field(s[2], "name"));
    EXPECT_EQ("TarvoHall.exe", pftest::field(s[3], "name"));
    std::string pkg;
    ASSERT_TRUE(tst::readFile(task + L"\\vbox_engine_3.1.0.1001.zip", pkg));
    EXPECT_TRUE(pkg == sampleFile(L"vbox_engine_3.1.0.1001.zip"));
    EXPECT_FALSE(tst::fileExists(box.progDir() + L"\\TarvoHall.exe")) << "the VBox download copies no hall program";

    std::string ini;
    ASSERT_TRUE(tst::readFile(iniPath(), ini));
    EXPECT_EQ(joinLines({"[vbox_download]", "main_pkg=" + t + "\\vbox_engine_3.1.0.1001.zip",
                         "hall_exe=" + t + "\\TarvoHall.exe", "[download]", "pkg_count=1", "[52817_1]",
                         "file=" + t + "\\sample_1.0.apk", "icon=" + t + "\\1001_icon.png"}),
              iniText(ini));

    const std::vector<std::string> stats = statTargets();
    ASSERT_EQ(6u, stats.size());
    EXPECT_EQ(0u, stats[0].find(statPrefix("vbox_download_rom")));
    EXPECT_NE(std::string::npos, stats[0].find("&cno=52817&ssse3=0&cpu=AuthenticAMD")) << stats[0];
    EXPECT_EQ(std::string::npos, stats[0].find("romurl")) << stats[0];
    EXPECT_EQ(0u, stats[1].find(statPrefix("vbox_download_ok")));
    EXPECT_EQ(0u, stats[2].find(statPrefix("vbox_rom_download_ok")));
    EXPECT_NE(std::string::npos,
              stats[2].find("&mainpkg=" + tst::narrow(encodeQueryValue(task + L"\\vbox_engine_3.1.0.1001.zip"))));
    const std::string tail = "&marketid=&tj=&appver=2.5.0.1405&m=";
    EXPECT_EQ(0u, stats[3].find("/Stat/getPeerfetchUrl?action=sytj&ref=Orvekmarket&mnq=tarvo&sid=1001" + tail)) << stats[3];
    EXPECT_EQ(0u, stats[4].find("/mobi.html?type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=1001" + tail)) << stats[4];
    EXPECT_EQ(0u, stats[5].find("/Orvekmobilemgr/stat.php?resurl=" + base() +
                                "/Stat/DownloadApp&type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=1001" + tail))
        << stats[5];
    for (size_t i = 3; i < 6; ++i) {
        EXPECT_NE(std::string::npos, stats[i].find("&m2=")) << stats[i];
        EXPECT_NE(std::string::npos, stats[i].find("&cno=52817")) << stats[i];
    }
}

const char kStaleIni[] = "[qv_download]\r\nmain_pkg=C:\\old\\old.zip\r\nhall_exe=C:\\old\\TarvoHall.exe\r\n"
                         "[vbox_download]\r\nmain_pkg=C:\\old\\vbox.zip\r\n";

// Which machine needs what: the installed player, and the app of the channel.
TEST_F(DownloadDriverTest, NeedTableDecidesBetweenABatchAndNothingNewer) {
    const struct {
        bool qv;
        const char* player;  // "" none, "nover" no version block
        bool appListed;
        int result;
        bool package;
        bool engineReady = true;  // VBox: the settings file registers a machine
        bool qvEngine = false;    // Qv: an installed engine (its registry key and launcher)
    } rows[] = {
        {false, "", true, 0, true},          {false, "nover", false, 0, true},
        {false, "3.0.0.1", false, 0, true},  {false, "3.1.0.1001", false, 2, false},
        {false, "3.2.0.0", false, 2, false}, {false, "3.1.0.1001", true, 0, false},
        {false, "3.2.0.0", true, 0, false},  {true, "", false, 0, true},
        // A Qv player file alone is no installed Qv engine.
        {true, "3.2.0.0", false, 0, true},
        // A VBox player whose engine set-up never finished is fetched again.
        {false, "3.1.0.1001", false, 0, true, false},
        // An installed Qv engine as new as the variant: the app alone, or nothing.
        {true, "3.1.0.1001", false, 2, false, true, true},
        {true, "3.2.0.0", true, 0, false, true, true},
        {true, "3.0.0.1", false, 0, true, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.qv ? "qv " : "vbox ") + row.player + (row.appListed ? " app" : " no app") +
                     (row.engineReady ? "" : " engine not ready") + (row.qvEngine ? " qv engine" : ""));
        clearDownloads();
        std::unique_ptr<qvtest::StandinEngine> qvEngine;
        if (row.qvEngine) {
            qvEngine.reset(new qvtest::StandinEngine());
            ASSERT_TRUE(qvEngine->install(qvtest::InstallOptions{qvtest::Key::None, false}));
            ASSERT_TRUE(qvtest::StandinEngine::writeInstallDir(qvtest::kTarvoGamesKey, qvEngine->folder()));
        }
        Channel c;
        c.vboxEnabled = !row.qv;
        c.appListed = row.appListed;
        serveChannel(c);
        seedPlayer(row.qv ? "" : row.player, false);
        seedPlayer(row.qv ? row.player : "", true);
        seedEngine(!row.qv && row.engineReady);
        const std::wstring task = taskFolder(row.qv ? "qv" : "vbox");
        ASSERT_TRUE(CreateDirectoryW(getDownloadFolder().c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(CreateDirectoryW(task.c_str(), nullptr));
        ASSERT_TRUE(tst::writeFile(task + L"\\junk.txt", "junk"));
        ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
        const size_t before = targets("/files/").size();

        roadtest::DriverRun r = run("action=download\ncpu.vendor=AuthenticAMD\ncpu.ssse3=1\ndotnet=1\n");
        EXPECT_EQ(row.result, r.exitCode) << r.log;
        const std::vector<Event> events = eventsOf(r);
        std::string ini;
        tst::readFile(iniPath(), ini);
        if (row.result == 2) {
            ASSERT_EQ(2u, events.size());
            EXPECT_EQ(0, events[0].state);
            EXPECT_EQ(2, events[1].state);
            EXPECT_EQ(0, events[1].error);
            EXPECT_EQ(100.0f, events[1].percent);
            EXPECT_EQ("", events[1].message);
            EXPECT_EQ(kStaleIni, ini);
            std::string junk;
            EXPECT_TRUE(tst::readFile(task + L"\\junk.txt", junk) && junk == "junk");
            EXPECT_EQ(before, targets("/files/").size()) << "nothing fetched";
            continue;
        }
        expectBatchEvents(events, 0, kOk);
        EXPECT_FALSE(tst::fileExists(task + L"\\junk.txt")) << "the task folder starts empty";
        const std::vector<std::string> s = starts();
        ASSERT_EQ((row.package ? 1u : 0u) + (row.appListed ? 2u : 0u), s.size());
        if (row.package) {
            EXPECT_EQ(row.qv ? "qv_engine_3.1.0.1001.zip" : "vbox_engine_3.1.0.1001.zip", pftest::field(s[0], "name"));
        }
        EXPECT_EQ(std::string::npos, iniText(ini).find("old")) << iniText(ini);
    }
}

// A VBox player whose engine set-up never finished, a channel without a VBox
// package address, no app and no hall program: nothing is queued, yet the run is
// a success, and the ini names nothing to install.
TEST_F(DownloadDriverTest, NothingQueuedIsASuccessWithoutABatch) {
    Channel c;
    c.vboxEnabled = true;
    c.vboxUrl = "";
    c.appListed = false;
    serveChannel(c);
    seedPlayer("3.1.0.1001", false);
    seedEngine(false);
    ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
    roadtest::DriverRun r = run("action=download\ncpu.vendor=AuthenticAMD\ncpu.ssse3=1\n");
    EXPECT_EQ(0, r.exitCode) << r.log;
    const std::vector<Event> events = eventsOf(r);
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0, events[0].state);
    EXPECT_EQ(2, events[1].state);
    EXPECT_EQ(0, events[1].error);
    EXPECT_EQ(100.0f, events[1].percent);
    EXPECT_EQ(kOk, events[1].message);
    EXPECT_TRUE(starts().empty()) << "no batch";
    EXPECT_TRUE(r.logged("rom address is empty, channel:52817")) << r.log;
    const std::vector<std::string> stats = statTargets();
    ASSERT_EQ(1u, stats.size()) << testing::PrintToString(stats);
    EXPECT_EQ(0u, stats[0].find(statPrefix("vbox_download_ok"))) << stats[0];
    std::string ini;
    ASSERT_TRUE(tst::readFile(iniPath(), ini));
    EXPECT_EQ(joinLines({"[vbox_download]", "main_pkg=", "hall_exe=", "[download]", "pkg_count=0"}), iniText(ini));
}

// An exception before the batch (here the processor query of the need test) is a
// failed download like any other: the download's failure event, -1, and the VBox
// install's failure statistic.
TEST_F(DownloadDriverTest, AnExceptionBeforeTheBatchIsAFailedDownload) {
    Channel c;
    c.vboxEnabled = true;
    serveChannel(c);
    ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
    roadtest::DriverRun r = run("action=install\ninstalled=vbox\ncpu.fault=1\n");
    EXPECT_EQ(-1, r.exitCode) << r.log;
    const std::vector<Event> events = eventsOf(r);  // stage 0 only
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(0, events[0].state);
    EXPECT_EQ(2, events[1].state);
    EXPECT_EQ(-1, events[1].error);
    EXPECT_EQ(kFailed, events[1].message);
    EXPECT_TRUE(r.logged("download exception: processor query failed")) << r.log;
    EXPECT_FALSE(r.logged("installer exception: ")) << r.log;
    const std::vector<std::string> stats = statTargets();
    ASSERT_EQ(2u, stats.size()) << testing::PrintToString(stats);
    EXPECT_EQ(0u, stats[0].find(statPrefix("vbox_install_start"))) << stats[0];
    EXPECT_EQ(0u, stats[1].find(statPrefix("vbox_download_failed"))) << stats[1];
    EXPECT_TRUE(starts().empty());
    std::string ini;
    tst::readFile(iniPath(), ini);
    EXPECT_EQ(kStaleIni, ini);
}

// The .NET 2.0 setup key, with its runtime bound by the driver's seam ("dotnet=1"),
// while alive. The key is machine-wide: the system-check tests' lock guards it.
class DotNetKey {
public:
    DotNetKey() : mutex_(CreateMutexW(nullptr, FALSE, L"TarvoSystemChecksTests")) {
        if (mutex_) held_ = WaitForSingleObject(mutex_, 120000) != WAIT_TIMEOUT;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetup, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegCloseKey(key);
            return;  // the prefix has keys of its own
        }
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kSetup) + L"\\NDP\\v2.0.50727").c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        const DWORD one = 1;
        created_ = RegSetValueExW(key, L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one) ==
                   ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~DotNetKey() {
        if (created_) RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSetup), RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSetup);
        if (mutex_) {
            if (held_) ReleaseMutex(mutex_);
            CloseHandle(mutex_);
        }
    }
    bool ready() const { return held_ && created_; }

private:
    static constexpr const wchar_t* kSetup = L"Software\\Microsoft\\NET Framework Setup";
    HANDLE mutex_;
    bool held_ = false;
    bool created_ = false;
};

// The ini of the Qv road's .NET cases, byte for byte, over a stale one.
TEST_F(DownloadDriverTest, QvIniRecordsTheDotNetRoadOfTheMachine) {
    const struct {
        const char* facts;
        const char* dotnetName;  // "" none queued
        bool dotnetKeys;
        const char* xp;
    } rows[] = {
        {"os.major=5\nos.wow64=1\ndotnet=0\n", "NetFx20SP1_ia64.exe", true, "1"},
        {"os.major=6\nos.wow64=0\ndotnet=0\n", "", true, "0"},
        {"os.major=5\nos.wow64=0\ndotnet=1\n", "", false, ""},
    };
    Channel c;
    c.appListed = false;
    serveChannel(c);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.facts);
        clearDownloads();
        std::unique_ptr<DotNetKey> dotnet;
        if (!row.dotnetKeys) {
            dotnet.reset(new DotNetKey());
            ASSERT_TRUE(dotnet->ready()) << "the .NET setup key could not be made";
        }
        ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
        roadtest::DriverRun r = run(std::string("action=download\ncpu.ssse3=1\n") + row.facts);
        ASSERT_EQ(0, r.exitCode) << r.log;
        const std::string t = ansiPath(taskFolder("qv"));
        std::vector<std::string> lines = {"[qv_download]", "main_pkg=" + t + "\\qv_engine_3.1.0.1001.zip", "hall_exe="};
        if (row.dotnetKeys) {
            lines.push_back("dotnet_exe=" + (*row.dotnetName ? t + "\\" + row.dotnetName : std::string()));
            lines.push_back(std::string("xp=") + row.xp);
        }
        lines.push_back("[download]");
        lines.push_back("pkg_count=0");
        std::string ini;
        ASSERT_TRUE(tst::readFile(iniPath(), ini));
        EXPECT_EQ(joinLines(lines), iniText(ini));
        const std::vector<std::string> s = starts();
        ASSERT_EQ(*row.dotnetName ? 2u : 1u, s.size());
        if (*row.dotnetName) {
            EXPECT_EQ(base() + "/150706/9db4f0c16b2d28da161f4083e45e33aa/NetFx20SP1_ia64.exe", pftest::field(s[1], "url"));
            std::string got;
            ASSERT_TRUE(tst::readFile(taskFolder("qv") + L"\\" + tst::widen(row.dotnetName), got));
            EXPECT_TRUE(got == sampleFile(L"dotnet\\" + tst::widen(row.dotnetName)));
        }
    }
}

// VBox with no package of its own but its engine installed: the app alone.
TEST_F(DownloadDriverTest, VBoxWithoutAPackageAddressFetchesTheAppOfItsInstalledEngine) {
    Channel c;
    c.vboxEnabled = true;
    c.vboxUrl = "";
    c.vboxVersion = "";
    c.iconUrl = "";
    c.apkUrl = "/files/sample_1.0.apk?sign=ab12";
    serveChannel(c);
    seedPlayer("3.0.0.1", false);
    ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
    roadtest::DriverRun r = run("action=download\ncpu.vendor=AuthenticAMD\n");
    ASSERT_EQ(0, r.exitCode) << r.log;
    EXPECT_TRUE(r.logged("rom address is empty, channel:52817"));
    EXPECT_FALSE(r.logged("rom address is empty and qv not install,channel:52817"));
    const std::vector<std::string> s = starts();
    ASSERT_EQ(1u, s.size()) << "the app without an icon";
    EXPECT_EQ(base() + "/files/sample_1.0.apk?sign=ab12", pftest::field(s[0], "url"));
    EXPECT_EQ("sample_1.0.apk", pftest::field(s[0], "name"));
    // The task folder of a variant without a version.
    const std::string t = ansiPath(getUserDataFolder() + L"\\download\\52817_vbox_");
    std::string ini;
    ASSERT_TRUE(tst::readFile(iniPath(), ini));
    EXPECT_EQ(joinLines({"[vbox_download]", "main_pkg=", "hall_exe=", "[download]", "pkg_count=1", "[52817_1]",
                         "file=" + t + "\\sample_1.0.apk"}),
              iniText(ini));
    std::vector<std::string> stats = statTargets();
    ASSERT_EQ(4u, stats.size()) << "vbox_download_ok and the three pings";
    EXPECT_EQ(0u, stats[0].find(statPrefix("vbox_download_ok")));
}

// Every failure ends with the failure event and -1, and keeps the old ini.
TEST_F(DownloadDriverTest, FailedRunsKeepTheIniAndSayWhy) {
    const struct {
        const char* what;
        bool emptyAddress;
        const wchar_t* file;  // served file with an override
        const char* kind;     // "status" or "fault"
        const char* line;
        const char* logLine;  // "" none checked; "@" the zip check's line for the file
    } rows[] = {
        {"empty address, no engine", true, nullptr, "", "", "rom address is empty and qv not install,channel:52817"},
        {"404 icon", false, L"sample_icon.png", "status", "404", "download have failed! install ch:52817-apk ch:52817"},
        {"truncated package", false, L"qv_engine_3.1.0.1001.zip", "fault", "truncate 100000",
         "download have failed! install ch:52817-apk ch:52817"},
        {"cut package without length", false, L"qv_engine_3.1.0.1001.zip", "fault", "close 100000", "@"},
        {"html apk", false, L"sample_1.0.apk", "fault", "html", "@"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        clearDownloads();
        for (const wchar_t* name : {L"sample_icon.png", L"qv_engine_3.1.0.1001.zip", L"sample_1.0.apk"}) {
            for (const wchar_t* ext : {L"", L".status", L".fault"}) DeleteFileW((filesDir() + L"\\" + name + ext).c_str());
        }
        Channel c;
        if (row.emptyAddress) c.romUrl = "";
        serveChannel(c);
        if (row.file) override(row.file, row.kind, row.line);
        ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
        roadtest::DriverRun r = run("action=download\ncpu.ssse3=1\ndotnet=1\n");
        EXPECT_EQ(-1, r.exitCode) << r.log;
        expectBatchEvents(eventsOf(r), -1, kFailed);
        std::string ini;
        tst::readFile(iniPath(), ini);
        EXPECT_EQ(kStaleIni, ini);
        if (std::string(row.logLine) == "@") {
            const std::wstring saved = taskFolder("qv") + L"\\" + row.file;
            EXPECT_TRUE(r.logged("downloaded file is not a zip archive: " + ansiPath(saved))) << r.log;
            EXPECT_FALSE(tst::fileExists(saved)) << "the broken archive is deleted";
        } else {
            EXPECT_TRUE(r.logged(row.logLine)) << r.log;
        }
        if (row.emptyAddress) {
            EXPECT_TRUE(starts().empty()) << "nothing is fetched";
        }
    }
}

// A stalled package fails through the stall guard; a library that will not
// bind fails the batch.
TEST_F(DownloadDriverTest, StallAndUnboundLibraryFailWithinTheirLimits) {
    Channel c;
    c.appListed = false;
    serveChannel(c);
    override(L"qv_engine_3.1.0.1001.zip", "fault", "stall 10000");
    ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
    roadtest::DriverRun r = run("action=download\ncpu.ssse3=1\ndotnet=1\nstallLimitMs=1500\n");
    EXPECT_EQ(-1, r.exitCode) << r.log;
    expectBatchEvents(eventsOf(r), -1, kFailed);
    const long ms = atol(r.first("ms=").substr(3).c_str());
    EXPECT_LT(ms, 1500 + 500 + 5000) << "the stall limit plus the ramp (the driver's steps of 5 ms)";
    std::string ini;
    tst::readFile(iniPath(), ini);
    EXPECT_EQ(kStaleIni, ini);

    // The library file held open without sharing: neither unpacked nor loaded.
    DeleteFileW((filesDir() + L"\\qv_engine_3.1.0.1001.zip.fault").c_str());
    const std::wstring dll = getUserDataFolder() + L"\\peerfetch\\peerfetch.dll";
    CreateDirectoryW((getUserDataFolder() + L"\\peerfetch").c_str(), nullptr);
    HANDLE held = CreateFileW(dll.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    r = run("action=download\ncpu.ssse3=1\ndotnet=1\n");
    CloseHandle(held);
    DeleteFileW(dll.c_str());
    EXPECT_EQ(-1, r.exitCode) << r.log;
    expectBatchEvents(eventsOf(r), -1, kFailed);
    EXPECT_TRUE(r.logged(" download modules exception!")) << r.log;
    tst::readFile(iniPath(), ini);
    EXPECT_EQ(kStaleIni, ini);
}

TEST_F(DownloadDriverTest, CancelStopsASlowPackageWithoutLeftovers) {
    Channel c;
    serveChannel(c);
    override(L"qv_engine_3.1.0.1001.zip", "fault", "slow 65536 200");
    ASSERT_TRUE(tst::writeFile(iniPath(), kStaleIni));
    roadtest::DriverRun r = run("action=download\ncpu.ssse3=1\ndotnet=1\ncancelAfterMs=2000\n");
    EXPECT_EQ(-1, r.exitCode) << r.log;
    expectBatchEvents(eventsOf(r), -1, kFailed);
    const long ms = atol(r.first("ms=").substr(3).c_str());
    EXPECT_LT(ms, 2000 + 1000 + 500 + 3000) << "a second plus the ramp after the cancel";
    std::string ini;
    tst::readFile(iniPath(), ini);
    EXPECT_EQ(kStaleIni, ini);
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((taskFolder("qv") + L"\\*").c_str(), &fd);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        EXPECT_TRUE(name == L"sample_1.0.apk" || name == L"1001_icon.png") << tst::narrow(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

// Earlier versions' folders go after a package download, and only those.
TEST_F(DownloadDriverTest, OldFoldersOfThisChannelAndEngineGoAfterAPackage) {
    const std::wstring dl = getDownloadFolder();
    const wchar_t* const stay[] = {L"52817_vbox_3.0.0.1", L"99999_qv_3.0.0.1", L"52817_qv_3.0.0.1.bak"};
    for (const wchar_t* name : stay) ASSERT_TRUE(tst::writeFile(dl + L"\\" + name, "x"));
    ASSERT_TRUE(CreateDirectoryW((dl + L"\\52817_qv_3.0.0.1").c_str(), nullptr));
    ASSERT_TRUE(tst::writeFile(dl + L"\\52817_qv_3.0.0.1\\qv_engine_3.0.0.1.zip", "old"));
    // The folder of a variant that had no version.
    ASSERT_TRUE(CreateDirectoryW((dl + L"\\52817_qv_").c_str(), nullptr));
    ASSERT_TRUE(tst::writeFile(dl + L"\\52817_qv_\\sample_1.0.apk", "old"));
    // An installed hall program stays when the run fetches none: the one the hall
    // path names and the one in the user data folder.
    ASSERT_TRUE(tst::writeFile(box.progDir() + L"\\TarvoHall.exe", "installed hall"));
    const std::wstring userHall = getUserDataFolder() + L"\\TarvoHall.exe";
    tst::SavedFile savedHall(userHall);
    ASSERT_TRUE(tst::writeFile(userHall, "user hall"));

    Channel c;
    serveChannel(c);
    roadtest::DriverRun r = run("action=download\ncpu.ssse3=1\ndotnet=1\n");
    ASSERT_EQ(0, r.exitCode) << r.log;
    EXPECT_FALSE(tst::fileExists(dl + L"\\52817_qv_3.0.0.1\\qv_engine_3.0.0.1.zip"));
    EXPECT_FALSE(tst::fileExists(dl + L"\\52817_qv_3.0.0.1"));
    EXPECT_FALSE(tst::fileExists(dl + L"\\52817_qv_"));
    EXPECT_TRUE(tst::fileExists(taskFolder("qv") + L"\\qv_engine_3.1.0.1001.zip"));
    for (const wchar_t* name : stay) EXPECT_TRUE(tst::fileExists(dl + L"\\" + name)) << tst::narrow(name);
    std::string hall;
    ASSERT_TRUE(tst::readFile(box.progDir() + L"\\TarvoHall.exe", hall));
    EXPECT_EQ("installed hall", hall);
    ASSERT_TRUE(tst::readFile(userHall, hall));
    EXPECT_EQ("user hall", hall);

    // An app-only run of the VBox engine leaves its older folder alone.
    clearDownloads();
    ASSERT_TRUE(CreateDirectoryW((dl + L"\\52817_vbox_3.0.0.1").c_str(), nullptr));
    c.vboxEnabled = true;
    serveChannel(c);
    seedPlayer("3.1.0.1001", false);
    seedEngine(true);
    r = run("action=download\ncpu.vendor=AuthenticAMD\n");
    ASSERT_EQ(0, r.exitCode) << r.log;
    EXPECT_EQ(2u, starts().size()) << "app and icon";
    EXPECT_TRUE(tst::fileExists(dl + L"\\52817_vbox_3.0.0.1"));
    for (const wchar_t* name : stay) DeleteFileW((dl + L"\\" + name).c_str());
}

// The sample channel as the loader's run serves it: its own documents and the
// generated files.
TEST(SampleChannelDownloadTest, BothEnginesDownloadFromTheSampleChannel) {
    roadtest::RoadSandbox box(L"installer_driver.exe", {"--root", tst::testingDirUnix() + "/sample_channel",
                                                        "--substitute", "--files", sampleFilesUnix()});
    ASSERT_TRUE(box.ready());
    const std::wstring base = getUserDataFolder() + L"\\download\\52817_";
    const struct {
        const char* engine;
        const char* facts;
        const wchar_t* package;
        int stats;  // requests to /Stat, /mobi.html and /Orvekmobilemgr
    } rows[] = {
        {"qv", "cpu.vendor=GenuineIntel\ncpu.vmx=0\ncpu.ssse3=1\n", L"qv_engine_3.1.0.1001.zip", 3},
        {"vbox", "cpu.vendor=AuthenticAMD\n", L"vbox_engine_3.1.0.1001.zip", 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.engine);
        DownloadDriverTest::clearDownloads();
        if (std::string(row.engine) == "vbox") {
            ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\TarvoPlayer-3.0.0.1.exe").c_str(), box.playerPath().c_str(), FALSE));
        }
        const size_t before = box.requests().size();
        roadtest::DriverRun r = box.run(L"", std::string("action=download\n") + row.facts);
        ASSERT_EQ(0, r.exitCode) << r.log;
        const std::wstring task = base + tst::widen(row.engine) + L"_3.1.0.1001";
        for (const auto& f : {std::make_pair(std::wstring(row.package), std::wstring(row.package)),
                              std::make_pair(std::wstring(L"sample_1.0.apk"), std::wstring(L"sample_1.0.apk")),
                              std::make_pair(std::wstring(L"1001_icon.png"), std::wstring(L"sample_icon.png"))}) {
            std::string got;
            EXPECT_TRUE(tst::readFile(task + L"\\" + f.first, got) && got == sampleFile(f.second)) << tst::narrow(f.first);
        }
        const std::string t = tst::narrow(task);
        std::string ini;
        ASSERT_TRUE(tst::readFile(DownloadDriverTest::iniPath(), ini));
        std::vector<std::string> lines = {"[" + std::string(row.engine) + "_download]",
                                          "main_pkg=" + t + "\\" + tst::narrow(row.package), "hall_exe=",
                                          "[download]", "pkg_count=1", "[52817_1]", "file=" + t + "\\sample_1.0.apk",
                                          "icon=" + t + "\\1001_icon.png"};
        if (std::string(row.engine) == "qv") {
            // No .NET in the prefix, on a Windows of major version 6: nothing to fetch for it.
            lines.insert(lines.begin() + 3, {"dotnet_exe=", "xp=0"});
            lines.push_back("tips=" + t + "\\1001_tips.png");
        }
        EXPECT_EQ(joinLines(lines), iniText(ini));
        int stats = 0;
        const std::vector<std::string> requests = box.requests();
        for (size_t i = before; i < requests.size(); ++i) {
            const std::string& l = requests[i];
            stats += l.find("GET /Stat") == 0 || l.find("GET /mobi.html") == 0 || l.find("GET /Orvekmobilemgr") == 0;
        }
        EXPECT_EQ(row.stats, stats);
        for (const Event& e : eventsOf(r)) {
            if (e.state == 1) {
                EXPECT_EQ("other", e.thread);
            }
        }
    }
    DeleteFileW(box.playerPath().c_str());
    DownloadDriverTest::clearDownloads();
}

}  // namespace
