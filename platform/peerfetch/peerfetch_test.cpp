// The library's own contract, called directly (the loader's binding always
// passes a stall time of ten minutes).
#include <gtest/gtest.h>

#include "platform/peerfetch/peerfetch_abi.h"
#include "testing/peerfetch_test/peerfetch_test_util.h"

namespace {

class PeerfetchLibraryTest : public ::testing::Test {
protected:
    // The product library; the test variant (call log) where a test says so.
    virtual const wchar_t* builtName() const { return L"peerfetch.dll"; }
    void SetUp() override {
        ASSERT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
        module = LoadLibraryW(pftest::installLibrary(dir.path(), builtName()).c_str());
        ASSERT_NE(nullptr, module);
        start = reinterpret_cast<PPStartTaskExFn>(GetProcAddress(module, "PPStartTaskEx"));
        query = reinterpret_cast<PPQueryTaskExFn>(GetProcAddress(module, "PPQueryTaskEx"));
        stop = reinterpret_cast<PPStopTaskFn>(GetProcAddress(module, "PPStopTask"));
        remove = reinterpret_cast<PPRemoveTaskFn>(GetProcAddress(module, "PPRemoveTask"));
        ASSERT_TRUE(start && query && stop && remove);
        CreateDirectoryW(out().c_str(), nullptr);
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
        EXPECT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
    }
    std::wstring out() const { return dir.file(L"out"); }

    PeerfetchHandle begin(const std::wstring& url, const std::wstring& fullPath, uint32_t stallMs) {
        PeerfetchTaskParams params;
        wcscpy(params.url, url.c_str());
        return start(params.url, fullPath.c_str(), stallMs, 0, 0, nullptr, 0, 0);
    }
    // Polls until the task leaves codes 0 and 5 (at most waitMs).
    PeerfetchTaskStatus settle(PeerfetchHandle h, DWORD waitMs) {
        PeerfetchTaskStatus status;
        for (DWORD waited = 0; waited < waitMs; waited += 50) {
            status.clear();
            EXPECT_EQ(1, query(h, &status));
            if (status.code != 0 && status.code != 5) break;
            Sleep(50);
        }
        return status;
    }

