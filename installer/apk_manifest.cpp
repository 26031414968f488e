#include "installer/apk_manifest.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "installer/channel_config.h"
#include "services/log.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"
#include "toolkit/zip_extract.h"

namespace {

const uint32_t kNoIndex = 0xFFFFFFFFu;
const uint16_t kXmlFile = 0x0003;
const uint16_t kStringPool = 0x0001;
const uint16_t kResourceMap = 0x0180;
const uint16_t kStartElement = 0x0102;
const uint16_t kEndElement = 0x0103;
const uint32_t kUtf8Flag = 0x100;
const uint8_t kTypeString = 0x03;
const uint8_t kTypeBoolean = 0x12;
const uint32_t kAttrName = 0x01010003;
const uint32_t kAttrEnabled = 0x0101000E;
const size_t kMaxDepth = 64;
const wchar_t kAndroidNamespace[] = L"http://schemas.android.com/apk/res/android";
const wchar_t kLauncherCategory[] = L"android.intent.category.LAUNCHER";

struct Bytes {
    const uint8_t* data;
    uint64_t size;
    uint16_t u16(uint64_t at) const { return (uint16_t)(data[at] | (data[at + 1] << 8)); }
    uint32_t u32(uint64_t at) const {
        return (uint32_t)data[at] | ((uint32_t)data[at + 1] << 8) | ((uint32_t)data[at + 2] << 16) |
               ((uint32_t)data[at + 3] << 24);
    }
};

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool decodeUtf8(const uint8_t* p, uint64_t n, std::wstring& out) {
    out.clear();
    uint64_t i = 0;
    while (i < n) {
        uint32_t c = p[i];
        int more = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            more = 0;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, c &= 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, c &= 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, c &= 0x07, min = 0x10000;
        } else {
            return false;
        }
        for (int k = 1; k <= more; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += more + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back((wchar_t)(0xD800 + (c >> 10)));
            out.push_back((wchar_t)(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back((wchar_t)c);
        }
    }
    return true;
}

class StringPool {
public:
    bool present = false;
    uint32_t count = 0;

    bool load(const Bytes& b, uint64_t chunk, uint64_t headerSize, uint64_t size, std::string& reason) {
        if (headerSize < 28) return fail(reason, "string pool header too small");
        count = b.u32(chunk + 8);
        const uint64_t styles = b.u32(chunk + 12);
        utf8_ = (b.u32(chunk + 16) & kUtf8Flag) != 0;
        const uint64_t stringsStart = b.u32(chunk + 20);
        const uint64_t stylesStart = b.u32(chunk + 24);
        if (((uint64_t)count + styles) * 4 > size - headerSize) return fail(reason, "string pool offsets out of range");
        if (stringsStart > size) return fail(reason, "string data out of range");
        uint64_t areaEnd = size;
        if (styles > 0) {
            if (stylesStart > size || stylesStart < stringsStart) return fail(reason, "style data out of range");
            areaEnd = stylesStart;
        }
        bytes_ = b;
        offsets_ = chunk + headerSize;
        areaStart_ = chunk + stringsStart;
        areaEnd_ = chunk + areaEnd;
        // Every string must lie inside the area; decoding waits until one is used.
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t at = 0, length = 0;
            if (!locate(i, at, length)) return fail(reason, "string out of range");
        }
        present = true;
        return true;
    }

    bool validIndex(uint32_t index) const { return index == kNoIndex || index < count; }

    // Empty for kNoIndex; false for text that does not decode.
    bool get(uint32_t index, std::wstring& out) const {
        out.clear();
        if (index == kNoIndex) return true;
        uint64_t at = 0, length = 0;
        if (index >= count || !locate(index, at, length)) return false;
        if (utf8_) return decodeUtf8(bytes_.data + at, length, out);
        out.reserve((size_t)length);
        for (uint64_t k = 0; k < length; ++k) out.push_back((wchar_t)bytes_.u16(at + 2 * k));
        return true;
    }

private:
    static bool fail(std::string& reason, const char* text) {
        reason = text;
        return false;
    }

    // Where string i's text starts and its length (bytes for UTF-8, units for
    // UTF-16), with prefix and terminator checked against the area.
    bool locate(uint32_t i, uint64_t& at, uint64_t& length) const {
        uint64_t p = areaStart_ + bytes_.u32(offsets_ + 4ull * i);
        if (utf8_) {
            // Character count, then byte count, each one or two bytes.
            for (int field = 0; field < 2; ++field) {
                if (p + 1 > areaEnd_) return false;
                uint64_t value = bytes_.data[p++];
                if (value & 0x80) {
                    if (p + 1 > areaEnd_) return false;
                    value = ((value & 0x7F) << 8) | bytes_.data[p++];
                }
                length = value;
            }
            if (p + length + 1 > areaEnd_) return false;
            at = p;
            return true;
        }
        if (p + 2 > areaEnd_) return false;
        length = bytes_.u16(p);
        p += 2;
        if (length & 0x8000) {
            if (p + 2 > areaEnd_) return false;
            length = ((length & 0x7FFF) << 16) | bytes_.u16(p);
            p += 2;
        }
        if (p + 2 * length + 2 > areaEnd_) return false;
        at = p;
        return true;
    }

    Bytes bytes_ = {nullptr, 0};
    bool utf8_ = false;
    uint64_t offsets_ = 0, areaStart_ = 0, areaEnd_ = 0;
};

struct Attribute {
    uint32_t ns, name, raw;
    uint8_t type;
    uint32_t data;
};

enum class Role { Root, Application, Component, IntentFilter, Other };

struct Open {
    Role role;
    bool launcher = false;
    bool enabled = true;
    std::wstring name;  // a component's android:name when it is a string
};

class ManifestParser {
public:
    ManifestParser(const std::string& bytes, ApkManifestInfo& out, std::string& reason)
        : b_{reinterpret_cast<const uint8_t*>(bytes.data()), (uint64_t)bytes.size()}, out_(out), reason_(reason) {}

