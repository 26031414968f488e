// Skin downloads against the fixture web server on 127.0.0.1: the deadline, the
// size cap, the address rule, no partial files, and the adapter's reads, POST
// and network rule.
#include <winsock2.h>

#include "app/ui/skin_download.h"

#include <gtest/gtest.h>
#include <iphlpapi.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "app/seams.h"
#include "app/ui/images.h"
#include "app/ui/ui_test_util.h"
#include "testing/support/test_support.h"

namespace {

bool networkUp() { return true; }
bool networkDown() { return false; }

// The fixture server over a folder holding slide.png; every case puts a query
// of its own on its address (the system's cache keeps copies).
class SkinDownload : public ::testing::Test {
protected:
    void SetUp() override {
        setNetworkCheckForTests(networkUp);
        CopyFileW(uitest::picture(L"slide.png").c_str(), root_.file(L"slide.png").c_str(), FALSE);
        ASSERT_TRUE(tst::readFile(root_.file(L"slide.png"), slide_));
        ASSERT_TRUE(server_.start({"/usr/bin/python3", tst::testingDirUnix() + "/webserver/server.py", "--root",
                                   tst::unixPath(root_.path()), "--lifetime", "110"},
                                  120));
    }
    void TearDown() override {
        server_.stop();
        setNetworkCheckForTests(nullptr);
    }

    std::wstring url(const std::wstring& path) {
        const wchar_t* sep = path.find(L'?') == std::wstring::npos ? L"?case=" : L"&case=";
        return L"http://127.0.0.1:" + std::to_wstring(server_.port()) + path + sep + std::to_wstring(++serial_);
    }
    std::string serverFile(const wchar_t* name) {
        std::string text;
        tst::readFile(server_.folder() + L"\\" + name, text);
        return text;
    }
    // Nothing exists at path and nothing holds it open.
    static bool freePath(const std::wstring& path) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        DeleteFileW(path.c_str());
        return true;
    }

    tst::TempDir root_{L"skinroot"};
    tst::TempDir out_{L"skinout"};
    tst::LinuxProcess server_;
    std::string slide_;
    int serial_ = 0;
};

struct Row {
    const wchar_t* path;
    DWORD timeoutMs;
    bool ok;
    enum Body { Slide, Page, None } body;
    DWORD minMs, maxMs;
};

