// A batch of downloads through the P2P library on a worker thread of its own,
// reported through two delegates: each polled task, and one overall percent.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/peerfetch/peerfetch_abi.h"
#include "toolkit/delegate.h"
#include "toolkit/smart_ptr.h"
#include "toolkit/thread.h"

// The batch's limits; tests shorten them.
struct DownloaderLimits {
    // A task whose downloaded bytes have not grown for this long, counted from
    // its start, fails.
    uint32_t stallMs = 600000;
    // The pause between the steps of one percent that take the overall
    // percent to 100 once every task has settled.
    uint32_t rampStepMs = 100;
};
DownloaderLimits& downloaderLimits();

class Downloader {
public:
    class Task {
    public:
        Task(const std::wstring& key, const std::wstring& url, const std::wstring& dir,
             const std::wstring& fileName);
        virtual ~Task() {}

        std::wstring getKey() const { return key; }
        std::wstring url() const { return url_; }
        std::wstring getDir() const { return dir; }
        std::wstring getFileName() const { return fileName; }
        // The path the library reported for the file; set when the worker ends.
        std::wstring savedName() const { return savedName_; }
        // The task's own progress on the batch's 0..95 scale.
        float getProgress() const { return progress; }
        // 0 once finished, else -1.
        int32_t getResult() const { return result; }
        // 0 not settled, 2 finished, -1 failed.
        int32_t state() const { return state_; }

    protected:
        friend class Downloader;
        std::wstring key;
        std::wstring url_;
        std::wstring dir;
        std::wstring fileName;
        std::wstring savedName_;
        float progress;
        int32_t result;
        int32_t state_;
    };

    typedef ravel::object::delegate<void(Task&)> TaskProgressDelegate;
    // (state: 0 started, 1 running, 2 finished; percent 0..100)
    typedef ravel::object::delegate<void(int, float)> TotalProgressDelegate;

    // An empty baseDir means the running program's folder. The library is
    // unpacked from the program's "DIZU" resource resourceId at once.
    Downloader(uint32_t resourceId, const std::wstring& baseDir);
    virtual ~Downloader();

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void addTask(const std::wstring& key, const std::wstring& url, const std::wstring& dir,
                 const std::wstring& fileName);
    void start();
    // Joins the worker for at most milliseconds (-1: without limit).
    void wait(int32_t milliseconds);
    void requestStop();
    bool isRunning() const;
    // requestStop, wait for the worker, then drop the tasks.
    void stop();

    Task& taskAt(size_t index) { return *tasks[index]; }
    unsigned taskCount() const { return (unsigned)tasks.size(); }
    unsigned finishedCount() const;

    TaskProgressDelegate& taskProgress() { return taskProgressDelegate; }
    TotalProgressDelegate& totalProgress() { return totalProgressDelegate; }

    const std::wstring& getDllPath() const { return dllPath; }
    const std::wstring& getBaseDir() const { return baseDir; }

    // Unpacks the "DIZU" archive into baseDir (through a temporary file),
    // first deleting what lies at the library's path, and keeps the library's
    // bytes as the archive holds them for the check before each bind.
    void extractLibrary();
    // The worker: 0 when every task settled, else -1.
    int run();

private:
    class InnerTask;

    void fireTotal(int state, float percent);

    std::vector<ravel::object::smart_ptr<Task>> tasks;
    ravel::system::Thread worker;
    std::atomic<bool> stopRequested;
    std::wstring dllPath;
    std::string dllBytes;  // from the loader's own archive; empty: nothing to bind
    uint32_t resourceId;
    std::wstring baseDir;
    TaskProgressDelegate taskProgressDelegate;
    TotalProgressDelegate totalProgressDelegate;
};
