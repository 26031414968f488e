#include "app/ui/main_dialog.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "app/product_services.h"
#include "app/ui/dialog_test_util.h"

namespace {

using dialogtest::BoxAnswerer;
using dialogtest::DialogTest;
using dialogtest::engine;

const std::wstring kInstallStart = L"正在为您下载塔沃模拟器...";
const std::wstring kFailureText =
    L"安装失败！\n点击“确定”反馈问题，即可获得官方奖励！\n点击“取消”进行回滚操作。";

struct Record {
    int stage, state, error;
    float percent;
    std::wstring text;
};

TEST_F(DialogTest, ProgressRecordsChangeWhatTheDialogShows) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<Record> records;
        std::wstring status;  // expected status text
        int percent;
        int stage;
        bool slideTimer;
        bool closed;
        int boxes;  // failure boxes opened (answered OK)
    };
    const std::vector<Case> cases = {
        {"download started", {{0, 0, 0, 0, L""}}, kInstallStart, 0, 0, true, false, 0},
        {"download running", {{0, 1, 0, 35.9f, L""}}, L"正在下载塔沃模拟器: 35 %", 35, 0, false, false, 0},
        {"download finished", {{0, 2, 0, 100, L""}}, kInstallStart, 100, 0, false, false, 0},
        {"download failed", {{0, 2, -1, 0, L""}}, L"下载失败，请检查网络后重新下载！", 0, 0, false, true, 1},
        {"install text and percent", {{1, 1, 0, 130, L"安装引擎"}}, L"安装引擎", 100, 1, false, false, 0},
        {"percent above", {{1, 1, 0, 250, L"t"}}, L"t", 100, 1, false, false, 0},
        {"percent below", {{1, 1, 0, -5, L"t"}}, L"t", 0, 1, false, false, 0},
        {"percent NaN", {{1, 1, 0, nan, L"t"}}, L"t", 0, 1, false, false, 0},
        {"percent truncated", {{1, 1, 0, 99.99f, L"t"}}, L"t", 99, 1, false, false, 0},
        {"empty text replaces the status", {{2, 1, 0, 10, L""}}, L"", 10, 2, false, false, 0},
        {"removal started", {{3, 0, 0, 0, L"正在卸载"}}, L"正在卸载", 0, 3, true, false, 0},
        {"removal failed", {{3, 2, -1, 0, L"卸载失败"}}, L"卸载失败", 0, 3, false, true, 0},
        {"removal finished", {{3, 2, 0, 100, L"完成"}}, L"完成", 100, 3, false, true, 0},
        {"install failed", {{1, 2, -1, 0, L"安装失败"}}, L"安装失败", 0, 1, false, true, 1},
        {"unknown stage", {{7, 1, 0, 20, L"x"}}, kInstallStart, 20, 7, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMainDlg* d = openBlocked();
        std::unique_ptr<BoxAnswerer> box(new BoxAnswerer(d->hwnd(), IDOK));
        for (const Record& r : c.records) post(r.stage, r.state, r.error, r.percent, r.text);
        pumpUntil([&] { return d->stage() == c.records.back().stage && (!c.closed || d->closed()); }, 20000);
        pumpFor(100);
        EXPECT_EQ(c.closed, d->closed());
        EXPECT_EQ(c.status, d->statusText());
        EXPECT_EQ(c.percent, d->percent());
        EXPECT_EQ(c.stage, d->stage());
        EXPECT_EQ(c.slideTimer, d->slideTimerRunning());
        box.reset();
        EXPECT_EQ(c.boxes, (int)dialogtest::openedLinks().size());
        TearDown();
        SetUp();
        quit = false;
    }
}

