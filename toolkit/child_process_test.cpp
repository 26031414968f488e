#include "toolkit/child_process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/test_support.h"
#include "toolkit/seams.h"

namespace {

std::wstring childExe() { return tst::binDir() + L"\\proc_child.exe"; }

std::wstring childCommand(const std::wstring& args) {
    return L"\"" + childExe() + L"\" " + args;
}

std::string kibPattern(unsigned n) {
    std::string bytes(n * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

int threadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snap);
    return count;
}

DWORD handleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

struct RunCase {
    const char* name;
    std::wstring args;  // empty: a program that does not exist
    bool started;
    uint32_t exitCode;
    uint32_t interrupted;
    uint32_t recordExitCode;
    std::string output;
};

TEST(ProcessRunnerTest, ChildModesGiveOutputAndExitCodes) {
    const RunCase cases[] = {
        {"both streams merged in order", L"@streams", true, 0, 0, 0, "out1\nerr1\nout2\n"},
        {"exit code", L"@exit 3", true, 3, 0, 3, ""},
        {"ctrl+c", L"@exit 0xC000013A", true, 0xC000013A, 2, 0, ""},
        {"no output", L"@sleep 0", true, 0, 0, 0, ""},
        {"20 KiB", L"@kib 20", true, 0, 0, 0, kibPattern(20)},
        {"missing program", L"", false, 0xFFFFFFFF, 0, 0, ""},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessRunner runner;
        std::wstring command = c.args.empty()
                                   ? L"\"" + tst::binDir() + L"\\no_such_program_here.exe\" @exit 1"
                                   : childCommand(c.args);
        EXPECT_EQ(c.started, runner.run(command));
        EXPECT_EQ(c.exitCode, runner.exitCode());
        ASSERT_NE(nullptr, runner.record());
        EXPECT_EQ(c.interrupted, runner.record()->interrupted);
        EXPECT_EQ(c.recordExitCode, runner.record()->exitCode);
        EXPECT_EQ(c.output.size(), runner.getOutput().size());
        EXPECT_TRUE(c.output == runner.getOutput());
        if (c.started) {
            EXPECT_EQ(0u, runner.record()->status);
        } else {
            EXPECT_EQ(104u, runner.record()->status);
            EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), runner.record()->lastError);
        }
        EXPECT_EQ(0u, runner.record()->errLength);
    }
}

TEST(ProcessRunnerTest, IdleRunnerReportsNothing) {
    ProcessRunner runner;
    EXPECT_EQ(0u, runner.exitCode());
    EXPECT_EQ("", runner.getOutput());
    EXPECT_EQ(L"", runner.getOutputW());
    ASSERT_TRUE(runner.run(childCommand(L"@streams")));
    EXPECT_EQ(L"out1\nerr1\nout2\n", runner.getOutputW());
    ASSERT_FALSE(runner.run(L"\"" + tst::binDir() + L"\\missing_tool.exe\""));
    EXPECT_EQ(0xFFFFFFFFu, runner.exitCode());
    runner.close();
    EXPECT_EQ(0u, runner.exitCode());
    EXPECT_EQ(nullptr, runner.record());
}

// Byte-at-a-time reading runs at about 11 KB/s under Wine: a megabyte must not take minutes.
TEST(ProcessRunnerTest, LargeOutputIsCapturedWholeAndQuickly) {
    ProcessRunner runner;
    DWORD start = GetTickCount();
    ASSERT_TRUE(runner.run(childCommand(L"@kib 1024")));
    DWORD spent = GetTickCount() - start;
    EXPECT_LT(spent, 20000u);
    EXPECT_TRUE(kibPattern(1024) == runner.getOutput());
}

// The pid that "@grandchild" reported in its output, 0 when none.
unsigned long grandchildPid(const std::string& out) {
    size_t at = out.find("grandchild ");
    return at == std::string::npos ? 0 : strtoul(out.c_str() + at + 11, nullptr, 10);
}

void endProcess(unsigned long pid) {
    HANDLE h = pid ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr;
    if (h) {
        TerminateProcess(h, 9);
        WaitForSingleObject(h, 5000);
        CloseHandle(h);
    }
}

bool processAlive(unsigned long pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
}

