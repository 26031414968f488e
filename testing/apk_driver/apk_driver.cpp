// Runs one APK install with ApkInstaller::instance() and writes its outcome as
// "key=value" lines, then returns from main (the installer is stopped at exit).
// usage: apk_driver <result-file> --adb-port N [--output-ms N]
//                   install <apk> <timeoutMs> [--delete-after] [--app-id ID]
// Keys: result, elapsed_ms, notify_count, notify_<i> = "<id> <status> <result>".
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/apk_installer.h"
#include "toolkit/string_util.h"

namespace {

std::vector<std::string> g_events;
CRITICAL_SECTION g_eventsLock;

void onNotify(const ApkInstaller*, const ravel::object::smart_ptr<ApkInstaller::Notify>& n) {
    EnterCriticalSection(&g_eventsLock);
    g_events.push_back(wideToUtf8(n->id) + " " + std::to_string(n->status) + " " + std::to_string(n->result));
    LeaveCriticalSection(&g_eventsLock);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    InitializeCriticalSection(&g_eventsLock);
    std::wstring resultFile = argv[1];
    int i = 2;
    for (; i + 1 < argc && std::wstring(argv[i]).compare(0, 2, L"--") == 0; i += 2) {
        std::wstring opt = argv[i];
        int value = _wtoi(argv[i + 1]);
        if (opt == L"--adb-port") adb::settings().defaultServerPort = value;
        else if (opt == L"--output-ms") adb::settings().outputTimeoutMs = value;
        else return 2;
    }
    if (i + 3 > argc || std::wstring(argv[i]) != L"install") return 2;
    std::wstring apk = argv[i + 1];
    int32_t timeoutMs = (int32_t)wcstol(argv[i + 2], nullptr, 10);
    bool deleteAfter = false;
    std::wstring appId;
    for (int k = i + 3; k < argc; ++k) {
        std::wstring opt = argv[k];
        if (opt == L"--delete-after") deleteAfter = true;
        else if (opt == L"--app-id" && k + 1 < argc) appId = argv[++k];
        else return 2;
    }

    ApkInstaller& installer = ApkInstaller::instance();
    ApkInstaller::Notifier::delegate_type listener;
    listener.bindStatic(&onNotify);
    installer.notifier.connect(listener);
    ULONGLONG started = GetTickCount64();
    int32_t result;
    if (appId.empty()) {
        result = installer.installApk(apk, deleteAfter, timeoutMs);
    } else {
        AppInfo app;
        app.id = appId;
        app.package = appId;
        app.apkPath = apk;
        result = installer.installApp(app, deleteAfter, timeoutMs);
    }
    ULONGLONG elapsed = GetTickCount64() - started;
    installer.notifier.disconnect(listener);

    std::string text = "result=" + std::to_string(result) + "\nelapsed_ms=" + std::to_string(elapsed) + "\n";
    EnterCriticalSection(&g_eventsLock);
    text += "notify_count=" + std::to_string(g_events.size()) + "\n";
    for (size_t k = 0; k < g_events.size(); ++k) text += "notify_" + std::to_string(k) + "=" + g_events[k] + "\n";
    LeaveCriticalSection(&g_eventsLock);
    FILE* f = _wfopen(resultFile.c_str(), L"wb");
    if (!f) return 3;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return 0;
}
