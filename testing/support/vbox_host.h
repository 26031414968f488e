// The VirtualBox manager's host for tests: scratch user-data and player
// folders, a scratch classes root under HKCU, settings, a forced Windows width
// and version, and a runner that records each command line and answers from a
// script or runs the program for real. Also the VirtualBox stand-ins' record.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installer/vbox_manager.h"
#include "testing/support/test_support.h"

namespace vboxtest {

class TestHost : public tarvo::vboxmgr::VBoxHost {
public:
    TestHost();
    ~TestHost() override;
    std::wstring userDataFolder() override { return userData; }
    std::wstring playerHome() override { return home; }
    std::wstring setting(const std::wstring& key, const std::wstring& defaultValue) override;
    bool settingBool(const std::wstring& key, bool defaultValue) override;
    bool is64BitWindows() override { return is64; }
    tarvo::vboxmgr::VBoxOsVersion osVersion() override { return os; }
    std::wstring systemDirectory() override;
    HKEY classesRoot() override { return classes; }
    tarvo::vboxmgr::VBoxRunResult run(const std::wstring& commandLine, uint32_t timeoutMs) override;

    std::wstring file(const std::wstring& name) const { return dir_.file(name); }
    // <user data>\vmconfig\VirtualBox.xml
    std::wstring settingsFile() const { return userData + L"\\vmconfig\\VirtualBox.xml"; }

    std::wstring userData, home, classesKey;
    HKEY classes = nullptr;
    std::map<std::wstring, std::wstring> settings;
    bool is64 = true;
    tarvo::vboxmgr::VBoxOsVersion os;
    std::vector<std::wstring> commands;
    std::vector<uint32_t> limits;
    std::function<tarvo::vboxmgr::VBoxRunResult(const std::wstring&)> script;  // empty: run for real

private:
    tst::TempDir dir_;
};

// A finished run with this exit code and output.
tarvo::vboxmgr::VBoxRunResult ran(uint32_t code, const std::string& output, bool timedOut = false);

// One line of <state>\record.log.
struct RecordLine {
    std::string program;
    DWORD pid = 0;
    std::string event;
    std::string details;
};
std::vector<RecordLine> readRecord(const std::wstring& stateDir);

// The HKCR keys of the COM server and of the client library.
const wchar_t kServerKey[] = L"CLSID\\{B1A7A4F2-47B9-4A1E-82B2-07CCD5323C3F}";
const wchar_t kClientKey[] = L"CLSID\\{DD3FC71D-26C0-4FE1-BF6F-67F633265BBA}";

// Clears the prefix's VirtualBox state: the stand-ins' processes by the pids in
// the record of stateDir, the COM registrations, the driver service with its
// counters, and the record and modes files.
void clearVBoxState(const std::wstring& stateDir);
// Ends a process by its id (bounded wait).
void endPid(DWORD pid);
// Whether the process with this id still runs.
bool alive(DWORD pid);

// The stand-ins' folder in the build (bin\vbox_standin\vbox) and the fixtures'.
std::wstring standinFolder();
std::wstring fixtureFolder();

}  // namespace vboxtest
