#include "installer/engine_removal.h"

#include <shlobj.h>

#include <exception>
#include <vector>

#include "installer/app_shortcuts.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "installer/qv_control.h"
#include "installer/uninstall_entry.h"
#include "installer/vbox_manager.h"
#include "services/helper_service.h"
#include "services/http_stat.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/child_process.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

namespace {

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring lastComponent(std::wstring path) {
    while (!path.empty() && isSeparator(path.back())) path.pop_back();
    const std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::vector<std::wstring> splitKeepList(const std::wstring& keepList) {
    std::vector<std::wstring> names;
    std::wstring::size_type from = 0;
    while (from <= keepList.size()) {
        const std::wstring::size_type semi = keepList.find(L';', from);
        const std::wstring piece = keepList.substr(from, semi == std::wstring::npos ? std::wstring::npos : semi - from);
        if (!piece.empty()) names.push_back(toLowerCopy(piece));
        if (semi == std::wstring::npos) break;
        from = semi + 1;
    }
    return names;
}

bool inList(const std::vector<std::wstring>& names, const std::wstring& name) {
    const std::wstring lower = toLowerCopy(name);
    for (const std::wstring& n : names)
        if (n == lower) return true;
    return false;
}

void scheduleOne(const std::wstring& path) {
    if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        logPrintf("delete at restart: %s", ansi(path).c_str());
    else
        logPrintf("delete at restart failed: %s (%lu)", ansi(path).c_str(), (unsigned long)GetLastError());
}

// Files go into `files` as they are met, folders after their contents.
void collectRemains(const std::wstring& folder, const std::vector<std::wstring>* keep,
                    std::vector<std::wstring>& files, std::vector<std::wstring>& folders, bool& keptSome) {
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            if (keep && inList(*keep, name)) {
                keptSome = true;
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            const DWORD attributes = data.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                bool nestedKept = false;
                collectRemains(path, nullptr, files, folders, nestedKept);
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                folders.push_back(path);  // a link to a folder: only the link itself
            } else {
                files.push_back(path);
            }
        } while (FindNextFileW(find.get(), &data));
    }
    if (!keptSome) folders.push_back(folder);
}

// Runs one step of the removal; what it throws is logged and the removal goes on.
template <typename F>
void runStep(const char* name, F step) {
    try {
        step();
    } catch (const std::exception& e) {
        logPrintf("uninstall step failed: %s: %s", name, e.what());
    } catch (...) {
        logPrintf("uninstall step failed: %s: %s", name, "unknown exception");
    }
}

// The paths of one removal, read once at its start: reading them later would
// create the data folders again. Read inside the first step, so that a lookup
// that throws still ends the removal as promised; a place not read stays empty,
// which no deletion accepts.
struct RemovalPlaces {
    std::wstring name;
    std::wstring userData;
    std::wstring commonData;
    std::wstring home;
    std::wstring desktop;
    std::wstring programs;
    std::wstring vmName;

    void read() {
        name = getProductDisplayName();
        userData = getUserDataFolder();
        commonData = getCommonDataFolder();
        if (userData.empty() || commonData.empty()) logPrintf("no data folder");
        home = getPlayerHome();
        desktop = getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"");
        programs = getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"");
        vmName = DevSettings::getInstance()->properties.getProperty(L"tarvo.vmachine", L"tarvoplayer");
    }
};

class Removal {
public:
    Removal(v2::InstallerImpl& impl, bool qv) : impl_(impl), qv_(qv) {}

    int run();

private:
    void fire(int state, float percent, const std::wstring& message) {
        impl_.progressEvent()(ActionRemove, state, 0, percent, std::wstring(), message);
    }
    void endProductPrograms();
    void removeHelperService();
    void stopQvEngine();
    void removeShortcutsAndEntry();
    void runQvUninstaller();
    void deletePlayerHome(const std::wstring& keepList);
    void deleteDataFolder(const std::wstring& folder, const std::wstring& keepList);
    void deleteHelperPrograms();
    void deleteAppsAndUserData(const std::wstring& userDataKeepList);
    void pace(DWORD sleepMs, const float (&percents)[3], const std::wstring& message);

