// provisional: the engines' remove operations are not built yet. Each slot
// throws NotBuilt and is listed by
// ProductInstallerEnv::missingRows(); remove a slot here when its operation lands.
#include "installer/installer_not_built.h"
#include "installer/installer_product_env.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"

namespace v2 {

int InstallerQvImpl::remove() { throw NotBuilt("InstallerQvImpl::remove"); }
int InstallerVBoxImpl::remove() { throw NotBuilt("InstallerVBoxImpl::remove"); }

std::vector<std::string> ProductInstallerEnv::missingRows() {
    return {"InstallerQvImpl::remove", "InstallerVBoxImpl::remove"};
}

}  // namespace v2