    bool run() {
        if (b_.size < 8) return fail("no file header");
        if (b_.u16(0) != kXmlFile) return fail("not a binary XML file");
        const uint64_t headerSize = b_.u16(2);
        const uint64_t size = b_.u32(4);
        if (headerSize < 8 || size < headerSize || size > b_.size) return fail("bad file header");
        uint64_t pos = headerSize;
        while (pos < size) {
            if (pos + 8 > size) return fail("chunk header past the end");
            const uint16_t type = b_.u16(pos);
            const uint64_t chunkHeader = b_.u16(pos + 2);
            const uint64_t chunkSize = b_.u32(pos + 4);
            if (chunkSize == 0) return fail("chunk of size 0");
            if (chunkHeader < 8 || chunkSize < chunkHeader) return fail("bad chunk header");
            if (pos + chunkSize > size) return fail("chunk past the end");
            bool ok = true;
            switch (type) {
            case kStringPool:
                if (!pool_.present) ok = pool_.load(b_, pos, chunkHeader, chunkSize, reason_);
                break;
            case kResourceMap:
                if (!mapSeen_) {
                    mapSeen_ = true;
                    mapAt_ = pos + chunkHeader;
                    mapCount_ = (chunkSize - chunkHeader) / 4;
                }
                break;
            case kStartElement:
                ok = startElement(pos, chunkHeader, chunkSize);
                break;
            case kEndElement:
                ok = endElement();
                break;
            default:
                break;
            }
            if (!ok) return false;
            pos += chunkSize;
        }
        if (!rootSeen_) return fail("no manifest element");
        out_.package = package_;
        out_.activity = activity_;
        return true;
    }

private:
    bool fail(const char* text) {
        reason_ = text;
        return false;
    }

    bool text(uint32_t index, std::wstring& out) {
        if (pool_.get(index, out)) return true;
        reason_ = "string not decodable";
        return false;
    }

    // A string value: the typed string, else the raw value. False: not a string.
    bool attributeString(const Attribute& a, std::wstring& out, bool& isString) {
        isString = false;
        uint32_t index = kNoIndex;
        if (a.type == kTypeString)
            index = a.data;
        else if (a.raw != kNoIndex)
            index = a.raw;
        if (index == kNoIndex) return true;
        isString = true;
        return text(index, out);
    }

