#include "installer/downloader.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "installer/peerfetch_wrapper.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/shell_util.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"
#include "toolkit/zip_extract.h"

namespace {

const uint64_t kUnknownTotalBytes = 314572800;  // 300 MiB counted for a task without a size
const int kRetries = 5;
const DWORD kPollMs = 100;
const uint64_t kMaxArchiveBytes = 64ull * 1024 * 1024;  // far above the library's size

bool hasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// A name the library may write under the task folder, and nothing else.
bool isSafeFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) return false;
        if (wcschr(L"\\/:*?\"<>|", c)) return false;
    }
    return true;
}

void copyField(wchar_t* field, const std::wstring& text) {
    std::copy(text.begin(), text.end(), field);
    field[text.size()] = 0;
}

}  // namespace

class Downloader::InnerTask : public Downloader::Task {
public:
    InnerTask(const std::wstring& key, const std::wstring& url, const std::wstring& dir,
              const std::wstring& fileName)
        : Task(key, url, dir, fileName), params(new PeerfetchTaskParams()), handle(0) {}
    ~InnerTask() override { delete params; }

    PeerfetchTaskParams* params;
    PeerfetchHandle handle;

    // Refused at addTask, or failed at its start or by the stall guard: never
    // queried again and settled in every cycle.
    bool failedForGood = false;
    ULONGLONG lastGrowth = 0;
    uint64_t mostDownloaded = 0;
};

Downloader::Task::Task(const std::wstring& key, const std::wstring& url, const std::wstring& dir,
                       const std::wstring& fileName)
    : key(key), url_(url), dir(dir), fileName(fileName), progress(0), result(-1), state_(0) {}

DownloaderLimits& downloaderLimits() {
    static DownloaderLimits limits;
    return limits;
}

Downloader::Downloader(uint32_t resourceId, const std::wstring& base)
    : stopRequested(false), resourceId(resourceId), baseDir(base) {
    if (baseDir.empty()) baseDir = (ravel::file::Path(getModulePath()) - 1).toString();
    dllPath = baseDir + L"\\peerfetch\\peerfetch.dll";
    // Always: an old or replaced library in this user-writable folder must not
    // stay the one the elevated loader loads.
    extractLibrary();
}

Downloader::~Downloader() { stop(); }

void Downloader::extractLibrary() {
    dllBytes.clear();
    std::wstring temp = getTempFilePath();
    logPrintf(" extract download dll rc to path: %s", wideToAnsi(temp).c_str());
    bool written = extractResourceToFile(nullptr, L"DIZU", (unsigned short)resourceId, temp) ||
                   extractResourceToFile(nullptr, L"DIZU", (unsigned short)resourceId, temp);
    if (written) {
        logPrintf(" extract download dll to path %s", wideToAnsi(baseDir).c_str());
        // A read-only or foreign copy left there must not block the unpack.
        removeEntry(dllPath, true);
        unzipToFolder(temp, baseDir, false, nullptr);
        std::map<std::wstring, std::string> files;
        if (readZipFiles(temp, kMaxArchiveBytes, files)) dllBytes = files[L"peerfetch\\peerfetch.dll"];
    }
    // One temporary file per extraction would soon use up the names.
    if (!temp.empty()) DeleteFileW(temp.c_str());
}

void Downloader::addTask(const std::wstring& key, const std::wstring& url, const std::wstring& dir,
                         const std::wstring& fileName) {
    InnerTask* task = new InnerTask(key, url, dir, fileName);
    tasks.push_back(ravel::object::smart_ptr<Task>(task));
    bool fits = url.size() < PeerfetchTaskParams::kUrlChars && fileName.size() < PeerfetchTaskParams::kFileNameChars &&
                dir.size() < PeerfetchTaskParams::kFolderChars;
    if (!fits || !isSafeFileName(fileName) || hasNul(url) || hasNul(dir)) {
        // Kept in the list so that the batch ends as failed.
        task->state_ = -1;
        task->failedForGood = true;
        return;
    }
    copyField(task->params->url, url);
    copyField(task->params->folder, dir);
    copyField(task->params->fileName, fileName);
}

void Downloader::start() {
    // Cleared here, not by the worker, so that a stop asked right after start holds.
    stopRequested = false;
    worker.delegate().bind(this, &Downloader::run);
    try {
        worker.start(nullptr, std::wstring()).ignore();
    } catch (const std::exception&) {
        // Still running from an earlier start: that run goes on.
    }
}

void Downloader::wait(int32_t milliseconds) { worker.join(milliseconds < 0 ? INFINITE : (uint32_t)milliseconds); }

void Downloader::requestStop() { stopRequested = true; }

bool Downloader::isRunning() const { return worker.isAlive(); }

void Downloader::stop() {
    requestStop();
    wait(-1);
    tasks.clear();
}

unsigned Downloader::finishedCount() const {
    unsigned n = 0;
    for (const auto& t : tasks)
        if (t->state_ == 2) ++n;
    return n;
}

void Downloader::fireTotal(int state, float percent) {
    if (totalProgressDelegate.empty()) return;
    try {
        totalProgressDelegate(state, percent);
    } catch (...) {
        // A listener's failure does not stop the batch.
    }
}

