#include "services/system_checks.h"

#include <windows.h>

#include <vector>

#include "services/install_paths.h"
#include "services/log.h"
#include "services/system_checks_internal.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif

using syschecks::readRegDword;
using syschecks::readRegString;
using syschecks::RegKey;

namespace {

#ifdef TARVO_TEST_SEAMS
std::function<std::optional<EngineKind>()> g_installedEngine;
#endif

// Kept until the process ends (installer thread only).
DownloadVariant* g_variant = nullptr;

}  // namespace

namespace syschecks {

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

bool readRegDword(HKEY key, const wchar_t* name, DWORD& out) {
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof(value)) return false;
    out = value;
    return true;
}

}  // namespace syschecks

// ---- engine and package ------------------------------------------------------------

std::optional<EngineKind> installedEngine() {
#ifdef TARVO_TEST_SEAMS
    if (g_installedEngine) return g_installedEngine();
#endif
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

#ifdef TARVO_TEST_SEAMS
void setInstalledEngineForTests(const std::function<std::optional<EngineKind>()>& probe) {
    g_installedEngine = probe;
}

void resetSystemChecksForTests() {
    delete g_variant;
    g_variant = nullptr;
    syschecks::forgetVtAnswer();
}
#endif
