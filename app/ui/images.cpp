#include "app/ui/images.h"

#include <iphlpapi.h>
#include <gdiplus.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <mutex>
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

// ---------------------------------------------------------------------------
// Pictures

void startGdiplusOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Never shut down: bitmaps made from it may live until the process ends.
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    });
}

// A read-only stream over bytes that stay owned by the caller (a locked
// resource or a file read into memory); lives on the caller's stack.
class ByteStream : public IStream {
public:
    ByteStream(const BYTE* data, size_t size) : data_(data), size_(size) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
            *object = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs_); }

    STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override {
        size_t left = size_ - position_;
        ULONG n = count < left ? count : static_cast<ULONG>(left);
        if (n) std::memcpy(buffer, data_ + position_, n);
        position_ += n;
        if (read) *read = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        LONGLONG base = 0;
        if (origin == STREAM_SEEK_CUR) base = static_cast<LONGLONG>(position_);
        else if (origin == STREAM_SEEK_END) base = static_cast<LONGLONG>(size_);
        else if (origin != STREAM_SEEK_SET) return STG_E_INVALIDFUNCTION;
        LONGLONG target = base + move.QuadPart;
        if (target < 0 || target > static_cast<LONGLONG>(size_)) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<size_t>(target);
        if (newPosition) newPosition->QuadPart = position_;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
        if (!stat) return STG_E_INVALIDPOINTER;
        std::memset(stat, 0, sizeof(*stat));
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = size_;
        stat->grfMode = STGM_READ;
        return S_OK;
    }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    const BYTE* data_;
    size_t size_;
    size_t position_ = 0;
    LONG refs_ = 1;
};

uint32_t bigEndian32(const BYTE* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A PNG whose first chunk is an IHDR of at most maxDimension pixels each way,
// and whose chunks are whole, with good CRCs, up to IEND. Refuses before
// anything is decoded: a tiny file can announce gigabytes, and the decoder
// takes a damaged chunk as it stands.
bool isAcceptablePng(const BYTE* data, size_t size, UINT maxDimension) {
    static const BYTE kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size < 8 + 8 + 13 + 4) return false;
    if (std::memcmp(data, kSignature, 8) != 0) return false;
    if (bigEndian32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0) return false;
    const uint32_t width = bigEndian32(data + 16);
    const uint32_t height = bigEndian32(data + 20);
    if (width < 1 || height < 1 || width > maxDimension || height > maxDimension) return false;

    size_t at = 8;
    while (size - at >= 12) {
        const uint32_t length = bigEndian32(data + at);
        if (length > size - at - 12) return false;
        const BYTE* type = data + at + 4;
        const uLong crc = crc32(0L, type, static_cast<uInt>(length + 4));
        if (crc != bigEndian32(type + 4 + length)) return false;
        if (std::memcmp(type, "IEND", 4) == 0) return true;
        at += 12 + length;
    }
    return false;
}

enum class PictureKind { Png, Any };

