// Tests that the file-system operations let go of every handle they open, on their success and
// (where leaks hide) their failure paths: each row repeats one operation and the process's
// handle count must not grow. Runs alone under CTest, as it reads the handle count.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Identity_Win32.h"

#include <functional>
#include <memory>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using HandleLeakTest = FileSystemTest;

void QueryVolume(const wchar_t* root) {
    const Volume volume = FileSpec(FilePath(root)).GetVolume();
    EXPECT_GT(volume.GetCapacity() + volume.IsMounted(), 0u);
    volume.GetFreeSpace(), volume.GetAsFolder().IsPresent();
}

TEST_F(HandleLeakTest, NoOperationKeepsAHandleOnSuccessOrFailure) {
    CreateFolderTree(At(L"src\\sub"));
    dir.WriteFile(L"src\\a.txt", "alpha");
    dir.WriteFile(L"src\\sub\\b.txt", std::string(200000, 'b'));
    dir.WriteFile(L"locked.txt", "locked");
    ASSERT_TRUE(WriteShortcut(dir.Child(L"a.lnk"), dir.Child(L"src\\a.txt")));
    const Win32Res::FileHandle lock( // held for the whole test
        ::CreateFileW(dir.Child(L"locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr));
    const FileSpec src = At(L"src"), big = At(L"src\\sub\\b.txt"), copy = At(L"copy"),
                   no = At(L"no"), locked = At(L"locked.txt");
    const std::wstring longSrc = FileSpec_Impl(src).GetImpl()->GetNativePath();
    const Tickler none;
    RecordingSink cancelling;
    cancelling.cancelAt = 0.0;
    using F = FileException;
    struct Row {
        const char* name;
        std::function<void()> run;
        const TalvenText* raises = nullptr; // the FileException the operation must raise
    };
    // clang-format off
    std::vector<Row> rows = {
        {"a channel opened, written, read and closed", [&] {
             const FileChannel c = At(L"c.txt").OpenChannel(ModeRead | ModeWrite | ModeCreate);
             char byte = 'x'; std::size_t got = 0;
             c.Write(&byte, 1), c.SetPosition(0), c.Read(&byte, 1, got), c.Close(); }},
        {"opening a missing file", [&] { no.OpenChannel(ModeRead); }, &F::FileNotFound},
        {"opening a locked file", [&] { locked.OpenChannel(ModeRead); }, &F::AccessDenied},
        {"a listing run to the end", [&] {
             for (FolderIterator i = FolderSpec(src).NewIterator(); !i.AtEnd(); i.Advance()) {} }},
        {"a listing left early", [&] { FolderSpec(src).NewIterator().Advance(); }},
        {"no folder", [&] { EXPECT_NE(ErrorCode([&] { FolderSpec(no).NewIterator(); }), 0); }},
        {"FindFiles", [&] { EXPECT_EQ(FindFiles(src, FilePath("*"), true).size(), 2u); }},
        {"GetFolderSize", [&] { EXPECT_EQ(GetFolderSize(src, true), 200005u); }},
        {"CopyFile", [&] { CopyFile(copy, big, none), copy.Delete(); }},
        {"CopyFile onto an existing file", [&] { CopyFile(big, big, none); }, &F::FileExists},
        {"a cancelled channel copy", [&] {
             EXPECT_NE(ErrorCode([&] { CopyFileByChannel(copy, big, Tickler(&cancelling)); }), 0);
             EXPECT_FALSE(copy.IsPresent()); }},
        {"CopyFolder", [&] { CopyFolder(copy, src, true, none), FolderSpec(copy).DeleteTree(); }},
        {"Move there and back", [&] { Move(copy, src, none), Move(src, copy, none); }},
        {"moving a missing file", [&] { Move(copy, no, none); }, &F::FileNotFound},
        {"Volume queries on C:", [] { QueryVolume(L"C:\\"); }},
        {"the temporary folder made and removed", [] { GetTempFolder().DeleteTree(); }},
        {"resolving a shell shortcut", [&] {
             const CountedPtr<FileSpec_IF> link = FileSpec_Impl(At(L"a.lnk")).GetImplPtr();
             EXPECT_TRUE(dynamic_cast<AliasSpec_IF&>(*link).ResolveAlias()->IsFile()); }},
        {"the identity checks of a folder", [&] {
             EXPECT_TRUE(ReadIdentity(longSrc, false).known);
             EXPECT_FALSE(ReadFinalPath(longSrc, false).empty());
             EXPECT_FALSE(ReadIdentity(longSrc + L"\\no", true).known); }},
    };
    // clang-format on
    if (DriveTPresent()) {
        rows.push_back({"Volume queries on the optical drive T:", [] { QueryVolume(DriveT); }});
    }
    std::unique_ptr<TestFolder> onQ;
    if (TmpfsDriveUsable()) {
        onQ = std::make_unique<TestFolder>(L"Q:", L"leak");
        dir.WriteFile(L"huge", std::string(1200000, 'h'));
        const FileSpec full{FilePath(onQ->Child(L"full"))};
        rows.push_back({"Volume queries on Q:", [] { QueryVolume(L"Q:\\"); }});
        rows.push_back({"a copy that fills Q:",
                        [&, full] { CopyFileByChannel(full, At(L"huge"), none); }, &F::VolumeFull});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExpectNoHandleGrowth(
            row.name,
            [&] {
                if (!row.raises) {
                    return row.run();
                }
                EXPECT_EQ(CatchFileException(row.run).code(), row.raises->id());
            },
            30);
    }
}

} // namespace
