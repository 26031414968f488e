// Test seams of installer/: only test builds compile them (TARVO_TEST_SEAMS);
// the shipped loader holds none of them.
#pragma once

#ifndef TARVO_TEST_SEAMS
#error "installer/seams.h belongs to test builds"
#endif

#include <windows.h>

#include "installer/installer.h"

namespace v2 {

// Clears the selector's process-wide choice.
void resetSelectionForTests();
// The installer thread's handle (exit code checks).
HANDLE workerHandleForTests(const Installer& installer);

}  // namespace v2

// The progress throttle's source of GetTickCount values (null restores
// GetTickCount), and the forgetting of both kinds' last second, as in a fresh
// process.
void setThrottleTickSourceForTests(DWORD (*source)());
void resetThrottleForTests();
