#pragma once

#include <cstring>
#include <type_traits>
#include <utility>

namespace ravel {
namespace object {

namespace detail {
class DelegateProbe;
// Member function pointers of every class have this size in the compilers we
// build with; bind() checks it at compile time.
constexpr std::size_t kMemberPointerSize = sizeof(void (DelegateProbe::*)());
}  // namespace detail

template <typename Signature>
class delegate;

// A single-target callback: an object with one of its member functions, or a
// free function. The member pointer is kept as what it is and called through
// an invoker made for its exact type, so virtual members and thiscall work.
template <typename R, typename... Args>
class delegate<R(Args...)> {
public:
    typedef R result_type;

    delegate() : object_(nullptr), ops_(nullptr) { std::memset(target_, 0, sizeof(target_)); }

    template <typename T, typename C>
    delegate(T* obj, R (C::*member)(Args...)) : delegate() {
        bind(obj, member);
    }
    template <typename T, typename C>
    delegate(T* obj, R (C::*member)(Args...) const) : delegate() {
        bind(obj, member);
    }

    template <typename T, typename C>
    void bind(T* obj, R (C::*member)(Args...)) {
        store<C, R (C::*)(Args...)>(static_cast<C*>(obj), member);
    }
    template <typename T, typename C>
    void bind(const T* obj, R (C::*member)(Args...) const) {
        store<const C, R (C::*)(Args...) const>(static_cast<const C*>(obj), member);
    }

    // A null function is the same as reset().
    void bindStatic(R (*function)(Args...)) {
        if (!function) {
            reset();
            return;
        }
        reset();
        std::memcpy(target_, &function, sizeof(function));
        ops_ = &StaticOps::ops;
    }

    void reset() {
        object_ = nullptr;
        ops_ = nullptr;
        std::memset(target_, 0, sizeof(target_));
    }

    bool empty() const { return ops_ == nullptr; }

    bool operator==(const delegate& other) const {
        if (ops_ != other.ops_) return false;
        if (!ops_) return true;
        return object_ == other.object_ && ops_->equal(target_, other.target_);
    }
    bool operator!=(const delegate& other) const { return !(*this == other); }

    // Calling an empty delegate does nothing and gives a value-initialised result.
    R operator()(Args... args) const {
        if (!ops_) return R();
        return ops_->invoke(object_, target_, std::forward<Args>(args)...);
    }

private:
    struct Ops {
        R (*invoke)(void* object, const unsigned char* target, Args&&... args);
        bool (*equal)(const unsigned char* a, const unsigned char* b);
    };

    template <typename C, typename M>
    struct MemberOps {
        static R invoke(void* object, const unsigned char* target, Args&&... args) {
            M member;
            std::memcpy(&member, target, sizeof(M));
            return (static_cast<C*>(object)->*member)(std::forward<Args>(args)...);
        }
        static bool equal(const unsigned char* a, const unsigned char* b) {
            M ma, mb;
            std::memcpy(&ma, a, sizeof(M));
            std::memcpy(&mb, b, sizeof(M));
            return ma == mb;
        }
        static constexpr Ops ops{&MemberOps::invoke, &MemberOps::equal};
    };

    struct StaticOps {
        typedef R (*F)(Args...);
        static R invoke(void*, const unsigned char* target, Args&&... args) {
            F f;
            std::memcpy(&f, target, sizeof(F));
            return f(std::forward<Args>(args)...);
        }
        static bool equal(const unsigned char* a, const unsigned char* b) {
            F fa, fb;
            std::memcpy(&fa, a, sizeof(F));
            std::memcpy(&fb, b, sizeof(F));
            return fa == fb;
        }
        static constexpr Ops ops{&StaticOps::invoke, &StaticOps::equal};
    };

    template <typename C, typename M>
    void store(C* obj, M member) {
        static_assert(sizeof(M) <= sizeof(target_), "member pointer does not fit");
        static_assert(std::is_trivially_copyable<M>::value, "member pointer must be trivially copyable");
        reset();
        if (!member) return;
        object_ = const_cast<void*>(static_cast<const void*>(obj));
        std::memcpy(target_, &member, sizeof(M));
        ops_ = &MemberOps<C, M>::ops;
    }

    void* object_;
    alignas(void*) unsigned char target_[detail::kMemberPointerSize > sizeof(void (*)())
                                              ? detail::kMemberPointerSize
                                              : sizeof(void (*)())];
    const Ops* ops_;
};

}  // namespace object
}  // namespace ravel
