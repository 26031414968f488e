#include "platform/window/tray_icon.h"

#include <cstring>

namespace platform {
namespace window {

TrayIcon::TrayIcon() {
    std::memset(&data_, 0, sizeof data_);
    data_.cbSize = kTrayRecordSize;
}

void TrayIcon::copyField(wchar_t* field, size_t capacity, const std::wstring& text) {
    if (capacity == 0) return;
    size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    // Never end on the high half of a pair.
    if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    std::memcpy(field, text.data(), n * sizeof(wchar_t));
    field[n] = 0;
}

bool TrayIcon::add(HWND window, UINT callbackMessage, HICON icon, const std::wstring& tip) {
    data_.hWnd = window;
    data_.uID = 0;
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = callbackMessage;
    data_.hIcon = icon;
    tip_ = tip;
    copyField(data_.szTip, sizeof data_.szTip / sizeof data_.szTip[0], tip);
    return Shell_NotifyIconW(NIM_ADD, &data_) != FALSE;
}

bool TrayIcon::balloon(const std::wstring& text, const std::wstring& title, DWORD infoFlags, UINT timeout) {
    data_.uFlags = NIF_INFO;
    data_.uTimeout = timeout;
    data_.dwInfoFlags = infoFlags;
    copyField(data_.szInfo, sizeof data_.szInfo / sizeof data_.szInfo[0], text);
    copyField(data_.szInfoTitle, sizeof data_.szInfoTitle / sizeof data_.szInfoTitle[0], title);
    return Shell_NotifyIconW(NIM_MODIFY, &data_) != FALSE;
}

bool TrayIcon::remove() {
    data_.uFlags = 0;
    return Shell_NotifyIconW(NIM_DELETE, &data_) != FALSE;
}

}  // namespace window
}  // namespace platform
