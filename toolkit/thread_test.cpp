// Threads, locks, delegates, error codes and buffers.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>

#include "testing/support/test_support.h"
#include "toolkit/delegate.h"
#include "toolkit/error_code.h"
#include "toolkit/lock.h"
#include "toolkit/scoped_buffer.h"
#include "toolkit/thread.h"

using ravel::object::delegate;
using ravel::system::Thread;

namespace {

DWORD exitCodeOf(Thread& t) {
    DWORD code = 0xDEADBEEF;
    EXPECT_NE(t.getHandle(), nullptr);
    if (t.getHandle()) GetExitCodeThread(t.getHandle(), &code);
    return code;
}

struct Target {
    int value = 42;
    int answer() { return value; }
    int fail() { throw std::runtime_error("boom"); }
    int failOther() { throw 17; }
};

struct Seven : ravel::object::Runnable {
    int run() override { return 7; }
};

// Blocks on a manual-reset event until released.
struct Gate {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Gate() { CloseHandle(event); }
    int hold() {
        WaitForSingleObject(event, 20000);
        return 3;
    }
    void open() { SetEvent(event); }
};

}  // namespace

TEST(Thread, ExitCodes) {
    struct Case {
        const char* name;
        bool bindTarget;
        int (Target::*member)();
        bool withRunnable;
        DWORD expected;
    };
    const Case cases[] = {
        {"bound member", true, &Target::answer, false, 42},
        {"runnable wins over target", true, &Target::answer, true, 7},
        {"neither", false, nullptr, false, static_cast<DWORD>(-1)},
        {"std exception", true, &Target::fail, false, static_cast<DWORD>(-1)},
        {"other exception", true, &Target::failOther, false, static_cast<DWORD>(-1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tst::DebugOutputCapture capture;
        Target target;
        Seven seven;
        Thread t;
        if (c.bindTarget) t.delegate().bind(&target, c.member);
        ASSERT_TRUE(t.start(c.withRunnable ? &seven : nullptr).value());
        t.join(INFINITE);
        EXPECT_FALSE(t.isAlive());
        EXPECT_EQ(exitCodeOf(t), c.expected);
        if (c.member == &Target::fail) {
            EXPECT_TRUE(capture.contains("ravel::thread exception: boom\n"));
        }
        if (c.member == &Target::failOther) {
            bool found = false;
            for (const std::string& s : capture.texts()) found |= s.rfind("ravel::thread exception: ", 0) == 0;
            EXPECT_TRUE(found);
        }
    }
}

TEST(Thread, RestartWhileAliveIsRefusedAndLeavesEverythingUnchanged) {
    Gate gate;
    Seven other;
    Thread t;
    t.delegate().bind(&gate, &Gate::hold);
    ASSERT_TRUE(t.start(nullptr, L"first").value());
    HANDLE running = t.getHandle();
    const delegate<int()> boundTarget = t.delegate();

    try {
        t.start(&other, L"second");
        FAIL() << "start of a live thread did not throw";
    } catch (const ravel::system::InterruptedThreadException& e) {
        EXPECT_STREQ(e.what(), "the target thread is alive!");
    }
    EXPECT_EQ(t.getRunnable(), nullptr);
    EXPECT_EQ(t.getName(), L"first");
    EXPECT_TRUE(t.delegate() == boundTarget);
    EXPECT_EQ(t.getHandle(), running);

    EXPECT_THROW(t.close(), ravel::system::InterruptedThreadException);
    EXPECT_EQ(t.getHandle(), running);

    DWORD before = GetTickCount();
    t.join(50);
    EXPECT_LT(GetTickCount() - before, 5000u);
    EXPECT_TRUE(t.isAlive());

    gate.open();
    t.join(INFINITE);
    EXPECT_FALSE(t.isAlive());
    EXPECT_EQ(exitCodeOf(t), 3u);

    // The same object starts again; an empty name keeps the stored one.
    ASSERT_TRUE(t.start().value());
    t.join(INFINITE);
    EXPECT_EQ(exitCodeOf(t), 3u);
    EXPECT_EQ(t.getName(), L"first");

    t.close();
    EXPECT_EQ(t.getHandle(), nullptr);
    EXPECT_FALSE(t.isAlive());
}

TEST(Thread, PriorityIsAppliedAtStart) {
    struct Probe {
        std::atomic<int> seen{12345};
        int run() {
            seen = GetThreadPriority(GetCurrentThread());
            return 0;
        }
    } probe;
    Thread t;
    t.setPriority(THREAD_PRIORITY_BELOW_NORMAL);
    t.delegate().bind(&probe, &Probe::run);
    ASSERT_TRUE(t.start().value());
    t.join(INFINITE);
    EXPECT_EQ(probe.seen.load(), THREAD_PRIORITY_BELOW_NORMAL);
}

TEST(Thread, DestroyingAFinishedThreadWritesDiedAndDoesNotThrow) {
    tst::DebugOutputCapture capture;
    {
        Target target;
        Thread t;
        t.delegate().bind(&target, &Target::answer);
        ASSERT_TRUE(t.start().value());
        t.join(INFINITE);
    }
    EXPECT_TRUE(capture.contains("ravel::thread died\n"));
    EXPECT_FALSE(capture.contains("ravel::thread still alive\n"));
}

TEST(Thread, DestroyingALiveThreadInAChildEndsNormally) {
    tst::TempDir dir(L"tkchild");
    std::wstring out = dir.file(L"out.txt");
    long code = tst::runProgram(L"\"" + tst::binDir() + L"\\toolkit_child.exe\" live-thread \"" + out + L"\"", 30000);
    EXPECT_EQ(code, 0);
    std::string text;
    ASSERT_TRUE(tst::readFile(out, text));
    EXPECT_EQ(text,
              "dbg:ravel::thread died\n"
              "dbg:ravel::thread still alive\n"
              "deleted\n"
              "thread finished\n");
}

namespace {
struct SelfDeleting : Thread {
    HANDLE destroyed;
    explicit SelfDeleting(HANDLE e) : destroyed(e) {}
    ~SelfDeleting() override { SetEvent(destroyed); }
    int run() override { return 9; }
};
}  // namespace

TEST(Thread, AutoDeleteThreadFreesItselfAfterRun) {
    tst::DebugOutputCapture capture;
    HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SelfDeleting* t = new SelfDeleting(destroyed);
    t->setAutoDelete(true);
    ASSERT_TRUE(t->isAutoDelete());
    ASSERT_TRUE(t->start().value());
    t = nullptr;  // the thread owns itself now
    EXPECT_EQ(WaitForSingleObject(destroyed, 10000), WAIT_OBJECT_0);
    CloseHandle(destroyed);
    Sleep(50);
    EXPECT_TRUE(capture.contains("ravel::thread died\n"));
    EXPECT_FALSE(capture.contains("ravel::thread still alive\n"));
    for (const std::string& s : capture.texts()) EXPECT_EQ(s.find("exception"), std::string::npos) << s;
}

// --- delegates -------------------------------------------------------------

namespace {
struct Base {
    int id;
    explicit Base(int i) : id(i) {}
    virtual ~Base() {}
    virtual int who() { return 100 + id; }
    int plain() { return id; }
    int other() { return -id; }
    int constant() const { return 1000 + id; }
};
struct Derived : Base {
    explicit Derived(int i) : Base(i) {}
    int who() override { return 200 + id; }
};
struct Second {
    int tag = 77;
    virtual ~Second() {}
    int secondTag() { return tag; }
};
struct Both : Base, Second {
    Both() : Base(1) {}
};
int freeOne() { return 11; }
int freeTwo() { return 22; }

struct Sink {
    int calls = 0;
    std::wstring last;
    float pct = 0;
    void six(int a, int b, int c, float p, const std::wstring& d, const std::wstring& m) {
        ++calls;
        pct = p + static_cast<float>(a + b + c);
        last = d + L"|" + m;
    }
};
}  // namespace

TEST(Delegate, Equality) {
    Base a(1), b(2);
    Derived d(3);
    delegate<int()> empty1, empty2;
    delegate<int()> a1(&a, &Base::plain), a2(&a, &Base::plain);
    delegate<int()> aOther(&a, &Base::other), bPlain(&b, &Base::plain);
    delegate<int()> v1(&d, &Base::who), v2(&d, &Base::who);
    delegate<int()> s1, s2, s3;
    s1.bindStatic(&freeOne);
    s2.bindStatic(&freeOne);
    s3.bindStatic(&freeTwo);

    struct Case {
        const char* name;
        const delegate<int()>& x;
        const delegate<int()>& y;
        bool equal;
    };
    const Case cases[] = {
        {"same object and member", a1, a2, true},
        {"another member", a1, aOther, false},
        {"another object", a1, bPlain, false},
        {"virtual member bound twice", v1, v2, true},
        {"two empty", empty1, empty2, true},
        {"empty and bound", empty1, a1, false},
        {"same free function", s1, s2, true},
        {"other free function", s1, s3, false},
        {"free function and member", s1, a1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.x == c.y, c.equal);
        EXPECT_EQ(c.x != c.y, !c.equal);
    }
}

TEST(Delegate, Calls) {
    Base a(1);
    Derived d(3);
    Both both;
    delegate<int()> plain(&a, &Base::plain);
    EXPECT_EQ(plain(), 1);
    delegate<int()> virt(&d, &Base::who);
    EXPECT_EQ(virt(), 203);  // the override runs
    delegate<int()> constant;
    constant.bind(static_cast<const Base*>(&a), &Base::constant);
    EXPECT_EQ(constant(), 1001);
    // A member of the second base is called on the adjusted object.
    delegate<int()> second(&both, &Second::secondTag);
    EXPECT_EQ(second(), 77);
    delegate<int()> fromFree;
    fromFree.bindStatic(&freeTwo);
    EXPECT_EQ(fromFree(), 22);

    Sink sink;
    delegate<void(int, int, int, float, const std::wstring&, const std::wstring&)> six(&sink, &Sink::six);
    six(1, 2, 3, 0.5f, L"detail", L"message");
    EXPECT_EQ(sink.calls, 1);
    EXPECT_FLOAT_EQ(sink.pct, 6.5f);
    EXPECT_EQ(sink.last, L"detail|message");
}

TEST(Delegate, ResetAndNullBindingsAreEmptyAndCallsDoNothing) {
    Base a(1);
    delegate<int()> d(&a, &Base::plain);
    ASSERT_FALSE(d.empty());
    d.bindStatic(nullptr);
    EXPECT_TRUE(d.empty());
    EXPECT_TRUE(d == delegate<int()>());
    EXPECT_EQ(d(), 0);

    d.bind(&a, &Base::plain);
    d.reset();
    EXPECT_TRUE(d.empty());

    d.bind(&a, static_cast<int (Base::*)()>(nullptr));
    EXPECT_TRUE(d.empty());

    delegate<void(int, int, int, float, const std::wstring&, const std::wstring&)> six;
    EXPECT_TRUE(six.empty());
    six(0, 2, -1, 10.f, L"", L"");  // nothing bound: no call, no fault
}

// --- locks -----------------------------------------------------------------

namespace {
bool otherThreadCanEnter(ravel::system::Lock& lock) {
    struct Try {
        CRITICAL_SECTION* cs;
        bool entered = false;
        int run() {
            entered = TryEnterCriticalSection(cs) != FALSE;
            if (entered) LeaveCriticalSection(cs);
            return 0;
        }
    } probe{lock.native()};
    Thread t;
    t.delegate().bind(&probe, &Try::run);
    EXPECT_TRUE(t.start().value());
    t.join(INFINITE);
    return probe.entered;
}
}  // namespace

TEST(Lock, ReentrantOnOneThreadAndExclusiveAcrossThreads) {
    ravel::system::Lock lock;
    {
        ravel::system::ScopedLock outer(&lock);
        ravel::system::ScopedLock inner(&lock);  // same thread enters again
        EXPECT_FALSE(otherThreadCanEnter(lock));
    }
    EXPECT_TRUE(otherThreadCanEnter(lock));

    try {
        ravel::system::ScopedLock guard(lock);
        EXPECT_FALSE(otherThreadCanEnter(lock));
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(otherThreadCanEnter(lock));

    lock.lock();
    EXPECT_FALSE(otherThreadCanEnter(lock));
    lock.unlock();
    EXPECT_TRUE(otherThreadCanEnter(lock));
}

// --- error codes and buffers -------------------------------------------------

TEST(ErrorCode, ReadingOrIgnoringMarksItHandledAndAnUnreadOneIsSilent) {
    ravel::object::ErrorCode yes(true), no(false), ignored(true);
    EXPECT_FALSE(yes.isHandled());
    EXPECT_TRUE(yes.value());
    EXPECT_TRUE(yes.isHandled());
    EXPECT_FALSE(no.value());
    EXPECT_TRUE(no.isHandled());
    ignored.ignore();
    EXPECT_TRUE(ignored.isHandled());

    tst::DebugOutputCapture capture;
    { ravel::object::ErrorCode unread(false); }
    EXPECT_TRUE(capture.texts().empty());
}

TEST(ScopedBuffer, SizesAndFailures) {
    ScopedBuffer<wchar_t> none(0);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_EQ(none.size(), 0u);

    ScopedBuffer<char> text(260);
    ASSERT_NE(text.get(), nullptr);
    EXPECT_EQ(text.size(), 260u);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[259], '\0');

    struct Huge {
        char bytes[1 << 20];
    };
    EXPECT_THROW(ScopedBuffer<Huge> tooBig(0xFFFFFFFFu), std::bad_alloc);
}
