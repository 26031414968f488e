// Tests of hvprobe.dll: the pure rules, the export table, the machine queries, and the
// whole driver-service road of isVTOn against the stand-in driver "hvsense".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <stdio.h>
#include <regex>
#include <string>
#include <vector>

#include "probe/hvprobe_rules.h"
#include "testing/support/test_support.h"

namespace {

typedef int(__cdecl* ProbeFn)();

const char* const kExports[] = {"isIntelCPU", "isSupportVT", "isVTOn", "getCPUCoreNum", "getPhyMemSize"};
const wchar_t kStubKey[] = L"SYSTEM\\HvSenseStub";

std::wstring libraryInBin() { return tst::binDir() + L"\\hvprobe.dll"; }
std::wstring driverInBin() { return tst::binDir() + L"\\hvsense.sys"; }

// CPUID read on its own, without the library's code.
void cpuid(unsigned leaf, unsigned regs[4]) {
    __asm__ __volatile__("cpuid" : "=a"(regs[0]), "=b"(regs[1]), "=c"(regs[2]), "=d"(regs[3]) : "a"(leaf), "c"(0));
}

class Library {
public:
    explicit Library(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    ~Library() {
        if (module_) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE module() const { return module_; }
    ProbeFn fn(const char* name) const {
        return reinterpret_cast<ProbeFn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
private:
    HMODULE module_;
};

// Redirects the C runtime's standard output (shared with the library) into a file.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::wstring& file) : file_(file) {
        fflush(stdout);
        saved_ = _dup(1);
        int fd = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            _dup2(fd, 1);
            _close(fd);
        }
    }
    ~StdoutCapture() { restore(); }
    std::string finish() {
        restore();
        std::string text;
        tst::readFile(file_, text);
        return text;
    }
private:
    void restore() {
        if (done_) return;
        done_ = true;
        fflush(stdout);
        if (saved_ >= 0) {
            _dup2(saved_, 1);
            _close(saved_);
        }
    }
    std::wstring file_;
    int saved_ = -1;
    bool done_ = false;
};

// --- service and registry helpers of the tests -----------------------------------

using tst::openServiceError;
using tst::purgeService;
using tst::serviceGone;

// A driver service as an earlier, crashed run would have left it.
bool createLeftOver(const char* name, const std::string& driverPath, bool start) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, driverPath.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    bool ok = service != nullptr;
    if (ok && start) ok = StartServiceA(service, 0, nullptr) != FALSE;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

void setDriverAnswer(DWORD answer) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    RegSetValueExW(key, L"Answer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&answer), sizeof(answer));
    RegDeleteValueW(key, L"LastRequest");
    RegCloseKey(key);
}

// What the stand-in driver was sent: length and bytes 264, 272 and 520.
struct LastRequest {
    bool present = false;
    DWORD length = 0, b264 = 0, b272 = 0, b520 = 0;
};

LastRequest lastRequest() {
    LastRequest r;
    DWORD record[4] = {};
    DWORD size = sizeof(record), type = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStubKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return r;
    if (RegQueryValueExW(key, L"LastRequest", nullptr, &type, reinterpret_cast<BYTE*>(record), &size) ==
            ERROR_SUCCESS &&
        type == REG_BINARY && size == sizeof(record)) {
        r.present = true;
        r.length = record[0];
        r.b264 = record[1];
        r.b272 = record[2];
        r.b520 = record[3];
    }
    RegCloseKey(key);
    return r;
}

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// --- pure rules -------------------------------------------------------------------

TEST(HvprobeRules, MemoryAnswerIsMiBBelow1500Else3000) {
    const unsigned long long MiB = 1ull << 20;
    struct Case { unsigned long long bytes; int answer; } cases[] = {
        {0, 0},
        {1024 * MiB, 1024},
        {1499 * MiB, 1499},
        {1500 * MiB - 1, 1499},
        {1500 * MiB, 3000},
        {4096 * MiB + 1, 3000},
        {64ull * 1024 * MiB, 3000},  // above 4 GiB: the whole 64-bit value counts
    };
    for (const Case& c : cases) EXPECT_EQ(c.answer, hvprobe::memoryAnswer(c.bytes)) << c.bytes;
}

TEST(HvprobeRules, DriverFollowsNativeArchitecture) {
    struct Case { unsigned short arch; const char* service; const char* file; unsigned size; } cases[] = {
        {9, "hvsense_64", "hvsense_64.sys", 536},   // AMD64
        {6, "hvsense_64", "hvsense_64.sys", 536},   // IA64
        {0, "hvsense_32", "hvsense_32.sys", 280},   // x86
        {5, "hvsense_32", "hvsense_32.sys", 280},   // ARM
        {12, "hvsense_32", "hvsense_32.sys", 280},  // ARM64 is not in the 64-bit row
        {0xFFFF, "hvsense_32", "hvsense_32.sys", 280},
    };
    for (const Case& c : cases) {
        hvprobe::DriverChoice d = hvprobe::driverFor(c.arch);
        EXPECT_STREQ(c.service, d.service) << c.arch;
        EXPECT_STREQ(c.file, d.file) << c.arch;
        EXPECT_EQ(c.size, d.requestSize) << c.arch;
    }
}

TEST(HvprobeRules, RequestLayoutsSetOnlyTheirBytes) {
    struct Case { unsigned size; unsigned long processors; std::vector<std::pair<unsigned, unsigned char>> set; } cases[] = {
        {280, 4, {{264, 4}, {272, 1}}},
        {280, 260, {{264, 4}, {272, 1}}},  // low 8 bits of the count
        {536, 8, {{520, 8}}},
        {536, 256, {}},                    // low 8 bits are 0: nothing set at all
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> buf(c.size, 0xCC);
        hvprobe::buildRequest(buf.data(), c.size, c.processors);
        for (unsigned i = 0; i < c.size; ++i) {
            unsigned char want = 0;
            for (const auto& s : c.set)
                if (s.first == i) want = s.second;
            ASSERT_EQ(want, buf[i]) << "size " << c.size << " count " << c.processors << " byte " << i;
        }
    }
}

TEST(HvprobeRules, AnswerNeedsValidBitThenReadsBit2) {
    struct Case { unsigned char byte0; int answer; } cases[] = {
        {0x05, 1}, {0x01, 0}, {0x04, 0}, {0x00, 0}, {0x07, 1}, {0xFD, 1}, {0xFB, 0}, {0xFE, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.answer, hvprobe::answerFrom(c.byte0)) << int(c.byte0);
}

// --- the library as loaded --------------------------------------------------------

TEST(HvprobeExports, FiveByNameAndOrdinalInModuleHvfuncs) {
    Library lib(libraryInBin());
    ASSERT_NE(nullptr, lib.module());
    for (int i = 0; i < 5; ++i) {
        FARPROC byName = GetProcAddress(lib.module(), kExports[i]);
        FARPROC byOrdinal = GetProcAddress(lib.module(), MAKEINTRESOURCEA(i + 1));
        EXPECT_NE(nullptr, byName) << kExports[i];
        EXPECT_EQ(byName, byOrdinal) << kExports[i];
        std::string decorated = std::string(kExports[i]) + "@0";
        EXPECT_EQ(nullptr, GetProcAddress(lib.module(), decorated.c_str())) << decorated;
    }

    const BYTE* base = reinterpret_cast<const BYTE*>(lib.module());
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress);
    const IMAGE_EXPORT_DIRECTORY* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_STREQ("hvfuncs.dll", reinterpret_cast<const char*>(base + exp->Name));
    EXPECT_EQ(1u, exp->Base);
    EXPECT_EQ(5u, exp->NumberOfFunctions);
    EXPECT_EQ(5u, exp->NumberOfNames);
}

TEST(HvprobeExports, ManifestAsksToRunAsInvoker) {
    Library lib(libraryInBin());
    ASSERT_NE(nullptr, lib.module());
    HRSRC res = FindResourceW(lib.module(), MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, res);
    HGLOBAL data = LoadResource(lib.module(), res);
    ASSERT_NE(nullptr, data);
    std::string text(static_cast<const char*>(LockResource(data)), SizeofResource(lib.module(), res));
    EXPECT_NE(std::string::npos, text.find("requestedExecutionLevel level=\"asInvoker\""));
}

TEST(HvprobeQueries, MatchAnIndependentReadOfTheMachine) {
    Library lib(libraryInBin());
    ASSERT_NE(nullptr, lib.module());
    unsigned leaf0[4], leaf1[4];
    cpuid(0, leaf0);
    cpuid(1, leaf1);
    const bool intel = leaf0[1] == 0x756E6547u;  // "Genu"
    EXPECT_EQ(intel ? 1 : 0, lib.fn("isIntelCPU")());
    EXPECT_EQ((leaf1[2] >> 5) & 1u, static_cast<unsigned>(lib.fn("isSupportVT")()));

    SYSTEM_INFO si = {};
    GetSystemInfo(&si);
    EXPECT_EQ(static_cast<int>(si.dwNumberOfProcessors), lib.fn("getCPUCoreNum")());

    MEMORYSTATUSEX ms = {};
    ms.dwLength = sizeof(ms);
    ASSERT_TRUE(GlobalMemoryStatusEx(&ms));
    const int mem = lib.fn("getPhyMemSize")();
    if (ms.ullTotalPhys >= (1500ull << 20)) EXPECT_EQ(3000, mem);
    else EXPECT_EQ(static_cast<int>(ms.ullTotalPhys >> 20), mem);
}

// --- isVTOn against the stand-in driver -------------------------------------------

// The service names are fixed, so the cases that create them take turns across the
// test processes of this prefix.
class HvprobeVtOn : public ::testing::Test {
protected:
    void SetUp() override {
        lock_ = CreateMutexW(nullptr, FALSE, L"TarvoHvprobeServiceTests");
        ASSERT_NE(nullptr, lock_);
        DWORD wait = WaitForSingleObject(lock_, 240000);
        ASSERT_TRUE(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) << wait;
        locked_ = true;
        purgeService("hvsense_64");
        purgeService("hvsense_32");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStubKey);
        ASSERT_TRUE(CopyFileW(libraryInBin().c_str(), dir_.file(L"hvprobe.dll").c_str(), FALSE));
    }

