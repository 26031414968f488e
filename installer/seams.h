// Test seams of installer/: only test builds compile them (TARVO_TEST_SEAMS);
// the shipped loader holds none of them.
#pragma once

#ifndef TARVO_TEST_SEAMS
#error "installer/seams.h belongs to test builds"
#endif

#include <windows.h>

#include <functional>
#include <string>

#include "installer/engine_download.h"
#include "installer/installer.h"
#include "installer/installer_vbox_impl.h"

namespace v2 {

// Clears the selector's process-wide choice.
void resetSelectionForTests();
// The installer thread's handle (exit code checks).
HANDLE workerHandleForTests(const Installer& installer);

// Replaces the facts of the system that the .NET road asks; an empty function
// restores realOsFacts.
void setOsFactsForTests(const std::function<OsFacts()>& facts);

// Replaces the box that a window run shows when the Qv engine's setup fails;
// null restores MessageBoxW.
typedef int (*SetupFailureBox)(const std::wstring& text, const std::wstring& caption, UINT style);
void setSetupFailureBoxForTests(SetupFailureBox box);

// The manager the object works with: one on a test host; null goes back to
// the process's own.
void setManagerForTests(InstallerVBoxImpl& impl, tarvo::vboxmgr::VBoxManager* manager);

// Stands in for the Qv engine's APK handler in the Qv install's app step
// (installApkWithQv); null restores it.
typedef bool (*QvApkHandler)(const std::wstring& apkPath, bool hidden);
void setQvApkHandlerForTests(QvApkHandler handler);

// Sees every start-menu web-site link the install makes (folder, file name,
// address) before it is written; null stops it.
typedef void (*UrlShortcutObserver)(const std::wstring& folder, const std::wstring& name, const std::wstring& url);
void setUrlShortcutObserverForTests(UrlShortcutObserver observer);

}  // namespace v2

// The progress throttle's source of GetTickCount values (null restores
// GetTickCount), and the forgetting of both kinds' last second, as in a fresh
// process.
void setThrottleTickSourceForTests(DWORD (*source)());
void resetThrottleForTests();
