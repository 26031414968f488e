// PROVISIONAL: stand-in bodies for the dialog's pictures, skin download, image
// button and shadow base until their own sources land. Everything in this file
// goes away then; nothing else in the program is provisional.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <string>

#include "app/ui/image_button.h"
#include "app/ui/images.h"
#include "app/ui/shadow.h"
#include "platform/http/http_client.h"

namespace {

bool startGdiplusOnce() {
    static bool started = false;
    static ULONG_PTR token = 0;
    if (!started) {
        Gdiplus::GdiplusStartupInput input;
        started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
    }
    return started;
}

HBITMAP toHbitmap(Gdiplus::GpBitmap* bitmap, UINT maxDimension) {
    HBITMAP out = nullptr;
    UINT w = 0, h = 0;
    if (Gdiplus::DllExports::GdipGetImageWidth(bitmap, &w) == Gdiplus::Ok &&
        Gdiplus::DllExports::GdipGetImageHeight(bitmap, &h) == Gdiplus::Ok && w > 0 && h > 0 &&
        w <= maxDimension && h <= maxDimension) {
        if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(bitmap, &out, 0) != Gdiplus::Ok) out = nullptr;
    }
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
    return out;
}

HBITMAP fromResource(LPCWSTR picture, LPCWSTR type, UINT maxDimension) {
    HMODULE module = GetModuleHandleW(nullptr);
    LPCWSTR types[4] = {type, L"PNG", L"JPG", L"WEBP"};
    HRSRC found = nullptr;
    for (LPCWSTR t : types) {
        found = FindResourceW(module, picture, t);
        if (found) break;
    }
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes || size == 0) return nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return nullptr;
    void* dst = GlobalLock(block);
    if (!dst) {
        GlobalFree(block);
        return nullptr;
    }
    memcpy(dst, bytes, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK || !stream) {
        GlobalFree(block);
        return nullptr;
    }
    Gdiplus::GpBitmap* bitmap = nullptr;
    Gdiplus::GpStatus status = Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bitmap);
    HBITMAP out = status == Gdiplus::Ok && bitmap ? toHbitmap(bitmap, maxDimension) : nullptr;
    stream->Release();
    return out;
}

}  // namespace

HBITMAP loadImage(LPCWSTR picture, LPCWSTR type, UINT maxDimension, DWORD maxBytes) {
    if (!picture || !startGdiplusOnce()) return nullptr;
    if (IS_INTRESOURCE(picture)) {
        if (!type || type == RT_BITMAP)
            return (HBITMAP)LoadImageW(GetModuleHandleW(nullptr), picture, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
        return fromResource(picture, type, maxDimension);
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(picture, GetFileExInfoStandard, &data) || data.nFileSizeHigh != 0 ||
        data.nFileSizeLow > maxBytes)
        return nullptr;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromFile(picture, &bitmap) != Gdiplus::Ok || !bitmap) return nullptr;
    return toHbitmap(bitmap, maxDimension);
}

