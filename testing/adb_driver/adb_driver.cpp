// Runs one adb client scenario and writes its outcome as "key=value" lines.
// usage: adb_driver <result-file> [--ack-ms N] [--request-ms N] [--output-ms N]
//                   <scenario> [arguments]
//   connect <port> <serial|-> <service>    connect, then read everything sent
//   query   <port> <serial|-> <service>
//   start   <port>                          startServer only
//   push    <port> <serial> <local> <remote>
//   list    <port> <serial> <remote>
//   fdtable <existing file> <missing file> <path in a missing folder>
//   fdthreads <existing file>               eight threads open, use and close at once
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_sync.h"

namespace {

std::string utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct Result {
    std::string text;
    void put(const std::string& key, const std::string& value) { text += key + "=" + value + "\n"; }
    void put(const std::string& key, long long value) { put(key, std::to_string(value)); }
};

// One thread of fdthreads: opens, reads, names and closes descriptors while the
// others do the same; counts the failures on descriptors it holds open.
struct FdWorker {
    std::wstring file;
    int rounds = 0;
    long failures = 0;
    long opened = 0;
};

DWORD WINAPI fdWorkerMain(void* param) {
    FdWorker* w = static_cast<FdWorker*>(param);
    char buf[4];
    for (int k = 0; k < w->rounds; ++k) {
        int fd = adb::openForReading(w->file);
        if (fd < 0) continue;  // the table may be full for a moment
        ++w->opened;
        errno = 0;
        if (adb::seekDescriptor(fd, 1, 0) != 1) ++w->failures;
        if (adb::readDescriptor(fd, buf, 2) != 2 || buf[0] != '1') ++w->failures;
        if (adb::descriptorName(fd).compare(0, std::to_string(fd).size() + 1, std::to_string(fd) + "(") != 0)
            ++w->failures;
        if (adb::closeDescriptor(fd) != 0) ++w->failures;
        if (errno == 9) ++w->failures;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    // The exact bytes the client prints, without text-mode line ends.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::wstring resultFile = argv[1];
    int i = 2;
    adb::Settings& s = adb::settings();
    for (; i + 1 < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; i += 2) {
        std::wstring opt = argv[i];
        int value = _wtoi(argv[i + 1]);
        if (opt == L"--ack-ms") s.serverAckTimeoutMs = value;
        else if (opt == L"--request-ms") s.requestTimeoutMs = value;
        else if (opt == L"--output-ms") s.outputTimeoutMs = value;
    }
    if (i >= argc) return 2;
    std::wstring scenario = argv[i++];
    std::vector<std::wstring> args(argv + i, argv + argc);
    auto arg = [&](size_t k) { return k < args.size() ? args[k] : std::wstring(); };

    Result r;
    ULONGLONG started = GetTickCount64();
    if (scenario == L"connect" || scenario == L"query" || scenario == L"start" || scenario == L"push" ||
        scenario == L"list") {
        s.defaultServerPort = _wtoi(arg(0).c_str());
        std::string serial = utf8(arg(1));
        adb::AdbClient client(serial == "-" ? nullptr : serial.c_str());
        if (scenario == L"connect") {
            adb::SocketFd fd = client.connect(utf8(arg(2)));
            r.put("rc", fd < 0 ? (long long)fd : 1);
            if (fd >= 0) {
                std::string output;
                adb::AdbClient::readAll(fd, output);
                adb::AdbClient::closeSocket(fd);
                r.put("output", hex(output));
            }
        } else if (scenario == L"query") {
            std::string output = "stale";
            r.put("rc", client.query(utf8(arg(2)), output));
            r.put("output", hex(output));
        } else if (scenario == L"start") {
            r.put("rc", client.startServer());
        } else if (scenario == L"push") {
            r.put("rc", adb::push(client, arg(2), utf8(arg(3))));
        } else {
            bool found = false;
            r.put("rc", adb::listFindsDot(client, utf8(arg(2)), found));
            r.put("found", found ? 1 : 0);
        }
        r.put("error", client.error);
    } else if (scenario == L"fdtable") {
        std::vector<int> fds;
        for (int k = 0; k < 128; ++k) fds.push_back(adb::openForReading(arg(0)));
        r.put("first", fds.front());
        r.put("last", fds.back());
        errno = 0;
        r.put("open129", adb::openForReading(arg(0)));
        r.put("open129_errno", errno);
        errno = 0;
        r.put("close99", adb::closeDescriptor(99));
        r.put("close99_errno", errno);
        errno = 0;
        r.put("close228", adb::closeDescriptor(228));
        r.put("close228_errno", errno);
        r.put("close105", adb::closeDescriptor(105));
        errno = 0;
        r.put("close105_again", adb::closeDescriptor(105));
        r.put("close105_again_errno", errno);
        errno = 0;
        r.put("read105_closed", adb::readDescriptor(105, nullptr, 0));
        r.put("read105_closed_errno", errno);
        int reused = adb::openForReading(arg(0));
        r.put("reused", reused);
        r.put("reused_name_ok", adb::descriptorName(reused) == "105(" + utf8(arg(0)) + ")" ? 1 : 0);
        // Short read, then seek.
        char buf[4096];
        int n = adb::readDescriptor(fds[0], buf, sizeof buf);
        r.put("short_read", n);
        r.put("eof_after_short_read", adb::descriptorAtEof(fds[0]) ? 1 : 0);
        r.put("seek", adb::seekDescriptor(fds[0], 2, 0));
        r.put("eof_after_seek", adb::descriptorAtEof(fds[0]) ? 1 : 0);
        n = adb::readDescriptor(fds[0], buf, 3);
        r.put("after_seek", hex(std::string(buf, n > 0 ? n : 0)));
        errno = 0;
        r.put("seek_bad_origin", adb::seekDescriptor(fds[0], 0, 7));
        r.put("seek_bad_origin_errno", errno);
        for (int fd : fds) adb::closeDescriptor(fd);
        adb::closeDescriptor(reused);
        errno = 0;
        r.put("missing_file", adb::openForReading(arg(1)));
        r.put("missing_file_errno", errno);
        errno = 0;
        r.put("missing_folder", adb::openForReading(arg(2)));
        r.put("missing_folder_errno", errno);
        r.put("after_failures", adb::openForReading(arg(0)));
    } else if (scenario == L"fdthreads") {
        // Most slots held, so that the threads keep reusing the few free ones.
        std::vector<int> held;
        for (int k = 0; k < 120; ++k) held.push_back(adb::openForReading(arg(0)));
        FdWorker workers[8];
        HANDLE threads[8];
        for (int t = 0; t < 8; ++t) {
            workers[t].file = arg(0);
            workers[t].rounds = 1500;
            threads[t] = CreateThread(nullptr, 0, fdWorkerMain, &workers[t], 0, nullptr);
        }
        WaitForMultipleObjects(8, threads, TRUE, INFINITE);
        long failures = 0, opened = 0;
        for (int t = 0; t < 8; ++t) {
            CloseHandle(threads[t]);
            failures += workers[t].failures;
            opened += workers[t].opened;
        }
        r.put("failures", failures);
        r.put("opened", opened);
        long heldClosed = 0;
        for (int fd : held) heldClosed += adb::closeDescriptor(fd) == 0 ? 1 : 0;
        r.put("held_closed", heldClosed);
        // Every slot is free again: the whole table opens once more.
        std::vector<int> all;
        for (int k = 0; k < 128; ++k) all.push_back(adb::openForReading(arg(0)));
        long distinct = 0;
        for (int k = 0; k < 128; ++k) distinct += all[k] >= 100 && all[k] < 228 ? 1 : 0;
        r.put("reopened", distinct);
        errno = 0;
        r.put("open129", adb::openForReading(arg(0)));
        r.put("open129_errno", errno);
    } else {
        return 2;
    }
    r.put("elapsed_ms", (long long)(GetTickCount64() - started));
    r.put("done", 1);
    fflush(stdout);
    fflush(stderr);
    HANDLE h = CreateFileW(resultFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 3;
    DWORD done = 0;
    WriteFile(h, r.text.data(), (DWORD)r.text.size(), &done, nullptr);
    CloseHandle(h);
    return 0;
}
