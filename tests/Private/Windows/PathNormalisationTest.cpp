// Tests of the path checks and normalisation of the Windows file spec: every rule that
// refuses a path, the accepted forms and their roots and long paths, relative paths, component
// lengths and names outside ASCII.
#include "Private/FileSpec.h"
#include "Private/Volume.h"
#include "common/TestHelpers.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestFolder.h"
#include "support/ByteString.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

using FileSystem::FileSpec_Win32;

namespace {

const std::int32_t InvalidPath = FileException::InvalidFilePath.id();

class PathNormalisationTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    static CountedPtr<FileSystem::FileSpec_IF> Make(const std::wstring& path) {
        return CountedPtr<FileSystem::FileSpec_IF>(
            new FileSpec_Win32(FilePath(path), CountedPtr<FileSystem::Volume_IF>()));
    }
    static FileSpec_Win32& Win32(const CountedPtr<FileSystem::FileSpec_IF>& spec) {
        return dynamic_cast<FileSpec_Win32&>(*spec);
    }

    TalvenTest::TestFolder folder;
};

struct Refused {
    const wchar_t* path;
    const char* rule;
};

const Refused refusedPaths[] = {
    {L"1:\\x", "a colon after a character that is not a letter"},
    {L":\\x", "a colon at index 0"},
    {L"C:\\a:b", "a colon past index 1"},
    {L"C:\\dir\\C:\\x", "a second drive inside the path"},
    {L"C:\\a\"b", "a double quote"},
    {L"C:\\a*b", "an asterisk"},
    {L"C:\\a<b", "a less-than sign"},
    {L"C:\\a>b", "a greater-than sign"},
    {L"C:\\a?b", "a question mark"},
    {L"C:\\a|b", "a vertical bar"},
    {L"C:\\a\x01"
     L"b",
     "a character below 0x20"},
    {L"C:\\a\x1f", "0x1F at the end"},
    {L"C:\\a\\\\b", "a doubled separator"},
    {L"C:/a//b", "a doubled separator written with slashes"},
    {L"C:\\a\\/b", "a doubled separator of mixed kinds"},
    {L"\\\\\\srv\\share", "three leading separators"},
    {L"\\\\srv\\\\share", "a doubled separator after the server"},
    {L"C:\\a \\", "a trailing space hidden by a trailing separator"},
    {L"C:\\dir\\a \\", "a trailing space in a deeper component"},
    {L"\\\\.\\device", "a device path"},
    {L"\\\\.\\C:", "the device path of a drive"},
    {L"//./C:/x", "a device path written with slashes"},
    {L"\\\\srv", "a UNC path without share"},
    {L"\\\\srv\\", "a UNC path with an empty share"},
    {L"\\\\?\\UNC\\srv", "a prefixed UNC path without share"},
    {L"\\\\?\\UNC\\", "a prefixed UNC path without server"},
    {L"\\\\?\\C:\\a?b", "a question mark after the prefix"},
    {L"\\\\?\\\\\\?\\C:\\x", "a doubled prefix"},
};

TEST_F(PathNormalisationTest, EveryRuleRefusesItsPaths) {
    for (const Refused& c : refusedPaths) {
        SCOPED_TRACE(std::string(c.rule) + ": " + Narrow(c.path));
        EXPECT_EQ(ErrorCode([&] { FileSpec_Win32::Normalise(c.path); }), InvalidPath);
        // Through the whole construction as well: nothing is made, nothing leaks.
        EXPECT_EQ(ErrorCode([&] { FileSpec spec{FilePath(std::wstring(c.path))}; }), InvalidPath);
    }
}

TEST_F(PathNormalisationTest, TheExceptionNamesThePathAsGiven) {
    try {
        FileSpec spec{FilePath(L"C:\\a|b")};
        FAIL() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(TextConvert::Chars(e.path()), "C:\\a|b");
        ASSERT_NE(e.cause(), nullptr);
        EXPECT_EQ(e.cause()->code(), SystemException::Win32::Win32Error.id());
    }
}

struct Accepted {
    const wchar_t* given;
    const wchar_t* path;
    const wchar_t* root;
    bool isUnc;
    const wchar_t* longPath;
};

