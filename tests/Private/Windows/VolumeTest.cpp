// Tests of the Windows volumes: the record's equality and order, the volume table, the answers
// of a fixed disk, and an optical drive T: whose medium is swapped and taken offline.
// T: comes from tests/fixtures/setup-drives.sh (a folder with its own label and serial number,
// typed cdrom); the tests that need it skip when it is missing.
#include "Private/Volume.h"
#include "Private/FileSpec.h"
#include "common/TestHelpers.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Volume_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using Spec = CountedPtr<FileSpec_IF>;
using VolumePtr = CountedPtr<Volume_IF>;

const std::int32_t InternalError = TalvenException::InternalSoftwareError.id();

class VolumeTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }

    static Spec Make(const std::wstring& path) {
        return Spec(ClassFactory_IF::NewFileSpec(FilePath(path)));
    }
};

TEST_F(VolumeTest, RecordsCompareByRootLabelAndSerialOnly) {
    const VolumeInfo base(1, 255, 0x10, L"LABEL", L"C:\\", L"NTFS");
    // Flags, component length and file-system name take no part.
    EXPECT_EQ(base, VolumeInfo(99, 12, 0x10, L"LABEL", L"C:\\", L"FAT32"));
    EXPECT_FALSE(base < VolumeInfo(99, 12, 0x10, L"LABEL", L"C:\\", L"FAT32"));

    // Each row is strictly less than the next: root first, then label, then serial (unsigned).
    const VolumeInfo ordered[] = {
        VolumeInfo(0, 0, 0xFFFFFFFF, L"Z", L"C:\\", L""),
        VolumeInfo(0, 0, 0x00000000, L"a", L"D:\\", L""),
        VolumeInfo(0, 0, 0x00000001, L"a", L"D:\\", L""),
        VolumeInfo(0, 0, 0x80000000, L"a", L"D:\\", L""),
        VolumeInfo(0, 0, 0x00000000, L"b", L"D:\\", L""),
        VolumeInfo(0, 0, 0x00000000, L"", L"d:\\", L""), // code units: lower case after upper
    };
    const std::size_t count = sizeof(ordered) / sizeof(ordered[0]);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < count; ++j) {
            SCOPED_TRACE(testing::Message() << i << " against " << j);
            EXPECT_EQ(ordered[i] < ordered[j], i < j);
            EXPECT_EQ(ordered[i] == ordered[j], i == j);
            EXPECT_EQ(ordered[i] != ordered[j], i != j);
        }
    }
}

