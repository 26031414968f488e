#include "services/system_checks.h"

#include <windows.h>
#include <intrin.h>  // __cpuid; <cpuid.h> must not join it in this unit

#include <cstring>

#include "installer/channel_config.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"

namespace {

// ---- seams ------------------------------------------------------------------

CpuFacts g_cpuFacts;  // empty members: the instruction itself
std::function<std::optional<EngineKind>()> g_installedEngine;
std::function<bool(const std::wstring&)> g_dotNetBinder;
HMODULE g_probeModule = nullptr;  // null: the running program
WORD g_probeResourceId = 243;

// ---- process-wide caches (installer thread only) -----------------------------

DownloadVariant* g_variant = nullptr;  // kept until the process ends
bool g_vtAnswered = false;
bool g_vtAnswer = false;

CpuidLeaf0 realLeaf0() {
    int regs[4] = {};
    __cpuid(regs, 0);
    CpuidLeaf0 r;
    r.maxLeaf = static_cast<uint32_t>(regs[0]);
    r.ebx = static_cast<uint32_t>(regs[1]);
    r.ecx = static_cast<uint32_t>(regs[2]);
    r.edx = static_cast<uint32_t>(regs[3]);
    return r;
}

uint32_t realLeaf1Ecx() {
    int regs[4] = {};
    __cpuid(regs, 1);
    return static_cast<uint32_t>(regs[2]);
}

CpuidLeaf0 leaf0() { return g_cpuFacts.leaf0 ? g_cpuFacts.leaf0() : realLeaf0(); }
uint32_t leaf1Ecx() { return g_cpuFacts.leaf1Ecx ? g_cpuFacts.leaf1Ecx() : realLeaf1Ecx(); }

const uint32_t kGenu = 0x756E6547u;  // "Genu", lowest byte first

// ---- registry reads ----------------------------------------------------------

// A REG_SZ (or, with expandToo, REG_EXPAND_SZ) value of at most bufferBytes
// bytes, terminated within what was read.
bool readRegString(HKEY key, const wchar_t* name, DWORD bufferBytes, bool expandToo, std::wstring& out) {
    std::vector<BYTE> buffer(bufferBytes + sizeof(wchar_t), 0);
    DWORD type = 0;
    DWORD size = bufferBytes;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && !(expandToo && type == REG_EXPAND_SZ)) return false;
    if (size > bufferBytes) size = bufferBytes;
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
    size_t chars = size / sizeof(wchar_t);
    size_t length = 0;
    while (length < chars && text[length]) ++length;
    out.assign(text, length);
    return true;
}

// A REG_DWORD value of exactly four bytes.
bool readRegDword(HKEY key, const wchar_t* name, DWORD& out) {
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof(value)) return false;
    out = value;
    return true;
}

