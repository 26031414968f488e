#include "services/machine_id.h"

#include <cpuid.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

#include "services/md5.h"
#include "toolkit/scoped_handle.h"

namespace machine_id {

const char* const kCacheKey = "Software\\OrvekSafe\\Kestra";
const char* const kCacheValue = "mid";

namespace {

const size_t kMaxSourceText = 4095;
const size_t kMaxDiskSerial = 99;
const size_t kHashInputLimit = 259;

const DWORD kSmartGetVersion = 0x74080;
const DWORD kSmartRcvDriveData = 0x7C088;
const DWORD kScsiMiniport = 0x4D008;
const DWORD kScsiMiniportIdentify = 0x1B0501;
const DWORD kStorageQueryProperty = 0x2D1400;
const DWORD kNdisQueryGlobalStats = 0x170002;
const DWORD kOidPermanentAddress = 0x01010101;

// Layouts of the driver requests (the SDK's own structures end in a 1-byte array).
#pragma pack(push, 1)
struct IdeRegisters {
    uint8_t features;
    uint8_t sectorCount;
    uint8_t sectorNumber;
    uint8_t cylinderLow;
    uint8_t cylinderHigh;
    uint8_t driveHead;
    uint8_t command;
    uint8_t reserved;
};
struct DriveCommandRequest {  // SENDCMDINPARAMS without its data byte
    uint32_t bufferSize;
    IdeRegisters registers;
    uint8_t driveNumber;
    uint8_t reserved[3];
    uint32_t reserved2[4];
};
struct SmartVersionReply {  // GETVERSIONINPARAMS
    uint8_t version;
    uint8_t revision;
    uint8_t reserved;
    uint8_t ideDeviceMap;
    uint32_t capabilities;
    uint32_t reserved2[4];
};
struct SrbIoControl {
    uint32_t headerLength;
    char signature[8];
    uint32_t timeout;
    uint32_t controlCode;
    uint32_t returnCode;
    uint32_t length;
};
struct StoragePropertyQuery {
    uint32_t propertyId;
    uint32_t queryType;
    uint8_t additional[4];
};
#pragma pack(pop)
static_assert(sizeof(IdeRegisters) == 8, "IDE registers");
static_assert(sizeof(DriveCommandRequest) == 32, "drive command request");
static_assert(sizeof(SmartVersionReply) == 24, "SMART version reply");
static_assert(sizeof(SrbIoControl) == 28, "SRB_IO_CONTROL");
static_assert(sizeof(StoragePropertyQuery) == 12, "storage property query");

const size_t kDriveReplyHeader = 16;                 // SENDCMDOUTPARAMS before its data
const size_t kIdentifyBytes = 512;
const size_t kDriveReply = kDriveReplyHeader + kIdentifyBytes;  // 528
const size_t kSerialDescriptorOffsetField = 24;      // STORAGE_DEVICE_DESCRIPTOR.SerialNumberOffset

bool openKey(ScopedRegKey& key, HKEY root, const char* path) {
    return RegOpenKeyExA(root, path, 0, KEY_READ, key.receive()) == ERROR_SUCCESS;
}

bool isPrintable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c == ' ') return 0;
    return -1;
}

std::string addressText(const uint8_t* a) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return text;
}

