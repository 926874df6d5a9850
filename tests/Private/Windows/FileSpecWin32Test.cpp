// Tests of the Windows file spec's operations: start-up, create and delete, failures and their
// path, attributes, sizes, time stamps, relatives, long paths, and shortcuts with COM balance.
#include "Private/FileChannel.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"

#include <functional>

using namespace FileSystem;
using TalvenTest::ReadAll;

namespace {

using Spec = CountedPtr<FileSpec_IF>;
using FE = FileException;

class FileSpecWin32Test : public TalvenTest::FileSystemTest {
protected:
    static Spec Make(const std::wstring& path) {
        return Spec(ClassFactory_IF::NewFileSpec(FilePath(path)));
    }
    Spec Child(const std::wstring& name) const { return Make(dir.Child(name)); }
};

TEST_F(FileSpecWin32Test, InstallTwiceKeepsTheFirstApiTable) {
    ASSERT_EQ(::GetVersion() & 0x80000000u, 0u) << "this suite runs as an NT-family program";
    EXPECT_EQ(ClassFactory_IF::NewFileSpec(FilePath()), nullptr);
    FileSystem_Win32::API* const first = FileSystem_Win32::GetAPI();
    ASSERT_NE(first, nullptr);
    FileSystem_Win32::Install();
    EXPECT_EQ(FileSystem_Win32::GetAPI(), first);
    // A start-up after the flag was cleared keeps the table too; its factory is refused.
    FileSystem_Win32::ClearStarted();
    EXPECT_FALSE(FileSystem_Win32::IsStarted());
    FileSystem_Win32::Install();
    EXPECT_TRUE(FileSystem_Win32::IsStarted());
    EXPECT_EQ(FileSystem_Win32::GetAPI(), first);
    EXPECT_FALSE(Child(L"x")->IsPresent());
}

TEST_F(FileSpecWin32Test, FailuresNameTheUsersPathNeverTheLongPath) {
    const Spec file = Child(L"f"), folder = Child(L"d");
    file->Create();
    folder->CreateFolder();
    EXPECT_TRUE(file->IsFile() && folder->IsFolder());
    folder->MakeChild(FilePath(L"inner"))->Create();
    const DateTime date(TimeOfDay(8, 0, 0), Date(1, 2, 2019), ZoneOffset::GetCurrentZone());
    const struct {
        const wchar_t* name;
        std::function<void(const Spec&)> operation;
        const TalvenText& kind;
    } cases[] = {
        {L"f", [](const Spec& s) { s->Create(); }, FE::FileExists},
        {L"d", [](const Spec& s) { s->CreateFolder(); }, FE::FileExists},
        {L"d", [](const Spec& s) { s->Delete(); }, FE::FolderNotEmpty},
        // Only the last component is created.
        {L"no\\deeper", [](const Spec& s) { s->CreateFolder(); }, FE::FilePathNotFound},
        {L"no\\file", [](const Spec& s) { s->Create(); }, FE::FilePathNotFound},
        {L"missing\\below", [](const Spec& s) { s->IsFolder(); }, FE::FilePathNotFound},
        {L"missing", [](const Spec& s) { s->IsFolder(); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->IsFile(); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->GetAttributes(); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->SetAttributes(0); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->GetModificationDate(); }, FE::FileNotFound},
        {L"missing", [&](const Spec& s) { s->SetModificationDate(date); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->GetFileSize(); }, FE::FileNotFound},
        {L"missing", [](const Spec& s) { s->SetFileSize(1); }, FE::FileNotFound},
        {L"missing", [&](const Spec& s) { s->Rename(file); }, FE::FileNotFound},
        {L"d", [](const Spec& s) { s->GetFileSize(); }, FE::AccessDenied},
        {L"d", [](const Spec& s) { s->SetFileSize(1); }, FE::AccessDenied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        const FileException e = TalvenTest::CatchFileException([&] { c.operation(Child(c.name)); });
        EXPECT_EQ(e.code(), c.kind.id());
        EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(dir.Child(c.name)));
    }
    EXPECT_EQ(ErrorCode([&] { file->Rename(Spec()); }),
              TalvenException::InternalSoftwareError.id());
    EXPECT_TRUE(file->IsPresent());
}

TEST_F(FileSpecWin32Test, DeleteRemovesReadOnlyItemsAndIgnoresMissingOnes) {
    const Spec file = Child(L"f"), folder = Child(L"d");
    file->Create();
    folder->CreateFolder();
    // Read-only items are deleted all the same: the flag is cleared once and the delete retried.
    for (const Spec& item : {file, folder}) {
        item->SetAttributes(AttributeReadOnly);
        item->Delete();
        EXPECT_FALSE(item->IsPresent());
        item->Delete(); // nothing there: no error
    }
    // A file held open is not deleted and keeps its read-only flag.
    dir.WriteFile(L"held", "data");
    const Spec held = Child(L"held");
    const FileChannel holder(held->OpenChannel(ModeRead | ModeWrite, held)); // exclusive
    EXPECT_EQ(ErrorCode([&] { held->OpenChannel(ModeRead, held); }), FE::AccessDenied.id());
    EXPECT_EQ(held->GetFileSize(), 4u); // opened without access rights: no sharing mode refuses
    held->SetAttributes(AttributeReadOnly);
    EXPECT_EQ(ErrorCode([&] { held->Delete(); }), FE::AccessDenied.id());
    EXPECT_EQ(held->GetAttributes() & AttributeReadOnly, AttributeReadOnly); // put back
    holder.Close();
    held->Delete();
    EXPECT_FALSE(held->IsPresent());
}

TEST_F(FileSpecWin32Test, AttributesSizesAndTimeStamps) {
    dir.WriteFile(L"a", "0123456789");
    const Spec file = Child(L"a");
    // Only the four flags change. Wine reports every file as ARCHIVE, whatever was set.
    const DWORD four = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY |
                       FILE_ATTRIBUTE_SYSTEM;
    const Attributes archive = UnderWine() ? AttributeArchive : 0;
    const std::pair<Attributes, DWORD> cases[] = {
        {AttributeHidden | AttributeReadOnly, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY},
        {AttributeArchive, FILE_ATTRIBUTE_ARCHIVE},
        {AttributeSystem | AttributeArchive, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {0, 0},
    };
    for (const auto& c : cases) {
        file->SetAttributes(c.first);
        EXPECT_EQ(file->GetAttributes(), c.first | archive);
        EXPECT_EQ(::GetFileAttributesW(file->GetNativePath().c_str()) & four,
                  c.second | (archive ? FILE_ATTRIBUTE_ARCHIVE : 0));
    }

    file->SetFileSize(4);
    EXPECT_EQ(ReadAll(file->GetNativePath()), "0123");
    file->SetFileSize(6);
    EXPECT_EQ(ReadAll(file->GetNativePath()), std::string("0123\0\0", 6));
    for (std::uint64_t size : {5ull << 30, 0x100000007ull, 0ull}) { // sparse where possible
        file->SetFileSize(size);
        EXPECT_EQ(file->GetFileSize(), size);
    }

    // Each setter sets its own stamp; 599/600 s comes back as written (no tick lost).
    const ZoneOffset zone = ZoneOffset::GetCurrentZone();
    file->SetModificationDate(DateTime(TimeOfDay(10, 20, 30, 599), Date(15, 6, 2021), zone));
    file->SetAccessDate(DateTime(TimeOfDay(8, 0, 0), Date(1, 2, 2019), zone));
    file->SetCreationDate(DateTime(TimeOfDay(9, 30, 0), Date(3, 4, 2018), zone));
    EXPECT_TRUE(file->GetModificationDate() ==
                DateTime(TimeOfDay(10, 20, 30, 599), Date(15, 6, 2021), zone));
    EXPECT_TRUE(file->GetAccessDate() == DateTime(TimeOfDay(8, 0, 0), Date(1, 2, 2019), zone));
    const DateTime created = file->GetCreationDate();
    if (!UnderWine()) { // Wine cannot store a creation time on Linux; it reports the write time
        EXPECT_TRUE(created.GetDate() == Date(3, 4, 2018) && created.Time().Minute() == 30);
    }
}

TEST_F(FileSpecWin32Test, ChildrenParentsRootsAliasesAndEquality) {
    const Spec d = Make(L"C:\\d");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x"))->GetPath()), "C:\\d\\x");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x/y"))->GetPath()), "C:\\d\\x\\y");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x\\..\\..\\z"))->GetPath()), "C:\\z");
    EXPECT_EQ(ErrorCode([&] { d->MakeChild(FilePath("C:\\x")); }), FE::InvalidFilePath.id());
    EXPECT_EQ(ErrorCode([&] { d->MakeChild(FilePath("\\x")); }), FE::InvalidFilePath.id());

    const Spec ab = Make(L"C:\\a\\b"), a = ab->ParentFolder();
    EXPECT_EQ(Narrow(a->GetPath()), "C:\\a");
    EXPECT_EQ(DynamicType(a), typeid(FileSpec_Win32));
    const Spec roots[] = {a->ParentFolder(), ab->RootFolder(), Make(L"c:\\")};
    for (const Spec& root : roots) {
        EXPECT_EQ(Narrow(root->GetPath()), "C:\\");
        EXPECT_TRUE(root->IsRoot() && root->ParentFolder().IsNull());
        EXPECT_EQ(root->GetVolume().Get(), ab->GetVolume().Get()) << "one volume object";
    }
    EXPECT_EQ(Narrow(roots[0]->MakeChild(FilePath("x"))->GetPath()), "C:\\x");

    // The key follows the volume's case rule; the splitting itself is FilePath's.
    EXPECT_EQ(Narrow(Child(L"dir.d\\File.Tar.GZ")->GetCanonicalPath()),
              Narrow(FilePath(dir.Child(L"dir.d/file.tar.gz")).GetCanonical(false)));
    EXPECT_FALSE(Child(L"a")->IsEqualTo(Spec()));
    // Aliases are told by the name alone, never by the file: the spellings of x.lnk only.
    for (const wchar_t* name :
         {L"x.lnk", L"x.LNK", L"x.Lnk", L"x.lnk2", L"xlnk", L"x.lnk.txt", L"lnk", L"d.lnk\\x"}) {
        EXPECT_EQ(Child(name)->IsAlias(), std::wstring(name).size() == 5) << Narrow(name);
    }
}

