#include "toolkit/sys_util.h"

#include <gtest/gtest.h>

#include "testing/support/test_support.h"
#include "testing/sysutil_child/sysutil_test_util.h"

using sysutiltest::ChildRecord;

namespace {

std::wstring envPath() {
    std::vector<wchar_t> buffer(65536, 0);
    DWORD n = GetEnvironmentVariableW(L"PATH", buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), n < buffer.size() ? n : 0);
}

// Restores the process's PATH at the end of a test.
struct PathRestore {
    std::wstring saved = envPath();
    ~PathRestore() { SetEnvironmentVariableW(L"PATH", saved.c_str()); }
};

std::string bytesOf(const std::wstring& path) {
    std::string s;
    return tst::readFile(path, s) ? s : std::string("<missing>");
}

}  // namespace

TEST(AddToPathEnv, KeepsOrderAndAppendsOnlyNewFolders) {
    PathRestore restore;
    struct Case {
        const wchar_t* old;  // null: variable not set
        const wchar_t* added;
        const wchar_t* result;
    } cases[] = {
        {L"C:\\A;C:\\b\\sub", L"c:\\a\\", L"C:\\A;C:\\b\\sub"},  // present, other case and "\"
        {L"C:\\A\\;C:\\B", L"C:\\a", L"C:\\A\\;C:\\B"},           // trailing "\" on the old entry
        {L"C:\\Zeta;C:\\alpha", L"D:\\New", L"C:\\Zeta;C:\\alpha;D:\\New"},  // no sorting, no lower-casing
        {L"C:\\A", L";;D:\\x;;D:\\y;", L"C:\\A;D:\\x;D:\\y"},
        {L";C:\\A;;C:\\B;", L"", L"C:\\A;C:\\B"},
        {L"C:\\A", L"D:\\x;d:\\X\\", L"C:\\A;D:\\x"},  // repeated within the argument
        {nullptr, L"D:\\x", L"D:\\x"},
        {L"", L"", L""},
    };
    for (const Case& c : cases) {
        SetEnvironmentVariableW(L"PATH", c.old);
        std::wstring got = addToPathEnv(c.added);
        EXPECT_EQ(got, c.result) << (c.old ? c.old : L"(unset)") << " + " << c.added;
        EXPECT_EQ(envPath(), got);
    }
}

TEST(AddToPathEnv, ChildStartedAfterwardsSeesTheNewValue) {
    PathRestore restore;
    tst::TempDir dir(L"path");
    std::wstring child = dir.file(L"child.exe");
    ASSERT_TRUE(sysutiltest::copyChild(child));
    std::wstring folder = dir.file(L"extra folder");
    std::wstring value = addToPathEnv(folder);
    ASSERT_EQ(value.substr(value.size() - folder.size()), folder);
    ASSERT_TRUE(runProcess(true, child, L"x"));
    std::vector<ChildRecord> records = sysutiltest::readRecords(child);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].path, value);
}

TEST(RunProcess, CommandLineIsBlankThenArguments) {
    tst::TempDir dir(L"run");
    std::wstring child = dir.file(L"child.exe");
    ASSERT_TRUE(sysutiltest::copyChild(child));

    ASSERT_TRUE(runProcess(true, child, L"a b"));
    ASSERT_TRUE(runProcess(true, child, L""));
    std::vector<ChildRecord> records = sysutiltest::readRecords(child);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].commandLine, L" a b");
    EXPECT_EQ(records[0].argv, (std::vector<std::wstring>{L"", L"a", L"b"}));
    EXPECT_EQ(records[1].commandLine, L" ");

    EXPECT_FALSE(runProcess(true, dir.file(L"missing.exe"), L"a"));
    EXPECT_FALSE(runProcess(false, L"", L""));
}

