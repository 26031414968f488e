// TarvoLoader.exe: the start-up road over the product's services.
#include <windows.h>

#include <string>

#include "app/product_services.h"
#include "app/startup.h"
#include "installer/installer_not_built.h"
#include "installer/installer_product_env.h"
#include "services/log.h"
#include "toolkit/log_sink.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ravel::log::setLineSink(&writeLogLine);
    // Rows not wired yet are named for whoever watches; the road runs anyway
    // and stops only when it reaches one of them.
    const std::string incomplete = app::incompleteServicesMessage(GetCommandLineW());
    if (!incomplete.empty()) OutputDebugStringA((incomplete + "\n").c_str());

    // Static: the installer singleton, destroyed at exit, may still log.
    static v2::ProductInstallerEnv installerEnv;
    v2::setInstallerEnv(&installerEnv);
    static app::ProductStartupServices services;
    int rc;
    try {
        rc = app::runStartupRoad(GetCommandLineW(), services);
    } catch (const NotBuilt& e) {
        logPrintf("start-up service not built: %s", e.what());
        OutputDebugStringA((std::string("start-up service not built: ") + e.what() + "\n").c_str());
        rc = -1;
    }
    logPrintf("loader exit %d", rc);
    return rc;
}
