// An engine context of the tests' own: named as asked, installed or not, and
// inert otherwise.
#pragma once

#include <string>

#include "installer/engine_context.h"

namespace fakes {

class StubContext : public Context {
public:
    explicit StubContext(EngineKind kind = EngineKind::VBox, const std::wstring& contextName = L"apktest_1",
                         bool installed = true)
        : Context(kind), installed_(installed) {
        name = contextName;
    }
    bool isInstalled() override { return installed_; }
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

private:
    bool installed_;
};

}  // namespace fakes
