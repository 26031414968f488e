#include "services/ini_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/support/test_support.h"
#include "toolkit/string_util.h"

namespace {

std::string readAll(const std::wstring& path) {
    std::string bytes;
    tst::readFile(path, bytes);
    return bytes;
}

}  // namespace

TEST(IniFileTest, BoolTable) {
    tst::TempDir dir(L"ini");
    const std::wstring path = dir.file(L"b.ini");
    ASSERT_TRUE(tst::writeFile(path,
                               "[s]\r\nt1=TRUE\r\nt2=yes\r\nt3=1\r\nt4=on\r\nt5=2\r\n"
                               "f1=0\r\nf2=\"0\"\r\nf3=false\r\nf4=FALSE\r\nf5=False\r\ne=\r\n"));
    IniFile ini(path);
    const struct {
        const char* key;
        bool withFalseDefault;
        bool withTrueDefault;
    } cases[] = {
        {"t1", true, true},   {"t2", true, true},   {"t3", true, true},   {"t4", true, true},
        {"t5", true, true},   {"f1", false, false}, {"f2", false, false}, {"f3", false, false},
        {"f4", false, false}, {"f5", false, false}, {"e", false, true},   {"missing", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const std::wstring key = ansiToWide(c.key);
        EXPECT_EQ(ini.getBool(L"s", key, false), c.withFalseDefault);
        EXPECT_EQ(ini.getBool(L"s", key, true), c.withTrueDefault);
        EXPECT_EQ(ini.getBoolA("s", c.key, false), c.withFalseDefault);
        EXPECT_EQ(ini.getBoolA("s", c.key, true), c.withTrueDefault);
    }

    ini.setBool(L"w", L"on", true);
    ini.setBool(L"w", L"off", false);
    EXPECT_TRUE(ini.getBool(L"w", L"on", false));
    EXPECT_FALSE(ini.getBool(L"w", L"off", true));
    EXPECT_EQ(ini.getString(L"w", L"on"), L"1");
    EXPECT_EQ(ini.getString(L"w", L"off"), L"0");
}

TEST(IniFileTest, Strings) {
    tst::TempDir dir(L"ini");
    const std::wstring path = dir.file(L"s.ini");
    ASSERT_TRUE(tst::writeFile(path, "[s]\r\nlong=" + std::string(5000, 'v') + "\r\nempty=\r\n"));
    IniFile ini(path);
    EXPECT_EQ(ini.path, path);
    EXPECT_EQ(ini.getString(L"s", L"long"), std::wstring(4095, L'v'));
    EXPECT_EQ(ini.getStringA("s", "long"), std::string(4095, 'v'));
    EXPECT_EQ(ini.getString(L"s", L"empty", L"dflt"), L"");
    EXPECT_EQ(ini.getStringA("s", "empty", "dflt"), "");
    EXPECT_EQ(ini.getString(L"s", L"missing", L"dflt"), L"dflt");
    EXPECT_EQ(ini.getString(L"nosection", L"long", L"dflt"), L"dflt");
    EXPECT_EQ(IniFile(dir.file(L"none.ini")).getString(L"s", L"k", L"dflt"), L"dflt");
    EXPECT_EQ(IniFile(dir.file(L"none.ini")).getStringA("s", "k", "dflt"), "dflt");
    EXPECT_EQ(IniFile(dir.file(L"none.ini")).getIntA("s", "k", 17), 17);

    // An empty value keeps the key ("key="), it does not delete it.
    ini.setString(L"main", L"install_path", L"C:\\x");
    ini.setString(L"main", L"install_path", L"");
    EXPECT_NE(readAll(path).find("install_path="), std::string::npos);
    EXPECT_EQ(ini.getString(L"main", L"install_path", L"dflt"), L"");
    ini.setStringA("main", "narrow", "");
    EXPECT_EQ(ini.getStringA("main", "narrow", "dflt"), "");

    // A write into a missing folder is lost.
    IniFile lost(dir.file(L"nofolder\\x.ini"));
    lost.setString(L"s", L"k", L"v");
    lost.setIntA("s", "n", 1);
    EXPECT_FALSE(tst::fileExists(dir.file(L"nofolder\\x.ini")));
    EXPECT_EQ(lost.getString(L"s", L"k", L"dflt"), L"dflt");
}

TEST(IniFileTest, Integers) {
    tst::TempDir dir(L"ini");
    IniFile ini(dir.file(L"i.ini"));
    for (int value : {0, 1, 2147483647}) {
        SCOPED_TRACE(value);
        ini.setIntA("cno_1", "pkg_count", value);
        EXPECT_EQ(ini.getIntA("cno_1", "pkg_count", 99), value);
        EXPECT_EQ(ini.getString(L"cno_1", L"pkg_count"), std::to_wstring(value));
    }
    EXPECT_EQ(ini.getIntA("cno_1", "missing", 42), 42);
}

TEST(IniFileTest, PathOutsideTheCodePageWorksForBothKinds) {
    tst::TempDir dir(L"ini");
    // Georgian and Thai are in neither code page 1252 nor 936.
    const std::wstring folder = dir.file(L"\u10E5\u10D0\u10E0\u0E44\u0E17\u0E22");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    IniFile ini(folder + L"\\app.ini");
    ini.setString(L"app", L"name", L"wide");
    ini.setStringA("app", "narrow", "text");
    ini.setIntA("app", "n", 7);
    EXPECT_TRUE(tst::fileExists(folder + L"\\app.ini"));
    EXPECT_EQ(ini.getStringA("app", "name"), "wide");
    EXPECT_EQ(ini.getString(L"app", L"narrow"), L"text");
    EXPECT_EQ(ini.getIntA("app", "n", 0), 7);
    EXPECT_EQ(ini.getString(L"app", L"n"), L"7");
    EXPECT_TRUE(ini.getBoolA("app", "n", false));
}

TEST(IniFileTest, LineBreaksCannotStartNewKeysOrSections) {
    tst::TempDir dir(L"ini");
    const std::wstring path = dir.file(L"app.ini");
    IniFile ini(path);
    ini.setString(L"app", L"name", L"x\r\n[evil]\r\nk=v");
    ini.setStringA("app", "nameA", "y\n[evilA]\nk=v");
    ini.setString(L"app", L"bad\nkey", L"1");
    ini.setString(L"sec\r\n[evil2]", L"k", L"v2");
    ini.setIntA("int\n[evil3]", "k", 5);
    ini.setBool(L"b\r\n[evil4]", L"k", true);

    for (const wchar_t* section : {L"evil", L"evilA", L"evil2", L"evil3", L"evil4"})
        EXPECT_EQ(ini.getString(section, L"k", L"none"), L"none") << testing::PrintToString(std::wstring(section));
    EXPECT_EQ(ini.getString(L"app", L"k", L"none"), L"none");
    EXPECT_EQ(ini.getString(L"app", L"name"), L"x  [evil]  k=v");
    EXPECT_EQ(ini.getStringA("app", "nameA"), "y [evilA] k=v");
    EXPECT_EQ(ini.getString(L"app", L"bad key"), L"1");
    EXPECT_EQ(ini.getString(L"sec  [evil2]", L"k"), L"v2");
    EXPECT_EQ(ini.getIntA("int [evil3]", "k", 0), 5);
    EXPECT_TRUE(ini.getBool(L"b  [evil4]", L"k", false));

    const std::string bytes = readAll(path);
    EXPECT_EQ(bytes.find("\n[evil"), std::string::npos);
}

TEST(IniFileTest, CjkUnderCodePage936) {
    if (GetACP() != 936) GTEST_SKIP() << "ANSI code page " << GetACP();
    tst::TempDir dir(L"ini");
    const std::wstring path = dir.file(L"cjk.ini");
    IniFile ini(path);
    const std::wstring wide = L"\u5378\u8F7D";
    ini.setString(L"main", L"wide", wide);
    ini.setStringA("main", "narrow", "卸载");  // GBK bytes
    EXPECT_EQ(ini.getString(L"main", L"wide"), wide);
    EXPECT_EQ(ini.getString(L"main", L"narrow"), wide);
    EXPECT_EQ(ini.getStringA("main", "wide"), "\xD0\xB6\xD4\xD8");
    const std::string bytes = readAll(path);
    EXPECT_NE(bytes.find("wide=\xD0\xB6\xD4\xD8"), std::string::npos);
    EXPECT_NE(bytes.find("narrow=\xD0\xB6\xD4\xD8"), std::string::npos);
}

// A new file gets the ANSI code page and loses what lies outside it; a file
// started as UTF-16 keeps every character, for wide and narrow writes.
TEST(IniFileTest, Utf16FileKeepsCharactersOutsideTheCodePage) {
    tst::TempDir dir(L"ini16");
    const std::wstring thai = L"C:\\u\\\x0E01\x0E02\\x.zip";
    const std::wstring path = dir.file(L"d.ini");
    ASSERT_TRUE(tst::writeFile(path, "[old]\r\nmain_pkg=C:\\old.zip\r\n"));
    IniFile ini(path);
    ASSERT_TRUE(ini.startUtf16File());
    EXPECT_EQ(std::string("\xFF\xFE", 2), readAll(path)) << "only the mark; the old keys are gone";
    ini.setString(L"qv_download", L"main_pkg", thai);
    ini.setIntA("download", "pkg_count", 1);
    EXPECT_EQ(thai, ini.getString(L"qv_download", L"main_pkg"));
    EXPECT_EQ(1, ini.getIntA("download", "pkg_count", 0));
    EXPECT_EQ(L"", ini.getString(L"old", L"main_pkg"));
    const std::string bytes = readAll(path);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(std::string("\xFF\xFE", 2), bytes.substr(0, 2));

    // Started again: empty again. A file that cannot be replaced stays as it is.
    ASSERT_TRUE(ini.startUtf16File());
    EXPECT_EQ(L"", ini.getString(L"qv_download", L"main_pkg"));
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_FALSE(ini.startUtf16File());
    CloseHandle(held);
    EXPECT_EQ(std::string("\xFF\xFE", 2), readAll(path));

    // The same path written without the mark comes back changed.
    const std::wstring plain = dir.file(L"p.ini");
    IniFile(plain).setString(L"qv_download", L"main_pkg", thai);
    EXPECT_NE(thai, IniFile(plain).getString(L"qv_download", L"main_pkg"));
}
