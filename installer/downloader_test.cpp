#include "installer/downloader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>

#include "testing/peerfetch_test/peerfetch_test_util.h"
#include "installer/peerfetch_wrapper.h"
#include "services/loader_env.h"
#include "services/log.h"

namespace {

struct TotalEvent {
    int state;
    float percent;
    ULONGLONG at;
};

// Records both delegates' calls (on the worker thread; read after it ended).
struct Recorder {
    std::vector<TotalEvent> totals;
    std::map<std::wstring, std::vector<int32_t>> statesSeen;  // by url
    std::map<std::wstring, std::vector<float>> progressSeen;

    void onTotal(int state, float percent) { totals.push_back({state, percent, GetTickCount64()}); }
    void onTask(Downloader::Task& task) {
        statesSeen[task.url()].push_back(task.state());
        progressSeen[task.url()].push_back(task.getProgress());
    }
    void bind(Downloader& d, bool total = true, bool task = true) {
        if (total) d.totalProgress().bind(this, &Recorder::onTotal);
        if (task) d.taskProgress().bind(this, &Recorder::onTask);
    }
};

std::wstring lowerCopy(std::wstring s) {
    for (auto& c : s) c = (wchar_t)towlower(c);
    return s;
}

// Names in folder matching pattern.
std::vector<std::wstring> listNames(const std::wstring& pattern) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) out.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
}

std::string bytesOf(const std::wstring& path) {
    std::string s;
    tst::readFile(path, s);
    return s;
}

class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
        CreateDirectoryW(base.file(L"temp").c_str(), nullptr);
        CreateDirectoryW(base.file(L"out").c_str(), nullptr);
    }
    void TearDown() override {
        downloaderLimits() = DownloaderLimits();
        EXPECT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
        // Every extraction removed its temporary archive.
        EXPECT_TRUE(listNames(base.file(L"temp") + L"\\tarvozhushou\\TVD*.tmp").empty());
    }
    std::wstring out() const { return base.file(L"out"); }

    std::wstring calls_path() const { return base.file(L"calls.log"); }

    tst::TempDir base{L"dl"};
    pftest::TempOverride temp{base.file(L"temp")};
    pftest::CallLog calls{base.file(L"calls.log")};
};

TEST_F(DownloaderTest, ConstructorUnpacksTheLibraryAndReplacesAnOldOne) {
    std::string shipped = bytesOf(tst::binDir() + L"\\peerfetch_test.dll");
    ASSERT_FALSE(shipped.empty());
    {
        Downloader d(211, base.path());
        EXPECT_EQ(base.path() + L"\\peerfetch\\peerfetch.dll", d.getDllPath());
        auto names = listNames(base.file(L"peerfetch\\*"));
        ASSERT_EQ(1u, names.size());
        EXPECT_EQ(L"peerfetch.dll", lowerCopy(names[0]));
        EXPECT_TRUE(bytesOf(d.getDllPath()) == shipped);
    }
    ASSERT_TRUE(tst::writeFile(base.file(L"peerfetch\\peerfetch.dll"), "an older library"));
    {
        Downloader d(211, base.path());
        EXPECT_TRUE(bytesOf(d.getDllPath()) == shipped);
    }
    // An empty base folder means the program's own folder (not unpacked there: 213 is missing).
    Downloader d(213, L"");
    EXPECT_EQ(tst::binDir() + L"\\peerfetch\\peerfetch.dll", d.getDllPath());
}

