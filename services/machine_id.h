#pragma once

#include <windows.h>
#include <nb30.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The two machine identifiers, each 32 lower-case hexadecimal characters.
// "mid" is an MD5 over a few installation values and is computed at every call;
// "mid2" is a hardware fingerprint (processor, disk serial, adapter address),
// cached in HKLM "Software\OrvekSafe\Kestra" value "mid" as 64 characters:
// the identifier followed by machineHash of it.

std::wstring getMid();
// Empty only when getMachineId fails.
std::wstring getMid2();
// 0 for a null buffer or a size of 0; otherwise writes at most outChars - 1
// characters and a terminator, and returns 1.
int getMachineId(wchar_t* out, size_t outChars);
// Writes the 32 characters and a terminator; does nothing below 33 bytes.
void buildMachineId(char* out, size_t outSize);
// MD5 of the first 259 bytes of text followed by their own MD5 padding, as 32
// lower-case hex digits; writes at most outSize - 1 characters and terminates.
void machineHash(const char* text, size_t outSize, char* out);

namespace machine_id {

// Where the parts of the mid2 source text come from. The default runs the real
// device routes; tests supply their own.
class Probes {
public:
    virtual ~Probes() {}
    virtual std::string cpuText() = 0;
    virtual std::string diskSerial() = 0;
    virtual std::string adapterText() = 0;
};
Probes& defaultProbes();

// Where the identifier is cached. The default is "mid" under HKLM
// "Software\OrvekSafe\Kestra" in the process's default registry view.
class Cache {
public:
    virtual ~Cache() {}
    // The stored bytes (as many as were returned); false when there is no value.
    virtual bool read(std::vector<char>& data) = 0;
    virtual void write(const std::string& value) = 0;
};
Cache& registryCache();
extern const char* const kCacheKey;
extern const char* const kCacheValue;

void buildMachineId(char* out, size_t outSize, Probes& probes, Cache& cache);

// Validates registry data (with or without a terminator); on success `mid2`
// gets the first 32 characters.
bool cacheValueValid(const char* data, size_t size, std::string& mid2);

// Device-independent decoders of the probe replies. Every length is the byte
// count the device returned; nothing past it is read.

// Identify words 10 to 19 (serial), high byte first, cut at a NUL, trailing
// blanks removed; empty when the block is shorter than 40 bytes.
std::string identifySerial(const uint8_t* identify, size_t length);
// SMART_RCV_DRIVE_DATA reply (identify data 16 bytes in).
std::string smartReplySerial(const uint8_t* reply, size_t length);
// IOCTL_SCSI_MINIPORT identify reply; `accepted` when word 27 (model) is set.
std::string scsiMiniportSerial(const uint8_t* reply, size_t length, bool& accepted);
// STORAGE_DEVICE_DESCRIPTOR: the text at its serial-number offset, hex-decoded
// when it is printable hex pairs, then swapped in pairs.
std::string storageDescriptorSerial(const uint8_t* descriptor, size_t length);
// Hex-pair decoding and pair swap of a storage serial text.
std::string decodeStorageSerialText(const std::string& text);
// "%02X" x 6 of an NDIS permanent-address reply; empty below 6 bytes.
std::string ndisAddressText(const uint8_t* reply, size_t length);
// The smallest non-empty text (byte-wise), empty when there is none.
std::string smallestText(const std::vector<std::string>& texts);

// NetBIOS route: NCBENUM, NCBRESET on the first adapter, NCBASTAT "*".
typedef UCHAR(APIENTRY* NetbiosFunction)(PNCB ncb);
std::string netbiosAdapterText(NetbiosFunction netbios);

// The real routes.
std::string cpuText();
std::string diskSerialText();    // at most 99 characters
std::string adapterAddressText();

}  // namespace machine_id