HANDLE openPhysicalDrive(int drive, DWORD access, DWORD share) {
    wchar_t name[64];
    _snwprintf(name, 64, L"\\\\.\\PhysicalDrive%d", drive);
    name[63] = 0;
    return CreateFileW(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool smartVersion(HANDLE h, SmartVersionReply& version) {
    std::memset(&version, 0, sizeof(version));
    DWORD returned = 0;
    return DeviceIoControl(h, kSmartGetVersion, nullptr, 0, &version, sizeof(version), &returned,
                           nullptr) != FALSE;
}

// SMART identify through the disk.
bool smartRoute(std::string& serial) {
    for (int drive = 0; drive < 16; ++drive) {
        ScopedHandle h(openPhysicalDrive(drive, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE));
        if (!h.valid()) continue;
        SmartVersionReply version;
        if (!smartVersion(h.get(), version) || version.ideDeviceMap == 0) continue;
        DriveCommandRequest request;
        std::memset(&request, 0, sizeof(request));
        request.bufferSize = kIdentifyBytes;
        request.registers.sectorCount = 1;
        request.registers.sectorNumber = 1;
        request.registers.driveHead = (drive & 1) ? 0xB0 : 0xA0;
        bool packet = drive + 4 < 8 && (version.ideDeviceMap >> (drive + 4)) & 1;
        request.registers.command = packet ? 0xA1 : 0xEC;
        request.driveNumber = static_cast<uint8_t>(drive);
        uint8_t reply[kDriveReply] = {};
        DWORD returned = 0;
        if (!DeviceIoControl(h.get(), kSmartRcvDriveData, &request, sizeof(request), reply,
                             sizeof(reply), &returned, nullptr))
            continue;
        serial = smartReplySerial(reply, returned);
        return true;
    }
    return false;
}

// Identify through the SCSI miniport of an IDE controller.
bool scsiRoute(std::string& serial) {
    const size_t requestSize = sizeof(SrbIoControl) + sizeof(DriveCommandRequest);  // 60
    const size_t replySize = sizeof(SrbIoControl) + kDriveReply + 1;                // 557
    static_assert(sizeof(SrbIoControl) + sizeof(DriveCommandRequest) == 60, "miniport request");
    for (int port = 0; port < 16; ++port) {
        wchar_t name[64];
        _snwprintf(name, 64, L"\\\\.\\Scsi%d:", port);
        name[63] = 0;
        ScopedHandle h(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        if (!h.valid()) continue;
        for (int target = 0; target < 2; ++target) {
            uint8_t buffer[replySize] = {};
            SrbIoControl* srb = reinterpret_cast<SrbIoControl*>(buffer);
            srb->headerLength = sizeof(SrbIoControl);
            std::memcpy(srb->signature, "SCSIDISK", 8);
            srb->timeout = 10000;
            srb->controlCode = kScsiMiniportIdentify;
            srb->length = static_cast<uint32_t>(kDriveReply + 1);
            DriveCommandRequest* request =
                reinterpret_cast<DriveCommandRequest*>(buffer + sizeof(SrbIoControl));
            request->registers.command = 0xEC;
            request->driveNumber = static_cast<uint8_t>(target);
            DWORD returned = 0;
            if (!DeviceIoControl(h.get(), kScsiMiniport, buffer, requestSize, buffer, replySize,
                                 &returned, nullptr))
                continue;
            bool accepted = false;
            std::string text = scsiMiniportSerial(buffer, returned, accepted);
            if (accepted) {
                serial = text;
                return true;
            }
        }
    }
    return false;
}

// The storage stack's device descriptor.
bool storageRoute(std::string& serial) {
    for (int drive = 0; drive < 16; ++drive) {
        ScopedHandle h(openPhysicalDrive(drive, 0, FILE_SHARE_READ | FILE_SHARE_WRITE));
        if (!h.valid()) continue;
        StoragePropertyQuery query;
        std::memset(&query, 0, sizeof(query));  // StorageDeviceProperty, PropertyStandardQuery
        std::vector<uint8_t> reply(10000, 0);
        DWORD returned = 0;
        if (!DeviceIoControl(h.get(), kStorageQueryProperty, &query, sizeof(query), reply.data(),
                             static_cast<DWORD>(reply.size()), &returned, nullptr))
            continue;
        serial = storageDescriptorSerial(reply.data(), returned);
        return true;
    }
    return false;
}

// SMART identify, second form: one buffer for request and reply.
bool smartRoute2(std::string& serial) {
    for (int drive = 0; drive < 16; ++drive) {
        ScopedHandle h(openPhysicalDrive(drive, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        if (!h.valid()) continue;
        SmartVersionReply version;
        if (!smartVersion(h.get(), version)) continue;
        uint8_t buffer[sizeof(DriveCommandRequest) + 1 + kIdentifyBytes] = {};  // 545
        reinterpret_cast<DriveCommandRequest*>(buffer)->registers.command = 0xEC;
        DWORD returned = 0;
        if (!DeviceIoControl(h.get(), kSmartRcvDriveData, buffer, sizeof(DriveCommandRequest) + 1,
                             buffer, sizeof(buffer), &returned, nullptr))
            continue;
        serial = smartReplySerial(buffer, returned);
        return true;
    }
    return false;
}

class RegistryCache : public Cache {
public:
    bool read(std::vector<char>& data) override {
        data.clear();
        ScopedRegKey key;
        if (!openKey(key, HKEY_LOCAL_MACHINE, kCacheKey)) return false;
        DWORD type = 0, size = 0;
        if (RegQueryValueExA(key.get(), kCacheValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            size > 4096)
            return false;
        // Zeroed and one longer: the value may be stored without a terminator.
        std::vector<char> buffer(size + 1, 0);
        DWORD got = size;
        if (RegQueryValueExA(key.get(), kCacheValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer.data()), &got) != ERROR_SUCCESS)
            return false;
        if (got > size) got = size;
        data.assign(buffer.begin(), buffer.begin() + got);
        return true;
    }
    void write(const std::string& value) override {
        // 64 characters without a terminator, as the other programs store it.
        SHSetValueA(HKEY_LOCAL_MACHINE, kCacheKey, kCacheValue, REG_SZ, value.data(),
                    static_cast<DWORD>(value.size()));
    }
};

void addRegistryValue(clx::md5& md5, const char* keyPath, const char* valueName) {
    ScopedRegKey key;
    if (!openKey(key, HKEY_LOCAL_MACHINE, keyPath)) return;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0)
        return;
    std::vector<uint8_t> data(size, 0);
    DWORD got = size;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, data.data(), &got) != ERROR_SUCCESS)
        return;
    if (got > size) got = size;
    md5.update(data.data(), got);
}

class RealProbes : public Probes {
public:
    std::string cpuText() override { return machine_id::cpuText(); }
    std::string diskSerial() override { return diskSerialText(); }
    std::string adapterText() override { return adapterAddressText(); }
};

}  // namespace

Probes& defaultProbes() {
    static RealProbes probes;
    return probes;
}

Cache& registryCache() {
    static RegistryCache cache;
    return cache;
}

bool cacheValueValid(const char* data, size_t size, std::string& mid2) {
    if (!data) return false;
    size_t length = 0;
    while (length < size && data[length] != 0) ++length;
    if (length != 64) return false;
    std::string first(data, 32);
    char check[33];
    machineHash(first.c_str(), sizeof(check), check);
    if (_strnicmp(check, data + 32, 32) != 0) return false;
    mid2 = first;
    return true;
}

std::string identifySerial(const uint8_t* identify, size_t length) {
    if (!identify || length < 40) return std::string();
    std::string text;
    for (int word = 10; word < 20; ++word) {
        text += static_cast<char>(identify[word * 2 + 1]);
        text += static_cast<char>(identify[word * 2]);
    }
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.erase(nul);
    size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::string smartReplySerial(const uint8_t* reply, size_t length) {
    if (!reply || length <= kDriveReplyHeader) return std::string();
    return identifySerial(reply + kDriveReplyHeader, length - kDriveReplyHeader);
}

std::string scsiMiniportSerial(const uint8_t* reply, size_t length, bool& accepted) {
    accepted = false;
    const size_t offset = sizeof(SrbIoControl) + kDriveReplyHeader;
    if (!reply || length < offset + 56) return std::string();
    const uint8_t* identify = reply + offset;
    accepted = identify[54] != 0 || identify[55] != 0;  // word 27: model number
    return accepted ? identifySerial(identify, length - offset) : std::string();
}

std::string decodeStorageSerialText(const std::string& text) {
    std::string chosen;
    bool hexPairs = !text.empty() && text.size() % 2 == 0;
    for (size_t i = 0; hexPairs && i < text.size(); ++i) hexPairs = hexValue(text[i]) >= 0;
    if (hexPairs) {
        std::string decoded;
        for (size_t i = 0; i < text.size(); i += 2) {
            unsigned char c = static_cast<unsigned char>(hexValue(text[i]) * 16 + hexValue(text[i + 1]));
            if (c != 0 && !isPrintable(c)) {
                hexPairs = false;
                break;
            }
            decoded += static_cast<char>(c);
        }
        if (hexPairs) {
            size_t nul = decoded.find('\0');
            if (nul != std::string::npos) decoded.erase(nul);
            chosen = decoded;
        }
    }
    if (!hexPairs) {
        bool printable = true;
        for (char c : text) printable = printable && isPrintable(static_cast<unsigned char>(c));
        if (printable) chosen = text;
    }
    // Drivers report the ATA byte order; a final odd character is dropped.
    std::string swapped;
    for (size_t i = 0; i + 1 < chosen.size(); i += 2) {
        swapped += chosen[i + 1];
        swapped += chosen[i];
    }
    return swapped;
}

std::string storageDescriptorSerial(const uint8_t* descriptor, size_t length) {
    if (!descriptor || length < kSerialDescriptorOffsetField + 4) return std::string();
    uint32_t offset = 0;
    std::memcpy(&offset, descriptor + kSerialDescriptorOffsetField, 4);
    if (offset == 0 || offset >= length) return std::string();
    size_t end = offset;
    while (end < length && descriptor[end] != 0) ++end;
    std::string text(reinterpret_cast<const char*>(descriptor) + offset, end - offset);
    return decodeStorageSerialText(text);
}

std::string ndisAddressText(const uint8_t* reply, size_t length) {
    if (!reply || length < 6) return std::string();
    return addressText(reply);
}

std::string smallestText(const std::vector<std::string>& texts) {
    std::string best;
    for (const std::string& t : texts) {
        if (t.empty()) continue;
        if (best.empty() || t < best) best = t;
    }
    return best;
}

std::string netbiosAdapterText(NetbiosFunction netbios) {
    if (!netbios) return std::string();
    NCB ncb;
    LANA_ENUM adapters;
    std::memset(&ncb, 0, sizeof(ncb));
    std::memset(&adapters, 0, sizeof(adapters));
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&adapters);
    ncb.ncb_length = sizeof(adapters);
    if (netbios(&ncb) != NRC_GOODRET || adapters.length == 0) return std::string();
    UCHAR lana = adapters.lana[0];

    std::memset(&ncb, 0, sizeof(ncb));
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lana;
    netbios(&ncb);

    uint8_t status[600] = {};
    std::memset(&ncb, 0, sizeof(ncb));
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lana;
    std::memcpy(ncb.ncb_callname, "*               ", NCBNAMSZ);
    ncb.ncb_buffer = status;
    ncb.ncb_length = sizeof(status);
    if (netbios(&ncb) != NRC_GOODRET) return std::string();
    return addressText(status);  // ADAPTER_STATUS starts with the adapter address
}

std::string cpuText() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return std::string();
    char vendor[13];
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    vendor[12] = 0;
    unsigned int features = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) features = edx;
    char text[64];
    std::snprintf(text, sizeof(text), "%s:%08x", vendor, features);
    return text;
}

