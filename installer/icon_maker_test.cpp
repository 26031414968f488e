// The icon maker and packer on the generated picture fixtures, read back by the
// test ICO reader and by Wine's own icon loader.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "installer/app_shortcuts.h"
#include "services/loader_env.h"
#include "testing/support/ico_reader.h"
#include "testing/support/test_support.h"
#include "toolkit/sys_util.h"

namespace {

std::wstring pic(const wchar_t* name) { return tst::picturePath(name); }

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::string fileBytes(const std::wstring& path) {
    std::string bytes;
    tst::readFile(path, bytes);
    return bytes;
}

// Pixel (x, y), top row 0, of a 32-bit icon image, as B, G, R, A.
const uint8_t* iconPixel(const tst::IcoFile& ico, const tst::IcoEntry& e, int x, int y) {
    return reinterpret_cast<const uint8_t*>(ico.bytes.data()) + e.pixelOffset +
           ((e.width - 1 - y) * e.width + x) * 4;
}

bool allZero(const std::string& bytes, size_t at, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (bytes[at + i] != 0) return false;
    return true;
}

std::set<std::wstring> filesIn(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.insert(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

SIZE_T committedBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PrivateUsage;
}

// %TEMP% of this process pointed at a folder of its own while alive, so that the
// shared temporary data folder of parallel test processes is not looked at.
class PrivateTemp {
public:
    PrivateTemp() : dir_(L"tmp") {
        wchar_t old[MAX_PATH] = {};
        had_ = GetEnvironmentVariableW(L"TEMP", old, MAX_PATH) > 0;
        old_ = old;
        SetEnvironmentVariableW(L"TEMP", dir_.path().c_str());
        SetEnvironmentVariableW(L"TMP", dir_.path().c_str());
    }
    ~PrivateTemp() {
        SetEnvironmentVariableW(L"TEMP", had_ ? old_.c_str() : nullptr);
        SetEnvironmentVariableW(L"TMP", had_ ? old_.c_str() : nullptr);
    }
    const std::wstring& path() const { return dir_.path(); }

private:
    tst::TempDir dir_;
    bool had_ = false;
    std::wstring old_;
};

// ------------------------------------------------------------ child runs

// Runs the disabled child test below with its standard output in a file and
// returns what the icon call printed, and its result.
struct ChildRun {
    long exitCode = -1;
    std::string printed;
    int result = -1;
};

ChildRun runChild(const std::vector<std::wstring>& env) {
    ChildRun run;
    tst::TempDir dir(L"ico");
    const std::wstring outPath = dir.file(L"stdout.txt");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return run;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=IconChild.DISABLED_Run";
    std::vector<wchar_t> block = tst::environmentWith(env);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                       nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        run.exitCode = static_cast<long>(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
    // The C runtime's text mode writes "\r\n" for each "\n".
    std::string text;
    for (char c : fileBytes(outPath))
        if (c != '\r') text += c;
    const size_t begin = text.find("<<<\n");
    const size_t end = text.find(">>>result=", begin);
    if (begin != std::string::npos && end != std::string::npos) {
        run.printed = text.substr(begin + 4, end - begin - 4);
        run.result = text[end + 10] - '0';
    }
    return run;
}

std::wstring envText(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    GetEnvironmentVariableW(name, buffer, 4096);
    return buffer;
}

TEST(IconChild, DISABLED_Run) {
    const std::wstring ico = envText(L"ICON_CHILD_ICO");
    std::vector<std::wstring> inputs;
    const std::wstring list = envText(L"ICON_CHILD_IN");
    for (size_t at = 0; at <= list.size();) {
        size_t bar = list.find(L'|', at);
        if (bar == std::wstring::npos) bar = list.size();
        inputs.push_back(list.substr(at, bar - at));
        at = bar + 1;
    }
    const int size = _wtoi(envText(L"ICON_CHILD_SIZE").c_str());
    std::printf("<<<\n");
    std::fflush(stdout);
    const bool ok = size ? makeIcon(inputs[0], ico, size) : packIcon(ico, inputs);
    std::printf(">>>result=%d\n", ok ? 1 : 0);
    std::fflush(stdout);
}

std::string n(const std::wstring& path) { return wideToNarrow(path); }

// ------------------------------------------------------------ makeIcon

TEST(MakeIconTest, AlphaDiskGivesOneExact32BitImage) {
    tst::TempDir dir(L"ico");
    const std::wstring ico = dir.file(L"disk.ico");
    ASSERT_TRUE(makeIcon(pic(L"rgba_disk.png"), ico, 64));

    tst::IcoFile f = tst::readIco(ico);
    ASSERT_TRUE(f.valid) << f.error;
    EXPECT_EQ(16958u, f.bytes.size());
    ASSERT_EQ(1u, f.entries.size());
    const tst::IcoEntry& e = f.entries[0];
    EXPECT_EQ(64, e.width);
    EXPECT_EQ(64, e.height);
    EXPECT_EQ(0, e.colourCount);
    EXPECT_EQ(0, e.planes);
    EXPECT_EQ(0, e.bitCount);
    EXPECT_EQ(22u, e.offset);
    EXPECT_EQ(16936u, e.bytes);
    EXPECT_EQ(128, e.bmpHeight);
    EXPECT_EQ(32, e.bmpBits);
    EXPECT_EQ(0u, e.compression);
    EXPECT_EQ(64u * 8, e.maskBytes);
    EXPECT_TRUE(allZero(f.bytes, e.maskOffset, e.maskBytes));
    EXPECT_TRUE(allZero(f.bytes, e.offset + 20, 20)) << "image size, resolutions and colour counts are 0";

    const uint8_t* centre = iconPixel(f, e, 32, 32);
    EXPECT_EQ(0, centre[0]);
    EXPECT_EQ(0, centre[1]);
    EXPECT_EQ(255, centre[2]);
    EXPECT_EQ(255, centre[3]);
    EXPECT_EQ(0, iconPixel(f, e, 0, 0)[3]);
}

TEST(MakeIconTest, WinesIconLoaderSeesTheAlphaWithoutTheHiddenColour) {
    tst::TempDir dir(L"ico");
    const std::wstring ico = dir.file(L"disk.ico");
    ASSERT_TRUE(makeIcon(pic(L"rgba_disk.png"), ico, 64));

    HICON icon = static_cast<HICON>(LoadImageW(nullptr, ico.c_str(), IMAGE_ICON, 64, 64, LR_LOADFROMFILE));
    ASSERT_NE(nullptr, icon);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    ASSERT_NE(nullptr, info.hbmColor);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = 64;
    bi.bmiHeader.biHeight = -64;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    std::vector<uint8_t> px(64 * 64 * 4);
    HDC dc = GetDC(nullptr);
    EXPECT_EQ(64, GetDIBits(dc, info.hbmColor, 0, 64, px.data(), &bi, DIB_RGB_COLORS));
    ReleaseDC(nullptr, dc);
    const uint8_t* centre = &px[(32 * 64 + 32) * 4];
    EXPECT_EQ(0x00, centre[0]);
    EXPECT_EQ(0x00, centre[1]);
    EXPECT_EQ(0xFF, centre[2]);
    EXPECT_EQ(0xFF, centre[3]);
    EXPECT_EQ(0, px[3]) << "corner alpha";
    int fringe = 0;
    for (size_t i = 0; i < px.size(); i += 4)
        if (px[i + 3] > 0 && px[i] > 16) ++fringe;
    EXPECT_EQ(0, fringe) << "pixels showing the colour hidden under alpha 0";
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);

    EXPECT_EQ(1u, ExtractIconExW(ico.c_str(), -1, nullptr, nullptr, 0));
    HICON extracted = nullptr;
    UINT id = 0;
    ASSERT_EQ(1u, PrivateExtractIconsW(ico.c_str(), 0, 64, 64, &extracted, &id, 1, 0));
    ICONINFO xinfo = {};
    ASSERT_TRUE(GetIconInfo(extracted, &xinfo));
    BITMAP bm = {};
    GetObjectW(xinfo.hbmColor ? xinfo.hbmColor : xinfo.hbmMask, sizeof bm, &bm);
    EXPECT_EQ(64, bm.bmWidth);
    EXPECT_EQ(64, bm.bmHeight);
    DeleteObject(xinfo.hbmColor);
    DeleteObject(xinfo.hbmMask);
    DestroyIcon(extracted);
}

TEST(MakeIconTest, PicturesOfEveryKindGiveValidIcons) {
    struct Probe {
        int x, y;
        uint8_t b, g, r, a;
    };
    struct Case {
        const wchar_t* file;
        std::vector<Probe> probes;
    } cases[] = {
        {L"palette_trns.png", {{2, 2, 0, 0, 0, 0}, {60, 2, 0, 255, 0, 255}, {60, 60, 255, 0, 0, 0x80}}},
        {L"gray.png", {{30, 30, 0x80, 0x80, 0x80, 255}}},
        {L"rgba16.png", {{2, 30, 0, 0, 255, 255}}},
        {L"interlaced.png", {{2, 2, 0, 0, 255, 255}, {61, 61, 255, 255, 255, 255}}},
        {L"one_pixel.png", {{0, 0, 0, 255, 0, 255}, {63, 63, 0, 255, 0, 255}}},
        {L"wide_200x100.png", {{1, 1, 0, 0, 255, 255}, {62, 62, 255, 0, 0, 255}}},
        // The largest picture taken: CImg's buffer limit must allow its image.
        {L"limit_2048x2048.png", {{10, 10, 30, 20, 10, 255}}},
    };
    tst::TempDir dir(L"ico");
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file));
        const std::wstring ico = dir.file(std::wstring(c.file) + L".ico");
        ASSERT_TRUE(makeIcon(pic(c.file), ico, 64));
        tst::IcoFile f = tst::readIco(ico);
        ASSERT_TRUE(f.valid) << f.error;
        ASSERT_EQ(1u, f.entries.size());
        ASSERT_EQ(32, f.entries[0].bmpBits);
        for (const Probe& p : c.probes) {
            const uint8_t* q = iconPixel(f, f.entries[0], p.x, p.y);
            EXPECT_EQ(p.a, q[3]) << p.x << "," << p.y;
            if (p.a) {
                EXPECT_NEAR(p.b, q[0], 2) << p.x << "," << p.y;
                EXPECT_NEAR(p.g, q[1], 2) << p.x << "," << p.y;
                EXPECT_NEAR(p.r, q[2], 2) << p.x << "," << p.y;
            }
        }
    }
}

