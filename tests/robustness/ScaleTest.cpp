// Scale: the tree operations over a tree of many files five folder levels deep give exact
// results without memory growing with the tree, and a path of 30,000 characters is created,
// used through a file channel and removed. TALVEN_SCALE_FILES=<n> sets the number of files
// (small by default so that CI stays quick; 100000 for the long run).
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"

#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestFolder.h"
#include "common/TestHelpers.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

using namespace FileSystem;

namespace {

constexpr unsigned DefaultFiles = 1500;
constexpr unsigned FanOut = 3;
constexpr unsigned Levels = 5;
constexpr unsigned SizeModulus = 101; // file i holds i % 101 bytes

// What the steps that keep nothing per file may add to the peak working set, whatever the
// number of files: far below what any per-file retention would cost at 100,000 files.
constexpr std::uint64_t FlatBound = 16ull << 20;
// FindFiles hands back one file spec per file, so its peak grows with the count by nature;
// a spec holds its path and a shared volume, well under this.
constexpr std::uint64_t BytesPerFoundFile = 1024;

unsigned FileCount() {
    char value[32] = {};
    const DWORD length = ::GetEnvironmentVariableA("TALVEN_SCALE_FILES", value, sizeof value);
    if (length == 0 || length >= sizeof value) {
        return DefaultFiles;
    }
    const unsigned long parsed = std::strtoul(value, nullptr, 10);
    return parsed > 0 ? static_cast<unsigned>(parsed) : DefaultFiles;
}

struct MemoryFigures {
    std::uint64_t workingSet = 0;
    std::uint64_t peak = 0;
};

MemoryFigures Memory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        return MemoryFigures();
    }
    return MemoryFigures{counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

double MiB(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

std::string Utf8(const FilePath& path) {
    const ByteString& bytes = path.GetBytes();
    return std::string(bytes.begin(), bytes.end());
}

// The tree: FanOut folders per level named by level letter and index ("a0\b2\c1\d0\e2"), and
// file i named f<i>.dat in folder i % folder count (every level holds files) with i % 101 bytes.
struct TreeShape {
    std::vector<std::wstring> folders; // relative paths, parents before children
    unsigned files = 0;
    std::uint64_t bytes = 0;

    explicit TreeShape(unsigned fileCount) : files(fileCount) {
        AddLevel(L"", 0);
        for (unsigned i = 0; i < files; ++i) {
            bytes += i % SizeModulus;
        }
    }
    static std::wstring FileName(unsigned i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"f%06u.dat", i);
        return name;
    }
    std::wstring FileFolder(unsigned i) const { return folders[i % folders.size()]; }

private:
    void AddLevel(const std::wstring& parent, unsigned level) {
        if (level == Levels) {
            return;
        }
        for (unsigned k = 0; k < FanOut; ++k) {
            std::wstring name(1, static_cast<wchar_t>(L'a' + level));
            name += static_cast<wchar_t>(L'0' + k);
            const std::wstring path = parent.empty() ? name : parent + L"\\" + name;
            folders.push_back(path);
            AddLevel(path, level + 1);
        }
    }
};

// Builds the tree under root with plain Win32 calls: the library is what is measured.
void BuildTree(const std::wstring& root, const TreeShape& shape) {
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    for (const std::wstring& folder : shape.folders) {
        ASSERT_TRUE(::CreateDirectoryW((root + L"\\" + folder).c_str(), nullptr));
    }
    const std::string content(SizeModulus, 'x');
    for (unsigned i = 0; i < shape.files; ++i) {
        const std::wstring path = root + L"\\" + shape.FileFolder(i) + L"\\" + shape.FileName(i);
        Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file) << "cannot create " << Narrow(path);
        DWORD written = 0;
        const DWORD size = i % SizeModulus;
        ASSERT_TRUE(size == 0 || ::WriteFile(file.Get(), content.data(), size, &written, nullptr));
        ASSERT_EQ(written, size);
    }
}

