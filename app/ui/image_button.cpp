#include "app/ui/image_button.h"

#include "toolkit/scoped_handle.h"

CMButton::CMButton() = default;

CMButton::~CMButton() = default;

void CMButton::create(UINT newId, HWND newParent, const RECT& newRect, HBITMAP newImage,
                      int newStateCount) {
    font.reset();
    image.reset();
    id = newId;
    parent = newParent;
    rect = newRect;
    image.reset(newImage);
    stateCount = newStateCount;
    LOGFONTW lf = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    lstrcpynW(lf.lfFaceName, L"Tahoma", LF_FACESIZE);
    lf.lfHeight = -12;
    lf.lfWeight = 400;
    font.reset(CreateFontIndirectW(&lf));
}

void CMButton::refresh() {
    if (parent && IsWindow(parent)) InvalidateRect(parent, &rect, TRUE);
}

void CMButton::onMouseMove(POINT point) {
    if (!visible) return;
    if (!PtInRect(&rect, point)) {
        if (hover || pressed) {
            hover = pressed = false;
            refresh();
        }
    } else if (!hover) {
        hover = true;
        refresh();
    }
}

void CMButton::onLButtonDown(POINT point) {
    if (!PtInRect(&rect, point) || !visible || pressed) return;
    pressed = true;
    // lParam is this button, not a window: the parent must not treat it as one.
    SendMessageW(parent, WM_COMMAND, static_cast<WPARAM>(id & 0xFFFF), reinterpret_cast<LPARAM>(this));
    refresh();
}

void CMButton::onLButtonUp(POINT) {
    if (visible && pressed) {
        pressed = false;
        refresh();
    }
}

void CMButton::onMouseLeave() {
    if (visible && (hover || pressed)) {
        hover = pressed = false;
        refresh();
    }
}

void CMButton::setRect(const RECT& newRect) {
    if (EqualRect(&rect, &newRect)) return;
    rect = newRect;
    refresh();
}

void CMButton::setVisible(bool value) { visible = value; }

void CMButton::setText(const std::wstring& value) { text = value; }

void CMButton::draw(HDC dc) {
    if (!dc || !image || stateCount < 1 || !visible) return;
    BITMAP bm = {};
    if (!GetObjectW(image.get(), sizeof(bm), &bm)) return;
    const int sliceWidth = bm.bmWidth / stateCount;
    // An image narrower than its state count has no slice to draw.
    if (sliceWidth <= 0 || bm.bmHeight <= 0) return;

    int state = 0;
    if (hover) state = 1;
    if (pressed) state = 2;
    if (state >= stateCount) state = 0;

    ScopedMemoryDc memory(CreateCompatibleDC(dc));
    if (!memory) return;
    HGDIOBJ oldBitmap = SelectObject(memory.get(), image.get());
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, memory.get(),
               state * sliceWidth, 0, sliceWidth, bm.bmHeight, blend);

    if (!text.empty()) {
        HGDIOBJ oldFont = font ? SelectObject(dc, font.get()) : nullptr;
        RECT box = rect;
        box.left += (rect.right - rect.left - 50) / 2;
        box.top += (rect.bottom - rect.top - 14) / 2 - 1;
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
                  DT_SINGLELINE | DT_END_ELLIPSIS);
        if (oldFont) SelectObject(dc, oldFont);
    }

    SelectObject(memory.get(), oldBitmap);
}
