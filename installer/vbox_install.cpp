// The VBox engine's install and upgrade operation.
#include <windows.h>

#include "installer/app_list.h"
#include "installer/channel_config.h"
#include "installer/engine_context.h"
#include "installer/install_steps.h"
#include "installer/installer_vbox_impl.h"
#include "installer/vbox_manager.h"
#include "services/helper_service.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/system_checks.h"
#include "toolkit/file_util.h"
#include "toolkit/string_util.h"
#include "toolkit/zip_extract.h"

#ifdef TARVO_TEST_SEAMS
#include "installer/seams.h"
#endif

namespace v2 {

using tarvo::vboxmgr::VBoxManager;
using tarvo::vboxmgr::VBoxNotify;

namespace {

std::string ansi(const std::wstring& text) { return wideToAnsi(text); }

typedef ravel::object::delegate<void(VBoxManager*, ravel::object::smart_ptr<VBoxNotify>)> NotifyListener;

}  // namespace

VBoxInstallLimits& vboxInstallLimits() {
    static VBoxInstallLimits limits;
    return limits;
}

InstallerVBoxImpl::~InstallerVBoxImpl() {
    if (connected_) connected_->notifier().disconnect(NotifyListener(this, &InstallerVBoxImpl::onVBoxNotify));
}

VBoxManager& InstallerVBoxImpl::manager() { return manager_ ? *manager_ : *VBoxManager::getInstance(); }

#ifdef TARVO_TEST_SEAMS
void setManagerForTests(InstallerVBoxImpl& impl, VBoxManager* manager) { impl.manager_ = manager; }
#endif

ravel::object::smart_ptr<Context> InstallerVBoxImpl::engineContext() { return findContext(L"vbox_1"); }

void InstallerVBoxImpl::onVBoxNotify(VBoxManager*, ravel::object::smart_ptr<VBoxNotify> notify) {
    const float p = notify.get() ? notify->percent : 0.0f;
    progressEvent()(1, 1, 0, 40 + 21 * p / 100, std::wstring(), L"正在安装虚拟机引擎...");
}

int InstallerVBoxImpl::install() { return doInstall(); }
int InstallerVBoxImpl::upgrade() { return doInstall(); }

int InstallerVBoxImpl::doInstall() {
    // The manager is destroyed before this object at process exit: nothing of
    // the run may stay connected to it.
    struct Disconnect {
        InstallerVBoxImpl* self;
        ~Disconnect() {
            if (!self->connected_) return;
            self->connected_->notifier().disconnect(NotifyListener(self, &InstallerVBoxImpl::onVBoxNotify));
            self->connected_ = nullptr;
        }
    } disconnect{this};
    const int result = installSteps();
    logPrintf("install end: %d", result);
    return result;
}

int InstallerVBoxImpl::installSteps() {
    InstallProgressEvent& fire = progressEvent();
    const std::wstring none;
    std::wstring actionWord;
    const int r = startInstall(*this, L"vbox_install_start", L"vbox_download_failed", actionWord);
    if (r < 0 || r == 2) return r;

    float percent = 0;
    bool engineOk = false;
    const IniFile ini(getDownloadIniPath(commandLineCno()));
    const std::wstring mainPkg = downloadedFile(ini.getString(L"vbox_download", L"main_pkg"));
    const std::wstring hallExe = downloadedFile(ini.getString(L"vbox_download", L"hall_exe"));

    if (mainPkg.empty() || !pathExists(mainPkg)) {
        // An engine that is up to date gets only the channel's app.
        if (isPlayerInstalled() && manager().isEngineReady()) {
            logPrintf("engine up to date, apps only");
            engineOk = true;
            percent = 90;
        } else {
            logPrintf("no engine package and the engine is not ready");
        }
    } else {
        logPrintf("stop service and app...");
        fire(1, 0, 0, 0, none, L"开始" + actionWord);
        ServiceControl services;
        stopHelperService(services, vboxInstallLimits().helperServiceMs);

        percent = 10;
        fire(1, 1, 0, 10, none, actionWord + L"塔沃主程序...");
        logPrintf("run setup...");
        std::wstring playerFolder;
        if (isPlayerInstalled()) {
            playerFolder = getPlayerHome();
        } else {
            playerFolder = getDefaultPlayerFolder();
            createDirectories(playerFolder);
        }
        const std::wstring extractFolder = parentFolder(playerFolder);

        logPrintf("extract main app to %s...", ansi(playerFolder).c_str());
        VBoxProgressThrottle throttle(this, 10, 40, actionWord);  // it adds "塔沃主程序..." itself
        UnzipProgressCallback progress(&throttle, &ProgressThrottle::operator());
        // A short extraction is left to the manager's check; the package stays in its task folder.
        if (!unzipToFolder(mainPkg, extractFolder, false, &progress))
            logPrintf("extract main package failed: %s", ansi(mainPkg).c_str());
        logPrintf("extract over, time: sa log");
        percent = 40;

        const std::wstring package =
            playerFolder + (is64BitWindows() ? L"\\install\\vbox-x64.zip" : L"\\install\\vbox-x86.zip");
        VBoxManager& vbox = manager();
        vbox.notifier().connect(NotifyListener(this, &InstallerVBoxImpl::onVBoxNotify));
        connected_ = &vbox;
        const int installCode = vbox.install(playerFolder + L"\\vbox", package, playerFolder + L"\\deployed");
        if (installCode == 0) {
            const int importCode = vbox.importAppliance(playerFolder + L"\\ovas\\" + vbox.applianceFileName());
            engineOk = importCode == 0;
            logPrintf("vbox rom install ok ");
            installStat(L"vbox_rom_install_ok",
                        {{L"install_code", format(L"%d", installCode)}, {L"import_code", format(L"%d", importCode)}});
        }
        if (!engineOk) installStat(L"install_vbox_failed");

        percent = 80;
        fire(1, 1, 0, 80, none, actionWord + L"主程序和快捷方式...");
        logPrintf("安装主程序和快捷方式...");
        moveHelperPrograms(playerFolder, {L"TarvoHelper", L"TarvoTips"}, hallExe);
        installHelperAndShortcuts(services, EngineKind::VBox, true);
        fire(1, 1, 0, percent, none, actionWord + L"主程序和快捷方式...");
        percent = 90;
        fire(1, 1, 0, 90, none, actionWord + L"辅助程序...");
        setPlayerInstallPath(playerFolder);
    }

    if (!engineOk) {
        fire(1, 2, -1, 100, none, actionWord + L"失败");
        return -1;
    }

    logPrintf("install apk...");
    percent += 10;
    fileAppPackages(ini, true);

    percent += 20;
    fire(1, 1, 0, percent, none, L"正在安装应用,大概需要3~5分钟...");
    LocalAppList list;
    list.load();
    for (size_t i = 0; i < list.size(); ++i) {
        const AppInfo record = list.at(i);
        ravel::object::smart_ptr<Context> context = engineContext();
        if (!context.get()) continue;
        bool present = false;
        try {
            present = context->isPackageInstalled(record.package);
        } catch (const std::exception& e) {
            // The VM's package list is locked elsewhere: install anyway, pm replaces.
            logPrintf("app check failed: %s", e.what());
        }
        if (present) continue;
        const int rc = context->installApp(record, false, vboxInstallLimits().appInstallMs);
        if (rc == 0) {
            installStat(L"vbox_install_apk_ok");
            deletePath(record.apkPath);
            continue;
        }
        logPrintf("install failed!");
        const std::wstring message = rc == -3                ? L"显卡驱动不支持，请更新显卡驱动"
                                     : (rc == -1 || rc == -2) ? L"启动引擎失败"
                                                              : L"";
        fire(1, 2, -1, percent, none, message);
        installStat(L"vbox_install_apk_failed");
        return rc;
    }

    ChannelConfig& config = ChannelConfig::instance();
    AppInfo app;
    config.findApp(config.apkId, app);
    if (owner) owner->setLaunchAppId(app.id);

    percent += 10;
    finishInstall(*this, percent, L"vbox_install_ok");
    return 0;
}

}  // namespace v2
