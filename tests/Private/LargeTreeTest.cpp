// Searching and measuring a large tree: 10,000 files in 100 folders, made from the Linux side
// (Wine creates files at about 1 ms each), give exact counts and sizes.
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"

#include "Private/Windows/FileSystem_Win32_Install.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

using namespace FileSystem;

namespace {

// Made by tests/fixtures/util-large-tree.sh: folders d00..d99 holding f000.dat..f099.dat; file
// number k = folder * 100 + file holds k % 37 bytes.
const char* const Base = "C:\\talven-fixtures\\util-large-tree";

TEST(LargeTree, CountsAndSizesAreExact) {
    FileSystem_Win32::Install();
    if (!FileSpec(FilePath(std::string(Base) + "\\complete-1")).IsPresent()) {
        GTEST_SKIP() << "no large tree (tests/fixtures/util-large-tree.sh)";
    }
    const FileSpec tree(FilePath(std::string(Base) + "\\tree"));
    std::uint64_t expectedSize = 0;
    for (unsigned k = 0; k < 10000; ++k) {
        expectedSize += k % 37;
    }
    const auto start = std::chrono::steady_clock::now();

    const FileSpecList files = FindFiles(tree, FilePath("*.dat"), true);
    ASSERT_EQ(files.size(), 10000u);
    std::set<std::string> unique;
    for (const FileSpec& file : files) {
        const ByteString path = file.GetPath().GetBytes();
        unique.insert(std::string(path.end() - 12, path.end())); // "dNN\fNNN.dat"
    }
    EXPECT_EQ(unique.size(), 10000u);
    EXPECT_EQ(GetFolderSize(tree, true), expectedSize);
    EXPECT_EQ(GetFolderSize(tree, false), 0u);
    EXPECT_EQ(FindFolders(tree, FilePath("d*"), false).size(), 100u);

    // Each entry costs a full normalisation with a volume query, which dominates under Wine.
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    RecordProperty("seconds", std::to_string(took.count()));
}

} // namespace
