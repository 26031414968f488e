// Test helpers around the fake adb server (fake_adb.py), the "tvdb.exe" stand-in and
// the adb_driver program. Header only; included by the adb tests.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace fakeadb {

inline std::string unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)strtol(hex.substr(i, 2).c_str(), nullptr, 16);
    return out;
}

inline std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The hex text of a sync header: four-letter id and a little-endian 32-bit number.
inline std::string syncHeaderHex(const char* id, uint32_t value) {
    std::string h(id, 4);
    for (int i = 0; i < 4; ++i) h += (char)((value >> (8 * i)) & 0xff);
    return hexOf(h);
}

// A port on 127.0.0.1 that nothing listens on (taken and released at once).
inline int freePort() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    WSACleanup();
    return ntohs(a.sin_port);
}

// Whether a Linux-side file exists (seen through Wine's mapping of the host's root).
inline bool linuxFileExists(const char* unixPath) {
    typedef WCHAR* (CDECL * Fn)(LPCSTR);
    Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!fn) return false;
    WCHAR* dos = fn(unixPath);
    if (!dos) return false;
    bool exists = GetFileAttributesW(dos) != INVALID_FILE_ATTRIBUTES;
    HeapFree(GetProcessHeap(), 0, dos);
    return exists;
}

// The fake adb host server on the Linux side, scripted by a JSON config.
class FakeAdb {
public:
    explicit FakeAdb(Json::Value config, int port = 0, const std::string& script = "fake_adb.py")
        : dir_(L"fakeadb") {
        if (!config.isMember("linger")) config["linger"] = 8;
        Json::StreamWriterBuilder w;
        tst::writeFile(dir_.file(L"config.json"), Json::writeString(w, config));
        CreateDirectoryW(dir_.file(L"store").c_str(), nullptr);
        std::string d = tst::unixPath(dir_.path());
        ok_ = proc_.start({"/usr/bin/python3", tst::testingDirUnix() + "/fake_adb/" + script, "--config",
                           d + "/config.json", "--log", d + "/log.jsonl", "--store", d + "/store",
                           "--time-limit", "150", "--port", std::to_string(port)},
                          170);
    }
    bool ok() const { return ok_; }
    int port() const { return proc_.port(); }

    std::vector<Json::Value> events() const {
        std::vector<Json::Value> out;
        std::string text;
        if (!tst::readFile(dir_.file(L"log.jsonl"), text)) return out;
        std::istringstream in(text);
        std::string line;
        Json::CharReaderBuilder b;
        while (std::getline(in, line)) {
            Json::Value v;
            std::string errs;
            std::istringstream one(line);
            if (Json::parseFromStream(b, one, &v, &errs)) out.push_back(v);
        }
        return out;
    }
    std::vector<Json::Value> eventsOf(const std::string& ev, int conn = 0) const {
        std::vector<Json::Value> out;
        for (const auto& e : events())
            if (e["ev"].asString() == ev && (conn == 0 || e["conn"].asInt() == conn)) out.push_back(e);
        return out;
    }
    // Services requested, in order (all connections, or one).
    std::vector<std::string> requests(int conn = 0) const {
        std::vector<std::string> out;
        for (const auto& e : eventsOf("request", conn)) out.push_back(e["service"].asString());
        return out;
    }
    std::vector<Json::Value> syncMessages(int conn = 0) const { return eventsOf("sync", conn); }
    std::vector<std::string> syncIds(int conn = 0) const {
        std::vector<std::string> out;
        for (const auto& e : syncMessages(conn)) out.push_back(e["id"].asString());
        return out;
    }
    int connections() const { return (int)eventsOf("accept").size(); }
    // The device paths of every "pm install" as the device shell decoded them, in order.
    std::vector<std::string> installs() const {
        std::vector<std::string> out;
        for (const auto& e : eventsOf("pm_install"))
            out.push_back(e["args"].size() == 1 ? e["args"][0].asString() : std::string());
        return out;
    }

    // Waits until every accepted connection has ended; true when the client closed
    // each one that the server did not close itself.
    bool waitAllClosed(DWORD waitMs = 15000, std::string* detail = nullptr) const {
        for (DWORD waited = 0;; waited += 50) {
            std::map<int, std::string> closed;
            std::set<int> accepted;
            for (const auto& e : events()) {
                if (e["ev"].asString() == "accept") accepted.insert(e["conn"].asInt());
                if (e["ev"].asString() == "closed") closed[e["conn"].asInt()] = e["by"].asString();
            }
            bool all = true;
            for (int c : accepted) all = all && closed.count(c);
            if (all || waited >= waitMs) {
                bool good = all;
                std::string d;
                for (int c : accepted) {
                    std::string by = closed.count(c) ? closed[c] : "open";
                    d += std::to_string(c) + ":" + by + " ";
                    if (by != "peer" && by != "server") good = false;
                }
                if (detail) *detail = d;
                return good;
            }
            Sleep(50);
        }
    }
    bool waitFor(const std::function<bool()>& condition, DWORD waitMs = 15000) const {
        for (DWORD waited = 0; waited < waitMs; waited += 50) {
            if (condition()) return true;
            Sleep(50);
        }
        return condition();
    }
    // Bytes of a file the fake stored for a push.
    std::string stored(const Json::Value& storedEvent) const {
        std::string bytes;
        tst::readFile(dir_.file(L"store\\" + tst::widen(storedEvent["file"].asString())), bytes);
        return bytes;
    }
    void stop() { proc_.stop(); }

private:
    tst::TempDir dir_;
    tst::LinuxProcess proc_;
    bool ok_ = false;
};