// A library another program left in the user-writable folder is never the
// one bound: a read-only copy is replaced; one that cannot be replaced fails
// the batch as a library that does not bind, and never runs.
TEST_F(DownloaderTest, AForeignLibraryIsReplacedOrNeverLoaded) {
    const std::wstring foreignLog = base.file(L"foreign.log");
    SetEnvironmentVariableW(L"HVPROBE_STUB_LOG", foreignLog.c_str());
    const std::wstring folder = base.file(L"peerfetch");
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring library = folder + L"\\peerfetch.dll";
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "held by another process" : "read-only");
        ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\hvprobe_stub_yes.dll").c_str(), library.c_str(), FALSE));
        std::unique_ptr<tst::FileHeldElsewhere> holder;
        if (locked) {
            holder.reset(new tst::FileHeldElsewhere(library, 6000));
            ASSERT_TRUE(holder->held());
        } else {
            ASSERT_TRUE(SetFileAttributesW(library.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const size_t logStart = bytesOf(getLogFolder() + L"\\installer_tests.log").size();
        {
            Downloader d(211, base.path());
            d.addTask(L"", L"fake:seq=1/1/1", out(), L"a.bin");
            EXPECT_EQ(locked ? -1 : 0, d.run());
            EXPECT_EQ(locked ? 0u : 1u, d.finishedCount());
        }
        EXPECT_EQ(locked ? 0u : 1u, calls.linesOf("attach").size()) << "the product's library ran";
        EXPECT_EQ("", bytesOf(foreignLog)) << "the foreign library never ran";
        const std::string log = bytesOf(getLogFolder() + L"\\installer_tests.log").substr(logStart);
        EXPECT_EQ(locked, log.find("library check failed: " + tst::narrow(library)) != std::string::npos);
        holder.reset();
        tst::writeFile(calls_path(), "");
    }
    SetEnvironmentVariableW(L"HVPROBE_STUB_LOG", nullptr);
}

TEST_F(DownloaderTest, EmptyBatchBindsAndRampsToTheEnd) {
    Downloader d(211, base.path());
    Recorder r;
    r.bind(d);
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(0, d.run());
    ULONGLONG took = GetTickCount64() - t0;
    ASSERT_EQ(102u, r.totals.size());
    EXPECT_EQ(0, r.totals[0].state);
    EXPECT_EQ(0.0f, r.totals[0].percent);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(1, r.totals[1 + i].state);
        EXPECT_EQ((float)i, r.totals[1 + i].percent);
    }
    EXPECT_EQ(2, r.totals[101].state);
    EXPECT_EQ(100.0f, r.totals[101].percent);
    EXPECT_GE(took, 9500u) << "about 100 ms a step";
    EXPECT_EQ(1u, calls.linesOf("attach").size()) << "the library was bound";
    EXPECT_TRUE(calls.linesOf("query").empty());

    // Without a total delegate there is no ramp.
    Downloader quiet(211, base.path());
    t0 = GetTickCount64();
    EXPECT_EQ(0, quiet.run());
    EXPECT_LT(GetTickCount64() - t0, 1000u);
}

TEST_F(DownloaderTest, StatusCodesSettleTasks) {
    downloaderLimits().stallMs = 1500;
    struct Row {
        const wchar_t* url;
        int state;
        int result;
        bool settledByCode;  // queried in every cycle of the batch
    } rows[] = {
        {L"fake:seq=1/10/10", 2, 0, true},
        {L"fake:seq=2/0/0", -1, -1, true},
        {L"fake:seq=3/0/0", -1, -1, true},
        {L"fake:seq=4/0/0", -1, -1, true},
        {L"fake:seq=9/0/0", -1, -1, true},
        {L"fake:seq=-1/0/0", -1, -1, true},
        {L"fake:seq=1/5/5,2/5/5", -1, 0, true},  // a settled state overwritten later
        // Pending codes change nothing; the stall guard ends them.
        {L"fake:seq=0/0/0", -1, -1, false},
        {L"fake:seq=6/0/0", -1, -1, false},
        {L"fake:seq=7/0/0", -1, -1, false},
        {L"fake:seq=8/0/0", -1, -1, false},
        {L"fake:seq=42/0/0", -1, -1, false},
        {L"fake:seq=5/50/100", -1, -1, false},
        // Bytes that keep growing are no stall.
        {L"fake:seq=5/1/100,5/2/100,5/3/100,5/4/100,5/5/100,5/6/100,5/7/100,5/8/100,5/9/100,5/10/100,"
         L"5/11/100,5/12/100,5/13/100,5/14/100,5/15/100,5/16/100,5/17/100,5/18/100,1/100/100",
         2, 0, true},
    };
    Downloader d(211, base.path());
    Recorder r;
    r.bind(d, false, true);
    for (const Row& row : rows) d.addTask(L"", row.url, out(), L"f.bin");
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(0, d.run()) << "every task settled";
    EXPECT_GE(GetTickCount64() - t0, 1400u);
    EXPECT_LT(GetTickCount64() - t0, 5000u);

    size_t cycles = r.statesSeen[L"fake:seq=1/10/10"].size();
    EXPECT_GE(cycles, 15u);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(tst::narrow(row.url));
        Downloader::Task& t = d.taskAt(i);
        EXPECT_EQ(row.state, t.state());
        EXPECT_EQ(row.result, t.getResult());
        EXPECT_EQ(out() + L"\\f.bin", t.savedName());
        const auto& seen = r.statesSeen[row.url];
        ASSERT_FALSE(seen.empty());
        if (row.settledByCode) {
            EXPECT_EQ(cycles, seen.size());
        } else {
            EXPECT_LT(seen.size(), cycles) << "no longer queried after the stall guard";
        }
    }
    // Pending tasks stayed unsettled until the guard: state 0 in every call.
    for (const wchar_t* url : {L"fake:seq=0/0/0", L"fake:seq=42/0/0", L"fake:seq=5/50/100"})
        for (int32_t s : r.statesSeen[url]) EXPECT_EQ(0, s) << tst::narrow(url);
    const auto& overwritten = r.statesSeen[L"fake:seq=1/5/5,2/5/5"];
    EXPECT_EQ(2, overwritten[0]);
    EXPECT_EQ(-1, overwritten.back());
    // Progress only for code 5: downloaded / total on the 95 scale.
    for (float p : r.progressSeen[L"fake:seq=5/50/100"]) EXPECT_FLOAT_EQ(47.5f, p);
    for (float p : r.progressSeen[L"fake:seq=42/0/0"]) EXPECT_EQ(0.0f, p);
    for (float p : r.progressSeen[L"fake:seq=1/10/10"]) EXPECT_EQ(0.0f, p);
    EXPECT_EQ(2u, d.finishedCount());
    EXPECT_EQ((unsigned)(sizeof rows / sizeof rows[0]), d.taskCount());
    // Clean-up stopped and removed every started task.
    EXPECT_EQ(d.taskCount(), calls.linesOf("remove").size());
}

