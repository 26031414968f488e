#include "platform/window/window.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/window/message_loop.h"
#include "platform/window/message_map.h"
#include "platform/window/tray_icon.h"
#include "testing/support/test_support.h"
#include "testing/window_layer/window_layer_ids.h"

namespace {

using platform::window::Dialog;
using platform::window::MessageFilter;
using platform::window::MessageLoop;
using platform::window::MessageMap;
using platform::window::TrayIcon;

const UINT kMsgA = WM_APP + 1;
const UINT kMsgThrow = WM_APP + 2;
const UINT kMsgPassOn = WM_APP + 3;

// A dialog whose map records what each row saw.
class Probe : public Dialog {
public:
    std::vector<std::string> seen;
    UINT registeredNumber = 0;
    LRESULT initResult = 77;

    bool chainRow(HWND, UINT message, WPARAM, LPARAM, LRESULT&) {
        if (message == kMsgA || message == WM_NULL || message == WM_COMMAND || message == kMsgPassOn)
            seen.push_back("chain " + std::to_string(message));
        return false;
    }
    LRESULT onInit(UINT, WPARAM, LPARAM, bool&) { return initResult; }
    LRESULT onErase(UINT, WPARAM, LPARAM, bool&) { return 1; }
    LRESULT onA(UINT, WPARAM, LPARAM, bool&) {
        seen.push_back("a");
        return 5;
    }
    LRESULT onPassOnFirst(UINT, WPARAM, LPARAM, bool& handled) {
        seen.push_back("first");
        handled = false;
        return 1;
    }
    LRESULT onPassOnSecond(UINT, WPARAM, LPARAM, bool&) {
        seen.push_back("second");
        return 9;
    }
    LRESULT onRegistered(UINT message, WPARAM, LPARAM, bool&) {
        seen.push_back("registered " + std::to_string(message));
        return 0;
    }
    LRESULT onCommand7(UINT, WPARAM, LPARAM, bool&) {
        seen.push_back("command 7");
        return 0;
    }
    LRESULT onCommandCancel(UINT, WPARAM, LPARAM, bool&) {
        seen.push_back("cancel");
        return 0;
    }
    LRESULT onThrow(UINT, WPARAM, LPARAM, bool&) { throw std::runtime_error("boom"); }

protected:
    bool processMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
        static const MessageMap<Probe> map = MessageMap<Probe>()
            .chain(&Probe::chainRow)
            .message(WM_INITDIALOG, &Probe::onInit)
            .message(WM_ERASEBKGND, &Probe::onErase)
            .message(kMsgA, &Probe::onA)
            .message(kMsgPassOn, &Probe::onPassOnFirst)
            .message(kMsgPassOn, &Probe::onPassOnSecond)
            .registered(&Probe::registeredNumber, &Probe::onRegistered)
            .command(7, &Probe::onCommand7)
            .command(IDCANCEL, &Probe::onCommandCancel)
            .message(kMsgThrow, &Probe::onThrow);
        return map.dispatch(this, hwnd(), message, wParam, lParam, result);
    }
};

HINSTANCE self() { return GetModuleHandleW(nullptr); }

void drain() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

TEST(WindowLayerTest, MapRowsDispatchInOrder) {
    Probe p;
    ASSERT_TRUE(p.create(self(), IDD_LAYER_PLAIN, nullptr)) << GetLastError();
    HWND h = p.hwnd();

    // The chain sees the message before the row that takes it.
    EXPECT_EQ(5, SendMessageW(h, kMsgA, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"chain " + std::to_string(kMsgA), "a"}), p.seen);

    // A row that clears `handled` lets the next matching row answer.
    p.seen.clear();
    EXPECT_EQ(9, SendMessageW(h, kMsgPassOn, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"chain " + std::to_string(kMsgPassOn), "first", "second"}), p.seen);

    // A registered row whose number is still 0 never stands for WM_NULL.
    p.seen.clear();
    SendMessageW(h, WM_NULL, 0, 0);
    EXPECT_EQ((std::vector<std::string>{"chain 0"}), p.seen);
    p.registeredNumber = RegisterWindowMessageW(L"TarvoLayerTestMessage");
    p.seen.clear();
    SendMessageW(h, p.registeredNumber, 0, 0);
    EXPECT_EQ((std::vector<std::string>{"registered " + std::to_string(p.registeredNumber)}), p.seen);

    // Command rows match on the id alone.
    p.seen.clear();
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(8, 0), 0);
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(7, BN_CLICKED), 0);
    EXPECT_EQ((std::vector<std::string>{"chain 273", "chain 273", "command 7"}), p.seen);
    p.destroy();
    EXPECT_FALSE(IsWindow(h));
}

