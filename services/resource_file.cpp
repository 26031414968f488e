// Resources written to files, and the product's temporary files.
#include "services/install_paths.h"

#include "toolkit/sys_util.h"

namespace {

BOOL writeWhole(HANDLE file, const void* data, DWORD size, DWORD* written) {
    return WriteFile(file, data, size, written, nullptr);
}

}  // namespace

bool extractResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                           const std::wstring& path) {
    return writeResourceToFile(module, type, id, path, &writeWhole);
}

std::wstring getTempFilePath() {
    wchar_t name[MAX_PATH] = {};
    if (!GetTempFileNameW(getTempDataFolder().c_str(), L"TVD", 0, name)) return std::wstring();
    return name;
}
