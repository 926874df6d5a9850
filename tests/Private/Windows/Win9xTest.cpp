// Tests of the Windows 9x family end to end. Wine runs this program as Windows 98 (registry
// value HKCU\Software\Wine\AppDefaults\Private_Windows_Win9xTest.exe\Version = win98, set by
// tests/fixtures/setup-drives.sh), so GetVersion has its top bit set: the class factory builds
// FileSpec_Win9X objects, which hand plain paths to the OS. The tests skip in any other mode.
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/Volume.h"
#include "common/TestHelpers.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
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

class Win9xTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileSystem_Win32::Install();
        if ((::GetVersion() & 0x80000000u) == 0) {
            GTEST_SKIP() << "not running as Windows 98: set HKCU\\Software\\Wine\\AppDefaults\\"
                            "Private_Windows_Win9xTest.exe\\Version to win98 "
                            "(tests/fixtures/setup-drives.sh does)";
        }
    }

    Spec Child(const std::wstring& name) const {
        return Spec(ClassFactory_IF::NewFileSpec(FilePath(folder.Child(name))));
    }
    static bool IsWin9X(const Spec& spec) {
        return !spec.IsNull() && DynamicType(spec) == typeid(FileSpec_Win9X);
    }

    TalvenTest::TestFolder folder;
};

TEST_F(Win9xTest, TheFactoryBuildsWin9XObjectsThatHandPlainPathsToTheOS) {
    const Spec spec = Child(L"x.txt");
    ASSERT_TRUE(IsWin9X(spec));
    EXPECT_EQ(Narrow(spec->GetNativePath()), Narrow(folder.Child(L"x.txt")));
    EXPECT_EQ(Narrow(dynamic_cast<FileSpec_Win32&>(*spec).GetLongPath()),
              Narrow(folder.Child(L"x.txt")));
    // A FileSpec_Win32 made directly still prefixes; the two are never equal.
    const Spec win32(new FileSpec_Win32(FilePath(folder.Child(L"x.txt")), spec->GetVolume()));
    EXPECT_EQ(Narrow(win32->GetNativePath()), Narrow(L"\\\\?\\" + folder.Child(L"x.txt")));
    EXPECT_TRUE(spec->IsEqualTo(win32));             // same volume, same canonical path...
    EXPECT_FALSE(FileSpec(spec) == FileSpec(win32)); // ...but of another class
}

TEST_F(Win9xTest, ChildrenParentsRootsAndShortcutTargetsStayWin9X) {
    const Spec dir = Child(L"d");
    dir->CreateFolder();
    const Spec child = dir->MakeChild(FilePath("sub/file.txt"));
    EXPECT_TRUE(IsWin9X(child));
    EXPECT_EQ(Narrow(child->GetNativePath()), Narrow(folder.Child(L"d\\sub\\file.txt")));
    const Spec parent = child->ParentFolder();
    EXPECT_TRUE(IsWin9X(parent));
    EXPECT_TRUE(IsWin9X(parent->ParentFolder()));
    const Spec root = child->RootFolder();
    EXPECT_TRUE(IsWin9X(root));
    EXPECT_EQ(Narrow(root->GetNativePath()), "C:\\");
    const Spec volumeRoot = child->GetVolume()->GetAsFolder(child->GetVolume());
    EXPECT_TRUE(IsWin9X(volumeRoot));

    // A shortcut to the folder, written and then resolved without the prefix.
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    {
        Win32Res::ComPtr<IShellLinkW> link;
        ASSERT_EQ(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IShellLinkW, link.PutVoid()),
                  S_OK);
        ASSERT_EQ(link->SetPath(folder.Child(L"d").c_str()), S_OK);
        Win32Res::ComPtr<IPersistFile> file;
        ASSERT_EQ(link->QueryInterface(IID_IPersistFile, file.PutVoid()), S_OK);
        ASSERT_EQ(file->Save(folder.Child(L"d.lnk").c_str(), TRUE), S_OK);
    }
    ::CoUninitialize();
    const Spec target = dynamic_cast<AliasSpec_IF&>(*Child(L"d.lnk")).ResolveAlias();
    EXPECT_TRUE(IsWin9X(target));
    EXPECT_TRUE(target->IsEqualTo(dir));
}

TEST_F(Win9xTest, FileOperationsWorkWithPlainPaths) {
    const Spec file = Child(L"data.bin");
    file->Create();
    {
        FileChannel channel(file->OpenChannel(ModeWrite, file));
        channel.Write("hello world", 11);
    }
    EXPECT_EQ(file->GetFileSize(), 11u);
    file->SetFileSize(5);
    {
        FileChannel channel(file->OpenChannel(ModeRead, file));
        char buffer[16] = {};
        std::size_t got = 0;
        channel.Read(buffer, sizeof(buffer), got);
        EXPECT_EQ(std::string(buffer, got), "hello");
    }
    const DateTime date(TimeOfDay(12, 0, 0), Date(24, 12, 1999), ZoneOffset::GetCurrentZone());
    file->SetModificationDate(date);
    EXPECT_EQ(file->GetModificationDate().GetDate(), Date(24, 12, 1999));

    file->SetAttributes(AttributeReadOnly | AttributeHidden);
    EXPECT_EQ(file->GetAttributes() & (AttributeReadOnly | AttributeHidden),
              AttributeReadOnly | AttributeHidden);
    const Spec moved = Child(L"moved.bin");
    file->Rename(moved);
    EXPECT_FALSE(file->IsPresent());
    moved->Delete(); // read-only: cleared once, then deleted
    EXPECT_FALSE(moved->IsPresent());

    const Spec dir = Child(L"full");
    dir->CreateFolder();
    dir->MakeChild(FilePath("inner"))->Create();
    try {
        dir->Delete();
        FAIL() << "a folder with content was deleted";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), FileException::FolderNotEmpty.id());
    }
}

} // namespace
