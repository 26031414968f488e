// What an APK file declares, read from its binary manifest.
#pragma once

#include <string>

// The launcher activity's class name (empty when none is found); package is
// set from the manifest and left untouched when the file cannot be read. A
// manifest that cannot be read logs one line with the reason.
std::wstring readApkManifest(const std::wstring& apkPath, std::wstring& package);

// Copies the APK's "AndroidManifest.xml" item to destination byte for byte.
// False for a missing item, an item over kMaxManifestBytes, a read error (a bad
// check sum included) or an archive that does not open; nothing is left at
// destination then.
bool extractManifest(const std::wstring& apkPath, const std::wstring& destination);

// Bound of a manifest item, whatever the archive's directory says.
const size_t kMaxManifestBytes = 8u << 20;

struct ApkManifestInfo {
    std::wstring package;   // empty: none declared, or refused
    std::wstring activity;  // the first enabled launcher; empty: none
};
// Reads a binary XML manifest held in memory, every bound checked. False with
// a short reason for a malformed document.
bool parseBinaryManifest(const std::string& bytes, ApkManifestInfo& out, std::string& reason);
