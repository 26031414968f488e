#include "app/product_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using app::ProductStartupServices;

TEST(ProductStartupServicesTest, RemoveRefusedShowsItsBoxUntilClosed) {
    std::atomic<bool> found{false};
    std::wstring text;
    LONG_PTR style = 0;
    std::thread closer([&] {
        for (int i = 0; i < 600 && !found; ++i) {  // 30 s: the box is slow under load
            HWND box = FindWindowW(L"#32770", L"塔沃助手");
            if (box) {
                wchar_t buf[256] = {};
                GetDlgItemTextW(box, 0xFFFF, buf, 256);
                text = buf;
                style = GetWindowLongPtrW(box, GWL_STYLE);
                found = true;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(50);
        }
    });
    ProductStartupServices s;
    s.showRemoveRefused();
    closer.join();
    ASSERT_TRUE(found) << "no message box titled 塔沃助手 appeared";
    EXPECT_EQ(L"塔沃模拟器正在运行，请退出后再进行卸载！", text);
    EXPECT_NE(0, style & WS_VISIBLE);
}

TEST(ProductStartupServicesTest, SleepWaits) {
    ProductStartupServices s;
    DWORD t0 = GetTickCount();
    s.sleepMs(200);
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 180u);
    EXPECT_LT(took, 2000u);
}

}  // namespace
