// Whether an app or an Android package is installed in an engine context: asked
// of the running guest over adb, or of the context's package list while the
// engine is stopped.
#pragma once

#include <cstdint>
#include <string>

class Context;

// The app's package comes from its app folder, else from the context's list
// (an entry with that numeric appId). A stopped engine counts a known app as
// installed; a running one asks the guest.
bool isAppInstalled(Context& context, const std::wstring& appId);
// Running: the guest's "pm list packages -f" lists it (case ignored). Stopped:
// the context's list holds it as a key.
bool isPackageInstalled(Context& context, const std::wstring& package);

// Whether a "pm list packages -f" reply lists the package (case ignored). A
// reply without "com." anywhere lists nothing.
bool deviceReplyListsPackage(const std::wstring& reply, const std::wstring& package);
// An app id as the list files store it: 1 to 10 digits, 1 to 4294967295.
bool parseListAppId(const std::wstring& appId, uint32_t& out);
