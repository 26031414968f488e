#pragma once

// The download of the channel's skin pictures through the system's URL
// monikers, and the network and folder checks it relies on.

#include <windows.h>
#include <objidl.h>
#include <urlmon.h>

#include <string>

#include "toolkit/scoped_handle.h"

// Size cap of one skin download.
constexpr DWORD kDownloadMaxBytes = 8u * 1024u * 1024u;

// True when some network adapter has a gateway (checked before each download).
bool isNetworkAvailable();
// The rule behind isNetworkAvailable, on an adapter list already read:
// a first gateway that is neither empty nor "0.0.0.0".
struct _IP_ADAPTER_INFO;
bool anyAdapterHasGateway(const _IP_ADAPTER_INFO* first);

// Creates the folder and each missing level above it, outer level first.
// False for a null or empty path and when a level cannot be made.
bool createDirectoryPath(const std::wstring& path);
bool createDirectoryPath(const wchar_t* path);

// Downloads an http:// or https:// address into `path` (its folder is made
// when missing), dispatching the calling thread's messages while it waits.
// `timeoutMs` is a deadline for the whole download. True only for a complete
// download with status 200; on false no file is left at `path`.
bool downloadUrlToFile(const std::wstring& url, const std::wstring& folder,
                       const std::wstring& path, DWORD timeoutMs,
                       DWORD maxBytes = kDownloadMaxBytes);

// True for an address a skin download may use: "http://" or "https://" (any
// case), at most 2048 characters, no control character or blank.
bool isAcceptedDownloadAddress(const std::wstring& url);

// Bind-status sink of one URL-moniker download. Reference counted: the
// creator takes its own reference after construction and releases it when
// done; URL monikers may hold theirs longer.
class CUrlMonAdapter : public IBindStatusCallback, public IHttpNegotiate, public IAuthenticate {
public:
    CUrlMonAdapter();
    CUrlMonAdapter(const CUrlMonAdapter&) = delete;
    CUrlMonAdapter& operator=(const CUrlMonAdapter&) = delete;

    // Starts the binding (GET, or POST with `data` of `size` bytes) and waits
    // until it stops or `timeoutMs` has passed since the call.
    bool download(const std::wstring& url, const void* data, DWORD size, DWORD timeoutMs);

    bool isDone() const { return done; }
    HRESULT getResult() const { return result; }
    DWORD getResponseCode() const { return responseCode; }
    // Largest length announced by the progress reports; 0 when none.
    ULONG getAnnouncedLength() const { return announcedLength; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
    STDMETHODIMP GetPriority(LONG* priority) override;
    STDMETHODIMP OnLowResource(DWORD reserved) override;
    STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                            LPCWSTR statusText) override;
    STDMETHODIMP OnStopBinding(HRESULT status, LPCWSTR error) override;
    STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override;
    STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                 STGMEDIUM* medium) override = 0;
    STDMETHODIMP OnObjectAvailable(REFIID riid, IUnknown* object) override;
    // IHttpNegotiate
    STDMETHODIMP BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved,
                                      LPWSTR* additionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD responseCode, LPCWSTR responseHeaders,
                            LPCWSTR requestHeaders, LPWSTR* additionalHeaders) override;
    // IAuthenticate
    STDMETHODIMP Authenticate(HWND* window, LPWSTR* user, LPWSTR* password) override;

protected:
    virtual ~CUrlMonAdapter();
    // Called once when the binding stops (or is given up): the file form
    // closes its file here.
    virtual void onStopped() {}
    // True when the data written so far makes a complete download.
    virtual bool transferComplete() const { return true; }

    void markStopped(HRESULT status);
    bool succeeded() const;
    void freePostData();

    bool done = false;
    HRESULT result = S_OK;
    LONG refCount = 0;
    int bindVerb = 0;
    HGLOBAL postData = nullptr;
    DWORD postSize = 0;
    DWORD responseCode = 0;
    ScopedHandle doneEvent;
    ScopedComPtr<IStream> stream;
    ScopedComPtr<IBinding> binding;
    ULONG announcedLength = 0;
};

// The file-writing form: writes the data into a file handle it owns (closed
// when the binding stops and in the destructor). Stops the binding once more
// than `maxBytes` arrive.
class CUrlMonToFileAdapter : public CUrlMonAdapter {
public:
    explicit CUrlMonToFileAdapter(HANDLE file, DWORD maxBytes = kDownloadMaxBytes);

    STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format,
                                 STGMEDIUM* medium) override;

    DWORD getBytesRead() const { return bytesRead; }
    bool capExceeded() const { return overCap; }

protected:
    ~CUrlMonToFileAdapter() override;
    void onStopped() override;
    bool transferComplete() const override;

    DWORD bytesRead = 0;
    ScopedHandle file;
    DWORD maxBytes = kDownloadMaxBytes;
    bool overCap = false;
    bool writeFailed = false;
};
