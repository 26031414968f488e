// Prints what a loader run left in this prefix as one JSON document: the Qv
// registry keys, the uninstall entry, the adapter ini, the services, the
// product's links, listings of its folders, the running processes, and the VBox
// engine's set-up (COM registrations, driver counters, compatibility layers, the
// settings file parsed and its backups). Built for the loader's architecture,
// so it sees the registry view the loader sees. It only reads: nothing of the
// product's code runs here.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tinyxml.h"

namespace {

const wchar_t* const kProductNames[] = {L"塔沃助手", L"塔沃模拟器"};

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], size, nullptr, nullptr);
    return out;
}

std::string str(const std::wstring& text) {
    std::string out = "\"";
    for (unsigned char c : utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string null() { return "null"; }

std::wstring folder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : L"";
}

bool is64BitWindows() {
#ifdef _WIN64
    return true;
#else
    BOOL wow = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow) && wow;
#endif
}

// A string value of HKLM; null when absent. wow64Key: the 64-bit view.
std::string regString(const std::wstring& key, const wchar_t* name, bool view64) {
    HKEY handle = nullptr;
    REGSAM sam = KEY_READ | (view64 && is64BitWindows() ? KEY_WOW64_64KEY : 0);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, sam, &handle) != ERROR_SUCCESS) return null();
    wchar_t buffer[2048] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return null();
    return str(buffer);
}

bool keyExists(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    RegCloseKey(handle);
    return true;
}

std::string qvKeys() {
    std::string out = "{";
    const wchar_t* keys[] = {L"SOFTWARE\\tarvoGames", L"SOFTWARE\\tvzsPlayer"};
    for (int i = 0; i < 2; ++i) {
        if (i) out += ",";
        out += str(keys[i]) + ":{\"InstallDir\":" + regString(keys[i], L"InstallDir", true) +
               ",\"Version\":" + regString(keys[i], L"Version", true) + "}";
    }
    return out + "}";
}

// The entry in the process's own view, as the loader writes it.
std::string uninstallEntry() {
    const wchar_t* values[] = {L"DisplayName",     L"DisplayIcon", L"DisplayVersion", L"UninstallString",
                               L"InstallLocation", L"Publisher",   L"URLInfoAbout"};
    for (const wchar_t* name : kProductNames) {
        const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + name;
        if (!keyExists(key)) continue;
        std::string out = "{\"key\":" + str(name);
        for (const wchar_t* value : values) out += "," + str(value) + ":" + regString(key, value, false);
        return out + "}";
    }
    return null();
}

std::string iniSection(const std::wstring& path, const wchar_t* section) {
    std::vector<wchar_t> buffer(32768);
    DWORD size = GetPrivateProfileSectionW(section, buffer.data(), (DWORD)buffer.size(), path.c_str());
    std::string out = "{";
    bool first = true;
    for (const wchar_t* p = buffer.data(); p < buffer.data() + size && *p; p += wcslen(p) + 1) {
        std::wstring line = p;
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) continue;
        out += (first ? "" : ",") + str(line.substr(0, eq)) + ":" + str(line.substr(eq + 1));
        first = false;
    }
    return out + "}";
}

std::string service(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE handle = manager ? OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr;
    if (!handle) return "{\"exists\":false}";
    SERVICE_STATUS status = {};
    QueryServiceStatus(handle, &status);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGW* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    const bool haveConfig = QueryServiceConfigW(handle, config, (DWORD)buffer.size(), &needed) != FALSE;
    CloseServiceHandle(handle);
    std::string out = "{\"exists\":true,\"state\":" + std::to_string(status.dwCurrentState);
    if (haveConfig) {
        out += ",\"type\":" + std::to_string(config->dwServiceType) + ",\"start\":" + std::to_string(config->dwStartType) +
               ",\"binary\":" + str(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    }
    return out + "}";
}

std::string link(const std::wstring& path) {
    std::string out = "{\"path\":" + str(path);
    IShellLinkW* shell = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&shell)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
                wchar_t target[MAX_PATH * 2] = {}, args[2048] = {}, icon[MAX_PATH * 2] = {};
                int index = 0;
                shell->GetPath(target, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
                shell->GetArguments(args, 2048);
                shell->GetIconLocation(icon, MAX_PATH * 2, &index);
                out += ",\"target\":" + str(target) + ",\"arguments\":" + str(args) + ",\"icon\":" + str(icon) +
                       ",\"icon_index\":" + std::to_string(index);
            }
            file->Release();
        }
        shell->Release();
    }
    return out + "}";
}

std::string urlLink(const std::wstring& path) {
    wchar_t url[2048] = {};
    GetPrivateProfileStringW(L"InternetShortcut", L"URL", L"", url, 2048, path.c_str());
    return "{\"path\":" + str(path) + ",\"url\":" + str(url) + "}";
}

