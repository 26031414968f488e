#include "testing/fakes/fake_startup_services.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace fakes {

void FakeStartupServices::reset() {
    script = StartupScript();
    calls.clear();
    windowProgress.clear();
    dataFiles.clear();
    qvLaunchCalls_ = 0;
}

std::vector<std::string> FakeStartupServices::logLines() const {
    std::vector<std::string> out;
    for (const std::string& e : calls.named("log")) out.push_back(e.substr(4, e.size() - 5));
    return out;
}

std::string FakeStartupServices::toAnsi(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FakeStartupServices::fromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

void FakeStartupServices::log(const std::string& line) { calls.add("log(" + line + ")"); }

void FakeStartupServices::writeAdaptIni(const std::wstring& key, const std::wstring& value) {
    add("writeAdaptIni", key + L"=" + value);
}

std::wstring FakeStartupServices::getMid() {
    add("getMid");
    return script.mid;
}

std::wstring FakeStartupServices::getMid2() {
    add("getMid2");
    return script.mid2;
}

bool FakeStartupServices::isEmulatorInstalled() {
    add("isEmulatorInstalled");
    return script.emulatorInstalled;
}

bool FakeStartupServices::isPlayerInstalled() {
    add("isPlayerInstalled");
    return script.playerInstalled;
}

std::wstring FakeStartupServices::playerExeIfPresent() {
    add("playerExeIfPresent");
    return script.playerExe;
}

bool FakeStartupServices::launchProcess(const std::wstring& commandLine) {
    add("launchProcess", commandLine);
    if (!script.launchResult) SetLastError(script.launchError);
    return script.launchResult;
}

void FakeStartupServices::markLaunched() { add("markLaunched"); }

bool FakeStartupServices::isProductProgram(const std::wstring& programPath) {
    add("isProductProgram", programPath);
    for (const std::wstring& p : script.productPrograms) {
        if (lstrcmpiW(p.c_str(), programPath.c_str()) == 0) return true;
    }
    return false;
}

bool FakeStartupServices::isLoaderRunning() {
    add("isLoaderRunning");
    return script.loaderRunning;
}

bool FakeStartupServices::isSetupRunning() {
    add("isSetupRunning");
    return script.setupRunning;
}

bool FakeStartupServices::isPlayerRunning() {
    add("isPlayerRunning");
    return script.playerRunning;
}

bool FakeStartupServices::acquireLoaderInstance() {
    add("acquireLoaderInstance");
    return script.acquireResult;
}

void FakeStartupServices::activateExistingLoader() { add("activateExistingLoader"); }

void FakeStartupServices::writeDataFile(const std::wstring& name, const std::string& bytes) {
    calls.add("writeDataFile(" + utf8(name) + ", " + bytes + ")");
    dataFiles.push_back(std::make_pair(name, bytes));
}

std::string FakeStartupServices::takeDataFile(const std::wstring& name) {
    add("takeDataFile", name);
    std::string bytes;
    if (name == L"TarvoLoader_routines") bytes.swap(script.pendingFile);
    return bytes;
}

std::wstring FakeStartupServices::statUrl(const std::wstring& action) {
    add("statUrl", action);
    return script.statHost + L"/Stat?action=" + action + L"&ref=loader&ver=1.0.0.1&mid=" + script.mid +
           L"&mid2=" + script.mid2 + L"&cno=52817";
}

void FakeStartupServices::sendStat(const std::wstring& url) { add("sendStat", url); }

void FakeStartupServices::updateChannelConfig() { add("updateChannelConfig"); }

std::wstring FakeStartupServices::channelApkId() {
    add("channelApkId");
    return script.apkId;
}

bool FakeStartupServices::channelLaunch() {
    add("channelLaunch");
    return script.channelLaunch;
}

bool FakeStartupServices::channelLaunchApk() {
    add("channelLaunchApk");
    return script.channelLaunchApk;
}

bool FakeStartupServices::isQvContextInstalled() {
    add("isQvContextInstalled");
    return script.qvContextInstalled;
}

app::ContextAppState FakeStartupServices::currentContextAppState(const std::wstring& appId) {
    add("currentContextAppState", appId);
    switch (script.context) {
        case StartupScript::AppInstalled: return app::ContextAppState::Installed;
        case StartupScript::AppMissing: return app::ContextAppState::NotInstalled;
        case StartupScript::Throws: throw std::runtime_error("lock failed");
        default: return app::ContextAppState::NoContext;
    }
}

bool FakeStartupServices::launchInCurrentContext(const std::wstring& appId) {
    add("launchInCurrentContext", appId);
    return script.context != StartupScript::NoContext;
}

bool FakeStartupServices::isQvInstalled() {
    add("isQvInstalled");
    return script.qvInstalled;
}

bool FakeStartupServices::lookupQvApp(const std::wstring& appId) {
    add("lookupQvApp", appId);
    return script.qvAppFound;
}

bool FakeStartupServices::launchQvAppById(const std::wstring& appId) {
    add("launchQvAppById", appId);
    size_t k = qvLaunchCalls_++;
    return k < script.qvLaunchResults.size() ? script.qvLaunchResults[k] : script.qvLaunchDefault;
}

bool FakeStartupServices::localAppListContains(const std::wstring& appId) {
    add("localAppListContains", appId);
    for (const std::wstring& a : script.localApps) {
        if (a == appId) return true;
    }
    return false;
}

void FakeStartupServices::addAppShortcut(const std::wstring& appId) { add("addAppShortcut", appId); }
void FakeStartupServices::addAllAppShortcuts() { add("addAllAppShortcuts"); }
void FakeStartupServices::removeAppShortcut(const std::wstring& appId) { add("removeAppShortcut", appId); }
void FakeStartupServices::removeAllAppShortcuts() { add("removeAllAppShortcuts"); }

bool FakeStartupServices::runWindow(v2::Installer& installer) {
    calls.add("runWindow(action=" + std::to_string(installer.getAction()) + ")");
    if (script.window == StartupScript::WindowFails) {
        SetLastError(script.windowError);
        return false;
    }
    windowProgress.bind(installer.progressEvent());
    installer.start();
    installer.wait(INFINITE);
    if (script.window == StartupScript::WindowRollsBack) {
        calls.add("rollback");
        installer.setAction(ActionRemove);
        installer.start();
        installer.wait(INFINITE);
    }
    return true;
}

void FakeStartupServices::showRemoveRefused() { add("showRemoveRefused"); }

void FakeStartupServices::sleepMs(DWORD milliseconds) { calls.add("sleepMs(" + std::to_string(milliseconds) + ")"); }

namespace {

bool parseBool(const std::string& v, bool& out) {
    if (v == "1" || v == "true") {
        out = true;
        return true;
    }
    if (v == "0" || v == "false") {
        out = false;
        return true;
    }
    return false;
}

bool parseInt(const std::string& v, long& out) {
    if (v.empty()) return false;
    char* end = nullptr;
    out = std::strtol(v.c_str(), &end, 10);
    return end && *end == '\0';
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) out.push_back(part);
    return out;
}

// "stage:state:error:percent[:message]" separated by ';'
bool parseEvents(const std::string& v, std::vector<FakeEvent>& out) {
    out.clear();
    for (const std::string& item : split(v, ';')) {
        if (item.empty()) continue;
        std::vector<std::string> f = split(item, ':');
        if (f.size() < 4) return false;
        FakeEvent e;
        e.stage = std::atoi(f[0].c_str());
        e.state = std::atoi(f[1].c_str());
        e.error = std::atoi(f[2].c_str());
        e.percent = (float)std::atof(f[3].c_str());
        if (f.size() > 4) e.message = fromUtf8(f[4]);
        out.push_back(e);
    }
    return true;
}

}  // namespace

