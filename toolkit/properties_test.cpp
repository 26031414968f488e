#include "toolkit/properties.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/test_support.h"

using ravel::file::Properties;

namespace {

struct ByteCase {
    std::string bytes;
    std::wstring key;
    bool present;
    std::wstring value;
};

std::wstring bytesAsWide(const std::string& bytes) {
    std::wstring wide;
    for (unsigned char c : bytes) wide += static_cast<wchar_t>(c);
    return wide;
}

}  // namespace

TEST(PropertiesTest, ParsesByteFixtures) {
    const ByteCase cases[] = {
        {"home = C:\\Dev\\Player \n", L"home", true, L"C:\\Dev\\Player"},
        {"online=\"1\"\n", L"online", true, L"1"},
        {"online=\"\"1\"\"\n", L"online", true, L"1"},
        {"k=\"  x  \"\n", L"k", true, L"  x  "},
        {"  \t# c=1\n\nnoequals\nc=2\n", L"c", true, L"2"},
        {"  \t# c=1\n", L"# c", false, L""},
        {"noequals\n", L"noequals", false, L""},
        {"a=b=c\n", L"a", true, L"b=c"},
        {"k=\n", L"k", true, L""},
        {"k=1\nk=2\nk=3", L"k", true, L"3"},
        {"x=1\r\ny=2\r\n", L"y", true, L"2"},
        {"x=1\r\ny=last", L"y", true, L"last"},
        {"\t key \t=\v v \f\r\n", L"key", true, L"v"},
        {"\xEF\xBB\xBFhome=C:\\x\n", L"home", false, L""},
        {"\xEF\xBB\xBFhome=C:\\x\n", bytesAsWide("\xEF\xBB\xBFhome"), true, L"C:\\x"},
        {"k=\x80\xC3\xA9\xFF\n", L"k", true, bytesAsWide("\x80\xC3\xA9\xFF")},
        {"k=ab\xA0\n", L"k", true, bytesAsWide("ab\xA0")},
        {"\xA0k=v\n", bytesAsWide("\xA0k"), true, L"v"},
        {std::string("k=a\x1A" "b\nz=1\n"), L"z", true, L"1"},
        {std::string("k=a\x1A" "b\n"), L"k", true, bytesAsWide("a\x1A" "b")},
    };
    tst::TempDir dir(L"pr");
    int index = 0;
    for (const ByteCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << index << ": " << testing::PrintToString(c.bytes));
        const std::wstring file = dir.file(L"p" + std::to_wstring(index++) + L".lic");
        ASSERT_TRUE(tst::writeFile(file, c.bytes));
        Properties p;
        EXPECT_TRUE(p.load(file));
        EXPECT_EQ(p.containsKey(c.key), c.present);
        EXPECT_EQ(p.get(c.key), c.value);
        EXPECT_EQ(p.getProperty(c.key, L"dflt"), c.present ? c.value : L"dflt");
    }
}

TEST(PropertiesTest, GetBool) {
    tst::TempDir dir(L"pr");
    const std::wstring file = dir.file(L"b.lic");
    ASSERT_TRUE(tst::writeFile(file, "one=1\nword=true\nupper=TRUE\nyes=yes\non=on\nzero=0\nempty=\nquoted=\"true\"\n"));
    Properties p;
    ASSERT_TRUE(p.load(file));
    const struct {
        const wchar_t* key;
        bool withFalseDefault;
        bool withTrueDefault;
    } cases[] = {
        {L"one", true, true},      {L"word", true, true},    {L"quoted", true, true},
        {L"upper", false, false},  {L"yes", false, false},   {L"on", false, false},
        {L"zero", false, false},   {L"empty", false, false}, {L"missing", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.key)));
        EXPECT_EQ(p.getBool(c.key, false), c.withFalseDefault);
        EXPECT_EQ(p.getBool(c.key, true), c.withTrueDefault);
    }
}

TEST(PropertiesTest, LoadKeepsOrReplacesEntries) {
    tst::TempDir dir(L"pr");
    Properties p;
    EXPECT_FALSE(p.load(L""));
    p.setProperty(L"manual", L"m");
    EXPECT_EQ(p.get(L"manual"), L"m");
    EXPECT_EQ(p.get(static_cast<const wchar_t*>(L"manual")), L"m");
    EXPECT_EQ(p.get(L"nothing"), L"");

    const std::wstring first = dir.file(L"first.lic");
    const std::wstring second = dir.file(L"second.lic");
    ASSERT_TRUE(tst::writeFile(first, "a=1\nb=2\n"));
    ASSERT_TRUE(tst::writeFile(second, "c=3\n"));

    EXPECT_TRUE(p.load(first));
    EXPECT_FALSE(p.containsKey(L"manual"));
    EXPECT_EQ(p.get(L"b"), L"2");

    EXPECT_TRUE(p.load(dir.file(L"missing.lic")));
    EXPECT_EQ(p.get(L"a"), L"1");
    EXPECT_TRUE(p.load(dir.path()));  // a folder cannot be read either
    EXPECT_EQ(p.get(L"a"), L"1");

    EXPECT_TRUE(p.load(second));
    EXPECT_FALSE(p.containsKey(L"a"));
    EXPECT_FALSE(p.containsKey(L"b"));
    EXPECT_EQ(p.get(L"c"), L"3");

    // An empty file is opened and replaces everything with nothing.
    const std::wstring empty = dir.file(L"empty.lic");
    ASSERT_TRUE(tst::writeFile(empty, ""));
    EXPECT_TRUE(p.load(empty));
    EXPECT_FALSE(p.containsKey(L"c"));
}

TEST(PropertiesTest, ConcurrentLoadAndReadNeverTear) {
    tst::TempDir dir(L"pr");
    const std::wstring valueA(2000, L'a'), valueB(3000, L'b');
    const std::wstring fileA = dir.file(L"a.lic"), fileB = dir.file(L"b.lic");
    ASSERT_TRUE(tst::writeFile(fileA, "flag=1\nk=" + std::string(2000, 'a') + "\n"));
    ASSERT_TRUE(tst::writeFile(fileB, "flag=true\nk=" + std::string(3000, 'b') + "\n"));
    Properties p;
    ASSERT_TRUE(p.load(fileA));

    std::atomic<bool> stop(false);
    std::atomic<int> torn(0);
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                std::wstring v = p.get(L"k");
                if (v != valueA && v != valueB) ++torn;
                if (!p.getBool(L"flag", false)) ++torn;
            }
        });
    }
    for (int i = 0; i < 300; ++i) p.load(i % 2 ? fileA : fileB);
    stop = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
}