std::string diskSerialText() {
    std::string serial;
    if (smartRoute(serial) || scsiRoute(serial) || storageRoute(serial) || smartRoute2(serial)) {
        if (serial.size() > kMaxDiskSerial) serial.resize(kMaxDiskSerial);
        return serial;
    }
    return std::string();
}

std::string adapterAddressText() {
    std::vector<std::string> texts;
    ScopedRegKey cards;
    if (openKey(cards, HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards")) {
        char subkey[260];
        for (DWORD i = 0; RegEnumKeyA(cards.get(), i, subkey, sizeof(subkey)) == ERROR_SUCCESS; ++i) {
            ScopedRegKey card;
            if (!openKey(card, cards.get(), subkey)) continue;
            char service[260] = {};
            DWORD type = 0, size = sizeof(service) - 1;
            if (RegQueryValueExA(card.get(), "ServiceName", nullptr, &type,
                                 reinterpret_cast<BYTE*>(service), &size) != ERROR_SUCCESS)
                continue;
            char device[300];
            std::snprintf(device, sizeof(device), "\\\\.\\%s", service);
            ScopedHandle h(CreateFileA(device, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                       nullptr));
            if (!h.valid()) continue;
            DWORD oid = kOidPermanentAddress;
            uint8_t reply[260] = {};
            DWORD returned = 0;
            if (!DeviceIoControl(h.get(), kNdisQueryGlobalStats, &oid, sizeof(oid), reply,
                                 sizeof(reply), &returned, nullptr))
                continue;
            texts.push_back(ndisAddressText(reply, returned));
        }
    }
    std::string best = smallestText(texts);
    if (!best.empty()) return best;
    return netbiosAdapterText(&Netbios);
}

void buildMachineId(char* out, size_t outSize, Probes& probes, Cache& cache) {
    if (!out || outSize < 33) return;
    std::vector<char> stored;
    std::string cached;
    if (cache.read(stored) && cacheValueValid(stored.data(), stored.size(), cached)) {
        std::memcpy(out, cached.c_str(), 33);
        return;
    }
    std::string text = probes.cpuText();
    std::string disk = probes.diskSerial();
    if (disk.size() > kMaxDiskSerial) disk.resize(kMaxDiskSerial);
    text += disk;
    text += probes.adapterText();
    if (text.size() > kMaxSourceText) text.resize(kMaxSourceText);
    bool failed = text.empty();
    if (failed) text = "Mid2Failed";
    char result[33];
    machineHash(text.c_str(), sizeof(result), result);
    std::memcpy(out, result, sizeof(result));
    if (!failed) {
        char check[33];
        machineHash(result, sizeof(check), check);
        cache.write(std::string(result) + check);
    }
}

}  // namespace machine_id

