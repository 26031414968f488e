// Pure rules of the probe library: driver choice, request layout, answer byte and the
// memory answer. Kept apart from the system calls so they can be checked on any machine.
#pragma once
#include <cstring>

namespace hvprobe {

const unsigned kRequestSize32 = 280;
const unsigned kRequestSize64 = 536;
const unsigned long kControlCode = 0x9C402400UL;  // device type 40000, function 2304, buffered

struct DriverChoice {
    const char* service;
    const char* file;
    unsigned requestSize;
};

// By the native architecture: a 64-bit Windows needs the 64-bit driver, also for a
// 32-bit caller running under WOW64.
inline DriverChoice driverFor(unsigned short nativeArchitecture) {
    if (nativeArchitecture == 9 /* AMD64 */ || nativeArchitecture == 6 /* IA64 */)
        return DriverChoice{"hvsense_64", "hvsense_64.sys", kRequestSize64};
    return DriverChoice{"hvsense_32", "hvsense_32.sys", kRequestSize32};
}

// Fills `buf` (size kRequestSize32 or kRequestSize64) with the request for `processors`.
inline void buildRequest(unsigned char* buf, unsigned size, unsigned long processors) {
    std::memset(buf, 0, size);
    const unsigned char count = static_cast<unsigned char>(processors & 0xFF);
    if (size == kRequestSize32) {
        buf[264] = count;
        buf[272] = 1;
    } else if (size == kRequestSize64) {
        buf[520] = count;
    }
}

// Byte 0 of the driver's answer: bit 0 = valid, bit 2 = VT-x switched on.
inline int answerFrom(unsigned char byte0) {
    if (!(byte0 & 0x01)) return 0;
    return (byte0 & 0x04) ? 1 : 0;
}

// Total physical memory in bytes -> MiB below 1500 MiB, else 3000.
inline int memoryAnswer(unsigned long long totalPhysBytes) {
    const unsigned long long mib = totalPhysBytes >> 20;
    return mib >= 1500 ? 3000 : static_cast<int>(mib);
}

}  // namespace hvprobe
