#include "installer/installer.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "installer/installer_product_env.h"
#include "services/system_checks.h"
#include "testing/fakes/fake_installer.h"
#include "toolkit/zip_extract.h"
#include "services/seams.h"
#include "installer/seams.h"

namespace {

using fakes::FakeEvent;
using fakes::FakeInstallerEnv;
using fakes::FakeInstallerImpl;
using fakes::RecordingProgress;

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

FakeEvent event(int stage, int state, int error, float percent) {
    FakeEvent e;
    e.stage = stage;
    e.state = state;
    e.error = error;
    e.percent = percent;
    return e;
}

// Every case gets a fresh installer singleton and selector.
class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        v2::resetSelectionForTests();
        v2::Installer::destroyInstance();
        v2::setInstallerEnv(&env);
        installer = v2::Installer::getInstance();
        setInstalledEngineForTests([] { return std::optional<EngineKind>(); });
    }
    void TearDown() override {
        env.release();
        installer->wait(10000);
        ASSERT_FALSE(installer->isBusy());
        installer->progressEvent().reset();
        v2::resetSelectionForTests();
        v2::setInstallerEnv(nullptr);
        setInstalledEngineForTests(nullptr);
        resetSystemChecksForTests();
    }

    // Runs one action on the installer thread and returns the thread's exit code.
    int runAction(InstallAction action) {
        installer->setAction(action);
        EXPECT_EQ(0, installer->start());
        installer->wait(10000);
        EXPECT_FALSE(installer->isBusy());
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(v2::workerHandleForTests(*installer), &code));
        return (int)code;
    }

    FakeInstallerEnv env;
    v2::Installer* installer = nullptr;
};

TEST(InstallActionTest, NamesOfTheActions) {
    struct Case {
        InstallAction action;
        const char* name;
    } cases[] = {{0, "download"}, {1, "install"}, {2, "upgrade"}, {3, "remove"},
                 {4, "fix"},      {5, ""},        {-1, ""}};
    for (const Case& c : cases) EXPECT_STREQ(c.name, actionName(c.action)) << c.action;
}

TEST_F(InstallerTest, SelectorPrefersTheInstalledEngineElseTheMachineVariant) {
    struct Case {
        std::optional<EngineKind> installed;
        int32_t engine;
        int32_t expected;
        int engineProbes;
    } cases[] = {
        {EngineKind::VBox, v2::EngineQv, v2::EngineVBox, 0},  // the player installed
        {EngineKind::Qv, v2::EngineVBox, v2::EngineQv, 0},    // only Qv installed
        {std::nullopt, v2::EngineVBox, v2::EngineVBox, 1},
        {std::nullopt, v2::EngineQv, v2::EngineQv, 1},
        {std::nullopt, 7, v2::EngineQv, 1},  // anything but 0 is Qv
    };
    for (const Case& c : cases) {
        v2::resetSelectionForTests();
        FakeInstallerEnv caseEnv;
        v2::setInstallerEnv(&caseEnv);
        const std::optional<EngineKind> installed = c.installed;
        setInstalledEngineForTests([installed] { return installed; });
        caseEnv.engine = c.engine;
        v2::InstallerImpl* impl = selectInstallerImpl(installer);
        ASSERT_NE(nullptr, impl);
        EXPECT_EQ(c.expected, static_cast<FakeInstallerImpl*>(impl)->engine());
        EXPECT_EQ(c.engineProbes, caseEnv.engineCalls.load());
        EXPECT_EQ(installer, impl->getOwner());
        v2::resetSelectionForTests();
    }
    v2::setInstallerEnv(&env);
}

