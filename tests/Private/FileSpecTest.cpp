// Tests of the portable FileSpec, Volume and FileChannel values over recording implementations
// registered through the class factory: forwarding, empty values, Rename checks and equality.
#include "Private/FileSpec.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace FileSystem;

std::vector<std::string> calls;
int liveSpecs = 0;

std::string S(const FilePath& path) {
    return TextConvert::Chars(path.GetBytes());
}

void Record(const std::string& call) {
    calls.push_back(call);
}

class RecordingChannel : public FileChannel_IF {
public:
    explicit RecordingChannel(CountedPtr<FileSpec_IF> spec) : spec_(spec) {}
    void Close() override { Record("Close"); }
    void Flush() override { Record("Flush"); }
    std::uint64_t GetEndOfFile() override { return Record("GetEndOfFile"), 77; }
    CountedPtr<FileSpec_IF> GetFileSpec() override { return Record("GetFileSpec"), spec_; }
    std::uint64_t GetPosition() override { return Record("GetPosition"), 5; }
    bool IsOpen() override { return Record("IsOpen"), true; }
    void Read(void* buffer, std::size_t count, std::size_t& bytesRead) override {
        Record("Read " + std::to_string(count));
        bytesRead = count < 3 ? count : 3;
        std::fill_n(static_cast<char*>(buffer), bytesRead, 'r');
    }
    std::FILE* ReleaseToStdio() override { return Record("ReleaseToStdio"), nullptr; }
    void SetEndOfFile(std::uint64_t length) override {
        Record("SetEndOfFile " + std::to_string(length));
    }
    void SetPosition(std::uint64_t at) override { Record("SetPosition " + std::to_string(at)); }
    void Write(const void* buffer, std::size_t count) override {
        Record("Write " + std::string(static_cast<const char*>(buffer), count));
    }

private:
    CountedPtr<FileSpec_IF> spec_;
};

class RecordingVolume : public Volume_IF {
public:
    CountedPtr<FileSpec_IF> GetAsFolder(CountedPtr<Volume_IF> self) override {
        Record(self.Get() == this ? "GetAsFolder self" : "GetAsFolder other");
        return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(L"C:\\"), self));
    }
    std::uint64_t GetCapacity() override { return Record("GetCapacity"), 1000; }
    std::uint64_t GetFreeSpace() override { return Record("GetFreeSpace"), 400; }
    std::uint64_t GetMaxFileSize() override { return Record("GetMaxFileSize"), 99; }
    std::uint32_t GetMaxNameLength() override { return Record("GetMaxNameLength"), 255; }
    std::wstring GetName() override { return Record("GetName"), L"LABEL"; }
    bool IsCaseSensitive() override { return Record("IsCaseSensitive"), true; }
    bool IsEqualTo(CountedPtr<Volume_IF> other) override {
        return Record("IsEqualTo"), other.Get() == this;
    }
    bool IsMounted() override { return Record("IsMounted"), true; }
    bool IsRemote() override { return Record("IsRemote"), true; }
    bool IsRemovable() override { return Record("IsRemovable"), true; }
    bool IsValid() override { return Record("IsValid"), true; }
    void Unmount() override { Record("Unmount"); }
    std::uint32_t GetSerialNumber() override { return Record("GetSerialNumber"), 0x1234ABCD; }
    std::wstring GetFileSystemName() override { return Record("GetFileSystemName"), L"TESTFS"; }
};

CountedPtr<Volume_IF> volumeC(new RecordingVolume);

// Records "<operation> <path>[ <argument>]" for each call.
class RecordingSpec : public FileSpec_IF, public AliasSpec_IF, public FolderSpec_IF {
public:
    RecordingSpec(const FilePath& path, CountedPtr<Volume_IF> volume)
        : path_(path), volume_(volume ? volume : volumeC) {
        ++liveSpecs;
    }
    ~RecordingSpec() override { --liveSpecs; }

