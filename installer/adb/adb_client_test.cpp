#include "installer/adb/adb_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_adb/fake_adb_fixture.h"
#include "testing/support/test_support.h"

using fakeadb::DriverRun;
using fakeadb::FakeAdb;

namespace {

// Restores the process-wide adb settings after each test.
class AdbClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_[0] = adb::settings().defaultServerPort;
        saved_[1] = adb::settings().requestTimeoutMs;
        saved_[2] = adb::settings().outputTimeoutMs;
        saved_[3] = adb::settings().serverAckTimeoutMs;
    }
    void TearDown() override {
        adb::settings().defaultServerPort = saved_[0];
        adb::settings().requestTimeoutMs = saved_[1];
        adb::settings().outputTimeoutMs = saved_[2];
        adb::settings().serverAckTimeoutMs = saved_[3];
    }
    void useFake(const FakeAdb& fake) {
        ASSERT_TRUE(fake.ok()) << "fake adb server did not start";
        adb::settings().defaultServerPort = fake.port();
    }
    int saved_[4];
};

Json::Value reply(const std::string& bytes, bool close = false) {
    Json::Value r;
    r["send"] = bytes;
    if (close) r["close"] = true;
    return r;
}

std::wstring num(long long v) { return std::to_wstring(v); }

TEST_F(AdbClientTest, RequestFramingAndServiceLengthLimits) {
    Json::Value config;
    FakeAdb fake(config);
    useFake(fake);
    adb::AdbClient client;

    // Refused before any connection is made.
    for (size_t length : {size_t(0), size_t(1025)}) {
        EXPECT_EQ(-1, client.connectService(std::string(length, 'x'))) << length;
        EXPECT_STREQ("service name too long", client.error);
    }
    std::string longest = "host:" + std::string(1019, 'a');
    ASSERT_EQ(1024u, longest.size());
    EXPECT_EQ(-1, client.connectService(longest));  // the fake knows no such service
    EXPECT_STREQ("unknown host service", client.error);
    std::string odd = "host:" + std::string(0x3ab - 5, 'b');
    EXPECT_EQ(-1, client.connectService(odd));

    ASSERT_TRUE(fake.waitFor([&] { return fake.requests().size() == 2; }));
    auto requests = fake.eventsOf("request");
    EXPECT_EQ(2, fake.connections());
    EXPECT_EQ("0400", requests[0]["length_field"].asString());
    EXPECT_EQ(fakeadb::hexOf("0400" + longest), requests[0]["hex"].asString());
    EXPECT_EQ("03ab", requests[1]["length_field"].asString());  // lower-case hex digits
    std::string detail;
    EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
}

struct StatusCase {
    const char* service;
    std::string bytes;
    bool serverCloses;
    int rc;  // 0: a socket comes back
    std::string error;
};

TEST_F(AdbClientTest, StatusRepliesWholeAndOneBytePerSend) {
    std::string text300;
    for (int i = 0; i < 300; ++i) text300 += (char)('a' + i % 26);
    const std::vector<StatusCase> cases = {
        {"host:okay", "OKAY", false, 0, ""},
        {"host:hello", "FAIL0005hello", false, -1, "hello"},
        {"host:long", "FAIL012c" + text300, false, -1, text300.substr(0, 255)},
        {"host:abcd", "ABCD", false, -1, "protocol fault (status 41 42 43 44?!)"},
        {"host:nostatus", "OK", true, -1, "protocol fault (no status)"},
        {"host:nolen", "FAIL00", true, -1, "protocol fault (status len)"},
        {"host:noread", "FAIL0005hel", true, -1, "protocol fault (status read)"},
    };
    for (int chunk : {0, 1}) {
        SCOPED_TRACE(chunk ? "one byte per send" : "whole replies");
        Json::Value config;
        config["chunk"] = chunk;
        for (const auto& c : cases) config["replies"][c.service] = reply(c.bytes, c.serverCloses);
        FakeAdb fake(config);
        useFake(fake);
        for (const auto& c : cases) {
            adb::AdbClient client;
            adb::SocketFd fd = client.connectService(c.service);
            if (c.rc == 0) {
                EXPECT_GE(fd, 1) << c.service;
                adb::AdbClient::closeSocket(fd);
            } else {
                EXPECT_EQ(c.rc, fd) << c.service;
                EXPECT_EQ(c.error, client.error) << c.service;
            }
        }
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
        EXPECT_EQ((int)cases.size(), fake.connections());
    }
}

