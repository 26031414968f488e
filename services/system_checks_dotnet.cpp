// A usable .NET Framework: registered, and its runtime bindable.
#include "services/system_checks.h"

#include <windows.h>

#include "services/system_checks_internal.h"
#include "toolkit/sys_util.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif

using syschecks::readRegDword;
using syschecks::readRegString;
using syschecks::RegKey;

namespace {

#ifdef TARVO_TEST_SEAMS
std::function<bool(const std::wstring&)> g_dotNetBinder;
#endif

const wchar_t kNdpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP";

typedef HRESULT(WINAPI* GetRequestedRuntimeInfoFn)(LPCWSTR exe, LPCWSTR version, LPCWSTR configFile,
                                                    DWORD startupFlags, DWORD runtimeInfoFlags,
                                                    LPWSTR directory, DWORD directorySize,
                                                    DWORD* directoryLength, LPWSTR versionOut,
                                                    DWORD versionSize, DWORD* versionLength);

bool bindRuntime(const std::wstring& version) {
#ifdef TARVO_TEST_SEAMS
    if (g_dotNetBinder) return g_dotNetBinder(version);
#endif
    return bindDotNetRuntime(version);
}

// "Install" = 1 under NDP\<sub>.
bool installFlagSet(HKEY key) {
    DWORD install = 0;
    return key && readRegDword(key, L"Install", install) && install == 1;
}

bool versionFourOk(HKEY key) {
    static const uint32_t required[4] = {4, 0, 30319, 0};
    std::wstring text;
    return key && readRegString(key, L"Version", 260, false, text) && versionAtLeast(text, required);
}

}  // namespace

bool versionAtLeast(const std::wstring& text, const uint32_t required[4]) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t start = 0;
    for (int i = 0; i < 4 && start <= text.size(); ++i) {
        size_t dot = text.find(L'.', start);
        const std::wstring piece = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        // Leading decimal digits; none gives 0, an overlong run stays at the maximum.
        uint64_t value = 0;
        for (wchar_t c : piece) {
            if (c < L'0' || c > L'9') break;
            value = value * 10 + static_cast<uint64_t>(c - L'0');
            if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
        }
        parts[i] = static_cast<uint32_t>(value);
        if (dot == std::wstring::npos) break;
        start = dot + 1;
    }
    for (int i = 0; i < 4; ++i) {
        if (parts[i] != required[i]) return parts[i] > required[i];
    }
    return true;
}

bool bindDotNetRuntime(const std::wstring& version) {
    HMODULE mscoree = loadSystemLibrary(L"mscoree.dll");
    if (!mscoree) return false;
    bool bound = false;
    GetRequestedRuntimeInfoFn getInfo = reinterpret_cast<GetRequestedRuntimeInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(mscoree, "GetRequestedRuntimeInfo")));
    if (GetProcAddress(mscoree, "GetCORVersion") && GetProcAddress(mscoree, "CorBindToRuntime") && getInfo) {
        wchar_t directory[260] = {};
        wchar_t versionOut[50] = {};
        DWORD directoryLength = 0, versionLength = 0;
        // Process-wide, so restored at once.
        UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
        HRESULT hr = getInfo(nullptr, version.c_str(), nullptr, 6, 0, directory, 260, &directoryLength,
                             versionOut, 50, &versionLength);
        SetErrorMode(previous);
        bound = SUCCEEDED(hr);
    }
    FreeLibrary(mscoree);
    return bound;
}

bool isDotNetInstalled() {
    const std::wstring ndp = kNdpKey;
    {
        RegKey v2(HKEY_LOCAL_MACHINE, (ndp + L"\\v2.0.50727").c_str());
        if (installFlagSet(v2.get()) && bindRuntime(L"v2.0.50727")) return true;
    }
    RegKey client(HKEY_LOCAL_MACHINE, (ndp + L"\\v4\\Client").c_str());
    if (installFlagSet(client.get()) && versionFourOk(client.get()) && bindRuntime(L"v4.0.30319")) return true;
    RegKey full(HKEY_LOCAL_MACHINE, (ndp + L"\\v4\\Full").c_str());
    if (installFlagSet(full.get()) && versionFourOk(full.get()) && bindRuntime(L"v4.0.30319")) return true;
    DWORD release = 0;
    if (full.get() && readRegDword(full.get(), L"Release", release) && release >= 378389 &&
        bindRuntime(L"v4.0.30319"))
        return true;
    return false;
}

#ifdef TARVO_TEST_SEAMS
void setDotNetBinderForTests(const std::function<bool(const std::wstring&)>& binder) { g_dotNetBinder = binder; }
#endif
