// CountedPtr: sharing, release at the last owner, conversions and thread-safe counting.
#include "support/CountedPtr.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Tracked {
    explicit Tracked(int* alive) : alive_(alive) { ++*alive_; }
    virtual ~Tracked() { --*alive_; }
    int* alive_;
};
struct Derived : Tracked {
    using Tracked::Tracked;
};

static_assert(sizeof(CountedPtr<Tracked>) == 2 * sizeof(void*), "two words");

TEST(CountedPtr, SharesAndDeletesAtLastRelease) {
    int alive = 0;
    {
        CountedPtr<Tracked> a(new Tracked(&alive));
        EXPECT_EQ(a.UseCount(), 1);
        {
            CountedPtr<Tracked> b = a;
            EXPECT_EQ(a.UseCount(), 2);
            EXPECT_EQ(a.Get(), b.Get());
        }
        EXPECT_EQ(alive, 1);
        a.Reset(new Tracked(&alive));
        EXPECT_EQ(alive, 1);
        EXPECT_EQ(a.UseCount(), 1);
    }
    EXPECT_EQ(alive, 0);
}

TEST(CountedPtr, EmptyAndNullBehaveAlike) {
    CountedPtr<Tracked> empty;
    CountedPtr<Tracked> fromNull(static_cast<Tracked*>(nullptr));
    EXPECT_TRUE(empty.IsNull());
    EXPECT_TRUE(fromNull.IsNull());
    EXPECT_EQ(fromNull.UseCount(), 0);
    EXPECT_TRUE(empty == fromNull);
}

TEST(CountedPtr, ConvertsAndCastsSharingOneCount) {
    int alive = 0;
    {
        CountedPtr<Derived> derived(new Derived(&alive));
        CountedPtr<Tracked> base = derived;
        CountedPtr<Derived> back = base.DynamicCast<Derived>();
        EXPECT_EQ(derived.UseCount(), 3);
        EXPECT_EQ(back.Get(), derived.Get());
        derived.Reset();
        back.Reset();
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);
}

TEST(CountedPtr, CopiesOnManyThreadsKeepTheCountExact) {
    int alive = 0;
    CountedPtr<Tracked> shared(new Tracked(&alive));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                CountedPtr<Tracked> copy = shared;
                CountedPtr<Tracked> moved = std::move(copy);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(shared.UseCount(), 1);
    shared.Reset();
    EXPECT_EQ(alive, 0);
}

} // namespace
