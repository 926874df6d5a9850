// Tests of the Windows file channel: open modes and sharing, reads and writes, 64-bit positions
// and lengths, closing and the hand-over to a stdio stream. The suites' main program checks every
// test for leaked handles, the failing opens included; the empty channel is FileSpecTest's.
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "common/TestHelpers.h"

#include "Private/Windows/FileSystem_FileChannel_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

using FileSystem::FileChannel_Win32;
using namespace FileSystem; // the mode flags

namespace {

constexpr std::uint64_t GiB = 1ull << 30;

class FileChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FileSystem_Win32::CreateAPI(); }

    std::wstring LongPath(const std::wstring& name) const {
        return L"\\\\?\\" + folder.Child(name);
    }
    std::unique_ptr<FileChannel_Win32> Open(const std::wstring& name, OpenMode mode) const {
        return std::make_unique<FileChannel_Win32>(LongPath(name), mode, CountedPtr<FileSpec_IF>());
    }
    // The FileException code of opening name with mode, or 0 when it opens.
    std::int32_t OpenError(const std::wstring& name, OpenMode mode) const {
        try {
            Open(name, mode);
            return 0;
        } catch (const FileException& e) {
            return e.code();
        }
    }
    bool Exists(const std::wstring& name) const {
        return ::GetFileAttributesW(folder.Child(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    std::string Content(const std::wstring& name) const {
        auto channel = Open(name, ModeRead);
        std::string bytes(static_cast<std::size_t>(channel->GetEndOfFile()), '\0');
        std::size_t got = 0;
        channel->Read(&bytes[0], bytes.size(), got);
        bytes.resize(got);
        return bytes;
    }

    TalvenTest::TestFolder folder;
};

TEST_F(FileChannelTest, InvalidModesRaiseTheInternalErrorAndCreateNothing) {
    const OpenMode invalid[] = {0, ModeCreate, ModeCreate | ModeShareRead | ModeShareWrite,
                                ModeRead | ModeTruncate, ModeRead | ModeCreate | ModeTruncate};
    for (OpenMode mode : invalid) {
        SCOPED_TRACE(mode);
        try {
            Open(L"never.txt", mode);
            ADD_FAILURE() << "opened";
        } catch (const TalvenException& e) {
            EXPECT_EQ(e.code(), TalvenException::InternalSoftwareError.id());
            EXPECT_EQ(dynamic_cast<const FileException*>(&e), nullptr);
            EXPECT_NE(TextConvert::Chars(e.message()).find("FileSystem_FileChannel_Win32"),
                      std::string::npos);
        }
        EXPECT_FALSE(Exists(L"never.txt"));
    }
}

TEST_F(FileChannelTest, ModeCreateMakesAMissingFileAndKeepsAnExistingOneTruncateEmptiesIt) {
    EXPECT_EQ(OpenError(L"new.txt", ModeRead), FileException::FileNotFound.id());
    EXPECT_EQ(OpenError(L"nodir\\new.txt", ModeWrite | ModeCreate),
              FileException::FilePathNotFound.id());
    {
        auto channel = Open(L"new.txt", ModeWrite | ModeCreate);
        EXPECT_TRUE(channel->IsOpen());
        EXPECT_EQ(channel->GetEndOfFile(), 0u);
        channel->Write("hello world", 11);
    }
    {
        auto channel = Open(L"new.txt", ModeRead | ModeWrite | ModeCreate);
        EXPECT_EQ(channel->GetEndOfFile(), 11u);
        EXPECT_EQ(channel->GetPosition(), 0u);
    }
    auto channel = Open(L"new.txt", ModeWrite | ModeTruncate);
    EXPECT_EQ(channel->GetEndOfFile(), 0u);
}

TEST_F(FileChannelTest, SharingRules) {
    struct Case {
        OpenMode first;
        OpenMode second;
        bool secondOpens;
    };
    const Case cases[] = {
        {ModeRead, ModeRead, true}, // a reader naming no sharing still lets readers in
        {ModeRead, ModeWrite, false},
        {ModeRead, ModeRead | ModeWrite | ModeShareRead | ModeShareWrite, false},
        {ModeWrite, ModeRead, false}, // a writer naming no sharing is exclusive
        {ModeWrite, ModeWrite | ModeShareRead | ModeShareWrite, false},
        {ModeWrite | ModeShareRead, ModeRead | ModeShareWrite, true},
        {ModeWrite | ModeShareRead, ModeRead, false}, // the default reader does not share writing
        {ModeRead | ModeShareWrite, ModeWrite | ModeShareRead, true},
        {ModeRead | ModeShareWrite, ModeRead, false},
        {ModeRead | ModeWrite | ModeShareRead | ModeShareWrite,
         ModeRead | ModeWrite | ModeShareRead | ModeShareWrite, true},
    };
    folder.WriteFile(L"shared.txt", "x");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.first << " then " << c.second);
        auto first = Open(L"shared.txt", c.first);
        EXPECT_EQ(OpenError(L"shared.txt", c.second),
                  c.secondOpens ? 0 : FileException::AccessDenied.id());
    }
}

