#include "testing/fakes/fake_installer.h"

#include <objbase.h>

#include <stdexcept>
#include <thread>

namespace fakes {

namespace {
const char* const kOpNames[5] = {"download", "install", "upgrade", "remove", "fix"};
std::atomic<DWORD> g_ticks{0};
}  // namespace

FakeInstallerEnv::FakeInstallerEnv()
    : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), blocked_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

FakeInstallerEnv::~FakeInstallerEnv() {
    CloseHandle(release_);
    CloseHandle(blocked_);
}

void FakeInstallerEnv::reset() {
    ravel::system::ScopedLock guard(lock_);
    engine = v2::EngineVBox;
    for (FakeOpScript& op : ops) op = FakeOpScript();
    engineCalls = createCalls = 0;
    records_.clear();
    logLines_.clear();
    created_.clear();
    ResetEvent(release_);
    ResetEvent(blocked_);
    cancelTick_ = 0;
}

void FakeInstallerEnv::release() { SetEvent(release_); }

bool FakeInstallerEnv::waitBlocked(DWORD ms) { return WaitForSingleObject(blocked_, ms) == WAIT_OBJECT_0; }

void FakeInstallerEnv::noteCancel() { cancelTick_ = GetTickCount(); }

std::vector<FakeOpRecord> FakeInstallerEnv::records() const {
    ravel::system::ScopedLock guard(lock_);
    return records_;
}

std::vector<std::string> FakeInstallerEnv::logLines() const {
    ravel::system::ScopedLock guard(lock_);
    return logLines_;
}

std::vector<int32_t> FakeInstallerEnv::createdEngines() const {
    ravel::system::ScopedLock guard(lock_);
    return created_;
}

void FakeInstallerEnv::addRecord(const FakeOpRecord& record) {
    ravel::system::ScopedLock guard(lock_);
    records_.push_back(record);
}

void FakeInstallerEnv::log(const std::string& line) {
    ravel::system::ScopedLock guard(lock_);
    logLines_.push_back(line);
}

int32_t FakeInstallerEnv::selectedEngine() {
    ++engineCalls;
    return engine;
}

v2::InstallerImpl* FakeInstallerEnv::createImpl(int32_t kind, v2::Installer* owner) {
    ++createCalls;
    {
        ravel::system::ScopedLock guard(lock_);
        created_.push_back(kind);
    }
    return new FakeInstallerImpl(kind, owner, this);
}

FakeInstallerImpl::FakeInstallerImpl(int32_t engine, v2::Installer* owner, FakeInstallerEnv* env)
    : v2::InstallerImpl(owner), engine_(engine), env_(env) {}

int FakeInstallerImpl::runOp(int op) {
    const FakeOpScript& script = env_->ops[op];
    if (env_->timeline) env_->timeline->add(std::string("impl.") + kOpNames[op] + "(begin)");

    FakeOpRecord record;
    record.op = op;
    record.engine = engine_;
    record.threadId = GetCurrentThreadId();
    record.coInit = CoInitialize(nullptr);
    if (SUCCEEDED(record.coInit)) CoUninitialize();

    for (const FakeEvent& e : script.events) {
        progressEvent()(e.stage, e.state, e.error, e.percent, e.detail, e.message);
        ++record.fired;
    }
    if (!script.workerEvents.empty()) {
        DWORD workerId = 0;
        int fired = 0;
        std::thread worker([&] {
            workerId = GetCurrentThreadId();
            for (const FakeEvent& e : script.workerEvents) {
                progressEvent()(e.stage, e.state, e.error, e.percent, e.detail, e.message);
                ++fired;
            }
        });
        worker.join();
        record.workerThreadId = workerId;
        record.firedByWorker = fired;
    }
    if (script.block) {
        env_->signalBlocked();
        while (WaitForSingleObject(env_->releaseEvent(), 100) == WAIT_TIMEOUT) {
            if (owner->cancelRequested()) {
                record.cancelSeen = true;
                record.cancelSeenAfterMs = GetTickCount() - env_->cancelTick();
                break;
            }
        }
    }
    if (script.setLaunchAppId) owner->setLaunchAppId(script.launchAppId);
    env_->addRecord(record);
    if (env_->timeline) env_->timeline->add(std::string("impl.") + kOpNames[op] + "(end)");
    if (script.throws) throw std::runtime_error(script.throwText);
    return script.result;
}

void setFakeTicks(DWORD ticks) { g_ticks = ticks; }
DWORD fakeTicks() { return g_ticks; }

void RecordingProgress::onProgress(int stage, int state, int error, float percent, const std::wstring& detail,
                                   const std::wstring& message) {
    ravel::system::ScopedLock guard(lock_);
    records_.push_back(Record{stage, state, error, percent, detail, message, GetCurrentThreadId()});
}

std::vector<RecordingProgress::Record> RecordingProgress::records() const {
    ravel::system::ScopedLock guard(lock_);
    return records_;
}

void RecordingProgress::clear() {
    ravel::system::ScopedLock guard(lock_);
    records_.clear();
}

}  // namespace fakes
