// The VBox manager's set-up and registration of VirtualBox; the appliance import and
// the engine stop are in vbox_import_stop.cpp.
#include "installer/vbox_manager.h"
#include "installer/vbox_manager_internal.h"

#include <ole2.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
#include <map>

#include "services/http_stat.h"
#include "services/helper_service.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "services/log.h"
#include "tinyxml.h"
#include "toolkit/child_process.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"
#include "toolkit/string_util.h"
#include "toolkit/sys_util.h"
#include "toolkit/zip_extract.h"

namespace tarvo {
namespace vboxmgr {

namespace {

const wchar_t kDeviceItemName[] = L"VBoxInternal/PDM/Devices/tvc288/path";
const char kDeviceItemNameA[] = "VBoxInternal/PDM/Devices/tvc288/path";
const char kTrusted0[] = "VBoxInternal/Devices/tvc288/0/Trusted";
const char kTrusted1[] = "VBoxInternal/Devices/tvc288/1/Trusted";
const wchar_t kLayersKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
const size_t kKeptTimedBackups = 5;

bool fileExistsW(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool readBytes(const std::wstring& path, std::string& out) {
    out.clear();
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    for (;;) {
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        out.append(buffer, got);
    }
    return ok;
}

bool writeBytes(const std::wstring& path, const std::string& bytes) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
            ok = false;
            break;
        }
        done += wrote;
    }
    if (ok && !FlushFileBuffers(file.get())) ok = false;
    return ok;
}

// Parses the bytes; false for an empty or broken document.
bool parseXml(const std::string& bytes, TiXmlDocument& doc) {
    doc.Clear();
    doc.Parse(bytes.c_str(), nullptr, TIXML_ENCODING_UTF8);
    return !doc.Error();
}

std::string printXml(const TiXmlDocument& doc) {
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    doc.Accept(&printer);
    return printer.Str();
}

TiXmlElement* globalElement(TiXmlDocument& doc) {
    TiXmlElement* root = doc.FirstChildElement("VirtualBox");
    return root ? root->FirstChildElement("Global") : nullptr;
}

TiXmlElement* globalChild(TiXmlDocument& doc, const char* name) {
    TiXmlElement* global = globalElement(doc);
    return global ? global->FirstChildElement(name) : nullptr;
}

std::string attr(const TiXmlElement* element, const char* name) {
    const char* value = element ? element->Attribute(name) : nullptr;
    return value ? value : std::string();
}

// Machine uuids of a settings document's MachineRegistry, lower-cased.
std::set<std::string> registeredUuids(TiXmlDocument& doc) {
    std::set<std::string> uuids;
    TiXmlElement* registry = globalChild(doc, "MachineRegistry");
    for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
         e = e->NextSiblingElement("MachineEntry")) {
        uuids.insert(lowerA(attr(e, "uuid")));
    }
    return uuids;
}

TiXmlElement* machineRegistryOf(TiXmlDocument& doc) {
    TiXmlElement* global = globalElement(doc);
    if (!global) return nullptr;
    TiXmlElement* registry = global->FirstChildElement("MachineRegistry");
    if (!registry) registry = global->InsertEndChild(TiXmlElement("MachineRegistry"))->ToElement();
    return registry;
}

std::string utcStamp() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    snprintf(text, sizeof(text), "%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    return text;
}