// A task that settled stays settled whatever its later queries say; the batch
// ends once the pending one beside it is ended by the stall guard.
TEST_F(DownloaderTest, SettledTasksStaySettledAndTheBatchEnds) {
    const uint32_t limit = 1500;
    downloaderLimits().stallMs = limit;
    struct Row {
        const wchar_t* url;
        int state;
    } rows[] = {
        {L"fake:seq=1/1/1,q", 2},        // finished, then every query fails
        {L"fake:seq=1/1/1,0/0/0", 2},    // finished, then pending again
        {L"fake:seq=1/1/1,5/0/9", 2},    // finished, then downloading again
        {L"fake:seq=2/0/0,q", -1},       // failed, then every query fails
        {L"fake:seq=3/0/0,6/0/0", -1},   // failed, then pending again
        {L"fake:seq=0/0/0", -1},         // pending: the stall guard ends it
    };
    Downloader d(211, base.path());
    for (const Row& row : rows) d.addTask(L"", row.url, out(), L"f.bin");
    ULONGLONG t0 = GetTickCount64();
    d.start();
    d.wait(limit + 4000);
    ULONGLONG took = GetTickCount64() - t0;
    bool ended = !d.isRunning();
    if (!ended) d.requestStop();
    d.wait(-1);
    ASSERT_TRUE(ended) << "the batch polled settled tasks for ever";
    EXPECT_GE(took, limit - 100);
    // The limit plus one cycle, with room for a loaded machine.
    EXPECT_LT(took, limit + 1500u);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(tst::narrow(rows[i].url));
        EXPECT_EQ(rows[i].state, d.taskAt(i).state());
    }
    EXPECT_EQ(3u, d.finishedCount());
}

