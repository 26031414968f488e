#include "services/single_instance.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/helper_service.h"
#include "services/loader_env.h"
#include "services/install_paths.h"
#include "testing/proc_support/proc_test_util.h"
#include "testing/support/test_support.h"

using namespace proctest;

namespace {

const std::vector<std::wstring> kNotElevated = {L"TARVO_TEST_NOT_ELEVATED=1"};

std::string uniqueMutex(const wchar_t* tag) { return narrowAscii(uniqueName(tag)); }

DWORD elapsedSince(DWORD start) { return GetTickCount() - start; }

std::vector<std::wstring> argvOf(const std::wstring& commandLine) {
    std::vector<std::wstring> out;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &argc);
    for (int i = 0; argv && i < argc; ++i) out.push_back(argv[i]);
    LocalFree(argv);
    return out;
}

// ---- pure rules ---------------------------------------------------------------------

TEST(RestartFlagTest, NeedsTheLeadingBlank) {
    EXPECT_TRUE(hasRestartFlag(L"\"x.exe\" /restart"));
    EXPECT_TRUE(hasRestartFlag(L"\"x.exe\" /restart --launch y"));
    EXPECT_FALSE(hasRestartFlag(L"\"x.exe\" --a/restart"));
    EXPECT_FALSE(hasRestartFlag(L"\"x.exe\""));
}

TEST(RestartArgumentsTest, QuotingSurvivesCommandLineToArgv) {
    struct Case {
        const wchar_t* tail;                // arguments after the program
        std::vector<std::wstring> args;     // what the program got
        const wchar_t* expected;            // the restart arguments
    };
    const Case cases[] = {
        {L"--launch \"C:\\a b\\x.exe\"", {L"--launch", L"C:\\a b\\x.exe"}, L"--launch \"C:\\a b\\x.exe\" /restart"},
        {L"\"\"", {L""}, L"\"\" /restart"},
        {L"\"a\tb\"", {L"a\tb"}, L"\"a\tb\" /restart"},
        {L"\"say \\\"hi\\\"\"", {L"say \"hi\""}, L"\"say \\\"hi\\\"\" /restart"},
        {L"\"C:\\My Apps\\\\\"", {L"C:\\My Apps\\"}, L"\"C:\\My Apps\\\\\" /restart"},
        {L"C:\\dir\\ plain", {L"C:\\dir\\", L"plain"}, L"C:\\dir\\ plain /restart"},
        {L"a\\\\\\\"b", {L"a\\\"b"}, L"\"a\\\\\\\"b\" /restart"},
        {L"", {}, L"/restart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << tst::narrow(c.tail));
        std::wstring commandLine = std::wstring(L"\"C:\\p q\\TarvoLoader.exe\" ") + c.tail;
        std::vector<std::wstring> original = argvOf(commandLine);
        ASSERT_EQ(c.args.size() + 1, original.size());
        std::wstring restart = buildRestartArguments(commandLine);
        EXPECT_EQ(std::wstring(c.expected), restart);
        std::vector<std::wstring> again = argvOf(L"\"C:\\p q\\TarvoLoader.exe\" " + restart);
        std::vector<std::wstring> want = original;
        want.push_back(L"/restart");
        EXPECT_EQ(want, again);
    }
}

// ---- mutex probes ---------------------------------------------------------------------

TEST(NamedMutexTest, ProbeTableWithAHolder) {
    {
        SCOPED_TRACE("a free name: not running, and still free afterwards");
        std::string name = uniqueMutex(L"proc_free");
        EXPECT_FALSE(isMutexHeld(name));
        NamedMutex next(name);
        EXPECT_EQ(0, next.createError);
        EXPECT_FALSE(next.alreadyExists());
    }
    struct Case {
        const char* name;
        bool global;
        bool emptyDacl;
        int32_t createError;
    };
    const Case cases[] = {
        {"held", false, false, ERROR_ALREADY_EXISTS},
        {"held with an empty DACL", false, true, ERROR_ACCESS_DENIED},
        {"held, Global, empty DACL", true, true, ERROR_ACCESS_DENIED},
        {"held, Global", true, false, ERROR_ALREADY_EXISTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = (c.global ? "Global\\" : "") + uniqueMutex(L"proc_held");
        WindowFixture holder;
        ASSERT_TRUE(holder.start(L"--mutex " + tst::widen(name) + (c.emptyDacl ? L" --empty-dacl" : L"")));
        EXPECT_TRUE(isMutexHeld(name));
        NamedMutex probe(name);
        EXPECT_EQ(c.global, probe.isGlobal());
        EXPECT_EQ(c.createError, probe.createError);
        EXPECT_TRUE(probe.alreadyExists());
    }
}

// The probe only looks: a holder whose mutex denies everyone still counts as
// running, and when the holder ends the name is gone, so the probe neither
// created it nor kept it open.
TEST(NamedMutexTest, ProbeOfAnUnopenableNameCreatesAndKeepsNothing) {
    for (bool global : {false, true}) {
        SCOPED_TRACE(global ? "Global" : "local");
        const std::string name = (global ? "Global\\" : "") + uniqueMutex(L"proc_denied");
        EXPECT_FALSE(isMutexHeld(name));
        SetLastError(0);
        EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, name.c_str())) << "a probe of a free name created it";
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

        WindowFixture holder;
        ASSERT_TRUE(holder.start(L"--mutex " + tst::widen(name) + L" --empty-dacl"));
        // Wine grants SYNCHRONIZE on such a mutex, Windows refuses it: either way
        // the name counts as held. The holder may name it just after it is ready.
        for (int i = 0; i < 100 && !isMutexHeld(name); ++i) Sleep(50);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(isMutexHeld(name));

        holder.process().end();
        SetLastError(0);
        HANDLE after = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
        EXPECT_EQ(nullptr, after) << "the name outlived its holder";
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
        if (after) CloseHandle(after);
        EXPECT_FALSE(isMutexHeld(name));
    }
}