// Keeps the newest `keep` "<file>.tv-<stamp>[-n].bak" copies, deleting the others
// (the first-found copy is not among them).
void pruneTimedBackups(const std::wstring& file, size_t keep) {
    std::wstring pattern = file + L".tv-*.bak";
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) return;
    std::vector<std::pair<ULONGLONG, std::wstring>> found;
    std::wstring folder = folderOf(file);
    std::wstring first = nameOf(file) + L".tv-first.bak";
    do {
        std::wstring name = data.cFileName;
        if (sameText(name, first) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        ULONGLONG written = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                            data.ftLastWriteTime.dwLowDateTime;
        found.push_back(std::make_pair(written, name));
    } while (FindNextFileW(find.get(), &data));
    find.reset();
    if (found.size() <= keep) return;
    // Newest first: by the stamp in the name, then by its "-n" suffix.
    size_t prefix = nameOf(file).size() + 4;  // "<name>.tv-"
    auto key = [prefix](const std::wstring& name) {
        std::wstring middle = name.substr(prefix, name.size() - prefix - 4);
        int n = 1;
        if (middle.size() > 16 && middle[15] == L'-') n = _wtoi(middle.c_str() + 16);
        return std::make_pair(middle.substr(0, 15), n);
    };
    std::sort(found.begin(), found.end(), [&key](const std::pair<ULONGLONG, std::wstring>& a,
                                                 const std::pair<ULONGLONG, std::wstring>& b) {
        auto ka = key(a.second);
        auto kb = key(b.second);
        if (ka != kb) return ka > kb;
        return a.first > b.first;
    });
    for (size_t i = keep; i < found.size(); ++i) DeleteFileW((folder + L"\\" + found[i].second).c_str());
}

// The product's host: the loader's own functions.
class ProductHost : public VBoxHost {
public:
    std::wstring userDataFolder() override { return getUserDataFolder(); }
    std::wstring playerHome() override { return getPlayerHome(); }
    std::wstring setting(const std::wstring& key, const std::wstring& defaultValue) override {
        return DevSettings::getInstance()->properties.getProperty(key, defaultValue);
    }
    bool settingBool(const std::wstring& key, bool defaultValue) override {
        return DevSettings::getInstance()->properties.getBool(key, defaultValue);
    }
    bool is64BitWindows() override { return ::is64BitWindows(); }
    VBoxOsVersion osVersion() override {
        OSVERSIONINFOW info;
        ZeroMemory(&info, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(info);
        VBoxOsVersion v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (GetVersionExW(&info)) {
#pragma GCC diagnostic pop
            v.platformId = info.dwPlatformId;
            v.major = info.dwMajorVersion;
            v.minor = info.dwMinorVersion;
        }
        return v;
    }
    std::wstring systemDirectory() override {
        wchar_t path[MAX_PATH];
        UINT length = GetSystemDirectoryW(path, MAX_PATH);
        return stripSlash(std::wstring(path, length < MAX_PATH ? length : 0));
    }
    HKEY classesRoot() override { return HKEY_CLASSES_ROOT; }
    VBoxRunResult run(const std::wstring& commandLine, uint32_t timeoutMs) override {
        ProcessRunner runner;
        VBoxRunResult result;
        result.started = runner.run(commandLine, timeoutMs);
        result.exitCode = runner.exitCode();
        result.output = runner.getOutput();
        result.timedOut = runner.timedOut();
        return result;
    }
};

}  // namespace

VBoxToolLimits& vboxToolLimits() {
    static VBoxToolLimits limits;
    return limits;
}

VBoxHost& productVBoxHost() {
    static ProductHost host;
    return host;
}

std::wstring setEnvironmentValue(const std::wstring& name, const std::wstring& value) {
    std::vector<wchar_t> old(65536, 0);
    DWORD length = GetEnvironmentVariableW(name.c_str(), old.data(), static_cast<DWORD>(old.size()));
    std::wstring previous = length && length < old.size() ? std::wstring(old.data(), length) : std::wstring();
    SetEnvironmentVariableW(name.c_str(), value.c_str());
    return previous;
}

VBoxManager::VBoxManager(VBoxHost& host)
    : uninstall_enabled(true), host_(host), notifier_(this), backupMade_(false) {
    init();
}

VBoxManager::VBoxManager() : VBoxManager(productVBoxHost()) {}

VBoxManager::~VBoxManager() {}