TEST_F(AdbClientTest, TransportSelection) {
    const std::string longSerial = "emulator-" + std::string(191, '7');
    ASSERT_EQ(200u, longSerial.size());
    struct Case {
        std::string serial;
        int transport;
        std::vector<std::string> requests;
        bool ok;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:5555", -1, {"host:transport:127.0.0.1:5555", "shell:id"}, true, ""},
        {longSerial, -1, {"host:transport:" + longSerial, "shell:id"}, true, ""},
        {"", 0, {"host:transport-usb", "shell:id"}, true, ""},
        {"", 1, {"host:transport-local", "shell:id"}, true, ""},
        {"", 2, {"host:transport-any", "shell:id"}, true, ""},
        {"", 9, {"host:???"}, false, "unknown host service"},
        {"", 3, {"shell:id"}, false, "unknown host service"},
        {"10.0.0.9:5555", -1, {"host:transport:10.0.0.9:5555"}, false, "device '10.0.0.9:5555' not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial + " / " + std::to_string(c.transport));
        Json::Value config;
        config["serial"] = c.serial.size() == 200 ? longSerial : "127.0.0.1:5555";
        config["shell"]["id"] = "uid=0\n";
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client(c.serial.c_str());
        if (c.transport >= 0) client.transport = c.transport;
        adb::SocketFd fd = client.connectService("shell:id");
        if (c.ok) {
            ASSERT_GE(fd, 1);
            std::string output;
            adb::AdbClient::readAll(fd, output);
            adb::AdbClient::closeSocket(fd);
            EXPECT_EQ("uid=0\n", output);
        } else {
            EXPECT_EQ(-1, fd);
            EXPECT_EQ(c.error, client.error);
        }
        ASSERT_TRUE(fake.waitFor([&] { return fake.requests().size() >= c.requests.size(); }));
        EXPECT_EQ(c.requests, fake.requests());
        EXPECT_EQ(1, fake.connections());
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
    }
}

TEST_F(AdbClientTest, BadVersionRepliesFailWithoutReplacingTheServer) {
    const std::vector<std::string> replies = {
        "OKAY0065" + std::string(101, '0'),  // length above 100
        "OKAY0004zzzz",                     // not hexadecimal
        "OKAY00zz",
    };
    for (const auto& r : replies) {
        SCOPED_TRACE(r.substr(0, 12));
        Json::Value config;
        config["replies"]["host:version"] = reply(r);
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client;
        EXPECT_EQ(-1, client.connect("shell:id"));
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
        EXPECT_EQ(std::vector<std::string>{"host:version"}, fake.requests());
    }
}

TEST_F(AdbClientTest, DeadlinesEndSilentPeers) {
    adb::settings().requestTimeoutMs = 1000;
    adb::settings().outputTimeoutMs = 1500;
    {
        Json::Value config;
        config["silent"] = true;
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client;
        ULONGLONG t0 = GetTickCount64();
        EXPECT_EQ(-1, client.connect("shell:id"));
        ULONGLONG took = GetTickCount64() - t0;
        EXPECT_STREQ("protocol fault (no status)", client.error);
        EXPECT_GE(took, 900u);
        EXPECT_LT(took, 6000u);
        EXPECT_EQ(ETIMEDOUT, errno);
        EXPECT_EQ(10060, adb::lastSocketError());
    }
    {
        Json::Value config;
        config["shell_silent"] = true;
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client("127.0.0.1:5555");
        std::string output = "stale";
        ULONGLONG t0 = GetTickCount64();
        EXPECT_EQ(0, client.query("shell:sleep 1000", output));
        ULONGLONG took = GetTickCount64() - t0;
        EXPECT_EQ("", output);
        EXPECT_GE(took, 1400u);
        EXPECT_LT(took, 7000u);
    }
}

TEST_F(AdbClientTest, QueryCollectsTheWholeOutputAndClearsItOnFailure) {
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + "\r\n";
    Json::Value config;
    config["shell"]["big"] = big;
    config["shell"]["pm install -r \"/sdcard/a.apk\""] = "Success\r\n";  // no push came first
    FakeAdb fake(config);
    useFake(fake);
    adb::AdbClient client("127.0.0.1:5555");
    std::string output;
    EXPECT_EQ(0, client.query("shell:big", output));
    EXPECT_EQ(big, output);
    EXPECT_EQ(0, client.query("shell:pm install -r \"/sdcard/a.apk\"", output));
    EXPECT_EQ("Success\r\n", output);

    adb::AdbClient stranger("no-such-device");
    output = "stale";
    EXPECT_EQ(-1, stranger.query("shell:big", output));
    EXPECT_EQ("", output);
    EXPECT_STREQ("device 'no-such-device' not found", stranger.error);

    fake.stop();
    adb::AdbClient::readAll(-1, output);
    EXPECT_EQ("", output);
    std::string unreachable = "stale";
    adb::AdbClient gone;
    strcpy(gone.serverHost, "127.0.0.1");  // a named host: no local server start
    gone.serverPort = fakeadb::freePort();
    EXPECT_EQ(-1, gone.query("shell:big", unreachable));
    EXPECT_EQ("", unreachable);
}

// A socket listening for one connection on an ephemeral port of 127.0.0.1
// (after WSAStartup, which the caller's WSACleanup balances); `at` gets its address.
SOCKET listenOnLoopback(sockaddr_in& at) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    int len = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len);
    listen(listener, 1);
    return listener;
}

