// The loader's start-up road: from the command words to the run (install,
// upgrade, remove or nothing), the window or the silent run, and the program
// started at the end. Every outside call goes through app::StartupServices.
#pragma once

#include <windows.h>

#include <string>

#include "installer/installer.h"
#include "toolkit/cmdline.h"

// Set once by the road before any other thread exists; read by the dialog.
extern bool g_silent;          // no dialog, no launch at the end (unless g_backinstall)
extern bool g_silent_upgrade;  // the word "silent-upgrade"
extern bool g_backinstall;     // no dialog, but the launch step still runs
// The installer singleton when the run installs, upgrades or removes; else null.
extern v2::Installer* g_installer;

namespace app {

// What the current engine context says of an app.
enum class ContextAppState { NoContext, Installed, NotInstalled };

// Everything the road asks of the rest of the loader.
class StartupServices {
public:
    virtual ~StartupServices() {}

    // Text in the thread's ANSI code page.
    virtual std::string toAnsi(const std::wstring& text) = 0;
    virtual std::wstring fromAnsi(const std::string& text) = 0;

    // One formatted line for the log.
    virtual void log(const std::string& line) = 0;
    // [main] key = value of the adapter ini.
    virtual void writeAdaptIni(const std::wstring& key, const std::wstring& value) = 0;

    virtual std::wstring getMid() = 0;
    virtual std::wstring getMid2() = 0;

    virtual bool isEmulatorInstalled() = 0;
    virtual bool isPlayerInstalled() = 0;
    // The player executable's path when the file exists, else empty.
    virtual std::wstring playerExeIfPresent() = 0;
    // Starts a command line (first token the program) shown normally; false
    // when the start failed (GetLastError tells why).
    virtual bool launchProcess(const std::wstring& commandLine) = 0;
    // [main] "launched" = 1 in the adapter ini.
    virtual void markLaunched() = 0;
    // The program a pending-launch file may start: the player, the hall, or a
    // file directly in the player home or the Qv engine's folder.
    virtual bool isProductProgram(const std::wstring& programPath) = 0;

    virtual bool isLoaderRunning() = 0;
    virtual bool isSetupRunning() = 0;
    virtual bool isPlayerRunning() = 0;
    // Takes the loader's single-instance mutex for the rest of the process;
    // false when this process is to end (elevated restart or another loader).
    virtual bool acquireLoaderInstance() = 0;
    // Brings the running loader's window forward.
    virtual void activateExistingLoader() = 0;

    // Data files of the common data folder (<name>.dat, ANSI text).
    virtual void writeDataFile(const std::wstring& name, const std::string& bytes) = 0;
    // Reads and deletes; empty when there is none.
    virtual std::string takeDataFile(const std::wstring& name) = 0;

    // The full statistics URL of an action word.
    virtual std::wstring statUrl(const std::wstring& action) = 0;
    virtual void sendStat(const std::wstring& url) = 0;

    virtual void updateChannelConfig() = 0;
    virtual std::wstring channelApkId() = 0;
    virtual bool channelLaunch() = 0;
    virtual bool channelLaunchApk() = 0;

    // The Qv engine's context says it is installed.
    virtual bool isQvContextInstalled() = 0;
    // May throw (the installed-app list is locked by another process).
    virtual ContextAppState currentContextAppState(const std::wstring& appId) = 0;
    // Launches the app in the current context; false when there is no context.
    virtual bool launchInCurrentContext(const std::wstring& appId) = 0;

    virtual bool isQvInstalled() = 0;
    // The Qv engine holds the app.
    virtual bool lookupQvApp(const std::wstring& appId) = 0;
    virtual bool launchQvAppById(const std::wstring& appId) = 0;

    virtual bool localAppListContains(const std::wstring& appId) = 0;

    virtual void addAppShortcut(const std::wstring& appId) = 0;
    virtual void addAllAppShortcuts() = 0;
    virtual void removeAppShortcut(const std::wstring& appId) = 0;
    virtual void removeAllAppShortcuts() = 0;

