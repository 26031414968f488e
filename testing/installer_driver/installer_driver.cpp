// Runs one installer action the way the loader does: loads the channel
// configuration, installs the product's installer environment (the real engine
// implementations), sets the action, records every progress event with the
// thread it came from, starts the installer thread and waits at most 600 s.
// The case file is named by TARVO_ROAD_CASE; the record goes to that name
// + ".out" and the driver exits with the action's result.
//
// Case keys (key=value lines):
//   action         download, install, upgrade, remove, fix or 0..4
//   cancelAfterMs  cancel the run this long after its start
//   stallLimitMs   the downloader's stall limit
//   cpu.vendor, cpu.vmx, cpu.ssse3   the processor facts
//   os.major, os.wow64               the Windows major version and WOW64
//   dotnet         1/0: whether the .NET runtime binds
//   qv.setupMs, qv.dotnetMs, qv.helperServiceMs, qv.progressMs   the Qv install's limits
//   qv.apkHandlerMs                  the limit of the Qv engine's APK handler
//   interactive    1: a window run (the setup-failure box is recorded, not shown)
//   download       a scripted Qv download in place of the real one: "fail" (-1),
//                  "nothing" (2), "nopkg" (an ini without an engine package or app)
//                  or "keep" (0, the test's own ini left as it is)
//   apkHandler     "throw": the Qv engine's APK handler throws after 300 ms
//   settleMs       wait this long after the run before the record is written
//   installed      "vbox" or "qv": the installed engine as the checks see it
//   cpu.fault      1: every processor query throws
//   ini.<key>      after the real Qv download, [qv_download] <key> is set to the value
//   download=vboxpkg  a scripted VBox download whose engine package (in the
//                  download folder) is no zip, so that the engine install fails at once
//
// The VirtualBox manager gets pages of its own, made inaccessible when it is
// deleted: a later touch ends the driver with exit code 77 (freed memory used).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/channel_config.h"
#include "installer/downloader.h"
#include "installer/engine_download.h"
#include "installer/installer.h"
#include "installer/installer_product_env.h"
#include "installer/installer_qv_impl.h"
#include "installer/qv_control.h"
#include "installer/installer_vbox_impl.h"
#include "installer/vbox_manager.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/system_checks.h"
#include "testing/startup_driver/loopback_guard.h"
#include "testing/startup_driver/road_driver.h"
#include "toolkit/string_util.h"
#include "services/log.h"
#include "toolkit/log_sink.h"
#include "services/seams.h"
#include "installer/seams.h"