TEST_F(DialogTest, RecordsAfterCloseAreDroppedAndTheLogShowsEachTripleOnce) {
    CMainDlg* d = openBlocked();
    for (int p = 0; p < 5; ++p) post(0, 1, 0, (float)p * 10);
    post(1, 0, 0, 0, L"安装");
    post(1, 1, 0, 50, L"安装");
    ASSERT_TRUE(pumpUntil([&] { return d->percent() == 50; }, 10000));
    post(1, 2, 0, 100, L"完成");
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 10000));
    EXPECT_TRUE(d->closed());
    EXPECT_FALSE(IsWindow(d->hwnd()));
    EXPECT_EQ(0, quitCode);
    post(0, 1, 0, 77);  // no window: nothing is allocated or shown
    pumpFor(200);
    EXPECT_EQ(100, d->percent());
    const std::vector<std::string> lines = dialogLines();
    const std::vector<std::string> expected = {"dialog: created",
                                               "dialog: pictures 0/3 slides, icon 0",
                                               "dialog: installer started (action 1)",
                                               "dialog: progress stage 0 state 1 error 0",
                                               "dialog: progress stage 1 state 0 error 0",
                                               "dialog: progress stage 1 state 1 error 0",
                                               "dialog: progress stage 1 state 2 error 0",
                                               "dialog: closed"};
    EXPECT_EQ(expected, lines);
}

TEST_F(DialogTest, CommandLineDecidesStatusTipHideAndBalloon) {
    struct Case {
        const wchar_t* commandLine;
        std::wstring status;
        std::wstring tip;
        bool hides;
        bool balloon;
    };
    const Case cases[] = {
        {L"TarvoLoader.exe --uninstall", L"正在为您执行卸载...", L"塔沃模拟器：正在卸载", false, false},
        {L"TarvoLoader.exe /slient=0", kInstallStart, L"塔沃模拟器：正在安装塔沃示例", false, false},
        {L"TarvoLoader.exe /silent=0", kInstallStart, L"塔沃模拟器：正在安装塔沃示例", true, false},
        {L"TarvoLoader.exe", kInstallStart, L"塔沃模拟器：正在安装塔沃示例", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.commandLine));
        dialogTimings().hideMs = 300;
        CMainDlg* d = openBlocked(c.commandLine);
        EXPECT_EQ(c.status, d->statusText());
        EXPECT_EQ(c.tip, d->trayTip());
        pumpFor(1200);
        EXPECT_EQ(!c.hides, IsWindowVisible(d->hwnd()) != FALSE);
        EXPECT_EQ(c.hides, trayIconExists());
        EXPECT_EQ(c.hides ? 1 : 0, countLogged("dialog: hidden to tray"));
        if (c.hides) {
            EXPECT_EQ(c.tip, d->trayIcon().tip());
        }
        EXPECT_EQ(c.balloon ? c.tip : std::wstring(), std::wstring(d->trayIcon().data().szInfo));
        TearDown();
        SetUp();
        quit = false;
    }
}

TEST_F(DialogTest, CloseHidesIntoTheTrayAndATrayClickShowsAgain) {
    CMainDlg* d = openBlocked();
    SendMessageW(d->hwnd(), WM_COMMAND, 5555, 0);
    EXPECT_FALSE(IsWindowVisible(d->hwnd()));
    EXPECT_TRUE(trayIconExists());
    PostMessageW(d->hwnd(), kMsgTrayNotify, 0, WM_LBUTTONDOWN);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(d->hwnd()) != FALSE; }, 5000));
    EXPECT_TRUE(logged("dialog: shown"));
    // The tray's "显示窗口" does the same.
    ShowWindow(d->hwnd(), SW_HIDE);
    SendMessageW(d->hwnd(), WM_COMMAND, 32778, 0);
    EXPECT_TRUE(IsWindowVisible(d->hwnd()));
    // The finish takes the icon away.
    post(1, 2, 0, 100, L"完成");
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 10000));
    NOTIFYICONDATAW nid = {};
    nid.cbSize = platform::window::kTrayRecordSize;
    nid.hWnd = d->hwnd();
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &nid));
}

TEST_F(DialogTest, NullMessageBeforeTheFirstHideAddsNoIcon) {
    CMainDlg* d = openBlocked();
    SendMessageW(d->hwnd(), WM_NULL, 0, 0);
    PostMessageW(d->hwnd(), WM_NULL, 0, 0);
    pumpFor(100);
    EXPECT_FALSE(trayIconExists());
}

