// The tree and path utilities on real folders: creating, copying, moving and removing trees
// (links of every kind, a target inside its source), sizes and searches, relative paths, unique
// names, the process paths, the private temporary folder; and the ticklers carrying progress.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "common/FileSystemTest.h"

#include <algorithm>
#include <cmath>
#include <sstream>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using Strings = std::vector<std::string>;

std::string Joined(Strings names) {
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names) {
        all += (all.empty() ? "" : " ") + name;
    }
    return all;
}

std::string Listing(const std::wstring& path) {
    Strings names;
    for (FolderIterator it = FolderSpec(FilePath(path)).NewIterator(); !it.AtEnd(); it.Advance()) {
        names.push_back(Narrow(it.Current().GetName()));
    }
    return Joined(names);
}

class UtilitiesTest : public FileSystemTest {
protected:
    // Makes each entry below in: "name=bytes" a file, any other name a folder.
    void Make(std::initializer_list<std::wstring> entries, const std::wstring& in = L"") const {
        for (const std::wstring& entry : entries) {
            const size_t equals = entry.find(L'=');
            equals == std::wstring::npos
                ? At(in + entry).CreateFolder()
                : dir.WriteFile(in + entry.substr(0, equals), Narrow(entry.substr(equals + 1)));
        }
    }
    std::string Read(const std::wstring& name) const { return ReadAll(dir.Child(name)); }
    std::string ListOf(const std::wstring& name) const { return Listing(dir.Child(name)); }
    static std::int32_t Denied() { return FileException::AccessDenied.id(); }
    static std::int32_t Taken() { return FileException::FileExists.id(); }
    static FileSpec Path(const std::wstring& path) { return FileSpec(FilePath(path)); }
    FolderSpec Folder(const std::wstring& name) const { return FolderSpec(At(name).GetPath()); }
    // top\{a, b, full\{c, deeper\d}, empty, locked\e} with b, d, e and locked read-only.
    void MakeTree(const std::wstring& top) const {
        Make({L"", L"\\full", L"\\full\\deeper", L"\\empty", L"\\locked", L"\\a=a", L"\\b=b",
              L"\\full\\c=c", L"\\full\\deeper\\d=d", L"\\locked\\e=e"},
             top);
        for (const wchar_t* name : {L"\\b", L"\\full\\deeper\\d", L"\\locked\\e", L"\\locked"}) {
            Folder(top + name).SetAttributes(AttributeReadOnly);
        }
    }
};