namespace {

// Blocks of one object size on pages of their own; a deleted one stays reserved
// and inaccessible.
struct GuardedBlock {
    void* at;
    size_t size;
};
const LONG kMaxGuarded = 8;
GuardedBlock g_guarded[kMaxGuarded];
std::atomic<LONG> g_guardedCount{0};
std::atomic<size_t> g_guardSize{0};  // while not 0, objects of this size are guarded
const UINT kTouchedFreedMemory = 77;

void* guardedAlloc(size_t size) {
    const LONG slot = g_guardedCount.fetch_add(1);
    if (slot >= kMaxGuarded) return nullptr;
    void* p = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    g_guarded[slot] = {p, size};
    return p;
}

bool guardedFree(void* p) {
    const LONG count = std::min(g_guardedCount.load(), kMaxGuarded);
    for (LONG i = 0; i < count; ++i) {
        if (g_guarded[i].at != p) continue;
        DWORD old = 0;
        VirtualProtect(p, g_guarded[i].size, PAGE_NOACCESS, &old);
        return true;
    }
    return false;
}

LONG WINAPI onAccessViolation(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const ULONG_PTR address = r->ExceptionInformation[1];
    const LONG count = std::min(g_guardedCount.load(), kMaxGuarded);
    for (LONG i = 0; i < count; ++i) {
        const ULONG_PTR at = reinterpret_cast<ULONG_PTR>(g_guarded[i].at);
        if (at && address >= at && address < at + g_guarded[i].size) TerminateProcess(GetCurrentProcess(), kTouchedFreedMemory);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

bool writeAll(const std::wstring& path, const std::string& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return true;
}

struct Event {
    int stage, state, error;
    float percent;
    std::wstring detail, message;
    DWORD thread;
};

class EventRecorder {
public:
    void onProgress(int stage, int state, int error, float percent, const std::wstring& detail,
                    const std::wstring& message) {
        ravel::system::ScopedLock guard(lock);
        events.push_back({stage, state, error, percent, detail, message, GetCurrentThreadId()});
    }
    std::vector<Event> all() {
        ravel::system::ScopedLock guard(lock);
        return events;
    }

private:
    ravel::system::Lock lock;
    std::vector<Event> events;
};

bool parseInt(const std::string& text, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = strtol(text.c_str(), &end, 10);
    return end && *end == 0;
}

uint32_t reg(const std::string& vendor, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= (uint32_t)(unsigned char)vendor[at + i] << (8 * i);
    return v;
}

struct Case {
    int action = ActionDownload;
    long cancelAfterMs = -1;
    long stallLimitMs = -1;
    std::string vendor;
    long vmx = -1, ssse3 = -1, osMajor = -1, wow64 = -1, dotnet = -1;
    long setupMs = -1, dotnetMs = -1, helperServiceMs = -1, progressMs = -1;
    long apkHandlerMs = -1;
    bool interactive = false;
    std::string download;
    std::map<std::string, std::string> iniValues;  // [qv_download] key -> value
    std::string apkHandler, installed;
    long settleMs = -1;
    bool cpuFault = false;
};

bool readCase(const std::string& text, Case& c, std::string& error) {
    for (const std::string& raw : roadtest::splitLines(text)) {
        if (raw.empty() || raw[0] == '#') continue;
        const size_t eq = raw.find('=');
        const std::string key = raw.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : raw.substr(eq + 1);
        long n = 0;
        bool ok = true;
        if (key == "action") {
            static const char* const names[] = {"download", "install", "upgrade", "remove", "fix"};
            ok = false;
            for (int i = 0; i < 5; ++i)
                if (value == names[i] || value == std::to_string(i)) c.action = i, ok = true;
        } else if (key == "cancelAfterMs") {
            ok = parseInt(value, c.cancelAfterMs);
        } else if (key == "stallLimitMs") {
            ok = parseInt(value, c.stallLimitMs) && c.stallLimitMs > 0;
        } else if (key == "cpu.vendor") {
            ok = value.size() == 12;
            c.vendor = value;
        } else if (key == "cpu.vmx" || key == "cpu.ssse3" || key == "os.wow64" || key == "dotnet") {
            ok = parseInt(value, n) && (n == 0 || n == 1);
            (key == "cpu.vmx" ? c.vmx : key == "cpu.ssse3" ? c.ssse3 : key == "os.wow64" ? c.wow64 : c.dotnet) = n;
        } else if (key == "os.major") {
            ok = parseInt(value, c.osMajor) && c.osMajor >= 0;
        } else if (key == "qv.setupMs" || key == "qv.dotnetMs" || key == "qv.helperServiceMs" ||
                   key == "qv.progressMs") {
            long& limit = key == "qv.setupMs"    ? c.setupMs
                          : key == "qv.dotnetMs" ? c.dotnetMs
                          : key == "qv.helperServiceMs" ? c.helperServiceMs
                                                        : c.progressMs;
            ok = parseInt(value, limit) && limit > 0;
        } else if (key == "qv.apkHandlerMs") {
            ok = parseInt(value, c.apkHandlerMs) && c.apkHandlerMs > 0;
        } else if (key == "interactive") {
            ok = value == "0" || value == "1";
            c.interactive = value == "1";
        } else if (key.compare(0, 4, "ini.") == 0) {
            ok = key.size() > 4;
            c.iniValues[key.substr(4)] = value;
        } else if (key == "download") {
            ok = value == "fail" || value == "nothing" || value == "nopkg" || value == "keep" ||
                 value == "vboxpkg";
            c.download = value;
        } else if (key == "apkHandler") {
            ok = value == "throw";
            c.apkHandler = value;
        } else if (key == "settleMs") {
            ok = parseInt(value, c.settleMs) && c.settleMs >= 0;
        } else if (key == "installed") {
            ok = value == "vbox" || value == "qv";
            c.installed = value;
        } else if (key == "cpu.fault") {
            ok = value == "1";
            c.cpuFault = true;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad case line: " + raw;
            return false;
        }
    }
    return true;
}

bool throwingApkHandler(const std::wstring&, bool) {
    Sleep(300);
    throw std::runtime_error("apk handler failed");
}

void applySeams(const Case& c) {
    if (!c.vendor.empty() || c.vmx >= 0 || c.ssse3 >= 0) {
        const CpuFacts real = realCpuFacts();
        CpuFacts facts;
        const std::string vendor = c.vendor;
        facts.leaf0 = [vendor, real]() {
            CpuidLeaf0 leaf = real.leaf0();
            if (!vendor.empty()) {
                leaf.ebx = reg(vendor, 0);
                leaf.edx = reg(vendor, 4);
                leaf.ecx = reg(vendor, 8);
                if (leaf.maxLeaf < 1) leaf.maxLeaf = 1;
            }
            return leaf;
        };
        const long vmx = c.vmx, ssse3 = c.ssse3;
        facts.leaf1Ecx = [vmx, ssse3, real]() {
            uint32_t ecx = real.leaf1Ecx();
            if (vmx >= 0) ecx = vmx ? (ecx | (1u << 5)) : (ecx & ~(1u << 5));
            if (ssse3 >= 0) ecx = ssse3 ? (ecx | (1u << 9)) : (ecx & ~(1u << 9));
            return ecx;
        };
        setCpuFactsForTests(facts);
    }
    if (c.osMajor >= 0 || c.wow64 >= 0) {
        const long major = c.osMajor, wow64 = c.wow64;
        v2::setOsFactsForTests([major, wow64]() {
            v2::OsFacts facts = v2::realOsFacts();
            if (major >= 0) {
                facts.versionKnown = true;
                facts.major = (DWORD)major;
            }
            if (wow64 >= 0) facts.wow64 = wow64 == 1;
            return facts;
        });
    }
    if (c.cpuFault) {
        CpuFacts facts;
        facts.leaf0 = []() -> CpuidLeaf0 { throw std::runtime_error("processor query failed"); };
        facts.leaf1Ecx = []() -> uint32_t { throw std::runtime_error("processor query failed"); };
        setCpuFactsForTests(facts);
    }
    if (!c.installed.empty()) {
        const EngineKind kind = c.installed == "vbox" ? EngineKind::VBox : EngineKind::Qv;
        setInstalledEngineForTests([kind]() { return std::optional<EngineKind>(kind); });
    }
    if (c.apkHandler == "throw") v2::setQvApkHandlerForTests(&throwingApkHandler);
    if (c.dotnet >= 0) {
        const bool binds = c.dotnet == 1;
        setDotNetBinderForTests([binds](const std::wstring&) { return binds; });
    }
    if (c.stallLimitMs > 0) downloaderLimits().stallMs = (uint32_t)c.stallLimitMs;
    // No case is about the ramp's pace (the downloader's own tests are): a failed
    // batch would otherwise wait ten seconds on its way to 100.
    downloaderLimits().rampStepMs = 5;
    v2::QvInstallLimits& limits = v2::qvInstallLimits();
    if (c.setupMs > 0) limits.setupMs = (DWORD)c.setupMs;
    if (c.dotnetMs > 0) limits.dotnetMs = (DWORD)c.dotnetMs;
    if (c.helperServiceMs > 0) limits.helperServiceMs = (DWORD)c.helperServiceMs;
    if (c.progressMs > 0) limits.progressPeriodMs = (DWORD)c.progressMs;
    if (c.apkHandlerMs > 0) qvToolLimits().apkHandlerMs = (DWORD)c.apkHandlerMs;
}

// The boxes a window run showed.
std::string g_boxes;
int recordBox(const std::wstring& text, const std::wstring& caption, UINT style) {
    g_boxes += "box " + wideToUtf8(text) + "|" + wideToUtf8(caption) + "|" + std::to_string(style) + "\n";
    return IDOK;
}

// The start-menu web-site links the run made.
std::string g_urlShortcuts;
void recordUrlShortcut(const std::wstring& folder, const std::wstring& name, const std::wstring& url) {
    g_urlShortcuts += "urlshortcut " + wideToUtf8(folder) + "|" + wideToUtf8(name) + "|" + wideToUtf8(url) + "\n";
}

// The Qv engine with a scripted download, so that the install runs alone on
// what the script left: the download's own final event, then its result.
class ScriptedQvImpl : public v2::InstallerQvImpl {
public:
    ScriptedQvImpl(v2::Installer* owner, const Case& c) : InstallerQvImpl(owner), script_(c.download), iniValues_(c.iniValues) {}
    int download() override {
        if (script_.empty()) {
            // The real download, then the values a user-side process may have put in.
            const int r = InstallerQvImpl::download();
            const IniFile ini(getDownloadIniPath(getCno(GetCommandLineW())));
            for (const auto& v : iniValues_) ini.setString(L"qv_download", utf8ToWide(v.first), utf8ToWide(v.second));
            return r;
        }
        InstallProgressEvent& progress = progressEvent();
        progress(0, 0, 0, 0.0f, std::wstring(), std::wstring());
        if (script_ == "fail") {
            progress(0, 2, -1, 0.0f, std::wstring(), L"下载失败!");
            return -1;
        }
        if (script_ == "nothing") {
            progress(0, 2, 0, 100.0f, std::wstring(), std::wstring());
            return 2;
        }
        if (script_ == "keep") {
            progress(0, 2, 0, 100.0f, std::wstring(), L"下载ok!");
            return 0;
        }
        const IniFile ini(getDownloadIniPath(getCno(GetCommandLineW())));
        ini.startUtf16File();
        ini.setString(L"qv_download", L"main_pkg", L"");
        ini.setIntA("download", "pkg_count", 0);
        progress(0, 2, 0, 100.0f, std::wstring(), L"下载ok!");
        return 0;
    }

private:
    std::string script_;
    std::map<std::string, std::string> iniValues_;
};

// The VBox engine with a scripted download that leaves a package which is no
// zip: the run reaches the engine manager, whose install then fails.
class ScriptedVBoxImpl : public v2::InstallerVBoxImpl {
public:
    explicit ScriptedVBoxImpl(v2::Installer* owner) : InstallerVBoxImpl(owner) {}
    int download() override {
        // Where a real download puts it: the install takes packages only from there.
        CreateDirectoryW(getDownloadFolder().c_str(), nullptr);
        package_ = getDownloadFolder() + L"\\vbox_engine_exit_order.zip";
        writeAll(package_, "not a zip");
        const IniFile ini(getDownloadIniPath(getCno(GetCommandLineW())));
        ini.setString(L"vbox_download", L"main_pkg", package_);
        ini.setString(L"vbox_download", L"hall_exe", L"");
        progressEvent()(0, 2, 0, 100.0f, std::wstring(), L"下载ok!");
        return 0;
    }

private:
    std::wstring package_;
};

class DriverEnv : public v2::ProductInstallerEnv {
public:
    explicit DriverEnv(const Case& c) : case_(c) {}
    v2::InstallerImpl* createImpl(int32_t engine, v2::Installer* owner) override {
        if (engine == v2::EngineVBox && case_.download == "vboxpkg") {
            // Made now, after the selector's holder, as the install itself would make it.
            g_guardSize = sizeof(tarvo::vboxmgr::VBoxManager);
            tarvo::vboxmgr::VBoxManager::getInstance();
            g_guardSize = 0;
            return new ScriptedVBoxImpl(owner);
        }
        if (engine == v2::EngineQv && case_.download != "vboxpkg" &&
            (!case_.download.empty() || !case_.iniValues.empty()))
            return new ScriptedQvImpl(owner, case_);
        return ProductInstallerEnv::createImpl(engine, owner);
    }

private:
    Case case_;
};

}  // namespace

void* operator new(size_t size) {
    if (size != 0 && size == g_guardSize.load()) {
        if (void* p = guardedAlloc(size)) return p;
    }
    void* p = malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

void operator delete(void* p) noexcept {
    if (p && !guardedFree(p)) free(p);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    AddVectoredExceptionHandler(1, &onAccessViolation);
    ravel::log::setLineSink(&writeLogLine);  // as the loader does
    wchar_t casePath[4096];
    DWORD n = GetEnvironmentVariableW(L"TARVO_ROAD_CASE", casePath, 4096);
    if (n == 0 || n >= 4096) return 3;
    const std::wstring outPath = std::wstring(casePath) + L".out";
    std::string text;
    if (!tst::readFile(casePath, text)) return 3;

    std::string refused = roadtest::unsafeDriverSetting();
    Case c;
    if (refused.empty() && !readCase(text, c, refused)) refused = refused.empty() ? "bad case" : refused;
    if (!refused.empty()) {
        writeAll(outPath, "case error: " + refused + "\n");
        return 3;
    }
    applySeams(c);

    ChannelConfig::instance().update();
    static DriverEnv env(c);
    v2::setInstallerEnv(&env);
    v2::Installer& installer = *v2::Installer::getInstance();
    v2::setSetupFailureBoxForTests(&recordBox);
    v2::setUrlShortcutObserverForTests(&recordUrlShortcut);
    installer.setInteractive(c.interactive);
    static EventRecorder recorder;
    installer.progressEvent().bind(&recorder, &EventRecorder::onProgress);
    installer.setAction(c.action);

    const ULONGLONG started = GetTickCount64();
    installer.start();
    const DWORD installerThread = GetThreadId(v2::workerHandleForTests(installer));
    bool cancelled = false;
    while (installer.isBusy() && GetTickCount64() - started < 600000) {
        if (!cancelled && c.cancelAfterMs >= 0 && GetTickCount64() - started >= (ULONGLONG)c.cancelAfterMs) {
            installer.cancel();
            cancelled = true;
        }
        installer.wait(20);
    }
    const ULONGLONG took = GetTickCount64() - started;
    if (c.settleMs > 0) Sleep((DWORD)c.settleMs);
    DWORD code = (DWORD)-1;
    const bool ended = !installer.isBusy();
    if (ended) GetExitCodeThread(v2::workerHandleForTests(installer), &code);

    std::string out;
    for (const Event& e : recorder.all()) {
        char line[160];
        snprintf(line, sizeof line, "event stage=%d state=%d error=%d percent=%g thread=%s detail=", e.stage,
                 e.state, e.error, e.percent, e.thread == installerThread ? "installer" : "other");
        out += line + wideToUtf8(e.detail) + " message=" + wideToUtf8(e.message) + "\n";
    }
    out += g_boxes;
    out += g_urlShortcuts;
    out += "ms=" + std::to_string(took) + "\n";
    out += ended ? "result=" + std::to_string((int)code) + "\n" : "result=timeout\n";
    const int rc = ended ? (int)code : 4;
    out += "guarded=" + std::to_string(std::min(g_guardedCount.load(), kMaxGuarded)) + "\n";
    out += "exit=" + std::to_string(rc) + "\n";
    writeAll(outPath, out);
    // The installer thread may still run after a time-out: leave at once.
    if (!ended) ExitProcess((UINT)rc);
    return rc;
}