TEST_F(SkinDownload, AddressTable) {
    const Row rows[] = {
        {L"/files/slide.png", 5000, true, Row::Slide, 0, 1000},
        {L"/chunked/slide.png", 5000, true, Row::Slide, 0, 2000},
        {L"/redirect/files/slide.png", 5000, true, Row::Slide, 0, 2000},
        {L"/status/404", 5000, false, Row::None, 0, 1000},
        {L"/status/500", 5000, false, Row::None, 0, 1000},
        {L"/html", 5000, true, Row::Page, 0, 2000},
        {L"/slow/slide.png?chunk=4096&pause=20", 5000, true, Row::Slide, 0, 4000},
        {L"/slow/slide.png?chunk=16&pause=200", 2000, false, Row::None, 2000, 3500},
        {L"/stall", 2000, false, Row::None, 2000, 3500},
        {L"/truncated", 5000, false, Row::None, 0, 2000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(tst::narrow(r.path));
        const std::wstring path = out_.file(L"pic.png");
        uitest::LogTail log;
        const std::wstring address = url(r.path);
        const DWORD start = GetTickCount();
        const bool ok = downloadUrlToFile(address, out_.path(), path, r.timeoutMs);
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(r.ok, ok);
        EXPECT_GE(elapsed + 50, r.minMs);  // tick granularity
        EXPECT_LE(elapsed, r.maxMs);
        std::string body;
        switch (r.body) {
        case Row::Slide:
            ASSERT_TRUE(tst::readFile(path, body));
            EXPECT_TRUE(body == slide_) << body.size() << " bytes";
            EXPECT_TRUE(isLoadablePicture(path));
            break;
        case Row::Page:
            ASSERT_TRUE(tst::readFile(path, body));
            EXPECT_NE(std::string::npos, body.find("<html>"));
            EXPECT_FALSE(isLoadablePicture(path));
            break;
        case Row::None:
            EXPECT_TRUE(freePath(path));
            EXPECT_NE(std::string::npos, log.text().find("picture download failed: " + tst::narrow(address)))
                << log.text();
            break;
        }
        DeleteFileW(path.c_str());
    }
}

SIZE_T pagefileUsage() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

TEST_F(SkinDownload, SizeCapStopsHugeBodies) {
    const SIZE_T before = pagefileUsage();
    for (const wchar_t* length : {L"1", L"0"}) {
        SCOPED_TRACE(tst::narrow(length));
        const std::wstring path = out_.file(L"huge.png");
        const DWORD start = GetTickCount();
        EXPECT_FALSE(downloadUrlToFile(url(std::wstring(L"/huge?bytes=67108864&length=") + length), out_.path(),
                                       path, 5000));
        // 8 MiB over the loopback takes well under a second; 64 MiB would not.
        EXPECT_LT(GetTickCount() - start, 4000u);
        EXPECT_TRUE(freePath(path));
    }
    const SIZE_T after = pagefileUsage();
    EXPECT_LT(after > before ? after - before : 0, SIZE_T(32) * 1024 * 1024);
    // A raised cap lets the same body through.
    const std::wstring path = out_.file(L"big.png");
    EXPECT_TRUE(downloadUrlToFile(url(L"/huge?bytes=9437184&length=1"), out_.path(), path, 10000,
                                  16u * 1024 * 1024));
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(9437184u, data.nFileSizeLow);
}

TEST_F(SkinDownload, ClosedPortFailsAtOnce) {
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    WSACleanup();

    const std::wstring path = out_.file(L"closed.png");
    const DWORD start = GetTickCount();
    EXPECT_FALSE(downloadUrlToFile(L"http://127.0.0.1:" + std::to_wstring(ntohs(addr.sin_port)) + L"/x.png",
                                   out_.path(), path, 5000));
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_TRUE(freePath(path));
}

TEST_F(SkinDownload, RefusedAddressesMakeNothing) {
    const std::wstring port = std::to_wstring(server_.port());
    const std::wstring longAddress = L"http://127.0.0.1:" + port + L"/files/" + std::wstring(2049, L'a');
    const std::wstring addresses[] = {
        L"file:///C:/windows/win.ini",
        L"C:\\windows\\win.ini",
        L"\\\\127.0.0.1\\share\\x",
        L"ftp://127.0.0.1/x",
        L"http://127.0.0.1:" + port + L"/files/slide png",
        L"http://127.0.0.1:" + port + L"/files/slide.png\r\nX: 1",
        longAddress.substr(0, 2049),
    };
    const std::wstring folder = out_.file(L"a\\b");
    for (const std::wstring& address : addresses) {
        SCOPED_TRACE(tst::narrow(address.substr(0, 60)));
        uitest::LogTail log;
        const DWORD start = GetTickCount();
        EXPECT_FALSE(downloadUrlToFile(address, folder, folder + L"\\p.png", 5000));
        EXPECT_LT(GetTickCount() - start, 200u);
        std::string logged = tst::narrow(address);
        std::replace(logged.begin(), logged.end(), '\r', '?');
        std::replace(logged.begin(), logged.end(), '\n', '?');
        EXPECT_TRUE(log.hasLine("picture download refused: " + logged)) << log.text().substr(0, 200);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(out_.file(L"a").c_str()));
    }
    // The same addresses through the adapter itself.
    CUrlMonToFileAdapter* adapter = new CUrlMonToFileAdapter(INVALID_HANDLE_VALUE);
    adapter->AddRef();
    EXPECT_FALSE(adapter->download(L"file:///C:/windows/win.ini", nullptr, 0, 1000));
    adapter->Release();
    EXPECT_TRUE(isAcceptedDownloadAddress(L"HTTPS://127.0.0.1/x"));
    EXPECT_TRUE(isAcceptedDownloadAddress(longAddress.substr(0, 2048)));
    EXPECT_EQ("", serverFile(L"requests.log"));
}

TEST_F(SkinDownload, NetworkDownMakesNoRequest) {
    setNetworkCheckForTests(networkDown);
    const std::wstring path = out_.file(L"down.png");
    const DWORD start = GetTickCount();
    EXPECT_FALSE(downloadUrlToFile(url(L"/files/slide.png"), out_.path(), path, 5000));
    EXPECT_LT(GetTickCount() - start, 200u);
    EXPECT_TRUE(freePath(path));
    EXPECT_EQ("", serverFile(L"requests.log"));
}

TEST_F(SkinDownload, MissingFoldersAreMadeAndFilesInTheWayFail) {
    const std::wstring folder = out_.file(L"one\\two");
    const std::wstring path = folder + L"\\slide.png";
    EXPECT_TRUE(downloadUrlToFile(url(L"/files/slide.png"), folder, path, 5000));
    std::string body;
    EXPECT_TRUE(tst::readFile(path, body));
    EXPECT_TRUE(body == slide_);

    // A file standing where the folder should be.
    ASSERT_TRUE(tst::writeFile(out_.file(L"blocked"), "x"));
    EXPECT_FALSE(downloadUrlToFile(url(L"/files/slide.png"), out_.file(L"blocked"),
                                   out_.file(L"blocked\\slide.png"), 5000));
    std::string kept;
    EXPECT_TRUE(tst::readFile(out_.file(L"blocked"), kept));
    EXPECT_EQ("x", kept);
}

