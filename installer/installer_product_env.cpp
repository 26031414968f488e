#include "installer/installer_product_env.h"

#include "installer/channel_config.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "services/system_checks.h"

namespace v2 {

std::vector<std::string> ProductInstallerEnv::missingRows() { return {"createImpl"}; }

void ProductInstallerEnv::log(const std::string& line) { logPrintf("%s", line.c_str()); }

bool ProductInstallerEnv::isEmulatorInstalled() { return ::isEmulatorInstalled(); }

bool ProductInstallerEnv::isPlayerInstalled() { return ::isPlayerInstalled(); }

int32_t ProductInstallerEnv::selectedEngine() {
    return static_cast<int32_t>(selectDownloadVariant(ChannelConfig::instance()).engine);
}

InstallerImpl* ProductInstallerEnv::createImpl(int32_t, Installer*) { throw NotBuilt("createImpl"); }

}  // namespace v2
