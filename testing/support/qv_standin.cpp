#include "testing/support/qv_standin.h"

#include "services/loader_env.h"
#include "toolkit/sys_util.h"

namespace qvtest {

const wchar_t kTarvoGamesKey[] = L"SOFTWARE\\tarvoGames";
const wchar_t kTvzsPlayerKey[] = L"SOFTWARE\\tvzsPlayer";

namespace {

const wchar_t* const kEngineFiles[] = {L"TV-Service.exe", L"TV-Frontend.exe",      L"TV-Quit.exe",
                                       L"TV-RunApp.exe",  L"TV-ApkHandler.exe",    L"TV-StartLauncher.exe",
                                       L"tvHdDrv.exe",    L"engine.ini"};

REGSAM loaderView() { return is64BitWindows() ? KEY_WOW64_64KEY : 0; }

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string piece;
    for (char c : text) {
        if (c == separator) {
            out.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    out.push_back(piece);
    return out;
}

bool serviceRunning(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    bool runs = service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return runs;
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

StandinEngine::StandinEngine(const std::wstring& root) {
    if (root.empty()) {
        root_.reset(new tst::TempDir(L"qv"));
        rootPath_ = root_->path();
    } else {
        rootPath_ = root;
    }
    state_.reset(new tst::TempDir(L"qvstate"));
    folder_ = rootPath_ + L"\\qvplayer\\";
    SetEnvironmentVariableW(L"QV_STANDIN_DIR", state_->path().c_str());
}

StandinEngine::~StandinEngine() {
    // A launch the test's program left under way would bring the services up
    // while TV-Quit waits for them to stop: it ends first.
    for (int i = 0; i < 100 && findProcessId(L"TV-StartLauncher.exe") != 0; ++i) Sleep(100);
    if (tst::fileExists(folder_ + L"TV-Quit.exe"))
        tst::runProgram(quoted(folder_ + L"TV-Quit.exe"), 30000);
    tst::purgeService("tvHdAndroidSvc");
    tst::purgeService("tvHdDrv");
    for (const RecordLine& line : record()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                     line.pid);
        if (!process) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        // Only a stand-in of this engine or of the build's folder, never a reused pid.
        const bool ours = QueryFullProcessImageNameW(process, 0, image, &size) &&
                          (std::wstring(image, size).find(rootPath_) == 0 ||
                           std::wstring(image, size).find(tst::binDir()) == 0);
        if (ours && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
    deleteKeys();
    for (const std::wstring& folder : appFolders_) tst::removeTree(folder);
    SetEnvironmentVariableW(L"QV_STANDIN_DIR", nullptr);
    // Files of an ended process can be deleted only once it is gone.
    for (int i = 0; i < 50 && tst::fileExists(folder_); ++i) {
        tst::removeTree(rootPath_ + L"\\qvplayer");
        if (tst::fileExists(folder_)) Sleep(100);
    }
}

bool StandinEngine::install(const InstallOptions& options) {
    CreateDirectoryW(folder_.c_str(), nullptr);
    for (const wchar_t* file : kEngineFiles)
        if (!CopyFileW((tst::binDir() + L"\\" + file).c_str(), (folder_ + file).c_str(), FALSE)) return false;
    if (options.key == Key::None) {
        CreateDirectoryW((folder_ + L"tvData").c_str(), nullptr);
        CreateDirectoryW((folder_ + L"tvData\\UserData").c_str(), nullptr);
        CreateDirectoryW((folder_ + L"tvData\\UserData\\Gadget").c_str(), nullptr);
        return true;
    }
    if (options.key == Key::TvzsPlayer) setMode(L"qvInstaller.install", L"tvzs-key", 0, -1, 1);
    std::wstring target = folder_.substr(0, folder_.size() - 1);
    long code = tst::runProgram(quoted(tst::binDir() + L"\\qvInstaller.exe") + L" install " + quoted(target), 60000);
    if (code != 1) return false;
    if (options.key == Key::Both && !writeInstallDir(kTvzsPlayerKey, folder_)) return false;
    if (!options.services) {
        tst::purgeService("tvHdAndroidSvc");
        tst::purgeService("tvHdDrv");
    }
    return true;
}

bool StandinEngine::writeInstallDir(const wchar_t* key, const std::wstring& value, DWORD type, bool view64,
                                    bool terminator) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE | (view64 ? loaderView() : 0), nullptr,
                        &handle, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc;
    if (type == REG_DWORD) {
        DWORD number = wcstoul(value.c_str(), nullptr, 10);
        rc = RegSetValueExW(handle, L"InstallDir", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    } else {
        rc = RegSetValueExW(handle, L"InstallDir", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                            (DWORD)((value.size() + (terminator ? 1 : 0)) * sizeof(wchar_t)));
    }
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

void StandinEngine::deleteKeys() {
    for (const wchar_t* key : {kTarvoGamesKey, kTvzsPlayerKey}) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, KEY_WOW64_32KEY, 0);
    }
}

std::wstring StandinEngine::gadgetPath(const std::wstring& package, const std::wstring& activity) const {
    return folder_ + L"tvData\\UserData\\Gadget\\" + package + L"." + activity + L".png";
}

bool StandinEngine::addGadget(const std::wstring& package, const std::wstring& activity) {
    return tst::writeFile(gadgetPath(package, activity), "\x89PNG\r\n\x1a\n");
}

bool StandinEngine::start() {
    if (tst::runProgram(quoted(folder_ + L"TV-StartLauncher.exe"), 30000) != 0) return false;
    for (int i = 0; i < 100; ++i) {
        if (serviceRunning(L"tvHdAndroidSvc") && running()) return true;
        Sleep(100);
    }
    return false;
}

bool StandinEngine::running() { return findProcessId(L"TV-Service.exe") != 0; }

void StandinEngine::setMode(const std::wstring& program, const std::wstring& mode, DWORD delayMs, int exitCode,
                            int times) {
    const std::wstring ini = state_->path() + L"\\modes.ini";
    WritePrivateProfileStringW(program.c_str(), nullptr, nullptr, ini.c_str());
    WritePrivateProfileStringW(program.c_str(), L"mode", mode.c_str(), ini.c_str());
    if (delayMs) WritePrivateProfileStringW(program.c_str(), L"delay_ms", std::to_wstring(delayMs).c_str(), ini.c_str());
    if (exitCode >= 0)
        WritePrivateProfileStringW(program.c_str(), L"exit_code", std::to_wstring(exitCode).c_str(), ini.c_str());
    if (times > 0) WritePrivateProfileStringW(program.c_str(), L"times", std::to_wstring(times).c_str(), ini.c_str());
}

std::vector<RecordLine> StandinEngine::record() const {
    std::vector<RecordLine> lines;
    std::string text;
    if (!tst::readFile(state_->path() + L"\\record.log", text)) return lines;
    for (const std::string& line : split(text, '\n')) {
        std::vector<std::string> fields = split(line, '\t');
        if (fields.size() != 4) continue;
        RecordLine r;
        r.program = fields[0];
        r.pid = strtoul(fields[1].c_str(), nullptr, 10);
        r.event = fields[2];
        r.details = fields[3];
        lines.push_back(r);
    }
    return lines;
}

std::vector<std::string> StandinEngine::starts(const std::string& program) const {
    std::vector<std::string> out;
    for (const RecordLine& r : record())
        if (r.program == program && r.event == "start") out.push_back(r.details);
    return out;
}

bool StandinEngine::recorded(const std::string& program, const std::string& event, const std::string& details) const {
    for (const RecordLine& r : record())
        if (r.program == program && r.event == event && r.details == details) return true;
    return false;
}

bool StandinEngine::waitRecorded(const std::string& program, const std::string& event, const std::string& details,
                                 DWORD waitMs) const {
    const DWORD start = GetTickCount();
    for (;;) {
        if (recorded(program, event, details)) return true;
        if (GetTickCount() - start > waitMs) return false;
        Sleep(50);
    }
}

std::wstring StandinEngine::writeAppFolder(const std::wstring& id,
                                           const std::vector<std::pair<std::string, std::string>>& values) {
    const std::wstring apps = getUserDataFolder() + L"\\apps";
    CreateDirectoryW(apps.c_str(), nullptr);
    const std::wstring folder = apps + L"\\app_" + id;
    CreateDirectoryW(folder.c_str(), nullptr);
    std::string ini = "[app]\r\n";
    for (const auto& v : values) ini += v.first + "=" + v.second + "\r\n";
    tst::writeFile(folder + L"\\app.ini", ini);
    appFolders_.push_back(folder);
    return folder;
}

}  // namespace qvtest
