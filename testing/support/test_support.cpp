#include "testing/support/test_support.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "toolkit/log_sink.h"

#include <shellapi.h>
#include <objbase.h>
#include <shlobj.h>
#include <algorithm>
#include <atomic>

#ifndef TARVO_SOURCE_DIR
#error TARVO_SOURCE_DIR must name the repository
#endif

namespace tst {

std::wstring binDir() {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    std::wstring p(buf, n);
    size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

std::wstring ownLogPath() {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    std::wstring name(buf, n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return getLogFolder() + L"\\" + name.substr(0, name.find_last_of(L'.')) + L".log";
}

std::wstring picturePath(const std::wstring& name) { return binDir() + L"\\pictures\\" + name; }

LinkInfo readLink(const std::wstring& file) {
    LinkInfo info;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return info;
    IPersistFile* persist = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
        if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
            info.loaded = true;
            wchar_t buffer[MAX_PATH] = {0};
            link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH);
            info.path = buffer;
            buffer[0] = 0;
            link->GetArguments(buffer, MAX_PATH);
            info.arguments = buffer;
            buffer[0] = 0;
            link->GetWorkingDirectory(buffer, MAX_PATH);
            info.workingFolder = buffer;
            buffer[0] = 0;
            link->GetIconLocation(buffer, MAX_PATH, &info.iconIndex);
            info.iconPath = buffer;
        }
        persist->Release();
    }
    link->Release();
    return info;
}

std::wstring widen(const std::string& s) {
    if (s.empty()) return L"";
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

static std::atomic<unsigned> g_tempCounter{0};

TempDir::TempDir(const std::wstring& tag) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (;;) {
        path_ = std::wstring(base) + L"tarvo_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) +
                L"_" + std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++g_tempCounter);
        if (CreateDirectoryW(path_.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
}

TempDir::~TempDir() { removeTree(path_); }

std::vector<std::string> statActions(const std::wstring& requestLog) {
    std::string log;
    readFile(requestLog, log);
    std::vector<std::string> out;
    for (size_t at = log.find("/Stat?action="); at != std::string::npos; at = log.find("/Stat?action=", at + 1)) {
        const size_t start = at + 13;
        out.push_back(log.substr(start, log.find_first_of("& ", start) - start));
    }
    return out;
}

void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            // Never follow links out of the tree.
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                removeTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryW(full.c_str());
                else DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), (DWORD)bytes.size(), &done, nullptr);
    CloseHandle(h);
    return ok && done == bytes.size();
}

bool readFile(const std::wstring& path, std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    CloseHandle(h);
    return true;
}

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> readLines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::string bytes;
    if (!readFile(path, bytes)) return lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> logLinesSince(const std::wstring& log, size_t offset) {
    std::vector<std::string> out;
    std::string bytes;
    if (!readFile(log, bytes)) return out;
    size_t start = std::min(offset, bytes.size());
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t text = line.find(", , ");
        out.push_back(text == std::string::npos ? line : line.substr(text + 4));
    }
    return out;
}

std::string unixPath(const std::wstring& windowsPath) {
    typedef char* (CDECL * Fn)(LPCWSTR);
    static Fn fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) return std::string();
    char* p = fn(windowsPath.c_str());
    if (!p) return std::string();
    std::string out(p);
    HeapFree(GetProcessHeap(), 0, p);
    return out;
}

// --- debugger output ---------------------------------------------------------------
namespace {
std::mutex g_dbgMutex;
std::vector<std::string> g_dbgTexts;
std::atomic<int> g_dbgActive{0};
}  // namespace

