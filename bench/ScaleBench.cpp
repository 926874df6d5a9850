// scale_bench: time and peak working set of the tree operations over a tree of many files five
// folder levels deep (3 folders per level, files spread over all 364 folders). GetFolderSize,
// CopyFolder and DeleteTree keep nothing per file, so their peak should stay flat whatever the
// count; FindFiles returns one spec per file, so its growth per file is printed.
// Usage: scale_bench [files]   (10,000 by default; the Scale tests in
// tests/robustness/StressTest.cpp check the results at scale)
#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Tickler.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "bench/filesystem/BenchSupport.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace FileSystem;

namespace {

std::uint64_t WorkingSet(bool peak) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return 0;
    }
    return peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize;
}

double MiB(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// Runs work and prints its time and how far it raised the peak working set. Under Wine the peak
// is the Linux process's high-water mark, refreshed only now and then, so the working set is
// also polled while the work runs and the larger figure counts.
std::uint64_t Measure(const char* name, std::uint64_t files, const std::function<void()>& work) {
    const std::uint64_t before = WorkingSet(true);
    std::atomic<bool> done{false};
    std::uint64_t polled = 0;
    std::thread poller([&] {
        while (!done) {
            polled = std::max(polled, WorkingSet(false));
            ::Sleep(5);
        }
    });
    const double start = Bench::Now();
    work();
    const double seconds = Bench::Now() - start;
    done = true;
    poller.join();
    const std::uint64_t after = std::max(WorkingSet(true), polled);
    const std::uint64_t growth = after > before ? after - before : 0;
    std::printf("%-14s %10s %10.2f us %10.1f %10.1f %10.1f\n", name,
                Bench::FormatSeconds(seconds).c_str(), seconds * 1e6 / double(files), MiB(before),
                MiB(after), MiB(growth));
    return growth;
}

} // namespace

int main(int argc, char** argv) {
    try {
        FileSystem_Win32::Install();
        const std::uint64_t files = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
        TalvenTest::TestFolder dir;
        // Folders in breadth-first order: each one's parent comes before it.
        std::vector<std::wstring> folders{dir.Child(L"tree")};
        for (std::size_t parent = 0; folders.size() < 364; ++parent) {
            for (const wchar_t* name : {L"\\a", L"\\b", L"\\c"}) {
                folders.push_back(folders[parent] + name);
            }
        }
        for (const std::wstring& folder : folders) {
            ::CreateDirectoryW(folder.c_str(), nullptr);
        }
        const double built = Bench::Now();
        for (std::uint64_t n = 0; n < files; ++n) {
            Bench::WriteFileOfSize(folders[n % folders.size()] + L"\\" + std::to_wstring(n),
                                   n % 97);
        }
        std::printf("scale_bench: %llu files in %zu folders, 5 levels, made in %s\n\n",
                    static_cast<unsigned long long>(files), folders.size(),
                    Bench::FormatSeconds(Bench::Now() - built).c_str());
        std::printf("%-14s %10s %13s %10s %10s %10s\n", "Operation", "Time", "Per file", "Peak MiB",
                    "after", "growth");

        const FileSpec tree{FilePath(dir.Child(L"tree"))}, copy{FilePath(dir.Child(L"copy"))};
        std::uint64_t bytes = 0;
        // FindFiles runs last: a peak never comes down, and its result holds every file.
        Measure("GetFolderSize", files, [&] { bytes = GetFolderSize(tree, true); });
        Measure("CopyFolder", files, [&] { CopyFolder(copy, tree, true, Tickler()); });
        Measure("DeleteTree", files, [&] { FolderSpec(copy).DeleteTree(); });
        std::size_t found = 0;
        const std::uint64_t growth = Measure(
            "FindFiles", files, [&] { found = FindFiles(tree, FilePath("*"), true).size(); });
        std::printf("\nFindFiles: %.0f bytes of peak working set per file found\n",
                    double(growth) / double(files));
        if (found != files || bytes == 0) {
            std::fprintf(stderr, "wrong results: %zu files found\n", found);
            return 1;
        }
        FolderSpec(tree).DeleteTree();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scale_bench: %s\n", e.what());
        return 1;
    }
}