TEST_F(FileSpecWin32Test, RenameAndPathsBeyondMaxPath) {
    Spec deep = Make(dir.Path());
    for (int i = 0; deep->GetPath().ToWide().size() <= MAX_PATH; ++i) {
        deep = deep->MakeChild(FilePath(std::wstring(120, wchar_t(L'a' + i))));
        deep->CreateFolder();
    }
    const Spec file = deep->MakeChild(FilePath(L"file-\xD83D\xDE00.bin"));
    FileChannel(file->OpenChannel(ModeWrite | ModeCreate, file)).Write("deep data", 9);
    WIN32_FIND_DATAW found = {};
    ASSERT_TRUE(Win32Res::FindHandle(::FindFirstFileW(file->GetNativePath().c_str(), &found)));
    EXPECT_EQ(Narrow(found.cFileName), Narrow(L"file-\xD83D\xDE00.bin"));
    EXPECT_EQ(file->GetFileSize(), 9u);
    file->SetFileSize(4);
    file->SetModificationDate(
        DateTime(TimeOfDay(1, 2, 3), Date(4, 5, 2006), ZoneOffset::GetCurrentZone()));
    EXPECT_EQ(file->GetModificationDate().GetDate(), Date(4, 5, 2006));
    // Renaming to a target beyond MAX_PATH works as well; the object still names the old path.
    const Spec renamed = deep->MakeChild(FilePath(L"renamed.bin"));
    file->Rename(renamed);
    EXPECT_FALSE(file->IsPresent());
    EXPECT_EQ(ReadAll(renamed->GetNativePath()), "deep");
    renamed->Delete();
    EXPECT_FALSE(renamed->IsPresent());
}

