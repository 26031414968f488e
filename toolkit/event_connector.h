#pragma once

#include <cstddef>
#include <vector>

#include "toolkit/delegate.h"
#include "toolkit/lock.h"

namespace ravel {
namespace object {

// A listener list under a re-entrant lock. The lock is held while listeners
// run, so connect and disconnect from another thread wait for a running emit;
// on the emitting thread a listener may connect or disconnect.
template <typename Sender, typename Arg>
class event_connector_t {
public:
    typedef ravel::object::delegate<void(Sender, Arg)> delegate_type;

    explicit event_connector_t(Sender sender) : sender_(sender) {}
    virtual ~event_connector_t() {
        listeners_.clear();
        listeners_.shrink_to_fit();
    }

    event_connector_t(const event_connector_t&) = delete;
    event_connector_t& operator=(const event_connector_t&) = delete;

    // Adds the listener unless an equal one is already listed.
    event_connector_t& connect(const delegate_type& listener) {
        system::ScopedLock guard(&lock_);
        for (const delegate_type& d : listeners_) {
            if (d == listener) return *this;
        }
        listeners_.push_back(listener);
        return *this;
    }

    // Removes the first equal listener; the others keep their order.
    event_connector_t& disconnect(const delegate_type& listener) {
        system::ScopedLock guard(&lock_);
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            if (listeners_[i] == listener) {
                listeners_.erase(listeners_.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        return *this;
    }

    // Calls every listener in list order; what a listener throws is dropped.
    // A listener may change the list: the walk goes over the listeners present
    // at the start and skips those disconnected since; one connected during
    // the emit is first called by the next one.
    void emit(Arg arg) {
        system::ScopedLock guard(&lock_);
        const std::vector<delegate_type> present = listeners_;
        for (const delegate_type& listener : present) {
            if (!isListed(listener)) continue;
            try {
                listener(sender_, arg);
            } catch (...) {
            }
        }
    }

    std::size_t listenerCount() {
        system::ScopedLock guard(&lock_);
        return listeners_.size();
    }

private:
    bool isListed(const delegate_type& listener) const {
        for (const delegate_type& d : listeners_) {
            if (d == listener) return true;
        }
        return false;
    }

    Sender sender_;
    system::Lock lock_;
    std::vector<delegate_type> listeners_;
};

}  // namespace object
}  // namespace ravel
