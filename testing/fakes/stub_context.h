// An engine context of the tests' own: named as asked, installed or not, and
// inert otherwise.
#pragma once

#include <string>

#include "installer/engine_context.h"

namespace fakes {

class StubContext : public InertContext {
public:
    explicit StubContext(EngineKind kind = EngineKind::VBox, const std::wstring& contextName = L"apktest_1",
                         bool installed = true)
        : InertContext(kind), installed_(installed) {
        name = contextName;
    }
    bool isInstalled() override { return installed_; }

private:
    bool installed_;
};

}  // namespace fakes