struct LimitCase {
    const char* name;
    std::wstring args;
    uint32_t limitMs;
    bool timedOut;
    uint32_t exitCode;
    std::string output;
    DWORD minMs, maxMs;  // time spent in run
};

TEST(ProcessRunnerTest, TimeLimitEndsOnlyALateProgram) {
    const LimitCase cases[] = {
        {"sleeps past the limit", L"@say-sleep 20000", 5000, true, 0xFFFFFFFF, "waiting\n", 4950, 12000},
        {"ends within the limit", L"@kib 20", 15000, false, 0, kibPattern(20), 0, 10000},
        {"exit code within the limit", L"@exit 3", 15000, false, 3, "", 0, 10000},
        {"no limit", L"@say-sleep 300", INFINITE, false, 0, "waiting\nwoke\n", 250, 10000},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessRunner runner;
        DWORD start = GetTickCount();
        ASSERT_TRUE(runner.run(childCommand(c.args), c.limitMs));
        DWORD spent = GetTickCount() - start;
        EXPECT_GE(spent, c.minMs);
        EXPECT_LT(spent, c.maxMs);
        EXPECT_EQ(c.timedOut, runner.timedOut());
        EXPECT_EQ(c.exitCode, runner.exitCode());
        EXPECT_TRUE(c.output == runner.getOutput()) << runner.getOutput();
        ASSERT_NE(nullptr, runner.record());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runner.record()->process, 0));
        EXPECT_EQ(c.timedOut ? 101u : 0u, runner.record()->status);
        if (c.timedOut) {
            EXPECT_EQ(static_cast<uint32_t>(ERROR_TIMEOUT), runner.record()->lastError);
        }
    }
}

TEST(ProcessRunnerTest, TimedOutStateLastsOneRun) {
    ProcessRunner runner;
    ASSERT_TRUE(runner.run(childCommand(L"@sleep 20000"), 300));
    EXPECT_TRUE(runner.timedOut());
    ASSERT_TRUE(runner.run(childCommand(L"@exit 6")));
    EXPECT_FALSE(runner.timedOut());
    EXPECT_EQ(6u, runner.exitCode());
    ASSERT_TRUE(runner.run(childCommand(L"@sleep 20000"), 300));
    runner.close();
    EXPECT_FALSE(runner.timedOut());
    EXPECT_EQ(0u, runner.exitCode());
}

// At the limit the program is terminated, not what it started; a grandchild that
// holds the pipe gets the readers' usual drain bound after that.
TEST(ProcessRunnerTest, TimeLimitSparesTheGrandchildAndKeepsTheDrainBound) {
    ProcessRunner runner;
    DWORD start = GetTickCount();
    ASSERT_TRUE(runner.run(childCommand(L"@grandchild 30000 5 20000"), 1000));
    DWORD spent = GetTickCount() - start;
    std::string out = runner.getOutput();
    unsigned long grandchild = grandchildPid(out);
    bool grandchildAlive = grandchild && processAlive(grandchild);
    endProcess(grandchild);

    EXPECT_NE(0ul, grandchild);
    EXPECT_TRUE(grandchildAlive);
    EXPECT_EQ(std::string::npos, out.find("parent done"));
    EXPECT_TRUE(runner.timedOut());
    EXPECT_EQ(0xFFFFFFFFu, runner.exitCode());
    EXPECT_GE(spent, 5500u);
    EXPECT_LT(spent, 9000u);
}

// The reader must neither lose nor reorder bytes across its reads and the
// buffer's growth, and must not linger on a pipe that closes at once.
TEST(ProcessRunnerTest, OutputSizesAreCapturedExactlyWithoutDelay) {
    struct Case {
        const wchar_t* args;
        unsigned kib;
        DWORD maxMs;
    } cases[] = {
        {L"@exit 0", 0, 1500},
        {L"@kib 63", 63, 3000},
        {L"@kib 64", 64, 3000},
        {L"@kib 129", 129, 3000},
        {L"@kib 10240", 10240, 15000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.args));
        ProcessRunner runner;
        DWORD start = GetTickCount();
        ASSERT_TRUE(runner.run(childCommand(c.args)));
        EXPECT_LT(GetTickCount() - start, c.maxMs);
        std::string out = runner.getOutput();
        EXPECT_EQ(c.kib * 1024u, out.size());
        EXPECT_TRUE(kibPattern(c.kib) == out) << "the bytes differ";
        EXPECT_EQ(0u, runner.record()->status);
    }
}

