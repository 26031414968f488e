// The Qv engine, driven only through its own tools, its registry entry, its
// process and its services. Nothing is cached: every call reads the registry
// and the file system anew. With no valid install folder every operation
// answers false (or does nothing); no tool is ever started from a relative path.
#pragma once

#include <windows.h>

#include <string>

#include "installer/channel_config.h"
#include "services/install_paths.h"

// How long the loader waits for the engine's tools; tests shorten them.
struct QvToolLimits {
    DWORD quitMs = 60000;          // TV-Quit.exe
    DWORD apkHandlerMs = 600000;   // TV-ApkHandler.exe (the install takes minutes)
    DWORD serviceStopMs = 60000;   // each service's stop before its removal
};
QvToolLimits& qvToolLimits();

// getQvInstallDir() and isQvInstalled() are declared in services/install_paths.h.
// Some process named TV-Service.exe runs.
bool isQvRunning();
// Runs TV-Quit.exe and waits for it (bounded). Always true.
bool quitQv();
// Removes tvHdAndroidSvc and tvHdDrv (stop with dependents, delete). Always true.
bool deleteQvServices();
// Runs TV-ApkHandler.exe on the APK and waits (bounded); true when it ran to its
// end. A path with '"' or a control character is refused.
bool installApkWithQv(const std::wstring& apkPath, bool hidden);
// The activity of the first gadget icon "<package>.<activity>.png" in qvDir's
// gadget folder whose activity is not empty.
bool findGadgetActivity(std::wstring& activity, const std::wstring& qvDir, const std::wstring& package);
// The installed-app record of appId (empty when not listed), and whether the
// engine holds it (its gadget icon exists); activity may be corrected from the icon.
bool lookupQvApp(const std::wstring& appId, AppInfo& app);
// Starts TV-RunApp.exe " -p <package> -a <activity>"; refuses unsafe names.
bool runQvApp(const std::wstring& package, const std::wstring& activity);
// Starts TV-StartLauncher.exe.
bool startQvLauncher();
// Empty id: the launcher. Otherwise installs the app's APK when the engine does not
// hold it yet, deletes the APK and starts the app.
bool launchQvAppById(const std::wstring& appId);
