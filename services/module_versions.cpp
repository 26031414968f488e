// Module handles, file versions and the Windows version.
#include "services/install_paths.h"

#include <cstdint>
#include <vector>

#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");

ModuleHandle::~ModuleHandle() {
    if (module_) FreeLibrary(module_);
}

ModuleHandle::ModuleHandle(ModuleHandle&& other) noexcept : module_(other.module_) { other.module_ = nullptr; }

ModuleHandle& ModuleHandle::operator=(ModuleHandle&& other) noexcept {
    if (this != &other) {
        if (module_) FreeLibrary(module_);
        module_ = other.module_;
        other.module_ = nullptr;
    }
    return *this;
}

bool ModuleHandle::extractResource(const std::string& type, unsigned short id, const std::string& path) const {
    return extractResourceToFile(module_, ansiToWide(type), id, ansiToWide(path));
}

int compareVersions(const std::wstring& a, const std::wstring& b) {
    // Odd texts from the web documents must still compare the same way every
    // time: wrap in unsigned arithmetic, compare as signed.
    auto parts = [](const std::wstring& text, uint32_t out[4]) {
        for (int i = 0; i < 4; ++i) out[i] = 0;
        int index = 0;
        for (wchar_t c : text) {
            if (c == L'.') {
                if (++index >= 4) break;
                continue;
            }
            out[index] = out[index] * 10u + static_cast<uint32_t>(c) - 48u;
        }
    };
    uint32_t pa[4], pb[4];
    parts(a, pa);
    parts(b, pb);
    for (int i = 0; i < 4; ++i) {
        int32_t x = static_cast<int32_t>(pa[i]);
        int32_t y = static_cast<int32_t>(pb[i]);
        if (x > y) return 1;
        if (x < y) return -1;
    }
    return 0;
}

bool getFileVersion(const std::wstring& path, std::wstring& out) {
    out.clear();
    std::wstring file = path;
    if (file.empty()) {
        wchar_t buffer[MAX_PATH] = {};
        DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return false;
        file.assign(buffer, n);
    }
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    out = std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
          L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
          std::to_wstring(LOWORD(info->dwFileVersionLS));
    return true;
}

std::wstring getFileVersionString(const std::wstring& path) {
    std::wstring version;
    getFileVersion(path, version);
    return version;
}

std::wstring getOwnVersion() { return getFileVersionString(std::wstring()); }

std::wstring getPlayerVersion() { return getFileVersionString(getPlayerExePath()); }

std::wstring getQvPlayerVersion() { return getFileVersionString(getQvPlayerExePath()); }

const OSVERSIONINFOW& getOsVersion() {
    static const OSVERSIONINFOW version = [] {
        OSVERSIONINFOW v = {};
        v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        GetVersionExW(&v);
#pragma GCC diagnostic pop
        return v;
    }();
    return version;
}
