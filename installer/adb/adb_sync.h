// File-transfer side of the adb protocol (the "sync:" service): listing a device
// folder and pushing a PC file or folder tree to the device.
#pragma once

#include <string>

#include "installer/adb/adb_client.h"

namespace adb {

// Lists remotePath and tells whether the entry "." came back; 0 ok, 1 failure.
int listFindsDot(AdbClient& client, const std::string& remotePath, bool& found);

// Pushes a local file or folder (wide path) to remotePath (UTF-8); 0 ok, 1 failure.
int push(AdbClient& client, const std::wstring& localPath, const std::string& remotePath);

}  // namespace adb
