#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "toolkit/delegate.h"
#include "toolkit/error_code.h"
#include "toolkit/scoped_handle.h"

namespace ravel {
namespace object {

class Runnable {
public:
    virtual int run() = 0;
    virtual ~Runnable() {}
};

}  // namespace object

namespace system {

class InterruptedThreadException : public std::runtime_error {
public:
    explicit InterruptedThreadException(const std::string& what) : std::runtime_error(what) {}
};

// A Windows thread that runs either a Runnable or a bound delegate.
//
// start, join, close and destruction belong to the owning thread. Owners stop
// their thread with their own flag and a join before destroying it. With
// autoDelete set, the thread closes its handle and deletes the object itself
// after run returns: the owner must not touch it after a successful start
// (and deletes it itself after a failed one).
//
// The destructor never throws. Destroying a thread that still runs (as at
// process exit) only closes the handle and leaves the thread running; its
// target must then not touch the thread object any more.
class Thread : public ravel::object::Runnable {
public:
    Thread();
    ~Thread() override;

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    int run() override;
    // Throws InterruptedThreadException("the target thread is alive!") while
    // the thread still runs; otherwise releases the handle.
    virtual void close();

    // The target used when no runnable is given; bind before start.
    ravel::object::delegate<int()>& delegate() { return target_; }

    void setAutoDelete(bool autoDelete) { autoDelete_ = autoDelete; }
    bool isAutoDelete() const { return autoDelete_; }
    void setPriority(int priority) { priority_ = priority; }
    int getPriority() const { return priority_; }

    ravel::object::ErrorCode start(ravel::object::Runnable* runnable = nullptr,
                                   const std::wstring& name = std::wstring());
    bool isAlive() const;
    void join(uint32_t timeoutMs);

    HANDLE getHandle() const { return handle_.get(); }
    uint32_t getThreadId() const { return threadId_; }
    const std::wstring& getName() const { return name_; }
    ravel::object::Runnable* getRunnable() const { return runnable_; }

private:
    static unsigned __stdcall threadProc(void* arg);

    ScopedHandle handle_;
    ravel::object::Runnable* runnable_;
    ravel::object::delegate<int()> target_;
    uint32_t threadId_;
    std::wstring name_;
    int priority_;
    bool autoDelete_;
};

}  // namespace system
}  // namespace ravel