TEST_F(DialogTest, IconTakenBeforehandKeepsTheWindowShownAndLogs) {
    CMainDlg* d = openBlocked();
    NOTIFYICONDATAW nid = {};
    nid.cbSize = platform::window::kTrayRecordSize;
    nid.hWnd = d->hwnd();
    nid.uFlags = NIF_TIP;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &nid));
    SendMessageW(d->hwnd(), WM_COMMAND, 5555, 0);
    EXPECT_TRUE(IsWindowVisible(d->hwnd()));
    bool failedLine = false;
    for (const std::string& l : dialogLines()) failedLine = failedLine || l.compare(0, 25, "dialog: tray icon failed:") == 0;
    EXPECT_TRUE(failedLine);
    EXPECT_FALSE(logged("dialog: hidden to tray"));
    Shell_NotifyIconW(NIM_DELETE, &nid);
}

TEST_F(DialogTest, TaskbarCreatedLeavesExactlyOneIcon) {
    CMainDlg* d = openBlocked();
    SendMessageW(d->hwnd(), WM_COMMAND, 5555, 0);
    ASSERT_TRUE(trayIconExists());
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    SendMessageW(d->hwnd(), taskbarCreated, 0, 0);
    SendMessageW(d->hwnd(), taskbarCreated, 0, 0);
    NOTIFYICONDATAW nid = {};
    nid.cbSize = platform::window::kTrayRecordSize;
    nid.hWnd = d->hwnd();
    EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &nid));
}

// Finds the top-level window of a class that is visible.
HWND findVisible(const wchar_t* cls) {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, cls, nullptr)) != nullptr)
        if (IsWindowVisible(w)) return w;
    return nullptr;
}

// A key for the open menu, into its thread's queue, where the menu's loop reads
// it. Input through SendInput goes to whichever window of the shared desktop
// has the focus: lost, it left the menu (and the test) waiting for ever.
void pressMenuKey(HWND menuWindow, WORD vk) {
    PostMessageW(menuWindow, WM_KEYDOWN, vk, 1);
    PostMessageW(menuWindow, WM_KEYUP, vk, 0xC0000001);
}

TEST_F(DialogTest, TrayMenuOffersShowAndExitAndExitEndsTheRun) {
    CMainDlg* d = openBlocked();
    ASSERT_TRUE(g_loaderMutex.get() == nullptr);  // test programs hold no loader mutex
    SendMessageW(d->hwnd(), WM_COMMAND, 5555, 0);
    ASSERT_TRUE(trayIconExists());
    std::wstring first, second;
    int defaultItem = -2;
    std::atomic<bool> menuSeen{false};
    std::thread chooser([&] {
        for (int i = 0; i < 400; ++i) {
            HWND menuWindow = findVisible(L"#32768");
            if (menuWindow) {
                HMENU m = (HMENU)SendMessageW(menuWindow, MN_GETHMENU, 0, 0);
                wchar_t buf[64] = {};
                GetMenuStringW(m, 0, buf, 64, MF_BYPOSITION);
                first = buf;
                GetMenuStringW(m, 1, buf, 64, MF_BYPOSITION);
                second = buf;
                defaultItem = (int)GetMenuDefaultItem(m, TRUE, 0);
                menuSeen = true;
                Sleep(200);
                pressMenuKey(menuWindow, VK_DOWN);
                Sleep(100);
                pressMenuKey(menuWindow, VK_DOWN);
                Sleep(100);
                pressMenuKey(menuWindow, VK_RETURN);
                return;
            }
            Sleep(50);
        }
    });
    PostMessageW(d->hwnd(), kMsgTrayNotify, 0, WM_RBUTTONDOWN);
    const DWORD askedAt = GetTickCount();
    bool ended = pumpUntil([&] { return quit; }, 30000);
    chooser.join();
    ASSERT_TRUE(menuSeen);
    EXPECT_EQ(L"显示窗口", first);
    EXPECT_EQ(L"退出", second);
    EXPECT_EQ(0, defaultItem);
    ASSERT_TRUE(ended);
    (void)askedAt;
    EXPECT_TRUE(logged("dialog: tray menu"));
    EXPECT_TRUE(logged("dialog: exit from tray"));
    EXPECT_TRUE(d->closed());
    EXPECT_FALSE(IsWindow(d->hwnd()));
    NOTIFYICONDATAW nid = {};
    nid.cbSize = platform::window::kTrayRecordSize;
    nid.hWnd = d->hwnd();
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &nid));
    // The blocked run sees the cancel and ends by itself.
    installer->wait(10000);
    EXPECT_FALSE(installer->isBusy());
    std::vector<fakes::FakeOpRecord> records = engine().records();
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0].cancelSeen);
}