LONG CALLBACK DebugOutputCapture::handler(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == 0x40010006 /* DBG_PRINTEXCEPTION_C */ &&
        g_dbgActive.load() > 0 && info->ExceptionRecord->NumberParameters >= 2) {
        size_t len = (size_t)info->ExceptionRecord->ExceptionInformation[0];
        const char* text = reinterpret_cast<const char*>(info->ExceptionRecord->ExceptionInformation[1]);
        std::string s(text, text ? len : 0);
        while (!s.empty() && s.back() == '\0') s.pop_back();
        std::lock_guard<std::mutex> g(g_dbgMutex);
        g_dbgTexts.push_back(s);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

DebugOutputCapture::DebugOutputCapture() {
    clear();
    ++g_dbgActive;
    cookie_ = AddVectoredExceptionHandler(1, &DebugOutputCapture::handler);
}

DebugOutputCapture::~DebugOutputCapture() {
    RemoveVectoredExceptionHandler(cookie_);
    --g_dbgActive;
}

std::vector<std::string> DebugOutputCapture::texts() const {
    std::lock_guard<std::mutex> g(g_dbgMutex);
    return g_dbgTexts;
}

bool DebugOutputCapture::contains(const std::string& text) const {
    std::lock_guard<std::mutex> g(g_dbgMutex);
    return std::find(g_dbgTexts.begin(), g_dbgTexts.end(), text) != g_dbgTexts.end();
}

void DebugOutputCapture::clear() {
    std::lock_guard<std::mutex> g(g_dbgMutex);
    g_dbgTexts.clear();
}

// --- Linux-side programs --------------------------------------------------------------
std::string shQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

// Quotes one argument by the rules that split a Windows command line.
static std::wstring winQuote(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') { ++backslashes; continue; }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

bool runLinux(const std::string& shellCommand, DWORD waitMs, int* exitCode) {
    // Wine starts a Unix program without a process handle to wait on: the shell
    // reports its end through a file instead.
    TempDir done(L"sh");
    std::string doneFile = unixPath(done.file(L"done"));
    std::string script = "(" + shellCommand + ") </dev/null >/dev/null 2>&1; echo $? > " + shQuote(doneFile + ".tmp") +
                         " && mv " + shQuote(doneFile + ".tmp") + " " + shQuote(doneFile);
    std::wstring cmd = L"/bin/sh -c " + winQuote(widen(script));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) CloseHandle(pi.hProcess);
    std::string text;
    for (DWORD waited = 0; waited <= waitMs; waited += 10) {
        if (readFile(done.file(L"done"), text)) {
            if (exitCode) *exitCode = atoi(text.c_str());
            return true;
        }
        Sleep(10);
    }
    return false;
}

std::string testingDirUnix() { return std::string(TARVO_SOURCE_DIR) + "/testing"; }

LinuxProcess::~LinuxProcess() { stop(); }

bool LinuxProcess::start(const std::vector<std::string>& argv, int timeoutSeconds, DWORD waitMs) {
    stop();
    dir_ = new TempDir(L"srv");
    std::string dir = unixPath(dir_->path());
    std::string ready = dir + "/ready", pidFile = dir + "/pid";
    std::string cmd = "cd " + shQuote(dir) + " && TARVO_READY_FILE=" + shQuote(ready) + " timeout -k 5 " +
                      std::to_string(timeoutSeconds);
    for (const auto& a : argv) cmd += " " + shQuote(a);
    cmd += " </dev/null >" + shQuote(dir + "/output.log") + " 2>&1 & echo $! > " + shQuote(pidFile);
    if (!runLinux(cmd, 10000)) return false;
    std::string text;
    if (readFile(dir_->file(L"pid"), text)) pid_ = atol(text.c_str());
    for (DWORD waited = 0; waited < waitMs; waited += 20) {
        if (readFile(dir_->file(L"ready"), text) && !text.empty() && text.back() == '\n') {
            port_ = atoi(text.c_str());
            return true;
        }
        Sleep(20);
    }
    return false;
}

void LinuxProcess::stop() {
    if (pid_ > 0) runLinux("kill " + std::to_string(pid_) + " 2>/dev/null", 5000);
    pid_ = 0;
    port_ = 0;
    delete dir_;
    dir_ = nullptr;
}

std::vector<wchar_t> environmentWith(const std::vector<std::wstring>& extraEnv) {
    std::vector<wchar_t> env;
    if (extraEnv.empty()) return env;
    wchar_t* block = GetEnvironmentStringsW();
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) env.insert(env.end(), p, p + wcslen(p) + 1);
    FreeEnvironmentStringsW(block);
    for (const auto& e : extraEnv) env.insert(env.end(), e.c_str(), e.c_str() + e.size() + 1);
    env.push_back(0);
    return env;
}

