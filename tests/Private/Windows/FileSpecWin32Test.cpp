// Tests of the Windows file spec's operations: creating and deleting (with the
// read-only retry), attributes, sizes, time stamps, children and parents, renaming, long paths,
// shortcut resolution with its COM balance, and the start-up. Every test also runs under the
// handle-leak check of the suites' main program, which covers the failure paths here.
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/Volume.h"
#include "common/TestHelpers.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

using namespace FileSystem;

namespace {

using Spec = CountedPtr<FileSpec_IF>;

constexpr std::uint64_t GiB = 1ull << 30;

// "<code> <path>" of the FileException that f raises, or "none".
template <class F>
std::string Failure(F&& f) {
    try {
        f();
    } catch (const FileException& e) {
        return std::to_string(e.code()) + " " + TextConvert::Chars(e.path());
    }
    return "none";
}

std::string Failure(const TalvenText& kind, const std::wstring& path) {
    return std::to_string(kind.id()) + " " + Narrow(path);
}

class FileSpecWin32Test : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    Spec Make(const std::wstring& path) const {
        return Spec(ClassFactory_IF::NewFileSpec(FilePath(path)));
    }
    Spec Child(const std::wstring& name) const { return Make(folder.Child(name)); }
    static DWORD Win32Attributes(const Spec& spec) {
        return ::GetFileAttributesW(spec->GetNativePath().c_str());
    }
    static void Write(const Spec& spec, const std::string& bytes) {
        FileChannel channel(spec->OpenChannel(ModeWrite | ModeCreate | ModeTruncate, spec));
        channel.Write(bytes.data(), bytes.size());
        channel.Close();
    }
    static std::string Read(const Spec& spec) {
        FileChannel channel(spec->OpenChannel(ModeRead, spec));
        std::string bytes(static_cast<std::size_t>(channel.GetEndOfFile()), '\0');
        std::size_t got = 0;
        channel.Read(&bytes[0], bytes.size(), got);
        bytes.resize(got);
        return bytes;
    }

    TalvenTest::TestFolder folder;
};

