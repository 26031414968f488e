#include "installer/peerfetch_wrapper.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "testing/peerfetch_test/peerfetch_test_util.h"

// Blocks this thread holds from operator new while counting is on: what a call
// leaves allocated. The rest of the program allocates as usual.
namespace {
thread_local bool t_counting = false;
thread_local long t_live = 0;
}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    if (t_counting) ++t_live;
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
    if (!p) return;
    if (t_counting) --t_live;
    std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

std::string hexAddress(const void* p) {
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)(uintptr_t)p);
    return buf;
}

void fillTask(PeerfetchTaskParams& p, const std::wstring& url, const std::wstring& folder, const std::wstring& name) {
    wcscpy(p.url, url.c_str());
    wcscpy(p.folder, folder.c_str());
    wcscpy(p.fileName, name.c_str());
    // As the downloader's worker sets them before a start.
    p.option47B4 = 1;
    p.option47BC = 1;
    p.option47C0 = 1;
}

class PeerfetchWrapperTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll")); }
    void TearDown() override { EXPECT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll")); }

    tst::TempDir dir{L"pfw"};
    pftest::CallLog log{dir.file(L"calls.log")};
};

TEST_F(PeerfetchWrapperTest, FreshBlocksHoldOnlyTheirFixedWords) {
    PeerfetchTaskParams params;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&params);
    for (size_t i = 0; i < sizeof params; ++i) {
        unsigned char expected = (i == 0x47B8) ? 5 : (i == 0x47C0) ? 1 : 0;
        ASSERT_EQ(expected, bytes[i]) << "byte " << i;
    }
    PeerfetchTaskStatus status;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(&status);
    for (size_t i = 0; i < sizeof status; ++i) ASSERT_EQ(0, s[i]) << "byte " << i;
}

TEST_F(PeerfetchWrapperTest, StartPassesTheLibraryViewAndTheArguments) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    PeerfetchTaskParams params;
    fillTask(params, L"fake:seq=5/1/2", dir.path(), L"файл.apk");
    PeerfetchHandle handle = wrapper.startTask(params);
    ASSERT_NE(0u, handle);

    auto starts = log.linesOf("start");
    ASSERT_EQ(1u, starts.size());
    const std::string& line = starts[0];
    EXPECT_EQ("fake:seq=5/1/2", pftest::field(line, "url"));
    EXPECT_EQ(tst::narrow(L"файл.apk"), pftest::field(line, "name"));
    EXPECT_EQ(tst::narrow(dir.path()), pftest::field(line, "folder"));
    EXPECT_EQ("0,1,5,1,1", pftest::field(line, "options"));
    EXPECT_EQ(tst::narrow(dir.path() + L"\\файл.apk"), pftest::field(line, "fullPath"));
    EXPECT_EQ("600000", pftest::field(line, "stallMs"));
    EXPECT_EQ("0", pftest::field(line, "arg4"));
    EXPECT_EQ("0", pftest::field(line, "arg5"));
    EXPECT_EQ(hexAddress(&wrapper), pftest::field(line, "context"));
    EXPECT_EQ("0", pftest::field(line, "arg7"));
    EXPECT_EQ("0", pftest::field(line, "arg8"));

    PeerfetchTaskStatus status;
    ASSERT_TRUE(wrapper.queryTask(handle, status));
    EXPECT_EQ(5, status.code);
    EXPECT_EQ(1u, status.downloadedBytes);
    EXPECT_EQ(2u, status.totalBytes);
    EXPECT_EQ(dir.path() + L"\\файл.apk", std::wstring(status.fileText));

    EXPECT_TRUE(wrapper.stopAndRemove(handle));
    EXPECT_EQ(1u, log.linesOf("stop").size());
    EXPECT_EQ(1u, log.linesOf("remove").size());
    EXPECT_FALSE(wrapper.queryTask(handle, status)) << "a removed task is unknown";
    EXPECT_TRUE(wrapper.unload());
    EXPECT_EQ(nullptr, PeerfetchWrapper::sharedTable());
}

