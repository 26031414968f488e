// The product's HTTP GET, on WinINet: one call gives the transport result, the final
// status and the body. It never throws and never leaves a handle open.
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>

namespace platform {
namespace http {

struct Options {
    DWORD stepTimeoutMs = 10000;   // connect, send and each receive wait
    DWORD totalTimeoutMs = 30000;  // the whole call, redirects included
    size_t maxBodyBytes = 16u * 1024 * 1024;
    int maxRedirects = 10;
};

struct Response {
    bool ok = false;       // a final answer arrived and its body was read whole
    DWORD error = 0;       // the failing call's error, when !ok
    int status = 0;        // the final status
    std::string body;
};

Response get(const std::wstring& url, const Options& options = Options());

// Pieces of an "http://host[:port][target]" address; false for anything else.
struct Url {
    std::wstring host;
    unsigned short port = 80;
    std::string target;  // the request target as sent: UTF-8, unsendable bytes escaped, no fragment
};
bool parseUrl(const std::wstring& url, Url& out);

// A Location answer resolved against the address it came from (RFC 3986, section 5).
std::wstring resolveReference(const std::wstring& base, const std::wstring& reference);

}  // namespace http
}  // namespace platform
