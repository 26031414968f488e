// The Qv engine: installed through its own setup program and driven only
// through its tools, services and registry key.
#pragma once

#include "installer/installer.h"

namespace v2 {

class InstallerQvImpl : public InstallerImpl {
public:
    explicit InstallerQvImpl(Installer* owner) : InstallerImpl(owner) {}

    int download() override;
    int install() override;
    int upgrade() override;
    int remove() override;
    int fix() override { return 0; }

    // Install and upgrade: the download, then the engine package, the helper
    // programs and service, the shortcuts, the engine's setup and the channel's
    // apps. 0 done, 2 nothing newer, negative on failure.
    int doInstall();

    // The uninstall entry, "DisplayVersion" from the Qv player (uninstall_entry.h).
    static void writeUninstallEntry();

private:
    int installSteps();
};

// How long the install waits for the programs it runs; tests shorten them.
struct QvInstallLimits {
    DWORD setupMs = 900000;          // qvInstaller.exe
    DWORD dotnetMs = 900000;         // the .NET package
    DWORD helperServiceMs = 60000;   // stopping the helper service before its removal
    DWORD progressPeriodMs = 3000;   // the app install's progress events
};
QvInstallLimits& qvInstallLimits();

// One app install's progress: 0.5 more every period from 90.5 to 98.5, until
// the install says it is done. arg is the InstallerImpl.
DWORD WINAPI qvInstallProgressThread(LPVOID arg);

}  // namespace v2
