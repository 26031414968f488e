// Unpacking zip archives under a folder, with progress and cancel.
#pragma once
#include <windows.h>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "toolkit/delegate.h"

struct UnzipProgress {
    float percent = 0;
    std::wstring itemName;
    bool cancel = false;
    bool quiet = false;
};

typedef ravel::object::delegate<void(UnzipProgress*)> UnzipProgressCallback;

namespace ravel {
namespace zip {

struct ArchiveItem {
    int index = 0;
    std::wstring name;            // cleaned; folder items end with "/"
    bool nameTooLong = false;     // the decoded name had more than 259 characters
    bool nameUnreadable = false;  // the stored name could not be decoded
    DWORD attributes = 0;
    FILETIME created = {}, accessed = {}, modified = {};
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

// The four operations extraction needs from an archive reader.
class ArchiveReader {
public:
    enum ReadResult { kDone = 0, kMore = 1, kError = -1 };
    static const unsigned kChunk = 64 * 1024;

    virtual ~ArchiveReader() {}
    virtual bool open(const std::wstring& path) = 0;
    virtual int count() = 0;
    virtual bool item(int index, ArchiveItem& out) = 0;
    // Reads the next chunk of the item into buffer (kChunk bytes); got is what was produced.
    virtual ReadResult read(int index, char* buffer, unsigned& got) = 0;
    virtual void close() = 0;
};

// minizip, opening the archive by its wide path with 64-bit offsets.
std::unique_ptr<ArchiveReader> makeMinizipReader();

// The cleaning of stored names: drive prefixes, leading separators and "..\" runs.
std::wstring cleanItemName(std::wstring name);

bool unzipWith(ArchiveReader& reader, const std::wstring& zipPath, const std::wstring& destFolder,
               bool stripTopFolder, UnzipProgressCallback* progress);

}  // namespace zip
}  // namespace ravel

bool unzipToFolder(const std::wstring& zipPath, const std::wstring& destFolder, bool stripTopFolder,
                   UnzipProgressCallback* progress);

// Reads the archive's file items into memory, keyed by their cleaned names,
// lower-cased, with "\\" between the parts ("peerfetch\\peerfetch.dll"), so
// that what an unpack wrote can be compared with what the archive holds.
// False when the archive cannot be read whole or holds more than maxBytes.
bool readZipFiles(const std::wstring& zipPath, uint64_t maxBytes, std::map<std::wstring, std::string>& files);
