// One notification-area icon of a window, uID 0.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace platform {
namespace window {

class TrayIcon {
public:
    TrayIcon();

    // NIF_MESSAGE | NIF_ICON | NIF_TIP, then NIM_ADD.
    bool add(HWND window, UINT callbackMessage, HICON icon, const std::wstring& tip);
    // NIF_INFO, then NIM_MODIFY.
    bool balloon(const std::wstring& text, const std::wstring& title, DWORD infoFlags, UINT timeout);
    // NIM_DELETE.
    bool remove();

    const std::wstring& tip() const { return tip_; }
    const NOTIFYICONDATAW& data() const { return data_; }

    // Copies text into a field of `capacity` characters (terminator included), cut so
    // that no surrogate pair is split.
    static void copyField(wchar_t* field, size_t capacity, const std::wstring& text);

private:
    NOTIFYICONDATAW data_;
    std::wstring tip_;
};

// The version-3 record: what the tray reads of a NOTIFYICONDATAW.
const DWORD kTrayRecordSize = NOTIFYICONDATAW_V3_SIZE;
#if !defined(_WIN64)
static_assert(NOTIFYICONDATAW_V3_SIZE == 952, "version-3 tray record on i686");
#else
static_assert(NOTIFYICONDATAW_V3_SIZE == 968, "version-3 tray record on x86_64");
#endif

}  // namespace window
}  // namespace platform
