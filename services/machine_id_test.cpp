#include "services/machine_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "services/env_test_util.h"
#include "services/md5.h"

namespace {

using namespace machine_id;

std::string hashOf(const std::string& text) {
    char out[33] = {};
    machineHash(text.c_str(), sizeof(out), out);
    return out;
}

bool isLowerHex32(const std::string& s) { return std::regex_match(s, std::regex("[0-9a-f]{32}")); }

// ---- machineHash ----------------------------------------------------------

TEST(MachineHash, DigestsTheTextFollowedByItsOwnPadding) {
    EXPECT_EQ("2ef3c917c1c6afe91d4cc66d8733c403", hashOf("abc"));
    EXPECT_NE("900150983cd24fb0d6963f7d28e17f72", hashOf("abc"));

    // The same value from clx::md5 over the 64 padded bytes.
    unsigned char padded[64] = {'a', 'b', 'c', 0x80};
    padded[56] = 0x18;
    clx::md5 m;
    m.update(padded, sizeof(padded));
    m.finalize();
    EXPECT_EQ(m.hexdigest(), hashOf("abc"));

    EXPECT_EQ("a0fc2d02d8c60d8ea7e573ba19e679a5", hashOf("Mid2Failed"));
    EXPECT_TRUE(isLowerHex32(hashOf("ABC")));
}

TEST(MachineHash, TakesAtMost259Bytes) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += static_cast<char>('A' + i % 26);
    EXPECT_EQ(hashOf(text.substr(0, 259)), hashOf(text));
    EXPECT_EQ("fa92e9da11f8eb6e7c81be64b13e298b", hashOf(text));
    EXPECT_NE(hashOf(text.substr(0, 258)), hashOf(text));
}

TEST(MachineHash, OutputIsBoundedAndTerminated) {
    char out[8];
    std::memset(out, 'x', sizeof(out));
    machineHash("abc", 5, out);
    EXPECT_STREQ("2ef3", out);
    EXPECT_EQ('x', out[5]);

    std::memset(out, 'x', sizeof(out));
    machineHash("abc", 0, out);
    EXPECT_EQ('x', out[0]);
    machineHash("abc", 8, nullptr);  // no crash

    char full[40];
    std::memset(full, 'x', sizeof(full));
    machineHash(nullptr, sizeof(full), full);
    EXPECT_EQ(hashOf(""), std::string(full));
}

// ---- cache values ---------------------------------------------------------

TEST(MachineIdCache, ValueValidation) {
    const std::string id = "2ef3c917c1c6afe91d4cc66d8733c403";
    const std::string check = "65ebfa067c991e1a212542ce87bc23da";
    std::string upper = check;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string wrong = check;
    wrong[31] = wrong[31] == '0' ? '1' : '0';
    struct Case {
        std::string data;
        bool valid;
        const char* what;
    } cases[] = {
        {id + check, true, "64 characters, no terminator"},
        {id + check + std::string(1, '\0'), true, "64 characters and a terminator"},
        {id + upper, true, "upper-case check half"},
        {id + check.substr(0, 31), false, "63 characters"},
        {id + check + "0", false, "65 characters"},
        {id + wrong, false, "wrong check half"},
        {id + std::string(1, '\0') + check.substr(1), false, "NUL inside the value"},
        {"", false, "empty"},
    };
    for (const Case& c : cases) {
        std::string mid2 = "untouched";
        EXPECT_EQ(c.valid, cacheValueValid(c.data.data(), c.data.size(), mid2)) << c.what;
        EXPECT_EQ(c.valid ? id : std::string("untouched"), mid2) << c.what;
    }
    std::string mid2;
    EXPECT_FALSE(cacheValueValid(nullptr, 64, mid2));
}

// ---- buildMachineId through the seams -------------------------------------

