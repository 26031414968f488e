#include "services/url_encode.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char kReporterKept[] = "!#$&'()*+,-./:;=?@_~";

bool asciiLetterOrDigit(int b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9'); }

}  // namespace

TEST(UrlEncode, ReporterTable) {
    struct { std::string in, out; } cases[] = {
        {" ", "%20"},
        {"%", "%25"},
        {"\\", "%5c"},
        {"\xE4\xB8\xAD", "%e4%b8%ad"},
        {kReporterKept, kReporterKept},
        {"AZaz09", "AZaz09"},
        {"http://h:81/Stat?action=x&ref=y#z", "http://h:81/Stat?action=x&ref=y#z"},
        {"E_NOINTERFACE(0x80004002)_3_true", "E_NOINTERFACE(0x80004002)_3_true"},
        {"a\"b<c>d\r\n", "a%22b%3cc%3ed%0d%0a"},
        {std::string("\0x", 2), "%00x"},
        {"", ""},
    };
    for (auto& c : cases) EXPECT_EQ(urlEncode(c.in), c.out) << c.in;
}

TEST(UrlEncode, EveryByteOutsideTheKeptSetIsEscapedInLowerCase) {
    for (int b = 0; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        const bool kept = asciiLetterOrDigit(b) || (b != 0 && std::strchr(kReporterKept, b) != nullptr);
        char escaped[4];
        snprintf(escaped, sizeof escaped, "%%%02x", b);
        EXPECT_EQ(urlEncode(in), kept ? in : std::string(escaped)) << "byte " << b;
    }
}

TEST(UrlEncode, EncoderOptions) {
    EXPECT_EQ(UrlEncoder("", true, false).encode("a b\xFF"), "a+b%FF");
    EXPECT_EQ(UrlEncoder("", false, false).encode("a b"), "a%20b");
    EXPECT_EQ(UrlEncoder("-", false, true).encode("a-b.c"), "a-b%2ec");
}

TEST(UrlEncode, QueryValues) {
    struct { std::wstring in, out; } cases[] = {
        {L"C:\\Users\\A B\\x.zip", L"C:%5CUsers%5CA%20B%5Cx.zip"},
        {L"\"C:\\p q\\n.exe\" /q", L"%22C:%5Cp%20q%5Cn.exe%22%20/q"},
        {L"http://h/a?b=1&c=2#f", L"http://h/a%3Fb%3D1%26c%3D2%23f"},
        {L"  Shanghai  ", L"%20%20Shanghai%20%20"},
        {L"a\r\nX: y", L"a%0D%0AX:%20y"},
        {L"\u4e2d\u6587", L"%E4%B8%AD%E6%96%87"},
        {L"100%", L"100%25"},
        // Digits, hexadecimal identifiers, versions and plain addresses stay as they are.
        {L"52817", L"52817"},
        {L"0123456789abcdef0123456789ABCDEF", L"0123456789abcdef0123456789ABCDEF"},
        {L"3.1.0.1234", L"3.1.0.1234"},
        {L"http://h/a.zip", L"http://h/a.zip"},
        {L"a-b_c.d~e", L"a-b_c.d~e"},
        {L"", L""},
    };
    for (auto& c : cases) EXPECT_EQ(encodeQueryValue(c.in), c.out);
}

TEST(UrlEncode, PathSegments) {
    EXPECT_EQ(encodePathSegment(L"1001"), L"1001");
    EXPECT_EQ(encodePathSegment(L"a/b c"), L"a%2Fb%20c");
    EXPECT_EQ(encodePathSegment(L"..\\x:y?"), L"..%5Cx%3Ay%3F");
    EXPECT_EQ(encodePathSegment(L"a-b_c.d~"), L"a-b_c.d~");
    EXPECT_EQ(encodePathSegment(L"\u00e9"), L"%C3%A9");
}
