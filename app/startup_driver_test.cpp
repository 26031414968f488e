// The start-up road as a process under Wine: the real command line, argument
// splitting, installer thread and COM, with scripted services and engine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace {

struct DriverRun {
    long exitCode = 0;
    std::vector<std::string> lines;
    bool has(const std::string& line) const { return index(line) < lines.size(); }
    size_t index(const std::string& line) const {
        for (size_t k = 0; k < lines.size(); ++k)
            if (lines[k] == line) return k;
        return lines.size();
    }
    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& l : lines) n += l.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        return n;
    }
};

DriverRun runDriver(const std::wstring& args, const std::string& caseText) {
    tst::TempDir dir(L"road");
    const std::wstring casePath = dir.file(L"case.txt");
    EXPECT_TRUE(tst::writeFile(casePath, caseText));
    const std::wstring exe = tst::binDir() + L"\\startup_driver.exe";
    DriverRun run;
    run.exitCode = tst::runProgram(L"\"" + exe + L"\" " + args, 60000, {L"TARVO_ROAD_CASE=" + casePath});
    std::string out;
    EXPECT_TRUE(tst::readFile(casePath + L".out", out)) << "the driver wrote no record";
    std::string line;
    for (char c : out) {
        if (c == '\n') {
            run.lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    return run;
}

TEST(StartupDriverTest, SilentBackinstallRunsTheInstallerThreadAndLaunchesOnce) {
    DriverRun run = runDriver(L"-s --backinstall",
                              "playerExe=C:\\p\\TarvoPlayer.exe\n"
                              "op.1.events=1:0:0:0;1:2:0:100\n"
                              "op.1.workerEvents=0:1:0:10;0:1:0:20\n");
    EXPECT_EQ(0, run.exitCode);
    ASSERT_TRUE(run.has("impl.install(end)"));
    const std::string launch = "launchProcess(\"C:\\p\\TarvoPlayer.exe\" --byloader)";
    EXPECT_EQ(1u, run.count("launchProcess("));
    EXPECT_EQ(1u, run.count("markLaunched"));
    EXPECT_LT(run.index("impl.install(begin)"), run.index("impl.install(end)"));
    EXPECT_LT(run.index("impl.install(end)"), run.index("takeDataFile(TarvoLoader_routines)"));
    EXPECT_LT(run.index("takeDataFile(TarvoLoader_routines)"), run.index(launch));
    EXPECT_TRUE(run.has("record(op=1, engine=0, mainThread=0, com=0x00000001, fired=2, worker=2, workerOwnThread=1)"));
    EXPECT_EQ(0u, run.count("runWindow"));
    EXPECT_TRUE(run.has("g_silent=1 g_backinstall=1 g_silent_upgrade=0"));
    EXPECT_TRUE(run.has("exit=0"));
    // The road logged the process's own command line.
    bool cmdline = false;
    for (const std::string& l : run.lines)
        cmdline = cmdline || (l.find("log(cmdline: ") == 0 && l.find("startup_driver.exe\" -s --backinstall") != std::string::npos);
    EXPECT_TRUE(cmdline);
}

TEST(StartupDriverTest, ExitCodesOfEveryKindOfReturn) {
    struct Case {
        const wchar_t* args;
        const char* script;
        DWORD code;  // as GetExitCodeProcess reports it
        const char* mark;
    } cases[] = {
        {L"", "setupRunning=1\n", 0xFFFFFFFFu, "isSetupRunning"},
        {L"", "acquire=0\n", 0xFFFFFFFFu, "acquireLoaderInstance"},
        {L"--add-shortcut", "", 0, "addAllAppShortcuts"},
        {L"--uninstall", "playerRunning=1\n", 0, "showRemoveRefused"},
        {L"-s", "", 0, "impl.install(end)"},
        {L"", "window=fails\n", 0, "runWindow(action=1)"},
        {L"-s --uninstall", "emulatorInstalled=1\n", 0, "impl.remove(end)"},
    };
    for (const Case& c : cases) {
        DriverRun run = runDriver(c.args, c.script);
        EXPECT_EQ(c.code, (DWORD)run.exitCode) << c.mark;
        EXPECT_TRUE(run.has(c.mark)) << c.mark;
        EXPECT_TRUE(run.has(std::string("exit=") + (c.code ? "-1" : "0"))) << c.mark;
    }
}

TEST(StartupDriverTest, HandOverThroughTheRealArgumentSplit) {
    DriverRun run = runDriver(L"--launch \"C:\\a b\\x.exe\" --app-id 7 /restart", "loaderRunning=1\n");
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.has("writeDataFile(TarvoLoader_routines, \"C:\\a b\\x.exe\" --app-id 7)"));
    EXPECT_TRUE(run.has("activateExistingLoader"));
    EXPECT_EQ(0u, run.count("isSetupRunning"));
}

}  // namespace
