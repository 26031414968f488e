#include "services/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string md5Of(const std::string& text) {
    clx::md5 m;
    m.update(text.data(), text.size());
    m.finalize();
    return m.hexdigest();
}

TEST(Md5, Rfc1321Vectors) {
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.digest, md5Of(c.text)) << '"' << c.text << '"';
}

// Lengths around the padding boundary (56 bytes) and the block size.
TEST(Md5, MessagesAroundBlockBoundaries) {
    struct Case {
        size_t length;
        const char* digest;
    } cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {127, "020406e1d05cdc2aa287641f7ae2cc39"},
        {128, "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.digest, md5Of(std::string(c.length, 'a'))) << c.length;
}

TEST(Md5, SplitUpdatesGiveTheOneShotDigest) {
    std::string text;
    for (int i = 0; i < 200; ++i) text += static_cast<char>('!' + i % 90);
    const std::string oneShot = md5Of(text);

    clx::md5 bytewise;
    for (char c : text) bytewise.update(&c, 1);
    bytewise.finalize();
    EXPECT_EQ(oneShot, bytewise.hexdigest());

    clx::md5 uneven;  // pieces that straddle the 64-byte blocks
    uneven.update(text.data(), 63);
    uneven.update(text.data() + 63, 2);
    uneven.update(text.data() + 65, 0);
    uneven.update(text.data() + 65, 135);
    uneven.finalize();
    EXPECT_EQ(oneShot, uneven.hexdigest());
}

TEST(Md5, ResetStartsOver) {
    clx::md5 m;
    m.update("garbage", 7);
    m.finalize();
    m.reset();
    m.update("abc", 3);
    m.finalize();
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", m.hexdigest());
    EXPECT_EQ(0x90, m.digest()[0]);
    EXPECT_EQ(0, m.digest()[16]);
}

}  // namespace
