// The product's temporary files.
#include "services/install_paths.h"

#include "toolkit/sys_util.h"

std::wstring getTempFilePath() {
    wchar_t name[MAX_PATH] = {};
    if (!GetTempFileNameW(getTempDataFolder().c_str(), L"TVD", 0, name)) return std::wstring();
    return name;
}
