#include "services/log.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "services/env_test_util.h"
#include "services/loader_env.h"
#include "testing/support/test_support.h"

namespace {

// Each case runs in a copy of this program with its own name, so the log file
// (named after the program) belongs to that case alone.
struct LogRun {
    explicit LogRun(const char* name) : program(dir.file(tst::widen(name) + L".exe")) {
        logFile = getLogFolder() + L"\\" + tst::widen(name) + L".log";
        DeleteFileW(logFile.c_str());
    }
    ~LogRun() {
        DeleteFileW(logFile.c_str());
        RemoveDirectoryW(logFile.c_str());
    }
    long run(const std::string& test, std::vector<std::wstring> env = {}) {
        env.push_back(L"TARVO_LOG_CHILD=1");
        return envtest::runChild(test, env, program);
    }
    std::vector<std::string> lines() {
        std::string bytes;
        tst::readFile(logFile, bytes);
        std::vector<std::string> out;
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos) {
                out.push_back(bytes.substr(start));  // an unterminated rest shows as a bad line
                break;
            }
            out.push_back(bytes.substr(start, end + 2 - start));
            start = end + 2;
        }
        return out;
    }
    tst::TempDir dir{L"log"};
    std::wstring program;
    std::wstring logFile;
};

// The text of a line after its time stamp, or "<bad line>" when the shape is wrong.
std::string textOf(const std::string& line) {
    static const std::regex shape("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d, , ([^\\r\\n]*)\\r\\n$");
    std::smatch m;
    if (!std::regex_match(line, m, shape)) return "<bad line>";
    return m[1];
}

bool isChild() { return !envtest::envVar(L"TARVO_LOG_CHILD").empty(); }

// A global whose destructor logs at process exit, when asked to.
struct LogsAtExit {
    ~LogsAtExit() {
        if (!envtest::envVar(L"TARVO_LOG_AT_EXIT").empty()) logPrintf("from a destructor at exit %d", 42);
    }
} g_logsAtExit;

TEST(DISABLED_LogChild, Lines) {
    if (!isChild()) return;
    logPrintf("loader start...");
    logPrintf("cmdline: %s, %d", "--silent", 12);
    logPrintf("安装完成 %d", 7);  // GBK bytes in the file
    logPrintf("%s", std::string(5000, 'x').c_str());
    logPrintf("ends with a line feed\n");
    writeLogLine("abcdef", 3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) logPrintf("thread %d line %03d %s", t, i, "padding-padding-padding");
        });
    }
    for (std::thread& th : threads) th.join();
}

TEST(DISABLED_LogChild, LogsAndExits) {
    if (!isChild()) return;
    if (envtest::envVar(L"TARVO_LOG_FIRST_AT_EXIT").empty()) logPrintf("before exit");
}

TEST(Log, LineShapeCutAndBytes) {
    LogRun run("envlog_lines");
    ASSERT_EQ(0, run.run("DISABLED_LogChild.Lines"));
    std::vector<std::string> lines = run.lines();
    ASSERT_EQ(2007u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == 5) continue;
        ASSERT_NE("<bad line>", textOf(lines[i])) << i << ": " << lines[i];
    }

    EXPECT_EQ("loader start...", textOf(lines[0]));
    EXPECT_EQ("cmdline: --silent, 12", textOf(lines[1]));
    // The narrow literal is stored in code page 936, unchanged.
    EXPECT_EQ(std::string("\xB0\xB2\xD7\xB0\xCD\xEA\xB3\xC9 7"), textOf(lines[2]));
    EXPECT_EQ(std::string(4095, 'x'), textOf(lines[3]));
    EXPECT_EQ("ends with a line feed", textOf(lines[4]));
    EXPECT_EQ("\r\n", lines[5]);  // the message's own line feed leaves an empty line
    EXPECT_EQ("abc", textOf(lines[6]));

    // 2000 lines from four threads, each intact and each once.
    std::vector<std::vector<int>> seen(4, std::vector<int>(500, 0));
    static const std::regex threadLine("thread (\\d) line (\\d{3}) padding-padding-padding");
    for (size_t i = 7; i < lines.size(); ++i) {
        std::string text = textOf(lines[i]);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, threadLine)) << text;
        ++seen[std::stoi(m[1])][std::stoi(m[2])];
    }
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 500; ++i) EXPECT_EQ(1, seen[t][i]) << t << " " << i;
}

