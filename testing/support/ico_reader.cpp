#include "testing/support/ico_reader.h"

#include <algorithm>

#include "testing/support/test_support.h"

namespace tst {

namespace {

uint32_t u16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t u32(const std::string& b, size_t at) { return u16(b, at) | (u16(b, at + 2) << 16); }

IcoFile fail(IcoFile f, const std::string& why) {
    f.valid = false;
    f.error = why;
    return f;
}

}  // namespace

IcoFile readIco(const std::wstring& path) {
    IcoFile f;
    if (!readFile(path, f.bytes)) return fail(f, "cannot read the file");
    const std::string& b = f.bytes;
    if (b.size() < 6) return fail(f, "shorter than the header");
    if (u16(b, 0) != 0 || u16(b, 2) != 1) return fail(f, "not an icon header");
    const uint32_t count = u16(b, 4);
    if (count == 0) return fail(f, "no images");
    if (b.size() < 6 + 16 * count) return fail(f, "directory cut short");

    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t d = 6 + 16 * i;
        IcoEntry e;
        e.width = static_cast<uint8_t>(b[d]) ? static_cast<uint8_t>(b[d]) : 256;
        e.height = static_cast<uint8_t>(b[d + 1]) ? static_cast<uint8_t>(b[d + 1]) : 256;
        e.colourCount = static_cast<uint8_t>(b[d + 2]);
        e.planes = u16(b, d + 4);
        e.bitCount = u16(b, d + 6);
        e.bytes = u32(b, d + 8);
        e.offset = u32(b, d + 12);
        const std::string at = "image " + std::to_string(i) + ": ";
        if (e.offset < 6 + 16 * count || e.offset > b.size() || e.bytes > b.size() - e.offset)
            return fail(f, at + "outside the file");
        spans.push_back({e.offset, e.offset + e.bytes});
        if (e.bytes >= 8 && b.compare(e.offset, 8, "\x89PNG\r\n\x1a\n", 8) == 0) {
            e.png = true;
            f.entries.push_back(e);
            continue;
        }
        if (e.bytes < 40) return fail(f, at + "no bitmap header");
        e.headerSize = u32(b, e.offset);
        e.bmpWidth = static_cast<int32_t>(u32(b, e.offset + 4));
        e.bmpHeight = static_cast<int32_t>(u32(b, e.offset + 8));
        e.bmpPlanes = u16(b, e.offset + 12);
        e.bmpBits = u16(b, e.offset + 14);
        e.compression = u32(b, e.offset + 16);
        if (e.headerSize != 40) return fail(f, at + "header size not 40");
        if (e.bmpWidth != e.width || e.bmpHeight != 2 * e.width) return fail(f, at + "bitmap size differs");
        if (e.bmpPlanes != 1) return fail(f, at + "planes not 1");
        const int bits = e.bmpBits;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return fail(f, at + "odd depth");
        if (e.compression != 0) return fail(f, at + "compressed");
        const uint32_t w = static_cast<uint32_t>(e.width);
        e.paletteOffset = e.offset + 40;
        e.paletteBytes = bits < 16 ? (4u << bits) : 0;
        e.pixelOffset = e.paletteOffset + e.paletteBytes;
        e.pixelBytes = ((w * bits + 31) / 32) * 4 * w;
        e.maskOffset = e.pixelOffset + e.pixelBytes;
        e.maskBytes = ((w + 31) / 32) * 4 * w;
        if (40 + e.paletteBytes + e.pixelBytes + e.maskBytes != e.bytes) return fail(f, at + "parts do not sum up");
        f.entries.push_back(e);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return fail(f, "images overlap");
    f.valid = true;
    return f;
}

}  // namespace tst
