#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "platform/http/http_client.h"
#include "toolkit/lock.h"

// Statistics requests, JSON requests and the market's soft information, over
// the product's HTTP GET (10 s per connect, send and receive wait; 30 s for the
// whole call, redirects included).

// One synchronous GET of a ready URL on the calling thread; the reply and every
// failure are ignored.
void sendStat(const std::wstring& url,
              const platform::http::Options& options = platform::http::Options());

namespace WebQuery {

// GET of `url` (ANSI code page) and its body parsed as JSON (comments collected,
// one leading UTF-8 byte-order mark skipped). True only for a final status 200
// and a body that parses; `out` is changed only then. Never throws.
bool getJson(const std::string& url, Json::Value& out);

// The market's soft information for `softId`: the first non-empty text of
// member[field] over the reply's members (in key order) that are objects;
// strings, numbers and booleans count. `defaultValue` when there is none or the
// request fails. Never throws.
std::wstring getSoftInfoField(const std::wstring& softId, const std::wstring& field,
                              const std::wstring& defaultValue);

// The lookup address: market host + "/index/getSoftInfoByIdsAccordingToFields/sids/"
// + softId (as one encoded path segment) + "/fields/soft_name|" + field.
std::wstring softInfoUrl(const std::wstring& softId, const std::wstring& field);

}  // namespace WebQuery

// Extra query keys in order; each goes out as "&" + key + "=" + encoded value.
typedef std::vector<std::pair<std::wstring, std::wstring>> UrlParams;

// The direct statistics URL: statistics host + "/Stat?action=" + action +
// "&ref=loader&ver=" + own version + "&mid=" + getMid + "&mid2=" + getMid2 +
// "&cno=" + getCno of the process command line, then the extras. Every value is
// percent-encoded (encodeQueryValue); the action word and the keys are not.
std::wstring buildStatUrl(const std::wstring& action, const UrlParams& extras = UrlParams());

// The action words of the direct road.
enum class StatAction {
    LodStart,
    QvLodStart,
    Reinstall,
    VboxInstallOtherApk,
    DownloadRom,
    QvDownloadOk,
    QvRomDownloadOk,
    VboxDownloadRom,
    VboxDownloadOk,
    VboxRomDownloadOk,
    QvInstallStart,
    QvDotnetNo,
    QvDotnetFail,
    QvQvinstallNotfind,
    QvQvinstallStart,
    RomInstallFail,
    ApkInstallFail,
    HallInstall,
    QvInstallOk,
    VboxInstallStart,
    VboxDownloadFailed,
    VboxRomInstallOk,
    InstallVboxFailed,
    VboxInstallApkFailed,
    VboxInstallApkOk,
    VboxInstallOk,
    QvUninstall,
    Uninstall,
};

// One action: its word and the names of its extra keys, in order.
struct StatActionRow {
    StatAction action;
    const wchar_t* word;
    std::vector<const wchar_t*> keys;
};
const std::vector<StatActionRow>& statActionTable();
const wchar_t* statActionWord(StatAction action);

// The action's URL with `values` for its keys, index by index (a missing value
// is the empty text; values beyond the keys are dropped).
std::wstring buildStatUrl(StatAction action, const std::vector<std::wstring>& values = {});
// buildStatUrl + sendStat.
void sendStatAction(StatAction action, const std::vector<std::wstring>& values = {});

// The market's download-count pings.
enum class MarketPing {
    PeerfetchUrl,  // market statistics host "/Stat/getPeerfetchUrl?..."
    MobiPage,      // maker's web host "/mobi.html?..."
    CdnStat,       // CDN host "/Orvekmobilemgr/stat.php?resurl=<market statistics address>..."
};
// The ping's fixed prefix + encoded sid + "&marketid=&tj=&appver=2.5.0.1405",
// then the caller's keys (e.g. "m", "m2", "cno") with encoded values.
std::wstring buildMarketPingUrl(MarketPing ping, const std::wstring& sid, const UrlParams& keys);

// The queued statistics road: URLs are built, encoded and kept in memory;
// nothing of it goes on the network.
class StatReporter {
public:
    StatReporter() = default;
    StatReporter(const StatReporter&) = delete;
    StatReporter& operator=(const StatReporter&) = delete;

    // Appends an encoded URL.
    void enqueue(const std::string& url);
    // A copy of the queue, taken under its lock.
    std::deque<std::string> queueCopy();

private:
    std::deque<std::string> queue;
    ravel::system::Lock lock;
};

// The process's reporter (a global object, built before wWinMain).
StatReporter& statReporter();

// Builds statistics host + "/Stat?action=<action>&ref=<ref>&ver=..&mid=..&mid2=.."
// then, for a non-empty extra, "&" + ("dbginfo=" for the action "debug" unless
// the extra begins with it) + extra; at most 4095 characters (the extra is cut).
// The text is converted to UTF-8, urlEncode'd and queued.
void reportStat(const std::wstring& action, const std::wstring& extra, const std::wstring& ref);

// The queued URLs (a copy).
std::deque<std::string> queuedStatUrls();
