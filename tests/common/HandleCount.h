// Test support: the number of OS handles this process holds, and the checks that prove an
// operation repeated many times leaks none. Header-only.
#pragma once

#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace TalvenTest {

// The handles of this process (of every kind), or -1 when the system cannot tell. Under Wine
// GetProcessHandleCount answers 0: the count comes from ntdll's extended handle table.
inline long ProcessHandleCount() {
    DWORD documented = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &documented) && documented > 0) {
        return static_cast<long>(documented);
    }
    struct Entry {
        void* object;
        ULONG_PTR processId;
        ULONG_PTR handleValue;
        ULONG grantedAccess;
        USHORT creatorBackTraceIndex;
        USHORT objectTypeIndex;
        ULONG handleAttributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const FARPROC address =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (!address) {
        return -1;
    }
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(address));
    std::vector<unsigned char> buffer(64 * 1024);
    LONG status;
    ULONG needed = 0;
    // 64: SystemExtendedHandleInformation; 0xC0000004: STATUS_INFO_LENGTH_MISMATCH.
    while ((status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<LONG>(0xC0000004)) {
        buffer.resize(buffer.size() * 2 + needed);
    }
    if (status < 0) {
        return -1;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        count += table->entries[i].processId == ::GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

// Takes the count when made; what keeps handles for good on first use must have run once
// before (see ExpectNoHandleGrowth), and other threads must have ended before Leaked.
class HandleLeakCheck {
public:
    HandleLeakCheck() : before_(ProcessHandleCount()) {}

    // How many more handles the process holds now (0 when it cannot count), re-counted for a
    // moment while above: Wine's server may still be closing one.
    long Leaked() const {
        long now = ProcessHandleCount();
        for (int attempt = 0; before_ >= 0 && now > before_ && attempt < 10; ++attempt) {
            ::Sleep(10);
            now = ProcessHandleCount();
        }
        return before_ < 0 ? 0 : now - before_;
    }
    void Expect(const std::string& what) const {
        EXPECT_LE(Leaked(), 0) << what << " leaked handles (" << before_ << " before)";
    }

private:
    long before_;
};

// Runs operation once (what it keeps for good on first use is then counted), then `times` more,
// and fails when the process then holds more handles than after the first run.
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
