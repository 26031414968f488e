#include "app/startup.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <exception>

#include "services/com_init.h"
#include "services/helper_service.h"
#include "toolkit/log_sink.h"
#include "toolkit/string_util.h"

bool g_silent = false;
bool g_silent_upgrade = false;
bool g_backinstall = false;
v2::Installer* g_installer = nullptr;

namespace app {

namespace {

const wchar_t kPendingLaunchName[] = L"TarvoLoader_routines";

std::wstring trimQuotes(const std::wstring& text) {
    std::wstring::size_type first = text.find_first_not_of(L'"');
    if (first == std::wstring::npos) return std::wstring();
    std::wstring::size_type last = text.find_last_not_of(L'"');
    return text.substr(first, last - first + 1);
}

// The channel's app id when it may go on a launch; empty otherwise.
std::wstring safeChannelApkId(StartupServices& services) {
    std::wstring id = services.channelApkId();
    if (!id.empty() && !isSafeAppId(id)) {
        logLine(services, "app id refused: %s", services.toAnsi(id).c_str());
        return std::wstring();
    }
    return id;
}

void sendActionStat(StartupServices& services, const wchar_t* action, bool logUrl) {
    std::wstring url = services.statUrl(action);
    services.sendStat(url);
    if (logUrl) logLine(services, "TarvoLoad info: %s", services.toAnsi(url).c_str());
}

// The pending-launch file is taken once on every return after the loader
// mutex is held; a text that no launch uses is only logged.
std::string takePendingLaunch(StartupServices& services) { return services.takeDataFile(kPendingLaunchName); }

void logDroppedPending(StartupServices& services, const std::string& pending) {
    if (!pending.empty()) logLine(services, "pending launch dropped: %s", dataFileLogText(pending).c_str());
}

}  // namespace

void logLine(StartupServices& services, const char* format, ...) {
    char buffer[ravel::log::kLineBytes];
    va_list args;
    va_start(args, format);
    long n = ravel::log::formatLine(buffer, format, args);
    va_end(args);
    if (n < 0) return;
    services.log(std::string(buffer, static_cast<size_t>(n)));
}

bool isSafeAppId(const std::wstring& id) {
    if (id.empty()) return false;
    for (wchar_t c : id) {
        bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
                  c == L'_' || c == L'-';
        if (!ok) return false;
    }
    return true;
}

std::wstring buildLaunchText(const std::wstring& program, const std::wstring& appId) {
    std::wstring text = L"\"" + program + L"\"";
    if (!appId.empty()) text += L" --app-id " + appId;
    return text;
}

bool parsePendingLaunch(const std::wstring& text, std::wstring& program, std::wstring& appId) {
    if (text.size() < 2 || text[0] != L'"') return false;
    std::wstring::size_type close = text.find(L'"', 1);
    if (close == std::wstring::npos || close == 1) return false;
    std::wstring path = text.substr(1, close - 1);
    if (hasControlCharacter(path)) return false;
    std::wstring rest = text.substr(close + 1);
    std::wstring id;
    if (!rest.empty()) {
        const std::wstring marker = L" --app-id ";
        if (rest.compare(0, marker.size(), marker) != 0) return false;
        id = rest.substr(marker.size());
        if (!isSafeAppId(id)) return false;
    }
    program = path;
    appId = id;
    return true;
}

bool scanSilentArguments(int argc, const wchar_t* const* argv, bool& found) {
    bool silent = false;
    found = false;
    for (int i = 1; i < argc && argv; ++i) {
        if (!argv[i]) continue;
        std::wstring a = argv[i];
        if (a.compare(0, 7, L"/slient") != 0 && a.compare(0, 7, L"/silent") != 0) continue;
        found = true;
        long value = a.size() > 8 ? std::wcstol(a.c_str() + 8, nullptr, 10) : 0;
        silent = value == 1;
    }
    return silent;
}

StartupWords readStartupWords(const std::wstring& commandLine, StartupServices& services) {
    StartupWords w;
    w.words = readCommandWords(commandLine);
    const clx::basic_argument<wchar_t>& words = w.words;

    w.addShortcut = words.has_option(L"add-shortcut");
    words.get_option(L"add-shortcut", w.addShortcutId);
    w.rmShortcut = words.has_option(L"rm-shortcut");
    words.get_option(L"rm-shortcut", w.rmShortcutId);

    std::wstring launch;
    words.get_option(L"launch", launch);
    launch = trimQuotes(launch);
    // The value goes between quotes on a command line: an inner quote or a
    // control character would let it add options of its own.
    if (!launch.empty() && (launch.find(L'"') != std::wstring::npos || hasControlCharacter(launch))) {
        logLine(services, "launch value refused: %s", services.toAnsi(launch).c_str());
        launch.clear();
    }
    w.launchValue = launch;

    std::wstring id;
    words.get_option(L"app-id", id);
    if (!id.empty() && !isSafeAppId(id)) {
        logLine(services, "app id refused: %s", services.toAnsi(id).c_str());
        id.clear();
    }
    w.appId = id;

    std::wstring runas;
    words.get_option(L"runas", runas);
    w.runasQv = runas == L"qv";
    w.uninstall = words.has_option(L"uninstall");

    w.silentUpgrade = words.has_option(L"silent-upgrade");
    {
        CommandLineArgs raw(commandLine);
        bool found = false;
        w.silent = scanSilentArguments(raw.argc(), raw.argv(), found);
    }
    if (!w.silent) w.silent = words.has_option(L"s");
    if (!w.silent) w.silent = words.has_option(L"silent");
    w.backinstall = words.has_option(L"backinstall");
    return w;
}

bool runEarlyExits(const StartupWords& w, StartupServices& services) {
    bool done = false;
    if (w.addShortcut) {
        if (w.addShortcutId.empty())
            services.addAllAppShortcuts();
        else
            services.addAppShortcut(w.addShortcutId);
        done = true;
    }
    if (w.rmShortcut) {
        if (w.rmShortcutId.empty())
            services.removeAllAppShortcuts();
        else
            services.removeAppShortcut(w.rmShortcutId);
        done = true;
    }
    if (!w.launchValue.empty() && services.isLoaderRunning()) {
        std::wstring text = buildLaunchText(w.launchValue, w.appId);
        services.writeDataFile(kPendingLaunchName, services.toAnsi(text));
        services.activateExistingLoader();
        done = true;
    }
    return done;
}

ModeDecision decideMode(const StartupWords& w, bool silent, StartupServices& services) {
    ModeDecision m;
    bool& i = m.install;
    bool& u = m.upgrade;
    bool& r = m.remove;
    u = w.silentUpgrade;
    r = w.uninstall;

    if (!u && !r) {
        if (services.isEmulatorInstalled()) {
            sendActionStat(services, L"lod_start", true);
        } else {
            sendActionStat(services, L"QV_lod_start", true);
            logLine(services, "不是后台更新,也不是卸载,发送QV_LOD_START统计");
        }
    }
    logLine(services, "have remove %d", r ? 1 : 0);

    if (!r && !services.isQvContextInstalled() && !services.isEmulatorInstalled()) {
        logLine(services, "not install anything");
        i = true;
    }

    if (!r && !u) {
        std::wstring id = services.channelApkId();
        if (!id.empty()) {
            if (services.isQvContextInstalled()) {
                if (!services.lookupQvApp(id)) {
                    i = true;
                    sendActionStat(services, L"reinstall", false);
                    logLine(services, "qv had install ,install new apk:%s", services.toAnsi(id).c_str());
                }
            } else if (services.isPlayerInstalled()) {
                ContextAppState state;
                try {
                    state = services.currentContextAppState(id);
                } catch (const std::exception& e) {
                    // Another process holds the app list; an install would not help.
                    logLine(services, "app check failed: %s", e.what());
                    state = ContextAppState::Installed;
                }
                if (state != ContextAppState::Installed) {
                    i = true;
                    sendActionStat(services, L"vbox_install_other_apk", false);
                    logLine(services, "vbox install new apk:%s", services.toAnsi(id).c_str());
                }
            }
        }
    }

    logLine(services, "flags i: %d, u: %d, r: %d", i ? 1 : 0, u ? 1 : 0, r ? 1 : 0);
    if (!i && !u && !r) {
        m.outcome = ModeDecision::NoInstaller;
        return m;
    }
    if (i) {
        m.action = ActionInstall;
    } else if (r) {
        if (services.isPlayerRunning() && !silent) {
            services.showRemoveRefused();
            m.outcome = ModeDecision::RemoveRefused;
            return m;
        }
        m.action = ActionRemove;
    } else {
        m.action = ActionUpgrade;
    }
    m.outcome = ModeDecision::RunInstaller;
    return m;
}

LaunchPlan buildProgramPlan(const LaunchInputs& in, StartupServices& services) {
    LaunchPlan plan;
    if (in.runasQv) {
        if (services.isQvInstalled()) {
            plan.kind = LaunchPlan::QvLaunch;
            plan.appId = in.appId;
        }
        return plan;
    }
    std::wstring player = services.playerExeIfPresent();
    if (!player.empty()) {
        std::wstring id = in.appId;
        if (id.empty() && services.channelLaunch() && services.channelLaunchApk()) id = safeChannelApkId(services);
        plan.kind = LaunchPlan::CommandLine;
        plan.command = buildLaunchText(player, id);
        return plan;
    }
    if (services.isQvInstalled()) {
        std::wstring id = in.appId;
        if (!id.empty()) {
            plan.kind = LaunchPlan::QvLaunch;
            plan.appId = id;
            return plan;
        }
        if (services.channelLaunchApk()) id = safeChannelApkId(services);
        if (!id.empty() && !services.localAppListContains(id)) id.clear();
        if (services.channelLaunch() && !in.upgrade && !in.remove && in.install) {
            plan.kind = LaunchPlan::QvLaunchRetry;
            plan.appId = id;
            return plan;
        }
        plan.kind = LaunchPlan::QvLaunch;  // the engine's launcher
        return plan;
    }
    return plan;
}

LaunchPlan buildLaunchPlan(const LaunchInputs& in, StartupServices& services) {
    LaunchPlan plan;
    std::wstring command;
    if (!in.launchValue.empty()) command = buildLaunchText(in.launchValue, in.appId);

    if (command.empty()) {
        if (!in.pendingText.empty()) {
            // Left by a possibly unelevated loader: only the hand-over's own
            // format, and only for the product's own programs.
            std::wstring program, id;
            if (parsePendingLaunch(services.fromAnsi(in.pendingText), program, id) &&
                services.isProductProgram(program))
                command = buildLaunchText(program, id);
            else
                logLine(services, "pending launch refused: %s", dataFileLogText(in.pendingText).c_str());
        }
    } else {
        logDroppedPending(services, in.pendingText);
    }
    if (!command.empty()) {
        plan.kind = LaunchPlan::CommandLine;
        plan.command = command;
        return plan;
    }

    if (!in.upgrade && !in.remove && in.install && in.installer) {
        std::wstring id = in.installer->getLaunchAppId();
        if (services.isPlayerRunning()) {
            plan.kind = LaunchPlan::ContextLaunch;
            plan.appId = id;
            return plan;
        }
    }
    return buildProgramPlan(in, services);
}

void executeLaunchPlan(const LaunchPlan& plan, const LaunchInputs& in, StartupServices& services) {
    switch (plan.kind) {
        case LaunchPlan::Nothing:
            return;
        case LaunchPlan::CommandLine: {
            if (plan.command.empty()) return;
            const std::wstring command = plan.command + L" --byloader";
            if (!services.launchProcess(command)) {
                DWORD error = GetLastError();
                logLine(services, "launch failed: %lu", (unsigned long)error);
            }
            services.markLaunched();
            return;
        }
        case LaunchPlan::ContextLaunch:
            if (services.launchInCurrentContext(plan.appId)) return;
            executeLaunchPlan(buildProgramPlan(in, services), in, services);
            return;
        case LaunchPlan::QvLaunch:
            services.launchQvAppById(plan.appId);
            return;
        case LaunchPlan::QvLaunchRetry:
            for (int attempt = 0;; ++attempt) {
                if (services.launchQvAppById(plan.appId)) return;
                if (attempt == 10) return;
                services.sleepMs(5000);
            }
    }
}

void ignoreInstallerProgress(int, int, int, float, const std::wstring&, const std::wstring&) {}

int runStartupRoad(const std::wstring& commandLine, StartupServices& services) {
    g_silent = false;
    g_silent_upgrade = false;
    g_backinstall = false;
    g_installer = nullptr;

    ComInitGuard com;
    logLine(services, "********************************");
    logLine(services, "loader start...");
    logLine(services, "********************************");
    logLine(services, "cmdline: %s", services.toAnsi(commandLine).c_str());

    StartupWords w = readStartupWords(commandLine, services);
    if (runEarlyExits(w, services)) return 0;

    g_silent_upgrade = w.silentUpgrade;
    g_silent = w.silent;
    g_backinstall = w.backinstall;

    if (services.isSetupRunning()) return -1;
    if (!services.acquireLoaderInstance()) return -1;

    services.updateChannelConfig();
    logLine(services, "TarvoLoad start...");
    services.writeAdaptIni(L"mid", services.getMid());
    services.writeAdaptIni(L"mid2", services.getMid2());

    ModeDecision m = decideMode(w, g_silent, services);
    if (m.outcome == ModeDecision::RemoveRefused) {
        logDroppedPending(services, takePendingLaunch(services));
        return 0;
    }

    bool removed = m.remove;
    if (m.outcome == ModeDecision::RunInstaller) {
        g_installer = v2::Installer::getInstance();
        g_installer->setAction(m.action);
        logLine(services, "silent = %d, g_silent_upgrade = %d", g_silent ? 1 : 0, g_silent_upgrade ? 1 : 0);
        if (!g_silent && !g_backinstall) {
            g_installer->setInteractive(true);
            if (!services.runWindow(*g_installer)) {
                DWORD error = GetLastError();
                logLine(services, "dialog create failed: %lu", (unsigned long)error);
                logDroppedPending(services, takePendingLaunch(services));
                return 0;
            }
        } else {
            g_installer->progressEvent().bindStatic(&ignoreInstallerProgress);
            g_installer->start();
            g_installer->wait(INFINITE);
        }
        // The dialog's rollback removes the product: nothing to launch then.
        if (g_installer->getAction() == ActionRemove) removed = true;
    }

    std::string pending = takePendingLaunch(services);
    if (removed || (g_silent && !g_backinstall)) {
        logDroppedPending(services, pending);
        return 0;
    }

    LaunchInputs in;
    in.launchValue = w.launchValue;
    in.appId = w.appId;
    in.runasQv = w.runasQv;
    in.install = m.install;
    in.upgrade = m.upgrade;
    in.remove = m.remove;
    in.installer = g_installer;
    in.pendingText = pending;
    executeLaunchPlan(buildLaunchPlan(in, services), in, services);
    return 0;
}

}  // namespace app
