// Where the product's programs and folders are, version texts, process starts,
// resources written to files and the installed tests. All paths are wide and
// have no trailing backslash.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Names of the helper service and of the mutexes that mark running programs.
std::wstring getHelperName();
std::string getPlayerMutexName();
std::string getLoaderMutexName();
std::string getHelperMutexName();
std::string getSetupMutexName();

// Folder of the running program's file.
std::wstring getProgramFolder();
// CSIDL_DESKTOP; empty when the shell cannot tell.
std::wstring getDesktopFolder();
// The VBox player's install folder. Offline: the developer settings' home.
// Online: HKLM "Software\tarvoplayer\tarvoplayer" "path" (32-bit view), else
// the adapter ini's [main] "install_path", else getDefaultPlayerFolder.
std::wstring getPlayerHome();
// The player homes that only administrators can have chosen. Offline: the
// developer settings' home. Online: the HKLM path above, and the default player
// folder in the system's Program Files. Never the adapter ini: its folder is
// writable by every user. Nothing is created.
std::vector<std::wstring> getAdminPlayerHomes();
// (online: player home, offline: program folder) + "\TarvoPlayer.exe".
std::wstring getPlayerExePath();
// (online: user data folder, offline: program folder) + "\TarvoLoader.exe".
std::wstring getLoaderExePath();
// (online: user data folder, offline: program folder) + "\TarvoHall.exe".
std::wstring getHallExePath();
// player home + "\qvPlayer".
std::wstring getQvPlayerFolder();
// player home + "\qvPlayer.exe".
std::wstring getQvPlayerExePath();
// The install root with 5 GiB free + "\tarvoplayer", created when missing (also
// for a mere query). The root is chosen once per process, on first use, so that
// an install that fills a drive does not move later paths to another drive.
std::wstring getDefaultPlayerFolder();
// user data folder + "\download", created when missing.
std::wstring getDownloadFolder();
// user data folder + "\download\" + cno + "_" + engineWord + "_" + version,
// created when missing. Characters that would leave that one folder name
// ("\", "/", ":", "*", "?", '"', "<", ">", "|", control characters) become "_".
std::wstring getDownloadTaskFolder(const std::wstring& cno, const std::wstring& version,
                                   const std::wstring& engineWord);
// download folder + "\download_" + name + ".ini", name cleaned as above.
std::wstring getDownloadIniPath(const std::wstring& name);

// Adapter ini [main] "install_path" = path.
void setPlayerInstallPath(const std::wstring& path);
// Adapter ini [main] "launched" = "1".
void markLaunched();

// Owns a module handle (null stands for the running program in look-ups) and
// frees it with FreeLibrary. Not copyable: a copy would free it twice.
class ModuleHandle {
public:
    explicit ModuleHandle(HMODULE module = nullptr) : module_(module) {}
    ~ModuleHandle();
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;
    ModuleHandle(ModuleHandle&& other) noexcept;
    ModuleHandle& operator=(ModuleHandle&& other) noexcept;

    HMODULE get() const { return module_; }
    // extractResourceToFile with type and path in the thread's ANSI code page.
    bool extractResource(const std::string& type, unsigned short id, const std::string& path) const;

private:
    HMODULE module_;
};

// 1 when a is newer, -1 when b is, 0 when equal. Up to four dot-separated
// parts, missing ones 0; each part is its digits as an unsigned 32-bit value
// (wrapping), compared as signed 32-bit.
int compareVersions(const std::wstring& a, const std::wstring& b);
// "a.b.c.d" of the file's version block; an empty path is the running program.
bool getFileVersion(const std::wstring& path, std::wstring& out);
std::wstring getFileVersionString(const std::wstring& path);
std::wstring getOwnVersion();
std::wstring getPlayerVersion();
std::wstring getQvPlayerVersion();

// Read once per process.
const OSVERSIONINFOW& getOsVersion();
bool isVistaOrLater();

// Starts commandLine (its first token is the program) with the caller's
// start-up information and showCommand; closes both handles at once and never
// waits. False when the process could not be created.
bool launchProcess(const std::wstring& commandLine, int showCommand);

// A new empty "TVD*.tmp" file in getTempDataFolder; its full name, or empty.
std::wstring getTempFilePath();

// The developer settings' "vbox_enabled", default true.
bool isVBoxEnabled();
// A file exists at getPlayerExePath.
bool isPlayerInstalled();
// (isVBoxEnabled and isPlayerInstalled) or the Qv engine is installed; the Qv
// test runs in every case.
bool isEmulatorInstalled();
// HKLM "SOFTWARE\tarvoGames" (or, when that key does not open, "SOFTWARE\tvzsPlayer")
// "InstallDir", in the 64-bit view on 64-bit Windows. Only an absolute drive path
// of at most 260 characters without control characters or * ? " < > | counts; it
// is returned with a trailing backslash. Empty otherwise.
std::wstring getQvInstallDir();
// The Qv engine's installed test: its launcher lies in getQvInstallDir.
bool isQvInstalled();

float getProgressPercent(const float& value);

