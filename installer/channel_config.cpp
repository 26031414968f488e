#include "installer/channel_config.h"

#include <windows.h>

#include <cstring>

#include <json/json.h>

#include "services/http_stat.h"
#include "services/ini_file.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "services/url_encode.h"
#include "services/web_hosts.h"
#include "toolkit/string_util.h"

namespace {

const wchar_t kVersionPadding[] = L"0.0.0.0000";

// Every character below U+0020 goes, so that no text can add ini lines.
std::wstring withoutControls(std::wstring text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text)
        if (c >= 0x20) out += c;
    return out;
}

// A member read as text: missing, null, arrays and objects are empty; scalars
// are jsoncpp's text of them.
std::wstring memberText(const Json::Value& entry, const char* key) {
    const Json::Value* value = entry.find(key, key + strlen(key));
    if (!value) return std::wstring();
    if (!(value->isString() || value->isNumeric() || value->isBool())) return std::wstring();
    return withoutControls(utf8ToWide(value->asString()));
}

bool memberFlag(const Json::Value& entry, const char* key) { return memberText(entry, key) == L"1"; }

std::vector<std::wstring> splitList(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    split(text, pieces, L";", false);
    return pieces;
}

std::vector<std::wstring> versionList(const std::wstring& text, size_t addressCount, const char* key) {
    std::vector<std::wstring> versions = splitList(text);
    for (std::wstring& v : versions) {
        if (!isSafeVersionPiece(v)) {
            logPrintf("channel config: %s piece \"%s\" refused", key, wideToAnsi(v).c_str());
            v = kVersionPadding;
        }
    }
    while (versions.size() < addressCount) versions.push_back(kVersionPadding);
    return versions;
}

// The entries of a document: an array in document order or an object in
// jsoncpp's (key) order. False for any other top level.
bool documentEntries(const Json::Value& document, std::vector<const Json::Value*>& entries) {
    if (!document.isArray() && !document.isObject()) return false;
    for (Json::Value::const_iterator it = document.begin(); it != document.end(); ++it)
        if ((*it).isObject()) entries.push_back(&*it);
    return true;
}

bool fetchDocument(const wchar_t* path, Json::Value& document) {
    return WebQuery::getJson(wideToAnsi(webHostAddress(WebHost::Product) + path), document);
}

std::wstring marketField(const std::wstring& id, const wchar_t* field) {
    return withoutControls(WebQuery::getSoftInfoField(id, field, std::wstring()));
}

bool isAsciiAlnum(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9'); }

bool madeOf(const std::wstring& text, const wchar_t* extra) {
    for (wchar_t c : text)
        if (!isAsciiAlnum(c) && !wcschr(extra, c)) return false;
    return true;
}

bool refuseApp(const std::wstring& id, const char* what, const std::wstring& value) {
    logPrintf("channel config: app %s refused, unsafe %s \"%s\"", wideToAnsi(id).c_str(), what,
              wideToAnsi(value).c_str());
    return false;
}

bool checkApp(const AppInfo& app) {
    if (!isSafeApkFileName(app.apkFileName)) return refuseApp(app.id, "apk file name", app.apkFileName);
    if (!isSafeAndroidPackage(app.package)) return refuseApp(app.id, "package", app.package);
    if (!isSafeAndroidActivity(app.activity)) return refuseApp(app.id, "activity", app.activity);
    return true;
}

}  // namespace

bool isSafeChannelAppId(const std::wstring& id) {
    // A leading "-" would read as a command word where the id is passed on.
    return !id.empty() && id.size() <= 64 && isAsciiAlnum(id[0]) && madeOf(id, L"._-");
}

bool isSafeApkFileName(const std::wstring& name) {
    if (name.empty() || name.size() > 128 || name == L"." || name == L"..") return false;
    for (wchar_t c : name)
        if (c < 0x20 || wcschr(L"\\/:*?\"<>|", c)) return false;
    return true;
}

bool isSafeAndroidPackage(const std::wstring& package) { return madeOf(package, L"._"); }

bool isSafeAndroidActivity(const std::wstring& activity) { return madeOf(activity, L"._$"); }

bool isSafeVersionPiece(const std::wstring& version) {
    if (version.find_first_of(L"\\/:") != std::wstring::npos) return false;
    if (version.find(L"..") != std::wstring::npos) return false;
    for (wchar_t c : version)
        if (c < 0x20) return false;
    return true;
}

std::wstring marketDownloadUrl(const std::wstring& apkChannel, const std::wstring& id) {
    return webHostAddress(WebHost::MarketDown) + L"/redirect/down/?from=" + encodeQueryValue(apkChannel) +
           L"&appid=" + encodeQueryValue(id);
}

ChannelConfig::ChannelConfig() : cno(::getCno(GetCommandLineW())) {}

int ChannelConfig::update() {
    if (fetchChannelConfig()) {
        IniFile channelIni(getCnosFolder() + L"\\" + cno + L".ini");
        channelIni.setString(L"main", L"id", cno);
        channelIni.setString(L"main", L"no", apkChannel);
    }
    return 1;
}

