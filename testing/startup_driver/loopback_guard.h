// The test drivers act on the machine (mutexes, data folders, the log, the web
// hosts), so they run only from a folder with offline developer settings
// whose web hosts all lie on 127.0.0.1.
#pragma once

#include <string>

#include "services/loader_env.h"
#include "services/web_hosts.h"
#include "toolkit/string_util.h"

namespace roadtest {

inline bool onLoopback(const std::wstring& address) {
    const std::wstring base = L"http://127.0.0.1";
    return address.compare(0, base.size(), base) == 0 &&
           (address.size() == base.size() || address[base.size()] == L':' || address[base.size()] == L'/');
}

// Why a driver may not run here; empty when it may.
inline std::string unsafeDriverSetting() {
    if (isOnlineMode()) return "no offline developer settings beside the driver";
    const WebHost hosts[] = {WebHost::Stat, WebHost::Product, WebHost::Market, WebHost::MarketDown,
                             WebHost::MarketStat, WebHost::Www, WebHost::Cdn};
    for (WebHost h : hosts) {
        if (!onLoopback(webHostAddress(h))) return "web host " + wideToUtf8(webHostKey(h)) + " is not on 127.0.0.1";
    }
    return std::string();
}

}  // namespace roadtest