class FakeProbes : public Probes {
public:
    FakeProbes(std::string cpu, std::string disk, std::string adapter)
        : cpu_(cpu), disk_(disk), adapter_(adapter) {}
    std::string cpuText() override { ++calls; return cpu_; }
    std::string diskSerial() override { ++calls; return disk_; }
    std::string adapterText() override { ++calls; return adapter_; }
    int calls = 0;

private:
    std::string cpu_, disk_, adapter_;
};

class MemoryCache : public Cache {
public:
    bool read(std::vector<char>& data) override {
        data = stored;
        return present;
    }
    void write(const std::string& value) override {
        ++writes;
        stored.assign(value.begin(), value.end());
        present = true;
    }
    bool present = false;
    std::vector<char> stored;
    int writes = 0;
};

std::string build(Probes& probes, Cache& cache) {
    char out[64];
    std::memset(out, 'x', sizeof(out));
    buildMachineId(out, sizeof(out), probes, cache);
    return std::string(out);
}

TEST(BuildMachineId, SourceTextFromTheProbes) {
    struct Case {
        const char* cpu;
        std::string disk;
        const char* adapter;
        std::string text;
    } cases[] = {
        {"GenuineIntel:bfebfbff", "", "", "GenuineIntel:bfebfbff"},
        {"C", "D", "A", "CDA"},
        {"", "WD-1234", "", "WD-1234"},
        {"", "", "0A1B2C3D4E5F", "0A1B2C3D4E5F"},
        {"C", std::string(150, 's'), "A", "C" + std::string(99, 's') + "A"},
    };
    for (const Case& c : cases) {
        FakeProbes probes(c.cpu, c.disk, c.adapter);
        MemoryCache cache;
        std::string result = build(probes, cache);
        EXPECT_EQ(hashOf(c.text), result) << c.text;
        ASSERT_EQ(1, cache.writes) << c.text;
        EXPECT_EQ(result + hashOf(result), std::string(cache.stored.begin(), cache.stored.end()));
    }
}

TEST(BuildMachineId, AllProbesEmptyHashesTheFailureTextAndCachesNothing) {
    FakeProbes probes("", "", "");
    MemoryCache cache;
    EXPECT_EQ(hashOf("Mid2Failed"), build(probes, cache));
    EXPECT_EQ(0, cache.writes);
}

TEST(BuildMachineId, ValidCacheWinsAndInvalidIsReplaced) {
    const std::string foreign = "2ef3c917c1c6afe91d4cc66d8733c403";
    {
        FakeProbes probes("C", "D", "A");
        MemoryCache cache;
        cache.present = true;
        std::string value = foreign + "65EBFA067C991E1A212542CE87BC23DA";
        cache.stored.assign(value.begin(), value.end());
        EXPECT_EQ(foreign, build(probes, cache));
        EXPECT_EQ(0, probes.calls);
        EXPECT_EQ(0, cache.writes);
    }
    {
        FakeProbes probes("C", "D", "A");
        MemoryCache cache;
        cache.present = true;
        std::string value = foreign + "65ebfa067c991e1a212542ce87bc23d";  // 63 characters
        cache.stored.assign(value.begin(), value.end());
        EXPECT_EQ(hashOf("CDA"), build(probes, cache));
        EXPECT_EQ(1, cache.writes);
    }
}

TEST(BuildMachineId, NeedsRoomForTheTerminator) {
    FakeProbes probes("C", "", "");
    MemoryCache cache;
    char out[40];
    std::memset(out, 'x', sizeof(out));
    buildMachineId(out, 32, probes, cache);
    EXPECT_EQ('x', out[0]);
    EXPECT_EQ(0, probes.calls);
    buildMachineId(nullptr, 40, probes, cache);
    EXPECT_EQ(0, probes.calls);

    buildMachineId(out, 33, probes, cache);
    EXPECT_EQ(hashOf("C"), std::string(out, 32));
    EXPECT_EQ('\0', out[32]);
    EXPECT_EQ('x', out[33]);
}

// ---- decoders on byte fixtures --------------------------------------------

