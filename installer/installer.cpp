#include "installer/installer.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "services/com_init.h"
#include "services/system_checks.h"
#include "toolkit/log_sink.h"
#include "toolkit/smart_ptr.h"
#include "toolkit/zip_extract.h"

#ifdef TARVO_TEST_SEAMS
#include "installer/seams.h"
#endif

const char* actionName(InstallAction action) {
    switch (action) {
        case ActionDownload: return "download";
        case ActionInstall: return "install";
        case ActionUpgrade: return "upgrade";
        case ActionRemove: return "remove";
        case ActionFix: return "fix";
        default: return "";
    }
}

namespace v2 {

namespace {

std::atomic<InstallerEnv*> g_env{nullptr};

// The stage a failed run reports for its action.
int stageOf(InstallAction action) {
    switch (action) {
        case ActionDownload: return 0;
        case ActionInstall:
        case ActionUpgrade: return 1;
        case ActionRemove: return 3;
        case ActionFix: return 4;
        default: return action;
    }
}

}  // namespace

void setInstallerEnv(InstallerEnv* env) { g_env.store(env); }

InstallerEnv* getInstallerEnv() { return g_env.load(); }

void installerLog(const char* format, ...) {
    InstallerEnv* env = g_env.load();
    if (!env) return;
    char buffer[ravel::log::kLineBytes];
    va_list args;
    va_start(args, format);
    long n = ravel::log::formatLine(buffer, format, args);
    va_end(args);
    if (n < 0) return;
    env->log(std::string(buffer, static_cast<size_t>(n)));
}

InstallProgressEvent& InstallerImpl::progressEvent() { return owner->progressEvent(); }

void InstallerImpl::onDownloadProgress(int code, float percent) {
    if (code == -1)
        progressEvent()(0, 2, -1, percent, std::wstring(), std::wstring());
    else
        progressEvent()(0, 1, 0, percent, std::wstring(), std::wstring());
}

Installer::Installer() : cancelRequested_(false), action_(ActionDownload), impl_(nullptr) {}

Installer::~Installer() {}

int Installer::start() {
    if (worker_.isAlive()) {
        installerLog("installer busy");
        return -1;
    }
    worker_.delegate().bind(this, &Installer::run);
    worker_.start().ignore();
    return 0;
}

void Installer::wait(DWORD milliseconds) { worker_.join(milliseconds); }

void Installer::setLaunchAppId(const std::wstring& id) {
    ravel::system::ScopedLock guard(idLock_);
    launchAppId_ = id;
}

std::wstring Installer::getLaunchAppId() const {
    ravel::system::ScopedLock guard(idLock_);
    return launchAppId_;
}

int Installer::download() { return impl_ ? impl_->download() : -1; }
int Installer::install() { return impl_ ? impl_->install() : -1; }
int Installer::upgrade() { return impl_ ? impl_->upgrade() : -1; }
int Installer::remove() { return impl_ ? impl_->remove() : -1; }
int Installer::fix() { return impl_ ? impl_->fix() : -1; }

int Installer::run() {
    ComInitGuard com;
    cancelRequested_.store(false);
    int result = -1;
    const InstallAction action = action_;
    installerLog("start %s...", actionName(action));
    // An unknown action touches no engine (and probes nothing).
    if (action < ActionDownload || action > ActionFix) return result;

    // An exception must not end the thread without a final event.
    const char* failure = nullptr;
    std::string what;
    try {
        impl_ = selectInstallerImpl(this);
        if (!impl_) throw std::runtime_error("no installer implementation");
        switch (action) {
            case ActionDownload: result = download(); break;
            case ActionInstall: result = install(); break;
            case ActionUpgrade: result = upgrade(); break;
            case ActionRemove: result = remove(); break;
            case ActionFix: result = fix(); break;
        }
    } catch (const std::exception& e) {
        what = e.what();
        failure = what.c_str();
    } catch (...) {
        failure = "unknown exception";
    }
    if (failure) {
        installerLog("installer exception: %s", failure);
        progress_(stageOf(action), 2, -1, 0.0f, std::wstring(), std::wstring());
        result = -1;
    }
    return result;
}

namespace {

ravel::system::Lock& selectionLock() {
    static ravel::system::Lock* lock = new ravel::system::Lock();
    return *lock;
}

ravel::object::smart_ptr<InstallerImpl>& chosenImpl() {
    static ravel::object::smart_ptr<InstallerImpl> chosen;
    return chosen;
}

}  // namespace

#ifdef TARVO_TEST_SEAMS
void resetSelectionForTests() {
    ravel::system::ScopedLock guard(selectionLock());
    chosenImpl().reset();
}

HANDLE workerHandleForTests(const Installer& installer) { return installer.worker_.getHandle(); }
#endif

}  // namespace v2

