#include "app/ui/skin_download.h"

#include <iphlpapi.h>

#include <cstring>
#include <new>
#include <vector>

#include "services/com_init.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/string_util.h"

#ifdef TARVO_TEST_SEAMS
#include "app/seams.h"
#endif

namespace {

#ifdef TARVO_TEST_SEAMS
bool (*g_networkCheck)() = nullptr;
#endif

bool networkAvailableNow() {
#ifdef TARVO_TEST_SEAMS
    if (g_networkCheck) return g_networkCheck();
#endif
    return isNetworkAvailable();
}

bool isControlOrBlank(wchar_t c) { return c <= 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

bool startsWithAscii(const std::wstring& text, const char* prefix) {
    for (size_t i = 0; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(prefix[i])) return false;
    }
    return true;
}

// An address as it may stand in one log line: control characters become '?'.
std::string addressForLog(const std::wstring& url) {
    std::wstring text = url;
    for (wchar_t& c : text)
        if (c < 0x20 || c == 0x7F) c = L'?';
    return wideToAnsi(text);
}

void logRefused(const std::wstring& url) {
    logPrintf("picture download refused: %s", addressForLog(url).c_str());
}

void logDownloadFailure(const std::wstring& url, DWORD status, HRESULT result) {
    logPrintf("picture download failed: %s (status %lu, result 0x%08lx)", addressForLog(url).c_str(),
              static_cast<unsigned long>(status), static_cast<unsigned long>(result));
}

}  // namespace

// ---------------------------------------------------------------------------
// Network and folders

bool anyAdapterHasGateway(const _IP_ADAPTER_INFO* first) {
    for (const IP_ADAPTER_INFO* adapter = first; adapter; adapter = adapter->Next) {
        const char* gateway = adapter->GatewayList.IpAddress.String;
        // An adapter without a gateway reports "0.0.0.0".
        if (gateway[0] && std::strcmp(gateway, "0.0.0.0") != 0) return true;
    }
    return false;
}

bool isNetworkAvailable() {
    ULONG size = 648;
    std::vector<BYTE> buffer(size);
    DWORD rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (rc != ERROR_SUCCESS) return false;
    return anyAdapterHasGateway(reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()));
}

#ifdef TARVO_TEST_SEAMS
void setNetworkCheckForTests(bool (*check)()) { g_networkCheck = check; }
#endif

bool createDirectoryPath(const wchar_t* path) {
    if (!path || !*path) return false;
    return createDirectories(path).value();
}

bool createDirectoryPath(const std::wstring& path) { return createDirectoryPath(path.c_str()); }

// ---------------------------------------------------------------------------
// Download

bool isAcceptedDownloadAddress(const std::wstring& url) {
    if (url.size() > 2048) return false;
    if (!startsWithAscii(url, "http://") && !startsWithAscii(url, "https://")) return false;
    for (wchar_t c : url)
        if (isControlOrBlank(c)) return false;
    return true;
}

bool downloadUrlToFile(const std::wstring& url, const std::wstring& folder, const std::wstring& path,
                       DWORD timeoutMs, DWORD maxBytes) {
    // The loader runs elevated: a "file:" or UNC address would copy any file it
    // can read into the user's picture folder.
    if (!isAcceptedDownloadAddress(url)) {
        logRefused(url);
        return false;
    }
    // The picture thread has no COM of its own.
    ComInitGuard com;

    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) createDirectoryPath(folder);
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        logDownloadFailure(url, 0, HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }

    ScopedComPtr<CUrlMonToFileAdapter> adapter(new (std::nothrow) CUrlMonToFileAdapter(file.get(), maxBytes));
    if (!adapter) {
        file.reset();
        DeleteFileW(path.c_str());
        logDownloadFailure(url, 0, E_OUTOFMEMORY);
        return false;
    }
    file.release();  // the adapter owns the file now
    adapter.get()->AddRef();
    const bool ok = adapter.get()->download(url, nullptr, 0, timeoutMs);
    const DWORD status = adapter.get()->getResponseCode();
    const HRESULT result = adapter.get()->getResult();
    // download() leaves the adapter stopped in every case, its file closed.
    adapter.reset();
    if (!ok) {
        // A failed or cut download would show as a blank slide.
        DeleteFileW(path.c_str());
        logDownloadFailure(url, status, result);
    }
    return ok;
}

CUrlMonAdapter::CUrlMonAdapter() = default;

CUrlMonAdapter::~CUrlMonAdapter() {
    stream.reset();
    binding.reset();
    freePostData();
}

void CUrlMonAdapter::freePostData() {
    if (postData) GlobalFree(postData);
    postData = nullptr;
    postSize = 0;
}

