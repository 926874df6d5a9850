// The Win32 thread-local slot operations behind tls_data.
#include "support/tls_data.h"

#include "support/TalvenException.h"
#include "support/TalvenWindows.h"

namespace TlsSlot {

std::uint32_t Allocate() {
    const DWORD slot = ::TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) {
        const DWORD error = ::GetLastError();
        throw SystemException::Win32(error);
    }
    return slot;
}

void Release(std::uint32_t slot) noexcept {
    ::TlsFree(slot);
}

void* Get(std::uint32_t slot) noexcept {
    return ::TlsGetValue(slot);
}

void Set(std::uint32_t slot, void* value) {
    if (!::TlsSetValue(slot, value)) {
        const DWORD error = ::GetLastError();
        throw SystemException::Win32(error);
    }
}

} // namespace TlsSlot
