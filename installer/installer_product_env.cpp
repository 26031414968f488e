#include "installer/installer_product_env.h"

#include "installer/channel_config.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "services/system_checks.h"

namespace v2 {

void ProductInstallerEnv::log(const std::string& line) { logPrintf("%s", line.c_str()); }

int32_t ProductInstallerEnv::selectedEngine() {
    return static_cast<int32_t>(selectDownloadVariant(ChannelConfig::instance()).engine);
}

InstallerImpl* ProductInstallerEnv::createImpl(int32_t engine, Installer* owner) {
    if (engine == EngineVBox) return new InstallerVBoxImpl(owner);
    return new InstallerQvImpl(owner);
}

}  // namespace v2
