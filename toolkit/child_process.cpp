#include "toolkit/child_process.h"

#include <process.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "toolkit/log_sink.h"
#include "toolkit/process_start.h"
#include "toolkit/string_util.h"

#ifdef TARVO_TEST_SEAMS
#include "toolkit/seams.h"
#endif

namespace {

#ifdef TARVO_TEST_SEAMS
ReaderGrowFunction g_grow = nullptr;
volatile LONG g_failReaderStartAt = 0;
void* growBuffer(void* block, size_t bytes) { return g_grow ? g_grow(block, bytes) : realloc(block, bytes); }
bool readerStartFails() {
    LONG at = InterlockedCompareExchange(&g_failReaderStartAt, 0, 0);
    if (at <= 0) return false;
    InterlockedExchange(&g_failReaderStartAt, at - 1);
    return at == 1;
}
#else
void* growBuffer(void* block, size_t bytes) { return realloc(block, bytes); }
#endif

// Pipes and reads of 64 KiB: a chatty program rarely waits for us, and a
// megabyte of output takes a few dozen reads.
const DWORD kPipeBuffer = 64 * 1024;
const DWORD kReadChunk = 64 * 1024;
// How long the readers may still take to see the end of the pipe once the
// program has ended (a grandchild can hold the write end for much longer).
const DWORD kDrainLimitMs = 5000;
const DWORD kDrainStepMs = 1000;
const DWORD kCancelRetryMs = 20;

void closeHandle(HANDLE& h) {
    if (h) {
        CloseHandle(h);
        h = nullptr;
    }
}

// One reader thread per pipe, blocking in ReadFile until data comes or every
// writer is gone. stopReader cuts a read short with CancelSynchronousIo.
struct Reader {
    HANDLE pipe;
    unsigned char** data;
    uint32_t* length;
    volatile LONG stop;
    HANDLE thread;
};

unsigned __stdcall readerProc(void* arg) {
    Reader* reader = static_cast<Reader*>(arg);
    unsigned char* buffer = nullptr;
    DWORD capacity = 0;
    DWORD length = 0;
    // Out of memory: nothing is kept, but the pipe is still drained so that
    // the program never blocks on a full pipe.
    bool discarding = false;
    unsigned char scratch[4096];

    while (InterlockedCompareExchange(&reader->stop, 0, 0) == 0) {
        unsigned char* target;
        DWORD want;
        if (!discarding && capacity - length < kReadChunk) {
            DWORD grown = capacity ? capacity * 2 : 2 * kReadChunk;
            if (grown - length < kReadChunk || grown < capacity) grown = length + kReadChunk;
            unsigned char* bigger = static_cast<unsigned char*>(growBuffer(buffer, grown));
            if (bigger) {
                buffer = bigger;
                capacity = grown;
            } else {
                discarding = true;
                length = 0;
            }
        }
        if (!discarding) {
            target = buffer + length;
            want = kReadChunk;
        } else if (buffer && capacity) {
            target = buffer;
            want = capacity < kReadChunk ? capacity : kReadChunk;
        } else {
            target = scratch;
            want = sizeof(scratch);
        }
        DWORD got = 0;
        // Fails with ERROR_BROKEN_PIPE once the writers are gone and the pipe
        // is drained, or ERROR_OPERATION_ABORTED when stopped.
        if (!ReadFile(reader->pipe, target, want, &got, nullptr)) break;
        if (!discarding) length += got;
        // A read that waits returns with the first small write; a moment's
        // pause lets the pipe fill, so a chatty program costs a read per
        // 64 KiB instead of one per write.
        if (got < want / 4) Sleep(1);
    }

    if (discarding) length = 0;
    *reader->data = buffer;
    *reader->length = length;
    return 0;
}

bool startReader(Reader& reader) {
    reader.stop = 0;
#ifdef TARVO_TEST_SEAMS
    if (readerStartFails()) {
        reader.thread = nullptr;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
#endif
    reader.thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 1024, readerProc, &reader, 0, nullptr));
    return reader.thread != nullptr;
}

// Ends the reader and joins it. A read that waits on a pipe which someone
// else still holds open is cancelled; the cancel is repeated in case it came
// before the reader entered ReadFile.
void stopReader(Reader& reader) {
    if (!reader.thread) return;
    InterlockedExchange(&reader.stop, 1);
    while (WaitForSingleObject(reader.thread, 0) == WAIT_TIMEOUT) {
        CancelSynchronousIo(reader.thread);
        WaitForSingleObject(reader.thread, kCancelRetryMs);
    }
    closeHandle(reader.thread);
}

