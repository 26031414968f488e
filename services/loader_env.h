#pragma once

#include <windows.h>

#include <string>

#include "toolkit/properties.h"
#include "toolkit/singleton.h"

// The loader's environment: its data folders, the adapter ini shared with the
// other programs of the product, the channel number, the product name, the
// developer settings, small registry helpers and the processor-width test.
// Folders are created (with their parents) when missing; creation failures are
// ignored and the path is returned anyway. No path has a trailing backslash.

// When the shell cannot name the application-data folder, each of these is
// the empty text (and nothing is created): callers then create, write and
// delete nothing there and log "no data folder".

// <AppData>\tarvozhushou
std::wstring getUserDataFolder();
// <Common AppData>\tarvozhushou
std::wstring getCommonDataFolder();
// The same path, not created: for reads that must not bring a removed folder back.
std::wstring commonDataFolderPath();
// <user data folder>\cnos
std::wstring getCnosFolder();
// <AppData>\tarvozhushou\log
std::wstring getLogFolder();

// <common data folder>\tarvoadapt.ini, section [main]: mid, mid2, cno,
// app_channel, launched, install_path.
std::wstring getAdaptIniPath();

// folder + rest, or the empty text for an empty folder.
std::wstring dataPath(const std::wstring& folder, const std::wstring& rest);

// The channel number: a valid "cno" value of the command line, else [channel]
// "no" of <user data folder>\cno\cno.ini, else "52817"; the adapter ini's
// [main] "cno" wins over the latter two and is written when empty. A value is
// valid when it has 1 to 64 characters of A-Z a-z 0-9 _ - . and does not begin
// with '.'; anything else counts as absent.
std::wstring getCno(const std::wstring& commandLine);

// Writes [main] "app_channel" to the adapter ini and reports whether it reads
// back unchanged.
bool writeAppChannel(const std::wstring& value);

// The product name shown to the user, from the process command line's channel
// number; computed once per process.
std::wstring getProductDisplayName();

// The developer settings file "tarvo-dev.lic" beside the program (keys "home"
// and "online"), read once per process. Without the file the mode is online
// and `home` is the program folder. With it, `online` is true only for
// online=1 or online=true, and `home` is the "home" value (relative to the
// program folder, canonicalised) or else the folder "home" two levels above
// the program folder. Offline mode takes the player from `home`.
class DevSettings : public ravel::pattern::Singleton<DevSettings> {
public:
    std::wstring home;
    bool online;
    ravel::file::Properties properties;

private:
    friend class ravel::pattern::Singleton<DevSettings>;
    DevSettings();
};

// False in developer (offline) mode; see DevSettings.
bool isOnlineMode();

// REG_SZ write; the key is created when missing.
bool setRegString(HKEY root, const std::wstring& keyPath, const std::wstring& valueName,
                  const std::wstring& value);
// Deletes a key that has no subkeys.
bool deleteRegKey(HKEY root, const std::wstring& keyPath);

// True on 64-bit Windows, also in a 32-bit process.
bool is64BitWindows();
