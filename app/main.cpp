// TarvoLoader.exe: the start-up road over the product's services.
#include <windows.h>

#include <string>

#include "app/product_services.h"
#include "app/startup.h"
#include "installer/installer_product_env.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Until every service is wired the road cannot run: say what is missing.
    std::string incomplete = app::incompleteServicesMessage(GetCommandLineW());
    if (!incomplete.empty()) {
        std::wstring text(incomplete.begin(), incomplete.end());
        text += L"\n";
        OutputDebugStringW(text.c_str());
        return -1;
    }

    // Static: the installer singleton, destroyed at exit, may still log.
    static v2::ProductInstallerEnv installerEnv;
    v2::setInstallerEnv(&installerEnv);
    static app::ProductStartupServices services;
    return app::runStartupRoad(GetCommandLineW(), services);
}
