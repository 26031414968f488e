#include "installer/apk_manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "services/loader_env.h"
#include "testing/support/test_support.h"
#include "toolkit/string_util.h"

namespace {

std::wstring apk(const std::wstring& name) { return tst::binDir() + L"\\fixtures\\apk\\" + name; }

// Lines of this program's log that say the reader could not read the file
// (all of them for an empty path); the log is shared with other runs, so
// callers compare counts.
size_t unreadableLines(const std::string& path = std::string()) {
    const std::string tail = ", " + path;
    size_t count = 0;
    for (const std::string& line : tst::readLines(getLogFolder() + L"\\installer_tests.log")) {
        if (line.find(", , apk manifest unreadable: ") == std::string::npos) continue;
        if (path.empty() || (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0))
            ++count;
    }
    return count;
}

const wchar_t kUntouched[] = L"untouched";

TEST(ApkManifestTest, ValidFixturesGiveTheirLauncherAndPackage) {
    struct Case {
        const wchar_t* file;
        const wchar_t* package;  // kUntouched: not written
        std::wstring activity;
    };
    const Case cases[] = {
        {L"v_base.apk", L"com.x.base", L".Main"},
        {L"v_stored.apk", L"com.x.base", L".Main"},
        {L"v_two_launchers.apk", L"com.x.two", L".First"},
        {L"v_disabled_alias.apk", L"com.x.alias", L".Main"},
        {L"v_service_launcher.apk", L"com.x.svc", L""},
        {L"v_no_launcher.apk", L"com.x.none", L""},
        {L"v_plain_name.apk", L"com.x.plain", L"Main"},
        {L"v_inner_class.apk", L"com.x.inner", L"com.x.Outer$Inner"},
        {L"v_reference_name.apk", L"com.x.ref", L".Real"},
        {L"v_bad_package.apk", kUntouched, L".Main"},
        {L"v_mygame.apk", L"mygame.app", L".Main"},
        {L"v_ids_only.apk", L"com.x.ids", L".Main"},
        {L"v_no_map.apk", L"com.x.nomap", L".Main"},
        {L"v_raw_only.apk", L"com.x.raw", L".Main"},
        {L"v_utf8_long.apk", L"com.x.utf", L".L" + std::wstring(200, L'o')},
        {L"v_alias_long.apk", L"com.x.along", L".Alias"},
        {L"v_utf8_alias_long.apk", L"com.x.ualong", L".Alias"},
        // The Qv stand-in's fixtures.
        {L"good.apk", L"com.a.b", L".MainActivity"},
        {L"full.apk", L"com.a.b", L"com.a.b.Main"},
        {L"alias.apk", L"com.a.c", L".Alias"},
        {L"utf8.apk", L"com.a.e", L".Start"},
        {L"nolauncher.apk", L"com.a.d", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        const size_t logged = unreadableLines(wideToAnsi(apk(c.file)));
        std::wstring package = kUntouched;
        EXPECT_EQ(c.activity, readApkManifest(apk(c.file), package));
        EXPECT_EQ(std::wstring(c.package), package);
        EXPECT_EQ(logged, unreadableLines(wideToAnsi(apk(c.file))));
    }
}

TEST(ApkManifestTest, UnreadableFilesGiveNothingAndOneLogLine) {
    const wchar_t* files[] = {
        L"m_outer_type.apk",  L"m_chunk_size0.apk",   L"m_chunk_past_end.apk", L"m_header_below8.apk",
        L"m_string_count.apk", L"m_strings_start.apk", L"m_string_offset.apk",  L"m_utf16_length.apk",
        L"m_utf8_length.apk", L"m_invalid_utf8.apk",  L"m_name_index.apk",     L"m_attr_size0.apk",
        L"m_attr_count.apk",  L"m_attr_start.apk",    L"m_deep.apk",           L"m_end_nothing_open.apk",
        L"m_element_before_pool.apk", L"m_bad_crc.apk", L"m_huge.apk",         L"notzip.apk",
        L"nomanifest.apk",    L"no_such_file.apk",
    };
    // Read from copies of this test's own: other tests read the same fixtures
    // at the same time and log the same lines for them.
    tst::TempDir dir(L"mf");
    for (const wchar_t* file : files) {
        SCOPED_TRACE(tst::narrow(file));
        const std::wstring copy = dir.file(file);
        CopyFileW(apk(file).c_str(), copy.c_str(), TRUE);
        const std::string path = wideToAnsi(copy);
        const size_t before = unreadableLines(path);
        std::wstring package = kUntouched;
        EXPECT_EQ(L"", readApkManifest(copy, package));
        EXPECT_EQ(kUntouched, package);
        EXPECT_EQ(before + 1, unreadableLines(path));
    }
}

TEST(ApkManifestTest, EveryTruncationAndByteChangeOfASmallManifestEndsCleanly) {
    std::string base;
    ASSERT_TRUE(tst::readFile(apk(L"manifest_base.bin"), base));
    ApkManifestInfo info;
    std::string reason;
    ASSERT_TRUE(parseBinaryManifest(base, info, reason)) << reason;
    EXPECT_EQ(L"com.x.base", info.package);
    for (size_t n = 0; n < base.size(); ++n) {
        // Kept on the heap at its exact size, so a read past the end is a read past the block.
        const std::string cut = base.substr(0, n);
        EXPECT_FALSE(parseBinaryManifest(cut, info, reason)) << n;
        EXPECT_TRUE(info.activity.empty() && info.package.empty());
        EXPECT_FALSE(reason.empty());
    }
    size_t accepted = 0;
    for (size_t i = 0; i < base.size(); ++i) {
        for (unsigned char value : {0x00, 0xFF, 0x7F, 0x80}) {
            std::string changed = base;
            if ((unsigned char)changed[i] == value) continue;
            changed[i] = (char)value;
            if (parseBinaryManifest(changed, info, reason)) {
                ++accepted;
                EXPECT_LE(info.activity.size(), 255u);
            } else {
                EXPECT_TRUE(info.activity.empty() && info.package.empty());
            }
        }
    }
    // Changes inside string texts and line numbers still read.
    EXPECT_GT(accepted, 0u);
}

// The string pool's offset table ends inside its own chunk, also where the
// entries past the chunk would still be bytes of the document.
TEST(ApkManifestTest, StringPoolOffsetTableIsBoundedByItsChunk) {
    std::string bytes;
    ASSERT_TRUE(tst::readFile(apk(L"manifest_base.bin"), bytes));
    auto u16 = [&](size_t at) { return (uint32_t)(uint8_t)bytes[at] | (uint32_t)(uint8_t)bytes[at + 1] << 8; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    // The pool is the document's first chunk.
    const size_t pool = 8;
    ASSERT_EQ(1u, u16(pool));
    const uint32_t header = u16(pool + 2), size = u32(pool + 4);
    const uint32_t count = (size - header) / 4 + 8;  // eight entries past the chunk
    ASSERT_LE(pool + header + 4ull * count, bytes.size());
    for (int k = 0; k < 4; ++k) bytes[pool + 8 + k] = (char)((count >> (8 * k)) & 0xFF);
    ApkManifestInfo info;
    std::string reason;
    EXPECT_FALSE(parseBinaryManifest(bytes, info, reason));
    EXPECT_EQ("string pool offsets out of range", reason);
}

// The temporary folder of this process is a fresh one: other tests write to the
// shared one at the same time.
TEST(ApkManifestTest, ReadingLeavesNoFileInTheTemporaryFolder) {
    tst::TempDir temp(L"mftmp");
    wchar_t savedTmp[MAX_PATH] = {}, savedTemp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", temp.path().c_str());
    SetEnvironmentVariableW(L"TEMP", temp.path().c_str());
    wchar_t now[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, now);
    EXPECT_EQ(toLowerCopy(temp.path() + L"\\"), toLowerCopy(now));
    std::wstring package;
    EXPECT_EQ(L".Main", readApkManifest(apk(L"v_base.apk"), package));
    EXPECT_EQ(L"", readApkManifest(apk(L"m_bad_crc.apk"), package));
    EXPECT_EQ(L"", readApkManifest(apk(L"m_huge.apk"), package));
    SetEnvironmentVariableW(L"TMP", savedTmp[0] ? savedTmp : nullptr);
    SetEnvironmentVariableW(L"TEMP", savedTemp[0] ? savedTemp : nullptr);
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((temp.path() + L"\\*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    do {
        const std::wstring name = data.cFileName;
        EXPECT_TRUE(name == L"." || name == L"..") << tst::narrow(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
}

TEST(ApkManifestTest, TwoThreadsReadingAtOnceEachGetTheirOwnAnswer) {
    struct Reader {
        std::wstring file, package, activity;
        int wrong = 0;
        void run() {
            for (int i = 0; i < 40; ++i) {
                std::wstring p;
                std::wstring a = readApkManifest(apk(file), p);
                if (a != activity || p != package) ++wrong;
            }
        }
    };
    Reader one{L"v_two_launchers.apk", L"com.x.two", L".First"};
    Reader two{L"v_utf8_long.apk", L"com.x.utf", L".L" + std::wstring(200, L'o')};
    std::thread a([&] { one.run(); });
    std::thread b([&] { two.run(); });
    a.join();
    b.join();
    EXPECT_EQ(0, one.wrong);
    EXPECT_EQ(0, two.wrong);
}

TEST(ApkManifestTest, ExtractManifestCopiesTheItemExactlyOrLeavesNothing) {
    tst::TempDir dir(L"mf");
    std::string expected, got;
    ASSERT_TRUE(tst::readFile(apk(L"manifest_base.bin"), expected));
    for (const wchar_t* file : {L"v_base.apk", L"v_stored.apk"}) {
        const std::wstring out = dir.file(std::wstring(file) + L".xml");
        EXPECT_TRUE(extractManifest(apk(file), out));
        ASSERT_TRUE(tst::readFile(out, got));
        EXPECT_TRUE(got == expected) << tst::narrow(file);
    }
    for (const wchar_t* file : {L"nomanifest.apk", L"m_bad_crc.apk", L"m_huge.apk", L"notzip.apk", L"none.apk"}) {
        SCOPED_TRACE(tst::narrow(file));
        const std::wstring out = dir.file(std::wstring(file) + L".xml");
        EXPECT_FALSE(extractManifest(apk(file), out));
        EXPECT_FALSE(tst::fileExists(out));
    }
}

}  // namespace
