// Stand-in of the engine's window program: "--launcher" or "--app <package>/<activity>".
// It shows no window and waits out its lifetime.
#include "testing/qv_standin/standin.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    const std::vector<std::wstring>& a = s.args;
    std::wstring what;
    if (a.size() == 1 && a[0] == L"--launcher")
        what = L"launcher";
    else if (a.size() == 2 && a[0] == L"--app" && a[1].find(L'/') != std::wstring::npos)
        what = L"app " + a[1];
    else
        qvs::badArgs(nullptr);
    qvs::applyModes(s, s.program);
    qvs::record(L"frontend", what);
    Sleep(qvs::lifeLeftMs());
    qvs::finish(0);
}
