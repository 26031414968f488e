// The VBox engine: VirtualBox's own programs, the product's appliance and the
// player.
#pragma once

#include "installer/installer.h"

namespace v2 {

class InstallerVBoxImpl : public InstallerImpl {
public:
    explicit InstallerVBoxImpl(Installer* owner) : InstallerImpl(owner) {}

    int download() override;
    int install() override;
    int upgrade() override;
    int remove() override;
    int fix() override { return 0; }

    // The uninstall entry, "DisplayVersion" from the VBox player (uninstall_entry.h).
    static void writeUninstallEntry();
};

}  // namespace v2
