// Copying a file: the OS copy's progress routine called directly (preparation, fractions, the
// empty file, cancellation, a failing sink), the OS copy and the channel copy end to end (data,
// dates, an existing target, cancellation at 50 %, a failing sink), neither leaving a partial
// target behind. A full disk is in CrossVolumeTest.
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "common/TestFolder.h"

#include <gtest/gtest.h>

#include <string>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using CopyFunction = void (*)(const FileSpec&, const FileSpec&, const Tickler&);

// CopyFile takes the OS path for Windows file specs; the channel path is called directly.
const struct {
    CopyFunction copy;
    const char* name;
} Paths[] = {{&CopyFile, "os"}, {&CopyFileByChannel, "channel"}};

class CopyFileTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    FileSpec At(const std::wstring& name) const { return FileSpec(FilePath(dir.Child(name))); }
    static std::int64_t Ticks(const FileSpec& spec) {
        return spec.GetModificationDate().GetUtcTicks();
    }

    TalvenTest::TestFolder dir;
};

DWORD CallRoutine(CopyProgressContext& context, std::int64_t total, std::int64_t done, DWORD reason,
                  DWORD stream = 1) {
    LARGE_INTEGER t, d, zero;
    t.QuadPart = total;
    d.QuadPart = done;
    zero.QuadPart = 0;
    return CopyProgressRoutine(t, d, zero, zero, stream, reason, nullptr, nullptr, &context);
}

TEST(CopyProgressRoutine, PreparesAtStreamStartAndReportsFractionsInTheTicklersRange) {
    RecordingSink sink;
    const Tickler part(&sink, 0.5, 0.25); // a part a caller made with Split
    CopyProgressContext context;
    context.tickler = &part;
    context.source = FilePath("C:\\data\\src.bin");
    EXPECT_EQ(CallRoutine(context, 4096, 0, CALLBACK_STREAM_SWITCH), DWORD(PROGRESS_CONTINUE));
    EXPECT_EQ(CallRoutine(context, 4096, 1024, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CONTINUE));
    EXPECT_EQ(CallRoutine(context, 4096, 0, CALLBACK_STREAM_SWITCH, 2), DWORD(PROGRESS_CONTINUE));
    EXPECT_EQ(CallRoutine(context, 4096, 4096, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CONTINUE));
    // Preparation (0.0), then a fraction on every call; another stream prepares nothing.
    EXPECT_EQ(sink.positions, (std::vector<double>{0.5, 0.5, 0.5625, 0.5, 0.75}));
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"copying C:\\data\\src.bin"}));
    EXPECT_EQ(part.GetOffset(), 0.5);
    EXPECT_EQ(part.GetScale(), 0.25);
    EXPECT_TRUE(context.called);
}

TEST(CopyProgressRoutine, EmptyFileCancellationFailingSinkAndNoSink) {
    RecordingSink sink;
    const Tickler tickler(&sink);
    CopyProgressContext context;
    context.tickler = &tickler;
    EXPECT_EQ(CallRoutine(context, 0, 0, CALLBACK_STREAM_SWITCH), DWORD(PROGRESS_CONTINUE));
    EXPECT_EQ(sink.positions.back(), 1.0);

    sink.cancelAt = 0.5;
    EXPECT_EQ(CallRoutine(context, 100, 49, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CONTINUE));
    EXPECT_EQ(CallRoutine(context, 100, 50, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CANCEL));

    // A sink's exception must not unwind through the OS: it is kept and the copy cancelled.
    RecordingSink failing;
    failing.failOnProgress = true;
    const Tickler failingTickler(&failing);
    context.tickler = &failingTickler;
    EXPECT_EQ(CallRoutine(context, 100, 10, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CANCEL));
    EXPECT_TRUE(context.failure);

    const Tickler silent;
    CopyProgressContext quiet;
    quiet.tickler = &silent;
    EXPECT_EQ(CallRoutine(quiet, 100, 100, CALLBACK_CHUNK_FINISHED), DWORD(PROGRESS_CONTINUE));
}

