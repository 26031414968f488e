// The picture button: its state slices drawn onto a white memory DC, its
// caption, and its mouse handling on a shown test window.
#include "app/ui/image_button.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "app/ui/images.h"
#include "app/ui/ui_test_util.h"

namespace {

using uitest::Canvas;

const uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kMagenta = 0xFF00FF, kWhite = 0xFFFFFF;

HBITMAP strip(const wchar_t* name) { return loadImage(uitest::picture(name).c_str(), L"png"); }

enum class Mouse { Normal, Hover, Pressed, HoverPressed };

// Puts the button into a state through its own mouse handling (no parent).
void enter(CMButton& b, Mouse m) {
    const RECT r = b.getRect();
    const POINT inside = {r.left + 1, r.top + 1};
    if (m == Mouse::Hover || m == Mouse::HoverPressed) b.onMouseMove(inside);
    if (m == Mouse::Pressed || m == Mouse::HoverPressed) b.onLButtonDown(inside);
}

// The one colour that fills r, or 0x1000000 when r is not of one colour.
uint32_t fill(const Canvas& c, const RECT& r) {
    const uint32_t first = c.rgb(r.left, r.top);
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            if (c.rgb(x, y) != first) return 0x1000000;
    return first;
}

bool anywhere(const Canvas& c, uint32_t colour) {
    for (int y = 0; y < c.height(); ++y)
        for (int x = 0; x < c.width(); ++x)
            if (c.rgb(x, y) == colour) return true;
    return false;
}

TEST(ImageButton, StatesPaintTheirSlices) {
    const struct {
        const wchar_t* file;
        int states;
        RECT rect;
        Mouse mouse;
        uint32_t colour;
    } cases[] = {
        {L"strip_87x24.png", 3, {0, 0, 29, 24}, Mouse::Normal, kRed},
        {L"strip_87x24.png", 3, {0, 0, 29, 24}, Mouse::Hover, kGreen},
        {L"strip_87x24.png", 3, {0, 0, 29, 24}, Mouse::Pressed, kBlue},
        {L"strip_87x24.png", 3, {0, 0, 29, 24}, Mouse::HoverPressed, kBlue},
        // The install button's strip stretched into its 81 x 25 rectangle.
        {L"strip_616x46.png", 4, {3, 2, 84, 27}, Mouse::Normal, kRed},
        {L"strip_616x46.png", 4, {3, 2, 84, 27}, Mouse::Hover, kGreen},
        {L"strip_616x46.png", 4, {3, 2, 84, 27}, Mouse::Pressed, kBlue},
        {L"strip_616x46.png", 4, {3, 2, 84, 27}, Mouse::HoverPressed, kBlue},
        // 88 / 3 = 29: pressed is 58..86, column 87 (magenta) is never drawn.
        {L"strip_88x24.png", 3, {0, 0, 29, 24}, Mouse::Pressed, kBlue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tst::narrow(c.file) + " state " + std::to_string(static_cast<int>(c.mouse)));
        Canvas canvas(90, 30);
        CMButton button;
        button.create(5558, nullptr, c.rect, strip(c.file), c.states);
        enter(button, c.mouse);
        button.draw(canvas.dc());
        EXPECT_EQ(c.colour, fill(canvas, c.rect));
        EXPECT_FALSE(anywhere(canvas, kMagenta));
        // Outside the rectangle the DC stays white.
        RECT below = {0, c.rect.bottom, 90, 30};
        EXPECT_EQ(kWhite, fill(canvas, below));
    }
}

TEST(ImageButton, DrawsNothingWithoutAUsableStrip) {
    const struct {
        const char* what;
        const wchar_t* file;  // null: no image
        int states;
        bool visible;
    } cases[] = {
        {"state count 0", L"strip_87x24.png", 0, true},
        {"negative state count", L"strip_87x24.png", -1, true},
        {"no image", nullptr, 3, true},
        {"not visible", L"strip_87x24.png", 3, false},
        {"2 x 24 in three states", L"strip_2x24.png", 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Canvas canvas(40, 30);
        CMButton button;
        button.create(5555, nullptr, RECT{0, 0, 29, 24}, c.file ? strip(c.file) : nullptr, c.states);
        button.setVisible(c.visible);
        button.draw(canvas.dc());
        EXPECT_TRUE(canvas.allWhite());
    }
    // A bitmap handle that is gone.
    Canvas canvas(40, 30);
    CMButton button;
    HBITMAP gone = strip(L"strip_87x24.png");
    DeleteObject(gone);
    button.create(5555, nullptr, RECT{0, 0, 29, 24}, gone, 3);
    button.draw(canvas.dc());
    EXPECT_TRUE(canvas.allWhite());
    button.draw(nullptr);
}

TEST(ImageButton, PressedBeyondTheStateCountDrawsTheFirstSlice) {
    Canvas canvas(50, 30);
    CMButton button;
    // Two states of 43: slice 0 is red then green, slice 1 green then blue.
    button.create(5557, nullptr, RECT{0, 0, 43, 24}, strip(L"strip_87x24.png"), 2);
    enter(button, Mouse::Pressed);
    button.draw(canvas.dc());
    EXPECT_EQ(kRed, canvas.rgb(0, 0));
    EXPECT_FALSE(anywhere(canvas, kBlue));
}

TEST(ImageButton, HalfTransparentStateOverWhite) {
    Canvas canvas(30, 24);
    CMButton button;
    button.create(5555, nullptr, RECT{0, 0, 29, 24}, strip(L"strip_half.png"), 3);
    button.draw(canvas.dc());
    // (200, 100, 50) at alpha 128 over white.
    const uint32_t got = canvas.rgb(10, 10);
    const int expected[3] = {227, 177, 152};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(expected[i], static_cast<int>((got >> (16 - 8 * i)) & 0xFF), 1) << i;
}

// Pixels the white caption lit, over the red slice and the black around it.
std::vector<POINT> litPixels(const Canvas& c) {
    std::vector<POINT> lit;
    for (int y = 0; y < c.height(); ++y)
        for (int x = 0; x < c.width(); ++x)
            if (((c.rgb(x, y) >> 8) & 0xFF) > 0x60) lit.push_back(POINT{x, y});
    return lit;
}

TEST(ImageButton, CaptionSitsRightOfTheCentredBoxAndIsClipped) {
    const RECT rect = {10, 10, 91, 35};  // 81 x 25
    const std::wstring captions[] = {L"立即安装", std::wstring(40, L'W')};
    for (const std::wstring& caption : captions) {
        SCOPED_TRACE(caption.size());
        Canvas canvas(160, 50);
        SetBkMode(canvas.dc(), TRANSPARENT);  // as the dialog paints
        RECT all = {0, 0, canvas.width(), canvas.height()};
        FillRect(canvas.dc(), &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        const HGDIOBJ fontBefore = GetCurrentObject(canvas.dc(), OBJ_FONT);
        CMButton button;
        button.create(5558, nullptr, rect, strip(L"strip_616x46.png"), 4);
        button.setText(caption);
        EXPECT_EQ(caption, button.getText());
        button.draw(canvas.dc());
        EXPECT_EQ(fontBefore, GetCurrentObject(canvas.dc(), OBJ_FONT));
        const std::vector<POINT> lit = litPixels(canvas);
        EXPECT_FALSE(lit.empty());
        // (81 - 50) / 2 = 15 from the left, (25 - 14) / 2 - 1 = 4 from the top.
        const RECT box = {rect.left + 15, rect.top + 4, rect.right, rect.bottom};
        for (const POINT& p : lit) ASSERT_TRUE(PtInRect(&box, p)) << p.x << "," << p.y;
    }
}

// A shown top-level window that records the commands it receives.
struct Command {
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Command> g_commands;
bool g_destroyOnCommand = false;

LRESULT CALLBACK recorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) {
        g_commands.push_back({wParam, lParam});
        if (g_destroyOnCommand) DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class ButtonWindow : public ::testing::Test {
protected:
    void SetUp() override {
        g_commands.clear();
        g_destroyOnCommand = false;
        WNDCLASSW wc = {};
        wc.lpfnWndProc = recorderProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ButtonTestWindow";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, L"ButtonTestWindow", L"", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        ASSERT_NE(nullptr, window_);
        ShowWindow(window_, SW_SHOWNOACTIVATE);
        UpdateWindow(window_);
    }
    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
    }
    // True when something was invalidated since the last call.
    bool invalidated(RECT* where = nullptr) {
        RECT r = {};
        const bool any = GetUpdateRect(window_, &r, FALSE) != FALSE;
        if (where) *where = r;
        ValidateRect(window_, nullptr);
        return any;
    }
    HWND window_ = nullptr;
};

TEST_F(ButtonWindow, MouseTable) {
    const RECT rect = {100, 50, 181, 75};
    CMButton button;
    button.create(5557, window_, rect, strip(L"strip_616x46.png"), 4);
    const POINT inside = {120, 60}, outside = {20, 20};
    invalidated();

    button.onMouseMove(inside);
    RECT where = {};
    EXPECT_TRUE(button.isHover());
    EXPECT_TRUE(invalidated(&where));
    EXPECT_TRUE(EqualRect(&rect, &where));

    button.onMouseMove(inside);
    EXPECT_FALSE(invalidated());

    button.onLButtonDown(inside);
    // Sent, not posted: handled before onLButtonDown returned.
    ASSERT_EQ(1u, g_commands.size());
    EXPECT_EQ(5557u, g_commands[0].wParam);
    EXPECT_EQ(reinterpret_cast<LPARAM>(&button), g_commands[0].lParam);
    EXPECT_TRUE(button.isPressed());
    EXPECT_TRUE(invalidated());

    button.onLButtonDown(inside);
    EXPECT_EQ(1u, g_commands.size());

    button.onLButtonUp(outside);
    EXPECT_FALSE(button.isPressed());
    EXPECT_TRUE(invalidated());

    button.onLButtonDown(outside);
    EXPECT_EQ(1u, g_commands.size());
    EXPECT_FALSE(button.isPressed());

    button.onLButtonDown(inside);
    EXPECT_EQ(2u, g_commands.size());
    button.onMouseLeave();
    EXPECT_FALSE(button.isHover());
    EXPECT_FALSE(button.isPressed());
    EXPECT_TRUE(invalidated());
    button.onMouseLeave();
    EXPECT_FALSE(invalidated());

    // Moving out clears both as well.
    button.onMouseMove(inside);
    button.onLButtonDown(inside);
    button.onMouseMove(outside);
    EXPECT_FALSE(button.isHover());
    EXPECT_FALSE(button.isPressed());
}

TEST_F(ButtonWindow, CommandCarriesTheLow16BitsOfTheId) {
    CMButton button;
    button.create(0x12345, window_, RECT{0, 0, 30, 30}, nullptr, 3);
    button.onLButtonDown(POINT{5, 5});
    ASSERT_EQ(1u, g_commands.size());
    EXPECT_EQ(0x2345u, g_commands[0].wParam);
}

TEST_F(ButtonWindow, InvisibleButtonIgnoresTheMouse) {
    CMButton button;
    button.create(5559, window_, RECT{0, 0, 30, 30}, nullptr, 3);
    button.setVisible(false);
    invalidated();
    button.onMouseMove(POINT{5, 5});
    button.onLButtonDown(POINT{5, 5});
    EXPECT_TRUE(g_commands.empty());
    EXPECT_FALSE(button.isHover());
    EXPECT_FALSE(invalidated());
}

TEST_F(ButtonWindow, SetRectInvalidatesOnlyOnChange) {
    CMButton button;
    const RECT first = {10, 10, 40, 40}, second = {50, 10, 80, 40};
    button.create(5555, window_, first, nullptr, 3);
    invalidated();
    button.setRect(first);
    EXPECT_FALSE(invalidated());
    button.setRect(second);
    RECT where = {};
    EXPECT_TRUE(invalidated(&where));
    EXPECT_TRUE(EqualRect(&second, &where));
    const RECT stored = button.getRect();
    EXPECT_TRUE(EqualRect(&second, &stored));
}

TEST_F(ButtonWindow, HandlerThatDestroysTheWindow) {
    g_destroyOnCommand = true;
    CMButton button;
    button.create(5555, window_, RECT{0, 0, 30, 30}, strip(L"strip_87x24.png"), 3);
    button.onLButtonDown(POINT{5, 5});
    EXPECT_EQ(1u, g_commands.size());
    EXPECT_FALSE(IsWindow(window_));
    button.onLButtonUp(POINT{5, 5});
    button.onMouseLeave();
}

// The destructor frees the font and the image: a copy would free them twice.
static_assert(!std::is_copy_constructible<CMButton>::value && !std::is_copy_assignable<CMButton>::value,
              "CMButton owns GDI objects");

TEST(ImageButton, SecondCreateFreesTheFirstImage) {
    CMButton button;
    HBITMAP first = strip(L"strip_87x24.png");
    button.create(5555, nullptr, RECT{0, 0, 29, 24}, first, 3);
    button.create(5555, nullptr, RECT{0, 0, 29, 24}, strip(L"strip_616x46.png"), 4);
    BITMAP bm = {};
    EXPECT_EQ(0, GetObjectW(first, sizeof(bm), &bm));
}

}  // namespace
