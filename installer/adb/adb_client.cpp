#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_print.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace adb {

Settings& settings() {
    static Settings s;
    return s;
}

namespace {

const int kMaxServiceLength = 1024;
const int kRequiredServerVersion = 31;
// Longest single wait between two looks at the stop flag.
const DWORD kStopSliceMs = 100;

thread_local const std::atomic<bool>* g_stopFlag = nullptr;

// Sleeps ms in slices; false when a stop cut it short.
bool pause(DWORD ms) {
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        if (stopRequested()) return false;
        ULONGLONG waited = GetTickCount64() - started;
        if (waited >= ms) return true;
        DWORD left = (DWORD)(ms - waited);
        Sleep(left < kStopSliceMs ? left : kStopSliceMs);
    }
}


// The socket layer needs Winsock started; nothing else in the loader starts it.
// It is never cleaned up before exit.
void ensureWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

SOCKET toSocket(SocketFd fd) { return static_cast<SOCKET>(fd); }

// The socket's receive or send deadline in ms (0: none).
DWORD socketDeadline(SOCKET s, int option) {
    DWORD value = 0;
    int length = sizeof value;
    if (getsockopt(s, SOL_SOCKET, option, reinterpret_cast<char*>(&value), &length) != 0) return 0;
    return value;
}

enum WaitResult { kReady, kTimedOut, kStopped, kWaitFailed };

// Waits until the socket can be read (or written) with select() in slices, so that
// a stop is seen between slices; deadlineMs (0: none) bounds the silence. A time-out
// or a stop maps WSAETIMEDOUT, a failed select its own error.
WaitResult waitSocket(SOCKET s, bool forWrite, DWORD deadlineMs) {
    const ULONGLONG started = GetTickCount64();
    for (;;) {
        if (stopRequested()) {
            mapSocketError(WSAETIMEDOUT);
            return kStopped;
        }
        DWORD slice = kStopSliceMs;
        if (deadlineMs) {
            ULONGLONG waited = GetTickCount64() - started;
            if (waited >= deadlineMs) {
                mapSocketError(WSAETIMEDOUT);
                return kTimedOut;
            }
            if (deadlineMs - waited < slice) slice = (DWORD)(deadlineMs - waited);
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        fd_set errors;
        FD_ZERO(&errors);
        FD_SET(s, &errors);
        timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = (long)slice * 1000;
        int n = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &tv);
        if (n > 0) return kReady;  // readable, writable or failed: the call itself tells
        if (n < 0) {
            int e = WSAGetLastError();
            if (e == WSAEINTR) continue;
            mapSocketError(e);
            return kWaitFailed;
        }
    }
}

void setSocketTimeouts(SOCKET s, int receiveMs, int sendMs) {
    DWORD r = receiveMs > 0 ? (DWORD)receiveMs : 0;
    DWORD w = sendMs > 0 ? (DWORD)sendMs : 0;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&r), sizeof r);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&w), sizeof w);
}

bool parseHex4(const char* p, unsigned& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        char c = p[i];
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        value = value * 16 + d;
    }
    return true;
}

// Reads like sscanf("%04x"): one to four hex digits after optional blanks.
bool scanHex(const char* p, unsigned& value) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    value = 0;
    int digits = 0;
    for (; digits < 4; ++digits, ++p) {
        char c = *p;
        unsigned d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = value * 16 + d;
    }
    return digits > 0;
}

struct SocketErrorRow {
    int code;
    int err;
    const char* text;
};

// First matching row wins, so the second 10037 row is never used.
const SocketErrorRow kSocketErrors[] = {
    {6, 22, "invalid handle"},
    {8, 12, "not enough memory"},
    {87, 22, "invalid parameter"},
    {10004, 4, "interrupted function call"},
    {10037, 103, "operation already in progress"},
    {10009, 9, "bad file descriptor"},
    {10013, 13, "permission denied"},
    {10014, 14, "bad address"},
    {10022, 22, "invalid argument"},
    {10024, 24, "too many opened files"},
    {10035, 140, "resource temporarily unavailable"},
    {10036, 112, "operation now in progress"},
    {10037, 11, "operation already in progress"},
    {10038, 9, "socket operation not on socket"},
    {10039, 109, "destination address required"},
    {10040, 115, "message too long"},
    {10041, 136, "wrong protocol type for socket"},
    {10042, 123, "bad protocol option"},
    {10048, 100, "address already in use"},
    {10049, 101, "cannot assign requested address"},
    {10050, 116, "network is down"},
    {10051, 118, "network unreachable"},
    {10052, 117, "network dropped connection on reset"},
    {10053, 106, "software caused connection abort"},
    {10054, 108, "connection reset by peer"},
    {10055, 119, "no buffer space available"},
    {10056, 113, "socket is already connected"},
    {10057, 126, "socket is not connected"},
    {10058, 10058, "cannot send after socket shutdown"},
    {10059, 10059, "too many references"},
    {10060, 138, "connection timed out"},
    {10061, 107, "connection refused"},
    {10062, 114, "cannot translate name"},
    {10063, 38, "name too long"},
    {10064, 10064, "host is down"},
    {10065, 110, "no route to host"},
};

