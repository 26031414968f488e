// Runs the start-up road once with the real command line, the real installer
// thread and COM, scripted services and a scripted engine. Writes every
// recorded call, the engine's records and the exit code to <case>.out and
// exits with the road's code.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/startup.h"
#include "testing/fakes/fake_startup_services.h"

namespace {

bool readAll(const std::wstring& path, std::string& out) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return true;
}

bool writeAll(const std::wstring& path, const std::string& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t casePath[4096];
    DWORD n = GetEnvironmentVariableW(L"TARVO_ROAD_CASE", casePath, 4096);
    if (n == 0 || n >= 4096) return 3;
    const std::wstring outPath = std::wstring(casePath) + L".out";

    std::string text;
    if (!readAll(casePath, text)) return 3;

    static fakes::CallLog timeline;
    static fakes::FakeInstallerEnv env;
    static fakes::FakeStartupServices services(&timeline);
    std::string error;
    if (!fakes::loadStartupCase(text, services.script, env, error)) {
        writeAll(outPath, "case error: " + error + "\n");
        return 3;
    }
    env.timeline = &timeline;
    v2::setInstallerEnv(&env);

    const DWORD mainThread = GetCurrentThreadId();
    int rc = app::runStartupRoad(GetCommandLineW(), services);

    std::string out;
    for (const std::string& e : timeline.all()) out += e + "\n";
    for (const fakes::FakeOpRecord& r : env.records()) {
        char line[256];
        snprintf(line, sizeof line, "record(op=%d, engine=%d, mainThread=%d, com=0x%08lx, fired=%d, worker=%d, workerOwnThread=%d)\n",
                 r.op, (int)r.engine, r.threadId == mainThread ? 1 : 0, (unsigned long)r.coInit, r.fired,
                 r.firedByWorker, r.workerThreadId != 0 && r.workerThreadId != r.threadId ? 1 : 0);
        out += line;
    }
    out += "g_silent=" + std::to_string(g_silent ? 1 : 0) + " g_backinstall=" + std::to_string(g_backinstall ? 1 : 0) +
           " g_silent_upgrade=" + std::to_string(g_silent_upgrade ? 1 : 0) + "\n";
    out += "exit=" + std::to_string(rc) + "\n";
    writeAll(outPath, out);
    return rc;
}
