// The run-time binding behind FileSystem_Win32::API and FileSystem_Win32::Bound: one
// process-wide slot per function that starts at a loader and, after the first call, points at
// the function found by name or at a fallback that fails with last error 120. Internal to the
// Windows implementation; tests use Slot with their own descriptions to reach the machinery.
#pragma once

#include "support/TalvenWindows.h"

#include <atomic>
#include <type_traits>

namespace FileSystem_Win32 {
namespace Binding {

// The system library a function belongs to on the NT family.
enum class Library { Kernel32, User32, Shell32 };

// What the fallback of an unbindable function returns (always with last error 120).
enum class Failure {
    Zero,          // FALSE, 0, a null handle or pointer
    InvalidHandle, // INVALID_HANDLE_VALUE
    Custom         // the description's own Fallback function
};

// True when the kernel is NT's: the loaded "ntdll.dll" exports "LdrUnloadDll". Unlike
// SystemFamily::IsWindows9x (what the OS reports, which Wine can set per program), this asks
// where the wide functions live. Decided once per process. Never raises.
bool IsNtFamily();

// The address of the function called name: on the NT family from library, on the Windows 9x
// family from "unicows.dll". Each library is loaded once per process and kept to the end.
// nullptr when the library cannot be loaded or does not export name. Never raises.
FARPROC Resolve(const char* name, Library library);

// A slot for the function described by Description, which provides:
//   using Fn = <the function-pointer type, with WINAPI>;
//   static constexpr const char* Name = "<exported name>";
//   static constexpr Library Lib = ...;
//   static constexpr Failure OnFailure = ...;
//   static <result> WINAPI Fallback(<arguments>);   // only with Failure::Custom
// Only function-pointer types with the WINAPI calling convention match, so a description that
// forgets it does not compile on 32-bit.
template <class Description, class Fn = typename Description::Fn>
class Slot;

template <class Description, class R, class... A>
class Slot<Description, R(WINAPI*)(A...)> {
public:
    using Fn = R(WINAPI*)(A...);

    // Calls through the slot; the first call binds it. Never raises.
    static R Call(A... args) { return slot_.load(std::memory_order_acquire)(args...); }

    // Whether the slot has been bound (to the function or to its fallback).
    static bool IsBound() { return slot_.load(std::memory_order_acquire) != &Loader; }

private:
    static R WINAPI Loader(A... args) {
        Fn function = reinterpret_cast<Fn>(
            reinterpret_cast<void (*)()>(Resolve(Description::Name, Description::Lib)));
        if (!function) {
            if constexpr (Description::OnFailure == Failure::Custom) {
                function = &Description::Fallback;
            } else {
                function = &Fallback;
            }
        }
        // Two threads resolving at once store the same value; either store leaves a usable slot.
        slot_.exchange(function, std::memory_order_acq_rel);
        return function(args...);
    }

    static R WINAPI Fallback(A...) {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        if constexpr (Description::OnFailure == Failure::InvalidHandle) {
            return INVALID_HANDLE_VALUE;
        } else {
            return R();
        }
    }

    static_assert(std::is_same<decltype(&Loader), Fn>::value, "loader matches the slot");

    static inline std::atomic<Fn> slot_{&Loader};
};

} // namespace Binding
} // namespace FileSystem_Win32