TEST(WindowLayerTest, UnhandledCloseEndsAsCancelAndNothingMore) {
    Probe p;
    ASSERT_TRUE(p.create(self(), IDD_LAYER_PLAIN, nullptr));
    SendMessageW(p.hwnd(), WM_CLOSE, 0, 0);
    drain();
    EXPECT_EQ((std::vector<std::string>{"chain 273", "cancel"}), p.seen);
    EXPECT_TRUE(IsWindow(p.hwnd()));
}

TEST(WindowLayerTest, InitDialogResultIsReturnedAndOthersGoThroughMsgResult) {
    Probe p;
    ASSERT_TRUE(p.create(self(), IDD_LAYER_PLAIN, nullptr));
    p.initResult = 42;
    EXPECT_EQ(42, SendMessageW(p.hwnd(), WM_INITDIALOG, 0, (LPARAM)&p));
    EXPECT_EQ(1, SendMessageW(p.hwnd(), WM_ERASEBKGND, 0, 0));
    EXPECT_EQ(1, GetWindowLongPtrW(p.hwnd(), DWLP_MSGRESULT));
    // The object is known from WM_INITDIALOG on, and forgotten at WM_NCDESTROY.
    EXPECT_EQ((LONG_PTR)&p, GetWindowLongPtrW(p.hwnd(), DWLP_USER));
    HWND h = p.hwnd();
    p.destroy();
    EXPECT_EQ(nullptr, p.hwnd());
    EXPECT_FALSE(IsWindow(h));
}

TEST(WindowLayerTest, ThrowingHandlerIsLoggedAndCountsAsHandled) {
    const std::wstring log = tst::ownLogPath();
    std::string before;
    tst::readFile(log, before);
    Probe p;
    ASSERT_TRUE(p.create(self(), IDD_LAYER_PLAIN, nullptr));
    EXPECT_EQ(0, SendMessageW(p.hwnd(), kMsgThrow, 0, 0));
    EXPECT_TRUE(IsWindow(p.hwnd()));
    std::string after;
    ASSERT_TRUE(tst::readFile(log, after));
    ASSERT_GE(after.size(), before.size());
    EXPECT_NE(std::string::npos, after.substr(before.size()).find("window handler exception: boom"));
}

TEST(WindowLayerTest, MissingTemplateFailsWithTheSystemsError) {
    Probe p;
    SetLastError(0);
    EXPECT_EQ(nullptr, p.create(self(), 9999, nullptr));
    EXPECT_EQ((DWORD)ERROR_RESOURCE_NAME_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, p.hwnd());
}

TEST(WindowLayerTest, DialogClassRegistersTwiceAndNamesTheWindow) {
    ASSERT_TRUE(platform::window::registerDialogClass(self(), L"TarvoLayerTestDlg"));
    ASSERT_TRUE(platform::window::registerDialogClass(self(), L"TarvoLayerTestDlg"));
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    ASSERT_TRUE(GetClassInfoExW(self(), L"TarvoLayerTestDlg", &wc));
    EXPECT_EQ(nullptr, wc.hIcon);
    Probe p;
    ASSERT_TRUE(p.create(self(), IDD_LAYER_CLASS, nullptr)) << GetLastError();
    wchar_t name[64] = {};
    GetClassNameW(p.hwnd(), name, 64);
    EXPECT_STREQ(L"TarvoLayerTestDlg", name);

    // 652 x 410 on the prefix's 1024 x 768 screen, whose work area is the whole screen.
    SetWindowPos(p.hwnd(), nullptr, 0, 0, 652, 410, SWP_NOMOVE | SWP_NOZORDER);
    platform::window::centerOnWorkArea(p.hwnd());
    platform::window::raiseOnce(p.hwnd());
    RECT r;
    GetWindowRect(p.hwnd(), &r);
    EXPECT_EQ(186, r.left);
    EXPECT_EQ(179, r.top);
    EXPECT_EQ(652, r.right - r.left);
    EXPECT_FALSE(GetWindowLongW(p.hwnd(), GWL_EXSTYLE) & WS_EX_TOPMOST);
}

// Loop

class TakeFilter : public MessageFilter {
public:
    UINT take = 0;
    int offered = 0;
    std::vector<int>* order = nullptr;
    int tag = 0;
    MessageLoop* loop = nullptr;
    MessageFilter* removeOnOffer = nullptr;
    bool preTranslate(MSG& msg) override {
        if (msg.message < WM_APP) return false;
        ++offered;
        if (order) order->push_back(tag);
        if (removeOnOffer && loop) loop->removeFilter(removeOnOffer);
        return msg.message == take;
    }
};

class CountingWindow : public Dialog {
public:
    int dispatched = 0;
    MessageLoop* loop = nullptr;
    MessageFilter* removeOnDispatch = nullptr;

protected:
    bool processMessage(UINT message, WPARAM, LPARAM, LRESULT& result) override {
        if (message < WM_APP) return false;
        ++dispatched;
        if (removeOnDispatch) loop->removeFilter(removeOnDispatch);
        if (message == WM_APP + 9) PostQuitMessage(23);
        result = 0;
        return true;
    }
};