    void TearDown() override {
        if (!locked_) return;
        purgeService("hvsense_64");
        purgeService("hvsense_32");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStubKey);
        ReleaseMutex(lock_);
        CloseHandle(lock_);
    }

    void installDrivers(const tst::TempDir& dir) {
        ASSERT_TRUE(CopyFileW(driverInBin().c_str(), dir.file(L"hvsense_64.sys").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(driverInBin().c_str(), dir.file(L"hvsense_32.sys").c_str(), FALSE));
    }

    // One isVTOn call of the copy in the test folder; `printed` gets its standard output.
    int callIsVTOn(std::string& printed) {
        Library lib(dir_.file(L"hvprobe.dll"));
        if (!lib.module()) return -100;
        ProbeFn fn = lib.fn("isVTOn");
        if (!fn) return -101;
        StdoutCapture capture(out_.file(L"stdout.txt"));
        int answer = fn();
        printed = capture.finish();
        return answer;
    }

    tst::TempDir dir_{L"hvprobe"};
    tst::TempDir out_{L"hvprobe_out"};
    HANDLE lock_ = nullptr;
    bool locked_ = false;
};

// A 64-bit process always sees a 64-bit Windows, so the 64-bit driver is the one used.
TEST_F(HvprobeVtOn, AnswerByteOfTheDriverDecides) {
    installDrivers(dir_);
    SYSTEM_INFO si = {};
    GetSystemInfo(&si);
    struct Case { DWORD byte0; int answer; } cases[] = {{0x05, 1}, {0x01, 0}, {0x04, 0}, {0x00, 0}};
    for (const Case& c : cases) {
        setDriverAnswer(c.byte0);
        std::string printed;
        EXPECT_EQ(c.answer, callIsVTOn(printed)) << "answer byte " << c.byte0;
        // Only the first removal has something to say: no service was there.
        EXPECT_EQ("OpenService() Faild 1060 ! \n", printed) << "answer byte " << c.byte0;
        EXPECT_TRUE(serviceGone("hvsense_64"));
        EXPECT_TRUE(serviceGone("hvsense_32"));

        LastRequest r = lastRequest();
        ASSERT_TRUE(r.present) << "the driver was not asked";
        EXPECT_EQ(536u, r.length);
        EXPECT_EQ(si.dwNumberOfProcessors & 0xFF, r.b520);
        EXPECT_EQ(0u, r.b264);
        EXPECT_EQ(0u, r.b272);
    }
}

