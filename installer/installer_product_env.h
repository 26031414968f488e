// The installer facade's environment in the product: every row forwards to the
// loader's own function for it.
#pragma once

#include <string>
#include <vector>

#include "installer/installer.h"

namespace v2 {

class ProductInstallerEnv : public InstallerEnv {
public:
    void log(const std::string& line) override;
    int32_t selectedEngine() override;
    InstallerImpl* createImpl(int32_t engine, Installer* owner) override;
};

}  // namespace v2
