// Faults between volumes and in the middle of an operation. On the 1 MiB tmpfs drive Q:
// (tests/fixtures/util-tmpfs-drive.sh, root only): a folder move falls back to copy and delete,
// a tree holding links is not moved away, a volume filling up during a copy or a channel write
// leaves nothing behind. On the optical drive T: (setup-drives.sh): a medium swapped between
// two operations. A failure at each OS call is FaultInjectionTest's.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include <memory>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

class TmpfsDriveTest : public FileSystemTest {
protected:
    void SetUp() override {
        if (!TmpfsDriveUsable()) {
            GTEST_SKIP() << "no 1 MiB tmpfs drive Q: (tests/fixtures/util-tmpfs-drive.sh, root)";
        }
        freeBefore = FileSpec(FilePath(L"Q:\\")).GetVolume().GetFreeSpace();
        run = std::make_unique<TestFolder>(L"Q:", L"faults");
    }
    void TearDown() override {
        if (run) {
            run.reset();
            // Everything this test put on Q: is gone again.
            EXPECT_EQ(FileSpec(FilePath(L"Q:\\")).GetVolume().GetFreeSpace(), freeBefore);
        }
    }
    FileSpec Remote(const std::wstring& name) const { return FileSpec(FilePath(run->Child(name))); }

    std::unique_ptr<TestFolder> run;
    std::uint64_t freeBefore = 0;
};

TEST_F(TmpfsDriveTest, FolderMoveFallsBackToCopyAndDeleteButNotForATreeHoldingLinks) {
    At(L"tree").CreateFolder();
    At(L"tree\\sub").CreateFolder();
    dir.WriteFile(L"tree\\a.txt", "a");
    dir.WriteFile(L"tree\\sub\\b.txt", "bb");
    RecordingSink sink;
    Move(Remote(L"moved"), At(L"tree"), Tickler(&sink));
    EXPECT_EQ(ReadAll(run->Child(L"moved\\a.txt")) + ReadAll(run->Child(L"moved\\sub\\b.txt")),
              "abb");
    EXPECT_FALSE(Exists(dir.Child(L"tree")));
    EXPECT_EQ(sink.positions.back(), 1.0);
    EXPECT_EQ(sink.texts.size(), 3u); // one per file, then the move's own
    const std::wstring tree = L"C:\\talven-fixtures\\util-links\\tree";
    if (!Exists(tree)) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    // The copy would skip the links and removing the source lose them: refused before copying.
    const FileException e =
        CatchFileException([&] { Move(Remote(L"links"), FileSpec(FilePath(tree)), Tickler()); });
    EXPECT_EQ(e.code(), FileException::AccessDenied.id());
    EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(FilePath(tree + L"\\out")));
    EXPECT_FALSE(Exists(run->Child(L"links")));
    EXPECT_EQ(ReadAll(tree + L"\\sub\\b.txt") + ReadAll(tree + L"\\out\\o.txt"), "bbbbboutside");
}

TEST_F(TmpfsDriveTest, FillingTheVolumeRaisesVolumeFullAndLeavesNoTarget) {
    // Five files of 300,000 bytes: three fit into the MiB, the fourth fills it.
    At(L"src").CreateFolder();
    for (char c = 'a'; c <= 'e'; ++c) {
        dir.WriteFile(std::wstring(L"src\\") + wchar_t(c) + L".bin", std::string(300000, c));
    }
    dir.WriteFile(L"big.bin", std::string(2 << 20, 'b'));
    const std::function<void()> copies[] = {
        [&] { CopyFile(Remote(L"copy"), At(L"big.bin"), Tickler()); },
        [&] { CopyFileByChannel(Remote(L"copy"), At(L"big.bin"), Tickler()); },
        [&] { CopyFolder(Remote(L"copy"), At(L"src"), true, Tickler()); },
    };
    for (const auto& copy : copies) {
        SCOPED_TRACE(&copy - copies);
        const FileException e = CatchFileException(copy);
        EXPECT_EQ(e.code(), FileException::VolumeFull.id()) << e.what();
        EXPECT_FALSE(Exists(run->Child(L"copy")));
    }
}

TEST_F(TmpfsDriveTest, ChannelWriteRaisesVolumeFullAndNeverReportsAShortWrite) {
    // Pieces that do not divide the MiB, so that one of them only partly fits; and one piece
    // larger than the whole volume.
    for (const std::size_t piece : {std::size_t(300001), std::size_t(2 << 20)}) {
        SCOPED_TRACE(piece);
        const std::wstring path = run->Child(L"fill.bin");
        const std::string data(piece, 'w');
        std::uint64_t accepted = 0;
        {
            const FileChannel out = Remote(L"fill.bin").OpenChannel(ModeWrite | ModeCreate);
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
    }
}

// VolumeTest covers the volume objects across a swap; this adds what holders of specs see.
using SwappedMedium = FileSystemTest;

TEST_F(SwappedMedium, HeldSpecsKeepTheOldVolumeAndNewSpecsBindTheNewOne) {
    if (!DriveTPresent()) {
        GTEST_SKIP() << "drive T: is not set up: run tests/fixtures/setup-drives.sh before the "
                        "Wine server starts";
    }
    const DWORD original = SerialOfT();
    {
        const MediumGuard guard;
        const DWORD swapped = original ^ 0x0000FF00u;
        const FileSpec held{FilePath(L"T:\\.windows-label")};
        const Volume old = held.GetVolume();
        ASSERT_TRUE(held.IsPresent() && old.IsMounted());
        ASSERT_EQ(old.GetSerialNumber(), original);
        ASSERT_TRUE(SwapMediumOfT(swapped));
        EXPECT_FALSE(old.IsMounted() || old.IsValid());
        EXPECT_EQ(old.GetSerialNumber(), original); // the record is never refreshed
        EXPECT_TRUE(held.GetVolume() == old);       // a spec stays bound to its volume
        const FileSpec fresh{FilePath(L"T:\\.windows-label")};
        const Volume now = fresh.GetVolume();
        EXPECT_TRUE(!(now == old) && now.IsMounted());
        EXPECT_EQ(now.GetSerialNumber(), swapped);
        EXPECT_FALSE(fresh == held); // same path, other medium
        EXPECT_TRUE(FileSpec(FilePath(L"T:\\")).GetVolume() == now);
        // Nothing new can be made on the medium that left.
        const std::int32_t internalError = TalvenException::InternalSoftwareError.id();
        EXPECT_EQ(ErrorCode([&] { held.MakeChild(FilePath("x")); }), internalError);
        EXPECT_EQ(ErrorCode([&] { held.ParentFolder(); }), internalError);
    }
    EXPECT_EQ(SerialOfT(), original) << "the original medium is back";
}

} // namespace
