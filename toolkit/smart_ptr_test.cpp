// Shared ownership: counts, deletions and the assignment rules.
#include <gtest/gtest.h>

#include "toolkit/smart_ptr.h"

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
