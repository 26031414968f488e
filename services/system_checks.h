#pragma once

// Questions about the machine that decide which emulator engine is installed
// and which engine package is downloaded: the processor (vendor, VMX, SSSE3),
// whether VT-x is switched on (asked of the probe library "hvprobe.dll",
// unpacked from the loader's "VT_CHECKER" resource), Secure Boot, and whether
// a usable .NET Framework runtime is present. Everything runs on the installer
// thread; nothing here takes a lock.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class EngineKind : int32_t { VBox = 0, Qv = 1 };

// The package this machine downloads, and its engine. One per process.
struct DownloadVariant {
    std::wstring url;      // empty when the channel lists none that fits
    std::wstring version;  // the version that belongs to url; empty when none
    EngineKind engine = EngineKind::Qv;
};

// CPUID leaf 0: the highest basic leaf and the vendor registers.
bool isIntelProcessor();  // EBX alone is compared with "Genu"
bool hasVmx();            // leaf 1, ECX bit 5
bool hasSSSE3();          // leaf 1, ECX bit 9, when the highest basic leaf is at least 1
std::wstring getCpuVendor();  // EBX, EDX, ECX as 12 characters

// The probe library's isVTOn. The answer is kept for the process once the
// export has been found and called; until then every call unpacks the library
// again and retries.
bool isVTEnabled();

// .NET Framework 2.0 or 4.x registered and its runtime bindable.
bool isDotNetInstalled();

// The engine that is installed on this machine, if any: VBox when the VBox
// player is present, else Qv (the installer's engine selector uses the same
// rule, so the selected implementation and the package always agree).
std::optional<EngineKind> installedEngine();

// Secure Boot "State" reads "1" (REG_SZ / REG_EXPAND_SZ) or 1 (REG_DWORD).
bool isSecureBootOn();

// ---- The steps behind the operations above, exposed for tests -------------

// What the package choice reads of the channel configuration.
struct ChannelPackages {
    bool vboxEnabled = false;
    std::vector<std::wstring> romUrls, romVersions;
    std::vector<std::wstring> vboxUrls, vboxVersions;
};
// Computed on the first call and never rebuilt: later calls return the same
// record whatever packages they pass.
DownloadVariant& selectDownloadVariant(const ChannelPackages& packages);

// The package rules of the two engines, applied to `variant`: Qv walks romUrls
// for the first fit by SSSE3 ("nossse3", case-sensitive), and a single entry is
// taken whatever the walk found; VBox takes the first entries of its lists.
void chooseQvPackage(DownloadVariant& variant, const ChannelPackages& packages, bool ssse3);
void chooseVBoxPackage(DownloadVariant& variant, const ChannelPackages& packages);

// "4.0.30319" style text against four numbers: true when at least `required`.
bool versionAtLeast(const std::wstring& text, const uint32_t required[4]);

// The runtime binding through "mscoree.dll" (load, three exports,
// GetRequestedRuntimeInfo under SEM_FAILCRITICALERRORS, free).
bool bindDotNetRuntime(const std::wstring& version);

// CPUID leaf 0 as the checks read it.
struct CpuidLeaf0 {
    uint32_t maxLeaf = 0, ebx = 0, edx = 0, ecx = 0;
};
