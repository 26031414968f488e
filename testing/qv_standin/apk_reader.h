// Reads what the stand-in APK handler needs from an APK: the package and the
// launcher activity of its binary AndroidManifest.xml, and its launcher icon.
#pragma once

#include <string>

namespace qvs {

struct ManifestInfo {
    std::wstring package;
    std::wstring launcher;  // android:name as written (".MainActivity", "com.a.b.Main", ...)
};

// Walks the chunks of a binary XML document (string pool UTF-16 or UTF-8,
// resource map, elements). The launcher is the first activity or
// activity-alias with an intent-filter holding action android.intent.action.MAIN
// and category android.intent.category.LAUNCHER. False for a malformed document
// or one without a package.
bool parseBinaryManifest(const std::string& data, ManifestInfo& out);

// The launcher's class name without "<package>." (".X" and "<package>.X" give X;
// a name without a dot is taken relative to the package).
std::wstring shortActivityName(const std::wstring& package, const std::wstring& activity);

struct ApkInfo {
    ManifestInfo manifest;
    std::string icon;  // res/mipmap*/ic_launcher.png, empty when the APK has none
};

// reason on failure: "not-zip", "no-manifest", "bad-manifest" or "no-launcher".
bool readApk(const std::wstring& path, ApkInfo& out, std::string& reason);

}  // namespace qvs
