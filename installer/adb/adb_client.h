// Client side of the adb host protocol: request connections to the product's adb
// server ("tvdb.exe"), device selection, service status, starting and replacing the
// server, and the socket layer with its error mapping. Also the process-wide table of
// emulated file descriptors that the file-sync client reads local files through.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace adb {

// A connected socket (1 or more) or a negative failure code. Wide enough for a Winsock
// SOCKET on both 32-bit and 64-bit builds.
using SocketFd = intptr_t;

// Process-wide settings. The loader never changes them; test programs shorten the
// deadlines and give every test its own server port.
struct Settings {
    std::atomic<int> defaultServerPort{52817};
    // Receive/send deadline of requests, status, version and sync replies.
    std::atomic<int> requestTimeoutMs{30000};
    // Receive deadline while a service's whole output is collected.
    std::atomic<int> outputTimeoutMs{300000};
    // How long a freshly started server has to write "OK\n".
    std::atomic<int> serverAckTimeoutMs{10000};
};
Settings& settings();

// Lets another thread stop this thread's adb work. While the scope is open and the
// flag is set, every wait of the adb layer on this thread (receives, sends, the
// pauses and the server's ACK wait of connect) gives up within 100 ms and fails
// like a timed-out one; connectService and connect then fail with "cancelled" and
// start no server. Scopes nest; threads without one are not affected.
class StopScope {
public:
    explicit StopScope(const std::atomic<bool>* flag);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};
// Whether the innermost scope's flag on this thread is set.
bool stopRequested();

class AdbClient {
public:
    enum { kTransportUsb = 0, kTransportLocal = 1, kTransportAny = 2, kTransportNone = 3 };

    explicit AdbClient(const char* serial = nullptr);

    // Low-level connect: -1 error, -2 the server cannot be reached.
    SocketFd connectService(const std::string& service);
    // connectService with server version check and (re)start.
    SocketFd connect(const std::string& service);
    // Runs a service and collects its output (see readAll); 0 or -1.
    // outputTimeoutMs below 0: settings().outputTimeoutMs.
    int query(const std::string& service, std::string& output, int outputTimeoutMs = -1);

    int readStatus(SocketFd fd);
    int switchTransport(SocketFd fd);
    int startServer();

    // Collects what the peer sends until it closes, an error, outputTimeoutMs
    // (below 0: settings().outputTimeoutMs; 0: none) passing in total, or kMaxOutput bytes.
    static void readAll(SocketFd fd, std::string& output, int outputTimeoutMs = -1);
    static const size_t kMaxOutput = 8u << 20;
    static int readExactly(SocketFd fd, void* buffer, size_t length);
    static int writeAll(SocketFd fd, const void* buffer, size_t length);
    static void closeSocket(SocketFd fd);

    int32_t transport;
    char serial[256];
    int32_t serverPort;
    char serverHost[256];
    char error[256];

private:
    void setError(const char* text);
    // Error "cancelled", -1.
    SocketFd cancelled();
};

// Maps a Winsock error to the C runtime's errno (first matching row of the table; 22
// for anything unlisted), sets errno and remembers the code as the last socket error.
int mapSocketError(int winsockCode);
const char* socketErrorText(int winsockCode);
int lastSocketError();

// Emulated descriptors (100 + slot index) for local files read by the sync client.
// Failures return -1 with errno set.
int openForReading(const std::wstring& fileName);
int closeDescriptor(int fd);
int readDescriptor(int fd, void* buffer, int length);
int writeDescriptor(int fd, const void* buffer, int length);
long seekDescriptor(int fd, long offset, int origin);
// The end-of-file flag of a descriptor in use (set by a short transfer).
bool descriptorAtEof(int fd);
// "%d(%s)": descriptor number and file name; empty for a descriptor not in use.
std::string descriptorName(int fd);

}  // namespace adb