// A 512-byte identify block whose words 10 to 19 hold `serial` (high byte first).
std::vector<uint8_t> identifyBlock(const std::string& serial) {
    std::vector<uint8_t> block(512, 0);
    std::string s = serial;
    s.resize(20, ' ');
    for (int i = 0; i < 10; ++i) {
        block[20 + 2 * i] = static_cast<uint8_t>(s[2 * i + 1]);  // low byte
        block[20 + 2 * i + 1] = static_cast<uint8_t>(s[2 * i]);  // high byte
    }
    return block;
}

TEST(MachineIdDecoders, IdentifyWordsTenToNineteen) {
    struct Case {
        std::string serial;
        std::string text;
    } cases[] = {
        {"WD-WCC4E1234567", "WD-WCC4E1234567"},
        {"    S1N2X3", "    S1N2X3"},  // leading blanks kept, trailing cut
        {"ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOPQRST"},
        {"", ""},
        {std::string("AB\0CD", 5), "AB"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> block = identifyBlock(c.serial);
        EXPECT_EQ(c.text, identifySerial(block.data(), block.size()));
        // The SMART reply carries the block 16 bytes in.
        std::vector<uint8_t> reply(16, 0);
        reply.insert(reply.end(), block.begin(), block.end());
        EXPECT_EQ(c.text, smartReplySerial(reply.data(), reply.size()));
    }
    std::vector<uint8_t> block = identifyBlock("SERIAL");
    EXPECT_EQ("", identifySerial(block.data(), 39));
    EXPECT_EQ("", smartReplySerial(block.data(), 16));
    EXPECT_EQ("", identifySerial(nullptr, 512));
}

TEST(MachineIdDecoders, ScsiMiniportNeedsAModelNumber) {
    std::vector<uint8_t> block = identifyBlock("Z1Z2");
    std::vector<uint8_t> reply(44, 0);  // SRB_IO_CONTROL + SENDCMDOUTPARAMS header
    reply.insert(reply.end(), block.begin(), block.end());
    bool accepted = true;
    EXPECT_EQ("", scsiMiniportSerial(reply.data(), reply.size(), accepted));
    EXPECT_FALSE(accepted);
    reply[44 + 55] = 'S';  // word 27
    EXPECT_EQ("Z1Z2", scsiMiniportSerial(reply.data(), reply.size(), accepted));
    EXPECT_TRUE(accepted);
    EXPECT_EQ("", scsiMiniportSerial(reply.data(), 60, accepted));
    EXPECT_FALSE(accepted);
}

// A storage descriptor of `length` bytes with `text` at `offset`; the bytes
// after the returned length are printable, so reading past it would show.
std::vector<uint8_t> descriptor(const std::string& text, uint32_t offset, size_t length) {
    std::vector<uint8_t> d(length + 16, 'Q');
    std::fill(d.begin(), d.begin() + length, 0);
    std::memcpy(d.data() + 24, &offset, 4);
    for (size_t i = 0; i < text.size() && offset + i < d.size(); ++i) d[offset + i] = text[i];
    return d;
}

TEST(MachineIdDecoders, StorageSerialText) {
    struct Case {
        std::string text;
        std::string serial;
    } cases[] = {
        {"3132333435", "2143"},     // five characters in hex: the fifth is lost
        {"6162", "ba"},             // lower-case hex
        {"41424 43", "BAC@"},       // a blank counts as 0: "4 " is 0x40
        {"ABCDEF", "BADCFE"},       // not hex: the printable text itself, swapped
        {"ABCDE", "BADC"},
        {"0102", "1020"},           // hex of unprintable bytes: the raw text
        {"AB\x01" "C", ""},         // unprintable raw text
        {"41420000", "BA"},         // decoded zero bytes end the text
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.serial, decodeStorageSerialText(c.text)) << c.text;
        std::vector<uint8_t> d = descriptor(c.text, 40, 40 + c.text.size() + 1);
        EXPECT_EQ(c.serial, storageDescriptorSerial(d.data(), 40 + c.text.size() + 1)) << c.text;
    }
}

