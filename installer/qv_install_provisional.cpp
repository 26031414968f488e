// provisional: the APK manifest reader belongs to later work. Until it lands no
// activity is read from an APK (the channel's apps name theirs). Remove this
// file when it is defined.
#include "installer/apk_manifest.h"

std::wstring readApkManifest(const std::wstring&, std::wstring&) { return std::wstring(); }
