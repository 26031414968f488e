// Saves what the screen shows into a PNG file, for the loader's screenshot runs.
//   screen_capture.exe <out.png> [--window-class NAME] [--answer-failure-box cancel]
// With --window-class only that visible window's rectangle is saved. With
// --answer-failure-box cancel the box that a "TarvoLoaderDlg" window owns is then
// answered with Cancel, so a failing run goes on to its rollback unattended.
// Exit code 0, or 1 when there is nothing to capture (2 for wrong arguments).
#include <windows.h>

#include <string>

#include "testing/support/image_compare.h"

namespace {

struct BoxSearch {
    HWND box = nullptr;
};

BOOL CALLBACK findFailureBox(HWND window, LPARAM arg) {
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (std::wstring(cls) != L"#32770" || !IsWindowVisible(window)) return TRUE;
    HWND owner = GetWindow(window, GW_OWNER);
    wchar_t ownerClass[64] = {};
    if (owner) GetClassNameW(owner, ownerClass, 64);
    if (std::wstring(ownerClass) != L"TarvoLoaderDlg") return TRUE;
    reinterpret_cast<BoxSearch*>(arg)->box = window;
    return FALSE;
}

HWND visibleWindowOfClass(const std::wstring& cls) {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, cls.c_str(), nullptr)) != nullptr)
        if (IsWindowVisible(w)) return w;
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring out = argv[1];
    std::wstring windowClass;
    bool answerCancel = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--window-class" && i + 1 < argc) {
            windowClass = argv[++i];
        } else if (a == L"--answer-failure-box" && i + 1 < argc && std::wstring(argv[i + 1]) == L"cancel") {
            answerCancel = true;
            ++i;
        } else {
            return 2;
        }
    }

    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    int rc = 0;
    if (!windowClass.empty()) {
        HWND w = visibleWindowOfClass(windowClass);
        if (!w || !GetWindowRect(w, &area)) rc = 1;
    }
    if (rc == 0) {
        tst::Image shot = tst::captureScreen(area);
        if (shot.width == 0 || !tst::writePng(out, shot)) rc = 1;
    }
    if (answerCancel) {
        BoxSearch search;
        EnumWindows(&findFailureBox, reinterpret_cast<LPARAM>(&search));
        if (search.box) PostMessageW(search.box, WM_COMMAND, IDCANCEL, 0);
    }
    return rc;
}