TEST(MachineIdDecoders, StorageOffsetsOutsideTheReplyGiveNothing) {
    std::vector<uint8_t> d = descriptor("", 0, 40);  // what Wine returns
    EXPECT_EQ("", storageDescriptorSerial(d.data(), 40));
    d = descriptor("", 40, 40);  // at the end
    EXPECT_EQ("", storageDescriptorSerial(d.data(), 40));
    d = descriptor("", 5000, 40);  // far beyond
    EXPECT_EQ("", storageDescriptorSerial(d.data(), 40));
    EXPECT_EQ("", storageDescriptorSerial(d.data(), 27));  // no room for the offset field
    // A text that runs to the end of the reply without a terminator is cut there.
    d = descriptor("", 36, 40);
    d[36] = 'W'; d[37] = 'X'; d[38] = 'Y'; d[39] = 'Z';
    EXPECT_EQ("XWZY", storageDescriptorSerial(d.data(), 40));
    EXPECT_EQ("XW", storageDescriptorSerial(d.data(), 38));
}

TEST(MachineIdDecoders, AdapterAddresses) {
    const uint8_t mac[8] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f, 0x77, 0x88};
    EXPECT_EQ("0A1B2C3D4E5F", ndisAddressText(mac, 6));
    EXPECT_EQ("0A1B2C3D4E5F", ndisAddressText(mac, 8));
    EXPECT_EQ("", ndisAddressText(mac, 5));
    EXPECT_EQ("", ndisAddressText(mac, 0));  // the loopback adapter's answer

    EXPECT_EQ("0A1B2C3D4E5F",
              smallestText({"525400123456", "", "0A1B2C3D4E5F", "0A1B2C3D4E60"}));
    EXPECT_EQ("", smallestText({"", ""}));
    EXPECT_EQ("", smallestText({}));
}

// NetBIOS stand-in: records the commands and answers as configured.
struct NetbiosScript {
    std::vector<UCHAR> commands;
    UCHAR enumResult = NRC_GOODRET;
    UCHAR adapters = 1;
    UCHAR astatResult = NRC_GOODRET;
    std::string callName;
    WORD astatLength = 0;
    UCHAR astatLana = 0xFF;
};
NetbiosScript* g_script = nullptr;

UCHAR APIENTRY fakeNetbios(PNCB ncb) {
    g_script->commands.push_back(ncb->ncb_command);
    switch (ncb->ncb_command) {
    case NCBENUM: {
        LANA_ENUM* e = reinterpret_cast<LANA_ENUM*>(ncb->ncb_buffer);
        e->length = g_script->adapters;
        e->lana[0] = 3;
        return g_script->enumResult;
    }
    case NCBRESET:
        return NRC_GOODRET;
    case NCBASTAT: {
        g_script->callName.assign(reinterpret_cast<char*>(ncb->ncb_callname), NCBNAMSZ);
        g_script->astatLength = ncb->ncb_length;
        g_script->astatLana = ncb->ncb_lana_num;
        const uint8_t mac[6] = {0x00, 0x16, 0x3e, 0xaa, 0xbb, 0x0c};
        std::memcpy(ncb->ncb_buffer, mac, 6);
        return g_script->astatResult;
    }
    }
    return NRC_ILLCMD;
}

TEST(MachineIdDecoders, NetbiosRoute) {
    NetbiosScript ok;
    g_script = &ok;
    EXPECT_EQ("00163EAABB0C", netbiosAdapterText(&fakeNetbios));
    EXPECT_EQ((std::vector<UCHAR>{NCBENUM, NCBRESET, NCBASTAT}), ok.commands);
    EXPECT_EQ("*               ", ok.callName);
    EXPECT_EQ(600, ok.astatLength);
    EXPECT_EQ(3, ok.astatLana);

    NetbiosScript none;
    none.adapters = 0;
    g_script = &none;
    EXPECT_EQ("", netbiosAdapterText(&fakeNetbios));
    EXPECT_EQ((std::vector<UCHAR>{NCBENUM}), none.commands);

    NetbiosScript enumFails;
    enumFails.enumResult = NRC_BADDR;
    g_script = &enumFails;
    EXPECT_EQ("", netbiosAdapterText(&fakeNetbios));
    EXPECT_EQ(1u, enumFails.commands.size());

    NetbiosScript astatFails;
    astatFails.astatResult = NRC_BADDR;
    g_script = &astatFails;
    EXPECT_EQ("", netbiosAdapterText(&fakeNetbios));
    g_script = nullptr;
}

