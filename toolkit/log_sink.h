// The toolkit's log lines go to one sink for the whole process, set once at
// start-up (the loader points it at its log). Without a sink they are dropped.
// The formatter here is the one printf-style formatter of every log.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace ravel {
namespace log {

// Receives `length` bytes of one line's text (no line end).
typedef void (*LineSink)(const char* text, size_t length);
void setLineSink(LineSink sink);

// Formats into buffer (kLineBytes, always terminated) and returns the length
// written: the text is cut at kLineBytes - 1 bytes. -1 when the format failed
// (the buffer then holds what was written before the failure).
const size_t kLineBytes = 4096;
long formatLine(char* buffer, const char* format, va_list args);

// printf-style line to the sink.
void printLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

}  // namespace log
}  // namespace ravel