    void Create() override { Log("Create"); }
    void CreateFolder() override { Log("CreateFolder"); }
    void Delete() override { Log("Delete"); }
    DateTime GetAccessDate() override { return Log("GetAccessDate"), DateTime(); }
    Attributes GetAttributes() override { return Log("GetAttributes"), 0x5; }
    FilePath GetBaseName() override { return Log("GetBaseName"), path_.GetBaseName(); }
    FilePath GetCanonicalPath() override { return Log("GetCanonicalPath"), path_; }
    DateTime GetCreationDate() override { return Log("GetCreationDate"), DateTime(); }
    FilePath GetExtension() override { return Log("GetExtension"), path_.GetExtension(); }
    std::uint64_t GetFileSize() override { return Log("GetFileSize"), 42; }
    DateTime GetModificationDate() override {
        Log("GetModificationDate");
        return DateTime(TimeOfDay(1, 2, 3), Date(4, 5, 2006), ZoneOffset());
    }
    FilePath GetName() override { return Log("GetName"), path_.GetName(); }
    std::wstring GetNativePath() override {
        return Log("GetNativePath"), L"\\\\?\\" + path_.ToWide();
    }
    FilePath GetPath() override { return Log("GetPath"), path_; }
    CountedPtr<Volume_IF> GetVolume() override { return Log("GetVolume"), volume_; }
    bool IsAlias() override { return Log("IsAlias"), true; }
    bool IsEqualTo(CountedPtr<FileSpec_IF> other) override {
        Log("IsEqualTo", S(PathOf(other)));
        return path_.IsEqual(PathOf(other), false);
    }
    bool IsFile() override { return Log("IsFile"), true; }
    bool IsFolder() override { return Log("IsFolder"), true; }
    bool IsPresent() override { return Log("IsPresent"), true; }
    bool IsRoot() override { return Log("IsRoot"), true; }
    CountedPtr<FileSpec_IF> MakeChild(const FilePath& name) override {
        Log("MakeChild", S(name));
        return Make(S(path_) + "\\" + S(name));
    }
    CountedPtr<FileChannel_IF> OpenChannel(OpenMode mode, CountedPtr<FileSpec_IF> self) override {
        Log("OpenChannel", std::to_string(mode) + (self.Get() == this ? " self" : " other"));
        return CountedPtr<FileChannel_IF>(new RecordingChannel(self));
    }
    CountedPtr<FileSpec_IF> ParentFolder() override {
        Log("ParentFolder");
        const std::string path = S(path_);
        const std::size_t cut = path.rfind('\\');
        return cut == path.size() - 1 ? CountedPtr<FileSpec_IF>() : Make(path.substr(0, cut));
    }
    void Rename(CountedPtr<FileSpec_IF> target) override { Log("Rename", S(PathOf(target))); }
    CountedPtr<FileSpec_IF> RootFolder() override { return Log("RootFolder"), Make("C:\\"); }
    void SetAccessDate(const DateTime&) override { Log("SetAccessDate"); }
    void SetAttributes(Attributes attributes) override {
        Log("SetAttributes", std::to_string(attributes));
    }
    void SetCreationDate(const DateTime&) override { Log("SetCreationDate"); }
    void SetFileSize(std::uint64_t size) override { Log("SetFileSize", std::to_string(size)); }
    void SetModificationDate(const DateTime& date) override {
        Log("SetModificationDate", std::to_string(date.GetDate().Year()));
    }
    CountedPtr<FileSpec_IF> ResolveAlias() override { return Log("ResolveAlias"), Make("t"); }
    void DeleteTree(CountedPtr<FolderSpec_IF>) override { Log("DeleteTree"); }
    void DeleteContents(bool, CountedPtr<FolderSpec_IF>) override { Log("DeleteContents"); }
    CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF>) override {
        return Log("NewIterator"), CountedPtr<FolderSpec_Iterator>();
    }