// ---- the real routes under Wine -------------------------------------------

TEST(MachineIdRoutes, RealProbesAnswerInTheirFormats) {
    std::string cpu = cpuText();
    EXPECT_TRUE(std::regex_match(cpu, std::regex(".{12}:[0-9a-f]{8}"))) << cpu;
    EXPECT_LE(diskSerialText().size(), 99u);
    std::string adapter = adapterAddressText();
    if (!adapter.empty()) {
        EXPECT_TRUE(std::regex_match(adapter, std::regex("[0-9A-F]{12}"))) << adapter;
        EXPECT_NE("000000000000", adapter);  // the loopback adapter's empty answer never counts
    }
}

TEST(MachineId, GetMachineIdBounds) {
    wchar_t out[8];
    EXPECT_EQ(0, getMachineId(nullptr, 8));
    EXPECT_EQ(0, getMachineId(out, 0));
    tst::MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    std::fill(out, out + 8, L'x');
    EXPECT_EQ(1, getMachineId(out, 5));
    EXPECT_EQ(4u, wcslen(out));
    EXPECT_EQ(L'x', out[5]);
}

// ---- the registry cache and mid under Wine --------------------------------

bool isWow64() {
    BOOL wow = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow);
    return wow != FALSE;
}

void storeCache(const std::string& data) {
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCacheKey, 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &h, nullptr));
    RegSetValueExA(h, kCacheValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(h);
}

std::string storedCache(REGSAM view = 0, const char* key = kCacheKey) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, &h) != ERROR_SUCCESS) return "<none>";
    char data[256] = {};
    DWORD size = sizeof(data) - 1;
    LONG r = RegQueryValueExA(h, kCacheValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    return r == ERROR_SUCCESS ? std::string(data) : "<none>";
}

class MachineIdRegistry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lock_.held()); }
    tst::MachineStateLock lock_;
    envtest::RegValueBackup backup_{HKEY_LOCAL_MACHINE, kCacheKey, kCacheValue};
};

TEST_F(MachineIdRegistry, CacheTable) {
    const std::string id = "2ef3c917c1c6afe91d4cc66d8733c403";
    const std::string check = "65ebfa067c991e1a212542ce87bc23da";
    std::string upper = check;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string stored;
        bool used;
        const char* what;
    } cases[] = {
        {id + check, true, "foreign value without a terminator"},
        {id + check + std::string(1, '\0'), true, "with a terminator"},
        {id + upper, true, "upper-case check half"},
        {id + check.substr(0, 31), false, "63 characters"},
        {id + check + "a", false, "65 characters"},
        {id + "00000000000000000000000000000000", false, "wrong check half"},
    };
    for (const Case& c : cases) {
        storeCache(c.stored);
        FakeProbes probes("C", "D", "A");
        char out[33] = {};
        buildMachineId(out, sizeof(out), probes, registryCache());
        if (c.used) {
            EXPECT_EQ(id, std::string(out)) << c.what;
            EXPECT_EQ(0, probes.calls) << c.what;
        } else {
            EXPECT_EQ(hashOf("CDA"), std::string(out)) << c.what;
            EXPECT_EQ(hashOf("CDA") + hashOf(hashOf("CDA")), storedCache()) << c.what;
        }
    }
}

