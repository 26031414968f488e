// The installer facade: one entry into the installer engine. The start-up road
// and the main dialog set an action, start it on the installer thread, wait for
// it or cancel it, and listen to its progress. The work is done by one engine
// implementation chosen once per process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "toolkit/delegate.h"
#include "toolkit/lock.h"
#include "toolkit/singleton.h"
#include "toolkit/thread.h"

struct UnzipProgress;

// What a run does; also the stage of a progress event.
typedef int32_t InstallAction;
const InstallAction ActionDownload = 0;
const InstallAction ActionInstall = 1;
const InstallAction ActionUpgrade = 2;
const InstallAction ActionRemove = 3;
const InstallAction ActionFix = 4;

// "download", "install", "upgrade", "remove", "fix"; "" for anything else.
const char* actionName(InstallAction action);

// Progress listener: stage, state (0 started, 1 running, 2 finished), error
// (0 or -1), percent, detail (not shown), message (for the user). Binding a
// listener replaces the previous one; firing an unbound one does nothing.
typedef ravel::object::delegate<void(int, int, int, float, const std::wstring&, const std::wstring&)>
    InstallProgressEvent;

// The record the dialog's listener posts to its window (the detail is dropped).
struct InstallProgress {
    int32_t stage;
    int32_t state;
    int32_t error;
    float percent;
    std::wstring text;
};

namespace v2 {

class Installer;

// One emulator engine. Install and upgrade are one operation in both engines;
// fix does nothing and returns 0.
class InstallerImpl {
public:
    explicit InstallerImpl(Installer* owner) : owner(owner) {}
    virtual ~InstallerImpl() {}

    virtual int download() = 0;
    virtual int install() = 0;
    virtual int upgrade() = 0;
    virtual int remove() = 0;
    virtual int fix() = 0;

    // The owner's progress listener.
    InstallProgressEvent& progressEvent();
    Installer* getOwner() const { return owner; }

    // The Downloader's overall-progress callback: -1 fires a failed final
    // event, every other code a running one; never throttled.
    void onDownloadProgress(int code, float percent);

protected:
    Installer* owner;
};

class Installer : public ravel::pattern::Singleton<Installer> {
    friend class ravel::pattern::Singleton<Installer>;

public:
    virtual ~Installer();

    void setAction(InstallAction action) { action_ = action; }
    InstallAction getAction() const { return action_; }

    // Starts run() on the installer thread. -1 (and "installer busy" in the
    // log) while the previous run is still alive; 0 otherwise.
    int start();
    // Waits for the installer thread; (DWORD)-1 waits without limit. Returns at
    // once when the thread was never started.
    void wait(DWORD milliseconds);
    void cancel() { cancelRequested_.store(true); }
    // Polled by the engine operations.
    bool cancelRequested() const { return cancelRequested_.load(); }
    // A run is under way (the dialog greys its buttons).
    bool isBusy() const { return worker_.isAlive(); }

    InstallProgressEvent& progressEvent() { return progress_; }

    // A window run: failures may be shown in a box. Set by the road before the
    // dialog runs; false for silent runs.
    void setInteractive(bool interactive) { interactive_.store(interactive); }
    bool isInteractive() const { return interactive_.load(); }

    void setLaunchAppId(const std::wstring& id);
    std::wstring getLaunchAppId() const;

    int download();
    virtual int install();
    virtual int upgrade();
    virtual int remove();
    virtual int fix();

    // The installer thread's body; its result is the thread's exit code.
    int run();

    // Test builds read the thread's handle (installer/seams.h).
    friend HANDLE workerHandleForTests(const Installer& installer);

private:
    Installer();

    std::atomic<bool> cancelRequested_;
    std::atomic<bool> interactive_{false};
    ravel::system::Thread worker_;
    InstallAction action_;
    InstallProgressEvent progress_;
    mutable ravel::system::Lock idLock_;
    std::wstring launchAppId_;
    InstallerImpl* impl_;  // not owned: the selector keeps it for the process
};

// The engines an implementation is made for (the values of EngineKind).
const int32_t EngineVBox = 0;
const int32_t EngineQv = 1;

// What the facade needs from the rest of the loader. Installed once per process
// before the first run (the product binding, or a test environment).
class InstallerEnv {
public:
    virtual ~InstallerEnv() {}
    // One formatted line for the log.
    virtual void log(const std::string& line) = 0;
    // The engine of this machine's download variant (0 VBox, anything else Qv).
    virtual int32_t selectedEngine() = 0;
    // A new implementation of that engine (EngineVBox or EngineQv) for owner.
    virtual InstallerImpl* createImpl(int32_t engine, Installer* owner) = 0;
};

void setInstallerEnv(InstallerEnv* env);
InstallerEnv* getInstallerEnv();

// printf-style line through the environment's log; dropped without one.
void installerLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace v2

// The implementation for this process: chosen on the first call (an installed
// engine wins, by installedEngine(), the rule the package choice follows too;
// else the machine's download variant decides) and kept until exit; later
// owners are ignored. Throws when no environment is installed.
v2::InstallerImpl* selectInstallerImpl(v2::Installer* owner);

// Progress relay for the extraction step of an install: at most one event per
// second per kind, mapped onto basePercent .. basePercent + spanPercent. The
// first call of a kind in the process only starts its clock.
class ProgressThrottle {
public:
    ProgressThrottle(v2::InstallerImpl* impl, float basePercent, float spanPercent, const std::wstring& text);
    virtual ~ProgressThrottle() {}

    // The extraction's progress callback.
    void operator()(UnzipProgress* progress);
    // The same with the step's percent (0 to 100).
    void report(float stepPercent);

    // One kind's last second in which it fired.
    struct Memory {
        bool started;
        DWORD second;
    };

protected:
    virtual Memory& memory() = 0;

private:
    v2::InstallerImpl* impl;
    float basePercent;
    float spanPercent;
    std::wstring text;
};

// The VBox install's throttle.
class VBoxProgressThrottle : public ProgressThrottle {
public:
    using ProgressThrottle::ProgressThrottle;

protected:
    Memory& memory() override;
};

// The Qv install's throttle.
class QvProgressThrottle : public ProgressThrottle {
public:
    using ProgressThrottle::ProgressThrottle;

protected:
    Memory& memory() override;
};
