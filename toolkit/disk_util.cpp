#include "toolkit/disk_util.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <winioctl.h>
#include <cwchar>

#include "toolkit/scoped_handle.h"

#ifdef TARVO_TEST_SEAMS
#include "toolkit/seams.h"
#endif

namespace ravel {
namespace disk {

namespace {

class SystemVolumeFacts : public VolumeFacts {
public:
    std::vector<std::wstring> logicalDrives() override {
        std::vector<wchar_t> buf(65535, L'\0');
        DWORD n = GetLogicalDriveStringsW((DWORD)buf.size(), buf.data());
        std::vector<std::wstring> out;
        if (n == 0 || n > buf.size()) return out;
        for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) out.push_back(p);
        return out;
    }
    UINT driveType(const std::wstring& root) override { return GetDriveTypeW(root.c_str()); }
    bool freeBytesToCaller(const std::wstring& path, uint64_t& bytes) override {
        ULARGE_INTEGER avail, total, freeAll;
        if (!GetDiskFreeSpaceExW(path.c_str(), &avail, &total, &freeAll)) return false;
        bytes = avail.QuadPart;
        return true;
    }
    std::wstring fileSystemName(const std::wstring& root) override {
        wchar_t name[100] = {0}, fs[100] = {0};
        DWORD serial = 0, maxLen = 0, flags = 0;
        if (!GetVolumeInformationW(root.c_str(), name, 100, &serial, &maxLen, &flags, fs, 100)) return L"";
        return fs;
    }
    int busType(const std::wstring& volumeDevice) override {
        ScopedHandle h(CreateFileW(volumeDevice.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!h) return -1;
        STORAGE_PROPERTY_QUERY query = {};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "property query is 12 bytes");
        std::vector<BYTE> out(2048, 0);
        DWORD got = 0;
        int bus = -1;
        if (DeviceIoControl(h.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), (DWORD)out.size(),
                            &got, nullptr) &&
            got >= offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE)) {
            bus = (int)reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(out.data())->BusType;
        }
        return bus;
    }
    bool isDirectory(const std::wstring& path) override { return PathIsDirectoryW(path.c_str()) != FALSE; }
    bool canCreateTempFile(const std::wstring& folder) override {
        wchar_t name[MAX_PATH] = {0};
        if (!GetTempFileNameW(folder.c_str(), L"IDT", 0, name)) return false;
        // Wine reports success for a folder it cannot write to: the file must be there.
        bool created = GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
        if (created) DeleteFileW(name);
        return created;
    }
    std::wstring programFilesFolder() override { return ravel::disk::programFilesFolder(); }
};

#ifdef TARVO_TEST_SEAMS
ProgramFilesLookup g_programFilesLookup = nullptr;
#endif

bool shellProgramFiles(std::wstring& folder) {
#ifdef TARVO_TEST_SEAMS
    if (g_programFilesLookup) return g_programFilesLookup(folder);
#endif
    wchar_t buf[MAX_PATH] = {0};
    if (!SHGetSpecialFolderPathW(nullptr, buf, CSIDL_PROGRAM_FILES, FALSE) || !buf[0]) return false;
    folder = buf;
    return true;
}

VolumeFacts* g_facts = nullptr;

VolumeFacts& facts() { return g_facts ? *g_facts : systemVolumeFacts(); }

wchar_t upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? (wchar_t)(c - L'a' + L'A') : c; }

bool hasDriveSeparator(const std::wstring& text) {
    return text.size() >= 3 && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
}

std::wstring printfText(const wchar_t* fmt, double value) {
    wchar_t buf[64];
    _snwprintf(buf, 63, fmt, value);
    buf[63] = 0;
    return buf;
}

}  // namespace

