#pragma once

#include <cstddef>

// The loader's log: one file per program in the user's log folder
// (<AppData>\tarvozhushou\log\<program>.log). Every line is
// "YYYY-MM-DD HH:MM:SS, , <text>\n" and is flushed at once. The message bytes
// are written unchanged (narrow text in the ANSI code page). The first failure
// to open the file switches logging off for the whole process; callers never
// see an error. Safe from any thread and from destructors of global objects.

// printf-style; the formatted text is cut at 4095 bytes.
void logPrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

// Writes one line holding `length` bytes of `text`.
void writeLogLine(const char* text, size_t length);
