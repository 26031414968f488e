// peerfetch.dll: the product's download library. Each task downloads one
// address over HTTP(S) with WinINet on a thread of its own and answers the
// loader's status queries. Only the four exports of peerfetch_abi.h exist.
//
// WinINet runs asynchronously: every call that may block on the network runs
// inside WinINet's own worker threads and only signals our event, so a stop or
// a stall never waits on a silent server. Our thread only waits on events, with
// a time limit, and a stopped task leaves no callback pointing into this module.
//
// Built twice from this source: the product library, and with
// PEERFETCH_TEST_HOOKS a test variant that adds "fake:" addresses, the
// pf_saveas query word and a call log.

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/peerfetch/peerfetch_abi.h"
#include "toolkit/scoped_handle.h"

#define PEERFETCH_EXPORT extern "C"

namespace {

// One read takes what WinINet has, up to this much; the file is written in
// pieces of this size while the data comes faster than it is asked for.
const DWORD kReadBuffer = 1024 * 1024;
const DWORD kWaitSlice = 100;
// How long a stopped or stalled task still waits for its pending operation
// before it leaves the operation's memory to WinINet.
const DWORD kAbandonWaitMs = 300;

wchar_t* copyText(const wchar_t* text, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars && text[n]) ++n;
    wchar_t* copy = static_cast<wchar_t*>(calloc(n + 1, sizeof(wchar_t)));
    if (copy && n) memcpy(copy, text, n * sizeof(wchar_t));
    return copy;
}

wchar_t* joinText(const wchar_t* a, const wchar_t* b) {
    size_t na = wcslen(a), nb = wcslen(b);
    wchar_t* out = static_cast<wchar_t*>(calloc(na + nb + 1, sizeof(wchar_t)));
    if (!out) return nullptr;
    memcpy(out, a, na * sizeof(wchar_t));
    memcpy(out + na, b, nb * sizeof(wchar_t));
    return out;
}

// Deletes what stands at path itself: a file or a link, never what a link
// points to (a link's attributes may be its target's, so they stay). A real
// folder stays, and the create that follows fails.
void removePlanted(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !link) return;
    if ((attributes & FILE_ATTRIBUTE_READONLY) && !link)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path);
    else
        DeleteFileW(path);
}

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

#ifdef PEERFETCH_TEST_HOOKS
struct FakeStep {
    bool queryFails;
    int32_t code;
    uint64_t downloaded;
    uint64_t total;
};
#endif

// Memory that a pending WinINet operation may write to: the answer of a data
// query and the read buffer with its descriptor. A task that gives up on a
// pending operation hands it over (Task::orphan): the operation's completion
// frees it; when the task is detached from WinINet before that, it is never
// freed, since WinINet may still write into it.
struct AsyncSink {
    DWORD available;
    INTERNET_BUFFERSW ib;
    char data[kReadBuffer];
};

struct Task {
    PeerfetchHandle handle = 0;
    wchar_t* url = nullptr;
    wchar_t* fullPath = nullptr;  // where the file is saved and what queries answer
    DWORD stallMs = 0;

    CRITICAL_SECTION lock;
    // Guarded by lock.
    uint64_t total = 0;
    uint64_t downloaded = 0;
    int32_t code = kPeerfetchPending;
    bool closing = false;
    HINTERNET handles[8] = {};  // every WinINet handle created for this task
    int handleCount = 0;
    bool asyncDone = false;
    DWORD_PTR asyncResult = 0;
    DWORD asyncError = 0;
    AsyncSink* orphan = nullptr;  // given up on while its operation was pending

    volatile LONG cancel = 0;
    volatile LONG callbacksRunning = 0;
    ScopedHandle wake;  // auto-reset: an operation completed, or stop
    ScopedHandle thread;
    AsyncSink* sink = nullptr;
    Task* next = nullptr;

#ifdef PEERFETCH_TEST_HOOKS
    bool fake = false;
    bool nonul = false;
    FakeStep* steps = nullptr;
    size_t stepCount = 0;
    size_t stepIndex = 0;
#endif
};

