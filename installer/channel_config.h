#pragma once

#include <string>
#include <vector>

#include "services/system_checks.h"
#include "toolkit/singleton.h"

// One app of the channel.
struct AppInfo {
    std::wstring id;
    std::wstring name;
    std::wstring apkUrl;
    std::wstring package;
    std::wstring activity;
    std::wstring apkFileName;
    std::vector<std::wstring> tipPictures;  // always three items once read
    std::wstring iconUrl;
    std::wstring apkPath;  // filled by the installed-app list
    std::wstring pic;
    std::wstring icon;
    std::wstring apkVersion;
    std::wstring latest;
};

// The process's channel record, read once from the product web host's
// "/data/channel_config.json" and "/data/apk_config.json". Filled on the main
// thread before other threads start and only read afterwards.
//
// Texts from the documents lose every character below U+0020. An app whose id,
// file name, package or activity could escape a folder, a file name or an adb
// shell command is refused (logged) and counts as not found.
class ChannelConfig : public ravel::pattern::Singleton<ChannelConfig> {
public:
    static ChannelConfig& instance() { return *getInstance(); }

    // fetchChannelConfig; on success writes the channel ini (cnos\<cno>.ini,
    // [main] id = cno, no = apkChannel). Always 1.
    int update();
    // True only when the channel's entry named an app that was found and added.
    bool fetchChannelConfig();
    // The app `apkId` from the app document, completed from the market; an id
    // missing from the document is taken from the market when it knows a package.
    bool fetchApkConfig(const std::wstring& apkId, AppInfo& out);

    std::wstring getCno() const { return cno; }
    const std::vector<AppInfo>& apps() const { return apps_; }
    // The first app whose id equals `id` exactly.
    bool findApp(const std::wstring& id, AppInfo& out) const;

    std::wstring apkChannel;
    std::wstring apkId;
    bool installApk = false;
    bool silent = false;
    bool launch = false;
    bool launchApk = false;
    std::vector<std::wstring> romUrls;
    std::vector<std::wstring> vboxUrls;
    std::vector<std::wstring> romVersions;
    std::vector<std::wstring> vboxVersions;
    bool vboxEnabled = false;
    std::wstring hallUrl;
    std::wstring hallVersion;
    bool onlyHall = false;
    std::wstring cno;  // getCno of the process command line

private:
    friend class ravel::pattern::Singleton<ChannelConfig>;
    ChannelConfig();

    bool readChannelEntries();
    bool readApkEntries(const std::wstring& apkId, AppInfo& out);

    std::vector<AppInfo> apps_;
};

// The market download address of an app: market download host +
// "/redirect/down/?from=<apkChannel>&appid=<id>", both encoded.
std::wstring marketDownloadUrl(const std::wstring& apkChannel, const std::wstring& id);

// The checks an app passes before it is taken (see ChannelConfig).
bool isSafeChannelAppId(const std::wstring& id);
bool isSafeApkFileName(const std::wstring& name);
bool isSafeAndroidPackage(const std::wstring& package);
bool isSafeAndroidActivity(const std::wstring& activity);
// A version piece that may become part of a folder name.
bool isSafeVersionPiece(const std::wstring& version);

// What the package choice reads of the channel configuration.
ChannelPackages channelPackagesOf(const ChannelConfig& config);
// selectDownloadVariant for the configuration's packages: computed on the first
// call and never rebuilt, whatever configuration later calls pass.
DownloadVariant& selectDownloadVariant(const ChannelConfig& config);