// The index of a file named f<digits>.dat, or -1.
long FileIndex(const std::wstring& name) {
    if (name.size() != 11 || name[0] != L'f' || name.compare(7, 4, L".dat") != 0) {
        return -1;
    }
    long index = 0;
    for (std::size_t i = 1; i < 7; ++i) {
        if (name[i] < L'0' || name[i] > L'9') {
            return -1;
        }
        index = index * 10 + (name[i] - L'0');
    }
    return index;
}

// Walks a tree with plain Win32 calls and checks that it holds exactly the shape's files, each
// once, in its folder, with its size, and exactly the shape's folders. Keeps one bit per file,
// so checking does not blur the memory figures.
void ExpectTreeMatches(const std::wstring& root, const TreeShape& shape) {
    std::vector<bool> seen(shape.files, false);
    unsigned files = 0;
    unsigned folders = 0;
    std::uint64_t bytes = 0;
    std::vector<std::wstring> pending{L""};
    while (!pending.empty()) {
        const std::wstring relative = pending.back();
        pending.pop_back();
        const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
        WIN32_FIND_DATAW data;
        Win32Res::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
        ASSERT_TRUE(find) << "cannot list " << Narrow(folder);
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ++folders;
                pending.push_back(relative.empty() ? name : relative + L"\\" + name);
                continue;
            }
            const long index = FileIndex(name);
            ASSERT_TRUE(index >= 0 && static_cast<unsigned>(index) < shape.files)
                << "stray file " << Narrow(relative + L"\\" + name);
            ASSERT_FALSE(seen[index]) << "file twice: " << Narrow(name);
            seen[index] = true;
            EXPECT_EQ(relative, shape.FileFolder(index)) << Narrow(name);
            EXPECT_EQ(data.nFileSizeHigh, 0u);
            EXPECT_EQ(data.nFileSizeLow, index % SizeModulus) << Narrow(name);
            ++files;
            bytes += data.nFileSizeLow;
        } while (::FindNextFileW(find.Get(), &data));
    }
    EXPECT_EQ(files, shape.files);
    EXPECT_EQ(folders, shape.folders.size());
    EXPECT_EQ(bytes, shape.bytes);
}

void ExpectEmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    Win32Res::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    ASSERT_TRUE(find);
    do {
        const std::wstring name = data.cFileName;
        EXPECT_TRUE(name == L"." || name == L"..") << "left behind: " << Narrow(name);
    } while (::FindNextFileW(find.Get(), &data));
}

// Times one step and records the peak working set before and after it. Under Wine the peak is
// the Linux process's high-water mark, which the kernel refreshes only now and then (checked: it
// can come down again after memory is freed), so the working set is also polled while the step
// runs and the larger figure counts.
struct Step {
    const char* name;
    double seconds = 0;
    std::uint64_t peakBefore = 0;
    std::uint64_t peakAfter = 0;

