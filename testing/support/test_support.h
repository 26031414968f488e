// Helpers shared by the test executables.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include <mutex>

namespace tst {

// Folder of the running test executable; stand-in programs are built beside it.
std::wstring binDir();

// This test program's log file (<log folder>\<program>.log), where its own
// lines and the toolkit's go.
std::wstring ownLogPath();

// A generated picture fixture (testing/pictures/make_pictures.py) beside the test programs.
std::wstring picturePath(const std::wstring& name);

// What a shell link file holds (COM must be initialised on the calling thread).
struct LinkInfo {
    bool loaded = false;  // false when the file does not load as a link
    std::wstring path, arguments, workingFolder, iconPath;
    int iconIndex = -1;
};
LinkInfo readLink(const std::wstring& file);

// A fresh folder under the user's temporary folder, removed with its contents.
class TempDir {
public:
    explicit TempDir(const std::wstring& tag = L"t");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }
private:
    std::wstring path_;
};

void removeTree(const std::wstring& path);
bool writeFile(const std::wstring& path, const std::string& bytes);
bool readFile(const std::wstring& path, std::string& bytes);
bool fileExists(const std::wstring& path);
// The file's lines without their ends ("\n" or "\r\n"); none when it cannot be read.
std::vector<std::string> readLines(const std::wstring& path);
// The lines of a log file after its first `offset` bytes, without their ends
// and without the time stamp before ", , ".
std::vector<std::string> logLinesSince(const std::wstring& log, size_t offset);

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);  // UTF-8

// The /Stat action words in a fixture server's request log, in order.
std::vector<std::string> statActions(const std::wstring& requestLog);

// Unix path of a Windows path (Wine's kernel32 provides the conversion).
std::string unixPath(const std::wstring& windowsPath);

// Captures OutputDebugString texts of this process while alive.
class DebugOutputCapture {
public:
    DebugOutputCapture();
    ~DebugOutputCapture();
    std::vector<std::string> texts() const;
    bool contains(const std::string& text) const;
    void clear();
private:
    static LONG CALLBACK handler(EXCEPTION_POINTERS* info);
    void* cookie_;
};

// A program on the Linux side (a Python fixture server, a real tool), started through
// /bin/sh. The program must write "<port>\n" to the file named by $TARVO_READY_FILE once
// it listens (write 0 when it has no port). It is killed by pid when this object goes,
// and runs at most timeoutSeconds in any case.
class LinuxProcess {
public:
    LinuxProcess() = default;
    ~LinuxProcess();
    LinuxProcess(const LinuxProcess&) = delete;
    LinuxProcess& operator=(const LinuxProcess&) = delete;
    // argv[0] is a Linux program path; returns false when it did not get ready in waitMs.
    bool start(const std::vector<std::string>& argv, int timeoutSeconds = 120, DWORD waitMs = 15000);
    void stop();
    int port() const { return port_; }
    long pid() const { return pid_; }
    // The program's current folder (Windows path); its files can be read while it runs.
    std::wstring folder() const { return dir_ ? dir_->path() : std::wstring(); }
private:
    TempDir* dir_ = nullptr;
    long pid_ = 0;
    int port_ = 0;
};

// proc_child.exe holding a file open for ms, shared for reading only (as a
// library that another program loaded is): it can be read, not replaced or
// deleted. The destructor waits for the holder to end.
class FileHeldElsewhere {
public:
    FileHeldElsewhere(const std::wstring& path, DWORD ms);
    ~FileHeldElsewhere();
    FileHeldElsewhere(const FileHeldElsewhere&) = delete;
    FileHeldElsewhere& operator=(const FileHeldElsewhere&) = delete;
    bool held() const { return held_; }
private:
    HANDLE process_ = nullptr;
    bool held_ = false;
};

// Runs a shell command line on the Linux side (stdio on /dev/null) and waits, at most
// waitMs, for it to finish; false on time-out. exitCode receives the shell's status.
bool runLinux(const std::string& shellCommand, DWORD waitMs = 30000, int* exitCode = nullptr);

// Quotes a text for /bin/sh.
std::string shQuote(const std::string& text);

// The repository's folder for fixtures: <repo>/testing, as a Unix path.
std::string testingDirUnix();

// This process's environment block plus extra "NAME=value" entries, for CreateProcessW
// with CREATE_UNICODE_ENVIRONMENT; empty when there are no extras (inherit as it is).
std::vector<wchar_t> environmentWith(const std::vector<std::wstring>& extraEnv);

// Starts a Windows program, waits up to waitMs, returns its exit code (or -1000 on
// time-out, after terminating it). Extra environment entries are added for the child.
long runProgram(const std::wstring& commandLine, DWORD waitMs = 60000,
                const std::vector<std::wstring>& extraEnv = {});

// Services of the prefix: the OpenService error for a name (ERROR_SUCCESS when it
// exists), whether it is gone, and stop-and-delete with a bounded wait until it is.
DWORD openServiceError(const char* name);
bool serviceGone(const char* name);
void purgeService(const char* name);

// The prefix's machine-state mutex ("tarvo-test-machine-state"), held while alive
// (waits at most two minutes). Tests that change the registry or the shared data
// folders hold it.
class MachineStateLock {
public:
    MachineStateLock();
    ~MachineStateLock();
    MachineStateLock(const MachineStateLock&) = delete;
    MachineStateLock& operator=(const MachineStateLock&) = delete;
    bool held() const { return held_; }
private:
    HANDLE mutex_;
    bool held_ = false;
};

// A file's bytes (or its absence) saved on construction and put back on
// destruction, over a read-only attribute too.
class SavedFile {
public:
    explicit SavedFile(const std::wstring& path);
    ~SavedFile();
    SavedFile(const SavedFile&) = delete;
    SavedFile& operator=(const SavedFile&) = delete;
    void removeNow();  // deletes the file (what was saved stays)
private:
    std::wstring path_;
    bool existed_ = false;
    std::string bytes_;
};

// A registry value saved on construction (with its key's existence) and put
// back on destruction. view: KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0.
class SavedRegistryValue {
public:
    SavedRegistryValue(HKEY root, const std::wstring& key, const std::wstring& value, REGSAM view = 0);
    ~SavedRegistryValue();
    SavedRegistryValue(const SavedRegistryValue&) = delete;
    SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;
    bool set(const std::wstring& text);  // REG_SZ
    void remove();
private:
    HKEY root_;
    std::wstring key_, value_;
    REGSAM view_;
    bool keyExisted_ = false, valueExisted_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> bytes_;
};

}  // namespace tst
