// Test-only window program for the single-instance and notification tests.
//
//   window_fixture.exe [--mutex <name>] [--empty-dacl] [--title <text>] [--mark]
//                      [--minimized] [--record <file>] [--hung] [--event <name>]
//                      [--ready <name>] [--limit <ms>]
//
// It holds the named mutex (with an empty DACL when asked), creates a top-level window
// (titled, marked with SetPropA(<mutex name>, 1), minimised as asked), records every
// WM_COPYDATA as "dwData=<n> cbData=<n> data=<hex>\n" (after sleeping 30 s in --hung
// mode), sets the --ready event once the window exists, and exits when the --event is
// signalled or after --limit ms (default 60000).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::wstring g_record;
bool g_hung = false;

std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += static_cast<char>(c);  // names are ASCII
    return s;
}

void appendRecord(const std::string& line) {
    HANDLE f = CreateFileW(g_record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COPYDATA) {
        if (g_hung) Sleep(30000);
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        char head[96];
        snprintf(head, sizeof head, "dwData=%llu cbData=%lu data=",
                 static_cast<unsigned long long>(data->dwData), static_cast<unsigned long>(data->cbData));
        std::string line = head;
        const unsigned char* bytes = static_cast<const unsigned char*>(data->lpData);
        for (DWORD i = 0; bytes && i < data->cbData && i < 64; ++i) {
            char hex[4];
            snprintf(hex, sizeof hex, "%02x", bytes[i]);
            line += hex;
        }
        line += "\n";
        if (!g_record.empty()) appendRecord(line);
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    std::wstring mutexName, title, eventName, readyName;
    // Tests that look a window up by its class give each fixture a class of its own,
    // beginning with this one.
    std::wstring className = L"TarvoTestWindowFixture";
    bool emptyDacl = false, mark = false, minimized = false;
    DWORD limit = 60000;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring a = argv[i];
        bool v = i + 1 < argc;
        if (a == L"--mutex" && v) mutexName = argv[++i];
        else if (a == L"--empty-dacl") emptyDacl = true;
        else if (a == L"--title" && v) title = argv[++i];
        else if (a == L"--class" && v) className = argv[++i];
        else if (a == L"--mark") mark = true;
        else if (a == L"--minimized") minimized = true;
        else if (a == L"--record" && v) g_record = argv[++i];
        else if (a == L"--hung") g_hung = true;
        else if (a == L"--event" && v) eventName = argv[++i];
        else if (a == L"--ready" && v) readyName = argv[++i];
        else if (a == L"--limit" && v) limit = wcstoul(argv[++i], nullptr, 10);
    }

    HANDLE mutex = nullptr;
    if (!mutexName.empty()) {
        SECURITY_DESCRIPTOR sd;
        ACL acl;
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
        if (emptyDacl) {
            InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
            InitializeAcl(&acl, sizeof acl, ACL_REVISION);
            SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE);
            sa.lpSecurityDescriptor = &sd;
        }
        mutex = CreateMutexA(emptyDacl ? &sa : nullptr, TRUE, narrow(mutexName).c_str());
    }

    WNDCLASSW wc = {};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = className.c_str();
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 100, 100, 300, 200,
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd) return 2;
    if (mark && !mutexName.empty()) SetPropA(hwnd, narrow(mutexName).c_str(), reinterpret_cast<HANDLE>(1));
    ShowWindow(hwnd, minimized ? SW_SHOWMINIMIZED : SW_SHOW);
    UpdateWindow(hwnd);

    HANDLE quit = eventName.empty() ? nullptr : CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    if (!readyName.empty()) {
        HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str());
        if (ready) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }

    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= limit) break;
        DWORD r = MsgWaitForMultipleObjects(quit ? 1 : 0, quit ? &quit : nullptr, FALSE, limit - spent,
                                            QS_ALLINPUT);
        if (quit && r == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(hwnd);
    if (mutex) CloseHandle(mutex);
    return 0;
}
