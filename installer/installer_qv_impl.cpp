#include "installer/installer_qv_impl.h"

#include "installer/engine_download.h"

namespace v2 {

int InstallerQvImpl::download() { return runEngineDownload(*this, EngineQv); }

}  // namespace v2
