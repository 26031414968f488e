#include "services/log.h"

#include <windows.h>
#include <share.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "services/loader_env.h"
#include "toolkit/lock.h"
#include "toolkit/log_sink.h"
#include "toolkit/smart_ptr.h"

namespace {

// The open log stream, or null when the file could not be opened.
class LogFile {
public:
    explicit LogFile(const std::wstring& path) : stream_(_wfsopen(path.c_str(), L"a", _SH_DENYNO)) {}
    ~LogFile() {
        if (stream_) fclose(stream_);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    FILE* stream() const { return stream_; }

private:
    FILE* stream_;
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
    return getLogFolder() + L"\\" + name + L".log";
}

}  // namespace

void writeLogLine(const char* text, size_t length) {
    ravel::system::ScopedLock guard(logLock());
    ravel::object::smart_ptr<LogFile>& holder = logFileHolder();
    if (!g_logOpened) {
        g_logOpened = true;
        LogFile* file = new LogFile(logFilePath());  // creates the log folder
        if (file->stream()) {
            holder.reset(file);
        } else {
            delete file;
        }
    }
    if (holder == nullptr) return;
    FILE* stream = holder->stream();

    char stamp[64] = {};
    time_t now = time(nullptr);
    struct tm* local = localtime(&now);
    if (local) strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S, ", local);
    fputs(stamp, stream);
    fputs(", ", stream);  // after the tag, which is always empty
    if (text && length) fwrite(text, 1, length, stream);
    fputc('\n', stream);
    fflush(stream);
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
