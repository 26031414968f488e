#include "toolkit/zip_extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "services/loader_env.h"
#include "testing/support/test_support.h"

using ravel::zip::ArchiveItem;
using ravel::zip::ArchiveReader;

namespace {

// Writes a zip with python's zipfile: body gets `z` (a ZipFile) and `data(n)` (n bytes).
bool makeZip(const std::wstring& path, const std::string& body) {
    std::string script =
        "import sys, zipfile\n"
        "def data(n):\n"
        "    return bytes((i * 7 + i // 251) % 256 for i in range(n))\n"
        "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n" +
        body + "\nz.close()\n";
    int rc = -1;
    return tst::runLinux("/usr/bin/python3 -c " + tst::shQuote(script) + " " + tst::shQuote(tst::unixPath(path)), 30000, &rc) &&
           rc == 0;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 7 + i / 251) % 256);
    return s;
}

std::string contents(const std::wstring& path) {
    std::string s;
    return tst::readFile(path, s) ? s : std::string("<missing>");
}

struct Recorder {
    std::vector<float> percents;
    std::vector<std::wstring> names;
    int cancelAt = -1;   // set cancel on this call
    int quietAt = -1;    // set quiet on this call
    void onProgress(UnzipProgress* p) {
        percents.push_back(p->percent);
        names.push_back(p->itemName);
        if ((int)percents.size() == cancelAt) p->cancel = true;
        if ((int)percents.size() == quietAt) p->quiet = true;
    }
    UnzipProgressCallback callback() { return UnzipProgressCallback(this, &Recorder::onProgress); }
};

}  // namespace

TEST(ZipNames, CleaningRules) {
    struct { const wchar_t* stored; const wchar_t* cleaned; } cases[] = {
        {L"C:\\evil\\x.dll", L"evil\\x.dll"}, {L"\\x.dll", L"x.dll"}, {L"/x.dll", L"x.dll"},
        {L"a/../x.dll", L"x.dll"}, {L"a\\..\\b/../x.dll", L"x.dll"}, {L"C:/D:/x", L"x"},
        {L"../x.dll", L"../x.dll"}, {L"a/../../x.dll", L"../x.dll"}, {L"top/sub/", L"top/sub/"},
    };
    for (auto& c : cases) EXPECT_EQ(ravel::zip::cleanItemName(c.stored), c.cleaned) << c.stored;
}

TEST(ZipExtract, HostileAndOddNames) {
    struct Case { const char* stored; const wchar_t* written; };  // written: null = refused
    Case cases[] = {
        {"C:\\\\evil\\\\x.dll", L"evil\\x.dll"}, {"\\\\x.dll", L"x.dll"}, {"/x.dll", L"x.dll"},
        {"a/../x.dll", L"x.dll"}, {"../x.dll", nullptr}, {"a/../../x.dll", nullptr},
        {"a/C:/x", nullptr}, {"file:stream", nullptr}, {"a/\\x01b", nullptr},
    };
    for (auto& c : cases) {
        tst::TempDir dir;
        std::wstring zip = dir.file(L"n.zip"), dest = dir.file(L"out\\deep");
        ASSERT_TRUE(makeZip(zip, std::string("z.writestr('") + c.stored + "', b'payload')")) << c.stored;
        bool ok = unzipToFolder(zip, dest, false, nullptr);
        if (c.written) {
            EXPECT_TRUE(ok) << c.stored;
            EXPECT_EQ(contents(dest + L"\\" + c.written), "payload") << c.stored;
        } else {
            EXPECT_FALSE(ok) << c.stored;
            // Nothing at all, inside or above the destination.
            EXPECT_FALSE(tst::fileExists(dir.file(L"out\\x.dll"))) << c.stored;
            EXPECT_FALSE(tst::fileExists(dir.file(L"x.dll"))) << c.stored;
            WIN32_FIND_DATAW fd;
            HANDLE h = FindFirstFileW((dest + L"\\*").c_str(), &fd);
            int entries = 0;
            if (h != INVALID_HANDLE_VALUE) {
                do { if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) ++entries; } while (FindNextFileW(h, &fd));
                FindClose(h);
            }
            EXPECT_EQ(entries, 0) << c.stored;
        }
    }
}