TEST_F(PeerfetchWrapperTest, SecondWrapperReusesTheTableWhileTheLibraryStaysLoaded) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper first(dll);
    ASSERT_TRUE(first.acquire());
    const PeerfetchWrapper::Table* table = first.getTable();
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(table, PeerfetchWrapper::sharedTable());
    // Named entries that the library exports, and only those, are set; entry 6 has no name.
    for (int i = 1; i < PeerfetchWrapper::Table::kEntries; ++i) {
        bool expected = i == 7 || i == 9 || i == 13 || i == 15;
        EXPECT_EQ(expected, table->entries[i] != nullptr) << "entry " << i;
    }
    EXPECT_EQ(nullptr, PeerfetchWrapper::kExportNames[6]);

    // An extra reference keeps the module after the first unload.
    ASSERT_NE(nullptr, LoadLibraryW(dll.c_str()));
    EXPECT_TRUE(first.unload());
    EXPECT_EQ(nullptr, first.getTable());
    EXPECT_EQ(table, PeerfetchWrapper::sharedTable());

    PeerfetchWrapper second(dll);
    ASSERT_TRUE(second.acquire());
    EXPECT_EQ(table, second.getTable());
    EXPECT_EQ(1u, log.linesOf("attach").size()) << "no second load";

    // This unload frees the last reference: the table goes with the module.
    EXPECT_TRUE(second.unload());
    EXPECT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
    EXPECT_EQ(nullptr, PeerfetchWrapper::sharedTable());

    PeerfetchWrapper third(dll);
    ASSERT_TRUE(third.acquire());
    EXPECT_EQ(2u, log.linesOf("attach").size()) << "loaded again";
    EXPECT_TRUE(third.unload());
}

TEST_F(PeerfetchWrapperTest, UnloadWithoutAcquireFreesNothing) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper holder(dll);
    ASSERT_TRUE(holder.acquire());
    {
        PeerfetchWrapper idle(dll);
        EXPECT_TRUE(idle.unload());
    }  // and its destructor unloads too
    EXPECT_NE(nullptr, GetModuleHandleW(L"peerfetch.dll"));
    EXPECT_NE(nullptr, PeerfetchWrapper::sharedTable());
    PeerfetchTaskParams params;
    fillTask(params, L"fake:seq=1/1/1", dir.path(), L"a.bin");
    EXPECT_NE(0u, holder.startTask(params)) << "the library still works";
    EXPECT_TRUE(holder.unload());
}

TEST_F(PeerfetchWrapperTest, LibrariesThatCannotBeBoundGiveFalse) {
    // Missing file.
    {
        PeerfetchWrapper wrapper(dir.file(L"nowhere\\peerfetch.dll"));
        EXPECT_FALSE(wrapper.acquire());
        EXPECT_EQ(nullptr, wrapper.getTable());
        EXPECT_EQ(nullptr, PeerfetchWrapper::sharedTable());
        PeerfetchTaskParams params;
        EXPECT_EQ(0u, wrapper.startTask(params));
        PeerfetchTaskStatus status;
        EXPECT_FALSE(wrapper.queryTask(1, status));
        EXPECT_TRUE(wrapper.stopAndRemove(1));
    }
    // Garbage bytes under the library's name.
    {
        tst::TempDir other(L"pfg");
        ASSERT_TRUE(tst::writeFile(other.file(L"peerfetch.dll"), "MZ not a library at all"));
        PeerfetchWrapper wrapper(other.file(L"peerfetch.dll"));
        EXPECT_FALSE(wrapper.acquire());
        EXPECT_EQ(nullptr, PeerfetchWrapper::sharedTable());
    }
}

// A bind that fails leaves nothing allocated: the table goes with it.
TEST_F(PeerfetchWrapperTest, FailedBindFreesTheTable) {
    tst::TempDir other(L"pfg");
    ASSERT_TRUE(tst::writeFile(other.file(L"peerfetch.dll"), "MZ not a library at all"));
    for (const std::wstring& path : {dir.file(L"nowhere\\peerfetch.dll"), other.file(L"peerfetch.dll")}) {
        SCOPED_TRACE(tst::narrow(path));
        PeerfetchWrapper wrapper(path);
        // The count sees a block that stays.
        t_live = 0;
        t_counting = true;
        int* kept = new int(1);
        t_counting = false;
        EXPECT_EQ(1, t_live);
        delete kept;

        t_live = 0;
        t_counting = true;
        const bool acquired = wrapper.acquire();
        t_counting = false;
        EXPECT_FALSE(acquired);
        EXPECT_EQ(0, t_live) << "blocks left behind by the failed bind";
        EXPECT_EQ(nullptr, PeerfetchWrapper::sharedTable());
    }
}

