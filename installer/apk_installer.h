// Installs APK files from the PC into the running VBox player's Android guest over
// adb. One worker thread runs the submitted tasks one at a time: the APK reaches the
// guest through the folder shared with it when the guest sees that folder, otherwise
// by a push to "/sdcard/", and the guest's package manager installs it. Callers wait,
// each with its own time limit, for their own task only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <string>

#include "installer/channel_config.h"
#include "installer/engine_context.h"
#include "toolkit/delegate.h"
#include "toolkit/event_connector.h"
#include "toolkit/lock.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/smart_ptr.h"
#include "toolkit/thread.h"

class ApkInstaller {
    // Everything the worker touches; declared first, the notifier refers into it.
    struct State;
    State* state_;

public:
    struct Task {
        std::wstring id;  // GUID text, lower-case, no braces
        AppInfo app;      // empty for a bare APK
        std::wstring apkPath;
        bool deleteAfter = false;
        int32_t status = 2;   // 2 queued, 100 running, 102 finished
        int32_t result = -1;  // 0 installed, -1 pending or not installed, -2 not pushed
    };

    // One event of a task, a fresh record per event.
    struct Notify {
        std::wstring id;
        int32_t status;
        int32_t result;
    };

    typedef ravel::object::event_connector_t<const ApkInstaller*, const ravel::object::smart_ptr<Notify>&>
        Notifier;
    typedef ravel::object::smart_ptr<Task> TaskPtr;

    struct Options {
        // The PC side of the folder shared with the guest; created when missing.
        std::wstring hostSharedFolder;
        // The context whose package list gains an installed app's package (an empty
        // pointer: none).
        std::function<ravel::object::smart_ptr<Context>()> listContext;
    };
    // The user data folder's "shared" folder, and apkListContext over the context
    // registry.
    static Options defaultOptions();

    // The process's installer, created on first use with defaultOptions and
    // stopped at process exit.
    static ApkInstaller& instance();

    explicit ApkInstaller(const Options& options);
    // Stops the worker: a running task is abandoned at its next adb wait, queued
    // tasks are dropped. When the worker has not ended within 10 s, its state is
    // left alive for it (process exit ends it).
    virtual ~ApkInstaller();

    ApkInstaller(const ApkInstaller&) = delete;
    ApkInstaller& operator=(const ApkInstaller&) = delete;

    // Queue the task and wait up to timeoutMs (-1: without limit; such a caller goes
    // first) for it. 0 installed; -1 not finished in time or not installed; -2 the APK
    // could not be pushed. Throws std::runtime_error when no task id can be made.
    int32_t installApp(const AppInfo& app, bool deleteAfter, int32_t timeoutMs);
    int32_t installApk(const std::wstring& apkPath, bool deleteAfter, int32_t timeoutMs);

    // (100, -1) when a task starts, (102, result) when it ends; on the worker thread.
    Notifier& notifier;

    class Worker : public ravel::system::Thread {
    public:
        Worker();
        ~Worker() override;

        void ensureStarted();
        void pushBack(const TaskPtr& task);
        void pushFront(const TaskPtr& task);
        int loop();

        ScopedHandle wakeEvent;
        std::atomic<bool> stopRequested{false};
        std::deque<TaskPtr> queue;
        ravel::system::Lock queueLock;
        ravel::object::delegate<void(Worker*, const TaskPtr&)> runTask;
        // Ends a task that runTask left by an exception.
        ravel::object::delegate<void(const TaskPtr&)> abortTask;
    };

private:
    int32_t submit(const TaskPtr& task, int32_t timeoutMs);
};

// The context whose list records what the installer put into the VBox guest: the
// current one when it is a VBox context, else the one named "vbox_1" (none: empty).
ravel::object::smart_ptr<Context> apkListContext(
    const ravel::object::smart_ptr<Context>& current,
    const std::function<ravel::object::smart_ptr<Context>(const std::wstring&)>& find);
