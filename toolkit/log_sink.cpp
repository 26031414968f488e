#include "toolkit/log_sink.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace ravel {
namespace log {

namespace {
std::atomic<LineSink> g_sink(nullptr);
}  // namespace

void setLineSink(LineSink sink) { g_sink.store(sink); }

long formatLine(char* buffer, const char* format, va_list args) {
    buffer[0] = 0;
    int n = vsnprintf(buffer, kLineBytes, format, args);
    buffer[kLineBytes - 1] = 0;
    if (n < 0) return -1;
    // vsnprintf returns the untruncated length: pass on what was written.
    return static_cast<size_t>(n) < kLineBytes ? n : static_cast<long>(kLineBytes - 1);
}

void printLine(const char* format, ...) {
    LineSink sink = g_sink.load();
    if (!sink || !format) return;
    char buffer[kLineBytes];
    va_list args;
    va_start(args, format);
    long length = formatLine(buffer, format, args);
    va_end(args);
    sink(buffer, length < 0 ? strlen(buffer) : static_cast<size_t>(length));
}

}  // namespace log
}  // namespace ravel