    // android:name or android:enabled, by the resource map, else by name and namespace.
    bool isAndroidAttribute(const Attribute& a, uint32_t id, const wchar_t* plainName, bool& is) {
        is = false;
        if (a.name != kNoIndex && a.name < mapCount_) {
            is = b_.u32(mapAt_ + 4ull * a.name) == id;
            return true;
        }
        std::wstring name, ns;
        if (!text(a.name, name) || !text(a.ns, ns)) return false;
        is = name == plainName && ns == kAndroidNamespace;
        return true;
    }

    bool startElement(uint64_t pos, uint64_t headerSize, uint64_t size) {
        if (!pool_.present) return fail("element before the string pool");
        if (headerSize < 16 || headerSize + 20 > size) return fail("bad element header");
        const uint64_t ext = pos + headerSize;
        const uint32_t nameIndex = b_.u32(ext + 4);
        const uint64_t attrStart = b_.u16(ext + 8);
        const uint64_t attrSize = b_.u16(ext + 10);
        const uint64_t attrCount = b_.u16(ext + 12);
        if (attrSize < 20) return fail("bad attribute size");
        if (headerSize + attrStart + attrCount * attrSize > size) return fail("attributes past the element");
        if (!pool_.validIndex(b_.u32(ext)) || !pool_.validIndex(nameIndex)) return fail("string index out of range");
        std::vector<Attribute> attrs;
        attrs.reserve((size_t)attrCount);
        for (uint64_t i = 0; i < attrCount; ++i) {
            const uint64_t at = ext + attrStart + i * attrSize;
            Attribute a = {b_.u32(at), b_.u32(at + 4), b_.u32(at + 8), b_.data[at + 15], b_.u32(at + 16)};
            if (!pool_.validIndex(a.ns) || !pool_.validIndex(a.name) || !pool_.validIndex(a.raw) ||
                (a.type == kTypeString && !pool_.validIndex(a.data)))
                return fail("string index out of range");
            attrs.push_back(a);
        }
        if (stack_.size() >= kMaxDepth) return fail("elements nested too deep");

        std::wstring name;
        if (!text(nameIndex, name)) return false;
        Open open;
        open.role = Role::Other;
        const Role parent = stack_.empty() ? Role::Other : stack_.back().role;
        if (stack_.empty()) {
            if (rootSeen_) return fail("second root element");
            if (name != L"manifest") return fail("root element is not manifest");
            rootSeen_ = true;
            open.role = Role::Root;
            if (!readPackage(attrs)) return false;
        } else if (parent == Role::Root && name == L"application") {
            open.role = Role::Application;
        } else if (parent == Role::Application && (name == L"activity" || name == L"activity-alias")) {
            open.role = Role::Component;
            if (!readComponent(attrs, open)) return false;
        } else if (parent == Role::Component && name == L"intent-filter") {
            open.role = Role::IntentFilter;
        } else if (parent == Role::IntentFilter && name == L"category") {
            bool launcher = false;
            if (!isLauncherCategory(attrs, launcher)) return false;
            if (launcher) stack_[stack_.size() - 2].launcher = true;
        }
        stack_.push_back(open);
        return true;
    }

    bool endElement() {
        if (!pool_.present) return fail("element before the string pool");
        if (stack_.empty()) return fail("end element with nothing open");
        const Open& open = stack_.back();
        if (open.role == Role::Component && activity_.empty() && open.launcher && open.enabled &&
            !open.name.empty())
            activity_ = open.name;
        stack_.pop_back();
        return true;
    }

    bool readPackage(const std::vector<Attribute>& attrs) {
        for (const Attribute& a : attrs) {
            if (a.ns != kNoIndex) continue;
            std::wstring name;
            if (!text(a.name, name)) return false;
            if (name != L"package") continue;
            std::wstring value;
            bool isString = false;
            if (!attributeString(a, value, isString)) return false;
            if (isString && !value.empty() && value.size() <= 255 && isSafeAndroidPackage(value)) package_ = value;
            return true;
        }
        return true;
    }