// A peer on an ephemeral port of 127.0.0.1 that runs `talk` on the one connection
// it accepts; `connected` is the client's end.
class LocalPeer {
public:
    explicit LocalPeer(std::function<void(SOCKET, const std::atomic<bool>&)> talk) {
        sockaddr_in a = {};
        SOCKET listener = listenOnLoopback(a);
        peer_ = std::thread([this, listener, talk] {
            SOCKET c = accept(listener, nullptr, nullptr);
            closesocket(listener);
            if (c == INVALID_SOCKET) return;
            talk(c, stop_);
            closesocket(c);
        });
        connected = socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(connected, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            closesocket(connected);
            connected = INVALID_SOCKET;
        }
    }
    ~LocalPeer() {
        stop_ = true;
        if (connected != INVALID_SOCKET) closesocket(connected);
        peer_.join();
        WSACleanup();
    }
    SOCKET connected = INVALID_SOCKET;

private:
    std::atomic<bool> stop_{false};
    std::thread peer_;
};

TEST(AdbReadAll, TotalDeadlineAndSizeCap) {
    {
        SCOPED_TRACE("a byte every 200 ms");
        LocalPeer peer([](SOCKET c, const std::atomic<bool>& stop) {
            for (int i = 0; i < 50 && !stop; ++i) {
                if (send(c, "x", 1, 0) != 1) return;
                Sleep(200);
            }
        });
        ASSERT_NE(INVALID_SOCKET, peer.connected);
        std::string output;
        const ULONGLONG t0 = GetTickCount64();
        adb::AdbClient::readAll((adb::SocketFd)peer.connected, output, 1500);
        const ULONGLONG took = GetTickCount64() - t0;
        EXPECT_GE(took, 1400u);
        EXPECT_LT(took, 2200u);
        EXPECT_GE(output.size(), 5u);
        EXPECT_LE(output.size(), 9u);
    }
    {
        SCOPED_TRACE("9 MiB");
        LocalPeer peer([](SOCKET c, const std::atomic<bool>& stop) {
            const std::string block(65536, 'y');
            for (int i = 0; i < 9 * 16 && !stop; ++i)
                if (send(c, block.data(), (int)block.size(), 0) <= 0) return;
            shutdown(c, SD_SEND);
        });
        ASSERT_NE(INVALID_SOCKET, peer.connected);
        std::string output;
        adb::AdbClient::readAll((adb::SocketFd)peer.connected, output, 60000);
        EXPECT_EQ(8388608u, output.size());
        EXPECT_EQ(std::string::npos, output.find_first_not_of('y'));
    }
}

