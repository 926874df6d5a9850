// The tree and path utilities on real folders: creating and copying trees (attributes,
// recursion, conflicts, a target inside its source, progress, cancellation), sizes and searches
// (files in use, links, a tree of 10,000 files), relative paths, unique names, moving within a
// volume, the process paths; and the ticklers that carry progress.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "common/FileSystemTest.h"

#include <algorithm>
#include <limits>
#include <set>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

// Made by tests/fixtures/util-links.sh: tree\{a.txt, sub\b.txt, sub\up -> .., out -> ..\outside}.
const std::wstring Links = L"C:\\talven-fixtures\\util-links\\";

FileSpec Path(const std::wstring& path) {
    return FileSpec(FilePath(path));
}

class UtilitiesTest : public FileSystemTest {
protected:
    // Makes each entry in the test's folder: a folder when its content is null, else a file.
    void Make(std::initializer_list<std::pair<const wchar_t*, const char*>> entries) const {
        for (const auto& entry : entries) {
            if (entry.second) {
                dir.WriteFile(entry.first, entry.second);
            } else {
                At(entry.first).CreateFolder();
            }
        }
    }
};

TEST_F(UtilitiesTest, CreateFolderTreeCreatesMissingLevelsOnlyAndStopsAtAFile) {
    Make({{L"a", nullptr}, {L"f", "x"}});
    CreateFolderTree(At(L"a\\b\\c"));
    EXPECT_TRUE(At(L"a\\b\\c").IsFolder());
    CreateFolderTree(At(L"a\\b\\c")); // again: nothing to do
    const FileException e = CatchFileException([&] { CreateFolderTree(At(L"f\\g")); });
    EXPECT_EQ(e.code(), FileException::FileExists.id());
    EXPECT_EQ(Narrow(FilePath(e.path())), Narrow(At(L"f").GetPath()));
}

