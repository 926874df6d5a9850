// Small helpers shared by the test suites.
#pragma once

#include "Private/FilePath.h"
#include "support/ByteString.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"

#include <cstdint>
#include <string>
#include <typeinfo>

// True when the tests run under Wine, for the few checks that must allow for it.
inline bool UnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Text and paths as narrow UTF-8 strings, for comparisons and messages.
inline std::string Narrow(const std::wstring& text) {
    return TextConvert::Chars(TextConvert::WideToUtf8(text));
}
inline std::string Narrow(const FilePath& path) {
    return TextConvert::Chars(path.GetBytes());
}

// The dynamic type of the object pointer points to (named first: typeid of a dereference in
// place is evaluated, which compilers warn about).
template <class Pointer>
const std::type_info& DynamicType(const Pointer& pointer) {
    const auto& object = *pointer;
    return typeid(object);
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
