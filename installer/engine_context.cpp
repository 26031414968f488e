#include "installer/engine_context.h"

#include <windows.h>

#include "installer/adb/adb_client.h"
#include "installer/apk_installer.h"
#include "installer/app_list.h"
#include "installer/device_packages.h"
#include "installer/device_shell.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/single_instance.h"
#include "toolkit/cmdline.h"
#include "toolkit/lock.h"
#include "toolkit/string_util.h"

using ravel::object::smart_ptr;

namespace {

const char kVmMutexSuffix[] = "c189726741d83ce2655d90b94382d566";
const DWORD kStartPollMs = 200;
const DWORD kBootPollMs = 1000;

// Made on first use and never destroyed: the APK installer's worker, stopped
// by a static destructor, may still ask for a context at process exit.
struct Registry {
    ravel::system::Lock lock;
    std::vector<smart_ptr<Context>> contexts;
    smart_ptr<Context> current;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// Under the registry lock.
void buildRegistry(Registry& r) {
    if (!r.contexts.empty()) return;
    if (isVBoxEnabled()) r.contexts.push_back(smart_ptr<Context>(new VBoxContext));
    r.contexts.push_back(smart_ptr<Context>(new QvContext));
}

// The texts reach the guest's shell and the player's command line.
int refuseAppStart(const std::wstring& what) {
    logPrintf("app start refused: %s", wideToAnsi(what).c_str());
    return -1;
}

std::string trimmedReply(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

std::wstring Context::getAdbSerial() const {
    if (!adbSerial.empty()) return adbSerial;
    return (adbHost.empty() ? std::wstring(L"127.0.0.1") : adbHost) + L":" + std::to_wstring(adbPort);
}

VBoxContext::VBoxContext() : Context(EngineKind::VBox) {
    name = L"vbox_1";
    vmName = DevSettings::getInstance()->properties.getProperty(L"tarvo.vmachine", L"tarvoplayer");
}

std::string getVmMutexName(const std::wstring& contextName) { return wideToAnsi(contextName) + "_" + kVmMutexSuffix; }

bool VBoxContext::isInstalled() { return isPlayerInstalled(); }

bool VBoxContext::isRunning() { return isMutexHeld(vmMutexName()); }

void VBoxContext::bringToFront() {
    if (isPlayerRunning()) NamedMutex(getPlayerMutexName()).activateExisting();
}

int VBoxContext::launch(const std::wstring& arguments) {
    if (isRunning()) {
        if (!headless) bringToFront();
        return 0;
    }
    std::wstring commandLine = L"\"" + getPlayerExePath() + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    commandLine += L" --vmid \"" + name + L"\"";
    if (headless) commandLine += L" --headless";
    return launchProcess(commandLine, SW_SHOWNORMAL) ? 0 : -1;
}

bool VBoxContext::isAppInstalled(const std::wstring& appId) { return ::isAppInstalled(*this, appId); }

bool VBoxContext::isPackageInstalled(const std::wstring& package) { return ::isPackageInstalled(*this, package); }

int VBoxContext::runForInstall(uint32_t timeoutMs, bool& started) {
    started = false;
    if (!isRunning()) {
        headless = true;
        const int launched = launch(std::wstring());
        if (launched != 0) return launched;
        started = true;
    }
    const DWORD t0 = GetTickCount();
    Sleep(kStartPollMs);
    while (!isRunning()) {
        if (timeoutMs != INFINITE && GetTickCount() - t0 > timeoutMs) break;
        Sleep(kStartPollMs);
    }
    return isRunning() ? 0 : -1;
}

// A guest that has just come up starts adbd and its package manager some time
// after the VM; an install handed over at once would fail. The budget counts
// from the install's start, so that the engine's start and the boot share it.
void VBoxContext::waitForGuestBoot(uint32_t installStart, uint32_t timeoutMs) {
    const std::string serial = wideToAnsi(getAdbSerial());
    const DWORD t0 = GetTickCount();
    bool booted = false;
    for (;;) {
        adb::AdbClient client(serial.c_str());
        std::string output;
        if (client.query("shell:getprop sys.boot_completed", output, adb::settings().requestTimeoutMs.load()) == 0 &&
            trimmedReply(output) == "1") {
            booted = true;
            break;
        }
        if (timeoutMs != INFINITE && GetTickCount() - installStart > timeoutMs) break;
        Sleep(kBootPollMs);
    }
    logPrintf("guest boot wait %lu ms, booted %d", (unsigned long)(GetTickCount() - t0), booted ? 1 : 0);
}

int VBoxContext::readyForInstall(uint32_t timeoutMs) {
    const DWORD installStart = GetTickCount();
    bool started = false;
    const int ready = runForInstall(timeoutMs, started);
    if (ready != 0) return ready;
    if (started) waitForGuestBoot(installStart, timeoutMs);
    return 0;
}

int VBoxContext::installApp(const AppInfo& app, bool deleteAfterInstall, uint32_t timeoutMs) {
    const int ready = readyForInstall(timeoutMs);
    if (ready != 0) return ready;
    return ApkInstaller::instance().installApp(app, deleteAfterInstall, (int32_t)timeoutMs);
}

int VBoxContext::installApk(const std::wstring& apkPath, bool deleteAfterInstall, uint32_t timeoutMs) {
    const int ready = readyForInstall(timeoutMs);
    if (ready != 0) return ready;
    return ApkInstaller::instance().installApk(apkPath, deleteAfterInstall, (int32_t)timeoutMs);
}

int VBoxContext::startApp(const std::wstring& package, const std::wstring& activity) {
    if (!isAcceptedPackage(package)) return refuseAppStart(package);
    if (!isAcceptedActivity(activity)) return refuseAppStart(activity);

    if (!isRunning()) {
        headless = false;
        std::wstring arguments = L"--pkg " + package;
        if (!activity.empty()) arguments += L" --act " + activity;
        return launch(arguments);
    }

    bringToFront();
    std::wstring quoted;
    if (!quoteForDeviceShell(activity.empty() ? package : package + L"/" + activity, quoted))
        return refuseAppStart(package);
    const std::wstring service = (activity.empty() ? L"shell:am start " : L"shell:am start -n ") + quoted;
    adb::AdbClient client(wideToAnsi(getAdbSerial()).c_str());
    adb::SocketFd fd = client.connect(wideToUtf8(service));
    if (fd < 0) return -1;
    std::string reply;
    adb::AdbClient::readAll(fd, reply, adb::settings().requestTimeoutMs.load());
    adb::AdbClient::closeSocket(fd);  // shuts both directions down first
    return 0;
}

int VBoxContext::launchAppById(const std::wstring& appId) {
    if (!isSafeChannelAppId(appId)) return refuseAppStart(appId);
    LocalAppList list;
    list.load();
    AppInfo app;
    if (list.find(appId, app) < 0) return -1;
    if (!isRunning()) {
        headless = false;
        return launch(L"--app-id " + appId);
    }
    return startApp(app.package, app.activity);
}

QvContext::QvContext() : InertContext(EngineKind::Qv) { name = L"qv_1"; }

bool QvContext::isInstalled() { return isQvInstalled(); }

std::vector<smart_ptr<Context>> getContexts() {
    Registry& r = registry();
    ravel::system::ScopedLock hold(r.lock);
    buildRegistry(r);
    return r.contexts;
}

smart_ptr<Context> findContext(const std::wstring& name) {
    Registry& r = registry();
    ravel::system::ScopedLock hold(r.lock);
    buildRegistry(r);
    for (const smart_ptr<Context>& context : r.contexts)
        if (context->name == name) return context;
    return smart_ptr<Context>();
}

// Under the lock: the main thread and the APK installer's worker both ask.
smart_ptr<Context> getCurrentContext() {
    Registry& r = registry();
    ravel::system::ScopedLock hold(r.lock);
    if (r.current.get()) return r.current;
    std::wstring vmid;
    readCommandWords(GetCommandLineW()).get_option(L"vmid", vmid);
    if (vmid.empty()) vmid = isQvInstalled() ? L"qv_1" : L"vbox_1";
    r.current = findContext(vmid);
    return r.current;
}
