#include "app/ui/shadow.h"

CWndShadow::UpdateLayeredWindowFn CWndShadow::updateLayeredWindow = nullptr;
CWndShadow::CompositionEnabledFn CWndShadow::compositionEnabled = nullptr;
const wchar_t* const CWndShadow::kClassName = L"NolweShadowWnd";

CWndShadow::CWndShadow() : shadowWindow(reinterpret_cast<HWND>(static_cast<INT_PTR>(-1))) {}

CWndShadow::~CWndShadow() = default;

std::map<HWND, CWndShadow*>& CWndShadow::shadows() {
    static std::map<HWND, CWndShadow*> map;
    return map;
}

void CWndShadow::create(HWND) {
    // The shadow needs the layered-window update function, and the product never
    // loads it: no shadow window, no subclassing, the parent stays as it is.
    if (!updateLayeredWindow) return;
}

DWORD CWndShadow::premultiplyColor(COLORREF colour, BYTE alpha) {
    const DWORD r = GetRValue(colour) * alpha / 255u;
    const DWORD g = GetGValue(colour) * alpha / 255u;
    const DWORD b = GetBValue(colour) * alpha / 255u;
    return (r << 16) | (g << 8) | b;
}