    v2::InstallerImpl& impl_;
    bool qv_;
    RemovalPlaces places_;
};

void Removal::endProductPrograms() {
    for (const wchar_t* program : {L"TarvoPlayer.exe", L"TarvoTips.exe", L"TarvoHall.exe"})
        for (int attempt = 0; attempt < 3 && findProcessId(program) != 0; ++attempt) killProcessesByName(program);
}

bool serviceExists(const std::wstring& name) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return true;
    ScopedServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return service || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

bool deleteServiceAsItStands(const std::wstring& name) {
    ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScopedServiceHandle service(OpenServiceW(manager.get(), name.c_str(), DELETE));
    return service && DeleteService(service.get());
}

// A helper that does not stop would be left pointing at a deleted program:
// its process is ended and the removal tried once more.
void Removal::removeHelperService() {
    logPrintf("stop helper service");
    ServiceControl services;
    const std::wstring helper = getHelperName();
    if (services.remove(helper, removalBounds().helperServiceMs) || !serviceExists(helper)) return;
    killProcessesByName(L"TarvoHelper.exe");
    if (services.remove(helper, removalBounds().helperRetryMs) || !serviceExists(helper)) return;
    // A service whose process was ended may still count as running and refuse
    // the stop (232, 1061): with its process gone it is deleted as it stands.
    if (findProcessId(L"TarvoHelper.exe") == 0 && deleteServiceAsItStands(helper)) return;
    logPrintf("helper service not removed");
}

void Removal::stopQvEngine() {
    logPrintf("stop tarvo service");
    if (!isQvRunning()) return;
    quitQv();
    if (isQvRunning()) deleteQvServices();
}

void Removal::removeShortcutsAndEntry() {
    const std::wstring& name = places_.name;
    runStep("desktop shortcut", [&] {
        const std::wstring link = places_.desktop + L"\\" + name + L".lnk";
        if (!removalMayDelete(RemovalFolder::ShellFolder, places_.desktop)) {
            logPrintf("uninstall skips %s", ansi(link).c_str());
            return;
        }
        deletePath(link);
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW | SHCNF_FLUSH | SHCNF_FLUSHNOWAIT, places_.desktop.c_str(), nullptr);
    });
    runStep("start menu", [&] {
        const std::wstring menu = places_.programs + L"\\" + name;
        if (!removalMayDelete(RemovalFolder::ShellFolder, places_.programs)) {
            logPrintf("uninstall skips %s", ansi(menu).c_str());
            return;
        }
        deletePath(menu);
        SHChangeNotify(SHCNE_DELETE, SHCNF_PATHW | SHCNF_FLUSH | SHCNF_FLUSHNOWAIT, menu.c_str(), nullptr);
    });
    runStep("uninstall entry", [&] { deleteRegKey(HKEY_LOCAL_MACHINE, uninstallEntryKey()); });
}

void Removal::runQvUninstaller() {
    const std::wstring setup = places_.userData + L"\\qvInstaller.exe";
    const std::wstring command = quote(setup) + L" uninstall";
    logPrintf("call %s uninstall qvplayer", ansi(command).c_str());
    if (!removalMayDelete(RemovalFolder::DataFolder, places_.userData)) {
        logPrintf("uninstall skips %s", ansi(setup).c_str());
        return;
    }
    ProcessRunner runner;
    const DWORD limit = removalBounds().setupUninstallMs;
    runner.run(command, limit);
    if (runner.timedOut()) logPrintf("qvInstaller uninstall did not end within %u ms", (unsigned)limit);
    runner.close();
}

