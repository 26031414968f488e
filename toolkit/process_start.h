// Starting a child process that inherits only the handles named for it.
#pragma once

#include <windows.h>

#include <cstddef>

// CreateProcessW with handle inheritance limited to `handles` (each inheritable,
// none null, no repeats) through PROC_THREAD_ATTRIBUTE_HANDLE_LIST: a child
// started on one thread never takes the inheritable pipe ends that another
// thread has made for its own child. The other arguments are CreateProcessW's;
// EXTENDED_STARTUPINFO_PRESENT is added here.
BOOL createProcessInheriting(const wchar_t* application, wchar_t* commandLine, DWORD creationFlags,
                             const STARTUPINFOW& startup, const HANDLE* handles, size_t handleCount,
                             PROCESS_INFORMATION* info);
