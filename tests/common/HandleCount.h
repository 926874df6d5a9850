// Test support: the number of OS handles this process holds, for tests that prove a loop of
// operations leaks none. GetProcessHandleCount answers 0 under Wine, so the count comes from
// ntdll's system handle table instead. Header-only, so every suite can use it as it stands.
#pragma once

#include "support/TalvenWindows.h"

#include <cstdint>
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

} // namespace TalvenTest