// A machine that someone else made in the product's VirtualBox also lands in
// "deployed": only the product's own machine goes. Returns the extra entry of
// the home's keep list ("deployed" while it holds other machines).
std::wstring cleanDeployed(const std::wstring& home, const std::wstring& vmName) {
    const std::wstring deployed = home + L"\\deployed";
    if (!isDirectory(deployed)) return std::wstring();
    bool others = false;
    WIN32_FIND_DATAW data;
    std::vector<std::wstring> entries;
    ScopedFindHandle find(FindFirstFileW((deployed + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") entries.push_back(name);
        } while (FindNextFileW(find.get(), &data));
    }
    for (const std::wstring& name : entries) {
        const std::wstring path = deployed + L"\\" + name;
        if (toLowerCopy(name) == toLowerCopy(vmName)) {
            forceDeletePath(path);
            scheduleRemainsAtRestart(path, std::wstring());
        } else {
            logPrintf("kept %s", ansi(path).c_str());
            others = true;
        }
    }
    return others ? L"deployed" : std::wstring();
}

void Removal::deletePlayerHome(const std::wstring& keepList) {
    const std::wstring& home = places_.home;
    if (!removalMayDelete(RemovalFolder::PlayerHome, home)) {
        logPrintf("player home left in place: %s", ansi(home).c_str());
        return;
    }
    std::wstring keep = keepList;
    const std::wstring deployed = cleanDeployed(home, places_.vmName);
    if (!deployed.empty()) keep += (keep.empty() ? L"" : L";") + deployed;
    if (keep.empty())
        deletePath(home);
    else
        forceDeletePathExcept(home, keep);
    scheduleRemainsAtRestart(home, keep);
}

void Removal::deleteDataFolder(const std::wstring& folder, const std::wstring& keepList) {
    if (!removalMayDelete(RemovalFolder::DataFolder, folder)) {
        logPrintf("uninstall skips %s", ansi(folder).c_str());
        return;
    }
    if (keepList.empty())
        deletePath(folder);
    else
        forceDeletePathExcept(folder, keepList);
    scheduleRemainsAtRestart(folder, keepList);
}

void Removal::deleteHelperPrograms() {
    if (!removalMayDelete(RemovalFolder::DataFolder, places_.userData)) {
        logPrintf("uninstall skips %s", ansi(places_.userData).c_str());
        return;
    }
    std::vector<const wchar_t*> names = {L"TarvoTips.exe", L"TarvoHelper.exe", L"TarvoLoader.exe"};
    if (!qv_) names.push_back(L"TarvoHall.exe");
    for (const wchar_t* name : names) {
        const std::wstring path = places_.userData + L"\\" + name;
        forceDeletePath(path);
        scheduleRemainsAtRestart(path, std::wstring());
    }
}

void Removal::deleteAppsAndUserData(const std::wstring& userDataKeepList) {
    runStep("app shortcuts", [] { removeAllAppShortcuts(); });
    runStep("apps folder", [&] {
        const std::wstring apps = places_.userData + L"\\apps";
        if (!removalMayDelete(RemovalFolder::DataFolder, places_.userData)) {
            logPrintf("uninstall skips %s", ansi(apps).c_str());
            return;
        }
        deletePath(apps);
        scheduleRemainsAtRestart(apps, std::wstring());
    });
    runStep("user data folder", [&] { deleteDataFolder(places_.userData, userDataKeepList); });
}

void Removal::pace(DWORD sleepMs, const float (&percents)[3], const std::wstring& message) {
    for (float percent : percents) {
        Sleep(sleepMs);
        fire(1, percent, message);
    }
}

int Removal::run() {
    const std::wstring mainProgram = L"卸载主程序...";
    const std::wstring dataFiles = L"卸载数据文件...";
    runStep("start", [&] {
        logPrintf("do uninstall...");
        if (qv_) killProcessesByName(L"TarvoHelper.exe");
        places_.read();
    });
    // A silent removal (or a rollback) must not delete the folders of a running player.
    runStep("product programs", [&] { endProductPrograms(); });
    runStep("statistics", [&] { sendStatAction(qv_ ? StatAction::QvUninstall : StatAction::Uninstall); });
    runStep("progress", [&] { fire(0, 0, L"开始卸载服务..."); });

    if (qv_) {
        runStep("helper service", [&] { removeHelperService(); });
        runStep("engine", [&] { stopQvEngine(); });
        removeShortcutsAndEntry();
        runStep("progress", [&] { fire(1, 10, mainProgram); });
        runStep("engine setup", [&] { runQvUninstaller(); });
        runStep("progress", [&] { pace(removalBounds().qvMainPaceMs, {20, 30, 40}, mainProgram); });
        runStep("progress", [&] { fire(1, 55, mainProgram); });
        runStep("player home", [&] { deletePlayerHome(std::wstring()); });
    } else {
        // The engine lives in the player home: it goes only with a home that goes.
        if (removalMayDelete(RemovalFolder::PlayerHome, places_.home)) {
            runStep("engine stop", [] { tarvo::vboxmgr::VBoxManager::getInstance()->stop(); });
            runStep("engine",
                    [&] { tarvo::vboxmgr::VBoxManager::getInstance()->uninstall(places_.home + L"\\vbox"); });
        } else {
            logPrintf("kept %s", ansi(places_.home + L"\\vbox").c_str());
        }
        runStep("helper service", [&] { removeHelperService(); });
        runStep("progress", [&] { fire(1, 10, mainProgram); });
        runStep("progress", [&] { pace(removalBounds().vboxPaceMs, {20, 30, 40}, mainProgram); });
        removeShortcutsAndEntry();
        runStep("progress", [&] { fire(1, 55, mainProgram); });
        // An installed Qv player stays.
        runStep("player home", [&] { deletePlayerHome(L"qvplayer.exe;qvplayer"); });
    }
    runStep("common data folder", [&] { deleteDataFolder(places_.commonData, std::wstring()); });

    // The VBox removal leaves the helper programs and the user data to an
    // installed Qv engine.
    bool userSide = qv_;
    if (!qv_) runStep("qv installed", [&] { userSide = !isQvInstalled(); });
    if (userSide) {
        runStep("progress", [&] { fire(1, 60, L"卸载辅助程序..."); });
        runStep("helper programs", [&] { deleteHelperPrograms(); });
        runStep("progress", [&] { fire(1, 60, L"删除快捷方式..."); });
        deleteAppsAndUserData(qv_ ? std::wstring() : L"log");
    }
    const DWORD dataPaceMs = qv_ ? removalBounds().qvDataPaceMs : removalBounds().vboxPaceMs;
    runStep("progress", [&] { pace(dataPaceMs, {60, 70, 80}, dataFiles); });

    runStep("progress", [&] { fire(2, 100, L"卸载" + places_.name + L"完毕"); });
    logPrintf("uninstall ok");
    if (!qv_) runStep("install path", [] { setPlayerInstallPath(L""); });
    return 0;
}

}  // namespace