bool VBoxManager::init() {
    logPrintf("VBoxManager::init...");
    vbox_user_home = host_.userDataFolder() + L"\\vmconfig";
    if (!pathExists(vbox_user_home)) createDirectories(vbox_user_home).ignore();
    setEnvironmentValue(L"VBOX_USER_HOME", vbox_user_home);
    global_xml = vbox_user_home + L"\\VirtualBox.xml";
    std::wstring home = host_.playerHome();
    install_path = host_.setting(L"vbox_install_path", home + L"\\vbox");
    addToPathEnv(install_path);

    deployed_path.clear();
    std::string bytes;
    TiXmlDocument doc;
    if (readBytes(global_xml, bytes) && parseXml(bytes, doc)) {
        logPrintf("本地有vbox环境");
        TiXmlElement* system = globalChild(doc, "SystemProperties");
        const char* folder = system ? system->Attribute("defaultMachineFolder") : nullptr;
        if (folder) {
            deployed_path = utf8ToWide(folder);
            logPrintf("本地VirtualBox.xml的deployed目录: %s", ansi(deployed_path).c_str());
        }
    }
    if (deployed_path.empty()) {
        logPrintf("本地VirtualBox.xml的deployed目录is empty, 使用安装目录下deployed或者读配置文件");
        deployed_path = host_.setting(L"vbox_deployed_path_", home + L"\\deployed");
    }
    install_pkg = home + (host_.is64BitWindows() ? L"\\install\\vbox-x64.zip" : L"\\install\\vbox-x86.zip");
    ova_path = home + L"\\ovas";
    ova_filename = ova_path + L"\\" + applianceFileName();
    uninstall_enabled = host_.settingBool(L"vbox_uninstall_enabled", true);

    logPrintf("VBoxManager:: install_path:   %s", ansi(install_path).c_str());
    logPrintf("VBoxManager:: vbox_user_home: %s", ansi(vbox_user_home).c_str());
    logPrintf("VBoxManager:: global_xml:     %s", ansi(global_xml).c_str());
    logPrintf("VBoxManager:: install_pkg:    %s", ansi(install_pkg).c_str());
    logPrintf("VBoxManager:: deployed_path:  %s", ansi(deployed_path).c_str());
    logPrintf("VBoxManager:: ova_filename:   %s", ansi(ova_filename).c_str());
    return true;
}

void VBoxManager::notify(int32_t state, int32_t error, const wchar_t* message, float percent) {
    VBoxNotify* n = new VBoxNotify();
    n->kind = 1000;
    n->state = state;
    n->error = error;
    n->message = message;
    n->percent = percent;
    n->spare = 0.0f;
    n->spareWord = 0;
    notifier_.emit(NotifyPtr(n));
}

VBoxRunResult VBoxManager::runLogged(const std::wstring& commandLine, uint32_t timeoutMs) {
    VBoxRunResult result = host_.run(commandLine, timeoutMs);
    if (result.timedOut) {
        logPrintf("cmd timed out after %u ms: %s", static_cast<unsigned>(timeoutMs), ansi(commandLine).c_str());
        result.exitCode = kProcessTimedOutExit;
    }
    if (!result.started) result.exitCode = kProcessTimedOutExit;
    return result;
}

uint32_t VBoxManager::runForExitCode(const std::wstring& commandLine, uint32_t timeoutMs) {
    return runLogged(commandLine, timeoutMs).exitCode;
}

std::wstring VBoxManager::systemProgram(const wchar_t* exeName) {
    return quote(host_.systemDirectory() + L"\\" + exeName);
}

