#include "installer/installer_vbox_impl.h"

#include "installer/engine_download.h"

namespace v2 {

int InstallerVBoxImpl::download() { return runEngineDownload(*this, EngineVBox); }

}  // namespace v2