TEST_F(UtilitiesTest, CreateCopyAndMoveTreesWithAttributesConflictsProgressAndCancellation) {
    Make({L"src", L"src\\sub", L"src\\dir.lnk", L"src\\a.txt=aaa", L"src\\sub\\b.txt=bb",
          L"src\\dir.lnk\\c.txt=c", L"flat", L"f=x"});
    CreateFolderTree(At(L"a\\b\\c"));
    CreateFolderTree(At(L"a\\b\\c")); // again: nothing to do
    const FileException e = CatchFileException([&] { CreateFolderTree(At(L"f\\g")); });
    EXPECT_TRUE(e.code() == Taken() && Narrow(FilePath(e.path())) == Narrow(At(L"f").GetPath()))
        << e.what();
    At(L"src").SetAttributes(AttributeHidden | AttributeReadOnly | AttributeArchive |
                             AttributeSystem);
    RecordingSink sink, cancelling, moving;
    CopyFolder(At(L"deep"), At(L"src"), true, Split(Tickler(&sink), 4)[2]);
    // Wine keeps no DOS attributes on folders; there this only shows that both agree.
    EXPECT_EQ(At(L"deep").GetAttributes(), At(L"src").GetAttributes());
    EXPECT_EQ(Read(L"deep\\sub\\b.txt") + Read(L"deep\\dir.lnk\\c.txt"), "bbc"); // .lnk: a folder
    const auto range = std::minmax_element(sink.positions.begin(), sink.positions.end());
    EXPECT_TRUE(sink.texts.size() == 3u && *range.first == 0.5 && *range.second == 0.75 &&
                std::count(sink.positions.begin(), sink.positions.end(), 0.75) == 3);
    At(L"flat").SetAttributes(0);
    CopyFolder(At(L"flat"), At(L"src"), false, Tickler());
    EXPECT_EQ(std::to_string(At(L"flat").GetAttributes()) + Read(L"flat\\a.txt") + ListOf(L"flat"),
              "0aaaa.txt");
    EXPECT_EQ(ErrorCode([&] { CopyFolder(At(L"flat"), At(L"src"), true, Tickler()); }), Taken());
    // A target inside its source would be listed while it is filled, without end.
    EXPECT_EQ(ErrorCode([&] { CopyFolder(At(L"src\\sub\\in"), At(L"src"), true, Tickler()); }),
              Denied());
    EXPECT_FALSE(Exists(dir.Child(L"src\\sub\\in")));
    cancelling.cancelAt = 0.0; // at the first report
    const FileException cancelled = CatchFileException(
        [&] { CopyFolder(At(L"gone"), At(L"src"), true, Tickler(&cancelling)); });
    const auto* cause = dynamic_cast<const SystemException::Win32*>(cancelled.cause());
    EXPECT_TRUE(cause && cause->number() == 1235u &&
                !Exists(dir.Child(L"gone"))); // ERROR_CANCELLED
    At(L"src").SetAttributes(0);
    Move(At(L"moved"), At(L"flat"), Tickler(&moving));
    EXPECT_TRUE(moving.positions == (std::vector<double>{0.0, 1.0}) &&
                moving.texts == Strings{"copying " + Narrow(At(L"flat").GetPath())});
    EXPECT_EQ(ErrorCode([&] { Move(At(L"f"), At(L"moved\\a.txt"), Tickler()); }), Taken());
    EXPECT_EQ(ErrorCode([&] { Move(At(L"moved\\in"), At(L"moved"), Tickler()); }), Denied());
    EXPECT_EQ(Read(L"f") + ListOf(L"moved") + " / " + ListOf(L"a\\b") + " / " + Listing(dir.Path()),
              "xa.txt / c / a deep f moved src");
}

// tests/fixtures/util-links.sh: tree\{a.txt, sub\b.txt, sub\up -> .., out -> outside}. A target
// inside its source is also seen through out, and through S:, which is second-drive.
TEST_F(UtilitiesTest, TreeOperationsNeverEnterLinksAndSeeTheirTargetInsideTheSource) {
    const std::wstring links = L"C:\\talven-fixtures\\util-links\\";
    const FileSpec tree = Path(links + L"tree");
    if (!tree.IsPresent()) {
        GTEST_SKIP() << "no link fixture (tests/fixtures/util-links.sh)";
    }
    EXPECT_EQ(GetFolderSize(tree, true), 8u); // without out's 7 bytes; up would loop
    EXPECT_EQ(Joined(Names(FindFiles(tree, FilePath("*"), true))), "a.txt b.txt");
    EXPECT_EQ(Names(FindFolders(tree, FilePath("up"), true)), Strings{"up"});
    CopyFolder(At(L"copy"), tree, true, Tickler());
    EXPECT_EQ(Read(L"copy\\sub\\b.txt") + ListOf(L"copy") + " / " + ListOf(L"copy\\sub"),
              "bbbbba.txt sub / b.txt");
    const FileSpec outside = Path(links + L"outside"), inside = Path(links + L"tree\\out\\in");
    EXPECT_TRUE(ErrorCode([&] { CopyFolder(inside, outside, true, Tickler()); }) == Denied() &&
                !Exists(links + L"outside\\in"));
    if (!DriveUsable(L"S:\\")) {
        GTEST_SKIP() << "no drive S: (tests/fixtures/setup-drives.sh)";
    }
    const std::wstring second = L"C:\\talven-fixtures\\second-drive";
    const TestFolder run(second, L"run");
    const FileSpec viaS = Path(L"S:" + run.Path().substr(second.size()) + L"\\in");
    run.WriteFile(L"f.txt", "f");
    EXPECT_TRUE(ErrorCode([&] { CopyFolder(viaS, Path(run.Path()), true, Tickler()); }) ==
                    Denied() &&
                !Exists(run.Child(L"in")));
}

