#include "platform/http/http_client.h"

#include <gtest/gtest.h>

#include "testing/support/test_support.h"

using namespace platform::http;

TEST(HttpUrl, ParseTable) {
    struct { const wchar_t* url; bool ok; const wchar_t* host; unsigned port; const char* target; } cases[] = {
        {L"http://h", true, L"h", 80, "/"},
        {L"http://h:8080/a?b=1", true, L"h", 8080, "/a?b=1"},
        {L"HTTP://h/x", true, L"h", 80, "/x"},
        {L"http://h/a b\\c", true, L"h", 80, "/a%20b\\c"},
        {L"http://h/%41|x#frag", true, L"h", 80, "/%41|x"},
        {L"http://h/\u4e2d", true, L"h", 80, "/%E4%B8%AD"},
        {L"http://h/a\r\nX: y", true, L"h", 80, "/a%0D%0AX:%20y"},
        {L"http://h?q", true, L"h", 80, "/?q"},
        {L"https://h/", false, L"", 0, ""},
        {L"ftp://h/", false, L"", 0, ""},
        {L"http:///x", false, L"", 0, ""},
        {L"http://u:p@h/", false, L"", 0, ""},
        {L"http://h:0/", false, L"", 0, ""},
        {L"http://h:65536/", false, L"", 0, ""},
        {L"http://h:8x/", false, L"", 0, ""},
        {L"http://h:/", false, L"", 0, ""},
    };
    for (auto& c : cases) {
        Url u;
        ASSERT_EQ(parseUrl(c.url, u), c.ok) << c.url;
        if (!c.ok) continue;
        EXPECT_EQ(u.host, c.host) << c.url;
        EXPECT_EQ(u.port, c.port) << c.url;
        EXPECT_EQ(u.target, c.target) << c.url;
    }
}

TEST(HttpUrl, ResolveReferenceTable) {
    const wchar_t* base = L"http://a/b/c/d;p?q";
    struct { const wchar_t* ref; const wchar_t* expected; } cases[] = {
        {L"g", L"http://a/b/c/g"}, {L"./g", L"http://a/b/c/g"}, {L"g/", L"http://a/b/c/g/"},
        {L"/g", L"http://a/g"}, {L"//g", L"http://g"}, {L"?y", L"http://a/b/c/d;p?y"},
        {L"g?y", L"http://a/b/c/g?y"}, {L"#s", L"http://a/b/c/d;p?q"}, {L"..", L"http://a/b/"},
        {L"../g", L"http://a/b/g"}, {L"../..", L"http://a/"}, {L"../../../g", L"http://a/g"},
        {L"/./g", L"http://a/g"}, {L"g/../h", L"http://a/b/c/h"}, {L"http://x/y", L"http://x/y"},
        {L"https://x/y", L"https://x/y"},
    };
    for (auto& c : cases) EXPECT_EQ(resolveReference(base, c.ref), c.expected) << c.ref;
}

class HttpServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new tst::LinuxProcess();
        ASSERT_TRUE(server_->start({"/usr/bin/python3", tst::testingDirUnix() + "/http_fixture/server.py"}, 300));
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    std::wstring url(const std::wstring& path) {
        return L"http://127.0.0.1:" + std::to_wstring(server_->port()) + path;
    }
    std::string requestLog() {
        std::string s;
        tst::readFile(server_->folder() + L"\\requests.log", s);
        return s;
    }
    static tst::LinuxProcess* server_;
};
tst::LinuxProcess* HttpServer::server_ = nullptr;

TEST_F(HttpServer, BodiesAreReadWholeInEveryFraming) {
    struct { const wchar_t* path; int status; const char* body; } cases[] = {
        {L"/ok", 200, "{\"a\": 1, \"b\": \"x\"}"}, {L"/chunked", 200, "hello world"},
        {L"/close", 200, "until the end"}, {L"/404", 404, "missing"}, {L"/500", 500, "broken"},
        {L"/empty200", 200, ""},
    };
    for (auto& c : cases) {
        Response r = get(url(c.path));
        EXPECT_TRUE(r.ok) << c.path << " error " << r.error;
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.body, c.body) << c.path;
    }
}

TEST_F(HttpServer, RedirectsAreFollowedToTheFinalAnswer) {
    Response a = get(url(L"/r301"));
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "{\"a\": 1, \"b\": \"x\"}");
    Response c = get(url(L"/r302rel"));
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.status, 200);
    EXPECT_NE(requestLog().find("GET /ok?from=rel HTTP/1.1"), std::string::npos);
}

TEST_F(HttpServer, RedirectFailures) {
    for (const wchar_t* path : {L"/loop", L"/tohttps"}) {
        Response r = get(url(path));
        EXPECT_FALSE(r.ok) << path;
    }
}

TEST_F(HttpServer, FailuresComeQuickly) {
    DWORD start = GetTickCount();
    EXPECT_FALSE(get(url(L"/drop")).ok);
    // A port where nothing listens: the server's own port plus one is very likely free.
    EXPECT_FALSE(get(L"http://127.0.0.1:1/").ok);
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_FALSE(get(url(L"/big")).ok);
    EXPECT_FALSE(get(L"https://127.0.0.1/").ok);
}

TEST_F(HttpServer, WireFormAndHeaders) {
    Response r = get(url(L"/Stat?action=x&v=a b|c%41&u=\u4e2d#frag"));
    EXPECT_TRUE(r.ok);
    std::string log = requestLog();
    EXPECT_NE(log.find("GET /Stat?action=x&v=a%20b|c%41&u=%E4%B8%AD HTTP/1.1\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("User-Agent: TarvoLoader\r\n"), std::string::npos);
    EXPECT_NE(log.find("Accept: */*\r\n"), std::string::npos);
    EXPECT_EQ(log.find("Cookie:"), std::string::npos);
}

TEST_F(HttpServer, TheWholeCallIsBounded) {
    Options o;
    o.totalTimeoutMs = 3000;
    DWORD start = GetTickCount();
    Response r = get(url(L"/trickle"), o);
    DWORD took = GetTickCount() - start;
    EXPECT_FALSE(r.ok);
    EXPECT_GE(took, 2500u);
    EXPECT_LT(took, 6000u);
}

TEST_F(HttpServer, SilentServerEndsAfterTheStepTimeout) {
    DWORD start = GetTickCount();
    Response r = get(url(L"/hang"));
    DWORD took = GetTickCount() - start;
    EXPECT_FALSE(r.ok);
    EXPECT_GE(took, 9500u);
    EXPECT_LE(took, 12000u);
}
