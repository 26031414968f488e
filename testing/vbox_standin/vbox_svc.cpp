// VBoxSVC.exe stand-in: the COM server's registration and the server itself.
#include "testing/vbox_standin/vbox_standin.h"
#include "tinyxml.h"

namespace {

// The enabled DHCP servers' network names.
std::vector<std::wstring> dhcpNetworks() {
    std::vector<std::wstring> names;
    TiXmlDocument doc;
    if (!vbs::loadSettings(doc)) return names;
    TiXmlElement* registry = vbs::globalChild(doc, "NetserviceRegistry", false);
    TiXmlElement* servers = registry ? registry->FirstChildElement("DHCPServers") : nullptr;
    for (TiXmlElement* e = servers ? servers->FirstChildElement("DHCPServer") : nullptr; e;
         e = e->NextSiblingElement("DHCPServer")) {
        const char* enabled = e->Attribute("enabled");
        const char* name = e->Attribute("networkName");
        if (enabled && std::string(enabled) == "1" && name) names.push_back(qvs::widen(name));
    }
    return names;
}

}  // namespace

int wmain() {
    qvs::Start s = vbs::begin();
    const std::wstring arg = s.args.empty() ? std::wstring() : vbs::lower(s.args[0]);
    const std::wstring self = qvs::ownFolder() + L"VBoxSVC.exe";
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + vbs::kServerClsid;
    if (arg == L"/regserver") {
        vbs::applyModes(s, L"VBoxSVC.regserver", "");
        vbs::setClassesString(clsidKey, nullptr, L"VirtualBox Class");
        vbs::setClassesString(clsidKey + L"\\LocalServer32", nullptr, L"\"" + self + L"\"");
        vbs::setClassesString(L"VirtualBox.VirtualBox\\CLSID", nullptr, vbs::kServerClsid);
        vbs::finish(s, 0);
    }
    if (arg == L"/unregserver") {
        vbs::applyModes(s, L"VBoxSVC.unregserver", "");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey.c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, L"VirtualBox.VirtualBox");
        vbs::finish(s, 0);
    }
    if (!arg.empty() && arg != L"-embedding") vbs::finish(s, 1);

    // The server: it lives while it is touched, at most its lifetime.
    vbs::applyModes(s, L"VBoxSVC.server", "");
    HANDLE touch = CreateEventW(nullptr, FALSE, FALSE, L"vbox-standin-svc-touch");
    for (const std::wstring& network : dhcpNetworks()) {
        // The DHCP server runs as the server's child, as VirtualBox's does.
        vbs::startDetached(L"VBoxNetDHCP.exe", L"--network " + network);
    }
    DWORD idle = 5000;
    const std::wstring idleText = vbs::envValue(L"VBOX_STANDIN_SVC_IDLE_MS");
    if (!idleText.empty()) idle = wcstoul(idleText.c_str(), nullptr, 10);
    while (qvs::lifeLeftMs() > 0) {
        if (WaitForSingleObject(touch, std::min(idle, qvs::lifeLeftMs())) == WAIT_TIMEOUT) break;
    }
    vbs::finish(s, 0);
}