RemovalBounds& removalBounds() {
    static RemovalBounds bounds;
    return bounds;
}

bool isFullyQualifiedPath(const std::wstring& path) {
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && isSeparator(path[2]))
        return true;
    // "\\server\share\": both names present.
    if (path.size() < 2 || !isSeparator(path[0]) || !isSeparator(path[1])) return false;
    const std::wstring::size_type serverEnd = path.find_first_of(L"\\/", 2);
    if (serverEnd == std::wstring::npos || serverEnd == 2) return false;
    const std::wstring::size_type shareEnd = path.find_first_of(L"\\/", serverEnd + 1);
    return shareEnd != std::wstring::npos && shareEnd > serverEnd + 1;
}

bool removalMayDelete(RemovalFolder kind, const std::wstring& path) {
    if (!isFullyQualifiedPath(path) || isRefusedPath(path)) return false;
    switch (kind) {
        case RemovalFolder::PlayerHome:
            return toLowerCopy(lastComponent(path)) == L"tarvoplayer";
        case RemovalFolder::DataFolder:
            return toLowerCopy(lastComponent(path)) == L"tarvozhushou";
        case RemovalFolder::ShellFolder:
            return true;
    }
    return false;
}

void scheduleRemainsAtRestart(const std::wstring& path, const std::wstring& keepList) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        scheduleOne(path);
        return;
    }
    const std::vector<std::wstring> keep = splitKeepList(keepList);
    std::vector<std::wstring> files, folders;
    bool keptSome = false;
    collectRemains(path, &keep, files, folders, keptSome);
    for (const std::wstring& f : files) scheduleOne(f);
    for (const std::wstring& f : folders) scheduleOne(f);
}

namespace v2 {

int InstallerQvImpl::remove() { return Removal(*this, true).run(); }

int InstallerVBoxImpl::remove() { return Removal(*this, false).run(); }

}  // namespace v2
