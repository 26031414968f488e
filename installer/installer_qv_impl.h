// The Qv engine: installed through its own setup program and driven only
// through its tools, services and registry key.
#pragma once

#include "installer/installer.h"

namespace v2 {

class InstallerQvImpl : public InstallerImpl {
public:
    explicit InstallerQvImpl(Installer* owner) : InstallerImpl(owner) {}

    int download() override;
    int install() override;
    int upgrade() override;
    int remove() override;
    int fix() override { return 0; }
};

}  // namespace v2