TEST_F(FileSpecWin32Test, InstallTwiceKeepsTheFirstApiTable) {
    EXPECT_TRUE(FileSystem_Win32::IsStarted());
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

TEST_F(FileSpecWin32Test, TheFactoryBuildsTheClassOfTheRunningFamily) {
    ASSERT_EQ(::GetVersion() & 0x80000000u, 0u) << "this suite runs as an NT-family program";
    const Spec spec = Child(L"x");
    EXPECT_EQ(DynamicType(spec), typeid(FileSpec_Win32));
    EXPECT_EQ(ClassFactory_IF::NewFileSpec(FilePath()), nullptr);
}

TEST_F(FileSpecWin32Test, CreateAndCreateFolder) {
    const Spec file = Child(L"f.txt");
    file->Create();
    EXPECT_TRUE(file->IsPresent());
    EXPECT_TRUE(file->IsFile());
    EXPECT_EQ(file->GetFileSize(), 0u);
    EXPECT_EQ(ErrorCode([&] { file->Create(); }), FileException::FileExists.id());

    const Spec dir = Child(L"d");
    dir->CreateFolder();
    EXPECT_TRUE(dir->IsFolder());
    EXPECT_EQ(ErrorCode([&] { dir->CreateFolder(); }), FileException::FileExists.id());
    // Only the last component is created.
    EXPECT_EQ(ErrorCode([&] { Child(L"no\\deeper")->CreateFolder(); }),
              FileException::FilePathNotFound.id());
    EXPECT_EQ(ErrorCode([&] { Child(L"no\\file")->Create(); }),
              FileException::FilePathNotFound.id());
}

TEST_F(FileSpecWin32Test, MissingItemsArePresentNowhereAndRaiseOnQueries) {
    const Spec missing = Child(L"missing");
    EXPECT_FALSE(missing->IsPresent());
    const std::int32_t notFound = FileException::FileNotFound.id();
    EXPECT_EQ(Failure([&] { missing->IsFolder(); }),
              Failure(FileException::FileNotFound, folder.Child(L"missing")))
        << "the user's path, never the long path";
    EXPECT_EQ(ErrorCode([&] { missing->IsFile(); }), notFound);
    EXPECT_EQ(ErrorCode([&] { missing->GetAttributes(); }), notFound);
    EXPECT_EQ(ErrorCode([&] { missing->GetModificationDate(); }), notFound);
    EXPECT_EQ(ErrorCode([&] { missing->SetAttributes(0); }), notFound);
    EXPECT_EQ(ErrorCode([&] { missing->GetFileSize(); }), notFound);
    EXPECT_EQ(ErrorCode([&] { Child(L"missing\\below")->IsFolder(); }),
              FileException::FilePathNotFound.id());
}

TEST_F(FileSpecWin32Test, DeleteRemovesFilesAndEmptyFoldersReadOnlyOrNotAndIgnoresMissingOnes) {
    const Spec file = Child(L"f");
    file->Create();
    file->Delete();
    EXPECT_FALSE(file->IsPresent());
    file->Delete(); // nothing there: no error

    const Spec dir = Child(L"d");
    dir->CreateFolder();
    dir->MakeChild(FilePath(L"inner"))->Create();
    EXPECT_EQ(Failure([&] { dir->Delete(); }),
              Failure(FileException::FolderNotEmpty, folder.Child(L"d")));
    dir->MakeChild(FilePath(L"inner"))->Delete();
    dir->Delete();
    EXPECT_FALSE(dir->IsPresent());

    // Read-only items are deleted all the same: the flag is cleared once and the delete retried.
    const Spec readOnlyFile = Child(L"ro");
    readOnlyFile->Create();
    const Spec readOnlyDir = Child(L"rodir");
    readOnlyDir->CreateFolder();
    for (const Spec& item : {readOnlyFile, readOnlyDir}) {
        item->SetAttributes(AttributeReadOnly);
        item->Delete();
        EXPECT_FALSE(item->IsPresent());
    }
}

TEST_F(FileSpecWin32Test, AFileHeldOpenIsNotDeletedAndKeepsItsReadOnlyFlag) {
    const Spec file = Child(L"held");
    Write(file, "data");
    FileChannel holder(file->OpenChannel(ModeRead | ModeWrite, file)); // exclusive
    EXPECT_EQ(ErrorCode([&] { file->OpenChannel(ModeRead, file); }),
              FileException::AccessDenied.id());
    EXPECT_EQ(ErrorCode([&] { file->SetFileSize(1); }), FileException::AccessDenied.id());
    // A size query opens without access rights, which no sharing mode refuses.
    EXPECT_EQ(file->GetFileSize(), 4u);

    ASSERT_TRUE(::SetFileAttributesW(file->GetNativePath().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ErrorCode([&] { file->Delete(); }), FileException::AccessDenied.id());
    EXPECT_TRUE(file->IsPresent());
    // The retry cleared the flag; the failed delete puts it back.
    EXPECT_EQ(file->GetAttributes() & AttributeReadOnly, AttributeReadOnly);
    holder.Close();
    file->Delete();
    EXPECT_FALSE(file->IsPresent());
}

TEST_F(FileSpecWin32Test, SetAttributesChangesOnlyTheFourFlags) {
    const Spec file = Child(L"a");
    file->Create();
    const struct {
        Attributes set;
        DWORD win32;
    } cases[] = {
        {AttributeHidden | AttributeReadOnly, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY},
        {AttributeArchive, FILE_ATTRIBUTE_ARCHIVE},
        {AttributeSystem | AttributeArchive, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE},
        {0, 0},
    };
    const DWORD four = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY |
                       FILE_ATTRIBUTE_SYSTEM;
    // Wine reports every file as ARCHIVE, whatever was set.
    const Attributes archive = UnderWine() ? AttributeArchive : 0;
    const DWORD win32Archive = UnderWine() ? FILE_ATTRIBUTE_ARCHIVE : 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        file->SetAttributes(c.set);
        EXPECT_EQ(file->GetAttributes(), c.set | archive);
        EXPECT_EQ(Win32Attributes(file) & four, c.win32 | win32Archive);
    }
    const Spec dir = Child(L"d");
    dir->CreateFolder();
    // Wine keeps no read-only flag on folders.
    const Attributes folderFlags =
        UnderWine() ? AttributeHidden : AttributeHidden | AttributeReadOnly;
    for (Attributes set : {AttributeHidden | AttributeReadOnly, Attributes{0}}) {
        dir->SetAttributes(set);
        EXPECT_EQ(dir->GetAttributes(), set & folderFlags);
        EXPECT_TRUE(dir->IsFolder());
        EXPECT_NE(Win32Attributes(dir) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
}

TEST_F(FileSpecWin32Test, SetFileSizeGrowsAndShrinksAndSizesPass4GiB) {
    const Spec file = Child(L"sized");
    Write(file, "0123456789");
    file->SetFileSize(4);
    EXPECT_EQ(Read(file), "0123");
    file->SetFileSize(6);
    EXPECT_EQ(Read(file), std::string("0123\0\0", 6));
    file->SetFileSize(5 * GiB); // sparse where the file system allows
    EXPECT_EQ(file->GetFileSize(), 5 * GiB);
    file->SetFileSize(0x100000000ull + 7);
    EXPECT_EQ(file->GetFileSize(), 0x100000007ull);
    file->SetFileSize(0);
    EXPECT_EQ(file->GetFileSize(), 0u);

    const Spec dir = Child(L"d");
    dir->CreateFolder();
    EXPECT_NE(ErrorCode([&] { dir->GetFileSize(); }), 0);
    EXPECT_NE(ErrorCode([&] { dir->SetFileSize(1); }), 0);
    EXPECT_EQ(ErrorCode([&] { Child(L"missing")->SetFileSize(1); }),
              FileException::FileNotFound.id());
}

// Writes a local time with milliseconds straight into the file's last-write time.
void SetRawWriteTime(const Spec& spec, const SYSTEMTIME& local) {
    FILETIME localFile = {};
    FILETIME utc = {};
    ASSERT_TRUE(::SystemTimeToFileTime(&local, &localFile));
    ASSERT_TRUE(::LocalFileTimeToFileTime(&localFile, &utc));
    Win32Res::FileHandle file(::CreateFileW(spec->GetNativePath().c_str(), GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &utc));
}

SYSTEMTIME RawTime(const Spec& spec, FILETIME WIN32_FILE_ATTRIBUTE_DATA::*stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    EXPECT_TRUE(
        ::GetFileAttributesExW(spec->GetNativePath().c_str(), GetFileExInfoStandard, &data));
    FILETIME local = {};
    SYSTEMTIME time = {};
    ::FileTimeToLocalFileTime(&(data.*stamp), &local);
    ::FileTimeToSystemTime(&local, &time);
    return time;
}

TEST_F(FileSpecWin32Test, TimeStampsRoundTripToTheTick) {
    const Spec file = Child(L"t");
    file->Create();
    SetRawWriteTime(file, SYSTEMTIME{2021, 6, 0, 15, 10, 20, 30, 999});

    const DateTime read = file->GetModificationDate();
    EXPECT_EQ(read.GetDate(), Date(15, 6, 2021));
    EXPECT_EQ(read.Time().Hour(), 10);
    EXPECT_EQ(read.Time().Second(), 30);
    EXPECT_EQ(read.Time().Fraction(), 599u); // 999 ms in ticks of 1/600 s
    // Written back, 599 ticks are 998 ms.
    file->SetModificationDate(read);
    const SYSTEMTIME back = RawTime(file, &WIN32_FILE_ATTRIBUTE_DATA::ftLastWriteTime);
    EXPECT_EQ(back.wSecond, 30);
    EXPECT_EQ(back.wMilliseconds, 998);

    // Each setter changes its own stamp only.
    const DateTime access(TimeOfDay(8, 0, 0), Date(1, 2, 2019), ZoneOffset::GetCurrentZone());
    file->SetAccessDate(access);
    EXPECT_EQ(file->GetAccessDate().GetDate(), Date(1, 2, 2019));
    EXPECT_EQ(file->GetAccessDate().Time().Hour(), 8);
    EXPECT_EQ(file->GetModificationDate().Time().Fraction(), 598u);
    const DateTime creation(TimeOfDay(9, 30, 0), Date(3, 4, 2018), ZoneOffset::GetCurrentZone());
    file->SetCreationDate(creation);
    if (!UnderWine()) { // Wine cannot store a creation time on Linux; it reports the write time
        EXPECT_EQ(file->GetCreationDate().GetDate(), Date(3, 4, 2018));
        EXPECT_EQ(file->GetCreationDate().Time().Minute(), 30);
    }
    EXPECT_EQ(file->GetAccessDate().GetDate(), Date(1, 2, 2019));
    EXPECT_EQ(file->GetModificationDate().GetDate(), Date(15, 6, 2021));

    // Folders are opened with backup semantics.
    const Spec dir = Child(L"d");
    dir->CreateFolder();
    dir->SetModificationDate(access);
    EXPECT_EQ(dir->GetModificationDate().GetDate(), Date(1, 2, 2019));

    EXPECT_EQ(ErrorCode([&] { Child(L"missing")->SetModificationDate(access); }),
              FileException::FileNotFound.id());
}

TEST_F(FileSpecWin32Test, ChildrenParentsAndRoots) {
    const Spec root = Make(L"C:\\");
    EXPECT_TRUE(root->IsRoot());
    EXPECT_TRUE(root->ParentFolder().IsNull());
    EXPECT_EQ(Narrow(root->MakeChild(FilePath("x"))->GetPath()), "C:\\x");

    const Spec d = Make(L"C:\\d");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x"))->GetPath()), "C:\\d\\x");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x/y"))->GetPath()), "C:\\d\\x\\y");
    EXPECT_EQ(Narrow(d->MakeChild(FilePath("x\\..\\..\\z"))->GetPath()), "C:\\z");
    EXPECT_EQ(ErrorCode([&] { d->MakeChild(FilePath("C:\\x")); }),
              FileException::InvalidFilePath.id());
    EXPECT_EQ(ErrorCode([&] { d->MakeChild(FilePath("\\x")); }),
              FileException::InvalidFilePath.id());

    const Spec ab = Make(L"C:\\a\\b");
    const Spec a = ab->ParentFolder();
    EXPECT_EQ(Narrow(a->GetPath()), "C:\\a");
    const Spec top = a->ParentFolder();
    EXPECT_EQ(Narrow(top->GetPath()), "C:\\");
    EXPECT_TRUE(top->IsRoot());
    EXPECT_TRUE(top->ParentFolder().IsNull());

    const Spec rootOfAb = ab->RootFolder();
    EXPECT_TRUE(rootOfAb->IsRoot());
    EXPECT_EQ(Narrow(rootOfAb->GetPath()), "C:\\");
    // All on one volume object.
    EXPECT_EQ(a->GetVolume().Get(), ab->GetVolume().Get());
    EXPECT_EQ(rootOfAb->GetVolume().Get(), ab->GetVolume().Get());
    EXPECT_EQ(DynamicType(a), typeid(FileSpec_Win32));
}

