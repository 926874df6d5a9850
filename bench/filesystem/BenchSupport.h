// Shared pieces of the file-system benchmarks: a QueryPerformanceCounter stopwatch, best-of-N
// timing and the result table (operation, our time, reference times, ratios). The scratch folder
// is the tests' TestFolder.
#pragma once

#include "common/TestFolder.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Bench {

inline double Now() {
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / ticksPerSecond;
}

// Seconds for one call of body(): `repeat` calls, the best of `runs` runs.
inline double BestOf(int runs, long repeat, const std::function<void()>& body) {
    double best = 1e300;
    for (int run = 0; run < runs; ++run) {
        const double start = Now();
        for (long i = 0; i < repeat; ++i) {
            body();
        }
        best = std::min(best, (Now() - start) / static_cast<double>(repeat));
    }
    return best;
}

// Which run of several counts: the best is the one least disturbed by the other processes of a
// shared machine; the median is steadier when parts of one operation are compared with it.
enum class Pick { Best, Median };

// Seconds for one call of each short body. Each body gets a repeat count that makes one run
// take about `runSeconds`; then the bodies take turns, run after run, and each keeps its best
// (or median) run. Taking turns means that a change in the load of a shared machine hits all of
// them alike, so their ratios hold even when the absolute times wander; many short runs give a
// busy machine more chances to leave one of them undisturbed.
inline std::vector<double> MeasureTogether(const std::vector<std::function<void()>>& bodies,
                                           Pick pick = Pick::Best, int runs = 41,
                                           double runSeconds = 0.005) {
    std::vector<long> repeats;
    for (const std::function<void()>& body : bodies) {
        long repeat = 1;
        for (;;) {
            const double start = Now();
            for (long i = 0; i < repeat; ++i) {
                body();
            }
            const double spent = Now() - start;
            if (spent >= runSeconds / 4 || repeat >= (1L << 24)) {
                const double perCall = spent / static_cast<double>(repeat);
                repeats.push_back(
                    std::max(1L, static_cast<long>(runSeconds / std::max(perCall, 1e-9))));
                break;
            }
            repeat *= 2;
        }
    }
    std::vector<std::vector<double>> times(bodies.size());
    for (int run = 0; run < runs; ++run) {
        for (std::size_t b = 0; b < bodies.size(); ++b) {
            times[b].push_back(BestOf(1, repeats[b], bodies[b]));
        }
    }
    std::vector<double> result;
    for (std::vector<double>& t : times) {
        std::sort(t.begin(), t.end());
        result.push_back(pick == Pick::Best ? t.front() : t[t.size() / 2]);
    }
    return result;
}

// Seconds of the best run of each long body, taking turns as above; setup() runs untimed before
// every body (to remove what the previous one made, for instance). After the first run no
// further run starts once the clock has passed `deadline` (a Now() value), so that a busy
// machine makes the program less precise rather than slow.
inline std::vector<double> BestTogether(int runs, const std::function<void()>& setup,
                                        const std::vector<std::function<void()>>& bodies,
                                        double deadline = 1e300) {
    std::vector<double> best(bodies.size(), 1e300);
    for (int run = 0; run < runs && (run == 0 || Now() < deadline); ++run) {
        for (std::size_t b = 0; b < bodies.size(); ++b) {
            setup();
            const double start = Now();
            bodies[b]();
            best[b] = std::min(best[b], Now() - start);
        }
    }
    return best;
}

inline std::string FormatSeconds(double seconds) {
    char text[32];
    if (seconds < 1e-6) {
        std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
    } else if (seconds < 1e-3) {
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    } else if (seconds < 1.0) {
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    }
    return text;
}

struct Reference {
    std::string name;
    double seconds;
    // Print ours / reference as a percentage: the row is a part of the reference.
    bool asShare = false;
};

// One table per program: each row is an operation with our time, and one line per reference
// with its time and the ratio ours / reference (above 1 means we are slower).
class Table {
public:
    void Add(std::string operation, double ours, std::vector<Reference> references) {
        rows_.push_back({std::move(operation), ours, std::move(references)});
    }

    void Print() const {
        std::printf("%-40s %12s  %-42s %12s %8s\n", "Operation", "Ours", "Reference", "Ref time",
                    "Ratio");
        std::printf("%s\n", std::string(118, '-').c_str());
        for (const Row& row : rows_) {
            bool first = true;
            for (const Reference& reference : row.references) {
                const double ratio = row.ours / reference.seconds;
                char ratioText[32];
                if (reference.asShare) {
                    std::snprintf(ratioText, sizeof ratioText, "%.1f%%", ratio * 100.0);
                } else {
                    std::snprintf(ratioText, sizeof ratioText, "%.2fx", ratio);
                }
                std::printf("%-40s %12s  %-42s %12s %8s\n", first ? row.operation.c_str() : "",
                            first ? FormatSeconds(row.ours).c_str() : "", reference.name.c_str(),
                            FormatSeconds(reference.seconds).c_str(), ratioText);
                first = false;
            }
        }
    }

private:
    struct Row {
        std::string operation;
        double ours;
        std::vector<Reference> references;
    };
    std::vector<Row> rows_;
};

// Writes a file of `size` bytes of a repeating pattern, with raw Win32 calls.
inline void WriteFileOfSize(const std::wstring& path, std::uint64_t size) {
    Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        throw std::runtime_error("cannot create a test file");
    }
    std::vector<unsigned char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 31 + 7);
    }
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(size, block.size()));
        DWORD written = 0;
        if (!::WriteFile(file.Get(), block.data(), chunk, &written, nullptr) || written != chunk) {
            throw std::runtime_error("cannot write a test file");
        }
        size -= chunk;
    }
}

} // namespace Bench
