// Win32 critical sections behind the lock classes and the bare process-wide section.
#include "support/CriticalSection.h"

#include "support/TalvenWindows.h"

#include <new>

// The header keeps <windows.h> out, so the opaque storage must be checked here on both
// architectures.
static_assert(sizeof(CRITICAL_SECTION) <= TalvenRawCriticalSection::StorageSize,
              "storage too small for CRITICAL_SECTION");
static_assert(alignof(CRITICAL_SECTION) <= alignof(TalvenRawCriticalSection),
              "storage under-aligned for CRITICAL_SECTION");

namespace {

CRITICAL_SECTION* Native(TalvenRawCriticalSection& section) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(section.storage));
}

} // namespace

void TalvenInitializeCriticalSection(TalvenRawCriticalSection& section) {
    // Placement-new starts the lifetime of the (trivial) Win32 structure in the byte storage.
    InitializeCriticalSection(::new (static_cast<void*>(section.storage)) CRITICAL_SECTION);
}

void TalvenDeleteCriticalSection(TalvenRawCriticalSection& section) {
    DeleteCriticalSection(Native(section));
}

void TalvenEnterCriticalSection(TalvenRawCriticalSection& section) {
    EnterCriticalSection(Native(section));
}

void TalvenLeaveCriticalSection(TalvenRawCriticalSection& section) {
    LeaveCriticalSection(Native(section));
}

TalvenRawSectionGuard::TalvenRawSectionGuard(TalvenRawCriticalSection& section)
    : section_(section) {
    TalvenEnterCriticalSection(section_);
}

TalvenRawSectionGuard::~TalvenRawSectionGuard() {
    TalvenLeaveCriticalSection(section_);
}

BaseCriticalSection::~BaseCriticalSection() = default;

void BaseCriticalSection::lock() {}

void BaseCriticalSection::unlock() {}

WinCriticalSection::WinCriticalSection() : section_() {
    TalvenInitializeCriticalSection(section_);
}

WinCriticalSection::~WinCriticalSection() {
    TalvenDeleteCriticalSection(section_);
}

void WinCriticalSection::lock() {
    TalvenEnterCriticalSection(section_);
}

void WinCriticalSection::unlock() {
    TalvenLeaveCriticalSection(section_);
}

TalvenAutoCriticalSection::TalvenAutoCriticalSection(BaseCriticalSection* section)
    : section_(section) {
    if (section_ != nullptr) {
        section_->lock();
    }
}

TalvenAutoCriticalSection::~TalvenAutoCriticalSection() {
    if (section_ != nullptr) {
        section_->unlock();
    }
}
