#include "app/ui/images.h"

#include <gdiplus.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "services/log.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace {

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
            ScopedGdiObject<HBITMAP> bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
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
                *out = bitmap.release();  // the caller's now
                ok = true;
            }
        }
        picture.UnlockBits(&locked);
    }
    return ok;
}

// Reads a whole file of at most maxBytes.
bool readPictureFile(const std::wstring& path, DWORD maxBytes, std::vector<BYTE>& bytes) {
    if (path.empty()) return false;
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bool ok = false;
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
        size.QuadPart <= static_cast<LONGLONG>(maxBytes)) {
        try {
            bytes.resize(static_cast<size_t>(size.QuadPart));
            DWORD total = 0;
            ok = true;
            while (total < bytes.size()) {
                DWORD got = 0;
                if (!ReadFile(file.get(), bytes.data() + total, static_cast<DWORD>(bytes.size() - total), &got,
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
