// Command words: the parser, the names tokenizer, value reads, the platform
// split and the shared word reader that drops "/restart".
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/cmdline.h"

typedef std::map<std::wstring, std::vector<std::wstring>> Options;
typedef std::vector<std::wstring> Words;

namespace {
clx::wargument parseWords(const Words& argv) {
    std::vector<const wchar_t*> ptrs;
    for (const std::wstring& a : argv) ptrs.push_back(a.c_str());
    return clx::wargument(static_cast<int>(ptrs.size()), ptrs.empty() ? nullptr : ptrs.data(), L'-');
}
}  // namespace

TEST(Argument, ParsesArgumentVectors) {
    struct Case {
        const char* name;
        Words argv;
        std::wstring program;
        Words head;
        Options options;
    };
    const Case cases[] = {
        {"long words with values",
         {L"p", L"--launch", L"C:\\a b\\x.exe", L"--app-id", L"7"},
         L"p", {}, {{L"launch", {L"C:\\a b\\x.exe"}}, {L"app-id", {L"7"}}}},
        {"one dash splits into letters, the last takes the value",
         {L"p", L"-abc", L"v"}, L"p", {}, {{L"a", {}}, {L"b", {}}, {L"c", {L"v"}}}},
        {"-silent is six one-letter words",
         {L"p", L"-silent"}, L"p", {},
         {{L"s", {}}, {L"i", {}}, {L"l", {}}, {L"e", {}}, {L"n", {}}, {L"t", {}}}},
        {"a digit after one dash is plain", {L"p", L"-5"}, L"p", {L"-5"}, {}},
        {"a dash alone is plain", {L"p", L"-"}, L"p", {L"-"}, {}},
        {"head before the first word",
         {L"p", L"x", L"y", L"--k", L"v", L"w"}, L"p", {L"x", L"y"}, {{L"k", {L"v", L"w"}}}},
        {"empty value is not stored but the word is", {L"p", L"--k", L""}, L"p", {}, {{L"k", {}}}},
        {"all leading dashes go", {L"p", L"---k"}, L"p", {}, {{L"k", {}}}},
        {"two dashes alone: empty name, a plain argument ends the parsing",
         {L"p", L"--", L"x", L"--k"}, L"p", {}, {{L"", {}}}},
        {"--cno=5 is one name", {L"p", L"--cno=5"}, L"p", {}, {{L"cno=5", {}}}},
        {"a word given twice keeps one list",
         {L"p", L"--k", L"a", L"--j", L"--k", L"b"}, L"p", {}, {{L"k", {L"a", L"b"}}, {L"j", {}}}},
        {"negative numbers and a dash are values", {L"p", L"--k", L"-5", L"-"}, L"p", {}, {{L"k", {L"-5", L"-"}}}},
        {"a slash form right behind a word is its value",
         {L"p", L"--add-shortcut", L"/silent=1"}, L"p", {}, {{L"add-shortcut", {L"/silent=1"}}}},
        {"values keep their blanks", {L"p", L"--k", L" a b "}, L"p", {}, {{L"k", {L" a b "}}}},
        {"program only", {L"C:\\x.exe"}, L"C:\\x.exe", {}, {}},
        {"argc 0", {}, L"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clx::wargument args = parseWords(c.argv);
        EXPECT_EQ(args.program(), c.program);
        EXPECT_EQ(args.head(), c.head);
        EXPECT_EQ(args.options(), c.options);
    }
}

TEST(Argument, NullVectorOrNegativeCountGivesAnEmptyParser) {
    clx::wargument fromNull(3, static_cast<const wchar_t* const*>(nullptr), L'-');
    EXPECT_TRUE(fromNull.program().empty());
    EXPECT_TRUE(fromNull.head().empty());
    EXPECT_TRUE(fromNull.options().empty());

    const wchar_t* argv[] = {L"p", L"--k"};
    clx::wargument negative(-1, argv, L'-');
    EXPECT_TRUE(negative.program().empty());
    EXPECT_TRUE(negative.options().empty());

    // parse starts afresh.
    clx::wargument again = parseWords({L"p", L"--k", L"v"});
    again.parse(0, argv);
    EXPECT_TRUE(again.options().empty());
}

TEST(Argument, HasOptionSplitsNamesWithTheTokenizer) {
    struct Case {
        const wchar_t* names;
        Words present;
        bool expected;
    };
    const Case cases[] = {
        {L"a,b", {L"b"}, true},
        {L"a,b", {L"a,b"}, false},
        {L"a\\,b", {L"a,b"}, true},
        {L"a\\,b", {L"a"}, false},
        {L"\"a,b\"", {L"a,b"}, true},
        {L"\"a,b\"", {L"b"}, false},
        {L"a,", {L"a"}, true},
        {L",a", {L"a"}, true},
        {L"a\\", {L"a"}, false},  // an escape at the end drops the last name
        {L"b,a\\", {L"b"}, true},
        {L"b,a\\", {L"a"}, false},
        {L"", {L""}, false},  // an empty text names nothing
        {L"\"\"", {L""}, true},  // one empty name
        {L"\"\"", {L"a"}, false},
        {L"s, silent", {L"silent"}, false},
        {L"s, silent", {L" silent"}, true},
        {L"s, silent", {L"s"}, true},
        {L"S", {L"s"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "names=[" << std::string(c.names, c.names + wcslen(c.names)) << "]");
        clx::wargument args(L'-');
        for (const std::wstring& name : c.present) args.add(name, L"");
        EXPECT_EQ(args.has_option(c.names), c.expected);
    }
}

TEST(Argument, GetOptionReadsValues) {
    clx::wargument args = parseWords({L"p", L"--k", L"1", L"2", L"--j", L"x y", L"--e"});
    struct Case {
        const wchar_t* names;
        unsigned index;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"k", 0, L"1"},          {L"k", 1, L"2"},      {L"k,j", 0, L"x y"},  // later names overwrite
        {L"j,k", 0, L"1"},        {L"z", 0, L"keep"},   {L"k", 2, L"keep"},
        {L"e", 0, L"keep"},       {L"z,k", 1, L"2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index);
        std::wstring out = L"keep";
        args.get_option(c.names, out, c.index);
        EXPECT_EQ(out, c.expected);
    }
    int number = -7;
    args.get_option(L"k", number, 1);
    EXPECT_EQ(number, 2);
}

TEST(LexicalCast, CopiesSameTypesAndThrowsOnFailedConversions) {
    EXPECT_EQ(clx::lexical_cast<std::wstring>(std::wstring(L"  a b  ")), L"  a b  ");
    EXPECT_EQ(clx::lexical_cast<int>(std::wstring(L"42")), 42);
    EXPECT_EQ(clx::lexical_cast<int>(std::wstring(L"ff"), std::ios::hex), 255);
    EXPECT_EQ(clx::lexical_cast<std::wstring>(17), L"17");
    try {
        clx::lexical_cast<int>(std::wstring(L"abc"));
        FAIL() << "no exception";
    } catch (const clx::bad_lexical_cast& e) {
        EXPECT_STREQ(e.what(), "bad lexical cast");
        EXPECT_TRUE(e.source_type() == typeid(std::wstring));
        EXPECT_TRUE(e.target_type() == typeid(int));
    }
    EXPECT_THROW(clx::lexical_cast<int>(std::wstring(L"")), std::bad_cast);
}

TEST(Tokenizer, TokensAndIndexedAccess) {
    typedef clx::basic_tokenizer<clx::escape_separator<wchar_t>, std::wstring, std::vector<std::wstring>> Tok;
    Tok tokens(L"a,,\"b,c\",d\\,e");
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0], L"a");
    EXPECT_EQ(tokens[1], L"b,c");
    EXPECT_EQ(tokens[2], L"d,e");
    EXPECT_THROW(tokens[3], std::out_of_range);
    Tok none(L"");
    EXPECT_EQ(none.size(), 0u);
    EXPECT_THROW(none.at(0), std::out_of_range);
    // Other separators.
    Tok blanks(L"x y;z", clx::escape_separator<wchar_t>(L" ;"));
    EXPECT_EQ(std::vector<std::wstring>(blanks.begin(), blanks.end()), (std::vector<std::wstring>{L"x", L"y", L"z"}));
}

