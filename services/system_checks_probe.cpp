// VT-x as the probe library "hvprobe.dll" answers it.
#include "services/system_checks.h"

#include <windows.h>

#include <map>
#include <memory>
#include <vector>

#include "services/loader_env.h"
#include "services/log.h"
#include "services/system_checks_internal.h"
#include "toolkit/file_util.h"
#include "toolkit/path.h"
#include "toolkit/sys_util.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"
#endif

namespace {

#ifdef TARVO_TEST_SEAMS
HMODULE g_probeModule = nullptr;  // null: the running program
WORD g_probeResourceId = 243;
#else
const HMODULE g_probeModule = nullptr;  // the running program
const WORD g_probeResourceId = 243;
#endif

// Kept once the export was called (installer thread only).
bool g_vtAnswered = false;
bool g_vtAnswer = false;

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    ~LoadedLibrary() {
        if (module_) FreeLibrary(module_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

typedef int(__cdecl* IsVTOnFn)();

}  // namespace

#ifdef TARVO_TEST_SEAMS
namespace syschecks {

void forgetVtAnswer() {
    g_vtAnswered = false;
    g_vtAnswer = false;
}

}  // namespace syschecks
#endif

bool isVTEnabled() {
    if (g_vtAnswered) return g_vtAnswer;

    const std::wstring dataFolder = getUserDataFolder();
    if (dataFolder.empty()) {
        // Nothing is unpacked or loaded from a folder that is not the product's.
        logPrintf("no data folder");
        return false;
    }
    const ravel::file::Path libraryFolder = ravel::file::Path(dataFolder) / L"vtchecker";
    const ravel::file::Path libraryPath = libraryFolder / L"hvprobe.dll";
    addToPathEnv(libraryFolder.toString());

    // Always unpack afresh: an old or replaced library (and the drivers it
    // registers as a kernel service) must never be used. Only the library path
    // is loaded; nothing is taken from the current folder.
    deletePath(libraryFolder.toString(), false).ignore();
    // What the folder delete left (read-only, or a link) must not block the unpack.
    removeEntry(libraryPath.toString(), true);
    std::map<std::wstring, std::string> files;
    extractZipResource(g_probeModule, L"VT_CHECKER", g_probeResourceId, dataFolder, &files);

    // Every unpacked file (the library and the drivers it registers) is held
    // unchangeable, once found equal to the archive's, until the probe is done.
    std::vector<std::unique_ptr<PinnedFile>> held;
    bool checked = files.count(L"vtchecker\\hvprobe.dll") != 0;
    for (const auto& file : files) {
        if (!checked) break;
        const std::wstring path = dataFolder + L"\\" + file.first;
        held.emplace_back(new PinnedFile());
        checked = held.back()->pinIfEqual(path, file.second);
    }
    if (!checked) {
        logPrintf("library check failed: %s", pathToAnsi(libraryPath).c_str());
        return false;
    }

    bool answer = false;
    LoadedLibrary library(libraryPath.toString());
    if (library.get()) {
        IsVTOnFn isVTOn =
            reinterpret_cast<IsVTOnFn>(reinterpret_cast<void*>(GetProcAddress(library.get(), "isVTOn")));
        if (isVTOn) {
            g_vtAnswered = true;
            answer = isVTOn() != 0;
            g_vtAnswer = answer;
        }
    }
    return answer;
}

#ifdef TARVO_TEST_SEAMS
void setProbeResourceForTests(HMODULE module, WORD id) {
    g_probeModule = module;
    g_probeResourceId = id;
}
#endif
