#pragma once

#include <windows.h>

#include <utility>

// One owner for every kind of Windows resource the product opens: a value
// with its closer. Every return path closes what was opened, and a moved-from
// owner holds nothing. Traits give the empty value, the validity test and the
// close call.
template <typename Traits>
class ScopedResource {
public:
    using Value = typename Traits::Value;

    ScopedResource() : value_(Traits::empty()) {}
    explicit ScopedResource(Value v) : value_(v) {}
    ~ScopedResource() { reset(); }

    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ScopedResource(ScopedResource&& other) noexcept : value_(other.release()) {}
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Value get() const { return value_; }
    bool valid() const { return Traits::isValid(value_); }
    explicit operator bool() const { return valid(); }

    // Gives the value up without closing it.
    Value release() {
        Value v = value_;
        value_ = Traits::empty();
        return v;
    }

    // Closes the held value (if any) and takes `v`.
    void reset(Value v = Traits::empty()) {
        Value old = value_;
        value_ = v;
        if (Traits::isValid(old) && old != v) Traits::close(old);
    }

    // For out-parameters (RegOpenKeyExW, OpenProcessToken...): closes what is
    // held and hands out the slot to fill.
    Value* receive() {
        reset();
        return &value_;
    }

private:
    Value value_;
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value empty() { return nullptr; }
    // CreateFile answers INVALID_HANDLE_VALUE, most others null: both mean none.
    static bool isValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void close(Value v) { ::CloseHandle(v); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value empty() { return INVALID_HANDLE_VALUE; }
    static bool isValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void close(Value v) { ::FindClose(v); }
};

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::CloseServiceHandle(v); }
};

struct RegKeyTraits {
    using Value = HKEY;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::RegCloseKey(v); }
};

template <typename T>
struct GdiObjectTraits {
    using Value = T;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::DeleteObject(reinterpret_cast<HGDIOBJ>(v)); }
};

struct MemoryDcTraits {
    using Value = HDC;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::DeleteDC(v); }
};

struct ModuleTraits {
    using Value = HMODULE;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::FreeLibrary(v); }
};

template <typename T>
struct ComPtrTraits {
    using Value = T*;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { v->Release(); }
};

using ScopedHandle = ScopedResource<KernelHandleTraits>;
using ScopedFindHandle = ScopedResource<FindHandleTraits>;
using ScopedServiceHandle = ScopedResource<ServiceHandleTraits>;
using ScopedRegKey = ScopedResource<RegKeyTraits>;
template <typename T>
using ScopedGdiObject = ScopedResource<GdiObjectTraits<T>>;
using ScopedMemoryDc = ScopedResource<MemoryDcTraits>;
using ScopedModule = ScopedResource<ModuleTraits>;
template <typename T>
using ScopedComPtr = ScopedResource<ComPtrTraits<T>>;
