// The dialog against the fixture web server's pictures, its pictures compared
// with the references in testing/dialog_refs, and real mouse and key input.
#include <algorithm>
#include <memory>
#include <thread>

#include "app/ui/dialog_test_util.h"
#include "app/ui/images.h"
#include "testing/support/image_compare.h"

namespace {

using dialogtest::BoxAnswerer;
using dialogtest::DialogTest;
using dialogtest::engine;

int CALLBACK fontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool fontEnumerable(const wchar_t* face) {
    LOGFONTW lf = {};
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &lf, &fontFound, (LPARAM)&found, 0);
    ReleaseDC(nullptr, dc);
    return found;
}

// The pixels of a bitmap, opaque, as a capture would read them.
tst::Image bitmapImage(HBITMAP b) {
    tst::Image img;
    BITMAP bm = {};
    if (!b || !GetObjectW(b, sizeof bm, &bm)) return img;
    img.width = bm.bmWidth;
    img.height = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = img.width;
    bi.bmiHeader.biHeight = -img.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    img.pixels.resize((size_t)img.width * img.height);
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, b, 0, img.height, img.pixels.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    for (uint32_t& p : img.pixels) p |= 0xFF000000u;
    return img;
}

std::wstring repoFile(const std::string& relative) {
    std::wstring path = L"Z:" + tst::widen(tst::testingDirUnix() + "/../" + relative);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

// True when the bitmap shows the PNG file (opaque pictures).
bool shows(HBITMAP b, const std::string& relativePng) {
    tst::Image expected;
    if (!tst::readPng(repoFile(relativePng), expected)) return false;
    return tst::compareImages(bitmapImage(b), expected, {}).matches(0);
}

class PictureTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        ASSERT_TRUE(server.start({"/usr/bin/python3", tst::testingDirUnix() + "/webserver/server.py", "--root",
                                  tst::testingDirUnix() + "/dialog_pics", "--lifetime", "170"},
                                 175));
    }
    std::wstring url(const std::string& route) {
        return L"http://127.0.0.1:" + std::to_wstring(server.port()) + tst::widen(route);
    }
    MainDialogInputs pictureInputs(const std::string& s1, const std::string& s2, const std::string& s3,
                                   const std::string& icon) {
        MainDialogInputs in = inputs();
        in.cno = L"60001";
        const std::string* routes[4] = {&s1, &s2, &s3, &icon};
        std::wstring* fields[4] = {&in.slideUrls[0], &in.slideUrls[1], &in.slideUrls[2], &in.iconUrl};
        for (int i = 0; i < 4; ++i)
            if (!routes[i]->empty()) *fields[i] = url(*routes[i]);
        return in;
    }
    CMainDlg* openWithPictures(const MainDialogInputs& in) {
        engine().ops[1].block = true;
        open(in);
        EXPECT_TRUE(pumpUntil([&] { return dialog->picturesApplied() && engine().waitBlocked(0); }, 40000));
        return dialog.get();
    }
    std::vector<std::string> requests() {
        std::string text;
        tst::readFile(server.folder() + L"\\requests.log", text);
        std::vector<std::string> out;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            out.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    tst::LinuxProcess server;
};

