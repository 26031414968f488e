// Provisional: the install-path functions that the downloader calls, declared
// with their own names until the install paths land; this file then goes and
// its callers include that header instead.
#pragma once

#include <windows.h>

#include <string>

// provisional: replaced when install paths land
// A new empty file "TVD*.tmp" in the product's temporary folder; its full name,
// or the empty text when none could be made.
std::wstring getTempFilePath();

// provisional: replaced when install paths land
// Writes resource (type, id) of module (null: the running program) to path.
bool extractResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                           const std::wstring& path);