TEST(WindowLayerTest, LoopOffersFiltersLastAddedFirstAndReturnsTheQuitCode) {
    CountingWindow w;
    ASSERT_TRUE(w.create(self(), IDD_LAYER_PLAIN, nullptr));
    MessageLoop loop;
    std::vector<int> order;
    TakeFilter first, second;
    first.order = second.order = &order;
    first.tag = 1;
    second.tag = 2;
    second.take = WM_APP + 5;  // taken: never dispatched
    loop.addFilter(&first);
    loop.addFilter(&second);
    PostMessageW(w.hwnd(), WM_APP + 5, 0, 0);
    PostMessageW(w.hwnd(), WM_APP + 6, 0, 0);
    PostMessageW(w.hwnd(), WM_APP + 9, 0, 0);
    EXPECT_EQ(23, loop.run());
    EXPECT_EQ(2, w.dispatched);  // WM_APP + 6 and + 9
    EXPECT_EQ((std::vector<int>{2, 2, 1, 2, 1}), order);
}

TEST(WindowLayerTest, FilterMayBeRemovedDuringDispatchOrWhileOffered) {
    CountingWindow w;
    ASSERT_TRUE(w.create(self(), IDD_LAYER_PLAIN, nullptr));
    MessageLoop loop;
    TakeFilter a, b;
    a.loop = &loop;
    a.removeOnOffer = &b;  // a is offered first and removes b before b sees anything
    loop.addFilter(&b);
    loop.addFilter(&a);
    w.loop = &loop;
    w.removeOnDispatch = &a;  // then the window removes a while dispatching
    PostMessageW(w.hwnd(), WM_APP + 6, 0, 0);
    PostMessageW(w.hwnd(), WM_APP + 7, 0, 0);
    PostMessageW(w.hwnd(), WM_APP + 9, 0, 0);
    EXPECT_EQ(23, loop.run());
    EXPECT_EQ(1, a.offered);
    EXPECT_EQ(0, b.offered);
    EXPECT_EQ(3, w.dispatched);
}

// Tray

TEST(WindowLayerTest, TrayRecordIsTheVersionThreeSize) {
#if defined(_WIN64)
    EXPECT_EQ(968u, platform::window::kTrayRecordSize);
#else
    EXPECT_EQ(952u, platform::window::kTrayRecordSize);
#endif
    TrayIcon t;
    EXPECT_EQ(platform::window::kTrayRecordSize, t.data().cbSize);
    EXPECT_EQ(0u, t.data().uID);
}

TEST(WindowLayerTest, TrayTextsAreCutWithoutSplittingAPair) {
    struct Case {
        size_t pairAt;     // index of the high surrogate, or npos
        size_t length;
        size_t capacity;
        size_t expected;  // characters kept
    };
    const Case cases[] = {
        {126, 200, 128, 126},                 // the pair would straddle the cut: both halves go
        {125, 200, 128, 127},                 // the pair fits whole
        {std::wstring::npos, 200, 128, 127},  // plain text: 127 and the terminator
        {std::wstring::npos, 10, 128, 10},
        {254, 300, 256, 254},
        {62, 80, 64, 62},
    };
    for (const Case& c : cases) {
        std::wstring text(c.length, L'a');
        if (c.pairAt != std::wstring::npos) {
            text[c.pairAt] = 0xD83D;
            text[c.pairAt + 1] = 0xDE00;
        }
        std::vector<wchar_t> field(c.capacity, L'#');
        TrayIcon::copyField(field.data(), c.capacity, text);
        EXPECT_EQ(c.expected, wcslen(field.data())) << c.pairAt << " " << c.capacity;
        EXPECT_EQ(0, wmemcmp(field.data(), text.data(), c.expected));
    }
}

TEST(WindowLayerTest, TrayAddTwiceFailsAndRemoveWorksOnce) {
    CountingWindow w;
    ASSERT_TRUE(w.create(self(), IDD_LAYER_PLAIN, nullptr));
    HICON icon = LoadIconW(nullptr, IDI_APPLICATION);
    TrayIcon t;
    ASSERT_TRUE(t.add(w.hwnd(), WM_APP + 20, icon, L"tip"));
    EXPECT_EQ(L"tip", t.tip());
    TrayIcon again;
    EXPECT_FALSE(again.add(w.hwnd(), WM_APP + 20, icon, L"tip"));
    EXPECT_TRUE(t.balloon(L"text", L"", NIIF_INFO, 200));
    EXPECT_TRUE(t.remove());
    EXPECT_FALSE(t.remove());
}

}  // namespace
