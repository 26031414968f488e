// ComInitGuard balances only the CoInitialize calls that succeeded.
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include "services/com_init.h"
#include "toolkit/thread.h"

namespace {
// Runs body on a fresh thread, so each case starts without COM.
template <typename F>
void onFreshThread(F body) {
    struct Runner {
        F* body;
        int run() {
            (*body)();
            return 0;
        }
    } runner{&body};
    ravel::system::Thread t;
    t.delegate().bind(&runner, &Runner::run);
    ASSERT_TRUE(t.start().value());
    t.join(INFINITE);
}
}  // namespace

TEST(ComInitGuard, UninitialisesWhatItInitialised) {
    onFreshThread([] {
        {
            ComInitGuard outer;
            EXPECT_EQ(outer.result(), S_OK);
            {
                ComInitGuard inner;
                EXPECT_EQ(inner.result(), S_FALSE);
            }
            // The outer apartment is still open.
            HRESULT again = CoInitialize(nullptr);
            EXPECT_EQ(again, S_FALSE);
            CoUninitialize();
        }
        // Balanced: the thread has no apartment left.
        HRESULT fresh = CoInitialize(nullptr);
        EXPECT_EQ(fresh, S_OK);
        CoUninitialize();
    });
}

TEST(ComInitGuard, LeavesAnotherModelsApartmentAlone) {
    onFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            ComInitGuard guard;
            EXPECT_EQ(guard.result(), RPC_E_CHANGED_MODE);
        }
        // The multithreaded apartment was not torn down by the guard.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        CoUninitialize();
    });
}
