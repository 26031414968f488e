// The shadow base passes every message on and makes no window of its own, on
// the dialog road (WM_INITDIALOG) and the plain-window road (WM_CREATE).
#include "app/ui/shadow.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct TestWindow : CShadowWnd<TestWindow> {
    int createCalls = 0;
    LONG_PTR procInHandler = 0;
    BOOL initResult = TRUE;
};

// Classes of the top-level windows of the calling thread other than `own`
// and the system's own.
std::vector<std::wstring> otherThreadWindows(HWND own) {
    struct Found {
        HWND own;
        std::vector<std::wstring> classes;
    } found = {own, {}};
    struct Enum {
        static BOOL CALLBACK each(HWND window, LPARAM param) {
            Found* f = reinterpret_cast<Found*>(param);
            if (window == f->own) return TRUE;
            wchar_t name[128] = {};
            GetClassNameW(window, name, 128);
            // The system's default IME window belongs to every thread with windows.
            if (std::wstring(name) != L"IME") f->classes.push_back(name);
            return TRUE;
        }
    };
    EnumThreadWindows(GetCurrentThreadId(), Enum::each, reinterpret_cast<LPARAM>(&found));
    return found.classes;
}

std::string classNames(const std::vector<std::wstring>& classes) {
    std::string text;
    for (const std::wstring& c : classes) text += std::string(c.begin(), c.end()) + " ";
    return text;
}

bool shadowClassExists() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    return GetClassInfoExW(GetModuleHandleW(nullptr), CWndShadow::kClassName, &wc) ||
           GetClassInfoExW(nullptr, CWndShadow::kClassName, &wc);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    TestWindow* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!self) return FALSE;
    LRESULT result = 0;
    if (self->processShadowMessage(dialog, message, wParam, lParam, result)) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
        return TRUE;
    }
    if (message == WM_INITDIALOG) {
        ++self->createCalls;
        self->procInHandler = GetWindowLongPtrW(dialog, GWLP_WNDPROC);
        return self->initResult;
    }
    return FALSE;
}

// A popup dialog template with one edit control that takes the tab stop.
std::vector<WORD> dialogTemplate() {
    std::vector<WORD> t;
    auto dword = [&t](DWORD v) {
        t.push_back(LOWORD(v));
        t.push_back(HIWORD(v));
    };
    // Hidden: showing would activate it, and activation moves the focus itself.
    dword(WS_POPUP);  // style
    dword(0);                      // extended style
    t.push_back(1);                // controls
    t.insert(t.end(), {0, 0, 100, 50});
    t.insert(t.end(), {0, 0, 0});  // menu, class, title
    while (t.size() % 2) t.push_back(0);
    dword(WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_LEFT);
    dword(0);
    t.insert(t.end(), {5, 5, 60, 12});
    t.push_back(100);  // id
    t.insert(t.end(), {0xFFFF, 0x0081});  // edit
    t.push_back(0);                       // no text
    t.push_back(0);                       // no creation data
    return t;
}

struct Observed {
    int createCalls = 0;
    bool procUnchanged = false;
    bool editHasFocus = false;
    std::vector<std::wstring> otherWindows;
    bool shadowClass = true;
};

void runDialog(BOOL initResult, Observed* out) {
    TestWindow window;
    window.initResult = initResult;
    std::vector<WORD> t = dialogTemplate();
    HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(t.data()),
                                             nullptr, dialogProc, reinterpret_cast<LPARAM>(&window));
    if (!dialog) return;
    out->createCalls = window.createCalls;
    out->procUnchanged = window.procInHandler == GetWindowLongPtrW(dialog, GWLP_WNDPROC);
    out->editHasFocus = GetFocus() == GetDlgItem(dialog, 100);
    out->otherWindows = otherThreadWindows(dialog);
    out->shadowClass = shadowClassExists();
    DestroyWindow(dialog);
}

TEST(ShadowBase, DialogRoadPassesInitDialogOn) {
    for (BOOL initResult : {TRUE, FALSE}) {
        SCOPED_TRACE(initResult);
        Observed seen;
        std::thread(runDialog, initResult, &seen).join();
        EXPECT_EQ(1, seen.createCalls);
        // The handler's answer decides the focus, as the dialog manager does.
        EXPECT_EQ(initResult == TRUE, seen.editHasFocus);
        EXPECT_TRUE(seen.procUnchanged);
        EXPECT_TRUE(seen.otherWindows.empty()) << classNames(seen.otherWindows);
        EXPECT_FALSE(seen.shadowClass);
    }
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
    TestWindow* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    LRESULT result = 0;
    if (self && self->processShadowMessage(window, message, wParam, lParam, result)) return result;
    if (self && message == WM_CREATE) {
        ++self->createCalls;
        self->procInHandler = GetWindowLongPtrW(window, GWLP_WNDPROC);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void runWindow(Observed* out) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ShadowTestWindow";
    RegisterClassW(&wc);
    TestWindow self;
    HWND window = CreateWindowExW(0, L"ShadowTestWindow", L"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 50, nullptr,
                                  nullptr, wc.hInstance, &self);
    if (!window) return;
    out->createCalls = self.createCalls;
    out->procUnchanged = self.procInHandler == GetWindowLongPtrW(window, GWLP_WNDPROC);
    out->otherWindows = otherThreadWindows(window);
    out->shadowClass = shadowClassExists();
    DestroyWindow(window);
}

TEST(ShadowBase, WindowRoadPassesCreateOn) {
    Observed seen;
    std::thread(runWindow, &seen).join();
    EXPECT_EQ(1, seen.createCalls);
    EXPECT_TRUE(seen.procUnchanged);
    EXPECT_TRUE(seen.otherWindows.empty()) << classNames(seen.otherWindows);
    EXPECT_FALSE(seen.shadowClass);
}

TEST(ShadowBase, PremultiplyColorTruncates) {
    const struct {
        COLORREF colour;
        BYTE alpha;
        DWORD pixel;
    } cases[] = {
        {RGB(200, 100, 50), 128, 0x00643219},
        {RGB(255, 255, 255), 255, 0x00FFFFFF},
        {RGB(1, 1, 1), 128, 0},  // the pictures' rounding would give 1
        {RGB(255, 0, 0), 150, 0x00960000},
        {RGB(0, 0, 255), 150, 0x00000096},
        {RGB(255, 255, 255), 0, 0},
        {RGB(12, 200, 99), 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.pixel, CWndShadow::premultiplyColor(c.colour, c.alpha)) << std::hex << c.colour;
}

}  // namespace
