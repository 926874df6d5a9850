// tree_bench: the library's tree operations against std::filesystem and raw FindFirstFileW
// loops. FindFiles and GetFolderSize list one generated tree (by default 10,000 files in 100
// folders), CopyFolder copies a tree of a tenth of that size, and CopyFile a 64 MiB file
// against CopyFileExW alone. Then what one listed entry costs: each becomes a FileSpec, made by
// MakeChild on its folder, and may be asked whether it is a folder or how big it is.
// Usage: tree_bench [files [runs]]   (at least 1000 files, spread over 100 folders; best of
// up to `runs` runs, 3 by default)
#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Tickler.h"
#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "bench/filesystem/BenchSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int Folders = 100;
constexpr std::uint64_t BigFileSize = 64ull << 20;

volatile std::uint64_t sink = 0;

struct Tree {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

// Folders d000..d099 under root, with files f<from>..f<to - 1> spread evenly over them (file n
// in folder n % 100); each file holds a few hundred bytes so that the sizes add up to something
// checkable. Adds to what an earlier call made.
void GrowTree(const std::wstring& root, int from, int to, Tree& tree) {
    std::vector<unsigned char> content(1024, 'x');
    ::CreateDirectoryW(root.c_str(), nullptr);
    for (int file = from; file < to; ++file) {
        wchar_t name[32];
        std::swprintf(name, 32, L"\\d%03d", file % Folders);
        const std::wstring folderPath = root + name;
        if (file < Folders && !::CreateDirectoryW(folderPath.c_str(), nullptr)) {
            throw std::runtime_error("cannot create a tree folder");
        }
        std::swprintf(name, 32, L"\\f%05d.txt", file);
        const DWORD size = 100 + static_cast<DWORD>(file % 900);
        Win32Res::FileHandle handle(::CreateFileW((folderPath + name).c_str(), GENERIC_WRITE, 0,
                                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
        DWORD written = 0;
        if (!handle || !::WriteFile(handle.Get(), content.data(), size, &written, nullptr)) {
            throw std::runtime_error("cannot create a tree file");
        }
        ++tree.files;
        tree.bytes += size;
    }
}

// The raw listing: FindFirstFileW and FindNextFileW, folders queued first-in first-out as the
// library does, files collected as full paths.
template <class OnFile>
void RawWalk(const std::wstring& root, OnFile&& onFile) {
    std::deque<std::wstring> pending{root};
    while (!pending.empty()) {
        const std::wstring folder = std::move(pending.front());
        pending.pop_front();
        WIN32_FIND_DATAW data;
        Win32Res::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
        if (!find) {
            throw std::runtime_error("FindFirstFileW failed");
        }
        do {
            const wchar_t* name = data.cFileName;
            if ((name[0] == L'.' && name[1] == 0) ||
                (name[0] == L'.' && name[1] == L'.' && name[2] == 0)) {
                continue;
            }
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(std::move(path));
            } else {
                onFile(std::move(path), data);
            }
        } while (::FindNextFileW(find.Get(), &data));
    }
}

std::uint64_t RawFindFiles(const std::wstring& root) {
    std::vector<std::wstring> found;
    RawWalk(root, [&](std::wstring&& path, const WIN32_FIND_DATAW&) { found.push_back(path); });
    return found.size();
}

std::uint64_t RawFolderSize(const std::wstring& root) {
    std::uint64_t bytes = 0;
    RawWalk(root, [&](std::wstring&&, const WIN32_FIND_DATAW& data) {
        bytes += (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    });
    return bytes;
}

std::uint64_t StdFindFiles(const std::wstring& root) {
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) {
            found.push_back(entry.path());
        }
    }
    return found.size();
}

std::uint64_t StdFolderSize(const std::wstring& root) {
    std::uint64_t bytes = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            bytes += entry.file_size();
        }
    }
    return bytes;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

// What one entry of a listing costs the library: MakeChild on its folder (a plain name on a
// fixed disk is joined without OS calls), a FileSpec made from a path alone, and the two
// queries a caller asks most. Medians: the best runs of separate calls need not compare.
struct EntryCost {
    double child, fromPath, isFolder, fileSize;
};

EntryCost MeasureEntryCost(const std::wstring& probeFolder, const std::wstring& probeName) {
    const FilePath probeFilePath(probeFolder + L"\\" + probeName);
    const FilePath probeNamePath(probeName);
    const FileSpec folder{FilePath(probeFolder)};
    const FileSpec probe(probeFilePath);
    const std::vector<double> t =
        Bench::MeasureTogether({
                                   [&] { sink = sink + folder.MakeChild(probeNamePath).IsNull(); },
                                   [&] { sink = sink + FileSpec(probeFilePath).IsNull(); },
                                   [&] { sink = sink + probe.IsFolder(); },
                                   [&] { sink = sink + probe.GetFileSize(); },
                               },
                               Bench::Pick::Median);
    return {t[0], t[1], t[2], t[3]};
}

void CheckAndRemoveCopy(const std::wstring& copyTarget, const Tree& tree) {
    if (fs::exists(copyTarget)) {
        Check(RawFolderSize(copyTarget) == tree.bytes, "a tree copy has a wrong size");
        fs::remove_all(copyTarget);
    }
}

