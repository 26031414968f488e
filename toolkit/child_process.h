#pragma once

// Runs one console program without a window, captures what it writes to its
// standard output and standard error (merged, in the order written) and keeps
// its exit code. A small C-style layer (ProcessRecord and the process*
// functions) and the owner class ProcessRunner that callers use.

#include <windows.h>

#include <cstdint>
#include <string>

// Values of ProcessRecord::status.
enum : uint32_t {
    kProcessOk = 0,
    kProcessPipeOrWaitFailed = 101,
    kProcessStartFailed = 104,
};

// Exit code of a program ended by Ctrl+C or Ctrl+Break.
const uint32_t kProcessCtrlCExit = 0xC000013A;
// Exit code given to a program terminated at its time limit.
const uint32_t kProcessTimedOutExit = 0xFFFFFFFF;

struct ProcessRecord {
    HANDLE stdinParent;   // write end, ours
    HANDLE stdinChild;    // read end, the program's
    HANDLE stdoutParent;  // read end, ours
    HANDLE stdoutChild;   // write end, the program's (stdout and stderr)
    HANDLE stderrParent;
    HANDLE stderrChild;
    uint32_t pipesCreated;  // 1 once all three pipes exist
    uint32_t reserved[2];   // cleared by processWait, not used otherwise
    unsigned char* outData;
    uint32_t outLength;
    unsigned char* errData;
    uint32_t errLength;
    HANDLE process;
    uint32_t exitCode;
    uint32_t interrupted;  // 2 when the program ended with 0xC000013A
    uint32_t lastError;    // GetLastError of the failed step
    uint32_t status;       // 0, 101, 104 or E_FAIL
};

// A new zeroed record with its three pipes (status 101 when a pipe failed).
// Null only when the record itself cannot be allocated.
ProcessRecord* processCreate();

// Starts the program (the first token of the command line) with the record's
// pipes as its standard handles. 0 on success, -1 on failure (status 104).
int processStart(ProcessRecord* record, const std::wstring& commandLine);

// Captures the output until the program has ended and the output pipe is
// closed. Once the program has ended, the readers get at most 5 s more (a
// grandchild may keep the pipe open): then status is 101 with lastError 258.
// 0, or -1 when status is not 0.
int processWait(ProcessRecord* record);

// Closes every handle still open and frees the buffers and the record.
void processFree(ProcessRecord* record);

class ProcessRunner {
public:
    ProcessRunner();
    ~ProcessRunner();
    ProcessRunner(const ProcessRunner&) = delete;
    ProcessRunner& operator=(const ProcessRunner&) = delete;

    // Frees the previous record, starts the program and waits for it without
    // a time limit. True when the program was started.
    bool run(const std::wstring& commandLine);

    // The same with a limit on the program's run time, counted from its start
    // (INFINITE: none). At the limit only this program is terminated (not what
    // it started), the readers get the same 5 s drain bound as after a normal
    // end, timedOut() answers true, exitCode() 0xFFFFFFFF, and the record's
    // status is 101 with lastError ERROR_TIMEOUT. The output written until
    // then is kept.
    bool run(const std::wstring& commandLine, uint32_t timeoutMs);

    // True only after a run that hit its time limit.
    bool timedOut() const { return timedOut_; }

    // 0 before any run; 0xFFFFFFFF after a run that could not start the
    // program or hit its time limit; 0xC000013A for a program ended by
    // Ctrl+C; else its exit code.
    uint32_t exitCode() const;

    // The captured bytes, raw, in the program's console code page.
    std::string getOutput() const;
    // The captured bytes through the thread's ANSI code page.
    std::wstring getOutputW() const;

    void close();

    // The current record (null when idle), for callers that need the details.
    const ProcessRecord* record() const { return record_; }

private:
    ProcessRecord* record_;
    bool startFailed_;  // the last run could not start its program
    bool timedOut_;     // the last run hit its time limit
};
