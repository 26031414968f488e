// Test stand-ins for the installer facade: a scripted engine implementation,
// the environment that makes it, a settable tick source and a recording
// progress listener.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "installer/installer.h"
#include "testing/fakes/call_log.h"
#include "toolkit/lock.h"

namespace fakes {

struct FakeEvent {
    int stage = 0;
    int state = 0;
    int error = 0;
    float percent = 0;
    std::wstring detail;
    std::wstring message;
};

// What one operation (0 download .. 4 fix) does.
struct FakeOpScript {
    int result = 0;
    std::vector<FakeEvent> events;        // fired on the calling (installer) thread
    std::vector<FakeEvent> workerEvents;  // fired from a second thread, joined before returning
    bool block = false;                   // wait for release(), polling cancel every 100 ms
    bool throws = false;
    std::string throwText = "fake failure";
    bool setLaunchAppId = false;
    std::wstring launchAppId;
};

struct FakeOpRecord {
    int op = -1;
    int32_t engine = -1;
    DWORD threadId = 0;
    HRESULT coInit = E_FAIL;  // what CoInitialize answered inside the operation
    bool cancelSeen = false;
    DWORD cancelSeenAfterMs = 0;  // since cancel() was asked for, when seen
    int fired = 0;                // events fired on the calling thread
    int firedByWorker = 0;
    DWORD workerThreadId = 0;
};

class FakeInstallerEnv : public v2::InstallerEnv {
public:
    FakeInstallerEnv();
    ~FakeInstallerEnv() override;

    // Script.
    int32_t engine = v2::EngineVBox;
    FakeOpScript ops[5];
    CallLog* timeline = nullptr;  // receives "impl.<op> begin/end" when set

    // Counters.
    std::atomic<int> engineCalls{0};
    std::atomic<int> createCalls{0};
    int probes() const { return engineCalls; }

    // Back to a fresh script, no records, counters at 0, not released.
    void reset();
    // Lets blocked operations go on.
    void release();
    // Waits until a blocking operation has started to block.
    bool waitBlocked(DWORD ms);
    // The moment the test called cancel() (for cancelSeenAfterMs).
    void noteCancel();

    std::vector<FakeOpRecord> records() const;
    std::vector<std::string> logLines() const;
    std::vector<int32_t> createdEngines() const;

    void log(const std::string& line) override;
    int32_t selectedEngine() override;
    v2::InstallerImpl* createImpl(int32_t engine, v2::Installer* owner) override;

    // Used by FakeInstallerImpl.
    void addRecord(const FakeOpRecord& record);
    HANDLE releaseEvent() const { return release_; }
    void signalBlocked() { SetEvent(blocked_); }
    DWORD cancelTick() const { return cancelTick_; }

private:
    mutable ravel::system::Lock lock_;
    std::vector<FakeOpRecord> records_;
    std::vector<std::string> logLines_;
    std::vector<int32_t> created_;
    HANDLE release_;
    HANDLE blocked_;
    std::atomic<DWORD> cancelTick_{0};
};

class FakeInstallerImpl : public v2::InstallerImpl {
public:
    FakeInstallerImpl(int32_t engine, v2::Installer* owner, FakeInstallerEnv* env);

    int32_t engine() const { return engine_; }

    int download() override { return runOp(0); }
    int install() override { return runOp(1); }
    int upgrade() override { return runOp(2); }
    int remove() override { return runOp(3); }
    int fix() override { return runOp(4); }

private:
    int runOp(int op);

    int32_t engine_;
    FakeInstallerEnv* env_;
};

// A tick source for ProgressThrottle.
void setFakeTicks(DWORD ticks);
DWORD fakeTicks();

// Records every progress event with its calling thread.
class RecordingProgress {
public:
    struct Record {
        int stage, state, error;
        float percent;
        std::wstring detail, message;
        DWORD threadId;
    };

    void bind(InstallProgressEvent& event) { event.bind(this, &RecordingProgress::onProgress); }
    void onProgress(int stage, int state, int error, float percent, const std::wstring& detail,
                    const std::wstring& message);
    std::vector<Record> records() const;
    void clear();

private:
    mutable ravel::system::Lock lock_;
    std::vector<Record> records_;
};

}  // namespace fakes
