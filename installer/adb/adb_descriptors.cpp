// The adb layer's table of file descriptors (numbers from 100, 128 slots).
#include <windows.h>

#include "installer/adb/adb_client.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace adb {

namespace {

struct FdSlot;

struct FdOps {
    void (*init)(FdSlot*);
    int (*close)(FdSlot*);
    long (*seek)(FdSlot*, long offset, int origin);
    int (*read)(FdSlot*, void* buffer, int length);
    int (*write)(FdSlot*, const void* buffer, int length);
    HANDLE (*hook)(FdSlot*);
};

struct FdSlot {
    const FdOps* ops;
    int used;
    int eof;
    ScopedHandle handle;
    char name[1024];
};

const int kSlotCount = 128;
const int kFirstDescriptor = 100;

FdSlot g_slots[kSlotCount];
int g_slotsUsed = 0;

std::mutex& tableLock() {
    static std::mutex lock;
    return lock;
}

void fileInit(FdSlot* slot) { slot->handle.reset(); }

int fileClose(FdSlot* slot) {
    slot->handle.reset();
    return 0;
}

long fileSeek(FdSlot* slot, long offset, int origin) {
    DWORD method;
    switch (origin) {
    case 0: method = FILE_BEGIN; break;
    case 1: method = FILE_CURRENT; break;
    case 2: method = FILE_END; break;
    default: errno = 22; return -1;
    }
    DWORD pos = SetFilePointer(slot->handle.get(), offset, nullptr, method);
    if (pos == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        errno = 5;
        return -1;
    }
    slot->eof = 0;
    return (long)pos;
}

int fileRead(FdSlot* slot, void* buffer, int length) {
    DWORD done = 0;
    if (!ReadFile(slot->handle.get(), buffer, (DWORD)length, &done, nullptr)) {
        errno = 5;
        return -1;
    }
    if (done < (DWORD)length) slot->eof = 1;
    return (int)done;
}

int fileWrite(FdSlot* slot, const void* buffer, int length) {
    DWORD done = 0;
    if (!WriteFile(slot->handle.get(), buffer, (DWORD)length, &done, nullptr)) {
        errno = 5;
        return -1;
    }
    if (done < (DWORD)length) slot->eof = 1;
    return (int)done;
}

HANDLE fileHook(FdSlot* slot) { return slot->handle.get(); }

const FdOps kFileOps = {fileInit, fileClose, fileSeek, fileRead, fileWrite, fileHook};

// Every read and write of the table, and each operation on a slot, runs under
// tableLock: a slot freed by one thread is reused by another at once.
FdSlot* allocateLocked() {
    FdSlot* slot = nullptr;
    if (g_slotsUsed < kSlotCount) {
        slot = &g_slots[g_slotsUsed++];
    } else {
        for (int i = 0; i < kSlotCount && !slot; ++i)
            if (!g_slots[i].ops) slot = &g_slots[i];
        if (!slot) return nullptr;
    }
    slot->ops = &kFileOps;
    slot->used = 1;
    slot->eof = 0;
    slot->name[0] = 0;
    slot->ops->init(slot);
    return slot;
}

void releaseLocked(FdSlot* slot) {
    slot->ops = nullptr;
    slot->used = 0;
    slot->eof = 0;
    slot->handle.reset();
    slot->name[0] = 0;
}

int descriptorOf(const FdSlot* slot) { return kFirstDescriptor + (int)(slot - g_slots); }

// The slot of a descriptor in use, or null with errno 9. Under tableLock.
FdSlot* slotOfLocked(int fd) {
    int index = fd - kFirstDescriptor;
    if (index < 0 || index >= g_slotsUsed || !g_slots[index].used || !g_slots[index].ops) {
        errno = 9;
        return nullptr;
    }
    return &g_slots[index];
}

}  // namespace

int openForReading(const std::wstring& fileName) {
    FdSlot* slot;
    {
        std::lock_guard<std::mutex> guard(tableLock());
        slot = allocateLocked();
    }
    if (!slot) {
        errno = 12;
        return -1;
    }
    // The slot is taken: no other thread hands it out while the file opens.
    ScopedHandle handle(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    const DWORD error = GetLastError();
    const std::string name = wideToAnsi(fileName);
    std::lock_guard<std::mutex> guard(tableLock());
    if (!handle) {
        releaseLocked(slot);
        errno = error == ERROR_PATH_NOT_FOUND ? 20 : 2;
        return -1;
    }
    slot->handle = std::move(handle);
    int fd = descriptorOf(slot);
    snprintf(slot->name, sizeof slot->name, "%d(%s)", fd, name.c_str());
    return fd;
}

int closeDescriptor(int fd) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    if (!slot) return -1;
    slot->ops->close(slot);
    releaseLocked(slot);
    return 0;
}

int readDescriptor(int fd, void* buffer, int length) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    return slot ? slot->ops->read(slot, buffer, length) : -1;
}

int writeDescriptor(int fd, const void* buffer, int length) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    return slot ? slot->ops->write(slot, buffer, length) : -1;
}

long seekDescriptor(int fd, long offset, int origin) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    return slot ? slot->ops->seek(slot, offset, origin) : -1;
}

bool descriptorAtEof(int fd) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    return slot && slot->eof != 0;
}

std::string descriptorName(int fd) {
    std::lock_guard<std::mutex> guard(tableLock());
    FdSlot* slot = slotOfLocked(fd);
    return slot ? std::string(slot->name) : std::string();
}

}  // namespace adb
