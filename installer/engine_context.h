// An engine context: the loader's handle on one emulator instance ("vbox_1",
// "qv_1"). Its twelve virtual operations are the only way the rest of the
// loader talks to a running engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "installer/channel_config.h"
#include "services/system_checks.h"
#include "toolkit/smart_ptr.h"

class Context {
public:
    explicit Context(EngineKind kind) : engine(kind) {}
    virtual ~Context() {}

    virtual bool isInstalled() = 0;
    // 0 started or raised, -1 failed.
    virtual int launch(const std::wstring& arguments) = 0;
    virtual void reserved3() = 0;
    virtual bool isRunning() = 0;
    virtual void bringToFront() = 0;
    virtual bool isAppInstalled(const std::wstring& appId) = 0;
    virtual bool isPackageInstalled(const std::wstring& package) = 0;
    virtual int installApp(const AppInfo& app, bool deleteAfterInstall, uint32_t timeoutMs) = 0;
    virtual int installApk(const std::wstring& apkPath, bool deleteAfterInstall, uint32_t timeoutMs) = 0;
    // 0 or -1.
    virtual int startApp(const std::wstring& package, const std::wstring& activity) = 0;
    virtual int launchAppById(const std::wstring& appId) = 0;

    std::wstring getName() const { return name; }
    // adbSerial, else "<host>:<port>" with "127.0.0.1" for an empty host.
    std::wstring getAdbSerial() const;

    EngineKind engine;
    std::wstring name;
    std::wstring vmName;
    std::wstring adbHost;  // empty: "127.0.0.1"
    int32_t adbPort = 5555;
    std::wstring adbSerial;  // empty: derived from host and port
    // The next start of the player is without a window. Set by the installer
    // thread, read by the main thread.
    std::atomic<bool> headless{false};
};

// "<context name>_c189726741d83ce2655d90b94382d566": the player holds it while
// that instance's VM runs.
std::string getVmMutexName(const std::wstring& contextName);

// The VirtualBox-based engine, driven through the player program and adb.
class VBoxContext : public Context {
public:
    VBoxContext();

    bool isInstalled() override;
    int launch(const std::wstring& arguments) override;
    void reserved3() override {}
    bool isRunning() override;
    void bringToFront() override;
    bool isAppInstalled(const std::wstring& appId) override;
    bool isPackageInstalled(const std::wstring& package) override;
    int installApp(const AppInfo& app, bool deleteAfterInstall, uint32_t timeoutMs) override;
    int installApk(const std::wstring& apkPath, bool deleteAfterInstall, uint32_t timeoutMs) override;
    int startApp(const std::wstring& package, const std::wstring& activity) override;
    int launchAppById(const std::wstring& appId) override;

    std::string vmMutexName() const { return getVmMutexName(name); }

private:
    // Makes the engine run for an install: 0 running (started flags a start
    // made here), else the failure to pass on.
    int runForInstall(uint32_t timeoutMs, bool& started);
    // Polls the guest until it reports a finished boot or timeoutMs passed
    // since installStart (a GetTickCount value).
    void waitForGuestBoot(uint32_t installStart, uint32_t timeoutMs);
    // Both of the above, timed from this call: 0 when the guest may take the
    // install, else the failure to pass on.
    int readyForInstall(uint32_t timeoutMs);
};

// A context that answers 0 or false to everything but isInstalled, without
// side effects, so that installing through it reports success.
class InertContext : public Context {
public:
    explicit InertContext(EngineKind kind) : Context(kind) {}

    int launch(const std::wstring&) override { return 0; }
    void reserved3() override {}
    bool isRunning() override { return false; }
    void bringToFront() override {}
    bool isAppInstalled(const std::wstring&) override { return false; }
    bool isPackageInstalled(const std::wstring&) override { return false; }
    int installApp(const AppInfo&, bool, uint32_t) override { return 0; }
    int installApk(const std::wstring&, bool, uint32_t) override { return 0; }
    int startApp(const std::wstring&, const std::wstring&) override { return 0; }
    int launchAppById(const std::wstring&) override { return 0; }
};

// The Qv engine is driven through its own tools; its context only tells
// whether the engine is installed.
class QvContext : public InertContext {
public:
    QvContext();

    bool isInstalled() override;
};

// The registered contexts, built on first use: "vbox_1" (only while VBox is
// enabled) then "qv_1". They live until the process ends.
std::vector<ravel::object::smart_ptr<Context>> getContexts();
// The registered context named `name` (exact match), or an empty pointer.
ravel::object::smart_ptr<Context> findContext(const std::wstring& name);
// The context this run works on ("--vmid", else by the installed engine); empty
// when that name is not registered (the next call looks again).
ravel::object::smart_ptr<Context> getCurrentContext();
