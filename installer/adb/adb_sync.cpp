#include <winsock2.h>
#include <windows.h>

#include "installer/adb/adb_sync.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "toolkit/scoped_handle.h"

namespace adb {

namespace {

const size_t kMaxPathLength = 1024;
const uint32_t kMaxNameLength = 256;
const int kMaxDataChunk = 65536;
const size_t kMaxFailMessage = 256;
const uint32_t kModeDirectory = 0x4000;
const uint32_t kModeRegular = 0x8000;

// Transfer statistics of the current push.
int64_t g_totalBytes = 0;
int64_t g_startMicros = 0;

void printErr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

std::string convert(const std::wstring& text, UINT codePage) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

// Printed texts use the ANSI code page; device paths are UTF-8.
std::string ansi(const std::wstring& text) { return convert(text, CP_ACP); }
std::string utf8(const std::wstring& text) { return convert(text, CP_UTF8); }

void putHeader(char* p, const char* id, uint32_t value) {
    memcpy(p, id, 4);
    p[4] = (char)(value & 0xff);
    p[5] = (char)((value >> 8) & 0xff);
    p[6] = (char)((value >> 16) & 0xff);
    p[7] = (char)((value >> 24) & 0xff);
}

uint32_t getLe32(const unsigned char* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The sync connection of one operation; closed once, on every road.
struct SyncConnection {
    SocketFd fd = -1;
    ~SyncConnection() { close(); }
    void close() {
        if (fd >= 0) AdbClient::closeSocket(fd);
        fd = -1;
    }
};

int64_t nowMicros() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    struct tm t = {};
    t.tm_year = st.wYear - 1900;
    t.tm_mon = st.wMonth - 1;
    t.tm_mday = st.wDay;
    t.tm_hour = st.wHour;
    t.tm_min = st.wMinute;
    t.tm_sec = st.wSecond;
    t.tm_isdst = -1;
    int64_t seconds = (int64_t)mktime(&t);
    return seconds * 1000000 + (int64_t)st.wMilliseconds * 1000;
}

void beginTransfer() {
    g_totalBytes = 0;
    g_startMicros = nowMicros();
}

void endTransfer() {
    int64_t elapsed = nowMicros() - g_startMicros;
    if (g_totalBytes == 0) return;
    if (elapsed == 0) elapsed = 1000000;
    printErr("%lld KB/s (%lld bytes in %lld.%03llds)\n", (long long)((g_totalBytes * 1000000 / elapsed) / 1024),
             (long long)g_totalBytes, (long long)(elapsed / 1000000), (long long)((elapsed % 1000000) / 1000));
}

int quit(SocketFd fd) {
    char msg[8];
    putHeader(msg, "QUIT", 0);
    return AdbClient::writeAll(fd, msg, sizeof msg);
}

// Sends one request: header with the path length, then the path.
int sendRequest(SocketFd fd, const char* id, const std::string& path) {
    std::vector<char> msg(8 + path.size());
    putHeader(msg.data(), id, (uint32_t)path.size());
    memcpy(msg.data() + 8, path.data(), path.size());
    return AdbClient::writeAll(fd, msg.data(), msg.size());
}

int sendList(SocketFd fd, const std::string& path, bool& found) {
    if (path.size() > kMaxPathLength) return -1;
    if (sendRequest(fd, "LIST", path) != 0) return -1;
    for (;;) {
        unsigned char entry[20];
        if (AdbClient::readExactly(fd, entry, sizeof entry) != 0) return -1;
        if (memcmp(entry, "DONE", 4) == 0) return 0;
        if (memcmp(entry, "DENT", 4) != 0) return -1;
        uint32_t length = getLe32(entry + 16);
        if (length > kMaxNameLength) return -1;
        char name[kMaxNameLength + 1];
        if (AdbClient::readExactly(fd, name, length) != 0) return -1;
        name[length] = 0;
        if (length == 1 && name[0] == '.') {
            found = true;
            return 0;
        }
    }
}

int readMode(SocketFd fd, const std::string& path, uint32_t& mode) {
    if (sendRequest(fd, "STAT", path) != 0) return -1;
    unsigned char reply[16];
    if (AdbClient::readExactly(fd, reply, sizeof reply) != 0) return -1;
    if (memcmp(reply, "STAT", 4) != 0) return -1;
    mode = getLe32(reply + 4);
    return 0;
}

// Sends the file's bytes as DATA chunks. A file that cannot be opened or read fails
// the transfer, so that no short file is stored as complete.
int sendData(SocketFd fd, const std::wstring& local) {
    int file = openForReading(local);
    if (file < 0) {
        printErr("cannot open '%s': %s\n", ansi(local).c_str(), strerror(errno));
        return -1;
    }
    std::vector<char> buffer(8 + kMaxDataChunk);
    for (;;) {
        int n = readDescriptor(file, buffer.data() + 8, kMaxDataChunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == 4) continue;
            printErr("cannot read '%s': %s\n", ansi(local).c_str(), strerror(errno));
            closeDescriptor(file);
            return -1;
        }
        putHeader(buffer.data(), "DATA", (uint32_t)n);
        if (AdbClient::writeAll(fd, buffer.data(), 8 + (size_t)n) != 0) {
            closeDescriptor(file);
            return -1;
        }
        g_totalBytes += n;
    }
    closeDescriptor(file);
    return 0;
}

int sendFile(SyncConnection& conn, const std::wstring& local, const std::string& remote, uint32_t mtime,
             uint32_t mode) {
    bool sent = false;
    if (remote.size() < kMaxPathLength + 1) {
        char modeText[16];
        snprintf(modeText, sizeof modeText, ",%d", (int)mode);
        sent = sendRequest(conn.fd, "SEND", remote + modeText) == 0;
    }
    if (!sent || !(mode & kModeRegular)) {
        printErr("protocol failure\n");
        conn.close();
        return -1;
    }
    if (sendData(conn.fd, local) != 0) {
        conn.close();
        return -1;
    }
    char done[8];
    putHeader(done, "DONE", mtime);
    if (AdbClient::writeAll(conn.fd, done, sizeof done) != 0) return -1;
    unsigned char reply[8];
    if (AdbClient::readExactly(conn.fd, reply, sizeof reply) != 0) return -1;
    if (memcmp(reply, "OKAY", 4) == 0) return 0;
    char message[kMaxFailMessage + 1];
    if (memcmp(reply, "FAIL", 4) == 0) {
        size_t length = getLe32(reply + 4);
        if (length > kMaxFailMessage) length = kMaxFailMessage;
        if (AdbClient::readExactly(conn.fd, message, length) != 0) return -1;
        message[length] = 0;
    } else {
        strcpy(message, "unknown reason");
    }
    printErr("failed to copy '%s' to '%s': %s\n", ansi(local).c_str(), remote.c_str(), message);
    return -1;
}

struct LocalFile {
    std::wstring local;
    std::string remote;
    uint32_t mtime;
    uint32_t mode;
    int64_t size;
    bool skip;
};

int errnoOfWin32(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EINVAL;
    }
}

