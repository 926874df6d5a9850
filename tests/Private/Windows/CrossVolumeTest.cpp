// Moves and copies between volumes, on the 1 MiB tmpfs drive Q: (tests/fixtures/
// util-tmpfs-drive.sh, root only): a folder move falls back to copy and delete, a copy that
// fills the volume leaves no partial target, a tree holding links is refused before anything
// is copied; and relative
// paths between volumes, with the optical drive T: of tests/fixtures/setup-drives.sh.
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Volume.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace FileSystem;
using namespace TalvenTest;
using namespace TalvenTest;

namespace {

class CrossVolumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileSystem_Win32::Install();
        if (!TmpfsDriveUsable()) {
            GTEST_SKIP() << "no 1 MiB tmpfs drive Q: (tests/fixtures/util-tmpfs-drive.sh, needs "
                            "root)";
        }
        run = std::make_unique<TalvenTest::TestFolder>(L"Q:", L"run");
    }

    FileSpec Local(const std::wstring& name) const { return FileSpec(FilePath(dir.Child(name))); }
    FileSpec Remote(const std::wstring& name) const { return FileSpec(FilePath(run->Child(name))); }

    TalvenTest::TestFolder dir;
    std::unique_ptr<TalvenTest::TestFolder> run;
};

TEST_F(CrossVolumeTest, FolderMoveFallsBackToCopyAndDeleteEndingAtOne) {
    Local(L"tree").CreateFolder();
    Local(L"tree\\sub").CreateFolder();
    dir.WriteFile(L"tree\\a.txt", "a");
    dir.WriteFile(L"tree\\sub\\b.txt", "bb");
    RecordingSink sink;
    Move(Remote(L"moved"), Local(L"tree"), Tickler(&sink));
    EXPECT_EQ(ReadAll(run->Child(L"moved\\a.txt")), "a");
    EXPECT_EQ(ReadAll(run->Child(L"moved\\sub\\b.txt")), "bb");
    EXPECT_FALSE(Exists(dir.Child(L"tree")));
    EXPECT_EQ(sink.positions.back(), 1.0);
    EXPECT_EQ(sink.texts.size(), 3u); // one per file, then the move's own
}

TEST_F(CrossVolumeTest, FillingTheVolumeRaisesVolumeFullAndLeavesNoTarget) {
    dir.WriteFile(L"big.bin", std::string(2 << 20, 'b'));
    const std::uint64_t freeBefore = Remote(L"").GetVolume().GetFreeSpace();
    EXPECT_EQ(ErrorCode([&] { CopyFile(Remote(L"os.bin"), Local(L"big.bin"), Tickler()); }),
              FileException::VolumeFull.id());
    EXPECT_FALSE(Exists(run->Child(L"os.bin")));
    EXPECT_EQ(
        ErrorCode([&] { CopyFileByChannel(Remote(L"channel.bin"), Local(L"big.bin"), Tickler()); }),
        FileException::VolumeFull.id());
    EXPECT_FALSE(Exists(run->Child(L"channel.bin")));
    EXPECT_EQ(Remote(L"").GetVolume().GetFreeSpace(), freeBefore);
}

TEST_F(CrossVolumeTest, TreeHoldingLinksIsNotMovedAway) {
    const std::wstring tree = L"C:\\talven-fixtures\\util-links\\tree";
    if (!Exists(tree)) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    // The copy skips the links; removing the source would lose them. Refused before copying.
    const FileException e =
        CatchFileException([&] { Move(Remote(L"links"), FileSpec(FilePath(tree)), Tickler()); });
    EXPECT_EQ(e.code(), FileException::AccessDenied.id());
    EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(FilePath(tree + L"\\out")));
    EXPECT_FALSE(Exists(run->Child(L"links")));
    EXPECT_EQ(ReadAll(tree + L"\\sub\\b.txt"), "bbbbb");
    EXPECT_EQ(ReadAll(tree + L"\\out\\o.txt"), "outside");
}

TEST(CrossVolume, RelativePathToAnotherVolumeIsEmpty) {
    FileSystem_Win32::Install();
    int checked = 0;
    for (const wchar_t* other : {L"T:\\", L"Q:\\"}) {
        if (DriveUsable(other)) {
            SCOPED_TRACE(Narrow(FilePath(other)));
            const FileSpec drive{FilePath(other)};
            EXPECT_TRUE(GetRelativePath(drive, FileSpec(FilePath("C:\\"))).IsEmpty());
            EXPECT_TRUE(GetRelativePath(FileSpec(FilePath("C:\\x")), drive).IsEmpty());
            ++checked;
        }
    }
    if (checked == 0) {
        GTEST_SKIP() << "no second drive T: (tests/fixtures/setup-drives.sh) or Q:";
    }
}

} // namespace