SRWLOCK g_tableLock = SRWLOCK_INIT;
Task* g_tasks = nullptr;
PeerfetchHandle g_lastHandle = 0;

Task* findTask(PeerfetchHandle handle) {
    AcquireSRWLockShared(&g_tableLock);
    Task* t = g_tasks;
    while (t && t->handle != handle) t = t->next;
    ReleaseSRWLockShared(&g_tableLock);
    return t;
}

#ifdef PEERFETCH_TEST_HOOKS
// One UTF-8 line per call in the file named by PEERFETCH_TEST_LOG.
void logCall(const wchar_t* format, ...) {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"PEERFETCH_TEST_LOG", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    wchar_t line[20000];
    va_list args;
    va_start(args, format);
    int len = _vsnwprintf(line, 19998, format, args);
    va_end(args);
    if (len < 0) len = 19998;
    line[len++] = L'\n';
    char utf8[60000];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, len, utf8, sizeof(utf8), nullptr, nullptr);
    ScopedHandle f(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    DWORD written = 0;
    WriteFile(f.get(), utf8, (DWORD)bytes, &written, nullptr);
}

// "fake:seq=C/D/T,C/D/T,..." with "q" for a failing query.
bool parseFakeSteps(Task* t, const wchar_t* steps) {
    size_t count = 1;
    for (const wchar_t* p = steps; *p; ++p)
        if (*p == L',') ++count;
    t->steps = static_cast<FakeStep*>(calloc(count, sizeof(FakeStep)));
    if (!t->steps) return false;
    const wchar_t* p = steps;
    for (size_t i = 0; i < count; ++i) {
        FakeStep& s = t->steps[i];
        if (*p == L'q') {
            s.queryFails = true;
            ++p;
        } else {
            wchar_t* end = nullptr;
            s.code = (int32_t)wcstol(p, &end, 10);
            p = end;
            if (*p == L'/') s.downloaded = _wcstoui64(p + 1, &end, 10), p = end;
            if (*p == L'/') s.total = _wcstoui64(p + 1, &end, 10), p = end;
        }
        while (*p && *p != L',') ++p;
        if (*p == L',') ++p;
    }
    t->stepCount = count;
    return true;
}

// pf_saveas=<name> in the query: the file is saved under that name instead.
wchar_t* saveAsPath(const wchar_t* url, const wchar_t* fullPath) {
    const wchar_t* q = wcschr(url, L'?');
    if (!q) return nullptr;
    const wchar_t* key = wcsstr(q, L"pf_saveas=");
    if (!key) return nullptr;
    key += 10;
    size_t n = 0;
    while (key[n] && key[n] != L'&' && key[n] != L'#') ++n;
    if (n == 0 || n > 200) return nullptr;
    for (size_t i = 0; i < n; ++i)
        if (key[i] == L'\\' || key[i] == L'/' || key[i] == L':') return nullptr;
    const wchar_t* slash = wcsrchr(fullPath, L'\\');
    size_t folder = slash ? (size_t)(slash - fullPath) + 1 : 0;
    wchar_t* out = static_cast<wchar_t*>(calloc(folder + n + 1, sizeof(wchar_t)));
    if (!out) return nullptr;
    memcpy(out, fullPath, folder * sizeof(wchar_t));
    memcpy(out + folder, key, n * sizeof(wchar_t));
    return out;
}
#endif

void setCode(Task* t, int32_t code) {
    EnterCriticalSection(&t->lock);
    t->code = code;
    LeaveCriticalSection(&t->lock);
}