TEST_F(InstallerTest, SelectorKeepsItsFirstChoiceForTheProcess) {
    env.engine = v2::EngineQv;
    v2::InstallerImpl* first = selectInstallerImpl(installer);
    int probes = env.probes();
    // The machine changed (VBox now installed) and another owner asks.
    setInstalledEngineForTests([] { return std::optional<EngineKind>(EngineKind::VBox); });
    v2::InstallerImpl* second = selectInstallerImpl(nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(installer, second->getOwner());
    EXPECT_EQ(probes, env.probes());
    EXPECT_EQ(1, env.createCalls.load());
}

// The package and the implementation follow one rule of the installed engine:
// set through its one seam, both agree, whatever the machine variant says.
TEST_F(InstallerTest, SelectorAndPackageAgreeOnTheInstalledEngine) {
    ChannelPackages packages;
    packages.vboxEnabled = true;
    packages.romUrls = {L"http://127.0.0.1/rom.zip"};
    packages.romVersions = {L"1"};
    packages.vboxUrls = {L"http://127.0.0.1/vbox.zip"};
    packages.vboxVersions = {L"2"};
    for (EngineKind kind : {EngineKind::VBox, EngineKind::Qv}) {
        SCOPED_TRACE(kind == EngineKind::VBox ? "VBox" : "Qv");
        v2::resetSelectionForTests();
        resetSystemChecksForTests();
        setInstalledEngineForTests([kind] { return std::optional<EngineKind>(kind); });
        env.engine = kind == EngineKind::VBox ? v2::EngineQv : v2::EngineVBox;  // the variant says otherwise
        const DownloadVariant& variant = selectDownloadVariant(packages);
        v2::InstallerImpl* impl = selectInstallerImpl(installer);
        ASSERT_NE(nullptr, impl);
        EXPECT_EQ(kind, variant.engine);
        EXPECT_EQ(static_cast<int32_t>(variant.engine), static_cast<FakeInstallerImpl*>(impl)->engine());
        EXPECT_EQ(kind == EngineKind::VBox ? L"http://127.0.0.1/vbox.zip" : L"http://127.0.0.1/rom.zip",
                  variant.url);
    }
}

TEST_F(InstallerTest, SelectorWithoutEnvironmentFailsTheRun) {
    v2::setInstallerEnv(nullptr);
    EXPECT_THROW(selectInstallerImpl(installer), std::runtime_error);
    RecordingProgress progress;
    progress.bind(installer->progressEvent());
    EXPECT_EQ(-1, runAction(ActionInstall));
    auto records = progress.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(1, records[0].stage);
    EXPECT_EQ(2, records[0].state);
    EXPECT_EQ(-1, records[0].error);
}

TEST_F(InstallerTest, DispatchRunsTheActionsOperationAndReturnsItsResult) {
    env.ops[0].result = 10;
    env.ops[1].result = 11;
    env.ops[2].result = 12;
    env.ops[3].result = -13;
    env.ops[4].result = 0;
    struct Case {
        InstallAction action;
        int expected;
        const char* logLine;
    } cases[] = {{0, 10, "start download..."},
                 {1, 11, "start install..."},
                 {2, 12, "start upgrade..."},
                 {3, -13, "start remove..."},
                 {4, 0, "start fix..."}};
    for (const Case& c : cases) {
        size_t before = env.records().size();
        EXPECT_EQ(c.expected, runAction(c.action)) << c.action;
        auto records = env.records();
        ASSERT_EQ(before + 1, records.size());
        EXPECT_EQ(c.action, records.back().op);
        EXPECT_TRUE(contains(env.logLines(), c.logLine)) << c.logLine;
    }
    // One implementation served every run.
    EXPECT_EQ(1, env.createCalls.load());
}

TEST_F(InstallerTest, ActionOutsideTheRangeProbesNothing) {
    for (InstallAction action : {5, -1, 100}) {
        EXPECT_EQ(-1, runAction(action)) << action;
        EXPECT_EQ(0, env.probes());
        EXPECT_EQ(0, env.createCalls.load());
        EXPECT_TRUE(env.records().empty());
    }
    EXPECT_TRUE(contains(env.logLines(), "start ..."));
}

TEST_F(InstallerTest, WaitBeforeAnyStartReturnsAtOnce) {
    DWORD t0 = GetTickCount();
    installer->wait(INFINITE);
    EXPECT_LT(GetTickCount() - t0, 1000u);
    EXPECT_FALSE(installer->isBusy());
}

TEST_F(InstallerTest, OperationsRunOnTheInstallerThreadWithCom) {
    env.ops[1].events = {event(1, 0, 0, 0), event(1, 1, 0, 50), event(1, 2, 0, 100)};
    RecordingProgress progress;
    progress.bind(installer->progressEvent());
    EXPECT_EQ(0, runAction(ActionInstall));
    auto records = env.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_NE(GetCurrentThreadId(), records[0].threadId);
    // run() opened the apartment already.
    EXPECT_EQ(S_FALSE, records[0].coInit);
    auto events = progress.records();
    ASSERT_EQ(3u, events.size());
    for (const auto& e : events) EXPECT_EQ(records[0].threadId, e.threadId);
    EXPECT_FLOAT_EQ(50.0f, events[1].percent);
}

TEST_F(InstallerTest, StartWhileARunIsAliveIsRefused) {
    env.ops[1].block = true;
    installer->setAction(ActionInstall);
    ASSERT_EQ(0, installer->start());
    ASSERT_TRUE(env.waitBlocked(5000));
    EXPECT_TRUE(installer->isBusy());
    int rc = 0;
    EXPECT_NO_THROW(rc = installer->start());
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(contains(env.logLines(), "installer busy"));
    EXPECT_TRUE(installer->isBusy());
    env.release();
    installer->wait(10000);
    EXPECT_FALSE(installer->isBusy());
    // The refused start left the running one alone: exactly one operation ran.
    EXPECT_EQ(1u, env.records().size());
    // And the same object starts again after the run ended.
    env.ops[1].block = false;
    EXPECT_EQ(0, runAction(ActionInstall));
    EXPECT_EQ(2u, env.records().size());
    EXPECT_EQ(1, env.createCalls.load());
}

TEST_F(InstallerTest, CancelFromTheMainThreadIsSeenWithinOneStep) {
    env.ops[0].block = true;
    installer->setAction(ActionDownload);
    ASSERT_EQ(0, installer->start());
    ASSERT_TRUE(env.waitBlocked(5000));
    env.noteCancel();
    installer->cancel();
    installer->wait(5000);
    ASSERT_FALSE(installer->isBusy());
    auto records = env.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0].cancelSeen);
    EXPECT_LE(records[0].cancelSeenAfterMs, 300u);
}

