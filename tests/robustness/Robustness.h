// Shared parts of the randomised property harnesses: how many cases to run and from which seed,
// a small deterministic generator, printable forms of inputs, the replay note printed with a
// failure (and by a crash handler), and the one-line summary each harness ends with.
//
// Environment (read once per call):
//   TALVEN_ROBUSTNESS_CASES=<n>  cases per harness instead of the harness's CI count
//   TALVEN_ROBUSTNESS_SEED=<s>   seed instead of the fixed default
//   TALVEN_ROBUSTNESS_CASE=<k>   run only case k (replays one failure)
// Every case draws from its own generator, made from the seed, the harness name and the case
// number, so one case can be replayed without running those before it.
#pragma once

#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace Robustness {

constexpr std::uint64_t DefaultSeed = 20261206;

// The value of an unsigned decimal environment variable, or fallback when unset or malformed.
inline std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    char buffer[32] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) {
        return fallback;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(buffer, &end, 10);
    return end != buffer && *end == '\0' ? value : fallback;
}

inline std::uint64_t Seed() {
    return EnvNumber("TALVEN_ROBUSTNESS_SEED", DefaultSeed);
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
    // Uniform in [low, high].
    std::int64_t Range(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(high - low) + 1));
    }
    // True with probability percent / 100.
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <class T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }
    template <class T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(items.size())];
    }

private:
    std::uint64_t state_;
};

inline std::uint64_t HashName(const char* name) {
    std::uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (; *name; ++name) {
        hash = (hash ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
    }
    return hash;
}

// Printable ASCII as it is, "\" doubled, everything else as \uXXXX (UTF-16 code units, so lone
// surrogates show as they are).
inline std::string Printable(const std::wstring& text) {
    std::string out;
    char buffer[8];
    for (wchar_t c : text) {
        if (c == L'\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c) & 0xFFFF);
            out += buffer;
        }
    }
    return out;
}

// Bytes: printable ASCII as it is, "\" doubled, everything else as \xNN.
inline std::string PrintableBytes(const std::string& bytes) {
    std::string out;
    char buffer[8];
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            out += buffer;
        }
    }
    return out;
}

// The case being run, for the crash handler: a crash has no other way to say what it ran.
struct CurrentCase {
    const char* harness = "";
    std::uint64_t seed = 0;
    std::uint64_t number = 0;
};
inline CurrentCase& Current() {
    static CurrentCase current;
    return current;
}

inline std::string ReplayNote(const char* harness, std::uint64_t seed, std::uint64_t number) {
    return std::string(harness) + ": seed " + std::to_string(seed) + ", case " +
           std::to_string(number) + " (replay: TALVEN_ROBUSTNESS_SEED=" + std::to_string(seed) +
           " TALVEN_ROBUSTNESS_CASE=" + std::to_string(number) + ")";
}

inline LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
    const CurrentCase& c = Current();
    std::fprintf(stderr, "\nCRASH (exception 0x%08lX) in %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 ReplayNote(c.harness, c.seed, c.number).c_str());
    std::fflush(stderr);
    // Ends the process at once: under Wine, the debugger the default handling starts would
    // keep the test waiting until its time-out.
    return EXCEPTION_EXECUTE_HANDLER;
}

// Runs body(rng, caseNumber) for every case of a harness; body returns nothing and reports
// failures through GoogleTest, adding the printed input itself. Stops after the first case
// with a failure, so one fault does not bury the output.
template <class Body>
void RunCases(const char* harness, std::uint64_t ciCases, Body body) {
    const std::uint64_t seed = Seed();
    const std::uint64_t cases = EnvNumber("TALVEN_ROBUSTNESS_CASES", ciCases);
    const std::uint64_t only = EnvNumber("TALVEN_ROBUSTNESS_CASE", ~0ull);
    ::SetUnhandledExceptionFilter(CrashFilter);
    Current().harness = harness;
    Current().seed = seed;
    // A replayed case runs alone, whatever the case count.
    const std::uint64_t first = only != ~0ull ? only : 0;
    const std::uint64_t end = only != ~0ull ? only + 1 : cases;
    for (std::uint64_t number = first; number < end; ++number) {
        Current().number = number;
        Rng rng(seed ^ HashName(harness) ^ (number * 0xD1B54A32D192ED03ull));
        body(rng, number);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << ReplayNote(harness, seed, number);
            return;
        }
    }
}

// Counts outcomes by kind for the closing summary line.
class Tally {
public:
    void Accepted() { ++accepted_; }
    void Refused(const std::string& kind) { ++refused_[kind]; }
    void Other(const std::string& kind) { ++other_[kind]; }

    // "<title>: N cases, A accepted, R refused (kinds: k1 x1, k2 x2)", printed and returned.
    std::string Print(const char* title, std::uint64_t cases) const {
        std::uint64_t refused = 0;
        std::string kinds;
        for (const auto& entry : refused_) {
            refused += entry.second;
            kinds += (kinds.empty() ? "" : ", ") + entry.first + " " + std::to_string(entry.second);
        }
        std::string line = std::string(title) + ": " + std::to_string(cases) + " cases, " +
                           std::to_string(accepted_) + " accepted, " + std::to_string(refused) +
                           " refused (kinds: " + (kinds.empty() ? "none" : kinds) + ")";
        for (const auto& entry : other_) {
            line += ", " + entry.first + " " + std::to_string(entry.second);
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return line;
    }

private:
    std::uint64_t accepted_ = 0;
    std::map<std::string, std::uint64_t> refused_;
    std::map<std::string, std::uint64_t> other_;
};

// The number of cases RunCases runs (for the summary).
inline std::uint64_t CaseCount(std::uint64_t ciCases) {
    return EnvNumber("TALVEN_ROBUSTNESS_CASE", ~0ull) != ~0ull
               ? 1
               : EnvNumber("TALVEN_ROBUSTNESS_CASES", ciCases);
}

} // namespace Robustness