int32_t VBoxManager::install(const std::wstring& installPath, const std::wstring& installPkg,
                             const std::wstring& deployedPath) {
    logPrintf("VBoxManager::install...");
    notify(0, 0, L"准备安装塔沃虚拟机引擎...", 0);
    OleInitialize(nullptr);
    backupMade_ = false;

    // The processes of the engine's folder, and of the new one when it moves.
    std::vector<std::wstring> folders{install_path};
    if (!installPath.empty() && !sameText(stripSlash(installPath), stripSlash(install_path))) {
        folders.push_back(installPath);
    }
    stopIn(folders);

    if (!installPath.empty()) {
        install_path = installPath;
        if (!pathExists(install_path)) createDirectories(install_path).ignore();
    }
    if (!installPkg.empty() && fileExistsW(installPkg)) install_pkg = installPkg;
    logPrintf(" install_path: %s", ansi(install_path).c_str());
    logPrintf(" install_pkg: %s", ansi(install_pkg).c_str());

    notify(1, 0, L"安装塔沃虚拟机引擎...", 10);
    if (good() != 0) {
        if (fileExistsW(install_pkg)) unzipToFolder(install_pkg, install_path, true, nullptr);
        if (!pathExists(vbox_user_home)) createDirectories(vbox_user_home).ignore();
        prepareGlobalXml(global_xml);
    }

    float percent = 40;
    notify(1, 0, L"安装塔沃虚拟机引擎...", percent);
    int32_t result = -104;
    bool succeeded = false;
    do {
        std::string bytes;
        TiXmlDocument doc;
        if (!readBytes(global_xml, bytes) || !parseXml(bytes, doc)) {
            logPrintf("can't load file: %s", ansi(global_xml).c_str());
            break;
        }
        TiXmlElement* system = globalChild(doc, "SystemProperties");
        if (!system) break;
        std::string folder = attr(system, "defaultMachineFolder");
        if (!folder.empty()) {
            deployed_path = utf8ToWide(folder);
        } else {
            if (!deployedPath.empty() && deployedPath != deployed_path) {
                deployed_path = deployedPath;
                logPrintf("安装到新目录 %s", ansi(deployed_path).c_str());
            }
            system->SetAttribute("defaultMachineFolder", toUtf8(deployed_path).c_str());
        }
        if (!pathExists(deployed_path)) createDirectories(deployed_path).ignore();

        percent = 50;
        result = -101;
        notify(1, 0, L"安装塔沃虚拟机引擎驱动...", percent);
        const VBoxToolLimits& limits = vboxToolLimits();
        std::wstring svc = quote(install_path + L"\\VBoxSVC.exe");
        std::wstring cmd = svc + L" /UnregServer";
        uint32_t code = runForExitCode(cmd, limits.registrationMs);
        logPrintf("cmd: %s, result: 0x%08x", ansi(cmd).c_str(), code);
        cmd = svc + L" /RegServer";
        code = runForExitCode(cmd, limits.registrationMs);
        logPrintf("cmd: %s, result: 0x%08x", ansi(cmd).c_str(), code);
        if (code != 0) {
            logPrintf("注册vboxsvc失败");
            break;
        }
        std::wstring client = install_path + L"\\VBoxC.dll";
        registerComDll(client, false);
        int32_t registered = registerComDll(client, true);
        logPrintf("regsvr32 %s, result: 0x%08x", ansi(client).c_str(), static_cast<unsigned>(registered));
        if (registered != 0) {
            logPrintf("注册%s失败.", ansi(client).c_str());
            break;
        }

        percent = 60;
        notify(1, 0, L"安装塔沃虚拟机引擎驱动...", percent);
        {
            ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
            if (manager) {
                ScopedServiceHandle service(OpenServiceW(manager.get(), L"VBoxDrv", SERVICE_ALL_ACCESS));
                if (service) ServiceControl().stop(manager.get(), service.get(), true, 5000);
            }
        }
        ServiceControl().remove(L"VBoxDrv", 5000);
        VBoxRunResult un = runLogged(quote(install_path + L"\\SUPUninstall.exe"), limits.driverMs);
        logPrintf("%s", un.output.c_str());
        VBoxRunResult in = runLogged(quote(install_path + L"\\SUPInstall.exe"), limits.driverMs);
        logPrintf("%s", in.output.c_str());
        // VirtualBox's own SUPInstall writes "Installed successfully!".
        if (lowerA(in.output).find("supinstall.exe: info: installed successfully") == std::string::npos) {
            logPrintf("安装tvdrv驱动失败！");
            break;
        }

        percent = 70;
        notify(1, 0, L"安装塔沃虚拟机引擎驱动...", percent);
        logPrintf("注册驱动...");
        result = -102;
        TiXmlElement* extra = globalChild(doc, "ExtraData");
        if (!extra) {
            logPrintf("can't find VirtualBox\\Global\\ExtraData");
            break;
        }
        std::string modulePath = toUtf8(install_path + L"\\tvc288.dll");
        TiXmlElement* item = extra->FirstChildElement("ExtraDataItem");
        for (; item; item = item->NextSiblingElement("ExtraDataItem")) {
            if (attr(item, "name") == kDeviceItemNameA) break;
        }
        if (item) {
            item->SetAttribute("value", modulePath.c_str());
        } else {
            TiXmlElement added("ExtraDataItem");
            added.SetAttribute("name", kDeviceItemNameA);
            added.SetAttribute("value", modulePath.c_str());
            extra->InsertEndChild(added);
        }
        if (writeSettingsFile(global_xml, printXml(doc), SettingsSave) != 0) {
            logPrintf("can't save file: %s", ansi(global_xml).c_str());
            break;
        }

        percent = 80;
        notify(1, 0, L"安装塔沃虚拟机引擎驱动...", percent);
        setCompatLayers();
        result = good();
        if (result == 0) {
            notify(2, 0, L"安装塔沃虚拟机引擎成功", 100);
            succeeded = true;
        }
    } while (false);
    if (!succeeded) notify(2, -1, L"安装塔沃虚拟机引擎失败", percent);

    logPrintf("install vbox %d", result);
    reportStat(L"install_vbox", format(L"result=%d", result), L"vbox");
    OleUninitialize();
    return result;
}

