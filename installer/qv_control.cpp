#include "installer/qv_control.h"

#include "installer/app_list.h"
#include "services/helper_service.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

namespace {

const wchar_t kGadgetFolder[] = L"tvData\\UserData\\Gadget\\";

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

// install folder + name, or empty when there is no folder or no such file.
std::wstring existingTool(const std::wstring& name) {
    const std::wstring dir = getQvInstallDir();
    if (dir.empty()) return std::wstring();
    const std::wstring tool = dir + name;
    return pathExists(tool) ? tool : std::wstring();
}

bool hasQuoteOrControl(const std::wstring& text) {
    for (wchar_t c : text)
        if (c < 0x20 || c == L'"') return true;
    return false;
}

// An empty activity is no danger: lookupQvApp finds it from the gadget icon.
bool isSafeAppName(const std::wstring& package, const std::wstring& activity) {
    return !package.empty() && isSafeAndroidPackage(package) && (activity.empty() || isSafeAndroidActivity(activity));
}

void removeService(ServiceControl& control, const wchar_t* name) {
    if (control.remove(name, qvToolLimits().serviceStopMs)) return;
    // A service that is not there needs no removal.
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    ScopedServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (service) logPrintf("remove service %s failed", ansi(name).c_str());
}

}  // namespace

QvToolLimits& qvToolLimits() {
    static QvToolLimits limits;
    return limits;
}

bool isQvRunning() { return findProcessId(L"TV-Service.exe") != 0; }

bool quitQv() {
    const std::wstring tool = existingTool(L"TV-Quit.exe");
    if (!tool.empty() && runProcessWithin(tool, std::wstring(), qvToolLimits().quitMs) == RunOutcome::TimedOut)
        logPrintf("qv quit timed out");
    return true;
}

bool deleteQvServices() {
    ServiceControl control;
    removeService(control, L"tvHdAndroidSvc");
    removeService(control, L"tvHdDrv");
    return true;
}

bool installApkWithQv(const std::wstring& apkPath, bool hidden) {
    // The path goes between quotes onto the handler's command line.
    if (apkPath.empty() || hasQuoteOrControl(apkPath)) return false;
    const std::wstring tool = existingTool(L"TV-ApkHandler.exe");
    if (tool.empty() || !pathExists(apkPath)) return false;
    std::wstring arguments = quote(apkPath);
    if (hidden) arguments += L" -h";
    switch (runProcessWithin(tool, arguments, qvToolLimits().apkHandlerMs)) {
    case RunOutcome::Ended:
        return true;
    case RunOutcome::TimedOut:
        logPrintf("qv apk handler timed out: %s", ansi(apkPath).c_str());
        return false;
    default:
        return false;
    }
}

bool findGadgetActivity(std::wstring& activity, const std::wstring& qvDir, const std::wstring& package) {
    if (package.empty()) return false;
    // "<package>.*" and not "<package>*": com.a.b must not find com.a.bx's icons.
    const std::wstring pattern = qvDir + kGadgetFolder + package + L".*.png";
    if (pattern.size() >= MAX_PATH) return false;
    WIN32_FIND_DATAW found = {};
    ScopedFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search) return false;
    const std::wstring prefix = toLowerCopy(package) + L".";
    bool ok = false;
    do {
        const std::wstring name = found.cFileName;
        const std::wstring lower = toLowerCopy(name);
        // A short (8.3) name may match the pattern on its own.
        if (lower.compare(0, prefix.size(), prefix) != 0) continue;
        std::wstring::size_type end = lower.find(L".png", prefix.size());
        if (end == std::wstring::npos || end == prefix.size()) continue;
        activity = name.substr(prefix.size(), end - prefix.size());
        ok = true;
    } while (!ok && FindNextFileW(search.get(), &found));
    return ok;
}

bool lookupQvApp(const std::wstring& appId, AppInfo& app) {
    app = AppInfo();
    LocalAppList list;
    list.load();
    if (list.find(appId, app) < 0) return false;
    // Both go into file patterns and onto a tool's command line.
    if (!isSafeAppName(app.package, app.activity)) return false;
    const std::wstring dir = getQvInstallDir();
    if (dir.empty()) return false;
    if (!app.activity.empty() && pathExists(dir + kGadgetFolder + app.package + L"." + app.activity + L".png"))
        return true;
    std::wstring activity;
    if (!findGadgetActivity(activity, dir, app.package)) return false;
    // An icon's name reaches TV-RunApp's command line as the app.ini's activity does.
    if (!isSafeAndroidActivity(activity)) {
        logPrintf("qv gadget activity refused: %s", ansi(activity).c_str());
        return false;
    }
    app.activity = activity;
    return true;
}

bool runQvApp(const std::wstring& package, const std::wstring& activity) {
    if (activity.empty() || !isSafeAppName(package, activity)) {
        logPrintf("qv app refused: %s/%s", ansi(package).c_str(), ansi(activity).c_str());
        return false;
    }
    const std::wstring tool = existingTool(L"TV-RunApp.exe");
    if (tool.empty()) return false;
    return runProcess(false, tool, L" -p " + package + L" -a " + activity);
}

bool startQvLauncher() {
    const std::wstring tool = existingTool(L"TV-StartLauncher.exe");
    return !tool.empty() && runProcess(false, tool, std::wstring());
}

bool launchQvAppById(const std::wstring& appId) {
    if (appId.empty()) return startQvLauncher();
    AppInfo app;
    if (lookupQvApp(appId, app)) {
        logPrintf("app %s exists!", ansi(appId).c_str());
    } else {
        logPrintf("app %s not exists, install %s", ansi(appId).c_str(), ansi(app.apkPath).c_str());
        if (!installApkWithQv(app.apkPath, false)) {
            logPrintf("app install failed!");
            return false;
        }
    }
    if (!app.apkPath.empty()) deletePath(app.apkPath, false);
    return runQvApp(app.package, app.activity);
}
