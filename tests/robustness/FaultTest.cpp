// Faults met in the middle of an operation: a volume that fills up during a folder copy and
// during a channel write (the 1 MiB tmpfs drive Q: of tests/fixtures/util-tmpfs-drive.sh, root
// only), a medium swapped between two operations (the optical drive T: of
// tests/fixtures/setup-drives.sh). Every fault is also checked for handles it fails to give back.
// A failure at each OS call of the file operations is FaultInjectionTest's.
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Volume.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "common/HandleCount.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"
#include "common/TestHelpers.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace FileSystem;
using namespace TalvenTest;
using TalvenTest::CatchFileException;

namespace {

const std::int32_t InternalError = TalvenException::InternalSoftwareError.id();

// --- The full disk ------------------------------------------------------------------------

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileSystem_Win32::Install();
        if (!TmpfsDriveUsable()) {
            GTEST_SKIP() << "no 1 MiB tmpfs drive Q: (tests/fixtures/util-tmpfs-drive.sh, needs "
                            "root)";
        }
        freeBefore = FileSpec(FilePath(L"Q:\\")).GetVolume().GetFreeSpace();
        run = std::make_unique<TalvenTest::TestFolder>(L"Q:", L"faults");
    }
    void TearDown() override {
        if (run) {
            run.reset();
            // Everything this test put on Q: is gone again.
            EXPECT_EQ(FileSpec(FilePath(L"Q:\\")).GetVolume().GetFreeSpace(), freeBefore);
        }
    }

    FileSpec Local(const std::wstring& name) const { return FileSpec(FilePath(dir.Child(name))); }
    FileSpec Remote(const std::wstring& name) const { return FileSpec(FilePath(run->Child(name))); }

    TalvenTest::TestFolder dir;
    std::unique_ptr<TalvenTest::TestFolder> run;
    std::uint64_t freeBefore = 0;
};

TEST_F(FullDiskTest, FolderCopyStopsWithVolumeFullAndRemovesWhatItMade) {
    // Five files of 300,000 bytes: three fit into the MiB, the fourth fills it.
    ::CreateDirectoryW(dir.Child(L"src").c_str(), nullptr);
    for (char c = 'a'; c <= 'e'; ++c) {
        dir.WriteFile(std::wstring(L"src\\") + wchar_t(c) + L".bin", std::string(300000, c));
    }
    const TalvenTest::HandleLeakCheck handles;
    const FileException e =
        CatchFileException([&] { CopyFolder(Remote(L"copy"), Local(L"src"), true, Tickler()); });
    EXPECT_EQ(e.code(), FileException::VolumeFull.id()) << e.what();
    handles.Expect("the failed folder copy");
    EXPECT_EQ(::GetFileAttributesW(run->Child(L"copy").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FullDiskTest, ChannelWriteRaisesVolumeFullAndNeverReportsAShortWrite) {
    // Pieces that do not divide the MiB, so that one of them only partly fits; and one piece
    // larger than the whole volume.
    const std::size_t pieces[] = {300001, 2 << 20};
    for (const std::size_t piece : pieces) {
        SCOPED_TRACE(piece);
        const std::wstring path = run->Child(L"fill.bin");
        const TalvenTest::HandleLeakCheck handles;
        const std::string data(piece, 'w');
        std::uint64_t accepted = 0;
        {
            const FileChannel out =
                FileSpec(FilePath(path)).OpenChannel(ModeWrite | ModeCreate | ModeTruncate);
            const FileException e = CatchFileException([&] {
                for (int i = 0; i < 8; ++i) {
                    out.Write(data.data(), data.size());
                    accepted += data.size();
                    // A write that returns has put every byte in the file.
                    ASSERT_EQ(out.GetPosition(), accepted);
                }
            });
            EXPECT_EQ(e.code(), FileException::VolumeFull.id()) << e.what();
            EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(path));
            EXPECT_GE(out.GetEndOfFile(), accepted);
            EXPECT_LT(accepted, std::uint64_t(1) << 20);
        }
        ASSERT_TRUE(::DeleteFileW(path.c_str()));
        handles.Expect("the failed channel write");
    }
}

// --- The swapped medium -------------------------------------------------------------------

// VolumeTest covers the volume objects across a swap; this adds what a caller holding file
// specs and Volume values sees, the serial numbers, and the handles of the swap.
TEST(SwappedMedium, HeldSpecsKeepTheOldVolumeAndNewSpecsBindTheNewOne) {
    FileSystem_Win32::Install();
    if (!DriveTPresent()) {
        GTEST_SKIP() << "drive T: is not set up: run tests/fixtures/setup-drives.sh before the "
                        "Wine server starts";
    }
    const DWORD original = SerialOfT();
    const TalvenTest::HandleLeakCheck handles;
    {
        const MediumGuard guard;
        const DWORD swapped = guard.Original() ^ 0x0000FF00u;
        const FileSpec held{FilePath(L"T:\\.windows-label")};
        const Volume old = held.GetVolume();
        ASSERT_TRUE(held.IsPresent());
        ASSERT_TRUE(old.IsMounted());
        ASSERT_EQ(old.GetSerialNumber(), guard.Original());

        ASSERT_TRUE(SwapMediumOfT(swapped));
        EXPECT_FALSE(old.IsMounted());
        EXPECT_FALSE(old.IsValid());
        EXPECT_EQ(old.GetSerialNumber(), guard.Original()); // the record is never refreshed
        EXPECT_TRUE(held.GetVolume() == old);               // a spec stays bound to its volume

        const FileSpec fresh{FilePath(L"T:\\.windows-label")};
        const Volume now = fresh.GetVolume();
        EXPECT_FALSE(now == old);
        EXPECT_EQ(now.GetSerialNumber(), swapped);
        EXPECT_TRUE(now.IsMounted());
        EXPECT_FALSE(fresh == held); // same path, other medium
        EXPECT_TRUE(FileSpec(FilePath(L"T:\\")).GetVolume() == now);
        // Nothing new can be made on the medium that left.
        EXPECT_EQ(ErrorCode([&] { held.MakeChild(FilePath("x")); }), InternalError);
        EXPECT_EQ(ErrorCode([&] { held.ParentFolder(); }), InternalError);
    }
    EXPECT_EQ(SerialOfT(), original) << "the original medium is back";
    handles.Expect("the medium swap");
}

} // namespace