TEST_F(DialogTest, FailureBoxOkOpensTheSupportLinkAndCloses) {
    CMainDlg* d = openBlocked();
    BoxAnswerer box(d->hwnd(), IDOK);
    post(1, 2, -1, 0, L"安装失败");
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 30000));
    box.join();
    EXPECT_EQ(kFailureText, box.text);
    EXPECT_EQ(L"塔沃助手", box.title);
    ASSERT_EQ(1u, dialogtest::openedLinks().size());
    EXPECT_EQ(L"http://127.0.0.1:9/feedback", dialogtest::openedLinks()[0]);
    EXPECT_TRUE(logged("dialog: failure box"));
    EXPECT_TRUE(logged("dialog: failure box answer 1"));
    EXPECT_FALSE(IsWindow(d->hwnd()));
}

TEST_F(DialogTest, FailureBoxCancelRollsBackOnceTheFailedRunHasEnded) {
    // The install fails and lingers for 500 ms after its final record.
    engine().ops[1].events = {{1, 0, 0, 0, L"", L"安装"}, {1, 2, -1, 0, L"", L"安装失败"}};
    engine().ops[3].events = {{3, 0, 0, 0, L"", L"正在卸载"}, {3, 2, 0, 100, L"", L"卸载完成"}};
    engine().ops[1].block = true;
    MainDialogInputs in = inputs();
    in.runAction = ActionInstall;
    std::atomic<DWORD> boxAnsweredAt{0};
    std::unique_ptr<BoxAnswerer> box;
    open(in);
    box.reset(new BoxAnswerer(dialog->hwnd(), IDCANCEL, [&](HWND) { boxAnsweredAt = GetTickCount(); }));
    // The engine's own release: the failed run ends 500 ms after the box was answered.
    std::thread releaser([&] {
        for (int i = 0; i < 600 && !boxAnsweredAt; ++i) Sleep(50);
        Sleep(500);
        engine().release();
    });
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 40000));
    releaser.join();
    box->join();
    EXPECT_EQ(1, box->boxes.load());
    EXPECT_TRUE(logged("dialog: rollback started"));
    EXPECT_TRUE(logged("dialog: installer started (action 3)"));
    EXPECT_EQ(ActionRemove, installer->getAction());
    std::vector<fakes::FakeOpRecord> records = engine().records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(1, records[0].op);
    EXPECT_EQ(3, records[1].op);
    EXPECT_TRUE(dialogtest::openedLinks().empty());
    // The window showed again for the rollback.
    std::vector<std::string> lines = dialogLines();
    auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
    EXPECT_LT(at("dialog: rollback started"), at("dialog: installer started (action 3)"));
    EXPECT_LT(at("dialog: installer started (action 3)"), at("dialog: closed"));
}

