#include "toolkit/zip_extract.h"

#include <shlwapi.h>
#include <algorithm>
#include <vector>

#include <unzip.h>
#include <iowin32.h>

#include "toolkit/log_sink.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace ravel {
namespace zip {

namespace {

class MinizipReader : public ArchiveReader {
public:
    ~MinizipReader() override { close(); }

    bool open(const std::wstring& path) override {
        close();
        zlib_filefunc64_def funcs;
        fill_win32_filefunc64W(&funcs);
        zf_ = unzOpen2_64(path.c_str(), &funcs);
        return zf_ != nullptr;
    }

    int count() override {
        unz_global_info64 info;
        if (!zf_ || unzGetGlobalInfo64(zf_, &info) != UNZ_OK) return 0;
        return info.number_entry > 0x7fffffff ? 0x7fffffff : (int)info.number_entry;
    }

    bool item(int index, ArchiveItem& out) override {
        if (!seek(index)) return false;
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zf_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
        // The stored length first: minizip leaves a name that fills the buffer unterminated.
        std::vector<char> raw(info.size_filename + 1, '\0');
        if (unzGetCurrentFileInfo64(zf_, &info, raw.data(), (uLong)raw.size(), nullptr, 0, nullptr, 0) != UNZ_OK)
            return false;
        out = ArchiveItem();
        out.index = index;
        int len = (int)info.size_filename;
        if (len > 0) {
            int n = MultiByteToWideChar(CP_UTF8, 0, raw.data(), len, nullptr, 0);
            if (n <= 0) {
                out.nameUnreadable = true;
            } else {
                std::wstring name(n, L'\0');
                MultiByteToWideChar(CP_UTF8, 0, raw.data(), len, &name[0], n);
                if (n > 259) out.nameTooLong = true;
                else out.name = cleanItemName(name);
            }
        }
        out.attributes = info.external_fa;
        FILETIME local;
        if (DosDateTimeToFileTime(HIWORD(info.dosDate), LOWORD(info.dosDate), &local))
            LocalFileTimeToFileTime(&local, &out.modified);
        out.created = out.accessed = out.modified;
        out.compressedSize = info.compressed_size;
        out.uncompressedSize = info.uncompressed_size;
        return true;
    }

    ReadResult read(int index, char* buffer, unsigned& got) override {
        got = 0;
        if (openIndex_ != index) {
            closeCurrent();
            if (!seek(index) || unzOpenCurrentFile(zf_) != UNZ_OK) return kError;
            openIndex_ = index;
        }
        int n = unzReadCurrentFile(zf_, buffer, kChunk);
        if (n < 0) {
            closeCurrent();
            return kError;
        }
        if (n > 0) {
            got = (unsigned)n;
            return kMore;
        }
        // The end of the data: the check sum decides whether it was intact.
        openIndex_ = -1;
        return unzCloseCurrentFile(zf_) == UNZ_OK ? kDone : kError;
    }

    void close() override {
        if (!zf_) return;
        closeCurrent();
        unzClose(zf_);
        zf_ = nullptr;
        position_ = -1;
    }

private:
    void closeCurrent() {
        if (openIndex_ >= 0) unzCloseCurrentFile(zf_);
        openIndex_ = -1;
    }

    bool seek(int index) {
        if (!zf_ || index < 0) return false;
        if (index == position_) return true;
        closeCurrent();
        if (index < position_ || position_ < 0) {
            if (unzGoToFirstFile(zf_) != UNZ_OK) return false;
            position_ = 0;
        }
        while (position_ < index) {
            if (unzGoToNextFile(zf_) != UNZ_OK) {
                position_ = -1;
                return false;
            }
            ++position_;
        }
        return true;
    }

    unzFile zf_ = nullptr;
    int position_ = -1;
    int openIndex_ = -1;
};

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A name that would leave the destination or name a stream or device.
bool isRefusedName(const std::wstring& name) {
    for (wchar_t c : name)
        if (c == L':' || c < 0x20 || c == 0x7f) return true;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || isSeparator(name[i])) {
            if (name.compare(start, i - start, L"..") == 0) return true;
            start = i + 1;
        }
    }
    return false;
}

