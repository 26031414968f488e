#include "services/provisional_paths.h"

#include <windows.h>

#include "services/loader_env.h"

// provisional: replaced when install paths land
std::wstring getHelperName() { return L"TarvoHelper"; }

// provisional: replaced when install paths land
std::string getPlayerMutexName() { return "player-814d5a85-4771-e112-ff1e-adaf77fa1351"; }

// provisional: replaced when install paths land
std::string getLoaderMutexName() { return "loader-7e0f6a6d-4d5e-84f6-ede8-8aaaf955fbd5"; }

// provisional: replaced when install paths land
std::string getHelperMutexName() { return "Global\\helper-79620acd-4c47-3380-56d3-e4aedaa0499d"; }

// provisional: replaced when install paths land
std::string getSetupMutexName() { return "tarvo-installer-nsis-f596002a-43be-6d15-9c46-15bfad8c1888"; }

// provisional: replaced when install paths land
std::wstring getLoaderExePath() {
    std::wstring folder;
    if (isOnlineMode()) {
        folder = getUserDataFolder();
    } else {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        folder = path;
        size_t slash = folder.find_last_of(L'\\');
        folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
    }
    return folder + L"\\TarvoLoader.exe";
}

// provisional: replaced when install paths land
bool isVistaOrLater() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 6;
}
