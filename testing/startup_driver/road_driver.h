// Runs startup_driver.exe the way the loader runs: from a folder of its own with
// a developer settings file (offline, every web host on a fixture server on
// 127.0.0.1), against the real mutexes, common data folder, adapter ini and log
// of the test prefix. Those are shared by every test process of the prefix, so
// a sandbox holds the machine-state mutex while it lives (its own fixture server
// and folder are made before and removed after) and puts back the files and the
// registry value it may change.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "services/helper_service.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/machine_id.h"
#include "testing/support/test_support.h"

namespace roadtest {

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// The value of " key=" in a record line: up to the next blank, or the rest of
// the line for "message".
inline std::string fieldOf(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const size_t start = at + key.size() + 2;
    const size_t end = key == "message" ? line.size() : line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Whether wanted appears in all in its order (other lines between).
inline bool inOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
    size_t k = 0;
    for (const std::string& a : all)
        if (k < wanted.size() && a == wanted[k]) ++k;
    return k == wanted.size();
}

struct DriverRun {
    long exitCode = 0;
    std::vector<std::string> lines;  // the driver's record
    std::string log;                 // the driver's own log file
    bool has(const std::string& line) const { return index(line) < lines.size(); }
    size_t index(const std::string& line, size_t from = 0) const {
        for (size_t k = from; k < lines.size(); ++k)
            if (lines[k] == line) return k;
        return lines.size();
    }
    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& l : lines) n += l.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        return n;
    }
    // The first record line that starts with prefix; empty when none.
    std::string first(const std::string& prefix) const {
        for (const std::string& l : lines)
            if (l.compare(0, prefix.size(), prefix) == 0) return l;
        return std::string();
    }
    // Log lines without their time stamp ("YYYY-MM-DD HH:MM:SS, , ").
    std::vector<std::string> logLines() const {
        std::vector<std::string> out;
        for (const std::string& l : splitLines(log)) {
            std::string::size_type p = l.find(", , ");
            out.push_back(p == std::string::npos ? l : l.substr(p + 4));
        }
        return out;
    }
    bool logged(const std::string& text) const {
        for (const std::string& l : logLines())
            if (l == text) return true;
        return false;
    }
};

// The events of a driver case's "driver.gate": <name>.blocked is set by the driver
// once its blocked operation is reached, <name>.release lets it go on.
struct Gate {
    explicit Gate(const std::wstring& n) : name(n) {
        blocked = CreateEventW(nullptr, TRUE, FALSE, (name + L".blocked").c_str());
        release = CreateEventW(nullptr, TRUE, FALSE, (name + L".release").c_str());
    }
    ~Gate() {
        SetEvent(release);
        CloseHandle(blocked);
        CloseHandle(release);
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    std::wstring name;
    HANDLE blocked, release;
};

// HKLM machine-identifier cache value (or its absence), put back on destruction.
class SavedMidCache {
public:
    SavedMidCache() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine_id::kCacheKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
        DWORD size = 0;
        if (RegQueryValueExA(key, machine_id::kCacheValue, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
            data_.resize(size);
            existed_ = RegQueryValueExA(key, machine_id::kCacheValue, nullptr, &type_, data_.data(), &size) ==
                       ERROR_SUCCESS;
            data_.resize(size);
        }
        RegCloseKey(key);
    }
    ~SavedMidCache() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, machine_id::kCacheKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            if (!existed_) return;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, machine_id::kCacheKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &key, nullptr) != ERROR_SUCCESS)
                return;
        }
        if (existed_)
            RegSetValueExA(key, machine_id::kCacheValue, 0, type_, data_.data(), (DWORD)data_.size());
        else
            RegDeleteValueA(key, machine_id::kCacheValue);
        RegCloseKey(key);
    }
    SavedMidCache(const SavedMidCache&) = delete;
    SavedMidCache& operator=(const SavedMidCache&) = delete;

private:
    bool existed_ = false;
    DWORD type_ = REG_SZ;
    std::vector<BYTE> data_;
};

inline std::wstring pendingLaunchPath() { return getCommonDataFolder() + L"\\TarvoLoader_routines.dat"; }

