// PNG pictures from untrusted bytes, decoded by libpng within size limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct PngLimits {
    uint32_t maxWidth = 2048;
    uint32_t maxHeight = 2048;
};

struct PngPixels {
    uint32_t width = 0;
    uint32_t height = 0;
    // width x 4 bytes per row, top row first: B, G, R and straight (not
    // premultiplied) alpha, 8 bits each.
    std::vector<uint8_t> bgra;
};

// Every colour type, bit depth, palette with transparency and interlaced file is
// converted. False, with `out` emptied, for bytes without the PNG signature, any
// libpng error, a width or height of 0, or a size above the limits (refused
// before any pixel memory is taken). No shared state: any thread may call it.
bool decodePng(const void* data, size_t size, PngPixels& out, const PngLimits& limits = PngLimits());
