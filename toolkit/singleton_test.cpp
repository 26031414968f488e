// Singletons: one construction under a race, destruction and re-creation, and
// the process-end behaviour through the toolkit child program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "testing/support/test_support.h"
#include "toolkit/singleton.h"
#include "toolkit/thread.h"

namespace {

LONG g_slowConstructions = 0;
LONG g_slowDestructions = 0;

class Slow : public ravel::pattern::Singleton<Slow> {
    friend class ravel::pattern::Singleton<Slow>;
    Slow() {
        InterlockedIncrement(&g_slowConstructions);
        Sleep(200);
        ready = 1;
    }
    ~Slow() { InterlockedIncrement(&g_slowDestructions); }

public:
    volatile int ready = 0;
};

struct Caller {
    HANDLE go;
    Slow* got = nullptr;
    int sawReady = 0;
    int run() {
        WaitForSingleObject(go, 10000);
        got = Slow::getInstance();
        sawReady = got->ready;
        return 0;
    }
};

int g_plainConstructions = 0;
class Plain : public ravel::pattern::Singleton<Plain> {
    friend class ravel::pattern::Singleton<Plain>;
    Plain() { ++g_plainConstructions; }

public:
    int value = 5;
};

// Asked for by a global constructor, before main and before other globals of
// this unit exist: the per-type lock must already be usable.
class Early : public ravel::pattern::Singleton<Early> {
    friend class ravel::pattern::Singleton<Early>;
    Early() {}
};
struct EarlyUser {
    Early* seen;
    EarlyUser() : seen(Early::getInstance()) {}
};
EarlyUser g_earlyUser;

}  // namespace

TEST(Singleton, UsableFromAGlobalConstructor) {
    ASSERT_NE(g_earlyUser.seen, nullptr);
    EXPECT_EQ(Early::getInstance(), g_earlyUser.seen);
}

TEST(Singleton, ConcurrentFirstCallsConstructExactlyOnce) {
    const int kThreads = 8;
    g_slowConstructions = 0;
    g_slowDestructions = 0;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Caller> callers(kThreads, Caller{go});
    std::vector<ravel::system::Thread> threads(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads[i].delegate().bind(&callers[i], &Caller::run);
        ASSERT_TRUE(threads[i].start().value());
    }
    SetEvent(go);
    for (auto& t : threads) t.join(INFINITE);
    CloseHandle(go);

    EXPECT_EQ(g_slowConstructions, 1);
    for (const Caller& c : callers) {
        EXPECT_EQ(c.got, callers[0].got);
        EXPECT_EQ(c.sawReady, 1);  // a complete object, never a half-built one
    }
    EXPECT_EQ(Slow::getInstance(), callers[0].got);
    Slow::destroyInstance();
    EXPECT_EQ(g_slowDestructions, 1);
}

TEST(Singleton, DestroyTwiceDeletesOnceAndALaterCallCreatesAFreshInstance) {
    Plain* first = Plain::getInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Plain::getInstance(), first);
    const int built = g_plainConstructions;
    first->value = 9;

    Plain::destroyInstance();
    Plain::destroyInstance();  // nothing left to delete

    Plain* second = Plain::getInstance();
    EXPECT_EQ(g_plainConstructions, built + 1);
    EXPECT_EQ(second->value, 5);
    Plain::destroyInstance();
}

namespace {
std::string runChild(const std::wstring& scenario, long& code) {
    tst::TempDir dir(L"tkchild");
    std::wstring out = dir.file(L"out.txt");
    code = tst::runProgram(L"\"" + tst::binDir() + L"\\toolkit_child.exe\" " + scenario + L" \"" + out + L"\"",
                           30000);
    std::string text;
    tst::readFile(out, text);
    return text;
}
}  // namespace

TEST(Singleton, AtExitTheLastCreatedIsDestroyedFirstOnceEach) {
    long code = 0;
    std::string text = runChild(L"singleton-order", code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text, "A()\nB()\nmain done\n~B\n~A\n");
}

TEST(Singleton, RecursiveGetInstanceFromTheConstructorAborts) {
    long code = 0;
    std::string text = runChild(L"recursive-singleton", code);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1000) << "the child hung";
    EXPECT_EQ(text, "Recursive()\ndbg:ravel::singleton: recursive getInstance from the constructor\n");
}
