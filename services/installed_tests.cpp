// Whether the product's engines are installed, and starting its programs.
#include "services/install_paths.h"

#include <vector>

#include "services/loader_env.h"
#include "toolkit/file_util.h"
#include "toolkit/scoped_handle.h"

#ifdef TARVO_TEST_SEAMS
#include "services/seams.h"

namespace {

bool (*g_qvTest)() = nullptr;

}  // namespace
#endif

bool launchProcess(const std::wstring& commandLine, int showCommand) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showCommand);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    // Started and left to run: its handles are only closed.
    ScopedHandle thread(info.hThread), process(info.hProcess);
    return true;
}

bool isVBoxEnabled() { return DevSettings::getInstance()->properties.getBool(L"vbox_enabled", true); }

bool isPlayerInstalled() { return pathExists(getPlayerExePath()); }

bool isEmulatorInstalled() {
    bool vbox = isVBoxEnabled() && isPlayerInstalled();
#ifdef TARVO_TEST_SEAMS
    bool qv = g_qvTest ? g_qvTest() : isQvInstalled();
#else
    bool qv = isQvInstalled();
#endif
    return vbox || qv;
}

#ifdef TARVO_TEST_SEAMS
void setQvInstalledTestForTests(bool (*test)()) { g_qvTest = test; }
#endif

float getProgressPercent(const float& value) { return value; }
