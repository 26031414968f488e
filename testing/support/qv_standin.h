// An installed Qv engine made of the stand-ins of testing/qv_standin/, for
// tests: its files in a temporary folder, registered by the stand-in setup
// program with the prefix's real registry and service manager. Holds the
// machine-state mutex for its lifetime and removes everything it made.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "testing/support/test_support.h"

namespace qvtest {

enum class Key { TarvoGames, TvzsPlayer, Both, None };

struct InstallOptions {
    Key key = Key::TarvoGames;
    bool services = true;  // false: both services deleted after the setup
};

struct RecordLine {
    std::string program;
    DWORD pid = 0;
    std::string event;
    std::string details;
};

extern const wchar_t kTarvoGamesKey[];  // SOFTWARE\tarvoGames
extern const wchar_t kTvzsPlayerKey[];  // SOFTWARE\tvzsPlayer

class StandinEngine {
public:
    // The engine lives in root + "\qvplayer" (a temporary folder without a root).
    explicit StandinEngine(const std::wstring& root = std::wstring());
    ~StandinEngine();
    StandinEngine(const StandinEngine&) = delete;
    StandinEngine& operator=(const StandinEngine&) = delete;

    bool lockHeld() const { return lock_.held(); }
    // Copies the engine's files into folder() and runs the setup (60 s limit,
    // expects 1) unless the key is None.
    bool install(const InstallOptions& options = InstallOptions());
    // The install folder, with a trailing backslash.
    const std::wstring& folder() const { return folder_; }
    const std::wstring& stateDir() const { return state_->path(); }

    // Raw registry values for the install-folder cases (HKLM, the loader's view
    // unless view64 is false).
    static bool writeInstallDir(const wchar_t* key, const std::wstring& value, DWORD type = REG_SZ,
                                bool view64 = true, bool terminator = true);
    static void deleteKeys();

    // tvData\UserData\Gadget\<package>.<activity>.png
    bool addGadget(const std::wstring& package, const std::wstring& activity);
    std::wstring gadgetPath(const std::wstring& package, const std::wstring& activity) const;

    // Runs TV-StartLauncher and waits for tvHdAndroidSvc to run.
    bool start();
    // Some TV-Service.exe process exists.
    static bool running();

    // [program] of modes.ini; exitCode < 0 and times 0 leave those keys out.
    void setMode(const std::wstring& program, const std::wstring& mode, DWORD delayMs = 0, int exitCode = -1,
                 int times = 0);

    std::vector<RecordLine> record() const;
    // The recorded command lines of a program ("TV-RunApp"), in order.
    std::vector<std::string> starts(const std::string& program) const;
    // Whether some record line has this program, event and details.
    bool recorded(const std::string& program, const std::string& event, const std::string& details) const;
    // The same, polled for at most waitMs (programs started without a wait).
    bool waitRecorded(const std::string& program, const std::string& event, const std::string& details,
                      DWORD waitMs = 10000) const;

    // apps\app_<id>\app.ini under the real user data folder, section [app];
    // removed again with the engine. Returns the app folder.
    std::wstring writeAppFolder(const std::wstring& id, const std::vector<std::pair<std::string, std::string>>& values);

private:
    tst::MachineStateLock lock_;
    std::unique_ptr<tst::TempDir> root_;
    std::wstring rootPath_;
    std::unique_ptr<tst::TempDir> state_;
    std::wstring folder_;
    std::vector<std::wstring> appFolders_;
};

}  // namespace qvtest
