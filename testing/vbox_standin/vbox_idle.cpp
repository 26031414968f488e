// VBoxHeadless.exe, VBoxNetDHCP.exe and VirtualBox.exe stand-ins: programs that
// stay. The headless front end holds its machine's mutex, writes the machine's
// log and ends on the machine's stop event.
#include "testing/vbox_standin/vbox_standin.h"
#include "tinyxml.h"

#ifdef STANDIN_HEADLESS
namespace {

// The registered machine named by uuid or name: its uuid and settings file.
bool findMachine(const std::wstring& wanted, std::string& uuid, std::wstring& file) {
    TiXmlDocument doc;
    if (!vbs::loadSettings(doc)) return false;
    TiXmlElement* registry = vbs::globalChild(doc, "MachineRegistry", false);
    std::string w = vbs::lowerA(qvs::utf8(wanted));
    if (!w.empty() && w.front() != '{' && w.find('-') != std::string::npos) w = "{" + w + "}";
    for (TiXmlElement* e = registry ? registry->FirstChildElement("MachineEntry") : nullptr; e;
         e = e->NextSiblingElement("MachineEntry")) {
        std::string u = e->Attribute("uuid") ? e->Attribute("uuid") : "";
        std::wstring src = qvs::widen(e->Attribute("src") ? e->Attribute("src") : "");
        std::string name = qvs::utf8(src.substr(src.find_last_of(L'\\') + 1));
        if (name.size() > 5) name.resize(name.size() - 5);
        if (vbs::lowerA(u) == w || name == qvs::utf8(wanted)) {
            uuid = u;
            file = src;
            return true;
        }
    }
    return false;
}

}  // namespace
#endif

int wmain() {
    qvs::Start s = vbs::begin();
#ifdef STANDIN_HEADLESS
    std::wstring vm;
    for (size_t i = 0; i + 1 < s.args.size(); ++i) {
        if (s.args[i] == L"--startvm") vm = s.args[i + 1];
    }
    if (vm.empty()) {
        vbs::out("Usage: VBoxHeadless --startvm <name|uuid> [--vrde on|off|config] [--comment <text>]");
        vbs::finish(s, 1);
    }
    std::string uuid;
    std::wstring file;
    if (!findMachine(vm, uuid, file)) vbs::finish(s, 1);
    HANDLE mutex = CreateMutexW(nullptr, TRUE, vbs::vmMutexName(uuid).c_str());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, vbs::vmStopEventName(uuid).c_str());
    std::wstring logs = file.substr(0, file.find_last_of(L'\\')) + L"\\Logs";
    CreateDirectoryW(logs.c_str(), nullptr);
    vbs::writeBytes(logs + L"\\VBox.log", "VirtualBox VM 5.2.44 r139111 win.amd64\r\nPowering on " + uuid + "\r\n");
    WaitForSingleObject(stop, qvs::lifeLeftMs());
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    vbs::finish(s, 0);
#else
    Sleep(qvs::lifeLeftMs());
    vbs::finish(s, 0);
#endif
}