// Whether COM is initialised on this thread, found without changing that.
bool ComInitialised() {
    const HRESULT result = ::CoInitialize(nullptr);
    ::CoUninitialize();
    return result == S_FALSE;
}

TEST_F(FileSpecWin32Test, ResolveAliasReadsShortcutsAndBalancesCom) {
    const Spec target = Child(L"target.txt"), link = Child(L"link.lnk");
    target->Create();
    ASSERT_TRUE(TalvenTest::WriteShortcut(dir.Child(L"link.lnk"), dir.Child(L"target.txt")));
    AliasSpec_IF& alias = dynamic_cast<AliasSpec_IF&>(*link);

    // COM not initialised: the operation initialises it and undoes that.
    ASSERT_FALSE(ComInitialised());
    EXPECT_TRUE(alias.ResolveAlias()->IsEqualTo(target));
    EXPECT_FALSE(ComInitialised());
    // COM initialised by the caller: used as it is and left initialised.
    ASSERT_EQ(::CoInitialize(nullptr), S_OK);
    EXPECT_TRUE(alias.ResolveAlias()->IsEqualTo(target));
    EXPECT_TRUE(ComInitialised());
    ::CoUninitialize();

    // No shortcut, or no file: the HRESULT becomes the cause, and COM is balanced.
    dir.WriteFile(L"fake.lnk", "not a shortcut");
    for (const wchar_t* name : {L"fake.lnk", L"none.lnk"}) {
        const FileException e = TalvenTest::CatchFileException(
            [&] { dynamic_cast<AliasSpec_IF&>(*Child(name)).ResolveAlias(); });
        EXPECT_TRUE(e.code() == SystemException::HRESULT::HResultError.id() && e.cause());
        EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(dir.Child(name)));
        EXPECT_FALSE(ComInitialised());
    }
}

} // namespace