TEST_F(MachineIdRegistry, CacheIsWrittenWithoutTerminator) {
    backup_.removeNow();
    FakeProbes probes("C", "", "");
    char out[33] = {};
    buildMachineId(out, sizeof(out), probes, registryCache());
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCacheKey, 0, KEY_READ, &h));
    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, kCacheValue, nullptr, &type, nullptr, &size));
    RegCloseKey(h);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_GE(size, 64u);  // Wine reports 65, adding the terminator it keeps itself
    EXPECT_LE(size, 65u);
    EXPECT_EQ(std::string(out) + hashOf(out), storedCache());

    // Nothing is cached for the failure text.
    backup_.removeNow();
    FakeProbes empty("", "", "");
    buildMachineId(out, sizeof(out), empty, registryCache());
    EXPECT_EQ(hashOf("Mid2Failed"), std::string(out));
    EXPECT_EQ("<none>", storedCache());
}

TEST_F(MachineIdRegistry, GetMid2UsesAndFillsTheCache) {
    backup_.removeNow();
    std::wstring first = getMid2();
    std::string narrowFirst(first.begin(), first.end());
    EXPECT_TRUE(isLowerHex32(narrowFirst)) << narrowFirst;
    EXPECT_EQ(narrowFirst + hashOf(narrowFirst), storedCache());
    if (isWow64()) {
        EXPECT_EQ(narrowFirst + hashOf(narrowFirst),
                  storedCache(KEY_WOW64_64KEY, "Software\\Wow6432Node\\OrvekSafe\\Kestra"));
    }
    EXPECT_EQ(first, getMid2());

    // A foreign valid value is taken as it is.
    storeCache("2ef3c917c1c6afe91d4cc66d8733c40365ebfa067c991e1a212542ce87bc23da");
    EXPECT_EQ(L"2ef3c917c1c6afe91d4cc66d8733c403", getMid2());

    // The public entry needs 33 bytes.
    char out[40];
    std::memset(out, 'x', sizeof(out));
    ::buildMachineId(out, 32);
    EXPECT_EQ('x', out[0]);
    ::buildMachineId(out, 33);
    EXPECT_EQ("2ef3c917c1c6afe91d4cc66d8733c403", std::string(out));
    EXPECT_EQ('x', out[33]);
}

// The raw bytes of a value as RegQueryValueExA returns them (empty when absent).
std::string rawValue(const char* key, const char* value) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "";
    DWORD size = 0;
    std::string data;
    if (RegQueryValueExA(h, value, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size) {
        data.resize(size);
        RegQueryValueExA(h, value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]), &size);
        data.resize(size);
    }
    RegCloseKey(h);
    return data;
}

TEST(MachineIdMid, HashesSerialAndRawRegistryBytes) {
    tst::MachineStateLock lock;
    ASSERT_TRUE(lock.held());
    const char* systemKey = "HARDWARE\\DESCRIPTION\\System";
    envtest::RegValueBackup backup(HKEY_LOCAL_MACHINE, systemKey, "SystemBiosVersion");
    // A known REG_MULTI_SZ: two strings, each terminated, and the final empty one.
    static const char kBios[] = "TVBIOS - 1072009\0BIOS Date: 01/02/20\0";
    const std::string bios(kBios, sizeof(kBios));
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, systemKey, 0, KEY_SET_VALUE, &h));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(h, "SystemBiosVersion", 0, REG_MULTI_SZ,
                                            reinterpret_cast<const BYTE*>(bios.data()),
                                            static_cast<DWORD>(bios.size())));
    RegCloseKey(h);

    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    std::string stream;
    for (int i = 0; i < 4; ++i) stream += static_cast<char>((serial >> (8 * i)) & 0xFF);
    stream += bios;
    std::string cpu = rawValue("HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "ProcessorNameString");
    std::string product = rawValue("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductId");
    ASSERT_FALSE(product.empty());
    EXPECT_EQ('\0', product.back());  // terminators are hashed too
    stream += cpu + product;
    clx::md5 m;
    m.update(stream.data(), stream.size());
    m.finalize();
    const std::string hex = m.hexdigest();
    const std::wstring expected(hex.begin(), hex.end());

    EXPECT_EQ(expected, getMid());
    EXPECT_EQ(getMid(), getMid());
}

}  // namespace
