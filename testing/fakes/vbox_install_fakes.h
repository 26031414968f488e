// The VBox install's seams in tests: the install with its download replaced,
// and a VM context with scripted answers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/engine_context.h"
#include "installer/install_steps.h"
#include "installer/installer_vbox_impl.h"
#include "services/ini_file.h"
#include "services/install_paths.h"
#include "testing/fakes/stub_context.h"

namespace fakes {

// The install with its download replaced: it writes the download ini's engine
// section (and what moreIni adds) and fires what the download fires for result r.
class ScriptedVBoxImpl : public v2::InstallerVBoxImpl {
public:
    ScriptedVBoxImpl(v2::Installer* owner, int result) : InstallerVBoxImpl(owner), result_(result) {}
    int download() override {
        ++downloads;
        IniFile ini(getDownloadIniPath(v2::commandLineCno()));
        ini.setString(L"vbox_download", L"main_pkg", mainPkg);
        ini.setString(L"vbox_download", L"hall_exe", hallExe);
        if (moreIni) moreIni(ini);
        if (result_ < 0) progressEvent()(0, 2, -1, 0, std::wstring(), L"下载失败!");
        if (result_ == 0) progressEvent()(0, 2, 0, 100, std::wstring(), L"下载ok!");
        if (result_ == 2) progressEvent()(0, 2, 0, 100, std::wstring(), std::wstring());
        return result_;
    }
    std::wstring mainPkg;
    std::wstring hallExe;
    std::function<void(IniFile&)> moreIni;
    int downloads = 0;

private:
    int result_;
};

// A VM context with scripted answers; it records the packages it was asked to install.
class ScriptedContext : public StubContext {
public:
    ScriptedContext() : StubContext(EngineKind::VBox, L"vbox_1") {}
    bool isRunning() override { return true; }
    bool isPackageInstalled(const std::wstring& package) override {
        if (lockFails) throw std::runtime_error("lock failed");
        return package == present;
    }
    int installApp(const AppInfo& app, bool deleteAfterInstall, uint32_t timeoutMs) override {
        installed.push_back(app.package);
        EXPECT_FALSE(deleteAfterInstall);
        EXPECT_EQ(300000u, timeoutMs);
        return rc;
    }

    int rc = 0;
    bool lockFails = false;
    std::wstring present;
    std::vector<std::wstring> installed;
};

// The install with its download replaced whose apps go into the test's
// context (none when it is null).
class ScriptedAppsVBoxImpl : public ScriptedVBoxImpl {
public:
    ScriptedAppsVBoxImpl(v2::Installer* owner, ScriptedContext* context, int result = 0)
        : ScriptedVBoxImpl(owner, result), context_(context) {}

protected:
    ravel::object::smart_ptr<Context> engineContext() override {
        ++contextCalls;
        return context_ ? ravel::object::smart_ptr<Context>(new ForwardingContext(*context_))
                        : ravel::object::smart_ptr<Context>();
    }

public:
    int contextCalls = 0;

private:
    // A handle on the test's context that the run may let go of.
    class ForwardingContext : public ScriptedContext {
    public:
        explicit ForwardingContext(ScriptedContext& target) : target_(target) {}
        bool isPackageInstalled(const std::wstring& package) override { return target_.isPackageInstalled(package); }
        int installApp(const AppInfo& app, bool d, uint32_t t) override { return target_.installApp(app, d, t); }

    private:
        ScriptedContext& target_;
    };
    ScriptedContext* context_;
};

}  // namespace fakes