void machineHash(const char* text, size_t outSize, char* out) {
    if (!out || outSize == 0) return;
    size_t length = 0;
    if (text) {
        while (length < machine_id::kHashInputLimit && text[length] != 0) ++length;
    }
    clx::md5 md5;
    md5.update(text, length);
    md5.finalize();
    md5.finalize();
    std::string hex = md5.hexdigest();
    size_t n = hex.size() < outSize - 1 ? hex.size() : outSize - 1;
    std::memcpy(out, hex.data(), n);
    out[n] = 0;
}

void buildMachineId(char* out, size_t outSize) {
    machine_id::buildMachineId(out, outSize, machine_id::defaultProbes(), machine_id::registryCache());
}

int getMachineId(wchar_t* out, size_t outChars) {
    if (!out || outChars == 0) return 0;
    char id[64] = {};
    buildMachineId(id, sizeof(id));
    wchar_t wide[64] = {};
    int n = MultiByteToWideChar(CP_ACP, 0, id, -1, wide, 64);
    size_t length = n > 0 ? static_cast<size_t>(n - 1) : 0;
    if (length > outChars - 1) length = outChars - 1;
    std::memcpy(out, wide, length * sizeof(wchar_t));
    out[length] = 0;
    return 1;
}

std::wstring getMid() {
    clx::md5 md5;
    md5.reset();
    DWORD serial = 0;
    if (!GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) serial = 0;
    uint8_t bytes[4] = {static_cast<uint8_t>(serial), static_cast<uint8_t>(serial >> 8),
                        static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 24)};
    md5.update(bytes, sizeof(bytes));
    machine_id::addRegistryValue(md5, "HARDWARE\\DESCRIPTION\\System", "SystemBiosVersion");
    machine_id::addRegistryValue(md5, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                 "ProcessorNameString");
    machine_id::addRegistryValue(md5, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductId");
    md5.finalize();
    std::string hex = md5.hexdigest();
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, hex.c_str(), -1, wide, 64);
    return wide;
}

std::wstring getMid2() {
    wchar_t buffer[1024];
    if (!getMachineId(buffer, 1024)) return std::wstring();
    return buffer;
}
