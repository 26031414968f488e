#include "toolkit/string_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
    const wchar_t* text;
    const wchar_t* separator;
    bool keepEmpty;
    std::vector<std::wstring> pieces;
};

}  // namespace

TEST(StringUtilTest, Split) {
    const SplitCase cases[] = {
        {L"a;;b;", L";", false, {L"a", L"b"}},
        {L"a;;b;", L";", true, {L"a", L"", L"b", L""}},
        {L";a", L";", true, {L"", L"a"}},
        {L"abc", L";", false, {L"abc"}},
        {L"abc", L";", true, {L"abc"}},
        {L"", L";", true, {}},
        {L"abc", L"", true, {}},
        {L"a::b::::c", L"::", false, {L"a", L"b", L"c"}},
        {L"a::b::::c", L"::", true, {L"a", L"b", L"", L"c"}},
        {L":::", L"::", true, {L"", L":"}},
        {L";", L";", true, {L"", L""}},
        {L";", L";", false, {}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(std::wstring(c.text)) << " at "
                                        << testing::PrintToString(std::wstring(c.separator))
                                        << " keepEmpty=" << c.keepEmpty);
        std::vector<std::wstring> out = {L"stale"};
        EXPECT_EQ(split(c.text, out, c.separator, c.keepEmpty), c.pieces.size());
        EXPECT_EQ(out, c.pieces);
    }
}

TEST(StringUtilTest, TrimQuoteReplaceAndLowerCase) {
    std::wstring onlySet = L" \t \t";
    trim(onlySet, L" \t");
    EXPECT_EQ(onlySet, L"");
    std::wstring text = L"\"  x y  \"";
    trim(text, L"\"");
    EXPECT_EQ(text, L"  x y  ");
    std::wstring left = L"--a--", right = L"--a--";
    trimLeft(left, L"-");
    trimRight(right, L"-");
    EXPECT_EQ(left, L"a--");
    EXPECT_EQ(right, L"--a");
    std::wstring untouched = L"abc";
    trim(untouched, L"");
    EXPECT_EQ(untouched, L"abc");

    EXPECT_EQ(quote(L""), L"\"\"");
    EXPECT_EQ(quote(L"a\"b"), L"\"a\"b\"");

    std::wstring grows = L"aaa";
    replaceAll(grows, L"a", L"aa");
    EXPECT_EQ(grows, L"aaaaaa");
    std::wstring emptyFrom = L"abc";
    replaceAll(emptyFrom, L"", L"x");
    EXPECT_EQ(emptyFrom, L"abc");
    std::wstring shrinks = L"a\\\\b\\\\\\\\c";
    replaceAll(shrinks, L"\\\\", L"\\");
    EXPECT_EQ(shrinks, L"a\\b\\\\c");

    // Only A..Z change; other letters and wide characters above 255 stay.
    EXPECT_EQ(toLowerCopy(L"\u00C0BC\u0130Z\u4E2D"), L"\u00C0bc\u0130z\u4E2D");
    std::wstring wide = L"MiXeD";
    toLowerInPlace(wide);
    EXPECT_EQ(wide, L"mixed");
    std::string narrow = "\xC0" "BC\xFF@[";
    toLowerInPlaceA(narrow);
    EXPECT_EQ(narrow, "\xC0" "bc\xFF@[");
}

TEST(StringUtilTest, Utf8Conversions) {
    // Two CJK characters and a character outside the basic plane (a surrogate pair).
    const std::wstring wide = L"\u5854\u6C83\U0001F600";
    const std::string utf8 = "\xE5\xA1\x94\xE6\xB2\x83\xF0\x9F\x98\x80";
    EXPECT_EQ(wideToUtf8(wide), utf8);
    EXPECT_EQ(toUtf8(wide), utf8);
    EXPECT_EQ(utf8ToWide(utf8), wide);

    EXPECT_EQ(wideToUtf8(L""), "");
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToAnsi(L""), "");
    EXPECT_EQ(ansiToWide(""), L"");
    EXPECT_EQ(utf8ToAnsi(""), "");

    // Embedded nulls survive and no terminator is counted.
    EXPECT_EQ(wideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(ansiToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));

    EXPECT_EQ(utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
}

TEST(StringUtilTest, AnsiConversions) {
    const std::wstring big(100000, L'x');
    EXPECT_EQ(wideToAnsi(big), std::string(100000, 'x'));
    EXPECT_EQ(ansiToWide(std::string(100000, 'y')), std::wstring(100000, L'y'));
    EXPECT_EQ(toWide(std::wstring(L"w")), L"w");
    EXPECT_EQ(toWide(std::string("n")), L"n");

    const std::wstring uninstall = L"\u5378\u8F7D";  // the word "uninstall"
    if (GetACP() == 936) {
        // Narrow literals are compiled as GBK.
        EXPECT_EQ(wideToAnsi(uninstall), "卸载");
        EXPECT_EQ(wideToAnsi(uninstall), "\xD0\xB6\xD4\xD8");
        EXPECT_EQ(ansiToWide("\xD0\xB6\xD4\xD8"), uninstall);
        EXPECT_EQ(toWide(std::string("卸载")), uninstall);
        EXPECT_EQ(utf8ToAnsi("\xE5\x8D\xB8\xE8\xBD\xBD"), "\xD0\xB6\xD4\xD8");
        // A 100,000-character CJK text needs two bytes per character.
        const std::wstring bigCjk(100000, L'\u5378');
        const std::string bigGbk = wideToAnsi(bigCjk);
        EXPECT_EQ(bigGbk.size(), 200000u);
        EXPECT_EQ(ansiToWide(bigGbk), bigCjk);
    } else if (GetACP() == 1252) {
        EXPECT_EQ(wideToAnsi(uninstall), "??");
        EXPECT_EQ(ansiToWide("\xE9"), L"\u00E9");
    } else {
        GTEST_SKIP() << "ANSI code page " << GetACP();
    }
}

TEST(StringUtilTest, Format) {
    EXPECT_EQ(format(nullptr), L"");
    EXPECT_EQ(format(L""), L"");
    EXPECT_EQ(format(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(format(L"%d-%ls-%c", 42, L"x", L'y'), L"42-x-y");
    const std::wstring longArg(5000, L'q');
    EXPECT_EQ(format(L"<%s>", longArg.c_str()), L"<" + longArg + L">");

    EXPECT_EQ(formatA(nullptr), "");
    EXPECT_EQ(formatA("%s", ""), "");
    EXPECT_EQ(formatA("%s=%d", "key", -3), "key=-3");
    const std::string longNarrow(6000, 'z');
    EXPECT_EQ(formatA("%s!", longNarrow.c_str()), longNarrow + "!");
}
