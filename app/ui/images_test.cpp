// Pictures from files and resources: the checks before decoding, the bitmap's
// layout and pre-multiplied pixels, and the type search of the resource road.
#include "app/ui/images.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/ui/ui_test_util.h"
#include "toolkit/string_util.h"

namespace {

using uitest::picture;
using uitest::pixelOf;

struct Layout {
    bool dib = false;
    int bpp = 0;
    LONG width = 0, height = 0;
};

Layout layoutOf(HBITMAP bitmap) {
    Layout l;
    DIBSECTION ds = {};
    if (GetObjectW(bitmap, sizeof(ds), &ds) == sizeof(ds)) {
        l.dib = ds.dsBm.bmBits != nullptr;
        l.bpp = ds.dsBm.bmBitsPixel;
        l.width = ds.dsBmih.biWidth;
        // Wine reports the height of a top-down section as positive; the rows'
        // order is checked on the pixels.
        l.height = ds.dsBmih.biHeight < 0 ? -ds.dsBmih.biHeight : ds.dsBmih.biHeight;
    }
    return l;
}

SIZE_T pagefileUsage() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

struct Probe {
    int x, y;
    uint32_t bgra;
};

std::wstring shared(const wchar_t* name) { return tst::picturePath(name); }

struct GoodCase {
    std::wstring file;
    LONG width, height;
    std::vector<Probe> probes;
};

TEST(Pictures, GoodFilesBecome32BitPremultipliedDibs) {
    const GoodCase cases[] = {
        {picture(L"rgba_4x2.png"), 4, 2, {{0, 0, 0x19326480}, {3, 1, 0x19326480}}},
        // Transparent red, opaque green, blue at alpha 0x80.
        {shared(L"palette_trns.png"), 16, 16, {{0, 0, 0x00000000}, {15, 0, 0x00FF00FF}, {15, 15, 0x80000080}}},
        {shared(L"gray.png"), 16, 16, {{0, 0, 0x808080FF}, {15, 15, 0x808080FF}}},
        {shared(L"rgba16.png"), 16, 16, {{0, 0, 0x0000FFFF}, {15, 15, 0x00000000}}},
        // Adam7: red, green over blue, white.
        {shared(L"interlaced.png"), 32, 32,
         {{0, 0, 0x0000FFFF}, {31, 0, 0x00FF00FF}, {0, 31, 0xFF0000FF}, {31, 31, 0xFFFFFFFF}, {17, 9, 0x00FF00FF}}},
        {shared(L"one_pixel.png"), 1, 1, {{0, 0, 0x00FF00FF}}},
        {shared(L"limit_2048x2048.png"), 2048, 2048, {{0, 0, 0x1E140AFF}, {2047, 2047, 0x1E140AFF}}},
        // Hidden blue under alpha 0 is gone.
        {shared(L"rgba_disk.png"), 128, 128, {{0, 0, 0x00000000}, {64, 64, 0x0000FFFF}}},
    };
    for (const GoodCase& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        EXPECT_TRUE(isLoadablePicture(c.file));
        HBITMAP bitmap = loadImage(c.file.c_str(), nullptr);
        ASSERT_NE(nullptr, bitmap);
        Layout l = layoutOf(bitmap);
        EXPECT_TRUE(l.dib);
        EXPECT_EQ(32, l.bpp);
        EXPECT_EQ(c.width, l.width);
        EXPECT_EQ(c.height, l.height);
        for (const Probe& p : c.probes) EXPECT_EQ(p.bgra, pixelOf(bitmap, p.x, p.y)) << p.x << "," << p.y;
        DeleteObject(bitmap);
    }
}

// The fixtures' pattern: straight (r, g, b, a) of pixel (x, y).
uint32_t premultipliedPattern(int x, int y) {
    const unsigned r = (x * 37 + y * 11) & 0xFF, g = (x * 5 + y * 29) & 0xFF, b = (x * y) & 0xFF;
    const unsigned a = (x + y) % 3 ? 255 : 96;
    auto pm = [a](unsigned c) { return (c * a + 127) / 255; };
    return (pm(b) << 24) | (pm(g) << 16) | (pm(r) << 8) | a;
}

TEST(Pictures, RowsRunTopDown) {
    HBITMAP bitmap = loadImage(picture(L"slide.png").c_str(), nullptr);
    ASSERT_NE(nullptr, bitmap);
    for (int y = 0; y < 48; y += 47)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(premultipliedPattern(x, y), pixelOf(bitmap, x, y)) << x << "," << y;
    DeleteObject(bitmap);
}

TEST(Pictures, PremultipliesEachChannelWithRounding) {
    // Gray pixels (c, c, c, a) -> c' = (c * a + 127) / 255.
    const struct {
        int c, a, expected;
    } cases[] = {{255, 255, 255}, {255, 128, 128}, {200, 128, 100}, {1, 128, 1}, {1, 127, 0}, {100, 0, 0}};
    HBITMAP bitmap = loadImage(picture(L"premultiply.png").c_str(), nullptr);
    ASSERT_NE(nullptr, bitmap);
    for (int x = 0; x < 6; ++x) {
        const uint32_t p = pixelOf(bitmap, x, 0);
        const uint32_t e = static_cast<uint32_t>(cases[x].expected);
        EXPECT_EQ((e << 24) | (e << 16) | (e << 8) | static_cast<uint32_t>(cases[x].a), p)
            << "c=" << cases[x].c << " a=" << cases[x].a;
    }
    DeleteObject(bitmap);
}

// AlphaBlend adds a pre-multiplied source onto the background: a straight
// colour under alpha 0 would show.
TEST(Pictures, AlphaBlendOverWhiteGivesSourceOver) {
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    const struct {
        std::wstring file;
        uint32_t rgb;
    } cases[] = {
        // The disk's corner: blue under alpha 0.
        {shared(L"rgba_disk.png"), 0xFFFFFF},
        // (200, 100, 50, 128): c * 128 / 255 + 255 * 127 / 255.
        {picture(L"rgba_4x2.png"), (227u << 16) | (177u << 8) | 152u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        HBITMAP bitmap = loadImage(c.file.c_str(), nullptr);
        ASSERT_NE(nullptr, bitmap);
        uitest::Canvas canvas(4, 2);
        HDC source = CreateCompatibleDC(canvas.dc());
        HGDIOBJ old = SelectObject(source, bitmap);
        ASSERT_TRUE(AlphaBlend(canvas.dc(), 0, 0, 4, 2, source, 0, 0, 4, 2, blend));
        SelectObject(source, old);
        DeleteDC(source);
        const uint32_t got = canvas.rgb(1, 1);
        for (int shift = 0; shift < 24; shift += 8) {
            const int g = (got >> shift) & 0xFF, e = (c.rgb >> shift) & 0xFF;
            EXPECT_NEAR(e, g, 1) << "channel at bit " << shift;
        }
        DeleteObject(bitmap);
    }
}

TEST(Pictures, RefusedFilesGiveNullAndOneLogLine) {
    const wchar_t* const files[] = {L"over_2049x1.png", L"zero_width.png", L"cut_after_ihdr.png",
                                    L"short_idat.png",  L"crc_error.png",  L"html.png",
                                    L"jpeg_bytes.png",  L"empty.png",      L"missing.png",
                                    L"over_8mib.png"};
    for (const wchar_t* file : files) {
        SCOPED_TRACE(tst::narrow(file));
        const std::wstring path = shared(file);
        uitest::LogTail log;
        EXPECT_FALSE(isLoadablePicture(path));
        EXPECT_EQ(nullptr, loadImage(path.c_str(), L"png"));
        EXPECT_TRUE(log.hasLine("picture not loaded: " + wideToAnsi(path))) << log.text();
    }
}

TEST(Pictures, LimitsAreParameters) {
    // The same files pass once the limit that refused them is raised.
    HBITMAP wide = loadImage(shared(L"over_2049x1.png").c_str(), nullptr, 4096);
    ASSERT_NE(nullptr, wide);
    EXPECT_EQ(2049, layoutOf(wide).width);
    DeleteObject(wide);
    EXPECT_TRUE(isLoadablePicture(shared(L"over_8mib.png"), kPictureMaxDimension, 9u * 1024 * 1024));
    // And a smaller limit refuses what the default takes.
    EXPECT_FALSE(isLoadablePicture(picture(L"rgba_4x2.png"), 3));
    EXPECT_FALSE(isLoadablePicture(picture(L"rgba_4x2.png"), kPictureMaxDimension, 50));
}

TEST(Pictures, HugeHeaderIsRefusedQuicklyWithoutMemory) {
    const std::wstring path = shared(L"huge_header.png");
    const SIZE_T before = pagefileUsage();
    const DWORD start = GetTickCount();
    HBITMAP bitmap = loadImage(path.c_str(), L"png");
    const DWORD elapsed = GetTickCount() - start;
    const SIZE_T after = pagefileUsage();
    EXPECT_EQ(nullptr, bitmap);
    EXPECT_FALSE(isLoadablePicture(path));
    EXPECT_LT(elapsed, 100u);
    EXPECT_LT(after > before ? after - before : 0, SIZE_T(16) * 1024 * 1024);
}

TEST(Pictures, ResourceRoadSearchesTheTypes) {
    const struct {
        UINT id;
        const wchar_t* type;
        LONG width, height;  // 0: null expected
    } cases[] = {
        {1017, L"png", 87, 24},  // the loader's close strip: the first lookup finds it
        {2002, L"PNG", 4, 2},    // declared lower case
        {2000, L"png", 16, 8},   // a JPEG through GDI+
        {2001, L"png", 0, 0},    // under "WEBP", but no picture
        {4000, L"png", 0, 0},    // nowhere
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        uitest::LogTail log;
        HBITMAP bitmap = loadImage(MAKEINTRESOURCEW(c.id), c.type);
        if (c.width == 0) {
            EXPECT_EQ(nullptr, bitmap);
            EXPECT_TRUE(log.hasLine("picture resource " + std::to_string(c.id) + " not loaded")) << log.text();
            continue;
        }
        ASSERT_NE(nullptr, bitmap);
        Layout l = layoutOf(bitmap);
        EXPECT_TRUE(l.dib);
        EXPECT_EQ(32, l.bpp);
        EXPECT_EQ(c.width, l.width);
        EXPECT_EQ(c.height, l.height);
        DeleteObject(bitmap);
    }
}

TEST(Pictures, BitmapResourceThroughLoadImage) {
    for (LPCWSTR type : {static_cast<LPCWSTR>(nullptr), static_cast<LPCWSTR>(RT_BITMAP)}) {
        HBITMAP bitmap = loadImage(MAKEINTRESOURCEW(3003), type);
        ASSERT_NE(nullptr, bitmap);
        BITMAP bm = {};
        ASSERT_TRUE(GetObjectW(bitmap, sizeof(bm), &bm));
        EXPECT_EQ(64, bm.bmWidth);
        EXPECT_EQ(64, bm.bmHeight);
        DeleteObject(bitmap);
    }
    EXPECT_EQ(nullptr, loadImage(MAKEINTRESOURCEW(4000), RT_BITMAP));
}

}  // namespace