TEST(ProcessRunnerTest, GrandchildHoldingThePipeDoesNotHangTheWait) {
    ProcessRunner runner;
    ASSERT_TRUE(runner.run(childCommand(L"@grandchild 20000 5")));
    // Time from the child's exit to the return of run.
    FILETIME now, created, exited, kernel, user;
    GetSystemTimeAsFileTime(&now);
    ASSERT_NE(nullptr, runner.record());
    ASSERT_TRUE(GetProcessTimes(runner.record()->process, &created, &exited, &kernel, &user));
    ULARGE_INTEGER a, b;
    a.LowPart = now.dwLowDateTime;
    a.HighPart = now.dwHighDateTime;
    b.LowPart = exited.dwLowDateTime;
    b.HighPart = exited.dwHighDateTime;
    uint64_t spent = (a.QuadPart - b.QuadPart) / 10000;

    std::string out = runner.getOutput();
    unsigned long grandchild = grandchildPid(out);
    endProcess(grandchild);

    EXPECT_LT(spent, 6500u);
    EXPECT_GE(spent, 4500u);
    EXPECT_NE(std::string::npos, out.find("parent done\n"));
    EXPECT_NE(0ul, grandchild);
    EXPECT_EQ(5u, runner.exitCode());
    ASSERT_NE(nullptr, runner.record());
    EXPECT_EQ(101u, runner.record()->status);
    EXPECT_EQ(static_cast<uint32_t>(WAIT_TIMEOUT), runner.record()->lastError);

    // The stopped readers are gone: the same runner runs again at once.
    ASSERT_TRUE(runner.run(childCommand(L"@exit 4")));
    EXPECT_EQ(4u, runner.exitCode());
    EXPECT_EQ(0u, runner.record()->status);
}

TEST(ProcessRunnerTest, RepeatedRunsLeaveNoHandleOrThread) {
    ProcessRunner runner;
    ASSERT_TRUE(runner.run(childCommand(L"@streams")));  // warm-up: lazy system handles
    runner.close();
    DWORD handles = handleCount();
    int threads = threadCount();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(runner.run(childCommand(i % 2 ? L"@kib 3" : L"@exit 2")));
    }
    ASSERT_FALSE(runner.run(L"\"" + tst::binDir() + L"\\missing_tool.exe\""));
    runner.close();
    EXPECT_EQ(handles, handleCount());
    EXPECT_EQ(threads, threadCount());
}

// Children started at the same moment on two threads: each inherits only its
// own pipe ends. A lingering child that took the other runner's ends would
// hold that runner's output pipe open until the drain bound.
TEST(ProcessRunnerTest, ConcurrentStartsKeepTheirPipeEndsApart) {
    const int kRounds = 25;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<ProcessRecord*> lingering;
    std::thread lingerer([&] {
        WaitForSingleObject(go, INFINITE);
        for (int i = 0; i < kRounds; ++i) {
            ProcessRecord* record = processCreate();
            if (!record) continue;
            if (processStart(record, childCommand(L"@sleep 30000")) == 0)
                lingering.push_back(record);
            else
                processFree(record);
        }
    });
    std::vector<DWORD> spent;
    std::thread quick([&] {
        WaitForSingleObject(go, INFINITE);
        ProcessRunner runner;
        for (int i = 0; i < kRounds; ++i) {
            DWORD start = GetTickCount();
            if (runner.run(childCommand(L"@exit 3"))) spent.push_back(GetTickCount() - start);
        }
    });
    SetEvent(go);
    quick.join();
    lingerer.join();
    CloseHandle(go);
    for (ProcessRecord* record : lingering) {
        TerminateProcess(record->process, 1);
        WaitForSingleObject(record->process, 5000);
        processFree(record);
    }
    EXPECT_EQ(static_cast<size_t>(kRounds), lingering.size());
    ASSERT_EQ(static_cast<size_t>(kRounds), spent.size());
    for (size_t i = 0; i < spent.size(); ++i) EXPECT_LT(spent[i], 2000u) << "round " << i;
}