// Holds a product mutex by name, as a running program of the product does.
class HeldMutex {
public:
    explicit HeldMutex(const std::string& name) : handle_(CreateMutexA(nullptr, FALSE, name.c_str())) {}
    ~HeldMutex() {
        if (handle_) CloseHandle(handle_);
    }
    HeldMutex(const HeldMutex&) = delete;
    HeldMutex& operator=(const HeldMutex&) = delete;
    bool ok() const { return handle_ != nullptr; }

private:
    HANDLE handle_;
};

class RoadSandbox {
public:
    // driver: the program the sandbox runs (built beside the tests); serverArgs:
    // more arguments for the fixture server.
    explicit RoadSandbox(const std::wstring& driver = L"startup_driver.exe",
                         const std::vector<std::string>& serverArgs = {})
        : driver_(driver),
          dir_(L"road"),
          server_(new tst::LinuxProcess()),
          serverUp_(startServer(*server_, serverArgs)),
          adaptIni_(getAdaptIniPath()),
          pending_(pendingLaunchPath()),
          channelIni_(getCnosFolder() + L"\\52817.ini") {
        // The road starts from a machine without leftovers of other runs.
        DeleteFileW(getAdaptIniPath().c_str());
        DeleteFileW(pendingLaunchPath().c_str());
        prog_ = dir_.file(L"prog");
        home_ = dir_.file(L"home");
        CreateDirectoryW(prog_.c_str(), nullptr);
        CreateDirectoryW(home_.c_str(), nullptr);
    }
    // The members go in reverse order: the shared files are put back and the
    // mutex released before the sandbox's own server and folder go.
    ~RoadSandbox() {
        for (const std::wstring& log : logs_) DeleteFileW(log.c_str());
    }
    RoadSandbox(const RoadSandbox&) = delete;
    RoadSandbox& operator=(const RoadSandbox&) = delete;

    bool ready() const { return lock_.held() && serverUp_; }
    std::wstring base() const { return L"http://127.0.0.1:" + std::to_wstring(server_->port()); }
    const std::wstring& progDir() const { return prog_; }
    const std::wstring& homeDir() const { return home_; }
    const std::wstring& tempDir() const { return dir_.path(); }
    // Where the driver's offline player lives (beside the program).
    std::wstring playerPath() const { return prog_ + L"\\TarvoPlayer.exe"; }
    std::wstring playerRecord() const { return dir_.file(L"player.txt"); }

    bool placePlayer() {
        return CopyFileW((tst::binDir() + L"\\TarvoPlayer.exe").c_str(), playerPath().c_str(), FALSE) != FALSE;
    }
    // The fixture server's root (its /data/ files; its requests.log).
    std::wstring serverFolder() const { return server_->folder(); }
    // A file the fixture server answers under /data/.
    bool serve(const std::wstring& name, const std::string& bytes) {
        return tst::writeFile(server_->folder() + L"\\" + name, bytes);
    }
    // The request lines the fixture server saw ("GET /Stat?... HTTP/1.1").
    std::vector<std::string> requests() const {
        std::string text;
        tst::readFile(server_->folder() + L"\\requests.log", text);
        std::vector<std::string> out;
        for (const std::string& l : splitLines(text))
            if (l.compare(0, 4, "GET ") == 0) out.push_back(l);
        return out;
    }
    // The command lines the stand-in player recorded.
    std::vector<std::string> playerStarts(DWORD waitMs = 10000, size_t expected = 1) const {
        std::vector<std::string> lines;
        for (DWORD waited = 0;; waited += 100) {
            std::string text;
            tst::readFile(playerRecord(), text);
            lines = splitLines(text);
            if (lines.size() >= expected || waited >= waitMs) return lines;
            Sleep(100);
        }
    }

    // The driver runs as <name>.exe (and logs to <name>.log) instead of a name of its own.
    void setDriverName(const std::wstring& name) { driverName_ = name; }
    // The developer settings' "home" (the player home of the offline driver).
    void setHome(const std::wstring& home) { home_ = home; }
    // The path the driver runs from.
    std::wstring driverPath() const { return prog_ + L"\\" + driverName_ + L".exe"; }

