#include "services/md5.h"

#include <cstring>

namespace clx {

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

const uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void putLe32(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

md5::md5() { reset(); }

md5::~md5() {}

void md5::reset() {
    a_ = 0x67452301;
    b_ = 0xefcdab89;
    c_ = 0x98badcfe;
    d_ = 0x10325476;
    count_ = 0;
    std::memset(buffer_, 0, sizeof(buffer_));
    std::memset(digest_, 0, sizeof(digest_));
}

void md5::transform(const unsigned char block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
    }
    uint32_t a = a_, b = b_, c = c_, d = d_;
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kT[i] + m[g], kShift[i]);
        a = t;
    }
    a_ += a;
    b_ += b;
    c_ += c;
    d_ += d;
}

void md5::update(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    if (!p || length == 0) return;
    size_t used = static_cast<size_t>(count_ % 64);
    count_ += length;
    if (used) {
        size_t take = 64 - used;
        if (take > length) take = length;
        std::memcpy(buffer_ + used, p, take);
        used += take;
        p += take;
        length -= take;
        if (used < 64) return;
        transform(buffer_);
    }
    while (length >= 64) {
        transform(p);
        p += 64;
        length -= 64;
    }
    if (length) std::memcpy(buffer_, p, length);
}

void md5::finalize() {
    unsigned char bits[8];
    uint64_t bitCount = count_ * 8;
    for (int i = 0; i < 8; ++i) bits[i] = static_cast<unsigned char>(bitCount >> (8 * i));
    size_t used = static_cast<size_t>(count_ % 64);
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    static const unsigned char kPadding[64] = {0x80};
    update(kPadding, padLength);
    update(bits, 8);
    putLe32(digest_, a_);
    putLe32(digest_ + 4, b_);
    putLe32(digest_ + 8, c_);
    putLe32(digest_ + 12, d_);
    digest_[16] = 0;
    std::memset(buffer_, 0, sizeof(buffer_));
}

std::string md5::hexdigest() const {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (int i = 0; i < 16; ++i) {
        out += kHex[digest_[i] >> 4];
        out += kHex[digest_[i] & 15];
    }
    return out;
}

}  // namespace clx