TEST_F(InstallerTest, CancelBeforeStartIsCleared) {
    env.ops[0].block = true;
    installer->cancel();
    installer->setAction(ActionDownload);
    ASSERT_EQ(0, installer->start());
    ASSERT_TRUE(env.waitBlocked(5000));
    Sleep(350);  // several polling steps
    env.release();
    installer->wait(5000);
    auto records = env.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_FALSE(records[0].cancelSeen);
    EXPECT_FALSE(installer->cancelRequested());
}

TEST_F(InstallerTest, RunWithoutListenerFiresHarmlessly) {
    env.ops[1].events = {event(1, 0, 0, 0), event(1, 2, 0, 100)};
    env.ops[1].workerEvents = {event(0, 1, 0, 10)};
    env.ops[1].result = 3;
    installer->progressEvent().reset();
    EXPECT_EQ(3, runAction(ActionInstall));
    auto records = env.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2, records[0].fired);
    EXPECT_EQ(1, records[0].firedByWorker);
}

TEST_F(InstallerTest, BindingASecondListenerReplacesTheFirst) {
    env.ops[1].events = {event(1, 1, 0, 5)};
    env.ops[1].workerEvents = {event(0, 1, 0, 6), event(0, 1, 0, 7)};
    RecordingProgress first, second;
    first.bind(installer->progressEvent());
    second.bind(installer->progressEvent());
    EXPECT_EQ(0, runAction(ActionInstall));
    EXPECT_TRUE(first.records().empty());
    auto events = second.records();
    ASSERT_EQ(3u, events.size());
    auto records = env.records();
    EXPECT_EQ(records[0].threadId, events[0].threadId);
    EXPECT_EQ(records[0].workerThreadId, events[1].threadId);
    EXPECT_NE(events[0].threadId, events[1].threadId);
}

TEST_F(InstallerTest, ThrowingOperationEndsWithOneFailureEvent) {
    struct Case {
        InstallAction action;
        int stage;
    } cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 4}};
    for (const Case& c : cases) {
        env.ops[c.action].throws = true;
        env.ops[c.action].result = 5;
        RecordingProgress progress;
        progress.bind(installer->progressEvent());
        EXPECT_EQ(-1, runAction(c.action)) << c.action;
        auto events = progress.records();
        ASSERT_EQ(1u, events.size()) << c.action;
        EXPECT_EQ(c.stage, events[0].stage);
        EXPECT_EQ(2, events[0].state);
        EXPECT_EQ(-1, events[0].error);
        EXPECT_FLOAT_EQ(0.0f, events[0].percent);
        EXPECT_TRUE(events[0].detail.empty());
        EXPECT_TRUE(events[0].message.empty());
        installer->progressEvent().reset();
    }
    EXPECT_TRUE(contains(env.logLines(), "installer exception: fake failure"));
}

TEST_F(InstallerTest, LaunchAppIdSetOnTheInstallerThreadIsReadAfterTheRun) {
    env.ops[1].setLaunchAppId = true;
    env.ops[1].launchAppId = L"com.tarvo.app";
    EXPECT_EQ(L"", installer->getLaunchAppId());
    EXPECT_EQ(0, runAction(ActionInstall));
    EXPECT_EQ(L"com.tarvo.app", installer->getLaunchAppId());
}

