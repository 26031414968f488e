#include "toolkit/thread.h"

#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace ravel {
namespace system {

Thread::Thread()
    : runnable_(nullptr), threadId_(0), priority_(THREAD_PRIORITY_NORMAL),
      autoDelete_(false) {}

// Never throws: an exception leaving a destructor would end the process.
Thread::~Thread() {
    OutputDebugStringW(L"ravel::thread died\n");
    if (isAlive()) {
        OutputDebugStringW(L"ravel::thread still alive\n");
        handle_.reset();
        return;
    }
    try {
        close();
    } catch (...) {
    }
}

int Thread::run() {
    if (runnable_) return runnable_->run();
    if (target_.empty()) return -1;
    return target_();
}

void Thread::close() {
    if (isAlive()) throw InterruptedThreadException("the target thread is alive!");
    handle_.reset();
}

ravel::object::ErrorCode Thread::start(ravel::object::Runnable* runnable, const std::wstring& name) {
    // Refuse before changing anything: a live thread may still read the fields.
    close();
    if (runnable) runnable_ = runnable;
    if (!name.empty()) name_ = name;

    unsigned id = 0;
    uintptr_t h = _beginthreadex(nullptr, 0, &Thread::threadProc, this, CREATE_SUSPENDED, &id);
    threadId_ = id;
    if (h == 0) {
        std::printf("errno = %d, doserrno = %lu.\n", errno, static_cast<unsigned long>(_doserrno));
        std::fflush(stdout);
        close();
        return ravel::object::ErrorCode(false);
    }
    handle_.reset(reinterpret_cast<HANDLE>(h));
    // An auto-delete thread may free this object as soon as it resumes.
    HANDLE local = handle_.get();
    SetThreadPriority(local, priority_);
    ResumeThread(local);
    return ravel::object::ErrorCode(true);
}

bool Thread::isAlive() const {
    if (!handle_) return false;
    return WaitForSingleObject(handle_.get(), 0) != WAIT_OBJECT_0;
}

void Thread::join(uint32_t timeoutMs) {
    if (handle_) WaitForSingleObject(handle_.get(), timeoutMs);
}

unsigned __stdcall Thread::threadProc(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    // Read before run: the owner may destroy a non-auto-delete object once run returns.
    const bool autoDelete = self->autoDelete_;
    int code = -1;
    try {
        code = self->run();
    } catch (const std::exception& e) {
        std::string text = std::string("ravel::thread exception: ") + e.what() + "\n";
        OutputDebugStringA(text.c_str());
        code = -1;
    } catch (...) {
        OutputDebugStringA("ravel::thread exception: unknown exception\n");
        code = -1;
    }
    if (autoDelete) {
        self->handle_.reset();
        try {
            delete self;
        } catch (...) {
        }
    }
    _endthreadex(static_cast<unsigned>(code));
    return static_cast<unsigned>(code);
}

}  // namespace system
}  // namespace ravel
