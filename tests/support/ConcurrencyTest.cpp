// Thread support: locks (recursion, exclusion until the last release, the bare section the trace
// facility uses), per-thread storage, and CountedPtr's shared count.
#include "support/CountedPtr.h"
#include "support/CriticalSection.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/tls_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

// A bare section must be usable as a zero-initialised static, before any constructor runs.
static_assert(std::is_trivial<TalvenRawCriticalSection>::value, "constant-initialisable");

// Runs body(t) on count threads that start together.
template <class Body>
void OnThreads(int count, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([&, t] {
            for (++ready; ready < count; std::this_thread::yield()) {
            }
            body(t);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// Held twice, the bare section keeps another thread out until the second release; guards
// exclude under contention.
TEST(CriticalSection, SectionsAreRecursiveAndExcludeOtherThreadsUntilTheLastRelease) {
    static TalvenRawCriticalSection section; // a static, as the trace lock is
    TalvenInitializeCriticalSection(section);
    TalvenEnterCriticalSection(section);
    TalvenRawSectionGuard{section}; // a nested guard must not deadlock
    TalvenEnterCriticalSection(section);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        TalvenRawSectionGuard guard(section);
        entered = true;
    });
    for (const char* state : {"held twice", "still held once"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(entered) << "entered while " << state;
        TalvenLeaveCriticalSection(section);
    }
    other.join();
    EXPECT_TRUE(entered);
    TalvenDeleteCriticalSection(section);

    TalvenCriticalSection guarded;
    BaseCriticalSection* lock = &guarded; // through the base, as library code holds it
    long counter = 0;                     // deliberately not atomic
    OnThreads(4, [&](int) {
        for (int i = 0; i < 5000; ++i) {
            TalvenAutoCriticalSection guard(lock), nested(lock); // must not deadlock
            long seen = counter;
            std::this_thread::yield(); // widens the window a lost update needs
            counter = seen + 1;
        }
    });
    EXPECT_EQ(counter, 4 * 5000);
    // The base lock never blocks, and a null guard does nothing.
    BaseCriticalSection base;
    TalvenAutoCriticalSection guard(&base), none(nullptr);
    OnThreads(1, [&](int) { TalvenAutoCriticalSection otherGuard(&base); });
}

// Counts live instances, to see when blocks are made and freed.
struct Tracked {
    static inline std::atomic<int> live{0};
    Tracked() { ++live; }
    Tracked(const Tracked& other) : value(other.value) { ++live; }
    virtual ~Tracked() { --live; }
    std::string value = "default";
};
struct Derived : Tracked {};

TEST(TlsData, ThreadsMakeOwnBlocksAtOnceThatLiveUntilTheStorageGoes) {
    Tracked::live = 0;
    {
        tls_data<Tracked> storage(2, Tracked());
        EXPECT_EQ(Tracked::live, 1) << "only the default value before any access";
        EXPECT_THROW(storage[2], std::out_of_range);
        EXPECT_THROW(storage[0xFFFFFFFFu], std::out_of_range);
        storage[0].value = "main";
        std::atomic<int> distinct{0};
        OnThreads(9, [&](int t) { // all make their blocks at once
            storage[1].value = "thread " + std::to_string(t);
            distinct +=
                storage[0].value == "default" && storage[1].value == "thread " + std::to_string(t);
        });
        EXPECT_EQ(distinct, 9);
        EXPECT_EQ(Tracked::live, 1 + 10 * 2) << "ended threads keep their blocks";
        EXPECT_EQ(storage[0].value + storage[1].value, "maindefault");
    }
    EXPECT_EQ(Tracked::live, 0) << "the storage frees every block";

    // No TLS slot left: Win32 error, and the slots work again once freed.
    std::vector<DWORD> taken;
    for (DWORD slot; taken.size() < 10000 && (slot = ::TlsAlloc()) != TLS_OUT_OF_INDEXES;) {
        taken.push_back(slot);
    }
    EXPECT_THROW(tls_data<int>(1, 0), SystemException::Win32);
    for (DWORD slot : taken) {
        ::TlsFree(slot);
    }
    EXPECT_NO_THROW(tls_data<int>(1, 0));
}

TEST(CountedPtr, SharedOnManyThreadsAndDeletedAtTheLastRelease) {
    Tracked::live = 0;
    CountedPtr<Derived> derived(new Derived);
    CountedPtr<Tracked> shared = derived;
    EXPECT_EQ(shared.DynamicCast<Derived>().Get(), derived.Get());
    derived.Reset();
    OnThreads(8, [&](int) {
        for (int i = 0; i < 20000; ++i) {
            CountedPtr<Tracked> copy = shared, moved = std::move(copy);
        }
    });
    EXPECT_EQ(shared.UseCount(), 1);
    shared.Reset(new Tracked);
    EXPECT_TRUE(Tracked::live == 1 && shared.DynamicCast<Derived>().IsNull());
    shared.Reset(static_cast<Tracked*>(nullptr));
    EXPECT_EQ(shared.UseCount() + Tracked::live, 0);
}

} // namespace