TEST_F(FileChannelTest, FolderOrReadOnlyFileOpenedForWritingIsAccessDenied) {
    ASSERT_TRUE(::CreateDirectoryW(folder.Child(L"sub").c_str(), nullptr));
    EXPECT_EQ(OpenError(L"sub", ModeWrite), FileException::AccessDenied.id());
    folder.WriteFile(L"locked.txt", "x");
    ASSERT_TRUE(::SetFileAttributesW(folder.Child(L"locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(OpenError(L"locked.txt", ModeRead), 0);
    // Wine run by root lets anyone write a read-only file, as the Unix permissions it maps the
    // attribute to do not bind root.
    Win32Res::FileHandle probe(::CreateFileW(folder.Child(L"locked.txt").c_str(), GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                             nullptr));
    if (probe) {
        probe.Reset();
        GTEST_SKIP() << "this system lets the read-only file be opened for writing";
    }
    EXPECT_EQ(OpenError(L"locked.txt", ModeWrite), FileException::AccessDenied.id());
}

TEST_F(FileChannelTest, ReadsStopAtTheEnd) {
    folder.WriteFile(L"digits.txt", "0123456789");
    auto channel = Open(L"digits.txt", ModeRead);
    char buffer[16] = {};
    std::size_t got = 99;
    channel->Read(buffer, 4, got);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buffer, got), "0123");

    channel->SetPosition(7);
    channel->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buffer, got), "789");
    channel->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(got, 0u);

    channel->SetPosition(100);
    channel->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(channel->GetEndOfFile(), 10u);
}

TEST_F(FileChannelTest, PositionsAndLengthsPast4GiB) {
    auto channel = Open(L"sparse.bin", ModeRead | ModeWrite | ModeCreate);
    const std::uint64_t distant = 5 * GiB + 7;
    channel->SetPosition(distant);
    EXPECT_EQ(channel->GetEndOfFile(), 0u); // seeking alone does not grow the file
    channel->Write("xyz", 3);
    EXPECT_EQ(channel->GetEndOfFile(), distant + 3);
    EXPECT_EQ(channel->GetPosition(), distant + 3);

    channel->SetPosition(distant - 1);
    char buffer[8] = {};
    std::size_t got = 0;
    channel->Read(buffer, sizeof buffer, got);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::memcmp(buffer, "\0xyz", 4), 0);

    channel->SetEndOfFile(4 * GiB + 1);
    EXPECT_EQ(channel->GetEndOfFile(), 4 * GiB + 1);
    EXPECT_EQ(channel->GetPosition(), distant + 3);
}

TEST_F(FileChannelTest, SetEndOfFileBelowThePositionKeepsThePosition) {
    auto channel = Open(L"cut.txt", ModeRead | ModeWrite | ModeCreate);
    channel->Write(std::string(100, 'a').data(), 100);
    channel->SetEndOfFile(10);
    EXPECT_EQ(channel->GetEndOfFile(), 10u);
    EXPECT_EQ(channel->GetPosition(), 100u);
    channel->Write("b", 1);
    EXPECT_EQ(channel->GetEndOfFile(), 101u);
    channel->SetEndOfFile(0);
    channel->Flush();
    channel->Close();
    EXPECT_EQ(Content(L"cut.txt"), "");
}

