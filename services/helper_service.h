#pragma once

// What the loader does to Windows services and to other running programs:
// install, start, stop and delete a service; ask the helper service
// "TarvoHelper" to start one of the product's programs (its argument goes in a
// data file named after the control code); the pending-launch file that a
// second loader leaves for the running one; ending a process by name; and
// telling two sibling windows that an app was installed.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// User-defined control codes of the helper service: start the program.
enum HelperControl : uint32_t {
    LaunchPlayer = 133,  // "TarvoPlayer.exe", data file "0085.dat"
    LaunchLoader = 134,  // "TarvoLoader.exe", "0086.dat"
    LaunchTips = 135,    // "TarvoTips.exe", "0087.dat"
    LaunchHall = 136,    // "TarvoHall.exe", "0088.dat"
};

// The service-manager calls that ServiceControl::stop makes, so that states
// a real manager rarely shows (dependents that never stop, failing calls) can
// be scripted. Failing calls return FALSE/null with the error in
// GetLastError, like the API.
class ServiceManagerApi {
public:
    virtual ~ServiceManagerApi() {}
    virtual BOOL queryStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
    virtual BOOL enumDependents(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSW* buffer,
                                DWORD bufferSize, DWORD* bytesNeeded, DWORD* count) = 0;
    virtual SC_HANDLE openService(SC_HANDLE manager, const wchar_t* name, DWORD access) = 0;
    virtual BOOL control(SC_HANDLE service, DWORD code, SERVICE_STATUS* status) = 0;
    virtual BOOL closeHandle(SC_HANDLE handle) = 0;
    virtual void sleep(DWORD ms) = 0;
    virtual DWORD tickCount() = 0;
};

// The real service manager.
ServiceManagerApi& systemServiceManager();

// The access of the helper service (a self-relative security descriptor with
// a DACL only): SYSTEM and Administrators full control; the user of the
// running token query, start and the user-defined codes; Interactive and
// Authenticated Users the status only. Empty when it cannot be built.
std::vector<unsigned char> helperServiceSecurity();

class ServiceControl {
public:
    // Creates the service (LocalSystem, error control "ignore") or opens the
    // existing one, sets its DACL to helperServiceSecurity (a failure logs
    // "service security not set: %u" and changes nothing else) and starts it.
    // True when it runs or already ran. A binary path with a blank is stored
    // quoted unless it is quoted already.
    bool installAndStart(const std::wstring& name, const std::wstring& binaryPath,
                         DWORD serviceType, DWORD startType);

    // Stops the service with its dependents and, only when that worked,
    // deletes it. False for a missing service and when the stop failed or
    // ran out of time (the service then stays installed).
    bool remove(const std::wstring& name, DWORD timeoutMs);

    // Stops the service, its active dependents first. 0 when it is stopped,
    // ERROR_TIMEOUT (1460) when timeoutMs passed (INFINITE: no limit), or the
    // Win32 error of the call that failed. The caller keeps its two handles;
    // the dependents' handles are closed here.
    DWORD stop(SC_HANDLE manager, SC_HANDLE service, bool stopDependents, DWORD timeoutMs);
    DWORD stop(SC_HANDLE manager, SC_HANDLE service, bool stopDependents, DWORD timeoutMs,
               ServiceManagerApi& api);
};

// Name of the pending-launch data file (a launch request of a second loader).
extern const wchar_t kPendingLaunchName[];  // "TarvoLoader_routines"

// Data files: <common data folder>\<name>.dat, ANSI text written and read in
// text mode. Their content is untrusted (every local account can write that
// folder): these functions only move it.
// Deletes whatever has that name (a link itself, never its target), then
// creates the file anew and writes it whole. True when that worked.
bool writeDataFile(const std::wstring& name, const std::string& bytes);
// Reads the file (at most 64 KiB), deletes it and returns its text up to the
// first zero byte. A missing file, one that cannot be read and one larger than
// 64 KiB (logged "data file too large: %s", unread) answer the empty text;
// whatever was found is deleted.
std::string takeDataFile(const std::wstring& name);
// A data file's text for the log: control characters as "\xNN", so that the
// file cannot add lines of its own.
std::string dataFileLogText(const std::string& text);

// Writes the payload (ANSI) to the data file "%04x" of the code and sends the
// code to the helper service. True when the code was delivered; otherwise the
// data file is taken back. False, with no code sent, when the data file could
// not be written whole.
bool sendHelperControl(uint32_t code, const std::wstring& payload);

// Ends the first running process whose executable name equals, ignoring case,
// one of the ';'-separated names (exit code 1, then a 1 s pause). False only
// when the processes cannot be listed.
bool killProcessesByName(const std::wstring& exeName);

// Sends the app id (a decimal text) with WM_COPYDATA to the windows titled
// "Orvek壁纸" and "塔沃助手"; for each one missing, hung (5 s) or failing
// the id is appended to the app-id record.
void notifyApkInstalled(const std::wstring& appId);

// Appends "<id>\r\n" to <AppData>\tarvozhushou\tvdata2.dat.
void appendAppIdRecord(uint32_t appId);
