#include "toolkit/png_decode.h"

#include <png.h>

#include <cstring>
#include <new>

namespace {

// Frees libpng's state on every road out.
struct ImageGuard {
    png_image image;
    ImageGuard() {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~ImageGuard() { png_image_free(&image); }
};

}  // namespace

bool decodePng(const void* data, size_t size, PngPixels& out, const PngLimits& limits) {
    out = PngPixels();
    if (!data || size < 8 || png_sig_cmp(static_cast<png_const_bytep>(data), 0, 8) != 0) return false;

    ImageGuard g;
    // The simplified API catches libpng's errors itself (in C); nothing unwinds
    // through our frames.
    if (!png_image_begin_read_from_memory(&g.image, data, size)) return false;
    if (g.image.width == 0 || g.image.height == 0 || g.image.width > limits.maxWidth ||
        g.image.height > limits.maxHeight)
        return false;

    g.image.format = PNG_FORMAT_BGRA;
    const size_t bytes = static_cast<size_t>(g.image.width) * 4 * g.image.height;
    std::vector<uint8_t> pixels;
    try {
        pixels.resize(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!png_image_finish_read(&g.image, nullptr, pixels.data(), 0, nullptr)) return false;

    out.width = g.image.width;
    out.height = g.image.height;
    out.bgra.swap(pixels);
    return true;
}