int32_t VBoxManager::registerComDll(const std::wstring& dllPath, bool doRegister) {
    if (host_.is64BitWindows()) {
        std::wstring cmd = systemProgram(L"regsvr32.exe") + (doRegister ? L" /s " : L" /s /u ") + quote(dllPath);
        return static_cast<int32_t>(runForExitCode(cmd, vboxToolLimits().registrationMs));
    }
    OleInitialize(nullptr);
    int32_t result = 0;
    HMODULE module = LoadLibraryW(dllPath.c_str());
    if (!module) {
        result = static_cast<int32_t>(GetLastError());
    } else {
        typedef HRESULT(STDAPICALLTYPE * EntryFn)();
        EntryFn entry = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(
            GetProcAddress(module, doRegister ? "DllRegisterServer" : "DllUnregisterServer")));
        if (!entry) {
            result = static_cast<int32_t>(GetLastError());
        } else {
            result = static_cast<int32_t>(entry());
        }
    }
    OleUninitialize();
    if (module) FreeLibrary(module);
    return result;
}

int32_t VBoxManager::prepareGlobalXml(const std::wstring& path) {
    std::wstring previous = path + L".tv.prev";
    if (fileExistsW(previous)) {
        std::string bytes;
        if (!readBytes(previous, bytes)) return -1;
        return writeSettingsFile(path, bytes, SettingsRestore);
    }
    if (toLowerCopy(nameOf(path)) == L"virtualbox.xml") {
        std::string bytes;
        if (!readBytes(ova_path + L"\\VirtualBox.xml", bytes)) return -1;
        return writeSettingsFile(global_xml, bytes, SettingsTemplate);
    }
    return -1;
}

namespace {

// "<folder>\<folder name>.tv.lck", opened exclusively.
class SettingsLock {
public:
    explicit SettingsLock(const std::wstring& file) {
        std::wstring folder = folderOf(file);
        path_ = folder + L"\\" + nameOf(folder) + L".tv.lck";
    }
    ~SettingsLock() { release(); }
    bool take(uint32_t limitMs) {
        DWORD start = GetTickCount();
        for (;;) {
            handle_.reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            if (handle_) return true;
            if (GetTickCount() - start >= limitMs) return false;
            Sleep(100);
        }
    }
    void release() {
        if (!handle_) return;
        handle_.reset();
        DeleteFileW(path_.c_str());
    }

private:
    std::wstring path_;
    ScopedHandle handle_;
};

}  // namespace

