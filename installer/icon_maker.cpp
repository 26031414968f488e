#include "installer/app_shortcuts.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "CImg.h"
#include "services/com_init.h"
#include "services/install_paths.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/png_decode.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/sys_util.h"

// CImg's limit must leave room for the icon maker's images on the 32-bit build.
static_assert(cimg_max_buf_size >= (16u << 20), "CImg's buffer limit is too small");

namespace {

const DWORD kMaxPngBytes = 8u * 1024 * 1024;
const DWORD kMaxBmpBytes = 16u * 1024 * 1024;

std::string printable(const std::wstring& path) { return wideToNarrow(path); }

// ------------------------------------------------------------------ files

class File {
public:
    File() = default;
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool create(const std::wstring& path, DWORD disposition = CREATE_ALWAYS) {
        h_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
        return h_.valid();
    }
    bool write(const void* data, size_t size) {
        DWORD done = 0;
        return size == 0 || (WriteFile(h_.get(), data, static_cast<DWORD>(size), &done, nullptr) && done == size);
    }
    bool seek(DWORD offset) {
        return SetFilePointer(h_.get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset;
    }
    DWORD position() { return SetFilePointer(h_.get(), 0, nullptr, FILE_CURRENT); }
    // Closes now, for the answer: a write can fail at the close.
    bool close() { return !h_ || CloseHandle(h_.release()) != FALSE; }

private:
    ScopedHandle h_;
};

enum class ReadResult { ok, cannotOpen, tooLarge, failed };

ReadResult readWholeFile(const std::wstring& path, DWORD maxBytes, std::vector<uint8_t>& out) {
    out.clear();
    ScopedHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return ReadResult::cannotOpen;
    ReadResult result = ReadResult::ok;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h.get(), &size)) {
        result = ReadResult::failed;
    } else if (size.QuadPart > maxBytes) {
        result = ReadResult::tooLarge;
    } else {
        try {
            out.resize(static_cast<size_t>(size.QuadPart));
            DWORD done = 0;
            if (!out.empty() && (!ReadFile(h.get(), out.data(), static_cast<DWORD>(out.size()), &done, nullptr) ||
                                 done != out.size()))
                result = ReadResult::failed;
        } catch (const std::bad_alloc&) {
            result = ReadResult::failed;
        }
    }
    h.reset();
    if (result != ReadResult::ok) out.clear();
    return result;
}

// Deletes a file when the scope ends, whatever happened in it.
class FileRemover {
public:
    explicit FileRemover(const std::wstring& path) : path_(path) {}
    ~FileRemover() {
        if (!path_.empty()) DeleteFileW(path_.c_str());
    }
    FileRemover(const FileRemover&) = delete;
    FileRemover& operator=(const FileRemover&) = delete;

private:
    std::wstring path_;
};

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// ------------------------------------------------------------------ packer

void print(const char* format, const std::wstring& path) {
    std::printf(format, printable(path).c_str());
    std::fflush(stdout);
}

