// Locks: recursion on one thread, exclusion of other threads until the last release, guards
// over null and over any lock class, and the bare section the trace facility uses.
#include "support/CriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

// A bare section must be usable as a zero-initialised static, before any constructor runs.
static_assert(std::is_trivial<TalvenRawCriticalSection>::value, "constant-initialisable");

// Counts the calls a guard makes through the base class.
struct CountingSection : BaseCriticalSection {
    void lock() override { ++locks; }
    void unlock() override { ++unlocks; }
    int locks = 0;
    int unlocks = 0;
};

// The caller holds a lock twice (acquire has run twice on this thread). A second thread tries
// to take it with acquireOther and must stay blocked through the first release and get it only
// after the second.
void ExpectBlockedUntilLastRelease(const std::function<void()>& release,
                                   const std::function<void()>& acquireOther,
                                   const std::function<void()>& releaseOther) {
    std::atomic<bool> started{false};
    std::atomic<bool> entered{false};
    std::thread other([&] {
        started = true;
        acquireOther();
        entered = true;
        releaseOther();
    });
    while (!started) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered) << "entered while held twice";
    release();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered) << "entered while still held once";
    release();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(CriticalSection, NullGuardDoesNothing) {
    // Reaching the end without a crash is the check.
    TalvenAutoCriticalSection guard(nullptr);
    TalvenAutoCriticalSection nested(nullptr);
}

TEST(CriticalSection, GuardLocksOnceAndUnlocksAtScopeEnd) {
    CountingSection section;
    {
        TalvenAutoCriticalSection outer(&section);
        EXPECT_EQ(section.locks, 1);
        {
            TalvenAutoCriticalSection inner(&section);
            EXPECT_EQ(section.locks, 2);
        }
        EXPECT_EQ(section.unlocks, 1);
    }
    EXPECT_EQ(section.locks, 2);
    EXPECT_EQ(section.unlocks, 2);
}

TEST(CriticalSection, BaseLockNeverBlocks) {
    BaseCriticalSection section;
    TalvenAutoCriticalSection guard(&section);
    std::thread other([&] { TalvenAutoCriticalSection otherGuard(&section); });
    other.join();
}

TEST(CriticalSection, NestedGuardsBlockOtherThreadUntilLastOneGoes) {
    TalvenCriticalSection section;
    BaseCriticalSection* lock = &section; // through the base, as library code holds it
    std::optional<TalvenAutoCriticalSection> outer(std::in_place, lock);
    std::optional<TalvenAutoCriticalSection> inner(std::in_place, lock); // must not deadlock
    std::optional<TalvenAutoCriticalSection> otherGuard;
    ExpectBlockedUntilLastRelease([&] { (inner ? inner : outer).reset(); },
                                  [&] { otherGuard.emplace(lock); }, [&] { otherGuard.reset(); });
}

TEST(CriticalSection, ExcludesUnderContention) {
    TalvenCriticalSection section;
    long counter = 0; // deliberately not atomic
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                TalvenAutoCriticalSection guard(&section);
                long seen = counter;
                std::this_thread::yield(); // widens the window a lost update needs
                counter = seen + 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 4 * 5000);
}

TEST(CriticalSection, BareSectionIsRecursiveAndExclusive) {
    static TalvenRawCriticalSection section; // a static, as the trace lock is
    TalvenInitializeCriticalSection(section);
    TalvenEnterCriticalSection(section);
    {
        TalvenRawSectionGuard nested(section); // must not deadlock
    }
    TalvenEnterCriticalSection(section);
    ExpectBlockedUntilLastRelease([&] { TalvenLeaveCriticalSection(section); },
                                  [&] { TalvenEnterCriticalSection(section); },
                                  [&] { TalvenLeaveCriticalSection(section); });
    TalvenDeleteCriticalSection(section);
}

} // namespace
