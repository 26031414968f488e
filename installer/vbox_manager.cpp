// provisional: the manager's bodies are being written; every operation throws
// NotBuilt until then.
#include "installer/vbox_manager.h"

#include "installer/installer_not_built.h"

namespace tarvo {
namespace vboxmgr {

VBoxToolLimits& vboxToolLimits() {
    static VBoxToolLimits limits;
    return limits;
}

VBoxHost& productVBoxHost() { throw NotBuilt("productVBoxHost"); }
std::wstring setEnvironmentValue(const std::wstring&, const std::wstring&) { throw NotBuilt("setEnvironmentValue"); }

VBoxManager::VBoxManager(VBoxHost& host) : uninstall_enabled(true), host_(host), notifier_(this), backupMade_(false) {}
VBoxManager::VBoxManager() : VBoxManager(productVBoxHost()) {}
VBoxManager::~VBoxManager() {}
bool VBoxManager::init() { throw NotBuilt("VBoxManager::init"); }
int32_t VBoxManager::install(const std::wstring&, const std::wstring&, const std::wstring&) { throw NotBuilt("VBoxManager::install"); }
void VBoxManager::uninstall(const std::wstring&) { throw NotBuilt("VBoxManager::uninstall"); }
int32_t VBoxManager::good() { throw NotBuilt("VBoxManager::good"); }
bool VBoxManager::isEngineReady() { throw NotBuilt("VBoxManager::isEngineReady"); }
int32_t VBoxManager::getGlChannel() { throw NotBuilt("VBoxManager::getGlChannel"); }
int32_t VBoxManager::prepareGlobalXml(const std::wstring&) { throw NotBuilt("VBoxManager::prepareGlobalXml"); }
int32_t VBoxManager::registerComDll(const std::wstring&, bool) { throw NotBuilt("VBoxManager::registerComDll"); }
void VBoxManager::setCompatLayers() { throw NotBuilt("VBoxManager::setCompatLayers"); }
void VBoxManager::removeCompatLayers() { throw NotBuilt("VBoxManager::removeCompatLayers"); }
bool VBoxManager::isWindowsXP() { throw NotBuilt("VBoxManager::isWindowsXP"); }
bool VBoxManager::repairOleAutomation() { throw NotBuilt("VBoxManager::repairOleAutomation"); }
int32_t VBoxManager::importAppliance(const std::wstring&) { throw NotBuilt("VBoxManager::importAppliance"); }
int32_t VBoxManager::stop() { throw NotBuilt("VBoxManager::stop"); }
std::wstring VBoxManager::applianceFileName() { throw NotBuilt("VBoxManager::applianceFileName"); }
int VBoxManager::repairCount() { throw NotBuilt("VBoxManager::repairCount"); }

}  // namespace vboxmgr
}  // namespace tarvo
