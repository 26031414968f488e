// Stand-in of TV-RunApp.exe: -p <package> -a <activity>. The activity resolves as
// Android does (".X" and "<package>.X" are X). Without the app's gadget icon it
// records runapp-unknown and exits 1; otherwise it starts the engine and the
// app's front-end.
#include "testing/qv_standin/apk_reader.h"
#include "testing/qv_standin/engine_start.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    const std::vector<std::wstring>& a = s.args;
    if (a.size() != 4 || a[0] != L"-p" || a[2] != L"-a" || a[1].empty() || a[3].empty())
        qvs::badArgs(nullptr);
    qvs::applyModes(s, s.program);
    const std::wstring package = a[1];
    const std::wstring activity = qvs::shortActivityName(package, a[3]);
    const std::wstring gadget = qvs::ownFolder() + L"tvData\\UserData\\Gadget\\" + package + L"." + activity + L".png";
    if (!qvs::fileExists(gadget)) {
        qvs::record(L"runapp-unknown", package + L" " + activity);
        qvs::finish(1);
    }
    if (!qvs::startEngine()) qvs::finish(1);
    if (!qvs::startEngineProgram(L"TV-Frontend.exe", L"--app " + package + L"/" + activity)) qvs::finish(1);
    qvs::record(L"runapp", package + L" " + activity);
    qvs::finish(0);
}
