// Test support: generator-driven cases: a small deterministic generator, the case count (short
// in the test run, long with TALVEN_LONG_RUN=1, or TALVEN_ROBUSTNESS_CASES), and the replay note
// of the first failing case. Each case has a generator of its own, made from the seed
// (TALVEN_ROBUSTNESS_SEED), the test's name and the case number, so TALVEN_ROBUSTNESS_CASE=<k>
// replays case k alone.
#pragma once

#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace TalvenTest {

// The value of an unsigned decimal environment variable, or fallback when unset or malformed.
inline std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    char buffer[32] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(buffer, &end, 10);
    return length > 0 && length < sizeof buffer && end != buffer && *end == '\0' ? value : fallback;
}

// SplitMix64: tiny, fast, and good enough to spread cases over the input space.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, bound); 0 for bound 0.
    std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
    // True with probability percent / 100.
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    std::uint64_t state_;
};

// The replay note of the case being run, for a crash, which has no other way to say what it ran.
inline std::string& CurrentCaseNote() {
    static std::string note;
    return note;
}
inline LONG WINAPI ReportCrashedCase(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "\nCRASH (exception 0x%08lX) in %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 CurrentCaseNote().c_str());
    // Ends the process at once: under Wine the debugger would keep the test waiting.
    return EXCEPTION_EXECUTE_HANDLER;
}

// Runs body(rng, caseNumber) for shortCases cases, or longCases in the long run, and stops at
// the first case with a failure, adding the note that replays it. Prints one summary line.
template <class Body>
void ForEachGeneratedCase(const char* name, std::uint64_t shortCases, std::uint64_t longCases,
                          Body body) {
    const std::uint64_t seed = EnvNumber("TALVEN_ROBUSTNESS_SEED", 20261206);
    const std::uint64_t cases = EnvNumber("TALVEN_ROBUSTNESS_CASES",
                                          EnvNumber("TALVEN_LONG_RUN", 0) ? longCases : shortCases);
    const std::uint64_t only = EnvNumber("TALVEN_ROBUSTNESS_CASE", ~0ull);
    std::uint64_t nameHash = 1469598103934665603ull; // FNV-1a
    for (const char* c = name; *c; ++c) {
        nameHash = (nameHash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    }
    const std::uint64_t first = only != ~0ull ? only : 0;
    const std::uint64_t end = only != ~0ull ? only + 1 : cases;
    ::SetUnhandledExceptionFilter(ReportCrashedCase);
    for (std::uint64_t number = first; number < end; ++number) {
        CurrentCaseNote() = std::string(name) + ": seed " + std::to_string(seed) + ", case " +
                            std::to_string(number) +
                            " (replay: TALVEN_ROBUSTNESS_SEED=" + std::to_string(seed) +
                            " TALVEN_ROBUSTNESS_CASE=" + std::to_string(number) + ")";
        Rng rng(seed ^ nameHash ^ (number * 0xD1B54A32D192ED03ull));
        body(rng, number);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << CurrentCaseNote();
            return;
        }
    }
    std::printf("[generated] %s: %llu cases from seed %llu\n", name,
                static_cast<unsigned long long>(end - first),
                static_cast<unsigned long long>(seed));
}

} // namespace TalvenTest