bool loadStartupCase(const std::string& text, StartupScript& s, FakeInstallerEnv& env, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            error = "line " + std::to_string(lineNo) + ": no '='";
            return false;
        }
        std::string key = line.substr(0, eq);
        std::string v = line.substr(eq + 1);
        std::wstring wv = fromUtf8(v);
        bool ok = true;
        long n = 0;
        if (key == "emulatorInstalled") ok = parseBool(v, s.emulatorInstalled);
        else if (key == "playerInstalled") ok = parseBool(v, s.playerInstalled);
        else if (key == "playerExe") s.playerExe = wv;
        else if (key == "launchResult") ok = parseBool(v, s.launchResult);
        else if (key == "productProgram") s.productPrograms.push_back(wv);
        else if (key == "loaderRunning") ok = parseBool(v, s.loaderRunning);
        else if (key == "setupRunning") ok = parseBool(v, s.setupRunning);
        else if (key == "playerRunning") ok = parseBool(v, s.playerRunning);
        else if (key == "acquire") ok = parseBool(v, s.acquireResult);
        else if (key == "pending") s.pendingFile = v;
        else if (key == "apkId") s.apkId = wv;
        else if (key == "channelLaunch") ok = parseBool(v, s.channelLaunch);
        else if (key == "channelLaunchApk") ok = parseBool(v, s.channelLaunchApk);
        else if (key == "qvContextInstalled") ok = parseBool(v, s.qvContextInstalled);
        else if (key == "qvInstalled") ok = parseBool(v, s.qvInstalled);
        else if (key == "qvAppFound") ok = parseBool(v, s.qvAppFound);
        else if (key == "qvLaunchDefault") ok = parseBool(v, s.qvLaunchDefault);
        else if (key == "qvLaunchResults") {
            s.qvLaunchResults.clear();
            for (const std::string& r : split(v, ',')) {
                bool b = false;
                if (!parseBool(r, b)) ok = false;
                s.qvLaunchResults.push_back(b);
            }
        } else if (key == "localApp") s.localApps.push_back(wv);
        else if (key == "context") {
            if (v == "none") s.context = StartupScript::NoContext;
            else if (v == "installed") s.context = StartupScript::AppInstalled;
            else if (v == "missing") s.context = StartupScript::AppMissing;
            else if (v == "throws") s.context = StartupScript::Throws;
            else ok = false;
        } else if (key == "window") {
            if (v == "fails") s.window = StartupScript::WindowFails;
            else if (v == "runs") s.window = StartupScript::WindowRuns;
            else if (v == "rollback") s.window = StartupScript::WindowRollsBack;
            else ok = false;
        } else if (key == "installer.engine") {
            ok = parseInt(v, n);
            env.engine = (int32_t)n;
        } else if (key.compare(0, 3, "op.") == 0 && key.size() > 5 && key[3] >= '0' && key[3] <= '4' &&
                   key[4] == '.') {
            FakeOpScript& op = env.ops[key[3] - '0'];
            std::string field = key.substr(5);
            if (field == "result") {
                ok = parseInt(v, n);
                op.result = (int)n;
            } else if (field == "events") ok = parseEvents(v, op.events);
            else if (field == "workerEvents") ok = parseEvents(v, op.workerEvents);
            else if (field == "throws") ok = parseBool(v, op.throws);
            else if (field == "launchAppId") {
                op.setLaunchAppId = true;
                op.launchAppId = wv;
            } else ok = false;
        } else {
            error = "line " + std::to_string(lineNo) + ": unknown key " + key;
            return false;
        }
        if (!ok) {
            error = "line " + std::to_string(lineNo) + ": bad value for " + key;
            return false;
        }
    }
    return true;
}

}  // namespace fakes
