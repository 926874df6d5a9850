// Tests of emptying folders and removing trees on Windows: recursive and flat emptying,
// read-only items, missing folders, the folder removed last, stopping at the first failure, and
// links, which are removed themselves and never entered.
// The portable headers come first: windows.h defines a GetFreeSpace macro that would break
// Volume.h if it came later.
#include "Private/FolderIterator.h"
#include "common/TestHelpers.h"
#include "Private/FolderSpec.h"

#include "Private/Windows/FileSystem_Win32_Install.h"
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace FileSystem;

namespace {

std::string Narrow(const std::wstring& text) {
    return TextConvert::Chars(TextConvert::WideToUtf8(text));
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(const std::wstring& path) {
    Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return "<missing>";
    }
    char buffer[64] = {};
    DWORD got = 0;
    ::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr);
    return std::string(buffer, got);
}

// The names in a folder, by a plain listing.
std::set<std::string> Names(const std::wstring& path) {
    std::set<std::string> names;
    for (FolderIterator it = FolderSpec(FilePath(path)).NewIterator(); !it.AtEnd(); it.Advance()) {
        names.insert(TextConvert::Chars(it.Current().GetName().GetBytes()));
    }
    return names;
}

class DeleteTreeTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    FolderSpec Folder(const std::wstring& name) const {
        return FolderSpec(FilePath(folder.Child(name)));
    }
    void MakeFolder(const std::wstring& name) const { Folder(name).CreateFolder(); }
    void MakeReadOnly(const std::wstring& name) const {
        Folder(name).SetAttributes(AttributeReadOnly);
    }

    // top: a, b (read-only), full\{c, deeper\d (read-only)}, empty, and a read-only folder
    // holding a read-only file.
    void MakeTree() const {
        MakeFolder(L"top");
        folder.WriteFile(L"top\\a", "a");
        folder.WriteFile(L"top\\b", "b");
        MakeReadOnly(L"top\\b");
        MakeFolder(L"top\\full");
        folder.WriteFile(L"top\\full\\c", "c");
        MakeFolder(L"top\\full\\deeper");
        folder.WriteFile(L"top\\full\\deeper\\d", "d");
        MakeReadOnly(L"top\\full\\deeper\\d");
        MakeFolder(L"top\\empty");
        MakeFolder(L"top\\locked");
        folder.WriteFile(L"top\\locked\\e", "e");
        MakeReadOnly(L"top\\locked\\e");
        MakeReadOnly(L"top\\locked");
    }

    TalvenTest::TestFolder folder;
};

TEST_F(DeleteTreeTest, FlatEmptyingDeletesFilesAndKeepsEverySubFolder) {
    MakeTree();
    Folder(L"top").DeleteContents(false);
    EXPECT_EQ(Names(folder.Child(L"top")), (std::set<std::string>{"empty", "full", "locked"}));
    EXPECT_EQ(Names(folder.Child(L"top\\full")), (std::set<std::string>{"c", "deeper"}));
    EXPECT_EQ(Names(folder.Child(L"top\\locked")), std::set<std::string>{"e"});
}

TEST_F(DeleteTreeTest, RecursiveEmptyingKeepsOnlyTheFolderItself) {
    MakeTree();
    Folder(L"top").DeleteContents(true);
    EXPECT_TRUE(Names(folder.Child(L"top")).empty());
}

TEST_F(DeleteTreeTest, TreeWithReadOnlyItemsIsRemovedWhole) {
    MakeTree();
    MakeReadOnly(L"top");
    Folder(L"top").DeleteTree();
    EXPECT_FALSE(Exists(folder.Child(L"top")));
    EXPECT_TRUE(Names(folder.Path()).empty());
}

TEST_F(DeleteTreeTest, MissingFolderIsQuietAndAFileIsRefused) {
    EXPECT_NO_THROW(Folder(L"missing").DeleteTree());
    EXPECT_NO_THROW(Folder(L"missing\\below").DeleteTree());
    // Emptying must find the folder, like a listing.
    EXPECT_THROW(Folder(L"missing").DeleteContents(true), FileException);
    folder.WriteFile(L"file", "x");
    EXPECT_THROW(Folder(L"file").DeleteTree(), FileException);
    EXPECT_TRUE(Exists(folder.Child(L"file")));
}

