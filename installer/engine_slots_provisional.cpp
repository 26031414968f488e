// provisional: the VBox install and upgrade are not built yet. Each slot throws
// NotBuilt and is listed by ProductInstallerEnv::missingRows(); remove a slot
// here when its operation lands.
#include "installer/installer_not_built.h"
#include "installer/installer_product_env.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"

namespace v2 {

int InstallerVBoxImpl::install() { throw NotBuilt("InstallerVBoxImpl::install"); }
int InstallerVBoxImpl::upgrade() { throw NotBuilt("InstallerVBoxImpl::upgrade"); }

std::vector<std::string> ProductInstallerEnv::missingRows() {
    return {"InstallerVBoxImpl::install", "InstallerVBoxImpl::upgrade"};
}

}  // namespace v2