TEST_F(UtilitiesTest, RelativePathsUniqueNamesProcessPathsAndTheTemporaryFolder) {
    // Between volumes (the optical drive T: of setup-drives.sh) there is none.
    // clang-format off
    const struct { const wchar_t *target, *base; const char* expected; } rows[] = {
        {L"C:\\a\\c\\d", L"C:\\a\\b", "./../c/d"}, {L"C:\\a\\b", L"C:\\a\\b", "."},
        {L"C:\\a\\b", L"C:\\", "./a/b"}, {L"C:\\", L"C:\\a\\b", "./../.."}, {L"C:\\A\\x", L"c:\\a", "./x"},
        {L"C:\\a", nullptr, ""}, {L"T:\\", L"C:\\", ""}};
    const struct { const char *templ, *extension, *name; } names[] = {{"log", "txt", "log.txt"},
        {"log", "txt", "log1.txt"}, {"a*b", ".txt", "a1b.txt"}, {"a*b", ".txt", "a2b.txt"},
        {"plain", "", "plain"}, {"plain", "", "plain1"}};
    // clang-format on
    for (const auto& row : rows) {
        if (row.target[0] != L'T' || DriveUsable(L"T:\\")) { // T: needs its fixture
            const FileSpec base = row.base ? Path(row.base) : FileSpec();
            EXPECT_EQ(Narrow(GetRelativePath(Path(row.target), base)), row.expected)
                << Narrow(FilePath(row.target));
        }
    }
    for (const auto& row : names) {
        const FileSpec made =
            MakeUniqueChild(At(L""), FilePath(row.templ), FilePath(row.extension));
        ASSERT_EQ(Narrow(made.GetName()), row.name);
        dir.WriteFile(TextConvert::AnsiToWide(row.name), "");
    }
    // The process paths: the library is linked into the program, with lang\ beside it.
    EXPECT_TRUE(GetModuleFile() == GetApplicationFile() &&
                GetModuleSiblingFolder(FilePath("lang")).IsFolder());
    EXPECT_EQ(ErrorCode([] { GetModuleSiblingFile(FilePath("lang")); }), Denied());
    const FileSpec before = GetCurrentFolder();
    SetCurrentFolder(At(L""));
    EXPECT_TRUE(GetCurrentFolder() == At(L""));
    SetCurrentFolder(before);
    EXPECT_EQ(ErrorCode([&] { SetCurrentFolder(At(L"none")); }), FileException::FileNotFound.id());
    // One private temporary folder per process, made anew when it vanished, numbered when
    // "Talven.tmp" is taken; Uninstall removes it (read-only content too) or leaves it silently.
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const FolderSpec first = GetTempFolder();
    const FileSpec parent = first.ParentFolder();
    EXPECT_TRUE(first.IsFolder() && GetTempFolder() == first && parent == FileSpec(FilePath(temp)));
    first.DeleteTree();
    // Wine's file index is the inode, which Linux reuses at once: a spacer takes it.
    const TestFolder spacer;
    const std::wstring plain = std::wstring(temp) + L"Talven.tmp";
    const bool made = ::CreateDirectoryW(plain.c_str(), nullptr);
    const FileSpec numbered = MakeUniqueChild(parent, FilePath("Talven"), FilePath("tmp"));
    EXPECT_TRUE(GetTempFolder().IsFolder() && GetTempFolder() == numbered &&
                !(numbered == Path(plain)));
    EXPECT_TRUE(!made || ::RemoveDirectoryW(plain.c_str()));
    for (const bool hold : {false, true}) {
        SCOPED_TRACE(hold);
        const FolderSpec folder = GetTempFolder();
        const std::wstring path = TextConvert::Utf8ToWide(folder.GetPath().GetBytes());
        folder.MakeChild(FilePath("sub")).CreateFolder();
        const FileSpec file = folder.MakeChild(FilePath("sub\\f.txt"));
        FileSpec_Impl(file).GetImpl()->Create();
        file.SetAttributes(AttributeReadOnly);
        {
            const Win32Res::FileHandle held(
                hold ? ::CreateFileW((path + L"\\held.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE);
            EXPECT_NO_THROW(FileSystem_Win32::Uninstall(); FileSystem_Win32::Uninstall()); // twice
        }
        EXPECT_TRUE((hold || !Exists(path)) && !FileSystem_Win32::IsStarted() &&
                    FileSystem_Win32::GetAPI() == nullptr);
        RemoveTree(path);
        FileSystem_Win32::Install();
        EXPECT_TRUE(FileSystem_Win32::IsStarted() && GetTempFolder().IsFolder());
    }
    FileSystem_Win32::Uninstall(); // the folder goes with the test, and the library stays on
    FileSystem_Win32::Install();
}

TEST_F(UtilitiesTest, RemovalTakesReadOnlyAndHeldItemsAndSizesAndSearchesFollowTheListing) {
    MakeTree(L"top");
    Folder(L"top").DeleteContents(false);
    EXPECT_EQ(ListOf(L"top") + " / " + ListOf(L"top\\full") + " / " + ListOf(L"top\\locked"),
              "empty full locked / c deeper / e");
    Folder(L"top").DeleteContents(true);
    EXPECT_EQ(ListOf(L"top"), "");
    // A missing folder is quiet; emptying must find it, like a listing; a file is refused.
    EXPECT_NO_THROW(Folder(L"missing\\below").DeleteTree());
    CatchFileException([&] { Folder(L"missing").DeleteContents(true); });
    Make({L"file=x"});
    CatchFileException([&] { Folder(L"file").DeleteTree(); });
    EXPECT_EQ(Read(L"file"), "x");
    MakeTree(L"hold");
    const auto removeHolding = [&](const std::wstring& name, DWORD flags, DWORD share) {
        const Win32Res::FileHandle held(::CreateFileW(dir.Child(name).c_str(), GENERIC_READ, share,
                                                      nullptr, OPEN_EXISTING, flags, nullptr));
        EXPECT_TRUE(held.IsValid());
        const FileException e = CatchFileException([&] { Folder(L"hold").DeleteTree(); });
        return std::to_string(e.code()) + " " + Narrow(FilePath(e.path())) + " holds [" +
               ListOf(L"hold") + "]";
    };
    // A handle that refuses deletion of the folder alone: the contents must be gone first.
    EXPECT_EQ(
        removeHolding(L"hold", FILE_FLAG_BACKUP_SEMANTICS, FILE_SHARE_READ | FILE_SHARE_WRITE),
        std::to_string(Denied()) + " " + Narrow(dir.Child(L"hold")) + " holds []");
    Make({L"hold\\busy", L"hold\\busy\\held=h"});
    EXPECT_EQ(removeHolding(L"hold\\busy\\held", FILE_ATTRIBUTE_NORMAL, 0),
              std::to_string(Denied()) + " " + Narrow(dir.Child(L"hold\\busy\\held")) +
                  " holds [busy]");
    Folder(L"hold").SetAttributes(AttributeReadOnly);
    Folder(L"hold").DeleteTree();
    EXPECT_EQ(Listing(dir.Path()), "file top");
    Make({L"s", L"s\\d.txt", L"x", L"x\\bin", L"x\\bin\\bin", L"s\\a.txt=123", L"s\\B.TXT=12345",
          L"s\\c.log=", L"s\\d.txt\\e.txt=1234567", L"s\\held=1234567"});
    EXPECT_EQ(std::make_pair(GetFolderSize(At(L"s"), false), GetFolderSize(At(L"s"), true)),
              std::make_pair(std::uint64_t(15), std::uint64_t(22)));
    // Within one folder the order is the OS's; the sub-folder's results come last.
    const Strings deep = Names(FindFiles(At(L"s"), FilePath("*.txt"), true));
    EXPECT_EQ(Joined(deep) + " last " + deep.back(), "B.TXT a.txt e.txt last e.txt");
    EXPECT_EQ(Joined(Names(FindFiles(At(L"s"), FilePath("*.txt"), false))), "B.TXT a.txt d.txt");
    const FileSpecList bins = FindFolders(At(L""), FilePath("bin"), true);
    EXPECT_TRUE(bins.size() == 1 && bins[0] == At(L"x\\bin") &&
                FindFolders(At(L""), FilePath("bin"), false).empty());
    // Sizes come from the listing: files held without sharing or still growing count as they are.
    const Win32Res::FileHandle held(::CreateFileW(dir.Child(L"s\\held").c_str(), GENERIC_READ, 0,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
    const Win32Res::FileHandle log(::CreateFileW(dir.Child(L"s\\grow").c_str(), GENERIC_WRITE,
                                                 FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(held.IsValid() && log.IsValid());
    for (std::uint64_t expected : {122u, 222u}) {
        DWORD n = 0;
        ASSERT_TRUE(::WriteFile(log.Get(), std::string(100, 'g').data(), 100, &n, nullptr));
        EXPECT_EQ(GetFolderSize(At(L"s"), true), expected);
    }
}

// Every kind of link of tests/fixtures/make-links.sh, removed by every removing operation.
TEST_F(UtilitiesTest, LinksOfEveryKindNeverCostWhatTheyLeadTo) {
    const std::wstring base = L"C:\\talven-fixtures\\";
    std::wstring set, drive; // each run claims a set of its own by renaming it
    for (int n = 1; n <= 64 && set.empty(); ++n) {
        const std::wstring number = std::to_wstring(n), from = base + L"links\\set-" + number,
                           claimed = from + L"-claimed-" + std::to_wstring(::GetTickCount());
        if (::MoveFileW(from.c_str(), claimed.c_str())) {
            set = claimed;
            drive = base + L"second-drive\\links\\set-" + number;
        }
    }
    if (set.empty()) {
        GTEST_SKIP() << "no unused link set: run tests/fixtures/make-links.sh <wineprefix>";
    }
    const auto at = [&](const std::wstring& below) { return set + L"\\" + below; };
    // The links lead where they should: otherwise the test would prove nothing.
    const DWORD linked = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    ASSERT_EQ(::GetFileAttributesW(at(L"tree\\sub\\out").c_str()) &
                  ::GetFileAttributesW(at(L"tree\\sub\\up").c_str()) & linked,
              linked);
    ASSERT_EQ(ReadAll(at(L"tree\\sub\\out\\a.txt")) + ReadAll(at(L"tree\\sub\\up\\file.txt")) +
                  ReadAll(at(L"kinds\\file\\link")) + ReadAll(at(L"kinds\\drive\\link\\d.txt")),
              "alphafilealphadelta");
    FolderSpec(FilePath(at(L"tree\\sub"))).DeleteContents(false);
    EXPECT_EQ(Listing(at(L"tree\\sub")), "out up");
    // Wine removes a Linux link's target, so there the link must stay, refused; it does not list a
    // dangling link, so its folder stays. T: DeleteTree, C: DeleteContents of folder, R: Delete.
    for (const wchar_t* row :
         {L"Ttree\\sub\\out", L"Ttree", L"Tkinds\\empty", L"Ckinds\\full\\link", L"Tkinds\\file",
          L"Tkinds\\drive\\link", L"Tkinds\\drive", L"Tkinds\\empty\\link",
          L"Ckinds\\dangling\\link", L"Rkinds\\file\\link"}) {
        SCOPED_TRACE(Narrow(row));
        const std::wstring path = at(row + 1), folder = path.substr(0, path.rfind(L'\\'));
        const bool dangling = folder == at(L"kinds\\dangling");
        try {
            row[0] == L'C'   ? FolderSpec(FilePath(folder)).DeleteContents(true)
            : row[0] == L'R' ? FileSpec(FilePath(path)).Delete()
                             : FolderSpec(FilePath(path)).DeleteTree();
            EXPECT_FALSE((UnderWine() && !dangling) || Exists(path)) << "under Wine it must refuse";
        } catch (const FileException& e) {
            EXPECT_TRUE(UnderWine()) << e.what();
            const std::string where = TextConvert::Chars(e.path());
            const std::string name = where.substr(where.rfind('\\') + 1);
            EXPECT_EQ(e.code(), dangling ? FileException::FolderNotEmpty.id() : Denied());
            EXPECT_TRUE(dangling ? where == Narrow(folder)
                                 : name == "out" || name == "up" || name == "link")
                << where;
        }
        EXPECT_EQ(ReadAll(at(L"outside\\a.txt")) + ReadAll(at(L"outside\\b.txt")) +
                      ReadAll(at(L"outside\\deep\\c.txt")) + ReadAll(drive + L"\\d.txt") + " [" +
                      Listing(at(L"empty")) + "] [" + Listing(drive) + "]" +
                      (Exists(at(L"nowhere")) ? " nowhere" : ""),
                  "alphabravocharliedelta [] [d.txt]");
    }
}

TEST(Tickler, MapsSplitsAndCountsIntoItsRangeOnItsSinkAndIsSilentWithoutOne) {
    RecordingSink sink, mapped, sub, none;
    std::vector<std::uint32_t> stepCounts;
    for (const Tickler& tickler : {Tickler(), Tickler(&mapped, 0.5, 0.25)}) { // copies share it
        for (double fraction : {0.0, 1.0, 0.5, 2.0, -1.0}) {
            tickler.Tickle(fraction);
        }
        tickler.SetStep(5);
        tickler.SetStepCount(3);
        tickler.NextStep();
        tickler.Refresh();
        stepCounts.push_back(tickler.GetStepCount());
    }
    EXPECT_TRUE(stepCounts == (std::vector<std::uint32_t>{0, 3}) && mapped.GetStep() == 2u);
    EXPECT_EQ(mapped.positions, (std::vector<double>{0.5, 0.75, 0.625, 1.0, 0.25})); // unclamped
    const Tickler whole(&sink);
    const auto ranges = [&](const std::vector<Tickler>& parts) {
        std::ostringstream out;
        for (const Tickler& part : parts) {
            out << (part.GetImpl() == &sink ? "" : "elsewhere:") << part.GetOffset() << "+"
                << part.GetScale() << " ";
        }
        return out.str();
    };
    EXPECT_EQ(ranges(Split(whole, 4)), "0+0.25 0.25+0.25 0.5+0.25 0.75+0.25 ");
    EXPECT_EQ(ranges(Split(Tickler(&sink, 0.5, 0.5), {2.0, 0.0, 2.0})),
              "0.5+0.25 0.75+0 0.75+0.25 ");
    EXPECT_TRUE(Split(whole, 0).empty() && Split(whole, std::vector<double>{}).empty() &&
                Split(whole, {1.0, -2.0}).empty() && Split(whole, {1.0, std::nan("")}).empty() &&
                Split(whole, {1.0, HUGE_VAL}).empty());
    TickleCounter counter(whole, 10, 3);
    TickleCounter each(Tickler(&sub, 0.5, 0.5), 2, 1); // reaches the end exactly
    TickleCounter empty(Tickler(&none), 0, 1);         // never divides by zero
    for (int i = 1; i <= 12; ++i) {
        counter.Increment();
        each.Increment();
        empty.Increment();
    }
    EXPECT_EQ(sink.positions, (std::vector<double>{0.3, 0.6, 0.9}));
    EXPECT_TRUE(sub.positions == (std::vector<double>{0.75, 1.0}) && none.positions.empty());
    EXPECT_EQ(ErrorCode([&] { TickleCounter(Tickler(&sink), 10, 0); }), -2); // interval 0
}

} // namespace
