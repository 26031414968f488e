#pragma once

#include <string>

// The web hosts the loader talks to. Each is a base address "http://host[:port]"
// without a trailing slash: a built-in default, overridden by the developer
// settings file (DevSettings) when it has the host's key.
enum class WebHost {
    Stat,        // statistics host, key "stat_host"
    Product,     // product web host (channel documents), key "product_host"
    Market,      // market host (soft information), key "market_host"
    MarketDown,  // market download host, key "market_down_host"
    MarketStat,  // market statistics host, key "market_stat_host"
    Www,         // maker's web host, key "www_host"
    Cdn,         // CDN host, key "cdn_host"
};

// The base address; read afresh on every call.
std::wstring webHostAddress(WebHost host);

// The developer settings key and the built-in default of a host.
const wchar_t* webHostKey(WebHost host);
const wchar_t* webHostDefault(WebHost host);