TEST(RunProcess, WaitsOnlyWhenAsked) {
    tst::TempDir dir(L"runwait");
    std::wstring child = dir.file(L"sleeper_child.exe");
    ASSERT_TRUE(sysutiltest::copyChild(child));

    DWORD start = GetTickCount();
    ASSERT_TRUE(runProcess(true, child, L"sleep 1500"));
    EXPECT_GE(GetTickCount() - start, 1400u);
    ASSERT_EQ(sysutiltest::readRecords(child).size(), 1u);

    start = GetTickCount();
    ASSERT_TRUE(runProcess(false, child, L"sleep 4000"));
    EXPECT_LT(GetTickCount() - start, 2500u);
    std::vector<ChildRecord> records = sysutiltest::waitForRecords(child, 2);
    ASSERT_EQ(records.size(), 2u);
    // Still running: the call returned before the child ended.
    HANDLE running = OpenProcess(SYNCHRONIZE, FALSE, records[1].pid);
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(WaitForSingleObject(running, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(running, 15000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(running);
}

TEST(RunProcessWithin, EndsAProgramThatOutlivesTheLimit) {
    tst::TempDir dir(L"within");
    std::wstring child = dir.file(L"within_child.exe");
    ASSERT_TRUE(sysutiltest::copyChild(child));

    EXPECT_EQ(RunOutcome::Ended, runProcessWithin(child, L"a", 30000));
    EXPECT_EQ(RunOutcome::NotStarted, runProcessWithin(dir.file(L"missing.exe"), L"", 1000));

    DWORD start = GetTickCount();
    EXPECT_EQ(RunOutcome::TimedOut, runProcessWithin(child, L"sleep 20000", 5000));
    EXPECT_LT(GetTickCount() - start, 12000u);
    std::vector<ChildRecord> records = sysutiltest::waitForRecords(child, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].commandLine, L" a");
    EXPECT_EQ(records[1].commandLine, L" sleep 20000");
    HANDLE ended = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, records[1].pid);
    if (ended) {
        EXPECT_EQ(WaitForSingleObject(ended, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        GetExitCodeProcess(ended, &code);
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_TIMEOUT));
        CloseHandle(ended);
    }
}

TEST(FindProcessId, FindsByFileNameIgnoringCase) {
    tst::TempDir dir(L"find");
    std::wstring child = dir.file(L"tvprobe_dummy.exe");
    ASSERT_TRUE(sysutiltest::copyChild(child));

    std::vector<PROCESS_INFORMATION> started;
    for (int i = 0; i < 2; ++i) {
        std::wstring line = L"\"" + child + L"\" sleep 30000";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        started.push_back(pi);
    }
    sysutiltest::waitForRecords(child, 2);

    DWORD pid = findProcessId(L"tvprobe_dummy.exe");
    EXPECT_TRUE(pid == started[0].dwProcessId || pid == started[1].dwProcessId) << pid;
    EXPECT_EQ(findProcessId(L"TVProbe_Dummy.EXE"), pid);
    EXPECT_EQ(findProcessId(L"tvprobe_dummy"), 0u);
    EXPECT_EQ(findProcessId(L"no_such_tarvo_program.exe"), 0u);

    for (PROCESS_INFORMATION& pi : started) {
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 15000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    EXPECT_EQ(findProcessId(L"tvprobe_dummy.exe"), 0u);
}

TEST(ExtractZipResource, UnpacksAndLeavesNoTemporaryFile) {
    tst::TempDir temp(L"res");
    sysutiltest::TempEnv env(temp.path());
    struct Case {
        unsigned short id;
        bool ok;
    } cases[] = {
        {243, true},   // the probe archive
        {999, false},  // no such resource
        {244, false},  // a resource that is not a zip
    };
    for (const Case& c : cases) {
        // Outside code pages 1252 and 936 alike.
        std::wstring dest = temp.file(L"dest_\u0e01\u0e02_" + std::to_wstring(c.id));
        EXPECT_EQ(extractZipResource(nullptr, L"VT_CHECKER", c.id, dest), c.ok) << c.id;
        EXPECT_TRUE(sysutiltest::filesMatching(temp.path(), L"RES*.tmp").empty()) << c.id;
        if (c.ok) {
            EXPECT_EQ(bytesOf(dest + L"\\vtchecker\\hvprobe.dll"), "not a real library\n");
            EXPECT_EQ(bytesOf(dest + L"\\vtchecker\\sub\\data.bin").size(), 70000u);
        }
    }

    // The narrow form takes the folder in the thread's code page.
    std::wstring dest = temp.file(L"narrow");
    EXPECT_TRUE(extractZipResource(nullptr, L"VT_CHECKER", 243, pathToAnsi(dest)));
    EXPECT_TRUE(tst::fileExists(dest + L"\\vtchecker\\hvprobe.dll"));
    EXPECT_TRUE(sysutiltest::filesMatching(temp.path(), L"RES*.tmp").empty());
}

TEST(GetTempDataFolder, ExistsUnderTemp) {
    tst::TempDir temp(L"tdf");
    sysutiltest::TempEnv env(temp.path());
    std::wstring folder = getTempDataFolder();
    EXPECT_EQ(folder, temp.path() + L"\\tarvozhushou");
    EXPECT_EQ(folder.find(L"\\\\"), std::wstring::npos);
    DWORD attributes = GetFileAttributesW(folder.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(getTempDataFolder(), folder);
}

TEST(WideToNarrow, UsesTheThreadCodePage) {
    if (GetACP() != 936) GTEST_SKIP() << "needs code page 936";
    // Narrow literals are compiled as GBK.
    EXPECT_EQ(wideToNarrow(L"塔沃 a"), "塔沃 a");
    EXPECT_EQ(pathToAnsi(ravel::file::Path(L"C:\\塔沃\\x.log")), "C:\\塔沃\\x.log");
}
