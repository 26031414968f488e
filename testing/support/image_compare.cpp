#include "testing/support/image_compare.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>

#include "testing/support/test_support.h"

namespace tst {

namespace {

// The w x h pixels at (x, y) of a device context, opaque.
Image captureFromDc(HDC source, int x, int y, int w, int h, DWORD rop) {
    Image img;
    if (!source || w <= 0 || h <= 0) return img;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(source, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC mem = CreateCompatibleDC(source);
    if (dib && mem && bits) {
        HGDIOBJ old = SelectObject(mem, dib);
        if (BitBlt(mem, 0, 0, w, h, source, x, y, rop)) {
            GdiFlush();
            img.width = w;
            img.height = h;
            img.pixels.assign(static_cast<uint32_t*>(bits), static_cast<uint32_t*>(bits) + (size_t)w * h);
            for (uint32_t& p : img.pixels) p |= 0xFF000000u;  // what shows is opaque
        }
        SelectObject(mem, old);
    }
    if (mem) DeleteDC(mem);
    if (dib) DeleteObject(dib);
    return img;
}

}  // namespace

Image captureClient(HWND window) {
    RECT r;
    if (!GetClientRect(window, &r)) return Image();
    HDC wdc = GetDC(window);
    Image img = captureFromDc(wdc, 0, 0, r.right - r.left, r.bottom - r.top, SRCCOPY);
    if (wdc) ReleaseDC(window, wdc);
    return img;
}

Image captureScreen(const RECT& area) {
    HDC screen = GetDC(nullptr);
    Image img = captureFromDc(screen, area.left, area.top, area.right - area.left, area.bottom - area.top,
                              SRCCOPY | CAPTUREBLT);
    if (screen) ReleaseDC(nullptr, screen);
    return img;
}

bool readPng(const std::wstring& path, Image& out) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (png && info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_read_info(png, info);
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
        png_read_update_info(png, info);
        const int w = (int)png_get_image_width(png, info), h = (int)png_get_image_height(png, info);
        std::vector<png_byte> data((size_t)w * h * 4);
        std::vector<png_bytep> rows(h);
        for (int y = 0; y < h; ++y) rows[y] = &data[(size_t)y * w * 4];
        png_read_image(png, rows.data());
        out.width = w;
        out.height = h;
        out.pixels.resize((size_t)w * h);
        for (size_t i = 0; i < out.pixels.size(); ++i) {
            const png_byte* p = &data[i * 4];
            out.pixels[i] = ((uint32_t)p[3] << 24) | ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
        }
        ok = true;
    }
    png_destroy_read_struct(png ? &png : nullptr, info ? &info : nullptr, nullptr);
    fclose(f);
    return ok;
}

bool writePng(const std::wstring& path, const Image& image) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (png && info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        std::vector<png_byte> row((size_t)image.width * 4);
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                uint32_t p = image.at(x, y);
                row[x * 4 + 0] = (p >> 16) & 0xFF;
                row[x * 4 + 1] = (p >> 8) & 0xFF;
                row[x * 4 + 2] = p & 0xFF;
                row[x * 4 + 3] = (p >> 24) & 0xFF;
            }
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    fclose(f);
    return ok;
}

namespace {

bool differs(uint32_t a, uint32_t b) {
    for (int shift = 0; shift < 32; shift += 8) {
        int ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
        if (std::abs(ca - cb) > 4) return true;
    }
    return false;
}

std::wstring referencePath(const std::string& name) {
    std::string unix = testingDirUnix() + "/dialog_refs/" + name + ".png";
    std::wstring path = L"Z:" + widen(unix);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

}  // namespace

Comparison compareImages(const Image& actual, const Image& expected, const std::vector<RECT>& strict) {
    Comparison c;
    c.sameSize = actual.width == expected.width && actual.height == expected.height && actual.width > 0;
    if (!c.sameSize) return c;
    c.diff = actual;
    for (int y = 0; y < actual.height; ++y) {
        for (int x = 0; x < actual.width; ++x) {
            const uint32_t a = actual.at(x, y), e = expected.at(x, y);
            uint32_t& d = c.diff.pixels[(size_t)y * actual.width + x];
            if (!differs(a | 0xFF000000u, e | 0xFF000000u)) {
                d = 0xFF000000u | ((a >> 2) & 0x3F3F3F);
                continue;
            }
            d = 0xFFFF0000u;
            bool inStrict = false;
            POINT pt = {x, y};
            for (const RECT& r : strict) inStrict = inStrict || PtInRect(&r, pt);
            if (inStrict)
                ++c.strictDiffs;
            else
                ++c.looseDiffs;
        }
    }
    return c;
}

std::string checkReference(const std::string& name, const Image& actual, const std::vector<RECT>& strict,
                           const std::wstring& scratchFolder) {
    const std::wstring ref = referencePath(name);
    if (actual.width == 0) return "nothing was captured for " + name;
    const char* update = getenv("TARVO_UPDATE_REFERENCES");
    if (update && std::string(update) == "1") {
        if (!writePng(ref, actual)) return "could not write " + narrow(ref);
        return std::string();
    }
    Image expected;
    if (!readPng(ref, expected))
        return "reference " + narrow(ref) + " is missing: run scripts/update-dialog-references.sh";
    Comparison c = compareImages(actual, expected, strict);
    if (c.matches()) return std::string();
    const std::wstring actualPath = scratchFolder + L"\\" + widen(name) + L".actual.png";
    const std::wstring diffPath = scratchFolder + L"\\" + widen(name) + L".diff.png";
    writePng(actualPath, actual);
    if (c.sameSize) writePng(diffPath, c.diff);
    std::string text = name + " differs from its reference";
    if (!c.sameSize)
        text += " in size (" + std::to_string(actual.width) + "x" + std::to_string(actual.height) + " against " +
                std::to_string(expected.width) + "x" + std::to_string(expected.height) + ")";
    else
        text += ": " + std::to_string(c.strictDiffs) + " pixels in the status and bar, " +
                std::to_string(c.looseDiffs) + " elsewhere";
    return text + "; actual " + narrow(actualPath) + ", diff " + narrow(diffPath);
}

}  // namespace tst
