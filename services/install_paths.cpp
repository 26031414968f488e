#include "services/install_paths.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdint>
#include <vector>

#include "services/ini_file.h"
#include "services/loader_env.h"
#include "toolkit/disk_util.h"
#include "toolkit/file_util.h"
#include "toolkit/lock.h"
#include "toolkit/path.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif

namespace {

const uint64_t kInstallRootMinFree = 0x140000000ull;  // 5 GiB

std::wstring ensureFolder(const std::wstring& folder) {
    if (!pathExists(folder)) createDirectories(folder).ignore();
    return folder;
}

// The version and channel number come from web documents and the folder is
// later deleted with everything in it: keep them inside one folder name.
std::wstring safeNamePart(std::wstring text) {
    static const wchar_t kBad[] = L"\\/:*?\"<>|";
    for (wchar_t& c : text) {
        if (c < 0x20 || c == 0x7f || wcschr(kBad, c)) c = L'_';
    }
    return text;
}

std::wstring registryPlayerHome() {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\tarvoplayer\\tarvoplayer", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.receive()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(wchar_t);
    std::wstring value;
    if (RegQueryValueExW(key.get(), L"path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        value.assign(buffer, size / sizeof(wchar_t));
        size_t end = value.find(L'\0');
        if (end != std::wstring::npos) value.erase(end);
    }
    return value;
}

IniFile adaptIni() { return IniFile(getAdaptIniPath()); }

ravel::system::Lock& installRootLock() {
    static ravel::system::Lock* lock = new ravel::system::Lock();
    return *lock;
}
bool g_rootChosen = false;
std::wstring* g_root = nullptr;

}  // namespace

std::wstring getProgramFolder() { return (ravel::file::Path(getModulePath()) - 1).toString(); }

std::wstring getDesktopFolder() { return getSpecialFolder(CSIDL_DESKTOP, std::wstring()); }

#ifdef TARVO_TEST_SEAMS
namespace {
std::function<std::wstring()> g_playerHomeLookup;
}
void setPlayerHomeLookupForTests(const std::function<std::wstring()>& lookup) { g_playerHomeLookup = lookup; }
#endif

std::wstring getPlayerHome() {
#ifdef TARVO_TEST_SEAMS
    if (g_playerHomeLookup) return g_playerHomeLookup();
#endif
    if (!isOnlineMode()) return DevSettings::getInstance()->home;
    std::wstring home = registryPlayerHome();
    if (home.empty()) home = adaptIni().getString(L"main", L"install_path");
    if (home.empty()) home = getDefaultPlayerFolder();
    return home;
}

std::vector<std::wstring> getAdminPlayerHomes() {
    if (!isOnlineMode()) return {DevSettings::getInstance()->home};
    std::vector<std::wstring> homes;
    std::wstring home = registryPlayerHome();
    if (!home.empty()) homes.push_back(home);
    const std::wstring programFiles = ravel::disk::programFilesFolder();
    if (!programFiles.empty()) homes.push_back(programFiles + L"\\tarvoplayer");
    return homes;
}

std::wstring getPlayerExePath() {
    return (isOnlineMode() ? getPlayerHome() : getProgramFolder()) + L"\\TarvoPlayer.exe";
}

std::wstring getHallExePath() {
    return dataPath(isOnlineMode() ? getUserDataFolder() : getProgramFolder(), L"\\TarvoHall.exe");
}

std::wstring getQvPlayerFolder() { return getPlayerHome() + L"\\qvPlayer"; }

std::wstring getQvPlayerExePath() { return getPlayerHome() + L"\\qvPlayer.exe"; }

std::wstring getDefaultPlayerFolder() {
    std::wstring root;
    {
        ravel::system::ScopedLock guard(installRootLock());
        if (!g_rootChosen) {
            if (!g_root) g_root = new std::wstring();
            *g_root = ravel::disk::chooseInstallRoot(kInstallRootMinFree);
            g_rootChosen = true;
        }
        root = *g_root;
    }
    return ensureFolder(root + L"\\tarvoplayer");
}

#ifdef TARVO_TEST_SEAMS
void resetInstallRootForTests() {
    ravel::system::ScopedLock guard(installRootLock());
    g_rootChosen = false;
}
#endif

std::wstring getDownloadFolder() {
    const std::wstring folder = dataPath(getUserDataFolder(), L"\\download");
    return folder.empty() ? folder : ensureFolder(folder);
}

std::wstring getDownloadTaskFolder(const std::wstring& cno, const std::wstring& version,
                                   const std::wstring& engineWord) {
    const std::wstring folder = dataPath(getUserDataFolder(), L"\\download\\" + safeNamePart(cno) + L"_" +
                                                                 safeNamePart(engineWord) + L"_" + safeNamePart(version));
    return folder.empty() ? folder : ensureFolder(folder);
}

std::wstring getDownloadIniPath(const std::wstring& name) {
    return dataPath(getDownloadFolder(), L"\\download_" + safeNamePart(name) + L".ini");
}

void setPlayerInstallPath(const std::wstring& path) { adaptIni().setString(L"main", L"install_path", path); }

void markLaunched() { adaptIni().setString(L"main", L"launched", L"1"); }