TEST_F(PictureTest, OfferedPicturesDecideSlidesAndIcon) {
    const std::string kDefault[3] = {"app/res/art/slide1.png", "app/res/art/slide2.png", "app/res/art/slide3.png"};
    const std::string a = "testing/dialog_pics/a.png", b = "testing/dialog_pics/b.png",
                      c = "testing/dialog_pics/c.png";
    struct Case {
        const char* name;
        std::string s1, s2, s3, icon;
        std::string expected[3];
        bool icon_used;
    };
    const std::vector<Case> cases = {
        {"all three and the icon", "/files/a.png", "/files/b.png", "/files/c.png", "/files/icon.png", {a, b, c}, false},
        {"only the second", "", "/files/b.png", "", "", {b, b, b}, false},
        {"only the icon", "", "", "", "/files/icon.png", {kDefault[0], kDefault[1], kDefault[2]}, true},
        // A download that is no loadable picture counts as not downloaded: the good
        // ones fill the three slides.
        {"garbage", "/files/garbage.png", "/files/b.png", "/files/c.png", "", {b, c, b}, false},
        {"huge", "/files/huge.png", "/files/b.png", "/files/c.png", "", {b, c, b}, false},
        {"tiny", "/files/tiny.png", "/files/b.png", "/files/c.png", "", {kDefault[0], b, c}, false},
        {"404", "/status/404", "/files/b.png", "/files/c.png", "", {b, c, b}, false},
        {"nothing", "/status/404", "", "", "/status/404", {kDefault[0], kDefault[1], kDefault[2]}, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        CMainDlg* d = openWithPictures(pictureInputs(k.s1, k.s2, k.s3, k.icon));
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(shows(d->slideBitmap(i), k.expected[i])) << "slide " << i;
        EXPECT_EQ(k.icon_used, d->hasChannelIcon());
        EXPECT_EQ(1, countLogged("dialog: installer started (action 1)"));
        TearDown();
        SetUp();
        quit = false;
    }
}

TEST_F(PictureTest, EmptyChannelNumberFetchesNothingAndStartsAtOnce) {
    MainDialogInputs in = pictureInputs("/files/a.png", "/files/b.png", "/files/c.png", "/files/icon.png");
    in.cno.clear();
    const DWORD start = GetTickCount();
    CMainDlg* d = openWithPictures(in);
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(requests().empty() || requests() == std::vector<std::string>{""});
    EXPECT_TRUE(shows(d->slideBitmap(0), "app/res/art/slide1.png"));
}

TEST_F(PictureTest, StalePictureOfAnEarlierRunIsGoneBeforeTheDownloads) {
    MainDialogInputs in = pictureInputs("/files/a.png", "", "", "");
    CreateDirectoryW(in.picturesFolder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(repoFile("testing/dialog_pics/c.png").c_str(), (in.picturesFolder + L"\\60001_03.png").c_str(),
                          FALSE));
    CMainDlg* d = openWithPictures(in);
    const std::string a = "testing/dialog_pics/a.png";
    EXPECT_TRUE(shows(d->slideBitmap(2), a));
    EXPECT_FALSE(tst::fileExists(in.picturesFolder + L"\\60001_03.png"));
}

TEST_F(PictureTest, HostileAnswersLeaveTheDefaultsAndNoFiles) {
    // A 404, a stall, a huge header and a page for the slides, a page for the icon.
    MainDialogInputs in = pictureInputs("/status/404", "/stall", "/files/huge.png", "/html");
    const DWORD start = GetTickCount();
    CMainDlg* d = openWithPictures(in);
    EXPECT_LT(GetTickCount() - start, 4u * 6000 + 2000);
    EXPECT_TRUE(shows(d->slideBitmap(0), "app/res/art/slide1.png"));
    EXPECT_TRUE(shows(d->slideBitmap(1), "app/res/art/slide2.png"));
    EXPECT_TRUE(shows(d->slideBitmap(2), "app/res/art/slide3.png"));
    // No icon: the status text starts 20 pixels from the left.
    EXPECT_FALSE(d->hasChannelIcon());
    EXPECT_EQ(1, countLogged("dialog: installer started (action 1)"));
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((in.picturesFolder + L"\\*").c_str(), &found);
    std::vector<std::wstring> left;
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) left.push_back(found.cFileName);
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    EXPECT_TRUE(left.empty()) << tst::narrow(left.empty() ? L"" : left.front());
}

TEST_F(PictureTest, StalledPicturesStartTheRunAtTheDeadlineAndApplyLater) {
    dialogTimings().pictureDeadlineMs = 500;
    dialogTimings().downloadMs = 1500;
    engine().ops[1].block = true;
    open(pictureInputs("/stall", "/files/b.png", "/stall", "/stall"));
    ASSERT_TRUE(pumpUntil([&] { return engine().waitBlocked(0); }, 10000));
    EXPECT_TRUE(logged("dialog: pictures late"));
    EXPECT_FALSE(dialog->picturesApplied() && logged("dialog: pictures 3/3 slides, icon 0"));
    // The late pictures still come, and start nothing.
    ASSERT_TRUE(pumpUntil([&] { return logged("dialog: pictures 3/3 slides, icon 0"); }, 30000));
    // The stalled downloads leave no file: b fills the slides.
    EXPECT_TRUE(shows(dialog->slideBitmap(0), "testing/dialog_pics/b.png"));
    EXPECT_TRUE(shows(dialog->slideBitmap(1), "testing/dialog_pics/b.png"));
    EXPECT_EQ(1, countLogged("dialog: installer started (action 1)"));
    pumpFor(300);
    EXPECT_EQ(1u, engine().records().size() + (installer->isBusy() ? 1u : 0u));
}

// "退出" while every picture stalls: the window run returns at once, the run
// never started, and the picture thread is left to end on its own.
TEST_F(PictureTest, ExitDuringStalledPicturesEndsTheWindowRun) {
    dialogTimings().downloadMs = 60000;
    MainDialogInputs in = pictureInputs("/stall", "/stall", "/stall", "/stall");
    std::thread user([&] {
        HWND h = nullptr;
        for (int i = 0; i < 400 && !h; ++i, Sleep(50)) h = FindWindowW(kMainDialogClass, in.displayName.c_str());
        for (int i = 0; i < 200 && requests().empty(); ++i) Sleep(50);
        Sleep(300);
        if (h) PostMessageW(h, WM_COMMAND, 32779, 0);
    });
    const DWORD start = GetTickCount();
    const bool ran = runMainWindow(*installer, in);
    const DWORD spent = GetTickCount() - start;
    user.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(spent, 30000u);
    EXPECT_FALSE(requests().empty());
    EXPECT_TRUE(logged("dialog: exit from tray"));
    EXPECT_FALSE(logged("dialog: installer started (action 1)"));
    EXPECT_TRUE(engine().records().empty());
    EXPECT_EQ(nullptr, FindWindowW(kMainDialogClass, nullptr));
}

