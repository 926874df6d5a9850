// Copying a file: the OS copy's progress routine called directly, the OS copy and the channel
// copy end to end (data, dates, an existing target, cancellation, a failing sink), neither
// leaving a partial target behind; and the private temporary folder, removed by Uninstall.
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "common/FileSystemTest.h"

#include <filesystem>
#include <regex>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

// CopyFile takes the OS path for Windows file specs; the channel path is called directly.
const struct {
    void (*copy)(const FileSpec&, const FileSpec&, const Tickler&);
    const char* name;
} Paths[] = {{&CopyFile, "os"}, {&CopyFileByChannel, "channel"}};

using CopyFileTest = FileSystemTest;

// Wine's CopyFileExW never calls the progress routine, so it is tested by calling it.
TEST(CopyProgressRoutine, ReportsInItsRangeAndCancelsOnRequestOrAFailingSink) {
    RecordingSink sink, failing;
    const Tickler part(&sink, 0.5, 0.25), failingTickler(&failing), silent;
    CopyProgressContext context, quiet;
    context.tickler = &part;
    context.source = FilePath("C:\\data\\src.bin");
    quiet.tickler = &silent;
    std::vector<DWORD> answers;
    const DWORD start = CALLBACK_STREAM_SWITCH, chunk = CALLBACK_CHUNK_FINISHED;
    const auto call = [&](std::int64_t total, std::int64_t done, DWORD reason, DWORD stream = 1) {
        LARGE_INTEGER t, d, zero;
        t.QuadPart = total;
        d.QuadPart = done;
        zero.QuadPart = 0;
        answers.push_back(
            CopyProgressRoutine(t, d, zero, zero, stream, reason, nullptr, nullptr, &context));
    };
    call(4096, 0, start);
    call(4096, 1024, chunk);
    call(4096, 0, start, 2);
    call(4096, 4096, chunk);
    call(0, 0, start); // an empty file
    // Preparation (0.0) at the first stream's start only, then a fraction on every call.
    EXPECT_EQ(sink.positions, (std::vector<double>{0.5, 0.5, 0.5625, 0.5, 0.75, 0.5, 0.75}));
    EXPECT_EQ(sink.texts, std::vector<std::string>(2, "copying C:\\data\\src.bin"));
    sink.cancelAt = 0.625;
    call(100, 49, chunk);
    call(100, 50, chunk);
    EXPECT_TRUE(context.called && !context.failure);
    // A sink's exception must not unwind through the OS: it is kept and the copy cancelled.
    failing.failOnProgress = true;
    context.tickler = &failingTickler;
    call(100, 10, chunk);
    EXPECT_TRUE(context.failure);
    context = quiet;
    call(100, 100, chunk);
    const DWORD go = PROGRESS_CONTINUE, stop = PROGRESS_CANCEL;
    EXPECT_EQ(answers, (std::vector<DWORD>{go, go, go, go, go, go, stop, stop, go}));
}

TEST_F(CopyFileTest, CopiesDataAndDateOnBothPathsAndRefusesAnExistingTarget) {
    dir.WriteFile(L"src.bin", std::string(200 * 1024 + 7, 'x')); // 3 chunks of 64 KiB and a rest
    dir.WriteFile(L"empty.bin", "");
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        const std::wstring target = TextConvert::AnsiToWide(path.name);
        RecordingSink sink, empty;
        path.copy(At(target), At(L"src.bin"), Tickler(&sink));
        EXPECT_EQ(ReadAll(dir.Child(target)), ReadAll(dir.Child(L"src.bin")));
        // The channel copy passes the date through DateTime (1/600 s, by way of milliseconds),
        // which may lose one tick.
        EXPECT_NEAR(double(At(target).GetModificationDate().GetUtcTicks()),
                    double(At(L"src.bin").GetModificationDate().GetUtcTicks()), 1.0);
        ASSERT_FALSE(sink.positions.empty());
        EXPECT_EQ(std::make_pair(sink.positions.front(), sink.positions.back()),
                  std::make_pair(0.0, 1.0));
        EXPECT_EQ(sink.texts,
                  std::vector<std::string>{"copying " + Narrow(At(L"src.bin").GetPath())});
        if (path.copy == &CopyFileByChannel) {
            EXPECT_EQ(sink.positions.size(), 5u); // the start, then one report per chunk
        }
        path.copy(At(target + L".empty"), At(L"empty.bin"), Tickler(&empty));
        EXPECT_EQ(ReadAll(dir.Child(target + L".empty")), "");
        EXPECT_EQ(empty.positions.back(), 1.0);
        EXPECT_EQ(ErrorCode([&] { path.copy(At(L"src.bin"), At(target + L".empty"), Tickler()); }),
                  FileException::FileExists.id());
        EXPECT_EQ(ReadAll(dir.Child(L"src.bin")).size(), 200u * 1024 + 7);
    }
}

