#include "toolkit/sys_util.h"

#include <tlhelp32.h>

#include <vector>

#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"
#include "toolkit/zip_extract.h"

namespace {

std::wstring tempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) return std::wstring();
    std::wstring folder(buffer, n);
    if (folder.back() != L'\\') folder += L'\\';
    return folder;
}

// How two search-path entries are told apart: case and trailing "\" do not count.
std::wstring pathKey(std::wstring entry) {
    while (!entry.empty() && entry.back() == L'\\') entry.pop_back();
    if (!entry.empty()) CharLowerBuffW(&entry[0], static_cast<DWORD>(entry.size()));
    return entry;
}

bool sameName(const std::wstring& a, const wchar_t* b) {
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

BOOL writeWhole(HANDLE file, const void* data, DWORD size, DWORD* written) {
    return WriteFile(file, data, size, written, nullptr);
}

}  // namespace

bool writeResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                         const std::wstring& path, ResourceWriteFn write) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type.c_str());
    if (!found) return false;
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0) return false;

    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        shellFileOperation(FO_DELETE, path, std::wstring(), FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);

    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    bool ok = write(file.get(), data, size, &written) && written == size;
    // The close is checked: a failed flush leaves a short file too.
    ok = CloseHandle(file.release()) && ok;
    // A truncated archive must not be taken for the real one later.
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

bool extractResourceToFile(HMODULE module, const std::wstring& type, unsigned short id,
                           const std::wstring& path) {
    return writeResourceToFile(module, type, id, path, &writeWhole);
}

std::string wideToNarrow(const std::wstring& text) { return wideToAnsi(text); }

std::string pathToAnsi(const ravel::file::Path& path) { return wideToAnsi(path.toString()); }

std::wstring getTempDataFolder() {
    std::wstring folder = tempFolder() + L"tarvozhushou";
    if (!pathExists(folder)) createDirectories(folder).ignore();
    return folder;
}

bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::wstring& destFolder) {
    return extractZipResource(module, type, id, destFolder, nullptr);
}

bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::wstring& destFolder, std::map<std::wstring, std::string>* files) {
    if (files) files->clear();
    std::wstring temp = tempFolder();
    wchar_t name[MAX_PATH] = {};
    if (temp.empty() || !GetTempFileNameW(temp.c_str(), L"RES", 0, name)) return false;
    bool ok = extractResourceToFile(module, type, id, name) &&
              unzipToFolder(name, destFolder, false, nullptr);
    if (files && !readZipFiles(name, 64ull * 1024 * 1024, *files)) ok = false;
    // Each call would otherwise leave a copy behind, and the unique names run out.
    SetFileAttributesW(name, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(name);
    return ok;
}

bool extractZipResource(HMODULE module, const std::wstring& type, unsigned short id,
                        const std::string& destFolder) {
    return extractZipResource(module, type, id, ansiToWide(destFolder));
}

std::wstring addToPathEnv(const std::wstring& folders) {
    std::vector<wchar_t> buffer(65536, 0);
    DWORD n = GetEnvironmentVariableW(L"path", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n >= buffer.size()) {
        buffer.assign(n + 1, 0);
        n = GetEnvironmentVariableW(L"path", buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n >= buffer.size()) n = 0;
    }
    std::wstring old(buffer.data(), n);

    std::vector<std::wstring> entries, keys, added;
    split(old, entries, L";", false);
    for (const std::wstring& e : entries) keys.push_back(pathKey(e));
    split(folders, added, L";", false);
    for (const std::wstring& folder : added) {
        std::wstring key = pathKey(folder);
        bool present = false;
        for (const std::wstring& k : keys) {
            if (k == key) {
                present = true;
                break;
            }
        }
        if (present) continue;
        entries.push_back(folder);
        keys.push_back(key);
    }

    std::wstring value;
    for (const std::wstring& e : entries) {
        if (!value.empty()) value += L';';
        value += e;
    }
    SetEnvironmentVariableW(L"path", value.c_str());
    return value;
}

DWORD findProcessId(const std::wstring& exeName) {
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    DWORD pid = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (sameName(exeName, entry.szExeFile)) {
            pid = entry.th32ProcessID;
            break;
        }
    }
    return pid;
}

namespace {

// program as the application name, " " + arguments as its command line. The
// caller gets the process handle in `process`.
bool startProcess(const std::wstring& program, const std::wstring& arguments, ScopedHandle& process) {
    std::wstring line = L" " + arguments;
    std::vector<wchar_t> commandLine(line.begin(), line.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    ScopedHandle thread(info.hThread);
    process.reset(info.hProcess);
    return true;
}

}  // namespace

bool runProcess(bool wait, const std::wstring& program, const std::wstring& arguments) {
    ScopedHandle process;
    if (!startProcess(program, arguments, process)) return false;
    if (wait) WaitForSingleObject(process.get(), INFINITE);
    return true;
}

RunOutcome runProcessWithin(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    ScopedHandle process;
    if (!startProcess(program, arguments, process)) return RunOutcome::NotStarted;
    RunOutcome outcome = RunOutcome::Ended;
    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), ERROR_TIMEOUT);
        WaitForSingleObject(process.get(), 5000);
        outcome = RunOutcome::TimedOut;
    }
    return outcome;
}

HMODULE loadSystemLibrary(const wchar_t* fileName) {
    HMODULE module = LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // A system without the search flags: the full path in the system folder.
    wchar_t folder[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    return LoadLibraryW((std::wstring(folder) + L"\\" + fileName).c_str());
}