void VBoxManager::reRegisterMachines(TiXmlDocument& doc) {
    std::set<std::string> known = registeredUuids(doc);
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW((deployed_path + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        std::wstring sub = data.cFileName;
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || sub == L"." || sub == L"..") continue;
        std::wstring file = deployed_path + L"\\" + sub + L"\\" + sub + L".vbox";
        std::string bytes;
        TiXmlDocument machine;
        if (!readBytes(file, bytes) || !parseXml(bytes, machine)) continue;
        TiXmlElement* root = machine.FirstChildElement("VirtualBox");
        TiXmlElement* m = root ? root->FirstChildElement("Machine") : nullptr;
        std::string uuid = attr(m, "uuid");
        if (uuid.empty() || known.count(lowerA(uuid))) continue;
        TiXmlElement* registry = machineRegistryOf(doc);
        if (!registry) break;
        TiXmlElement entry("MachineEntry");
        entry.SetAttribute("uuid", uuid.c_str());
        entry.SetAttribute("src", toUtf8(file).c_str());
        registry->InsertEndChild(entry);
        known.insert(lowerA(uuid));
    } while (FindNextFileW(find.get(), &data));
}

int32_t VBoxManager::writeSettingsFile(const std::wstring& path, const std::string& content, SettingsWrite kind) {
    SettingsLock lock(path);
    if (!lock.take(vboxToolLimits().settingsLockMs)) {
        logPrintf("settings file busy: %s", ansi(path).c_str());
        return -1;
    }
    std::string old;
    const bool exists = fileExistsW(path);
    // A file that cannot be read may hold the user's registered machines.
    if (exists && !readBytes(path, old)) {
        logPrintf("settings unreadable, left as it is: %s", ansi(path).c_str());
        return -1;
    }
    TiXmlDocument parsedOld;
    const bool unparsable = exists && !parseXml(old, parsedOld);
    std::string bytes = content;
    if (kind != SettingsSave) {
        TiXmlDocument fresh;
        if (parseXml(content, fresh)) {
            bool changed = false;
            TiXmlDocument previous;
            if (exists && parseXml(old, previous)) {
                // Registrations that the new content lacks stay registered.
                std::set<std::string> known = registeredUuids(fresh);
                TiXmlElement* registry = globalChild(previous, "MachineRegistry");
                for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
                     e = e->NextSiblingElement("MachineEntry")) {
                    std::string uuid = lowerA(attr(e, "uuid"));
                    if (known.count(uuid)) continue;
                    TiXmlElement* target = machineRegistryOf(fresh);
                    if (!target) break;
                    target->InsertEndChild(*e);
                    known.insert(uuid);
                    changed = true;
                }
            } else if (kind == SettingsTemplate) {
                // The old registrations are unreadable: register the machines the
                // deployed folder still holds.
                size_t before = registeredUuids(fresh).size();
                reRegisterMachines(fresh);
                changed = registeredUuids(fresh).size() != before;
            }
            if (changed) bytes = printXml(fresh);
        }
    }
    if (exists && old == bytes) return 0;

    // Bytes that do not parse are kept whole in a backup of their own, also when
    // this install has made one already.
    if (exists && (!backupMade_ || unparsable)) {
        std::wstring first = path + L".tv-first.bak";
        if (!fileExistsW(first)) writeBytes(first, old);
        std::wstring stamp = utf8ToWide(utcStamp());
        std::wstring timed = path + L".tv-" + stamp + L".bak";
        for (int n = 2; pathExists(timed); ++n) timed = path + L".tv-" + stamp + format(L"-%d", n) + L".bak";
        writeBytes(timed, old);
        pruneTimedBackups(path, kKeptTimedBackups);
        backupMade_ = true;
    }

    std::wstring temp = path + L".tv.tmp";
    if (!writeBytes(temp, bytes) ||
        !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD attributes = GetFileAttributesW(temp.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            DeleteFileW(temp.c_str());
        }
        return -1;
    }
    return 0;
}

int32_t VBoxManager::getGlChannel() {
    std::wstring channel = toLowerCopy(host_.setting(L"opengles_channel", L"pipe"));
    if (channel == L"nat") return 1;
    if (channel == L"hostonly") return 2;
    return 0;
}