namespace {
// Grows the first buffer, then refuses.
void* growOnce(void* block, size_t bytes) { return block ? nullptr : realloc(block, bytes); }
struct GrowScope {
    explicit GrowScope(ReaderGrowFunction grow) { setReaderGrowForTests(grow); }
    ~GrowScope() { setReaderGrowForTests(nullptr); }
};
}  // namespace

// A reader whose buffer cannot grow keeps nothing but goes on draining the
// pipe: the program never blocks on a full pipe and its exit code is kept.
TEST(ProcessRunnerTest, ReaderOutOfMemoryStillDrainsThePipe) {
    GrowScope scope(&growOnce);
    {
        ProcessRunner runner;
        DWORD start = GetTickCount();
        ASSERT_TRUE(runner.run(childCommand(L"@kib 2048"), 30000));
        EXPECT_FALSE(runner.timedOut());
        EXPECT_LT(GetTickCount() - start, 10000u);
        EXPECT_EQ(0u, runner.exitCode());
        EXPECT_EQ("", runner.getOutput());
        ASSERT_NE(nullptr, runner.record());
        EXPECT_EQ(0u, runner.record()->status);
    }
    // A second holder of the read end keeps the pipe from breaking when a
    // reader gives up: then only the reader's draining lets the program end.
    ProcessRecord* record = processCreate();
    ASSERT_NE(nullptr, record);
    ASSERT_EQ(0, processStart(record, childCommand(L"@kib 2048")));
    HANDLE held = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), record->stdoutParent, GetCurrentProcess(), &held, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    HANDLE program = record->process;
    std::thread watchdog([program] {
        if (WaitForSingleObject(program, 10000) == WAIT_TIMEOUT) TerminateProcess(program, 99);
    });
    EXPECT_EQ(0, processWait(record));
    watchdog.join();
    CloseHandle(held);
    EXPECT_EQ(0u, record->exitCode) << "the program blocked on a pipe nobody read";
    EXPECT_EQ(0u, record->outLength);
    processFree(record);
}

// A reader thread that cannot be started: the run still waits for the started
// program and reports its exit code, with status 101, and a program with much
// output is not left blocked on a pipe nobody reads.
TEST(ProcessRunnerTest, ReaderThatCannotStartEndsTheRun) {
    struct Case {
        int failing;
        const wchar_t* args;
        uint32_t exitCode;
    } cases[] = {
        {1, L"@kib 1024", 0},
        {2, L"@kib 1024", 0},
        {1, L"@grandchild 0 7 300", 7},
        {2, L"@grandchild 0 7 300", 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        SCOPED_TRACE(tst::narrow(c.args));
        failReaderStartForTests(c.failing);
        ProcessRunner runner;
        DWORD start = GetTickCount();
        ASSERT_TRUE(runner.run(childCommand(c.args), 30000));
        failReaderStartForTests(0);
        EXPECT_FALSE(runner.timedOut());
        EXPECT_LT(GetTickCount() - start, 10000u);
        EXPECT_EQ(c.exitCode, runner.exitCode());
        ASSERT_NE(nullptr, runner.record());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runner.record()->process, 0));
        EXPECT_EQ(101u, runner.record()->status);
        EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY), runner.record()->lastError);
        EXPECT_EQ(nullptr, runner.record()->stdoutParent);
        EXPECT_EQ(nullptr, runner.record()->stderrParent);
        runner.close();
    }
}

TEST(ProcessRunnerTest, PathOutsideTheAnsiCodePageStarts) {
    // Thai letters exist neither in code page 1252 nor in 936.
    const std::wstring folderName = L"\u0e17\u0e14\u0e2a\u0e2d\u0e1a";
    BOOL lost = FALSE;
    char narrow[64];
    WideCharToMultiByte(CP_THREAD_ACP, 0, folderName.c_str(), -1, narrow, sizeof narrow, nullptr, &lost);
    ASSERT_TRUE(lost) << "the folder name must be outside the ANSI code page";

    tst::TempDir dir(L"runner");
    std::wstring folder = dir.file(folderName);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    std::wstring copy = folder + L"\\proc_child.exe";
    ASSERT_TRUE(CopyFileW(childExe().c_str(), copy.c_str(), FALSE));

    ProcessRunner runner;
    ASSERT_TRUE(runner.run(L"\"" + copy + L"\" @exit 7"));
    EXPECT_EQ(7u, runner.exitCode());
}

}  // namespace