TEST_F(VolumeTest, MaxFileSizeFollowsTheFileSystemName) {
    const struct {
        const wchar_t* name;
        std::uint64_t size;
    } cases[] = {
        {L"FAT16", 4294967295ull},           {L"FAT32", 4294967295ull},
        {L"NTFS", 18446744073709486080ull},  {L"FAT", 18446744073709551615ull},
        {L"exFAT", 18446744073709551615ull}, {L"ntfs", 18446744073709551615ull}, // compared exactly
        {L"CDFS", 18446744073709551615ull},  {L"", 18446744073709551615ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(TextConvert::Chars(TextConvert::WideToUtf8(c.name)));
        EXPECT_EQ(Volume_Win32::MaxFileSizeFor(c.name), c.size);
        Volume_Win32 volume(VolumeInfo(0, 255, 1, L"", L"C:\\", c.name));
        EXPECT_EQ(volume.GetMaxFileSize(), c.size);
    }
}

TEST_F(VolumeTest, TheTableKeepsOneObjectPerRecord) {
    const VolumeInfo info(0, 100, 0x7A1E, L"TableTest", L"Q:\\", L"NTFS");
    EXPECT_TRUE(LookupVolume(info, false).IsNull());
    const VolumePtr made = LookupVolume(info, true);
    ASSERT_FALSE(made.IsNull());
    EXPECT_EQ(LookupVolume(info, false).Get(), made.Get());
    EXPECT_EQ(LookupVolume(info, true).Get(), made.Get());
    EXPECT_EQ(made->GetMaxNameLength(), 100u);
    EXPECT_EQ(made->GetName(), L"TableTest");
    // Another label in the same drive is another medium.
    const VolumeInfo other(0, 100, 0x7A1E, L"Other", L"Q:\\", L"NTFS");
    EXPECT_TRUE(LookupVolume(other, false).IsNull());
    EXPECT_NE(LookupVolume(other, true).Get(), made.Get());
}

TEST_F(VolumeTest, SpecsOnOneDriveShareTheVolumeOfAFixedDisk) {
    TalvenTest::TestFolder folder;
    const Spec a = Make(folder.Child(L"a"));
    const Spec b = Make(L"C:\\windows");
    const VolumePtr volume = a->GetVolume();
    ASSERT_FALSE(volume.IsNull());
    EXPECT_EQ(b->GetVolume().Get(), volume.Get());
    EXPECT_TRUE(volume->IsEqualTo(b->GetVolume()));
    EXPECT_TRUE(FileSpec(a).GetVolume() == FileSpec(b).GetVolume());
    EXPECT_FALSE(volume->IsEqualTo(VolumePtr()));

    EXPECT_FALSE(volume->IsCaseSensitive());
    EXPECT_FALSE(volume->IsRemovable());
    EXPECT_FALSE(volume->IsRemote());
    EXPECT_TRUE(volume->IsMounted());
    EXPECT_TRUE(volume->IsValid());
    EXPECT_EQ(volume->GetMaxNameLength(), 255u);
    EXPECT_EQ(volume->GetMaxFileSize(), 18446744073709486080ull); // "NTFS"
    EXPECT_GT(volume->GetCapacity(), 0u);
    EXPECT_GT(volume->GetFreeSpace(), 0u);
    EXPECT_LE(volume->GetFreeSpace(), volume->GetCapacity());

    const Spec root = volume->GetAsFolder(volume);
    EXPECT_TRUE(root->IsRoot());
    EXPECT_EQ(TextConvert::Chars(root->GetPath().GetBytes()), "C:\\");
    EXPECT_EQ(root->GetVolume().Get(), volume.Get());
}

TEST_F(VolumeTest, QueriesOfAVolumeThatCannotBeReachedAnswerZero) {
    Volume_Win32 gone(VolumeInfo(0, 255, 1, L"", L"\\\\talven-no-such-server\\share\\", L""));
    EXPECT_EQ(gone.GetCapacity(), 0u);
    EXPECT_EQ(gone.GetFreeSpace(), 0u);
    EXPECT_FALSE(gone.IsRemovable());
    EXPECT_TRUE(gone.IsMounted()); // not removable: not asked
}

TEST_F(VolumeTest, UnmountIsRefusedForFixedDisksAndShares) {
    const VolumePtr fixed = Make(L"C:\\")->GetVolume();
    Volume_Win32 share(VolumeInfo(0, 255, 1, L"", L"\\\\srv\\share\\", L"NTFS"));
    for (Volume_IF* volume : {fixed.Get(), static_cast<Volume_IF*>(&share)}) {
        try {
            volume->Unmount();
            ADD_FAILURE() << "unmounted";
        } catch (const FileException&) {
            ADD_FAILURE() << "a FileException instead of the internal-error exception";
        } catch (const TalvenException& e) {
            EXPECT_EQ(e.code(), InternalError);
        }
    }
    EXPECT_TRUE(fixed->IsMounted());
}

TEST_F(VolumeTest, ClearingTheTableGivesNewSpecsNewVolumes) {
    const Spec before = Make(L"C:\\x");
    const VolumePtr old = before->GetVolume();
    ClearVolumeTable();
    const Spec after = Make(L"C:\\x");
    EXPECT_NE(after->GetVolume().Get(), old.Get());
    EXPECT_FALSE(before->IsEqualTo(after));
    EXPECT_EQ(old->GetName(), after->GetVolume()->GetName()); // the old object lives on
    // The old object is no longer in the table: specs made on it are refused.
    EXPECT_EQ(ErrorCode([&] { before->MakeChild(FilePath("y")); }), InternalError);
}

// --- The optical drive T: ---------------------------------------------------------------

class OpticalDriveTest : public VolumeTest {
protected:
    void SetUp() override {
        VolumeTest::SetUp();
        if (!DriveTPresent()) {
            GTEST_SKIP() << "drive T: is not set up: run tests/fixtures/setup-drives.sh "
                            "before the Wine server starts";
        }
        medium = std::make_unique<TalvenTest::MediumGuard>();
        originalSerial = medium->Original();
    }
    void TearDown() override { medium.reset(); }

    std::unique_ptr<TalvenTest::MediumGuard> medium;
    DWORD originalSerial = 0;
};

TEST_F(OpticalDriveTest, SpecsOnTheDriveShareOneRemovableVolume) {
    const Spec a = Make(L"T:\\a");
    const Spec b = Make(L"t:/b/c");
    const VolumePtr volume = a->GetVolume();
    EXPECT_EQ(b->GetVolume().Get(), volume.Get());
    EXPECT_TRUE(volume->IsRemovable());
    EXPECT_FALSE(volume->IsRemote());
    EXPECT_TRUE(volume->IsMounted());
    EXPECT_EQ(volume->GetName(), L"TALVENCD");
    EXPECT_EQ(volume->GetSerialNumber(), originalSerial);
    EXPECT_EQ(volume->GetFileSystemName(), L"CDFS"); // what Wine reports for a cdrom drive
    EXPECT_EQ(volume->GetMaxNameLength(), 221u);
    EXPECT_EQ(volume->GetMaxFileSize(), 18446744073709551615ull);
    EXPECT_NE(volume.Get(), Make(L"C:\\")->GetVolume().Get());

    // The component limit is the drive's own.
    EXPECT_NO_THROW(Make(L"T:\\" + std::wstring(221, L'n')));
    EXPECT_EQ(ErrorCode([] { Make(L"T:\\" + std::wstring(222, L'n')); }),
              FileException::InvalidFilePath.id());
}

TEST_F(OpticalDriveTest, ASwappedMediumIsAnotherVolume) {
    const Spec before = Make(L"T:\\a");
    const VolumePtr first = before->GetVolume();
    ASSERT_TRUE(first->IsMounted());

    ASSERT_TRUE(SwapMediumOfT(originalSerial ^ 0x00FF0000u));
    EXPECT_FALSE(first->IsMounted());
    EXPECT_FALSE(first->IsValid());
    const Spec after = Make(L"T:\\a");
    const VolumePtr second = after->GetVolume();
    EXPECT_NE(second.Get(), first.Get());
    EXPECT_TRUE(second->IsMounted());
    EXPECT_FALSE(before->IsEqualTo(after)); // same path, other medium
    // Specs cannot be made on a medium that is no longer in the drive.
    EXPECT_EQ(ErrorCode([&] { before->MakeChild(FilePath("x")); }), InternalError);
    EXPECT_EQ(ErrorCode([&] { first->GetAsFolder(first); }), InternalError);

    // The first medium back: its volume object is found again.
    ASSERT_TRUE(SwapMediumOfT(originalSerial));
    EXPECT_TRUE(first->IsMounted());
    EXPECT_FALSE(second->IsMounted());
    EXPECT_EQ(Make(L"T:\\b")->GetVolume().Get(), first.Get());
    EXPECT_NO_THROW(before->MakeChild(FilePath("x")));
}

TEST_F(OpticalDriveTest, UnmountLocksAndDismountsTheDevice) {
    const VolumePtr volume = Make(L"T:\\")->GetVolume();
    if (UnderWine()) {
        // Wine opens "\\.\T:" and locks it, but does not support FSCTL_DISMOUNT_VOLUME (50).
        try {
            volume->Unmount();
            ADD_FAILURE() << "Wine dismounted the volume";
        } catch (const FileException& e) {
            EXPECT_EQ(TextConvert::Chars(e.path()), "T:\\");
            auto* cause = dynamic_cast<SystemException::Win32*>(e.cause());
            ASSERT_NE(cause, nullptr);
            EXPECT_EQ(cause->number(), static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
        }
    } else {
        EXPECT_NO_THROW(volume->Unmount());
    }
    // The device was closed again, which released the lock: the drive is usable.
    EXPECT_TRUE(volume->IsMounted());
    EXPECT_TRUE(Make(L"T:\\.windows-label")->IsPresent());
}

} // namespace
