#pragma once

#include <cstddef>
#include <cstdint>

// An owned array of `count` elements (null for a count of 0). Array new
// throws std::bad_alloc when the allocation fails.
template <typename T>
class ScopedBuffer {
public:
    explicit ScopedBuffer(uint32_t count)
        : data_(count ? new T[count]() : nullptr), count_(count) {}
    ~ScopedBuffer() { delete[] data_; }

    ScopedBuffer(const ScopedBuffer&) = delete;
    ScopedBuffer& operator=(const ScopedBuffer&) = delete;

    T* get() const { return data_; }
    uint32_t size() const { return count_; }
    T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_;
    uint32_t count_;
};
