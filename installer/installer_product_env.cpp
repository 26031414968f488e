#include "installer/installer_product_env.h"

namespace v2 {

std::vector<std::string> ProductInstallerEnv::missingRows() {
    return {"log", "isEmulatorInstalled", "isPlayerInstalled", "selectedEngine", "createImpl"};
}

void ProductInstallerEnv::log(const std::string&) { throw NotBuilt("log"); }

bool ProductInstallerEnv::isEmulatorInstalled() { throw NotBuilt("isEmulatorInstalled"); }

bool ProductInstallerEnv::isPlayerInstalled() { throw NotBuilt("isPlayerInstalled"); }

int32_t ProductInstallerEnv::selectedEngine() { throw NotBuilt("selectedEngine"); }

InstallerImpl* ProductInstallerEnv::createImpl(int32_t, Installer*) { throw NotBuilt("createImpl"); }

}  // namespace v2