// One image of the icon file: header, palette, pixels and mask, or false with
// its message printed.
bool iconImage(const std::wstring& bmpPath, const std::vector<uint8_t>& bmp, std::vector<uint8_t>& image,
               uint8_t& side, uint8_t& colourCount) {
    const size_t fileSize = bmp.size();
    if (fileSize < 54 || bmp[0] != 'B' || bmp[1] != 'M' || le32(&bmp[14]) != 40) {
        print("Couldn't read %s.\n", bmpPath);
        return false;
    }
    const int32_t width = static_cast<int32_t>(le32(&bmp[18]));
    const int32_t height = static_cast<int32_t>(le32(&bmp[22]));
    if (width != height || (width != 16 && width != 32 && width != 64)) {
        print("BMP's must be 16x16, 32x32, or 64x64: %s\n", bmpPath);
        return false;
    }
    const uint16_t planes = le16(&bmp[26]);
    const uint16_t bits = le16(&bmp[28]);
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) {
        print("Couldn't read %s.\n", bmpPath);
        return false;
    }
    if (le32(&bmp[30]) != 0) {
        print("BMP's cannot be compressed: %s\n", bmpPath);
        return false;
    }
    const uint32_t paletteSize = bits < 16 ? (1u << bits) : 0;
    uint32_t used = bits < 16 ? le32(&bmp[46]) : 0;
    if (bits < 16 && used == 0) used = paletteSize;
    const uint32_t rowBytes = ((static_cast<uint32_t>(width) * bits + 31) / 32) * 4;
    const uint32_t pixelBytes = rowBytes * static_cast<uint32_t>(height);
    const uint32_t pixelOffset = le32(&bmp[10]);
    if (used > paletteSize || 54 + used * 4 > fileSize || pixelOffset < 54 || pixelOffset > fileSize ||
        fileSize - pixelOffset < pixelBytes) {
        print("Couldn't read %s.\n", bmpPath);
        return false;
    }

    const uint32_t maskRowBytes = ((static_cast<uint32_t>(width) + 7) / 8 + 3) / 4 * 4;
    image.assign(40 + paletteSize * 4 + pixelBytes + maskRowBytes * static_cast<uint32_t>(height), 0);
    put32(&image[0], 40);
    put32(&image[4], static_cast<uint32_t>(width));
    put32(&image[8], static_cast<uint32_t>(height) * 2);
    put16(&image[12], planes);
    put16(&image[14], bits);
    std::memcpy(&image[40], &bmp[54], used * 4);
    std::memcpy(&image[40 + paletteSize * 4], &bmp[pixelOffset], pixelBytes);
    side = static_cast<uint8_t>(width);
    colourCount = bits < 8 ? static_cast<uint8_t>(1u << bits) : 0;
    return true;
}

bool packInto(File& out, const std::vector<std::wstring>& bitmapPaths) {
    const size_t count = bitmapPaths.size();
    std::vector<uint8_t> directory(6 + 16 * count, 0);
    put16(&directory[2], 1);
    put16(&directory[4], static_cast<uint32_t>(count));
    if (!out.write(directory.data(), directory.size())) return false;

    uint32_t offset = static_cast<uint32_t>(directory.size());
    for (size_t i = 0; i < count; ++i) {
        const std::wstring& path = bitmapPaths[i];
        print("Reading %s\n", path);
        std::vector<uint8_t> bmp;
        ReadResult read = readWholeFile(path, kMaxBmpBytes, bmp);
        if (read == ReadResult::cannotOpen) {
            print("Couldn't open %s for reading.\n", path);
            return false;
        }
        if (read != ReadResult::ok) {
            print("Couldn't read %s.\n", path);
            return false;
        }
        std::vector<uint8_t> image;
        uint8_t side = 0, colours = 0;
        if (!iconImage(path, bmp, image, side, colours)) return false;
        if (!out.write(image.data(), image.size())) return false;

        uint8_t* entry = &directory[6 + 16 * i];
        entry[0] = side;
        entry[1] = side;
        entry[2] = colours;
        put32(entry + 8, static_cast<uint32_t>(image.size()));
        put32(entry + 12, offset);
        offset += static_cast<uint32_t>(image.size());
    }
    return out.seek(0) && out.write(directory.data(), directory.size());
}

// ------------------------------------------------------------------ icon maker

// A 32-bit bottom-up bitmap of straight BGRA pixels (top row first in `rows`).
bool writeBgraBmp(const std::wstring& path, uint32_t side, const std::vector<uint8_t>& rows) {
    const uint32_t pixelBytes = side * side * 4;
    std::vector<uint8_t> head(54, 0);
    head[0] = 'B';
    head[1] = 'M';
    put32(&head[2], 54 + pixelBytes);
    put32(&head[10], 54);
    put32(&head[14], 40);
    put32(&head[18], side);
    put32(&head[22], side);
    put16(&head[26], 1);
    put16(&head[28], 32);
    put32(&head[34], pixelBytes);
    File file;
    if (!file.create(path) || !file.write(head.data(), head.size())) return false;
    for (uint32_t y = side; y-- > 0;)
        if (!file.write(&rows[y * side * 4], side * 4)) return false;
    return file.close();
}

