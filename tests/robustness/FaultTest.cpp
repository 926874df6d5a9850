// Copies, moves and writes under faults: the OS copy's progress routine; copies cancelled or
// failing in their sink; the 1 MiB tmpfs drive Q: filling up or a move to it that would lose
// links; a medium of the optical drive T: swapped. None may leave a partial target.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using Faults = FileSystemTest;

// Wine's CopyFileExW never calls the progress routine, so it is tested by calling it.
TEST(CopyProgressRoutine, ReportsInItsRangeAndCancelsOnRequestOrAFailingSink) {
    RecordingSink sink, failing;
    const Tickler part(&sink, 0.5, 0.25), failingTickler(&failing);
    CopyProgressContext context;
    context.tickler = &part;
    context.source = FilePath("C:\\data\\src.bin");
    const DWORD start = CALLBACK_STREAM_SWITCH, chunk = CALLBACK_CHUNK_FINISHED;
    const auto call = [&](std::int64_t total, std::int64_t done, DWORD reason, DWORD stream) {
        LARGE_INTEGER t, d; // the stream's own sizes are not used
        t.QuadPart = total;
        d.QuadPart = done;
        return CopyProgressRoutine(t, d, t, d, stream, reason, nullptr, nullptr, &context);
    };
    const DWORD go = PROGRESS_CONTINUE, stop = PROGRESS_CANCEL;
    EXPECT_EQ(call(4096, 0, start, 1), go);    // the start: preparation (0.0) and the text first
    EXPECT_EQ(call(4096, 1024, start, 2), go); // a later stream: no new start
    EXPECT_EQ(call(0, 0, chunk, 1), go);       // an empty file is whole
    EXPECT_EQ(sink.positions, (std::vector<double>{0.5, 0.5, 0.5625, 0.75}));
    EXPECT_EQ(sink.texts, std::vector<std::string>{"copying C:\\data\\src.bin"});
    sink.cancelAt = 0.625;
    EXPECT_TRUE(call(100, 50, chunk, 1) == stop && context.called && !context.failure);
    // A sink's exception must not unwind through the OS: it is kept and the copy cancelled.
    failing.failOnProgress = true;
    context.tickler = &failingTickler;
    EXPECT_TRUE(call(100, 10, chunk, 1) == stop && context.failure);
    context.tickler = nullptr; // ignored
    EXPECT_EQ(call(100, 100, chunk, 1), go);
}

TEST_F(Faults, CopiesDataAndDateOnBothPathsRefusesAnExistingTargetAndLeavesNoneWhenStopped) {
    dir.WriteFile(L"src.bin", std::string(200 * 1024 + 7, 'x')); // 3 chunks of 64 KiB and a rest
    dir.WriteFile(L"empty.bin", "");
    dir.WriteFile(L"half.bin", std::string(256 * 1024, 'c'));
    // CopyFile takes the OS path for Windows file specs; the channel path is called directly.
    for (const auto copy : {&CopyFile, &CopyFileByChannel}) {
        const bool os = copy == &CopyFile;
        const std::wstring target = os ? L"os" : L"channel";
        SCOPED_TRACE(Narrow(target));
        RecordingSink sink, empty, cancelling, failing;
        copy(At(target), At(L"src.bin"), Tickler(&sink));
        EXPECT_EQ(ReadAll(dir.Child(target)), ReadAll(dir.Child(L"src.bin")));
        // The channel copy passes the date through DateTime (1/600 s), which may lose a tick.
        EXPECT_NEAR(double(At(target).GetModificationDate().GetUtcTicks()),
                    double(At(L"src.bin").GetModificationDate().GetUtcTicks()), 1.0);
        EXPECT_EQ(sink.texts,
                  std::vector<std::string>{"copying " + Narrow(At(L"src.bin").GetPath())});
        // The channel copy reports its start, then once per chunk; both report their end.
        EXPECT_TRUE((os || sink.positions.size() == 5u) && sink.positions.at(0) == 0.0 &&
                    sink.positions.back() == 1.0);
        copy(At(target + L".empty"), At(L"empty.bin"), Tickler(&empty));
        EXPECT_TRUE(ReadAll(dir.Child(target + L".empty")).empty() &&
                    empty.positions.back() == 1.0);
        EXPECT_EQ(ErrorCode([&] { copy(At(L"src.bin"), At(target + L".empty"), Tickler()); }),
                  FileException::FileExists.id());
        EXPECT_EQ(ReadAll(dir.Child(L"src.bin")).size(), 200u * 1024 + 7);
        // A stopped copy leaves no target for a retry to meet (Wine's OS copy cannot be stopped).
        cancelling.cancelAt = 0.5;
        if (!os || !UnderWine()) {
            const FileException e = CatchFileException(
                [&] { copy(At(L"dst.bin"), At(L"half.bin"), Tickler(&cancelling)); });
            const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
            EXPECT_EQ(cause ? cause->number() : 0, 1235u);                     // ERROR_CANCELLED
            EXPECT_TRUE(e.code() == SystemException::Win32::Win32Error.id() && // no kind
                        cancelling.positions.back() == 0.5);
            EXPECT_EQ(Narrow(FilePath(e.path())) + " " + ReadAll(dir.Child(L"dst.bin")),
                      Narrow(At(L"half.bin").GetPath()) + " <missing>");
        }
        failing.failOnProgress = true;
        EXPECT_EQ(ErrorCode([&] { copy(At(L"dst.bin"), At(L"half.bin"), Tickler(&failing)); }),
                  FileException::AccessDenied.id());
        EXPECT_FALSE(Exists(dir.Child(L"dst.bin")));
    }
}

