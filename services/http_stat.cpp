#include "services/http_stat.h"

#include <memory>

#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/machine_id.h"
#include "services/url_encode.h"
#include "services/web_hosts.h"
#include "toolkit/string_util.h"

namespace {

const size_t kQueuedUrlLimit = 4095;  // characters, without the terminator

std::wstring commandLineCno() { return getCno(GetCommandLineW()); }

// Cuts to at most `limit` characters, never keeping half of a surrogate pair.
void cutTo(std::wstring& text, size_t limit) {
    if (text.size() <= limit) return;
    text.resize(limit);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
}

std::wstring appendParams(std::wstring url, const UrlParams& params) {
    for (const auto& p : params) url += L"&" + p.first + L"=" + encodeQueryValue(p.second);
    return url;
}

// The market's field text: strings, numbers and booleans; anything else is none.
std::string scalarText(const Json::Value& value) {
    if (value.isString() || value.isNumeric() || value.isBool()) return value.asString();
    return std::string();
}

}  // namespace

void sendStat(const std::wstring& url, const platform::http::Options& options) {
    platform::http::get(url, options);
}

namespace WebQuery {

bool getJson(const std::string& url, Json::Value& out) {
    try {
        platform::http::Response r = platform::http::get(ansiToWide(url));
        if (!r.ok || r.status != 200) return false;
        const std::string& body = r.body;
        size_t start = body.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        if (body.size() <= start) return false;

        Json::CharReaderBuilder builder;
        builder["collectComments"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value parsed;
        std::string errors;
        const char* begin = body.data() + start;
        if (!reader->parse(begin, body.data() + body.size(), &parsed, &errors)) return false;
        out.swap(parsed);
        return true;
    } catch (...) {
        return false;
    }
}

std::wstring softInfoUrl(const std::wstring& softId, const std::wstring& field) {
    return webHostAddress(WebHost::Market) + L"/index/getSoftInfoByIdsAccordingToFields/sids/" +
           encodePathSegment(softId) + L"/fields/soft_name|" + field;
}

std::wstring getSoftInfoField(const std::wstring& softId, const std::wstring& field,
                              const std::wstring& defaultValue) {
    try {
        Json::Value reply;
        if (!getJson(wideToAnsi(softInfoUrl(softId, field)), reply)) return defaultValue;
        if (!reply.isObject()) return defaultValue;
        const std::string key = wideToAnsi(field);
        for (Json::Value::const_iterator it = reply.begin(); it != reply.end(); ++it) {
            const Json::Value& member = *it;
            if (!member.isObject()) continue;
            const Json::Value* value = member.find(key.data(), key.data() + key.size());
            if (!value) continue;
            std::string text = scalarText(*value);
            if (!text.empty()) return utf8ToWide(text);
        }
    } catch (...) {
    }
    return defaultValue;
}

}  // namespace WebQuery

std::wstring buildStatUrl(const std::wstring& action, const UrlParams& extras) {
    std::wstring url = webHostAddress(WebHost::Stat) + L"/Stat?action=" + action + L"&ref=loader";
    url = appendParams(url, {{L"ver", getOwnVersion()},
                             {L"mid", getMid()},
                             {L"mid2", getMid2()},
                             {L"cno", commandLineCno()}});
    return appendParams(url, extras);
}

const std::vector<StatActionRow>& statActionTable() {
    static const std::vector<StatActionRow> table = {
        {StatAction::LodStart, L"lod_start", {}},
        {StatAction::QvLodStart, L"QV_lod_start", {}},
        {StatAction::Reinstall, L"reinstall", {}},
        {StatAction::VboxInstallOtherApk, L"vbox_install_other_apk", {}},
        {StatAction::DownloadRom, L"download_rom", {L"ssse3", L"cpu", L"romurl"}},
        {StatAction::QvDownloadOk, L"QV_download_ok", {}},
        {StatAction::QvRomDownloadOk, L"QV_rom_download_ok", {L"mainpkg"}},
        {StatAction::VboxDownloadRom, L"vbox_download_rom", {L"ssse3", L"cpu"}},
        {StatAction::VboxDownloadOk, L"vbox_download_ok", {}},
        {StatAction::VboxRomDownloadOk, L"vbox_rom_download_ok", {L"mainpkg"}},
        {StatAction::QvInstallStart, L"QV_install_start", {}},
        {StatAction::QvDotnetNo, L"QV_dotnet_no", {}},
        {StatAction::QvDotnetFail, L"QV_dotnet_fail", {L"dotnet"}},
        {StatAction::QvQvinstallNotfind, L"QV_qvinstall_notfind", {}},
        {StatAction::QvQvinstallStart, L"QV_qvinstall_start", {}},
        {StatAction::RomInstallFail, L"rom_install_fail", {}},
        {StatAction::ApkInstallFail, L"apk_install_fail", {}},
        {StatAction::HallInstall, L"hall_install", {}},
        {StatAction::QvInstallOk, L"QV_install_ok", {}},
        {StatAction::VboxInstallStart, L"vbox_install_start", {}},
        {StatAction::VboxDownloadFailed, L"vbox_download_failed", {}},
        {StatAction::VboxRomInstallOk, L"vbox_rom_install_ok", {L"install_code", L"import_code"}},
        {StatAction::InstallVboxFailed, L"install_vbox_failed", {}},
        {StatAction::VboxInstallApkFailed, L"vbox_install_apk_failed", {}},
        {StatAction::VboxInstallApkOk, L"vbox_install_apk_ok", {}},
        {StatAction::VboxInstallOk, L"vbox_install_ok", {}},
        {StatAction::QvUninstall, L"QV_uninstall", {}},
        {StatAction::Uninstall, L"uninstall", {}},
    };
    return table;
}

namespace {

const StatActionRow* findAction(StatAction action) {
    for (const StatActionRow& row : statActionTable())
        if (row.action == action) return &row;
    return nullptr;
}

}  // namespace

const wchar_t* statActionWord(StatAction action) {
    const StatActionRow* row = findAction(action);
    return row ? row->word : L"";
}

std::wstring buildStatUrl(StatAction action, const std::vector<std::wstring>& values) {
    const StatActionRow* row = findAction(action);
    if (!row) return buildStatUrl(std::wstring());
    UrlParams extras;
    for (size_t i = 0; i < row->keys.size(); ++i)
        extras.emplace_back(row->keys[i], i < values.size() ? values[i] : std::wstring());
    return buildStatUrl(row->word, extras);
}

void sendStatAction(StatAction action, const std::vector<std::wstring>& values) {
    sendStat(buildStatUrl(action, values));
}

std::wstring buildMarketPingUrl(MarketPing ping, const std::wstring& sid, const UrlParams& keys) {
    std::wstring url;
    switch (ping) {
        case MarketPing::PeerfetchUrl:
            url = webHostAddress(WebHost::MarketStat) +
                  L"/Stat/getPeerfetchUrl?action=sytj&ref=Orvekmarket&mnq=tarvo&sid=";
            break;
        case MarketPing::MobiPage:
            url = webHostAddress(WebHost::Www) + L"/mobi.html?type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=";
            break;
        case MarketPing::CdnStat:
            url = webHostAddress(WebHost::Cdn) + L"/Orvekmobilemgr/stat.php?resurl=" +
                  webHostAddress(WebHost::MarketStat) + L"/Stat/DownloadApp" +
                  L"&type=down1&action=sytj&ref=Orvekmarket&mnq=tarvo&sid=";
            break;
    }
    url += encodeQueryValue(sid) + L"&marketid=&tj=" + L"&appver=2.5.0.1405";
    return appendParams(url, keys);
}

void StatReporter::enqueue(const std::string& url) {
    ravel::system::ScopedLock guard(lock);
    queue.push_back(url);
}

std::deque<std::string> StatReporter::queueCopy() {
    ravel::system::ScopedLock guard(lock);
    return queue;
}

namespace {
StatReporter g_statReporter;
}  // namespace

StatReporter& statReporter() { return g_statReporter; }

void reportStat(const std::wstring& action, const std::wstring& extra, const std::wstring& ref) {
    std::wstring text = webHostAddress(WebHost::Stat) + L"/Stat?action=" + action + L"&ref=" + ref +
                        L"&ver=" + getOwnVersion() + L"&mid=" + getMid() + L"&mid2=" + getMid2();
    cutTo(text, kQueuedUrlLimit);
    if (!extra.empty()) {
        std::wstring tail = L"&";
        if (action == L"debug" && extra.compare(0, 8, L"dbginfo=") != 0) tail += L"dbginfo=";
        tail += extra;
        cutTo(tail, kQueuedUrlLimit - text.size());
        text += tail;
    }
    g_statReporter.enqueue(urlEncode(toUtf8(text)));
}

std::deque<std::string> queuedStatUrls() { return g_statReporter.queueCopy(); }
