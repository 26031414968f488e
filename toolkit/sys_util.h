// Small system helpers shared across the loader: narrow texts for the log, the
// product's temporary folder, zip archives kept in resources, the search path,
// process look-up and plain process starts. They keep no state.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "toolkit/path.h"

// Through the calling thread's ANSI code page (for the narrow log).
std::string wideToNarrow(const std::wstring& text);
std::string pathToAnsi(const ravel::file::Path& path);

// %TEMP% + "tarvozhushou", created when missing (a failed creation is ignored).
std::wstring getTempDataFolder();

// Writes resource (type, id) of module (null: the running program) to path; a
// folder standing at path is deleted first. True only when every byte was
// written and the file closed; a partial file is removed.
bool extractResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                           const std::wstring& path);
// The same with the write step given (tests pass one that stops short).
typedef BOOL (*ResourceWriteFn)(HANDLE file, const void* data, DWORD size, DWORD* written);
bool writeResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                         const std::wstring& path, ResourceWriteFn write);

// Writes the zip resource (type, id) of module (null: the running program) to a
// new "RES*.tmp" file in %TEMP%, unpacks it under destFolder with the archive's
// top folder kept, and removes the temporary file again, whatever the result.
bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::wstring& destFolder);
// The same, and files receives what the archive holds (readZipFiles, at most
// 64 MiB), so that the unpacked files can be checked against it.
bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::wstring& destFolder, std::map<std::wstring, std::string>* files);
// The same with destFolder in the thread's ANSI code page.
bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::string& destFolder);

// Loads a system library by file name from the system folder only: a search by
// name would reach the program's folder, the current folder and PATH, which
// users can write. Null when it is not there.
HMODULE loadSystemLibrary(const wchar_t* fileName);

// Appends each ";"-separated folder that the process's "path" variable does not
// hold yet (compared ignoring case and a trailing "\"), keeping the old entries
// in their order and spelling. Sets the variable and returns its new value.
// Not locked: callers run it on the installer thread.
std::wstring addToPathEnv(const std::wstring& folders);

// The first running process whose executable file name equals exeName,
// ignoring case; 0 when none does.
DWORD findProcessId(const std::wstring& exeName);

// Starts program with " " + arguments as its command line (the child sees an
// empty argv[0]); waits without a time-out when asked. True when the process
// was created; the exit code is not read.
bool runProcess(bool wait, const std::wstring& program, const std::wstring& arguments);

// How a bounded run ended.
enum class RunOutcome { NotStarted, Ended, TimedOut };

// Starts program as runProcess does and waits at most timeoutMs. A program still
// running then is terminated (exit code 1460, ERROR_TIMEOUT) and given at most
// 5 s to end. The exit code is not read.
RunOutcome runProcessWithin(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);
