#pragma once

// A picture button drawn by its parent: the parent forwards the mouse to it,
// lets it paint onto the parent's device context, and gets its clicks as
// WM_COMMAND (wParam the id's low 16 bits, lParam the button's address).

#include <windows.h>

#include <string>

#include "toolkit/scoped_handle.h"

class CMButton {
public:
    CMButton();
    ~CMButton();
    // Owns the font and the image: never copy a button.
    CMButton(const CMButton&) = delete;
    CMButton& operator=(const CMButton&) = delete;

    // Takes over `image`, a strip of `stateCount` equally wide state images
    // (normal, hover, pressed, ...). A second call frees what the first made.
    void create(UINT id, HWND parent, const RECT& rect, HBITMAP image, int stateCount);
    RECT getRect() const { return rect; }
    // Invalidates the button's rectangle in the parent.
    void refresh();

    bool isHover() const { return hover; }
    bool isPressed() const { return pressed; }
    bool isVisible() const { return visible; }
    const std::wstring& getText() const { return text; }

    // Points in the parent's client coordinates.
    virtual void onMouseMove(POINT point);
    virtual void onLButtonDown(POINT point);
    virtual void onLButtonUp(POINT point);
    virtual void onMouseLeave();
    virtual void setRect(const RECT& newRect);
    virtual void draw(HDC dc);
    virtual void setVisible(bool value);
    virtual void setText(const std::wstring& value);

private:
    UINT id = 0;
    bool hover = false;
    bool pressed = false;
    int stateCount = 1;
    ScopedGdiObject<HBITMAP> image;
    RECT rect = {0, 0, 0, 0};
    HWND parent = nullptr;
    bool visible = true;
    std::wstring text;
    ScopedGdiObject<HFONT> font;
};
