// The product's uninstall entry, written by the install operations. Each engine
// has its copy (InstallerQvImpl::writeUninstallEntry and
// InstallerVBoxImpl::writeUninstallEntry); they differ only in the player whose
// version the entry shows.
#pragma once

#include <string>

// "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\" + the display name,
// under HKLM in the running process's own registry view.
std::wstring uninstallEntryKey();

// The product's web site: the product host + "/".
std::wstring productSiteAddress();

// Deletes the entry's key and writes its seven values, "DisplayVersion" from
// playerExe's version block (empty without one). Every result is ignored: a
// key with subkeys cannot be deleted, and its values are then overwritten.
void writeUninstallEntryFor(const std::wstring& playerExe);
