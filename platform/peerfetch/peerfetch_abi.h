// The binary contract between the loader and "peerfetch.dll": the task
// parameter block, the task status block and the four called exports.
// The library's own interface, included by the loader's binding
// (installer/peerfetch_wrapper) too, so both sides agree byte for byte on i686
// and x86_64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(sizeof(wchar_t) == 2, "texts in the blocks are UTF-16");

#pragma pack(push, 1)

// One per task. The library receives the address of byte 4, so in its own
// view the url starts the structure.
struct PeerfetchTaskParams {
    static const size_t kUrlChars = 8264;     // terminator included
    static const size_t kFileNameChars = 520;
    static const size_t kFolderChars = 262;

    uint32_t notPassed;               // 0
    wchar_t url[kUrlChars];           // 4
    wchar_t fileName[kFileNameChars]; // 16532
    wchar_t folder[kFolderChars];     // 17572
    uint32_t option46B0;              // 18096, 0
    uint8_t zero1[256];               // 18100
    uint32_t option47B4;              // 18356, 1 before the start
    uint32_t option47B8;              // 18360, 5
    uint32_t option47BC;              // 18364, 1 before the start
    uint32_t option47C0;              // 18368, 1
    uint8_t zero2[8192];              // 18372

    PeerfetchTaskParams() {
        std::memset(this, 0, sizeof(*this));
        option47B8 = 5;
        option47C0 = 1;
    }
};

// Filled by the library's query. Only these four fields are read.
struct PeerfetchTaskStatus {
    static const size_t kFileTextChars = 776;

    uint64_t totalBytes;              // 0; 0 while the library has no size
    uint64_t downloadedBytes;         // 8
    uint8_t reserved16[28];           // 16
    int32_t code;                     // 44
    uint8_t reserved48[8];            // 48
    wchar_t fileText[kFileTextChars]; // 56, to the end of the block

    PeerfetchTaskStatus() { clear(); }
    void clear() { std::memset(this, 0, sizeof(*this)); }
};

#pragma pack(pop)

static_assert(sizeof(PeerfetchTaskParams) == 26564, "parameter block size");
static_assert(offsetof(PeerfetchTaskParams, url) == 4, "url offset");
static_assert(offsetof(PeerfetchTaskParams, fileName) == 16532, "file name offset");
static_assert(offsetof(PeerfetchTaskParams, folder) == 17572, "folder offset");
static_assert(offsetof(PeerfetchTaskParams, option46B0) == 0x46B0, "option offset");
static_assert(offsetof(PeerfetchTaskParams, zero1) == 18100, "reserved offset");
static_assert(offsetof(PeerfetchTaskParams, option47B4) == 0x47B4, "option offset");
static_assert(offsetof(PeerfetchTaskParams, option47B8) == 0x47B8, "option offset");
static_assert(offsetof(PeerfetchTaskParams, option47BC) == 0x47BC, "option offset");
static_assert(offsetof(PeerfetchTaskParams, option47C0) == 0x47C0, "option offset");
static_assert(offsetof(PeerfetchTaskParams, zero2) == 18372, "reserved offset");

static_assert(sizeof(PeerfetchTaskStatus) == 1608, "status block size");
static_assert(offsetof(PeerfetchTaskStatus, totalBytes) == 0, "total offset");
static_assert(offsetof(PeerfetchTaskStatus, downloadedBytes) == 8, "downloaded offset");
static_assert(offsetof(PeerfetchTaskStatus, code) == 44, "code offset");
static_assert(offsetof(PeerfetchTaskStatus, fileText) == 56, "file text offset");

// Offsets in the library's view of the parameter block (from byte 4).
namespace peerfetch_view {
const size_t kBase = offsetof(PeerfetchTaskParams, url);
const size_t kUrl = offsetof(PeerfetchTaskParams, url) - kBase;
const size_t kFileName = offsetof(PeerfetchTaskParams, fileName) - kBase;
const size_t kFolder = offsetof(PeerfetchTaskParams, folder) - kBase;
const size_t kOptionWords[5] = {
    offsetof(PeerfetchTaskParams, option46B0) - kBase, offsetof(PeerfetchTaskParams, option47B4) - kBase,
    offsetof(PeerfetchTaskParams, option47B8) - kBase, offsetof(PeerfetchTaskParams, option47BC) - kBase,
    offsetof(PeerfetchTaskParams, option47C0) - kBase};
const size_t kSize = sizeof(PeerfetchTaskParams) - kBase;
static_assert(offsetof(PeerfetchTaskParams, fileName) - offsetof(PeerfetchTaskParams, url) == 0x4090,
              "library view: file name");
static_assert(offsetof(PeerfetchTaskParams, folder) - offsetof(PeerfetchTaskParams, url) == 0x44A0,
              "library view: folder");
static_assert(offsetof(PeerfetchTaskParams, option47BC) - offsetof(PeerfetchTaskParams, url) == 0x47B8,
              "library view: option word");
}  // namespace peerfetch_view

// Status codes as the library reports them.
enum PeerfetchCode {
    kPeerfetchPending = 0,
    kPeerfetchFinished = 1,
    kPeerfetchHttpError = 2,
    kPeerfetchFileError = 3,
    kPeerfetchNetworkError = 4,
    kPeerfetchDownloading = 5,
    kPeerfetchStopped = 9,
};

// A task handle; 0 means no task.
typedef uintptr_t PeerfetchHandle;

// "PPStartTaskEx": block is byte 4 of the parameter block; returns 0 on failure.
typedef PeerfetchHandle(__stdcall* PPStartTaskExFn)(const void* block, const wchar_t* fullPath,
                                                   uint32_t stallMs, uint32_t, uint32_t, void* context,
                                                   uint32_t, uint32_t);
// "PPQueryTaskEx": success is a non-zero low byte.
typedef int(__stdcall* PPQueryTaskExFn)(PeerfetchHandle handle, PeerfetchTaskStatus* status);
// "PPStopTask" and "PPRemoveTask": results are ignored by the loader.
typedef int(__stdcall* PPStopTaskFn)(PeerfetchHandle handle);
typedef int(__stdcall* PPRemoveTaskFn)(PeerfetchHandle handle);
