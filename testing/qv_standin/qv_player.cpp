// Stand-in of qvPlayer.exe: only its file version is read. Started, it records
// and exits 0.
#include "testing/qv_standin/standin.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    qvs::applyModes(s, s.program);
    qvs::finish(0);
}
