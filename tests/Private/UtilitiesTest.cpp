// The tree and path utilities on real folders: creating a tree, copying a tree (attributes,
// recursion, conflicts, ".lnk" folders, a target inside its source, progress within a split
// range), sizes and searches, trees holding links, relative paths, unique names, moving within
// a volume, and the process paths.
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"

#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

// Made by tests/fixtures/util-links.sh.
const wchar_t* const LinkTree = L"C:\\talven-fixtures\\util-links\\tree";

class UtilitiesTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    FileSpec At(const std::wstring& name) const { return FileSpec(FilePath(dir.Child(name))); }
    void Folder(const std::wstring& name) const { At(name).CreateFolder(); }
    static FileSpec Path(const wchar_t* path) { return FileSpec(FilePath(path)); }

    TalvenTest::TestFolder dir;
};

TEST_F(UtilitiesTest, CreateFolderTreeCreatesMissingLevelsOnlyAndStopsAtAFile) {
    Folder(L"a");
    CreateFolderTree(At(L"a\\b\\c"));
    EXPECT_TRUE(At(L"a\\b\\c").IsFolder());
    CreateFolderTree(At(L"a\\b\\c")); // again: nothing to do
    dir.WriteFile(L"f", "x");
    const FileException e = CatchFileException([&] { CreateFolderTree(At(L"f\\g")); });
    EXPECT_EQ(e.code(), FileException::FileExists.id());
    EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(At(L"f").GetPath()));
}

