// Exceptions (codes, messages, stack walks, what() in ANSI, clone(), raise(), causes) and thread
// support (locks, the trace facility's bare section, per-thread storage, CountedPtr's count).
#include "support/TalvenException.h"
#include "support/CountedPtr.h"
#include "support/CriticalSection.h"
#include "support/StackWalker.h"

#include "common/TestHelpers.h"
#include "support/TalvenWindows.h"
#include "support/tls_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace {

namespace Sys = SystemException;
const auto Hr = [](std::uint32_t value) { return Sys::HRESULT(static_cast<std::int32_t>(value)); };

const auto Text = [](const ByteString& bytes) { return TextConvert::Chars(bytes); };

// A TalvenException whose message accessor fails, to reach the conversion's failure path.
struct BrokenException : TalvenException {
    BrokenException() : TalvenException(TalvenText("broken")) {}
    const ByteString& message() const override { throw std::runtime_error("no message"); }
};

struct CountingWalker : StackWalker::StackWalker_IF {
    void walk() override { ++calls; }
    int calls = 0;
};

// Every row's construction walks the stack once, except the conversions and copies.
TEST(TalvenException, CodesMessagesStackWalksCloneRaiseAndCause) {
    CountingWalker* walker = new CountingWalker;
    StackWalker::setInstance(CountedPtr<StackWalker::StackWalker_IF>(walker));
    const std::string denied = Text(TextConvert::WideToUtf8(Sys::Win32Message(5)));
    ASSERT_TRUE(!denied.empty() && denied.find_last_of("\r\n") == std::string::npos) << denied;
    TalvenException withNote(FileException::VolumeFull);
    withNote.setNote("while writing");
    // No system text for 0xBC614E; a facility-7 HRESULT skips WMERROR/NETMSG.DLL (not in Wine).
    const std::tuple<TalvenException, std::int32_t, std::string> rows[] = {
        {TalvenException(".\\Private\\FileSpec", 81), -2,
         "internal software error: .\\Private\\FileSpec, line 81"},
        {exceptionFromCode(-10005), -10005, "file not found"},
        {exceptionFromCode(12345), 12345, "unknown error: 12345"},
        {exceptionFromCode(-13), -13, "unknown error: -13"},
        {TalvenException{std::bad_alloc()}, -1, "memory allocation error"},
        {TalvenException{std::runtime_error("x")}, -3, "runtime error: x"},
        {TalvenException(static_cast<const std::exception&>(withNote)), -10011, "volume full"},
        {TalvenException(static_cast<const std::exception&>(BrokenException())), -1, ""},
        {Sys::MMRESULT(11), -15, "operating system error: MMRESULT = 0x0000000B"},
        {Sys::Errno(2), -11, "operating system error: number = 2 - No such file or directory"},
        {Sys::Win32(5), -12, "operating system error: number = 0x00000005 - " + denied},
        {Sys::Win32(12345678), -12, "operating system error: number = 0x00BC614E - n/a"},
        {Hr(0x80070005), -14, "operating system error: HRESULT = 0x80070005 - " + denied},
        {Hr(0xA0DE0001), -14,
         "operating system error: HRESULT = 0xA0DE0001 - "}, // no text at all, not "n/a"
        {FileException(FileException::FileNotFound, TextConvert::Bytes("C:\\a")), -10005,
         "file not found"},
        // An OS error without a kind: the base is the system exception itself (one walk).
        {FileException(Sys::Win32(12345678), ByteString(), nullptr), -12,
         "operating system error: number = 0x00BC614E - n/a"},
    };
    EXPECT_EQ(walker->calls, 16); // withNote and each row, but row 6, a mere conversion
    for (const auto& [e, code, message] : rows) {
        EXPECT_EQ(e.code(), code);
        EXPECT_EQ(Text(e.message()), message);
        EXPECT_EQ(e.what(), message); // ASCII: the same in the ANSI code page
    }
    EXPECT_EQ(std::get<0>(rows[6]).note(), "while writing");
    EXPECT_EQ(Text(Sys::Errno(-1).message()).substr(0, 38),
              "operating system error: number = -1 - ");
    TalvenException assigned(TalvenException::UnknownError);
    assigned = withNote;
    EXPECT_TRUE(assigned.code() == -10011 && assigned.note() == "while writing");
    EXPECT_THROW(std::unique_ptr<TalvenException>(assigned.clone())->raise(), TalvenException);
    EXPECT_EQ(walker->calls, 18); // the two made since
    StackWalker::setInstance(CountedPtr<StackWalker::StackWalker_IF>());

    // clone() and raise() keep a system exception's type; a FileException raises a plain one.
    const auto expectOwnType = [](const auto& e) {
        try {
            std::unique_ptr<TalvenException>(e.clone())->raise();
            ADD_FAILURE() << "raise() returned";
        } catch (const std::decay_t<decltype(e)>& raised) {
            EXPECT_EQ(raised.number(), e.number());
        }
    };
    expectOwnType(Sys::Errno(13)), expectOwnType(Sys::Win32(2u));
    expectOwnType(Hr(0x80004005)), expectOwnType(Sys::MMRESULT(11u));
    CountedPtr<TalvenException> cause(new Sys::Win32(2));
    FileException e(FileException::FileNotFound, TextConvert::Bytes("C:\\a\\b.txt"), cause);
    EXPECT_EQ(Text(e.path()), "C:\\a\\b.txt");
    {
        const FileException copy(e);
        std::unique_ptr<TalvenException> clone(e.clone());
        EXPECT_EQ(static_cast<FileException*>(clone.get())->cause(), cause.Get());
        EXPECT_EQ(cause.UseCount(), 4); // shared by e, the copy and the clone
    }
    EXPECT_EQ(cause.UseCount(), 2);
    e.setNote("kept");
    try {
        e.raise();
    } catch (const TalvenException& raised) {
        EXPECT_TRUE(DynamicType(&raised) == typeid(TalvenException) && raised.code() == -10005);
        EXPECT_EQ(raised.note(), "kept");
    }
}

