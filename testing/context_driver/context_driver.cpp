// Runs one engine-context scenario and writes "key=value" lines to the result
// file, then the log lines written meanwhile as log_<i>.
// usage: context_driver <result-file> [--adb-port N] [--request-ms N] <scenario> [arguments]
//   registry | find <name> | current | running | launch <arguments|-> <headless 0|1>
//   install-app <id> <apk> <timeoutMs> | install-apk <apk> <timeoutMs>
//   start-app <package> <activity|-> [headless] | launch-by-id <id>
//   app-installed <id> | package-installed <package> | manifest <apk>
// A "--vmid X" (and "/restart") anywhere reaches getCurrentContext as the loader reads it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/apk_manifest.h"
#include "installer/engine_context.h"
#include "services/loader_env.h"
#include "toolkit/string_util.h"

using ravel::object::smart_ptr;

namespace {

std::string text(const std::wstring& w) { return wideToUtf8(w); }

std::string nameOf(const smart_ptr<Context>& c) { return c.get() ? text(c->getName()) : "none"; }

std::wstring logPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring name = self;
    name = name.substr(name.find_last_of(L'\\') + 1);
    name = name.substr(0, name.rfind(L'.'));
    return getLogFolder() + L"\\" + name + L".log";
}

long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

std::string readFrom(const std::wstring& path, long long offset) {
    std::string out;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return out;
    _fseeki64(f, offset, SEEK_SET);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    fclose(f);
    return out;
}

smart_ptr<Context> vbox() { return findContext(L"vbox_1"); }

int run(const std::vector<std::wstring>& a, std::string& out) {
    auto put = [&](const std::string& key, const std::string& value) { out += key + "=" + value + "\n"; };
    auto num = [&](const std::string& key, long long value) { put(key, std::to_string(value)); };
    const std::wstring& scenario = a[0];
    auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::wstring(); };
    if (scenario == L"registry") {
        std::string names;
        for (const smart_ptr<Context>& c : getContexts()) {
            names += (names.empty() ? "" : ",") + text(c->getName());
            put("serial_" + text(c->getName()), text(c->getAdbSerial()));
            num("engine_" + text(c->getName()), (int)c->engine);
        }
        put("names", names);
        return 0;
    }
    if (scenario == L"find") {
        put("found", nameOf(findContext(arg(1))));
        return 0;
    }
    if (scenario == L"current") {
        // Threads ask at once before the cache is filled.
        std::vector<smart_ptr<Context>> answers(8);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < answers.size(); ++i) threads.emplace_back([&answers, i] { answers[i] = getCurrentContext(); });
        for (std::thread& t : threads) t.join();
        bool same = true;
        for (const smart_ptr<Context>& c : answers) same = same && c.get() == answers[0].get();
        num("threads_same", same ? 1 : 0);
        smart_ptr<Context> first = getCurrentContext();
        smart_ptr<Context> second = getCurrentContext();
        put("first", nameOf(first));
        put("second", nameOf(second));
        num("same_object", first.get() == second.get() && first.get() == answers[0].get() ? 1 : 0);
        return 0;
    }
    smart_ptr<Context> c = vbox();
    if (!c.get()) {
        put("error", "no vbox_1");
        return 0;
    }
    const DWORD t0 = GetTickCount();
    if (scenario == L"running") {
        num("running", c->isRunning() ? 1 : 0);
    } else if (scenario == L"running-for") {
        // Asks again and again for arg(1) ms, so that a watcher can look in between.
        const DWORD ms = (DWORD)wcstoul(arg(1).c_str(), nullptr, 10);
        long long probes = 0, running = 0;
        while (GetTickCount() - t0 < ms) {
            running += c->isRunning() ? 1 : 0;
            ++probes;
        }
        num("probes", probes);
        num("running", running);
    } else if (scenario == L"launch") {
        c->headless = arg(2) == L"1";
        num("result", c->launch(arg(1) == L"-" ? std::wstring() : arg(1)));
    } else if (scenario == L"install-app" || scenario == L"install-apk") {
        const bool isApp = scenario == L"install-app";
        const std::wstring apk = arg(isApp ? 2 : 1);
        const uint32_t timeoutMs = (uint32_t)wcstoul(arg(isApp ? 3 : 2).c_str(), nullptr, 10);
        int result;
        if (isApp) {
            AppInfo app;
            app.id = arg(1);
            app.apkPath = apk;
            readApkManifest(apk, app.package);
            put("package", text(app.package));
            result = c->installApp(app, false, timeoutMs);
        } else {
            result = c->installApk(apk, false, timeoutMs);
        }
        num("result", result);
        num("headless", c->headless ? 1 : 0);
    } else if (scenario == L"start-app") {
        // "headless": as after a headless launch of this context object.
        if (arg(3) == L"headless") c->headless = true;
        num("result", c->startApp(arg(1), arg(2) == L"-" ? std::wstring() : arg(2)));
    } else if (scenario == L"launch-by-id") {
        num("result", c->launchAppById(arg(1)));
    } else if (scenario == L"app-installed") {
        num("installed", c->isAppInstalled(arg(1)) ? 1 : 0);
    } else if (scenario == L"package-installed") {
        num("installed", c->isPackageInstalled(arg(1)) ? 1 : 0);
    } else if (scenario == L"manifest") {
        std::wstring package = L"-";
        put("activity", text(readApkManifest(arg(1), package)));
        put("package", text(package));
    } else {
        return 2;
    }
    num("elapsed_ms", (long long)(GetTickCount() - t0));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const std::wstring resultFile = argv[1];
    std::vector<std::wstring> a;
    for (int i = 2; i < argc; ++i) {
        const std::wstring w = argv[i];
        if (w == L"--vmid") {
            ++i;  // read by getCurrentContext from the command line itself
        } else if (w == L"/restart") {
        } else if (a.empty() && (w == L"--adb-port" || w == L"--request-ms") && i + 1 < argc) {
            const int value = _wtoi(argv[++i]);
            if (w == L"--adb-port")
                adb::settings().defaultServerPort = value;
            else
                adb::settings().requestTimeoutMs = value;
        } else {
            a.push_back(w);
        }
    }
    if (a.empty()) return 2;
    const std::wstring log = logPath();
    const long long logStart = fileSize(log);
    std::string out;
    const int rc = run(a, out);
    if (rc != 0) return rc;
    std::string logged = readFrom(log, logStart);
    int n = 0;
    for (size_t start = 0; start < logged.size();) {
        size_t end = logged.find('\n', start);
        if (end == std::string::npos) end = logged.size();
        std::string line = logged.substr(start, end - start);
        const size_t stamp = line.find(", , ");
        if (stamp != std::string::npos) line = line.substr(stamp + 4);
        out += "log_" + std::to_string(n++) + "=" + line + "\n";
        start = end + 1;
    }
    FILE* f = _wfopen(resultFile.c_str(), L"wb");
    if (!f) return 3;
    fwrite(out.data(), 1, out.size(), f);
    fclose(f);
    return 0;
}
