// Shared by the picture, download and button tests: the picture fixtures, pixel
// access to 32-bpp bitmaps, and the loader log's new lines.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "services/loader_env.h"
#include "testing/support/test_support.h"

namespace uitest {

// The dialog's own generated pictures (testing/ui_pictures), beside the test
// program; the shared ones are tst::picturePath.
inline std::wstring picture(const std::wstring& name) { return tst::binDir() + L"\\ui_pictures\\" + name; }

// B, G, R, A of one pixel of a 32-bpp top-down DIB section.
inline uint32_t pixelOf(HBITMAP bitmap, int x, int y) {
    DIBSECTION ds = {};
    if (GetObjectW(bitmap, sizeof(ds), &ds) != sizeof(ds) || !ds.dsBm.bmBits) return 0xDEADBEEF;
    const BYTE* row = static_cast<const BYTE*>(ds.dsBm.bmBits) + static_cast<size_t>(ds.dsBm.bmWidthBytes) * y;
    const BYTE* p = row + x * 4;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A white 32-bpp canvas selected into a memory DC.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        dc_ = CreateCompatibleDC(nullptr);
        old_ = SelectObject(dc_, bitmap_);
        for (int i = 0; i < width * height; ++i) bits_[i] = 0xFFFFFFFFu;
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // 0xRRGGBB of a pixel (alpha dropped).
    uint32_t rgb(int x, int y) const {
        GdiFlush();
        return bits_[static_cast<size_t>(y) * width_ + x] & 0xFFFFFFu;
    }
    bool allWhite() const {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                if (rgb(x, y) != 0xFFFFFF) return false;
        return true;
    }

private:
    int width_, height_;
    HBITMAP bitmap_ = nullptr;
    uint32_t* bits_ = nullptr;
    HDC dc_ = nullptr;
    HGDIOBJ old_ = nullptr;
};

// The lines this test program adds to its log from now on.
class LogTail {
public:
    LogTail() : path_(logPath()) {
        std::string bytes;
        if (tst::readFile(path_, bytes)) offset_ = bytes.size();
    }
    std::string text() const {
        std::string bytes;
        tst::readFile(path_, bytes);
        return bytes.size() > offset_ ? bytes.substr(offset_) : std::string();
    }
    // A line whose text (after the time stamp) is exactly `line`.
    bool hasLine(const std::string& line) const {
        const std::string all = text();
        for (size_t at = all.find(", , " + line); at != std::string::npos; at = all.find(", , " + line, at + 1)) {
            const size_t end = at + 4 + line.size();
            if (end == all.size() || all[end] == '\r' || all[end] == '\n') return true;
        }
        return false;
    }

private:
    static std::wstring logPath() {
        wchar_t module[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, module, MAX_PATH);
        std::wstring name = module;
        name = name.substr(name.find_last_of(L'\\') + 1);
        name = name.substr(0, name.find_last_of(L'.'));
        return getLogFolder() + L"\\" + name + L".log";
    }
    std::wstring path_;
    size_t offset_ = 0;
};

}  // namespace uitest
