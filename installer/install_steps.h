// The steps that the two engines' install operations share: the start with its
// download, the helper programs, the helper service with the shortcuts and the
// uninstall entry, the filing of the fetched app packages and the end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "installer/installer.h"
#include "services/http_stat.h"
#include "services/system_checks.h"

class IniFile;
class ServiceControl;

namespace v2 {

// "安装" for an install, "更新" for an upgrade or a fix, empty otherwise.
std::wstring installActionWord(const InstallerImpl& impl);

// One statistics request, sent now.
void installStat(const std::wstring& action, const UrlParams& extras = UrlParams());

// The channel number of the process command line.
std::wstring commandLineCno();

// The folder above path, without a trailing backslash unless it is a root
// ("D:\x" gives "D:\"); path itself for a root or a name without a folder.
std::wstring parentFolder(const std::wstring& path);
std::wstring fileNameOf(const std::wstring& path);
std::wstring baseNameOf(const std::wstring& path);

// Logs "do install...", sends startAction, sets actionWord and runs the
// download slot. Returns its result r. For r < 0 the download's own failure
// event stays the run's final one: failedAction is sent (when not empty) and
// "download failed: %d" logged. For r = 2 the run's final event
// (2, 0, 100, actionWord + "成功") is fired here.
int startInstall(InstallerImpl& impl, const std::wstring& startAction, const std::wstring& failedAction,
                 std::wstring& actionWord);

// Stops and removes the helper service within timeoutMs. When it exists and
// will not stop, "stop helper failed: %u" is logged and it stays; the later
// installAndStart opens it. True when it was removed.
bool stopHelperService(ServiceControl& services, DWORD timeoutMs);

// Moves playerFolder + "\<name>.exe" for each name into the user data folder
// ("cp <name> ..." before each), then the fetched hall program hallExe to
// "TarvoHall.exe" ("cp TarvoHall...").
void moveHelperPrograms(const std::wstring& playerFolder, const std::vector<std::wstring>& names,
                        const std::wstring& hallExe);

// The helper service, the desktop and start-menu shortcuts and the uninstall
// entry of engine. With loaderSelfCopy and no hall program, a running program
// named "tarvoloader..." first copies itself to the loader path, and the
// desktop link to the loader is made only when that file exists.
void installHelperAndShortcuts(ServiceControl& services, EngineKind engine, bool loaderSelfCopy);

// A path value of the download ini, made full, when the elevated loader may
// delete, run, load or copy it: it lies inside the download folder with no
// link below that folder, and names a plain file or nothing yet. Any other
// value is logged "refused: %s" and answered as the empty text. The ini lies
// in the user's own folder, so every reader of a path value goes through here.
std::wstring downloadedFile(const std::wstring& value);

// Files the download ini's package entries (at most 64) under the channel's
// app folder (created even without entries). With copyIcon the fetched icon
// picture is copied there too and named by [app] "icon". Every path value
// goes through downloadedFile.
void fileAppPackages(const IniFile& downloadIni, bool copyIcon);

// The end of a finished run: (1, 0, percent, "安装应用..."), the app
// shortcuts, (2, 0, 100, "安装成功"), "install ok!" and okAction.
void finishInstall(InstallerImpl& impl, float percent, const std::wstring& okAction);

// True when path, made full, lies inside folder (made full), ignoring case.
bool isPathInside(const std::wstring& path, const std::wstring& folder);

}  // namespace v2
