#include "platform/window/message_loop.h"

#include <algorithm>

namespace platform {
namespace window {

void MessageLoop::addFilter(MessageFilter* filter) {
    if (filter && std::find(filters_.begin(), filters_.end(), filter) == filters_.end()) filters_.push_back(filter);
}

void MessageLoop::removeFilter(MessageFilter* filter) {
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

bool MessageLoop::filtered(MSG& msg) {
    // A copy: a filter may remove itself (or another) while it runs.
    std::vector<MessageFilter*> snapshot(filters_);
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
        if (std::find(filters_.begin(), filters_.end(), *it) == filters_.end()) continue;
        if ((*it)->preTranslate(msg)) return true;
    }
    return false;
}

int MessageLoop::run() {
    MSG msg;
    for (;;) {
        BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == -1) return -1;
        if (r == 0) return (int)msg.wParam;
        if (filtered(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace window
}  // namespace platform
