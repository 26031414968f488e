#pragma once

// Base of a top-level window that may carry a drop shadow drawn by a separate
// layered window. The product ships without the shadow: the layered-window
// update slot is never filled, so no shadow window is made and every message
// passes on to the window's own handlers.

#include <windows.h>

#include <map>

class CWndShadow {
public:
    typedef BOOL(WINAPI* UpdateLayeredWindowFn)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF,
                                                BLENDFUNCTION*, DWORD);
    typedef HRESULT(WINAPI* CompositionEnabledFn)(BOOL*);

    // Status flags.
    enum : BYTE { kCreated = 1, kVisible = 2, kParentVisible = 4, kComposition = 8 };

    CWndShadow();
    virtual ~CWndShadow();
    CWndShadow(const CWndShadow&) = delete;
    CWndShadow& operator=(const CWndShadow&) = delete;

    // Attaches the shadow to `parent`; returns at once while the update slot
    // is empty, which it always is in this product.
    void create(HWND parent);

    // A colour as a DIB pixel value (blue in the low byte), each channel
    // times alpha / 255, truncated; no alpha byte.
    static DWORD premultiplyColor(COLORREF colour, BYTE alpha);

    // Process-wide: parent window -> its shadow, and the two function slots.
    static std::map<HWND, CWndShadow*>& shadows();
    static UpdateLayeredWindowFn updateLayeredWindow;
    static CompositionEnabledFn compositionEnabled;
    static const wchar_t* const kClassName;

    HWND shadowWindow;
    WNDPROC parentProc = nullptr;
    BYTE status = 0;
    BYTE darkness = 150;
    BYTE sharpness = 5;
    BYTE size = 0;
    BYTE xOffset = 5;
    BYTE yOffset = 5;
    LPARAM lastSize = 0;
    bool update = false;
    COLORREF colour = 0;
};

template <class T>
class CEnableShadow {
public:
    // Sees every message first; never handles one.
    bool processShadowMessage(HWND window, UINT message, WPARAM, LPARAM, LRESULT&) {
        if (message == WM_CREATE || message == WM_INITDIALOG) onCreate(window);
        return false;
    }

protected:
    void onCreate(HWND window) { shadow.create(window); }

    CWndShadow shadow;
};

template <class T>
class CShadowWnd : public CEnableShadow<T> {
public:
    // First entry of the window's message map: returns false ("not handled")
    // for every message.
    bool processShadowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) {
        if (!disabled)
            return CEnableShadow<T>::processShadowMessage(window, message, wParam, lParam, result);
        return false;
    }

    bool disabled = false;
};