thread_local int g_lastSocketError = 0;

}  // namespace

int mapSocketError(int winsockCode) {
    g_lastSocketError = winsockCode;
    int mapped = 22;
    for (const auto& row : kSocketErrors) {
        if (row.code == winsockCode) {
            mapped = row.err;
            break;
        }
    }
    errno = mapped;
    return mapped;
}

const char* socketErrorText(int winsockCode) {
    for (const auto& row : kSocketErrors)
        if (row.code == winsockCode) return row.text;
    return "unknown error";
}

int lastSocketError() { return g_lastSocketError; }

StopScope::StopScope(const std::atomic<bool>* flag) : previous_(g_stopFlag) { g_stopFlag = flag; }

StopScope::~StopScope() { g_stopFlag = previous_; }

bool stopRequested() { return g_stopFlag && g_stopFlag->load(); }

// --- request layer --------------------------------------------------------------------

AdbClient::AdbClient(const char* serialText)
    : transport(kTransportAny), serverPort(settings().defaultServerPort.load()) {
    serial[0] = 0;
    serverHost[0] = 0;
    error[0] = 0;
    if (serialText && *serialText) {
        strncpy(serial, serialText, sizeof serial - 1);
        serial[sizeof serial - 1] = 0;
        transport = kTransportAny;
    }
}

void AdbClient::setError(const char* text) {
    strncpy(error, text, sizeof error - 1);
    error[sizeof error - 1] = 0;
}

