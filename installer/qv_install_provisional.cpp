// provisional: the uninstall entry and the APK manifest reader belong to later
// work. Until it lands the entry is not written and no activity is read from an
// APK (the channel's apps name theirs). Remove this file when both are defined.
#include "installer/apk_manifest.h"
#include "installer/uninstall_entry.h"

void writeUninstallEntry(EngineKind) {}

std::wstring readApkManifest(const std::wstring&, std::wstring&) { return std::wstring(); }