TEST(CommandLineArgs, SplitsThroughThePlatform) {
    {
        CommandLineArgs args(L"prog.exe --launch \"C:\\a b\\x.exe\" --app-id 7");
        ASSERT_EQ(args.argc(), 5);
        clx::wargument words(args.argc(), args.argv(), L'-');
        EXPECT_EQ(words.program(), L"prog.exe");
        EXPECT_EQ(words.options(), (Options{{L"launch", {L"C:\\a b\\x.exe"}}, {L"app-id", {L"7"}}}));
    }
    {
        // An empty command line gives the running program's path.
        CommandLineArgs args(L"");
        ASSERT_EQ(args.argc(), 1);
        ASSERT_NE(args.argv(), nullptr);
        EXPECT_NE(std::wstring(args.argv()[0]), L"");
    }
    {
        // A backslash before the closing quote escapes it: the rest of the line is one value.
        CommandLineArgs args(L"prog.exe --launch \"C:\\dir\\\" --app-id 7");
        clx::wargument words(args.argc(), args.argv(), L'-');
        EXPECT_EQ(words.options(), (Options{{L"launch", {L"C:\\dir\" --app-id 7"}}}));
        EXPECT_FALSE(words.has_option(L"app-id"));
    }
}

TEST(ReadCommandWords, LeavesOutTheRestartArgument) {
    struct Case {
        const wchar_t* commandLine;
        Words head;
        Options options;
    };
    const Case cases[] = {
        {L"p.exe --cno /restart", {}, {{L"cno", {}}}},
        {L"p.exe /restart --launch x", {}, {{L"launch", {L"x"}}}},
        {L"p.exe --app-id 7 /restart", {}, {{L"app-id", {L"7"}}}},
        {L"p.exe --k /restartx /RESTART", {}, {{L"k", {L"/restartx", L"/RESTART"}}}},
        {L"p.exe -s /silent=1 /restart", {}, {{L"s", {L"/silent=1"}}}},
        {L"p.exe /restart", {}, {}},
        {L"p.exe", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.commandLine, c.commandLine + wcslen(c.commandLine)));
        clx::wargument words = readCommandWords(c.commandLine);
        EXPECT_EQ(words.program(), L"p.exe");
        EXPECT_EQ(words.head(), c.head);
        EXPECT_EQ(words.options(), c.options);
    }
}
