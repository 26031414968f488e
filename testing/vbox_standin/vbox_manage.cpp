// VBoxManage.exe stand-in: the commands the loader and the tests use, on the
// settings file of VBOX_USER_HOME, with VirtualBox's texts and exit codes.
#include <windows.h>
#include <wincrypt.h>
#include <shlobj.h>

#include <cstdio>

#include "testing/vbox_standin/vbox_standin.h"
#include "tinyxml.h"

namespace {

const char kProgress[] = "0%...10%...20%...30%...40%...50%...60%...70%...80%...90%...100%";
const char kFileErrorDetails[] =
    "VBoxManage.exe: error: Details: code VBOX_E_FILE_ERROR (0x80bb0004), component ApplianceWrap, interface IAppliance";

qvs::Start g_start;

[[noreturn]] void done(int code) { vbs::finish(g_start, code); }

struct Machine {
    std::string uuid;
    std::string name;
    std::wstring file;
    TiXmlElement* entry = nullptr;
};

std::string attr(const TiXmlElement* e, const char* name) {
    const char* v = e ? e->Attribute(name) : nullptr;
    return v ? v : "";
}

std::wstring machinePath(const std::string& src) {
    std::wstring path = qvs::widen(src);
    if (path.size() < 2 || (path[1] != L':' && path[0] != L'\\')) {
        std::wstring settings = vbs::settingsPath();
        path = settings.substr(0, settings.find_last_of(L'\\') + 1) + path;
    }
    return path;
}

std::vector<Machine> machines(TiXmlDocument& doc) {
    std::vector<Machine> list;
    TiXmlElement* registry = vbs::globalChild(doc, "MachineRegistry", false);
    for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
         e = e->NextSiblingElement("MachineEntry")) {
        Machine m;
        m.uuid = attr(e, "uuid");
        m.file = machinePath(attr(e, "src"));
        m.entry = e;
        std::string bytes;
        TiXmlDocument machine;
        if (vbs::readBytes(m.file, bytes)) {
            machine.Parse(bytes.c_str());
            TiXmlElement* root = machine.FirstChildElement("VirtualBox");
            m.name = attr(root ? root->FirstChildElement("Machine") : nullptr, "name");
        }
        list.push_back(m);
    }
    return list;
}

std::string bare(const std::string& uuid) {
    std::string u = vbs::lowerA(uuid);
    if (!u.empty() && u.front() == '{') u = u.substr(1);
    if (!u.empty() && u.back() == '}') u.pop_back();
    return u;
}

bool findMachine(TiXmlDocument& doc, const std::string& wanted, Machine& out) {
    for (const Machine& m : machines(doc)) {
        if (m.name == wanted || bare(m.uuid) == bare(wanted)) {
            out = m;
            return true;
        }
    }
    vbs::err("VBoxManage.exe: error: Could not find a registered machine named '" + wanted + "'");
    vbs::err("VBoxManage.exe: error: Details: code VBOX_E_OBJECT_NOT_FOUND (0x80bb0001), component VirtualBoxWrap, "
             "interface IVirtualBox, callee IUnknown");
    return false;
}

[[noreturn]] void lockedError(const std::string& name) {
    vbs::err("VBoxManage.exe: error: The machine '" + name + "' is already locked for a session (or being unlocked)");
    vbs::err("VBoxManage.exe: error: Details: code VBOX_E_INVALID_OBJECT_STATE (0x80bb0007), component MachineWrap, "
             "interface IMachine, callee IUnknown");
    done(1);
}

[[noreturn]] void noVirtualBox(const char* code) {
    vbs::err("VBoxManage.exe: error: Failed to create the VirtualBox object!");
    vbs::err(code);
    vbs::err("VBoxManage.exe: error: Most likely, the VirtualBox COM server is not running or failed to start.");
    done(1);
}

// The settings file, loaded; exits with VirtualBox's error when it does not load.
void loadOrExit(TiXmlDocument& doc) {
    if (vbs::loadSettings(doc)) return;
    vbs::err("VBoxManage.exe: error: Failed to create the VirtualBox object!");
    vbs::err("VBoxManage.exe: error: Code E_FAIL (0x80004005) - Unspecified error (extended info not available)");
    vbs::err("VBoxManage.exe: error: Failed to load the settings file '" + vbs::ansi(vbs::settingsPath()) + "'");
    done(1);
}