TEST(ZipExtract, StripTopFolderAndMissingFolderItems) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"t.zip"), dest = dir.file(L"dest");
    ASSERT_TRUE(makeZip(zip,
        "z.writestr('root.txt', b'root')\n"
        "z.writestr('top/', b'')\n"
        "z.writestr('top/a.txt', b'A')\n"
        "z.writestr('top/sub/', b'')\n"
        "z.writestr('top/sub/b.txt', b'B')\n"
        "z.writestr('top/x/y/c.txt', b'C')\n"));
    EXPECT_TRUE(unzipToFolder(zip, dest, true, nullptr));
    EXPECT_EQ(contents(dest + L"\\a.txt"), "A");
    EXPECT_EQ(contents(dest + L"\\sub\\b.txt"), "B");
    EXPECT_EQ(contents(dest + L"\\x\\y\\c.txt"), "C");  // no folder items for x and y
    EXPECT_FALSE(tst::fileExists(dest + L"\\root.txt"));
    EXPECT_FALSE(tst::fileExists(dest + L"\\top"));
}

TEST(ZipExtract, SizesAndCompressionMatchByteForByte) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"s.zip"), dest = dir.file(L"d");
    ASSERT_TRUE(makeZip(zip,
        "for n in (0, 65535, 65536, 65537, 300001):\n"
        "    z.writestr('f%d.bin' % n, data(n))\n"
        "z.writestr(zipfile.ZipInfo('stored.bin'), data(70000), compress_type=zipfile.ZIP_STORED)\n"
        "z.writestr('\\u5854\\u6c83/\\u6587\\u4ef6.txt', '\\u4e2d\\u6587'.encode('utf-8'))\n"));
    Recorder rec;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_TRUE(unzipToFolder(zip, dest, false, &cb));
    for (size_t n : {0u, 65535u, 65536u, 65537u, 300001u})
        EXPECT_EQ(contents(dest + L"\\f" + std::to_wstring(n) + L".bin"), pattern(n)) << n;
    EXPECT_EQ(contents(dest + L"\\stored.bin"), pattern(70000));
    EXPECT_EQ(contents(dest + L"\\\u5854\u6c83\\\u6587\u4ef6.txt"), "\xe4\xb8\xad\xe6\x96\x87");
    ASSERT_FALSE(rec.percents.empty());
    for (size_t i = 1; i < rec.percents.size(); ++i) EXPECT_GE(rec.percents[i], rec.percents[i - 1]) << i;
    EXPECT_FLOAT_EQ(rec.percents.back(), 100.0f);
}

TEST(ZipExtract, DamagedDataRemovesThePartialFileAndGoesOn) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"c.zip"), dest = dir.file(L"d");
    ASSERT_TRUE(makeZip(zip,
        "z.writestr('bad.bin', data(200000))\n"
        "z.writestr('good.txt', b'fine')\n"));
    // Flip bytes in the middle of the first item's deflate data.
    std::string bytes;
    ASSERT_TRUE(tst::readFile(zip, bytes));
    for (size_t i = 200; i < 400; ++i) bytes[i] = (char)~bytes[i];
    ASSERT_TRUE(tst::writeFile(zip, bytes));
    EXPECT_FALSE(unzipToFolder(zip, dest, false, nullptr));
    EXPECT_FALSE(tst::fileExists(dest + L"\\bad.bin"));
    EXPECT_EQ(contents(dest + L"\\good.txt"), "fine");
}

TEST(ZipExtract, DestinationRules) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"e.zip");
    ASSERT_TRUE(makeZip(zip, "z.writestr('beside.txt', b'x')"));
    EXPECT_TRUE(unzipToFolder(zip, L"", false, nullptr));
    EXPECT_EQ(contents(dir.file(L"beside.txt")), "x");

    EXPECT_FALSE(unzipToFolder(dir.file(L"missing.zip"), dir.file(L"m"), false, nullptr));

    // A file stands where the destination's parent should be.
    ASSERT_TRUE(tst::writeFile(dir.file(L"blocker"), "f"));
    EXPECT_FALSE(unzipToFolder(zip, dir.file(L"blocker\\out"), false, nullptr));
    EXPECT_FALSE(tst::fileExists(dir.file(L"blocker\\out\\beside.txt")));
}

