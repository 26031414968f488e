// One measurement of the product's side for scripts/bench.sh, timed inside the
// process (Wine's start-up is not part of it). Prints one line
// "bench-result <seconds> <peak bytes>" on success (the product's own output may
// come before or after it); exits non-zero with a message otherwise.
//   bench download <peerfetch.dll> <url> <folder> <name>
//   bench capture <child.exe> <kib>        ProcessRunner capturing "@kib <kib>"
//   bench pipeloop <child.exe> <kib>       the same child read by a bare loop of 64 KiB
//                                          ReadFile calls on its pipe, nothing kept
//   bench tofile <child.exe> <kib> <file>  the same child writing to a file
//   bench unzip <zip> <folder>
//   bench push <port> <serial> <local> <remote>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_sync.h"
#include "platform/peerfetch/peerfetch_abi.h"
#include "installer/peerfetch_wrapper.h"
#include "toolkit/child_process.h"
#include "toolkit/zip_extract.h"

namespace {

std::string utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], n, nullptr, nullptr);
    return s;
}

int fail(const char* what) {
    fprintf(stderr, "bench: %s\n", what);
    return 1;
}

int download(const std::vector<std::wstring>& a) {
    if (a.size() < 4) return fail("download needs <dll> <url> <folder> <name>");
    PeerfetchWrapper wrapper(a[0]);
    if (!wrapper.acquire()) return fail("the library does not load");
    PeerfetchTaskParams params;
    wcsncpy(params.url, a[1].c_str(), PeerfetchTaskParams::kUrlChars - 1);
    wcsncpy(params.folder, a[2].c_str(), PeerfetchTaskParams::kFolderChars - 1);
    wcsncpy(params.fileName, a[3].c_str(), PeerfetchTaskParams::kFileNameChars - 1);
    PeerfetchHandle h = wrapper.startTask(params);
    if (!h) return fail("the task does not start");
    PeerfetchTaskStatus status;
    for (;;) {
        status.clear();
        if (!wrapper.queryTask(h, status)) return fail("query failed");
        if (status.code != kPeerfetchPending && status.code != kPeerfetchDownloading) break;
        Sleep(5);
    }
    wrapper.stopAndRemove(h);
    wrapper.unload();
    return status.code == kPeerfetchFinished ? 0 : fail("the download failed");
}

int capture(const std::vector<std::wstring>& a) {
    if (a.size() < 2) return fail("capture needs <child> <kib>");
    ProcessRunner runner;
    if (!runner.run(L"\"" + a[0] + L"\" @kib " + a[1])) return fail("the child does not start");
    size_t expected = static_cast<size_t>(_wtoi(a[1].c_str())) * 1024;
    return runner.getOutput().size() == expected && runner.exitCode() == 0 ? 0 : fail("output lost");
}

// Starts the child writing `kib` KiB to `output` (inheritable), as its standard
// output and error.
bool startKibChild(const std::wstring& child, const std::wstring& kib, HANDLE output, PROCESS_INFORMATION& pi) {
    std::wstring command = L"\"" + child + L"\" @kib " + kib;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output;
    si.hStdError = output;
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                          &pi) != FALSE;
}

// The floor of any capture: the child's output through a pipe of the capture's
// size, read in 64 KiB pieces into one buffer that is used again.
int pipeLoop(const std::vector<std::wstring>& a) {
    if (a.size() < 2) return fail("pipeloop needs <child> <kib>");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 64 * 1024)) return fail("no pipe");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION pi = {};
    if (!startKibChild(a[0], a[1], writeEnd, pi)) return fail("the child does not start");
    CloseHandle(writeEnd);
    std::vector<char> buffer(64 * 1024);
    size_t total = 0;
    DWORD got = 0;
    while (ReadFile(readEnd, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) total += got;
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    size_t expected = static_cast<size_t>(_wtoi(a[1].c_str())) * 1024;
    return total == expected ? 0 : fail("output lost");
}

int toFile(const std::vector<std::wstring>& a) {
    if (a.size() < 3) return fail("tofile needs <child> <kib> <file>");
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE file = CreateFileW(a[2].c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("the output file cannot be made");
    PROCESS_INFORMATION pi = {};
    if (!startKibChild(a[0], a[1], file, pi)) return fail("the child does not start");
    CloseHandle(file);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

int unzip(const std::vector<std::wstring>& a) {
    if (a.size() < 2) return fail("unzip needs <zip> <folder>");
    return unzipToFolder(a[0], a[1], false, nullptr) ? 0 : fail("extraction failed");
}

int push(const std::vector<std::wstring>& a) {
    if (a.size() < 4) return fail("push needs <port> <serial> <local> <remote>");
    adb::settings().defaultServerPort = _wtoi(a[0].c_str());
    std::string serial = utf8(a[1]);
    adb::AdbClient client(serial.c_str());
    return adb::push(client, a[2], utf8(a[3])) == 0 ? 0 : fail("push failed");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return fail("usage: bench <download|capture|pipeloop|tofile|unzip|push> ...");
    std::wstring mode = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int rc;
    if (mode == L"download") rc = download(args);
    else if (mode == L"capture") rc = capture(args);
    else if (mode == L"pipeloop") rc = pipeLoop(args);
    else if (mode == L"tofile") rc = toFile(args);
    else if (mode == L"unzip") rc = unzip(args);
    else if (mode == L"push") rc = push(args);
    else return fail("unknown mode");
    QueryPerformanceCounter(&end);
    if (rc != 0) return rc;
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    printf("bench-result %.3f %llu\n", double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart),
           static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    fflush(stdout);
    return 0;
}
