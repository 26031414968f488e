#pragma once

#include <windows.h>

namespace ravel {
namespace system {

// A re-entrant critical section: the owning thread may enter it again.
class Lock {
public:
    Lock() { InitializeCriticalSection(&cs_); }
    ~Lock() { DeleteCriticalSection(&cs_); }

    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() { EnterCriticalSection(&cs_); }
    void unlock() { LeaveCriticalSection(&cs_); }

    // The underlying critical section (tests probe it with TryEnterCriticalSection).
    CRITICAL_SECTION* native() { return &cs_; }

private:
    CRITICAL_SECTION cs_;
};

// Enters the lock for the lifetime of the scope; a null lock guards nothing.
class ScopedLock {
public:
    explicit ScopedLock(Lock* lock) : lock_(lock) {
        if (lock_) lock_->lock();
    }
    explicit ScopedLock(Lock& lock) : ScopedLock(&lock) {}
    ~ScopedLock() {
        if (lock_) lock_->unlock();
    }

    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lock* lock_;
};

}  // namespace system
}  // namespace ravel