void CALLBACK statusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
    Task* t = reinterpret_cast<Task*>(context);
    if (!t) return;
    InterlockedIncrement(&t->callbacksRunning);
    EnterCriticalSection(&t->lock);
    if (status == INTERNET_STATUS_HANDLE_CREATED && info) {
        // The handle is the first word of the information block.
        HINTERNET created = *static_cast<HINTERNET*>(info);
        if (t->closing) {
            InternetSetStatusCallbackW(created, nullptr);
        } else if (created && t->handleCount < 8) {
            t->handles[t->handleCount++] = created;
        }
    } else if (status == INTERNET_STATUS_REQUEST_COMPLETE && info) {
        const INTERNET_ASYNC_RESULT* r = static_cast<const INTERNET_ASYNC_RESULT*>(info);
        t->asyncResult = r->dwResult;
        t->asyncError = r->dwError;
        t->asyncDone = true;
        if (t->orphan) {
            free(t->orphan);
            t->orphan = nullptr;
#ifdef PEERFETCH_TEST_HOOKS
            logCall(L"sink freed handle=%I64u", (unsigned long long)t->handle);
#endif
        }
        SetEvent(t->wake.get());
    }
    LeaveCriticalSection(&t->lock);
    InterlockedDecrement(&t->callbacksRunning);
}

// Wine's WinINet reads the rest of a response before it lets its request go,
// which takes as long as the download would have. A stopped task leaves the
// closing to threads that run WinINet's code only: the stop returns at once,
// and this library may unload meanwhile (WinINet stays loaded for them).
void closeDetached(HINTERNET h) {
    HMODULE wininet = nullptr;
    LPTHREAD_START_ROUTINE close = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"wininet.dll", &wininet) && wininet)
        close = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(wininet, "InternetCloseHandle")));
    ScopedHandle thread(close ? CreateThread(nullptr, 0, close, h, 0, nullptr) : nullptr);
    if (!thread) InternetCloseHandle(h);
}

// Detaches the task from WinINet: no callback of a handle of ours can run
// into this module afterwards. Closing unblocks what WinINet can unblock; an
// operation stuck on a silent socket ends inside WinINet without us.
void closeInternet(Task* t) {
    EnterCriticalSection(&t->lock);
    t->closing = true;
    HINTERNET handles[8];
    int count = t->handleCount;
    for (int i = 0; i < count; ++i) handles[i] = t->handles[i];
    t->handleCount = 0;
    for (int i = 0; i < count; ++i) InternetSetStatusCallbackW(handles[i], nullptr);
    // Children first: the session is the first handle.
    for (int i = count - 1; i >= 0; --i) {
        if (t->cancel)
            closeDetached(handles[i]);
        else
            InternetCloseHandle(handles[i]);
    }
#ifdef PEERFETCH_TEST_HOOKS
    if (t->orphan) logCall(L"sink left handle=%I64u", (unsigned long long)t->handle);
#endif
    t->orphan = nullptr;  // WinINet's from now on
    LeaveCriticalSection(&t->lock);
}

// Records a handle of the task; after a stop it is closed at once instead.
bool addHandle(Task* t, HINTERNET h) {
    EnterCriticalSection(&t->lock);
    bool closing = t->closing;
    if (closing) {
        InternetSetStatusCallbackW(h, nullptr);
        InternetCloseHandle(h);
    } else {
        bool known = false;
        for (int i = 0; i < t->handleCount; ++i) known = known || t->handles[i] == h;
        if (!known && t->handleCount < 8) t->handles[t->handleCount++] = h;
    }
    LeaveCriticalSection(&t->lock);
    return !closing;
}

void resetAsync(Task* t) {
    EnterCriticalSection(&t->lock);
    t->asyncDone = false;
    t->asyncResult = 0;
    t->asyncError = 0;
    LeaveCriticalSection(&t->lock);
}

enum WaitResult { kCompleted, kCancelled, kStalled };

bool takeAsync(Task* t, DWORD_PTR* result) {
    EnterCriticalSection(&t->lock);
    bool done = t->asyncDone;
    if (done) {
        *result = t->asyncResult;
        t->asyncDone = false;
    }
    LeaveCriticalSection(&t->lock);
    return done;
}

