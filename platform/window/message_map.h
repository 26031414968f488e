// An ordered message table for a window class T, walked by its processMessage.
#pragma once

#include <windows.h>

#include <vector>

namespace platform {
namespace window {

template <class T>
class MessageMap {
public:
    // `handled` is preset to true; a handler that clears it lets later rows and the
    // default processing see the message.
    typedef LRESULT (T::*Handler)(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
    // Offered every message first; true when it took the message.
    typedef bool (T::*Chain)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    MessageMap& chain(Chain member) { return add(Row(KindChain, 0, nullptr, nullptr, member)); }
    MessageMap& message(UINT number, Handler handler) {
        return add(Row(KindMessage, number, nullptr, handler, nullptr));
    }
    // The number is read from `T::*member` at dispatch time; 0 never matches.
    MessageMap& registered(UINT T::*member, Handler handler) {
        return add(Row(KindRegistered, 0, member, handler, nullptr));
    }
    // WM_COMMAND whose LOWORD(wParam) is id.
    MessageMap& command(WORD id, Handler handler) { return add(Row(KindCommand, id, nullptr, handler, nullptr)); }

    // True when a row took the message; `result` is then its result.
    bool dispatch(T* self, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) const {
        for (const Row& r : rows_) {
            if (r.kind == KindChain) {
                LRESULT chained = 0;
                if ((self->*r.chain)(hwnd, message, wParam, lParam, chained)) {
                    result = chained;
                    return true;
                }
                continue;
            }
            bool match = false;
            switch (r.kind) {
            case KindMessage:
                match = message == r.number;
                break;
            case KindRegistered: {
                UINT number = self->*r.member;
                match = number != 0 && message == number;
                break;
            }
            case KindCommand:
                match = message == WM_COMMAND && LOWORD(wParam) == r.number;
                break;
            default:
                break;
            }
            if (!match) continue;
            bool handled = true;
            LRESULT value = (self->*r.handler)(message, wParam, lParam, handled);
            if (handled) {
                result = value;
                return true;
            }
        }
        return false;
    }

private:
    enum Kind { KindChain, KindMessage, KindRegistered, KindCommand };
    struct Row {
        Row(Kind k, UINT n, UINT T::*m, Handler h, Chain c) : kind(k), number(n), member(m), handler(h), chain(c) {}
        Kind kind;
        UINT number;
        UINT T::*member;
        Handler handler;
        Chain chain;
    };
    MessageMap& add(const Row& row) {
        rows_.push_back(row);
        return *this;
    }
    std::vector<Row> rows_;
};

}  // namespace window
}  // namespace platform
