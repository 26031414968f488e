// The window run of a visible loader.
#include <windows.h>
#include <objidl.h>
#include <commctrl.h>
#include <gdiplus.h>

#include "app/startup.h"
#include "app/ui/main_dialog.h"
#include "platform/window/message_loop.h"
#include "platform/window/window.h"

bool runMainWindow(v2::Installer& installer, const MainDialogInputs& inputs, UINT templateId) {
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_BAR_CLASSES;
    InitCommonControlsEx(&icc);
    Gdiplus::GdiplusStartupInput gdiplusInput;
    ULONG_PTR gdiplusToken = 0;
    const bool gdiplus = Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr) == Gdiplus::Ok;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    platform::window::registerDialogClass(instance, kMainDialogClass);

    platform::window::MessageLoop loop;
    CMainDlg dialog(installer, loop, inputs);
    if (!dialog.create(instance, templateId, nullptr)) {
        DWORD error = GetLastError();
        if (gdiplus) Gdiplus::GdiplusShutdown(gdiplusToken);
        SetLastError(error);
        return false;
    }
    installer.progressEvent().bind(&dialog, &CMainDlg::postInstallProgress);
    if (!inputs.hiddenRun) ShowWindow(dialog.hwnd(), SW_SHOWNORMAL);
    loop.run();
    installer.wait(INFINITE);
    installer.progressEvent().bindStatic(&app::ignoreInstallerProgress);
    if (gdiplus) Gdiplus::GdiplusShutdown(gdiplusToken);
    dialog.destroy();
    return true;
}