TEST(MakeIconTest, HostilePicturesFailFastCheaplyAndKeepTheOldIcon) {
    PrivateTemp temp;
    tst::TempDir dir(L"ico");
    const std::wstring ico = dir.file(L"app.ico");
    ASSERT_TRUE(makeIcon(pic(L"rgba_disk.png"), ico, 64));
    const std::string good = fileBytes(ico);
    const std::set<std::wstring> tempBefore = filesIn(getTempDataFolder());
    const std::wstring missing = dir.file(L"missing.png");

    const std::wstring files[] = {pic(L"huge_header.png"),    pic(L"over_2049x1.png"), pic(L"zero_width.png"),
                                  pic(L"cut_after_ihdr.png"), pic(L"short_idat.png"),  pic(L"crc_error.png"),
                                  pic(L"html.png"),           pic(L"jpeg_bytes.png"),  pic(L"empty.png"),
                                  missing,                    pic(L"over_8mib.png")};
    const SIZE_T before = committedBytes();
    for (const std::wstring& png : files) {
        SCOPED_TRACE(tst::narrow(png));
        const DWORD t0 = GetTickCount();
        EXPECT_FALSE(makeIcon(png, ico, 64));
        EXPECT_LT(GetTickCount() - t0, 1000u);
        EXPECT_EQ(good, fileBytes(ico));
        EXPECT_FALSE(tst::fileExists(ico + L".part"));
    }
    const SIZE_T after = committedBytes();
    EXPECT_LT(after > before ? after - before : 0, SIZE_T(16) << 20);
    EXPECT_EQ(tempBefore, filesIn(getTempDataFolder()));

    std::string log;
    ASSERT_TRUE(tst::readFile(getLogFolder() + L"\\installer_tests.log", log));
    for (const std::wstring& png : files)
        EXPECT_NE(std::string::npos, log.find("make icon failed: " + n(png))) << tst::narrow(png);
}

