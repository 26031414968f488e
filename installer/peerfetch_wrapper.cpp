#include "installer/peerfetch_wrapper.h"

#include <stdexcept>

namespace {

// Used by one downloader worker at a time, so no lock.
PeerfetchWrapper::Table* g_shared = nullptr;

// Stops at the first NUL, or at the end of the field.
std::wstring boundedText(const wchar_t* text, size_t maxChars) {
    size_t n = 0;
    while (n < maxChars && text[n]) ++n;
    return std::wstring(text, n);
}

}  // namespace

const char* const PeerfetchWrapper::kExportNames[Table::kEntries] = {
    nullptr,            // the module handle
    "PPInit",           "PPInit2",          "PPClose",          "PPSetConfig",
    "PPGetConfig",      nullptr,            "PPStopTask",       "PPRestart",
    "PPRemoveTask",     "PPStopSeed",       "PPCloseHandle",    "PPQueryTask",
    "PPQueryTaskEx",    "PPStartTask",      "PPStartTaskEx",    "PPSetOption",
    "_GetTasks",        "_StartRun",        "_StopRun",         "_Run",
    "_EnableP2P",       "_SetKeep",         "_SetKeepEx",       "_IsStopped",
    "_PPQueryTask2",    "__PPSetModulePath2", "StartLan",       "StopLan",
    "_PPQueryIPPort",   "_PPSetLocalLog",   "_P2SPUpdateRegInfo", "_P2SPCheckProxy",
    "_P2SPCancelCheckProxy", "_P2SPSetOption",
};

PeerfetchWrapper::PeerfetchWrapper(const std::wstring& path) : table(nullptr), dllPath(path) {}

PeerfetchWrapper::~PeerfetchWrapper() { unload(); }

const PeerfetchWrapper::Table* PeerfetchWrapper::sharedTable() { return g_shared; }

void PeerfetchWrapper::bind(Table& t, const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) throw std::runtime_error("can not load peerfetch.dll");
    t.entries[Table::kModule] = reinterpret_cast<void*>(module);
    for (int i = 1; i < Table::kEntries; ++i)
        t.entries[i] = kExportNames[i] ? reinterpret_cast<void*>(GetProcAddress(module, kExportNames[i])) : nullptr;
}

bool PeerfetchWrapper::acquire() {
    if (g_shared) {
        table = g_shared;
        return true;
    }
    Table* fresh = nullptr;
    try {
        fresh = new Table();
        bind(*fresh, dllPath);
    } catch (...) {
        delete fresh;
        return false;
    }
    g_shared = fresh;
    table = fresh;
    return true;
}

bool PeerfetchWrapper::releaseShared() {
    table = nullptr;
    delete g_shared;
    g_shared = nullptr;
    return true;
}

bool PeerfetchWrapper::unload() {
    if (!table) return true;
    table = nullptr;
    FreeLibrary(GetModuleHandleW(L"peerfetch.dll"));
    if (GetModuleHandleW(L"peerfetch.dll")) return true;
    return releaseShared();
}

PeerfetchHandle PeerfetchWrapper::startTask(PeerfetchTaskParams& params) {
    if (!table || !table->entries[Table::kStartTaskEx]) return 0;
    PPStartTaskExFn start = reinterpret_cast<PPStartTaskExFn>(table->entries[Table::kStartTaskEx]);
    std::wstring fullPath = boundedText(params.folder, PeerfetchTaskParams::kFolderChars) + L"\\" +
                            boundedText(params.fileName, PeerfetchTaskParams::kFileNameChars);
    return start(params.url, fullPath.c_str(), 600000, 0, 0, this, 0, 0);
}

bool PeerfetchWrapper::stopAndRemove(PeerfetchHandle handle) {
    if (!table || !handle) return true;
    if (table->entries[Table::kStopTask])
        reinterpret_cast<PPStopTaskFn>(table->entries[Table::kStopTask])(handle);
    if (table->entries[Table::kRemoveTask])
        reinterpret_cast<PPRemoveTaskFn>(table->entries[Table::kRemoveTask])(handle);
    return true;
}

bool PeerfetchWrapper::queryTask(PeerfetchHandle handle, PeerfetchTaskStatus& status) {
    if (!table || !handle || !table->entries[Table::kQueryTaskEx]) return false;
    PPQueryTaskExFn query = reinterpret_cast<PPQueryTaskExFn>(table->entries[Table::kQueryTaskEx]);
    return (query(handle, &status) & 0xFF) != 0;
}
