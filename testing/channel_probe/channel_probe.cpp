// usage: channel_probe --cno CNO --probe-out FILE --probe-mode MODE [--probe-arg TEXT]
//   update    ChannelConfig::update, then the record and findApp of TEXT
//   fetch     ChannelConfig::fetchChannelConfig, then the record
//   apk       ChannelConfig::fetchApkConfig of TEXT, then that app
//   stat      sendStatAction(LodStart) (the statistics host from the settings file)
// The output file is UTF-8 JSON: {"result": ..., the record or the app}.
#include <windows.h>

#include <cstdio>
#include <string>

#include <json/json.h>

#include "installer/channel_config.h"
#include "services/http_stat.h"
#include "toolkit/string_util.h"

namespace {

Json::Value texts(const std::vector<std::wstring>& list) {
    Json::Value out(Json::arrayValue);
    for (const std::wstring& s : list) out.append(toUtf8(s));
    return out;
}

Json::Value appJson(const AppInfo& a) {
    Json::Value o(Json::objectValue);
    o["id"] = toUtf8(a.id);
    o["name"] = toUtf8(a.name);
    o["apkUrl"] = toUtf8(a.apkUrl);
    o["package"] = toUtf8(a.package);
    o["activity"] = toUtf8(a.activity);
    o["apkFileName"] = toUtf8(a.apkFileName);
    o["tipPictures"] = texts(a.tipPictures);
    o["iconUrl"] = toUtf8(a.iconUrl);
    o["apkVersion"] = toUtf8(a.apkVersion);
    o["latest"] = toUtf8(a.latest);
    return o;
}

Json::Value recordJson(const ChannelConfig& c) {
    Json::Value o(Json::objectValue);
    o["cno"] = toUtf8(c.getCno());
    o["apkChannel"] = toUtf8(c.apkChannel);
    o["apkId"] = toUtf8(c.apkId);
    o["installApk"] = c.installApk;
    o["silent"] = c.silent;
    o["launch"] = c.launch;
    o["launchApk"] = c.launchApk;
    o["romUrls"] = texts(c.romUrls);
    o["romVersions"] = texts(c.romVersions);
    o["vboxUrls"] = texts(c.vboxUrls);
    o["vboxVersions"] = texts(c.vboxVersions);
    o["vboxEnabled"] = c.vboxEnabled;
    o["hallUrl"] = toUtf8(c.hallUrl);
    o["hallVersion"] = toUtf8(c.hallVersion);
    o["onlyHall"] = c.onlyHall;
    Json::Value apps(Json::arrayValue);
    for (const AppInfo& a : c.apps()) apps.append(appJson(a));
    o["apps"] = apps;
    return o;
}

std::wstring option(int argc, wchar_t** argv, const wchar_t* name) {
    for (int i = 1; i + 1 < argc; ++i)
        if (wcscmp(argv[i], name) == 0) return argv[i + 1];
    return std::wstring();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring out = option(argc, argv, L"--probe-out");
    const std::wstring mode = option(argc, argv, L"--probe-mode");
    const std::wstring arg = option(argc, argv, L"--probe-arg");
    if (out.empty()) return 2;

    Json::Value result(Json::objectValue);
    ChannelConfig& config = ChannelConfig::instance();
    if (mode == L"update") {
        result["result"] = config.update();
        result["record"] = recordJson(config);
        AppInfo found;
        result["found"] = config.findApp(arg, found);
        result["foundId"] = toUtf8(found.id);
    } else if (mode == L"fetch") {
        result["result"] = config.fetchChannelConfig();
        result["record"] = recordJson(config);
    } else if (mode == L"apk") {
        AppInfo app;
        result["result"] = config.fetchApkConfig(arg, app);
        result["app"] = appJson(app);
    } else if (mode == L"stat") {
        sendStatAction(StatAction::LodStart);
        result["result"] = true;
    } else {
        return 3;
    }

    Json::StreamWriterBuilder writer;
    writer["emitUTF8"] = true;
    const std::string text = Json::writeString(writer, result);
    FILE* file = _wfopen(out.c_str(), L"wb");
    if (!file) return 4;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written ? 0 : 4;
}
