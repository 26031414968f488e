// The installer facade's environment in the product: every row forwards to the
// loader's own function for it. Rows not wired yet throw NotBuilt and are
// listed by missingRows().
#pragma once

#include <string>
#include <vector>

#include "installer/installer.h"
#include "installer/installer_not_built.h"

namespace v2 {

class ProductInstallerEnv : public InstallerEnv {
public:
    void log(const std::string& line) override;
    int32_t selectedEngine() override;
    InstallerImpl* createImpl(int32_t engine, Installer* owner) override;

    // Names of the rows that still throw NotBuilt.
    static std::vector<std::string> missingRows();
};

}  // namespace v2
