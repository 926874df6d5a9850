// Locks for mutual exclusion between threads of one process: a do-nothing base, the Win32
// critical section behind it, the name library code uses, a scoped guard, and a bare
// process-wide section with a scoped guard for code that must run before or after every
// static constructor (the trace facility). No Win32 types appear here: the section is kept in
// opaque storage whose size and alignment the implementation checks against CRITICAL_SECTION.
#pragma once

#include <cstddef>
#include <cstdint>

// Storage for one Win32 CRITICAL_SECTION: four pointer-sized fields and two 32-bit counts.
struct TalvenRawCriticalSection {
    static constexpr std::size_t StorageSize = 4 * sizeof(void*) + 2 * sizeof(std::int32_t);
    alignas(void*) unsigned char storage[StorageSize];
};

// Thin operations on a bare section. It has no constructor or destructor, so a static one is
// zero-initialised before any code runs; the owner initialises it once before first use and
// deletes it once after last use. Recursive: the owning thread may enter again and must leave
// as many times. None of these reports an error.
void TalvenInitializeCriticalSection(TalvenRawCriticalSection& section);
void TalvenDeleteCriticalSection(TalvenRawCriticalSection& section);
// Blocks until the calling thread owns the section.
void TalvenEnterCriticalSection(TalvenRawCriticalSection& section);
// Only the owning thread may leave, once for every enter.
void TalvenLeaveCriticalSection(TalvenRawCriticalSection& section);

// Holds a bare section (entered on construction, left on destruction) for one scope.
class TalvenRawSectionGuard {
public:
    explicit TalvenRawSectionGuard(TalvenRawCriticalSection& section);
    ~TalvenRawSectionGuard();
    TalvenRawSectionGuard(const TalvenRawSectionGuard&) = delete;
    TalvenRawSectionGuard& operator=(const TalvenRawSectionGuard&) = delete;

private:
    TalvenRawCriticalSection& section_;
};

// A lock that never blocks: lock and unlock do nothing. The root of the lock classes, so code
// can take any of them through a pointer to this class.
class BaseCriticalSection {
public:
    BaseCriticalSection() = default;
    virtual ~BaseCriticalSection();
    // Enters the section; here it does nothing. Never raises.
    virtual void lock();
    // Leaves the section; here it does nothing. Never raises.
    virtual void unlock();
};

// A recursive lock on a Win32 critical section owned by the object. It must not be destroyed
// while a thread holds it or a guard refers to it. Not copyable.
class WinCriticalSection : public BaseCriticalSection {
public:
    WinCriticalSection();
    ~WinCriticalSection() override;
    WinCriticalSection(const WinCriticalSection&) = delete;
    WinCriticalSection& operator=(const WinCriticalSection&) = delete;

    // Blocks until the calling thread owns the section; the owner may lock again without
    // blocking. Never raises.
    void lock() override;
    // Releases one lock of the calling thread, which must own the section. Never raises.
    void unlock() override;

private:
    TalvenRawCriticalSection section_;
};

// The lock that library code instantiates.
class TalvenCriticalSection : public WinCriticalSection {
public:
    TalvenCriticalSection() = default;
};

// Locks a section for the guard's lifetime. The section is not owned and may be null, in which
// case the guard does nothing. Guards nest last-in, first-out. Not copyable, so a section is
// never unlocked twice for one lock.
class TalvenAutoCriticalSection {
public:
    explicit TalvenAutoCriticalSection(BaseCriticalSection* section);
    virtual ~TalvenAutoCriticalSection();
    TalvenAutoCriticalSection(const TalvenAutoCriticalSection&) = delete;
    TalvenAutoCriticalSection& operator=(const TalvenAutoCriticalSection&) = delete;

private:
    BaseCriticalSection* section_;
};