TEST(ZipExtract, CancelInTheFirstChunkStopsEverything) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"k.zip"), dest = dir.file(L"d");
    ASSERT_TRUE(makeZip(zip, "z.writestr('one.bin', data(200000))\nz.writestr('two.bin', data(10))"));
    Recorder rec;
    rec.cancelAt = 1;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_TRUE(unzipToFolder(zip, dest, false, &cb));
    EXPECT_EQ(rec.percents.size(), 1u);
    EXPECT_FALSE(tst::fileExists(dest + L"\\one.bin"));
    EXPECT_FALSE(tst::fileExists(dest + L"\\two.bin"));
}

TEST(ZipExtract, QuietStopsAllCalls) {
    tst::TempDir dir;
    std::wstring zip = dir.file(L"q.zip"), dest = dir.file(L"d");
    ASSERT_TRUE(makeZip(zip, "z.writestr('one.bin', data(200000))\nz.writestr('two.bin', data(10))"));
    Recorder rec;
    rec.quietAt = 2;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_TRUE(unzipToFolder(zip, dest, false, &cb));
    EXPECT_EQ(rec.percents.size(), 2u);
    EXPECT_EQ(contents(dest + L"\\two.bin"), pattern(10));
}

namespace {

// An archive reader whose items say what the test wants.
class FakeReader : public ArchiveReader {
public:
    struct Item {
        std::wstring name;
        uint64_t declared;
        std::string data;
        bool failAfterFirstChunk = false;
    };
    std::vector<Item> items;
    std::map<int, size_t> offset;

    bool open(const std::wstring&) override { return true; }
    int count() override { return (int)items.size(); }
    bool item(int index, ArchiveItem& out) override {
        out = ArchiveItem();
        out.index = index;
        const Item& it = items[index];
        if (it.name.size() > 259) out.nameTooLong = true;
        else out.name = ravel::zip::cleanItemName(it.name);
        out.uncompressedSize = it.declared;
        return true;
    }
    ReadResult read(int index, char* buffer, unsigned& got) override {
        const Item& it = items[index];
        size_t& at = offset[index];
        if (it.failAfterFirstChunk && at > 0) { got = 0; return kError; }
        got = (unsigned)std::min<size_t>(kChunk, it.data.size() - at);
        memcpy(buffer, it.data.data() + at, got);
        at += got;
        return got ? kMore : kDone;
    }
    void close() override {}
};

}  // namespace

TEST(ZipExtract, ReaderEdgeCases) {
    tst::TempDir dir;
    FakeReader reader;
    reader.items = {
        {L"huge.bin", 0x90000000ull, pattern(1000)},          // declared size beyond 2 GiB
        {std::wstring(300, L'n'), 5, "12345"},               // name too long
        {L"broken.bin", 200000, pattern(200000), true},       // read fails in mid-item
        {L"fine.txt", 4, "fine"},
    };
    Recorder rec;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_FALSE(ravel::zip::unzipWith(reader, dir.file(L"x.zip"), dir.path(), false, &cb));
    EXPECT_EQ(contents(dir.file(L"huge.bin")), pattern(1000));  // only what was read
    EXPECT_FALSE(tst::fileExists(dir.file(L"broken.bin")));
    EXPECT_EQ(contents(dir.file(L"fine.txt")), "fine");
    for (float p : rec.percents) {
        EXPECT_GE(p, 0.0f);
        EXPECT_LE(p, 100.0f);
    }
}

TEST(ZipExtract, EmptyItemsReportOneHundred) {
    tst::TempDir dir;
    FakeReader reader;
    reader.items = {{L"empty1", 0, ""}, {L"folder/", 0, ""}, {L"empty2", 0, ""}};
    Recorder rec;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_TRUE(ravel::zip::unzipWith(reader, dir.file(L"x.zip"), dir.path(), false, &cb));
    ASSERT_EQ(rec.percents.size(), 2u);  // one per file, none for the folder
    for (float p : rec.percents) EXPECT_FLOAT_EQ(p, 100.0f);
    EXPECT_TRUE(tst::fileExists(dir.file(L"folder")));
    EXPECT_EQ(contents(dir.file(L"empty2")), "");
}

namespace {

// Items as stored, without the reader's name cleaning; data produced in chunks
// up to `produced` bytes whatever the declared size.
class RawReader : public ArchiveReader {
public:
    struct Item {
        std::wstring name;
        uint64_t declared;
        uint64_t produced;
    };
    std::vector<Item> items;
    std::map<int, uint64_t> offset;

