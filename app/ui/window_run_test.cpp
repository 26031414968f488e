// The window run as the road calls it: the dialog, the loop on this thread and
// the wait for the run, with another thread acting as the user.
#include <atomic>
#include <thread>

#include "app/startup.h"
#include "app/ui/dialog_test_util.h"

namespace {

using dialogtest::DialogTest;
using dialogtest::engine;

class WindowRunTest : public DialogTest {
protected:
    // The dialog of the run, found as the road's second loader finds it.
    static HWND waitForDialog(const std::wstring& title, DWORD ms) {
        for (DWORD waited = 0; waited < ms; waited += 50) {
            HWND h = FindWindowW(kMainDialogClass, title.c_str());
            if (h) return h;
            Sleep(50);
        }
        return nullptr;
    }
    static bool waitVisible(HWND h, bool visible, DWORD ms) {
        for (DWORD waited = 0; waited < ms; waited += 50) {
            if ((IsWindowVisible(h) != FALSE) == visible) return true;
            Sleep(50);
        }
        return false;
    }
};

TEST_F(WindowRunTest, MissingTemplateFailsWithTheSystemsErrorAndStartsNothing) {
    SetLastError(0);
    EXPECT_FALSE(runMainWindow(*installer, inputs(), 4242));
    EXPECT_EQ((DWORD)ERROR_RESOURCE_NAME_NOT_FOUND, GetLastError());
    EXPECT_FALSE(installer->isBusy());
    EXPECT_TRUE(engine().records().empty());
    EXPECT_EQ(nullptr, FindWindowW(kMainDialogClass, nullptr));
}

// A hidden run stays hidden, hides into the tray without a balloon, shows when
// the tray is clicked, and "退出" ends it; the road then holds the ignoring listener.
TEST_F(WindowRunTest, HiddenRunShowsOnlyFromTheTrayAndEndsWithTheIgnoringListener) {
    dialogTimings().hideMs = 300;
    engine().ops[1].block = true;
    MainDialogInputs in = inputs(L"TarvoLoader.exe --silent-upgrade");
    in.hiddenRun = true;
    std::atomic<bool> shownEarly{false}, shownByTray{false}, iconBeforeClick{false};
    std::thread user([&] {
        HWND h = waitForDialog(in.displayName, 20000);
        if (!h) return;
        if (!engine().waitBlocked(30000)) return;
        // Past the hide timer, with the run under way: still hidden.
        for (int i = 0; i < 20; ++i) {
            if (IsWindowVisible(h)) shownEarly = true;
            Sleep(50);
        }
        NOTIFYICONDATAW nid = {};
        nid.cbSize = platform::window::kTrayRecordSize;
        nid.hWnd = h;
        nid.uFlags = NIF_TIP;
        if (Shell_NotifyIconW(NIM_ADD, &nid)) {
            Shell_NotifyIconW(NIM_DELETE, &nid);
        } else {
            iconBeforeClick = true;
        }
        PostMessageW(h, kMsgTrayNotify, 0, WM_LBUTTONDOWN);
        shownByTray = waitVisible(h, true, 10000);
        PostMessageW(h, WM_COMMAND, 32779, 0);
    });
    const bool ran = runMainWindow(*installer, in);
    user.join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(shownEarly);
    EXPECT_TRUE(iconBeforeClick);
    EXPECT_TRUE(shownByTray);
    EXPECT_TRUE(logged("dialog: hidden to tray"));
    EXPECT_TRUE(logged("dialog: shown"));
    EXPECT_TRUE(logged("dialog: closed"));
    // The run had ended when the window run returned.
    EXPECT_FALSE(installer->isBusy());
    std::vector<fakes::FakeOpRecord> records = engine().records();
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0].cancelSeen);
    InstallProgressEvent ignoring;
    ignoring.bindStatic(&app::ignoreInstallerProgress);
    EXPECT_TRUE(installer->progressEvent() == ignoring);
    EXPECT_EQ(nullptr, FindWindowW(kMainDialogClass, nullptr));
}

}  // namespace
