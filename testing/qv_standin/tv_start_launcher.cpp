// Stand-in of TV-StartLauncher.exe: starts the engine (tvHdDrv, then
// tvHdAndroidSvc, each waited for at most 15 s) and its launcher front-end.
// Accepts no arguments, or "--byloader". Mode engine-fail: no service, exit 1.
#include "testing/qv_standin/engine_start.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    const bool byLoader = s.args.size() == 1 && s.args[0] == L"--byloader";
    if (!s.args.empty() && !byLoader) qvs::badArgs(nullptr);
    qvs::applyModes(s, s.program);
    if (s.mode == L"engine-fail") qvs::finish(1);
    if (!qvs::startEngine()) qvs::finish(1);
    if (!qvs::startEngineProgram(L"TV-Frontend.exe", L"--launcher")) qvs::finish(1);
    qvs::record(L"launcher", byLoader ? L"--byloader" : L"");
    qvs::finish(0);
}
