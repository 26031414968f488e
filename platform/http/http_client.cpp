#include "platform/http/http_client.h"

#include <wininet.h>
#include <atomic>
#include <mutex>
#include <vector>

#include "toolkit/scoped_handle.h"

namespace platform {
namespace http {

namespace {

// WinINet handles have their own closer; <wininet.h> stays out of the shared header.
struct InternetHandleTraits {
    using Value = HINTERNET;
    static Value empty() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) { ::InternetCloseHandle(v); }
};
using ScopedInternetHandle = ScopedResource<InternetHandleTraits>;

std::string toUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring fromAscii(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bool startsWithNoCase(const std::wstring& s, const wchar_t* prefix) {
    size_t n = wcslen(prefix);
    return s.size() >= n && _wcsnicmp(s.c_str(), prefix, n) == 0;
}

// Only bytes that cannot stand in a request line are escaped; the URL builders
// encode values, so '%' and the rest go out as given.
std::string wireForm(const std::string& utf8) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : utf8) {
        if (c == '#') break;
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

// Closes the session when the whole call takes too long: a blocked read then ends.
class Watchdog {
public:
    Watchdog(HINTERNET session, DWORD ms)
        : session_(session), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), ms_(ms) {
        thread_.reset(CreateThread(nullptr, 0, &Watchdog::main, this, 0, nullptr));
    }
    ~Watchdog() {
        SetEvent(event_.get());
        if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
        closeSession();  // a no-op unless get() is left by an exception
    }
    // Closes the session unless the watchdog already did.
    void closeSession() {
        std::lock_guard<std::mutex> g(lock_);
        if (session_) InternetCloseHandle(session_);
        session_ = nullptr;
    }
    bool fired() const { return fired_.load(); }

private:
    static DWORD WINAPI main(LPVOID self) {
        Watchdog* w = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(w->event_.get(), w->ms_) == WAIT_TIMEOUT) {
            w->fired_ = true;
            w->closeSession();
        }
        return 0;
    }
    std::mutex lock_;
    HINTERNET session_;
    ScopedHandle event_;
    DWORD ms_;
    ScopedHandle thread_;
    std::atomic<bool> fired_{false};
};

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::wstring queryLocation(HINTERNET request) {
    DWORD size = 0;
    HttpQueryInfoW(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr);
    if (size == 0) return L"";
    std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, L'\0');
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, buf.data(), &size, &index)) return L"";
    return std::wstring(buf.data());
}