TEST_F(Faults, FillingRaisesVolumeFullWithoutTargetOrShortWriteAndAMoveRefusesLinks) {
    if (!TmpfsDriveUsable()) {
        GTEST_SKIP() << "no 1 MiB tmpfs drive Q: (tests/fixtures/util-tmpfs-drive.sh, root)";
    }
    const auto freeSpace = [] { return FileSpec(FilePath(L"Q:\\")).GetVolume().GetFreeSpace(); };
    const std::uint64_t freeBefore = freeSpace();
    {
        const TestFolder run(L"Q:", L"faults"); // every byte written there goes with it
        const auto remote = [&](const wchar_t* name) {
            return FileSpec(FilePath(run.Child(name)));
        };
        // Five files of 300,000 bytes: three fit into the MiB, the fourth fills it.
        At(L"src").CreateFolder();
        for (char c = 'a'; c <= 'e'; ++c) {
            dir.WriteFile(std::wstring(L"src\\") + wchar_t(c) + L".bin", std::string(300000, c));
        }
        dir.WriteFile(L"big.bin", std::string(2 << 20, 'b'));
        const std::function<void()> copies[] = {
            [&] { CopyFile(remote(L"copy"), At(L"big.bin"), Tickler()); },
            [&] { CopyFileByChannel(remote(L"copy"), At(L"big.bin"), Tickler()); },
            [&] { CopyFolder(remote(L"copy"), At(L"src"), true, Tickler()); },
        };
        for (const auto& copy : copies) {
            SCOPED_TRACE(&copy - copies);
            const FileException e = CatchFileException(copy);
            EXPECT_EQ(e.code(), FileException::VolumeFull.id()) << e.what();
            EXPECT_FALSE(Exists(run.Child(L"copy")));
        }
        // No short channel write: a piece that only partly fits into the MiB, one larger than it.
        for (const std::size_t piece : {std::size_t(300001), std::size_t(2 << 20)}) {
            SCOPED_TRACE(piece);
            const std::wstring path = run.Child(L"fill.bin");
            const std::string data(piece, 'w');
            std::uint64_t accepted = 0;
            {
                const FileChannel out = remote(L"fill.bin").OpenChannel(ModeWrite | ModeCreate);
                const FileException e = CatchFileException([&] {
                    for (int i = 0; i < 8; ++i) {
                        out.Write(data.data(), data.size());
                        accepted += data.size();
                        ASSERT_EQ(out.GetPosition(), accepted);
                    }
                });
                EXPECT_EQ(std::to_string(e.code()) + " " + TextConvert::Chars(e.path()),
                          std::to_string(FileException::VolumeFull.id()) + " " + Narrow(path));
                EXPECT_TRUE(out.GetEndOfFile() >= accepted && accepted < (std::uint64_t(1) << 20));
            }
            ASSERT_TRUE(::DeleteFileW(path.c_str()));
        }
        CreateFolderTree(At(L"tree\\sub"));
        dir.WriteFile(L"tree\\a.txt", "a"); // a folder move falls back to copy and delete
        dir.WriteFile(L"tree\\sub\\b.txt", "bb");
        RecordingSink sink;
        Move(remote(L"moved"), At(L"tree"), Tickler(&sink));
        EXPECT_EQ(ReadAll(run.Child(L"moved\\a.txt")) + ReadAll(run.Child(L"moved\\sub\\b.txt")),
                  "abb");
        EXPECT_FALSE(Exists(dir.Child(L"tree")));
        EXPECT_TRUE(sink.positions.back() == 1.0 && sink.texts.size() == 3u); // 1 per file, 1 move
        const std::wstring tree = L"C:\\talven-fixtures\\util-links\\tree";
        if (!Exists(tree)) {
            GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
        }
        // The copy would skip the links and removing the source lose them: refused before copying.
        const FileException e = CatchFileException(
            [&] { Move(remote(L"links"), FileSpec(FilePath(tree)), Tickler()); });
        EXPECT_TRUE(e.code() == FileException::AccessDenied.id() &&
                    Narrow(FilePath(e.path())) == Narrow(FilePath(tree + L"\\out")))
            << e.what();
        EXPECT_FALSE(Exists(run.Child(L"links")));
        EXPECT_EQ(ReadAll(tree + L"\\sub\\b.txt") + ReadAll(tree + L"\\out\\o.txt"),
                  "bbbbboutside");
    }
    EXPECT_EQ(freeSpace(), freeBefore);
}

} // namespace