TEST_F(AdbClientTest, UnreachableServer) {
    adb::AdbClient client;
    client.serverPort = fakeadb::freePort();
    EXPECT_EQ(-2, client.connectService("host:version"));
    EXPECT_STREQ("cannot connect to daemon", client.error);
    EXPECT_EQ(107, errno);  // 10061, connection refused
    EXPECT_EQ(10061, adb::lastSocketError());

    // A named server host is resolved; a remote one is never started.
    strcpy(client.serverHost, "localhost");
    EXPECT_EQ(-2, client.connect("shell:id"));
}

TEST(AdbSocketErrors, TableRows) {
    struct Row {
        int code, err;
        const char* text;
    };
    const Row rows[] = {
        {10004, 4, "interrupted function call"},
        {10037, 103, "operation already in progress"},  // the first of its two rows
        {10035, 140, "resource temporarily unavailable"},
        {10038, 9, "socket operation not on socket"},
        {10060, 138, "connection timed out"},
        {10061, 107, "connection refused"},
        {10058, 10058, "cannot send after socket shutdown"},
        {6, 22, "invalid handle"},
        {8, 12, "not enough memory"},
        {10093, 22, "unknown error"},  // not in the table
    };
    for (const auto& r : rows) {
        errno = 0;
        EXPECT_EQ(r.err, adb::mapSocketError(r.code)) << r.code;
        EXPECT_EQ(r.err, errno) << r.code;
        EXPECT_EQ(r.code, adb::lastSocketError());
        EXPECT_STREQ(r.text, adb::socketErrorText(r.code)) << r.code;
    }
}

TEST(AdbDescriptors, TableInAFreshProcess) {
    tst::TempDir dir(L"adbfd");
    std::wstring file = dir.file(L"ten.bin");
    ASSERT_TRUE(tst::writeFile(file, "0123456789"));
    DriverRun run = fakeadb::runDriver(
        {L"fdtable", file, dir.file(L"missing.bin"), dir.file(L"no-folder\\x.bin")});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(100, run.num("first"));
    EXPECT_EQ(227, run.num("last"));
    EXPECT_EQ(-1, run.num("open129"));
    EXPECT_EQ(12, run.num("open129_errno"));
    for (const char* k : {"close99", "close228", "close105_again", "read105_closed"}) {
        EXPECT_EQ(-1, run.num(k)) << k;
        EXPECT_EQ(9, run.num(std::string(k) + "_errno")) << k;
    }
    EXPECT_EQ(0, run.num("close105"));
    EXPECT_EQ(105, run.num("reused"));
    EXPECT_EQ(1, run.num("reused_name_ok"));
    EXPECT_EQ(10, run.num("short_read"));
    EXPECT_EQ(1, run.num("eof_after_short_read"));
    EXPECT_EQ(2, run.num("seek"));
    EXPECT_EQ(0, run.num("eof_after_seek"));
    EXPECT_EQ(fakeadb::hexOf("234"), run["after_seek"]);
    EXPECT_EQ(-1, run.num("seek_bad_origin"));
    EXPECT_EQ(22, run.num("seek_bad_origin_errno"));
    EXPECT_EQ(-1, run.num("missing_file"));
    EXPECT_EQ(2, run.num("missing_file_errno"));
    EXPECT_EQ(-1, run.num("missing_folder"));
    EXPECT_EQ(20, run.num("missing_folder_errno"));
    EXPECT_EQ(100, run.num("after_failures"));
}

// Threads that open, use and close descriptors at once, with the table nearly
// full: no descriptor that is open fails, and every slot is free at the end.
TEST(AdbDescriptors, ConcurrentUseKeepsTheTableWhole) {
    tst::TempDir dir(L"adbfd");
    std::wstring file = dir.file(L"ten.bin");
    ASSERT_TRUE(tst::writeFile(file, "0123456789"));
    DriverRun run = fakeadb::runDriver({L"fdthreads", file});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(0, run.num("failures"));
    EXPECT_GT(run.num("opened"), 1000);
    EXPECT_EQ(120, run.num("held_closed"));
    EXPECT_EQ(128, run.num("reopened"));
    EXPECT_EQ(-1, run.num("open129"));
    EXPECT_EQ(12, run.num("open129_errno"));
}

// --- server version and start roads (in a driver process, streams captured) ----------

