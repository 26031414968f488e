// Desktop shortcuts of the installed apps, and the icon file they show.
#pragma once

#include <string>
#include <vector>

#include "installer/channel_config.h"

// The apps of LocalAppList on the user's desktop: "<name>-电脑版.lnk" starting
// the loader with "--app-id <id>". Ids are matched exactly (case matters).
// Only an id that passes isSafeChannelAppId gets or loses a shortcut, and only
// a file that is the product's own link for that id is replaced or deleted.
// Each operation initialises COM for its duration.
bool addAppShortcut(const std::wstring& appId);
void addAllAppShortcuts();
void removeAppShortcut(const std::wstring& appId);
void removeAllAppShortcuts();

// Makes icoPath (one size x size image, 16, 32 or 64) from a PNG file of at most
// 8 MiB and 2048 x 2048 pixels. The old icoPath stays as it was on failure.
bool makeIcon(const std::wstring& pngPath, const std::wstring& icoPath, int size);
// Packs uncompressed square BMP files (16, 32 or 64 pixels) into one icon file,
// written through icoPath + ".part". Prints its progress and errors on stdout.
bool packIcon(const std::wstring& icoPath, const std::vector<std::wstring>& bitmapPaths);

// The file name of an app's shortcut, without the folder: the name made safe for
// a file name (the id for a blank one) + "-电脑版.lnk".
std::wstring appShortcutFileName(const AppInfo& app);
// One app's shortcut with its places given; the public operations pass the
// desktop folder and the loader's path.
bool writeAppShortcut(const AppInfo& app, const std::wstring& desktop, const std::wstring& loaderPath);
void deleteAppShortcut(const AppInfo& app, const std::wstring& desktop);