TEST_F(HvprobeVtOn, LeftOverServiceIsReplaced) {
    installDrivers(dir_);
    tst::TempDir old(L"hvprobe_old");
    installDrivers(old);
    struct Case { const char* name; std::wstring driver; bool started; } cases[] = {
        // Stopped, pointing at a file that no longer exists: only a new service can answer.
        {"stopped", old.file(L"gone.sys"), false},
        {"running", old.file(L"hvsense_64.sys"), true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(createLeftOver("hvsense_64", tst::narrow(c.driver), c.started)) << c.name;
        setDriverAnswer(0x05);
        std::string printed;
        EXPECT_EQ(1, callIsVTOn(printed)) << c.name << "\n" << printed;
        EXPECT_EQ(std::string::npos, printed.find("OpenService() Faild")) << c.name << "\n" << printed;
        EXPECT_EQ(std::string::npos, printed.find("CreateService() Faild")) << c.name << "\n" << printed;
        if (c.started) EXPECT_EQ("", printed) << c.name;
        else EXPECT_EQ("ControlService() Faild 1062 !\n", printed) << c.name;
        EXPECT_TRUE(lastRequest().present) << c.name;
        EXPECT_TRUE(serviceGone("hvsense_64")) << c.name;
    }
}

TEST_F(HvprobeVtOn, MissingDriverFileAnswersZeroAndLeavesNoService) {
    setDriverAnswer(0x05);  // the driver would say yes, were it there
    std::string printed;
    EXPECT_EQ(0, callIsVTOn(printed));
    EXPECT_TRUE(startsWith(printed, "OpenService() Faild 1060 ! \n")) << printed;
    EXPECT_TRUE(std::regex_search(printed, std::regex("(^|\n)StartService\\(\\) Faild -?[0-9]+ ! \n"))) << printed;
    EXPECT_FALSE(lastRequest().present);
    EXPECT_TRUE(serviceGone("hvsense_64"));
    EXPECT_TRUE(serviceGone("hvsense_32"));
}

}  // namespace