void noteExit(ProcessRecord* record) {
    DWORD code = 0;
    if (!GetExitCodeProcess(record->process, &code)) {
        record->lastError = GetLastError();
        record->status = kProcessPipeOrWaitFailed;
        return;
    }
    if (code == kProcessCtrlCExit)
        record->interrupted = 2;
    else
        record->exitCode = code;
}

}  // namespace

#ifdef TARVO_TEST_SEAMS
void setReaderGrowForTests(ReaderGrowFunction grow) { g_grow = grow; }
void failReaderStartForTests(int nth) { InterlockedExchange(&g_failReaderStartAt, nth); }
#endif

ProcessRecord* processCreate() {
    ProcessRecord* record = static_cast<ProcessRecord*>(calloc(1, sizeof(ProcessRecord)));
    if (!record) return nullptr;

    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    attributes.lpSecurityDescriptor = &descriptor;

    HANDLE ends[6] = {};
    bool ok = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
              CreatePipe(&ends[1], &ends[0], &attributes, 0) &&  // stdin: child reads
              CreatePipe(&ends[2], &ends[3], &attributes, kPipeBuffer) &&  // stdout: we read
              CreatePipe(&ends[4], &ends[5], &attributes, kPipeBuffer) &&  // stderr: we read
              SetHandleInformation(ends[0], HANDLE_FLAG_INHERIT, 0) &&
              SetHandleInformation(ends[2], HANDLE_FLAG_INHERIT, 0) &&
              SetHandleInformation(ends[4], HANDLE_FLAG_INHERIT, 0);
    if (!ok) {
        record->lastError = GetLastError();
        record->status = kProcessPipeOrWaitFailed;
    } else {
        record->pipesCreated = 1;
        record->status = kProcessOk;
    }
    record->stdinParent = ends[0];
    record->stdinChild = ends[1];
    record->stdoutParent = ends[2];
    record->stdoutChild = ends[3];
    record->stderrParent = ends[4];
    record->stderrChild = ends[5];
    return record;
}

int processStart(ProcessRecord* record, const std::wstring& commandLine) {
    if (!record) return -1;
    if (!record->pipesCreated) return -1;  // status 101 from processCreate stays

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = nullptr;
    startup.hStdOutput = record->stdoutChild;
    startup.hStdError = record->stdoutChild;

    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof(info));
    const HANDLE childEnds[3] = {record->stdinChild, record->stdoutChild, record->stderrChild};
    if (!createProcessInheriting(nullptr, writable.data(), CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, startup,
                                 childEnds, 3, &info)) {
        record->lastError = GetLastError();
        record->status = kProcessStartFailed;
        return -1;
    }
    record->process = info.hProcess;
    CloseHandle(info.hThread);
    closeHandle(record->stdinChild);
    closeHandle(record->stdoutChild);
    closeHandle(record->stderrChild);
    record->status = kProcessOk;
    return 0;
}