void CUrlMonAdapter::markStopped(HRESULT status) {
    if (!done) {
        done = true;
        result = status;
    }
    // The file form closes its file before the stream goes.
    onStopped();
    stream.reset();
    binding.reset();
    if (doneEvent) SetEvent(doneEvent.get());
}

bool CUrlMonAdapter::succeeded() const {
    return done && SUCCEEDED(result) && responseCode == 200 && transferComplete();
}

namespace {

// Dispatches what is queued for this thread. A WM_QUIT is kept for the caller's
// own loop.
void dispatchPending(bool& quit, WPARAM& quitCode) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            quitCode = msg.wParam;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Waits for the event until `deadline` (a GetTickCount value), dispatching
// messages meanwhile; messages never move the deadline.
void waitUntil(HANDLE event, DWORD start, DWORD limit, const bool& done, bool& quit, WPARAM& quitCode) {
    for (;;) {
        if (done) return;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= limit) return;
        const DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, limit - elapsed,
                                                  QS_POSTMESSAGE | QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0 + 1) {
            dispatchPending(quit, quitCode);
            continue;
        }
        return;
    }
}

}  // namespace

bool CUrlMonAdapter::download(const std::wstring& url, const void* data, DWORD size, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    if (!doneEvent) doneEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!doneEvent) {
        markStopped(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    ResetEvent(doneEvent.get());
    done = false;
    result = S_OK;
    responseCode = 0;
    announcedLength = 0;

    if (!isAcceptedDownloadAddress(url)) {
        logRefused(url);
        markStopped(E_INVALIDARG);
        return false;
    }
    if (!networkAvailableNow()) {
        markStopped(INET_E_CONNECTION_TIMEOUT);
        return false;
    }

    freePostData();
    bindVerb = BINDVERB_GET;
    if (data && size) {
        postData = GlobalAlloc(GMEM_FIXED, size);
        if (!postData) {
            markStopped(E_OUTOFMEMORY);
            return false;
        }
        std::memcpy(postData, data, size);
        postSize = size;
        bindVerb = BINDVERB_POST;
    }

    ScopedComPtr<IMoniker> moniker;
    ScopedComPtr<IBindCtx> context;
    HRESULT hr = CreateURLMoniker(nullptr, url.c_str(), moniker.receive());
    if (SUCCEEDED(hr)) hr = CreateBindCtx(0, context.receive());
    bool registered = false;
    if (SUCCEEDED(hr)) {
        ScopedComPtr<IBindStatusCallback> previous;
        hr = RegisterBindStatusCallback(context.get(), static_cast<IBindStatusCallback*>(this), previous.receive(),
                                        0);
        registered = SUCCEEDED(hr);
    }
    if (SUCCEEDED(hr)) {
        ScopedComPtr<IUnknown> object;
        hr = moniker.get()->BindToStorage(context.get(), nullptr, IID_IStream,
                                          reinterpret_cast<void**>(object.receive()));
    }

    bool quit = false;
    WPARAM quitCode = 0;
    bool gaveUp = false;
    if (FAILED(hr)) {
        markStopped(hr);
    } else if (!done) {
        waitUntil(doneEvent.get(), start, timeoutMs, done, quit, quitCode);
        if (!done) {
            gaveUp = true;
            // Deadline: end the binding, give it a moment to say so, then count
            // it as stopped whatever it does later.
            if (binding) binding.get()->Abort();
            waitUntil(doneEvent.get(), GetTickCount(), 1000, done, quit, quitCode);
            markStopped(E_ABORT);
        }
    }
    if (!done) markStopped(E_ABORT);

    if (registered) RevokeBindStatusCallback(context.get(), static_cast<IBindStatusCallback*>(this));
    context.reset();
    moniker.reset();
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
    return !gaveUp && succeeded();
}

// ---------------------------------------------------------------------------
// COM side of the adapter

STDMETHODIMP CUrlMonAdapter::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IBindStatusCallback) {
        *object = static_cast<IBindStatusCallback*>(this);
    } else if (riid == IID_IHttpNegotiate) {
        *object = static_cast<IHttpNegotiate*>(this);
    } else if (riid == IID_IAuthenticate) {
        *object = static_cast<IAuthenticate*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CUrlMonAdapter::AddRef() {
    // The count before the increment.
    return static_cast<ULONG>(InterlockedIncrement(&refCount) - 1);
}

STDMETHODIMP_(ULONG) CUrlMonAdapter::Release() {
    const LONG left = InterlockedDecrement(&refCount);
    if (left == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left);
}

STDMETHODIMP CUrlMonAdapter::OnStartBinding(DWORD, IBinding* newBinding) {
    // Kept for the abort at the deadline.
    if (newBinding && !binding && !done) {
        newBinding->AddRef();
        binding.reset(newBinding);
    }
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::GetPriority(LONG* priority) {
    if (!priority) return E_INVALIDARG;
    *priority = 0;
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::OnLowResource(DWORD) { return S_OK; }

STDMETHODIMP CUrlMonAdapter::OnProgress(ULONG, ULONG progressMax, ULONG statusCode, LPCWSTR) {
    if ((statusCode == BINDSTATUS_BEGINDOWNLOADDATA || statusCode == BINDSTATUS_DOWNLOADINGDATA ||
         statusCode == BINDSTATUS_ENDDOWNLOADDATA) &&
        progressMax > announcedLength)
        announcedLength = progressMax;
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::OnStopBinding(HRESULT status, LPCWSTR) {
    markStopped(status);
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::GetBindInfo(DWORD* flags, BINDINFO* info) {
    if (!flags || !info) return E_INVALIDARG;
    // The system's cache may answer (forward/back).
    *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_FWD_BACK;
    const ULONG size = info->cbSize;
    std::memset(info, 0, size);
    info->cbSize = size;
    info->dwBindVerb = static_cast<DWORD>(bindVerb);
    if (bindVerb == BINDVERB_POST && postData) {
        // The request medium stays ours: URL monikers release it through us.
        info->stgmedData.tymed = TYMED_HGLOBAL;
        info->stgmedData.hGlobal = postData;
        info->stgmedData.pUnkForRelease = static_cast<IBindStatusCallback*>(this);
        AddRef();
        info->cbstgmedData = postSize;
    }
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::OnObjectAvailable(REFIID, IUnknown*) { return S_OK; }

STDMETHODIMP CUrlMonAdapter::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) {
    if (!additionalHeaders) return E_POINTER;
    *additionalHeaders = nullptr;
    if (bindVerb == BINDVERB_POST && postData) {
        static const wchar_t kHeader[] = L"Content-Type: application/x-www-form-urlencoded\r\n";
        LPWSTR text = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(kHeader)));
        if (!text) return E_OUTOFMEMORY;
        std::memcpy(text, kHeader, sizeof(kHeader));
        *additionalHeaders = text;
    }
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additionalHeaders) {
    responseCode = code;
    if (additionalHeaders) *additionalHeaders = nullptr;
    return S_OK;
}

STDMETHODIMP CUrlMonAdapter::Authenticate(HWND* window, LPWSTR* user, LPWSTR* password) {
    if (window) *window = nullptr;
    if (user) *user = nullptr;
    if (password) *password = nullptr;
    return S_OK;
}

// ---------------------------------------------------------------------------
// File form

CUrlMonToFileAdapter::CUrlMonToFileAdapter(HANDLE ownedFile, DWORD cap) : file(ownedFile), maxBytes(cap) {}

CUrlMonToFileAdapter::~CUrlMonToFileAdapter() { onStopped(); }

void CUrlMonToFileAdapter::onStopped() { file.reset(); }

bool CUrlMonToFileAdapter::transferComplete() const {
    if (overCap || writeFailed) return false;
    return announcedLength == 0 || bytesRead == announcedLength;
}

STDMETHODIMP CUrlMonToFileAdapter::OnDataAvailable(DWORD flags, DWORD available, FORMATETC*,
                                                   STGMEDIUM* medium) {
    // After the binding stopped (or was given up) nothing is written.
    if (done) return S_OK;
    if ((flags & BSCF_FIRSTDATANOTIFICATION) && medium && medium->tymed == TYMED_ISTREAM &&
        medium->pstm && !stream) {
        medium->pstm->AddRef();
        stream.reset(medium->pstm);
    }
    if (!stream) return S_OK;

    for (;;) {
        DWORD chunk = available > bytesRead ? available - bytesRead : 0;
        if (chunk < 4096) chunk = 4096;
        if (chunk > 0xA00000) chunk = 0xA00000;
        // One byte past the cap is enough to know it was passed.
        const DWORD capLeft = maxBytes > bytesRead ? maxBytes - bytesRead : 0;
        if (chunk > capLeft + 1) chunk = capLeft + 1;

        BYTE* buffer = new (std::nothrow) BYTE[chunk];
        if (!buffer) return E_OUTOFMEMORY;
        ULONG got = 0;
        const HRESULT hr = stream.get()->Read(buffer, chunk, &got);
        if (got > 0) {
            if (got > capLeft) {
                delete[] buffer;
                overCap = true;
                return E_ABORT;
            }
            bytesRead += got;
            DWORD written = 0;
            if (!file || !WriteFile(file.get(), buffer, got, &written, nullptr) ||
                written != got)
                writeFailed = true;
        }
        delete[] buffer;
        if (hr == E_PENDING || hr == S_FALSE || FAILED(hr) || got == 0) break;
    }
    return S_OK;
}
