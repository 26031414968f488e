#include "toolkit/png_decode.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/support/test_support.h"

namespace {

std::string picture(const wchar_t* name) {
    std::string bytes;
    EXPECT_TRUE(tst::readFile(tst::picturePath(name), bytes)) << tst::narrow(name);
    return bytes;
}

// B, G, R, A of one pixel as a text, e.g. "00 00 ff ff".
std::string pixel(const PngPixels& p, uint32_t x, uint32_t y) {
    char text[16];
    const uint8_t* q = &p.bgra[(static_cast<size_t>(y) * p.width + x) * 4];
    snprintf(text, sizeof text, "%02x %02x %02x %02x", q[0], q[1], q[2], q[3]);
    return text;
}

TEST(PngDecodeTest, EveryKindOfPictureComesOutAsStraightBgra) {
    struct Probe {
        uint32_t x, y;
        const char* bgra;  // "" when only the alpha is checked: see alpha
        int alpha;
    };
    struct Case {
        const wchar_t* file;
        uint32_t width, height;
        std::vector<Probe> probes;
    } cases[] = {
        // The hidden colour under alpha 0 stays as stored (not premultiplied away).
        {L"rgba_disk.png", 128, 128, {{64, 64, "00 00 ff ff", 0}, {0, 0, "ff 00 00 00", 0}}},
        {L"palette_trns.png", 16, 16,
         {{0, 0, "00 00 ff 00", 0}, {15, 0, "00 ff 00 ff", 0}, {15, 15, "ff 00 00 80", 0}}},
        {L"gray.png", 16, 16, {{3, 9, "80 80 80 ff", 0}}},
        {L"rgba16.png", 16, 16, {{0, 0, "00 00 ff ff", 0}, {15, 3, "", 0}}},
        {L"interlaced.png", 32, 32,
         {{0, 0, "00 00 ff ff", 0}, {31, 0, "00 ff 00 ff", 0}, {0, 31, "ff 00 00 ff", 0}, {31, 31, "ff ff ff ff", 0},
          {17, 5, "00 ff 00 ff", 0}}},
        {L"one_pixel.png", 1, 1, {{0, 0, "00 ff 00 ff", 0}}},
        {L"wide_200x100.png", 200, 100, {{0, 0, "00 00 ff ff", 0}, {199, 99, "ff 00 00 ff", 0}}},
        {L"limit_2048x2048.png", 2048, 2048, {{2047, 2047, "1e 14 0a ff", 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        const std::string bytes = picture(c.file);
        PngPixels out;
        ASSERT_TRUE(decodePng(bytes.data(), bytes.size(), out));
        EXPECT_EQ(c.width, out.width);
        EXPECT_EQ(c.height, out.height);
        ASSERT_EQ(static_cast<size_t>(c.width) * c.height * 4, out.bgra.size());
        for (const Probe& p : c.probes) {
            if (*p.bgra) {
                EXPECT_EQ(p.bgra, pixel(out, p.x, p.y)) << p.x << "," << p.y;
            } else {
                EXPECT_EQ(p.alpha, out.bgra[(static_cast<size_t>(p.y) * out.width + p.x) * 4 + 3]);
            }
        }
    }
}

TEST(PngDecodeTest, HostileBytesAreRefusedAndLeaveNothing) {
    const wchar_t* files[] = {L"over_2049x1.png", L"huge_header.png", L"zero_width.png", L"cut_after_ihdr.png",
                              L"short_idat.png",  L"crc_error.png",   L"html.png",       L"jpeg_bytes.png",
                              L"empty.png"};
    for (const wchar_t* f : files) {
        const std::string bytes = picture(f);
        PngPixels out;
        out.width = 7;
        out.bgra.assign(3, 1);
        EXPECT_FALSE(decodePng(bytes.data(), bytes.size(), out)) << tst::narrow(f);
        EXPECT_EQ(0u, out.width);
        EXPECT_EQ(0u, out.height);
        EXPECT_TRUE(out.bgra.empty());
    }
    PngPixels out;
    EXPECT_FALSE(decodePng(nullptr, 0, out));
}

TEST(PngDecodeTest, CallersMayLowerTheLimits) {
    const std::string bytes = picture(L"wide_200x100.png");
    struct { uint32_t w, h; bool ok; } cases[] = {
        {200, 100, true}, {199, 100, false}, {200, 99, false}, {4096, 4096, true}};
    for (auto& c : cases) {
        PngLimits limits;
        limits.maxWidth = c.w;
        limits.maxHeight = c.h;
        PngPixels out;
        EXPECT_EQ(c.ok, decodePng(bytes.data(), bytes.size(), out, limits)) << c.w << "x" << c.h;
    }
}

TEST(PngDecodeTest, ThreadsDecodeAtOnce) {
    const std::string good = picture(L"interlaced.png");
    const std::string bad = picture(L"crc_error.png");
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                PngPixels a, b;
                if (!decodePng(good.data(), good.size(), a) || pixel(a, 31, 31) != "ff ff ff ff") ++wrong[t];
                if (decodePng(bad.data(), bad.size(), b)) ++wrong[t];
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

}  // namespace