TEST_F(FileSpecWin32Test, CanonicalPathsAndAliases) {
    // The key follows the volume's case rule; the splitting itself is FilePath's (FilePathTest).
    const Spec file = Child(L"dir.d\\File.Tar.GZ");
    EXPECT_EQ(Narrow(file->GetCanonicalPath()),
              Narrow(FilePath(folder.Child(L"dir.d/file.tar.gz")).GetCanonical(false)));

    const struct {
        const wchar_t* name;
        bool alias;
    } cases[] = {{L"x.lnk", true}, {L"x.LNK", true},      {L"x.Lnk", true}, {L"x.lnk2", false},
                 {L"xlnk", false}, {L"x.lnk.txt", false}, {L"lnk", false},  {L"d.lnk\\x", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        EXPECT_EQ(Child(c.name)->IsAlias(), c.alias); // the file is never looked at
    }
}

TEST_F(FileSpecWin32Test, EqualityFollowsVolumeAndCanonicalPath) {
    const Spec a = Child(L"Same.txt");
    const Spec b = Child(L"sAME.TXT");
    const Spec c = Child(L"other.txt");
    EXPECT_TRUE(a->IsEqualTo(a));
    EXPECT_TRUE(a->IsEqualTo(b));
    EXPECT_FALSE(a->IsEqualTo(c));
    EXPECT_FALSE(a->IsEqualTo(Spec()));
    EXPECT_TRUE(FileSpec(a) == FileSpec(b));
    // The same path in the other class is never equal.
    const Spec nine(new FileSpec_Win9X(FilePath(folder.Child(L"Same.txt")), a->GetVolume()));
    EXPECT_FALSE(FileSpec(a) == FileSpec(nine));
}

TEST_F(FileSpecWin32Test, RenameMovesFilesAndFolders) {
    const Spec from = Child(L"from.txt");
    Write(from, "payload");
    const Spec to = Child(L"to.txt");
    from->Rename(to);
    EXPECT_FALSE(from->IsPresent()); // the object still names the old path
    EXPECT_EQ(Read(to), "payload");

    const Spec dir = Child(L"d1");
    dir->CreateFolder();
    dir->Rename(Child(L"d2"));
    EXPECT_TRUE(Child(L"d2")->IsFolder());

    EXPECT_EQ(Failure([&] { Child(L"missing")->Rename(Child(L"target")); }),
              Failure(FileException::FileNotFound, folder.Child(L"missing")));
    EXPECT_EQ(ErrorCode([&] { to->Rename(Spec()); }), TalvenException::InternalSoftwareError.id());
    EXPECT_TRUE(to->IsPresent());
}

// A folder chain under the test folder whose deepest path exceeds length characters.
Spec DeepFolder(const Spec& base, std::size_t length) {
    Spec current = base;
    for (int i = 0; current->GetPath().ToWide().size() <= length; ++i) {
        current = current->MakeChild(FilePath(std::wstring(120, wchar_t(L'a' + i % 26))));
        current->CreateFolder();
    }
    return current;
}

TEST_F(FileSpecWin32Test, PathsBeyondMaxPathWorkThroughTheLongPath) {
    const Spec base = Make(folder.Path());
    for (std::size_t length : {std::size_t{260}, std::size_t{1000}}) {
        SCOPED_TRACE(length);
        const Spec deep = DeepFolder(base, length);
        const Spec file = deep->MakeChild(FilePath(L"file-\xD83D\xDE00.bin"));
        ASSERT_GT(file->GetPath().ToWide().size(), length);
        Write(file, "deep data");
        EXPECT_EQ(Read(file), "deep data");
        EXPECT_EQ(file->GetFileSize(), 9u);
        file->SetFileSize(4);
        EXPECT_EQ(Read(file), "deep");
        file->SetModificationDate(
            DateTime(TimeOfDay(1, 2, 3), Date(4, 5, 2006), ZoneOffset::GetCurrentZone()));
        EXPECT_EQ(file->GetModificationDate().GetDate(), Date(4, 5, 2006));
        // Renaming to a target beyond MAX_PATH works as well.
        const Spec renamed = deep->MakeChild(FilePath(L"renamed.bin"));
        file->Rename(renamed);
        EXPECT_TRUE(renamed->IsPresent());
        renamed->Delete();
        EXPECT_FALSE(renamed->IsPresent());
        for (Spec level = deep; !level->IsEqualTo(base); level = level->ParentFolder()) {
            level->Delete();
        }
    }
}

// Writes a shortcut to target at path through the shell-link object, with its own COM
// initialisation, undone again.
void WriteShortcut(const std::wstring& path, const std::wstring& target) {
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    {
        Win32Res::ComPtr<IShellLinkW> link;
        ASSERT_EQ(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IShellLinkW, link.PutVoid()),
                  S_OK);
        ASSERT_EQ(link->SetPath(target.c_str()), S_OK);
        Win32Res::ComPtr<IPersistFile> file;
        ASSERT_EQ(link->QueryInterface(IID_IPersistFile, file.PutVoid()), S_OK);
        ASSERT_EQ(file->Save(path.c_str(), TRUE), S_OK);
    }
    ::CoUninitialize();
}

