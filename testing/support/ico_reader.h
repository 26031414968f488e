// Reads and checks a whole .ico file, for the icon maker's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tst {

struct IcoEntry {
    // Directory entry (width and height 0 read as 256).
    int width = 0, height = 0, colourCount = 0, planes = 0, bitCount = 0;
    uint32_t bytes = 0, offset = 0;
    bool png = false;  // a PNG-compressed image: nothing below is filled
    // Bitmap header of the image.
    uint32_t headerSize = 0, compression = 0;
    int32_t bmpWidth = 0, bmpHeight = 0;
    int bmpPlanes = 0, bmpBits = 0;
    // Offsets from the start of the file and sizes of the image's parts.
    uint32_t paletteOffset = 0, paletteBytes = 0, pixelOffset = 0, pixelBytes = 0, maskOffset = 0, maskBytes = 0;
};

struct IcoFile {
    bool valid = false;
    std::string error;  // why not, when not valid
    std::string bytes;  // the whole file
    std::vector<IcoEntry> entries;
};

// Header: reserved 0, type 1, at least one image; every entry within the file and
// no two images overlapping; every bitmap image with a 40-byte header, its width
// the entry's, height twice that, one plane, depth 1, 4, 8, 24 or 32, no
// compression, and palette, XOR and AND rows summing exactly to the entry's size.
IcoFile readIco(const std::wstring& path);

}  // namespace tst
