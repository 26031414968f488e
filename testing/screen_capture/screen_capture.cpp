// Saves what the screen shows into a PNG file, for the loader's screenshot runs.
//   screen_capture.exe <out.png> [--window-class NAME] [--answer-failure-box cancel]
//   screen_capture.exe --serve
// With --window-class only that visible window's rectangle is saved. With
// --answer-failure-box cancel the box that a "TarvoLoaderDlg" window owns is then
// answered with Cancel, so a failing run goes on to its rollback unattended.
// Exit code 0, or 1 when there is nothing to capture (2 for wrong arguments).
// --serve takes one picture per line of its input at once, without a program start
// each time: "<cancel|-> <out.png>", answered "ok" or "failed"; "ready" comes first.
#include <windows.h>

#include <cstdio>
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

// 0 when the picture was saved, 1 when there was nothing to capture.
int capture(const std::wstring& out, const std::wstring& windowClass, bool answerCancel) {
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

int serve() {
    std::printf("ready\n");
    std::fflush(stdout);
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const size_t space = text.find(' ');
        if (space == std::string::npos) continue;
        const bool cancel = text.compare(0, space, "cancel") == 0;
        const std::string out = text.substr(space + 1);
        const int rc = capture(std::wstring(out.begin(), out.end()), std::wstring(), cancel);
        std::printf("%s\n", rc == 0 ? "ok" : "failed");
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"--serve") return serve();
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

    return capture(out, windowClass, answerCancel);
}
