#include "installer/device_packages.h"

#include <cerrno>

#include "installer/adb/adb_client.h"
#include "installer/app_list.h"
#include "installer/engine_context.h"
#include "services/install_paths.h"
#include "toolkit/string_util.h"

namespace {

bool isVBoxWithoutPlayer(const Context& context) {
    return context.engine == EngineKind::VBox && !isPlayerInstalled();
}

}  // namespace

bool parseListAppId(const std::wstring& appId, uint32_t& out) {
    if (appId.empty() || appId.size() > 10) return false;
    uint64_t value = 0;
    for (wchar_t c : appId) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (uint64_t)(c - L'0');
    }
    if (value < 1 || value > 0xFFFFFFFFull) return false;
    out = (uint32_t)value;
    return true;
}

bool isAppInstalled(Context& context, const std::wstring& appId) {
    if (isVBoxWithoutPlayer(context)) return false;
    std::wstring package;
    LocalAppList apps;
    AppInfo app;
    if (apps.load() && apps.find(appId, app) >= 0) {
        package = app.package;
    } else {
        // Entries that the APK installer records carry appId 0: only a real
        // number may match.
        uint32_t wanted = 0;
        if (parseListAppId(appId, wanted)) {
            AppListStore store(context);
            AppListMap entries;
            store.read(entries);
            for (const auto& entry : entries) {
                if (entry.second.appId == wanted) {
                    package = utf8ToWide(entry.first);
                    break;
                }
            }
        }
    }
    if (package.empty()) return false;
    if (!context.isRunning()) return true;
    return isPackageInstalled(context, package);
}

bool isPackageInstalled(Context& context, const std::wstring& package) {
    if (isVBoxWithoutPlayer(context)) return false;
    if (!context.isRunning()) {
        AppListStore store(context);
        AppListMap entries;
        store.read(entries);
        return entries.count(wideToUtf8(package)) > 0;
    }
    std::string reply;
    {
        const int savedErrno = errno;
        adb::AdbClient client(wideToAnsi(context.getAdbSerial()).c_str());
        client.query("shell:pm \"list\" \"packages\" \"-f\"", reply, adb::settings().requestTimeoutMs.load());
        errno = savedErrno;
    }
    return deviceReplyListsPackage(utf8ToWide(reply), package);
}

bool deviceReplyListsPackage(const std::wstring& reply, const std::wstring& package) {
    if (reply.find(L"com.") == std::wstring::npos) return false;
    const std::wstring wanted = toLowerCopy(package);
    // adbd runs a shell command without a terminal since Android 7: lines may
    // end in "\n" alone.
    std::wstring::size_type start = 0;
    while (start <= reply.size()) {
        std::wstring::size_type end = reply.find(L'\n', start);
        if (end == std::wstring::npos) end = reply.size();
        std::wstring line = reply.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        toLowerInPlace(line);
        if (line.empty() || line.find(L"package:") == std::wstring::npos) continue;
        replaceAll(line, L"package:", L"");
        trim(line, L" \t\r\n");
        if (line.empty()) continue;
        // Paths since Android 11 hold "=" themselves; the package never does.
        const std::wstring::size_type equals = line.rfind(L'=');
        if (equals == std::wstring::npos || equals == 0) continue;
        if (line.substr(equals + 1) == wanted) return true;
    }
    return false;
}
