// The apps the loader has installed, in two places under the user data folder:
// one folder per app ("apps\app_<id>" with its "app.ini"), read by
// LocalAppList, and one package list per engine context
// ("apps\tvdata1_<context>.dat"), kept by AppListStore.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "installer/channel_config.h"

class Context;

// user data folder + "\apps\app_" + id
std::wstring getAppFolder(const std::wstring& id);
// user data folder + "\apps", created with its parents when missing.
std::wstring getAppsFolder();

// The app folders, in the order the file system lists them. A folder counts
// when it is a real directory (no link) named "app_<id>..." whose id passes
// isSafeChannelAppId and whose app.ini [app] "id" equals it, both lower-cased.
// Each record carries id, name, pic, icon, package and activity as written,
// and apkPath = folder + "\" + "apk" (empty when "apk" is not a plain file name).
class LocalAppList {
public:
    // False only when nothing matches "app_*" (or the apps folder's path is
    // too long).
    bool load();
    // Index of the first record whose id equals `id` ignoring case (copied to
    // out), or -1.
    int find(const std::wstring& id, AppInfo& out) const;
    bool contains(const std::wstring& id) const;
    const AppInfo& at(size_t i) const { return apps_[i]; }
    size_t size() const { return apps_.size(); }

private:
    std::vector<AppInfo> apps_;
};

// One line of a context's package list.
struct AppListEntry {
    std::string package;  // the key (UTF-8)
    uint32_t appId = 0;
    uint32_t spareNumber = 0;  // kept as read
    std::wstring label;        // stored in the thread's ANSI code page
};

// Ordered by the key's bytes.
typedef std::map<std::string, AppListEntry> AppListMap;

// The package list of one engine context. Both operations do nothing while the
// context's engine is not installed, create the apps folder, and hold the
// exclusively opened "<list>.lck" for their duration: a list that is locked by
// someone else throws std::runtime_error("lock failed") at once.
class AppListStore {
public:
    explicit AppListStore(Context& context) : context_(context) {}

    // "<apps folder>\tvdata1_<context name>.dat"
    std::wstring listPath() const;

    // Updates `entries` from the file's lines; a missing, unreadable or
    // oversized (over 16 MiB) file leaves it as it was.
    void read(AppListMap& entries);
    // Replaces the file with exactly `entries`, through "<list>.tmp": the old
    // list stays when any write fails.
    void write(const AppListMap& entries);

private:
    Context& context_;
};