    template <class F>
    void Run(F&& work) {
        peakBefore = Memory().peak;
        std::atomic<bool> done{false};
        std::uint64_t polled = 0;
        std::thread poller([&] {
            for (;;) {
                polled = std::max(polled, Memory().workingSet);
                if (done) {
                    return;
                }
                ::Sleep(5);
            }
        });
        const auto start = std::chrono::steady_clock::now();
        try {
            work();
        } catch (...) {
            done = true;
            poller.join();
            throw;
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        done = true;
        poller.join();
        peakAfter = std::max(Memory().peak, polled);
        std::printf("scale step: %s %.2f s, peak working set %.1f -> %.1f MiB\n", name, seconds,
                    MiB(peakBefore), MiB(peakAfter));
        std::fflush(stdout);
    }
    std::uint64_t Growth() const { return peakAfter > peakBefore ? peakAfter - peakBefore : 0; }
};

TEST(Scale, TreeOperationsAreExactAndKeepMemoryFlat) {
    FileSystem_Win32::Install();
    TalvenTest::TestFolder dir;
    const TreeShape shape(FileCount());
    const std::wstring source = dir.Child(L"tree");
    const std::wstring copy = dir.Child(L"copy");

    const auto start = std::chrono::steady_clock::now();
    BuildTree(source, shape);
    if (HasFatalFailure()) {
        return;
    }
    const double buildSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("scale: built %u files in %zu folders with Win32 in %.2f s\n", shape.files,
                shape.folders.size(), buildSeconds);

    // One small round of every operation first, so that what each loads or sets up once (volume
    // table, OS copy machinery) is not counted against the large tree.
    {
        ASSERT_TRUE(::CreateDirectoryW(dir.Child(L"warm").c_str(), nullptr));
        dir.WriteFile(L"warm\\w.txt", "w");
        const FileSpec warmTarget(FilePath(dir.Child(L"warm-copy")));
        CopyFolder(warmTarget, FileSpec(FilePath(dir.Child(L"warm"))), false, Tickler());
        EXPECT_EQ(GetFolderSize(warmTarget, true), 1u);
        EXPECT_EQ(FindFiles(warmTarget, FilePath("*"), true).size(), 1u);
        FolderSpec(warmTarget).DeleteTree();
        FolderSpec(FileSpec(FilePath(dir.Child(L"warm")))).DeleteTree();
    }

    const FileSpec tree{FilePath(source)};
    const FileSpec copied{FilePath(copy)};
    Step size{"GetFolderSize"};
    Step copying{"CopyFolder"};
    Step deleting{"DeleteTree"};
    Step finding{"FindFiles"};

    // FindFiles runs last: its result holds every file, and a peak never comes down, so it
    // would hide what the other steps use.
    std::uint64_t measured = 0;
    size.Run([&] { measured = GetFolderSize(tree, true); });
    EXPECT_EQ(measured, shape.bytes);

    copying.Run([&] { CopyFolder(copied, tree, true, Tickler()); });
    ExpectTreeMatches(copy, shape);

    deleting.Run([&] { FolderSpec(copied).DeleteTree(); });
    const DWORD attributes = ::GetFileAttributesW(copy.c_str());
    const DWORD error = ::GetLastError();
    EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    {
        FileSpecList found;
        finding.Run([&] { found = FindFiles(tree, FilePath("*"), true); });
        EXPECT_EQ(found.size(), shape.files);
        const std::string prefix = Utf8(tree.GetPath()) + "\\";
        std::vector<bool> seen(shape.files, false);
        for (const FileSpec& file : found) {
            const std::string path = Utf8(file.GetPath());
            const std::size_t slash = path.rfind('\\');
            const std::wstring name(path.begin() + slash + 1, path.end());
            const long index = FileIndex(name);
            ASSERT_TRUE(index >= 0 && static_cast<unsigned>(index) < shape.files) << path;
            ASSERT_FALSE(seen[index]) << "found twice: " << path;
            seen[index] = true;
            EXPECT_EQ(path, prefix + Narrow(shape.FileFolder(index)) + "\\" + Narrow(name));
        }
    }

    // The tree itself goes too, as a second, unmeasured check of DeleteTree.
    FolderSpec(tree).DeleteTree();
    EXPECT_FALSE(tree.IsPresent());
    ExpectEmptyFolder(dir.Path());

    for (const Step* step : {&size, &copying, &deleting}) {
        EXPECT_LE(step->Growth(), FlatBound) << step->name << " grew the peak working set";
    }
    EXPECT_LE(finding.Growth(), FlatBound + std::uint64_t(shape.files) * BytesPerFoundFile);
    std::printf("scale: FindFiles result costs %.0f bytes per file at the peak\n",
                double(finding.Growth()) / shape.files);
    std::uint64_t peak = 0;
    for (const Step* step : {&size, &copying, &deleting, &finding}) {
        peak = std::max(peak, step->peakAfter);
    }
    std::printf("scale: %u files, %u levels: FindFiles %.2f s, GetFolderSize %.2f s, CopyFolder "
                "%.2f s, DeleteTree %.2f s, peak working set %.1f MiB\n",
                shape.files, Levels, finding.seconds, size.seconds, copying.seconds,
                deleting.seconds, MiB(peak));
    std::fflush(stdout);
}

// Writes payload into file through a channel and reads it back through another.
void ExpectChannelRoundTrip(const FileSpec& file, const std::string& payload) {
    FileChannel out = file.OpenChannel(ModeWrite | ModeCreate);
    out.Write(payload.data(), payload.size());
    out.Close();
    EXPECT_EQ(file.GetFileSize(), payload.size());
    FileChannel in = file.OpenChannel(ModeRead);
    std::string back(payload.size() + 1, '\0');
    std::size_t got = 0;
    in.Read(&back[0], back.size(), got);
    in.Close();
    back.resize(got);
    EXPECT_TRUE(back == payload) << "read back " << got << " of " << payload.size() << " bytes";
}

TEST(Scale, PathOfThirtyThousandCharacters) {
    FileSystem_Win32::Install();
    TalvenTest::TestFolder dir;
    constexpr std::size_t Length = 30000;
    const std::wstring top = dir.Child(L"deep");
    // 200-character components, the last one sized so that the path comes out exact.
    const std::wstring component(200, L'p');
    std::wstring path = top;
    while (Length - path.size() > component.size() + 2) {
        path += L"\\" + component;
    }
    path += L"\\" + std::wstring(Length - path.size() - 1, L'q');
    ASSERT_EQ(path.size(), Length);

    // The test folder's own clean-up cannot reach below MAX_PATH; a failed check must not leave
    // the deep folders behind.
    const FileSpec topSpec{FilePath(top)};
    struct RemoveTop {
        const FileSpec& top;
        ~RemoveTop() {
            try {
                FolderSpec(top).DeleteTree();
            } catch (const std::exception&) {
            }
        }
    } removeTop{topSpec};

    const FileSpec deep{FilePath(path)};
    ASSERT_EQ(Utf8(deep.GetPath()), Narrow(path));
    std::string payload(100000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7 + i / 251);
    }