// Screenshots

class ScreenTest : public PictureTest {
protected:
    void SetUp() override {
        PictureTest::SetUp();
        ASSERT_TRUE(fontEnumerable(L"Tahoma") && fontEnumerable(L"WenQuanYi Micro Hei"))
            << "fonts missing: run scripts/setup-machine.sh";
    }
    // The status box and the bar must match exactly; the slide may differ a little.
    void expectLooks(const std::string& name, int left = 20) {
        pumpFor(150);
        RedrawWindow(dialog->hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        pumpFor(50);
        tst::Image shot = tst::captureClient(dialog->hwnd());
        ASSERT_EQ(652, shot.width);
        ASSERT_EQ(410, shot.height);
        const std::vector<RECT> strict = {RECT{left, 325, 652, 410}, RECT{left, 355, 632, 370}};
        std::string problem = tst::checkReference(name, shot, strict, pictures.path());
        EXPECT_EQ("", problem);
    }
};

TEST_F(ScreenTest, StatesLookAsTheirReferences) {
    struct Case {
        const char* name;
        const wchar_t* commandLine;
        int op;
        int stage, state, error;
        float percent;
        const wchar_t* text;
        bool post;
    };
    const std::vector<Case> cases = {
        {"initial-install", L"TarvoLoader.exe", 1, 0, 0, 0, 0, L"", false},
        {"initial-uninstall", L"TarvoLoader.exe --uninstall", 3, 0, 0, 0, 0, L"", false},
        {"download-35", L"TarvoLoader.exe", 1, 0, 1, 0, 35.4f, L"", true},
        {"installing-40", L"TarvoLoader.exe", 1, 1, 1, 0, 40, L"正在安装塔沃引擎...", true},
        {"full-bar", L"TarvoLoader.exe", 1, 1, 1, 0, 130, L"正在安装塔沃引擎...", true},
        {"removing-20", L"TarvoLoader.exe --uninstall", 3, 3, 1, 0, 20, L"正在卸载塔沃模拟器...", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CMainDlg* d = openBlocked(c.commandLine, c.op);
        if (c.post) {
            post(c.stage, c.state, c.error, c.percent, c.text);
            pumpUntil([&] { return d->stage() == c.stage; }, 5000);
        }
        expectLooks(c.name);
        TearDown();
        SetUp();
        quit = false;
    }
}

TEST_F(ScreenTest, DownloadFailureShowsItsTextAndButtonWhileTheBoxIsOpen) {
    CMainDlg* d = openBlocked();
    tst::Image shot;
    BoxAnswerer box(d->hwnd(), IDOK, [&](HWND) { shot = tst::captureClient(d->hwnd()); });
    post(0, 2, -1, 0);
    ASSERT_TRUE(pumpUntil([&] { return quit; }, 30000));
    box.join();
    ASSERT_EQ(1, box.boxes.load());
    const std::vector<RECT> strict = {RECT{20, 325, 652, 410}};
    EXPECT_EQ("", tst::checkReference("download-failed", shot, strict, pictures.path()));
}

TEST_F(ScreenTest, DownloadedSlidesAndTheirRotation) {
    CMainDlg* d = openWithPictures(pictureInputs("/files/a.png", "/files/b.png", "/files/c.png", ""));
    expectLooks("slide-a");
    dialogTimings().slideMs = 300;
    post(1, 0, 0, 0, L"正在安装塔沃引擎...");
    ASSERT_TRUE(pumpUntil([&] { return d->slideIndex() == 1; }, 5000));
    dialogTimings().slideMs = 600000;
    SendMessageW(d->hwnd(), WM_COMMAND, 5557, 0);  // holds the rotation for the capture
    expectLooks("slide-b");
}

// A slide lower than the window is stretched to its height, not left black.
TEST_F(ScreenTest, ShortSlideIsStretchedToTheWindow) {
    CMainDlg* d = openWithPictures(pictureInputs("/files/short.png", "", "", ""));
    ASSERT_TRUE(shows(d->slideBitmap(0), "testing/dialog_pics/short.png"));
    expectLooks("slide-short");
}

TEST_F(ScreenTest, ChannelIconLayout) {
    CMainDlg* d = openWithPictures(pictureInputs("", "", "", "/files/icon.png"));
    ASSERT_TRUE(d->hasChannelIcon());
    post(0, 1, 0, 60);
    pumpUntil([&] { return d->percent() == 60; }, 5000);
    expectLooks("channel-icon", 100);
}

// Mouse and keys, through SendInput only.

void moveMouse(int x, int y) {
    SetCursorPos(x, y);
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dx = x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    in.mi.dy = y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &in, sizeof in);
}

void mouseButton(bool down) {
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    SendInput(1, &in, sizeof in);
}

void key(WORD vk, bool down) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &in, sizeof in);
}

