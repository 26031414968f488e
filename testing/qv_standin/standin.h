// Common library of the Qv engine stand-ins (test-only programs that act on the
// prefix's real registry, service manager and files in place of the engine):
// the state folder, the record, the modes, the argument split, service and
// registry helpers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qvs {

// Split of a command line: the first token ends at the first blank outside
// quotes (empty when the line begins with a blank); the rest follows
// CommandLineToArgvW, except that backslashes before a closing quote that ends
// an argument are kept ("C:\dir\" gives C:\dir\).
std::vector<std::wstring> splitCommandLine(const std::wstring& line);

// What every stand-in does at its start: takes "--standin-dir <dir>" and
// "--life <ms>" out of its arguments, finds (and creates) its state folder,
// starts the lifetime watchdog and records `start` with the raw command line.
// `program` names its record lines (the file name without ".exe" unless given).
struct Start {
    std::wstring program;
    std::vector<std::wstring> args;  // after the first token, common options removed
    std::wstring stateDir;
    DWORD lifeMs = 600000;
    std::wstring mode = L"ok";  // the mode that applies to this start
    DWORD delayMs = 0;
    int exitCode = 2;
    DWORD hresult = 0;  // `hresult` of the mode's section
};

// Where a family of stand-ins keeps its state and names its record mutex; the
// Qv stand-ins' by default. startEnv: a variable recorded with `start`.
struct Flavor {
    const wchar_t* dirEnv;       // the state folder's variable
    const wchar_t* dirName;      // else %ProgramData%\<dirName>
    const wchar_t* recordMutex;
    const wchar_t* startEnv;     // may be null
    const wchar_t* lifeEnv;      // a variable with the lifetime in ms; may be null
};
void setFlavor(const Flavor& flavor);
std::wstring defaultStateDir();
// For a library: records as `program` into the default state folder, no start line.
void attach(const std::wstring& program);
// Reads the mode of [section] (counting `times` down) into s, applying nothing.
void readModes(Start& s, const std::wstring& section);
// 3000 fixed pseudo-random bytes (NUL, 0xFF, lone CR/LF) to standard output.
void printGarbage();
Start begin(const std::wstring& program = std::wstring());
// Reads the mode of [section] (counting `times` down) into s and carries out the
// common ones: exit, garbage, slow, hang, crash. Program-specific modes are left
// in s.mode.
void applyModes(Start& s, const std::wstring& section);

// Appends "<program>\t<pid>\t<event>\t<details>\n" to <state>\record.log.
void record(const std::wstring& event, const std::wstring& details = std::wstring());
// The same with several detail fields, each escaped, joined by tabs.
void recordFields(const std::wstring& event, const std::vector<std::wstring>& fields);
// Records `exit <code>` and ends the process.
[[noreturn]] void finish(int code);
// Records `bad-args`, prints the usage line (when there is one) and exits 2.
[[noreturn]] void badArgs(const char* usage);
// Records `hang` and sleeps until the lifetime ends, then exits 0.
[[noreturn]] void hangUntilLifeEnds();
// Milliseconds left of the lifetime.
DWORD lifeLeftMs();

// Text to standard output (when there is one).
void print(const std::string& text);

// This program's folder with a trailing backslash.
std::wstring ownFolder();
std::wstring stateDir();
std::wstring escapeControls(const std::wstring& text);
std::string utf8(const std::wstring& text);
std::wstring widen(const std::string& utf8Text);
bool fileExists(const std::wstring& path);
// Deletes a folder with its contents; links are removed, never followed.
void removeTree(const std::wstring& path);

// Starts a program of the engine folder ("<folder><exe>" args), without inherited
// handles, passing the state folder on; true when created.
bool startEngineProgram(const std::wstring& exe, const std::wstring& args);

// Services.
DWORD serviceState(const wchar_t* name);  // 0 when it does not exist
bool startServiceAndWait(const wchar_t* name, DWORD waitMs);
bool stopServiceAndWait(const wchar_t* name, DWORD waitMs);
bool deleteService(const wchar_t* name);
// "<folder><exe>" --service --standin-dir "<state>"
std::wstring serviceBinaryPath(const std::wstring& folder, const std::wstring& exe);
// Creates or reconfigures an own-process, demand-start service; the Win32 error.
DWORD createOrConfigureService(const wchar_t* name, const std::wstring& binaryPath);

// Processes whose image lies in folder (compared ignoring case) and has this name.
std::vector<DWORD> processesIn(const std::wstring& folder, const wchar_t* exe);
void terminateProcesses(const std::vector<DWORD>& pids);

// Registry (HKLM, 64-bit view on 64-bit Windows, as the loader reads it).
REGSAM registryView();
bool is64BitWindows();
std::wstring readInstallDir(const wchar_t* keyPath);  // empty when absent
bool writeRegString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& value);
void deleteRegKey(const wchar_t* keyPath);

// engine.ini "version=" of a folder.
std::wstring engineVersion(const std::wstring& folder);

// The engine's files that an install folder holds.
extern const wchar_t* const kEngineFiles[];
extern const size_t kEngineFileCount;

}  // namespace qvs
