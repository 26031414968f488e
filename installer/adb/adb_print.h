// The adb client's messages on the standard streams, flushed at once.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace adb {

inline void printTo(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
    fflush(stream);
}

}  // namespace adb