TEST(TalvenException, WhatIsInTheAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "expects the Western code page 1252";
    }
    // what() of a standard exception is ANSI; the message holds it as UTF-8.
    EXPECT_EQ(Text(TalvenException{std::logic_error("gr\xFC\xDF")}.message()),
              "runtime error: gr\xC3\xBC\xC3\x9F");
    TalvenException e(TalvenText("gr\xC3\xBC\xC3\x9F \xD0\x96"));
    const char* first = e.what();
    // U+0416 has no place in code page 1252 and becomes its default character.
    EXPECT_STREQ(first, "gr\xFC\xDF ?");
    EXPECT_STREQ(e.what(), first);
}

// A bare section must work as a zero-initialised static, before any constructor runs.
static_assert(std::is_trivial<TalvenRawCriticalSection>::value, "constant-initialisable");

// Runs body(t) on count threads that start together.
const auto OnThreads = [](int count, auto body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back([&, t] {
            for (++ready; ready < count; std::this_thread::yield()) {
            }
            body(t);
        });
    }
    std::for_each(threads.begin(), threads.end(), std::mem_fn(&std::thread::join));
};

// Counts live instances, to see when blocks are made and freed.
struct Tracked {
    static inline std::atomic<int> live{0};
    Tracked() { ++live; }
    Tracked(const Tracked& other) : value(other.value) { ++live; }
    virtual ~Tracked() { --live; }
    std::string value = "default";
};
struct Derived : Tracked {};

// Held twice, a bare section excludes until the last release; per-thread blocks outlive threads.
TEST(ThreadSupport, LocksPerThreadStorageAndSharedCounts) {
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
    std::for_each(taken.begin(), taken.end(), ::TlsFree);
    EXPECT_NO_THROW(tls_data<int>(1, 0));

    // CountedPtr: shared on many threads, deleted at the last release.
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
