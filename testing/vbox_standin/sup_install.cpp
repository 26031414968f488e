// SUPInstall.exe and SUPUninstall.exe stand-ins: the host driver's service
// "VBoxDrv" with the stand-in kernel driver.
#include "testing/vbox_standin/vbox_standin.h"

namespace {

const wchar_t kService[] = L"VBoxDrv";

#ifndef SUP_UNINSTALL
int install(qvs::Start& s) {
    if (!s.args.empty()) {
        vbs::err("SUPInstall.exe: error: This utility takes no arguments");
        vbs::finish(s, 2);
    }
    vbs::applyModes(s, L"SUPInstall", "SUPInstall.exe: info: installing");
    if (s.mode == L"fail") {
        vbs::err("SUPInstall.exe: error: installation failed. rc=VERR_GENERAL_FAILURE");
        vbs::finish(s, 1);
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        vbs::err("SUPInstall.exe: error: installation failed. rc=VERR_ACCESS_DENIED");
        vbs::finish(s, 1);
    }
    bool existed = false;
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_ALL_ACCESS);
    if (service) {
        existed = true;
    } else {
        const std::wstring binary = qvs::ownFolder() + L"VBoxDrv.sys";
        service = CreateServiceW(manager, kService, L"VBox Support Driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
    }
    bool started = service && (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    if (!started) {
        DWORD error = GetLastError();
        if (service && !existed) DeleteService(service);
        if (service) CloseServiceHandle(service);
        CloseServiceHandle(manager);
        vbs::err("SUPInstall.exe: error: installation failed. rc=" +
                 std::string(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "VERR_FILE_NOT_FOUND"
                                                                                             : "VERR_GENERAL_FAILURE"));
        vbs::finish(s, 1);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (existed) {
        vbs::out("SUPInstall.exe: info: Service already existed; started successfully.");
    } else if (s.mode == L"stock") {
        vbs::out("SUPInstall.exe: info: Installed successfully!");
    } else {
        vbs::out("SUPInstall.exe: info: installed successfully");
    }
    vbs::finish(s, 0);
}
#else
int uninstall(qvs::Start& s) {
    vbs::applyModes(s, L"SUPUninstall", "");
    qvs::stopServiceAndWait(kService, 10000);
    qvs::deleteService(kService);
    vbs::out("SUPUninstall.exe: info: uninstalled successfully");
    vbs::finish(s, 0);
}
#endif

}  // namespace

int wmain() {
    qvs::Start s = vbs::begin();
#ifdef SUP_UNINSTALL
    return uninstall(s);
#else
    return install(s);
#endif
}
