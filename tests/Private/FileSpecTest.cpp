// Tests of the portable value classes over the Windows factory: empty values, first registration,
// objects handing themselves on, equality, and FolderIterator over a scripted iterator.
#include "Private/FileChannel.h"
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Volume_Win32.h"

#include <functional>
#include <set>

namespace {

using namespace FileSystem;
class FileSpecTest : public TalvenTest::FileSystemTest {};

const auto ImplOf = [](const FileSpec& s) { return FileSpec_Impl(s).GetImplPtr(); };

TEST_F(FileSpecTest, EmptyValuesRaiseInternalErrorsNamingTheirOwnLine) {
    const FileSpec file;
    const Volume volume;
    const FileChannel channel;
    dir.WriteFile(L"a", "x");
    const FileSpec bound = At(L"a");
    char buffer[4] = {};
    std::size_t got = 0;
    const struct {
        const char* source;
        std::vector<std::function<void()>> operations;
    } classes[] = {
        {"FileSpec",
         {[&] { file.CreateFolder(); }, [&] { file.Delete(); }, [&] { file.GetAttributes(); },
          [&] { file.GetFileSize(); }, [&] { file.GetModificationDate(); },
          [&] { file.GetVolume(); }, [&] { file.MakeChild(FilePath(L"x")); },
          [&] { file.OpenChannel(ModeRead); }, [&] { file.ParentFolder(); },
          [&] { file.Rename(bound); }, [&] { bound.Rename(file); }, [&] { file.SetAttributes(1); },
          [&] { file.SetModificationDate(DateTime()); }}},
        {"Volume",
         {[&] { volume.GetAsFolder(); }, [&] { volume.GetCapacity(); },
          [&] { volume.GetFreeSpace(); }, [&] { volume.GetMaxFileSize(); },
          [&] { volume.GetMaxNameLength(); }, [&] { volume.IsCaseSensitive(); },
          [&] { volume.Unmount(); }, [&] { volume.GetSerialNumber(); }}},
        {"FileChannel",
         {[&] { channel.Close(); }, [&] { channel.Flush(); }, [&] { channel.GetEndOfFile(); },
          [&] { channel.GetFileSpec(); }, [&] { channel.GetPosition(); },
          [&] { channel.Read(buffer, 4, got); }, [&] { channel.ReleaseToStdio(); },
          [&] { channel.SetEndOfFile(1); }, [&] { channel.SetPosition(1); },
          [&] { channel.Write(buffer, 4); }}},
        // Both ways of being empty: never bound, and made from an empty FileSpec.
        {"FolderSpec",
         {[] { FolderSpec().NewIterator(); }, [] { FolderSpec().DeleteTree(); },
          [] { FolderSpec(FileSpec()).DeleteContents(true); }}},
    };
    for (const auto& c : classes) {
        std::set<std::string> messages;
        const std::string start = std::string("internal software error: .\\Private\\") + c.source;
        for (const std::function<void()>& operation : c.operations) {
            SCOPED_TRACE(std::string(c.source) + " operation " + std::to_string(messages.size()));
            const FileException e = TalvenTest::CatchFileException(operation);
            EXPECT_TRUE(e.code() == TalvenException::InternalSoftwareError.id() &&
                        e.path().empty() && !e.cause());
            const std::string message = TextConvert::Chars(e.message());
            EXPECT_EQ(message.rfind(start + ", line ", 0), 0u) << message;
            messages.insert(message);
        }
        EXPECT_EQ(messages.size(), c.operations.size()) << c.source << ": one line per check";
    }
    EXPECT_TRUE(bound.IsPresent()) << "a refused Rename moves nothing";
    bound.Rename(At(L"b"));
    EXPECT_EQ(Narrow(At(L"b").GetName()), "b");
    At(L"b").Delete();
    EXPECT_FALSE(At(L"b").IsPresent() || bound.IsPresent());
    EXPECT_TRUE(TalvenTest::CatchFileException([&] { file.Rename(file); }).message() ==
                TalvenTest::CatchFileException([&] { file.Rename(bound); }).message())
        << "Rename checks its source first";
    EXPECT_TRUE(file.GetName().IsEmpty() && file.GetPath().IsEmpty() &&
                file.GetExtension().IsEmpty() && file.GetNativePath().empty() &&
                volume.GetName().empty() && volume.GetFileSystemName().empty() &&
                FileSpec(FilePath()).IsNull() && FolderSpec(FileSpec()).GetFolderImpl().IsNull());
    EXPECT_FALSE(file.IsPresent() || file.IsAlias() || file.IsFile() || file.IsFolder() ||
                 file.IsRoot() || channel.IsOpen() || volume.IsMounted() || volume.IsRemote() ||
                 volume.IsRemovable() || volume.IsValid());
}

// Would make every spec, if it were ever asked.
class SecondFactory : public ClassFactory_IF {
    FileSpec_IF* MakeFileSpec(const FilePath&, CountedPtr<Volume_IF>) override {
        ADD_FAILURE() << "the second factory was asked";
        return nullptr;
    }
};

// Another volume class: never equal to a volume of the first, whatever IsEqualTo would say.
class OtherVolume : public Volume_Win32 {
    using Volume_Win32::Volume_Win32;
};

TEST_F(FileSpecTest, FirstRegistrationWinsObjectsHandThemselvesOnAndEquality) {
    ClassFactory_IF::SetInstance(CountedPtr<ClassFactory_IF>(new SecondFactory));
    const FileSpec spec = At(L"a");
    EXPECT_EQ(DynamicType(ImplOf(spec)), typeid(FileSpec_Win32));

    const FileChannel channel = spec.OpenChannel(ModeRead | ModeWrite | ModeCreate);
    EXPECT_EQ(ImplOf(spec).UseCount(), 3) << "spec, channel and the pointer here";
    EXPECT_TRUE(channel.GetFileSpec() == spec);
    channel.Close();

    const Volume volume = spec.GetVolume();
    EXPECT_TRUE(volume.GetAsFolder().GetVolume() == volume && volume.GetAsFolder().IsRoot());

    const FileSpec a = At(L"a");
    EXPECT_TRUE(FileSpec() == FileSpec() && a == FileSpec(a) && a == At(L"A"));
    EXPECT_TRUE(FileSpec() != a && a != FileSpec() && a != At(L"b"));
    // The same item in the other class: IsEqualTo would say yes, but is never asked.
    const CountedPtr<FileSpec_IF> nine(new FileSpec_Win9X(a.GetPath(), ImplOf(a)->GetVolume()));
    EXPECT_TRUE(nine->IsEqualTo(ImplOf(a)));
    EXPECT_FALSE(a == FileSpec(nine) || FileSpec(nine) == a);

    EXPECT_TRUE(Volume() == Volume() && volume == At(L"b").GetVolume());
    EXPECT_FALSE(Volume() == volume || volume == Volume());
    const CountedPtr<Volume_IF> same(new Volume_Win32(VolumeInfo(L"C:\\")));
    EXPECT_FALSE(volume == Volume(same)) << "another object of the volume's class";
    const CountedPtr<Volume_IF> other(new OtherVolume(VolumeInfo(L"C:\\")));
    EXPECT_FALSE(volume == Volume(other));

    EXPECT_EQ(FolderSpec(a).GetFolderImpl().Get(), dynamic_cast<FolderSpec_IF*>(ImplOf(a).Get()));
    EXPECT_TRUE(FolderSpec(FilePath(dir.Child(L"a"))) == a);
}

// Hands out a fixed list of entries; an empty spec in the list makes Next raise there.
struct ScriptedIterator : FolderSpec_Iterator {
    ScriptedIterator(std::vector<FileSpec> e, int& c, bool& d)
        : entries(std::move(e)), calls(c), destroyed(d) {}
    ~ScriptedIterator() override { destroyed = true; }
    CountedPtr<FileSpec_IF> Next() override {
        if (++calls > int(entries.size())) {
            return CountedPtr<FileSpec_IF>();
        }
        if (entries[calls - 1].IsNull()) {
            throw FileException(FileException::InvalidFilePath, ByteString());
        }
        return ImplOf(entries[calls - 1]);
    }
    std::vector<FileSpec> entries;
    int& calls;
    bool& destroyed;
};

TEST_F(FileSpecTest, IteratorWalksEntriesAsksTheOsForTheirKindsAndLetsTheSearchGo) {
    At(L"dir").CreateFolder();
    dir.WriteFile(L"file", "x");
    int calls = 0;
    bool destroyed = false;
    FolderIterator it(CountedPtr<FolderSpec_Iterator>(new ScriptedIterator(
        {At(L"dir"), FileSpec(), At(L"file"), At(L"gone")}, calls, destroyed)));
    EXPECT_EQ(calls, 1) << "the first entry is fetched by the constructor";
    EXPECT_TRUE(it.CurrentIsFolder() && !it.CurrentIsLink()); // the listing cannot tell: OS asked
    // A raising entry keeps the previous one, and the walk goes on after it.
    EXPECT_THROW(it.Advance(), FileException);
    EXPECT_TRUE(it.Current() == At(L"dir"));
    it.Advance();
    EXPECT_FALSE(it.CurrentIsFolder() || it.CurrentIsLinkedFolder());
    it.Advance();
    // An entry gone since it was listed: the OS cannot answer.
    EXPECT_THROW(it.CurrentIsFolder(), FileException);
    EXPECT_FALSE(it.CurrentIsLink() || destroyed);
    it.Advance();
    // Reaching the end ends the search at once, while the FolderIterator still lives.
    EXPECT_TRUE(it.AtEnd() && destroyed);
    it.Advance();
    EXPECT_TRUE(it.AtEnd() && calls == 5);
    EXPECT_FALSE(it.CurrentIsFolder() || it.CurrentIsLink());
    EXPECT_TRUE(FolderIterator(CountedPtr<FolderSpec_Iterator>()).AtEnd());
}

} // namespace
