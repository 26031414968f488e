#pragma once

// The engine's private VirtualBox: where its programs, settings home and
// machines live, its one-off host set-up (COM server and client library,
// host driver, the device module in VirtualBox.xml, compatibility layers),
// the set-up check, the appliance import, the stop of the engine's processes
// and the removal.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/event_connector.h"
#include "toolkit/singleton.h"
#include "toolkit/smart_ptr.h"

class TiXmlDocument;

namespace tarvo {
namespace vboxmgr {

// One progress notification of VBoxManager::install.
struct VBoxNotify {
    int32_t kind = 1000;
    int32_t state = 0;  // 0 started, 1 in progress, 2 finished
    int32_t error = 0;  // 0, or -1 on the failure notification
    std::wstring detail;
    std::wstring message;
    float percent = 0.0f;
    float spare = -1.0f;
    uint32_t spareWord = 0;
};

// Time limits of the child programs and of the settings-file lock, in ms.
// Process-wide; tests shorten them.
struct VBoxToolLimits {
    uint32_t registrationMs = 120000;  // VBoxSVC /UnregServer, /RegServer, every regsvr32
    uint32_t driverMs = 120000;        // SUPUninstall, SUPInstall
    uint32_t importMs = 1800000;       // one VBoxManage import attempt
    uint32_t settingsLockMs = 30000;   // waiting for the settings-file lock
};
VBoxToolLimits& vboxToolLimits();

// What one child program run gave.
struct VBoxRunResult {
    bool started = false;
    uint32_t exitCode = 0xFFFFFFFF;  // 0xFFFFFFFF when not started or timed out
    std::string output;              // stdout and stderr merged, raw bytes
    bool timedOut = false;
};

struct VBoxOsVersion {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 6;
    DWORD minor = 1;
};

// What the manager takes from the rest of the loader and from Windows. The
// product host forwards to the real functions; tests give scratch folders,
// a scratch classes root and a recording runner.
class VBoxHost {
public:
    virtual ~VBoxHost() {}
    virtual std::wstring userDataFolder() = 0;
    virtual std::wstring playerHome() = 0;
    // Developer settings.
    virtual std::wstring setting(const std::wstring& key, const std::wstring& defaultValue) = 0;
    virtual bool settingBool(const std::wstring& key, bool defaultValue) = 0;
    virtual bool is64BitWindows() = 0;
    virtual VBoxOsVersion osVersion() = 0;
    // GetSystemDirectoryW, without a trailing backslash.
    virtual std::wstring systemDirectory() = 0;
    // Root of the OLE-automation repair (HKEY_CLASSES_ROOT in the product).
    virtual HKEY classesRoot() = 0;
    // Runs the command line hidden with its output captured, bounded by
    // timeoutMs (ProcessRunner::run).
    virtual VBoxRunResult run(const std::wstring& commandLine, uint32_t timeoutMs) = 0;
};

// The host that forwards to the loader's real functions.
VBoxHost& productVBoxHost();

// Sets the environment variable and returns its previous value (empty when
// it was unset).
std::wstring setEnvironmentValue(const std::wstring& name, const std::wstring& value);

class VBoxManager : public ravel::pattern::Singleton<VBoxManager> {
public:
    typedef ravel::object::smart_ptr<VBoxNotify> NotifyPtr;
    typedef ravel::object::event_connector_t<VBoxManager*, NotifyPtr> Notifier;

    // A manager on the given host; runs init. The product takes getInstance.
    explicit VBoxManager(VBoxHost& host);
    virtual ~VBoxManager();
    VBoxManager(const VBoxManager&) = delete;
    VBoxManager& operator=(const VBoxManager&) = delete;

    // Progress listeners of install; the sender is the manager.
    Notifier& notifier() { return notifier_; }

    // Settles the paths, VBOX_USER_HOME and PATH (from the constructor).
    bool init();

    // Sets up the private VirtualBox. 0 success; -100 the final check failed;
    // -101 COM registration or host driver failed; -102 the settings file has
    // no ExtraData or could not be saved; -104 the settings file does not
    // load or has no SystemProperties.
    int32_t install(const std::wstring& installPath, const std::wstring& installPkg,
                    const std::wstring& deployedPath);
    // Unregisters and deletes the engine (folder empty: install_path, then
    // the player home + "\vbox") and its settings home.
    void uninstall(const std::wstring& folder);
    // 0 when the set-up is intact, else -100.
    int32_t good();
    // True when good() answers 0 and the settings file registers at least
    // one machine whose file exists.
    bool isEngineReady();
    // 0 pipe, 1 nat, 2 hostonly.
    int32_t getGlChannel();
    // Restores ".tv.prev" or the template over the settings file; 0 or -1.
    int32_t prepareGlobalXml(const std::wstring& path);
    // regsvr32 on 64-bit Windows, in process on 32-bit; 0 success.
    int32_t registerComDll(const std::wstring& dllPath, bool doRegister);
    void setCompatLayers();
    void removeCompatLayers();
    bool isWindowsXP();
    // Deletes the six empty OLE-automation class keys and re-registers
    // oleaut32.dll; always true.
    bool repairOleAutomation();

    // Imports the appliance; 0 imported, -103 not.
    int32_t importAppliance(const std::wstring& ovaPath);
    // Ends the engine's own VirtualBox processes; always 0.
    int32_t stop();
    // The appliance's file name: the setting "tarvo.ova", default
    // "tarvoplayer.ova".
    std::wstring applianceFileName();

    // Times repairOleAutomation ran in this process.
    static int repairCount();

    // The manager's state, as settled by init and install.
    std::wstring vbox_user_home;
    std::wstring global_xml;
    std::wstring install_path;
    std::wstring install_pkg;
    std::wstring deployed_path;
    std::wstring ova_path;
    std::wstring ova_filename;
    bool uninstall_enabled;

private:
    friend class ravel::pattern::Singleton<VBoxManager>;
    VBoxManager();  // on the product host

    void notify(int32_t state, int32_t error, const wchar_t* message, float percent);
    // Runs the command line within the limit; exit code, or 0xFFFFFFFF when
    // it did not start or timed out (then logged).
    uint32_t runForExitCode(const std::wstring& commandLine, uint32_t timeoutMs);
    VBoxRunResult runLogged(const std::wstring& commandLine, uint32_t timeoutMs);
    std::wstring systemProgram(const wchar_t* exeName);
    std::vector<std::wstring> compatPrograms();
    enum SettingsWrite { SettingsRestore, SettingsTemplate, SettingsSave };
    // Every rewrite of the settings file goes through here: lock, backup
    // (once per install), machine carry-over (restore and template), atomic
    // replace, nothing written for unchanged bytes. 0, or -1 when the lock
    // could not be had or the write failed.
    int32_t writeSettingsFile(const std::wstring& path, const std::string& content, SettingsWrite kind);
    // Registers the machine files of deployed_path that doc lacks.
    void reRegisterMachines(TiXmlDocument& doc);
    // Ends the VirtualBox processes whose programs lie in one of the folders.
    void stopIn(const std::vector<std::wstring>& folders);

    VBoxHost& host_;
    Notifier notifier_;
    bool backupMade_;  // a backup was made in the running install
};

}  // namespace vboxmgr
}  // namespace tarvo