const Accepted acceptedPaths[] = {
    {L"C:/dir/", L"C:\\dir", L"C:\\", false, L"\\\\?\\C:\\dir"},
    {L"C:\\", L"C:\\", L"C:\\", false, L"\\\\?\\C:\\"},
    {L"c:\\x", L"C:\\x", L"C:\\", false, L"\\\\?\\C:\\x"}, // the drive letter upper-cased
    {L"C:/", L"C:\\", L"C:\\", false, L"\\\\?\\C:\\"},
    {L"\\\\?\\C:\\dir", L"C:\\dir", L"C:\\", false, L"\\\\?\\C:\\dir"},
    {L"C:\\a\\.\\b\\..\\c", L"C:\\a\\c", L"C:\\", false, L"\\\\?\\C:\\a\\c"},
    {L"C:\\a\\..\\..\\..", L"C:\\", L"C:\\", false, L"\\\\?\\C:\\"},
    // GetFullPathNameW drops trailing spaces and dots of the last component, as Windows does.
    {L"C:\\dir\\name ", L"C:\\dir\\name", L"C:\\", false, L"\\\\?\\C:\\dir\\name"},
    {L"C:\\dir\\name.", L"C:\\dir\\name", L"C:\\", false, L"\\\\?\\C:\\dir\\name"},
    {L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share\\x", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\x"},
    {L"\\\\?\\unc\\srv\\share\\x", L"\\\\srv\\share\\x", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\x"},
    {L"\\\\srv\\share\\x", L"\\\\srv\\share\\x", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\x"},
    {L"//srv/share/x/y/", L"\\\\srv\\share\\x\\y", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\x\\y"},
    {L"\\\\srv\\share", L"\\\\srv\\share\\", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\"},
    {L"\\\\srv\\share\\", L"\\\\srv\\share\\", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\"},
    {L"\\\\srv\\share\\x\\..", L"\\\\srv\\share\\", L"\\\\srv\\share\\", true,
     L"\\\\?\\UNC\\srv\\share\\"},
};

TEST_F(PathNormalisationTest, AcceptedFormsGiveTheirPathRootAndLongPath) {
    for (const Accepted& c : acceptedPaths) {
        SCOPED_TRACE(Narrow(c.given));
        const FileSpec_Win32::NormalisedPath result = FileSpec_Win32::Normalise(c.given);
        EXPECT_EQ(Narrow(result.path), Narrow(c.path));
        EXPECT_EQ(Narrow(result.root), Narrow(c.root));
        EXPECT_EQ(result.isUnc, c.isUnc);
        EXPECT_EQ(Narrow(FileSpec_Win32::LongPathFor(result.path, result.isUnc)),
                  Narrow(c.longPath));
    }
}

TEST_F(PathNormalisationTest, ObjectsKeepTheNormalisedFormAndShareTheDrivesVolume) {
    const auto dir = Make(folder.Path() + L"/sub/");
    EXPECT_EQ(Narrow(Win32(dir).Path()), Narrow(folder.Child(L"sub")));
    EXPECT_EQ(Narrow(Win32(dir).Root()), "C:\\");
    EXPECT_FALSE(Win32(dir).IsUnc());
    EXPECT_FALSE(dir->IsRoot());
    EXPECT_EQ(Narrow(dir->GetNativePath()), Narrow(L"\\\\?\\" + folder.Child(L"sub")));
    // One volume object and equal specs, whatever the spelling of the drive.
    const auto lower = Make(L"c:/Dir/x");
    const auto upper = Make(L"C:\\dir\\X");
    EXPECT_EQ(lower->GetVolume().Get(), upper->GetVolume().Get());
    EXPECT_TRUE(lower->IsEqualTo(upper));
    EXPECT_TRUE(Make(L"c:\\")->IsRoot());
}

TEST_F(PathNormalisationTest, UncPathsNeedTheirServer) {
    // No server answers under Wine or on a test machine: the path is accepted, but reading the
    // share's volume fails, with an OS error rather than InvalidFilePath.
    const std::int32_t code = ErrorCode([] { Make(L"\\\\talven-no-such-server\\share\\x"); });
    EXPECT_NE(code, 0);
    EXPECT_NE(code, InvalidPath);
}

class RelativePathTest : public PathNormalisationTest {
protected:
    void SetUp() override {
        PathNormalisationTest::SetUp();
        wchar_t buffer[32768];
        const DWORD length = ::GetCurrentDirectoryW(32768, buffer);
        saved.assign(buffer, length);
        ASSERT_TRUE(::SetCurrentDirectoryW(folder.Path().c_str()));
    }
    void TearDown() override { ::SetCurrentDirectoryW(saved.c_str()); }

    std::wstring saved;
};

TEST_F(RelativePathTest, RelativePathsAreResolvedAgainstTheCurrentDirectory) {
    const struct {
        const wchar_t* given;
        std::wstring expected;
    } cases[] = {
        {L"rel", folder.Child(L"rel")},   {L"a\\..\\b", folder.Child(L"b")},
        {L".\\x\\", folder.Child(L"x")},  {L".", folder.Path()},
        {L"C:rel", folder.Child(L"rel")}, // the current directory of drive C:
        {L"\\top", L"C:\\top"},           // the root of the current drive
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.given));
        EXPECT_EQ(Narrow(FileSpec_Win32::Normalise(c.given).path), Narrow(c.expected));
        const FileSpec spec{FilePath(c.given)};
        EXPECT_EQ(TextConvert::Chars(spec.GetPath().GetBytes()), Narrow(c.expected));
    }
}

TEST_F(PathNormalisationTest, ComponentsLongerThanTheVolumeAllowsAreRefused) {
    const auto root = Make(L"C:\\");
    const std::uint32_t limit = root->GetVolume()->GetMaxNameLength();
    ASSERT_EQ(limit, 255u); // C: under Wine and on NTFS
    const std::wstring longest(limit, L'n');
    const std::wstring tooLong(limit + 1, L'n');

    const auto child = Make(folder.Child(longest));
    child->Create();
    EXPECT_TRUE(child->IsPresent());
    child->Delete();

    EXPECT_EQ(ErrorCode([&] { Make(folder.Child(tooLong)); }), InvalidPath);
    EXPECT_EQ(ErrorCode([&] { Make(folder.Child(tooLong + L"\\x")); }), InvalidPath);
    // Surrogate pairs count as two code units.
    std::wstring pairs;
    for (std::uint32_t i = 0; i < limit / 2 + 1; ++i) {
        pairs += L"\xD83D\xDE00";
    }
    EXPECT_EQ(ErrorCode([&] { Make(folder.Child(pairs)); }), InvalidPath);
    // MakeChild goes through the same check.
    const auto parent = Make(folder.Path());
    EXPECT_EQ(ErrorCode([&] { parent->MakeChild(FilePath(tooLong)); }), InvalidPath);
}

TEST_F(PathNormalisationTest, NamesOutsideAsciiSurviveTheRoundTrip) {
    const char* const names[] = {
        u8"Gr\u00FC\u00DFe-\u00F1",          // Latin-1
        u8"\u65E5\u672C\u8A9E-\u0416",       // CJK and Cyrillic
        u8"smile-\U0001F600-\U00010348.txt", // outside the BMP: surrogate pairs in UTF-16
    };
    const ByteString base = TextConvert::WideToUtf8(folder.Path());
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const ByteString path = base + TextConvert::Bytes("\\") + TextConvert::Bytes(name);
        const FileSpec spec{FilePath(path)};
        EXPECT_EQ(spec.GetPath().GetBytes(), path);
        EXPECT_EQ(spec.GetName().GetBytes(), TextConvert::Bytes(name));
        auto impl = FileSpec_Impl(spec).GetImplPtr();
        impl->Create();
        // The name on disk is the name given, code unit for code unit.
        WIN32_FIND_DATAW found = {};
        ASSERT_TRUE(
            Win32Res::FindHandle(::FindFirstFileW(TextConvert::Utf8ToWide(path).c_str(), &found)));
        EXPECT_EQ(TextConvert::WideToUtf8(found.cFileName), TextConvert::Bytes(name));
        EXPECT_TRUE(spec.IsPresent());
        spec.Delete();
        EXPECT_FALSE(spec.IsPresent());
    }
}

} // namespace
