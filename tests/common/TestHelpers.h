// Small helpers shared by the test suites.
#pragma once

#include "Private/Windows/TalvenWindows.h"
#include "support/TalvenException.h"

#include <cstdint>

// True when the tests run under Wine, for the few checks that must allow for it.
inline bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The code of the TalvenException that f raises, or 0 when it raises none.
template <class F>
std::int32_t ErrorCode(F&& f) {
    try {
        f();
    } catch (const TalvenException& e) {
        return e.code();
    }
    return 0;
}
