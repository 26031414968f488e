#include "services/loader_env.h"

#include <shlobj.h>

#include <atomic>

#include "services/ini_file.h"
#include "services/log.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif
#include "toolkit/cmdline.h"
#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"

namespace {

const wchar_t kProductFolder[] = L"\\tarvozhushou";

std::wstring ensureFolder(const std::wstring& path) {
    if (!path.empty()) createDirectories(path);  // failures are ignored: the path is returned anyway
    return path;
}

#ifdef TARVO_TEST_SEAMS
DataFolderLookup g_lookup = nullptr;
#endif

// The shell's folder, or the empty text when it cannot name it: a product
// folder joined to an empty base would lie on the current drive's root.
std::wstring shellFolder(int csidl) {
#ifdef TARVO_TEST_SEAMS
    if (g_lookup) {
        std::wstring folder;
        return g_lookup(csidl, folder) ? folder : std::wstring();
    }
#endif
    return getSpecialFolder(csidl, std::wstring());
}

std::wstring appDataFolder() { return shellFolder(CSIDL_APPDATA); }

std::wstring productFolder(const std::wstring& base) { return base.empty() ? base : base + kProductFolder; }

// Channel numbers name folders and files (download\<cno>_..., cnos\<cno>.ini),
// so only plain names are taken.
bool isValidCno(const std::wstring& cno) {
    if (cno.empty() || cno.size() > 64 || cno[0] == L'.') return false;
    for (wchar_t c : cno) {
        bool ok = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                  c == L'_' || c == L'-' || c == L'.';
        if (!ok) return false;
    }
    return true;
}

// An invalid value counts as absent. It is logged once per process: every
// statistics request reads the channel number again.
std::wstring checkedCno(const std::wstring& value, const char* source) {
    if (value.empty() || isValidCno(value)) return value;
    static std::atomic<bool> logged(false);
    if (!logged.exchange(true))
        logPrintf("ignoring invalid cno from %s: %s", source, wideToAnsi(value).c_str());
    return std::wstring();
}

std::wstring mapCnoAlias(const std::wstring& cno) { return cno == L"quillmoss" ? L"500124375" : cno; }

}  // namespace

std::wstring getUserDataFolder() { return ensureFolder(productFolder(appDataFolder())); }

std::wstring commonDataFolderPath() { return productFolder(shellFolder(CSIDL_COMMON_APPDATA)); }

std::wstring getCommonDataFolder() {
    return ensureFolder(commonDataFolderPath());
}

std::wstring getCnosFolder() { return ensureFolder(dataPath(getUserDataFolder(), L"\\cnos")); }

std::wstring getLogFolder() { return ensureFolder(dataPath(productFolder(appDataFolder()), L"\\log")); }

std::wstring getAdaptIniPath() { return dataPath(getCommonDataFolder(), L"\\tarvoadapt.ini"); }

std::wstring dataPath(const std::wstring& folder, const std::wstring& rest) {
    return folder.empty() ? folder : folder + rest;
}

#ifdef TARVO_TEST_SEAMS
void setDataFolderLookupForTests(DataFolderLookup lookup) { g_lookup = lookup; }
#endif

std::wstring getCno(const std::wstring& commandLine) {
    clx::basic_argument<wchar_t> words = readCommandWords(commandLine);
    std::wstring cno;
    words.get_option(L"cno", cno);
    cno = checkedCno(cno, "the command line");
    const bool fromCommandLine = !cno.empty();

    if (cno.empty()) {
        IniFile channelFile(dataPath(getUserDataFolder(), L"\\cno\\cno.ini"));
        cno = checkedCno(channelFile.getString(L"channel", L"no", L""), "cno.ini");
    }
    cno = mapCnoAlias(cno);
    if (cno.empty()) cno = L"52817";

    IniFile adapter(getAdaptIniPath());
    std::wstring stored = checkedCno(adapter.getString(L"main", L"cno", L""), "the adapter ini");
    if (stored.empty()) {
        adapter.setString(L"main", L"cno", cno);
    } else if (!fromCommandLine) {
        cno = mapCnoAlias(stored);
    }
    return cno;
}

bool writeAppChannel(const std::wstring& value) {
    IniFile adapter(getAdaptIniPath());
    adapter.setString(L"main", L"app_channel", value);
    return adapter.getString(L"main", L"app_channel", L"") == value;
}

std::wstring getProductDisplayName() {
    static const std::wstring name = getCno(GetCommandLineW()).find(L"lm_120639") != std::wstring::npos
                                         ? L"塔沃模拟器"
                                         : L"塔沃助手";
    return name;
}

DevSettings::DevSettings() : online(true) {
    const std::wstring programFolder = ravel::file::Path(getModulePath()).getDirectory();
    home = programFolder;
    const std::wstring settingsFile = programFolder + L"\\tarvo-dev.lic";
    if (!pathExists(settingsFile)) return;

    home = ((ravel::file::Path(programFolder) - 2) / L"home").toString();
    properties.load(settingsFile);
    online = properties.getBool(L"online", false);
    std::wstring value = properties.get(L"home");
    trim(value, L" \t");
    if (value.empty()) return;
    ravel::file::Path resolved(value);
    if (isRelative(value)) {
        if (!resolved.combine(programFolder)) resolved = ravel::file::Path(programFolder) / value;
    } else {
        resolved.canonicalize();
    }
    home = resolved.toString();
}

bool isOnlineMode() { return DevSettings::getInstance()->online; }

bool setRegString(HKEY root, const std::wstring& keyPath, const std::wstring& valueName,
                  const std::wstring& value) {
    ScopedRegKey key;
    LONG r = RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_WRITE, key.receive());
    if (r != ERROR_SUCCESS) {
        r = RegCreateKeyExW(root, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, key.receive(), nullptr);
    }
    if (r != ERROR_SUCCESS) return false;
    r = RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return r == ERROR_SUCCESS;
}

bool deleteRegKey(HKEY root, const std::wstring& keyPath) {
    {
        ScopedRegKey key;
        if (RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_SET_VALUE, key.receive()) != ERROR_SUCCESS) return false;
    }
    return RegDeleteKeyW(root, keyPath.c_str()) == ERROR_SUCCESS;
}

bool is64BitWindows() {
    typedef void(WINAPI * GetNativeSystemInfoFunction)(LPSYSTEM_INFO);
    SYSTEM_INFO info = {};
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    GetNativeSystemInfoFunction native =
        kernel ? reinterpret_cast<GetNativeSystemInfoFunction>(
                     reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")))
               : nullptr;
    if (native) {
        native(&info);
    } else {
        GetSystemInfo(&info);
    }
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}
