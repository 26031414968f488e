#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace clx {

// MD5 (RFC 1321). `finalize` pads the stream and appends its bit count through
// `update`, so the byte count keeps growing: a second `finalize` digests the
// already padded stream once more.
class md5 {
public:
    md5();
    virtual ~md5();

    void reset();
    void update(const void* data, size_t length);
    void finalize();
    // The 16 digest bytes as 32 lower-case hexadecimal digits.
    std::string hexdigest() const;
    // The 16 digest bytes (followed by a zero).
    const unsigned char* digest() const { return digest_; }

private:
    void transform(const unsigned char block[64]);

    unsigned char digest_[17];
    uint32_t a_, b_, c_, d_;
    uint64_t count_;
    unsigned char buffer_[64];
};

}  // namespace clx