namespace {

// processWait with a limit on the program's run time (INFINITE: none). At the
// limit the program is terminated and the readers get their usual drain bound.
int waitForProgram(ProcessRecord* record, DWORD limitMs, bool* timedOut) {
    *timedOut = false;
    if (!record) return -1;
    record->reserved[0] = 0;
    record->reserved[1] = 0;
    closeHandle(record->stdinParent);

    Reader readers[2] = {
        {record->stdoutParent, &record->outData, &record->outLength, 0, nullptr},
        {record->stderrParent, &record->errData, &record->errLength, 0, nullptr},
    };
    HANDLE* pipeEnds[2] = {&record->stdoutParent, &record->stderrParent};

    if (!startReader(readers[0]) || !startReader(readers[1])) {
        // The program keeps running: stop what was started, close our read
        // ends so that its writes fail instead of blocking, and wait for it.
        record->lastError = GetLastError();
        stopReader(readers[0]);
        stopReader(readers[1]);
        closeHandle(record->stdoutParent);
        closeHandle(record->stderrParent);
        if (record->process && WaitForSingleObject(record->process, limitMs) == WAIT_TIMEOUT) {
            TerminateProcess(record->process, kProcessTimedOutExit);
            *timedOut = true;
            WaitForSingleObject(record->process, kDrainLimitMs);
        }
        if (record->process && WaitForSingleObject(record->process, 0) == WAIT_OBJECT_0) {
            uint32_t keep = record->lastError;
            noteExit(record);
            record->lastError = keep;
        }
        record->status = kProcessPipeOrWaitFailed;
        return -1;
    }

    bool readerDone[2] = {false, false};
    bool processDone = record->process == nullptr;
    DWORD startedAt = GetTickCount();
    DWORD endedAt = startedAt;

    for (;;) {
        HANDLE handles[3];
        int which[3];
        DWORD count = 0;
        for (int i = 0; i < 2; ++i) {
            if (!readerDone[i]) {
                handles[count] = readers[i].thread;
                which[count++] = i;
            }
        }
        if (!processDone) {
            handles[count] = record->process;
            which[count++] = 2;
        }
        if (count == 0) break;

        DWORD timeout = INFINITE;
        if (processDone) {
            DWORD spent = GetTickCount() - endedAt;
            if (spent >= kDrainLimitMs) {
                record->status = kProcessPipeOrWaitFailed;
                record->lastError = WAIT_TIMEOUT;
                ravel::log::printLine("child process ended, its output pipe is still open after %u ms",
                          static_cast<unsigned>(kDrainLimitMs));
                break;
            }
            timeout = kDrainLimitMs - spent;
            if (timeout > kDrainStepMs) timeout = kDrainStepMs;
        } else if (limitMs != INFINITE) {
            DWORD spent = GetTickCount() - startedAt;
            timeout = spent >= limitMs ? 0 : limitMs - spent;
        }

        DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (result == WAIT_TIMEOUT && !processDone) {
            // The limit is reached. A program that ended just now keeps its result.
            if (WaitForSingleObject(record->process, 0) != WAIT_OBJECT_0) {
                TerminateProcess(record->process, kProcessTimedOutExit);
                *timedOut = true;
                ravel::log::printLine("child process still running after %u ms, terminated",
                          static_cast<unsigned>(limitMs));
                WaitForSingleObject(record->process, kDrainLimitMs);
            }
            processDone = true;
            endedAt = GetTickCount();
            noteExit(record);
            if (record->status != kProcessOk) break;
            continue;
        }
        if (result == WAIT_TIMEOUT) continue;
        if (result == WAIT_FAILED) {
            record->lastError = GetLastError();
            record->status = kProcessPipeOrWaitFailed;
            break;
        }
        if (result >= WAIT_OBJECT_0 + count) {  // abandoned or out of range
            record->status = static_cast<uint32_t>(E_FAIL);
            break;
        }
        int index = which[result - WAIT_OBJECT_0];
        if (index < 2) {
            closeHandle(readers[index].thread);
            closeHandle(*pipeEnds[index]);
            readerDone[index] = true;
        } else {
            processDone = true;
            endedAt = GetTickCount();
            noteExit(record);
            if (record->status != kProcessOk) break;
        }
    }

    // Every path joins the readers before the record can be freed.
    for (int i = 0; i < 2; ++i) {
        stopReader(readers[i]);
        closeHandle(*pipeEnds[i]);
    }
    if (*timedOut) {
        record->status = kProcessPipeOrWaitFailed;
        record->lastError = ERROR_TIMEOUT;
    }
    return record->status != kProcessOk ? -1 : 0;
}

}  // namespace

int processWait(ProcessRecord* record) {
    bool timedOut = false;
    return waitForProgram(record, INFINITE, &timedOut);
}

void processFree(ProcessRecord* record) {
    if (!record) return;
    closeHandle(record->stdinParent);
    closeHandle(record->stdinChild);
    closeHandle(record->stdoutParent);
    closeHandle(record->stdoutChild);
    closeHandle(record->stderrParent);
    closeHandle(record->stderrChild);
    closeHandle(record->process);
    free(record->outData);
    free(record->errData);
    free(record);
}

ProcessRunner::ProcessRunner() : record_(nullptr), startFailed_(false), timedOut_(false) {}

ProcessRunner::~ProcessRunner() { close(); }

bool ProcessRunner::run(const std::wstring& commandLine) { return run(commandLine, INFINITE); }

bool ProcessRunner::run(const std::wstring& commandLine, uint32_t timeoutMs) {
    close();
    record_ = processCreate();
    if (!record_ || processStart(record_, commandLine) != 0) {
        startFailed_ = true;
        return false;
    }
    bool timedOut = false;
    waitForProgram(record_, timeoutMs, &timedOut);
    timedOut_ = timedOut;
    return true;
}

uint32_t ProcessRunner::exitCode() const {
    if (startFailed_ || timedOut_) return 0xFFFFFFFF;
    if (!record_) return 0;
    if (record_->interrupted == 2) return kProcessCtrlCExit;
    return record_->exitCode;
}

std::string ProcessRunner::getOutput() const {
    if (!record_ || !record_->outData) return std::string();
    return std::string(reinterpret_cast<const char*>(record_->outData), record_->outLength);
}

std::wstring ProcessRunner::getOutputW() const { return ansiToWide(getOutput()); }

void ProcessRunner::close() {
    processFree(record_);
    record_ = nullptr;
    startFailed_ = false;
    timedOut_ = false;
}
