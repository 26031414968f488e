// The product's own small window layer: a modeless dialog from a template with
// one static procedure, the dialog's window class, and window placement.
#pragma once

#include <windows.h>

namespace platform {
namespace window {

// Registers `name` as a copy of the system dialog class "#32770" without a class
// icon. Registering a name that is already registered is not an error.
bool registerDialogClass(HINSTANCE instance, const wchar_t* name);

// A modeless dialog made from a template resource. The procedure keeps the object
// in DWLP_USER from WM_INITDIALOG until WM_NCDESTROY and hands every message to
// processMessage; an exception never leaves the procedure.
class Dialog {
public:
    Dialog();
    virtual ~Dialog();

    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // The window, or null with GetLastError as the failed call left it.
    HWND create(HINSTANCE instance, UINT templateId, HWND parent);
    HWND hwnd() const { return hwnd_; }
    // DestroyWindow when the window still exists.
    void destroy();

protected:
    // True when handled; `result` then is the message's result.
    virtual bool processMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;

private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_;
};

// Centres the window on the work area of its nearest monitor.
void centerOnWorkArea(HWND hwnd);
// Brings the window to the top once: top-most, then not top-most, without moving or sizing it.
void raiseOnce(HWND hwnd);

}  // namespace window
}  // namespace platform
