#pragma once

// Texts that reach the guest's shell (adb "shell:" services) and the player's
// command line: the checks they pass first and the quoting they get.

#include <string>

// One argument for the guest's shell: in double quotes, with "\", '"', "$" and "`"
// escaped by a backslash. False (out untouched) for a text holding a character below
// U+0020 or U+007F.
bool quoteForDeviceShell(const std::wstring& text, std::wstring& out);

// A package or activity name that may be started in the guest.
bool isAcceptedPackage(const std::wstring& package);
bool isAcceptedActivity(const std::wstring& activity);
