// The download operation shared by both engine implementations: decides what
// has to be fetched (engine package, .NET package, the channel's app and icon,
// the hall program), fetches it in one Downloader batch into a fresh task
// folder, reports each stage and records where every file lies in the
// download ini that the install operations read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace v2 {

class InstallerImpl;

// 0 the batch finished (or nothing had to be queued), 2 nothing newer is
// needed, -1 any failure. Fires the download stage's events through impl.
int runEngineDownload(InstallerImpl& impl, int32_t engine);

// The name a downloaded file is saved under: the last "/"-separated component
// of the address's path, without query or fragment; no percent-decoding.
std::wstring downloadFileName(const std::wstring& url);

// An entry of the download folder that an earlier run of this channel and
// engine left: cno + "_" + engineWord + "_" + a tail of only digits and dots.
bool isOldTaskFolderName(const std::wstring& name, const std::wstring& cno, const std::wstring& engineWord);

// A zip archive that opens and lists at least one item.
bool isZipWithItems(const std::wstring& path);

// What the .NET road asks of the system.
struct OsFacts {
    bool versionKnown = false;  // GetVersionExW succeeded
    DWORD major = 0;
    bool wow64 = false;  // IsWow64Process, looked up by name
};
OsFacts realOsFacts();

}  // namespace v2
