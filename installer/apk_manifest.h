// What an APK file declares.
#pragma once

#include <string>

// The launcher activity's class name (empty when none is found); package is
// set from the manifest and left untouched when the file cannot be read.
std::wstring readApkManifest(const std::wstring& apkPath, std::wstring& package);
