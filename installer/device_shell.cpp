#include "installer/device_shell.h"

#include "installer/channel_config.h"
#include "toolkit/string_util.h"

bool quoteForDeviceShell(const std::wstring& text, std::wstring& out) {
    if (hasControlCharacter(text)) return false;
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"' || c == L'$' || c == L'`') quoted += L'\\';
        quoted += c;
    }
    quoted += L'"';
    out = quoted;
    return true;
}

bool isAcceptedPackage(const std::wstring& package) {
    return !package.empty() && package.size() <= 255 && isSafeAndroidPackage(package);
}

bool isAcceptedActivity(const std::wstring& activity) {
    return activity.size() <= 255 && isSafeAndroidActivity(activity);
}