private:
    static const FilePath& PathOf(const CountedPtr<FileSpec_IF>& spec) {
        return dynamic_cast<RecordingSpec&>(*spec).path_;
    }
    void Log(const std::string& operation, const std::string& argument = std::string()) const {
        Record(operation + " " + S(path_) + (argument.empty() ? "" : " " + argument));
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

struct Forwarding {
    const char* name;
    std::function<std::string()> action; // the result as text
    std::string result;
    std::vector<std::string> calls;
};

void ExpectForwarding(const std::vector<Forwarding>& table) {
    for (const Forwarding& row : table) {
        SCOPED_TRACE(row.name);
        calls.clear();
        EXPECT_EQ(row.action(), row.result);
        EXPECT_EQ(calls, row.calls);
    }
}

class FileSpecTest : public ::testing::Test {
protected:
    void SetUp() override { calls.clear(); }
};

TEST_F(FileSpecTest, FirstRegistrationWins) {
    ClassFactory_IF::SetInstance(CountedPtr<ClassFactory_IF>(new TestFactory("second")));
    FileSpec spec(FilePath(L"C:\\a"));
    EXPECT_EQ(calls, std::vector<std::string>{"first C:\\a"});
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

TEST_F(FileSpecTest, ForwardsEachOperation) {
    const FileSpec spec(FilePath(L"C:\\dir\\a.txt"));
    const std::string p = "C:\\dir\\a.txt";
    ExpectForwarding({
        {"CreateFolder", [&] { return spec.CreateFolder(), ""; }, "", {"CreateFolder " + p}},
        {"Delete", [&] { return spec.Delete(), ""; }, "", {"Delete " + p}},
        {"GetAttributes",
         [&] { return std::to_string(spec.GetAttributes()); },
         "5",
         {"GetAttributes " + p}},
        {"GetExtension", [&] { return S(spec.GetExtension()); }, "txt", {"GetExtension " + p}},
        {"GetFileSize",
         [&] { return std::to_string(spec.GetFileSize()); },
         "42",
         {"GetFileSize " + p}},
        {"GetModificationDate",
         [&] { return std::to_string(spec.GetModificationDate().GetDate().Year()); },
         "2006",
         {"GetModificationDate " + p}},
        {"GetName", [&] { return S(spec.GetName()); }, "a.txt", {"GetName " + p}},
        {"GetNativePath",
         [&] { return FilePath(spec.GetNativePath()).ToAnsi(); },
         "\\\\?\\" + p,
         {"GetNativePath " + p}},
        {"GetPath", [&] { return S(spec.GetPath()); }, p, {"GetPath " + p}},
        {"GetVolume",
         [&] { return spec.GetVolume() == Volume(volumeC) ? "C" : "?"; },
         "C",
         {"GetVolume " + p, "IsEqualTo"}},
        {"IsAlias", [&] { return std::to_string(spec.IsAlias()); }, "1", {"IsAlias " + p}},
        {"IsFile", [&] { return std::to_string(spec.IsFile()); }, "1", {"IsFile " + p}},
        {"IsFolder", [&] { return std::to_string(spec.IsFolder()); }, "1", {"IsFolder " + p}},
        {"IsPresent", [&] { return std::to_string(spec.IsPresent()); }, "1", {"IsPresent " + p}},
        {"IsRoot", [&] { return std::to_string(spec.IsRoot()); }, "1", {"IsRoot " + p}},
        {"MakeChild",
         [&] { return S(spec.MakeChild(FilePath(L"b")).GetPath()); },
         p + "\\b",
         {"MakeChild " + p + " b", "GetPath " + p + "\\b"}},
        {"ParentFolder",
         [&] { return S(spec.ParentFolder().GetPath()); },
         "C:\\dir",
         {"ParentFolder " + p, "GetPath C:\\dir"}},
        {"ParentFolder of a root",
         [&] { return std::to_string(FileSpec(FilePath(L"C:\\")).ParentFolder().IsNull()); },
         "1",
         {"first C:\\", "ParentFolder C:\\"}},
        {"SetAttributes",
         [&] { return spec.SetAttributes(0xC), ""; },
         "",
         {"SetAttributes " + p + " 12"}},
        {"SetModificationDate",
         [&] {
             return spec.SetModificationDate(DateTime(TimeOfDay(), Date(1, 1, 1999), ZoneOffset())),
                    "";
         },
         "",
         {"SetModificationDate " + p + " 1999"}},
        {"Rename",
         [&] { return spec.Rename(FileSpec(FilePath(L"C:\\b"))), ""; },
         "",
         {"first C:\\b", "Rename " + p + " C:\\b"}},
    });
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
}

TEST_F(FileSpecTest, OpenChannelHandsItselfToTheChannel) {
    const FileSpec spec(FilePath(L"C:\\a"));
    const FileChannel channel = spec.OpenChannel(ModeRead | ModeWrite);
    EXPECT_EQ(calls.back(), "OpenChannel C:\\a 3 self");
    EXPECT_EQ(FileSpec_Impl(spec).GetImplPtr().UseCount(), 4) << "spec, channel, two here";
    EXPECT_TRUE(channel.GetFileSpec() == spec);

    char buffer[8] = {};
    std::size_t bytesRead = 0;
    channel.Read(buffer, sizeof buffer, bytesRead);
    EXPECT_EQ(std::string(buffer, bytesRead), "rrr");
    channel.Write("xyz", 3);
    EXPECT_EQ(calls.back(), "Write xyz");
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
}

TEST_F(FileSpecTest, ImplementationFailuresPassThrough) {
    try {
        FileSpec spec(FilePath(L"bad"));
        ADD_FAILURE() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), -10008);
        EXPECT_EQ(TextConvert::Chars(e.path()), "bad");
    }
}

TEST_F(FileSpecTest, CopiesShareOneObjectUntilTheLast) {
    const int before = liveSpecs;
    {
        FileSpec a(FilePath(L"C:\\a"));
        FileSpec b = a;
        FileSpec_Impl impl(b);
        EXPECT_EQ(impl.GetImpl(), FileSpec_Impl(a).GetImplPtr().Get());
        EXPECT_EQ(liveSpecs, before + 1);
        a = FileSpec();
        b = FileSpec(FilePath(L"C:\\b"));
        EXPECT_EQ(liveSpecs, before + 2) << "impl still holds the first object";
    }
    EXPECT_EQ(liveSpecs, before);
    EXPECT_EQ(FileSpec_Impl(FileSpec()).GetImpl(), nullptr);
}

TEST_F(FileSpecTest, VolumeHandsItselfToItsRootAndComparesByIdentity) {
    const Volume volume(volumeC);
    EXPECT_EQ(S(volume.GetAsFolder().GetPath()), "C:\\");
    EXPECT_EQ(calls.front(), "GetAsFolder self");
    EXPECT_EQ(volume.GetFreeSpace(), 400u);
    EXPECT_TRUE(volume.IsCaseSensitive());
    EXPECT_EQ(calls.back(), "IsCaseSensitive");

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
