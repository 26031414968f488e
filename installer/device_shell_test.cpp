#include "installer/device_shell.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

TEST(DeviceShellQuoting, EscapesWhatStaysSpecialInDoubleQuotes) {
    struct Case {
        std::wstring text;
        bool ok;
        std::wstring quoted;
    };
    const std::vector<Case> cases = {
        {L"/sdcard/a.apk", true, L"\"/sdcard/a.apk\""},
        {L"a b'c;|&<>*?~#!(){}", true, L"\"a b'c;|&<>*?~#!(){}\""},
        {L"a\\b", true, L"\"a\\\\b\""},
        {L"a\"b", true, L"\"a\\\"b\""},
        {L"a$b", true, L"\"a\\$b\""},
        {L"a`b`", true, L"\"a\\`b\\`\""},
        {L"\u5e94\u7528", true, L"\"\u5e94\u7528\""},
        {L"", true, L"\"\""},
        {std::wstring(L"a\0b", 3), false, L""},
        {L"a\x01", false, L""},
        {L"a\nb", false, L""},
        {L"a\x1f", false, L""},
        {L"a\x7f", false, L""},
    };
    for (const auto& c : cases) {
        std::wstring out = L"untouched";
        EXPECT_EQ(c.ok, quoteForDeviceShell(c.text, out)) << tst::narrow(c.text);
        EXPECT_EQ(c.ok ? c.quoted : L"untouched", out) << tst::narrow(c.text);
    }
}