TEST(MakeIconTest, FoldersOutsideTheAnsiCodePageWork) {
    tst::TempDir dir(L"ico");
    const std::wstring folder = dir.file(L"\u0105pp");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(pic(L"rgba_disk.png").c_str(), (folder + L"\\\u0105.png").c_str(), FALSE));
    ASSERT_TRUE(makeIcon(folder + L"\\\u0105.png", folder + L"\\\u0105.ico", 64));
    EXPECT_TRUE(tst::readIco(folder + L"\\\u0105.ico").valid);
}

TEST(MakeIconTest, UnsupportedSizeFailsWithThePackersMessage) {
    PrivateTemp temp;
    tst::TempDir dir(L"ico");
    const std::wstring ico = dir.file(L"48.ico");
    ChildRun run = runChild({L"ICON_CHILD_ICO=" + ico, L"ICON_CHILD_IN=" + pic(L"rgba_disk.png"),
                             L"ICON_CHILD_SIZE=48", L"TEMP=" + temp.path(), L"TMP=" + temp.path()});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(0, run.result);
    // The bitmap is a unique temporary file, gone again afterwards.
    const std::string prefix = "Reading ";
    ASSERT_EQ(0u, run.printed.find(prefix)) << run.printed;
    const std::string bmp = run.printed.substr(prefix.size(), run.printed.find('\n') - prefix.size());
    EXPECT_NE(std::string::npos, bmp.find("\\TVD")) << bmp;
    EXPECT_EQ(prefix + bmp + "\nBMP's must be 16x16, 32x32, or 64x64: " + bmp + "\n", run.printed);
    EXPECT_FALSE(tst::fileExists(tst::widen(bmp)));
    EXPECT_FALSE(tst::fileExists(ico));
    EXPECT_FALSE(tst::fileExists(ico + L".part"));
}

