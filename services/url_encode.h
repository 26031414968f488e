#pragma once

#include <string>

// Percent-encoding of URL texts. Letters and digits are ASCII 'A'-'Z', 'a'-'z'
// and '0'-'9' only; every byte from 0x80 is escaped, whatever the locale.
class UrlEncoder {
public:
    UrlEncoder(const std::string& keptCharacters, bool spaceAsPlus, bool lowerCaseHex)
        : kept(keptCharacters), spaceAsPlus(spaceAsPlus), lowerCaseHex(lowerCaseHex) {}

    std::string encode(const std::string& bytes) const;

    std::string kept;  // copied as they are, beside the letters and digits
    bool spaceAsPlus;  // a blank becomes '+' instead of "%20"
    bool lowerCaseHex;
};

// The statistics reporter's encoding: keeps "!#$&'()*+,-./:;=?@_~", writes
// lower-case digits; a whole URL passes unchanged except for blanks, '%',
// control characters and non-ASCII bytes.
std::string urlEncode(const std::string& text);

// A value inserted into a query: its UTF-8 bytes, keeping "-._~:/", every
// other byte as "%XX" (upper case). The result is ASCII.
std::wstring encodeQueryValue(const std::wstring& value);

// One path segment: its UTF-8 bytes, keeping "-._~", every other byte as "%XX".
std::wstring encodePathSegment(const std::wstring& segment);
