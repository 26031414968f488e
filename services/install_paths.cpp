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
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");

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
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\tarvoplayer\\tarvoplayer", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(wchar_t);
    std::wstring value;
    if (RegQueryValueExW(key, L"path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        value.assign(buffer, size / sizeof(wchar_t));
        size_t end = value.find(L'\0');
        if (end != std::wstring::npos) value.erase(end);
    }
    RegCloseKey(key);
    return value;
}

IniFile adaptIni() { return IniFile(getAdaptIniPath()); }

ravel::system::Lock& installRootLock() {
    static ravel::system::Lock* lock = new ravel::system::Lock();
    return *lock;
}
bool g_rootChosen = false;
std::wstring* g_root = nullptr;

bool (*g_qvTest)() = nullptr;

}  // namespace

std::wstring getProgramFolder() { return (ravel::file::Path(getModulePath()) - 1).toString(); }

std::wstring getDesktopFolder() { return getSpecialFolder(CSIDL_DESKTOP, std::wstring()); }

std::wstring getPlayerHome() {
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
    const std::wstring programFiles = getSpecialFolder(CSIDL_PROGRAM_FILESX86, std::wstring());
    if (!programFiles.empty()) homes.push_back(programFiles + L"\\tarvoplayer");
    return homes;
}

std::wstring getPlayerExePath() {
    return (isOnlineMode() ? getPlayerHome() : getProgramFolder()) + L"\\TarvoPlayer.exe";
}

std::wstring getHallExePath() {
    return (isOnlineMode() ? getUserDataFolder() : getProgramFolder()) + L"\\TarvoHall.exe";
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

void resetInstallRootForTests() {
    ravel::system::ScopedLock guard(installRootLock());
    g_rootChosen = false;
}

std::wstring getDownloadFolder() { return ensureFolder(getUserDataFolder() + L"\\download"); }

std::wstring getDownloadTaskFolder(const std::wstring& cno, const std::wstring& version,
                                   const std::wstring& engineWord) {
    return ensureFolder(getUserDataFolder() + L"\\download\\" + safeNamePart(cno) + L"_" +
                        safeNamePart(engineWord) + L"_" + safeNamePart(version));
}

std::wstring getDownloadIniPath(const std::wstring& name) {
    return getDownloadFolder() + L"\\download_" + safeNamePart(name) + L".ini";
}

void setPlayerInstallPath(const std::wstring& path) { adaptIni().setString(L"main", L"install_path", path); }

void markLaunched() { adaptIni().setString(L"main", L"launched", L"1"); }

ModuleHandle::~ModuleHandle() {
    if (module_) FreeLibrary(module_);
}

ModuleHandle::ModuleHandle(ModuleHandle&& other) noexcept : module_(other.module_) { other.module_ = nullptr; }

ModuleHandle& ModuleHandle::operator=(ModuleHandle&& other) noexcept {
    if (this != &other) {
        if (module_) FreeLibrary(module_);
        module_ = other.module_;
        other.module_ = nullptr;
    }
    return *this;
}

bool ModuleHandle::extractResource(const std::string& type, unsigned short id, const std::string& path) const {
    return extractResourceToFile(module_, ansiToWide(type), id, ansiToWide(path));
}

int compareVersions(const std::wstring& a, const std::wstring& b) {
    // Odd texts from the web documents must still compare the same way every
    // time: wrap in unsigned arithmetic, compare as signed.
    auto parts = [](const std::wstring& text, uint32_t out[4]) {
        for (int i = 0; i < 4; ++i) out[i] = 0;
        int index = 0;
        for (wchar_t c : text) {
            if (c == L'.') {
                if (++index >= 4) break;
                continue;
            }
            out[index] = out[index] * 10u + static_cast<uint32_t>(c) - 48u;
        }
    };
    uint32_t pa[4], pb[4];
    parts(a, pa);
    parts(b, pb);
    for (int i = 0; i < 4; ++i) {
        int32_t x = static_cast<int32_t>(pa[i]);
        int32_t y = static_cast<int32_t>(pb[i]);
        if (x > y) return 1;
        if (x < y) return -1;
    }
    return 0;
}

bool getFileVersion(const std::wstring& path, std::wstring& out) {
    out.clear();
    std::wstring file = path;
    if (file.empty()) {
        wchar_t buffer[MAX_PATH] = {};
        DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return false;
        file.assign(buffer, n);
    }
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    out = std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
          L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
          std::to_wstring(LOWORD(info->dwFileVersionLS));
    return true;
}

std::wstring getFileVersionString(const std::wstring& path) {
    std::wstring version;
    getFileVersion(path, version);
    return version;
}

std::wstring getOwnVersion() { return getFileVersionString(std::wstring()); }

std::wstring getPlayerVersion() { return getFileVersionString(getPlayerExePath()); }

std::wstring getQvPlayerVersion() { return getFileVersionString(getQvPlayerExePath()); }

const OSVERSIONINFOW& getOsVersion() {
    static const OSVERSIONINFOW version = [] {
        OSVERSIONINFOW v = {};
        v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        GetVersionExW(&v);
#pragma GCC diagnostic pop
        return v;
    }();
    return version;
}

bool launchProcess(const std::wstring& commandLine, int showCommand) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showCommand);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

bool writeResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                         const std::wstring& path, ResourceWriteFn write) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type.c_str());
    if (!found) return false;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0) return false;

    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        shellFileOperation(FO_DELETE, path, std::wstring(), FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);

    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = write(file, data, size, &written) && written == size;
    ok = CloseHandle(file) && ok;
    // A truncated archive must not be taken for the real one later.
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

bool isVBoxEnabled() { return DevSettings::getInstance()->properties.getBool(L"vbox_enabled", true); }

bool isPlayerInstalled() { return pathExists(getPlayerExePath()); }

bool isEmulatorInstalled() {
    bool vbox = isVBoxEnabled() && isPlayerInstalled();
    bool qv = g_qvTest ? g_qvTest() : isQvInstalled();
    return vbox || qv;
}

void setQvInstalledTestForTests(bool (*test)()) { g_qvTest = test; }

float getProgressPercent(const float& value) { return value; }