std::wstring programFilesFolder() {
    std::wstring folder;
    if (shellProgramFiles(folder)) return folder;
    wchar_t buf[MAX_PATH] = {0};
    DWORD n = GetEnvironmentVariableW(L"ProgramFiles", buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

VolumeFacts& systemVolumeFacts() {
    static SystemVolumeFacts instance;
    return instance;
}

void setVolumeFacts(VolumeFacts* f) { g_facts = f; }

std::wstring sizeText(uint64_t bytes) {
    const uint64_t k = 1024;
    if (bytes < 1000) return std::to_wstring(bytes) + L"B";
    if (bytes / k < 1000) return std::to_wstring(bytes / k) + L"K";
    if (bytes / (k * k) < 1000) return printfText(L"%.2fM", (double)bytes / (double)(k * k));
    if (bytes / (k * k * k) < 1000) return printfText(L"%.2fG", (double)bytes / (double)(k * k * k));
    if (bytes / (k * k * k * k) < 1000) return printfText(L"%.2fT", (double)bytes / (double)(k * k * k * k));
    return L"";
}

std::wstring volumeFileSystem(const std::wstring& path) { return facts().fileSystemName(path.substr(0, 3)); }

bool isUsableFolder(const std::wstring& path) {
    VolumeFacts& f = facts();
    if (!f.isDirectory(path)) return false;
    std::wstring fs = f.fileSystemName(path.substr(0, 3));
    if (fs == L"HFS" || fs == L"HFS+") return false;
    return f.canCreateTempFile(path);
}

bool isRemovableBus(const std::wstring& drive) {
    if (!hasDriveSeparator(drive)) return false;
    int bus = facts().busType(L"\\\\.\\" + drive.substr(0, 2));
    return bus == 7 /* USB */ || bus == 4 /* IEEE 1394 */;
}

bool isFixedLocalDrive(const std::wstring& path) {
    if (path.size() <= 1) return false;
    wchar_t letter = upper(path[0]);
    VolumeFacts& f = facts();
    for (const std::wstring& d : f.logicalDrives()) {
        if (d.empty() || upper(d[0]) != letter) continue;
        return f.driveType(d) == DRIVE_FIXED && !isRemovableBus(d);
    }
    return false;
}

namespace {

// The best drive other than the Program Files drive, and its free bytes.
bool bestDataDrive(std::wstring& best, uint64_t& bestFree) {
    VolumeFacts& f = facts();
    std::wstring programFiles = f.programFilesFolder();
    wchar_t pfLetter = programFiles.empty() ? 0 : upper(programFiles[0]);
    best.clear();
    bestFree = 0;
    for (const std::wstring& d : f.logicalDrives()) {
        if (d.empty() || upper(d[0]) == pfLetter) continue;
        uint64_t free = 0;
        if (isFixedLocalDrive(d) && f.freeBytesToCaller(d, free) && isUsableFolder(d) && free >= bestFree) {
            best = d;
            bestFree = free;
        }
    }
    return !best.empty();
}

}  // namespace

bool findBestDataDrive(std::wstring& drive, std::wstring& sizeTextOut) {
    uint64_t bestFree = 0;
    bestDataDrive(drive, bestFree);
    sizeTextOut = sizeText(bestFree);
    return true;
}

std::wstring chooseInstallRoot(uint64_t minFreeBytes) {
    VolumeFacts& f = facts();
    std::wstring programFiles = f.programFilesFolder();
    std::wstring drive = programFiles.substr(0, 2);  // "C:"
    uint64_t pfFree = 0;
    bool pfUsable = f.freeBytesToCaller(drive, pfFree) && isUsableFolder(drive);
    if (pfUsable && pfFree >= minFreeBytes) return programFiles;
    std::wstring best;
    uint64_t bestFree = 0;
    // Another drive only when it really has more room than the Program Files drive.
    if (bestDataDrive(best, bestFree) && (!pfUsable || bestFree > pfFree)) return best + L"Program Files";
    return programFiles;
}

}  // namespace disk
}  // namespace ravel

#ifdef TARVO_TEST_SEAMS
void setProgramFilesLookupForTests(ProgramFilesLookup lookup) { ravel::disk::g_programFilesLookup = lookup; }
#endif
