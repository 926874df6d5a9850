// Tests of the Windows folder listing: search patterns, empty and full folders with the kind of
// each entry, roots, failures at the start, the exhausted state, entries that cannot be named,
// links, and when the search handle is let go.
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "Private/Volume.h"
#include "common/TestHelpers.h"

#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_FolderIterator_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/HandleCount.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

using namespace FileSystem;

namespace {

const wchar_t* const SharedLinks = L"C:\\talven-fixtures\\links\\shared";

class FolderIteratorTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    static CountedPtr<FileSpec_Win32> Win32(const std::wstring& path) {
        return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(path)))
            .DynamicCast<FileSpec_Win32>();
    }
    CountedPtr<FileSpec_Win32> Child(const std::wstring& name) const {
        return Win32(folder.Child(name));
    }
    void MakeFolder(const std::wstring& name) const { Child(name)->CreateFolder(); }

    // Every entry of a listing by name, with the kind the listing gave it.
    static std::map<std::string, EntryFlags> ListAll(FolderIterator_Win32& listing) {
        std::map<std::string, EntryFlags> entries;
        for (CountedPtr<FileSpec_IF> entry = listing.Next(); entry; entry = listing.Next()) {
            EXPECT_TRUE(entries.emplace(Narrow(entry->GetName()), listing.LastEntryFlags()).second)
                << "listed twice: " << Narrow(entry->GetName());
        }
        return entries;
    }

    TalvenTest::TestFolder folder;
};

static_assert(std::is_same<FileSpec_Win32::Iterator, FolderIterator_Win32>::value,
              "the Windows listing is reachable as FileSpec_Win32::Iterator");

TEST(FolderIteratorPattern, RootsGetNoSecondSeparator) {
    const std::pair<const wchar_t*, const wchar_t*> table[] = {
        {L"\\\\?\\C:\\", L"\\\\?\\C:\\*.*"},
        {L"\\\\?\\C:\\dir", L"\\\\?\\C:\\dir\\*.*"},
        {L"\\\\?\\UNC\\srv\\share\\", L"\\\\?\\UNC\\srv\\share\\*.*"},
        {L"\\\\?\\UNC\\srv\\share\\dir", L"\\\\?\\UNC\\srv\\share\\dir\\*.*"},
        {L"C:\\", L"C:\\*.*"}, // the Windows 9x family: no prefix
        {L"C:\\dir", L"C:\\dir\\*.*"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(Narrow(FolderIterator_Win32::PatternFor(row.first)), Narrow(row.second));
    }
}

TEST_F(FolderIteratorTest, EmptyAndExhaustedListingsStayEmpty) {
    MakeFolder(L"empty");
    FolderIterator_Win32 empty(Child(L"empty"));
    // Only "." and ".." were there: the search is over before the first Next.
    EXPECT_FALSE(empty.IsListing());
    EXPECT_TRUE(empty.Next().IsNull());
    EXPECT_TRUE(FolderSpec(FilePath(folder.Child(L"empty"))).NewIterator().AtEnd());

    MakeFolder(L"one");
    folder.WriteFile(L"one\\only", "x");
    FolderIterator_Win32 listing(Child(L"one"));
    EXPECT_TRUE(listing.IsListing());
    ASSERT_FALSE(listing.Next().IsNull());
    // The last entry handed out ends the search.
    EXPECT_FALSE(listing.IsListing());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(listing.Next().IsNull());
        EXPECT_EQ(listing.LastEntryFlags(), 0u);
    }
}

TEST_F(FolderIteratorTest, ListsEachEntryOnceAsAFullSpecificationWithItsKind) {
    MakeFolder(L"d1");
    MakeFolder(L"d2");
    folder.WriteFile(L"d2\\inner.txt", "i");
    folder.WriteFile(L"a.txt", "a");
    folder.WriteFile(L"B.TXT", "b");
    folder.WriteFile(L"ro", "r");
    Child(L"ro")->SetAttributes(AttributeReadOnly);

    FolderIterator_Win32 listing(Win32(folder.Path()));
    std::map<std::string, EntryFlags> entries;
    for (CountedPtr<FileSpec_IF> entry = listing.Next(); entry; entry = listing.Next()) {
        const std::string name = Narrow(entry->GetName());
        entries[name] = listing.LastEntryFlags();
        EXPECT_EQ(Narrow(entry->GetPath()), Narrow(folder.Child(entry->GetName().ToWide())));
        EXPECT_TRUE(
            entry->ParentFolder()->IsEqualTo(CountedPtr<FileSpec_IF>(Win32(folder.Path()))));
        EXPECT_EQ(entry->GetVolume().Get(), Win32(folder.Path())->GetVolume().Get()) << name;
    }
    const std::map<std::string, EntryFlags> expected = {
        {"B.TXT", 0}, {"a.txt", 0}, {"d1", EntryFolder}, {"d2", EntryFolder}, {"ro", 0}};
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(listing.LastEntryFlags(), 0u);
}

TEST_F(FolderIteratorTest, FailuresToStartRaiseAtOnceWithTheFoldersPath) {
    folder.WriteFile(L"file", "x");
    const std::int32_t notFound = FileException::FileNotFound.id();
    const std::int32_t pathNotFound = FileException::FilePathNotFound.id();
    // The OS reports a missing folder in a search pattern as either kind.
    const std::pair<const wchar_t*, std::set<std::int32_t>> table[] = {
        {L"missing", {notFound, pathNotFound}},
        {L"missing\\below", {notFound, pathNotFound}},
        {L"file", {notFound, pathNotFound, FileException::InvalidFilePath.id()}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(Narrow(row.first));
        const FolderSpec spec(FilePath(folder.Child(row.first)));
        try {
            spec.NewIterator();
            ADD_FAILURE() << "no exception";
        } catch (const FileException& e) {
            EXPECT_EQ(row.second.count(e.code()), 1u) << e.code();
            EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(folder.Child(row.first)));
            EXPECT_NE(e.cause(), nullptr);
        }
    }
}

