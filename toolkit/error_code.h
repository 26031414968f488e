#pragma once

namespace ravel {
namespace object {

// A boolean result that records whether the caller looked at it. Dropping an
// unread one is deliberately silent.
class ErrorCode {
public:
    explicit ErrorCode(bool result = false) : result_(result), handled_(false) {}
    virtual ~ErrorCode() {}

    ErrorCode(const ErrorCode&) = default;
    ErrorCode& operator=(const ErrorCode&) = default;

    bool value() {
        handled_ = true;
        return result_;
    }
    void ignore() { handled_ = true; }
    bool isHandled() const { return handled_; }

private:
    bool result_;
    bool handled_;
};

}  // namespace object
}  // namespace ravel