long runProgram(const std::wstring& commandLine, DWORD waitMs, const std::vector<std::wstring>& extraEnv) {
    std::vector<wchar_t> env = environmentWith(extraEnv);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> buf(commandLine.begin(), commandLine.end());
    buf.push_back(0);
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        env.empty() ? nullptr : env.data(), nullptr, &si, &pi))
        return -1001;
    DWORD w = WaitForSingleObject(pi.hProcess, waitMs);
    DWORD code = 0;
    if (w != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        code = (DWORD)-1000;
    } else {
        GetExitCodeProcess(pi.hProcess, &code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (long)code;
}

DWORD openServiceError(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError();
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

bool serviceGone(const char* name) { return openServiceError(name) == ERROR_SERVICE_DOES_NOT_EXIST; }

void purgeService(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    for (int i = 0; i < 100 && !serviceGone(name); ++i) Sleep(100);
}

MachineStateLock::MachineStateLock() : mutex_(CreateMutexW(nullptr, FALSE, L"tarvo-test-machine-state")) {
    if (mutex_) {
        DWORD r = WaitForSingleObject(mutex_, 120000);
        held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
}

MachineStateLock::~MachineStateLock() {
    if (!mutex_) return;
    if (held_) ReleaseMutex(mutex_);
    CloseHandle(mutex_);
}

SavedFile::SavedFile(const std::wstring& path) : path_(path) { existed_ = readFile(path_, bytes_); }

SavedFile::~SavedFile() {
    if (existed_) {
        SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        writeFile(path_, bytes_);
    } else {
        removeNow();
    }
}

void SavedFile::removeNow() {
    SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path_.c_str());
}

SavedRegistryValue::SavedRegistryValue(HKEY root, const std::wstring& key, const std::wstring& value, REGSAM view)
    : root_(root), key_(key), value_(value), view_(view) {
    HKEY h = nullptr;
    keyExisted_ = RegOpenKeyExW(root_, key_.c_str(), 0, KEY_QUERY_VALUE | view_, &h) == ERROR_SUCCESS;
    if (!keyExisted_) return;
    DWORD size = 0;
    if (RegQueryValueExW(h, value_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
        bytes_.resize(size);
        valueExisted_ = RegQueryValueExW(h, value_.c_str(), nullptr, &type_, bytes_.data(), &size) == ERROR_SUCCESS;
        bytes_.resize(size);
    }
    RegCloseKey(h);
}

SavedRegistryValue::~SavedRegistryValue() {
    if (!keyExisted_) {
        RegDeleteKeyExW(root_, key_.c_str(), view_, 0);
        return;
    }
    HKEY h = nullptr;
    if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (valueExisted_)
        RegSetValueExW(h, value_.c_str(), 0, type_, bytes_.data(), (DWORD)bytes_.size());
    else
        RegDeleteValueW(h, value_.c_str());
    RegCloseKey(h);
}

bool SavedRegistryValue::set(const std::wstring& text) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(h, value_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            (DWORD)((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return r == ERROR_SUCCESS;
}

void SavedRegistryValue::remove() {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root_, key_.c_str(), 0, KEY_SET_VALUE | view_, &h) != ERROR_SUCCESS) return;
    RegDeleteValueW(h, value_.c_str());
    RegCloseKey(h);
}

FileHeldElsewhere::FileHeldElsewhere(const std::wstring& path, DWORD ms) {
    std::wstring command = L"\"" + binDir() + L"\\proc_child.exe\" @hold-read \"" + path + L"\" " + std::to_wstring(ms);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    // Held once a delete-access open meets a sharing violation.
    for (int i = 0; i < 200 && !held_; ++i) {
        HANDLE probe = CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        held_ = probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
        if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
        if (!held_) Sleep(50);
    }
}

FileHeldElsewhere::~FileHeldElsewhere() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    CloseHandle(process_);
}

}  // namespace tst

namespace {
// Test programs log as the loader does, the toolkit's lines included.
const bool g_toolkitLogSet = (ravel::log::setLineSink(&writeLogLine), true);
}  // namespace
