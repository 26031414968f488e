#pragma once

// Named mutexes that mark the product's running programs, the window that a
// second loader brings forward, and the loader's restart as an elevated copy
// (through the helper service when it runs, else through "runas").

#include <windows.h>

#include <cstdint>
#include <string>

#include "toolkit/smart_ptr.h"
#include "toolkit/scoped_handle.h"

class NamedMutex {
public:
    // CreateMutexA of the name (not owned); keeps the handle and the error.
    explicit NamedMutex(const std::string& name);
    // Removes the window mark; the handle closes with the member.
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // The name begins with "Global\".
    bool isGlobal() const;
    // Another process holds the name: error 183; 5 (the name exists but may
    // not be opened); for "Global\" names any error.
    bool alreadyExists() const;

    // Marks the window with a property named like the mutex (value 1).
    void markWindow(HWND window);
    void unmarkWindow();

    // Brings the other instance's window forward: the top-level window of
    // windowClass when set and found, else the one that carries the mark.
    void activateExisting();

    int32_t createError;
    ScopedHandle mutex;
    std::string name;
    HWND window;
    std::wstring windowClass;
};

typedef ravel::object::smart_ptr<NamedMutex> NamedMutexHolder;

// Whether the program runs. These only open the name, never create it, so
// they cannot make a program starting at that moment think it is a second copy.
bool isHelperRunning();
bool isPlayerRunning();
bool isLoaderRunning();
bool isSetupRunning();
// The same probe for any name: held when OpenMutexA succeeds or is denied.
bool isMutexHeld(const std::string& name);

// The command line contains " /restart" (with its blank).
bool hasRestartFlag(const std::wstring& commandLine);

// Takes the name once no one else holds it, polling every 200 ms; an empty
// holder when timeoutMs passed first (INFINITE: no limit).
NamedMutexHolder waitForMutexFree(const std::string& name, uint32_t timeoutMs);

// Asks the running helper service to start the program ("tarvoplayer.exe",
// "tarvoloader.exe", "tarvotips.exe" or "tarvohall.exe") with the arguments.
bool restartThroughHelper(const std::wstring& programPath, const std::wstring& arguments);

bool isProcessElevated();

bool shellExecuteRunas(const std::wstring& file, const std::wstring& parameters);
// "runas" of the running program's own file.
bool relaunchElevated(const std::wstring& parameters);

// The arguments 1.. of the command line, each quoted by the rules that
// CommandLineToArgvW reverses and followed by a blank, then "/restart".
std::wstring buildRestartArguments(const std::wstring& commandLine);

// True when this process has handed over to an elevated copy of itself (or
// tried to): the caller ends.
bool restartElevatedIfNeeded();

// The holder of the program's single-instance mutex, or empty when this
// process must end: another copy holds it (brought forward when asked), or
// an elevated copy takes over. A "/restart" copy waits for the name.
NamedMutexHolder acquireInstance(const std::string& name, bool bringForward);
