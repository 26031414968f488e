// The library's own contract, called directly (the loader's binding always
// passes a stall time of ten minutes).
#include <gtest/gtest.h>

#include "installer/peerfetch_abi.h"
#include "installer/peerfetch_test_util.h"

namespace {

class PeerfetchLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
        module = LoadLibraryW(pftest::installLibrary(dir.path(), L"peerfetch.dll").c_str());
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
    ASSERT_TRUE(tst::readFile(out() + L"\\ok.bin", got));
    EXPECT_EQ("0123456789", got);
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

}  // namespace