    // The driver's program under a name of its own, so that its log file is its own.
    std::wstring installDriver() {
        static int serial = 0;
        const std::wstring name = !driverName_.empty() ? driverName_
                                  : L"road_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
        const std::wstring exe = prog_ + L"\\" + name + L".exe";
        if (!CopyFileW((tst::binDir() + L"\\" + driver_).c_str(), exe.c_str(), FALSE)) return std::wstring();
        std::string settings = "online=0\nhome=" + tst::narrow(home_) + "\n";
        for (const char* key : {"stat_host", "product_host", "market_host", "market_down_host", "market_stat_host",
                                "www_host", "cdn_host"})
            settings += std::string(key) + "=" + tst::narrow(base()) + "\n";
        tst::writeFile(prog_ + L"\\tarvo-dev.lic", settings);
        logs_.push_back(getLogFolder() + L"\\" + name + L".log");
        return exe;
    }

    // Starts the driver without waiting; the case file lies beside it.
    struct Started {
        HANDLE process = nullptr;
        std::wstring casePath, logPath;
    };
    Started start(const std::wstring& args, const std::string& caseText,
                  const std::vector<std::wstring>& extraEnv = {}) {
        const std::wstring exe = installDriver();
        if (exe.empty()) return Started();
        return startLine(L"\"" + exe + L"\" " + args, caseText, extraEnv);
    }
    // The same with the whole command line given (the driver is installed first).
    Started startCommand(const std::wstring& command, const std::string& caseText,
                         const std::vector<std::wstring>& extraEnv = {}) {
        if (installDriver().empty()) return Started();
        return startLine(command, caseText, extraEnv);
    }
    Started startLine(const std::wstring& command, const std::string& caseText,
                      const std::vector<std::wstring>& extraEnv) {
        Started s;
        static int serial = 0;
        s.casePath = dir_.file(L"case" + std::to_wstring(++serial) + L".txt");
        s.logPath = logs_.back();
        tst::writeFile(s.casePath, caseText);
        std::wstring env;
        std::vector<std::wstring> entries = {L"TARVO_ROAD_CASE=" + s.casePath,
                                             L"TARVO_PLAYER_RECORD=" + playerRecord()};
        entries.insert(entries.end(), extraEnv.begin(), extraEnv.end());
        // The child's environment: ours plus the entries.
        wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1) env.append(p).push_back(L'\0');
        FreeEnvironmentStringsW(block);
        for (const std::wstring& e : entries) env.append(e).push_back(L'\0');
        env.push_back(L'\0');
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(L'\0');
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, &env[0],
                            prog_.c_str(), &si, &pi))
            return s;
        CloseHandle(pi.hThread);
        s.process = pi.hProcess;
        return s;
    }
    // Waits for a started driver and reads what it left.
    DriverRun finish(Started& s, DWORD waitMs = 90000) {
        DriverRun run;
        if (!s.process) {
            run.exitCode = -2000;
            return run;
        }
        if (WaitForSingleObject(s.process, waitMs) != WAIT_OBJECT_0) {
            TerminateProcess(s.process, 1000);
            WaitForSingleObject(s.process, 5000);
            run.exitCode = -1000;
        } else {
            DWORD code = 0;
            GetExitCodeProcess(s.process, &code);
            run.exitCode = (long)code;
        }
        CloseHandle(s.process);
        s.process = nullptr;
        std::string out;
        tst::readFile(s.casePath + L".out", out);
        run.lines = splitLines(out);
        tst::readFile(s.logPath, run.log);
        return run;
    }
    DriverRun run(const std::wstring& args, const std::string& caseText,
                  const std::vector<std::wstring>& extraEnv = {}) {
        Started s = start(args, caseText, extraEnv);
        return finish(s);
    }

private:
    static bool startServer(tst::LinuxProcess& server, const std::vector<std::string>& serverArgs) {
        std::vector<std::string> argv = {"/usr/bin/python3", tst::testingDirUnix() + "/channel_fixture/server.py"};
        argv.insert(argv.end(), serverArgs.begin(), serverArgs.end());
        return server.start(argv, 280);
    }

    std::wstring driver_;
    std::wstring driverName_;
    // The sandbox's own folder and fixture server come before the mutex: they
    // touch nothing that other tests read.
    tst::TempDir dir_;
    std::wstring prog_, home_;
    std::unique_ptr<tst::LinuxProcess> server_;
    bool serverUp_ = false;
    tst::MachineStateLock lock_;
    tst::SavedFile adaptIni_;
    tst::SavedFile pending_;
    tst::SavedFile channelIni_;
    SavedMidCache midCache_;
    std::vector<std::wstring> logs_;
};

}  // namespace roadtest