TEST_F(CopyFileTest, CopiesDataAndDateOnBothPathsEndingAtOne) {
    const std::string data(200 * 1024 + 7, 'x'); // three chunks of 64 KiB and a rest
    dir.WriteFile(L"src.bin", data);
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        const std::wstring target = TextConvert::AnsiToWide(path.name);
        RecordingSink sink;
        path.copy(At(target), At(L"src.bin"), Tickler(&sink));
        EXPECT_EQ(ReadAll(dir.Child(target)), data);
        // The channel copy passes the date through DateTime (1/600 s, by way of milliseconds),
        // which may lose one tick.
        EXPECT_NEAR(double(Ticks(At(target))), double(Ticks(At(L"src.bin"))), 1.0);
        ASSERT_FALSE(sink.positions.empty());
        EXPECT_EQ(sink.positions.front(), 0.0);
        EXPECT_EQ(sink.positions.back(), 1.0);
        EXPECT_EQ(sink.texts,
                  (std::vector<std::string>{"copying " + Narrow(At(L"src.bin").GetPath())}));
        if (path.copy == &CopyFileByChannel) {
            EXPECT_EQ(sink.positions.size(), 5u); // the start, then one report per chunk
        }
    }
}

TEST_F(CopyFileTest, EmptyFileReachesOneAndAnExistingTargetIsLeftUntouched) {
    dir.WriteFile(L"empty.bin", "");
    dir.WriteFile(L"old.bin", "old content");
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        const std::wstring copy = TextConvert::AnsiToWide(path.name);
        RecordingSink sink;
        path.copy(At(copy), At(L"empty.bin"), Tickler(&sink));
        EXPECT_EQ(ReadAll(dir.Child(copy)), "");
        EXPECT_EQ(sink.positions.back(), 1.0);
        EXPECT_EQ(ErrorCode([&] { path.copy(At(L"old.bin"), At(copy), Tickler()); }),
                  FileException::FileExists.id());
        EXPECT_EQ(ReadAll(dir.Child(L"old.bin")), "old content");
    }
}

TEST_F(CopyFileTest, CancelAtHalfLeavesNoTargetAndRaisesRequestAborted) {
    dir.WriteFile(L"src.bin", std::string(256 * 1024, 'c'));
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        if (path.copy == &CopyFile && UnderWine()) {
            continue; // Wine's CopyFileExW never calls the progress routine, so it cannot cancel
        }
        RecordingSink sink;
        sink.cancelAt = 0.5;
        try {
            path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler(&sink));
            ADD_FAILURE() << "not cancelled";
        } catch (const FileException& e) {
            const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
            ASSERT_NE(cause, nullptr);
            EXPECT_EQ(cause->number(), 1235u);
            EXPECT_EQ(e.code(), SystemException::Win32::Win32Error.id()); // no kind
            EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(At(L"src.bin").GetPath()));
        }
        EXPECT_FALSE(Exists(dir.Child(L"dst.bin")));
        EXPECT_EQ(sink.positions.back(), 0.5);
    }
}

// Also where the OS copy reports no progress (Wine) and the copy reports its start and end
// itself, after the bytes have arrived: a retry must not meet the target.
TEST_F(CopyFileTest, CopyWhoseSinkFailsRemovesItsTarget) {
    dir.WriteFile(L"src.bin", std::string(100 * 1024, 'f'));
    for (const auto& path : Paths) {
        SCOPED_TRACE(path.name);
        RecordingSink failing;
        failing.failOnProgress = true;
        EXPECT_EQ(ErrorCode([&] { path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler(&failing)); }),
                  FileException::AccessDenied.id());
        EXPECT_FALSE(Exists(dir.Child(L"dst.bin")));
        path.copy(At(L"dst.bin"), At(L"src.bin"), Tickler());
        EXPECT_EQ(ReadAll(dir.Child(L"dst.bin")), std::string(100 * 1024, 'f'));
        ::DeleteFileW(dir.Child(L"dst.bin").c_str());
    }
}

} // namespace