class RegKey {
public:
    RegKey(HKEY root, const wchar_t* path) {
        if (RegOpenKeyExW(root, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// ---- probe library -------------------------------------------------------------

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    ~LoadedLibrary() {
        if (module_) FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

typedef int(__cdecl* IsVTOnFn)();

// ---- .NET --------------------------------------------------------------------

const wchar_t kNdpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP";

typedef HRESULT(WINAPI* GetRequestedRuntimeInfoFn)(LPCWSTR exe, LPCWSTR version, LPCWSTR configFile,
                                                    DWORD startupFlags, DWORD runtimeInfoFlags,
                                                    LPWSTR directory, DWORD directorySize,
                                                    DWORD* directoryLength, LPWSTR versionOut,
                                                    DWORD versionSize, DWORD* versionLength);

bool bindRuntime(const std::wstring& version) {
    return g_dotNetBinder ? g_dotNetBinder(version) : bindDotNetRuntime(version);
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

// ---- processor -------------------------------------------------------------------

bool isIntelProcessor() { return leaf0().ebx == kGenu; }

bool hasVmx() { return (leaf1Ecx() >> 5) & 1u; }

bool hasSSSE3() {
    if (leaf0().maxLeaf < 1) return false;
    return (leaf1Ecx() >> 9) & 1u;
}

std::wstring getCpuVendor() {
    CpuidLeaf0 r = leaf0();
    char vendor[12];
    std::memcpy(vendor, &r.ebx, 4);
    std::memcpy(vendor + 4, &r.edx, 4);
    std::memcpy(vendor + 8, &r.ecx, 4);
    // A text: it ends at a zero byte, should a processor report one.
    return ansiToWide(std::string(vendor, strnlen(vendor, sizeof(vendor))));
}

// ---- VT-x through the probe library -------------------------------------------------

bool isVTEnabled() {
    if (g_vtAnswered) return g_vtAnswer;

    const std::wstring dataFolder = getUserDataFolder();
    const ravel::file::Path libraryFolder = ravel::file::Path(dataFolder) / L"vtchecker";
    const ravel::file::Path libraryPath = libraryFolder / L"hvprobe.dll";
    addToPathEnv(libraryFolder.toString());

    // Always unpack afresh: an old or replaced library (and the drivers it
    // registers as a kernel service) must never be used. Only the library path
    // is loaded; nothing is taken from the current folder.
    deletePath(libraryFolder.toString(), false).ignore();
    extractZipResource(g_probeModule, L"VT_CHECKER", g_probeResourceId, dataFolder);

    bool answer = false;
    LoadedLibrary library(libraryPath.toString());
    if (library.get()) {
        IsVTOnFn isVTOn =
            reinterpret_cast<IsVTOnFn>(reinterpret_cast<void*>(GetProcAddress(library.get(), "isVTOn")));
        if (isVTOn) {
            g_vtAnswered = true;
            answer = isVTOn() != 0;
            g_vtAnswer = answer;
        }
    }
    return answer;
}

// ---- engine and package ------------------------------------------------------------

std::optional<EngineKind> installedEngine() {
    if (g_installedEngine) return g_installedEngine();
    if (!isEmulatorInstalled()) return std::nullopt;
    return isPlayerInstalled() ? EngineKind::VBox : EngineKind::Qv;
}

bool isSecureBootOn() {
    RegKey key(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot");
    if (!key.get()) return false;
    std::wstring text;
    const bool asText = readRegString(key.get(), L"State", 260 * sizeof(wchar_t), true, text) && text == L"1";
    DWORD number = 0;
    const bool asNumber = readRegDword(key.get(), L"State", number) && number == 1;
    return asText || asNumber;
}

void chooseQvPackage(DownloadVariant& variant, const ChannelPackages& packages, bool ssse3) {
    auto versionAt = [&](size_t i) {
        return i < packages.romVersions.size() ? packages.romVersions[i] : std::wstring();
    };
    for (size_t i = 0; i < packages.romUrls.size(); ++i) {
        const bool forOldProcessors = packages.romUrls[i].find(L"nossse3") != std::wstring::npos;
        if (ssse3 != forOldProcessors) {
            variant.url = packages.romUrls[i];
            variant.version = versionAt(i);
            break;
        }
    }
    // A channel with one package gets it whatever the processor.
    if (packages.romUrls.size() == 1) {
        variant.url = packages.romUrls[0];
        variant.version = versionAt(0);
    }
}

void chooseVBoxPackage(DownloadVariant& variant, const ChannelPackages& packages) {
    variant.url = packages.vboxUrls.empty() ? std::wstring() : packages.vboxUrls[0];
    variant.version = packages.vboxVersions.empty() ? std::wstring() : packages.vboxVersions[0];
}

DownloadVariant& selectDownloadVariant(const ChannelPackages& packages) {
    if (g_variant) return *g_variant;
    g_variant = new DownloadVariant();
    DownloadVariant& variant = *g_variant;

    bool eligible;
    if (hasVmx()) {
        logPrintf("has_vt\n");
        eligible = true;
    } else {
        logPrintf("havn't_vt\n");
        eligible = !isIntelProcessor();
    }

    if (packages.vboxEnabled && eligible) {
        // Only logged: the engine does not depend on it.
        if (isVTEnabled()) logPrintf("vt_enabled\n");
        variant.engine = EngineKind::VBox;
    }

    if (isSecureBootOn()) {
        logPrintf("SecureBoot open\n");
        variant.engine = EngineKind::Qv;
    }

    // The package must be one for the engine the installer will run, and an
    // installed engine is the one it runs.
    if (std::optional<EngineKind> installed = installedEngine()) variant.engine = *installed;

    if (variant.engine == EngineKind::Qv)
        chooseQvPackage(variant, packages, hasSSSE3());
    else
        chooseVBoxPackage(variant, packages);
    return variant;
}

ChannelPackages channelPackagesOf(const ChannelConfig& config) {
    ChannelPackages packages;
    packages.vboxEnabled = config.vboxEnabled;
    packages.romUrls = config.romUrls;
    packages.romVersions = config.romVersions;
    packages.vboxUrls = config.vboxUrls;
    packages.vboxVersions = config.vboxVersions;
    return packages;
}

DownloadVariant& selectDownloadVariant(const ChannelConfig& config) {
    if (g_variant) return *g_variant;
    return selectDownloadVariant(channelPackagesOf(config));
}

// ---- .NET ------------------------------------------------------------------------

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

// ---- seams -------------------------------------------------------------------------

CpuFacts realCpuFacts() {
    CpuFacts facts;
    facts.leaf0 = realLeaf0;
    facts.leaf1Ecx = realLeaf1Ecx;
    return facts;
}

void setCpuFactsForTests(const CpuFacts& facts) { g_cpuFacts = facts; }

void setInstalledEngineForTests(const std::function<std::optional<EngineKind>()>& probe) {
    g_installedEngine = probe;
}

void setDotNetBinderForTests(const std::function<bool(const std::wstring&)>& binder) { g_dotNetBinder = binder; }

void setProbeResourceForTests(HMODULE module, WORD id) {
    g_probeModule = module;
    g_probeResourceId = id;
}

void resetSystemChecksForTests() {
    delete g_variant;
    g_variant = nullptr;
    g_vtAnswered = false;
    g_vtAnswer = false;
}