// A failure record that comes while the rollback waits for the failed run opens
// no second box, whose OK would close the window and drop the rollback.
TEST_F(DialogTest, FailureRecordWhileTheRollbackWaitsChangesNothing) {
    engine().ops[1].events = {{1, 0, 0, 0, L"", L"安装"}, {1, 2, -1, 0, L"", L"安装失败"}};
    engine().ops[3].events = {{3, 0, 0, 0, L"", L"正在卸载"}, {3, 2, 0, 100, L"", L"卸载完成"}};
    engine().ops[1].block = true;
    open(inputs());
    std::unique_ptr<BoxAnswerer> first(new BoxAnswerer(dialog->hwnd(), IDCANCEL));
    ASSERT_TRUE(pumpUntil([&] { return logged("dialog: rollback started"); }, 30000));
    first->join();
    ASSERT_EQ(1, first->boxes.load());
    // The failed run still lingers in the engine.
    BoxAnswerer second(dialog->hwnd(), IDOK, nullptr, 3000);
    post(1, 2, -1, 0, L"安装失败");
    pumpFor(1000);
    EXPECT_FALSE(dialog->closed());
    engine().release();
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 30000));
    second.join();
    EXPECT_EQ(0, second.boxes.load());
    EXPECT_EQ(1, countLogged("dialog: failure box"));
    EXPECT_EQ(1, countLogged("dialog: installer started (action 3)"));
    EXPECT_TRUE(dialogtest::openedLinks().empty());
    std::vector<fakes::FakeOpRecord> records = engine().records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(1, records[0].op);
    EXPECT_EQ(3, records[1].op);
}

TEST_F(DialogTest, TwoFailureRecordsOpenOneBox) {
    CMainDlg* d = openBlocked();
    std::atomic<bool> secondPosted{false};
    BoxAnswerer box(d->hwnd(), IDOK, [&](HWND) {
        d->postInstallProgress(1, 2, -1, 0, L"", L"again");
        Sleep(300);  // the dialog handles it inside the open box
        secondPosted = true;
    });
    post(1, 2, -1, 0, L"安装失败");
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 30000));
    box.join();
    EXPECT_TRUE(secondPosted);
    EXPECT_EQ(1, countLogged("dialog: failure box"));
    EXPECT_EQ(1u, dialogtest::openedLinks().size());
}

// The loader's mutex for one case, as the start-up road holds it: the dialog
// marks its window with it, so a second loader finds the window.
class LoaderMutexForCase {
public:
    LoaderMutexForCase() {
        name_ = "TarvoDialogTest_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++count_);
        g_loaderMutex.reset(new NamedMutex(name_));
    }
    ~LoaderMutexForCase() { g_loaderMutex.reset(); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    static int count_;
};
int LoaderMutexForCase::count_ = 0;

// A second loader (instance_probe) started on another thread, which finds the
// running one by its mutex and brings its window forward; its exit code.
long runSecondLoader(const std::string& mutexName, const tst::TempDir& dir) {
    const std::wstring exe = dir.path() + L"\\TarvoLoader.exe";
    if (!CopyFileW((tst::binDir() + L"\\instance_probe.exe").c_str(), exe.c_str(), FALSE)) return -2000;
    if (!tst::writeFile(exe + L".cfg", "mutex=" + mutexName + "\nbring=1\n")) return -2001;
    return tst::runProgram(L"\"" + exe + L"\"", 30000);
}

TEST_F(DialogTest, HiddenRunShowsNoBoxUntilItWasOpened) {
    enum Showing { Never, FromTray, BySecondLoader };
    struct Case {
        const char* name;
        Showing showing;
    };
    const Case cases[] = {
        {"never shown", Never},
        {"opened from the tray", FromTray},
        {"brought forward by a second loader", BySecondLoader},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoaderMutexForCase mutex;
        engine().ops[2].block = true;
        MainDialogInputs in = inputs(L"TarvoLoader.exe --silent-upgrade");
        in.hiddenRun = true;
        in.runAction = ActionUpgrade;
        CMainDlg* d = open(in);
        ASSERT_TRUE(pumpUntil([&] { return d->picturesApplied() && engine().waitBlocked(0); }, 20000));
        EXPECT_FALSE(IsWindowVisible(d->hwnd()));
        if (c.showing == FromTray) {
            PostMessageW(d->hwnd(), kMsgTrayNotify, 0, WM_LBUTTONDOWN);
            ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(d->hwnd()) != FALSE; }, 5000));
        } else if (c.showing == BySecondLoader) {
            tst::TempDir dir(L"second");
            std::atomic<long> secondExit{-1000};
            std::atomic<bool> secondDone{false};
            // This thread keeps pumping: the window is shown through its own messages.
            std::thread second([&] {
                secondExit = runSecondLoader(mutex.name(), dir);
                secondDone = true;
            });
            const bool shown = pumpUntil([&] { return secondDone && IsWindowVisible(d->hwnd()) != FALSE; }, 40000);
            second.join();
            EXPECT_EQ(1, secondExit.load());  // the second loader leaves
            ASSERT_TRUE(shown);
        }
        BoxAnswerer box(d->hwnd(), IDOK, nullptr, 5000);
        post(2, 2, -1, 0, L"升级失败");
        ASSERT_TRUE(pumpUntil([&] { return quit; }, 20000));
        box.join();
        EXPECT_EQ(c.showing != Never ? 1 : 0, box.boxes.load());
        EXPECT_EQ(c.showing == Never, logged("dialog: no failure box in a hidden run"));
        TearDown();
        SetUp();
        quit = false;
    }
}