namespace {

// Maps a getaddrinfo failure to errno.
int resolverErrno(int code) {
    switch (code) {
    case 8: return 12;
    case 11001: return 2;
    case 11002:
    case 11003: return 10064;
    default: return 22;
    }
}

// Opens the TCP connection to the server; INVALID_SOCKET with errno set on failure.
SOCKET openServerSocket(const char* host, int port) {
    sockaddr_storage address = {};
    int addressLength = 0;
    if (!host[0]) {
        sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons((u_short)port);
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addressLength = sizeof(sockaddr_in);
    } else {
        addrinfo hints = {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        char portText[16];
        snprintf(portText, sizeof portText, "%d", port & 0xffff);
        addrinfo* list = nullptr;
        int rc = getaddrinfo(host, portText, &hints, &list);
        if (rc != 0) {
            errno = resolverErrno(rc);
            return INVALID_SOCKET;
        }
        const addrinfo* chosen = nullptr;
        for (const addrinfo* a = list; a && !chosen; a = a->ai_next)
            if (a->ai_family == AF_INET) chosen = a;
        for (const addrinfo* a = list; a && !chosen; a = a->ai_next)
            if (a->ai_family == AF_INET6) chosen = a;
        if (!chosen || chosen->ai_addrlen > sizeof address) {
            freeaddrinfo(list);
            errno = 2;
            return INVALID_SOCKET;
        }
        memcpy(&address, chosen->ai_addr, chosen->ai_addrlen);
        addressLength = (int)chosen->ai_addrlen;
        freeaddrinfo(list);
    }

    SOCKET s;
    for (;;) {
        s = socket(address.ss_family, SOCK_STREAM, 0);
        if (s != INVALID_SOCKET) break;
        int e = WSAGetLastError();
        if (e != WSAEINTR) {
            mapSocketError(e);
            return INVALID_SOCKET;
        }
    }
    for (;;) {
        if (::connect(s, reinterpret_cast<sockaddr*>(&address), addressLength) == 0) break;
        int e = WSAGetLastError();
        if (e == WSAEINTR) continue;
        mapSocketError(e);
        closesocket(s);
        return INVALID_SOCKET;
    }
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    u_long off = 0;
    ioctlsocket(s, FIONBIO, &off);
    int noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    int deadline = settings().requestTimeoutMs.load();
    setSocketTimeouts(s, deadline, deadline);
    return s;
}

}  // namespace

SocketFd AdbClient::cancelled() {
    setError("cancelled");
    return -1;
}

SocketFd AdbClient::connectService(const std::string& service) {
    if (service.empty() || service.size() > (size_t)kMaxServiceLength) {
        setError("service name too long");
        return -1;
    }
    if (stopRequested()) return cancelled();
    char prefix[5];
    snprintf(prefix, sizeof prefix, "%04x", (unsigned)service.size());

    ensureWinsock();
    SOCKET s = openServerSocket(serverHost, serverPort);
    if (s == INVALID_SOCKET) {
        if (stopRequested()) return cancelled();
        setError("cannot connect to daemon");
        return -2;
    }
    SocketFd fd = static_cast<SocketFd>(s);

    if (service.compare(0, 4, "host") != 0) {
        if (switchTransport(fd) != 0) return stopRequested() ? cancelled() : -1;
    }
    if (writeAll(fd, prefix, 4) != 0 || writeAll(fd, service.data(), service.size()) != 0) {
        setError("write failure during connection");
        closeSocket(fd);
        return stopRequested() ? cancelled() : -1;
    }
    if (readStatus(fd) != 0) {
        closeSocket(fd);
        return stopRequested() ? cancelled() : -1;
    }
    return fd;
}

int AdbClient::switchTransport(SocketFd fd) {
    std::string request;
    if (serial[0]) {
        request = std::string("host:transport:") + serial;
    } else {
        const char* kind;
        switch (transport) {
        case kTransportUsb: kind = "transport-usb"; break;
        case kTransportLocal: kind = "transport-local"; break;
        case kTransportAny: kind = "transport-any"; break;
        case kTransportNone: return 0;
        default: kind = "???"; break;
        }
        request = std::string("host:") + kind;
    }
    char prefix[5];
    snprintf(prefix, sizeof prefix, "%04x", (unsigned)request.size());
    if (writeAll(fd, prefix, 4) != 0 || writeAll(fd, request.data(), request.size()) != 0) {
        setError("write failure during connection");
        closeSocket(fd);
        return -1;
    }
    if (readStatus(fd) != 0) {
        closeSocket(fd);
        return -1;
    }
    return 0;
}

int AdbClient::readStatus(SocketFd fd) {
    unsigned char status[4];
    if (readExactly(fd, status, 4) != 0) {
        setError("protocol fault (no status)");
        return -1;
    }
    if (memcmp(status, "OKAY", 4) == 0) return 0;
    if (memcmp(status, "FAIL", 4) != 0) {
        snprintf(error, sizeof error, "protocol fault (status %02x %02x %02x %02x?!)", status[0], status[1],
                 status[2], status[3]);
        return -1;
    }
    char lengthText[4];
    unsigned length = 0;
    if (readExactly(fd, lengthText, 4) != 0 || !parseHex4(lengthText, length)) {
        setError("protocol fault (status len)");
        return -1;
    }
    if (length > sizeof error - 1) length = sizeof error - 1;
    if (readExactly(fd, error, length) != 0) {
        setError("protocol fault (status read)");
        return -1;
    }
    error[length] = 0;
    return -1;
}

SocketFd AdbClient::connect(const std::string& service) {
    if (stopRequested()) return cancelled();
    bool start = false;
    SocketFd fd = connectService("host:version");
    if (stopRequested()) {
        closeSocket(fd);
        return cancelled();
    }
    if (fd == -2) {
        if (serverHost[0]) {
            printTo(stderr, "** Cannot start server on remote host\n");
            return -2;
        }
        printTo(stdout, "* daemon not running. starting it now on port %d *\n", serverPort);
        start = true;
    } else if (fd < 0) {
        if (strcmp(error, "unknown host service") != 0) return fd;
    } else {
        char buffer[101];
        unsigned length = 0, version = 0;
        if (readExactly(fd, buffer, 4) != 0 || !parseHex4(buffer, length) || length > 100 ||
            readExactly(fd, buffer, length) != 0) {
            closeSocket(fd);
            return -1;
        }
        closeSocket(fd);
        buffer[length] = 0;
        if (!scanHex(buffer, version)) return -1;
        if ((int)version != kRequiredServerVersion) fd = -1;
    }

    if (!start && fd < 0) {
        printTo(stdout, "adb server is out of date.  killing...\n");
        closeSocket(connectService("host:kill"));
        if (!pause(2000)) return cancelled();
        start = true;
    }
    if (start) {
        if (stopRequested()) return cancelled();
        if (startServer() != 0) {
            if (stopRequested()) return cancelled();
            printTo(stderr, "* failed to start daemon *\n");
            return -1;
        }
        printTo(stdout, "* daemon started successfully *\n");
        if (!pause(3000)) return cancelled();
    }

    if (service == "host:start-server") return 0;
    fd = connectService(service);
    if (fd == -2) printTo(stderr, "** daemon still not running");
    return fd;
}

int AdbClient::query(const std::string& service, std::string& output, int outputTimeoutMs) {
    output.clear();
    SocketFd fd = connect(service);
    if (fd < 0) return -1;
    readAll(fd, output, outputTimeoutMs);
    closeSocket(fd);
    return 0;
}

void AdbClient::readAll(SocketFd fd, std::string& output, int outputTimeoutMs) {
    output.clear();
    SOCKET s = toSocket(fd);
    const DWORD total = (DWORD)(outputTimeoutMs < 0 ? settings().outputTimeoutMs.load() : outputTimeoutMs);
    const DWORD t0 = GetTickCount();
    char buffer[4096];
    for (;;) {
        // A peer that trickles bytes cannot hold the caller past the deadline
        // (0: none).
        DWORD left = 0;
        if (total) {
            const DWORD spent = GetTickCount() - t0;
            if (spent >= total) {
                mapSocketError(WSAETIMEDOUT);
                break;
            }
            left = total - spent;
        }
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left), sizeof left);
        if (waitSocket(s, false, left) != kReady) break;
        const size_t room = kMaxOutput - output.size();
        int n = recv(s, buffer, (int)(room < sizeof buffer ? room : sizeof buffer), 0);
        if (n > 0) {
            output.append(buffer, n);
            if (output.size() >= kMaxOutput) break;
            continue;
        }
        if (n == 0) break;
        int e = WSAGetLastError();
        if (e == WSAEINTR) continue;
        mapSocketError(e);
        break;
    }
}