// The task gives up on its pending operation. On a live connection it
// completes within moments, and the sink stays the task's; otherwise the sink
// goes to the operation (see AsyncSink).
void abandonPending(Task* t, bool usesSink) {
    ULONGLONG since = GetTickCount64();
    DWORD_PTR ignored = 0;
    while (!takeAsync(t, &ignored)) {
        if (GetTickCount64() - since >= kAbandonWaitMs) {
            EnterCriticalSection(&t->lock);
            if (t->asyncDone) {
                t->asyncDone = false;  // completed just now
            } else if (usesSink) {
                t->orphan = t->sink;
                t->sink = nullptr;
            }
            LeaveCriticalSection(&t->lock);
            return;
        }
        WaitForSingleObject(t->wake.get(), 20);
    }
}

// Waits for the pending operation, a stop, or the end of the stall time that
// started at lastByte. Unless it completed, the operation is abandoned.
WaitResult waitAsync(Task* t, ULONGLONG lastByte, DWORD_PTR* result, bool usesSink) {
    for (;;) {
        WaitResult w = kCompleted;
        if (t->cancel)
            w = kCancelled;
        else if (takeAsync(t, result))
            return kCompleted;
        else if (GetTickCount64() - lastByte >= t->stallMs)
            w = kStalled;
        if (w != kCompleted) {
            abandonPending(t, usesSink);
            return w;
        }
        WaitForSingleObject(t->wake.get(), kWaitSlice);
    }
}

uint64_t contentLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index)) return 0;
    return _wcstoui64(text, nullptr, 10);
}

struct Download {
    Task* t;
    ScopedHandle file;
    wchar_t* partPath = nullptr;
    DWORD filled = 0;  // bytes of the sink's buffer not yet written

    ~Download() {
        file.reset();
        if (partPath) {
            DeleteFileW(partPath);  // only still there when the download did not finish
            free(partPath);
        }
    }
    bool flush() {
        DWORD written = 0;
        if (filled && (!WriteFile(file.get(), t->sink->data, filled, &written, nullptr) || written != filled))
            return false;
        filled = 0;
        return true;
    }
};