TEST_F(DialogTest, RedownloadStartsTheRunAgainOnlyAfterADownloadFailure) {
    // After a download failure, with the run ended: the run starts again.
    CMainDlg* d = openBlocked();
    post(0, 1, -1, 30);
    ASSERT_TRUE(pumpUntil([&] { return d->error() == -1; }, 5000));
    SendMessageW(d->hwnd(), WM_COMMAND, 5559, 0);  // the run still blocks
    EXPECT_TRUE(logged("dialog: redownload refused"));
    engine().release();
    installer->wait(10000);
    ASSERT_FALSE(installer->isBusy());
    engine().reset();
    engine().ops[1].block = true;
    SendMessageW(d->hwnd(), WM_COMMAND, 5559, 0);
    EXPECT_TRUE(logged("dialog: redownload started"));
    EXPECT_EQ(-1, d->stage());
    EXPECT_EQ(0, d->percent());
    EXPECT_EQ(kInstallStart, d->statusText());
    ASSERT_TRUE(pumpUntil([&] { return engine().waitBlocked(0); }, 10000));
    EXPECT_EQ(2, countLogged("dialog: installer started (action 1)"));

    // After a stage 1 record it is refused.
    post(1, 1, 0, 10, L"安装");
    ASSERT_TRUE(pumpUntil([&] { return d->stage() == 1; }, 5000));
    engine().release();
    installer->wait(10000);
    SendMessageW(d->hwnd(), WM_COMMAND, 5559, 0);
    EXPECT_EQ(2, countLogged("dialog: redownload refused"));
    EXPECT_EQ(2, countLogged("dialog: installer started (action 1)"));
}

TEST_F(DialogTest, SlidesRotateAndTryNowRestartsTheRotation) {
    dialogTimings().slideMs = 200;
    CMainDlg* d = openBlocked();
    EXPECT_EQ(0, d->slideIndex());
    post(1, 0, 0, 0, L"安装");
    std::vector<int> seen = {0};
    pumpUntil([&] {
        if (d->slideIndex() != seen.back()) seen.push_back(d->slideIndex());
        return seen.size() >= 4;
    }, 5000);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 0}), seen);

    // Try-now: a fresh 200 ms from the press.
    dialogTimings().slideMs = 1000;
    SendMessageW(d->hwnd(), WM_COMMAND, 5557, 0);
    const int at = d->slideIndex();
    pumpFor(600);
    EXPECT_EQ(at, d->slideIndex());
    ASSERT_TRUE(pumpUntil([&] { return d->slideIndex() != at; }, 3000));
}

TEST_F(DialogTest, HideTimerFiresOnce) {
    dialogTimings().hideMs = 200;
    CMainDlg* d = openBlocked();
    ASSERT_TRUE(pumpUntil([&] { return !IsWindowVisible(d->hwnd()); }, 5000));
    PostMessageW(d->hwnd(), kMsgTrayNotify, 0, WM_LBUTTONDOWN);
    pumpFor(800);
    EXPECT_TRUE(IsWindowVisible(d->hwnd()));
    EXPECT_EQ(1, countLogged("dialog: hidden to tray"));
}

}  // namespace
