// Where a large installation goes: size texts, volume tests and the install-root choice.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

namespace ravel {
namespace disk {

// The facts about volumes that the choice rests on. Production asks Windows; tests
// script them (USB and 1394 buses, HFS+, exact ties cannot be produced under Wine).
class VolumeFacts {
public:
    virtual ~VolumeFacts() {}
    virtual std::vector<std::wstring> logicalDrives() = 0;           // "C:\", "D:\", ...
    virtual UINT driveType(const std::wstring& root) = 0;
    virtual bool freeBytesToCaller(const std::wstring& path, uint64_t& bytes) = 0;
    virtual std::wstring fileSystemName(const std::wstring& root) = 0;  // empty on failure
    virtual int busType(const std::wstring& volumeDevice) = 0;          // -1 on failure
    virtual bool isDirectory(const std::wstring& path) = 0;
    virtual bool canCreateTempFile(const std::wstring& folder) = 0;
    virtual std::wstring programFilesFolder() = 0;                     // CSIDL 38
};

// The Program Files folder (CSIDL 38); when the shell cannot say, the
// environment's "ProgramFiles" value.
std::wstring programFilesFolder();

VolumeFacts& systemVolumeFacts();
// Replaces the facts for the process (null restores the system's); for tests.
void setVolumeFacts(VolumeFacts* facts);

std::wstring sizeText(uint64_t bytes);
std::wstring volumeFileSystem(const std::wstring& path);
bool isUsableFolder(const std::wstring& path);
bool isRemovableBus(const std::wstring& drive);
bool isFixedLocalDrive(const std::wstring& path);
bool findBestDataDrive(std::wstring& drive, std::wstring& sizeTextOut);
std::wstring chooseInstallRoot(uint64_t minFreeBytes);

}  // namespace disk
}  // namespace ravel