std::atomic<int> g_timerTicks{0};
void CALLBACK countTick(HWND, UINT, UINT_PTR, DWORD) { ++g_timerTicks; }

TEST_F(SkinDownload, MessagesAreDispatchedButNeverExtendTheDeadline) {
    g_timerTicks = 0;
    UINT_PTR timer = SetTimer(nullptr, 0, 100, countTick);
    ASSERT_NE(0u, timer);
    const std::wstring path = out_.file(L"drip.png");
    const DWORD start = GetTickCount();
    EXPECT_FALSE(downloadUrlToFile(url(L"/slow/slide.png?chunk=16&pause=200"), out_.path(), path, 2000));
    const DWORD elapsed = GetTickCount() - start;
    KillTimer(nullptr, timer);
    EXPECT_GT(g_timerTicks.load(), 0);
    EXPECT_GE(elapsed + 50, 2000u);
    EXPECT_LE(elapsed, 3500u);
    EXPECT_TRUE(freePath(path));
}

TEST_F(SkinDownload, PostCarriesItsBodyAndContentType) {
    const std::string body = "a=1&b=2&c=three";
    ASSERT_EQ(15u, body.size());
    const std::wstring file = out_.file(L"echo.bin");
    for (bool post : {true, false}) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        CUrlMonToFileAdapter* adapter = new CUrlMonToFileAdapter(h);
        adapter->AddRef();
        EXPECT_TRUE(post ? adapter->download(url(L"/echo"), body.data(), 15, 5000)
                         : adapter->download(url(L"/echo"), nullptr, 0, 5000));
        EXPECT_EQ(200u, adapter->getResponseCode());
        adapter->Release();
        std::string answer;
        tst::readFile(file, answer);
        EXPECT_EQ(post ? body : std::string(), answer);
    }
    EXPECT_EQ("POST\tapplication/x-www-form-urlencoded\t" + body + "\nGET\t\t\n", serverFile(L"posts.log"));
}

// A stream that hands out `left` bytes and records what each read asked for.
class FakeStream : public IStream {
public:
    explicit FakeStream(ULONGLONG bytes) : left(bytes) {}
    std::vector<ULONG> asked;
    ULONGLONG left;

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IStream || riid == IID_ISequentialStream) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override {
        asked.push_back(count);
        const ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(count, left));
        memset(buffer, 'd', n);
        left -= n;
        if (read) *read = n;
        return n == count ? S_OK : E_PENDING;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
    ULONG refs = 1;
};

TEST(SkinAdapter, ReadsFollowTheChunkRuleAndTheCap) {
    const DWORD MiB = 1024 * 1024;
    const struct {
        DWORD available;
        DWORD cap;
        std::vector<ULONG> asked;
        HRESULT result;
        DWORD written;
    } cases[] = {
        {100, kDownloadMaxBytes, {4096}, S_OK, 100},
        {20 * MiB, 64 * MiB, {10 * MiB, 10 * MiB, 4096}, S_OK, 20 * MiB},
        // The default cap: one byte past what is left shows the cap was passed.
        {20 * MiB, kDownloadMaxBytes, {8 * MiB + 1}, E_ABORT, 0},
        {8 * MiB, kDownloadMaxBytes, {8 * MiB, 1}, S_OK, 8 * MiB},
    };
    tst::TempDir dir(L"adapter");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.available);
        const std::wstring path = dir.file(L"out.bin");
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        FakeStream stream(c.available);
        STGMEDIUM medium = {};
        medium.tymed = TYMED_ISTREAM;
        medium.pstm = &stream;
        CUrlMonToFileAdapter* adapter = new CUrlMonToFileAdapter(h, c.cap);
        adapter->AddRef();
        EXPECT_EQ(c.result, adapter->OnDataAvailable(BSCF_FIRSTDATANOTIFICATION, c.available, nullptr, &medium));
        EXPECT_EQ(c.asked, stream.asked);
        EXPECT_EQ(c.result == E_ABORT, adapter->capExceeded());
        adapter->OnStopBinding(c.result, nullptr);
        adapter->Release();
        EXPECT_EQ(1u, stream.refs);  // the adapter let go of the stream
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(c.written, data.nFileSizeLow);
    }
}