    std::string failedPath;
    std::uint32_t osError = 0;
    try {
        CreateFolderTree(deep);
    } catch (const FileException& e) {
        const ByteString failed = e.path();
        failedPath.assign(failed.begin(), failed.end());
        if (const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause())) {
            osError = cause->number();
        }
    }
    if (failedPath.empty()) {
        EXPECT_TRUE(deep.IsFolder());
        ExpectChannelRoundTrip(deep.MakeChild(FilePath("data.bin")), payload);
        std::printf("scale: deep path: made %zu characters\n", Length);
    } else {
        // Wine differs: it maps each path to a Linux path, and those end at 4096 bytes.
        ASSERT_TRUE(UnderWine()) << "CreateFolderTree failed at " << failedPath.size()
                                 << " characters, OS error " << osError;
        // The failure names, in the caller's form, the first folder that could not be made,
        // and carries the OS error; the folders made before it are removed again, and every
        // folder above it can be made.
        ASSERT_LT(failedPath.size(), path.size());
        ASSERT_EQ(Narrow(path).compare(0, failedPath.size(), failedPath), 0) << failedPath;
        EXPECT_EQ(path[failedPath.size()], L'\\');
        EXPECT_NE(osError, 0u);
        EXPECT_FALSE(topSpec.IsPresent());
        const FileSpec reached = FileSpec(FilePath(failedPath)).ParentFolder();
        CreateFolderTree(reached);
        ASSERT_TRUE(reached.IsFolder());
        const std::size_t reachedLength = Utf8(reached.GetPath()).size();
        EXPECT_GT(reachedLength, std::size_t(MAX_PATH));
        // The channel works as deep as the folders go, and at the full depth it fails as a
        // missing folder, leaving nothing.
        ExpectChannelRoundTrip(reached.MakeChild(FilePath("data.bin")), payload);
        const FileSpec file = deep.MakeChild(FilePath("data.bin"));
        EXPECT_EQ(ErrorCode([&] { file.OpenChannel(ModeWrite | ModeCreate); }),
                  FileException::FilePathNotFound.id());
        EXPECT_FALSE(file.IsPresent());
        std::printf("scale: deep path: Wine made %zu of %zu characters (OS error %u for the "
                    "folder of %zu characters)\n",
                    reachedLength, Length, osError, failedPath.size());
    }
    FolderSpec(topSpec).DeleteTree();
    EXPECT_FALSE(topSpec.IsPresent());
    ExpectEmptyFolder(dir.Path());
}

} // namespace
