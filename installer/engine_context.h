// An engine context: the loader's handle on one emulator instance ("vbox_1",
// "qv_1"). Its twelve virtual operations are the only way the rest of the
// loader talks to a running engine.
#pragma once

#include <cstdint>
#include <string>

#include "installer/channel_config.h"
#include "services/system_checks.h"

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

    EngineKind engine;
    std::wstring name;
    std::wstring vmName;
    std::wstring adbHost;  // empty: "127.0.0.1"
    int32_t adbPort = 5555;
    std::wstring adbSerial;  // empty: derived from host and port
    bool headless = false;
};
