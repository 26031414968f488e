#include "installer/app_list.h"

#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "installer/engine_context.h"
#include "services/ini_file.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace {

// A list is a few KiB; anything this large is not one.
const ULONGLONG kMaxListBytes = 16u * 1024u * 1024u;

// Pieces of `text` between runs of the separator characters; empty pieces vanish.
template <typename S>
std::vector<S> splitRuns(const S& text, const S& separators) {
    std::vector<S> pieces;
    typename S::size_type pos = 0;
    while (pos < text.size()) {
        pos = text.find_first_not_of(separators, pos);
        if (pos == S::npos) break;
        typename S::size_type end = text.find_first_of(separators, pos);
        if (end == S::npos) end = text.size();
        pieces.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return pieces;
}

// The lock file, opened without sharing; closed and deleted on destruction.
class ListLock {
public:
    explicit ListLock(const std::wstring& path) : path_(path) {
        handle_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle_) throw std::runtime_error("lock failed");
    }
    ~ListLock() {
        handle_.reset();
        DeleteFileW(path_.c_str());
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    std::wstring path_;
    ScopedHandle handle_;
};

bool writeAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) && written == bytes.size();
}

}  // namespace

std::wstring getAppFolder(const std::wstring& id) { return getUserDataFolder() + L"\\apps\\app_" + id; }

std::wstring getAppsFolder() {
    const std::wstring folder = getUserDataFolder() + L"\\apps";
    createDirectories(folder);
    return folder;
}

bool LocalAppList::load() {
    apps_.clear();
    const std::wstring folder = getAppsFolder();
    const std::wstring pattern = folder + L"\\app_*";
    if (pattern.size() >= MAX_PATH) {
        logPrintf("apps folder too long");
        return false;
    }
    WIN32_FIND_DATAW found = {};
    ScopedFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search) return false;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring name = found.cFileName;
        std::vector<std::wstring> pieces = splitRuns<std::wstring>(name, L"_");
        if (pieces.size() < 2) continue;
        const std::wstring& folderId = pieces[1];
        // The id goes onto shortcut and launch command lines.
        if (!isSafeChannelAppId(folderId)) continue;
        const std::wstring appFolder = folder + L"\\" + name;
        IniFile ini(appFolder + L"\\app.ini");
        AppInfo app;
        app.id = ini.getString(L"app", L"id");
        if (toLowerCopy(app.id) != toLowerCopy(folderId)) continue;
        app.name = ini.getString(L"app", L"name");
        app.pic = ini.getString(L"app", L"pic");
        app.icon = ini.getString(L"app", L"icon");
        app.package = ini.getString(L"app", L"package");
        app.activity = ini.getString(L"app", L"activity");
        // The elevated loader deletes and installs this file: only a plain name
        // inside the app folder counts.
        const std::wstring apk = ini.getString(L"app", L"apk");
        if (isSafeApkFileName(apk)) app.apkPath = appFolder + L"\\" + apk;
        apps_.push_back(app);
    } while (FindNextFileW(search.get(), &found));
    return true;
}

int LocalAppList::find(const std::wstring& id, AppInfo& out) const {
    const std::wstring wanted = toLowerCopy(id);
    for (size_t i = 0; i < apps_.size(); ++i) {
        if (toLowerCopy(apps_[i].id) == wanted) {
            out = apps_[i];
            return (int)i;
        }
    }
    return -1;
}

bool LocalAppList::contains(const std::wstring& id) const {
    AppInfo ignored;
    return find(id, ignored) >= 0;
}

std::wstring AppListStore::listPath() const {
    return getAppsFolder() + L"\\tvdata1_" + context_.getName() + L".dat";
}

void AppListStore::read(AppListMap& entries) {
    if (!context_.isInstalled()) return;
    const std::wstring path = listPath();
    ListLock lock(path + L".lck");
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    LARGE_INTEGER size = {};
    std::string text;
    bool ok = GetFileSizeEx(file.get(), &size) && (ULONGLONG)size.QuadPart <= kMaxListBytes;
    if (ok) {
        text.resize((size_t)size.QuadPart);
        DWORD got = 0;
        ok = text.empty() || (ReadFile(file.get(), &text[0], (DWORD)text.size(), &got, nullptr) && got == text.size());
    }
    file.reset();
    if (!ok) return;
    for (const std::string& line : splitRuns<std::string>(text, "\r\n")) {
        std::vector<std::string> fields = splitRuns<std::string>(line, "#");
        if (fields.empty() || fields.size() > 4) continue;
        AppListEntry& entry = entries[fields[0]];
        entry.package = fields[0];
        if (fields.size() > 1) entry.spareNumber = (uint32_t)strtoul(fields[1].c_str(), nullptr, 10);
        if (fields.size() > 2) entry.appId = (uint32_t)strtoul(fields[2].c_str(), nullptr, 10);
        if (fields.size() > 3) entry.label = ansiToWide(fields[3]);
    }
}

void AppListStore::write(const AppListMap& entries) {
    if (!context_.isInstalled()) return;
    const std::wstring path = listPath();
    ListLock lock(path + L".lck");
    // A write that fails midway (disk full) must not cost the old list.
    const std::wstring temporary = path + L".tmp";
    // Others can write the folder: an entry left under the name (a link too)
    // goes first, and the file is made new so that nothing is followed.
    removeEntry(temporary, true);
    ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    bool ok = true;
    for (AppListMap::const_iterator it = entries.begin(); ok && it != entries.end(); ++it) {
        const AppListEntry& entry = it->second;
        ok = writeAll(file.get(), it->first + formatA("#%u#%u#", entry.spareNumber, entry.appId) +
                                wideToAnsi(entry.label) + "\r\n");
    }
    ok = FlushFileBuffers(file.get()) && ok;
    file.reset();
    if (ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    DeleteFileW(temporary.c_str());
}
