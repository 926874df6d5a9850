// Emptying folders and removing trees: recursive and flat emptying, read-only items, missing
// folders, the folder removed last, stopping at the first failure, and links of every kind,
// which are removed themselves and never cost what they lead to.
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "common/FileSystemTest.h"

#include <set>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

// The names in a folder, by a plain listing.
std::set<std::string> Listing(const std::wstring& path) {
    std::set<std::string> names;
    for (FolderIterator it = FolderSpec(FilePath(path)).NewIterator(); !it.AtEnd(); it.Advance()) {
        names.insert(Narrow(it.Current().GetName()));
    }
    return names;
}

class DeleteTreeTest : public FileSystemTest {
protected:
    FolderSpec Folder(const std::wstring& name) const { return FolderSpec(At(name).GetPath()); }
    // top\{a, b (read-only), full\{c, deeper\d (read-only)}, empty, locked (read-only) holding
    // e (read-only)}.
    void MakeTree(const std::wstring& top) const {
        for (const wchar_t* name : {L"", L"\\full", L"\\full\\deeper", L"\\empty", L"\\locked"}) {
            Folder(top + name).CreateFolder();
        }
        for (const wchar_t* name :
             {L"\\a", L"\\b", L"\\full\\c", L"\\full\\deeper\\d", L"\\locked\\e"}) {
            dir.WriteFile(top + name, "x");
        }
        for (const wchar_t* name : {L"\\b", L"\\full\\deeper\\d", L"\\locked\\e", L"\\locked"}) {
            Folder(top + name).SetAttributes(AttributeReadOnly);
        }
    }
    // The error of removing top while a handle of hold is open, with top's listing afterwards.
    std::pair<FileException, std::set<std::string>> RemoveHolding(const std::wstring& hold,
                                                                  DWORD flags, DWORD share) {
        Win32Res::FileHandle held(::CreateFileW(dir.Child(hold).c_str(), GENERIC_READ, share,
                                                nullptr, OPEN_EXISTING, flags, nullptr));
        EXPECT_TRUE(held.IsValid());
        const FileException e = CatchFileException([&] { Folder(L"top").DeleteTree(); });
        return {e, Listing(dir.Child(L"top"))};
    }
};

TEST_F(DeleteTreeTest, EmptyingAndRemovingTakeReadOnlyItemsAndSubFoldersOnlyWhenAsked) {
    MakeTree(L"top");
    Folder(L"top").DeleteContents(false);
    EXPECT_EQ(Listing(dir.Child(L"top")), (std::set<std::string>{"empty", "full", "locked"}));
    EXPECT_EQ(Listing(dir.Child(L"top\\full")), (std::set<std::string>{"c", "deeper"}));
    EXPECT_EQ(Listing(dir.Child(L"top\\locked")), std::set<std::string>{"e"});
    Folder(L"top").DeleteContents(true);
    EXPECT_TRUE(Listing(dir.Child(L"top")).empty());
    MakeTree(L"whole");
    Folder(L"whole").SetAttributes(AttributeReadOnly);
    Folder(L"whole").DeleteTree();
    EXPECT_EQ(Listing(dir.Path()), std::set<std::string>{"top"});
    // A missing folder is quiet; emptying must find it, like a listing; a file is refused.
    EXPECT_NO_THROW(Folder(L"missing").DeleteTree());
    EXPECT_NO_THROW(Folder(L"missing\\below").DeleteTree());
    CatchFileException([&] { Folder(L"missing").DeleteContents(true); });
    dir.WriteFile(L"file", "x");
    CatchFileException([&] { Folder(L"file").DeleteTree(); });
    EXPECT_TRUE(Exists(dir.Child(L"file")));
}

