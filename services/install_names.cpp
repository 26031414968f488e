// The product's fixed names, the loader's own path and the Vista test.
#include "services/install_paths.h"

#include "services/loader_env.h"

std::wstring getHelperName() { return L"TarvoHelper"; }

std::string getPlayerMutexName() { return "player-814d5a85-4771-e112-ff1e-adaf77fa1351"; }

std::string getLoaderMutexName() { return "loader-7e0f6a6d-4d5e-84f6-ede8-8aaaf955fbd5"; }

std::string getHelperMutexName() { return "Global\\helper-79620acd-4c47-3380-56d3-e4aedaa0499d"; }

std::string getSetupMutexName() { return "tarvo-installer-nsis-f596002a-43be-6d15-9c46-15bfad8c1888"; }

std::wstring getLoaderExePath() {
    return dataPath(isOnlineMode() ? getUserDataFolder() : getProgramFolder(), L"\\TarvoLoader.exe");
}

bool isVistaOrLater() {
    const OSVERSIONINFOW& version = getOsVersion();
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}