struct StandIn {
    tst::TempDir dir{L"tvdb"};
    std::wstring log = dir.file(L"standin.log");
    ~StandIn() { fakeadb::killStandIns(log); }
    std::vector<std::wstring> env(int port, const std::wstring& mode) const {
        return {L"TVDB_STANDIN_PORT=" + num(port), L"TVDB_STANDIN_MODE=" + mode, L"TVDB_STANDIN_LOG=" + log};
    }
    // Asks a serving stand-in to leave.
    void kill(int port) const {
        adb::AdbClient c;
        c.serverPort = port;
        adb::AdbClient::closeSocket(c.connectService("host:kill"));
    }
};

TEST(AdbServerRoad, CurrentServerAnswersOnASecondConnection) {
    Json::Value config;
    config["shell"]["echo hi"] = "hi\n";
    FakeAdb fake(config);
    ASSERT_TRUE(fake.ok());
    // The driver touches nothing but the adb client: Winsock is started by it.
    DriverRun run = fakeadb::runDriver({L"connect", num(fake.port()), L"127.0.0.1:5555", L"shell:echo hi"});
    ASSERT_EQ(0, run.exitCode);
    EXPECT_EQ(1, run.num("rc")) << run["error"];
    EXPECT_EQ(fakeadb::hexOf("hi\n"), run["output"]);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    ASSERT_TRUE(fake.waitFor([&] { return fake.requests(2).size() == 2; }));
    EXPECT_EQ(std::vector<std::string>{"host:version"}, fake.requests(1));
    EXPECT_EQ((std::vector<std::string>{"host:transport:127.0.0.1:5555", "shell:echo hi"}), fake.requests(2));
    std::string detail;
    EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
}

TEST(AdbServerRoad, OutdatedServerIsKilledAndReplaced) {
    struct Case {
        const char* name;
        Json::Value config;
    };
    std::vector<Case> cases(2);
    cases[0].name = "version 30";
    cases[0].config["version"] = "001e";
    cases[1].name = "no version service";
    cases[1].config["replies"]["host:version"] = reply("FAIL0014unknown host service");
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAdb fake(c.config);
        ASSERT_TRUE(fake.ok());
        StandIn standIn;
        DriverRun run = fakeadb::runDriver({L"connect", num(fake.port()), L"127.0.0.1:5555", L"shell:echo hi"},
                                           standIn.env(fake.port(), L"ok"));
        ASSERT_EQ(0, run.exitCode);
        EXPECT_EQ(1, run.num("rc")) << run["error"];
        EXPECT_EQ(fakeadb::hexOf("echo hi"), run["output"]);  // the stand-in echoes
        EXPECT_EQ("adb server is out of date.  killing...\n* daemon started successfully *\n", run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ((std::vector<std::string>{"host:version", "host:kill"}), fake.requests());

        auto kills = fake.eventsOf("kill");
        ASSERT_EQ(1u, kills.size());
        long long killedAt = kills[0]["t"].asInt64();
        long long startedAt = atoll(fakeadb::standInValue(standIn.log, "start").c_str());
        long long ackAt = atoll(fakeadb::standInValue(standIn.log, "ack").c_str());
        std::string request = fakeadb::standInValue(standIn.log, "request");
        EXPECT_EQ("adb fork-server server", fakeadb::standInValue(standIn.log, "cmdline"));
        EXPECT_GE(startedAt - killedAt, 1990);
        // "request <ms> <service>": the transport comes first, after the 3000 ms pause.
        long long requestAt = atoll(request.c_str());
        EXPECT_NE(std::string::npos, request.find("host:transport:127.0.0.1:5555"));
        EXPECT_GE(requestAt - ackAt, 2990);
        standIn.kill(fake.port());
    }
}