// Walks one folder (paths end in "/") by its own path; the process's current folder
// is never changed. Files go to the front of the list, sub-folders follow.
int buildLocalList(std::deque<LocalFile>& list, const std::wstring& local, const std::string& remote) {
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((local + L"*.*").c_str(), &data));
    if (!find) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES) return 0;
        errno = errnoOfWin32(e);
        printErr("cannot open '%s': %s\n", ansi(local).c_str(), strerror(errno));
        return -1;
    }
    std::vector<std::pair<std::wstring, std::string>> folders;
    int rc = 0;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (local.size() + 1 + name.size() > 260) continue;
        std::wstring path = local + name;
        struct _stat64 st;
        if (_wstat64(path.c_str(), &st) != 0) {
            printErr("cannot stat '%s': %s\n", ansi(path).c_str(), strerror(errno));
            rc = -1;
            break;
        }
        if (st.st_mode & kModeDirectory) {
            folders.emplace_back(path + L"/", remote + utf8(name) + "/");
        } else if (st.st_mode & kModeRegular) {
            LocalFile f;
            f.local = path;
            f.remote = remote + utf8(name);
            f.mtime = (uint32_t)st.st_mtime;
            f.mode = (uint32_t)st.st_mode;
            f.size = (int64_t)st.st_size;
            f.skip = false;
            list.push_front(f);
        } else {
            printErr("skipping special file '%s'\n", ansi(path).c_str());
        }
    } while (FindNextFileW(find.get(), &data));
    find.reset();
    if (rc != 0) return rc;
    for (const auto& folder : folders)
        if (buildLocalList(list, folder.first, folder.second) != 0) return -1;
    return 0;
}

int pushFolder(SyncConnection& conn, std::wstring local, std::string remote) {
    if (local.empty() || remote.empty()) return -1;
    if (local.back() != L'/') local += L"/";
    if (remote.back() != '/') remote += "/";
    std::deque<LocalFile> list;
    if (buildLocalList(list, local, remote) != 0) return -1;
    int pushed = 0, skipped = 0;
    for (const LocalFile& f : list) {
        if (f.skip) {
            ++skipped;
            continue;
        }
        printErr("%spush: %s -> %s\n", "", ansi(f.local).c_str(), f.remote.c_str());
        if (sendFile(conn, f.local, f.remote, f.mtime, f.mode) != 0) return 1;
        ++pushed;
    }
    printErr("%d file%s pushed. %d file%s skipped.\n", pushed, pushed == 1 ? "" : "s", skipped,
             skipped == 1 ? "" : "s");
    return 0;
}

}  // namespace

int listFindsDot(AdbClient& client, const std::string& remotePath, bool& found) {
    found = false;
    SyncConnection conn;
    conn.fd = client.connect("sync:");
    if (conn.fd < 0) {
        printErr("error: %s\n", client.error);
        return 1;
    }
    if (sendList(conn.fd, remotePath, found) != 0) return 1;
    quit(conn.fd);
    return 0;
}

int push(AdbClient& client, const std::wstring& localPath, const std::string& remotePath) {
    SyncConnection conn;
    conn.fd = client.connect("sync:");
    if (conn.fd < 0) {
        printErr("error: %s\n", client.error);
        return 1;
    }
    struct _stat64 st;
    if (_wstat64(localPath.c_str(), &st) != 0) {
        printErr("cannot stat '%s': %s\n", ansi(localPath).c_str(), strerror(errno));
        quit(conn.fd);
        return 1;
    }
    if (st.st_mode & kModeDirectory) {
        beginTransfer();
        if (pushFolder(conn, localPath, remotePath) != 0) return 1;
        endTransfer();
        quit(conn.fd);
        return 0;
    }

    uint32_t remoteMode = 0;
    if (readMode(conn.fd, remotePath, remoteMode) != 0) return 1;
    std::string target = remotePath;
    if (remoteMode != 0 && (remoteMode & kModeDirectory)) {
        size_t slash = localPath.find_last_of(L"/\\");
        std::wstring name = slash == std::wstring::npos ? localPath : localPath.substr(slash + 1);
        target = remotePath + "/" + utf8(name);
    }
    beginTransfer();
    if (sendFile(conn, localPath, target, (uint32_t)st.st_mtime, (uint32_t)st.st_mode) != 0) return 1;
    endTransfer();
    quit(conn.fd);
    return 0;
}

}  // namespace adb