int AdbClient::readExactly(SocketFd fd, void* buffer, size_t length) {
    char* p = static_cast<char*>(buffer);
    SOCKET s = toSocket(fd);
    const DWORD deadline = length > 0 ? socketDeadline(s, SO_RCVTIMEO) : 0;
    while (length > 0) {
        if (waitSocket(s, false, deadline) != kReady) return -1;
        int chunk = length > 0x40000000 ? 0x40000000 : (int)length;
        int n = recv(s, p, chunk, 0);
        if (n > 0) {
            p += n;
            length -= n;
            continue;
        }
        if (n == 0) return -1;
        int e = WSAGetLastError();
        if (e == WSAEINTR) continue;
        if (mapSocketError(e) == 4) continue;
        return -1;
    }
    return 0;
}

int AdbClient::writeAll(SocketFd fd, const void* buffer, size_t length) {
    const char* p = static_cast<const char*>(buffer);
    SOCKET s = toSocket(fd);
    if (length == 0) return 0;
    // Non-blocking for the duration, so that a send into a full socket returns and
    // the wait goes through the sliced select; the silence deadline is the socket's.
    const DWORD deadline = socketDeadline(s, SO_SNDTIMEO);
    u_long on = 1;
    const bool nonBlocking = ioctlsocket(s, FIONBIO, &on) == 0;
    int rc = 0;
    while (length > 0) {
        if (waitSocket(s, true, deadline) != kReady) {
            rc = -1;
            break;
        }
        int chunk = length > 0x40000000 ? 0x40000000 : (int)length;
        int n = send(s, p, chunk, 0);
        if (n > 0) {
            p += n;
            length -= n;
            continue;
        }
        if (n == 0) {
            rc = -1;
            break;
        }
        int e = WSAGetLastError();
        if (e == WSAEINTR || e == WSAEWOULDBLOCK) continue;
        int mapped = mapSocketError(e);
        if (mapped == 4) continue;
        if (mapped == 11) {
            Sleep(1);
            continue;
        }
        rc = -1;
        break;
    }
    if (nonBlocking) {
        u_long off = 0;
        ioctlsocket(s, FIONBIO, &off);
    }
    return rc;
}

void AdbClient::closeSocket(SocketFd fd) {
    if (fd < 1) return;
    int saved = errno;
    SOCKET s = toSocket(fd);
    shutdown(s, SD_BOTH);
    closesocket(s);
    errno = saved;
}

}  // namespace adb
