// The remove operation of both engines (InstallerQvImpl::remove and
// InstallerVBoxImpl::remove): the engine, the helper service, the running
// product programs, the shortcuts, the uninstall entry and the product's
// folders, in bounded time. Nothing that is not the product's is deleted, and
// what cannot be deleted now is deleted at the next restart.
#pragma once

#include <windows.h>

#include <string>

// How long the removal waits; the product never changes them, tests shorten them.
struct RemovalBounds {
    DWORD setupUninstallMs = 600000;  // "qvInstaller.exe uninstall"
    DWORD helperServiceMs = 60000;    // the helper service's stop before its removal
    DWORD helperRetryMs = 5000;       // the second removal, after its process was ended
    // The pause before each of the paced progress events.
    DWORD qvMainPaceMs = 1500;        // Qv: 20, 30, 40 after the engine's setup
    DWORD qvDataPaceMs = 200;         // Qv: 60, 70, 80 after the data folders
    DWORD vboxPaceMs = 100;           // VBox: both runs of three
};
RemovalBounds& removalBounds();

// "X:\..." or "\\server\share\...": a path that does not depend on the current
// drive or folder.
bool isFullyQualifiedPath(const std::wstring& path);

// What the removal may delete whole.
enum class RemovalFolder {
    PlayerHome,   // last component "tarvoplayer"
    DataFolder,   // the user and common data folders: last component "tarvozhushou"
    ShellFolder,  // the desktop and common programs folders the shortcuts live in
};
// True when path is fully qualified, passes the deletion guard and, for the
// player home and the data folders, ends in the product's own folder name
// (case ignored).
bool removalMayDelete(RemovalFolder kind, const std::wstring& path);

// What is left of path after a deletion, except the entries directly inside it
// named in keepList (";"-separated, case ignored), is deleted at the next
// restart: every file in place, then every folder, deepest first. Links are
// scheduled themselves, never followed. Logs "delete at restart: %s" for each.
void scheduleRemainsAtRestart(const std::wstring& path, const std::wstring& keepList);