TEST(AdbServerRoad, StartingTheServer) {
    struct Case {
        const wchar_t* mode;
        long long rc;
        std::string out;  // after the "daemon not running" line
        std::string err;
    };
    const std::string started = "* daemon started successfully *\n";
    const std::vector<Case> cases = {
        {L"ok", 1, started, ""},
        {L"split", 1, started, ""},
        {L"nack", -1, "", "ADB server didn't ACK\n* failed to start daemon *\n"},
        {L"quiet-exit", -1, "", "could not read ok from ADB Server, error = 109\n* failed to start daemon *\n"},
        {L"hang", -1, "", "ADB server didn't ACK\n* failed to start daemon *\n"},
        {L"ok-exit", -2, started, "** daemon still not running"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tst::narrow(c.mode));
        StandIn standIn;
        int port = fakeadb::freePort();
        DriverRun run = fakeadb::runDriver(
            {L"--ack-ms", L"1500", L"connect", num(port), L"127.0.0.1:5555", L"shell:echo hi"},
            standIn.env(port, c.mode));
        ASSERT_EQ(0, run.exitCode);
        EXPECT_EQ(c.rc, run.num("rc")) << run["error"];
        EXPECT_EQ("* daemon not running. starting it now on port " + std::to_string(port) + " *\n" + c.out, run.out);
        EXPECT_EQ(c.err, run.err);
        EXPECT_EQ("adb fork-server server", fakeadb::standInValue(standIn.log, "cmdline"));
        if (c.rc == 1) {
            EXPECT_EQ(fakeadb::hexOf("echo hi"), run["output"]);
            standIn.kill(port);
        }
        if (std::wstring(c.mode) == L"hang") {
            EXPECT_LT(run.num("elapsed_ms"), 6000);
        }
    }
}

TEST(AdbServerRoad, MissingServerProgram) {
    tst::TempDir dir(L"notvdb");
    std::wstring copy = dir.file(L"adb_driver.exe");
    ASSERT_TRUE(CopyFileW(fakeadb::driverPath().c_str(), copy.c_str(), FALSE));
    int port = fakeadb::freePort();
    DriverRun run = fakeadb::runDriver({L"connect", num(port), L"-", L"shell:id"}, {}, 60000, copy);
    ASSERT_EQ(0, run.exitCode);
    EXPECT_EQ(-1, run.num("rc"));
    EXPECT_EQ("* daemon not running. starting it now on port " + std::to_string(port) + " *\n", run.out);
    EXPECT_EQ("CreateProcess failure, error 2\n* failed to start daemon *\n", run.err);
}

}  // namespace

// --- stopping a thread's adb work -----------------------------------------------------