TEST_F(DeleteTreeTest, TheFolderItselfGoesLast) {
    MakeTree();
    // A handle that refuses deletion of the folder alone: the contents must be gone first.
    Win32Res::FileHandle hold(::CreateFileW(folder.Child(L"top").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(hold.IsValid());
    const bool refused = [&] {
        try {
            Folder(L"top").DeleteTree();
        } catch (const FileException& e) {
            EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(folder.Child(L"top")));
            return true;
        }
        return false;
    }();
    EXPECT_TRUE(refused);
    EXPECT_TRUE(Names(folder.Child(L"top")).empty());
}

TEST_F(DeleteTreeTest, StopsAtTheFirstFailureAndKeepsWhatIsDeleted) {
    MakeFolder(L"top");
    MakeFolder(L"top\\busy");
    folder.WriteFile(L"top\\busy\\held", "h");
    Win32Res::FileHandle hold(::CreateFileW(folder.Child(L"top\\busy\\held").c_str(), GENERIC_READ,
                                            0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
    ASSERT_TRUE(hold.IsValid());
    try {
        Folder(L"top").DeleteTree();
        ADD_FAILURE() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), FileException::AccessDenied.id());
        EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(folder.Child(L"top\\busy\\held")));
    }
    EXPECT_EQ(Names(folder.Child(L"top")), std::set<std::string>{"busy"});
    hold.Reset();
    Folder(L"top").DeleteTree();
    EXPECT_FALSE(Exists(folder.Child(L"top")));
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
            const std::wstring set = base + L"set-" + std::to_wstring(n);
            const std::wstring claimed = base + L"claimed-" + std::to_wstring(n) + L"-" +
                                         std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                         std::to_wstring(::GetTickCount());
            if (::MoveFileW(set.c_str(), claimed.c_str())) {
                path_ = claimed;
                driveTarget_ =
                    L"C:\\talven-fixtures\\second-drive\\links\\set-" + std::to_wstring(n);
            }
        }
    }
    bool Claimed() const { return !path_.empty(); }
    std::wstring Tree(const std::wstring& below = L"") const { return At(L"tree", below); }
    std::wstring Kind(const std::wstring& kind, const std::wstring& below = L"") const {
        return At(L"kinds\\" + kind, below);
    }
    // Both links lead where they should: otherwise a test would prove nothing.
    bool LinksLive() const {
        const DWORD linkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        return (::GetFileAttributesW(Tree(L"sub\\out").c_str()) & linkedFolder) == linkedFolder &&
               (::GetFileAttributesW(Tree(L"sub\\up").c_str()) & linkedFolder) == linkedFolder &&
               ReadAll(Tree(L"sub\\out\\a.txt")) == "alpha" &&
               ReadAll(Tree(L"sub\\up\\file.txt")) == "file" &&
               ReadAll(Kind(L"file", L"link")) == "alpha" &&
               ReadAll(Kind(L"drive", L"link\\d.txt")) == "delta";
    }
    // The data the links lead to is all there, unchanged, and nothing appeared where the
    // dangling link leads.
    void ExpectOutsideIntact() const {
        EXPECT_EQ(ReadAll(path_ + L"\\outside\\a.txt"), "alpha");
        EXPECT_EQ(ReadAll(path_ + L"\\outside\\b.txt"), "bravo");
        EXPECT_EQ(ReadAll(path_ + L"\\outside\\deep\\c.txt"), "charlie");
        EXPECT_TRUE(Exists(path_ + L"\\empty"));
        EXPECT_TRUE(Names(path_ + L"\\empty").empty());
        EXPECT_EQ(ReadAll(driveTarget_ + L"\\d.txt"), "delta");
        EXPECT_EQ(Names(driveTarget_), std::set<std::string>{"d.txt"});
        EXPECT_FALSE(Exists(path_ + L"\\nowhere"));
    }

private:
    std::wstring At(const std::wstring& folder, const std::wstring& below) const {
        return path_ + L"\\" + folder + (below.empty() ? L"" : L"\\" + below);
    }

    std::wstring path_;
    std::wstring driveTarget_;
};

#define CLAIM_LINK_SET(set)                                                                        \
    LinkSet set;                                                                                   \
    if (!set.Claimed()) {                                                                          \
        GTEST_SKIP() << "no unused link set: run tests/fixtures/make-links.sh <wineprefix>";       \
    }                                                                                              \
    ASSERT_TRUE(set.LinksLive())

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

TEST_F(DeleteTreeTest, TreeHoldingLinksLeavesWhatTheyLeadToIntact) {
    CLAIM_LINK_SET(set);
    ExpectRemovedOrRefused([&] { FolderSpec(FilePath(set.Tree())).DeleteTree(); }, set.Tree(),
                           {"out", "up"});
    set.ExpectOutsideIntact();
}

TEST_F(DeleteTreeTest, LinkAsTheTreeItselfIsRemovedAsALink) {
    CLAIM_LINK_SET(set);
    ExpectRemovedOrRefused([&] { FolderSpec(FilePath(set.Tree(L"sub\\out"))).DeleteTree(); },
                           set.Tree(L"sub\\out"), {"out"});
    // Emptying without recursion leaves the links, as it leaves every sub-folder.
    FolderSpec(FilePath(set.Tree(L"sub"))).DeleteContents(false);
    EXPECT_FALSE(Exists(set.Tree(L"sub\\x.txt")));
    EXPECT_TRUE(Exists(set.Tree(L"sub\\up")));
    set.ExpectOutsideIntact();
}

// Every kind of link, by every removing operation: the tree around it, its emptying, and the
// link named as the tree itself.
TEST_F(DeleteTreeTest, LinksOfEveryKindNeverCostWhatTheyLeadTo) {
    CLAIM_LINK_SET(set);
    const struct {
        const wchar_t* kind;
        int operation; // 0 DeleteTree of the folder, 1 DeleteContents of it, 2 of the link
    } rows[] = {{L"empty", 0}, {L"full", 1},  {L"file", 0},    {L"drive", 2},
                {L"drive", 0}, {L"empty", 2}, {L"dangling", 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.kind) + " " + std::to_string(row.operation));
        const std::wstring folder = set.Kind(row.kind);
        const std::wstring link = set.Kind(row.kind, L"link");
        const bool dangling = std::wstring(row.kind) == L"dangling";
        ExpectRemovedOrRefused(
            [&] {
                if (row.operation == 1) {
                    FolderSpec(FilePath(folder)).DeleteContents(true);
                } else {
                    FolderSpec(FilePath(row.operation == 0 ? folder : link)).DeleteTree();
                }
            },
            row.operation == 1 ? link : (row.operation == 0 ? folder : link), {"link"},
            dangling ? folder : L"");
        set.ExpectOutsideIntact();
    }
    // A plain remove of a link follows the same rule.
    ExpectRemovedOrRefused([&] { FileSpec(FilePath(set.Kind(L"file", L"link"))).Delete(); },
                           set.Kind(L"file", L"link"), {"link"});
    set.ExpectOutsideIntact();
}

} // namespace