struct DriverRun {
    long exitCode = -1;
    std::string out, err;
    std::map<std::string, std::string> result;
    std::string operator[](const std::string& key) const {
        auto it = result.find(key);
        return it == result.end() ? std::string("<missing>") : it->second;
    }
    long long num(const std::string& key) const { return atoll((*this)[key].c_str()); }
};

inline std::wstring quoteArg(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') { ++slashes; continue; }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

inline std::wstring driverPath() { return tst::binDir() + L"\\adb_driver.exe"; }

// Runs adb_driver with both standard streams captured and extra environment entries
// ("NAME=value"); bounded by waitMs.
inline DriverRun runDriver(const std::vector<std::wstring>& args, const std::vector<std::wstring>& extraEnv = {},
                           DWORD waitMs = 60000, const std::wstring& exe = driverPath()) {
    DriverRun run;
    tst::TempDir dir(L"adbdrv");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileW(dir.file(L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(dir.file(L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);

    std::map<std::wstring, std::wstring> env;  // keyed by upper-case name
    wchar_t* block = GetEnvironmentStringsW();
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring e = p;
        size_t eq = e.find(L'=', 1);
        std::wstring key = e.substr(0, eq);
        std::transform(key.begin(), key.end(), key.begin(), ::towupper);
        env[key] = e;
    }
    FreeEnvironmentStringsW(block);
    for (const auto& e : extraEnv) {
        std::wstring key = e.substr(0, e.find(L'='));
        std::transform(key.begin(), key.end(), key.begin(), ::towupper);
        env[key] = e;
    }
    std::vector<wchar_t> envBlock;
    for (const auto& kv : env) envBlock.insert(envBlock.end(), kv.second.c_str(), kv.second.c_str() + kv.second.size() + 1);
    envBlock.push_back(0);

    std::wstring cmd = quoteArg(exe) + L" " + quoteArg(dir.file(L"result.txt"));
    for (const auto& a : args) cmd += L" " + quoteArg(a);
    std::vector<wchar_t> cmdBuf(cmd.begin(), cmd.end());
    cmdBuf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    BOOL created = CreateProcessW(exe.c_str(), cmdBuf.data(), nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, envBlock.data(), nullptr, &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
    if (!created) {
        run.exitCode = -1001;
        return run;
    }
    if (WaitForSingleObject(pi.hProcess, waitMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        run.exitCode = -1000;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        run.exitCode = (long)code;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    tst::readFile(dir.file(L"out.txt"), run.out);
    tst::readFile(dir.file(L"err.txt"), run.err);
    std::string text;
    tst::readFile(dir.file(L"result.txt"), text);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) run.result[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return run;
}

// Lines of the "tvdb.exe" stand-in's log.
inline std::vector<std::string> standInLog(const std::wstring& path) {
    std::vector<std::string> lines;
    std::string text;
    tst::readFile(path, text);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The value after "<key> " of the first log line starting with it.
inline std::string standInValue(const std::wstring& path, const std::string& key) {
    for (const auto& l : standInLog(path))
        if (l.compare(0, key.size() + 1, key + " ") == 0) return l.substr(key.size() + 1);
    return std::string();
}

// Ends every stand-in recorded in the log ("pid <n>" lines) by its pid, when the
// process still has that image name (lower case).
inline void killStandIns(const std::wstring& path, const std::wstring& imageName = L"tvdb.exe") {
    for (const auto& l : standInLog(path)) {
        if (l.compare(0, 4, "pid ") != 0) continue;
        DWORD pid = (DWORD)atol(l.c_str() + 4);
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (h) {
            wchar_t image[MAX_PATH * 2];
            DWORD size = MAX_PATH * 2;
            std::wstring name = QueryFullProcessImageNameW(h, 0, image, &size) ? std::wstring(image, size) : L"";
            std::transform(name.begin(), name.end(), name.begin(), ::towlower);
            // Only the stand-in itself: its pid may have been reused since it ended.
            const size_t n = imageName.size();
            if (name.size() > n && name[name.size() - n - 1] == L'\\' && name.compare(name.size() - n, n, imageName) == 0)
                TerminateProcess(h, 0);
            WaitForSingleObject(h, 5000);
            CloseHandle(h);
        }
    }
}

}  // namespace fakeadb