// ------------------------------------------------------------ packIcon

TEST(PackIconTest, CopiesEachBitmapExactly) {
    struct Expected {
        uint32_t offset, bytes;
        int colourCount;
    };
    struct Case {
        std::vector<const wchar_t*> inputs;
        size_t fileSize;
        std::vector<Expected> entries;
    } cases[] = {
        {{L"bmp24_64.bmp"}, 12862, {{22, 12840, 0}}},
        {{L"bmp32_64.bmp"}, 16958, {{22, 16936, 0}}},
        {{L"bmp8_16_256.bmp"}, 1406, {{22, 1384, 0}}},
        {{L"bmp8_16_used16.bmp"}, 1406, {{22, 1384, 0}}},
        {{L"bmp4_32.bmp"}, 766, {{22, 744, 16}}},
        {{L"bmp1_16.bmp"}, 198, {{22, 176, 2}}},
        {{L"bmp32_16.bmp", L"bmp32_32.bmp", L"bmp32_64.bmp"},
         22382,
         {{54, 1128, 0}, {1182, 4264, 0}, {5446, 16936, 0}}},
    };
    tst::TempDir dir(L"ico");
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.inputs[0]));
        std::vector<std::wstring> paths;
        for (const wchar_t* in : c.inputs) paths.push_back(pic(in));
        const std::wstring ico = dir.file(L"packed.ico");
        ASSERT_TRUE(packIcon(ico, paths));
        EXPECT_FALSE(tst::fileExists(ico + L".part"));
        tst::IcoFile f = tst::readIco(ico);
        ASSERT_TRUE(f.valid) << f.error;
        EXPECT_EQ(c.fileSize, f.bytes.size());
        ASSERT_EQ(c.entries.size(), f.entries.size());
        for (size_t i = 0; i < c.entries.size(); ++i) {
            const tst::IcoEntry& e = f.entries[i];
            const std::string src = fileBytes(paths[i]);
            const uint32_t bits = src[28];
            EXPECT_EQ(c.entries[i].offset, e.offset);
            EXPECT_EQ(c.entries[i].bytes, e.bytes);
            EXPECT_EQ(c.entries[i].colourCount, e.colourCount);
            EXPECT_EQ(0, e.planes);
            EXPECT_EQ(0, e.bitCount);
            EXPECT_EQ(static_cast<int>(le32(src, 18)), e.width);
            EXPECT_EQ(2 * static_cast<int32_t>(le32(src, 22)), e.bmpHeight);
            EXPECT_EQ(static_cast<int>(bits), e.bmpBits);
            EXPECT_TRUE(allZero(f.bytes, e.offset + 20, 20));
            // The used palette entries, then zero entries up to the full palette.
            const uint32_t used = bits < 16 ? (le32(src, 46) ? le32(src, 46) : 1u << bits) : 0;
            EXPECT_EQ(src.substr(54, used * 4), f.bytes.substr(e.paletteOffset, used * 4));
            EXPECT_TRUE(allZero(f.bytes, e.paletteOffset + used * 4, e.paletteBytes - used * 4));
            EXPECT_EQ(src.substr(le32(src, 10), e.pixelBytes), f.bytes.substr(e.pixelOffset, e.pixelBytes));
            EXPECT_TRUE(allZero(f.bytes, e.maskOffset, e.maskBytes));
        }
    }
}

