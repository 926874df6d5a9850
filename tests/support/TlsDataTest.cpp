// Per-thread storage: index checks, values of one thread invisible to others, blocks that
// outlive their threads until the storage goes, and the failure when no TLS slot is left.
#include "support/tls_data.h"

#include "support/TalvenException.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(TlsData, IndexAtOrBeyondTheCountThrows) {
    tls_data<std::uint32_t> storage(1, 0);
    EXPECT_NO_THROW(storage[0]);
    for (std::uint32_t index : {1u, 2u, 0xFFFFFFFFu}) {
        try {
            storage[index];
            ADD_FAILURE() << "index " << index << " was accepted";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "tls_data::operator[index] - invalid index");
        }
    }
}

TEST(TlsData, EachThreadHasItsOwnValues) {
    tls_data<int> storage(3, 7);
    storage[0] = 1;
    storage[2] = 3;
    std::vector<int> seen;
    std::thread other([&] {
        seen = {storage[0], storage[1], storage[2]};
        storage[1] = 99;
        storage[1] += 1;
        seen.push_back(storage[1]);
    });
    other.join();
    EXPECT_EQ(seen, (std::vector<int>{7, 7, 7, 100}));
    EXPECT_EQ(storage[0], 1);
    EXPECT_EQ(storage[1], 7);
    EXPECT_EQ(storage[2], 3);
}

// Counts live instances, to see when blocks are made and freed.
struct Tracked {
    static inline std::atomic<int> live{0};
    Tracked() { ++live; }
    Tracked(const Tracked& other) : value(other.value) { ++live; }
    ~Tracked() { --live; }
    std::string value = "default";
};

TEST(TlsData, BlocksOutliveTheirThreadsUntilTheStorageGoes) {
    Tracked::live = 0;
    {
        tls_data<Tracked> storage(2, Tracked());
        EXPECT_EQ(Tracked::live, 1) << "only the default value before any access";
        std::vector<std::thread> threads;
        std::atomic<bool> go{false};
        std::atomic<int> distinct{0};
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                while (!go) {
                    std::this_thread::yield();
                }
                // All threads make their blocks at the same time.
                storage[1].value = "thread " + std::to_string(i);
                if (storage[0].value == "default" &&
                    storage[1].value == "thread " + std::to_string(i)) {
                    ++distinct;
                }
            });
        }
        go = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(distinct, 8);
        EXPECT_EQ(Tracked::live, 1 + 8 * 2) << "ended threads keep their blocks";
        EXPECT_EQ(storage[1].value, "default");
        EXPECT_EQ(Tracked::live, 1 + 9 * 2);
    }
    EXPECT_EQ(Tracked::live, 0) << "the storage frees every block";
}

TEST(TlsData, NoSlotLeftRaisesWin32) {
    std::vector<DWORD> taken;
    for (int i = 0; i < 10000; ++i) {
        const DWORD slot = ::TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES) {
            break;
        }
        taken.push_back(slot);
    }
    bool raised = false;
    try {
        tls_data<int> storage(1, 0);
    } catch (const SystemException::Win32& error) {
        raised = true;
        EXPECT_NE(error.number(), 0u);
    }
    for (DWORD slot : taken) {
        ::TlsFree(slot);
    }
    EXPECT_TRUE(raised);
    EXPECT_NO_THROW(tls_data<int>(1, 0)) << "slots are usable again once freed";
}

} // namespace