    bool open(const std::wstring&) override { return true; }
    int count() override { return (int)items.size(); }
    bool item(int index, ArchiveItem& out) override {
        out = ArchiveItem();
        out.index = index;
        out.name = items[index].name;
        out.uncompressedSize = items[index].declared;
        return true;
    }
    ReadResult read(int index, char* buffer, unsigned& got) override {
        uint64_t& at = offset[index];
        got = (unsigned)std::min<uint64_t>(kChunk, items[index].produced - at);
        memset(buffer, 'z', got);
        at += got;
        return got ? kMore : kDone;
    }
    void close() override {}
};

}  // namespace

// Names without ".." or ":" that still resolve to no place inside the
// destination (trailing dots and blanks fall away): only the check of the
// written path stops them.
TEST(ZipExtract, PathsThatResolveOutsideTheInsideAreRefused) {
    for (const wchar_t* name : {L".../", L".. /", L"... /", L".. ./"}) {
        SCOPED_TRACE(tst::narrow(name));
        tst::TempDir dir;
        const std::wstring dest = dir.file(L"dest");
        RawReader reader;
        reader.items = {{name, 0, 0}, {L"fine.txt", 4, 4}};
        EXPECT_FALSE(ravel::zip::unzipWith(reader, dir.file(L"x.zip"), dest, false, nullptr));
        EXPECT_EQ(contents(dest + L"\\fine.txt"), "zzzz");
    }
}

// With the top folder stripped, a hostile first component is refused before it
// is cut away, as it would be without stripping.
TEST(ZipExtract, StrippingDoesNotHideAHostileFirstComponent) {
    for (const wchar_t* name : {L"../x.dll", L"a:b/x", L"ab:s/x.dll", L"..\\x.dll"}) {
        SCOPED_TRACE(tst::narrow(name));
        const std::wstring logPath = getLogFolder() + L"\\toolkit_tests.log";
        std::string log;
        tst::readFile(logPath, log);
        const size_t logBefore = log.size();
        tst::TempDir dir;
        const std::wstring dest = dir.file(L"dest");
        RawReader reader;
        reader.items = {{name, 4, 4}, {L"top/fine.txt", 4, 4}};
        EXPECT_FALSE(ravel::zip::unzipWith(reader, dir.file(L"x.zip"), dest, true, nullptr));
        EXPECT_FALSE(tst::fileExists(dest + L"\\x.dll"));
        EXPECT_FALSE(tst::fileExists(dest + L"\\x"));
        EXPECT_FALSE(tst::fileExists(dir.file(L"x.dll")));
        EXPECT_EQ(contents(dest + L"\\fine.txt"), "zzzz");
        tst::readFile(logPath, log);
        EXPECT_NE(log.find("unzip: item " + tst::narrow(name) + " refused", logBefore), std::string::npos);
    }
}

// Declared sizes past 4 GiB: the percent is counted in 64 bits. Two items of
// 3 GiB that produce nothing and one of 2 MiB: a 32-bit total (2 GiB + 2 MiB)
// would put the percent three times too high.
TEST(ZipExtract, PercentCountsDeclaredSizesInSixtyFourBits) {
    const uint64_t GiB = 1ull << 30, MiB = 1ull << 20;
    tst::TempDir dir;
    RawReader reader;
    reader.items = {{L"a.bin", 3 * GiB, 0}, {L"b.bin", 3 * GiB, 0}, {L"c.bin", 2 * MiB, 2 * MiB}};
    Recorder rec;
    UnzipProgressCallback cb = rec.callback();
    EXPECT_TRUE(ravel::zip::unzipWith(reader, dir.file(L"x.zip"), dir.path(), false, &cb));
    ASSERT_FALSE(rec.percents.empty());
    const double total = (double)(6 * GiB + 2 * MiB);
    // One report per chunk of c.bin after the two empty items.
    size_t chunkReports = 0;
    for (size_t i = 0; i < rec.percents.size(); ++i) {
        if (rec.names[i] != L"c.bin") continue;
        ++chunkReports;
        const double written = (double)std::min<uint64_t>(chunkReports * ArchiveReader::kChunk, 2 * MiB);
        EXPECT_NEAR(written * 100.0 / total, rec.percents[i], 1e-4) << i;
    }
    EXPECT_GE(chunkReports, 32u);
    EXPECT_NEAR(2.0 * MiB * 100.0 / total, rec.percents.back(), 1e-4);
    EXPECT_LT(rec.percents.back(), 0.04f);
}