// Scales straight BGRA pixels to side x side. The resize runs on premultiplied
// values so that the colour hidden under transparent pixels does not bleed into
// the edge of the picture.
bool scaleIcon(const PngPixels& png, uint32_t side, std::vector<uint8_t>& rows) {
    try {
        cimg_library::CImg<float> img(png.width, png.height, 1, 4);
        for (uint32_t y = 0; y < png.height; ++y) {
            const uint8_t* p = &png.bgra[static_cast<size_t>(y) * png.width * 4];
            for (uint32_t x = 0; x < png.width; ++x, p += 4) {
                const float a = p[3] / 255.0f;
                for (int c = 0; c < 3; ++c) img(x, y, 0, c) = p[c] * a;
                img(x, y, 0, 3) = p[3];
            }
        }
        img.resize(static_cast<int>(side), static_cast<int>(side), -100, -100, 3);
        rows.assign(static_cast<size_t>(side) * side * 4, 0);
        for (uint32_t y = 0; y < side; ++y) {
            for (uint32_t x = 0; x < side; ++x) {
                uint8_t* q = &rows[(static_cast<size_t>(y) * side + x) * 4];
                float a = img(x, y, 0, 3);
                a = a < 0 ? 0 : (a > 255 ? 255 : a);
                const uint8_t alpha = static_cast<uint8_t>(a + 0.5f);
                q[3] = alpha;
                if (alpha == 0) continue;
                for (int c = 0; c < 3; ++c) {
                    float v = img(x, y, 0, c) * 255.0f / a;
                    v = v < 0 ? 0 : (v > 255 ? 255 : v);
                    q[c] = static_cast<uint8_t>(v + 0.5f);
                }
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool makeIconImpl(const std::wstring& pngPath, const std::wstring& icoPath, int size) {
    if (size < 1 || size > 256) return false;
    std::vector<uint8_t> bytes;
    if (readWholeFile(pngPath, kMaxPngBytes, bytes) != ReadResult::ok) return false;
    PngPixels png;
    if (!decodePng(bytes.data(), bytes.size(), png)) return false;
    std::vector<uint8_t>().swap(bytes);

    ComInitGuard com;
    std::vector<uint8_t> rows;
    if (!scaleIcon(png, static_cast<uint32_t>(size), rows)) return false;
    PngPixels().bgra.swap(png.bgra);

    const std::wstring bmpPath = getTempFilePath();
    if (bmpPath.empty()) return false;
    FileRemover removeBmp(bmpPath);
    if (!writeBgraBmp(bmpPath, static_cast<uint32_t>(size), rows)) return false;
    return packIcon(icoPath, std::vector<std::wstring>(1, bmpPath));
}

}  // namespace

bool makeIcon(const std::wstring& pngPath, const std::wstring& icoPath, int size) {
    const bool ok = makeIconImpl(pngPath, icoPath, size);
    if (!ok) logPrintf("make icon failed: %s", printable(pngPath).c_str());
    return ok;
}

bool packIcon(const std::wstring& icoPath, const std::vector<std::wstring>& bitmapPaths) {
    const std::wstring part = icoPath + L".part";
    FileRemover removePart(part);  // after the file below is closed
    File out;
    // The app folder is the user's: an entry left under the name (a link too)
    // goes first, and the file is made new so that nothing is followed.
    removeEntry(part, true);
    if (!out.create(part, CREATE_NEW)) {
        print("Couldn't open file %s for writing.\n", icoPath);
        return false;
    }
    if (!packInto(out, bitmapPaths) || !out.close()) return false;
    return MoveFileExW(part.c_str(), icoPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}
