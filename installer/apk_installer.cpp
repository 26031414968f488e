#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shlwapi.h>

#include "installer/apk_installer.h"

#include <stdexcept>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_sync.h"
#include "installer/app_list.h"
#include "installer/device_shell.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

using ravel::object::smart_ptr;
using ravel::system::ScopedLock;

namespace {

const wchar_t kGuestSharedRoot[] = L"/mnt/shared/";
const wchar_t kShareName[] = L"tv_shared";
const char kDeviceSerial[] = "127.0.0.1:5555";
// How long the destructor waits for the worker to end.
const DWORD kStopWaitMs = 10000;

std::wstring newTaskId() {
    GUID g;
    if (CoCreateGuid(&g) != S_OK) throw std::runtime_error("Call win32api [CoCreateGuid] was failed!");
    return format(L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", (unsigned long)g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

// Volume serial and file index; false when the file cannot be opened.
bool fileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    ScopedHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return false;
    return GetFileInformationByHandle(h.get(), &info) != FALSE;
}

// Whether two spellings name one file (a "/", a short name or a ".." do not show in
// the text).
bool sameFile(const std::wstring& a, const std::wstring& b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    if (!fileIdentity(a, x) || !fileIdentity(b, y)) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// An existing file that is not a folder (nor a device).
bool isPlainFile(const std::wstring& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// The name under which the folder lists the file (its long name).
bool listedName(const std::wstring& path, std::wstring& name) {
    WIN32_FIND_DATAW data;
    if (!ScopedFindHandle(FindFirstFileW(path.c_str(), &data))) return false;
    name = data.cFileName;
    return !name.empty();
}

// Waits for one task's final event.
struct Waiter {
    std::wstring id;
    ScopedHandle event;
    int32_t waiterResult = -1;

    void onNotify(const ApkInstaller*, const smart_ptr<ApkInstaller::Notify>& notify) {
        if (!notify.get() || notify->id != id) return;
        waiterResult = notify->result;
        if (notify->status == 102) SetEvent(event.get());
    }
};

}  // namespace

// Everything the worker touches. It outlives the installer when the worker does
// not stop in time.
struct ApkInstaller::State {
    State(const ApkInstaller* owner, const Options& options);

    void runTask(Worker* worker, const TaskPtr& task);
    void abortTask(const TaskPtr& task);
    void fire(const Task& task);
    void finish(Task& task, int32_t result);
    bool isSharedFolderUsable();
    void updateList(const Task& task);

    std::list<TaskPtr> tasks;
    std::wstring hostSharedFolder;
    std::wstring guestSharedPath;
    std::wstring deviceSerial;
    std::function<smart_ptr<Context>()> listContext;
    Notifier notifier;
    Worker worker;
    ravel::system::Lock lock;  // guards tasks
};

ApkInstaller::State::State(const ApkInstaller* owner, const Options& options)
    : hostSharedFolder(options.hostSharedFolder),
      guestSharedPath(std::wstring(kGuestSharedRoot) + kShareName),
      deviceSerial(utf8ToWide(kDeviceSerial)),
      listContext(options.listContext),
      notifier(owner) {
    if (!hostSharedFolder.empty() && !pathExists(hostSharedFolder)) createDirectories(hostSharedFolder);
    worker.runTask.bind(this, &State::runTask);
    worker.abortTask.bind(this, &State::abortTask);
}

void ApkInstaller::State::fire(const Task& task) {
    Notify* n = new Notify;
    n->id = task.id;
    n->status = task.status;
    n->result = task.result;
    notifier.emit(smart_ptr<Notify>(n));
}

void ApkInstaller::State::finish(Task& task, int32_t result) {
    task.result = result;
    task.status = 102;
    fire(task);
}

void ApkInstaller::State::abortTask(const TaskPtr& task) {
    finish(*task, task->result == 0 ? 0 : -1);
}

bool ApkInstaller::State::isSharedFolderUsable() {
    adb::AdbClient client(kDeviceSerial);
    bool found = false;
    return adb::listFindsDot(client, wideToUtf8(guestSharedPath), found) == 0 && found;
}

// A list that someone else holds locked, or a context that cannot be had, costs the
// record only: the app is installed.
void ApkInstaller::State::updateList(const Task& task) {
    if (task.app.id.empty()) return;
    try {
        smart_ptr<Context> context = listContext ? listContext() : smart_ptr<Context>();
        if (!context.get()) return;
        AppListStore store(*context);
        AppListMap entries;
        store.read(entries);
        const std::string key = wideToUtf8(task.app.package);
        if (entries.count(key)) return;
        AppListEntry entry;
        entry.package = key;
        entry.appId = 0;
        entry.spareNumber = 0;
        entry.label = task.app.package;
        entries[key] = entry;
        store.write(entries);
    } catch (const std::exception& e) {
        logPrintf("app list update failed: %s", e.what());
    } catch (...) {
        logPrintf("app list update failed: %s", "unknown error");
    }
}

void ApkInstaller::State::runTask(Worker* worker, const TaskPtr& taskPtr) {
    // A stop abandons the task at its next adb wait.
    adb::StopScope stopScope(&worker->stopRequested);
    Task& task = *taskPtr;
    task.status = 100;
    task.result = -1;
    fire(task);
    const std::string apkText = wideToAnsi(task.apkPath);
    logPrintf("安装apk %s ", apkText.c_str());

    const ravel::file::Path apk(task.apkPath);
    const std::wstring fileName = apk.getFileName();
    // The name ends up in a command line of the guest's shell; and an empty name
    // or a folder would make the shared folder itself, or a folder in it, the copy.
    if (hasControlCharacter(fileName) || !isPlainFile(task.apkPath)) {
        logPrintf("apk task refused: %s", apkText.c_str());
        finish(task, -1);
        return;
    }

    std::wstring remotePath;
    std::wstring ownCopy;  // our copy in the shared folder, removed at the end
    if (!hostSharedFolder.empty() && PathFileExistsW(hostSharedFolder.c_str()) && isSharedFolderUsable()) {
        if (toLowerCopy((apk - 1).toString()) == toLowerCopy(hostSharedFolder)) {
            remotePath = guestSharedPath + L"/" + fileName;
        } else {
            const std::wstring sharedCopy = hostSharedFolder + L"\\" + fileName;
            // A folder of that name is not ours to replace: the APK is pushed.
            bool blocked = false;
            if (pathExists(sharedCopy)) {
                std::wstring listed;
                if (!isPlainFile(sharedCopy))
                    blocked = true;
                // The APK itself under another spelling: use it where it is.
                else if (sameFile(task.apkPath, sharedCopy) && listedName(sharedCopy, listed))
                    remotePath = guestSharedPath + L"/" + listed;
                else
                    deletePath(sharedCopy);
            }
            if (!blocked && remotePath.empty() && copyPath(task.apkPath, sharedCopy).value()) {
                ownCopy = sharedCopy;
                remotePath = guestSharedPath + L"\\" + fileName;
                replaceAll(remotePath, L"\\", L"/");
            }
        }
    }

    if (remotePath.empty()) {
        logPrintf("使用push");
        remotePath = L"/sdcard/" + fileName;
        adb::AdbClient client(kDeviceSerial);
        if (adb::push(client, task.apkPath, wideToUtf8(remotePath)) != 0) {
            finish(task, -2);
            return;
        }
    } else {
        logPrintf("使用共享文件夹,文件名 %s ", wideToAnsi(remotePath).c_str());
    }

    std::wstring quoted;
    if (!quoteForDeviceShell(remotePath, quoted)) {
        logPrintf("apk task refused: %s", apkText.c_str());
        if (isPlainFile(ownCopy)) deletePath(ownCopy);
        finish(task, -1);
        return;
    }
    const std::wstring command = L"shell:pm install -r " + quoted;
    std::string output;
    {
        adb::AdbClient client(wideToAnsi(deviceSerial).c_str());
        client.query(wideToUtf8(command), output);
    }
    const bool abandoned = worker->stopRequested.load();
    int32_t result = -1;
    if (!abandoned && output.find("Success") != std::string::npos) {
        logPrintf("安装apk %s 成功", wideToAnsi(command).c_str());
        result = 0;
        task.result = 0;
        if (task.deleteAfter) deletePath(task.apkPath);
        updateList(task);
    } else {
        logPrintf("安装apk %s 失败", wideToAnsi(command).c_str());
    }
    if (isPlainFile(ownCopy)) deletePath(ownCopy);
    finish(task, result);
}

// --- worker ---------------------------------------------------------------------------

ApkInstaller::Worker::Worker() : wakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    delegate().bind(this, &Worker::loop);
}

ApkInstaller::Worker::~Worker() {
    wakeEvent.reset();
    queue.clear();
}

void ApkInstaller::Worker::ensureStarted() {
    ScopedLock guard(queueLock);
    if (isAlive()) return;
    queue.clear();
    stopRequested = false;
    start(nullptr, std::wstring());
}

void ApkInstaller::Worker::pushBack(const TaskPtr& task) {
    {
        ScopedLock guard(queueLock);
        queue.push_back(task);
    }
    SetEvent(wakeEvent.get());
}

void ApkInstaller::Worker::pushFront(const TaskPtr& task) {
    {
        ScopedLock guard(queueLock);
        queue.push_front(task);
    }
    SetEvent(wakeEvent.get());
}

int ApkInstaller::Worker::loop() {
    if (stopRequested) return 0;
    while (!stopRequested) {
        DWORD waited = WaitForSingleObject(wakeEvent.get(), INFINITE);
        if (waited == WAIT_FAILED) {
            logPrintf("apk worker wait failed: %lu", (unsigned long)GetLastError());
            break;
        }
        if (waited != WAIT_OBJECT_0) continue;
        if (stopRequested) break;
        queueLock.lock();
        while (!queue.empty() && !stopRequested) {
            TaskPtr task = queue.front();
            queue.pop_front();
            queueLock.unlock();
            try {
                if (!runTask.empty()) runTask(this, task);
            } catch (...) {
                try {
                    abortTask(task);
                } catch (...) {
                }
            }
            task.release();
            queueLock.lock();
        }
        queueLock.unlock();
    }
    return 0;
}

// --- installer ------------------------------------------------------------------------

ApkInstaller::Options ApkInstaller::defaultOptions() {
    Options options;
    options.hostSharedFolder = getUserDataFolder() + L"\\shared";
    options.listContext = [] { return apkListContext(getCurrentContext(), findContext); };
    return options;
}

ApkInstaller& ApkInstaller::instance() {
    static ApkInstaller installer(defaultOptions());
    return installer;
}

ApkInstaller::ApkInstaller(const Options& options) : state_(new State(this, options)), notifier(state_->notifier) {}

ApkInstaller::~ApkInstaller() {
    Worker& worker = state_->worker;
    worker.stopRequested = true;
    SetEvent(worker.wakeEvent.get());
    worker.join(kStopWaitMs);
    if (worker.isAlive()) {
        // It still uses the queue, the locks and the notifier: leave them to it.
        logPrintf("apk worker did not stop");
        return;
    }
    delete state_;
}

int32_t ApkInstaller::installApp(const AppInfo& app, bool deleteAfter, int32_t timeoutMs) {
    TaskPtr task(new Task);
    task->id = newTaskId();
    task->apkPath = app.apkPath;
    task->app = app;
    task->deleteAfter = deleteAfter;
    return submit(task, timeoutMs);
}

int32_t ApkInstaller::installApk(const std::wstring& apkPath, bool deleteAfter, int32_t timeoutMs) {
    TaskPtr task(new Task);
    task->id = newTaskId();
    task->apkPath = apkPath;
    task->deleteAfter = deleteAfter;
    return submit(task, timeoutMs);
}

int32_t ApkInstaller::submit(const TaskPtr& task, int32_t timeoutMs) {
    Waiter waiter;
    waiter.id = task->id;
    waiter.event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    Notifier::delegate_type listener(&waiter, &Waiter::onNotify);
    state_->notifier.connect(listener);
    {
        ScopedLock guard(state_->lock);
        state_->tasks.push_back(task);
    }
    state_->worker.ensureStarted();
    // A caller that waits without limit goes first.
    if (timeoutMs == -1)
        state_->worker.pushFront(task);
    else
        state_->worker.pushBack(task);
    if (waiter.event) WaitForSingleObject(waiter.event.get(), (DWORD)timeoutMs);
    state_->notifier.disconnect(listener);
    waiter.event.reset();
    return waiter.waiterResult;
}

smart_ptr<Context> apkListContext(const smart_ptr<Context>& current,
                                  const std::function<smart_ptr<Context>(const std::wstring&)>& find) {
    if (current.get() && current->engine == EngineKind::VBox) return current;
    return find ? find(L"vbox_1") : smart_ptr<Context>();
}
