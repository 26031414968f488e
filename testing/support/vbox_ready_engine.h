// A ready VBox engine for tests that need one without installing it: the
// device module and one machine file under the player home, and a settings
// file that names both (what VBoxManager::isEngineReady looks for).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"

namespace tst {

struct ReadyVBoxMachine {
    std::string uuid;
    std::string file;  // full path, UTF-8
};

// The settings text of a ready engine at home (UTF-8): the device-module item,
// the two Trusted items (unless left out), the machine folder "<home>\deployed"
// and one MachineEntry per machine.
inline std::string readyVBoxSettings(const std::string& home, const std::vector<ReadyVBoxMachine>& machines,
                                     bool trusted = true) {
    std::string text =
        "<?xml version=\"1.0\"?>\n<VirtualBox xmlns=\"http://www.virtualbox.org/\" version=\"1.12-windows\">\n"
        "<Global><ExtraData>"
        "<ExtraDataItem name=\"VBoxInternal/PDM/Devices/tvc288/path\" value=\"" + home + "\\vbox\\tvc288.dll\"/>";
    if (trusted) {
        text += "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/0/Trusted\" value=\"1\"/>"
                "<ExtraDataItem name=\"VBoxInternal/Devices/tvc288/1/Trusted\" value=\"1\"/>";
    }
    text += "</ExtraData><MachineRegistry>";
    for (const ReadyVBoxMachine& m : machines)
        text += "<MachineEntry uuid=\"" + m.uuid + "\" src=\"" + m.file + "\"/>";
    return text + "</MachineRegistry><SystemProperties defaultMachineFolder=\"" + home +
           "\\deployed\"/></Global>\n</VirtualBox>\n";
}

inline bool writeReadyVBoxEngine(const std::wstring& home, const std::wstring& settingsFolder,
                                 const std::string& uuid = "{6c0d41f2-0000-4000-8000-000000000001}") {
    for (const wchar_t* folder : {L"\\vbox", L"\\deployed", L"\\deployed\\tarvoplayer"})
        CreateDirectoryW((home + folder).c_str(), nullptr);
    CreateDirectoryW(settingsFolder.c_str(), nullptr);
    const std::string h = narrow(home);
    std::vector<ReadyVBoxMachine> machines(1);
    machines[0].uuid = uuid;
    machines[0].file = h + "\\deployed\\tarvoplayer\\tarvoplayer.vbox";
    return writeFile(home + L"\\vbox\\tvc288.dll", "module") &&
           writeFile(home + L"\\deployed\\tarvoplayer\\tarvoplayer.vbox", "<Machine/>") &&
           writeFile(settingsFolder + L"\\VirtualBox.xml", readyVBoxSettings(h, machines));
}

}  // namespace tst
