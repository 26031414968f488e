// The product's state in a road test's prefix: what an install leaves behind,
// cleared before and after each case so that one case never sees another's.
#pragma once

#include <windows.h>

#include <string>

namespace tst {

// Ends every process whose program file lies under folder.
void endProcessesUnder(const std::wstring& folder);

// Clears the helper service and the Qv engine's services, the processes of the
// player and user data folders, the Qv engine's registry keys, the player
// folder, the user data folder's programs, apps and downloads, the desktop and
// start-menu links, the uninstall entry and the adapter ini's "install_path".
void clearProductState();

}  // namespace tst