// A cancelled copy, and one whose sink raises, leave no target, so that a retry does not meet
// it; also where the OS copy reports no progress (Wine) and the copy reports its start and end
// itself, after the bytes have arrived.
TEST_F(CopyFileTest, CancelledOrFailingCopyRemovesItsTarget) {
    dir.WriteFile(L"src.bin", std::string(256 * 1024, 'c'));
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        RecordingSink cancelling;
        cancelling.cancelAt = 0.5;
        // Wine's CopyFileExW never calls the progress routine, so it cannot cancel.
        if (path.copy != &CopyFile || !UnderWine()) {
            const FileException e = CatchFileException(
                [&] { path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler(&cancelling)); });
            const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
            EXPECT_EQ(cause ? cause->number() : 0, 1235u);                // ERROR_CANCELLED
            EXPECT_EQ(e.code(), SystemException::Win32::Win32Error.id()); // no kind
            EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(At(L"src.bin").GetPath()));
            EXPECT_FALSE(Exists(dir.Child(L"dst.bin")));
            EXPECT_EQ(cancelling.positions.back(), 0.5);
        }
        RecordingSink failing;
        failing.failOnProgress = true;
        EXPECT_EQ(ErrorCode([&] { path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler(&failing)); }),
                  FileException::AccessDenied.id());
        EXPECT_FALSE(Exists(dir.Child(L"dst.bin")));
        path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler());
        EXPECT_EQ(ReadAll(dir.Child(L"dst.bin")), std::string(256 * 1024, 'c'));
        ::DeleteFileW(dir.Child(L"dst.bin").c_str());
    }
}

// The private temporary folder lives in the shared user temporary folder: this test removes
// only what it made. One folder per process, made anew when it vanished and numbered when
// "Talven.tmp" is taken; Uninstall removes it with read-only content, never reports a folder it
// cannot remove, and a later Install starts the library again.
TEST_F(CopyFileTest, TemporaryFolderIsMadeAnewNumberedAndRemovedByUninstall) {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const FolderSpec first = GetTempFolder();
    EXPECT_TRUE(first.IsFolder() && GetTempFolder() == first);
    EXPECT_TRUE(first.ParentFolder() == FileSpec(FilePath(temp)));
    first.DeleteTree();
    // Wine gives the inode as the folder's file index, and Linux hands a freed inode out again
    // at once: a folder made in between takes it, so that "Talven.tmp" is a new folder here too.
    const TestFolder spacer;
    const std::wstring plain = std::wstring(temp) + L"Talven.tmp";
    const bool made = ::CreateDirectoryW(plain.c_str(), nullptr);
    const FileSpec expected =
        MakeUniqueChild(first.ParentFolder(), FilePath("Talven"), FilePath("tmp"));
    const FolderSpec second = GetTempFolder();
    EXPECT_TRUE(second.IsFolder() && second == expected);
    EXPECT_TRUE(std::regex_match(Narrow(second.GetName()), std::regex("Talven[1-9][0-9]*\\.tmp")))
        << Narrow(second.GetName());
    if (made) {
        ::RemoveDirectoryW(plain.c_str());
    }
    for (const bool hold : {false, true}) {
        SCOPED_TRACE(hold);
        const FolderSpec folder = GetTempFolder();
        const std::wstring path = TextConvert::Utf8ToWide(folder.GetPath().GetBytes());
        if (!hold) { // a read-only file, which the test could not remove if Uninstall failed
            folder.MakeChild(FilePath("sub")).CreateFolder();
            const FileSpec file = folder.MakeChild(FilePath("sub\\f.txt"));
            FileSpec_Impl(file).GetImpl()->Create();
            file.SetAttributes(AttributeReadOnly);
        }
        {
            // Open without sharing: the file, and so its folder, cannot be deleted meanwhile.
            const Win32Res::FileHandle held(
                hold ? ::CreateFileW((path + L"\\held.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE);
            EXPECT_NO_THROW(FileSystem_Win32::Uninstall());
            FileSystem_Win32::Uninstall(); // twice does no harm
        }
        EXPECT_TRUE(hold || !Exists(path));
        EXPECT_FALSE(FileSystem_Win32::IsStarted());
        EXPECT_EQ(FileSystem_Win32::GetAPI(), nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
        FileSystem_Win32::Install();
        EXPECT_TRUE(FileSystem_Win32::IsStarted() && GetTempFolder().IsFolder());
    }
    FileSystem_Win32::Uninstall(); // the folder goes with the test
}

} // namespace
