// Tests of the Windows 9x family end to end. Wine runs this program as Windows 98 (set by
// tests/fixtures/setup-drives.sh), so the class factory builds FileSpec_Win9X objects, which hand
// plain paths to the OS. The tests skip in any other mode.
#include "Private/FileChannel.h"
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"

using namespace FileSystem;

namespace {

using Spec = CountedPtr<FileSpec_IF>;

class Win9xTest : public TalvenTest::FileSystemTest {
protected:
    void SetUp() override {
        if ((::GetVersion() & 0x80000000u) == 0) {
            GTEST_SKIP() << "not running as Windows 98 (see tests/fixtures/setup-drives.sh)";
        }
    }
    Spec Child(const std::wstring& name) const {
        return Spec(ClassFactory_IF::NewFileSpec(FilePath(dir.Child(name))));
    }
    static bool IsWin9X(const Spec& s) {
        return !s.IsNull() && DynamicType(s) == typeid(FileSpec_Win9X);
    }
};

TEST_F(Win9xTest, ObjectsMadeInAnyWayStayWin9XAndWorkWithPlainPaths) {
    const std::wstring x = dir.Child(L"x.txt");
    const Spec spec = Child(L"x.txt");
    ASSERT_TRUE(IsWin9X(spec));
    EXPECT_EQ(Narrow(spec->GetNativePath()), Narrow(x));
    EXPECT_EQ(Narrow(dynamic_cast<FileSpec_Win32&>(*spec).GetLongPath()), Narrow(x));
    // A FileSpec_Win32 made directly still prefixes; the two are never equal.
    const Spec win32(new FileSpec_Win32(FilePath(x), spec->GetVolume()));
    EXPECT_EQ(Narrow(win32->GetNativePath()), Narrow(L"\\\\?\\" + x));
    EXPECT_TRUE(spec->IsEqualTo(win32));             // same volume, same canonical path...
    EXPECT_FALSE(FileSpec(spec) == FileSpec(win32)); // ...but of another class

    const Spec folder = Child(L"d");
    folder->CreateFolder();
    const Spec child = folder->MakeChild(FilePath("sub/file.txt"));
    EXPECT_EQ(Narrow(child->GetNativePath()), Narrow(dir.Child(L"d\\sub\\file.txt")));
    EXPECT_EQ(Narrow(child->RootFolder()->GetNativePath()), "C:\\");
    ASSERT_TRUE(TalvenTest::WriteShortcut(dir.Child(L"d.lnk"), dir.Child(L"d")));
    const Spec target = dynamic_cast<AliasSpec_IF&>(*Child(L"d.lnk")).ResolveAlias();
    EXPECT_TRUE(target->IsEqualTo(folder));
    for (const Spec& made : {child, folder->MakeChild(FilePath("plain")), child->ParentFolder(),
                             child->ParentFolder()->ParentFolder(), child->RootFolder(),
                             child->GetVolume()->GetAsFolder(child->GetVolume()), target}) {
        EXPECT_TRUE(IsWin9X(made)) << Narrow(made->GetPath());
    }

    spec->Create();
    FileChannel(spec->OpenChannel(ModeWrite, spec)).Write("hello world", 11);
    spec->SetFileSize(5);
    EXPECT_EQ(TalvenTest::ReadAll(x), "hello");
    spec->SetModificationDate(
        DateTime(TimeOfDay(12, 0, 0), Date(24, 12, 1999), ZoneOffset::GetCurrentZone()));
    EXPECT_EQ(spec->GetModificationDate().GetDate(), Date(24, 12, 1999));
    spec->SetAttributes(AttributeReadOnly | AttributeHidden);
    EXPECT_EQ(spec->GetAttributes() & (AttributeReadOnly | AttributeHidden),
              AttributeReadOnly | AttributeHidden);
    const Spec moved = folder->MakeChild(FilePath("moved.bin"));
    spec->Rename(moved);
    EXPECT_FALSE(spec->IsPresent());
    EXPECT_EQ(ErrorCode([&] { folder->Delete(); }), FileException::FolderNotEmpty.id());
    moved->Delete(); // read-only: cleared once, then deleted
    EXPECT_FALSE(moved->IsPresent());
}

} // namespace