TEST_F(DeleteTreeTest, TheFolderGoesLastAndTheFirstFailureStopsKeepingWhatIsDeleted) {
    MakeTree(L"top");
    // A handle that refuses deletion of the folder alone: the contents must be gone first.
    auto result =
        RemoveHolding(L"top", FILE_FLAG_BACKUP_SEMANTICS, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(Narrow(FilePath(result.first.path())), Narrow(dir.Child(L"top")));
    EXPECT_TRUE(result.second.empty());
    Folder(L"top\\busy").CreateFolder();
    dir.WriteFile(L"top\\busy\\held", "h");
    result = RemoveHolding(L"top\\busy\\held", FILE_ATTRIBUTE_NORMAL, 0);
    EXPECT_EQ(result.first.code(), FileException::AccessDenied.id());
    EXPECT_EQ(Narrow(FilePath(result.first.path())), Narrow(dir.Child(L"top\\busy\\held")));
    EXPECT_EQ(result.second, std::set<std::string>{"busy"});
    Folder(L"top").DeleteTree();
    EXPECT_FALSE(Exists(dir.Child(L"top")));
}

// A set of the link fixture (tests/fixtures/make-links.sh): outside\{a.txt, b.txt, deep\c.txt},
// empty\, tree\{file.txt, sub\x.txt, sub\out -> outside, sub\up -> tree}, and kinds\<kind> with
// f.txt and link for links to an empty folder, a full one, a file, nothing, and a folder on S:.
// Claimed by renaming, so each run uses up its own.
class LinkSet {
public:
    LinkSet() {
        const std::wstring base = L"C:\\talven-fixtures\\links\\";
        for (int n = 1; n <= 64 && path_.empty(); ++n) {
            const std::wstring claimed = base + L"claimed-" + std::to_wstring(n) + L"-" +
                                         std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                         std::to_wstring(::GetTickCount());
            if (::MoveFileW((base + L"set-" + std::to_wstring(n)).c_str(), claimed.c_str())) {
                path_ = claimed;
                drive_ = L"C:\\talven-fixtures\\second-drive\\links\\set-" + std::to_wstring(n);
            }
        }
    }
    bool Claimed() const { return !path_.empty(); }
    std::wstring At(const std::wstring& below) const { return path_ + L"\\" + below; }
    // Both links lead where they should: otherwise a test would prove nothing.
    bool LinksLive() const {
        const DWORD linkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        return (::GetFileAttributesW(At(L"tree\\sub\\out").c_str()) & linkedFolder) ==
                   linkedFolder &&
               (::GetFileAttributesW(At(L"tree\\sub\\up").c_str()) & linkedFolder) ==
                   linkedFolder &&
               ReadAll(At(L"tree\\sub\\out\\a.txt")) == "alpha" &&
               ReadAll(At(L"tree\\sub\\up\\file.txt")) == "file" &&
               ReadAll(At(L"kinds\\file\\link")) == "alpha" &&
               ReadAll(At(L"kinds\\drive\\link\\d.txt")) == "delta";
    }
    // The data the links lead to is all there, unchanged, and nothing appeared where the
    // dangling link leads.
    void ExpectOutsideIntact() const {
        EXPECT_EQ(ReadAll(At(L"outside\\a.txt")), "alpha");
        EXPECT_EQ(ReadAll(At(L"outside\\b.txt")), "bravo");
        EXPECT_EQ(ReadAll(At(L"outside\\deep\\c.txt")), "charlie");
        EXPECT_TRUE(Exists(At(L"empty")) && Listing(At(L"empty")).empty());
        EXPECT_EQ(Listing(drive_), std::set<std::string>{"d.txt"});
        EXPECT_EQ(ReadAll(drive_ + L"\\d.txt"), "delta");
        EXPECT_FALSE(Exists(At(L"nowhere")));
    }

private:
    std::wstring path_, drive_;
};

// Windows removes a link alone. Wine applies any remove of a Linux link to its target, so
// there the link must stay, refused with AccessDenied for its path (one of names); a dangling
// link Wine does not even list, so its folder stays behind, not empty.
template <class F>
void ExpectRemovedOrRefused(F&& operation, const std::wstring& gone, std::set<std::string> names,
                            const std::wstring& notEmpty = L"") {
    try {
        operation();
        EXPECT_FALSE(UnderWine() && notEmpty.empty()) << "a link was removed under Wine";
        EXPECT_FALSE(Exists(gone));
    } catch (const FileException& e) {
        EXPECT_TRUE(UnderWine()) << e.what();
        const std::string path = TextConvert::Chars(e.path());
        if (!notEmpty.empty()) {
            EXPECT_EQ(e.code(), FileException::FolderNotEmpty.id());
            EXPECT_EQ(path, Narrow(notEmpty));
            return;
        }
        EXPECT_EQ(e.code(), FileException::AccessDenied.id()) << e.what();
        EXPECT_EQ(names.count(path.substr(path.rfind('\\') + 1)), 1u) << path;
    }
}

// Every kind of link, by every removing operation: the tree around it, its emptying, the link
// named as the tree itself, and a plain remove.
TEST_F(DeleteTreeTest, LinksOfEveryKindNeverCostWhatTheyLeadTo) {
    const LinkSet set;
    if (!set.Claimed()) {
        GTEST_SKIP() << "no unused link set: run tests/fixtures/make-links.sh <wineprefix>";
    }
    ASSERT_TRUE(set.LinksLive());
    // Emptying without recursion leaves the links, as it leaves every sub-folder.
    FolderSpec(FilePath(set.At(L"tree\\sub"))).DeleteContents(false);
    EXPECT_FALSE(Exists(set.At(L"tree\\sub\\x.txt")));
    EXPECT_TRUE(set.LinksLive());
    enum Operation { Tree, Contents, LinkAsTree, Remove };
    const struct {
        const wchar_t *folder, *link;
        Operation operation;
        std::set<std::string> names;
    } rows[] = {
        {L"tree\\sub\\out", L"tree\\sub\\out", LinkAsTree, {"out"}},
        {L"tree", L"tree", Tree, {"out", "up"}},
        {L"kinds\\empty", L"kinds\\empty", Tree, {"link"}},
        {L"kinds\\full", L"kinds\\full\\link", Contents, {"link"}},
        {L"kinds\\file", L"kinds\\file", Tree, {"link"}},
        {L"kinds\\drive", L"kinds\\drive\\link", LinkAsTree, {"link"}},
        {L"kinds\\drive", L"kinds\\drive", Tree, {"link"}},
        {L"kinds\\empty", L"kinds\\empty\\link", LinkAsTree, {"link"}},
        {L"kinds\\dangling", L"kinds\\dangling\\link", Contents, {"link"}},
        {L"kinds\\file", L"kinds\\file\\link", Remove, {"link"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.link) + " " + std::to_string(row.operation));
        const FolderSpec folder{FilePath(set.At(row.folder))};
        const FilePath link(set.At(row.link));
        ExpectRemovedOrRefused(
            [&] {
                switch (row.operation) {
                case Tree:
                    folder.DeleteTree();
                    break;
                case Contents:
                    folder.DeleteContents(true);
                    break;
                case LinkAsTree:
                    FolderSpec(link).DeleteTree();
                    break;
                case Remove:
                    FileSpec(link).Delete();
                    break;
                }
            },
            set.At(row.link), row.names,
            row.folder == std::wstring(L"kinds\\dangling") ? set.At(row.folder) : L"");
        set.ExpectOutsideIntact();
    }
}

} // namespace