    bool readComponent(const std::vector<Attribute>& attrs, Open& open) {
        for (const Attribute& a : attrs) {
            bool isName = false, isEnabled = false;
            if (!isAndroidAttribute(a, kAttrName, L"name", isName)) return false;
            if (!isAndroidAttribute(a, kAttrEnabled, L"enabled", isEnabled)) return false;
            if (isEnabled && a.type == kTypeBoolean && a.data == 0) open.enabled = false;
            if (isName) {
                std::wstring value;
                bool isString = false;
                if (!attributeString(a, value, isString)) return false;
                // A reference, or a name that may not reach the guest's shell, is passed over.
                open.name = isString && value.size() <= 255 && isSafeAndroidActivity(value) ? value : std::wstring();
            }
        }
        return true;
    }

    bool isLauncherCategory(const std::vector<Attribute>& attrs, bool& launcher) {
        for (const Attribute& a : attrs) {
            bool isName = false;
            if (!isAndroidAttribute(a, kAttrName, L"name", isName)) return false;
            if (!isName) continue;
            std::wstring value;
            bool isString = false;
            if (!attributeString(a, value, isString)) return false;
            if (isString && value == kLauncherCategory) launcher = true;
        }
        return true;
    }

    Bytes b_;
    ApkManifestInfo& out_;
    std::string& reason_;
    StringPool pool_;
    bool mapSeen_ = false;
    uint64_t mapAt_ = 0, mapCount_ = 0;
    bool rootSeen_ = false;
    std::vector<Open> stack_;
    std::wstring package_, activity_;
};

// The first item named exactly "AndroidManifest.xml", read whole into memory.
// reason is set on failure.
bool readManifestItem(const std::wstring& apkPath, std::string& bytes, std::string& reason) {
    bytes.clear();
    std::unique_ptr<ravel::zip::ArchiveReader> reader = ravel::zip::makeMinizipReader();
    if (!reader->open(apkPath)) {
        reason = "not a zip archive";
        return false;
    }
    int index = -1;
    const int count = reader->count();
    for (int i = 0; i < count; ++i) {
        ravel::zip::ArchiveItem item;
        if (!reader->item(i, item) || item.nameTooLong || item.nameUnreadable) continue;
        if (item.name == L"AndroidManifest.xml") {
            index = i;
            break;
        }
    }
    if (index < 0) {
        reader->close();
        reason = "no manifest item";
        return false;
    }
    std::vector<char> chunk(ravel::zip::ArchiveReader::kChunk);
    for (;;) {
        unsigned got = 0;
        const ravel::zip::ArchiveReader::ReadResult r = reader->read(index, chunk.data(), got);
        if (r == ravel::zip::ArchiveReader::kError) {
            reason = "manifest item unreadable";
            break;
        }
        if (bytes.size() + got > kMaxManifestBytes) {
            reason = "manifest item too large";
            break;
        }
        bytes.append(chunk.data(), got);
        if (r == ravel::zip::ArchiveReader::kDone) {
            reader->close();
            return true;
        }
    }
    reader->close();
    bytes.clear();
    return false;
}

}  // namespace

bool parseBinaryManifest(const std::string& bytes, ApkManifestInfo& out, std::string& reason) {
    out = ApkManifestInfo();
    ApkManifestInfo found;
    if (!ManifestParser(bytes, found, reason).run()) return false;
    out = found;
    return true;
}

std::wstring readApkManifest(const std::wstring& apkPath, std::wstring& package) {
    std::string bytes, reason;
    ApkManifestInfo info;
    if (!readManifestItem(apkPath, bytes, reason) || !parseBinaryManifest(bytes, info, reason)) {
        logPrintf("apk manifest unreadable: %s, %s", reason.c_str(), wideToAnsi(apkPath).c_str());
        return std::wstring();
    }
    if (!info.package.empty()) package = info.package;
    return info.activity;
}

bool extractManifest(const std::wstring& apkPath, const std::wstring& destination) {
    std::string bytes, reason;
    if (!readManifestItem(apkPath, bytes, reason)) return false;
    ScopedHandle file(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file.get(), bytes.data(), (DWORD)bytes.size(), &written, nullptr) && written == bytes.size();
    // The close is checked: a failed flush is a failed copy.
    const bool closed = CloseHandle(file.release()) != 0;
    if (ok && closed) return true;
    DeleteFileW(destination.c_str());
    return false;
}