// The server as COM would start it, and the touch that keeps it alive.
void touchServer() {
    bool running = !qvs::processesIn(qvs::ownFolder(), L"VBoxSVC.exe").empty();
    if (!running) vbs::startDetached(L"VBoxSVC.exe", L"-Embedding");
    HANDLE touch = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"vbox-standin-svc-touch");
    if (touch) {
        SetEvent(touch);
        CloseHandle(touch);
    }
}

// --- the appliance --------------------------------------------------------------------

struct TarItem {
    std::string name;
    std::string data;
};

bool readTar(const std::string& bytes, std::vector<TarItem>& items) {
    size_t pos = 0;
    while (pos + 512 <= bytes.size()) {
        const char* h = bytes.data() + pos;
        if (h[0] == 0) break;
        if (std::string(h + 257, 5) != "ustar") return false;
        TarItem item;
        item.name = std::string(h, strnlen(h, 100));
        size_t size = strtoul(std::string(h + 124, 12).c_str(), nullptr, 8);
        pos += 512;
        if (pos + size > bytes.size()) return false;
        item.data = bytes.substr(pos, size);
        pos += (size + 511) / 512 * 512;
        items.push_back(item);
    }
    return !items.empty();
}

std::string digestHex(const std::string& data, bool sha256) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::string hex;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return hex;
    if (CryptCreateHash(provider, sha256 ? CALG_SHA_256 : CALG_SHA1, 0, 0, &hash)) {
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), (DWORD)data.size(), 0);
        BYTE value[32];
        DWORD size = sizeof(value);
        if (CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) {
            char two[3];
            for (DWORD i = 0; i < size; ++i) {
                snprintf(two, 3, "%02x", value[i]);
                hex += two;
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return hex;
}

[[noreturn]] void readFailed(const std::string& why) {
    vbs::err("VBoxManage.exe: error: Appliance read failed");
    vbs::err("VBoxManage.exe: error: " + why);
    vbs::err(kFileErrorDetails);
    done(1);
}

std::string newUuid() {
    GUID g;
    CoCreateGuid(&g);
    char text[64];
    snprintf(text, sizeof(text), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned long)g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const TiXmlElement* childNamed(const TiXmlElement* parent, const std::string& local) {
    for (const TiXmlElement* e = parent ? parent->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        std::string n = e->ValueStr();
        size_t colon = n.find(':');
        if ((colon == std::string::npos ? n : n.substr(colon + 1)) == local) return e;
    }
    return nullptr;
}

std::string attrLocal(const TiXmlElement* e, const std::string& local) {
    for (const TiXmlAttribute* a = e ? e->FirstAttribute() : nullptr; a; a = a->Next()) {
        std::string n = a->Name();
        size_t colon = n.find(':');
        if ((colon == std::string::npos ? n : n.substr(colon + 1)) == local) return a->Value();
    }
    return "";
}

void importAppliance(const std::wstring& ova) {
    const std::string ovaA = vbs::ansi(ova);
    vbs::applyModes(g_start, L"VBoxManage.import", kProgress);
    if (g_start.mode == L"nointerface") {
        noVirtualBox("VBoxManage.exe: error: Code E_NOINTERFACE (0x80004002) - No such interface supported "
                     "(extended info not available)");
    }
    TiXmlDocument settings;
    loadOrExit(settings);
    vbs::out(kProgress);
    vbs::out("Interpreting " + ovaA + "...");
    std::string bytes;
    if (!vbs::readBytes(ova, bytes)) readFailed("Could not open the OVA file '" + ovaA + "' (VERR_FILE_NOT_FOUND)");
    std::vector<TarItem> items;
    if (!readTar(bytes, items)) readFailed("Could not read OVF file '" + ovaA + "' (VERR_TAR_BAD_HEADER)");
    if (items[0].name.size() < 4 || vbs::lowerA(items[0].name.substr(items[0].name.size() - 4)) != ".ovf")
        readFailed("Could not read OVF file '" + ovaA + "' (VERR_TAR_UNEXPECTED_FILE)");
    for (const TarItem& item : items) {
        if (item.name.size() < 3 || item.name.substr(item.name.size() - 3) != ".mf") continue;
        size_t start = 0;
        while (start < item.data.size()) {
            size_t end = item.data.find('\n', start);
            std::string line = item.data.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? item.data.size() : end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t open = line.find('('), close = line.find(')'), eq = line.find('=', close);
            if (open == std::string::npos || close == std::string::npos || eq == std::string::npos) continue;
            bool sha256 = line.compare(0, 6, "SHA256") == 0;
            std::string name = line.substr(open + 1, close - open - 1);
            std::string want = line.substr(eq + 1);
            while (!want.empty() && want.front() == ' ') want.erase(0, 1);
            for (const TarItem& other : items) {
                if (other.name == name && digestHex(other.data, sha256) != vbs::lowerA(want)) {
                    readFailed("The " + std::string(sha256 ? "SHA256" : "SHA1") + " digest of '" + name +
                               "' does not match the one in '" + item.name + "' (VERR_MANIFEST_DIGEST_MISMATCH)");
                }
            }
        }
    }
    TiXmlDocument ovf;
    ovf.Parse(items[0].data.c_str());
    const TiXmlElement* envelope = ovf.RootElement();
    if (ovf.Error() || !envelope) readFailed("Could not read OVF file '" + ovaA + "' (VERR_TAR_UNEXPECTED_FILE)");
    const TiXmlElement* file = childNamed(childNamed(envelope, "References"), "File");
    const std::string href = attrLocal(file, "href");
    const TiXmlElement* system = childNamed(envelope, "VirtualSystem");
    std::string base = attrLocal(system, "id");
    const TiXmlElement* os = childNamed(childNamed(system, "OperatingSystemSection"), "OSType");
    std::string osType = os && os->GetText() ? os->GetText() : "Other";
    std::string cpus = "1", memory = "512";
    const TiXmlElement* hardware = childNamed(system, "VirtualHardwareSection");
    for (const TiXmlElement* it = hardware ? hardware->FirstChildElement() : nullptr; it; it = it->NextSiblingElement()) {
        const TiXmlElement* type = childNamed(it, "ResourceType");
        const TiXmlElement* quantity = childNamed(it, "VirtualQuantity");
        if (!type || !quantity || !type->GetText() || !quantity->GetText()) continue;
        if (std::string(type->GetText()) == "3") cpus = quantity->GetText();
        if (std::string(type->GetText()) == "4") memory = quantity->GetText();
    }
    std::string disk;
    for (const TarItem& item : items)
        if (item.name == href) disk = item.data;

    // The name, unique against the registered ones.
    std::vector<Machine> known = machines(settings);
    std::string name = base;
    for (int n = 1;; ++n) {
        bool taken = false;
        for (const Machine& m : known) taken = taken || m.name == name;
        if (!taken) break;
        name = base + "_" + std::to_string(n);
    }
    TiXmlElement* props = vbs::globalChild(settings, "SystemProperties", true);
    std::wstring folder = qvs::widen(attr(props, "defaultMachineFolder"));
    if (folder.empty()) folder = vbs::envValue(L"USERPROFILE") + L"\\VirtualBox VMs";
    const std::wstring machineDir = folder + L"\\" + qvs::widen(name);
    const std::wstring machineFile = machineDir + L"\\" + qvs::widen(name) + L".vbox";
    vbs::out("OK.");
    vbs::out("Disks:");
    vbs::out("  vmdisk1\t" + std::to_string(disk.size()) + "\t-1\thttp://www.vmware.com/interfaces/specifications/"
             "vmdk.html#streamOptimized\t" + href + "\t-1\t");
    vbs::out("Virtual system 0:");
    vbs::out(" 0: Suggested OS type: \"" + osType + "\"");
    vbs::out(" 1: Suggested VM name \"" + name + "\"");
    vbs::out(" 2: Number of CPUs: " + cpus);
    vbs::out(" 3: Guest memory: " + memory + " MB");
    vbs::out(" 4: Hard disk image: source image=" + href + ", target path=" + vbs::ansi(machineDir) + "\\" + href);
    if (g_start.mode == L"fail" || qvs::fileExists(machineFile)) {
        vbs::err("VBoxManage.exe: error: Appliance import failed");
        vbs::err(g_start.mode == L"fail" ? "VBoxManage.exe: error: Could not create the imported medium"
                                         : "VBoxManage.exe: error: Machine settings file '" + vbs::ansi(machineFile) +
                                               "' already exists");
        vbs::err(kFileErrorDetails);
        done(1);
    }
    SHCreateDirectoryExW(nullptr, machineDir.c_str(), nullptr);
    vbs::writeBytes(machineDir + L"\\" + qvs::widen(href), disk);
    const std::string uuid = newUuid();
    TiXmlDocument machine;
    machine.LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
    TiXmlElement* root = new TiXmlElement("VirtualBox");
    root->SetAttribute("xmlns", "http://www.virtualbox.org/");
    root->SetAttribute("version", "1.16-windows");
    machine.LinkEndChild(root);
    TiXmlElement* m = new TiXmlElement("Machine");
    m->SetAttribute("uuid", uuid.c_str());
    m->SetAttribute("name", name.c_str());
    m->SetAttribute("OSType", osType.c_str());
    root->LinkEndChild(m);
    TiXmlElement* media = new TiXmlElement("MediaRegistry");
    TiXmlElement* disks = new TiXmlElement("HardDisks");
    TiXmlElement* hd = new TiXmlElement("HardDisk");
    hd->SetAttribute("uuid", newUuid().c_str());
    hd->SetAttribute("location", href.c_str());
    hd->SetAttribute("format", "VMDK");
    hd->SetAttribute("type", "Normal");
    disks->LinkEndChild(hd);
    media->LinkEndChild(disks);
    m->LinkEndChild(media);
    TiXmlElement* hw = new TiXmlElement("Hardware");
    TiXmlElement* cpu = new TiXmlElement("CPU");
    cpu->SetAttribute("count", cpus.c_str());
    TiXmlElement* mem = new TiXmlElement("Memory");
    mem->SetAttribute("RAMSize", memory.c_str());
    hw->LinkEndChild(cpu);
    hw->LinkEndChild(mem);
    m->LinkEndChild(hw);
    TiXmlPrinter printer;
    machine.Accept(&printer);
    vbs::writeBytes(machineFile, printer.Str());
    TiXmlElement* registry = vbs::globalChild(settings, "MachineRegistry", true);
    TiXmlElement entry("MachineEntry");
    entry.SetAttribute("uuid", uuid.c_str());
    entry.SetAttribute("src", qvs::utf8(machineFile).c_str());
    registry->InsertEndChild(entry);
    vbs::saveSettings(settings);
    vbs::out(kProgress);
    vbs::out("Successfully imported the appliance.");
    done(0);
}

void showInfo(const Machine& m) {
    std::string bytes;
    TiXmlDocument doc;
    vbs::readBytes(m.file, bytes);
    doc.Parse(bytes.c_str());
    TiXmlElement* root = doc.FirstChildElement("VirtualBox");
    TiXmlElement* e = root ? root->FirstChildElement("Machine") : nullptr;
    TiXmlElement* hw = e ? e->FirstChildElement("Hardware") : nullptr;
    vbs::out("name=\"" + m.name + "\"");
    vbs::out("UUID=\"" + bare(m.uuid) + "\"");
    vbs::out("CfgFile=\"" + vbs::ansi(m.file) + "\"");
    vbs::out("ostype=\"" + attr(e, "OSType") + "\"");
    vbs::out("memory=" + attr(hw ? hw->FirstChildElement("Memory") : nullptr, "RAMSize"));
    vbs::out("cpus=" + attr(hw ? hw->FirstChildElement("CPU") : nullptr, "count"));
    vbs::out(std::string("VMState=\"") + (vbs::vmRunning(m.uuid) ? "running" : "poweroff") + "\"");
}

bool waitFor(DWORD ms, bool (*test)(const std::string&), const std::string& uuid) {
    DWORD start = GetTickCount();
    while (!test(uuid)) {
        if (GetTickCount() - start > ms) return false;
        Sleep(50);
    }
    return true;
}

bool notRunning(const std::string& uuid) { return !vbs::vmRunning(uuid); }

}  // namespace

int wmain() {
    g_start = vbs::begin();
    const std::vector<std::wstring>& a = g_start.args;
    const std::wstring command = a.empty() ? std::wstring() : vbs::lower(a[0]);
    if (command == L"--version" || command == L"-v") {
        vbs::out("5.2.44r139111");
        done(0);
    }
    static const wchar_t* const kKnown[] = {L"import",       L"list",      L"showvminfo", L"registervm",
                                            L"unregistervm", L"startvm",   L"controlvm"};
    bool known = false;
    for (const wchar_t* k : kKnown) known = known || command == k;
    if (!known) {
        vbs::out("Oracle VM VirtualBox Command Line Management Interface Version 5.2.44");
        vbs::out("Usage:");
        vbs::out("VBoxManage [<general option>] <command>");
        vbs::err("Syntax error: Invalid command '" + vbs::ansi(a.empty() ? L"" : a[0]) + "'");
        done(2);
    }
    if (!vbs::comRegistered()) {
        noVirtualBox("VBoxManage.exe: error: Code REGDB_E_CLASSNOTREG (0x80040154) - Class not registered (extended "
                     "info not available)");
    }
    touchServer();
    if (command == L"import" && a.size() >= 2) importAppliance(a[1]);

    vbs::applyModes(g_start, L"VBoxManage." + command, "");
    TiXmlDocument settings;
    loadOrExit(settings);
    const std::string vm = a.size() >= 2 ? qvs::utf8(a[1]) : std::string();
    Machine m;
    if (command == L"list") {
        bool running = a.size() >= 2 && vbs::lower(a[1]) == L"runningvms";
        for (const Machine& each : machines(settings)) {
            if (!running || vbs::vmRunning(each.uuid)) vbs::out("\"" + each.name + "\" " + each.uuid);
        }
        done(0);
    }
    if (command == L"registervm") {
        std::string bytes;
        TiXmlDocument machine;
        vbs::readBytes(a.size() >= 2 ? a[1] : L"", bytes);
        machine.Parse(bytes.c_str());
        TiXmlElement* root = machine.FirstChildElement("VirtualBox");
        std::string uuid = attr(root ? root->FirstChildElement("Machine") : nullptr, "uuid");
        for (const Machine& each : machines(settings)) {
            if (bare(each.uuid) == bare(uuid)) {
                vbs::err("VBoxManage.exe: error: Trying to open a VM config '" + vm +
                         "' which has the same UUID as an existing virtual machine");
                done(1);
            }
        }
        TiXmlElement entry("MachineEntry");
        entry.SetAttribute("uuid", uuid.c_str());
        entry.SetAttribute("src", vm.c_str());
        vbs::globalChild(settings, "MachineRegistry", true)->InsertEndChild(entry);
        vbs::saveSettings(settings);
        done(0);
    }
    if (!findMachine(settings, vm, m)) done(1);
    if (command == L"showvminfo") {
        showInfo(m);
        done(0);
    }
    const bool locked = g_start.mode == L"locked" || vbs::vmRunning(m.uuid);
    if (command == L"unregistervm") {
        if (locked) lockedError(m.name);
        m.entry->Parent()->RemoveChild(m.entry);
        vbs::saveSettings(settings);
        if (a.size() >= 3 && a[2] == L"--delete") qvs::removeTree(m.file.substr(0, m.file.find_last_of(L'\\')));
        done(0);
    }
    if (command == L"startvm") {
        if (locked) lockedError(m.name);
        vbs::startDetached(L"VBoxHeadless.exe",
                           L"--comment " + qvs::widen(m.name) + L" --startvm " + qvs::widen(m.uuid) + L" --vrde config");
        vbs::out("Waiting for VM \"" + m.name + "\" to power on...");
        if (!waitFor(10000, vbs::vmRunning, m.uuid)) done(1);
        vbs::out("VM \"" + m.name + "\" has been successfully started.");
        done(0);
    }
    if (command == L"controlvm") {
        if (g_start.mode == L"locked") lockedError(m.name);
        if (!vbs::vmRunning(m.uuid)) {
            vbs::err("VBoxManage.exe: error: Machine '" + m.name + "' is not currently running");
            done(1);
        }
        HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, vbs::vmStopEventName(m.uuid).c_str());
        if (stop) {
            SetEvent(stop);
            CloseHandle(stop);
        }
        waitFor(10000, notRunning, m.uuid);
        vbs::out(kProgress);
        done(0);
    }
    done(2);
}
