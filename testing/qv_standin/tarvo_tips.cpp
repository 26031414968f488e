// Stand-in of TarvoTips.exe, the product's tips window: it only records its start.
#include "testing/qv_standin/standin.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    qvs::Start s = qvs::begin();
    qvs::applyModes(s, s.program);
    qvs::finish(0);
}