TEST_F(UtilitiesTest, CopyFolderAttributesRecursionConflictsAndLnkFolders) {
    Make({{L"src", nullptr},
          {L"src\\sub", nullptr},
          {L"src\\dir.lnk", nullptr},
          {L"src\\a.txt", "aaa"},
          {L"src\\sub\\b.txt", "bb"},
          {L"src\\dir.lnk\\c.txt", "c"},
          {L"flat", nullptr}});
    At(L"src").SetAttributes(AttributeHidden | AttributeReadOnly | AttributeArchive |
                             AttributeSystem);
    CopyFolder(At(L"deep"), At(L"src"), true, Tickler());
    // Wine keeps no DOS attributes on folders; there this only shows that both agree.
    EXPECT_EQ(At(L"deep").GetAttributes(), At(L"src").GetAttributes());
    EXPECT_EQ(ReadAll(dir.Child(L"deep\\sub\\b.txt")), "bb");
    EXPECT_EQ(ReadAll(dir.Child(L"deep\\dir.lnk\\c.txt")), "c"); // a folder, not a shortcut

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

TEST_F(UtilitiesTest, CopyFolderReportsWithinItsPartAndStopsWhenCancelledLeavingNoTarget) {
    Make({{L"src", nullptr}, {L"src\\1", "one"}, {L"src\\2", ""}, {L"src\\3", "three"}});
    RecordingSink sink;
    CopyFolder(At(L"dst"), At(L"src"), true, Split(Tickler(&sink), 4)[2]);
    EXPECT_EQ(sink.texts.size(), 3u);
    EXPECT_EQ(std::count(sink.positions.begin(), sink.positions.end(), 0.75), 3);
    for (double p : sink.positions) {
        EXPECT_TRUE(p >= 0.5 && p <= 0.75) << p;
    }
    RecordingSink cancelling;
    cancelling.cancelAt = 0.0; // at the first report
    const FileException e = CatchFileException(
        [&] { CopyFolder(At(L"gone"), At(L"src"), true, Tickler(&cancelling)); });
    const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
    EXPECT_EQ(cause ? cause->number() : 0, 1235u); // ERROR_CANCELLED
    EXPECT_FALSE(Exists(dir.Child(L"gone")));      // what the copy made is removed
}

TEST_F(UtilitiesTest, SizesAndSearchesFollowTheListing) {
    Make({{L"s", nullptr},
          {L"s\\d.txt", nullptr},
          {L"x", nullptr},
          {L"x\\bin", nullptr},
          {L"x\\bin\\bin", nullptr},
          {L"s\\a.txt", "123"},
          {L"s\\B.TXT", "12345"},
          {L"s\\c.log", ""},
          {L"s\\d.txt\\e.txt", "1234567"}});
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
    EXPECT_EQ(FindFolders(At(L"x"), FilePath("bin"), false).size(), 1u);
}

// Sizes come from the listing, without opening the files: one held open without sharing and
// one that another handle is still writing count with their current sizes.
TEST_F(UtilitiesTest, FolderSizeCountsFilesInUseWithTheirCurrentSize) {
    Make({{L"s", nullptr}, {L"s\\held", "1234567"}});
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
    const FileSpec tree = Path(Links + L"tree");
    if (!tree.IsPresent()) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    EXPECT_EQ(GetFolderSize(tree, true), 8u); // without out's 7 bytes; up would loop
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
    if (!Exists(Links + L"outside")) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    EXPECT_EQ(ErrorCode([&] {
                  CopyFolder(Path(Links + L"tree\\out\\copy"), Path(Links + L"outside"), true,
                             Tickler());
              }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(Exists(Links + L"outside\\copy"));
    if (!DriveUsable(L"S:\\")) {
        GTEST_SKIP() << "no drive S: (tests/fixtures/setup-drives.sh)";
    }
    const std::wstring second = L"C:\\talven-fixtures\\second-drive";
    const TestFolder run(second, L"run");
    const FileSpec source = Path(run.Path());
    const FileSpec inside = Path(L"S:" + run.Path().substr(second.size()) + L"\\in");
    source.MakeChild(FilePath("f.txt")).OpenChannel(ModeWrite | ModeCreate);
    EXPECT_EQ(ErrorCode([&] { CopyFolder(inside, source, true, Tickler()); }),
              FileException::AccessDenied.id());
    EXPECT_EQ(ErrorCode([&] { Move(inside, source, Tickler()); }),
              FileException::AccessDenied.id());
    EXPECT_FALSE(Exists(run.Child(L"in")));
}

// Between volumes (the optical drive T: of setup-drives.sh, the tmpfs drive Q:) there is none.
TEST_F(UtilitiesTest, RelativePaths) {
    const struct {
        const wchar_t *target, *base;
        const char* expected;
    } rows[] = {
        {L"C:\\a\\c\\d", L"C:\\a\\b", "./../c/d"},
        {L"C:\\a\\b", L"C:\\a\\b", "."},
        {L"C:\\a\\b", L"C:\\", "./a/b"},
        {L"C:\\", L"C:\\a\\b", "./../.."},
        {L"C:\\A\\x", L"c:\\a", "./x"},
        {L"C:\\a", nullptr, ""},
        {L"T:\\", L"C:\\", ""},
        {L"C:\\x", L"T:\\", ""},
        {L"Q:\\", L"C:\\", ""},
        {L"C:\\x", L"Q:\\", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(FilePath(row.target)));
        const std::wstring other = row.target[0] == L'C' ? L"C:\\" : row.target;
        if (!DriveUsable(other.c_str()) || (row.base && !DriveUsable(row.base))) {
            continue; // a second drive of the fixtures is missing
        }
        const FileSpec base = row.base ? Path(row.base) : FileSpec();
        EXPECT_EQ(Narrow(GetRelativePath(Path(row.target), base)), row.expected);
    }
}

TEST_F(UtilitiesTest, MakeUniqueChildNumbersFromOne) {
    const struct {
        const char *templ, *extension;
        std::vector<std::string> names;
    } rows[] = {
        {"log", "txt", {"log.txt", "log1.txt", "log2.txt"}},
        {"a*b", ".txt", {"a1b.txt", "a2b.txt"}},
        {"plain", "", {"plain", "plain1"}},
    };
    for (const auto& row : rows) {
        for (const std::string& expected : row.names) {
            const FileSpec child =
                MakeUniqueChild(At(L""), FilePath(row.templ), FilePath(row.extension));
            ASSERT_EQ(Narrow(child.GetName()), expected);
            dir.WriteFile(TextConvert::Utf8ToWide(child.GetName().GetBytes()), "");
        }
    }
}

TEST_F(UtilitiesTest, MoveWithinAVolumeRenamesAndRefusesExistingTargetsAndItsOwnTree) {
    Make({{L"tree", nullptr}, {L"tree\\f.txt", "f"}, {L"other.txt", "other"}});
    RecordingSink sink;
    Move(At(L"moved"), At(L"tree"), Tickler(&sink));
    EXPECT_EQ(ReadAll(dir.Child(L"moved\\f.txt")), "f");
    EXPECT_FALSE(Exists(dir.Child(L"tree")));
    EXPECT_EQ(sink.positions, (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(sink.texts, (std::vector<std::string>{"copying " + Narrow(At(L"tree").GetPath())}));
    EXPECT_EQ(ErrorCode([&] { Move(At(L"other.txt"), At(L"moved\\f.txt"), Tickler()); }),
              FileException::FileExists.id());
    EXPECT_EQ(ReadAll(dir.Child(L"other.txt")), "other");
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

// Made from the Linux side by tests/fixtures/util-large-tree.sh (Wine creates files at about
// 1 ms each): d00..d99 holding f000.dat..f099.dat, file k = folder * 100 + file of k % 37 bytes.
TEST_F(UtilitiesTest, LargeTreeCountsAndSizesAreExact) {
    const std::wstring base = L"C:\\talven-fixtures\\util-large-tree\\";
    if (!Exists(base + L"complete-1")) {
        GTEST_SKIP() << "no large tree (tests/fixtures/util-large-tree.sh)";
    }
    std::uint64_t expectedSize = 0;
    for (unsigned k = 0; k < 10000; ++k) {
        expectedSize += k % 37;
    }
    const FileSpec tree = Path(base + L"tree");
    const FileSpecList files = FindFiles(tree, FilePath("*.dat"), true);
    EXPECT_EQ(files.size(), 10000u);
    std::set<std::string> unique;
    for (const FileSpec& file : files) {
        const std::string path = Narrow(file.GetPath());
        unique.insert(path.substr(path.size() - 12)); // "dNN\fNNN.dat"
    }
    EXPECT_EQ(unique.size(), 10000u);
    EXPECT_EQ(GetFolderSize(tree, true), expectedSize);
    EXPECT_EQ(GetFolderSize(tree, false), 0u);
    EXPECT_EQ(FindFolders(tree, FilePath("d*"), false).size(), 100u);
}

// --- Ticklers ----------------------------------------------------------------------------

TEST(Tickler, SilentWithoutSinkAndMapsFractionsIntoItsRangeUnclamped) {
    const Tickler silent;
    const TalvenText caption("copying %0");
    silent.Tickle(0.5);
    silent.SetText(TalvenTextArgs(caption).arg("a.txt"));
    silent.Refresh();
    silent.SetStepCount(3);
    silent.SetStep(2);
    silent.NextStep();
    EXPECT_FALSE(silent.IsCancelled());
    EXPECT_EQ(silent.GetStepCount(), 0u);
    EXPECT_EQ(Split(silent, 2).at(1).GetImpl(), nullptr);
    const struct {
        double offset, scale, fraction, expected;
    } rows[] = {{0.0, 1.0, 0.25, 0.25},  {0.5, 0.25, 0.0, 0.5}, {0.5, 0.25, 1.0, 0.75},
                {0.5, 0.25, 0.5, 0.625}, {0.5, 0.25, 2.0, 1.0}, {0.5, 0.25, -1.0, 0.25}};
    for (const auto& row : rows) {
        RecordingSink sink;
        Tickler(&sink, row.offset, row.scale).Tickle(row.fraction);
        EXPECT_EQ(sink.positions, std::vector<double>{row.expected})
            << row.offset << " + " << row.scale << " * " << row.fraction;
    }
}

TEST(Tickler, CopiesShareTheSinkItsStepsAndItsAnswers) {
    RecordingSink sink;
    const Tickler tickler(&sink, 0.5, 0.5);
    {
        Tickler copy = tickler; // destroying a copy must leave the sink alone
        copy.SetOffset(0.0);
        copy.SetScale(0.25);
        copy.Tickle(1.0);
    }
    tickler.Tickle(1.0);
    EXPECT_EQ(sink.positions, (std::vector<double>{0.25, 1.0}));
    tickler.SetStep(5);
    tickler.SetStepCount(3); // restarts at step 1
    EXPECT_EQ(sink.GetStep(), 1u);
    EXPECT_EQ(tickler.GetStepCount(), 3u);
    tickler.NextStep();
    EXPECT_EQ(sink.GetStep(), 2u);
    EXPECT_FALSE(tickler.IsCancelled());
    sink.cancelAt = 0.0;
    tickler.Tickle(0.0);
    EXPECT_TRUE(tickler.IsCancelled());
    sink.failOnProgress = true;
    EXPECT_THROW(tickler.Tickle(0.5), FileException); // the sink's own, unchanged
}

TEST(Tickler, SplitTilesTheRangeByCountAndByWeight) {
    RecordingSink sink;
    const Tickler whole(&sink);
    const std::vector<Tickler> quarters = Split(whole, 4);
    using Ranges = std::vector<std::pair<double, double>>;
    const struct {
        std::vector<Tickler> parts;
        Ranges expected;
    } rows[] = {
        {quarters, {{0.0, 0.25}, {0.25, 0.25}, {0.5, 0.25}, {0.75, 0.25}}},
        {Split(quarters[2], 2), {{0.5, 0.125}, {0.625, 0.125}}},
        {Split(whole, 0), {}},
        {Split(whole, std::vector<double>{1.0, 3.0}), {{0.0, 0.25}, {0.25, 0.75}}},
        {Split(Tickler(&sink, 0.5, 0.5), std::vector<double>{2.0, 0.0, 2.0}),
         {{0.5, 0.25}, {0.75, 0.0}, {0.75, 0.25}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        Ranges ranges;
        for (const Tickler& part : row.parts) {
            EXPECT_EQ(part.GetImpl(), &sink);
            ranges.emplace_back(part.GetOffset(), part.GetScale());
        }
        EXPECT_EQ(ranges, row.expected);
    }
    // A sub-operation that reports its own 0..1 lands in its part of the sink's range.
    Split(quarters[2], 2)[1].Tickle(1.0);
    EXPECT_EQ(sink.positions, std::vector<double>{0.75});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<double>> unusable = {{},    {0.0, 0.0}, {-1.0}, {1.0, -2.0},
                                                       {nan}, {1.0, nan}, {inf},  {1.0, inf}};
    for (const std::vector<double>& weights : unusable) {
        EXPECT_TRUE(Split(whole, weights).empty()) << "case " << &weights - unusable.data();
    }
}

TEST(TickleCounter, ReportsEveryIntervalUpToTotalAndRefusesIntervalZero) {
    RecordingSink sink;
    TickleCounter counter(Tickler(&sink), 10, 3);
    std::vector<size_t> reportsAfter;
    for (int i = 1; i <= 12; ++i) {
        counter.Increment();
        reportsAfter.push_back(sink.positions.size());
    }
    EXPECT_EQ(reportsAfter, (std::vector<size_t>{0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 3}));
    EXPECT_EQ(sink.positions, (std::vector<double>{0.3, 0.6, 0.9}));
    // Interval 1 reaches the end exactly through a sub-range; a total of 0 never divides.
    RecordingSink sub, none;
    TickleCounter each(Tickler(&sub, 0.5, 0.5), 2, 1);
    TickleCounter empty(Tickler(&none), 0, 1);
    for (int i = 0; i < 3; ++i) {
        each.Increment();
        empty.Increment();
    }
    EXPECT_EQ(sub.positions, (std::vector<double>{0.75, 1.0}));
    EXPECT_TRUE(none.positions.empty());
    try {
        const TickleCounter zero(Tickler(&sink), 10, 0);
        ADD_FAILURE() << "interval 0 accepted";
    } catch (const TalvenException& e) {
        EXPECT_EQ(e.code(), -2);
        EXPECT_NE(TextConvert::Chars(e.message()).find(".\\Private\\Tickler"), std::string::npos);
    }
}

} // namespace
