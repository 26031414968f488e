#pragma once

#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "toolkit/lock.h"

namespace ravel {
namespace pattern {

// One lazily created instance of T per process, destroyed at exit.
//
//   class Foo : public ravel::pattern::Singleton<Foo> {
//       friend class ravel::pattern::Singleton<Foo>;
//       Foo();
//   };
//   Foo* foo = Foo::getInstance();
template <typename T>
class Singleton {
public:
    static T* getInstance() {
        T* p = instance_.load(std::memory_order_acquire);
        if (p) return p;

        system::ScopedLock guard(typeLock());
        p = instance_.load(std::memory_order_acquire);
        if (p) return p;
        // The lock is re-entrant: only T's own constructor can get here while
        // creating_ is set, and it would recurse without end.
        if (creating_) {
            OutputDebugStringA("ravel::singleton: recursive getInstance from the constructor\n");
            std::abort();
        }
        creating_ = true;
        try {
            p = new T();
        } catch (...) {
            creating_ = false;
            throw;
        }
        creating_ = false;
        instance_.store(p, std::memory_order_release);
        std::atexit(&Singleton::destroyInstance);
        return p;
    }

    static void destroyInstance() {
        system::ScopedLock guard(typeLock());
        T* p = instance_.exchange(nullptr, std::memory_order_acq_rel);
        delete p;
    }

protected:
    Singleton() {}
    ~Singleton() {}

private:
    // Built on first use, so a global constructor may already call getInstance;
    // never destroyed, so a late exit handler may still take it.
    static system::Lock& typeLock() {
        static system::Lock* lock = new system::Lock();
        return *lock;
    }

    static inline std::atomic<T*> instance_{nullptr};
    static inline bool creating_ = false;
};

}  // namespace pattern
}  // namespace ravel