v2::InstallerImpl* selectInstallerImpl(v2::Installer* owner) {
    ravel::system::ScopedLock guard(v2::selectionLock());
    ravel::object::smart_ptr<v2::InstallerImpl>& chosen = v2::chosenImpl();
    if (chosen != nullptr) return chosen.get();

    v2::InstallerEnv* env = v2::getInstallerEnv();
    if (!env) throw std::runtime_error("installer environment not set");
    int32_t engine;
    if (std::optional<EngineKind> installed = installedEngine())
        engine = *installed == EngineKind::VBox ? v2::EngineVBox : v2::EngineQv;
    else
        engine = env->selectedEngine() == v2::EngineVBox ? v2::EngineVBox : v2::EngineQv;
    chosen.reset(env->createImpl(engine, owner));
    return chosen.get();
}

namespace {

ravel::system::Lock& throttleLock() {
    static ravel::system::Lock* lock = new ravel::system::Lock();
    return *lock;
}
ProgressThrottle::Memory* vboxMemory() {
    static ProgressThrottle::Memory* m = new ProgressThrottle::Memory{false, 0};
    return m;
}
ProgressThrottle::Memory* qvMemory() {
    static ProgressThrottle::Memory* m = new ProgressThrottle::Memory{false, 0};
    return m;
}

#ifdef TARVO_TEST_SEAMS
DWORD (*g_tickSource)() = nullptr;
DWORD ticksNow() { return g_tickSource ? g_tickSource() : GetTickCount(); }
#else
DWORD ticksNow() { return GetTickCount(); }
#endif

}  // namespace

ProgressThrottle::ProgressThrottle(v2::InstallerImpl* impl, float basePercent, float spanPercent,
                                   const std::wstring& text)
    : impl(impl), basePercent(basePercent), spanPercent(spanPercent), text(text) {}

void ProgressThrottle::operator()(UnzipProgress* progress) {
    if (progress) report(progress->percent);
}

void ProgressThrottle::report(float stepPercent) {
    {
        ravel::system::ScopedLock guard(throttleLock());
        Memory& m = memory();
        // Whole seconds, unsigned: the tick counter's wrap must not stop the relay.
        DWORD now = ticksNow() / 1000;
        if (!m.started) {
            m.started = true;
            m.second = now;
        }
        if (now - m.second < 1) return;
        m.second = now;
    }
    if (!impl) return;
    impl->progressEvent()(1, 1, 0, basePercent + stepPercent * spanPercent / 100.0f, std::wstring(),
                          text + L"塔沃主程序...");
}

#ifdef TARVO_TEST_SEAMS
void setThrottleTickSourceForTests(DWORD (*source)()) {
    ravel::system::ScopedLock guard(throttleLock());
    g_tickSource = source;
}

void resetThrottleForTests() {
    ravel::system::ScopedLock guard(throttleLock());
    *vboxMemory() = ProgressThrottle::Memory{false, 0};
    *qvMemory() = ProgressThrottle::Memory{false, 0};
}
#endif

ProgressThrottle::Memory& VBoxProgressThrottle::memory() { return *vboxMemory(); }

ProgressThrottle::Memory& QvProgressThrottle::memory() { return *qvMemory(); }
