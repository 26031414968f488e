// The installer facade's product environment in this process: the bound rows
// forward to the loader's own functions; the engine factory makes
// the two engine implementations.
#include "installer/installer_product_env.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "installer/channel_config.h"
#include "installer/installer_qv_impl.h"
#include "installer/installer_vbox_impl.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/system_checks.h"
#include "testing/startup_driver/road_driver.h"
#include "testing/support/test_support.h"

namespace {

TEST(ProductInstallerEnvBoundTest, LogWritesTheLineToTheProgramsLog) {
    v2::ProductInstallerEnv env;
    const std::string marker = "installer env line " + std::to_string(GetCurrentProcessId()) + " %s";
    env.log(marker);
    std::string text;
    ASSERT_TRUE(tst::readFile(getLogFolder() + L"\\installer_tests.log", text));
    bool found = false;
    for (const std::string& l : roadtest::splitLines(text)) found = found || (l.size() > 19 && l.substr(19) == ", , " + marker);
    EXPECT_TRUE(found) << marker;
}

// The selector's installed engine (installedEngine) follows the player file.
TEST(ProductInstallerEnvBoundTest, InstalledTestsFollowThePlayerFile) {
    tst::MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    tst::SavedFile ini(getAdaptIniPath());
    DeleteFileW(getAdaptIniPath().c_str());
    tst::TempDir dir(L"ienv");
    setPlayerInstallPath(dir.path());
    ASSERT_EQ(dir.path(), getPlayerHome());

    EXPECT_NE(std::optional<EngineKind>(EngineKind::VBox), installedEngine());
    ASSERT_TRUE(tst::writeFile(dir.file(L"TarvoPlayer.exe"), "MZ"));
    EXPECT_EQ(std::optional<EngineKind>(EngineKind::VBox), installedEngine());
}

TEST(ProductInstallerEnvBoundTest, SelectedEngineIsTheChannelsDownloadVariant) {
    tst::MachineStateLock lock;  // the channel record reads (and may write) the adapter ini's cno
    ASSERT_TRUE(lock.held());
    tst::SavedFile ini(getAdaptIniPath());
    v2::ProductInstallerEnv env;
    const int32_t engine = env.selectedEngine();
    EXPECT_TRUE(engine == v2::EngineVBox || engine == v2::EngineQv) << engine;
    EXPECT_EQ(static_cast<int32_t>(selectDownloadVariant(ChannelConfig::instance()).engine), engine);
    EXPECT_EQ(engine, env.selectedEngine());  // chosen once for the process
}

TEST(ProductInstallerEnvBoundTest, CreateImplMakesTheEngineOfItsKindWithADoNothingFix) {
    v2::ProductInstallerEnv env;
    std::unique_ptr<v2::InstallerImpl> vbox(env.createImpl(v2::EngineVBox, nullptr));
    std::unique_ptr<v2::InstallerImpl> qv(env.createImpl(v2::EngineQv, nullptr));
    EXPECT_NE(nullptr, dynamic_cast<v2::InstallerVBoxImpl*>(vbox.get()));
    EXPECT_NE(nullptr, dynamic_cast<v2::InstallerQvImpl*>(qv.get()));
    EXPECT_EQ(0, vbox->fix());
    EXPECT_EQ(0, qv->fix());
}

}  // namespace
