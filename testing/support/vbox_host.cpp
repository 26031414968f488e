#include "testing/support/vbox_host.h"


namespace vboxtest {

using tarvo::vboxmgr::VBoxRunResult;

TestHost::TestHost() : dir_(L"vbm") {
    userData = dir_.file(L"user");
    home = dir_.file(L"home");
    CreateDirectoryW(userData.c_str(), nullptr);
    CreateDirectoryW(home.c_str(), nullptr);
    static LONG counter = 0;
    classesKey = L"Software\\tarvo-tests\\classes-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&counter));
    RegCreateKeyExW(HKEY_CURRENT_USER, classesKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &classes, nullptr);
}

TestHost::~TestHost() {
    if (classes) RegCloseKey(classes);
    RegDeleteTreeW(HKEY_CURRENT_USER, classesKey.c_str());
}

std::wstring TestHost::setting(const std::wstring& key, const std::wstring& defaultValue) {
    auto it = settings.find(key);
    return it == settings.end() ? defaultValue : it->second;
}

bool TestHost::settingBool(const std::wstring& key, bool defaultValue) {
    auto it = settings.find(key);
    return it == settings.end() ? defaultValue : (it->second == L"1" || it->second == L"true");
}

std::wstring TestHost::systemDirectory() {
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, n < MAX_PATH ? n : 0);
}

VBoxRunResult TestHost::run(const std::wstring& commandLine, uint32_t timeoutMs) {
    commands.push_back(commandLine);
    limits.push_back(timeoutMs);
    if (script) return script(commandLine);
    return tarvo::vboxmgr::productVBoxHost().run(commandLine, timeoutMs);
}

VBoxRunResult ran(uint32_t code, const std::string& output, bool timedOut) {
    VBoxRunResult r;
    r.started = true;
    r.exitCode = timedOut ? 0xFFFFFFFF : code;
    r.output = output;
    r.timedOut = timedOut;
    return r;
}

std::vector<RecordLine> readRecord(const std::wstring& stateDir) {
    std::vector<RecordLine> out;
    for (const std::string& line : tst::readLines(stateDir + L"\\record.log")) {
        RecordLine r;
        size_t a = line.find('\t');
        size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        size_t c = b == std::string::npos ? b : line.find('\t', b + 1);
        if (c == std::string::npos) continue;
        r.program = line.substr(0, a);
        r.pid = strtoul(line.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
        r.event = line.substr(b + 1, c - b - 1);
        r.details = line.substr(c + 1);
        out.push_back(r);
    }
    return out;
}

void endPid(DWORD pid) {
    HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!p) return;
    TerminateProcess(p, 1);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
}

bool alive(DWORD pid) {
    HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!p) return false;
    const bool running = WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
    CloseHandle(p);
    return running;
}

void clearVBoxState(const std::wstring& stateDir) {
    for (const RecordLine& r : readRecord(stateDir)) {
        if (r.event == "start") endPid(r.pid);
    }
    for (const wchar_t* key : {kServerKey, kClientKey, L"VirtualBox.VirtualBox",
                               L"VirtualBox.VirtualBoxClient"})
        RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
    tst::purgeService("VBoxDrv");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\VBoxDrvStandin");
    DeleteFileW((stateDir + L"\\record.log").c_str());
    DeleteFileW((stateDir + L"\\modes.ini").c_str());
}

std::wstring standinFolder() { return tst::binDir() + L"\\vbox_standin\\vbox"; }
std::wstring fixtureFolder() { return tst::binDir() + L"\\vbox_standin"; }

}  // namespace vboxtest
