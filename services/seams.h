// Test seams of services/: only test builds compile them (TARVO_TEST_SEAMS);
// the shipped loader holds none of them.
#pragma once

#ifndef TARVO_TEST_SEAMS
#error "services/seams.h belongs to test builds"
#endif

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "services/system_checks.h"

// CPUID as the checks see it. Defaults to the instruction itself.
struct CpuFacts {
    std::function<CpuidLeaf0()> leaf0;
    std::function<uint32_t()> leaf1Ecx;
};
CpuFacts realCpuFacts();
void setCpuFactsForTests(const CpuFacts& facts);  // empty members restore the real ones

// Replaces installedEngine()'s answer; an empty function restores the real rule.
void setInstalledEngineForTests(const std::function<std::optional<EngineKind>()>& probe);

// Replaces the runtime binder of isDotNetInstalled; empty restores the real one.
void setDotNetBinderForTests(const std::function<bool(const std::wstring& version)>& binder);

// The module and id of the "VT_CHECKER" resource that isVTEnabled unpacks.
// Defaults to the running program (null) and 243.
void setProbeResourceForTests(HMODULE module, WORD id);

// Forgets the cached DownloadVariant and VT answer (the program never does).
void resetSystemChecksForTests();

// Forgets the chosen install root; replaces the Qv installed test (null
// restores isQvInstalled).
void resetInstallRootForTests();
void setQvInstalledTestForTests(bool (*test)());

// Replaces the SetServiceObjectSecurity call of ServiceControl::installAndStart;
// null restores the real one.
void setServiceSecuritySetterForTests(BOOL(WINAPI* setter)(SC_HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR));

// The shell's lookup of the application-data folders (CSIDL_APPDATA,
// CSIDL_COMMON_APPDATA) behind the data folders: true with the folder, false
// as when the shell cannot name it. Null restores the shell's.
typedef bool (*DataFolderLookup)(int csidl, std::wstring& folder);
void setDataFolderLookupForTests(DataFolderLookup lookup);

// Replaces getPlayerHome's lookup (it may throw); an empty function restores
// the real one.
void setPlayerHomeLookupForTests(const std::function<std::wstring()>& lookup);