TEST(NamedMutexTest, MarkAndUnmarkWindow) {
    std::string name = uniqueMutex(L"proc_mark");
    HWND window = CreateWindowExW(0, L"STATIC", L"mark", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, window);
    {
        NamedMutex mutex(name);
        mutex.markWindow(nullptr);
        EXPECT_EQ(nullptr, mutex.window);
        mutex.markWindow(window);
        EXPECT_EQ(window, mutex.window);
        EXPECT_EQ(reinterpret_cast<HANDLE>(1), GetPropA(window, name.c_str()));
    }
    EXPECT_EQ(nullptr, GetPropA(window, name.c_str()));
    DestroyWindow(window);
}

// ---- second instance, elevated (in this process) ----------------------------------------

TEST(AcquireInstanceTest, SecondInstanceBringsTheMarkedWindowForward) {
    {
        SCOPED_TRACE("bring forward: restored, raised, not left topmost");
        std::string name = uniqueMutex(L"proc_second");
        WindowFixture first;
        ASSERT_TRUE(first.start(L"--mutex " + tst::widen(name) + L" --mark --minimized"));
        ASSERT_TRUE(IsIconic(first.window()));
        NamedMutexHolder holder = acquireInstance(name, true);
        EXPECT_EQ(nullptr, holder.get());
        DWORD start = GetTickCount();
        while (IsIconic(first.window()) && elapsedSince(start) < 15000) Sleep(50);
        EXPECT_FALSE(IsIconic(first.window()));
        EXPECT_TRUE(IsWindowVisible(first.window()));
        EXPECT_EQ(0, GetWindowLongPtrW(first.window(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    }
    {
        SCOPED_TRACE("bring forward off: the window is untouched");
        std::string name = uniqueMutex(L"proc_second");
        WindowFixture first;
        ASSERT_TRUE(first.start(L"--mutex " + tst::widen(name) + L" --mark --minimized"));
        EXPECT_EQ(nullptr, acquireInstance(name, false).get());
        Sleep(500);
        EXPECT_TRUE(IsIconic(first.window()));
    }
    {
        SCOPED_TRACE("the owner's window class finds an unmarked window");
        std::string name = uniqueMutex(L"proc_class");
        // A class of its own: other tests' fixtures share the desktop.
        const std::wstring windowClass = L"TarvoTestWindowFixture_" + tst::widen(name);
        WindowFixture first;
        ASSERT_TRUE(first.start(L"--mutex " + tst::widen(name) + L" --minimized --class " + windowClass));
        NamedMutex other(name);
        EXPECT_TRUE(other.alreadyExists());
        other.windowClass = windowClass;
        other.activateExisting();
        DWORD start = GetTickCount();
        while (IsIconic(first.window()) && elapsedSince(start) < 15000) Sleep(50);
        EXPECT_FALSE(IsIconic(first.window()));
    }
}

TEST(AcquireInstanceTest, FirstInstanceHoldsTheName) {
    std::string name = uniqueMutex(L"proc_first");
    NamedMutexHolder first = acquireInstance(name, true);
    ASSERT_NE(nullptr, first.get());
    EXPECT_FALSE(first->alreadyExists());
    EXPECT_TRUE(isMutexHeld(name));
    EXPECT_EQ(nullptr, acquireInstance(name, true).get());
    first.release();
    EXPECT_FALSE(isMutexHeld(name));
}

struct EndLater {
    HANDLE quitEvent;
    HANDLE process;
    DWORD endedAt;
};

DWORD WINAPI endLater(void* p) {
    EndLater* c = static_cast<EndLater*>(p);
    Sleep(800);
    SetEvent(c->quitEvent);
    WaitForSingleObject(c->process, 10000);
    c->endedAt = GetTickCount();
    return 0;
}

TEST(WaitForMutexFreeTest, TimeOutAndHandOver) {
    {
        SCOPED_TRACE("1000 ms on a held name");
        std::string name = uniqueMutex(L"proc_wait");
        WindowFixture holder;
        ASSERT_TRUE(holder.start(L"--mutex " + tst::widen(name)));
        DWORD start = GetTickCount();
        EXPECT_EQ(nullptr, waitForMutexFree(name, 1000).get());
        DWORD spent = elapsedSince(start);
        EXPECT_GE(spent, 1000u);
        EXPECT_LE(spent, 1500u);
    }
    {
        SCOPED_TRACE("no limit: taken soon after the holder ends");
        std::string name = uniqueMutex(L"proc_wait");
        std::wstring quit = uniqueName(L"proc_quit");
        HANDLE quitEvent = CreateEventW(nullptr, TRUE, FALSE, quit.c_str());
        WindowFixture holder;
        ASSERT_TRUE(holder.start(L"--mutex " + tst::widen(name) + L" --event " + quit));
        EndLater ctx = {quitEvent, holder.process().handle(), 0};
        HANDLE ender = CreateThread(nullptr, 0, endLater, &ctx, 0, nullptr);
        NamedMutexHolder got = waitForMutexFree(name, INFINITE);
        DWORD gotAt = GetTickCount();
        WaitForSingleObject(ender, 15000);
        CloseHandle(ender);
        CloseHandle(quitEvent);
        ASSERT_NE(nullptr, got.get());
        EXPECT_FALSE(got->alreadyExists());
        EXPECT_LE(static_cast<long>(gotAt - ctx.endedAt), 600L);
    }
}

// ---- restarts of a loader started from outside (instance_probe) ----------------------

struct Probe {
    std::wstring exe;
    std::wstring record() const { return exe + L".record.txt"; }
};

Probe placeProbe(const std::wstring& exe, const std::string& mutex, bool bring) {
    CopyFileW(bin(L"instance_probe.exe").c_str(), exe.c_str(), FALSE);
    tst::writeFile(exe + L".cfg", "mutex=" + mutex + "\n" + (bring ? "bring=1\n" : ""));
    DeleteFileW((exe + L".record.txt").c_str());
    return Probe{exe};
}

std::string resultLine(unsigned long pid, const char* result) {
    return "result " + std::to_string(pid) + " " + result + "\n";
}

// Waits until a "/restart" copy has recorded its start and its result; that copy.
bool waitForRestartedCopy(const Probe& probe, StartRecord& copy, DWORD waitMs = 15000) {
    return waitForFile(
        probe.record(),
        [&](const std::string& text) {
            for (const StartRecord& r : parseRecords(text)) {
                if (r.restarted() && text.find("result " + std::to_string(r.pid) + " ") != std::string::npos) {
                    copy = r;
                    return true;
                }
            }
            return false;
        },
        waitMs);
}

int restartedCount(const Probe& probe) {
    int n = 0;
    for (const StartRecord& r : parseRecords(readAll(probe.record()))) n += r.restarted() ? 1 : 0;
    return n;
}

void waitForExit(unsigned long pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!h) return;
    if (WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) TerminateProcess(h, 9);
    CloseHandle(h);
}

TEST(ElevationRestartTest, ArgumentsRoundTripThroughRunas) {
    struct Case {
        const char* name;
        const wchar_t* tail;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {"launch path with a blank", L"--launch \"C:\\a b\\x.exe\"", {L"--launch", L"C:\\a b\\x.exe"}},
        {"empty argument", L"--launch \"\"", {L"--launch", L""}},
        {"tab", L"\"a\tb\"", {L"a\tb"}},
        {"embedded quote", L"\"say \\\"hi\\\"\"", {L"say \"hi\""}},
        {"trailing backslash", L"\"C:\\My Apps\\\\\"", {L"C:\\My Apps\\"}},
        {"no arguments", L"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tst::TempDir dir(L"runas");
        Probe probe = placeProbe(dir.file(L"TarvoLoader.exe"), uniqueMutex(L"proc_rt"), true);
        Background first;
        ASSERT_TRUE(first.start(inQuotes(probe.exe) + L" " + c.tail, kNotElevated));
        EXPECT_EQ(1, first.wait(15000));  // empty holder: the copy takes over
        StartRecord copy;
        ASSERT_TRUE(waitForRestartedCopy(probe, copy));
        waitForExit(copy.pid);
        std::vector<std::wstring> want = {probe.exe};
        want.insert(want.end(), c.args.begin(), c.args.end());
        want.push_back(L"/restart");
        ASSERT_FALSE(copy.argv.empty());
        copy.argv[0] = probe.exe;  // the program path as the shell wrote it
        EXPECT_EQ(want, copy.argv);
        std::string text = readAll(probe.record());
        EXPECT_NE(std::string::npos, text.find(resultLine(copy.pid, "held")));
        EXPECT_NE(std::string::npos, text.find(resultLine(first.pid(), "empty")));
        EXPECT_EQ(1, restartedCount(probe));
    }
}

// Elevation refused (the "runas" start fails): the non-elevated loader still
// hands over and ends, as when a copy was started; it never goes on without
// elevation.
TEST(ElevationRestartTest, FailedRunasStillEndsTheNotElevatedLoader) {
    tst::TempDir dir(L"norunas");
    const std::string name = uniqueMutex(L"proc_norunas");
    Probe probe = placeProbe(dir.file(L"TarvoLoader.exe"), name, false);
    ASSERT_TRUE(tst::writeFile(probe.exe + L".cfg", "mutex=" + name + "\nvanish=1\n"));
    Background first;
    ASSERT_TRUE(first.start(inQuotes(probe.exe) + L" --launch x", kNotElevated));
    // The shell reports the missing file in a box of the probe's own: close it,
    // as a user would, so that the failed start returns.
    int code = -1000;
    for (int i = 0; i < 150 && (code = first.wait(100)) == -1000; ++i) {
        struct Find {
            DWORD pid;
            static BOOL CALLBACK close(HWND window, LPARAM param) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == reinterpret_cast<Find*>(param)->pid && IsWindowVisible(window))
                    PostMessageW(window, WM_CLOSE, 0, 0);
                return TRUE;
            }
        } find = {static_cast<DWORD>(first.pid())};
        EnumWindows(&Find::close, reinterpret_cast<LPARAM>(&find));
    }
    EXPECT_EQ(1, code);  // empty holder
    EXPECT_FALSE(tst::fileExists(probe.exe));  // nothing there for "runas" to start
    Sleep(1500);                               // a copy would have recorded by now
    EXPECT_EQ(0, restartedCount(probe));
    EXPECT_NE(std::string::npos, readAll(probe.record()).find(resultLine(first.pid(), "empty")));
}

TEST(ElevationRestartTest, NotElevatedSecondLoaderOnlyBringsTheFirstForward) {
    tst::TempDir dir(L"second");
    std::string name = uniqueMutex(L"proc_held");
    WindowFixture firstLoader;
    ASSERT_TRUE(firstLoader.start(L"--mutex " + tst::widen(name) + L" --mark --minimized"));
    Probe probe = placeProbe(dir.file(L"TarvoLoader.exe"), name, true);
    Background second;
    ASSERT_TRUE(second.start(inQuotes(probe.exe) + L" --launch \"C:\\a b\\x.exe\"", kNotElevated));
    EXPECT_EQ(1, second.wait(15000));
    Sleep(1500);  // a runas copy would have recorded by now
    EXPECT_EQ(0, restartedCount(probe));
    EXPECT_EQ(1u, parseRecords(readAll(probe.record())).size());
    EXPECT_FALSE(IsIconic(firstLoader.window()));
}

// The helper service's name is fixed, so every case that needs it (or its absence) runs
// here, one after the other.
TEST(HelperServiceRoadTest, ControlCodesAndTheRestartRoad) {
    const std::wstring userData = getUserDataFolder();
    const std::wstring common = getCommonDataFolder();
    const std::wstring helperExe = userData + L"\\TarvoHelper.exe";
    const std::wstring loaderExe = getLoaderExePath();
    ASSERT_EQ(userData + L"\\TarvoLoader.exe", loaderExe);
    tst::TempDir dir(L"helper");
    const std::wstring helperRecord = dir.file(L"helper_record.txt");
    ServiceGuard helper(getHelperName());
    helper.removeNow();  // left over from an aborted run
    ServiceControl control;

    {
        SCOPED_TRACE("helper absent");
        EXPECT_FALSE(isHelperRunning());
        EXPECT_FALSE(sendHelperControl(LaunchLoader, L"--launch x"));
        EXPECT_FALSE(tst::fileExists(common + L"\\0086.dat"));
        EXPECT_FALSE(restartThroughHelper(loaderExe, L"/restart"));
    }

    ASSERT_TRUE(CopyFileW(bin(L"TarvoHelper.exe").c_str(), helperExe.c_str(), FALSE));
    ASSERT_TRUE(control.installAndStart(getHelperName(),
                                        inQuotes(helperExe) + L" --hold-mutex --record " + inQuotes(helperRecord),
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START));
    ASSERT_TRUE(helper.waitFor(SERVICE_RUNNING, 5000));
    DWORD start = GetTickCount();
    while (!isHelperRunning() && elapsedSince(start) < 5000) Sleep(50);
    ASSERT_TRUE(isHelperRunning());

    {
        SCOPED_TRACE("codes and data file names");
        // Text inside the ANSI code page; the helper gets its bytes.
        const std::wstring payload = L"--launch \"C:\\a b\\x.exe\" \u5854\u6c83";
        std::string ansi(64, '\0');
        ansi.resize(WideCharToMultiByte(CP_THREAD_ACP, 0, payload.c_str(), static_cast<int>(payload.size()),
                                        &ansi[0], 64, nullptr, nullptr));
        EXPECT_TRUE(sendHelperControl(LaunchLoader, payload));
        EXPECT_TRUE(sendHelperControl(LaunchPlayer, L"p133"));
        EXPECT_TRUE(sendHelperControl(LaunchTips, L"p135"));
        EXPECT_TRUE(sendHelperControl(LaunchHall, L"p136"));
        std::string want = "134 [" + ansi + "]\n133 [p133]\n135 [p135]\n136 [p136]\n";
        EXPECT_TRUE(waitForFile(helperRecord, [&](const std::string& t) { return t == want; }, 5000))
            << readAll(helperRecord);
        for (const wchar_t* n : {L"0085", L"0086", L"0087", L"0088"})
            EXPECT_FALSE(tst::fileExists(common + L"\\" + n + L".dat"));
        EXPECT_FALSE(restartThroughHelper(L"C:\\x\\other.exe", L"a /restart"));
        Sleep(300);
        EXPECT_EQ(want, readAll(helperRecord));
        DeleteFileW(helperRecord.c_str());
    }
    {
        SCOPED_TRACE("a data file that cannot be replaced: no code is sent");
        const std::wstring foreign = common + L"\\0087.dat";
        ASSERT_TRUE(tst::writeFile(foreign, "--launch C:\\evil.exe"));
        ASSERT_TRUE(SetFileAttributesW(foreign.c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_FALSE(sendHelperControl(LaunchTips, L"p135"));
        Sleep(300);
        EXPECT_EQ("", readAll(helperRecord));
        EXPECT_EQ("--launch C:\\evil.exe", readAll(foreign));
        SetFileAttributesW(foreign.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(foreign.c_str());
    }
    {
        SCOPED_TRACE("loader run from the user data folder: the helper starts the copy");
        Probe probe = placeProbe(loaderExe, uniqueMutex(L"proc_road"), false);
        Background first;
        ASSERT_TRUE(first.start(inQuotes(probe.exe) + L" --launch \"C:\\a b\\x.exe\"", kNotElevated));
        EXPECT_EQ(1, first.wait(15000));
        StartRecord copy;
        ASSERT_TRUE(waitForRestartedCopy(probe, copy));
        waitForExit(copy.pid);
        EXPECT_EQ(std::string("134 [--launch \"C:\\a b\\x.exe\" /restart]\n"), readAll(helperRecord));
        ASSERT_EQ(4u, copy.argv.size());
        EXPECT_EQ(L"--launch", copy.argv[1]);
        EXPECT_EQ(L"C:\\a b\\x.exe", copy.argv[2]);
        Sleep(1000);
        EXPECT_EQ(1, restartedCount(probe));  // no runas besides
        DeleteFileW(helperRecord.c_str());
        DeleteFileW(probe.record().c_str());
    }
    {
        SCOPED_TRACE("loader run from another folder: runas");
        Probe probe = placeProbe(dir.file(L"TarvoLoader.exe"), uniqueMutex(L"proc_road"), false);
        Background first;
        ASSERT_TRUE(first.start(inQuotes(probe.exe) + L" --launch y", kNotElevated));
        EXPECT_EQ(1, first.wait(15000));
        StartRecord copy;
        ASSERT_TRUE(waitForRestartedCopy(probe, copy));
        waitForExit(copy.pid);
        Sleep(500);
        EXPECT_EQ("", readAll(helperRecord));
    }

    EXPECT_TRUE(control.remove(getHelperName(), 10000));
    start = GetTickCount();
    while (isHelperRunning() && elapsedSince(start) < 5000) Sleep(50);
    {
        SCOPED_TRACE("helper gone: runas from the user data folder too");
        EXPECT_FALSE(isHelperRunning());
        Probe probe = placeProbe(loaderExe, uniqueMutex(L"proc_road"), false);
        Background first;
        ASSERT_TRUE(first.start(inQuotes(probe.exe) + L" --launch z", kNotElevated));
        EXPECT_EQ(1, first.wait(15000));
        StartRecord copy;
        ASSERT_TRUE(waitForRestartedCopy(probe, copy));
        waitForExit(copy.pid);
        EXPECT_EQ(1, restartedCount(probe));
    }
    helper.removeNow();
    for (const std::wstring& f : {helperExe, helperExe + L".record.txt", loaderExe, loaderExe + L".cfg",
                                  loaderExe + L".record.txt"})
        DeleteFileW(f.c_str());
}

}  // namespace
