// Tests of the portable FolderSpec and FolderIterator values: the empty FolderSpec's failures,
// the shared implementation, and FolderIterator's walk over a scripted iterator (first entry at
// once, end reached once, search let go at the end, raising entries, entry kinds asked of the
// OS when the listing cannot tell).
#include "Private/FolderSpec.h"
#include "Private/FolderIterator.h"

#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace FileSystem;

// Hands out a fixed list of entries; an empty entry in the list makes Next raise once there.
class ScriptedIterator : public FolderSpec_Iterator {
public:
    ScriptedIterator(std::vector<CountedPtr<FileSpec_IF>> entries, int* nextCalls, bool* destroyed)
        : entries_(std::move(entries)), nextCalls_(nextCalls), destroyed_(destroyed) {}
    ~ScriptedIterator() override { *destroyed_ = true; }

    CountedPtr<FileSpec_IF> Next() override {
        ++*nextCalls_;
        if (index_ >= entries_.size()) {
            return CountedPtr<FileSpec_IF>();
        }
        CountedPtr<FileSpec_IF> entry = entries_[index_++];
        if (entry.IsNull()) {
            throw FileException(FileException::InvalidFilePath, ByteString());
        }
        return entry;
    }

private:
    std::vector<CountedPtr<FileSpec_IF>> entries_;
    std::size_t index_ = 0;
    int* nextCalls_;
    bool* destroyed_;
};

CountedPtr<FileSpec_IF> ImplOf(const FileSpec& spec) {
    return FileSpec_Impl(spec).GetImplPtr();
}

class FolderSpecTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    FileSpec Spec(const std::wstring& name) const {
        return FileSpec(FilePath(folder_.Child(name)));
    }

    TalvenTest::TestFolder folder_;
};

TEST_F(FolderSpecTest, EmptyFolderSpecRaisesInternalErrorForEachFolderOperation) {
    const std::vector<std::pair<const char*, std::function<void(const FolderSpec&)>>> operations = {
        {"NewIterator", [](const FolderSpec& f) { f.NewIterator(); }},
        {"DeleteTree", [](const FolderSpec& f) { f.DeleteTree(); }},
        {"DeleteContents", [](const FolderSpec& f) { f.DeleteContents(true); }},
    };
    // Both ways of being empty: never bound, and made from an empty FileSpec.
    for (const FolderSpec& empty : {FolderSpec(), FolderSpec(FileSpec())}) {
        EXPECT_TRUE(empty.IsNull());
        EXPECT_TRUE(empty.GetFolderImpl().IsNull());
        std::set<std::string> messages;
        for (const auto& operation : operations) {
            SCOPED_TRACE(operation.first);
            try {
                operation.second(empty);
                ADD_FAILURE() << "no exception";
            } catch (const FileException& e) {
                EXPECT_EQ(e.code(), -2);
                EXPECT_TRUE(e.path().empty());
                EXPECT_EQ(e.cause(), nullptr);
                const std::string message = TextConvert::Chars(e.message());
                EXPECT_EQ(
                    message.rfind("internal software error: .\\Private\\FolderSpec, line ", 0), 0u)
                    << message;
                messages.insert(message);
            }
        }
        // Each operation names its own line, so a report tells which one met the empty value.
        EXPECT_EQ(messages.size(), operations.size());
    }
}

TEST_F(FolderSpecTest, SharesOneObjectAndCountWithItsFileSpec) {
    const FileSpec file = Spec(L"dir");
    const FolderSpec folder(file);
    ASSERT_FALSE(folder.IsNull());
    CountedPtr<FileSpec_IF> impl = ImplOf(folder);
    EXPECT_EQ(impl.Get(), ImplOf(file).Get());
    EXPECT_EQ(dynamic_cast<FolderSpec_IF*>(impl.Get()), folder.GetFolderImpl().Get());
    // file, folder (two pointers), impl and the temporary of GetFolderImpl share one count.
    EXPECT_EQ(folder.GetFolderImpl().UseCount(), 5);
    const FolderSpec copy = folder;
    EXPECT_EQ(copy.GetFolderImpl().Get(), folder.GetFolderImpl().Get());
    EXPECT_EQ(FolderSpec(FilePath(folder_.Child(L"dir"))).GetPath().GetBytes(),
              file.GetPath().GetBytes());
}

TEST_F(FolderSpecTest, IteratorWalksEntriesAndLetsTheSearchGoAtTheEnd) {
    const FileSpec a = Spec(L"a");
    const FileSpec b = Spec(L"b");
    int nextCalls = 0;
    bool destroyed = false;
    FolderIterator it(CountedPtr<FolderSpec_Iterator>(
        new ScriptedIterator({ImplOf(a), ImplOf(b)}, &nextCalls, &destroyed)));
    // The first entry is fetched by the constructor.
    EXPECT_EQ(nextCalls, 1);
    ASSERT_FALSE(it.AtEnd());
    EXPECT_TRUE(it.Current() == a);
    it.Advance();
    EXPECT_TRUE(it.Current() == b);
    EXPECT_FALSE(destroyed);
    it.Advance();
    EXPECT_TRUE(it.AtEnd());
    EXPECT_TRUE(it.Current().IsNull());
    // Reaching the end ends the search at once, while the FolderIterator still lives.
    EXPECT_TRUE(destroyed);
    for (int i = 0; i < 3; ++i) {
        it.Advance();
        EXPECT_TRUE(it.AtEnd());
    }
    EXPECT_EQ(nextCalls, 3);
    EXPECT_FALSE(it.CurrentIsFolder());
    EXPECT_FALSE(it.CurrentIsLink());
}

TEST_F(FolderSpecTest, RaisingEntryKeepsThePreviousOneAndTheWalkGoesOn) {
    const FileSpec a = Spec(L"a");
    const FileSpec c = Spec(L"c");
    int nextCalls = 0;
    bool destroyed = false;
    FolderIterator it(CountedPtr<FolderSpec_Iterator>(new ScriptedIterator(
        {ImplOf(a), CountedPtr<FileSpec_IF>(), ImplOf(c)}, &nextCalls, &destroyed)));
    EXPECT_THROW(it.Advance(), FileException);
    EXPECT_TRUE(it.Current() == a);
    it.Advance();
    EXPECT_TRUE(it.Current() == c);
    it.Advance();
    EXPECT_TRUE(it.AtEnd());
}

TEST_F(FolderSpecTest, EntryKindsAskTheOsWhenTheListingCannotTell) {
    FileSpec(FilePath(folder_.Child(L"dir"))).CreateFolder();
    folder_.WriteFile(L"file", "x");
    int nextCalls = 0;
    bool destroyed = false;
    FolderIterator it(CountedPtr<FolderSpec_Iterator>(
        new ScriptedIterator({ImplOf(Spec(L"dir")), ImplOf(Spec(L"file")), ImplOf(Spec(L"gone"))},
                             &nextCalls, &destroyed)));
    EXPECT_TRUE(it.CurrentIsFolder());
    EXPECT_FALSE(it.CurrentIsLink());
    it.Advance();
    EXPECT_FALSE(it.CurrentIsFolder());
    EXPECT_FALSE(it.CurrentIsLinkedFolder());
    it.Advance();
    // An entry gone since it was listed: the OS cannot answer.
    EXPECT_THROW(it.CurrentIsFolder(), FileException);
    EXPECT_FALSE(it.CurrentIsLink());
}

} // namespace
