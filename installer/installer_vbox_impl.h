// The VBox engine: VirtualBox's own programs, the product's appliance and the
// player.
#pragma once

#include <windows.h>

#include "installer/engine_context.h"
#include "installer/installer.h"
#include "toolkit/smart_ptr.h"

namespace tarvo {
namespace vboxmgr {
class VBoxManager;
struct VBoxNotify;
}  // namespace vboxmgr
}  // namespace tarvo

namespace v2 {

class InstallerVBoxImpl : public InstallerImpl {
public:
    explicit InstallerVBoxImpl(Installer* owner) : InstallerImpl(owner) {}
    // Leaves the manager's notifier it joined.
    ~InstallerVBoxImpl() override;

    int download() override;
    int install() override;
    int upgrade() override;
    int remove() override;
    int fix() override { return 0; }

    // The uninstall entry, "DisplayVersion" from the VBox player (uninstall_entry.h).
    static void writeUninstallEntry();

    // Install and upgrade: the download, then the engine package, VirtualBox
    // and the appliance, the helper programs and service, the shortcuts and
    // the channel's apps in the VM. 0 done, 2 nothing newer, negative on failure.
    int doInstall();

    // The manager's progress during its install, as running events from 40 to 61.
    void onVBoxNotify(tarvo::vboxmgr::VBoxManager* sender,
                      ravel::object::smart_ptr<tarvo::vboxmgr::VBoxNotify> notify);

    // The manager this object works with: the process's own unless one was given.
    tarvo::vboxmgr::VBoxManager& manager();
    // Test builds give a manager on a test host (installer/seams.h).
    friend void setManagerForTests(InstallerVBoxImpl& impl, tarvo::vboxmgr::VBoxManager* manager);

protected:
    // The context the apps go into; tests script it.
    virtual ravel::object::smart_ptr<Context> engineContext();

private:
    int installSteps();

    tarvo::vboxmgr::VBoxManager* manager_ = nullptr;
    tarvo::vboxmgr::VBoxManager* connected_ = nullptr;
};

// How long the install waits; tests shorten it.
struct VBoxInstallLimits {
    DWORD helperServiceMs = 60000;  // stopping the helper service before its removal
    DWORD appInstallMs = 300000;    // one app into the VM
};
VBoxInstallLimits& vboxInstallLimits();

}  // namespace v2
