// Seeds a prefix with what an earlier install would have left, for the loader's
// process-level runs (test-only):
//   --player-version V   a ready engine: the player folder (adapter ini's
//                        "install_path", else Program Files\tarvoplayer) with the
//                        stand-ins in "vbox\" ("standin-build.txt" = "seeded"),
//                        TarvoPlayer.exe stamped V, "ovas\", "install\", the machine
//                        "deployed\tarvoplayer", and "vmconfig\VirtualBox.xml"
//   --start-vm           the engine's VBoxSVC and its VBoxHeadless running
//   --no-trusted         the settings file without the Trusted items
//   --garbage-settings   the settings file is garbage
//   --second-machine     a second machine "MyAndroid2", registered
//   --own                the user's own VirtualBox in Program Files\Oracle\VirtualBox,
//                        settings in %USERPROFILE%\.VirtualBox, machine "MyAndroid",
//                        its VBoxSVC and VBoxHeadless running
//   --compat-key         creates the compatibility-layers key
//   --end PID:NAME...    ends each pid whose image is NAME (the case's clean-up)
// Prints what it made as one JSON document.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/support/vbox_ready_engine.h"
#include "testing/vbox_standin/vbox_standin.h"

namespace {

const char kPlayerUuid[] = "{6c0d41f2-0000-4000-8000-000000000001}";
const char kSecondUuid[] = "{6c0d41f2-0000-4000-8000-000000000002}";
const char kOwnUuid[] = "{6c0d41f2-0000-4000-8000-000000000003}";
const DWORD kLongLifeMs = 1800000;

std::wstring folder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : L"";
}