// Decodes checked bytes. With `out`, makes the caller's bitmap: a 32-bpp
// top-down DIB section with each colour pre-multiplied by its alpha, which is
// what AlphaBlend with AC_SRC_ALPHA expects.
bool decodePicture(const BYTE* data, size_t size, PictureKind kind, UINT maxDimension,
                   DWORD maxBytes, HBITMAP* out) {
    if (!data || size == 0 || size > maxBytes) return false;
    if (kind == PictureKind::Png && !isAcceptablePng(data, size, maxDimension)) return false;
    startGdiplusOnce();

    ByteStream stream(data, size);
    bool ok = false;
    {
        Gdiplus::Bitmap picture(&stream, FALSE);
        if (picture.GetLastStatus() != Gdiplus::Ok) return false;
        const UINT width = picture.GetWidth();
        const UINT height = picture.GetHeight();
        if (width == 0 || height == 0) return false;
        // The product's own JPG and WEBP resources skip the header check; their
        // size still has to fit a bitmap of the same limits.
        if (kind == PictureKind::Any && (width > maxDimension || height > maxDimension)) return false;

        Gdiplus::Rect whole(0, 0, static_cast<INT>(width), static_cast<INT>(height));
        Gdiplus::BitmapData locked = {};
        if (picture.LockBits(&whole, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &locked) !=
            Gdiplus::Ok)
            return false;

        if (!out) {
            ok = true;
        } else {
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof(info.bmiHeader);
            info.bmiHeader.biWidth = static_cast<LONG>(width);
            info.bmiHeader.biHeight = -static_cast<LONG>(height);
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            info.bmiHeader.biCompression = BI_RGB;
            void* bits = nullptr;
            HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
            if (bitmap && bits) {
                for (UINT y = 0; y < height; ++y) {
                    const BYTE* from = static_cast<const BYTE*>(locked.Scan0) +
                                       static_cast<INT_PTR>(locked.Stride) * y;
                    BYTE* to = static_cast<BYTE*>(bits) + static_cast<size_t>(width) * 4 * y;
                    for (UINT x = 0; x < width; ++x, from += 4, to += 4) {
                        const unsigned a = from[3];
                        to[0] = static_cast<BYTE>((from[0] * a + 127) / 255);
                        to[1] = static_cast<BYTE>((from[1] * a + 127) / 255);
                        to[2] = static_cast<BYTE>((from[2] * a + 127) / 255);
                        to[3] = static_cast<BYTE>(a);
                    }
                }
                GdiFlush();
                *out = bitmap;
                ok = true;
            } else if (bitmap) {
                DeleteObject(bitmap);
            }
        }
        picture.UnlockBits(&locked);
    }
    return ok;
}