TEST_F(PeerfetchWrapperTest, MissingEntriesAreNeverCalled) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_queryonly.dll");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    const PeerfetchWrapper::Table* table = wrapper.getTable();
    EXPECT_EQ(nullptr, table->entries[PeerfetchWrapper::Table::kStartTaskEx]);
    EXPECT_EQ(nullptr, table->entries[PeerfetchWrapper::Table::kStopTask]);
    EXPECT_EQ(nullptr, table->entries[PeerfetchWrapper::Table::kRemoveTask]);
    EXPECT_NE(nullptr, table->entries[PeerfetchWrapper::Table::kQueryTaskEx]);
    PeerfetchTaskParams params;
    fillTask(params, L"fake:seq=1/1/1", dir.path(), L"a.bin");
    EXPECT_EQ(0u, wrapper.startTask(params));
    EXPECT_TRUE(wrapper.stopAndRemove(7));
    PeerfetchTaskStatus status;
    EXPECT_FALSE(wrapper.queryTask(7, status)) << "the variant answers 0";
    EXPECT_TRUE(wrapper.unload());
}

TEST_F(PeerfetchWrapperTest, HandleZeroNeverReachesTheLibrary) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    size_t before = log.lines().size();
    PeerfetchTaskStatus status;
    EXPECT_FALSE(wrapper.queryTask(0, status));
    EXPECT_TRUE(wrapper.stopAndRemove(0));
    EXPECT_EQ(before, log.lines().size());
    EXPECT_TRUE(wrapper.unload());
}

TEST_F(PeerfetchWrapperTest, FileTextWithoutTerminatorFillsTheWholeField) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    PeerfetchTaskParams params;
    fillTask(params, L"fake:nonul", dir.path(), L"a.bin");
    PeerfetchHandle handle = wrapper.startTask(params);
    ASSERT_NE(0u, handle);
    // The block sits in a larger buffer: the library writes nothing past it.
    struct Guarded {
        PeerfetchTaskStatus status;
        unsigned char guard[64];
    } g;
    memset(g.guard, 0xAB, sizeof g.guard);
    ASSERT_TRUE(wrapper.queryTask(handle, g.status));
    for (size_t i = 0; i < PeerfetchTaskStatus::kFileTextChars; ++i) ASSERT_NE(0, g.status.fileText[i]) << i;
    for (unsigned char b : g.guard) ASSERT_EQ(0xAB, b);
    wrapper.stopAndRemove(handle);
    EXPECT_TRUE(wrapper.unload());
}

// Start addresses of this process's threads.
std::vector<uintptr_t> threadStartAddresses() {
    typedef LONG(NTAPI * QueryThread)(HANDLE, int, PVOID, ULONG, PULONG);
    QueryThread query =
        reinterpret_cast<QueryThread>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread"));
    std::vector<uintptr_t> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof te;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
        if (te.th32OwnerProcessID != GetCurrentProcessId()) continue;
        HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID);
        if (!h) continue;
        PVOID start = nullptr;
        if (query && query(h, 9 /* ThreadQuerySetWin32StartAddress */, &start, sizeof start, nullptr) == 0)
            out.push_back(reinterpret_cast<uintptr_t>(start));
        CloseHandle(h);
    }
    CloseHandle(snap);
    return out;
}

TEST_F(PeerfetchWrapperTest, StopDuringAStalledDownloadReturnsPromptly) {
    pftest::WebServer server;
    ASSERT_TRUE(server.start(dir.path()));
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    tst::TempDir out(L"pfs");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    HMODULE module = GetModuleHandleW(L"peerfetch.dll");
    MODULEINFO info = {};
    ASSERT_TRUE(GetModuleInformation(GetCurrentProcess(), module, &info, sizeof info));
    uintptr_t base = reinterpret_cast<uintptr_t>(info.lpBaseOfDll), end = base + info.SizeOfImage;
    auto threadsInModule = [&] {
        int n = 0;
        for (uintptr_t a : threadStartAddresses()) n += (a >= base && a < end) ? 1 : 0;
        return n;
    };

    PeerfetchTaskParams params;
    fillTask(params, server.url(L"/stall?bytes=100"), out.path(), L"s.bin");
    PeerfetchHandle handle = wrapper.startTask(params);
    ASSERT_NE(0u, handle);
    PeerfetchTaskStatus status;
    for (int i = 0; i < 100; ++i) {
        status.clear();
        ASSERT_TRUE(wrapper.queryTask(handle, status));
        if (status.code == 5 && status.downloadedBytes == 100) break;
        Sleep(50);
    }
    ASSERT_EQ(5, status.code);
    ASSERT_EQ(100u, status.downloadedBytes);
    EXPECT_EQ(1000000u, status.totalBytes);
    EXPECT_TRUE(tst::fileExists(out.file(L"s.bin.part")));
    EXPECT_EQ(1, threadsInModule());

    ULONGLONG t0 = GetTickCount64();
    EXPECT_TRUE(wrapper.stopAndRemove(handle));
    EXPECT_LT(GetTickCount64() - t0, 2000u);
    EXPECT_EQ(0, threadsInModule()) << "the task's thread has ended";
    EXPECT_FALSE(tst::fileExists(out.file(L"s.bin.part")));
    EXPECT_FALSE(tst::fileExists(out.file(L"s.bin")));

    EXPECT_TRUE(wrapper.unload());
    EXPECT_EQ(nullptr, GetModuleHandleW(L"peerfetch.dll"));
    // The silent connection ends now; nothing may call into the freed module.
    server.stop();
    Sleep(1500);
    SUCCEED() << "the process is still running";
}

