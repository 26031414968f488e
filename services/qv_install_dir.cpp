// The Qv engine's install folder as its installs record it in HKLM, and the
// engine's installed test built on it.
#include "services/install_paths.h"

#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace {

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

// Whoever can write HKLM names this folder and the elevated loader starts tools
// from it: only a plain absolute drive path counts.
bool isValidInstallDir(const std::wstring& dir) {
    if (dir.size() < 3 || dir.size() > MAX_PATH) return false;
    const wchar_t drive = dir[0];
    if (!((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z')) || dir[1] != L':' || dir[2] != L'\\')
        return false;
    for (wchar_t c : dir)
        if (c < 0x20 || c == 0x7f || wcschr(L"*?\"<>|", c)) return false;
    return true;
}

std::wstring readInstallDir() {
    const REGSAM access = KEY_READ | (is64BitWindows() ? KEY_WOW64_64KEY : 0);
    ScopedRegKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\tarvoGames", 0, access, key.receive());
    if (rc != ERROR_SUCCESS)
        rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\tvzsPlayer", 0, access, key.receive());
    if (rc != ERROR_SUCCESS) {
        logPrintf("qvPlayer_path err2 %d: ", (int)rc);
        return std::wstring();
    }
    // Room for the terminator that the registry adds to a value stored without
    // one, and one more that this code writes itself: the text always ends
    // inside the buffer. Longer values fail (ERROR_MORE_DATA) or are refused.
    wchar_t buffer[MAX_PATH + 2] = {};
    DWORD type = 0;
    DWORD bytes = (MAX_PATH + 1) * sizeof(wchar_t);
    rc = RegQueryValueExW(key.get(), L"InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    key.reset();
    if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) rc = ERROR_DATATYPE_MISMATCH;
    if (rc != ERROR_SUCCESS) {
        logPrintf("qvPlayer_path err1 %d: ", (int)rc);
        return std::wstring();
    }
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    return std::wstring(buffer);
}

}  // namespace

std::wstring getQvInstallDir() {
    std::wstring dir;
    try {
        dir = readInstallDir();
    } catch (...) {
        logPrintf("qvPlayer_path %d: err3", (int)GetLastError());
        return std::wstring();
    }
    if (dir.empty()) return dir;
    if (!isValidInstallDir(dir)) {
        logPrintf("qvPlayer_path invalid: %s", ansi(dir).c_str());
        return std::wstring();
    }
    // Tool names are joined directly to the folder.
    if (dir.back() != L'\\') dir += L'\\';
    return dir;
}

bool isQvInstalled() {
    const std::wstring dir = getQvInstallDir();
    if (dir.empty()) return false;
    const std::wstring tool = dir + L"TV-StartLauncher.exe";
    if (!pathExists(tool)) return false;
    logPrintf("qv installed. %s", ansi(tool).c_str());
    return true;
}