// Reads a whole file of at most maxBytes.
bool readPictureFile(const std::wstring& path, DWORD maxBytes, std::vector<BYTE>& bytes) {
    if (path.empty()) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
        size.QuadPart <= static_cast<LONGLONG>(maxBytes)) {
        try {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            DWORD total = 0;
            ok = true;
            while (total < bytes.size()) {
                DWORD got = 0;
                if (!ReadFile(file, bytes.data() + total, static_cast<DWORD>(bytes.size() - total), &got,
                              nullptr) ||
                    got == 0) {
                    ok = false;
                    break;
                }
                total += got;
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    CloseHandle(file);
    return ok;
}

bool loadFilePicture(const std::wstring& path, UINT maxDimension, DWORD maxBytes, HBITMAP* out) {
    std::vector<BYTE> bytes;
    if (!readPictureFile(path, maxBytes, bytes)) return false;
    // Files come from the network: only PNG.
    return decodePicture(bytes.data(), bytes.size(), PictureKind::Png, maxDimension, maxBytes, out);
}

bool sameTypeName(LPCWSTR a, LPCWSTR b) {
    if (IS_INTRESOURCE(a) || IS_INTRESOURCE(b)) return a == b;
    return lstrcmpiW(a, b) == 0;
}

HBITMAP loadResourcePicture(LPCWSTR picture, LPCWSTR type, UINT maxDimension, DWORD maxBytes) {
    HMODULE module = GetModuleHandleW(nullptr);
    if (!type || type == RT_BITMAP)
        return static_cast<HBITMAP>(LoadImageW(module, picture, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));

    // Type names match without regard to case, so "png" and "PNG" are one lookup.
    const LPCWSTR types[] = {type, L"PNG", L"JPG", L"WEBP"};
    for (LPCWSTR candidate : types) {
        HRSRC found = FindResourceW(module, picture, candidate);
        if (!found) continue;
        const DWORD size = SizeofResource(module, found);
        HGLOBAL loaded = LoadResource(module, found);
        const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
        if (!bytes || size == 0 || size > maxBytes) return nullptr;
        const PictureKind kind = sameTypeName(candidate, L"JPG") || sameTypeName(candidate, L"WEBP")
                                     ? PictureKind::Any
                                     : PictureKind::Png;
        HBITMAP bitmap = nullptr;
        return decodePicture(bytes, size, kind, maxDimension, maxBytes, &bitmap) ? bitmap : nullptr;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Network check

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

HBITMAP loadImage(LPCWSTR picture, LPCWSTR type, UINT maxDimension, DWORD maxBytes) {
    if (IS_INTRESOURCE(picture)) {
        HBITMAP bitmap = loadResourcePicture(picture, type, maxDimension, maxBytes);
        if (!bitmap)
            logPrintf("picture resource %u not loaded",
                      static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(picture)));
        return bitmap;
    }
    HBITMAP bitmap = nullptr;
    if (!picture || !loadFilePicture(picture, maxDimension, maxBytes, &bitmap)) {
        logPrintf("picture not loaded: %s", picture ? wideToAnsi(picture).c_str() : "");
        return nullptr;
    }
    return bitmap;
}

bool isLoadablePicture(const std::wstring& path, UINT maxDimension, DWORD maxBytes) {
    return loadFilePicture(path, maxDimension, maxBytes, nullptr);
}

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
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        logDownloadFailure(url, 0, HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }

    CUrlMonToFileAdapter* adapter = new (std::nothrow) CUrlMonToFileAdapter(file, maxBytes);
    if (!adapter) {
        CloseHandle(file);
        DeleteFileW(path.c_str());
        logDownloadFailure(url, 0, E_OUTOFMEMORY);
        return false;
    }
    adapter->AddRef();
    const bool ok = adapter->download(url, nullptr, 0, timeoutMs);
    const DWORD status = adapter->getResponseCode();
    const HRESULT result = adapter->getResult();
    // download() leaves the adapter stopped in every case, its file closed.
    adapter->Release();
    if (!ok) {
        // A failed or cut download would show as a blank slide.
        DeleteFileW(path.c_str());
        logDownloadFailure(url, status, result);
    }
    return ok;
}

CUrlMonAdapter::CUrlMonAdapter() = default;

CUrlMonAdapter::~CUrlMonAdapter() {
    if (stream) stream->Release();
    if (binding) binding->Release();
    freePostData();
    if (doneEvent) CloseHandle(doneEvent);
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
    if (stream) {
        stream->Release();
        stream = nullptr;
    }
    if (binding) {
        binding->Release();
        binding = nullptr;
    }
    if (doneEvent) SetEvent(doneEvent);
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
    if (!doneEvent) doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!doneEvent) {
        markStopped(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    ResetEvent(doneEvent);
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

    IMoniker* moniker = nullptr;
    IBindCtx* context = nullptr;
    HRESULT hr = CreateURLMoniker(nullptr, url.c_str(), &moniker);
    if (SUCCEEDED(hr)) hr = CreateBindCtx(0, &context);
    bool registered = false;
    if (SUCCEEDED(hr)) {
        IBindStatusCallback* previous = nullptr;
        hr = RegisterBindStatusCallback(context, static_cast<IBindStatusCallback*>(this), &previous, 0);
        if (previous) previous->Release();
        registered = SUCCEEDED(hr);
    }
    if (SUCCEEDED(hr)) {
        IUnknown* object = nullptr;
        hr = moniker->BindToStorage(context, nullptr, IID_IStream, reinterpret_cast<void**>(&object));
        if (object) object->Release();
    }

    bool quit = false;
    WPARAM quitCode = 0;
    bool gaveUp = false;
    if (FAILED(hr)) {
        markStopped(hr);
    } else if (!done) {
        waitUntil(doneEvent, start, timeoutMs, done, quit, quitCode);
        if (!done) {
            gaveUp = true;
            // Deadline: end the binding, give it a moment to say so, then count
            // it as stopped whatever it does later.
            if (binding) binding->Abort();
            waitUntil(doneEvent, GetTickCount(), 1000, done, quit, quitCode);
            markStopped(E_ABORT);
        }
    }
    if (!done) markStopped(E_ABORT);

    if (registered) RevokeBindStatusCallback(context, static_cast<IBindStatusCallback*>(this));
    if (context) context->Release();
    if (moniker) moniker->Release();
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
        binding = newBinding;
        binding->AddRef();
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

void CUrlMonToFileAdapter::onStopped() {
    if (file != INVALID_HANDLE_VALUE && file) CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
}

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
        stream = medium->pstm;
        stream->AddRef();
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
        const HRESULT hr = stream->Read(buffer, chunk, &got);
        if (got > 0) {
            if (got > capLeft) {
                delete[] buffer;
                overCap = true;
                return E_ABORT;
            }
            bytesRead += got;
            DWORD written = 0;
            if (file == INVALID_HANDLE_VALUE || !WriteFile(file, buffer, got, &written, nullptr) ||
                written != got)
                writeFailed = true;
        }
        delete[] buffer;
        if (hr == E_PENDING || hr == S_FALSE || FAILED(hr) || got == 0) break;
    }
    return S_OK;
}
