// The only code that touches "peerfetch.dll": loads it, keeps its exports in
// one process-wide table and offers the four calls the downloader needs.
#pragma once

#include <windows.h>

#include <string>

#include "platform/peerfetch/peerfetch_abi.h"

class PeerfetchWrapper {
public:
    // Entry 0 is the module handle, entries 1 to 34 the exports by name.
    struct Table {
        static const int kEntries = 35;
        enum {
            kModule = 0,
            kStopTask = 7,
            kRemoveTask = 9,
            kQueryTaskEx = 13,
            kStartTaskEx = 15,
        };
        void* entries[kEntries] = {};
    };

    explicit PeerfetchWrapper(const std::wstring& dllPath);
    virtual ~PeerfetchWrapper();

    PeerfetchWrapper(const PeerfetchWrapper&) = delete;
    PeerfetchWrapper& operator=(const PeerfetchWrapper&) = delete;

    // Takes the shared table, loading the library when there is none. False
    // when the library cannot be loaded; never throws.
    bool acquire();
    // Loads dllPath and fills the table; throws std::runtime_error
    // ("can not load peerfetch.dll") when the library does not load.
    static void bind(Table& table, const std::wstring& dllPath);
    // Drops (and frees) the shared table.
    bool releaseShared();
    // Frees this wrapper's reference to the library; once the module is gone
    // the shared table goes too, so the next acquire loads the library again.
    bool unload();

    // The full path is the block's folder, "\" and file name. 0 on failure.
    PeerfetchHandle startTask(PeerfetchTaskParams& params);
    bool stopAndRemove(PeerfetchHandle handle);
    bool queryTask(PeerfetchHandle handle, PeerfetchTaskStatus& status);

    const Table* getTable() const { return table; }
    const std::wstring& getDllPath() const { return dllPath; }
    // The process-wide table, null when none.
    static const Table* sharedTable();

    // The export names in table order; null for the entries looked up by no name.
    static const char* const kExportNames[Table::kEntries];

private:
    Table* table;
    std::wstring dllPath;
};
