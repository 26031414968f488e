// Tests of the system checks: processor tests through scripted CPUID facts and on
// the real processor, the engine and package choice with the exact log lines,
// the probe-library road (unpack, load, cache) with stub libraries and with the
// product library against the stand-in driver, Secure Boot and .NET registry
// fixtures.
//
// The fixtures live in machine-wide places of the prefix (HKLM keys, the user
// data folder, the log, the probe's driver services), so the cases take turns
// across the test processes through named mutexes.
#include "services/system_checks.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "installer/channel_config.h"
#include "services/env_test_util.h"
#include "services/loader_env.h"
#include "testing/support/test_support.h"
#include "services/seams.h"

namespace {

// Resource ids of the "VT_CHECKER" archives carried by this test program.
const WORD kResProduct = 243;   // product hvprobe.dll + the stand-in driver under both names
const WORD kResYes = 244;       // stub whose isVTOn answers 1
const WORD kResNo = 245;        // stub whose isVTOn answers 0
const WORD kResNoExport = 246;  // stub without isVTOn
const WORD kResGarbage = 247;   // "vtchecker/hvprobe.dll" is not a library
const WORD kResNotZip = 248;    // the resource is not an archive
const WORD kResMissing = 999;   // no such resource

const wchar_t kSecureBootKey[] = L"SYSTEM\\CurrentControlSet\\Control\\SecureBoot";
const wchar_t kDotNetSetupKey[] = L"Software\\Microsoft\\NET Framework Setup";
const wchar_t kNdpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP";
const wchar_t kStubDriverKey[] = L"SYSTEM\\HvSenseStub";

const uint32_t kGenu = 0x756E6547u, kIneI = 0x49656E69u, kNtel = 0x6C65746Eu;  // GenuineIntel
const uint32_t kAuth = 0x68747541u, kEnti = 0x69746E65u, kCAMD = 0x444D4163u;  // AuthenticAMD
const uint32_t kVmxBit = 1u << 5, kSsse3Bit = 1u << 9;

void cpuid(unsigned leaf, unsigned regs[4]) {
    __asm__ __volatile__("cpuid" : "=a"(regs[0]), "=b"(regs[1]), "=c"(regs[2]), "=d"(regs[3]) : "a"(leaf), "c"(0));
}

class NamedLock {
public:
    explicit NamedLock(const wchar_t* name) : mutex_(CreateMutexW(nullptr, FALSE, name)) {
        if (!mutex_) return;
        DWORD wait = WaitForSingleObject(mutex_, 240000);
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    ~NamedLock() {
        if (held_) ReleaseMutex(mutex_);
        if (mutex_) CloseHandle(mutex_);
    }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_ = false;
};

struct Cpu {
    uint32_t maxLeaf, ebx, edx, ecx, leaf1Ecx;
};
const Cpu kIntelNoVmx = {0x16, kGenu, kIneI, kNtel, kSsse3Bit};
const Cpu kIntelVmx = {0x16, kGenu, kIneI, kNtel, kSsse3Bit | kVmxBit};
const Cpu kAmdNoVmx = {0x10, kAuth, kEnti, kCAMD, kSsse3Bit};
const Cpu kAmdNoVmxNoSsse3 = {0x10, kAuth, kEnti, kCAMD, 0};

void scriptCpu(const Cpu& cpu) {
    CpuFacts facts;
    facts.leaf0 = [cpu] {
        CpuidLeaf0 r;
        r.maxLeaf = cpu.maxLeaf;
        r.ebx = cpu.ebx;
        r.edx = cpu.edx;
        r.ecx = cpu.ecx;
        return r;
    };
    facts.leaf1Ecx = [cpu] { return cpu.leaf1Ecx; };
    setCpuFactsForTests(facts);
}

std::wstring logFilePath() {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring name = module;
    name = name.substr(name.find_last_of(L'\\') + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    return getLogFolder() + L"\\" + name + L".log";
}

// The lines of the system checks that reach the log from now on, each with the
// line break it was passed with (the log adds one of its own after every text).
class LogWatch {
public:
    LogWatch() : path_(logFilePath()) {
        std::string bytes;
        if (tst::readFile(path_, bytes)) offset_ = bytes.size();
    }
    std::vector<std::string> lines() const {
        static const char* const kTexts[] = {"has_vt", "havn't_vt", "vt_enabled", "SecureBoot open"};
        std::string bytes;
        tst::readFile(path_, bytes);
        bytes = bytes.size() > offset_ ? bytes.substr(offset_) : std::string();
        std::vector<std::string> split;
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            std::string line = bytes.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            split.push_back(line);
            start = end + 1;
        }
        std::vector<std::string> found;
        for (size_t i = 0; i < split.size(); ++i) {
            size_t at = split[i].find(", , ");
            if (at == std::string::npos) continue;
            std::string text = split[i].substr(at + 4);
            for (const char* t : kTexts) {
                if (text == t) {
                    const bool ownBreak = i + 1 < split.size() && split[i + 1].empty();
                    found.push_back(text + (ownBreak ? "\n" : ""));
                }
            }
        }
        return found;
    }

private:
    std::wstring path_;
    size_t offset_ = 0;
};

bool deleteKeyTree(const wchar_t* path) {
    LSTATUS rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    if (rc == ERROR_SUCCESS) rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool keyExists(const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool setValue(const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool setDword(const std::wstring& keyPath, const wchar_t* name, DWORD value) {
    return setValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

bool setText(const std::wstring& keyPath, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    return setValue(keyPath, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring userLibraryFolder() { return getUserDataFolder() + L"\\vtchecker"; }

ChannelPackages samplePackages(bool vboxEnabled) {
    ChannelPackages p;
    p.vboxEnabled = vboxEnabled;
    p.romUrls = {L"http://h/rom.zip", L"http://h/rom_nossse3.zip"};
    p.romVersions = {L"2.0.0.1", L"2.0.0.2"};
    p.vboxUrls = {L"http://h/vbox_a.zip", L"http://h/vbox_b.zip"};
    p.vboxVersions = {L"5.1.0.1", L"5.1.0.2"};
    return p;
}

// Every case: its own turn on the machine state, scripted seams, a stub log, and
// nothing left behind (seams, caches, Secure Boot key, library folder).
class SystemChecks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.held());
        resetSystemChecksForTests();
        setInstalledEngineForTests([] { return std::optional<EngineKind>(); });
        setProbeResourceForTests(nullptr, kResMissing);
        secureBootKeyExisted_ = keyExists(kSecureBootKey);
        stubLog_ = logDir_.file(L"stub.log");
        SetEnvironmentVariableW(L"HVPROBE_STUB_LOG", stubLog_.c_str());
        tst::removeTree(userLibraryFolder());
    }

    void TearDown() override {
        if (!lock_.held()) return;
        resetSystemChecksForTests();
        setCpuFactsForTests(CpuFacts());
        setInstalledEngineForTests(nullptr);
        setDotNetBinderForTests(nullptr);
        setProbeResourceForTests(nullptr, kResProduct);
        SetEnvironmentVariableW(L"HVPROBE_STUB_LOG", nullptr);
        if (!secureBootKeyExisted_) deleteKeyTree(kSecureBootKey);
        tst::removeTree(userLibraryFolder());
    }

    // "<variant> load" / "<variant> isVTOn" lines of the stub libraries, then cleared.
    std::vector<std::string> takeStubLines() {
        std::string bytes;
        tst::readFile(stubLog_, bytes);
        DeleteFileW(stubLog_.c_str());
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            lines.push_back(bytes.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    NamedLock lock_{L"TarvoSystemChecksTests"};
    tst::TempDir logDir_{L"checks"};
    std::wstring stubLog_;
    bool secureBootKeyExisted_ = false;
};

// Secure Boot "State" as a case sets it.
struct SecureBoot {
    enum Kind { NoKey, KeyOnly, Sz, ExpandSz, MultiSz, Dword, Binary } kind;
    std::wstring text;
    DWORD number;
};
const SecureBoot kNoSecureBoot = {SecureBoot::NoKey, L"", 0};

void applySecureBoot(const SecureBoot& s) {
    ASSERT_TRUE(deleteKeyTree(kSecureBootKey));
    const std::wstring key = kSecureBootKey;
    switch (s.kind) {
        case SecureBoot::NoKey: break;
        case SecureBoot::KeyOnly: ASSERT_TRUE(setText(key, L"Other", L"1")); break;
        case SecureBoot::Sz: ASSERT_TRUE(setText(key, L"State", s.text, REG_SZ)); break;
        case SecureBoot::ExpandSz: ASSERT_TRUE(setText(key, L"State", s.text, REG_EXPAND_SZ)); break;
        case SecureBoot::MultiSz: {
            std::wstring multi = s.text + std::wstring(1, L'\0');
            ASSERT_TRUE(setValue(key, L"State", REG_MULTI_SZ, multi.c_str(),
                                 static_cast<DWORD>((multi.size() + 1) * sizeof(wchar_t))));
            break;
        }
        case SecureBoot::Dword: ASSERT_TRUE(setDword(key, L"State", s.number)); break;
        case SecureBoot::Binary: ASSERT_TRUE(setValue(key, L"State", REG_BINARY, &s.number, 4)); break;
    }
}

// ---- processor ------------------------------------------------------------------

TEST_F(SystemChecks, ProcessorTestsMatchAnIndependentCpuidRead) {
    setCpuFactsForTests(CpuFacts());
    unsigned leaf0[4], leaf1[4];
    cpuid(0, leaf0);
    cpuid(1, leaf1);
    EXPECT_EQ(leaf0[1] == kGenu, isIntelProcessor());
    EXPECT_EQ(((leaf1[2] >> 5) & 1u) != 0, hasVmx());
    EXPECT_EQ(leaf0[0] >= 1 && ((leaf1[2] >> 9) & 1u) != 0, hasSSSE3());
    char vendor[13] = {};
    memcpy(vendor, &leaf0[1], 4);
    memcpy(vendor + 4, &leaf0[3], 4);
    memcpy(vendor + 8, &leaf0[2], 4);
    EXPECT_EQ(tst::widen(vendor), getCpuVendor());
    EXPECT_EQ(12u, getCpuVendor().size());
}

TEST_F(SystemChecks, ProcessorTestsReadTheRegistersTheyName) {
    struct Case {
        const char* name;
        Cpu cpu;
        bool intel, vmx, ssse3;
        const wchar_t* vendor;
    } cases[] = {
        {"GenuineIntel", kIntelVmx, true, true, true, L"GenuineIntel"},
        {"AuthenticAMD", kAmdNoVmx, false, false, true, L"AuthenticAMD"},
        // Only EBX counts for the vendor test.
        {"Genu with AMD's EDX and ECX", {0x10, kGenu, kEnti, kCAMD, 0}, true, false, false, L"GenuenticAMD"},
        {"Auth with Intel's EDX and ECX", {0x16, kAuth, kIneI, kNtel, 0}, false, false, false, L"AuthineIntel"},
        // The highest basic leaf gates SSSE3 only; VMX is read without that test.
        {"max leaf 0", {0, kGenu, kIneI, kNtel, kVmxBit | kSsse3Bit}, true, true, false, L"GenuineIntel"},
        {"SSSE3 without VMX", {1, kGenu, kIneI, kNtel, kSsse3Bit}, true, false, true, L"GenuineIntel"},
        {"other bits only", {1, kGenu, kIneI, kNtel, ~(kVmxBit | kSsse3Bit)}, true, false, false, L"GenuineIntel"},
    };
    for (const Case& c : cases) {
        scriptCpu(c.cpu);
        EXPECT_EQ(c.intel, isIntelProcessor()) << c.name;
        EXPECT_EQ(c.vmx, hasVmx()) << c.name;
        EXPECT_EQ(c.ssse3, hasSSSE3()) << c.name;
        EXPECT_EQ(std::wstring(c.vendor), getCpuVendor()) << c.name;
    }
}

// ---- engine choice ------------------------------------------------------------------

TEST_F(SystemChecks, EngineFollowsProcessorChannelAndSecureBoot) {
    const std::string has = "has_vt\n", hasnt = "havn't_vt\n", on = "vt_enabled\n", sb = "SecureBoot open\n";
    struct Case {
        const char* name;
        Cpu cpu;
        bool vboxEnabled;
        WORD probe;
        SecureBoot secureBoot;
        EngineKind engine;
        std::vector<std::string> log;
        std::vector<std::string> stub;
    } cases[] = {
        {"Intel without VMX", kIntelNoVmx, true, kResYes, kNoSecureBoot, EngineKind::Qv, {hasnt}, {}},
        {"other vendor without VMX, no library", kAmdNoVmx, true, kResMissing, kNoSecureBoot, EngineKind::VBox,
         {hasnt}, {}},
        {"other vendor, unusable library", kAmdNoVmx, true, kResGarbage, kNoSecureBoot, EngineKind::VBox, {hasnt}, {}},
        {"VBox not enabled", kAmdNoVmx, false, kResYes, kNoSecureBoot, EngineKind::Qv, {hasnt}, {}},
        {"VBox not enabled, VMX", kIntelVmx, false, kResYes, kNoSecureBoot, EngineKind::Qv, {has}, {}},
        {"VT on", kIntelVmx, true, kResYes, kNoSecureBoot, EngineKind::VBox, {has, on}, {"yes load", "yes isVTOn"}},
        {"VT off", kIntelVmx, true, kResNo, kNoSecureBoot, EngineKind::VBox, {has}, {"no load", "no isVTOn"}},
        {"no isVTOn export", kIntelVmx, true, kResNoExport, kNoSecureBoot, EngineKind::VBox, {has},
         {"noexport load"}},
        {"Secure Boot REG_SZ 1", kIntelVmx, true, kResYes, {SecureBoot::Sz, L"1", 0}, EngineKind::Qv, {has, on, sb},
         {"yes load", "yes isVTOn"}},
        {"Secure Boot REG_EXPAND_SZ 1", kAmdNoVmx, true, kResNo, {SecureBoot::ExpandSz, L"1", 0}, EngineKind::Qv,
         {hasnt, sb}, {"no load", "no isVTOn"}},
        {"Secure Boot REG_DWORD 1", kAmdNoVmx, true, kResNo, {SecureBoot::Dword, L"", 1}, EngineKind::Qv,
         {hasnt, sb}, {"no load", "no isVTOn"}},
        {"Secure Boot on, VBox not enabled", kAmdNoVmx, false, kResNo, {SecureBoot::Dword, L"", 1}, EngineKind::Qv,
         {hasnt, sb}, {}},
        {"Secure Boot REG_DWORD 0", kAmdNoVmx, true, kResNo, {SecureBoot::Dword, L"", 0}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
        {"Secure Boot REG_SZ 0", kAmdNoVmx, true, kResNo, {SecureBoot::Sz, L"0", 0}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
        {"Secure Boot REG_SZ 10", kAmdNoVmx, true, kResNo, {SecureBoot::Sz, L"10", 0}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
        {"Secure Boot key without State", kAmdNoVmx, true, kResNo, {SecureBoot::KeyOnly, L"", 0}, EngineKind::VBox,
         {hasnt}, {"no load", "no isVTOn"}},
        // The bytes 01 00 00 00 as text, and "1" as a number (0x31): neither counts.
        {"REG_SZ holding U+0001", kAmdNoVmx, true, kResNo, {SecureBoot::Sz, std::wstring(1, wchar_t(1)), 0},
         EngineKind::VBox, {hasnt}, {"no load", "no isVTOn"}},
        {"REG_DWORD 0x31", kAmdNoVmx, true, kResNo, {SecureBoot::Dword, L"", 0x31}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
        {"REG_BINARY 1", kAmdNoVmx, true, kResNo, {SecureBoot::Binary, L"", 1}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
        {"REG_MULTI_SZ 1", kAmdNoVmx, true, kResNo, {SecureBoot::MultiSz, L"1", 0}, EngineKind::VBox, {hasnt},
         {"no load", "no isVTOn"}},
    };
    const ChannelPackages enabled = samplePackages(true), disabled = samplePackages(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSystemChecksForTests();
        takeStubLines();
        scriptCpu(c.cpu);
        setProbeResourceForTests(nullptr, c.probe);
        applySecureBoot(c.secureBoot);
        LogWatch log;

        DownloadVariant& v = selectDownloadVariant(c.vboxEnabled ? enabled : disabled);

        EXPECT_EQ(c.engine, v.engine);
        if (c.engine == EngineKind::VBox) {
            EXPECT_EQ(L"http://h/vbox_a.zip", v.url);
            EXPECT_EQ(L"5.1.0.1", v.version);
        } else {
            EXPECT_EQ(L"http://h/rom.zip", v.url);
            EXPECT_EQ(L"2.0.0.1", v.version);
        }
        EXPECT_EQ(c.log, log.lines());
        EXPECT_EQ(c.stub, takeStubLines());
        EXPECT_EQ(std::find(c.log.begin(), c.log.end(), sb) != c.log.end(), isSecureBootOn());
    }
}

TEST_F(SystemChecks, InstalledEngineDecidesThePackage) {
    struct Case {
        const char* name;
        Cpu cpu;
        SecureBoot secureBoot;
        std::optional<EngineKind> installed;
        EngineKind engine;
        const wchar_t* url;
        const wchar_t* version;
        std::vector<std::string> log;
    } cases[] = {
        // The machine would take VBox; Qv is installed, so the Qv package (by SSSE3).
        {"Qv installed", kAmdNoVmx, kNoSecureBoot, EngineKind::Qv, EngineKind::Qv, L"http://h/rom.zip", L"2.0.0.1",
         {"havn't_vt\n"}},
        {"Qv installed, no SSSE3", kAmdNoVmxNoSsse3, kNoSecureBoot, EngineKind::Qv, EngineKind::Qv,
         L"http://h/rom_nossse3.zip", L"2.0.0.2", {"havn't_vt\n"}},
        // Secure Boot would take Qv; VBox is installed, so the VBox package.
        {"VBox installed, Secure Boot on", kIntelVmx, {SecureBoot::Dword, L"", 1}, EngineKind::VBox, EngineKind::VBox,
         L"http://h/vbox_a.zip", L"5.1.0.1", {"has_vt\n", "SecureBoot open\n"}},
        {"VBox installed on an Intel without VMX", kIntelNoVmx, kNoSecureBoot, EngineKind::VBox, EngineKind::VBox,
         L"http://h/vbox_a.zip", L"5.1.0.1", {"havn't_vt\n"}},
        {"nothing installed", kAmdNoVmx, kNoSecureBoot, std::nullopt, EngineKind::VBox, L"http://h/vbox_a.zip",
         L"5.1.0.1", {"havn't_vt\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSystemChecksForTests();
        scriptCpu(c.cpu);
        setProbeResourceForTests(nullptr, kResNo);
        applySecureBoot(c.secureBoot);
        const std::optional<EngineKind> installed = c.installed;
        setInstalledEngineForTests([installed] { return installed; });
        LogWatch log;

        DownloadVariant& v = selectDownloadVariant(samplePackages(true));

        EXPECT_EQ(c.engine, v.engine);
        EXPECT_EQ(std::wstring(c.url), v.url);
        EXPECT_EQ(std::wstring(c.version), v.version);
        EXPECT_EQ(c.log, log.lines());
    }
}

TEST_F(SystemChecks, VariantIsBuiltOnceAndNeverRebuilt) {
    scriptCpu(kAmdNoVmx);
    setProbeResourceForTests(nullptr, kResYes);
    LogWatch log;
    DownloadVariant& first = selectDownloadVariant(samplePackages(true));
    ASSERT_EQ(EngineKind::VBox, first.engine);
    takeStubLines();

    ChannelPackages other;
    other.romUrls = {L"http://other/rom.zip"};
    other.romVersions = {L"9"};
    scriptCpu(kIntelNoVmx);
    applySecureBoot({SecureBoot::Dword, L"", 1});
    setInstalledEngineForTests([] { return std::optional<EngineKind>(EngineKind::Qv); });
    DownloadVariant& second = selectDownloadVariant(other);

    EXPECT_EQ(&first, &second);
    EXPECT_EQ(EngineKind::VBox, second.engine);
    EXPECT_EQ(L"http://h/vbox_a.zip", second.url);
    EXPECT_EQ(L"5.1.0.1", second.version);
    // The second call asked nothing: no log line, no library load.
    EXPECT_EQ(std::vector<std::string>({"havn't_vt\n", "vt_enabled\n"}), log.lines());
    EXPECT_TRUE(takeStubLines().empty());
}

TEST_F(SystemChecks, ChannelConfigurationFieldsReachTheChoice) {
    ChannelConfig* config;
    {
        // Creating the record reads the channel number, which writes the adapter ini.
        tst::MachineStateLock machine;
        ASSERT_TRUE(machine.held());
        tst::SavedFile adaptIni(getAdaptIniPath());
        config = &ChannelConfig::instance();
    }
    const bool savedEnabled = config->vboxEnabled;
    const std::vector<std::wstring> savedLists[4] = {config->romUrls, config->romVersions, config->vboxUrls,
                                                     config->vboxVersions};
    config->vboxEnabled = true;
    config->romUrls = {L"r1", L"r2_nossse3"};
    config->romVersions = {L"1"};
    config->vboxUrls = {L"v1"};
    config->vboxVersions = {L"10", L"11"};

    ChannelPackages p = channelPackagesOf(*config);
    EXPECT_TRUE(p.vboxEnabled);
    EXPECT_EQ(config->romUrls, p.romUrls);
    EXPECT_EQ(config->romVersions, p.romVersions);
    EXPECT_EQ(config->vboxUrls, p.vboxUrls);
    EXPECT_EQ(config->vboxVersions, p.vboxVersions);

    scriptCpu(kAmdNoVmxNoSsse3);
    DownloadVariant& v = selectDownloadVariant(*config);
    EXPECT_EQ(EngineKind::VBox, v.engine);
    EXPECT_EQ(L"v1", v.url);
    EXPECT_EQ(L"10", v.version);

    config->vboxEnabled = false;
    EXPECT_EQ(&v, &selectDownloadVariant(*config));
    EXPECT_EQ(EngineKind::VBox, v.engine);

    // Without VBox the ROM without SSSE3 is chosen, and its version is missing.
    resetSystemChecksForTests();
    DownloadVariant& q = selectDownloadVariant(*config);
    EXPECT_EQ(EngineKind::Qv, q.engine);
    EXPECT_EQ(L"r2_nossse3", q.url);
    EXPECT_EQ(L"", q.version);

    config->vboxEnabled = savedEnabled;
    config->romUrls = savedLists[0];
    config->romVersions = savedLists[1];
    config->vboxUrls = savedLists[2];
    config->vboxVersions = savedLists[3];
}

// ---- package rules --------------------------------------------------------------------

TEST(SystemChecksPackages, RomChoiceByProcessor) {
    struct Case {
        const char* name;
        std::vector<std::wstring> urls, versions;
        bool ssse3;
        const wchar_t* url;
        const wchar_t* version;
    } cases[] = {
        {"one entry for old processors on an SSSE3 machine", {L"a_nossse3"}, {L"1"}, true, L"a_nossse3", L"1"},
        {"one entry on a machine without SSSE3", {L"a"}, {L"1"}, false, L"a", L"1"},
        {"two without nossse3 and no SSSE3", {L"a", L"b"}, {L"1", L"2"}, false, L"", L""},
        {"two with nossse3 and SSSE3", {L"a_nossse3", L"b_nossse3"}, {L"1", L"2"}, true, L"", L""},
        {"NOSSSE3 is not nossse3 (SSSE3)", {L"a_NOSSSE3", L"b_nossse3"}, {L"1", L"2"}, true, L"a_NOSSSE3", L"1"},
        {"NOSSSE3 is not nossse3 (no SSSE3)", {L"a_NOSSSE3", L"b_nossse3"}, {L"1", L"2"}, false, L"b_nossse3", L"2"},
        {"first fitting entry wins", {L"x_nossse3", L"a", L"b"}, {L"0", L"1", L"2"}, true, L"a", L"1"},
        {"first fitting entry wins (old)", {L"a", L"x_nossse3", L"y_nossse3"}, {L"0", L"1", L"2"}, false,
         L"x_nossse3", L"1"},
        {"substring anywhere", {L"a", L"http://h/nossse3/rom.zip"}, {L"0", L"1"}, false, L"http://h/nossse3/rom.zip",
         L"1"},
        {"version list shorter", {L"x_nossse3", L"b"}, {L"0"}, true, L"b", L""},
        {"single entry without a version", {L"a"}, {}, true, L"a", L""},
        {"no entries", {}, {L"1"}, true, L"", L""},
    };
    for (const Case& c : cases) {
        ChannelPackages p;
        p.romUrls = c.urls;
        p.romVersions = c.versions;
        DownloadVariant v;
        chooseQvPackage(v, p, c.ssse3);
        EXPECT_EQ(std::wstring(c.url), v.url) << c.name;
        EXPECT_EQ(std::wstring(c.version), v.version) << c.name;
        EXPECT_EQ(EngineKind::Qv, v.engine) << c.name;
    }
}

TEST(SystemChecksPackages, VBoxTakesTheFirstEntries) {
    struct Case {
        std::vector<std::wstring> urls, versions;
        const wchar_t* url;
        const wchar_t* version;
    } cases[] = {
        {{L"u1", L"u2"}, {L"v1", L"v2"}, L"u1", L"v1"},
        {{}, {}, L"", L""},
        {{L"u1"}, {}, L"u1", L""},
        {{}, {L"v1"}, L"", L"v1"},
    };
    for (const Case& c : cases) {
        ChannelPackages p;
        p.vboxUrls = c.urls;
        p.vboxVersions = c.versions;
        DownloadVariant v;
        v.url = L"old";
        v.version = L"old";
        chooseVBoxPackage(v, p);
        EXPECT_EQ(std::wstring(c.url), v.url);
        EXPECT_EQ(std::wstring(c.version), v.version);
    }
}

// ---- probe library: unpack, load, cache -----------------------------------------------

TEST_F(SystemChecks, AnswerIsCachedOnceTheExportWasCalled) {
    setProbeResourceForTests(nullptr, kResYes);
    EXPECT_TRUE(isVTEnabled());
    EXPECT_EQ(std::vector<std::string>({"yes load", "yes isVTOn"}), takeStubLines());
    // The unpacked files are those of the archive.
    EXPECT_TRUE(tst::fileExists(userLibraryFolder() + L"\\hvprobe.dll"));

    // A second call neither unpacks (the marker stays) nor loads.
    ASSERT_TRUE(tst::writeFile(userLibraryFolder() + L"\\marker", "x"));
    setProbeResourceForTests(nullptr, kResNo);
    EXPECT_TRUE(isVTEnabled());
    EXPECT_TRUE(takeStubLines().empty());
    EXPECT_TRUE(tst::fileExists(userLibraryFolder() + L"\\marker"));

    // An answer of 0 is kept the same way.
    resetSystemChecksForTests();
    EXPECT_FALSE(isVTEnabled());
    setProbeResourceForTests(nullptr, kResYes);
    EXPECT_FALSE(isVTEnabled());
    EXPECT_EQ(std::vector<std::string>({"no load", "no isVTOn"}), takeStubLines());
}

TEST_F(SystemChecks, MissingExportIsAskedAgainEveryCall) {
    setProbeResourceForTests(nullptr, kResNoExport);
    EXPECT_FALSE(isVTEnabled());
    EXPECT_FALSE(isVTEnabled());
    EXPECT_EQ(std::vector<std::string>({"noexport load", "noexport load"}), takeStubLines());
    // Not cached: a usable library is taken at the next call.
    setProbeResourceForTests(nullptr, kResYes);
    EXPECT_TRUE(isVTEnabled());
    EXPECT_EQ(std::vector<std::string>({"yes load", "yes isVTOn"}), takeStubLines());
}

bool noShellFolder(int, std::wstring&) { return false; }

// Without a data folder the probe library is neither unpacked, loaded nor put
// on the search path: its folder would be "\vtchecker" on the current drive.
TEST_F(SystemChecks, NoDataFolderUnpacksAndLoadsNothing) {
    setProbeResourceForTests(nullptr, kResYes);
    tst::TempDir dir(L"nodata");  // on C:, so a rooted "\vtchecker" would be C:'s
    const std::wstring rooted = L"C:\\vtchecker";
    ASSERT_FALSE(tst::fileExists(rooted));
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(dir.path().c_str());
    const std::wstring searchPath = envtest::envVar(L"PATH");
    setDataFolderLookupForTests(&noShellFolder);
    const bool answer = isVTEnabled();
    setDataFolderLookupForTests(nullptr);
    SetCurrentDirectoryW(saved);

    EXPECT_FALSE(answer);
    EXPECT_TRUE(takeStubLines().empty());
    EXPECT_FALSE(tst::fileExists(rooted));
    EXPECT_FALSE(tst::fileExists(dir.file(L"vtchecker")));
    EXPECT_EQ(tst::narrow(searchPath), tst::narrow(envtest::envVar(L"PATH")));
}

TEST_F(SystemChecks, LibraryInTheFolderIsAlwaysReplacedFromTheResource) {
    struct Case {
        const char* name;
        std::wstring present;  // a stub from the bin folder, or empty for garbage bytes
    } cases[] = {
        {"garbage hvprobe.dll", L""},
        {"an old library answering 0", tst::binDir() + L"\\hvprobe_stub_no.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetSystemChecksForTests();
        takeStubLines();
        tst::removeTree(userLibraryFolder());
        ASSERT_TRUE(CreateDirectoryW(userLibraryFolder().c_str(), nullptr));
        const std::wstring library = userLibraryFolder() + L"\\hvprobe.dll";
        if (c.present.empty())
            ASSERT_TRUE(tst::writeFile(library, "not a library"));
        else
            ASSERT_TRUE(CopyFileW(c.present.c_str(), library.c_str(), FALSE));
        ASSERT_TRUE(tst::writeFile(userLibraryFolder() + L"\\stale.sys", "old driver"));

        setProbeResourceForTests(nullptr, kResYes);
        EXPECT_TRUE(isVTEnabled());
        EXPECT_EQ(std::vector<std::string>({"yes load", "yes isVTOn"}), takeStubLines());
        // The folder was emptied before the unpack.
        EXPECT_FALSE(tst::fileExists(userLibraryFolder() + L"\\stale.sys"));
    }
}

// A library another program left in the folder is never the one loaded: a
// read-only copy is replaced; one that cannot be replaced fails the probe as
// a library that does not load would, and never runs.
TEST_F(SystemChecks, AForeignLibraryIsReplacedOrNeverLoaded) {
    const std::wstring library = userLibraryFolder() + L"\\hvprobe.dll";
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "held by another process" : "read-only");
        resetSystemChecksForTests();
        takeStubLines();
        tst::removeTree(userLibraryFolder());
        ASSERT_TRUE(CreateDirectoryW(userLibraryFolder().c_str(), nullptr));
        ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\hvprobe_stub_yes.dll").c_str(), library.c_str(), FALSE));
        std::unique_ptr<tst::FileHeldElsewhere> holder;
        if (locked) {
            holder.reset(new tst::FileHeldElsewhere(library, 4000));
            ASSERT_TRUE(holder->held());
        } else {
            ASSERT_TRUE(SetFileAttributesW(library.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        setProbeResourceForTests(nullptr, kResNo);
        std::string before;
        tst::readFile(getLogFolder() + L"\\services_tests.log", before);
        EXPECT_FALSE(isVTEnabled());
        EXPECT_EQ(locked ? std::vector<std::string>() : std::vector<std::string>({"no load", "no isVTOn"}),
                  takeStubLines());
        std::string log;
        tst::readFile(getLogFolder() + L"\\services_tests.log", log);
        EXPECT_EQ(locked, log.find("library check failed: " + tst::narrow(library), before.size()) != std::string::npos);
        holder.reset();
        SetFileAttributesW(library.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(SystemChecks, LibraryOfTheCurrentFolderNeverLoads) {
    tst::TempDir current(L"checks_cwd");
    ASSERT_TRUE(CopyFileW((tst::binDir() + L"\\hvprobe_stub_yes.dll").c_str(), current.file(L"hvprobe.dll").c_str(),
                          FALSE));
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(current.path().c_str()));

    struct Case {
        const char* name;
        WORD resource;
    } cases[] = {
        {"resource missing", kResMissing},
        {"resource not an archive", kResNotZip},
        {"archive with a garbage library", kResGarbage},
    };
    for (const Case& c : cases) {
        setProbeResourceForTests(nullptr, c.resource);
        EXPECT_FALSE(isVTEnabled()) << c.name;
        EXPECT_TRUE(takeStubLines().empty()) << c.name;
    }
    // Nothing was cached: the next call unpacks again and takes a usable library.
    setProbeResourceForTests(nullptr, kResNo);
    EXPECT_FALSE(isVTEnabled());
    EXPECT_EQ(std::vector<std::string>({"no load", "no isVTOn"}), takeStubLines());

    SetCurrentDirectoryW(saved);
}

TEST_F(SystemChecks, LibraryFolderJoinsTheSearchPath) {
    setProbeResourceForTests(nullptr, kResNo);
    isVTEnabled();
    std::vector<wchar_t> path(65536, 0);
    GetEnvironmentVariableW(L"PATH", path.data(), static_cast<DWORD>(path.size()));
    std::wstring value = path.data(), folder = userLibraryFolder();
    std::transform(value.begin(), value.end(), value.begin(), ::towlower);
    std::transform(folder.begin(), folder.end(), folder.begin(), ::towlower);
    EXPECT_NE(std::wstring::npos, (L";" + value + L";").find(L";" + folder + L";")) << tst::narrow(value);
}

// ---- the product library against the stand-in driver ---------------------------------------

using tst::openServiceError;
using tst::purgeService;
using tst::serviceGone;

// The length the stand-in driver recorded, or 0 when it was not asked.
DWORD lastRequestLength() {
    DWORD record[4] = {};
    DWORD size = sizeof(record), type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStubDriverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    LSTATUS rc = RegQueryValueExW(key, L"LastRequest", nullptr, &type, reinterpret_cast<BYTE*>(record), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_BINARY && size == sizeof(record) ? record[0] : 0;
}

// The driver-service cases of the probe library take turns with its own tests.
class SystemChecksProbe : public SystemChecks {
protected:
    void SetUp() override {
        SystemChecks::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(serviceLock_.held());
        clean();
        // The loader's own resource id, in the running program.
        setProbeResourceForTests(nullptr, kResProduct);
    }
    void TearDown() override {
        if (serviceLock_.held()) clean();
        SystemChecks::TearDown();
    }
    void clean() {
        purgeService("hvsense_64");
        purgeService("hvsense_32");
        deleteKeyTree(kStubDriverKey);
    }
    void driverAnswers(DWORD byte0) {
        ASSERT_TRUE(setDword(kStubDriverKey, L"Answer", byte0));
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStubDriverKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"LastRequest");
            RegCloseKey(key);
        }
    }
    NamedLock serviceLock_{L"TarvoHvprobeServiceTests"};
};

TEST_F(SystemChecksProbe, DriverAnswerReachesTheCheckAndNoServiceRemains) {
    const DWORD expectedLength = is64BitWindows() ? 536 : 280;
    struct Case {
        DWORD byte0;
        bool answer;
    } cases[] = {{0x05, true}, {0x01, false}, {0x04, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.byte0);
        resetSystemChecksForTests();
        driverAnswers(c.byte0);
        EXPECT_EQ(c.answer, isVTEnabled());
        EXPECT_EQ(expectedLength, lastRequestLength());
        EXPECT_TRUE(serviceGone("hvsense_64"));
        EXPECT_TRUE(serviceGone("hvsense_32"));
        for (const wchar_t* file : {L"hvprobe.dll", L"hvsense_32.sys", L"hvsense_64.sys"})
            EXPECT_TRUE(tst::fileExists(userLibraryFolder() + L"\\" + file)) << tst::narrow(file);

        // Kept for the process: the driver is not asked again.
        driverAnswers(0x05);
        EXPECT_EQ(c.answer, isVTEnabled());
        EXPECT_EQ(0u, lastRequestLength());
    }
}

TEST_F(SystemChecksProbe, VtOnIsLoggedAndChangesNothing) {
    driverAnswers(0x05);
    scriptCpu(kIntelVmx);
    LogWatch log;
    DownloadVariant& v = selectDownloadVariant(samplePackages(true));
    EXPECT_EQ(EngineKind::VBox, v.engine);
    EXPECT_EQ(L"http://h/vbox_a.zip", v.url);
    EXPECT_EQ(std::vector<std::string>({"has_vt\n", "vt_enabled\n"}), log.lines());
    EXPECT_TRUE(serviceGone("hvsense_64"));
    EXPECT_TRUE(serviceGone("hvsense_32"));
}

// ---- .NET ----------------------------------------------------------------------------

TEST(SystemChecksVersions, VersionAtLeast40303190) {
    const uint32_t required[4] = {4, 0, 30319, 0};
    struct Case {
        const wchar_t* text;
        bool atLeast;
    } cases[] = {
        {L"4.0.30319", true},    {L"4.0.30319.0", true},    {L"4.0.30319.1", true},  {L"4.0.30318.9", false},
        {L"4.8.04084", true},    {L"4.5", true},            {L"4", false},           {L"5", true},
        {L"3.9.99999.9", false}, {L"", false},              {L"x.1", false},         {L"4..30319", true},
        {L"04.00.30319", true},  {L"4.0.30319.0.9", true},  {L"4.0.30319abc", true}, {L"4.0.99999999999", true},
        // An unreadable part counts as 0.
        {L"4.x.30319", true},    {L"4.x.30318", false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.atLeast, versionAtLeast(c.text, required)) << tst::narrow(c.text);
}

struct NdpValue {
    const wchar_t* subkey;
    const wchar_t* name;
    DWORD type;
    DWORD number;
    std::wstring text;
};

NdpValue dw(const wchar_t* subkey, const wchar_t* name, DWORD v) { return {subkey, name, REG_DWORD, v, L""}; }
NdpValue sz(const wchar_t* subkey, const wchar_t* name, const std::wstring& t, DWORD type = REG_SZ) {
    return {subkey, name, type, 0, t};
}

class SystemChecksDotNet : public SystemChecks {
protected:
    void SetUp() override {
        SystemChecks::SetUp();
        if (HasFatalFailure()) return;
        if (keyExists(kDotNetSetupKey)) GTEST_SKIP() << "this prefix has .NET setup keys of its own";
        created_ = true;
    }
    void TearDown() override {
        if (created_) deleteKeyTree(kDotNetSetupKey);
        SystemChecks::TearDown();
    }
    void apply(const std::vector<NdpValue>& values) {
        ASSERT_TRUE(deleteKeyTree(kDotNetSetupKey));
        for (const NdpValue& v : values) {
            const std::wstring key = std::wstring(kNdpKey) + L"\\" + v.subkey;
            if (v.type == REG_DWORD)
                ASSERT_TRUE(setDword(key, v.name, v.number));
            else
                ASSERT_TRUE(setText(key, v.name, v.text, v.type));
        }
    }
    bool created_ = false;
};

TEST_F(SystemChecksDotNet, RegistryAndRuntimeBothDecide) {
    const wchar_t* v2 = L"v2.0.50727";
    const wchar_t* full = L"v4\\Full";
    const wchar_t* client = L"v4\\Client";
    const std::wstring longVersion = L"4.8" + std::wstring(140, L'0');  // more than 260 bytes
    struct Case {
        const char* name;
        std::vector<NdpValue> values;
        bool v2Binds, v4Binds;
        bool installed;
        std::vector<std::wstring> asked;
    } cases[] = {
        {"nothing", {}, true, true, false, {}},
        {"2.0, runtime missing", {dw(v2, L"Install", 1)}, false, true, false, {L"v2.0.50727"}},
        {"2.0", {dw(v2, L"Install", 1)}, true, false, true, {L"v2.0.50727"}},
        {"2.0 Install 0", {dw(v2, L"Install", 0)}, true, true, false, {}},
        {"2.0 Install as text", {sz(v2, L"Install", L"1")}, true, true, false, {}},
        {"Full 4.0.30319", {dw(full, L"Install", 1), sz(full, L"Version", L"4.0.30319")}, false, true, true,
         {L"v4.0.30319"}},
        {"Full 4.0.30318.9", {dw(full, L"Install", 1), sz(full, L"Version", L"4.0.30318.9")}, true, true, false, {}},
        {"Full 4.8.04084", {dw(full, L"Install", 1), sz(full, L"Version", L"4.8.04084")}, false, true, true,
         {L"v4.0.30319"}},
        {"Full without Install", {sz(full, L"Version", L"4.8.04084")}, true, true, false, {}},
        {"Full, runtime missing", {dw(full, L"Install", 1), sz(full, L"Version", L"4.8.04084")}, true, false, false,
         {L"v4.0.30319"}},
        {"Full Version as REG_EXPAND_SZ",
         {dw(full, L"Install", 1), sz(full, L"Version", L"4.8.04084", REG_EXPAND_SZ)}, true, true, false, {}},
        {"Full Version longer than 260 bytes", {dw(full, L"Install", 1), sz(full, L"Version", longVersion)}, true,
         true, false, {}},
        {"Client alone", {dw(client, L"Install", 1), sz(client, L"Version", L"4.0.30319")}, false, true, true,
         {L"v4.0.30319"}},
        {"Release 378389", {dw(full, L"Release", 378389)}, false, true, true, {L"v4.0.30319"}},
        {"Release 378388", {dw(full, L"Release", 378388)}, true, true, false, {}},
        {"Release as text", {sz(full, L"Release", L"528040")}, true, true, false, {}},
        {"Release under Client", {dw(client, L"Release", 528040)}, true, true, false, {}},
        // Each test binds on its own: a failing 2.0 runtime does not hide 4.x.
        {"2.0 unbindable, 4.5 bindable", {dw(v2, L"Install", 1), dw(full, L"Release", 528040)}, false, true, true,
         {L"v2.0.50727", L"v4.0.30319"}},
        {"Client and Full, runtime missing",
         {dw(client, L"Install", 1), sz(client, L"Version", L"4.0.30319"), dw(full, L"Install", 1),
          sz(full, L"Version", L"4.8.04084"), dw(full, L"Release", 528040)},
         true, false, false, {L"v4.0.30319", L"v4.0.30319", L"v4.0.30319"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        apply(c.values);
        std::vector<std::wstring> asked;
        const bool v2Binds = c.v2Binds, v4Binds = c.v4Binds;
        setDotNetBinderForTests([&asked, v2Binds, v4Binds](const std::wstring& version) {
            asked.push_back(version);
            return version == L"v2.0.50727" ? v2Binds : version == L"v4.0.30319" ? v4Binds : false;
        });
        EXPECT_EQ(c.installed, isDotNetInstalled());
        EXPECT_EQ(c.asked, asked);
    }
}

TEST_F(SystemChecksDotNet, WineWithoutMonoHasNoBindableRuntime) {
    setDotNetBinderForTests(nullptr);
    EXPECT_FALSE(isDotNetInstalled());
    UINT mode = SetErrorMode(SEM_NOGPFAULTERRORBOX);
    EXPECT_FALSE(bindDotNetRuntime(L"v2.0.50727"));
    EXPECT_FALSE(bindDotNetRuntime(L"v4.0.30319"));
    EXPECT_EQ(static_cast<UINT>(SEM_NOGPFAULTERRORBOX), SetErrorMode(mode));
    // Registered, but the runtime cannot be bound here.
    apply({dw(L"v2.0.50727", L"Install", 1), dw(L"v4\\Full", L"Install", 1), sz(L"v4\\Full", L"Version", L"4.8.04084"),
           dw(L"v4\\Full", L"Release", 528040)});
    EXPECT_FALSE(isDotNetInstalled());
}

}  // namespace

namespace {

// A "mscoree.dll" that records its loading, placed where a search by name looks
// before the system folder: the program's folder and the current folder. The
// binding runs in a child run of this test, whose Wine takes native copies of
// the library (this prefix's runs have it switched off).
TEST(SystemChecksDotNetLibrary, RuntimeLibraryComesFromTheSystemFolderOnly) {
    const std::wstring fixture = tst::binDir() + L"\\fixtures\\mscoree\\mscoree.dll";
    ASSERT_TRUE(tst::fileExists(fixture));
    wchar_t record[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"TARVO_MSCOREE_RECORD", record, MAX_PATH)) {
        // The child: the fixture does record when loaded by its path...
        HMODULE direct = LoadLibraryW(fixture.c_str());
        if (!direct) GTEST_SKIP() << "this Wine loads no mscoree.dll but its own (error " << GetLastError() << ")";
        FreeLibrary(direct);
        std::string text;
        ASSERT_TRUE(tst::readFile(record, text) && text == "loaded\n") << text;
        ASSERT_TRUE(DeleteFileW(record));
        // ...and the binding never takes it.
        UINT mode = SetErrorMode(SEM_NOGPFAULTERRORBOX);
        EXPECT_FALSE(bindDotNetRuntime(L"v2.0.50727"));
        EXPECT_FALSE(bindDotNetRuntime(L"v4.0.30319"));
        SetErrorMode(mode);
        EXPECT_FALSE(tst::fileExists(record)) << "a mscoree.dll outside the system folder was loaded";
        return;
    }

    tst::TempDir dir(L"mscoree");
    const std::wstring recordPath = dir.file(L"record.txt");
    const std::wstring current = dir.file(L"cwd");
    ASSERT_TRUE(CreateDirectoryW(current.c_str(), nullptr));
    const std::wstring besideProgram = tst::binDir() + L"\\mscoree.dll";
    ASSERT_TRUE(CopyFileW(fixture.c_str(), besideProgram.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(fixture.c_str(), (current + L"\\mscoree.dll").c_str(), FALSE));
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    wchar_t overrides[1024] = {};
    const bool hadOverrides = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 1024) > 0;
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"mscoree=n;mshtml=;winemenubuilder.exe=d;winebrowser.exe=d");
    SetEnvironmentVariableW(L"TARVO_MSCOREE_RECORD", recordPath.c_str());
    wchar_t saved[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(current.c_str());
    const long code = tst::runProgram(L"\"" + std::wstring(program) +
                                      L"\" --gtest_filter=SystemChecksDotNetLibrary.RuntimeLibraryComesFromTheSystemFolderOnly");
    SetCurrentDirectoryW(saved);
    SetEnvironmentVariableW(L"TARVO_MSCOREE_RECORD", nullptr);
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", hadOverrides ? overrides : nullptr);
    EXPECT_TRUE(DeleteFileW(besideProgram.c_str()));
    DeleteFileW((current + L"\\mscoree.dll").c_str());
    EXPECT_EQ(0, code) << "the child run failed";
    EXPECT_FALSE(tst::fileExists(recordPath));
}

}  // namespace