TEST_F(UtilitiesTest, CopyFolderAttributesRecursionConflictsAndLnkFolders) {
    Folder(L"src");
    Folder(L"src\\sub");
    Folder(L"src\\dir.lnk");
    dir.WriteFile(L"src\\a.txt", "aaa");
    dir.WriteFile(L"src\\sub\\b.txt", "bb");
    dir.WriteFile(L"src\\dir.lnk\\c.txt", "c");
    At(L"src").SetAttributes(AttributeHidden | AttributeReadOnly | AttributeArchive |
                             AttributeSystem);

    CopyFolder(At(L"deep"), At(L"src"), true, Tickler());
    // Wine keeps no DOS attributes on folders; there this only shows that both agree.
    EXPECT_EQ(At(L"deep").GetAttributes(), At(L"src").GetAttributes());
    EXPECT_EQ(ReadAll(dir.Child(L"deep\\sub\\b.txt")), "bb");
    EXPECT_EQ(ReadAll(dir.Child(L"deep\\dir.lnk\\c.txt")), "c"); // a folder, not a shortcut

    Folder(L"flat");
    At(L"flat").SetAttributes(0);
    CopyFolder(At(L"flat"), At(L"src"), false, Tickler());
    EXPECT_EQ(At(L"flat").GetAttributes(), 0u);
    EXPECT_EQ(ReadAll(dir.Child(L"flat\\a.txt")), "aaa");
    EXPECT_FALSE(Exists(dir.Child(L"flat\\sub")));

    EXPECT_EQ(ErrorCode([&] { CopyFolder(At(L"flat"), At(L"src"), true, Tickler()); }),
              FileException::FileExists.id());
    // A target inside its source would be listed while it is filled, without end.
    EXPECT_EQ(ErrorCode([&] { CopyFolder(At(L"src\\sub\\in"), At(L"src"), true, Tickler()); }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(Exists(dir.Child(L"src\\sub\\in")));
    At(L"src").SetAttributes(0);
}

TEST_F(UtilitiesTest, CopyFolderReportsEachFileWithinTheGivenPart) {
    Folder(L"src");
    dir.WriteFile(L"src\\1", "one");
    dir.WriteFile(L"src\\2", "");
    RecordingSink sink;
    const Tickler part = Split(Tickler(&sink), 4)[2];
    CopyFolder(At(L"dst"), At(L"src"), true, part);
    EXPECT_EQ(sink.texts.size(), 2u);
    EXPECT_EQ(std::count(sink.positions.begin(), sink.positions.end(), 0.75), 2);
    for (double p : sink.positions) {
        EXPECT_TRUE(p >= 0.5 && p <= 0.75) << p;
    }
}

TEST_F(UtilitiesTest, CopyFolderStopsBetweenFilesWhenCancelled) {
    Folder(L"src");
    for (int i = 0; i < 5; ++i) {
        dir.WriteFile(L"src\\f" + std::to_wstring(i), "small");
    }
    RecordingSink sink;
    sink.cancelAt = 0.0; // at the first report
    try {
        CopyFolder(At(L"dst"), At(L"src"), true, Tickler(&sink));
        ADD_FAILURE() << "not cancelled";
    } catch (const FileException& e) {
        const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
        ASSERT_NE(cause, nullptr);
        EXPECT_EQ(cause->number(), 1235u);
    }
    EXPECT_FALSE(Exists(dir.Child(L"dst"))); // what the copy made is removed
}

TEST_F(UtilitiesTest, SizesAndSearchesFollowTheListing) {
    Folder(L"s");
    Folder(L"s\\d.txt");
    Folder(L"x");
    Folder(L"x\\bin");
    Folder(L"x\\bin\\bin");
    dir.WriteFile(L"s\\a.txt", "123");
    dir.WriteFile(L"s\\B.TXT", "12345");
    dir.WriteFile(L"s\\c.log", "");
    dir.WriteFile(L"s\\d.txt\\e.txt", "1234567");
    EXPECT_EQ(GetFolderSize(At(L"s"), false), 8u);
    EXPECT_EQ(GetFolderSize(At(L"s"), true), 15u);

    // Within one folder the order is the OS's; the sub-folder's results come last.
    std::vector<std::string> deep = Names(FindFiles(At(L"s"), FilePath("*.txt"), true));
    ASSERT_EQ(deep.size(), 3u);
    EXPECT_EQ(deep[2], "e.txt");
    std::sort(deep.begin(), deep.end());
    EXPECT_EQ(deep, (std::vector<std::string>{"B.TXT", "a.txt", "e.txt"}));
    std::vector<std::string> flat = Names(FindFiles(At(L"s"), FilePath("*.txt"), false));
    std::sort(flat.begin(), flat.end());
    EXPECT_EQ(flat, (std::vector<std::string>{"B.TXT", "a.txt", "d.txt"}));

    const FileSpecList bins = FindFolders(At(L""), FilePath("bin"), true);
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_TRUE(bins[0] == At(L"x\\bin"));
    EXPECT_TRUE(FindFolders(At(L"x"), FilePath("bin"), false).size() == 1);
}

// Sizes come from the listing, without opening the files: one held open without sharing and
// one that another handle is still writing count with their current sizes.
TEST_F(UtilitiesTest, FolderSizeCountsFilesInUseWithTheirCurrentSize) {
    Folder(L"s");
    dir.WriteFile(L"s\\held", "1234567");
    const Win32Res::FileHandle held(::CreateFileW(dir.Child(L"s\\held").c_str(), GENERIC_READ, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    const Win32Res::FileHandle growing(::CreateFileW(dir.Child(L"s\\growing").c_str(),
                                                     GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                     CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(held.IsValid() && growing.IsValid());
    const std::string bytes(100, 'g');
    for (std::uint64_t expected : {107u, 207u}) {
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(growing.Get(), bytes.data(), 100, &written, nullptr));
        EXPECT_EQ(GetFolderSize(At(L"s"), true), expected);
    }
}

TEST_F(UtilitiesTest, TreeOperationsNeverEnterLinkedFolders) {
    const FileSpec tree = Path(LinkTree);
    if (!tree.IsPresent()) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    // out -> ../outside (7 bytes); sub/up -> .. would loop.
    EXPECT_EQ(GetFolderSize(tree, true), 8u);
    std::vector<std::string> files = Names(FindFiles(tree, FilePath("*"), true));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(Names(FindFolders(tree, FilePath("up"), true)), (std::vector<std::string>{"up"}));
    EXPECT_TRUE(FindFolders(tree, FilePath("o.txt"), true).empty());

    CopyFolder(At(L"copy"), tree, true, Tickler());
    EXPECT_EQ(ReadAll(dir.Child(L"copy\\sub\\b.txt")), "bbbbb");
    EXPECT_FALSE(Exists(dir.Child(L"copy\\out")));
    EXPECT_FALSE(Exists(dir.Child(L"copy\\sub\\up")));
}

// The same target inside its source, reached another way: through a linked folder (the
// fixture's out -> outside), and through S:, a second drive letter for the folder
// C:\talven-fixtures\second-drive (tests/fixtures/setup-drives.sh).
TEST_F(UtilitiesTest, TargetInsideItsSourceIsSeenThroughLinksAndOtherDriveLetters) {
    const std::wstring outside = L"C:\\talven-fixtures\\util-links\\outside";
    if (!Exists(outside)) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    EXPECT_EQ(ErrorCode([&] {
                  CopyFolder(Path(L"C:\\talven-fixtures\\util-links\\tree\\out\\copy"),
                             Path(outside.c_str()), true, Tickler());
              }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(Exists(outside + L"\\copy"));
    if (!TalvenTest::DriveUsable(L"S:\\")) {
        GTEST_SKIP() << "no drive S: (tests/fixtures/setup-drives.sh)";
    }
    const std::wstring run = L"run-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                             std::to_wstring(::GetTickCount());
    const std::wstring source = L"C:\\talven-fixtures\\second-drive\\" + run;
    ASSERT_TRUE(::CreateDirectoryW(source.c_str(), nullptr));
    struct Remove {
        std::wstring path;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } remove{source};
    Path(source.c_str()).MakeChild(FilePath("f.txt")).OpenChannel(ModeWrite | ModeCreate);
    const std::wstring inside = L"S:\\" + run + L"\\in";
    EXPECT_EQ(
        ErrorCode([&] { CopyFolder(Path(inside.c_str()), Path(source.c_str()), true, Tickler()); }),
        FileException::AccessDenied.id());
    EXPECT_EQ(ErrorCode([&] { Move(Path(inside.c_str()), Path(source.c_str()), Tickler()); }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(Exists(source + L"\\in"));
}

TEST_F(UtilitiesTest, RelativePaths) {
    const struct {
        const wchar_t* target;
        const wchar_t* base;
        const char* expected;
    } cases[] = {
        {L"C:\\a\\c\\d", L"C:\\a\\b", "./../c/d"},
        {L"C:\\a\\b", L"C:\\a\\b", "."},
        {L"C:\\a\\b", L"C:\\", "./a/b"},
        {L"C:\\", L"C:\\a\\b", "./../.."},
        {L"C:\\A\\x", L"c:\\a", "./x"},
        {L"C:\\a", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(FilePath(c.target)));
        const FileSpec base = c.base ? Path(c.base) : FileSpec();
        EXPECT_EQ(Narrow(GetRelativePath(Path(c.target), base)), c.expected);
    }
}

TEST_F(UtilitiesTest, MakeUniqueChildNumbersFromOne) {
    const FileSpec folder = At(L"");
    const struct {
        const char* templ;
        const char* extension;
        std::vector<std::string> names;
    } cases[] = {
        {"log", "txt", {"log.txt", "log1.txt", "log2.txt"}},
        {"a*b", ".txt", {"a1b.txt", "a2b.txt"}},
        {"plain", "", {"plain", "plain1"}},
    };
    for (const auto& c : cases) {
        for (const std::string& expected : c.names) {
            const FileSpec child =
                MakeUniqueChild(folder, FilePath(c.templ), FilePath(c.extension));
            ASSERT_EQ(Narrow(child.GetName()), expected);
            dir.WriteFile(TextConvert::Utf8ToWide(child.GetName().GetBytes()), "");
        }
    }
}

TEST_F(UtilitiesTest, MoveWithinAVolumeRenamesAndRefusesExistingTargetsAndItsOwnTree) {
    Folder(L"tree");
    dir.WriteFile(L"tree\\f.txt", "f");
    RecordingSink sink;
    Move(At(L"moved"), At(L"tree"), Tickler(&sink));
    EXPECT_EQ(ReadAll(dir.Child(L"moved\\f.txt")), "f");
    EXPECT_FALSE(Exists(dir.Child(L"tree")));
    EXPECT_EQ(sink.positions, (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"copying " + Narrow(At(L"tree").GetPath())}));

    dir.WriteFile(L"other.txt", "other");
    EXPECT_EQ(ErrorCode([&] { Move(At(L"other.txt"), At(L"moved\\f.txt"), Tickler()); }),
              FileException::FileExists.id());
    EXPECT_EQ(ReadAll(dir.Child(L"other.txt")), "other");
    EXPECT_EQ(ReadAll(dir.Child(L"moved\\f.txt")), "f");
    EXPECT_EQ(ErrorCode([&] { Move(At(L"moved\\in"), At(L"moved"), Tickler()); }),
              FileException::AccessDenied.id());
    EXPECT_EQ(ReadAll(dir.Child(L"moved\\f.txt")), "f");
}

TEST_F(UtilitiesTest, ProcessPathsAndModuleSiblings) {
    const FileSpec exe = GetApplicationFile();
    EXPECT_TRUE(exe.IsFile());
    EXPECT_TRUE(GetModuleFile() == exe); // the library is linked into the test program
    EXPECT_TRUE(GetModuleSiblingFolder(FilePath("lang")).IsFolder());
    EXPECT_EQ(ErrorCode([] { GetModuleSiblingFile(FilePath("lang")); }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(GetModuleSiblingFile(FilePath("absent.txt")).IsPresent());

    const FileSpec before = GetCurrentFolder();
    SetCurrentFolder(At(L""));
    EXPECT_TRUE(GetCurrentFolder() == At(L""));
    EXPECT_TRUE(FileSpec(FilePath("rel.txt")) == At(L"rel.txt"));
    SetCurrentFolder(before);
    EXPECT_NE(ErrorCode([&] { SetCurrentFolder(At(L"missing")); }), 0);
}

} // namespace