int Downloader::run() {
    fireTotal(0, 0.0f);

    ravel::object::smart_ptr<PeerfetchWrapper> wrapper;
    for (int retry = 0;; ++retry) {
        try {
            // Held unchangeable from the check until the library is loaded.
            PinnedFile library;
            if (dllBytes.empty() || !library.pinIfEqual(dllPath, dllBytes)) {
                logPrintf("library check failed: %s", wideToAnsi(dllPath).c_str());
                throw std::runtime_error("init error!");
            }
            wrapper.reset(new PeerfetchWrapper(dllPath));
            if (!wrapper->acquire()) throw std::runtime_error("init error!");
            break;
        } catch (...) {
            wrapper.reset();
            if (retry < kRetries) {
                logPrintf(" fix download modules retry: %d...", retry);
                Sleep(500);
                extractLibrary();
                continue;
            }
            fireTotal(2, 0.0f);
            logPrintf(" download modules exception!");
            return -1;
        }
    }

    for (auto& t : tasks) {
        InnerTask* task = static_cast<InnerTask*>(t.get());
        if (task->failedForGood) continue;
        task->params->option47B4 = 1;
        task->params->option47BC = 1;
        task->params->option47C0 = 1;
        task->handle = wrapper->startTask(*task->params);
        task->lastGrowth = GetTickCount64();
        if (!task->handle) {
            // Never started: it cannot settle otherwise.
            task->state_ = -1;
            task->failedForGood = true;
        }
    }

    const uint32_t stallMs = downloaderLimits().stallMs;
    const unsigned count = taskCount();
    unsigned settled = 0;
    uint64_t shownKiB = 0;
    float percent = 0.0f;
    while (!stopRequested && settled != count) {
        unsigned settledNow = 0;
        uint64_t totalBytes = 0;
        uint64_t downloadedKiB = 0;
        for (auto& t : tasks) {
            InnerTask* task = static_cast<InnerTask*>(t.get());
            if (task->failedForGood) {
                ++settledNow;
                continue;
            }
            PeerfetchTaskStatus status;
            if (wrapper->queryTask(task->handle, status)) {
                totalBytes += status.totalBytes ? status.totalBytes : kUnknownTotalBytes;
                switch (status.code) {
                case kPeerfetchDownloading:
                    if (status.totalBytes > 0) {
                        double p = (double)status.downloadedBytes * 100.0 / (double)status.totalBytes;
                        task->progress = (float)std::min(p, 100.0) * 0.95f;
                    }
                    break;
                case kPeerfetchFinished:
                    task->result = 0;
                    task->state_ = 2;
                    task->progress = 0;
                    break;
                case kPeerfetchHttpError:
                case kPeerfetchFileError:
                case kPeerfetchNetworkError:
                case kPeerfetchStopped:
                case -1:
                    task->state_ = -1;
                    task->progress = 0;
                    break;
                default:
                    task->progress = 0;
                    break;
                }
                downloadedKiB += status.downloadedBytes / 1024;
                if (status.downloadedBytes > task->mostDownloaded) {
                    task->mostDownloaded = status.downloadedBytes;
                    task->lastGrowth = GetTickCount64();
                }
                if (!taskProgressDelegate.empty()) {
                    try {
                        taskProgressDelegate(*task);
                    } catch (...) {
                    }
                }
            }
            // Stall guard, for a task that has not settled: pending for ever, no
            // growth, or queries that keep failing.
            if (task->state_ == 0 && GetTickCount64() - task->lastGrowth >= stallMs) {
                task->state_ = -1;
                task->progress = 0;
                task->failedForGood = true;
            }
            // Counted by state, not by this cycle's code: a settled task that
            // later fails its query or reports pending again stays settled.
            if (task->state_ != 0) ++settledNow;
        }
        settled = settledNow;

        uint64_t totalKiB = totalBytes / 1024;
        shownKiB = std::max(shownKiB, downloadedKiB);
        // A cycle without any answer keeps the previous percent.
        if (totalKiB > 0) percent = std::min((float)((double)shownKiB / (double)totalKiB * 95.0), 95.0f);
        fireTotal(1, percent);
        Sleep(kPollMs);
    }

    if (!totalProgressDelegate.empty()) {
        const DWORD rampStepMs = downloaderLimits().rampStepMs;
        while (percent < 100.0f) {
            fireTotal(1, percent);
            percent += 1.0f;
            Sleep(rampStepMs);
        }
    }

    for (auto& t : tasks) {
        InnerTask* task = static_cast<InnerTask*>(t.get());
        if (!task->handle) continue;
        PeerfetchTaskStatus status;
        wrapper->queryTask(task->handle, status);
        size_t n = 0;
        while (n < PeerfetchTaskStatus::kFileTextChars && status.fileText[n]) ++n;
        task->savedName_.assign(status.fileText, n);
        wrapper->stopAndRemove(task->handle);
        task->handle = 0;
    }

    wrapper->unload();
    // The ramp's last step can pass 100.
    fireTotal(2, std::min(percent, 100.0f));
    return settled == count ? 0 : -1;
}