TEST_F(PeerfetchWrapperTest, DownloadsAFileOverHttp) {
    pftest::WebServer server;
    std::string body;
    for (int i = 0; i < 300000; ++i) body.push_back((char)(i * 7 + i / 251));
    ASSERT_TRUE(tst::writeFile(dir.file(L"big.bin"), body));
    ASSERT_TRUE(server.start(dir.path()));
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    tst::TempDir out(L"pfh");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());

    struct Case {
        std::wstring path;
        std::wstring name;
        int code;
    } cases[] = {
        {L"/files/big.bin", L"a.bin", 1},
        {L"/chunked/big.bin", L"c.bin", 1},
        {L"/redirect/files/big.bin", L"r.bin", 1},
        {L"/status/404", L"n.bin", 2},
        {L"/status/500", L"e.bin", 2},
    };
    std::vector<PeerfetchHandle> handles;
    for (const Case& c : cases) {
        PeerfetchTaskParams params;
        fillTask(params, server.url(c.path), out.path(), c.name);
        handles.push_back(wrapper.startTask(params));
        ASSERT_NE(0u, handles.back());
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        PeerfetchTaskStatus status;
        for (int n = 0; n < 200; ++n) {
            status.clear();
            ASSERT_TRUE(wrapper.queryTask(handles[i], status));
            if (status.code != 0 && status.code != 5) break;
            Sleep(50);
        }
        const Case& c = cases[i];
        EXPECT_EQ(c.code, status.code) << tst::narrow(c.path);
        EXPECT_EQ(out.file(c.name), std::wstring(status.fileText));
        std::string got;
        if (c.code == 1) {
            EXPECT_EQ(body.size(), status.totalBytes);
            EXPECT_EQ(body.size(), status.downloadedBytes);
            ASSERT_TRUE(tst::readFile(out.file(c.name), got));
            EXPECT_TRUE(got == body) << tst::narrow(c.path);
        } else {
            EXPECT_FALSE(tst::fileExists(out.file(c.name)));
        }
        EXPECT_FALSE(tst::fileExists(out.file(c.name + L".part")));
    }
    for (PeerfetchHandle h : handles) wrapper.stopAndRemove(h);
    EXPECT_TRUE(wrapper.unload());
}

TEST_F(PeerfetchWrapperTest, LibraryRefusesTasksItCannotRun) {
    std::wstring dll = pftest::installLibrary(dir.path(), L"peerfetch_test.dll");
    PeerfetchWrapper wrapper(dll);
    ASSERT_TRUE(wrapper.acquire());
    struct Case {
        std::wstring url, folder, name;
    } cases[] = {
        {L"", dir.path(), L"a.bin"},
        {L"ftp://127.0.0.1/a.bin", dir.path(), L"a.bin"},
        {L"http://127.0.0.1:1/a.bin", dir.file(L"missing"), L"a.bin"},
        {L"fake:refuse", dir.path(), L"a.bin"},
    };
    for (const Case& c : cases) {
        PeerfetchTaskParams params;
        fillTask(params, c.url, c.folder, c.name);
        EXPECT_EQ(0u, wrapper.startTask(params)) << tst::narrow(c.url);
    }
    // Handles count up and are never reused.
    PeerfetchTaskParams params;
    fillTask(params, L"fake:seq=1/1/1", dir.path(), L"a.bin");
    PeerfetchHandle a = wrapper.startTask(params);
    wrapper.stopAndRemove(a);
    PeerfetchHandle b = wrapper.startTask(params);
    EXPECT_GT(b, a);
    wrapper.stopAndRemove(b);
    EXPECT_TRUE(wrapper.unload());
}

}  // namespace
