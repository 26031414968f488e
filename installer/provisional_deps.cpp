// Provisional bodies of provisional_deps.h (see there).
#include "installer/provisional_deps.h"

#include <shellapi.h>

#include <vector>

#include "toolkit/file_util.h"

// provisional: replaced when install paths land
std::wstring getTempFilePath() {
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring folder(temp, n);
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    folder += L"\\tarvozhushou";
    createDirectories(folder).ignore();
    wchar_t name[MAX_PATH] = {};
    if (!GetTempFileNameW(folder.c_str(), L"TVD", 0, name)) return std::wstring();
    return name;
}

// provisional: replaced when install paths land
bool extractResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                           const std::wstring& path) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), type.c_str());
    if (!info) return false;
    HGLOBAL loaded = LoadResource(module, info);
    DWORD size = SizeofResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return false;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) deletePath(path).ignore();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok != FALSE;
}