void setTimeouts(HINTERNET h, DWORD ms) {
    InternetSetOptionW(h, INTERNET_OPTION_CONNECT_TIMEOUT, &ms, sizeof ms);
    InternetSetOptionW(h, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
    InternetSetOptionW(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
    InternetSetOptionW(h, INTERNET_OPTION_DATA_SEND_TIMEOUT, &ms, sizeof ms);
    InternetSetOptionW(h, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &ms, sizeof ms);
}

}  // namespace

bool parseUrl(const std::wstring& url, Url& out) {
    if (!startsWithNoCase(url, L"http://")) return false;
    std::wstring rest = url.substr(7);
    size_t end = rest.find_first_of(L"/?#");
    std::wstring authority = rest.substr(0, end);
    std::wstring target = end == std::wstring::npos ? L"" : rest.substr(end);
    if (authority.empty() || authority.find(L'@') != std::wstring::npos) return false;
    std::wstring host = authority;
    unsigned port = 80;
    size_t colon = authority.rfind(L':');
    if (colon != std::wstring::npos) {
        host = authority.substr(0, colon);
        std::wstring digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        port = 0;
        for (wchar_t c : digits) {
            if (c < L'0' || c > L'9') return false;
            port = port * 10 + (c - L'0');
        }
        if (port == 0 || port > 65535) return false;
    }
    if (host.empty()) return false;
    for (wchar_t c : host)
        if (c <= 0x20 || c == 0x7F) return false;
    out.host = host;
    out.port = (unsigned short)port;
    out.target = wireForm(toUtf8(target));
    if (out.target.empty() || out.target[0] != '/') out.target = "/" + out.target;
    return true;
}

namespace {

// RFC 3986 5.2.4
std::wstring removeDotSegments(std::wstring in) {
    std::wstring out;
    while (!in.empty()) {
        if (in.compare(0, 3, L"../") == 0) in.erase(0, 3);
        else if (in.compare(0, 2, L"./") == 0) in.erase(0, 2);
        else if (in.compare(0, 3, L"/./") == 0) in.erase(0, 2);
        else if (in == L"/.") in = L"/";
        else if (in.compare(0, 4, L"/../") == 0 || in == L"/..") {
            in = in.size() == 3 ? L"/" : in.substr(3);
            size_t slash = out.rfind(L'/');
            out.erase(slash == std::wstring::npos ? 0 : slash);
        } else if (in == L"." || in == L"..") in.clear();
        else {
            size_t next = in.find(L'/', in[0] == L'/' ? 1 : 0);
            out += in.substr(0, next);
            in = next == std::wstring::npos ? L"" : in.substr(next);
        }
    }
    return out;
}

struct Parts {
    std::wstring scheme, authority, path, query;
    bool hasScheme = false, hasAuthority = false, hasQuery = false;
};

Parts split(const std::wstring& ref) {
    Parts p;
    std::wstring r = ref;
    size_t hash = r.find(L'#');
    if (hash != std::wstring::npos) r.erase(hash);
    size_t colon = r.find(L':');
    size_t firstDelim = r.find_first_of(L"/?");
    if (colon != std::wstring::npos && (firstDelim == std::wstring::npos || colon < firstDelim) && colon > 0) {
        p.scheme = r.substr(0, colon);
        p.hasScheme = true;
        r.erase(0, colon + 1);
    }
    if (r.compare(0, 2, L"//") == 0) {
        size_t end = r.find_first_of(L"/?", 2);
        p.authority = r.substr(2, end == std::wstring::npos ? std::wstring::npos : end - 2);
        p.hasAuthority = true;
        r = end == std::wstring::npos ? L"" : r.substr(end);
    }
    size_t q = r.find(L'?');
    if (q != std::wstring::npos) {
        p.query = r.substr(q + 1);
        p.hasQuery = true;
        r.erase(q);
    }
    p.path = r;
    return p;
}

}  // namespace

std::wstring resolveReference(const std::wstring& base, const std::wstring& reference) {
    Parts b = split(base), r = split(reference), t;
    if (r.hasScheme) {
        t = r;
        t.path = removeDotSegments(r.path);
    } else {
        t.scheme = b.scheme;
        t.hasScheme = true;
        if (r.hasAuthority) {
            t.authority = r.authority;
            t.path = removeDotSegments(r.path);
            t.query = r.query;
            t.hasQuery = r.hasQuery;
        } else {
            t.authority = b.authority;
            if (r.path.empty()) {
                t.path = b.path;
                t.query = r.hasQuery ? r.query : b.query;
                t.hasQuery = r.hasQuery || b.hasQuery;
            } else {
                if (r.path[0] == L'/') {
                    t.path = removeDotSegments(r.path);
                } else {
                    std::wstring merged;
                    if (b.path.empty()) merged = L"/" + r.path;
                    else merged = b.path.substr(0, b.path.rfind(L'/') + 1) + r.path;
                    t.path = removeDotSegments(merged);
                }
                t.query = r.query;
                t.hasQuery = r.hasQuery;
            }
        }
        t.hasAuthority = true;
    }
    std::wstring out = t.scheme + L":";
    if (t.hasAuthority) out += L"//" + t.authority;
    out += t.path;
    if (t.hasQuery) out += L"?" + t.query;
    return out;
}

Response get(const std::wstring& url, const Options& options) {
    Response res;
    Url u;
    if (!parseUrl(url, u)) {
        res.error = ERROR_INTERNET_INVALID_URL;
        return res;
    }
    HINTERNET session = InternetOpenW(L"TarvoLoader", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!session) {
        res.error = GetLastError();
        return res;
    }
    setTimeouts(session, options.stepTimeoutMs);
    const DWORD started = GetTickCount();
    Watchdog watchdog(session, options.totalTimeoutMs ? options.totalTimeoutMs : 1);

    std::wstring current = url;
    for (int hop = 0;; ++hop) {
        ScopedInternetHandle connection(InternetConnectW(session, u.host.c_str(), u.port, nullptr, nullptr,
                                                         INTERNET_SERVICE_HTTP, 0, 0));
        if (!connection) {
            res.error = GetLastError();
            break;
        }
        setTimeouts(connection.get(), options.stepTimeoutMs);
        const wchar_t* accept[] = {L"*/*", nullptr};
        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_PRAGMA_NOCACHE;
        // Declared after the connection: closed before it.
        ScopedInternetHandle request(HttpOpenRequestW(connection.get(), L"GET", fromAscii(u.target).c_str(),
                                                      nullptr, nullptr, accept, flags, 0));
        if (!request) {
            res.error = GetLastError();
            break;
        }
        setTimeouts(request.get(), options.stepTimeoutMs);
        bool sent = HttpSendRequestW(request.get(), L"Accept: */*\r\n", (DWORD)-1L, nullptr, 0) != FALSE;
        DWORD status = 0, size = sizeof status;
        if (!sent || !HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                                     nullptr)) {
            res.error = GetLastError();
            break;
        }
        res.status = (int)status;
        if (status < 100 || status > 999) {  // no status line came: the peer hung up
            res.error = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            break;
        }
        if (isRedirect(res.status)) {
            std::wstring location = queryLocation(request.get());
            request.reset();
            connection.reset();
            if (hop >= options.maxRedirects || location.empty()) {
                res.error = ERROR_HTTP_REDIRECT_FAILED;
                break;
            }
            current = resolveReference(current, location);
            if (!parseUrl(current, u)) {  // not http: https and the rest are refused
                res.error = ERROR_HTTP_REDIRECT_FAILED;
                break;
            }
            continue;
        }
        // The body, whole, within the limit. Data is taken as it arrives, so that the
        // overall limit also ends a peer that trickles.
        std::string body;
        std::vector<char> chunk(65536);
        bool readOk = true;
        for (;;) {
            if (GetTickCount() - started > options.totalTimeoutMs || watchdog.fired()) {
                readOk = false;
                res.error = ERROR_INTERNET_TIMEOUT;
                break;
            }
            DWORD avail = 0;
            if (!InternetQueryDataAvailable(request.get(), &avail, 0, 0)) {
                readOk = false;
                res.error = GetLastError();
                break;
            }
            if (avail == 0) break;
            DWORD got = 0;
            DWORD want = avail < chunk.size() ? avail : (DWORD)chunk.size();
            if (!InternetReadFile(request.get(), chunk.data(), want, &got)) {
                readOk = false;
                res.error = GetLastError();
                break;
            }
            if (got == 0) break;
            if (body.size() + got > options.maxBodyBytes) {
                readOk = false;
                res.error = ERROR_INSUFFICIENT_BUFFER;
                break;
            }
            body.append(chunk.data(), got);
        }
        request.reset();
        connection.reset();
        if (readOk && !watchdog.fired()) {
            res.ok = true;
            res.body.swap(body);
        }
        break;
    }
    if (watchdog.fired()) {
        res.ok = false;
        res.error = ERROR_INTERNET_TIMEOUT;
    }
    watchdog.closeSession();
    return res;
}

}  // namespace http
}  // namespace platform