std::wstring canonical(const std::wstring& path) {
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return L"";
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &out[0], nullptr);
    out.resize(n);
    return out;
}

std::wstring lower(std::wstring s) {
    CharLowerBuffW(&s[0], (DWORD)s.size());
    return s;
}

bool liesInside(const std::wstring& target, const std::wstring& folder) {
    std::wstring base = lower(canonical(folder));
    if (base.empty()) return false;
    if (base.back() != L'\\') base += L'\\';
    std::wstring t = lower(canonical(target));
    return t.size() > base.size() && t.compare(0, base.size(), base) == 0;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string forLog(const std::wstring& text) { return wideToAnsi(text); }

float percentOf(uint64_t written, uint64_t total) {
    if (total == 0) return 100.0f;
    double p = (double)written * 100.0 / (double)total;
    return (float)std::min(100.0, std::max(0.0, p));
}

}  // namespace

std::unique_ptr<ArchiveReader> makeMinizipReader() { return std::unique_ptr<ArchiveReader>(new MinizipReader()); }

std::wstring cleanItemName(std::wstring name) {
    static const wchar_t* const runs[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
    for (;;) {
        if (name.size() >= 2 && name[1] == L':') {
            name.erase(0, 2);
            continue;
        }
        if (!name.empty() && isSeparator(name[0])) {
            name.erase(0, 1);
            continue;
        }
        bool cut = false;
        for (const wchar_t* run : runs) {
            size_t at = name.find(run);
            if (at != std::wstring::npos) {
                name.erase(0, at + wcslen(run));
                cut = true;
                break;
            }
        }
        if (!cut) return name;
    }
}

bool unzipWith(ArchiveReader& reader, const std::wstring& zipPath, const std::wstring& destFolder,
               bool stripTopFolder, UnzipProgressCallback* progress) {
    std::wstring dest = destFolder;
    if (dest.empty()) {
        size_t slash = zipPath.find_last_of(L"\\/");
        dest = slash == std::wstring::npos ? L"." : zipPath.substr(0, slash);
    }
    if (!exists(dest) && !createDirectories(dest).value()) {
        ravel::log::printLine("unzip: cannot create folder %s", forLog(dest).c_str());
        return false;
    }
    if (!reader.open(zipPath)) {
        ravel::log::printLine("unzip: cannot open %s", forLog(zipPath).c_str());
        return false;
    }

    const int count = reader.count();
    uint64_t totalBytes = 0, totalWritten = 0;
    for (int i = 0; i < count; ++i) {
        ArchiveItem it;
        if (reader.item(i, it)) totalBytes += it.uncompressedSize;
    }

    UnzipProgress record;
    bool failed = false;
    std::vector<char> buffer(ArchiveReader::kChunk);
    auto report = [&](const std::wstring& name) {
        if (!progress || record.quiet) return;
        record.percent = percentOf(totalWritten, totalBytes);
        record.itemName = name;
        (*progress)(&record);
    };

    for (int index = 0; index < count && !record.cancel; ++index) {
        ArchiveItem it;
        if (!reader.item(index, it)) {
            ravel::log::printLine("unzip: item %d unreadable", index);
            failed = true;
            continue;
        }
        if (it.nameTooLong || it.nameUnreadable) {
            ravel::log::printLine("unzip: item %d skipped: name too long or undecodable", index);
            failed = true;
            continue;
        }
        std::wstring name = it.name;
        bool isFolder = !name.empty() && name.back() == L'/';
        while (!name.empty() && name.back() == L'/') name.pop_back();
        // Stripping cuts the first component: a hostile one ("..", a stream
        // name) would otherwise pass unseen.
        if (isRefusedName(name)) {
            ravel::log::printLine("unzip: item %s refused", forLog(it.name).c_str());
            failed = true;
            continue;
        }
        if (stripTopFolder) {
            size_t slash = name.find(L'/');
            name = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
        }
        if (isRefusedName(name)) {
            ravel::log::printLine("unzip: item %s refused", forLog(it.name).c_str());
            failed = true;
            continue;
        }
        if (name.empty()) continue;  // the top folder itself, or a root-level file when stripping
        std::wstring target = dest + L"\\" + name;
        std::replace(target.begin(), target.end(), L'/', L'\\');
        if (!liesInside(target, dest)) {
            ravel::log::printLine("unzip: item %s lies outside the destination", forLog(it.name).c_str());
            failed = true;
            continue;
        }

        if (isFolder) {
            if (!exists(target) && !createDirectories(target).value()) {
                ravel::log::printLine("unzip: cannot create folder %s", forLog(target).c_str());
                failed = true;
                break;
            }
            continue;
        }

        // Many zip writers store no folder items.
        size_t slash = target.find_last_of(L'\\');
        std::wstring parent = target.substr(0, slash);
        if (!exists(parent)) createDirectories(parent).ignore();
        ScopedHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            ravel::log::printLine("unzip: cannot create %s, error %lu", forLog(target).c_str(), GetLastError());
            failed = true;
            continue;
        }
        bool itemFailed = false;
        while (!record.cancel) {
            unsigned got = 0;
            ArchiveReader::ReadResult r = reader.read(index, buffer.data(), got);
            got = std::min(got, ArchiveReader::kChunk);
            if (got > 0) {
                DWORD done = 0;
                if (!WriteFile(file.get(), buffer.data(), got, &done, nullptr) || done != got) {
                    ravel::log::printLine("unzip: write to %s failed, error %lu", forLog(target).c_str(), GetLastError());
                    itemFailed = true;
                    break;
                }
                totalWritten += got;
                report(it.name);
            }
            if (r == ArchiveReader::kError) {
                ravel::log::printLine("unzip: data of %s is damaged", forLog(it.name).c_str());
                itemFailed = true;
                break;
            }
            if (r == ArchiveReader::kDone) break;
        }
        if (!itemFailed && !record.cancel) report(it.name);
        file.reset();
        if (record.cancel || itemFailed) DeleteFileW(target.c_str());
        if (itemFailed) failed = true;
    }
    reader.close();
    return !failed;
}

}  // namespace zip
}  // namespace ravel