void linksIn(const std::wstring& dir, std::string& lnk, std::string& url) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring ext = name.size() > 4 ? name.substr(name.size() - 4) : L"";
        if (_wcsicmp(ext.c_str(), L".lnk") == 0) lnk += (lnk.empty() ? "" : ",") + link(dir + L"\\" + name);
        if (_wcsicmp(ext.c_str(), L".url") == 0) url += (url.empty() ? "" : ",") + urlLink(dir + L"\\" + name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

void listing(const std::wstring& root, const std::wstring& relative, std::string& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + relative + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = relative.empty() ? name : relative.substr(1) + L"\\" + name;
        const bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const unsigned long long size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        out += (out.empty() ? "" : ",") + str(path + (dir ? L"\\" : L"")) + ":" + (dir ? "-1" : std::to_string(size));
        if (dir) listing(root, relative + L"\\" + name, out);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::string tree(const std::wstring& root) {
    std::string entries;
    listing(root, L"", entries);
    const DWORD attributes = GetFileAttributesW(root.c_str());
    return "{\"path\":" + str(root) + ",\"exists\":" +
           (attributes != INVALID_FILE_ATTRIBUTES ? "true" : "false") + ",\"files\":{" + entries + "}}";
}

std::string processes() {
    std::string out;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return "[]";
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        std::wstring image = entry.szExeFile;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process) {
            wchar_t path[MAX_PATH * 2] = {};
            DWORD size = MAX_PATH * 2;
            if (QueryFullProcessImageNameW(process, 0, path, &size)) image = path;
            CloseHandle(process);
        }
        out += (out.empty() ? "" : ",") + std::string("{\"pid\":") + std::to_string(entry.th32ProcessID) +
               ",\"image\":" + str(image) + "}";
    }
    CloseHandle(snapshot);
    return "[" + out + "]";
}

// The build's own view: 32-bit for the i686 build, 64-bit for the x86_64 one.
REGSAM ownView() {
#ifdef _WIN64
    return KEY_WOW64_64KEY;
#else
    return is64BitWindows() ? KEY_WOW64_32KEY : 0;
#endif
}

std::string classesDefault(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | ownView(), &handle) != ERROR_SUCCESS) return null();
    wchar_t buffer[2048] = {};
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) ? str(buffer) : null();
}

std::string comRegistrations() {
    return "{\"LocalServer32\":" + classesDefault(L"CLSID\\{B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}\\LocalServer32") +
           ",\"InprocServer32\":" + classesDefault(L"CLSID\\{DD3FC71D-26C0-4FE1-BF6F-67F633265BBA}\\InprocServer32") +
           "}";
}

// The stand-in driver's load and unload counters.
std::string driverCounters() {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\VBoxDrvStandin", 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return null();
    std::string out = "{";
    const wchar_t* names[] = {L"Loads", L"Unloads"};
    for (int i = 0; i < 2; ++i) {
        DWORD value = 0, size = sizeof(value), type = 0;
        const bool got = RegQueryValueExW(handle, names[i], nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                             ERROR_SUCCESS && type == REG_DWORD;
        out += std::string(i ? "," : "") + str(names[i]) + ":" + (got ? std::to_string(value) : null());
    }
    RegCloseKey(handle);
    return out + "}";
}

// Every value of the current user's compatibility-layers key; null without the key.
std::string compatLayers() {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers", 0,
                      KEY_READ, &handle) != ERROR_SUCCESS)
        return null();
    std::string out = "{";
    for (DWORD i = 0;; ++i) {
        wchar_t name[1024] = {}, data[1024] = {};
        DWORD nameSize = 1024, dataSize = sizeof(data) - sizeof(wchar_t), type = 0;
        if (RegEnumValueW(handle, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize) !=
            ERROR_SUCCESS)
            break;
        out += std::string(i ? "," : "") + str(name) + ":" + (type == REG_SZ ? str(data) : null());
    }
    RegCloseKey(handle);
    return out + "}";
}

std::string text(const char* utf8Text) {
    if (!utf8Text) return null();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, &wide[0], n);
    return str(wide);
}

