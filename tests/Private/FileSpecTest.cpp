// Tests of the portable FileSpec, Volume and FileChannel values over recording implementations
// registered through the class factory: the registration, empty values, Rename's checks, objects
// that hand themselves on, and equality.
#include "Private/FileSpec.h"
#include "Private/FileChannel.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Volume.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace FileSystem;

std::vector<std::string> calls;

std::string S(const FilePath& path) {
    return TextConvert::Chars(path.GetBytes());
}

void Record(const std::string& call) {
    calls.push_back(call);
}

class RecordingChannel : public FileChannel_IF {
public:
    explicit RecordingChannel(CountedPtr<FileSpec_IF> spec) : spec_(spec) {}
    void Close() override {}
    void Flush() override {}
    std::uint64_t GetEndOfFile() override { return 0; }
    CountedPtr<FileSpec_IF> GetFileSpec() override { return spec_; }
    std::uint64_t GetPosition() override { return 0; }
    bool IsOpen() override { return true; }
    void Read(void*, std::size_t, std::size_t& bytesRead) override { bytesRead = 0; }
    std::FILE* ReleaseToStdio() override { return nullptr; }
    void SetEndOfFile(std::uint64_t) override {}
    void SetPosition(std::uint64_t) override {}
    void Write(const void*, std::size_t) override {}

private:
    CountedPtr<FileSpec_IF> spec_;
};

class RecordingVolume : public Volume_IF {
public:
    CountedPtr<FileSpec_IF> GetAsFolder(CountedPtr<Volume_IF> self) override {
        Record(self.Get() == this ? "GetAsFolder self" : "GetAsFolder other");
        return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(L"C:\\"), self));
    }
    std::uint64_t GetCapacity() override { return 0; }
    std::uint64_t GetFreeSpace() override { return 0; }
    std::uint64_t GetMaxFileSize() override { return 0; }
    std::uint32_t GetMaxNameLength() override { return 0; }
    std::wstring GetName() override { return L"LABEL"; }
    bool IsCaseSensitive() override { return true; }
    bool IsEqualTo(CountedPtr<Volume_IF> other) override { return other.Get() == this; }
    bool IsMounted() override { return true; }
    bool IsRemote() override { return true; }
    bool IsRemovable() override { return true; }
    bool IsValid() override { return true; }
    void Unmount() override {}
    std::uint32_t GetSerialNumber() override { return 0; }
    std::wstring GetFileSystemName() override { return L"TESTFS"; }
};

CountedPtr<Volume_IF> volumeC(new RecordingVolume);

// Records the calls the tests look at as "<operation> <path>[ <argument>]"; every query answers
// as if the item were there.
class RecordingSpec : public FileSpec_IF, public AliasSpec_IF, public FolderSpec_IF {
public:
    RecordingSpec(const FilePath& path, CountedPtr<Volume_IF> volume)
        : path_(path), volume_(volume ? volume : volumeC) {}

    void Create() override {}
    void CreateFolder() override {}
    void Delete() override {}
    DateTime GetAccessDate() override { return DateTime(); }
    Attributes GetAttributes() override { return 0; }
    FilePath GetBaseName() override { return path_.GetBaseName(); }
    FilePath GetCanonicalPath() override { return path_; }
    DateTime GetCreationDate() override { return DateTime(); }
    FilePath GetExtension() override { return path_.GetExtension(); }
    std::uint64_t GetFileSize() override { return 0; }
    DateTime GetModificationDate() override { return DateTime(); }
    FilePath GetName() override { return path_.GetName(); }
    std::wstring GetNativePath() override { return path_.ToWide(); }
    FilePath GetPath() override { return path_; }
    CountedPtr<Volume_IF> GetVolume() override { return volume_; }
    bool IsAlias() override { return true; }
    bool IsEqualTo(CountedPtr<FileSpec_IF> other) override {
        Log("IsEqualTo", S(PathOf(other)));
        return path_.IsEqual(PathOf(other), false);
    }
    bool IsFile() override { return true; }
    bool IsFolder() override { return true; }
    bool IsPresent() override { return true; }
    bool IsRoot() override { return true; }
    CountedPtr<FileSpec_IF> MakeChild(const FilePath&) override { return Make("child"); }
    CountedPtr<FileChannel_IF> OpenChannel(OpenMode mode, CountedPtr<FileSpec_IF> self) override {
        Log("OpenChannel", std::to_string(mode) + (self.Get() == this ? " self" : " other"));
        return CountedPtr<FileChannel_IF>(new RecordingChannel(self));
    }
    CountedPtr<FileSpec_IF> ParentFolder() override { return CountedPtr<FileSpec_IF>(); }
    void Rename(CountedPtr<FileSpec_IF> target) override { Log("Rename", S(PathOf(target))); }
    CountedPtr<FileSpec_IF> RootFolder() override { return Make("C:\\"); }
    void SetAccessDate(const DateTime&) override {}
    void SetAttributes(Attributes) override {}
    void SetCreationDate(const DateTime&) override {}
    void SetFileSize(std::uint64_t) override {}
    void SetModificationDate(const DateTime&) override {}
    CountedPtr<FileSpec_IF> ResolveAlias() override { return Make("t"); }
    void DeleteTree(CountedPtr<FolderSpec_IF>) override {}
    void DeleteContents(bool, CountedPtr<FolderSpec_IF>) override {}
    CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF>) override {
        return CountedPtr<FolderSpec_Iterator>();
    }