bool createDirectoryPath(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD a = GetFileAttributesW(path.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) return true;
    std::wstring p = path;
    if (p.back() != L'\\') p += L'\\';
    for (size_t i = p.find(L'\\'); i != std::wstring::npos; i = p.find(L'\\', i + 1)) {
        std::wstring prefix = p.substr(0, i);
        if (prefix.empty() || (prefix.size() == 2 && prefix[1] == L':')) continue;
        DWORD pa = GetFileAttributesW(prefix.c_str());
        if (pa != INVALID_FILE_ATTRIBUTES && (pa & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

bool createDirectoryPath(const wchar_t* path) { return path && createDirectoryPath(std::wstring(path)); }

bool downloadUrlToFile(const std::wstring& url, const std::wstring& folder, const std::wstring& path,
                       DWORD timeoutMs, DWORD maxBytes) {
    if (!folder.empty()) createDirectoryPath(folder);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    platform::http::Options options;
    options.totalTimeoutMs = timeoutMs;
    options.stepTimeoutMs = std::min<DWORD>(timeoutMs, 10000);
    options.maxBodyBytes = maxBytes;
    platform::http::Response response = platform::http::get(url, options);
    bool ok = response.ok && response.status == 200;
    if (ok) {
        DWORD written = 0;
        ok = WriteFile(file, response.body.data(), (DWORD)response.body.size(), &written, nullptr) &&
             written == response.body.size();
    }
    // The file stays (empty) after a failure, as a URL-moniker download leaves it.
    CloseHandle(file);
    return ok;
}

// CMButton

CMButton::CMButton() {}

CMButton::~CMButton() { freeResources(); }

void CMButton::freeResources() {
    if (font) DeleteObject(font);
    if (image) DeleteObject(image);
    font = nullptr;
    image = nullptr;
}

void CMButton::create(UINT newId, HWND newParent, const RECT& newRect, HBITMAP newImage, int newStateCount) {
    freeResources();
    id = newId;
    parent = newParent;
    rect = newRect;
    image = newImage;
    stateCount = newStateCount;
    LOGFONTW lf = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    lstrcpynW(lf.lfFaceName, L"Tahoma", LF_FACESIZE);
    lf.lfHeight = -12;
    lf.lfWeight = 400;
    font = CreateFontIndirectW(&lf);
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
    SendMessageW(parent, WM_COMMAND, LOWORD(id), (LPARAM)this);
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
    if (!EqualRect(&newRect, &rect)) {
        rect = newRect;
        refresh();
    }
}

void CMButton::draw(HDC dc) {
    if (!dc || !image || stateCount == 0 || !visible) return;
    int state = pressed ? 2 : hover ? 1 : 0;
    if (state >= stateCount) state = 0;
    BITMAP bm = {};
    if (!GetObjectW(image, sizeof bm, &bm)) return;
    const int height = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    HDC src = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(src, image);
    const int slice = bm.bmWidth / stateCount;
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, src, state * slice, 0, slice,
               height, blend);
    if (!text.empty()) {
        HGDIOBJ oldFont = SelectObject(dc, font);
        RECT r = rect;
        r.left += (rect.right - rect.left - 50) / 2;
        r.top += (rect.bottom - rect.top - 14) / 2 - 1;
        SetTextColor(dc, 0xFFFFFF);
        SetBkMode(dc, TRANSPARENT);
        DrawTextW(dc, text.c_str(), (int)text.size(), &r, DT_SINGLELINE | DT_END_ELLIPSIS);
        SelectObject(dc, oldFont);
    }
    SelectObject(src, old);
    DeleteDC(src);
}

void CMButton::setVisible(bool value) { visible = value; }
void CMButton::setText(const std::wstring& value) { text = value; }

// CWndShadow: the update slot stays empty, so create returns at once.

CWndShadow::UpdateLayeredWindowFn CWndShadow::updateLayeredWindow = nullptr;
CWndShadow::CompositionEnabledFn CWndShadow::compositionEnabled = nullptr;
const wchar_t* const CWndShadow::kClassName = L"NolweShadowWnd";

CWndShadow::CWndShadow() : shadowWindow((HWND)(LONG_PTR)-1) {}
CWndShadow::~CWndShadow() {}

void CWndShadow::create(HWND) {
    if (!updateLayeredWindow) return;
}

DWORD CWndShadow::premultiplyColor(COLORREF colour, BYTE alpha) {
    const DWORD r = GetRValue(colour) * alpha / 255, g = GetGValue(colour) * alpha / 255,
                b = GetBValue(colour) * alpha / 255;
    return (r << 16) | (g << 8) | b;
}

std::map<HWND, CWndShadow*>& CWndShadow::shadows() {
    static std::map<HWND, CWndShadow*>* map = new std::map<HWND, CWndShadow*>();
    return *map;
}
