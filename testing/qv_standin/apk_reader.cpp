#include "testing/qv_standin/apk_reader.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include <unzip.h>
#include <iowin32.h>

namespace qvs {

namespace {

const uint16_t kXml = 0x0003, kStringPool = 0x0001, kResourceMap = 0x0180, kStartElement = 0x0102,
               kEndElement = 0x0103;
const uint32_t kNameAttributeId = 0x01010003;
const uint32_t kNoIndex = 0xFFFFFFFFu;

struct Reader {
    const std::string& d;
    bool ok = true;
    uint32_t u8(size_t at) {
        if (at + 1 > d.size()) return ok = false, 0;
        return (uint8_t)d[at];
    }
    uint32_t u16(size_t at) {
        if (at + 2 > d.size()) return ok = false, 0;
        return (uint8_t)d[at] | ((uint8_t)d[at + 1] << 8);
    }
    uint32_t u32(size_t at) { return u16(at) | (u16(at + 2) << 16); }
};

struct Document {
    std::vector<std::wstring> strings;
    std::vector<uint32_t> resourceIds;
};

bool readStringPool(Reader& r, size_t chunk, size_t chunkSize, Document& doc) {
    const uint32_t headerSize = r.u16(chunk + 2);
    const uint32_t count = r.u32(chunk + 8);
    const uint32_t flags = r.u32(chunk + 16);
    const uint32_t stringsStart = r.u32(chunk + 20);
    const bool utf8Pool = (flags & 0x100) != 0;
    if (!r.ok || count > chunkSize / 4) return false;
    for (uint32_t i = 0; i < count && r.ok; ++i) {
        size_t at = chunk + stringsStart + r.u32(chunk + headerSize + 4 * i);
        if (at >= chunk + chunkSize) return false;
        if (utf8Pool) {
            uint32_t chars = r.u8(at++);
            if (chars & 0x80) at++;
            uint32_t bytes = r.u8(at++);
            if (bytes & 0x80) bytes = ((bytes & 0x7f) << 8) | r.u8(at++);
            if (at + bytes > chunk + chunkSize) return false;
            const std::string text = r.d.substr(at, bytes);
            int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
            std::wstring wide(n, L'\0');
            if (n) MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], n);
            doc.strings.push_back(wide);
        } else {
            uint32_t length = r.u16(at);
            at += 2;
            if (length & 0x8000) {
                length = ((length & 0x7fff) << 16) | r.u16(at);
                at += 2;
            }
            if (at + 2 * (size_t)length > chunk + chunkSize) return false;
            std::wstring wide;
            for (uint32_t k = 0; k < length; ++k) wide += (wchar_t)r.u16(at + 2 * k);
            doc.strings.push_back(wide);
        }
    }
    return r.ok;
}

std::wstring stringAt(const Document& doc, uint32_t index) {
    return index < doc.strings.size() ? doc.strings[index] : std::wstring();
}

struct Attribute {
    uint32_t name;
    std::wstring value;
};

}  // namespace

