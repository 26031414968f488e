#include "platform/window/window.h"

#include <exception>

#include "toolkit/log_sink.h"

namespace platform {
namespace window {

bool registerDialogClass(HINSTANCE instance, const wchar_t* name) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (GetClassInfoExW(instance, name, &wc)) return true;
    wc = WNDCLASSEXW();
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExW(nullptr, L"#32770", &wc)) return false;
    wc.hInstance = instance;
    wc.lpszClassName = name;
    wc.hIcon = nullptr;
    wc.hIconSm = nullptr;
    if (RegisterClassExW(&wc)) return true;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

Dialog::Dialog() : hwnd_(nullptr) {}

Dialog::~Dialog() {
    // The procedure must never reach a destroyed object.
    if (hwnd_ && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
        DestroyWindow(hwnd_);
    }
}

HWND Dialog::create(HINSTANCE instance, UINT templateId, HWND parent) {
    HWND h = CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId), parent, &Dialog::dialogProc,
                                reinterpret_cast<LPARAM>(this));
    if (!h) {
        DWORD error = GetLastError();
        hwnd_ = nullptr;
        SetLastError(error);
    }
    return h;
}

void Dialog::destroy() {
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

namespace {

// Messages whose result the dialog procedure returns itself instead of DWLP_MSGRESULT.
bool returnsDirectly(UINT message) {
    switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

}  // namespace

INT_PTR CALLBACK Dialog::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        if (!self) return FALSE;
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!self) return FALSE;
    }

    LRESULT result = 0;
    bool handled = false;
    try {
        handled = self->processMessage(message, wParam, lParam, result);
    } catch (const std::exception& e) {
        ravel::log::printLine("window handler exception: %s", e.what());
        handled = true;
        result = 0;
    } catch (...) {
        ravel::log::printLine("window handler exception: %s", "unknown");
        handled = true;
        result = 0;
    }

    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->hwnd_ = nullptr;
    }
    if (!handled) return FALSE;
    if (returnsDirectly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void centerOnWorkArea(HWND hwnd) {
    RECT r;
    if (!GetWindowRect(hwnd, &r)) return;
    MONITORINFO mi = {};
    mi.cbSize = sizeof mi;
    HMONITOR monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
    RECT area;
    if (monitor && GetMonitorInfoW(monitor, &mi)) {
        area = mi.rcWork;
    } else if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
        return;
    }
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int x = area.left + ((area.right - area.left) - w) / 2;
    const int y = area.top + ((area.bottom - area.top) - h) / 2;
    SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void raiseOnce(HWND hwnd) {
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

}  // namespace window
}  // namespace platform
