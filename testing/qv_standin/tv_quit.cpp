// Stand-in of TV-Quit.exe: stops tvHdAndroidSvc, then tvHdDrv (15 s each), waits
// at most 10 s until no TV-Service.exe of its folder runs, and ends the
// front-ends of its folder. Accepts no arguments. Mode ignore: exits 0 at once.
#include "testing/qv_standin/standin.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    if (!s.args.empty()) qvs::badArgs(nullptr);
    qvs::applyModes(s, s.program);
    if (s.mode == L"ignore") qvs::finish(0);
    bool stopped = qvs::stopServiceAndWait(L"tvHdAndroidSvc", 15000);
    stopped = qvs::stopServiceAndWait(L"tvHdDrv", 15000) && stopped;
    const std::wstring folder = qvs::ownFolder();
    const DWORD start = GetTickCount();
    while (!qvs::processesIn(folder, L"TV-Service.exe").empty() && GetTickCount() - start < 10000) Sleep(50);
    stopped = stopped && qvs::processesIn(folder, L"TV-Service.exe").empty();
    qvs::terminateProcesses(qvs::processesIn(folder, L"TV-Frontend.exe"));
    qvs::record(L"quit", stopped ? L"stopped" : L"timeout");
    qvs::finish(stopped ? 0 : 1);
}