// The app folder is the user's: what another program planted at the ".part"
// name is replaced, never written through.
TEST(PackIconTest, APlantedPartEntryIsReplacedNotFollowed) {
    tst::TempDir dir(L"ico");
    const std::wstring ico = dir.file(L"packed.ico");
    const std::wstring part = ico + L".part";
    const std::wstring target = dir.file(L"target.txt");
    ASSERT_TRUE(tst::writeFile(target, "not the icon"));
    // Wine 8 deletes through a host link to a file: the planted entry here is a read-only file.
    {
        ASSERT_TRUE(tst::writeFile(part, "planted"));
        ASSERT_TRUE(SetFileAttributesW(part.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(packIcon(ico, {pic(L"bmp32_16.bmp")}));
        EXPECT_TRUE(tst::readIco(ico).valid);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(part.c_str()));
        EXPECT_EQ("not the icon", fileBytes(target));
    }
    // A hard link shares the file's data: writing into the planted name would
    // write into the file outside.
    {
        DeleteFileW(part.c_str());
        if (!CreateHardLinkW(part.c_str(), target.c_str(), nullptr)) GTEST_SKIP() << GetLastError();
        ASSERT_TRUE(packIcon(ico, {pic(L"bmp32_16.bmp")}));
        EXPECT_TRUE(tst::readIco(ico).valid);
        EXPECT_EQ("not the icon", fileBytes(target));
    }
}

TEST(PackIconTest, BadInputsPrintTheirMessageAndLeaveTheOldIcon) {
    tst::TempDir dir(L"ico");
    const std::wstring missing = dir.file(L"missing.bmp");
    const std::wstring noFolder = dir.file(L"nowhere\\x.ico");
    struct Case {
        std::vector<std::wstring> inputs;
        bool noOutputFolder;
        const char* message;  // %1 the failing input, %2 the icon file
    } cases[] = {
        {{pic(L"bmp24_48.bmp")}, false, "BMP's must be 16x16, 32x32, or 64x64: %1\n"},
        {{pic(L"bmp24_64x32.bmp")}, false, "BMP's must be 16x16, 32x32, or 64x64: %1\n"},
        {{pic(L"bmp8_rle8.bmp")}, false, "BMP's cannot be compressed: %1\n"},
        {{pic(L"bmp_header_only.bmp")}, false, "Couldn't read %1.\n"},
        {{pic(L"bmp_short_rows.bmp")}, false, "Couldn't read %1.\n"},
        {{pic(L"bmp8_300_colours.bmp")}, false, "Couldn't read %1.\n"},
        {{pic(L"bmp_v5_header.bmp")}, false, "Couldn't read %1.\n"},
        {{missing}, false, "Couldn't open %1 for reading.\n"},
        {{pic(L"bmp32_16.bmp"), pic(L"bmp24_48.bmp")}, false, "BMP's must be 16x16, 32x32, or 64x64: %1\n"},
        {{pic(L"bmp32_16.bmp")}, true, "Couldn't open file %2 for writing.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(tst::narrow(c.inputs.back()));
        const std::wstring ico = c.noOutputFolder ? noFolder : dir.file(L"old.ico");
        if (!c.noOutputFolder) {
            ASSERT_TRUE(tst::writeFile(ico, "the old icon"));
        }
        std::wstring list;
        for (const std::wstring& in : c.inputs) list += (list.empty() ? L"" : L"|") + in;
        ChildRun run = runChild({L"ICON_CHILD_ICO=" + ico, L"ICON_CHILD_IN=" + list});
        EXPECT_EQ(0, run.exitCode);
        EXPECT_EQ(0, run.result);

        std::string expected;
        if (!c.noOutputFolder)
            for (const std::wstring& in : c.inputs) expected += "Reading " + n(in) + "\n";
        std::string message = c.message;
        size_t at;
        while ((at = message.find("%1")) != std::string::npos) message.replace(at, 2, n(c.inputs.back()));
        while ((at = message.find("%2")) != std::string::npos) message.replace(at, 2, n(ico));
        EXPECT_EQ(expected + message, run.printed);
        if (c.noOutputFolder) {
            EXPECT_FALSE(tst::fileExists(ico));
        } else {
            EXPECT_EQ("the old icon", fileBytes(ico));
        }
        EXPECT_FALSE(tst::fileExists(ico + L".part"));
    }
}

}  // namespace
