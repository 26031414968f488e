#pragma once

#include <windows.h>

#include <cstddef>

namespace ravel {
namespace object {

// Deletion policy of smart_ptr: deletes the object (through its virtual
// destructor when it has one).
template <typename T>
struct deallocator {
    void operator()(T* p) const {
        if (p) delete p;
    }
};

// Shared ownership with a separate count, changed with interlocked operations:
// owners of one object may be copied and released on different threads at
// once. A single smart_ptr object is still read or assigned by one thread at a
// time (queues and caches of them stay under their owner's lock).
template <typename T, typename D = deallocator<T>>
class smart_ptr {
public:
    typedef T element_type;

    smart_ptr(T* p = nullptr) : ptr_(p), count_(p ? new LONG(1) : nullptr) {}

    smart_ptr(const smart_ptr& other) : ptr_(other.ptr_), count_(other.count_) {
        if (count_) InterlockedIncrement(count_);
    }
    // Moving hands the share over without touching the count.
    smart_ptr(smart_ptr&& other) noexcept : ptr_(other.ptr_), count_(other.count_) {
        other.ptr_ = nullptr;
        other.count_ = nullptr;
    }
    // Shares an owner of a derived type.
    template <typename U, typename E>
    smart_ptr(const smart_ptr<U, E>& other) : ptr_(other.ptr_), count_(other.count_) {
        if (count_) InterlockedIncrement(count_);
    }

    ~smart_ptr() { release(); }

    smart_ptr& operator=(const smart_ptr& other) {
        assignShare(other.ptr_, other.count_);
        return *this;
    }
    template <typename U, typename E>
    smart_ptr& operator=(const smart_ptr<U, E>& other) {
        assignShare(other.ptr_, other.count_);
        return *this;
    }

    // Resetting to the object already held changes nothing.
    void reset(T* p = nullptr) {
        if (p == ptr_) return;
        release();
        if (p) {
            count_ = new LONG(1);
            ptr_ = p;
        }
    }

    // Gives up this owner's share; the last share deletes the object. The
    // owner is empty afterwards in every case.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
// Inlined into two owners of one count, GCC cannot see that only the last
// decrement deletes it.
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
    void release() {
        T* p = ptr_;
        LONG* c = count_;
        ptr_ = nullptr;
        count_ = nullptr;
        if (c && InterlockedDecrement(c) == 0) {
            delete c;
            D()(p);
        }
    }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }

    bool operator==(const T* p) const { return ptr_ == p; }
    bool operator!=(const T* p) const { return ptr_ != p; }
    bool operator==(std::nullptr_t) const { return ptr_ == nullptr; }
    bool operator!=(std::nullptr_t) const { return ptr_ != nullptr; }
    bool operator==(const smart_ptr& other) const { return ptr_ == other.ptr_; }
    bool operator!=(const smart_ptr& other) const { return ptr_ != other.ptr_; }

    // Number of owners sharing the object; 0 when empty.
    int useCount() const { return count_ ? (int)InterlockedCompareExchange(count_, 0, 0) : 0; }

private:
    template <typename U, typename E>
    friend class smart_ptr;

    template <typename U>
    void assignShare(U* p, LONG* c) {
        // Itself, or another owner of the same object: nothing changes.
        if (static_cast<T*>(p) == ptr_) return;
        if (c) InterlockedIncrement(c);
        release();
        ptr_ = p;
        count_ = c;
    }

    T* ptr_;
    LONG* count_;
};

}  // namespace object
}  // namespace ravel