TEST_F(DownloaderTest, BatchPercent) {
    const uint64_t MiB = 1048576;
    auto seq = [](std::initializer_list<std::initializer_list<uint64_t>> steps) {
        std::wstring s = L"fake:seq=";
        for (auto& step : steps) {
            if (s.size() > 9) s += L",";
            if (step.size() == 0) {
                s += L"q";
                continue;
            }
            auto it = step.begin();
            s += std::to_wstring(*it) + L"/" + std::to_wstring(*(it + 1)) + L"/" + std::to_wstring(*(it + 2));
        }
        return s;
    };
    struct Case {
        const char* name;
        std::vector<std::wstring> urls;
        std::vector<float> polling;  // expected (1, percent) of the polling cycles
    } cases[] = {
        {"unknown total counts 300 MiB",
         {seq({{5, 150 * MiB, 0}, {1, 300 * MiB, 300 * MiB}})},
         {47.5f, 95.0f}},
        {"downloaded KiB never fall when a larger total appears",
         {seq({{5, 2 * MiB, 4 * MiB}, {5, 0, 8 * MiB}, {1, 8 * MiB, 8 * MiB}})},
         {47.5f, 23.75f, 95.0f}},
        {"a failed query keeps the percent at most 95",
         {seq({{5, 2 * MiB, 2 * MiB}, {}, {1, 2 * MiB, 2 * MiB}}), seq({{5, 1 * MiB, 2 * MiB}, {5, 1 * MiB, 2 * MiB},
                                                                         {1, 2 * MiB, 2 * MiB}})},
         {71.25f, 95.0f, 95.0f}},
        {"a cycle without answers repeats the percent",
         {seq({{5, 1 * MiB, 2 * MiB}, {}, {}, {1, 2 * MiB, 2 * MiB}})},
         {47.5f, 47.5f, 47.5f, 95.0f}},
        {"a cycle without answers before any gives 0",
         {seq({{}, {1, 2 * MiB, 2 * MiB}})},
         {0.0f, 95.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Downloader d(211, base.path());
        Recorder r;
        r.bind(d, true, false);
        for (const auto& u : c.urls) d.addTask(L"", u, out(), L"f.bin");
        EXPECT_EQ(0, d.run());
        ASSERT_GE(r.totals.size(), 1 + c.polling.size() + 1);
        EXPECT_EQ(0, r.totals[0].state);
        size_t i = 1;
        for (float expected : c.polling) {
            EXPECT_EQ(1, r.totals[i].state);
            EXPECT_FALSE(std::isnan(r.totals[i].percent));
            EXPECT_FLOAT_EQ(expected, r.totals[i].percent) << "cycle " << i;
            ++i;
        }
        // The ramp: from the last percent in steps of 1 while below 100, then (2, 100).
        float p = c.polling.back();
        for (; p < 100.0f; p += 1.0f, ++i) {
            ASSERT_LT(i, r.totals.size());
            EXPECT_EQ(1, r.totals[i].state);
            EXPECT_FLOAT_EQ(p, r.totals[i].percent);
        }
        ASSERT_EQ(i + 1, r.totals.size());
        EXPECT_EQ(2, r.totals[i].state);
        EXPECT_FLOAT_EQ(100.0f, r.totals[i].percent);
    }
}

TEST_F(DownloaderTest, RefusedStartsAndUnsafeInputFailTheirTasks) {
    pftest::WebServer server;
    ASSERT_TRUE(tst::writeFile(base.file(L"x.apk"), "payload"));
    ASSERT_TRUE(server.start(base.path()));
    std::wstring fileUrl = server.url(L"/files/x.apk");
    struct Case {
        std::wstring url, dir, name;
        bool starts;
    } cases[] = {
        {L"fake:refuse", out(), L"a.bin", true},  // the library refuses it
        {fileUrl, out(), L"..\\x.apk", false},
        {fileUrl, out(), L"../x.apk", false},
        {fileUrl, out(), L"sub\\x.apk", false},
        {fileUrl, out(), L"C:x.apk", false},
        {fileUrl, out(), L"", false},
        {fileUrl, out(), L".", false},
        {fileUrl, out(), L"..", false},
        {fileUrl, out(), L"x*.apk", false},
        {fileUrl, out(), L"x?.apk", false},
        {fileUrl, out(), L"x\".apk", false},
        {fileUrl, out(), L"x<>.apk", false},
        {fileUrl, out(), L"x|.apk", false},
        {fileUrl, out(), std::wstring(L"x\x01.apk"), false},
        {fileUrl, out(), std::wstring(L"x\0.apk", 6), false},
        {fileUrl, out(), std::wstring(520, L'n'), false},
        {fileUrl + L"?" + std::wstring(8264 - fileUrl.size() - 1, L'u'), out(), L"long.apk", false},
        {fileUrl, std::wstring(262, L'd'), L"x.apk", false},
        // The longest texts that fit are passed on.
        {L"fake:seq=1/1/1&" + std::wstring(8263 - 15, L'u'), out(), std::wstring(519, L'n'), true},
        {fileUrl, out(), L"ok.apk", true},
    };
    Downloader d(211, base.path());
    for (const Case& c : cases) d.addTask(L"", c.url, c.dir, c.name);
    EXPECT_EQ((unsigned)(sizeof cases / sizeof cases[0]), d.taskCount());
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(0, d.run()) << "refused tasks count as settled";
    EXPECT_LT(GetTickCount64() - t0, 10000u);
    EXPECT_EQ(2u, d.finishedCount());

    auto starts = calls.linesOf("start");
    size_t started = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        if (c.starts) ++started;
        if (!c.starts || i == 0) {
            EXPECT_EQ(-1, d.taskAt(i).state());
        }
    }
    EXPECT_EQ(started, starts.size()) << "refused tasks never reach the library";
    EXPECT_EQ(2, d.taskAt(sizeof cases / sizeof cases[0] - 1).state());
    EXPECT_EQ("payload", bytesOf(out() + L"\\ok.apk"));
    EXPECT_EQ(std::vector<std::wstring>{L"ok.apk"}, listNames(out() + L"\\*"));
    EXPECT_EQ("payload", bytesOf(base.file(L"x.apk"))) << "nothing written beside the folder";
}

TEST_F(DownloaderTest, UnloadableLibraryIsRetriedFiveTimes) {
    for (uint32_t id : {212u, 213u}) {
        SCOPED_TRACE(id);
        tst::TempDir own(L"dlr");
        std::string marker = "downloader retry test " + std::to_string(GetCurrentProcessId()) + " " +
                             std::to_string(GetTickCount64()) + " " + std::to_string(id);
        logPrintf("%s", marker.c_str());
        Downloader d(id, own.path());
        d.addTask(L"", L"fake:seq=1/1/1", out(), L"a.bin");
        Recorder r;
        r.bind(d);
        ULONGLONG t0 = GetTickCount64();
        EXPECT_EQ(-1, d.run());
        EXPECT_GE(GetTickCount64() - t0, 2400u);
        ASSERT_EQ(2u, r.totals.size());
        EXPECT_EQ(0, r.totals[0].state);
        EXPECT_EQ(2, r.totals[1].state);
        EXPECT_EQ(0.0f, r.totals[1].percent);
        EXPECT_EQ(0u, d.finishedCount());
        EXPECT_EQ(0, d.taskAt(0).state());
        EXPECT_TRUE(calls.linesOf("start").empty());

        std::string text;
        ASSERT_TRUE(tst::readFile(getLogFolder() + L"\\installer_tests.log", text));
        size_t at = text.find(marker);
        ASSERT_NE(std::string::npos, at);
        for (int i = 0; i < 5; ++i) {
            std::string line = ", ,  fix download modules retry: " + std::to_string(i) + "...";
            size_t next = text.find(line, at);
            ASSERT_NE(std::string::npos, next) << line;
            at = next;
        }
        EXPECT_NE(std::string::npos, text.find(", ,  download modules exception!", at));
    }
}

TEST_F(DownloaderTest, HttpBatch) {
    std::string big, small = "small file\r\n";
    for (int i = 0; i < 700000; ++i) big.push_back((char)(i * 131 + i / 7));
    ASSERT_TRUE(tst::writeFile(base.file(L"big.bin"), big));
    ASSERT_TRUE(tst::writeFile(base.file(L"small.txt"), small));
    pftest::WebServer server;
    ASSERT_TRUE(server.start(base.path()));
    struct Case {
        std::wstring path, name;
        int state;
        const std::string* body;
        std::wstring savedAs;
    } cases[] = {
        {L"/files/big.bin", L"big.bin", 2, &big, L"big.bin"},
        {L"/chunked/small.txt", L"chunked.txt", 2, &small, L"chunked.txt"},
        {L"/status/404", L"missing.bin", -1, nullptr, L"missing.bin"},
        {L"/redirect/files/small.txt", L"moved.txt", 2, &small, L"moved.txt"},
        {L"/files/small.txt?pf_saveas=other.txt", L"asked.txt", 2, &small, L"other.txt"},
    };
    Downloader d(211, base.path());
    Recorder r;
    r.bind(d, false, true);
    for (const Case& c : cases) d.addTask(L"", server.url(c.path), out(), c.name);
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(0, d.run());
    EXPECT_LT(GetTickCount64() - t0, 20000u);
    EXPECT_EQ(4u, d.finishedCount());
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(tst::narrow(c.path));
        Downloader::Task& t = d.taskAt(i);
        EXPECT_EQ(c.state, t.state());
        EXPECT_EQ(out() + L"\\" + c.savedAs, t.savedName());
        if (c.body) {
            EXPECT_TRUE(bytesOf(t.savedName()) == *c.body);
        }
    }
    EXPECT_NE(out() + L"\\asked.txt", d.taskAt(4).savedName());
    auto names = listNames(out() + L"\\*");
    for (const auto& n : names) EXPECT_EQ(std::wstring::npos, n.find(L".part")) << tst::narrow(n);
    EXPECT_FALSE(tst::fileExists(out() + L"\\missing.bin"));
    EXPECT_EQ(4u, names.size());
}