int32_t runDownload(Task* t) {
    Download d{t};
    ULONGLONG lastByte = GetTickCount64();
    DWORD_PTR result = 0;

    HINTERNET session = InternetOpenW(L"peerfetch", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                      INTERNET_FLAG_ASYNC);
    if (!session) return kPeerfetchNetworkError;
    // The session is the first handle, so that closing goes children first.
    if (!addHandle(t, session)) return kPeerfetchStopped;
    InternetSetStatusCallbackW(session, statusCallback);

    resetAsync(t);
    HINTERNET request = InternetOpenUrlW(session, t->url, nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI,
                                         reinterpret_cast<DWORD_PTR>(t));
    if (!request) {
        if (GetLastError() != ERROR_IO_PENDING) return kPeerfetchNetworkError;
        WaitResult w = waitAsync(t, lastByte, &result, false);
        if (w == kCancelled) return kPeerfetchStopped;
        if (w == kStalled) return kPeerfetchNetworkError;
        request = reinterpret_cast<HINTERNET>(result);
        if (!request) return kPeerfetchNetworkError;
    }
    if (!addHandle(t, request)) return kPeerfetchStopped;

    DWORD status = 0, size = sizeof(status), index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index))
        return kPeerfetchHttpError;
    if (status != 200) return kPeerfetchHttpError;

    uint64_t total = contentLength(request);
    d.partPath = joinText(t->fullPath, L".part");
    if (!d.partPath) return kPeerfetchFileError;
    EnterCriticalSection(&t->lock);
    t->total = total;
    t->downloaded = 0;
    t->code = kPeerfetchDownloading;
    LeaveCriticalSection(&t->lock);

    // The task folder is the user's: an entry left under the name (a link
    // too) goes first, and the file is made new so that nothing is followed.
    removePlanted(d.partPath);
    d.file.reset(CreateFileW(d.partPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!d.file) return kPeerfetchFileError;

    uint64_t downloaded = 0;
    lastByte = GetTickCount64();
    // Read back to back while reads bring data: a read that follows a short
    // one takes what the socket holds, up to the whole buffer. Only a read
    // that brings nothing is followed by a data query (which may wait), after
    // the buffer is written out; a query before every read would limit each
    // read to what WinINet buffered itself (8 KiB).
    bool mayHaveMore = false;
    for (;;) {
        if (t->cancel) return kPeerfetchStopped;
        if (GetTickCount64() - lastByte >= t->stallMs) return kPeerfetchNetworkError;
        AsyncSink* sink = t->sink;
        if (!mayHaveMore) {
            if (!d.flush()) return kPeerfetchFileError;
            resetAsync(t);
            sink->available = 0;
            if (!InternetQueryDataAvailable(request, &sink->available, 0, 0)) {
                if (GetLastError() != ERROR_IO_PENDING) return kPeerfetchNetworkError;
                WaitResult w = waitAsync(t, lastByte, &result, true);
                if (w == kCancelled) return kPeerfetchStopped;
                if (w == kStalled) return kPeerfetchNetworkError;
                if (!result) return kPeerfetchNetworkError;
                continue;  // ask again: the data is buffered now
            }
            if (sink->available == 0) break;  // end of the response
        }

        memset(&sink->ib, 0, sizeof(sink->ib));
        sink->ib.dwStructSize = sizeof(sink->ib);
        sink->ib.lpvBuffer = sink->data + d.filled;
        sink->ib.dwBufferLength = kReadBuffer - d.filled;
        resetAsync(t);
        // Only what is there already: WinINet answers at once with what it
        // has buffered and what the socket holds.
        if (!InternetReadFileExW(request, &sink->ib, IRF_NO_WAIT, reinterpret_cast<DWORD_PTR>(t))) {
            if (GetLastError() != ERROR_IO_PENDING) return kPeerfetchNetworkError;
            // Nothing there after all. The completion means that data has
            // arrived; it is taken by the next read.
            WaitResult w = waitAsync(t, lastByte, &result, true);
            if (w == kCancelled) return kPeerfetchStopped;
            if (w == kStalled) return kPeerfetchNetworkError;
            if (!result) return kPeerfetchNetworkError;
            mayHaveMore = true;
            continue;
        }
        DWORD got = sink->ib.dwBufferLength;
        mayHaveMore = got != 0;
        if (got == 0) continue;
        d.filled += got;
        if (d.filled == kReadBuffer && !d.flush()) return kPeerfetchFileError;
        downloaded += got;
        lastByte = GetTickCount64();
        EnterCriticalSection(&t->lock);
        t->downloaded = downloaded;
        LeaveCriticalSection(&t->lock);
    }
    if (!d.flush()) return kPeerfetchFileError;
    // A response cut short of its announced length is a network failure.
    if (total && downloaded != total) return kPeerfetchNetworkError;
    if (t->cancel) return kPeerfetchStopped;

    d.file.reset();
    if (!MoveFileExW(d.partPath, t->fullPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return kPeerfetchFileError;
    EnterCriticalSection(&t->lock);
    t->total = downloaded;
    t->downloaded = downloaded;
    LeaveCriticalSection(&t->lock);
    return kPeerfetchFinished;
}

DWORD WINAPI taskThread(void* arg) {
    Task* t = static_cast<Task*>(arg);
    int32_t code = runDownload(t);
    if (t->cancel) code = kPeerfetchStopped;
    closeInternet(t);
    setCode(t, code);
    return 0;
}

void freeTask(Task* t) {
    DeleteCriticalSection(&t->lock);
    free(t->url);
    free(t->fullPath);
    free(t->sink);  // null when handed over to WinINet; t->orphan is WinINet's
#ifdef PEERFETCH_TEST_HOOKS
    free(t->steps);
#endif
    delete t;
}

// Stops the task's thread; after it no code of the task runs. The thread
// only waits on events and gives a pending operation a moment to complete
// while its handles are still open, then detaches them.
void stopTask(Task* t) {
    InterlockedExchange(&t->cancel, 1);
    if (t->wake) SetEvent(t->wake.get());
    if (t->thread) {
        WaitForSingleObject(t->thread.get(), INFINITE);
        t->thread.reset();
    }
    closeInternet(t);
    // A callback that entered just before the handles were detached.
    for (int i = 0; i < 200 && t->callbacksRunning; ++i) Sleep(5);
}

}  // namespace

PEERFETCH_EXPORT PeerfetchHandle __stdcall PPStartTaskEx(const void* block, const wchar_t* fullPath,
                                                        uint32_t stallMs, uint32_t arg4, uint32_t arg5,
                                                        void* context, uint32_t arg7, uint32_t arg8) {
    if (!block) return 0;
    const unsigned char* view = static_cast<const unsigned char*>(block);
    const wchar_t* url = reinterpret_cast<const wchar_t*>(view + peerfetch_view::kUrl);
#ifdef PEERFETCH_TEST_HOOKS
    uint32_t words[5];
    for (int i = 0; i < 5; ++i) memcpy(&words[i], view + peerfetch_view::kOptionWords[i], 4);
    {
        wchar_t* u = copyText(url, PeerfetchTaskParams::kUrlChars - 1);
        wchar_t* n = copyText(reinterpret_cast<const wchar_t*>(view + peerfetch_view::kFileName),
                              PeerfetchTaskParams::kFileNameChars - 1);
        wchar_t* f = copyText(reinterpret_cast<const wchar_t*>(view + peerfetch_view::kFolder),
                              PeerfetchTaskParams::kFolderChars - 1);
        logCall(L"start next=%I64u fullPath=%ls stallMs=%u arg4=%u arg5=%u context=0x%I64x arg7=%u arg8=%u "
                L"options=%u,%u,%u,%u,%u url=%ls name=%ls folder=%ls",
                (unsigned long long)(g_lastHandle + 1), fullPath ? fullPath : L"(null)", stallMs, arg4, arg5,
                (unsigned long long)(uintptr_t)context, arg7, arg8, words[0], words[1], words[2], words[3],
                words[4], u ? u : L"", n ? n : L"", f ? f : L"");
        free(u);
        free(n);
        free(f);
    }
#else
    (void)arg4, (void)arg5, (void)context, (void)arg7, (void)arg8;
#endif
    if (!fullPath || !fullPath[0] || !url[0]) return 0;

    Task* t = new Task();
    InitializeCriticalSection(&t->lock);
    t->stallMs = stallMs;
    t->url = copyText(url, PeerfetchTaskParams::kUrlChars - 1);
    t->fullPath = copyText(fullPath, 32767);
    t->sink = static_cast<AsyncSink*>(calloc(1, sizeof(AsyncSink)));
    t->wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!t->url || !t->fullPath || !t->sink || !t->wake) {
        freeTask(t);
        return 0;
    }

    bool ok = false;
#ifdef PEERFETCH_TEST_HOOKS
    if (startsWith(t->url, L"fake:")) {
        const wchar_t* what = t->url + 5;
        if (startsWith(what, L"seq=")) {
            ok = parseFakeSteps(t, what + 4);
        } else if (wcscmp(what, L"nonul") == 0) {
            t->nonul = true;
            ok = true;
        }
        t->fake = true;  // "fake:refuse" and unknown words fail the start
    } else if (wchar_t* other = saveAsPath(t->url, t->fullPath)) {
        free(t->fullPath);
        t->fullPath = other;
    }
#endif
    bool web = startsWith(t->url, L"http://") || startsWith(t->url, L"https://");
    if (web) {
        // The destination folder must exist.
        const wchar_t* slash = wcsrchr(t->fullPath, L'\\');
        if (slash && slash != t->fullPath) {
            size_t n = (size_t)(slash - t->fullPath);
            wchar_t* folder = copyText(t->fullPath, n);
            DWORD attrs = folder ? GetFileAttributesW(folder) : INVALID_FILE_ATTRIBUTES;
            ok = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
            free(folder);
        }
    }
    if (!ok) {
        freeTask(t);
        return 0;
    }

    AcquireSRWLockExclusive(&g_tableLock);
    t->handle = ++g_lastHandle;
    t->next = g_tasks;
    g_tasks = t;
    ReleaseSRWLockExclusive(&g_tableLock);

    if (web) {
        // WinINet may finish an operation that a stopped task gave up on after
        // this library is gone; it must not be unloaded under its own worker.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"wininet.dll", &pinned);
        t->thread.reset(CreateThread(nullptr, 0, taskThread, t, 0, nullptr));
        if (!t->thread) setCode(t, kPeerfetchNetworkError);
    }
    return t->handle;
}