TEST_F(FolderIteratorTest, ListsTheRootOfADrive) {
    std::size_t count = 0;
    const FolderSpec root(FilePath(L"C:\\"));
    for (FolderIterator it = root.NewIterator(); !it.AtEnd(); it.Advance()) {
        const std::string name = Narrow(it.Current().GetName());
        EXPECT_NE(name, ".");
        EXPECT_NE(name, "..");
        EXPECT_EQ(Narrow(it.Current().GetPath()), "C:\\" + name);
        EXPECT_TRUE(it.Current().ParentFolder() == root);
        ++count;
    }
    EXPECT_GT(count, 0u);
}

TEST_F(FolderIteratorTest, EntriesThatCannotBeNamedRaiseOnceAndTheListingGoesOn) {
    // Normalisation would turn "bad " and "dot." into "bad" and "dot": other items. Only the
    // long-path form makes such names.
    MakeFolder(L"odd");
    folder.WriteFile(L"odd\\first", "1");
    folder.WriteFile(L"odd\\second", "2");
    folder.WriteFile(L"odd\\bad", "a file the odd names must not be taken for");
    // The test folder's own clean-up cannot reach these names: they go with the test.
    struct OddNames {
        std::vector<std::wstring> paths;
        ~OddNames() {
            for (const std::wstring& path : paths) {
                ::DeleteFileW(path.c_str());
            }
        }
    } oddNames;
    bool made = true;
    for (const wchar_t* name : {L"bad ", L"dot."}) {
        const std::wstring path = L"\\\\?\\" + folder.Child(L"odd\\") + name;
        oddNames.paths.push_back(path);
        Win32Res::FileHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr))
            .Reset();
        WIN32_FIND_DATAW data = {};
        made = made && Win32Res::FindHandle(::FindFirstFileW(path.c_str(), &data)) &&
               std::wstring(data.cFileName) == name;
    }
    if (!made) {
        GTEST_SKIP() << "the file system keeps no name ending in a space or a dot";
    }

    FolderIterator_Win32 listing(Child(L"odd"));
    std::map<std::string, EntryFlags> named;
    std::set<std::string> raised;
    for (int guard = 0; guard < 10; ++guard) {
        try {
            const CountedPtr<FileSpec_IF> entry = listing.Next();
            if (!entry) {
                break;
            }
            named[Narrow(entry->GetName())] = listing.LastEntryFlags();
        } catch (const FileException& e) {
            EXPECT_EQ(e.code(), FileException::InvalidFilePath.id());
            const std::string path = TextConvert::Chars(e.path());
            EXPECT_TRUE(raised.insert(path.substr(path.rfind('\\') + 1)).second) << path;
        }
    }
    EXPECT_EQ(raised, (std::set<std::string>{"bad ", "dot."}));
    EXPECT_EQ(named, (std::map<std::string, EntryFlags>{{"bad", 0}, {"first", 0}, {"second", 0}}));
}

TEST_F(FolderIteratorTest, LinksAreReportedFromTheListing) {
    const std::wstring sub = std::wstring(SharedLinks) + L"\\tree\\sub";
    if (::GetFileAttributesW(sub.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "link fixture missing: run tests/fixtures/make-links.sh <wineprefix>";
    }
    FolderIterator_Win32 listing(Win32(sub));
    const std::map<std::string, EntryFlags> expected = {
        {"out", EntryFolder | EntryLink}, {"up", EntryFolder | EntryLink}, {"x.txt", 0}};
    EXPECT_EQ(ListAll(listing), expected);

    for (FolderIterator it = FolderSpec(FilePath(sub)).NewIterator(); !it.AtEnd(); it.Advance()) {
        const bool link = Narrow(it.Current().GetName()) != "x.txt";
        EXPECT_EQ(it.CurrentIsLinkedFolder(), link);
        EXPECT_EQ(IsLinkedFolder(it.Current()), link);
        EXPECT_EQ(IsLink(it.Current()), link);
    }
    // The folder a link leads to is a plain folder.
    EXPECT_FALSE(IsLink(FileSpec(FilePath(std::wstring(SharedLinks) + L"\\outside"))));
}

TEST_F(FolderIteratorTest, TheSearchIsLetGoAtTheEndOrWhenTheListingIsAbandoned) {
    for (int i = 0; i < 3; ++i) {
        folder.WriteFile(L"f" + std::to_wstring(i), "x");
    }
    const FolderSpec spec(FilePath(folder.Path()));
    const long before = TalvenTest::ProcessHandleCount();
    ASSERT_GE(before, 0);
    {
        // The counter sees an open search; the walk lets it go at the end, not at destruction.
        FolderIterator it = spec.NewIterator();
        EXPECT_EQ(TalvenTest::ProcessHandleCount(), before + 1);
        while (!it.AtEnd()) {
            it.Advance();
        }
        EXPECT_EQ(TalvenTest::ProcessHandleCount(), before);
    }
    {
        // Abandoned after the first entry, and right after the start.
        FolderIterator it = spec.NewIterator();
        it.Advance();
        FolderIterator_Win32 listing(Win32(folder.Path()));
    }
    EXPECT_EQ(TalvenTest::ProcessHandleCount(), before);
}

} // namespace
