// Tests of the Windows folder listing: search patterns, empty and full folders with the kind of
// each entry, roots, failures at the start, the exhausted state (the search let go at the end),
// entries that cannot be named, and links. HandleLeakTest counts the search handles.
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "common/FileSystemTest.h"

#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_FolderIterator_Win32.h"

#include <map>
#include <set>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

const wchar_t* const SharedLinks = L"C:\\talven-fixtures\\links\\shared";
using Entries = std::map<std::string, EntryFlags>;

CountedPtr<FileSpec_Win32> Win32(const std::wstring& path) {
    return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(path)))
        .DynamicCast<FileSpec_Win32>();
}

// Every entry of the listing of folder by name, with the kind the listing gave it; each must be a
// full FileSpec in folder, on its volume.
Entries ListAll(const std::wstring& folder) {
    const CountedPtr<FileSpec_IF> parent(Win32(folder));
    FolderIterator_Win32 listing(Win32(folder));
    Entries entries;
    for (CountedPtr<FileSpec_IF> entry = listing.Next(); entry; entry = listing.Next()) {
        const std::string name = Narrow(entry->GetName());
        EXPECT_TRUE(entries.emplace(name, listing.LastEntryFlags()).second) << "twice: " << name;
        EXPECT_TRUE(name != "." && name != "..");
        EXPECT_EQ(Narrow(entry->GetPath()),
                  Narrow(folder.back() == L'\\' ? folder : folder + L"\\") + name);
        EXPECT_TRUE(entry->ParentFolder()->IsEqualTo(parent)) << name;
        EXPECT_EQ(entry->GetVolume().Get(), parent->GetVolume().Get()) << name;
    }
    EXPECT_EQ(listing.LastEntryFlags(), 0u);
    return entries;
}

using FolderIteratorTest = FileSystemTest;

TEST(FolderIteratorPattern, RootsGetNoSecondSeparator) {
    // clang-format off
    const std::pair<const wchar_t*, const wchar_t*> table[] = {
        {L"\\\\?\\C:\\", L"\\\\?\\C:\\*.*"}, {L"\\\\?\\C:\\dir", L"\\\\?\\C:\\dir\\*.*"},
        {L"\\\\?\\UNC\\srv\\share\\", L"\\\\?\\UNC\\srv\\share\\*.*"},
        {L"\\\\?\\UNC\\srv\\share\\dir", L"\\\\?\\UNC\\srv\\share\\dir\\*.*"},
        {L"C:\\", L"C:\\*.*"}, {L"C:\\dir", L"C:\\dir\\*.*"}, // the Windows 9x family: no prefix
    };
    // clang-format on
    for (const auto& [folder, pattern] : table) {
        EXPECT_EQ(Narrow(FolderIterator_Win32::PatternFor(folder)), Narrow(pattern));
    }
}

TEST_F(FolderIteratorTest, ListsEachEntryOnceWithItsKindEndsForGoodOrFailsAtOnce) {
    At(L"d1").CreateFolder();
    At(L"d2").CreateFolder();
    for (const wchar_t* name : {L"d2\\inner.txt", L"a.txt", L"B.TXT", L"ro"}) {
        dir.WriteFile(name, "x");
    }
    At(L"ro").SetAttributes(AttributeReadOnly);
    EXPECT_EQ(
        ListAll(dir.Path()),
        (Entries{{"B.TXT", 0}, {"a.txt", 0}, {"d1", EntryFolder}, {"d2", EntryFolder}, {"ro", 0}}));
    EXPECT_FALSE(ListAll(L"C:\\").empty()); // a root: no second separator in the paths
    // Only "." and ".." in d1: the search is over before the first Next.
    FolderIterator_Win32 empty(Win32(dir.Child(L"d1")));
    EXPECT_FALSE(empty.IsListing());
    EXPECT_TRUE(empty.Next().IsNull());
    EXPECT_TRUE(FolderSpec(At(L"d1")).NewIterator().AtEnd());
    FolderIterator_Win32 listing(Win32(dir.Child(L"d2")));
    EXPECT_TRUE(listing.IsListing());
    ASSERT_FALSE(listing.Next().IsNull());
    EXPECT_FALSE(listing.IsListing()); // the last entry handed out ends the search
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(listing.Next().IsNull());
        EXPECT_EQ(listing.LastEntryFlags(), 0u);
    }
    // Failures to start raise at once, with the folder's path.
    dir.WriteFile(L"file", "x");
    for (const wchar_t* name : {L"missing", L"missing\\below", L"file"}) {
        SCOPED_TRACE(Narrow(name));
        const FileException e = CatchFileException([&] { FolderSpec(At(name)).NewIterator(); });
        // The OS reports a missing folder in a search pattern as either kind, a file as a third.
        EXPECT_TRUE(e.code() == FileException::FileNotFound.id() ||
                    e.code() == FileException::FilePathNotFound.id() ||
                    (name[0] == L'f' && e.code() == FileException::InvalidFilePath.id()))
            << e.code();
        EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(dir.Child(name)));
        EXPECT_NE(e.cause(), nullptr);
    }
}

TEST_F(FolderIteratorTest, EntriesThatCannotBeNamedRaiseOnceAndTheListingGoesOn) {
    // Normalisation would turn "bad " and "dot." into "bad" and "dot": other items. Only the
    // long-path form makes such names (and the test folder's removal, which uses it).
    At(L"odd").CreateFolder();
    for (const wchar_t* name : {L"first", L"second", L"bad", L"bad ", L"dot."}) {
        const std::wstring path = L"\\\\?\\" + dir.Child(L"odd\\") + name;
        const Win32Res::FileHandle made(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        WIN32_FIND_DATAW data = {};
        if (!Win32Res::FindHandle(::FindFirstFileW(path.c_str(), &data)) ||
            std::wstring(data.cFileName) != name) {
            GTEST_SKIP() << "the file system keeps no name ending in a space or a dot";
        }
    }
    FolderIterator_Win32 listing(Win32(dir.Child(L"odd")));
    Entries named;
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
    EXPECT_EQ(named, (Entries{{"bad", 0}, {"first", 0}, {"second", 0}}));
}

TEST_F(FolderIteratorTest, LinksAreReportedFromTheListing) {
    const std::wstring sub = std::wstring(SharedLinks) + L"\\tree\\sub";
    if (!Exists(sub)) {
        GTEST_SKIP() << "link fixture missing: run tests/fixtures/make-links.sh <wineprefix>";
    }
    const EntryFlags link = EntryFolder | EntryLink;
    EXPECT_EQ(ListAll(sub), (Entries{{"out", link}, {"up", link}, {"x.txt", 0}}));
    for (FolderIterator it = FolderSpec(FilePath(sub)).NewIterator(); !it.AtEnd(); it.Advance()) {
        const bool link = Narrow(it.Current().GetName()) != "x.txt";
        EXPECT_EQ(it.CurrentIsLinkedFolder(), link);
        EXPECT_EQ(IsLinkedFolder(it.Current()), link);
        EXPECT_EQ(IsLink(it.Current()), link);
    }
    // The folder a link leads to is a plain folder.
    EXPECT_FALSE(IsLink(FileSpec(FilePath(std::wstring(SharedLinks) + L"\\outside"))));
}

} // namespace
