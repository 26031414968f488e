// The VBox manager's appliance import and engine stop.
#include "installer/vbox_manager.h"
#include "installer/vbox_manager_internal.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>

#include "services/http_stat.h"
#include "services/log.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"

namespace tarvo {
namespace vboxmgr {

namespace {

int g_repairCount = 0;

// A file's image path through QueryFullProcessImageNameW, or GetModuleFileNameExW
// on systems without it.
std::wstring processImagePath(HANDLE process) {
    typedef BOOL(WINAPI * QueryFn)(HANDLE, DWORD, LPWSTR, PDWORD);
    static QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW")));
    wchar_t path[MAX_PATH * 4];
    if (query) {
        DWORD size = sizeof(path) / sizeof(path[0]);
        if (query(process, 0, path, &size)) return std::wstring(path, size);
        return std::wstring();
    }
    DWORD length = GetModuleFileNameExW(process, nullptr, path, sizeof(path) / sizeof(path[0]));
    return length ? std::wstring(path, length) : std::wstring();
}

ULONGLONG creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

struct SnapshotEntry {
    DWORD pid;
    DWORD parent;
    std::wstring exe;
};

std::vector<SnapshotEntry> takeSnapshot() {
    std::vector<SnapshotEntry> entries;
    ScopedHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return entries;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry)) {
        SnapshotEntry e;
        e.pid = entry.th32ProcessID;
        e.parent = entry.th32ParentProcessID;
        e.exe = entry.szExeFile;
        entries.push_back(e);
    }
    return entries;
}

void endProcess(DWORD pid, const std::wstring& exe) {
    ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) return;
    if (TerminateProcess(process.get(), 1)) {
        logPrintf("stop %s (%u)", ansi(exe).c_str(), static_cast<unsigned>(pid));
        WaitForSingleObject(process.get(), 5000);
    }
}

// The processes whose parent ids lead to root in the snapshot and that were created
// after it, deepest first.
std::vector<SnapshotEntry> descendantsDeepestFirst(const std::vector<SnapshotEntry>& all, DWORD root,
                                                   ULONGLONG rootCreated) {
    std::vector<std::pair<int, SnapshotEntry>> found;
    std::vector<std::pair<DWORD, ULONGLONG>> frontier{{root, rootCreated}};
    std::set<DWORD> seen{root};
    for (int depth = 1; !frontier.empty() && depth < 64; ++depth) {
        std::vector<std::pair<DWORD, ULONGLONG>> next;
        for (const auto& parent : frontier) {
            for (const SnapshotEntry& e : all) {
                if (e.parent != parent.first || seen.count(e.pid)) continue;
                ULONGLONG created = 0;
                {
                    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.pid));
                    if (!process) continue;
                    created = creationTime(process.get());
                }
                // An older process with a reused parent id is not a child.
                if (created < rootCreated) continue;
                seen.insert(e.pid);
                found.push_back(std::make_pair(depth, e));
                next.push_back(std::make_pair(e.pid, created));
            }
        }
        frontier.swap(next);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const std::pair<int, SnapshotEntry>& a, const std::pair<int, SnapshotEntry>& b) {
                         return a.first > b.first;
                     });
    std::vector<SnapshotEntry> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

}  // namespace

int VBoxManager::repairCount() { return g_repairCount; }

std::wstring VBoxManager::applianceFileName() {
    return host_.setting(L"tarvo.ova", L"tarvoplayer.ova");
}

bool VBoxManager::repairOleAutomation() {
    ++g_repairCount;
    static const wchar_t* const kKeys[] = {
        L"CLSID\\{00020420-0000-0000-C000-000000000046}", L"CLSID\\{00020421-0000-0000-C000-000000000046}",
        L"CLSID\\{00020422-0000-0000-C000-000000000046}", L"CLSID\\{00020423-0000-0000-C000-000000000046}",
        L"CLSID\\{00020424-0000-0000-C000-000000000046}", L"CLSID\\{00020425-0000-0000-C000-000000000046}",
    };
    HKEY root = host_.classesRoot();
    for (const wchar_t* name : kKeys) {
        ScopedRegKey key;
        if (RegOpenKeyExW(root, name, 0, KEY_SET_VALUE, key.receive()) == ERROR_SUCCESS) {
            // Only a key without subkeys goes: the broken state this repairs.
            RegDeleteKeyW(root, name);
        }
    }
    runForExitCode(systemProgram(L"regsvr32.exe") + L" /s oleaut32.dll", vboxToolLimits().registrationMs);
    reportStat(L"debug", format(L"E_NOINTERFACE(0x80004002)_%d_%s", g_repairCount, L"true"), L"vbox");
    return true;
}

int32_t VBoxManager::importAppliance(const std::wstring& ovaPath) {
    int32_t result = -103;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        std::wstring cmd = quote(install_path + L"\\VBoxManage.exe") + L" import " + quote(ovaPath);
        VBoxRunResult run = runLogged(cmd, vboxToolLimits().importMs);
        logPrintf("cmd: %s, result: %s, ret = %d", ansi(cmd).c_str(), run.output.c_str(),
                  static_cast<int>(run.exitCode));
        std::string output = lowerA(run.output);
        if (!run.timedOut && output.find("successfully imported the appliance") != std::string::npos) {
            result = 0;
            break;
        }
        // A second hang would double the wait.
        if (run.timedOut) break;
        if (attempt == 1 && output.find("0x80004002") != std::string::npos) repairOleAutomation();
    }
    reportStat(L"import_vm", format(L"result=%d", result), L"vbox");
    return result;
}

int32_t VBoxManager::stop() {
    stopIn(std::vector<std::wstring>{install_path});
    return 0;
}

void VBoxManager::stopIn(const std::vector<std::wstring>& folders) {
    logPrintf("关闭虚拟机...");
    static const wchar_t* const kNames[] = {L"VBoxNetDHCP.exe", L"VBoxHeadless.exe", L"VBoxSVC.exe",
                                            L"VirtualBox.exe"};
    std::vector<std::wstring> engineFolders;
    for (const std::wstring& f : folders) {
        if (!f.empty()) engineFolders.push_back(stripSlash(f));
    }
    DWORD self = GetCurrentProcessId();
    for (const wchar_t* name : kNames) {
        std::vector<SnapshotEntry> all = takeSnapshot();
        for (const SnapshotEntry& e : all) {
            if (e.pid == self || !sameText(nameOf(e.exe), name)) continue;
            std::wstring image;
            ULONGLONG created = 0;
            {
                ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.pid));
                if (process) {
                    image = processImagePath(process.get());
                    created = creationTime(process.get());
                }
            }
            if (image.empty()) {
                logPrintf("skip %s (%u): path unknown", ansi(e.exe).c_str(), static_cast<unsigned>(e.pid));
                continue;
            }
            std::wstring folder = stripSlash(folderOf(image));
            bool ours = false;
            for (const std::wstring& f : engineFolders) ours = ours || sameText(folder, f);
            if (!ours) continue;
            for (const SnapshotEntry& child : descendantsDeepestFirst(all, e.pid, created)) {
                endProcess(child.pid, child.exe);
            }
            endProcess(e.pid, e.exe);
        }
    }
}

}  // namespace vboxmgr
}  // namespace tarvo
