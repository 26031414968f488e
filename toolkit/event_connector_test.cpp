// Event connectors: listener list rules, exceptions, re-entrancy and the lock
// held while listeners run.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit/event_connector.h"
#include "toolkit/smart_ptr.h"
#include "toolkit/thread.h"

using ravel::object::event_connector_t;
using ravel::object::smart_ptr;

namespace {

struct Source {};

typedef event_connector_t<const Source*, int> IntConnector;

struct Recorder {
    std::vector<std::string>* log;
    std::string name;
    const Source* sender = nullptr;
    void on(const Source* s, int v) {
        sender = s;
        log->push_back(name + ":" + std::to_string(v));
    }
    void throwStd(const Source*, int) {
        log->push_back(name + ":std");
        throw std::runtime_error("listener failed");
    }
    void throwInt(const Source*, int) {
        log->push_back(name + ":int");
        throw 5;
    }
};

IntConnector::delegate_type on(Recorder& r) { return IntConnector::delegate_type(&r, &Recorder::on); }

}  // namespace

TEST(EventConnector, ListRules) {
    Source src;
    std::vector<std::string> log;
    Recorder a{&log, "a"}, b{&log, "b"}, c{&log, "c"}, unlisted{&log, "x"};
    IntConnector connector(&src);

    connector.connect(on(a)).connect(on(a)).connect(on(b)).connect(on(c));
    EXPECT_EQ(connector.listenerCount(), 3u);
    connector.emit(1);
    EXPECT_EQ(log, (std::vector<std::string>{"a:1", "b:1", "c:1"}));
    EXPECT_EQ(a.sender, &src);

    log.clear();
    connector.disconnect(on(unlisted));
    connector.disconnect(on(b));
    connector.emit(2);
    EXPECT_EQ(log, (std::vector<std::string>{"a:2", "c:2"}));
}

TEST(EventConnector, ThrowingListenersDoNotStopLaterOnes) {
    Source src;
    std::vector<std::string> log;
    Recorder a{&log, "a"}, b{&log, "b"}, c{&log, "c"};
    IntConnector connector(&src);
    connector.connect(IntConnector::delegate_type(&a, &Recorder::throwStd));
    connector.connect(IntConnector::delegate_type(&b, &Recorder::throwInt));
    connector.connect(on(c));
    EXPECT_NO_THROW(connector.emit(3));
    EXPECT_EQ(log, (std::vector<std::string>{"a:std", "b:int", "c:3"}));
}

namespace {
struct Payload {
    int value = 4;
};
typedef event_connector_t<const Source*, smart_ptr<Payload>> PtrConnector;
struct CountWatcher {
    int seenCount = 0;
    int seenValue = 0;
    void on(const Source*, smart_ptr<Payload> p) {
        seenCount = p.useCount();
        seenValue = p->value;
    }
};
}  // namespace

TEST(EventConnector, ByValueSmartPointerArgumentIsOneMoreOwnerDuringTheCall) {
    Source src;
    PtrConnector connector(&src);
    CountWatcher w;
    connector.connect(PtrConnector::delegate_type(&w, &CountWatcher::on));
    smart_ptr<Payload> p(new Payload());
    connector.emit(p);  // emit's own copy, plus the listener's copy
    EXPECT_EQ(w.seenCount, 3);
    EXPECT_EQ(w.seenValue, 4);
    EXPECT_EQ(p.useCount(), 1);
}

namespace {
struct Reentrant {
    IntConnector* connector;
    std::vector<std::string>* log;
    Recorder* late;
    int calls = 0;
    void onceThenLeave(const Source*, int v) {
        ++calls;
        log->push_back("self:" + std::to_string(v));
        connector->disconnect(IntConnector::delegate_type(this, &Reentrant::onceThenLeave));
        connector->connect(on(*late));
    }
};
}  // namespace

TEST(EventConnector, ListenerMayDisconnectItselfAndConnectAnotherDuringEmit) {
    Source src;
    std::vector<std::string> log;
    IntConnector connector(&src);
    Recorder late{&log, "late"};
    Recorder first{&log, "first"};
    Reentrant self{&connector, &log, &late};
    connector.connect(on(first));
    connector.connect(IntConnector::delegate_type(&self, &Reentrant::onceThenLeave));
    connector.emit(1);
    // The new listener took the place the walk has already passed.
    EXPECT_EQ(log, (std::vector<std::string>{"first:1", "self:1"}));
    log.clear();
    connector.emit(2);
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"first:2", "late:2"}));
}

namespace {
struct Blocking {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG finished = 0;
    ~Blocking() {
        CloseHandle(entered);
        CloseHandle(release);
    }
    void on(const Source*, int) {
        SetEvent(entered);
        WaitForSingleObject(release, 10000);
        InterlockedExchange(&finished, 1);
    }
};
struct Emitter {
    IntConnector* connector;
    int run() {
        connector->emit(7);
        return 0;
    }
};
struct Disconnector {
    IntConnector* connector;
    IntConnector::delegate_type target;
    Blocking* blocking;
    volatile LONG done = 0;
    LONG listenerFinishedFirst = 0;
    int run() {
        connector->disconnect(target);
        listenerFinishedFirst = InterlockedCompareExchange(&blocking->finished, 0, 0);
        InterlockedExchange(&done, 1);
        return 0;
    }
};
}  // namespace