private:
    static const FilePath& PathOf(const CountedPtr<FileSpec_IF>& spec) {
        return dynamic_cast<RecordingSpec&>(*spec).path_;
    }
    void Log(const std::string& operation, const std::string& argument) const {
        Record(operation + " " + S(path_) + " " + argument);
    }
    CountedPtr<FileSpec_IF> Make(const std::string& path) const {
        return CountedPtr<FileSpec_IF>(
            new RecordingSpec(FilePath(TextConvert::Bytes(path)), volume_));
    }

    FilePath path_;
    CountedPtr<Volume_IF> volume_;
};

// Another implementation type: it would call every object equal, but is never asked.
class OtherSpec : public RecordingSpec {
public:
    using RecordingSpec::RecordingSpec;
    bool IsEqualTo(CountedPtr<FileSpec_IF>) override {
        return Record("OtherSpec::IsEqualTo"), true;
    }
};

class TestFactory : public ClassFactory_IF {
public:
    explicit TestFactory(std::string name) : name_(name) {}
    FileSpec_IF* MakeFileSpec(const FilePath& path, CountedPtr<Volume_IF> volume) override {
        Record(name_ + " " + S(path));
        if (S(path) == "bad") {
            throw FileException(FileException::InvalidFilePath, path.GetBytes());
        }
        return new RecordingSpec(path, volume);
    }

private:
    std::string name_;
};

class RegisterFactory : public ::testing::Environment {
public:
    void SetUp() override {
        ClassFactory_IF::SetInstance(CountedPtr<ClassFactory_IF>(new TestFactory("first")));
    }
};
::testing::Environment* const registration =
    ::testing::AddGlobalTestEnvironment(new RegisterFactory);

// The exception of an operation on an empty value: returns the message, to compare lines.
std::string ExpectEmptyFailure(const char* source, const std::function<void()>& action) {
    try {
        action();
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), -2);
        EXPECT_TRUE(e.path().empty());
        EXPECT_EQ(e.cause(), nullptr);
        const std::string message = TextConvert::Chars(e.message());
        EXPECT_EQ(message.rfind(std::string("internal software error: ") + source + ", line ", 0),
                  0u)
            << message;
        return message;
    }
    ADD_FAILURE() << "no FileException";
    return std::string();
}

class FileSpecTest : public ::testing::Test {
protected:
    void SetUp() override { calls.clear(); }
};

TEST_F(FileSpecTest, FirstRegistrationWinsAndItsFailuresPassThrough) {
    ClassFactory_IF::SetInstance(CountedPtr<ClassFactory_IF>(new TestFactory("second")));
    FileSpec spec(FilePath(L"C:\\a"));
    EXPECT_EQ(calls, std::vector<std::string>{"first C:\\a"});
    try {
        FileSpec bad(FilePath(L"bad"));
        ADD_FAILURE() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), -10008);
        EXPECT_EQ(TextConvert::Chars(e.path()), "bad");
    }
}

TEST_F(FileSpecTest, EmptyPathGivesTheEmptySpecification) {
    const FileSpec spec{FilePath()};
    EXPECT_TRUE(calls.empty()) << "the factory is not asked";
    EXPECT_TRUE(spec.IsNull());
    EXPECT_TRUE(spec.GetName().IsEmpty());
    EXPECT_TRUE(spec.GetPath().IsEmpty());
    EXPECT_TRUE(spec.GetExtension().IsEmpty());
    EXPECT_TRUE(spec.GetNativePath().empty());
    EXPECT_FALSE(spec.IsPresent() || spec.IsAlias() || spec.IsFile() || spec.IsFolder() ||
                 spec.IsRoot());

    const FileSpec bound(FilePath(L"C:\\a"));
    const std::vector<std::pair<const char*, std::function<void()>>> raising = {
        {"CreateFolder", [&] { spec.CreateFolder(); }},
        {"Delete", [&] { spec.Delete(); }},
        {"GetAttributes", [&] { spec.GetAttributes(); }},
        {"GetFileSize", [&] { spec.GetFileSize(); }},
        {"GetModificationDate", [&] { spec.GetModificationDate(); }},
        {"GetVolume", [&] { spec.GetVolume(); }},
        {"MakeChild", [&] { spec.MakeChild(FilePath(L"x")); }},
        {"OpenChannel", [&] { spec.OpenChannel(ModeRead); }},
        {"ParentFolder", [&] { spec.ParentFolder(); }},
        {"Rename", [&] { spec.Rename(bound); }},
        {"SetAttributes", [&] { spec.SetAttributes(1); }},
        {"SetModificationDate", [&] { spec.SetModificationDate(DateTime()); }},
    };
    for (const auto& row : raising) {
        SCOPED_TRACE(row.first);
        ExpectEmptyFailure(".\\Private\\FileSpec", row.second);
    }
}