TEST(SkinAdapter, NoWriteAfterTheBindingStopped) {
    tst::TempDir dir(L"adapter");
    const std::wstring path = dir.file(L"late.bin");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CUrlMonToFileAdapter* adapter = new CUrlMonToFileAdapter(h);
    adapter->AddRef();
    adapter->OnStopBinding(E_ABORT, nullptr);
    FakeStream stream(5000);
    STGMEDIUM medium = {};
    medium.tymed = TYMED_ISTREAM;
    medium.pstm = &stream;
    EXPECT_EQ(S_OK, adapter->OnDataAvailable(BSCF_FIRSTDATANOTIFICATION, 5000, nullptr, &medium));
    EXPECT_TRUE(stream.asked.empty());
    adapter->Release();
    // The file was closed when the binding stopped: it can be deleted at once.
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(SkinAdapter, NetworkRuleIgnoresEmptyAndZeroGateways) {
    IP_ADAPTER_INFO list[3] = {};
    list[0].Next = &list[1];
    strcpy(list[0].GatewayList.IpAddress.String, "");
    strcpy(list[1].GatewayList.IpAddress.String, "0.0.0.0");
    EXPECT_FALSE(anyAdapterHasGateway(&list[0]));
    EXPECT_FALSE(anyAdapterHasGateway(nullptr));
    list[1].Next = &list[2];
    strcpy(list[2].GatewayList.IpAddress.String, "192.0.2.1");
    EXPECT_TRUE(anyAdapterHasGateway(&list[0]));
}

TEST(SkinAdapter, ComIdentityAndCounts) {
    CUrlMonToFileAdapter* adapter = new CUrlMonToFileAdapter(INVALID_HANDLE_VALUE);
    EXPECT_EQ(0u, adapter->AddRef());  // the count before the increment
    IUnknown* unknown = nullptr;
    IHttpNegotiate* negotiate = nullptr;
    IAuthenticate* authenticate = nullptr;
    IBindStatusCallback* callback = nullptr;
    ASSERT_EQ(S_OK, adapter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    ASSERT_EQ(S_OK, adapter->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&negotiate)));
    ASSERT_EQ(S_OK, adapter->QueryInterface(IID_IAuthenticate, reinterpret_cast<void**>(&authenticate)));
    ASSERT_EQ(S_OK, adapter->QueryInterface(IID_IBindStatusCallback, reinterpret_cast<void**>(&callback)));
    EXPECT_EQ(static_cast<IUnknown*>(callback), unknown);
    IUnknown* other = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOINTERFACE, adapter->QueryInterface(IID_IStream, reinterpret_cast<void**>(&other)));
    EXPECT_EQ(nullptr, other);

    DWORD flags = 0;
    BINDINFO info = {};
    info.cbSize = sizeof(info);
    info.dwBindVerb = 7;
    EXPECT_EQ(S_OK, callback->GetBindInfo(&flags, &info));
    EXPECT_EQ(0x200083u, flags);
    EXPECT_EQ(sizeof(info), info.cbSize);
    EXPECT_EQ(static_cast<DWORD>(BINDVERB_GET), info.dwBindVerb);
    EXPECT_EQ(E_INVALIDARG, callback->GetBindInfo(nullptr, &info));
    LONG priority = 5;
    EXPECT_EQ(S_OK, callback->GetPriority(&priority));
    EXPECT_EQ(0, priority);
    EXPECT_EQ(E_INVALIDARG, callback->GetPriority(nullptr));
    LPWSTR headers = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(S_OK, negotiate->BeginningTransaction(L"http://x/", L"", 0, &headers));
    EXPECT_EQ(nullptr, headers);  // a GET adds no header
    EXPECT_EQ(E_POINTER, negotiate->BeginningTransaction(L"http://x/", L"", 0, nullptr));
    HWND window = reinterpret_cast<HWND>(1);
    LPWSTR user = reinterpret_cast<LPWSTR>(1), password = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(S_OK, authenticate->Authenticate(&window, &user, &password));
    EXPECT_EQ(nullptr, window);
    EXPECT_EQ(nullptr, user);
    EXPECT_EQ(nullptr, password);

    // Five references: the creator's and the four interfaces.
    callback->Release();
    authenticate->Release();
    negotiate->Release();
    EXPECT_EQ(1u, unknown->Release());
    EXPECT_EQ(0u, adapter->Release());
}

TEST(SkinFolders, CreateDirectoryPath) {
    tst::TempDir dir(L"folders");
    EXPECT_FALSE(createDirectoryPath(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(createDirectoryPath(std::wstring()));
    EXPECT_TRUE(createDirectoryPath(dir.path()));
    for (const wchar_t* tail : {L"a\\b", L"c\\d\\"}) {
        SCOPED_TRACE(tst::narrow(tail));
        EXPECT_TRUE(createDirectoryPath(dir.file(tail)));
        std::wstring inner = dir.file(tail);
        if (inner.back() == L'\\') inner.pop_back();
        const DWORD a = GetFileAttributesW(inner.c_str());
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, a);
        EXPECT_TRUE(a & FILE_ATTRIBUTE_DIRECTORY);
    }
    ASSERT_TRUE(tst::writeFile(dir.file(L"file"), "x"));
    EXPECT_FALSE(createDirectoryPath(dir.file(L"file")));
    EXPECT_FALSE(createDirectoryPath(dir.file(L"file\\sub")));
}

}  // namespace