int32_t VBoxManager::good() {
    logPrintf("VBoxManager::good: check static env...");
    int32_t result = -100;
    do {
        if (!fileExistsW(global_xml)) {
            logPrintf(" global xml file not exist, %s", ansi(global_xml).c_str());
            break;
        }
        std::string bytes;
        TiXmlDocument doc;
        if (!readBytes(global_xml, bytes) || !parseXml(bytes, doc)) {
            logPrintf("load global xml failed, %s", ansi(global_xml).c_str());
            break;
        }
        if (getGlChannel() == 0) {
            TiXmlElement* extra = globalChild(doc, "ExtraData");
            if (!extra) {
                logPrintf("can't find VirtualBox\\Global\\ExtraData");
                break;
            }
            TiXmlElement* item = extra->FirstChildElement("ExtraDataItem");
            if (!item) break;
            int count = 0;
            for (; item && count < 3; item = item->NextSiblingElement("ExtraDataItem")) {
                std::string name = attr(item, "name");
                std::string value = attr(item, "value");
                if (name == kDeviceItemNameA) {
                    // Wide, so that a folder outside the ANSI code page still counts.
                    if (!value.empty() && PathFileExistsW(utf8ToWide(value).c_str())) ++count;
                } else if (name == kTrusted0 || name == kTrusted1) {
                    if (value == "1") ++count;
                }
            }
            if (count != 3) break;
        }
        TiXmlElement* system = globalChild(doc, "SystemProperties");
        if (!system) {
            logPrintf("can't get VirtualBox\\Global\\SystemProperties");
            break;
        }
        if (attr(system, "defaultMachineFolder").empty()) {
            logPrintf("can't get value of VirtualBox\\Global\\SystemProperties\\defaultMachineFolder");
            break;
        }
        result = 0;
    } while (false);
    logPrintf("VBoxManager::good: %d", result);
    return result;
}

bool VBoxManager::isEngineReady() {
    if (good() != 0) return false;
    std::string bytes;
    TiXmlDocument doc;
    if (!readBytes(global_xml, bytes) || !parseXml(bytes, doc)) return false;
    TiXmlElement* registry = globalChild(doc, "MachineRegistry");
    for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
         e = e->NextSiblingElement("MachineEntry")) {
        std::wstring src = utf8ToWide(attr(e, "src"));
        if (src.empty()) continue;
        if (PathIsRelativeW(src.c_str())) src = vbox_user_home + L"\\" + src;
        if (fileExistsW(src)) return true;
    }
    return false;
}

bool VBoxManager::isWindowsXP() {
    VBoxOsVersion v = host_.osVersion();
    return v.platformId == VER_PLATFORM_WIN32_NT && v.major == 5 && v.minor == 1;
}

std::vector<std::wstring> VBoxManager::compatPrograms() {
    std::wstring folder = host_.playerHome() + L"\\vbox";
    return {toLowerCopy(folder + L"\\VBoxManage.exe"), toLowerCopy(folder + L"\\VirtualBox.exe")};
}

void VBoxManager::setCompatLayers() {
    std::wstring layer;
    if (!isWindowsXP()) layer = host_.osVersion().major < 6 ? L"WINXPSP3" : L"VISTASP2";
    if (layer.empty()) {
        removeCompatLayers();
        return;
    }
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS) return;
    for (const std::wstring& program : compatPrograms()) {
        RegSetValueExW(key.get(), program.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(layer.c_str()),
                       static_cast<DWORD>((layer.size() + 1) * sizeof(wchar_t)));
    }
}

void VBoxManager::removeCompatLayers() {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kLayersKey, 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS) return;
    for (const std::wstring& program : compatPrograms()) RegDeleteValueW(key.get(), program.c_str());
}

void VBoxManager::uninstall(const std::wstring& folder) {
    if (!uninstall_enabled) return;
    std::wstring dir = folder;
    if (dir.empty()) dir = install_path;
    if (dir.empty()) dir = host_.playerHome() + L"\\vbox";
    const VBoxToolLimits& limits = vboxToolLimits();
    registerComDll(dir + L"\\VBoxC.dll", false);
    runForExitCode(quote(dir + L"\\VBoxSVC.exe") + L" /UnregServer", limits.registrationMs);
    runForExitCode(quote(dir + L"\\SUPUninstall.exe"), limits.driverMs);
    forceDeletePath(dir).ignore();
    forceDeletePath(host_.userDataFolder() + L"\\vmconfig").ignore();
    removeCompatLayers();
}

}  // namespace vboxmgr
}  // namespace tarvo