bool parseBinaryManifest(const std::string& data, ManifestInfo& out) {
    out = ManifestInfo();
    Reader r{data};
    if (r.u16(0) != kXml || !r.ok) return false;
    const size_t total = std::min<size_t>(r.u32(4), data.size());
    Document doc;
    // The walk: element names on a stack, the component (activity or alias) and
    // its current intent-filter's action and category.
    std::vector<std::wstring> stack;
    std::wstring component;
    bool hasMain = false, hasLauncher = false;
    size_t at = r.u16(2);
    while (at + 8 <= total && r.ok) {
        const uint32_t type = r.u16(at);
        const uint32_t size = r.u32(at + 4);
        if (size < 8 || at + size > total) return false;
        if (type == kStringPool) {
            if (!readStringPool(r, at, size, doc)) return false;
        } else if (type == kResourceMap) {
            for (size_t k = at + 8; k + 4 <= at + size; k += 4) doc.resourceIds.push_back(r.u32(k));
        } else if (type == kStartElement) {
            const size_t ext = at + r.u16(at + 2);
            const std::wstring element = stringAt(doc, r.u32(ext + 4));
            const uint32_t attrStart = r.u16(ext + 8), attrSize = r.u16(ext + 10), attrCount = r.u16(ext + 12);
            std::wstring name, package;
            for (uint32_t k = 0; k < attrCount && r.ok; ++k) {
                const size_t a = ext + attrStart + (size_t)k * attrSize;
                if (a + 20 > at + size) return false;
                const uint32_t nameIndex = r.u32(a + 4);
                const uint32_t raw = r.u32(a + 8);
                const uint32_t dataType = r.u8(a + 15);
                const uint32_t value = r.u32(a + 16);
                std::wstring text = raw != kNoIndex ? stringAt(doc, raw) : dataType == 0x03 ? stringAt(doc, value)
                                                                                           : std::wstring();
                if (nameIndex < doc.resourceIds.size() && doc.resourceIds[nameIndex] == kNameAttributeId) name = text;
                if (stringAt(doc, nameIndex) == L"package" && (nameIndex >= doc.resourceIds.size() ||
                                                               doc.resourceIds[nameIndex] == 0))
                    package = text;
            }
            if (element == L"manifest" && stack.empty()) out.package = package;
            if ((element == L"activity" || element == L"activity-alias") && out.launcher.empty()) component = name;
            if (element == L"intent-filter") hasMain = hasLauncher = false;
            if (element == L"action" && name == L"android.intent.action.MAIN") hasMain = true;
            if (element == L"category" && name == L"android.intent.category.LAUNCHER") hasLauncher = true;
            stack.push_back(element);
        } else if (type == kEndElement) {
            if (stack.empty()) return false;
            const std::wstring element = stack.back();
            stack.pop_back();
            if (element == L"intent-filter" && hasMain && hasLauncher && out.launcher.empty() && !component.empty())
                out.launcher = component;
            if (element == L"activity" || element == L"activity-alias") component.clear();
        }
        at += size;
    }
    return r.ok && !out.package.empty();
}

std::wstring shortActivityName(const std::wstring& package, const std::wstring& activity) {
    std::wstring full = activity;
    if (!full.empty() && full[0] == L'.')
        full = package + full;
    else if (full.find(L'.') == std::wstring::npos)
        full = package + L"." + full;
    const std::wstring prefix = package + L".";
    if (full.compare(0, prefix.size(), prefix) == 0) return full.substr(prefix.size());
    return full;
}

namespace {

bool readCurrent(unzFile zip, std::string& bytes) {
    unz_file_info64 info = {};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    if (info.uncompressed_size > 64u * 1024u * 1024u) return false;
    if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
    bytes.assign((size_t)info.uncompressed_size, '\0');
    int got = bytes.empty() ? 0 : unzReadCurrentFile(zip, &bytes[0], (unsigned)bytes.size());
    unzCloseCurrentFile(zip);
    return got == (int)bytes.size();
}

}  // namespace

bool readApk(const std::wstring& path, ApkInfo& out, std::string& reason) {
    out = ApkInfo();
    zlib_filefunc64_def funcs;
    fill_win32_filefunc64W(&funcs);
    unzFile zip = unzOpen2_64(path.c_str(), &funcs);
    if (!zip) {
        reason = "not-zip";
        return false;
    }
    std::string manifest;
    bool haveManifest = false;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        char name[512] = {};
        unz_file_info64 info = {};
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0) != UNZ_OK) break;
        const std::string entry = name;
        if (entry == "AndroidManifest.xml") {
            haveManifest = readCurrent(zip, manifest);
        } else if (out.icon.empty() && entry.compare(0, 10, "res/mipmap") == 0 && entry.size() > 16 &&
                   entry.compare(entry.size() - 16, 16, "/ic_launcher.png") == 0) {
            readCurrent(zip, out.icon);
        }
    }
    unzClose(zip);
    if (!haveManifest) {
        reason = "no-manifest";
        return false;
    }
    if (!parseBinaryManifest(manifest, out.manifest)) {
        reason = "bad-manifest";
        return false;
    }
    if (out.manifest.launcher.empty()) {
        reason = "no-launcher";
        return false;
    }
    return true;
}

}  // namespace qvs