TEST(EventConnector, DisconnectFromAnotherThreadWaitsForARunningEmit) {
    Source src;
    IntConnector connector(&src);
    Blocking blocking;
    IntConnector::delegate_type listener(&blocking, &Blocking::on);
    connector.connect(listener);

    Emitter emitter{&connector};
    ravel::system::Thread emitThread;
    emitThread.delegate().bind(&emitter, &Emitter::run);
    ASSERT_TRUE(emitThread.start().value());
    ASSERT_EQ(WaitForSingleObject(blocking.entered, 10000), WAIT_OBJECT_0);

    Disconnector disconnector{&connector, listener, &blocking};
    ravel::system::Thread disconnectThread;
    disconnectThread.delegate().bind(&disconnector, &Disconnector::run);
    ASSERT_TRUE(disconnectThread.start().value());
    disconnectThread.join(300);
    EXPECT_TRUE(disconnectThread.isAlive());
    EXPECT_EQ(disconnector.done, 0);

    SetEvent(blocking.release);
    disconnectThread.join(10000);
    emitThread.join(10000);
    EXPECT_EQ(disconnector.done, 1);
    EXPECT_EQ(disconnector.listenerFinishedFirst, 1);
    EXPECT_EQ(connector.listenerCount(), 0u);
}

namespace {
struct Connecting {
    IntConnector* connector;
    std::vector<std::string>* log;
    Recorder* late;
    void on(const Source*, int v) {
        log->push_back("connecting:" + std::to_string(v));
        connector->connect(::on(*late));
    }
};
struct Leaving {
    IntConnector* connector;
    std::vector<std::string>* log;
    void on(const Source*, int v) {
        log->push_back("leaving:" + std::to_string(v));
        connector->disconnect(IntConnector::delegate_type(this, &Leaving::on));
    }
};
}  // namespace

// One listener connects a new one (the list grows past its room), and the last
// one leaves, in the same emit: a walk by iterator would run on freed or
// shortened storage.
TEST(EventConnector, ListChangedByTwoListenersDuringOneEmit) {
    Source src;
    std::vector<std::string> log;
    IntConnector connector(&src);
    Recorder late{&log, "late"}, b{&log, "b"}, c{&log, "c"};
    Connecting connecting{&connector, &log, &late};
    Leaving leaving{&connector, &log};
    connector.connect(IntConnector::delegate_type(&connecting, &Connecting::on));
    connector.connect(on(b)).connect(on(c));
    connector.connect(IntConnector::delegate_type(&leaving, &Leaving::on));
    connector.emit(1);
    EXPECT_EQ(log, (std::vector<std::string>{"connecting:1", "b:1", "c:1", "leaving:1"}));
    EXPECT_EQ(connector.listenerCount(), 4u);
    log.clear();
    connector.emit(2);
    EXPECT_EQ(log, (std::vector<std::string>{"connecting:2", "b:2", "c:2", "late:2"}));
}

namespace {
// A listener that records its call and then changes the list as told.
struct Actor {
    IntConnector* connector = nullptr;
    std::vector<std::string>* log = nullptr;
    std::string name;
    bool leaves = false;
    Recorder* connects = nullptr;
    Actor* drops = nullptr;
    IntConnector::delegate_type self() { return IntConnector::delegate_type(this, &Actor::on); }
    void on(const Source*, int v) {
        log->push_back(name + ":" + std::to_string(v));
        if (leaves) connector->disconnect(self());
        if (connects) connector->connect(::on(*connects));
        if (drops) connector->disconnect(drops->self());
    }
};
}  // namespace

// Every listener present when the emit starts and still listed when its turn
// comes is called once; one connected during the emit waits for the next emit.
TEST(EventConnector, EmitWalksTheListenersPresentAtItsStart) {
    struct Case {
        const char* what;
        int actorAt;  // of three listeners a, b, c
        bool leaves;
        bool connectsLate;
        int dropsAt;  // -1: none
        std::vector<std::string> first, second;
    };
    const Case cases[] = {
        {"first leaves", 0, true, false, -1, {"a:1", "b:1", "c:1"}, {"b:2", "c:2"}},
        {"middle leaves", 1, true, false, -1, {"a:1", "b:1", "c:1"}, {"a:2", "c:2"}},
        {"last leaves", 2, true, false, -1, {"a:1", "b:1", "c:1"}, {"a:2", "b:2"}},
        {"first leaves and connects", 0, true, true, -1, {"a:1", "b:1", "c:1"}, {"b:2", "c:2", "late:2"}},
        {"middle connects", 1, false, true, -1, {"a:1", "b:1", "c:1"}, {"a:2", "b:2", "c:2", "late:2"}},
        {"first drops the last", 0, false, false, 2, {"a:1", "b:1"}, {"a:2", "b:2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Source src;
        std::vector<std::string> log;
        IntConnector connector(&src);
        Recorder late{&log, "late"};
        Actor actors[3];
        const char* names[] = {"a", "b", "c"};
        for (int i = 0; i < 3; ++i) {
            actors[i].connector = &connector;
            actors[i].log = &log;
            actors[i].name = names[i];
        }
        Actor& actor = actors[c.actorAt];
        actor.leaves = c.leaves;
        if (c.connectsLate) actor.connects = &late;
        if (c.dropsAt >= 0) actor.drops = &actors[c.dropsAt];
        for (Actor& a : actors) connector.connect(a.self());

        connector.emit(1);
        EXPECT_EQ(log, c.first);
        actor.connects = nullptr;
        actor.drops = nullptr;
        log.clear();
        connector.emit(2);
        EXPECT_EQ(log, c.second);
    }
}