// "VirtualBox.xml" of a settings folder: the device-module item, the Trusted
// items, the machine folder and the machine entries, and the backups beside it.
std::string vboxSettings(const std::wstring& home) {
    const std::wstring path = home + L"\\VirtualBox.xml";
    std::string out = "{\"path\":" + str(path);
    std::string bytes;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    out += ",\"exists\":" + std::string(f != INVALID_HANDLE_VALUE ? "true" : "false");
    if (f != INVALID_HANDLE_VALUE) {
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(f, buffer, sizeof(buffer), &got, nullptr) && got) bytes.append(buffer, got);
        CloseHandle(f);
    }
    TiXmlDocument doc;
    doc.Parse(bytes.c_str(), nullptr, TIXML_ENCODING_UTF8);
    TiXmlElement* root = doc.Error() ? nullptr : doc.FirstChildElement("VirtualBox");
    TiXmlElement* global = root ? root->FirstChildElement("Global") : nullptr;
    out += ",\"loads\":" + std::string(global ? "true" : "false");
    std::string module = null(), trusted, machines;
    TiXmlElement* extra = global ? global->FirstChildElement("ExtraData") : nullptr;
    for (TiXmlElement* e = extra ? extra->FirstChildElement("ExtraDataItem") : nullptr; e;
         e = e->NextSiblingElement("ExtraDataItem")) {
        const std::string name = e->Attribute("name") ? e->Attribute("name") : "";
        if (name == "VBoxInternal/PDM/Devices/tvc288/path") module = text(e->Attribute("value"));
        if (name.size() > 8 && name.compare(name.size() - 8, 8, "/Trusted") == 0)
            trusted += (trusted.empty() ? "" : ",") + text(name.c_str()) + ":" + text(e->Attribute("value"));
    }
    TiXmlElement* registry = global ? global->FirstChildElement("MachineRegistry") : nullptr;
    for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
         e = e->NextSiblingElement("MachineEntry")) {
        machines += (machines.empty() ? "" : ",") + std::string("{\"uuid\":") + text(e->Attribute("uuid")) +
                    ",\"src\":" + text(e->Attribute("src")) + "}";
    }
    TiXmlElement* system = global ? global->FirstChildElement("SystemProperties") : nullptr;
    out += ",\"device_module\":" + module + ",\"trusted\":{" + trusted + "},\"machine_folder\":" +
           (system ? text(system->Attribute("defaultMachineFolder")) : null()) + ",\"machines\":[" + machines + "]";
    std::string backups;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L".*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const unsigned long long size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
            backups += (backups.empty() ? "" : ",") + str(data.cFileName) + ":" + std::to_string(size);
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    return out + ",\"beside\":{" + backups + "}}";
}

std::wstring envValue(const wchar_t* name) {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD n = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
    return n && n < MAX_PATH * 2 ? buffer : L"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // "--processes": only the running processes, for a road that waits for its programs to end.
    if (argc > 1 && std::wstring(argv[1]) == L"--processes") {
        const std::string out = "{\"processes\":" + processes() + "}\n";
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
        return 0;
    }
    CoInitialize(nullptr);
    const std::wstring userData = folder(CSIDL_APPDATA) + L"\\tarvozhushou";
    const std::wstring adaptIni = folder(CSIDL_COMMON_APPDATA) + L"\\tarvozhushou\\tarvoadapt.ini";
    // Without "install_path" the player folder is looked for in both Program Files folders.
    std::wstring defaultPlayer = folder(CSIDL_PROGRAM_FILES) + L"\\tarvoplayer";
    const std::wstring x86Player = folder(CSIDL_PROGRAM_FILESX86) + L"\\tarvoplayer";
    if (GetFileAttributesW(defaultPlayer.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(x86Player.c_str()) != INVALID_FILE_ATTRIBUTES)
        defaultPlayer = x86Player;
    wchar_t installPath[MAX_PATH * 2] = {};
    GetPrivateProfileStringW(L"main", L"install_path", L"", installPath, MAX_PATH * 2, adaptIni.c_str());
    std::wstring state = envValue(L"QV_STANDIN_DIR");
    if (state.empty()) state = folder(CSIDL_COMMON_APPDATA) + L"\\qv-standin";

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    std::string services = "{";
    const wchar_t* names[] = {L"TarvoHelper", L"tvHdAndroidSvc", L"tvHdDrv", L"VBoxDrv"};
    for (int i = 0; i < 4; ++i) services += std::string(i ? "," : "") + str(names[i]) + ":" + service(manager, names[i]);
    services += "}";
    if (manager) CloseServiceHandle(manager);

    std::string lnk, url;
    const std::wstring desktop = folder(CSIDL_DESKTOPDIRECTORY);
    const std::wstring programs = folder(CSIDL_COMMON_PROGRAMS);
    linksIn(desktop, lnk, url);
    for (const wchar_t* name : kProductNames) linksIn(programs + L"\\" + name, lnk, url);

    std::string out = "{";
    out += "\"program_files\":" + str(folder(CSIDL_PROGRAM_FILES));
    out += ",\"user_data\":" + str(userData);
    out += ",\"desktop\":" + str(desktop);
    out += ",\"common_programs\":" + str(programs);
    out += ",\"qv_keys\":" + qvKeys();
    out += ",\"uninstall_entry\":" + uninstallEntry();
    out += ",\"adapter_ini\":" + iniSection(adaptIni, L"main");
    out += ",\"services\":" + services;
    out += ",\"links\":[" + lnk + "],\"urls\":[" + url + "]";
    out += ",\"user_data_files\":" + tree(userData);
    out += ",\"player_files\":" + tree(installPath[0] ? std::wstring(installPath) : defaultPlayer);
    out += ",\"standin_files\":" + tree(state);
    out += ",\"processes\":" + processes();
    out += ",\"com_registrations\":" + comRegistrations();
    out += ",\"vbox_driver\":" + driverCounters();
    out += ",\"compat_layers\":" + compatLayers();
    out += ",\"vbox_settings\":" + vboxSettings(userData + L"\\vmconfig");
    out += "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    CoUninitialize();
    return 0;
}
