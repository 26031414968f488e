#include "app/product_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "installer/installer_product_env.h"

namespace {

using app::ProductStartupServices;

bool listed(const std::vector<std::string>& rows, const std::string& name) {
    return std::find(rows.begin(), rows.end(), name) != rows.end();
}

TEST(ProductStartupServicesTest, ListedRowsThrowNotBuiltWithTheirName) {
    ProductStartupServices s;
    v2::Installer* installer = v2::Installer::getInstance();
    const std::wstring w = L"x";
    struct Row {
        const char* name;
        std::function<void()> call;
    };
    const std::vector<Row> rows = {
        {"toAnsi", [&] { s.toAnsi(w); }},
        {"fromAnsi", [&] { s.fromAnsi("x"); }},
        {"log", [&] { s.log("x"); }},
        {"writeAdaptIni", [&] { s.writeAdaptIni(w, w); }},
        {"getMid", [&] { s.getMid(); }},
        {"getMid2", [&] { s.getMid2(); }},
        {"isEmulatorInstalled", [&] { s.isEmulatorInstalled(); }},
        {"isPlayerInstalled", [&] { s.isPlayerInstalled(); }},
        {"playerExeIfPresent", [&] { s.playerExeIfPresent(); }},
        {"launchProcess", [&] { s.launchProcess(L"\"C:\\no\\such.exe\""); }},
        {"markLaunched", [&] { s.markLaunched(); }},
        {"isProductProgram", [&] { s.isProductProgram(w); }},
        {"isLoaderRunning", [&] { s.isLoaderRunning(); }},
        {"isSetupRunning", [&] { s.isSetupRunning(); }},
        {"isPlayerRunning", [&] { s.isPlayerRunning(); }},
        {"acquireLoaderInstance", [&] { s.acquireLoaderInstance(); }},
        {"activateExistingLoader", [&] { s.activateExistingLoader(); }},
        {"writeDataFile", [&] { s.writeDataFile(w, "x"); }},
        {"takeDataFile", [&] { s.takeDataFile(w); }},
        {"statUrl", [&] { s.statUrl(w); }},
        {"sendStat", [&] { s.sendStat(w); }},
        {"updateChannelConfig", [&] { s.updateChannelConfig(); }},
        {"channelApkId", [&] { s.channelApkId(); }},
        {"channelLaunch", [&] { s.channelLaunch(); }},
        {"channelLaunchApk", [&] { s.channelLaunchApk(); }},
        {"isQvContextInstalled", [&] { s.isQvContextInstalled(); }},
        {"currentContextAppState", [&] { s.currentContextAppState(w); }},
        {"launchInCurrentContext", [&] { s.launchInCurrentContext(w); }},
        {"isQvInstalled", [&] { s.isQvInstalled(); }},
        {"lookupQvApp", [&] { s.lookupQvApp(w); }},
        {"launchQvAppById", [&] { s.launchQvAppById(w); }},
        {"localAppListContains", [&] { s.localAppListContains(w); }},
        {"addAppShortcut", [&] { s.addAppShortcut(w); }},
        {"addAllAppShortcuts", [&] { s.addAllAppShortcuts(); }},
        {"removeAppShortcut", [&] { s.removeAppShortcut(w); }},
        {"removeAllAppShortcuts", [&] { s.removeAllAppShortcuts(); }},
        {"runWindow", [&] { s.runWindow(*installer); }},
    };
    // Rows bound for real have their own tests below (the channel rows through
    // the start-up driver, where the web hosts lie on 127.0.0.1).
    const std::vector<std::string> bound = {
        "showRemoveRefused", "sleepMs", "toAnsi", "fromAnsi", "log", "writeAdaptIni", "getMid", "getMid2",
        "isEmulatorInstalled", "isPlayerInstalled", "playerExeIfPresent", "launchProcess", "markLaunched",
        "isProductProgram", "isLoaderRunning", "isSetupRunning", "isPlayerRunning", "acquireLoaderInstance",
        "activateExistingLoader", "writeDataFile", "takeDataFile", "statUrl", "sendStat", "updateChannelConfig",
        "channelApkId", "channelLaunch", "channelLaunchApk", "isQvContextInstalled", "currentContextAppState",
        "launchInCurrentContext", "isQvInstalled",
        "lookupQvApp", "launchQvAppById", "localAppListContains", "addAppShortcut", "addAllAppShortcuts",
        "removeAppShortcut", "removeAllAppShortcuts", "runWindow"};

    const std::vector<std::string> missing = ProductStartupServices::missingRows();
    for (const std::string& name : missing) {
        bool known = false;
        for (const Row& r : rows) known = known || name == r.name;
        EXPECT_TRUE(known) << name << " is listed but not a row";
    }
    for (const Row& r : rows) {
        if (!listed(missing, r.name)) {
            EXPECT_TRUE(listed(bound, r.name)) << r.name << " is bound: give it a test of its own";
            continue;
        }
        try {
            r.call();
            ADD_FAILURE() << r.name << " is listed but did not throw";
        } catch (const NotBuilt& e) {
            EXPECT_STREQ(r.name, e.what());
        }
    }
}

TEST(ProductStartupServicesTest, IncompleteMessageNamesEveryMissingRowThatTheCommandLineReaches) {
    const std::vector<std::string> shortcutRows = {"addAppShortcut", "addAllAppShortcuts", "removeAppShortcut",
                                                   "removeAllAppShortcuts"};
    struct Case {
        const wchar_t* commandLine;
        bool shortcutRowsCount;
    };
    const Case cases[] = {
        {L"TarvoLoader.exe", false},
        {L"TarvoLoader.exe --uninstall", false},
        {L"TarvoLoader.exe --launch add-shortcut", false},
        {L"TarvoLoader.exe --add-shortcut", true},
        {L"TarvoLoader.exe --rm-shortcut 1001", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.commandLine, c.commandLine + wcslen(c.commandLine)));
        std::string message = app::incompleteServicesMessage(c.commandLine);
        std::vector<std::string> missing;
        for (const std::string& r : ProductStartupServices::missingRows())
            if (c.shortcutRowsCount || !listed(shortcutRows, r)) missing.push_back(r);
        std::vector<std::string> installerMissing = v2::ProductInstallerEnv::missingRows();
        if (missing.empty() && installerMissing.empty()) {
            EXPECT_EQ("", message);
            continue;
        }
        const std::string prefix = "start-up services incomplete: ";
        ASSERT_EQ(0u, message.compare(0, prefix.size(), prefix)) << message;
        std::string expected = prefix;
        bool first = true;
        for (const std::string& r : missing) {
            expected += (first ? "" : ", ") + r;
            first = false;
        }
        for (const std::string& r : installerMissing) {
            expected += (first ? "" : ", ") + std::string("InstallerEnv::") + r;
            first = false;
        }
        EXPECT_EQ(expected, message);
        EXPECT_EQ(std::string::npos, message.find("showRemoveRefused"));
        EXPECT_EQ(std::string::npos, message.find("runWindow"));
    }
}

TEST(ProductStartupServicesTest, RemoveRefusedShowsItsBoxUntilClosed) {
    std::atomic<bool> found{false};
    std::wstring text;
    LONG_PTR style = 0;
    std::thread closer([&] {
        for (int i = 0; i < 600 && !found; ++i) {  // 30 s: the box is slow under load
            HWND box = FindWindowW(L"#32770", L"塔沃助手");
            if (box) {
                wchar_t buf[256] = {};
                GetDlgItemTextW(box, 0xFFFF, buf, 256);
                text = buf;
                style = GetWindowLongPtrW(box, GWL_STYLE);
                found = true;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(50);
        }
    });
    ProductStartupServices s;
    s.showRemoveRefused();
    closer.join();
    ASSERT_TRUE(found) << "no message box titled 塔沃助手 appeared";
    EXPECT_EQ(L"塔沃模拟器正在运行，请退出后再进行卸载！", text);
    EXPECT_NE(0, style & WS_VISIBLE);
}

TEST(ProductStartupServicesTest, SleepWaits) {
    ProductStartupServices s;
    DWORD t0 = GetTickCount();
    s.sleepMs(200);
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 180u);
    EXPECT_LT(took, 2000u);
}

}  // namespace