TEST_F(FileChannelTest, SetPositionAboveTheSignedRangeIsRefused) {
    auto channel = Open(L"pos.txt", ModeRead | ModeWrite | ModeCreate);
    channel->SetPosition(3);
    EXPECT_THROW(channel->SetPosition(0x8000000000000000ull), FileException);
    EXPECT_THROW(channel->SetEndOfFile(0xFFFFFFFFFFFFFFFFull), FileException);
    EXPECT_EQ(channel->GetPosition(), 3u);
    // No file system takes a length of 2^62: length and position stay as they were.
    EXPECT_THROW(channel->SetEndOfFile(1ull << 62), FileException);
    EXPECT_EQ(channel->GetPosition(), 3u);
    EXPECT_EQ(channel->GetEndOfFile(), 0u);
}

TEST_F(FileChannelTest, SecondCloseRaisesAndClosedOperationsRaiseUnlessTheyHaveNothingToDo) {
    auto channel = Open(L"close.txt", ModeRead | ModeWrite | ModeCreate);
    channel->Close();
    EXPECT_FALSE(channel->IsOpen());
    try {
        channel->Close();
        FAIL() << "second Close succeeded";
    } catch (const FileException& e) {
        const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
        ASSERT_NE(cause, nullptr);
        EXPECT_EQ(cause->number(), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    }
    EXPECT_THROW(channel->GetEndOfFile(), FileException);
    EXPECT_THROW(channel->GetPosition(), FileException);
    EXPECT_THROW(channel->SetPosition(0), FileException);
    EXPECT_THROW(channel->SetEndOfFile(0), FileException);
    EXPECT_THROW(channel->Flush(), FileException);
    char byte = 0;
    std::size_t got = 5;
    EXPECT_THROW(channel->Read(&byte, 1, got), FileException);
    EXPECT_THROW(channel->Write(&byte, 1), FileException);
    // A count of zero makes no OS call, which would fail on the closed handle.
    EXPECT_NO_THROW(channel->Read(nullptr, 0, got));
    EXPECT_EQ(got, 0u);
    EXPECT_NO_THROW(channel->Write(nullptr, 0));

    auto reader = Open(L"close.txt", ModeRead);
    reader->Close();
    EXPECT_NO_THROW(reader->Flush()); // without ModeWrite, Flush does nothing at all
}

TEST_F(FileChannelTest, ReleaseToStdioHandsOverTheFileAtItsPosition) {
    {
        auto channel = Open(L"stdio.txt", ModeRead | ModeWrite | ModeCreate);
        channel->Write("abc", 3);
        std::FILE* stream = channel->ReleaseToStdio();
        ASSERT_NE(stream, nullptr);
        EXPECT_FALSE(channel->IsOpen());
        EXPECT_EQ(ErrorCode([&] { channel->ReleaseToStdio(); }),
                  TalvenException::InternalSoftwareError.id());
        channel.reset(); // the stream must survive the channel
        EXPECT_EQ(std::fwrite("def", 1, 3, stream), 3u);
        EXPECT_EQ(std::fclose(stream), 0);
    }
    EXPECT_EQ(Content(L"stdio.txt"), "abcdef");

    auto reader = Open(L"stdio.txt", ModeRead);
    std::FILE* stream = reader->ReleaseToStdio();
    ASSERT_NE(stream, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, stream), 6u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(std::fclose(stream), 0);
}

// Channels opened through real file specs: errors name the file spec's path.
class FileChannelThroughSpec : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FileSystem_Win32::Install(); }
    TalvenTest::TestFolder folder;
};

TEST_F(FileChannelThroughSpec, ErrorsNameTheFileAndTheChannelKeepsItsSpec) {
    const FileSpec missing(FilePath(folder.Child(L"missing.txt")));
    try {
        missing.OpenChannel(ModeRead);
        FAIL() << "opened a missing file";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), FileException::FileNotFound.id());
        EXPECT_EQ(e.path(), missing.GetPath().GetBytes());
    }

    const FileSpec spec(FilePath(folder.Child(L"real.txt")));
    FileChannel channel = spec.OpenChannel(ModeRead | ModeWrite | ModeCreate);
    channel.Write("data", 4);
    EXPECT_EQ(channel.GetEndOfFile(), 4u);
    EXPECT_EQ(channel.GetFileSpec().GetPath().GetBytes(), spec.GetPath().GetBytes());
    channel.Close();
    try {
        channel.Close();
        FAIL() << "second Close succeeded";
    } catch (const FileException& e) {
        EXPECT_EQ(e.path(), spec.GetPath().GetBytes());
    }
    EXPECT_EQ(spec.GetFileSize(), 4u);
}

} // namespace