// Whether COM is initialised on this thread, found without changing that.
bool ComInitialised() {
    const HRESULT result = ::CoInitialize(nullptr);
    ::CoUninitialize();
    return result == S_FALSE;
}

TEST_F(FileSpecWin32Test, ResolveAliasReadsShortcutsAndBalancesCom) {
    const Spec target = Child(L"target.txt");
    target->Create();
    WriteShortcut(folder.Child(L"link.lnk"), folder.Child(L"target.txt"));
    const Spec link = Child(L"link.lnk");
    ASSERT_TRUE(link->IsAlias());
    AliasSpec_IF& alias = dynamic_cast<AliasSpec_IF&>(*link);

    // COM not initialised: the operation initialises it and undoes that.
    ASSERT_FALSE(ComInitialised());
    const Spec resolved = alias.ResolveAlias();
    ASSERT_FALSE(resolved.IsNull());
    EXPECT_TRUE(resolved->IsEqualTo(target));
    EXPECT_FALSE(ComInitialised());

    // COM initialised by the caller: used as it is and left initialised.
    ASSERT_EQ(::CoInitialize(nullptr), S_OK);
    EXPECT_TRUE(alias.ResolveAlias()->IsEqualTo(target));
    EXPECT_TRUE(ComInitialised());
    ::CoUninitialize();

    // A file that is no shortcut: the HRESULT becomes the cause, and COM is balanced.
    const Spec fake = Child(L"fake.lnk");
    Write(fake, "not a shortcut");
    try {
        dynamic_cast<AliasSpec_IF&>(*fake).ResolveAlias();
        FAIL() << "resolved a file that is no shortcut";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), SystemException::HRESULT::HResultError.id());
        ASSERT_NE(e.cause(), nullptr);
        EXPECT_EQ(TextConvert::Chars(e.path()), Narrow(folder.Child(L"fake.lnk")));
    }
    EXPECT_FALSE(ComInitialised());
    EXPECT_NE(ErrorCode([&] { dynamic_cast<AliasSpec_IF&>(*Child(L"none.lnk")).ResolveAlias(); }),
              0);
    EXPECT_FALSE(ComInitialised());
}

} // namespace