bool unzipToFolder(const std::wstring& zipPath, const std::wstring& destFolder, bool stripTopFolder,
                   UnzipProgressCallback* progress) {
    std::unique_ptr<ravel::zip::ArchiveReader> reader = ravel::zip::makeMinizipReader();
    return ravel::zip::unzipWith(*reader, zipPath, destFolder, stripTopFolder, progress);
}

bool readZipFiles(const std::wstring& zipPath, uint64_t maxBytes, std::map<std::wstring, std::string>& files) {
    files.clear();
    std::unique_ptr<ravel::zip::ArchiveReader> reader = ravel::zip::makeMinizipReader();
    if (!reader->open(zipPath)) return false;
    const int count = reader->count();
    std::vector<char> buffer(ravel::zip::ArchiveReader::kChunk);
    uint64_t total = 0;
    bool ok = count >= 0;
    for (int i = 0; ok && i < count; ++i) {
        ravel::zip::ArchiveItem item;
        if (!reader->item(i, item)) {
            ok = false;
            break;
        }
        if (item.name.empty() || item.name.back() == L'/' || item.name.back() == L'\\') continue;
        std::wstring key = toLowerCopy(item.name);
        std::replace(key.begin(), key.end(), L'/', L'\\');
        std::string& bytes = files[key];
        bytes.clear();
        for (;;) {
            unsigned got = 0;
            const ravel::zip::ArchiveReader::ReadResult r = reader->read(i, buffer.data(), got);
            if (r == ravel::zip::ArchiveReader::kError) {
                ok = false;
                break;
            }
            total += got;
            if (total > maxBytes) {
                ok = false;
                break;
            }
            bytes.append(buffer.data(), got);
            if (r == ravel::zip::ArchiveReader::kDone) break;
        }
    }
    reader->close();
    if (!ok) files.clear();
    return ok;
}
