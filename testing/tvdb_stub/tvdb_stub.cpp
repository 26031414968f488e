// Stand-in for the product's adb server. Started as "adb fork-server server", it
// listens on 127.0.0.1:$TVDB_STANDIN_PORT (default 52817) and acknowledges on its
// standard output as $TVDB_STANDIN_MODE says:
//   ok          "OK\n" once listening          split   "OK", 300 ms, "\n"
//   nack        "NO\n", then exits             quiet-exit  exits without writing
//   ok-exit     "OK\n", then exits unserved    hang    never writes (60 s)
// It serves "host:version" (31), "host:kill", transport requests and "shell:" (echo).
// Its command line, pid and every request (with the time in ms since 1970) are
// appended to $TVDB_STANDIN_LOG. It exits after 60 s without connections.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring env(const wchar_t* name, const wchar_t* fallback) {
    wchar_t buf[1024];
    DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    if (n == 0 || n >= 1024) return fallback;
    return std::wstring(buf, n);
}

unsigned long long nowMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER v;
    v.LowPart = ft.dwLowDateTime;
    v.HighPart = ft.dwHighDateTime;
    return (v.QuadPart - 116444736000000000ULL) / 10000ULL;
}

void logLine(const std::string& line) {
    std::wstring path = env(L"TVDB_STANDIN_LOG", L"");
    if (path.empty()) return;
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\n";
    DWORD done = 0;
    WriteFile(h, text.data(), (DWORD)text.size(), &done, nullptr);
    CloseHandle(h);
}

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

void writeOut(const char* text) {
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &done, nullptr);
}

bool recvExact(SOCKET s, char* p, int n) {
    while (n > 0) {
        int got = recv(s, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= got;
    }
    return true;
}

bool readRequest(SOCKET s, std::string& service) {
    char head[5] = {};
    if (!recvExact(s, head, 4)) return false;
    int length = (int)strtol(head, nullptr, 16);
    if (length <= 0 || length > 4096) return false;
    service.assign(length, '\0');
    if (!recvExact(s, &service[0], length)) return false;
    logLine("request " + std::to_string(nowMs()) + " " + service);
    return true;
}

void sendText(SOCKET s, const std::string& text) { send(s, text.data(), (int)text.size(), 0); }

// Serves one connection; returns false when the server must stop.
bool serve(SOCKET s) {
    DWORD timeout = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string service;
    while (readRequest(s, service)) {
        if (service == "host:version") {
            sendText(s, "OKAY0004001f");
            break;
        }
        if (service == "host:kill") {
            sendText(s, "OKAY");
            return false;
        }
        if (service.compare(0, 15, "host:transport:") == 0 || service == "host:transport-any" ||
            service == "host:transport-usb" || service == "host:transport-local") {
            sendText(s, "OKAY");
            continue;
        }
        if (service.compare(0, 6, "shell:") == 0) {
            sendText(s, "OKAY" + service.substr(6));
            break;
        }
        sendText(s, "FAIL0014unknown host service");
        break;
    }
    return true;
}

}  // namespace

int wmain() {
    std::wstring commandLine = GetCommandLineW();
    logLine("start " + std::to_string(nowMs()));
    logLine("cmdline " + utf8(commandLine));
    logLine("pid " + std::to_string(GetCurrentProcessId()));
    if (commandLine != L"adb fork-server server") return 2;

    std::wstring mode = env(L"TVDB_STANDIN_MODE", L"ok");
    int port = _wtoi(env(L"TVDB_STANDIN_PORT", L"52817").c_str());
    if (mode == L"quiet-exit") return 0;
    if (mode == L"nack") {
        writeOut("NO\n");
        return 0;
    }
    if (mode == L"hang") {
        Sleep(60000);
        return 0;
    }

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((u_short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0) {
        logLine("bind-failed " + std::to_string(WSAGetLastError()));
        return 3;
    }
    logLine("listening " + std::to_string(port));

    if (mode == L"split") {
        writeOut("OK");
        Sleep(300);
        writeOut("\n");
    } else {
        writeOut("OK\n");
    }
    logLine("ack " + std::to_string(nowMs()));
    if (mode == L"ok-exit") {
        closesocket(listener);
        return 0;
    }

    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener, &set);
        timeval idle = {60, 0};
        if (select(0, &set, nullptr, nullptr, &idle) <= 0) break;
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) break;
        bool goOn = serve(s);
        shutdown(s, SD_BOTH);
        closesocket(s);
        if (!goOn) break;
    }
    closesocket(listener);
    logLine("exit");
    return 0;
}