    tst::TempDir dir{L"pfl"};
    HMODULE module = nullptr;
    PPStartTaskExFn start = nullptr;
    PPQueryTaskExFn query = nullptr;
    PPStopTaskFn stop = nullptr;
    PPRemoveTaskFn remove = nullptr;
};

TEST_F(PeerfetchLibraryTest, NetworkAndFileFailuresGiveTheirCodes) {
    pftest::WebServer server;
    ASSERT_TRUE(tst::writeFile(dir.file(L"f.bin"), "0123456789"));
    ASSERT_TRUE(server.start(dir.path()));
    // The ".part" name taken by a folder: the file cannot be written.
    ASSERT_TRUE(CreateDirectoryW((out() + L"\\blocked.bin.part").c_str(), nullptr));
    // The target taken by a folder: the finished file cannot be moved there.
    ASSERT_TRUE(CreateDirectoryW((out() + L"\\taken.bin").c_str(), nullptr));
    // A read-only file planted at a ".part" name: replaced (Wine 8 deletes through a
    // host link to a file, so no link is planted here).
    ASSERT_TRUE(tst::writeFile(out() + L"\\readonly.bin.part", "planted"));
    ASSERT_TRUE(SetFileAttributesW((out() + L"\\readonly.bin.part").c_str(), FILE_ATTRIBUTE_READONLY));
    // A hard link planted at a ".part" name shares a file elsewhere: writing into
    // the name would write into that file.
    const std::wstring outside = dir.file(L"outside.txt");
    ASSERT_TRUE(tst::writeFile(outside, "outside"));
    ASSERT_TRUE(CreateHardLinkW((out() + L"\\linked.bin.part").c_str(), outside.c_str(), nullptr)) << GetLastError();
    struct Case {
        std::wstring path, name;
        uint32_t stallMs;
        int code;
    } cases[] = {
        {L"/stall?bytes=10", L"stalled.bin", 700, 4},
        {L"/truncated?bytes=10", L"cut.bin", 60000, 4},
        {L"/files/f.bin", L"blocked.bin", 60000, 3},
        {L"/files/f.bin", L"taken.bin", 60000, 3},
        {L"/status/403", L"denied.bin", 60000, 2},
        {L"/files/f.bin", L"ok.bin", 60000, 1},
        {L"/files/f.bin", L"readonly.bin", 60000, 1},
        {L"/files/f.bin", L"linked.bin", 60000, 1},
    };
    std::vector<PeerfetchHandle> handles;
    for (const Case& c : cases) {
        handles.push_back(begin(server.url(c.path), out() + L"\\" + c.name, c.stallMs));
        ASSERT_NE(0u, handles.back());
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(tst::narrow(c.path + L" " + c.name));
        ULONGLONG t0 = GetTickCount64();
        PeerfetchTaskStatus status = settle(handles[i], 15000);
        EXPECT_EQ(c.code, status.code);
        if (c.stallMs < 1000) {
            EXPECT_LT(GetTickCount64() - t0, 5000u);
            EXPECT_EQ(10u, status.downloadedBytes);
        }
        if (c.code != 1 && c.name != L"blocked.bin") {
            EXPECT_FALSE(tst::fileExists(out() + L"\\" + c.name + L".part"));
        }
        if (c.code == 2 || c.code == 4) {
            EXPECT_FALSE(tst::fileExists(out() + L"\\" + c.name));
        }
    }
    std::string got;
    for (const wchar_t* name : {L"ok.bin", L"readonly.bin", L"linked.bin"}) {
        ASSERT_TRUE(tst::readFile(out() + L"\\" + name, got)) << tst::narrow(name);
        EXPECT_EQ("0123456789", got);
    }
    ASSERT_TRUE(tst::readFile(outside, got));
    EXPECT_EQ("outside", got);
    for (PeerfetchHandle h : handles) {
        EXPECT_EQ(1, stop(h));
        EXPECT_EQ(1, remove(h));
    }
    // The handles are unknown from now on.
    PeerfetchTaskStatus status;
    EXPECT_EQ(0, query(handles[0], &status));
    EXPECT_EQ(0, stop(handles[0]));
    EXPECT_EQ(0, remove(handles[0]));
}

TEST_F(PeerfetchLibraryTest, FinishedTaskAnswersTheFileSize) {
    pftest::WebServer server;
    std::string body(150000, 'b');
    ASSERT_TRUE(tst::writeFile(dir.file(L"c.bin"), body));
    ASSERT_TRUE(server.start(dir.path()));
    // Chunked: no size until the end.
    PeerfetchHandle h = begin(server.url(L"/chunked/c.bin"), out() + L"\\c.bin", 60000);
    ASSERT_NE(0u, h);
    PeerfetchTaskStatus status = settle(h, 15000);
    EXPECT_EQ(1, status.code);
    EXPECT_EQ(body.size(), status.totalBytes);
    EXPECT_EQ(body.size(), status.downloadedBytes);
    EXPECT_EQ(out() + L"\\c.bin", std::wstring(status.fileText));
    remove(h);
}

// Bytes that no compression or repetition hides.
std::string noise(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

TEST_F(PeerfetchLibraryTest, LargeFileArrivesExact) {
    pftest::WebServer server;
    const std::string body = noise(64u << 20);
    ASSERT_TRUE(tst::writeFile(dir.file(L"big.bin"), body));
    ASSERT_TRUE(server.start(dir.path()));
    struct Case {
        std::wstring path;
        const wchar_t* name;
    } cases[] = {
        {L"/files/big.bin", L"big.bin"},
        {L"/chunked/big.bin", L"chunked.bin"},
        // Pieces that do not line up with the read buffer.
        {L"/slow/big.bin?chunk=1000003&pause=1", L"uneven.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.path));
        PeerfetchHandle h = begin(server.url(c.path), out() + L"\\" + c.name, 60000);
        ASSERT_NE(0u, h);
        PeerfetchTaskStatus status = settle(h, 60000);
        EXPECT_EQ(1, status.code);
        EXPECT_EQ(body.size(), status.downloadedBytes);
        std::string got;
        ASSERT_TRUE(tst::readFile(out() + L"\\" + c.name, got));
        EXPECT_EQ(body.size(), got.size());
        EXPECT_TRUE(body == got) << "the bytes differ";
        remove(h);
    }
}

class PeerfetchStopTest : public PeerfetchLibraryTest {
protected:
    const wchar_t* builtName() const override { return L"peerfetch_test.dll"; }
    pftest::CallLog calls{dir.file(L"calls.log")};
};

// A stop while a read waits for more data ends the task at once; the read's
// memory is the task's again (nothing is left to WinINet), and the library
// unloads cleanly afterwards (TearDown).
TEST_F(PeerfetchStopTest, StopDuringAPendingReadEndsQuicklyAndLeavesNothing) {
    pftest::WebServer server;
    ASSERT_TRUE(tst::writeFile(dir.file(L"big.bin"), noise(64u << 20)));
    ASSERT_TRUE(server.start(dir.path()));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::wstring name = L"big" + std::to_wstring(round) + L".bin";
        PeerfetchHandle h = begin(server.url(L"/slow/big.bin?chunk=262144&pause=40"), out() + L"\\" + name, 60000);
        ASSERT_NE(0u, h);
        PeerfetchTaskStatus status;
        for (ULONGLONG t0 = GetTickCount64(); GetTickCount64() - t0 < 20000; Sleep(20)) {
            status.clear();
            ASSERT_EQ(1, query(h, &status));
            if (status.downloadedBytes > (2u << 20)) break;
        }
        ASSERT_EQ(5, status.code);
        ASSERT_GT(status.downloadedBytes, 2u << 20);
        ULONGLONG t0 = GetTickCount64();
        EXPECT_EQ(1, stop(h));
        EXPECT_LT(GetTickCount64() - t0, 1000u);
        status.clear();
        EXPECT_EQ(1, query(h, &status));
        EXPECT_EQ(9, status.code);
        EXPECT_FALSE(tst::fileExists(out() + L"\\" + name + L".part"));
        EXPECT_FALSE(tst::fileExists(out() + L"\\" + name));
        EXPECT_EQ(1, remove(h));
    }
    EXPECT_TRUE(calls.linesOf("sink").empty());
}

// A silent server: the pending query's memory goes to WinINet, whatever it
// does with it later.
TEST_F(PeerfetchStopTest, StallLeavesThePendingMemoryToWinInet) {
    pftest::WebServer server;
    ASSERT_TRUE(server.start(dir.path()));
    PeerfetchHandle h = begin(server.url(L"/stall?bytes=5000"), out() + L"\\stalled.bin", 500);
    ASSERT_NE(0u, h);
    ULONGLONG t0 = GetTickCount64();
    PeerfetchTaskStatus status = settle(h, 10000);
    EXPECT_LT(GetTickCount64() - t0, 3000u);
    EXPECT_EQ(4, status.code);
    EXPECT_EQ(5000u, status.downloadedBytes);
    EXPECT_EQ(1, remove(h));
    auto sinks = calls.linesOf("sink");
    ASSERT_EQ(1u, sinks.size());
    EXPECT_EQ("sink left handle=" + std::to_string(h), sinks[0]);
}

}  // namespace