int Run(int files, int runs) {
    // Under Wine, making, copying or removing a small file costs up to a millisecond, more on a
    // busy machine: the copies run over a tenth of the files, and once this much time has gone,
    // every further measurement makes a single run.
    const double deadline = Bench::Now() + 30.0;
    FileSystem_Win32::Install();
    const Bench::ScratchFolder scratch(L"talven_tree_bench");

    const std::wstring probeFolder = scratch.Child(L"probe");
    ::CreateDirectoryW(probeFolder.c_str(), nullptr);
    Bench::WriteFileOfSize(probeFolder + L"\\probe.txt", 500);
    const EntryCost entry = MeasureEntryCost(probeFolder, L"probe.txt");

    const std::wstring root = scratch.Child(L"tree");
    Tree tree;
    GrowTree(root, 0, files, tree);
    const std::wstring copySource = scratch.Child(L"copy-source");
    const std::wstring copyTarget = scratch.Child(L"copy");
    Tree copyTree;
    GrowTree(copySource, 0, files / 10, copyTree);
    std::printf("tree: %llu files in %d folders (copies: %llu files in %d folders); best of up "
                "to %d runs\n\n",
                static_cast<unsigned long long>(tree.files), Folders,
                static_cast<unsigned long long>(copyTree.files), Folders, runs);

    const FileSpec rootSpec{FilePath(root)};
    const auto nothing = [] {};
    const std::vector<double> find = Bench::BestTogether(
        runs, nothing,
        {[&] {
             Check(FileSystem::FindFiles(rootSpec, FilePath("*"), true).size() == tree.files,
                   "FindFiles found a wrong count");
         },
         [&] { Check(StdFindFiles(root) == tree.files, "std::filesystem found a wrong count"); },
         [&] { Check(RawFindFiles(root) == tree.files, "FindFirstFileW found a wrong count"); }},
        deadline);
    const std::vector<double> size = Bench::BestTogether(
        runs, nothing,
        {[&] {
             Check(FileSystem::GetFolderSize(rootSpec, true) == tree.bytes,
                   "GetFolderSize gave a wrong size");
         },
         [&] { Check(StdFolderSize(root) == tree.bytes, "std::filesystem gave a wrong size"); },
         [&] { Check(RawFolderSize(root) == tree.bytes, "FindFirstFileW gave a wrong size"); }},
        deadline);

    // Before each copy, untimed, the previous copy is checked and removed.
    const FileSpec copySourceSpec{FilePath(copySource)};
    const Tickler silent;
    const std::vector<double> copy = Bench::BestTogether(
        runs, [&] { CheckAndRemoveCopy(copyTarget, copyTree); },
        {[&] {
             FileSystem::CopyFolder(FileSpec(FilePath(copyTarget)), copySourceSpec, true, silent);
         },
         [&] { fs::copy(copySource, copyTarget, fs::copy_options::recursive); }},
        deadline);
    CheckAndRemoveCopy(copyTarget, copyTree);

    Bench::Table table;
    table.Add("FindFiles \"*\" recursive", find[0],
              {{"std::fs::recursive_directory_iterator", find[1]},
               {"FindFirstFileW loop (goal: within 1.2x)", find[2]}});
    table.Add("GetFolderSize recursive", size[0],
              {{"std::fs::recursive_directory_iterator (goal: 1.0x)", size[1]},
               {"FindFirstFileW loop (goal: within 1.5x)", size[2]}});
    table.Add("CopyFolder recursive", copy[0], {{"std::fs::copy recursive", copy[1]}});

    // Copying one big file; the copy is deleted untimed before each run.
    const std::wstring bigSource = scratch.Child(L"big.bin");
    const std::wstring bigTarget = scratch.Child(L"big-copy.bin");
    Bench::WriteFileOfSize(bigSource, BigFileSize);
    const FileSpec sourceSpec{FilePath(bigSource)};
    const FileSpec targetSpec{FilePath(bigTarget)};
    const std::vector<double> big = Bench::BestTogether(
        std::max(runs, 3), [&] { ::DeleteFileW(bigTarget.c_str()); },
        {[&] { FileSystem::CopyFile(targetSpec, sourceSpec, silent); },
         [&] {
             Check(::CopyFileExW(bigSource.c_str(), bigTarget.c_str(), nullptr, nullptr, nullptr,
                                 COPY_FILE_FAIL_IF_EXISTS) != 0,
                   "CopyFileExW failed");
         }});
    ::DeleteFileW(bigTarget.c_str());
    table.Add("CopyFile, 64 MiB", big[0], {{"CopyFileExW", big[1]}});

    // Where the time of one entry goes, against the raw loop's whole cost per file.
    const double rawPerFile = find[2] / static_cast<double>(tree.files);
    const Bench::Reference ofChild{"share of MakeChild", entry.child, true};
    table.Add("Entry FileSpec by MakeChild (listing)", entry.child,
              {{"FindFirstFileW loop, per file", rawPerFile}});
    table.Add("FileSpec from a path alone", entry.fromPath,
              {{"FindFirstFileW loop, per file", rawPerFile}});
    table.Add("IsFolder (GetFileAttributesExW)", entry.isFolder,
              {{"FindFirstFileW loop, per file", rawPerFile}});
    table.Add("GetFileSize (opens the file)", entry.fileSize,
              {{"FindFirstFileW loop, per file", rawPerFile}});

    table.Print();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (files < 10 * Folders || runs < 1) {
        std::fprintf(stderr, "usage: tree_bench [files (at least %d) [runs]]\n", 10 * Folders);
        return 2;
    }
    try {
        return Run(files, runs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tree_bench failed: %s\n", error.what());
        return 1;
    }
}