TEST_F(DownloaderTest, StopEndsTheBatch) {
    std::string body(200 * 1024, 'z');
    ASSERT_TRUE(tst::writeFile(base.file(L"slow.bin"), body));
    pftest::WebServer server;
    ASSERT_TRUE(server.start(base.path()));
    // A stop during a slow download: the worker ends within about a second.
    {
        Downloader d(211, base.path());
        Recorder r;
        r.bind(d, false, true);
        d.addTask(L"", server.url(L"/slow/slow.bin?chunk=1024&pause=100"), out(), L"slow.bin");
        d.start();
        Sleep(1500);
        ASSERT_TRUE(d.isRunning());
        ULONGLONG t0 = GetTickCount64();
        d.requestStop();
        while (d.isRunning() && GetTickCount64() - t0 < 5000) d.wait(50);
        EXPECT_FALSE(d.isRunning());
        EXPECT_LT(GetTickCount64() - t0, 2000u) << "one poll and the clean-up";
        EXPECT_LT(d.finishedCount(), d.taskCount());
        EXPECT_EQ(0, d.taskAt(0).state());
        EXPECT_FALSE(tst::fileExists(out() + L"\\slow.bin.part"));
        EXPECT_FALSE(tst::fileExists(out() + L"\\slow.bin"));
        bool sawBytes = false;
        for (float p : r.progressSeen.begin()->second) sawBytes = sawBytes || p > 0;
        EXPECT_TRUE(sawBytes) << "the download was running";
    }
    // With the ramp: a second plus the ramp's steps.
    {
        Downloader d(211, base.path());
        Recorder r;
        r.bind(d, true, false);
        d.addTask(L"", server.url(L"/slow/slow.bin?chunk=1024&pause=100"), out(), L"slow.bin");
        d.start();
        Sleep(1000);
        ULONGLONG t0 = GetTickCount64();
        d.requestStop();
        d.wait(20000);
        EXPECT_FALSE(d.isRunning());
        ASSERT_GE(r.totals.size(), 2u);
        EXPECT_EQ(2, r.totals.back().state);
        float lastPolled = 0;
        for (const auto& e : r.totals)
            if (e.at <= t0 && e.state == 1) lastPolled = e.percent;
        double rampMs = (100.0 - lastPolled) * 100.0;
        EXPECT_LT((double)(GetTickCount64() - t0), 1000.0 + rampMs + 1000.0);
    }
    // A stop asked right after start holds.
    {
        Downloader d(211, base.path());
        d.addTask(L"", L"fake:seq=0/0/0", out(), L"pending.bin");
        d.start();
        d.requestStop();
        d.wait(5000);
        EXPECT_FALSE(d.isRunning());
        EXPECT_EQ(0u, d.finishedCount());
    }
}

TEST_F(DownloaderTest, StopWithoutStartOnlyClearsTheList) {
    Downloader d(211, base.path());
    d.addTask(L"", L"fake:seq=1/1/1", out(), L"a.bin");
    d.addTask(L"", L"fake:seq=1/1/1", out(), L"b.bin");
    EXPECT_EQ(2u, d.taskCount());
    ULONGLONG t0 = GetTickCount64();
    d.stop();
    EXPECT_LT(GetTickCount64() - t0, 500u);
    EXPECT_EQ(0u, d.taskCount());
    EXPECT_FALSE(d.isRunning());
    EXPECT_TRUE(calls.lines().empty()) << "the library was never loaded";
}

}  // namespace
