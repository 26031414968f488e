// Shared ownership: counts, deletions and the assignment rules.
#include <gtest/gtest.h>

#include "toolkit/smart_ptr.h"

#include <vector>

using ravel::object::smart_ptr;

namespace {

int g_deleted = 0;
int g_derivedDeleted = 0;

struct Tracked {
    int id;
    explicit Tracked(int i = 0) : id(i) {}
    virtual ~Tracked() { ++g_deleted; }
};
struct DerivedTracked : Tracked {
    DerivedTracked() : Tracked(2) {}
    ~DerivedTracked() override { ++g_derivedDeleted; }
};

class SmartPtr : public ::testing::Test {
protected:
    void SetUp() override {
        g_deleted = 0;
        g_derivedDeleted = 0;
    }
};

}  // namespace

TEST_F(SmartPtr, CountsAndDeletions) {
    struct Case {
        const char* name;
        void (*run)();
        int deleted;
    };
    const Case cases[] = {
        {"empty copy allocates no count",
         [] {
             smart_ptr<Tracked> empty;
             smart_ptr<Tracked> copy(empty);
             EXPECT_EQ(copy.useCount(), 0);
             EXPECT_FALSE(copy != nullptr);
             smart_ptr<Tracked> fromNull(nullptr);
             EXPECT_EQ(fromNull.useCount(), 0);
         },
         0},
        {"copy adds one",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             EXPECT_EQ(a.useCount(), 1);
             smart_ptr<Tracked> b(a);
             EXPECT_EQ(a.useCount(), 2);
             EXPECT_EQ(b.get(), a.get());
         },
         1},
        {"self assignment changes nothing",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             smart_ptr<Tracked>& alias = a;
             a = alias;
             EXPECT_EQ(a.useCount(), 1);
             EXPECT_EQ(g_deleted, 0);
         },
         1},
        {"assigning another owner of the same object changes nothing",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             smart_ptr<Tracked> b(a);
             b = a;
             EXPECT_EQ(a.useCount(), 2);
         },
         1},
        {"reset to the held object changes nothing",
         [] {
             Tracked* raw = new Tracked(1);
             smart_ptr<Tracked> a(raw);
             a.reset(raw);
             EXPECT_EQ(a.useCount(), 1);
             EXPECT_EQ(g_deleted, 0);
         },
         1},
        {"reset(null) on the last owner deletes once",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             a.reset(nullptr);
             EXPECT_EQ(g_deleted, 1);
             EXPECT_EQ(a.useCount(), 0);
             EXPECT_TRUE(a == nullptr);
             a.reset(nullptr);
         },
         1},
        {"reset(null) with another owner keeps the object",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             smart_ptr<Tracked> b(a);
             a.reset();
             EXPECT_EQ(g_deleted, 0);
             EXPECT_EQ(b.useCount(), 1);
             EXPECT_EQ(b->id, 1);
         },
         1},
        {"assignment releases the old share",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             smart_ptr<Tracked> b(new Tracked(2));
             a = b;
             EXPECT_EQ(g_deleted, 1);
             EXPECT_EQ(b.useCount(), 2);
             a = smart_ptr<Tracked>();
             EXPECT_EQ(b.useCount(), 1);
         },
         2},
        {"derived destructor through the base",
         [] {
             smart_ptr<Tracked> a(new DerivedTracked());
             smart_ptr<DerivedTracked> d(new DerivedTracked());
             smart_ptr<Tracked> shared(d);
             EXPECT_EQ(d.useCount(), 2);
         },
         2},
        {"release then destruction deletes nothing while another owner remains",
         [] {
             smart_ptr<Tracked> keeper(new Tracked(1));
             {
                 smart_ptr<Tracked> other(keeper);
                 other.release();
                 EXPECT_EQ(other.useCount(), 0);
                 EXPECT_TRUE(other == nullptr);
                 EXPECT_EQ(keeper.useCount(), 1);
             }
             EXPECT_EQ(g_deleted, 0);
             smart_ptr<Tracked> again(keeper);
             again.release();
             again = smart_ptr<Tracked>(new Tracked(3));  // reassignment after release
             EXPECT_EQ(g_deleted, 0);
             EXPECT_EQ(keeper.useCount(), 1);
         },
         2},
        {"moving hands the share over",
         [] {
             smart_ptr<Tracked> a(new Tracked(1));
             smart_ptr<Tracked> b(std::move(a));
             EXPECT_EQ(b.useCount(), 1);
             EXPECT_EQ(a.useCount(), 0);
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_deleted = 0;
        g_derivedDeleted = 0;
        c.run();
        EXPECT_EQ(g_deleted, c.deleted);
    }
}

TEST_F(SmartPtr, DerivedDestructorRunsThroughTheBasePointer) {
    { smart_ptr<Tracked> a(new DerivedTracked()); }
    EXPECT_EQ(g_derivedDeleted, 1);
    EXPECT_EQ(g_deleted, 1);
}

namespace {

LONG g_countedDeletes = 0;

struct Counted {
    int value = 7;
};
struct CountingDeallocator {
    void operator()(Counted* p) const {
        InterlockedIncrement(&g_countedDeletes);
        delete p;
    }
};
typedef smart_ptr<Counted, CountingDeallocator> CountedPtr;

struct Churn {
    const CountedPtr* source;  // read only by both threads
    volatile LONG* ready;      // both threads spin until both are there
    int rounds;
    int mismatches;
};

DWORD WINAPI churnOwners(void* arg) {
    Churn* c = static_cast<Churn*>(arg);
    InterlockedIncrement(c->ready);
    while (InterlockedCompareExchange(c->ready, 0, 0) < 2) YieldProcessor();
    // Owners kept in a container, so that every copy and release really happens.
    std::vector<CountedPtr> owners;
    owners.reserve(64);
    for (int i = 0; i < c->rounds; ++i) {
        owners.push_back(*c->source);
        if (owners.back()->value != 7) ++c->mismatches;
        if (owners.size() == 64) {
            CountedPtr last;
            last = owners.back();
            owners.clear();
        }
    }
    return 0;
}

}  // namespace

// Owners of one object copied and released on two threads at once: with a
// plain count two increments race and the object dies early (or twice).
TEST_F(SmartPtr, OwnersCopiedOnTwoThreadsDeleteTheObjectOnce) {
    g_countedDeletes = 0;
    {
        CountedPtr origin(new Counted());
        volatile LONG ready = 0;
        Churn work[2] = {{&origin, &ready, 1000000, 0}, {&origin, &ready, 1000000, 0}};
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i) threads[i] = CreateThread(nullptr, 0, churnOwners, &work[i], 0, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, threads, TRUE, 120000));
        for (HANDLE h : threads) CloseHandle(h);
        EXPECT_EQ(0, work[0].mismatches + work[1].mismatches);
        EXPECT_EQ(0, g_countedDeletes);
        EXPECT_EQ(1, origin.useCount());
    }
    EXPECT_EQ(1, g_countedDeletes);
}
