#include "testing/support/qv_standin.h"

#include <gtest/gtest.h>

#include "testing/qv_standin/apk_reader.h"
#include "testing/qv_standin/standin.h"

namespace {

std::wstring readInstallDir(const wchar_t* key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | qvs::registryView(), &handle) != ERROR_SUCCESS)
        return L"(no key)";
    wchar_t buffer[600] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    LONG rc = RegQueryValueExW(handle, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"(no value)";
}

std::string folderUtf8(const qvtest::StandinEngine& engine) { return tst::narrow(engine.folder()); }

TEST(QvStandinTest, InstallStartRunQuitUninstall) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.lockHeld());
    ASSERT_TRUE(engine.install());
    EXPECT_EQ(engine.folder(), readInstallDir(qvtest::kTarvoGamesKey));
    EXPECT_TRUE(engine.recorded("qvInstaller", "setup-installed", folderUtf8(engine)));
    EXPECT_EQ(ERROR_SUCCESS, tst::openServiceError("tvHdAndroidSvc"));
    EXPECT_EQ(ERROR_SUCCESS, tst::openServiceError("tvHdDrv"));
    EXPECT_FALSE(engine.running());

    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(engine.recorded("TV-Service", "service-start", "tvHdAndroidSvc"));
    EXPECT_TRUE(engine.recorded("tvHdDrv", "service-start", "tvHdDrv"));
    EXPECT_TRUE(engine.waitRecorded("TV-Frontend", "frontend", "launcher"));
    EXPECT_TRUE(engine.recorded("TV-StartLauncher", "launcher", ""));

    const std::wstring runApp = L"\"" + engine.folder() + L"TV-RunApp.exe\" -p com.a.b -a .Main";
    EXPECT_EQ(1, tst::runProgram(runApp, 30000));
    EXPECT_TRUE(engine.recorded("TV-RunApp", "runapp-unknown", "com.a.b Main"));
    ASSERT_TRUE(engine.addGadget(L"com.a.b", L"Main"));
    EXPECT_EQ(0, tst::runProgram(runApp, 30000));
    EXPECT_TRUE(engine.recorded("TV-RunApp", "runapp", "com.a.b Main"));
    EXPECT_TRUE(engine.waitRecorded("TV-Frontend", "frontend", "app com.a.b/Main"));

    EXPECT_EQ(2, tst::runProgram(L"\"" + engine.folder() + L"TV-Quit.exe\" now", 30000));
    EXPECT_TRUE(engine.recorded("TV-Quit", "bad-args", ""));
    EXPECT_EQ(0, tst::runProgram(L"\"" + engine.folder() + L"TV-Quit.exe\"", 30000));
    EXPECT_TRUE(engine.recorded("TV-Quit", "quit", "stopped"));
    EXPECT_TRUE(engine.recorded("TV-Service", "service-stop", "tvHdAndroidSvc"));
    EXPECT_FALSE(engine.running());

    EXPECT_EQ(0, tst::runProgram(L"\"" + tst::binDir() + L"\\qvInstaller.exe\" uninstall", 60000));
    EXPECT_TRUE(engine.recorded("qvInstaller", "setup-uninstalled", folderUtf8(engine)));
    EXPECT_EQ(L"(no key)", readInstallDir(qvtest::kTarvoGamesKey));
    EXPECT_TRUE(tst::serviceGone("tvHdAndroidSvc"));
    EXPECT_TRUE(tst::serviceGone("tvHdDrv"));
    EXPECT_FALSE(tst::fileExists(engine.folder() + L"TV-Service.exe"));
    EXPECT_FALSE(tst::fileExists(engine.folder()));
}

TEST(QvStandinTest, SetupChecksItsFolderAndKeys) {
    qvtest::StandinEngine engine;
    tst::TempDir empty(L"qvempty");
    const std::wstring setup = L"\"" + tst::binDir() + L"\\qvInstaller.exe\"";
    EXPECT_EQ(3, tst::runProgram(setup + L" install \"" + empty.path() + L"\"", 30000));
    EXPECT_EQ(0, tst::runProgram(setup + L" uninstall", 30000));
    EXPECT_EQ(2, tst::runProgram(setup + L" remove", 30000));
    EXPECT_TRUE(engine.recorded("qvInstaller", "bad-args", ""));

    qvtest::InstallOptions options;
    options.key = qvtest::Key::TvzsPlayer;
    options.services = false;
    ASSERT_TRUE(engine.install(options));
    EXPECT_EQ(L"(no key)", readInstallDir(qvtest::kTarvoGamesKey));
    EXPECT_EQ(engine.folder(), readInstallDir(qvtest::kTvzsPlayerKey));
    EXPECT_TRUE(tst::serviceGone("tvHdAndroidSvc"));
}

TEST(QvStandinTest, TimesAppliesAModeOnce) {
    qvtest::StandinEngine engine;
    ASSERT_TRUE(engine.install(qvtest::InstallOptions{qvtest::Key::None, false}));
    engine.setMode(L"TV-Quit", L"exit", 0, 7, 1);
    const std::wstring quit = L"\"" + engine.folder() + L"TV-Quit.exe\"";
    EXPECT_EQ(7, tst::runProgram(quit, 30000));
    EXPECT_EQ(0, tst::runProgram(quit, 30000));
    EXPECT_EQ(2u, engine.starts("TV-Quit").size());
}

TEST(QvStandinTest, ManifestReaderKnowsEveryFixture) {
    struct Case {
        const wchar_t* file;
        bool ok;
        const char* package;
        const char* launcher;
        const char* reason;
    };
    const Case cases[] = {
        {L"good.apk", true, "com.a.b", ".MainActivity", ""},
        {L"full.apk", true, "com.a.b", "com.a.b.Main", ""},
        {L"alias.apk", true, "com.a.c", ".Alias", ""},
        {L"utf8.apk", true, "com.a.e", ".Start", ""},
        {L"nolauncher.apk", false, "com.a.d", "", "no-launcher"},
        {L"notzip.apk", false, "", "", "not-zip"},
        {L"nomanifest.apk", false, "", "", "no-manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        qvs::ApkInfo apk;
        std::string reason;
        EXPECT_EQ(c.ok, qvs::readApk(tst::binDir() + L"\\fixtures\\apk\\" + c.file, apk, reason));
        EXPECT_EQ(c.reason, reason);
        EXPECT_EQ(c.package, tst::narrow(apk.manifest.package));
        EXPECT_EQ(c.launcher, tst::narrow(apk.manifest.launcher));
        if (c.ok) EXPECT_EQ(0, apk.icon.compare(0, 4, "\x89PNG"));
    }
    EXPECT_EQ(L"MainActivity", qvs::shortActivityName(L"com.a.b", L".MainActivity"));
    EXPECT_EQ(L"Main", qvs::shortActivityName(L"com.a.b", L"com.a.b.Main"));
    EXPECT_EQ(L"org.x.Main", qvs::shortActivityName(L"com.a.b", L"org.x.Main"));
}

TEST(QvStandinTest, ArgumentSplit) {
    struct Case {
        const wchar_t* line;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {L"  -p com.a -a Main", {L"", L"-p", L"com.a", L"-a", L"Main"}},
        {L"\"C:\\a b\\x.exe\" install \"C:\\dir\\\"", {L"C:\\a b\\x.exe", L"install", L"C:\\dir\\"}},
        {L"x \"a\\\"b\" c\\\\d", {L"x", L"a\"b", L"c\\\\d"}},
        {L"x \"\"", {L"x", L""}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.args, qvs::splitCommandLine(c.line)) << tst::narrow(c.line);
}

}  // namespace
