#include "installer/uninstall_entry.h"

#include <windows.h>

#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/web_hosts.h"
#include "toolkit/string_util.h"

std::wstring uninstallEntryKey() {
    return L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + getProductDisplayName();
}

std::wstring productSiteAddress() { return webHostAddress(WebHost::Product) + L"/"; }

void writeUninstallEntryFor(const std::wstring& playerExe) {
    const std::wstring key = uninstallEntryKey();
    const std::wstring name = getProductDisplayName();
    const std::wstring loader = getLoaderExePath();
    deleteRegKey(HKEY_LOCAL_MACHINE, key);
    setRegString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon", loader);
    setRegString(HKEY_LOCAL_MACHINE, key, L"DisplayName", name);
    setRegString(HKEY_LOCAL_MACHINE, key, L"DisplayVersion", getFileVersionString(playerExe));
    setRegString(HKEY_LOCAL_MACHINE, key, L"InstallLocation", getUserDataFolder());
    setRegString(HKEY_LOCAL_MACHINE, key, L"Publisher", name);
    setRegString(HKEY_LOCAL_MACHINE, key, L"UninstallString", quote(loader) + L" --uninstall");
    setRegString(HKEY_LOCAL_MACHINE, key, L"URLInfoAbout", productSiteAddress());
}

namespace v2 {

void InstallerQvImpl::writeUninstallEntry() { writeUninstallEntryFor(getQvPlayerExePath()); }

void InstallerVBoxImpl::writeUninstallEntry() { writeUninstallEntryFor(getPlayerExePath()); }

}  // namespace v2