    // The whole window run (dialog, message loop, wait for the installer);
    // false when the dialog could not be created.
    virtual bool runWindow(v2::Installer& installer) = 0;

    // The box that refuses a removal while the player runs.
    virtual void showRemoveRefused() = 0;
    virtual void sleepMs(DWORD milliseconds) = 0;
};

// printf-style line through services.log.
void logLine(StartupServices& services, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 2, 3)))
#endif
    ;

// The command words as the road reads them.
struct StartupWords {
    clx::basic_argument<wchar_t> words;  // "/restart" left out
    bool addShortcut = false;
    std::wstring addShortcutId;
    bool rmShortcut = false;
    std::wstring rmShortcutId;
    std::wstring launchValue;  // trimmed of '"'; empty when absent or refused
    std::wstring appId;        // empty when absent or refused
    bool runasQv = false;
    bool uninstall = false;
    bool silent = false;  // "/silent" scan, then "s", then "silent"
    bool silentUpgrade = false;
    bool backinstall = false;
};

// Parses the command line; refused launch values and app ids are logged.
StartupWords readStartupWords(const std::wstring& commandLine, StartupServices& services);

// The "/silent" and "/slient" scan over arguments 1 .. argc-1; the last one
// wins. found is false when there was none.
bool scanSilentArguments(int argc, const wchar_t* const* argv, bool& found);

// Letters, digits, '.', '_' and '-', at least one.
bool isSafeAppId(const std::wstring& id);

// quote(program) [+ " --app-id " + id]
std::wstring buildLaunchText(const std::wstring& program, const std::wstring& appId);

// A pending-launch text in the hand-over's own format: a double-quoted program,
// optionally " --app-id " and a safe id. False for anything else.
bool parsePendingLaunch(const std::wstring& text, std::wstring& program, std::wstring& appId);

// Steps 4 to 6: the shortcut words and the launch hand-over. True when the run
// is done (exit 0).
bool runEarlyExits(const StartupWords& words, StartupServices& services);

struct ModeDecision {
    enum Outcome { RunInstaller, NoInstaller, RemoveRefused };
    Outcome outcome = NoInstaller;
    InstallAction action = ActionInstall;
    bool install = false;  // i
    bool upgrade = false;  // u
    bool remove = false;   // r
};

// Steps 15 to 22: the mode flags with their statistics, then the action, no
// installer, or the refused removal (its box already shown).
ModeDecision decideMode(const StartupWords& words, bool silent, StartupServices& services);

struct LaunchInputs {
    std::wstring launchValue;
    std::wstring appId;
    bool runasQv = false;
    bool install = false;
    bool upgrade = false;
    bool remove = false;
    v2::Installer* installer = nullptr;
    std::string pendingText;  // the pending-launch file, already taken
};

struct LaunchPlan {
    enum Kind {
        Nothing,
        CommandLine,    // command (without " --byloader")
        ContextLaunch,  // appId in the current context; when there is none, the next steps decide
        QvLaunch,       // launchQvAppById(appId) once
        QvLaunchRetry,  // launchQvAppById(appId), up to 10 more tries 5 s apart
    };
    Kind kind = Nothing;
    std::wstring command;
    std::wstring appId;
};

// Launch steps 1 to 4. Logs what of the pending text is refused or dropped.
LaunchPlan buildLaunchPlan(const LaunchInputs& inputs, StartupServices& services);
// Launch step 4 alone (what runs when no context takes step 3's launch).
LaunchPlan buildProgramPlan(const LaunchInputs& inputs, StartupServices& services);
// Carries a plan out (launch step 5 for a command line).
void executeLaunchPlan(const LaunchPlan& plan, const LaunchInputs& inputs, StartupServices& services);

// The installer's progress listener of a silent run.
void ignoreInstallerProgress(int stage, int state, int error, float percent, const std::wstring& detail,
                             const std::wstring& message);

// The whole road; the process's exit code.
int runStartupRoad(const std::wstring& commandLine, StartupServices& services);

}  // namespace app
