#include "services/web_hosts.h"

#include "services/loader_env.h"
#include "toolkit/string_util.h"

namespace {

struct HostRow {
    WebHost host;
    const wchar_t* key;
    const wchar_t* address;
};

const HostRow kHosts[] = {
    {WebHost::Stat, L"stat_host", L"http://stat.tarvo.com"},
    {WebHost::Product, L"product_host", L"http://www.tarvo.com"},
    {WebHost::Market, L"market_host", L"http://market.orvek.com"},
    {WebHost::MarketDown, L"market_down_host", L"http://down.orvek.com"},
    {WebHost::MarketStat, L"market_stat_host", L"http://stat.orvek.com"},
    {WebHost::Www, L"www_host", L"http://www.orvek.com"},
    {WebHost::Cdn, L"cdn_host", L"http://cdn.orvek.com"},
};

const HostRow& row(WebHost host) {
    for (const HostRow& r : kHosts)
        if (r.host == host) return r;
    return kHosts[0];
}

}  // namespace

const wchar_t* webHostKey(WebHost host) { return row(host).key; }

const wchar_t* webHostDefault(WebHost host) { return row(host).address; }

std::wstring webHostAddress(WebHost host) {
    const HostRow& r = row(host);
    std::wstring value = DevSettings::getInstance()->properties.get(r.key);
    trim(value, L" \t");
    trimRight(value, L"/");
    return value.empty() ? std::wstring(r.address) : value;
}