namespace {

struct StopRun {
    std::function<void()> body;
    std::atomic<bool> flag{false};
    std::atomic<ULONGLONG> endedAt{0};
};

DWORD WINAPI stopRunThread(void* arg) {
    StopRun* run = static_cast<StopRun*>(arg);
    adb::StopScope scope(&run->flag);
    run->body();
    run->endedAt = GetTickCount64();
    return 0;
}

// Runs body on a thread of its own inside a stop scope, sets the flag once ready()
// holds (and at least 300 ms have passed), and gives the ms from the flag to the
// body's return (-1: it did not return within 10 s).
long long msToStop(const std::function<void()>& body, const std::function<bool()>& ready = [] { return true; }) {
    StopRun* run = new StopRun;
    run->body = body;
    HANDLE thread = CreateThread(nullptr, 0, stopRunThread, run, 0, nullptr);
    if (!thread) {
        delete run;
        return -2;
    }
    Sleep(300);
    for (int i = 0; i < 300 && !ready(); ++i) Sleep(50);
    ULONGLONG setAt = GetTickCount64();
    run->flag = true;
    DWORD w = WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    if (w != WAIT_OBJECT_0) return -1;  // the body still runs and uses `run`: leave it
    long long ms = (long long)(run->endedAt.load() - setAt);
    delete run;
    return ms;
}

// A peer on 127.0.0.1 that accepts and then neither reads nor writes.
struct MutePeer {
    SOCKET listener = INVALID_SOCKET, client = INVALID_SOCKET, server = INVALID_SOCKET;
    MutePeer() {
        sockaddr_in a = {};
        listener = listenOnLoopback(a);
        client = socket(AF_INET, SOCK_STREAM, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        server = accept(listener, nullptr, nullptr);
    }
    ~MutePeer() {
        closesocket(client);
        closesocket(server);
        closesocket(listener);
        WSACleanup();
    }
    bool ok() const { return client != INVALID_SOCKET && server != INVALID_SOCKET; }
};

// Sets the tvdb.exe stand-in's environment for servers this process starts.
struct StandInEnv {
    StandIn standIn;
    explicit StandInEnv(int port) {
        for (const auto& e : standIn.env(port, L"ok")) {
            size_t eq = e.find(L'=');
            SetEnvironmentVariableW(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str());
        }
    }
    ~StandInEnv() {
        for (const wchar_t* name : {L"TVDB_STANDIN_PORT", L"TVDB_STANDIN_MODE", L"TVDB_STANDIN_LOG"})
            SetEnvironmentVariableW(name, nullptr);
    }
};

}  // namespace

TEST_F(AdbClientTest, StopEndsEveryWaitOfTheThread) {
    adb::settings().requestTimeoutMs = 60000;
    {
        SCOPED_TRACE("readExactly on a silent peer");
        MutePeer peer;
        ASSERT_TRUE(peer.ok());
        int rc = 0;
        long long ms = msToStop([&] {
            char b[4];
            rc = adb::AdbClient::readExactly((adb::SocketFd)peer.client, b, sizeof b);
        });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(-1, rc);
    }
    {
        SCOPED_TRACE("writeAll into a full socket");
        MutePeer peer;
        ASSERT_TRUE(peer.ok());
        std::string big(64 << 20, 'x');
        int rc = 0;
        long long ms = msToStop([&] { rc = adb::AdbClient::writeAll((adb::SocketFd)peer.client, big.data(), big.size()); });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(-1, rc);
    }
    {
        SCOPED_TRACE("readAll on a silent shell");
        Json::Value config;
        config["shell_silent"] = true;
        FakeAdb fake(config);
        useFake(fake);
        std::string output = "stale";
        int rc = 1;
        long long ms = msToStop([&] {
            adb::AdbClient client("127.0.0.1:5555");
            rc = client.query("shell:sleep 1000", output);
        }, [&] { return fake.requests().size() >= 3; });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(0, rc);  // readAll ends with what it has
        EXPECT_EQ("", output);
        std::string detail;
        EXPECT_TRUE(fake.waitAllClosed(15000, &detail)) << detail;
    }
    {
        SCOPED_TRACE("a silent server's status");
        Json::Value config;
        config["silent"] = true;
        FakeAdb fake(config);
        useFake(fake);
        adb::AdbClient client;
        adb::SocketFd fd = 0;
        long long ms = msToStop([&] { fd = client.connect("shell:id"); });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(-1, fd);
        EXPECT_STREQ("cancelled", client.error);
    }
}

TEST_F(AdbClientTest, StopCutsTheServerReplacementPauses) {
    {
        SCOPED_TRACE("the 2000 ms pause after killing an outdated server");
        Json::Value config;
        config["version"] = "001e";
        FakeAdb fake(config);
        useFake(fake);
        StandInEnv env(fake.port());
        adb::AdbClient client;
        adb::SocketFd fd = 0;
        long long ms = msToStop([&] { fd = client.connect("shell:id"); },
                                [&] { return !fake.eventsOf("kill").empty(); });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(-1, fd);
        EXPECT_STREQ("cancelled", client.error);
        Sleep(500);
        EXPECT_EQ("", fakeadb::standInValue(env.standIn.log, "cmdline"));  // no server was started
    }
    {
        SCOPED_TRACE("the 3000 ms pause after starting the server");
        int port = fakeadb::freePort();
        adb::settings().defaultServerPort = port;
        StandInEnv env(port);
        adb::AdbClient client;
        adb::SocketFd fd = 0;
        long long ms = msToStop([&] { fd = client.connect("shell:id"); },
                                [&] { return !fakeadb::standInValue(env.standIn.log, "ack").empty(); });
        EXPECT_GE(ms, 0);
        EXPECT_LT(ms, 200);
        EXPECT_EQ(-1, fd);
        EXPECT_STREQ("cancelled", client.error);
        env.standIn.kill(port);
    }
    {
        SCOPED_TRACE("a flag already set");
        int port = fakeadb::freePort();
        adb::settings().defaultServerPort = port;
        StandInEnv env(port);
        std::atomic<bool> flag{true};
        adb::StopScope scope(&flag);
        adb::AdbClient client;
        EXPECT_EQ(-1, client.connect("shell:id"));
        EXPECT_STREQ("cancelled", client.error);
        EXPECT_EQ(-1, client.connectService("host:version"));
        Sleep(500);
        EXPECT_EQ("", fakeadb::standInValue(env.standIn.log, "cmdline"));
    }
}
