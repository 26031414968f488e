#include "testing/support/product_state.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include "installer/uninstall_entry.h"
#include "services/install_paths.h"
#include "services/loader_env.h"
#include "testing/support/qv_standin.h"
#include "testing/support/test_support.h"
#include "toolkit/shell_util.h"

namespace tst {

void endProcessesUnder(const std::wstring& folder) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        HANDLE process =
            OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            _wcsnicmp(image, folder.c_str(), folder.size()) == 0) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

void clearProductState() {
    const char* services[] = {"TarvoHelper", "tvHdAndroidSvc", "tvHdDrv"};
    for (const char* service : services) purgeService(service);
    const std::wstring player = getDefaultPlayerFolder();
    const std::wstring data = getUserDataFolder();
    endProcessesUnder(player);
    endProcessesUnder(data);
    // A service that would not stop is gone once its process is.
    for (const char* service : services) purgeService(service);
    qvtest::StandinEngine::deleteKeys();
    // Programs that just ended may hold their files a moment longer.
    for (int i = 0; i < 30; ++i) {
        removeTree(player);
        if (!fileExists(player)) break;
        Sleep(200);
    }
    for (const wchar_t* name : {L"\\qvInstaller.exe", L"\\TarvoHelper.exe", L"\\TarvoTips.exe", L"\\TarvoHall.exe",
                                L"\\TarvoLoader.exe"})
        DeleteFileW((data + name).c_str());
    removeTree(data + L"\\apps");
    removeTree(data + L"\\download");
    const std::wstring name = getProductDisplayName();
    DeleteFileW((getSpecialFolder(CSIDL_DESKTOPDIRECTORY, L"") + L"\\" + name + L".lnk").c_str());
    removeTree(getSpecialFolder(CSIDL_COMMON_PROGRAMS, L"") + L"\\" + name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, uninstallEntryKey().c_str());
    WritePrivateProfileStringW(L"main", L"install_path", nullptr, getAdaptIniPath().c_str());
}

}  // namespace tst
