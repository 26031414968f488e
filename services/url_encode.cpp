#include "services/url_encode.h"

#include "toolkit/string_util.h"

namespace {

bool isAsciiAlnum(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::wstring asciiToWide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

std::string UrlEncoder::encode(const std::string& bytes) const {
    const char* digits = lowerCaseHex ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (isAsciiAlnum(c) || (c != 0 && c < 0x80 && kept.find(ch) != std::string::npos)) {
            out += ch;
        } else if (c == ' ' && spaceAsPlus) {
            out += '+';
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string urlEncode(const std::string& text) {
    static const UrlEncoder reporter("!#$&'()*+,-./:;=?@_~", false, true);
    return reporter.encode(text);
}

std::wstring encodeQueryValue(const std::wstring& value) {
    static const UrlEncoder encoder("-._~:/", false, false);
    return asciiToWide(encoder.encode(toUtf8(value)));
}

std::wstring encodePathSegment(const std::wstring& segment) {
    static const UrlEncoder encoder("-._~", false, false);
    return asciiToWide(encoder.encode(toUtf8(segment)));
}