std::string json(const std::wstring& text) {
    std::string out = "\"";
    for (char c : qvs::utf8(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool copyFiles(const std::wstring& from, const std::wstring& to) {
    SHCreateDirectoryExW(nullptr, to.c_str(), nullptr);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        ok = CopyFileW((from + L"\\" + data.cFileName).c_str(), (to + L"\\" + data.cFileName).c_str(), FALSE) && ok;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return ok;
}

bool copyOne(const std::wstring& from, const std::wstring& to) {
    SHCreateDirectoryExW(nullptr, to.substr(0, to.find_last_of(L'\\')).c_str(), nullptr);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// A machine as VBoxManage's import leaves it: "<dir>\<name>.vbox" and its disk.
std::wstring writeMachine(const std::wstring& machineFolder, const std::string& name, const std::string& uuid) {
    const std::wstring dir = machineFolder + L"\\" + qvs::widen(name);
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    const std::string disk = name + "-disk001.vmdk";
    vbs::writeBytes(dir + L"\\" + qvs::widen(disk), "KDMV" + std::string(508, '\0'));
    const std::wstring file = dir + L"\\" + qvs::widen(name) + L".vbox";
    vbs::writeBytes(file, "<?xml version=\"1.0\"?>\n<VirtualBox xmlns=\"http://www.virtualbox.org/\" "
                          "version=\"1.16-windows\"><Machine uuid=\"" + uuid + "\" name=\"" + name +
                              "\" OSType=\"Linux26\"><MediaRegistry><HardDisks><HardDisk uuid=\"" + uuid +
                              "\" location=\"" + disk + "\" format=\"VMDK\" type=\"Normal\"/></HardDisks>"
                              "</MediaRegistry><Hardware><CPU count=\"2\"/><Memory RAMSize=\"2048\"/></Hardware>"
                              "</Machine></VirtualBox>\n");
    return file;
}

// VBoxSVC and VBoxHeadless of a VirtualBox folder with this settings home
// (empty: the user's default); true once the machine runs.
bool startMachine(const std::wstring& vboxFolder, const std::wstring& home, const std::string& uuid, DWORD& svc,
                  DWORD& headless) {
    SetEnvironmentVariableW(L"VBOX_USER_HOME", home.empty() ? nullptr : home.c_str());
    bool ok = vbs::startDetachedLine(L"\"" + vboxFolder + L"\\VBoxSVC.exe\" -Embedding", &svc) &&
              vbs::startDetachedLine(L"\"" + vboxFolder + L"\\VBoxHeadless.exe\" --comment seeded --startvm " +
                                         qvs::widen(uuid) + L" --vrde config",
                                     &headless);
    for (DWORD waited = 0; ok && !vbs::vmRunning(uuid) && waited < 60000; waited += 100) Sleep(100);
    SetEnvironmentVariableW(L"VBOX_USER_HOME", nullptr);
    return ok && vbs::vmRunning(uuid);
}

int endProcesses(const std::vector<std::wstring>& items) {
    for (const std::wstring& item : items) {
        const size_t colon = item.find(L':');
        if (colon == std::wstring::npos) continue;
        const DWORD pid = wcstoul(item.c_str(), nullptr, 10);
        const std::wstring name = vbs::lower(item.substr(colon + 1));
        HANDLE p = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
        if (!p) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        std::wstring path = QueryFullProcessImageNameW(p, 0, image, &size) ? vbs::lower(image) : L"";
        // A pid may have been given to another program since it was recorded.
        if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0 &&
            (path.size() == name.size() || path[path.size() - name.size() - 1] == L'\\')) {
            TerminateProcess(p, 1);
            WaitForSingleObject(p, 5000);
        }
        CloseHandle(p);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring playerVersion;
    bool startVm = false, own = false, trusted = true, garbage = false, second = false, compat = false;
    std::vector<std::wstring> ends;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--player-version" && i + 1 < argc) playerVersion = argv[++i];
        else if (a == L"--start-vm") startVm = true;
        else if (a == L"--own") own = true;
        else if (a == L"--no-trusted") trusted = false;
        else if (a == L"--garbage-settings") garbage = true;
        else if (a == L"--second-machine") second = true;
        else if (a == L"--compat-key") compat = true;
        else if (a == L"--end") ends.assign(argv + i + 1, argv + argc), i = argc;
        else {
            fprintf(stderr, "vbox_standin_seed: unknown argument %ls\n", argv[i]);
            return 2;
        }
    }
    if (!ends.empty()) return endProcesses(ends);

    // The stand-ins that the programs started here run with record long after this one.
    SetEnvironmentVariableW(L"VBOX_STANDIN_LIFE_MS", std::to_wstring(kLongLifeMs).c_str());
    SetEnvironmentVariableW(L"VBOX_STANDIN_SVC_IDLE_MS", std::to_wstring(kLongLifeMs).c_str());
    const std::wstring self = qvs::ownFolder();  // bin\vbox_standin\ beside bin\TarvoPlayer-<v>.exe
    bool ok = true;
    std::string out = "{";

    if (compat) {
        HKEY key = nullptr;
        ok = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers",
                             0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS && ok;
        if (key) RegCloseKey(key);
    }

    if (!playerVersion.empty()) {
        const std::wstring adaptIni = folder(CSIDL_COMMON_APPDATA) + L"\\tarvozhushou\\tarvoadapt.ini";
        wchar_t configured[MAX_PATH * 2] = {};
        GetPrivateProfileStringW(L"main", L"install_path", L"", configured, MAX_PATH * 2, adaptIni.c_str());
        const std::wstring player = configured[0] ? configured : folder(CSIDL_PROGRAM_FILES) + L"\\tarvoplayer";
        SHCreateDirectoryExW(nullptr, (folder(CSIDL_COMMON_APPDATA) + L"\\tarvozhushou").c_str(), nullptr);
        ok = WritePrivateProfileStringW(L"main", L"install_path", player.c_str(), adaptIni.c_str()) && ok;

        ok = copyFiles(self + L"vbox", player + L"\\vbox") && ok;
        ok = vbs::writeBytes(player + L"\\vbox\\standin-build.txt", "seeded") && ok;
        ok = copyOne(self + L"..\\TarvoPlayer-" + playerVersion + L".exe", player + L"\\TarvoPlayer.exe") && ok;
        ok = copyOne(self + L"ovas\\tarvoplayer.ova", player + L"\\ovas\\tarvoplayer.ova") && ok;
        ok = copyOne(self + L"fixtures\\VirtualBox.xml", player + L"\\ovas\\VirtualBox.xml") && ok;
        ok = copyOne(self + L"install\\vbox-x64.zip", player + L"\\install\\vbox-x64.zip") && ok;
        ok = copyOne(self + L"install\\vbox-x86.zip", player + L"\\install\\vbox-x86.zip") && ok;

        const std::wstring deployed = player + L"\\deployed";
        std::vector<tst::ReadyVBoxMachine> machines = {
            {kPlayerUuid, qvs::utf8(writeMachine(deployed, "tarvoplayer", kPlayerUuid))}};
        if (second) machines.push_back({kSecondUuid, qvs::utf8(writeMachine(deployed, "MyAndroid2", kSecondUuid))});
        const std::wstring home = folder(CSIDL_APPDATA) + L"\\tarvozhushou\\vmconfig";
        SHCreateDirectoryExW(nullptr, home.c_str(), nullptr);
        std::string settings = tst::readyVBoxSettings(qvs::utf8(player), machines, trusted);
        if (garbage) {
            settings.assign(3000, '\0');
            unsigned seed = 12345;
            for (char& b : settings) b = (char)((seed = seed * 1103515245u + 12345u) >> 16);
        }
        ok = vbs::writeBytes(home + L"\\VirtualBox.xml", settings) && ok;
        out += "\"player\":" + json(player) + ",\"settings\":" + json(home + L"\\VirtualBox.xml");
        if (startVm) {
            DWORD svc = 0, headless = 0;
            ok = startMachine(player + L"\\vbox", home, kPlayerUuid, svc, headless) && ok;
            out += ",\"engine_svc\":" + std::to_string(svc) + ",\"engine_headless\":" + std::to_string(headless);
        }
    }

    if (own) {
        const std::wstring ownFolder = folder(CSIDL_PROGRAM_FILES) + L"\\Oracle\\VirtualBox";
        const std::wstring ownHome = vbs::envValue(L"USERPROFILE") + L"\\.VirtualBox";
        const std::wstring machineFolder = vbs::envValue(L"USERPROFILE") + L"\\VirtualBox VMs";
        ok = copyFiles(self + L"vbox", ownFolder) && ok;
        ok = vbs::writeBytes(ownFolder + L"\\standin-build.txt", "own") && ok;
        const std::wstring file = writeMachine(machineFolder, "MyAndroid", kOwnUuid);
        SHCreateDirectoryExW(nullptr, ownHome.c_str(), nullptr);
        ok = vbs::writeBytes(ownHome + L"\\VirtualBox.xml",
                             "<?xml version=\"1.0\"?>\n<VirtualBox xmlns=\"http://www.virtualbox.org/\" "
                             "version=\"1.16-windows\">\n  <Global>\n    <ExtraData/>\n    <MachineRegistry>\n"
                             "      <MachineEntry uuid=\"" + std::string(kOwnUuid) + "\" src=\"" + qvs::utf8(file) +
                                 "\"/>\n    </MachineRegistry>\n    <SystemProperties defaultMachineFolder=\"" +
                                 qvs::utf8(machineFolder) + "\"/>\n  </Global>\n</VirtualBox>\n") &&
             ok;
        DWORD svc = 0, headless = 0;
        ok = startMachine(ownFolder, L"", kOwnUuid, svc, headless) && ok;
        out += std::string(out.size() > 1 ? "," : "") + "\"own_folder\":" + json(ownFolder) +
               ",\"own_settings\":" + json(ownHome + L"\\VirtualBox.xml") + ",\"own_machines\":" +
               json(machineFolder) + ",\"own_svc\":" + std::to_string(svc) +
               ",\"own_headless\":" + std::to_string(headless);
    }
    out += std::string(out.size() > 1 ? "," : "") + "\"ok\":" + (ok ? "true" : "false") + "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    return ok ? 0 : 1;
}