TEST_F(InstallerTest, DownloadProgressBecomesStageZeroEvents) {
    FakeInstallerImpl impl(v2::EngineVBox, installer, &env);
    RecordingProgress progress;
    progress.bind(impl.progressEvent());
    struct Case {
        int code;
        float percent;
        int state, error;
    } cases[] = {{-1, 33.5f, 2, -1}, {0, 0.0f, 1, 0}, {1, 42.25f, 1, 0}, {2, 100.0f, 1, 0}};
    for (const Case& c : cases) impl.onDownloadProgress(c.code, c.percent);
    auto events = progress.records();
    ASSERT_EQ(4u, events.size());
    for (size_t k = 0; k < events.size(); ++k) {
        EXPECT_EQ(0, events[k].stage);
        EXPECT_EQ(cases[k].state, events[k].state);
        EXPECT_EQ(cases[k].error, events[k].error);
        EXPECT_FLOAT_EQ(cases[k].percent, events[k].percent);
        EXPECT_TRUE(events[k].detail.empty());
        EXPECT_TRUE(events[k].message.empty());
    }
}

class ThrottleTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        setThrottleTickSourceForTests(&fakes::fakeTicks);
        resetThrottleForTests();
        impl = new FakeInstallerImpl(v2::EngineVBox, installer, &env);
        progress.bind(installer->progressEvent());
    }
    void TearDown() override {
        setThrottleTickSourceForTests(nullptr);
        resetThrottleForTests();
        delete impl;
        InstallerTest::TearDown();
    }
    void at(DWORD ticks, ProgressThrottle& throttle, float percent) {
        fakes::setFakeTicks(ticks);
        UnzipProgress record;
        record.percent = percent;
        throttle(&record);
    }

    FakeInstallerImpl* impl = nullptr;
    RecordingProgress progress;
};

TEST_F(ThrottleTest, AtMostOneEventPerWholeSecond) {
    VBoxProgressThrottle throttle(impl, 10, 40, L"install");
    at(1000, throttle, 10);  // first call of the process: starts the clock
    at(1500, throttle, 20);
    at(2000, throttle, 30);
    at(2999, throttle, 40);
    at(3000, throttle, 50);
    auto events = progress.records();
    ASSERT_EQ(2u, events.size());
    EXPECT_FLOAT_EQ(10 + 30 * 40 / 100.0f, events[0].percent);
    EXPECT_FLOAT_EQ(10 + 50 * 40 / 100.0f, events[1].percent);
    for (const auto& e : events) {
        EXPECT_EQ(1, e.stage);
        EXPECT_EQ(1, e.state);
        EXPECT_EQ(0, e.error);
        EXPECT_TRUE(e.detail.empty());
        EXPECT_EQ(L"install塔沃主程序...", e.message);
    }
    // A null record is ignored.
    fakes::setFakeTicks(9000);
    throttle(nullptr);
    EXPECT_EQ(2u, progress.records().size());
}

TEST_F(ThrottleTest, TheTwoKindsKeepSeparateMemories) {
    VBoxProgressThrottle vbox(impl, 10, 40, L"v");
    QvProgressThrottle qv(impl, 10, 40, L"q");
    at(1000, vbox, 0);
    at(2000, vbox, 100);  // fires
    at(2000, qv, 0);      // the Qv kind's first call: swallowed
    at(2500, qv, 50);
    at(3000, qv, 100);  // fires
    // A new object of a kind shares the kind's memory.
    VBoxProgressThrottle vbox2(impl, 0, 100, L"w");
    at(3000, vbox2, 10);  // vbox last fired at second 2: fires
    auto events = progress.records();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(L"v塔沃主程序...", events[0].message);
    EXPECT_FLOAT_EQ(50.0f, events[0].percent);
    EXPECT_EQ(L"q塔沃主程序...", events[1].message);
    EXPECT_FLOAT_EQ(50.0f, events[1].percent);
    EXPECT_EQ(L"w塔沃主程序...", events[2].message);
    EXPECT_FLOAT_EQ(10.0f, events[2].percent);
}

TEST_F(ThrottleTest, KeepsFiringAcrossTheTickCounterWrap) {
    QvProgressThrottle throttle(impl, 10, 40, L"x");
    at(4294966000u, throttle, 0);
    at(4294967000u, throttle, 10);  // fires
    at(500, throttle, 20);          // the counter wrapped: fires
    at(1500, throttle, 30);         // fires
    at(1700, throttle, 40);
    EXPECT_EQ(3u, progress.records().size());
}

}  // namespace
