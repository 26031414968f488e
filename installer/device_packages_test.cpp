#include "installer/device_packages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DevicePackagesTest, ReplyListsPackage) {
    struct Case {
        const wchar_t* reply;
        const wchar_t* package;
        bool listed;
    };
    const Case cases[] = {
        {L"package:/data/app/com.example-1.apk=com.example\r\n", L"com.example", true},
        {L"PACKAGE:/data/app/com.example-1.apk=Com.Example\r\n", L"COM.EXAMPLE", true},
        // Android 11 and later: the path holds "==" itself.
        {L"package:/data/app/~~Hs2X==/com.example-G5ZX==/base.apk=com.example\r\n", L"com.example", true},
        // adbd without a terminal: "\n" alone.
        {L"package:/system/app/S.apk=com.android.settings\npackage:/data/app/com.example-1.apk=com.example\n",
         L"com.example", true},
        // A middle one: read as one line, only the last "=" would be seen.
        {L"package:/system/app/S.apk=com.android.settings\npackage:/data/app/com.example-1.apk=com.example\n"
         L"package:/data/app/com.other-1.apk=com.other\n",
         L"com.example", true},
        {L"package:/system/app/S.apk=com.android.settings\r\npackage:/data/app/com.example-1.apk=com.example",
         L"com.example", true},
        {L"  package:/data/app/com.example-1.apk=com.example  \r\n", L"com.example", true},
        {L"package:/data/app/com.example.one-1/base.apk=com.example.one\r\n", L"com.example", false},
        {L"package:/data/app/com.example-1/base.apk=com.example.one\r\n", L"com.example", false},
        // Without "com." anywhere nothing counts.
        {L"package:/data/app/org.example-1.apk=org.example\r\n", L"org.example", false},
        {L"", L"com.example", false},
        {L"com.example\r\n", L"com.example", false},
        {L"package:=com.example\r\n", L"com.example", false},
        {L"package:/data/app/com.example-1.apk\r\n", L"com.example", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reply, c.reply + wcslen(c.reply)));
        EXPECT_EQ(c.listed, deviceReplyListsPackage(c.reply, c.package));
    }
}

TEST(DevicePackagesTest, ListAppIdsAreRealNumbers) {
    struct Case {
        const wchar_t* id;
        bool ok;
        uint32_t value;
    };
    const Case cases[] = {
        {L"12", true, 12},           {L"012", true, 12},      {L"4294967295", true, 4294967295u},
        {L"4294967296", false, 0},  {L"0", false, 0},        {L"00000000000", false, 0},
        {L"abc", false, 0},         {L"", false, 0},         {L"1 2", false, 0},
        {L"-1", false, 0},          {L"+1", false, 0},       {L"99999999999", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.id, c.id + wcslen(c.id)));
        uint32_t value = 0;
        EXPECT_EQ(c.ok, parseListAppId(c.id, value));
        if (c.ok) {
            EXPECT_EQ(c.value, value);
        }
    }
}

}  // namespace