TEST_F(FileSpecTest, RenameChecksSourceThenTarget) {
    const FileSpec bound(FilePath(L"C:\\a"));
    calls.clear();
    const std::string targetEmpty =
        ExpectEmptyFailure(".\\Private\\FileSpec", [&] { bound.Rename(FileSpec()); });
    EXPECT_TRUE(calls.empty()) << "nothing is moved";
    const std::string sourceEmpty =
        ExpectEmptyFailure(".\\Private\\FileSpec", [&] { FileSpec().Rename(bound); });
    const std::string bothEmpty =
        ExpectEmptyFailure(".\\Private\\FileSpec", [&] { FileSpec().Rename(FileSpec()); });
    EXPECT_NE(targetEmpty, sourceEmpty);
    EXPECT_EQ(bothEmpty, sourceEmpty) << "the source is checked first";
    bound.Rename(FileSpec(FilePath(L"C:\\b")));
    EXPECT_EQ(calls.back(), "Rename C:\\a C:\\b");
}

TEST_F(FileSpecTest, SpecAndVolumeHandThemselvesOn) {
    const FileSpec spec(FilePath(L"C:\\a"));
    const FileChannel channel = spec.OpenChannel(ModeRead | ModeWrite);
    EXPECT_EQ(calls.back(), "OpenChannel C:\\a 3 self");
    EXPECT_EQ(FileSpec_Impl(spec).GetImplPtr().UseCount(), 4) << "spec, channel, two here";
    EXPECT_TRUE(channel.GetFileSpec() == spec);

    const Volume volume(volumeC);
    calls.clear();
    EXPECT_EQ(S(volume.GetAsFolder().GetPath()), "C:\\");
    EXPECT_EQ(calls.front(), "GetAsFolder self");
}

TEST_F(FileSpecTest, Equality) {
    const FileSpec a(FilePath(L"C:\\a"));
    const FileSpec sameItem(FilePath(L"c:\\A"));
    const FileSpec other(FilePath(L"C:\\b"));
    const FileSpec otherType(CountedPtr<FileSpec_IF>(new OtherSpec(FilePath(L"C:\\a"), {})));
    calls.clear();

    EXPECT_TRUE(FileSpec() == FileSpec());
    EXPECT_FALSE(FileSpec() == a);
    EXPECT_FALSE(a == FileSpec());
    EXPECT_TRUE(calls.empty());

    EXPECT_TRUE(a == FileSpec(a));
    EXPECT_TRUE(a == sameItem);
    EXPECT_TRUE(a != other);
    EXPECT_EQ(calls, (std::vector<std::string>{"IsEqualTo C:\\a C:\\a", "IsEqualTo C:\\a c:\\A",
                                               "IsEqualTo C:\\a C:\\b"}))
        << "IsEqualTo decides, for objects of one type";

    calls.clear();
    EXPECT_FALSE(a == otherType);
    EXPECT_FALSE(otherType == a);
    EXPECT_TRUE(calls.empty()) << "different types are not compared";

    const Volume volume(volumeC);
    EXPECT_TRUE(Volume() == Volume());
    EXPECT_FALSE(Volume() == volume || volume == Volume());
    EXPECT_TRUE(volume == Volume(volumeC));
    EXPECT_FALSE(volume == Volume(CountedPtr<Volume_IF>(new RecordingVolume)));
}

TEST_F(FileSpecTest, EmptyVolumeAndChannel) {
    const Volume volume;
    EXPECT_TRUE(volume.IsNull());
    EXPECT_TRUE(volume.GetName().empty());
    EXPECT_TRUE(volume.GetFileSystemName().empty());
    EXPECT_FALSE(volume.IsMounted() || volume.IsRemote() || volume.IsRemovable() ||
                 volume.IsValid());
    for (const std::function<void()>& action : std::vector<std::function<void()>>{
             [&] { volume.GetAsFolder(); }, [&] { volume.GetCapacity(); },
             [&] { volume.GetFreeSpace(); }, [&] { volume.GetMaxFileSize(); },
             [&] { volume.GetMaxNameLength(); }, [&] { volume.IsCaseSensitive(); },
             [&] { volume.Unmount(); }, [&] { volume.GetSerialNumber(); }}) {
        ExpectEmptyFailure(".\\Private\\Volume", action);
    }

    const FileChannel channel;
    EXPECT_TRUE(channel.IsNull());
    EXPECT_FALSE(channel.IsOpen());
    char buffer[4] = {};
    std::size_t bytesRead = 0;
    for (const std::function<void()>& action : std::vector<std::function<void()>>{
             [&] { channel.Close(); }, [&] { channel.Flush(); }, [&] { channel.GetEndOfFile(); },
             [&] { channel.GetFileSpec(); }, [&] { channel.GetPosition(); },
             [&] { channel.Read(buffer, 4, bytesRead); }, [&] { channel.ReleaseToStdio(); },
             [&] { channel.SetEndOfFile(1); }, [&] { channel.SetPosition(1); },
             [&] { channel.Write(buffer, 4); }}) {
        ExpectEmptyFailure(".\\Private\\FileChannel", action);
    }
}

} // namespace
