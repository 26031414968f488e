#include "services/log.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "services/loader_env.h"
#include "toolkit/lock.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/log_sink.h"
#include "toolkit/smart_ptr.h"

namespace {

// The open log file, or an invalid handle when it could not be opened. Another
// process (the elevated copy of the loader) may write the same file at the same
// time: a lock on a byte far past any real end makes "seek to the end and write"
// one step for both, so no line is written over or split. The open file cannot be
// deleted (the removal of the product's folders leaves it for the restart).
class LogFile {
public:
    explicit LogFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    bool good() const { return handle_.valid(); }
    void write(const std::string& line) {
        OVERLAPPED at = {};
        at.OffsetHigh = 0x40000000;
        const bool locked = LockFileEx(handle_.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != FALSE;
        LARGE_INTEGER zero = {};
        SetFilePointerEx(handle_.get(), zero, nullptr, FILE_END);
        DWORD written = 0;
        WriteFile(handle_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (locked) UnlockFileEx(handle_.get(), 0, 1, 0, &at);
    }

private:
    ScopedHandle handle_;
};

// Both are created on first use and never destroyed: global objects of other
// units log from their destructors at exit, in an order nobody controls.
ravel::system::Lock& logLock() {
    static ravel::system::Lock* lock = new ravel::system::Lock();
    return *lock;
}

ravel::object::smart_ptr<LogFile>& logFileHolder() {
    static ravel::object::smart_ptr<LogFile>* holder = new ravel::object::smart_ptr<LogFile>();
    return *holder;
}

bool g_logOpened = false;

std::wstring logFilePath() {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    module[MAX_PATH - 1] = 0;
    std::wstring name = PathFindFileNameW(module);
    size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    // No log folder: no log, rather than one on the current drive's root.
    return dataPath(getLogFolder(), L"\\" + name + L".log");
}

}  // namespace

void writeLogLine(const char* text, size_t length) {
    ravel::system::ScopedLock guard(logLock());
    ravel::object::smart_ptr<LogFile>& holder = logFileHolder();
    if (!g_logOpened) {
        g_logOpened = true;
        LogFile* file = new LogFile(logFilePath());  // creates the log folder
        if (file->good()) {
            holder.reset(file);
        } else {
            delete file;
        }
    }
    if (holder == nullptr) return;

    char stamp[64] = {};
    time_t now = time(nullptr);
    struct tm* local = localtime(&now);
    if (local) strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S, ", local);
    std::string line = stamp;
    line += ", ";  // after the tag, which is always empty
    line.reserve(line.size() + length + 8);
    // Line ends as a text-mode stream writes them: every line feed becomes CR LF.
    for (size_t i = 0; text && i < length; ++i) {
        if (text[i] == '\n') line += '\r';
        line += text[i];
    }
    line += "\r\n";
    holder->write(line);
}

void logPrintf(const char* format, ...) {
    if (!format) return;
    char buffer[ravel::log::kLineBytes];
    va_list args;
    va_start(args, format);
    long n = ravel::log::formatLine(buffer, format, args);
    va_end(args);
    writeLogLine(buffer, n < 0 ? strlen(buffer) : static_cast<size_t>(n));
}
