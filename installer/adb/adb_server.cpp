// Starting the adb server: "tvdb.exe" beside the program, and its "OK\n".
#include <windows.h>

#include "installer/adb/adb_client.h"
#include "installer/adb/adb_print.h"
#include "toolkit/process_start.h"
#include "toolkit/scoped_handle.h"

#include <string>
#include <vector>

namespace adb {

int AdbClient::startServer() {
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    ScopedHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.receive(), writeEnd.receive(), &sa, 0)) {
        printTo(stderr, "CreatePipe() failure, error %ld\n", (long)GetLastError());
        return -1;
    }
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    // The server must not keep the loader's own output streams open.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE) SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) SetHandleInformation(err, HANDLE_FLAG_INHERIT, 0);

    std::vector<wchar_t> module(32768);
    DWORD n = GetModuleFileNameW(nullptr, module.data(), (DWORD)module.size());
    std::wstring program(module.data(), n < module.size() ? n : 0);
    size_t slash = program.find_last_of(L"\\/");
    program = (slash == std::wstring::npos ? std::wstring() : program.substr(0, slash)) + L"\\tvdb.exe";

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.get();
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    wchar_t commandLine[] = L"adb fork-server server";
    // Only its own pipe end: the server outlives us, and any other inheritable
    // handle of the moment (a child runner's pipe ends) would stay open with it.
    HANDLE inherited = writeEnd.get();
    BOOL created = createProcessInheriting(program.c_str(), commandLine, DETACHED_PROCESS, si, &inherited, 1, &pi);
    DWORD createError = GetLastError();
    writeEnd.reset();  // only the server holds the writing end now
    if (!created) {
        printTo(stderr, "CreateProcess failure, error %ld\n", (long)createError);
        return -1;
    }
    // The server runs on alone: its handles are only closed.
    ScopedHandle serverProcess(pi.hProcess), serverThread(pi.hThread);

    // The server may write its "OK\n" in pieces: collect 3 bytes, bounded.
    char ack[3];
    DWORD got = 0;
    bool readFailed = false;
    DWORD readError = 0;
    const DWORD limit = (DWORD)settings().serverAckTimeoutMs.load();
    const ULONGLONG started = GetTickCount64();
    while (got < sizeof ack) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) {
            readError = GetLastError();
            readFailed = true;
            break;
        }
        if (available > 0) {
            DWORD want = (DWORD)sizeof ack - got;
            if (available < want) want = available;
            DWORD read = 0;
            if (!ReadFile(readEnd.get(), ack + got, want, &read, nullptr) || read == 0) {
                readError = GetLastError();
                readFailed = true;
                break;
            }
            got += read;
            continue;
        }
        if (GetTickCount64() - started >= limit || stopRequested()) break;
        Sleep(10);
    }
    readEnd.reset();
    if (readFailed) {
        printTo(stderr, "could not read ok from ADB Server, error = %ld\n", (long)readError);
        return -1;
    }
    if (got == 3 && ack[0] == 'O' && ack[1] == 'K' && ack[2] == '\n') return 0;
    printTo(stderr, "ADB server didn't ACK\n");
    return -1;
}

}  // namespace adb