TEST_F(ScreenTest, DragMovesTheWindowByTheMouseDelta) {
    CMainDlg* d = openBlocked();
    SetForegroundWindow(d->hwnd());
    RECT before;
    GetWindowRect(d->hwnd(), &before);
    const int x = before.left + 300, y = before.top + 200;
    moveMouse(x, y);
    pumpFor(100);
    // The move loop runs inside the press's handler: the rest comes from another thread.
    std::thread mover([&] {
        Sleep(200);
        for (int i = 1; i <= 10; ++i) {
            moveMouse(x + 8 * i, y + 5 * i);
            Sleep(30);
        }
        Sleep(100);
        mouseButton(false);
    });
    mouseButton(true);
    pumpFor(1500);
    mover.join();
    pumpFor(200);
    RECT after;
    GetWindowRect(d->hwnd(), &after);
    EXPECT_EQ(before.left + 80, after.left);
    EXPECT_EQ(before.top + 50, after.top);
    EXPECT_TRUE(IsWindowVisible(d->hwnd()));
}

TEST_F(ScreenTest, PressOnCloseHidesWithoutDragAndHoverShowsAndLeaves) {
    CMainDlg* d = openBlocked();
    SetForegroundWindow(d->hwnd());
    RECT before;
    GetWindowRect(d->hwnd(), &before);
    moveMouse(before.left + 638, before.top + 12);
    pumpFor(300);
    expectLooks("close-hover");
    // Leaving the window clears the hover.
    moveMouse(before.left - 50, before.top - 50);
    pumpFor(300);
    expectLooks("initial-install");
    // A press on the close button hides the window where it is.
    moveMouse(before.left + 638, before.top + 12);
    pumpFor(200);
    mouseButton(true);
    pumpFor(200);
    mouseButton(false);
    pumpFor(300);
    EXPECT_FALSE(IsWindowVisible(d->hwnd()));
    RECT after;
    GetWindowRect(d->hwnd(), &after);
    EXPECT_EQ(before.left, after.left);
    EXPECT_EQ(before.top, after.top);
    moveMouse(0, 700);
}

// A real click on the dialog's icon in Wine's own tray window shows the window.
TEST_F(ScreenTest, RealClickOnTheTrayIconShowsTheWindow) {
    CMainDlg* d = openBlocked();
    SendMessageW(d->hwnd(), WM_COMMAND, 5555, 0);
    ASSERT_FALSE(IsWindowVisible(d->hwnd()));
    HWND tray = nullptr;
    pumpUntil([&] { return (tray = FindWindowW(L"__winex11_standalone_tray", nullptr)) != nullptr; }, 3000);
    if (!tray) GTEST_SKIP() << "no \"__winex11_standalone_tray\" window on this display";
    pumpFor(300);
    RECT r;
    ASSERT_TRUE(GetWindowRect(tray, &r));
    // The first cell, below the tray window's caption.
    moveMouse(r.left + 12, r.top + 32);
    pumpFor(200);
    mouseButton(true);
    pumpFor(100);
    mouseButton(false);
    EXPECT_TRUE(pumpUntil([&] { return IsWindowVisible(d->hwnd()) != FALSE; }, 5000));
    EXPECT_TRUE(logged("dialog: shown"));
    moveMouse(0, 700);
}

TEST_F(ScreenTest, EscapeEnterAndAltF4ChangeNothing) {
    CMainDlg* d = openBlocked();
    SetForegroundWindow(d->hwnd());
    SetFocus(d->hwnd());
    pumpFor(100);
    key(VK_ESCAPE, true);
    key(VK_ESCAPE, false);
    key(VK_RETURN, true);
    key(VK_RETURN, false);
    key(VK_MENU, true);
    key(VK_F4, true);
    key(VK_F4, false);
    key(VK_MENU, false);
    pumpFor(800);
    EXPECT_TRUE(IsWindow(d->hwnd()));
    EXPECT_TRUE(IsWindowVisible(d->hwnd()));
    EXPECT_FALSE(d->closed());
    EXPECT_TRUE(installer->isBusy());
    EXPECT_FALSE(quit);
}

}  // namespace