bool ChannelConfig::fetchChannelConfig() {
    try {
        return readChannelEntries();
    } catch (...) {
        logPrintf("channel config: the channel document could not be read");
        return false;
    }
}

bool ChannelConfig::readChannelEntries() {
    Json::Value document;
    if (!fetchDocument(L"/data/channel_config.json", document)) return false;
    std::vector<const Json::Value*> entries;
    if (!documentEntries(document, entries)) return false;

    for (const Json::Value* entryPointer : entries) {
        const Json::Value& entry = *entryPointer;
        if (memberText(entry, "channel") != cno) continue;

        apkChannel = memberText(entry, "apkchannel");
        writeAppChannel(apkChannel);
        romUrls = splitList(memberText(entry, "romurl"));
        romVersions = versionList(memberText(entry, "romversion"), romUrls.size(), "romversion");
        vboxUrls = splitList(memberText(entry, "vbox_url"));
        vboxVersions = versionList(memberText(entry, "vbox_version"), vboxUrls.size(), "vbox_version");
        vboxEnabled = memberFlag(entry, "vbox_enabled");
        installApk = memberFlag(entry, "installapk");
        silent = memberFlag(entry, "silent");
        launch = memberFlag(entry, "launch");
        launchApk = memberFlag(entry, "launchapk");
        hallUrl = memberText(entry, "hall_url");
        hallVersion = memberText(entry, "hall_ver");
        onlyHall = memberFlag(entry, "only_hall");
        apkId = memberText(entry, "apkid");
        const std::wstring channelApkUrl = memberText(entry, "apkurl");

        if (apkId.empty()) return false;
        AppInfo app;
        if (!fetchApkConfig(apkId, app)) return false;
        if (!channelApkUrl.empty()) app.apkUrl = channelApkUrl;
        apps_.push_back(app);
        return true;
    }
    return false;
}

bool ChannelConfig::fetchApkConfig(const std::wstring& id, AppInfo& out) {
    try {
        return readApkEntries(id, out);
    } catch (...) {
        logPrintf("channel config: the app document could not be read");
        return false;
    }
}

bool ChannelConfig::readApkEntries(const std::wstring& id, AppInfo& out) {
    if (!isSafeChannelAppId(id)) return refuseApp(id, "id", id);
    Json::Value document;
    if (!fetchDocument(L"/data/apk_config.json", document)) return false;
    std::vector<const Json::Value*> entries;
    if (!documentEntries(document, entries)) return false;

    AppInfo app;
    for (const Json::Value* entryPointer : entries) {
        const Json::Value& entry = *entryPointer;
        if (memberText(entry, "apkid") != id) continue;

        app.id = id;
        app.name = memberText(entry, "name");
        app.package = memberText(entry, "apkpackagename");
        if (app.package.empty()) app.package = marketField(id, L"pname");
        app.activity = memberText(entry, "apkactivity");
        app.apkUrl = memberText(entry, "apkurl");
        if (app.apkUrl.empty()) app.apkUrl = marketDownloadUrl(apkChannel, id);
        app.tipPictures.push_back(memberText(entry, "one"));
        app.tipPictures.push_back(memberText(entry, "two"));
        app.tipPictures.push_back(memberText(entry, "three"));
        app.iconUrl = memberText(entry, "icon");
        if (app.iconUrl.empty()) app.iconUrl = marketField(id, L"logo_url");
        app.apkFileName = memberText(entry, "apkpackage");
        if (app.apkFileName.empty()) app.apkFileName = app.package + L".apk";
        app.apkVersion = memberText(entry, "apkversion");
        app.latest = memberText(entry, "latest");
        break;
    }

    if (app.id.empty()) {
        // Not in the app document: the market alone, when it knows the package.
        app.id = id;
        app.apkUrl = marketDownloadUrl(apkChannel, id);
        app.package = marketField(id, L"pname");
        if (app.package.empty()) {
            logPrintf("channel config: app %s is neither in the app document nor in the market",
                      wideToAnsi(id).c_str());
            return false;
        }
        app.apkFileName = app.package + L".apk";
        app.name = marketField(id, L"soft_name");
        app.iconUrl = marketField(id, L"logo_url");
        app.tipPictures.assign(3, std::wstring());
    }

    if (!checkApp(app)) return false;
    out = app;
    return true;
}

bool ChannelConfig::findApp(const std::wstring& id, AppInfo& out) const {
    for (const AppInfo& app : apps_) {
        if (app.id == id) {
            out = app;
            return true;
        }
    }
    return false;
}

ChannelPackages channelPackagesOf(const ChannelConfig& config) {
    ChannelPackages packages;
    packages.vboxEnabled = config.vboxEnabled;
    packages.romUrls = config.romUrls;
    packages.romVersions = config.romVersions;
    packages.vboxUrls = config.vboxUrls;
    packages.vboxVersions = config.vboxVersions;
    return packages;
}

DownloadVariant& selectDownloadVariant(const ChannelConfig& config) {
    return selectDownloadVariant(channelPackagesOf(config));
}