TEST(Log, TwoProcessesOfOneProgramShareTheFileAndLoseNoLine) {
    // The loader and its elevated copy write one file at once.
    LogRun first("envlog_shared");
    LogRun second("envlog_shared");
    long codes[2] = {-1, -1};
    std::thread other([&] { codes[1] = second.run("DISABLED_LogChild.Lines"); });
    codes[0] = first.run("DISABLED_LogChild.Lines");
    other.join();
    ASSERT_EQ(0, codes[0]);
    ASSERT_EQ(0, codes[1]);
    std::vector<std::string> lines = first.lines();
    ASSERT_EQ(2u * 2007u, lines.size());
    std::vector<std::vector<int>> seen(4, std::vector<int>(500, 0));
    static const std::regex threadLine("thread (\\d) line (\\d{3}) padding-padding-padding");
    size_t longLines = 0;
    for (const std::string& line : lines) {
        if (line == "\r\n") continue;
        const std::string text = textOf(line);
        ASSERT_NE("<bad line>", text) << line.substr(0, 80);
        if (text == std::string(4095, 'x')) ++longLines;
        std::smatch m;
        if (std::regex_match(text, m, threadLine)) ++seen[std::stoi(m[1])][std::stoi(m[2])];
    }
    EXPECT_EQ(2u, longLines);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 500; ++i) EXPECT_EQ(2, seen[t][i]) << t << " " << i;
}

TEST(Log, AFolderInPlaceOfTheFileSwitchesLoggingOff) {
    LogRun run("envlog_blocked");
    ASSERT_TRUE(CreateDirectoryW(run.logFile.c_str(), nullptr));
    EXPECT_EQ(0, run.run("DISABLED_LogChild.LogsAndExits", {L"TARVO_LOG_AT_EXIT=1"}));
    EXPECT_TRUE(GetFileAttributesW(run.logFile.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Log, LoggingFromAGlobalDestructorAtExit) {
    {
        LogRun run("envlog_exit");
        ASSERT_EQ(0, run.run("DISABLED_LogChild.LogsAndExits", {L"TARVO_LOG_AT_EXIT=1"}));
        std::vector<std::string> lines = run.lines();
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ("before exit", textOf(lines[0]));
        EXPECT_EQ("from a destructor at exit 42", textOf(lines[1]));
    }
    {
        // The very first line of the process comes from the destructor.
        LogRun run("envlog_exit_first");
        ASSERT_EQ(0, run.run("DISABLED_LogChild.LogsAndExits",
                             {L"TARVO_LOG_AT_EXIT=1", L"TARVO_LOG_FIRST_AT_EXIT=1"}));
        std::vector<std::string> lines = run.lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("from a destructor at exit 42", textOf(lines[0]));
    }
}

TEST(Log, FileLivesInTheUsersLogFolder) {
    wchar_t appData[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE));
    EXPECT_EQ(std::wstring(appData) + L"\\tarvozhushou\\log", getLogFolder());
    // The prefix has a home of its own: nothing reaches the Linux user's files.
    EXPECT_TRUE(envtest::insidePrefix(getLogFolder())) << tst::unixPath(getLogFolder());
    logPrintf("services test %lu", GetCurrentProcessId());
    std::wstring own = getLogFolder() + L"\\services_tests.log";
    EXPECT_TRUE(tst::fileExists(own));
}

}  // namespace
