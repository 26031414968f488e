// Stand-in of the engine's setup program qvInstaller.exe.
//   install <folder>   registers the engine whose files lie in <folder>; exits 1 on success
//   uninstall          removes the registered engine; exits 0
// Modes of [qvInstaller.install]: no-registry (no InstallDir), tvzs-key (InstallDir
// under SOFTWARE\tvzsPlayer), partial (InstallDir and tvHdDrv only, exit 3).
#include "testing/qv_standin/standin.h"

namespace {

const wchar_t kTarvoKey[] = L"SOFTWARE\\tarvoGames";
const wchar_t kTvzsKey[] = L"SOFTWARE\\tvzsPlayer";
const char kUsage[] = "usage: qvInstaller.exe install <folder> | uninstall";

void progress(const std::wstring& line) { qvs::print(qvs::utf8(line) + "\r\n"); }

std::wstring withBackslash(std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder + L"\\";
}

// A deleted service lingers until its process has exited (1072).
bool registerService(const wchar_t* name, const std::wstring& folder, const wchar_t* exe) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD error = qvs::createOrConfigureService(name, qvs::serviceBinaryPath(folder, exe));
        if (error == 0) return true;
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE || GetTickCount() - start > 10000) {
            progress(L"service " + std::wstring(name) + L" failed: " + std::to_wstring(error));
            return false;
        }
        Sleep(200);
    }
}

int install(const std::wstring& target, const std::wstring& mode) {
    const std::wstring folder = withBackslash(target);
    progress(L"qvInstaller: install into " + folder);
    std::wstring missing;
    for (size_t i = 0; i < qvs::kEngineFileCount; ++i)
        if (!qvs::fileExists(folder + qvs::kEngineFiles[i])) missing += (missing.empty() ? L"" : L" ") + std::wstring(qvs::kEngineFiles[i]);
    if (!missing.empty()) {
        progress(L"qvInstaller: engine files missing in " + target + L": " + missing);
        return 3;
    }
    progress(L"checking the running engine");
    qvs::stopServiceAndWait(L"tvHdAndroidSvc", 15000);
    qvs::stopServiceAndWait(L"tvHdDrv", 15000);
    progress(L"preparing the data folder");
    CreateDirectoryW((folder + L"tvData").c_str(), nullptr);
    CreateDirectoryW((folder + L"tvData\\UserData").c_str(), nullptr);
    CreateDirectoryW((folder + L"tvData\\UserData\\Gadget").c_str(), nullptr);
    progress(L"registering the driver service");
    if (!registerService(L"tvHdDrv", folder, L"tvHdDrv.exe")) return 4;
    const wchar_t* key = mode == L"tvzs-key" ? kTvzsKey : kTarvoKey;
    if (mode == L"partial") {
        qvs::writeRegString(key, L"InstallDir", folder);
        progress(L"qvInstaller: stopped halfway");
        return 3;
    }
    progress(L"registering the engine service");
    if (!registerService(L"tvHdAndroidSvc", folder, L"TV-Service.exe")) return 4;
    progress(L"writing the registry");
    if (mode != L"no-registry") qvs::writeRegString(key, L"InstallDir", folder);
    qvs::writeRegString(key, L"Version", qvs::engineVersion(folder));
    progress(L"copying the runtime");
    progress(L"configuring the network");
    progress(L"preparing the image");
    progress(L"checking the install");
    qvs::record(L"setup-installed", folder);
    progress(L"qvInstaller: done");
    return 1;
}

int uninstall() {
    std::wstring folder = qvs::readInstallDir(kTarvoKey);
    if (folder.empty()) folder = qvs::readInstallDir(kTvzsKey);
    if (folder.empty()) {
        progress(L"nothing to uninstall");
        return 0;
    }
    folder = withBackslash(folder);
    progress(L"qvInstaller: uninstall " + folder);
    qvs::stopServiceAndWait(L"tvHdAndroidSvc", 15000);
    qvs::stopServiceAndWait(L"tvHdDrv", 15000);
    qvs::deleteService(L"tvHdAndroidSvc");
    qvs::deleteService(L"tvHdDrv");
    qvs::terminateProcesses(qvs::processesIn(folder, L"TV-Frontend.exe"));
    const DWORD start = GetTickCount();
    while (!qvs::processesIn(folder, L"TV-Service.exe").empty() && GetTickCount() - start < 10000) Sleep(50);
    for (size_t i = 0; i < qvs::kEngineFileCount; ++i) DeleteFileW((folder + qvs::kEngineFiles[i]).c_str());
    qvs::removeTree(folder + L"tvData");
    RemoveDirectoryW(folder.c_str());
    qvs::deleteRegKey(kTarvoKey);
    qvs::deleteRegKey(kTvzsKey);
    qvs::record(L"setup-uninstalled", folder);
    progress(L"qvInstaller: removed");
    return 0;
}

}  // namespace

int wmain() {
    qvs::Start s = qvs::begin();
    const std::vector<std::wstring>& a = s.args;
    if (a.size() == 2 && a[0] == L"install") {
        qvs::applyModes(s, L"qvInstaller.install");
        qvs::finish(install(a[1], s.mode));
    }
    if (a.size() == 1 && a[0] == L"uninstall") {
        qvs::applyModes(s, L"qvInstaller.uninstall");
        qvs::finish(uninstall());
    }
    qvs::badArgs(kUsage);
}
