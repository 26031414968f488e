// The UI thread's message loop with pre-translation filters.
#pragma once

#include <windows.h>

#include <vector>

namespace platform {
namespace window {

class MessageFilter {
public:
    virtual ~MessageFilter() {}
    // True when the filter took the message (it is then not dispatched).
    virtual bool preTranslate(MSG& msg) = 0;
};

class MessageLoop {
public:
    // A filter is offered messages until removed; the last added sees them first.
    void addFilter(MessageFilter* filter);
    void removeFilter(MessageFilter* filter);

    // GetMessageW until WM_QUIT: its wParam, or -1 when GetMessageW fails.
    int run();

private:
    bool filtered(MSG& msg);

    std::vector<MessageFilter*> filters_;
};

}  // namespace window
}  // namespace platform
