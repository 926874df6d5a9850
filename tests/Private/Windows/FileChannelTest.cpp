// Tests of the Windows file channel: open modes and sharing, reads and writes, 64-bit positions
// and lengths, closing and the hand-over to a stdio stream, errors naming the file spec's path.
// HandleLeakTest repeats these opens for leaks; the empty channel is FileSpecTest's.
#include "Private/FileChannel.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileChannel_Win32.h"

#include <cstdio>
#include <memory>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

constexpr std::uint64_t GiB = 1ull << 30;
using F = FileException;

class FileChannelTest : public FileSystemTest {
protected:
    std::unique_ptr<FileChannel_Win32> Open(const std::wstring& name, OpenMode mode) const {
        return std::make_unique<FileChannel_Win32>(L"\\\\?\\" + dir.Child(name), mode,
                                                   CountedPtr<FileSpec_IF>());
    }
    // The FileException code of opening name with mode, or 0 when it opens.
    std::int32_t OpenError(const std::wstring& name, OpenMode mode) const {
        return ErrorCode([&] { Open(name, mode); });
    }
};

TEST_F(FileChannelTest, OpenRefusesInvalidModesCreatesMissingFilesAndTruncates) {
    for (OpenMode mode :
         {OpenMode(0), OpenMode(ModeCreate), ModeCreate | ModeShareRead | ModeShareWrite,
          ModeRead | ModeTruncate, ModeRead | ModeCreate | ModeTruncate}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(ErrorCode([&] { Open(L"never.txt", mode); }),
                  TalvenException::InternalSoftwareError.id());
        EXPECT_FALSE(Exists(dir.Child(L"never.txt")));
    }
    const FileException missing = CatchFileException([&] { At(L"new.txt").OpenChannel(ModeRead); });
    EXPECT_EQ(missing.code(), F::FileNotFound.id());
    EXPECT_EQ(missing.path(), At(L"new.txt").GetPath().GetBytes());
    EXPECT_EQ(OpenError(L"nodir\\new.txt", ModeWrite | ModeCreate), F::FilePathNotFound.id());
    Open(L"new.txt", ModeWrite | ModeCreate)->Write("hello world", 11);
    auto channel = Open(L"new.txt", ModeRead | ModeWrite | ModeCreate);
    EXPECT_EQ(channel->GetEndOfFile(), 11u);
    EXPECT_EQ(channel->GetPosition(), 0u);
    channel.reset();
    EXPECT_EQ(Open(L"new.txt", ModeWrite | ModeTruncate)->GetEndOfFile(), 0u);
    ASSERT_TRUE(::CreateDirectoryW(dir.Child(L"sub").c_str(), nullptr));
    EXPECT_EQ(OpenError(L"sub", ModeWrite), F::AccessDenied.id());
    dir.WriteFile(L"ro.txt", "x");
    ASSERT_TRUE(::SetFileAttributesW(dir.Child(L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(OpenError(L"ro.txt", ModeRead), 0);
    // Wine run by root lets anyone write a read-only file (root ignores Unix permissions).
    if (Win32Res::FileHandle(::CreateFileW(dir.Child(L"ro.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr))) {
        GTEST_SKIP() << "this system lets the read-only file be opened for writing";
    }
    EXPECT_EQ(OpenError(L"ro.txt", ModeWrite), F::AccessDenied.id());
}

TEST_F(FileChannelTest, SharingRules) {
    const OpenMode r = ModeRead, w = ModeWrite, sr = ModeShareRead, sw = ModeShareWrite;
    // A reader naming no sharing still lets readers in; a writer naming none is exclusive; the
    // default reader does not share writing.
    // clang-format off
    const struct { OpenMode first, second; bool secondOpens; } cases[] = {
        {r, r, true}, {r, w, false}, {r, r | w | sr | sw, false}, {w, r, false},
        {w, w | sr | sw, false}, {w | sr, r | sw, true}, {w | sr, r, false},
        {r | sw, w | sr, true}, {r | sw, r, false}, {r | w | sr | sw, r | w | sr | sw, true}};
    // clang-format on
    dir.WriteFile(L"shared.txt", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first << " then " << c.second);
        auto first = Open(L"shared.txt", c.first);
        EXPECT_EQ(OpenError(L"shared.txt", c.second), c.secondOpens ? 0 : F::AccessDenied.id());
    }
}

TEST_F(FileChannelTest, ReadsStopAtTheEndAndPositionsGoPast4GiB) {
    auto channel = Open(L"sparse.bin", ModeRead | ModeWrite | ModeCreate);
    char buffer[16] = {};
    std::size_t got = 99;
    const auto ReadAt = [&](std::uint64_t position) {
        channel->SetPosition(position);
        channel->Read(buffer, sizeof buffer, got);
        return std::string(buffer, got);
    };
    channel->Write("0123456789", 10);
    EXPECT_EQ(ReadAt(7), "789");
    channel->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(got, 0u);
    const std::uint64_t distant = 5 * GiB + 7;
    EXPECT_EQ(ReadAt(distant), "");
    EXPECT_EQ(channel->GetEndOfFile(), 10u); // seeking alone does not grow the file
    channel->Write("xyz", 3);
    EXPECT_EQ(channel->GetEndOfFile(), distant + 3);
    EXPECT_EQ(ReadAt(distant - 1), std::string("\0xyz", 4));
    EXPECT_EQ(channel->GetPosition(), distant + 3);
    // Cutting below the position keeps the position; a write there grows the file again.
    channel->SetEndOfFile(4 * GiB + 1);
    EXPECT_EQ(channel->GetEndOfFile(), 4 * GiB + 1);
    EXPECT_EQ(channel->GetPosition(), distant + 3);
    channel->SetEndOfFile(10);
    channel->Write("b", 1);
    EXPECT_NO_THROW(channel->Flush());
    EXPECT_EQ(channel->GetEndOfFile(), distant + 4);
    // Above the signed range, and a length no file system takes: nothing moves.
    channel->SetPosition(3);
    EXPECT_THROW(channel->SetPosition(0x8000000000000000ull), FileException);
    EXPECT_THROW(channel->SetEndOfFile(0xFFFFFFFFFFFFFFFFull), FileException);
    EXPECT_THROW(channel->SetEndOfFile(1ull << 62), FileException);
    EXPECT_EQ(channel->GetPosition(), 3u);
    EXPECT_EQ(channel->GetEndOfFile(), distant + 4);
}

TEST_F(FileChannelTest, ClosedOperationsRaiseUnlessTheyHaveNothingToDoAndStdioTakesOver) {
    const FileSpec spec = At(L"close.txt"); // through a spec: errors name its path
    const FileChannel channel = spec.OpenChannel(ModeRead | ModeWrite | ModeCreate);
    channel.Write("data", 4);
    EXPECT_EQ(channel.GetFileSpec().GetPath().GetBytes(), spec.GetPath().GetBytes());
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(spec.GetFileSize(), 4u);
    const FileException second = CatchFileException([&] { channel.Close(); });
    const auto* cause = dynamic_cast<const SystemException::Win32*>(second.cause());
    EXPECT_EQ(cause ? cause->number() : 0, std::uint32_t(ERROR_INVALID_HANDLE));
    EXPECT_EQ(second.path(), spec.GetPath().GetBytes());
    char byte = 0;
    std::size_t got = 5;
    EXPECT_THROW(channel.GetEndOfFile(), FileException);
    EXPECT_THROW(channel.GetPosition(), FileException);
    EXPECT_THROW(channel.SetPosition(0), FileException);
    EXPECT_THROW(channel.SetEndOfFile(0), FileException);
    EXPECT_THROW(channel.Flush(), FileException);
    EXPECT_THROW(channel.Read(&byte, 1, got), FileException);
    EXPECT_THROW(channel.Write(&byte, 1), FileException);
    // A count of zero makes no OS call, which would fail on the closed handle.
    EXPECT_NO_THROW(channel.Read(nullptr, 0, got));
    EXPECT_EQ(got, 0u);
    EXPECT_NO_THROW(channel.Write(nullptr, 0));
    auto reader = Open(L"close.txt", ModeRead);
    reader->Close();
    EXPECT_NO_THROW(reader->Flush()); // without ModeWrite, Flush does nothing at all

    // The hand-over to stdio, in each mode, at the channel's position.
    Open(L"stdio.txt", ModeWrite | ModeCreate)->Write("abc", 3);
    // At the channel's position 3, a stream that can write puts "xyz" there; a reader reads it.
    for (OpenMode mode : {ModeRead | ModeWrite, OpenMode(ModeWrite), OpenMode(ModeRead)}) {
        SCOPED_TRACE(mode);
        auto channel = Open(L"stdio.txt", mode);
        channel->SetPosition(3);
        std::FILE* stream = channel->ReleaseToStdio();
        ASSERT_NE(stream, nullptr);
        EXPECT_FALSE(channel->IsOpen());
        EXPECT_EQ(ErrorCode([&] { channel->ReleaseToStdio(); }),
                  TalvenException::InternalSoftwareError.id());
        channel.reset(); // the stream must survive the channel
        char read[8] = "xyz";
        EXPECT_EQ((mode & ModeWrite) ? std::fwrite(read, 1, 3, stream)
                                     : std::fread(read, 1, sizeof read, stream),
                  3u);
        EXPECT_EQ(std::string(read), "xyz");
        EXPECT_EQ(std::fclose(stream), 0);
        EXPECT_EQ(ReadAll(dir.Child(L"stdio.txt")), "abcxyz");
    }
}

} // namespace
