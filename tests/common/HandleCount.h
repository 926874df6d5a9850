// Test support: the number of OS handles this process holds, and the checks that prove an
// operation repeated many times leaks none. GetProcessHandleCount answers 0 under Wine, so the
// count comes from ntdll's system handle table instead. Header-only.
#pragma once

#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TalvenTest {

namespace HandleCountDetail {

// The layouts of the two system handle tables (information classes 64 and 16).
struct ExtendedEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct ExtendedTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    ExtendedEntry entries[1];
};
struct ShortEntry {
    USHORT processId; // the low 16 bits only
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR handleAttributes;
    USHORT handleValue;
    void* object;
    ULONG grantedAccess;
};
struct ShortTable {
    ULONG count;
    ShortEntry entries[1];
};

using QueryFn = LONG(WINAPI*)(ULONG informationClass, void* buffer, ULONG length,
                              ULONG* returnedLength);

// Fills buffer with the table of informationClass; false when the class is not supported.
inline bool QueryTable(ULONG informationClass, std::vector<unsigned char>& buffer) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const FARPROC address = ntdll ? ::GetProcAddress(ntdll, "NtQuerySystemInformation") : nullptr;
    if (!address) {
        return false;
    }
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(address));
    const LONG lengthMismatch = static_cast<LONG>(0xC0000004); // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(64 * 1024);
    for (;;) {
        ULONG needed = 0;
        const LONG status =
            query(informationClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == lengthMismatch) {
            buffer.resize(buffer.size() * 2 + needed);
            continue;
        }
        return status >= 0;
    }
}

} // namespace HandleCountDetail

// The number of handles of this process, or -1 when the system cannot tell. Counts every kind
// of handle (files, find handles, events, ...), so compare counts taken around the code under
// test.
inline long ProcessHandleCount() {
    using namespace HandleCountDetail;
    std::vector<unsigned char> buffer;
    const DWORD self = ::GetCurrentProcessId();
    long count = 0;
    // The extended table carries full process ids; the short one only their low 16 bits.
    if (QueryTable(64, buffer)) {
        const auto* table = reinterpret_cast<const ExtendedTable*>(buffer.data());
        for (ULONG_PTR i = 0; i < table->count; ++i) {
            count += table->entries[i].processId == self ? 1 : 0;
        }
        return count;
    }
    if (QueryTable(16, buffer)) {
        const auto* table = reinterpret_cast<const ShortTable*>(buffer.data());
        for (ULONG i = 0; i < table->count; ++i) {
            count += table->entries[i].processId == static_cast<USHORT>(self) ? 1 : 0;
        }
        return count;
    }
    // Neither table: the documented call, trusted only when it answers at all (Wine's says 0).
    DWORD documented = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &documented) && documented > 0) {
        return static_cast<long>(documented);
    }
    return -1;
}

// Takes the count when made. Code that keeps handles for the process's life on first use (the
// unwinder, the loader's lock, COM, the shell) must have run once before: see
// ExpectNoHandleGrowth. Other threads must have ended before the count is compared.
class HandleLeakCheck {
public:
    HandleLeakCheck() : before_(ProcessHandleCount()) {}

    // Whether this system can count handles; when it cannot, Leaked answers 0.
    bool Counting() const { return before_ >= 0; }
    // How many more handles the process holds now than when made, re-counted for a moment while
    // above: a handle another thread or Wine's server is closing is given time to go.
    long Leaked() const {
        if (before_ < 0) {
            return 0;
        }
        long now = ProcessHandleCount();
        for (int attempt = 0; now > before_ && attempt < 10; ++attempt) {
            ::Sleep(10);
            now = ProcessHandleCount();
        }
        return now - before_;
    }
    // Adds a test failure naming what when Leaked is above 0.
    void Expect(const std::string& what) const {
        const long leaked = Leaked();
        EXPECT_LE(leaked, 0) << what << " leaked handles (" << before_ << " before)";
    }

private:
    long before_;
};

// Runs operation once, so that what it keeps for good on first use is counted, then `times`
// more, and fails when the process then holds more handles than after the first run: a leak
// of one handle per call shows as `times` handles.
template <class Operation>
void ExpectNoHandleGrowth(const std::string& what, Operation&& operation, int times = 20) {
    operation();
    const HandleLeakCheck handles;
    for (int i = 0; i < times; ++i) {
        operation();
    }
    handles.Expect(what + " repeated " + std::to_string(times) + " times");
}

} // namespace TalvenTest