PEERFETCH_EXPORT int __stdcall PPQueryTaskEx(PeerfetchHandle handle, PeerfetchTaskStatus* status) {
    Task* t = findTask(handle);
    int result = 0;
    if (t && status) {
        result = 1;
        EnterCriticalSection(&t->lock);
        uint64_t total = t->total, downloaded = t->downloaded;
        int32_t code = t->code;
#ifdef PEERFETCH_TEST_HOOKS
        if (t->fake && t->stepCount) {
            const FakeStep& s = t->steps[t->stepIndex];
            if (t->stepIndex + 1 < t->stepCount) ++t->stepIndex;
            if (s.queryFails) result = 0;
            total = s.total;
            downloaded = s.downloaded;
            code = s.code;
        }
#endif
        if (result) {
            memcpy(reinterpret_cast<char*>(status) + 0, &total, 8);
            memcpy(reinterpret_cast<char*>(status) + 8, &downloaded, 8);
            memcpy(reinterpret_cast<char*>(status) + 44, &code, 4);
            wchar_t* text = status->fileText;
            const size_t room = PeerfetchTaskStatus::kFileTextChars;
#ifdef PEERFETCH_TEST_HOOKS
            if (t->nonul) {
                for (size_t i = 0; i < room; ++i) text[i] = L'a' + (wchar_t)(i % 26);
            } else
#endif
            {
                size_t n = wcslen(t->fullPath);
                if (n > room - 1) n = room - 1;
                memcpy(text, t->fullPath, n * sizeof(wchar_t));
                text[n] = 0;
            }
        }
        LeaveCriticalSection(&t->lock);
    }
#ifdef PEERFETCH_TEST_HOOKS
    logCall(L"query handle=%I64u result=%d", (unsigned long long)handle, result);
#endif
    return result;
}

PEERFETCH_EXPORT int __stdcall PPStopTask(PeerfetchHandle handle) {
    Task* t = findTask(handle);
    if (t) stopTask(t);
#ifdef PEERFETCH_TEST_HOOKS
    logCall(L"stop handle=%I64u result=%d", (unsigned long long)handle, t ? 1 : 0);
#endif
    return t ? 1 : 0;
}

PEERFETCH_EXPORT int __stdcall PPRemoveTask(PeerfetchHandle handle) {
    AcquireSRWLockExclusive(&g_tableLock);
    Task** link = &g_tasks;
    while (*link && (*link)->handle != handle) link = &(*link)->next;
    Task* t = *link;
    if (t) *link = t->next;
    ReleaseSRWLockExclusive(&g_tableLock);
    if (t) {
        stopTask(t);
        freeTask(t);
    }
#ifdef PEERFETCH_TEST_HOOKS
    logCall(L"remove handle=%I64u result=%d", (unsigned long long)handle, t ? 1 : 0);
#endif
    return t ? 1 : 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
#ifdef PEERFETCH_TEST_HOOKS
        logCall(L"attach pid=%lu", GetCurrentProcessId());
#endif
    }
    return TRUE;
}
