// Tests of the Windows volumes: the record's equality and order, the volume table, the answers
// of a fixed disk and of a share, and the optical drive T: (TestDrives.h; skipped without it).
#include "Private/Volume.h"
#include "common/FileSystemTest.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Volume_Win32.h"

using namespace FileSystem;
using namespace TalvenTest;

namespace {

using Spec = CountedPtr<FileSpec_IF>;
using VolumePtr = CountedPtr<Volume_IF>;

const std::int32_t InternalError = TalvenException::InternalSoftwareError.id();
const std::uint64_t NoLimit = 18446744073709551615ull, NtfsLimit = 18446744073709486080ull;

using VolumeTest = FileSystemTest;

Spec Make(const std::wstring& path) {
    return Spec(ClassFactory_IF::NewFileSpec(FilePath(path)));
}

TEST(VolumeRecord, ComparesByRootLabelAndSerialOnlyAndGivesTheNamesLargestFile) {
    // Flags, component length and file-system name take no part.
    const VolumeInfo base(1, 255, 0x10, L"LABEL", L"C:\\", L"NTFS"),
        same(99, 12, 0x10, L"LABEL", L"C:\\", L"FAT32");
    EXPECT_TRUE(base == same && !(base < same) && !(same < base));
    // Each row is strictly less than the next: root first, then label, then serial (unsigned).
    // clang-format off
    const VolumeInfo ordered[] = {
        VolumeInfo(0, 0, 0xFFFFFFFF, L"Z", L"C:\\", L""), VolumeInfo(0, 0, 0, L"a", L"D:\\", L""),
        VolumeInfo(0, 0, 1, L"a", L"D:\\", L""), VolumeInfo(0, 0, 0x80000000, L"a", L"D:\\", L""),
        VolumeInfo(0, 0, 0, L"b", L"D:\\", L""),
        VolumeInfo(0, 0, 0, L"", L"d:\\", L""), // code units: lower case after upper
    };
    // clang-format on
    for (std::size_t i = 0; i < std::size(ordered); ++i) {
        for (std::size_t j = 0; j < std::size(ordered); ++j) {
            SCOPED_TRACE(testing::Message() << i << " against " << j);
            EXPECT_EQ(ordered[i] < ordered[j], i < j);
            EXPECT_EQ(ordered[i] == ordered[j], i == j);
            EXPECT_EQ(ordered[i] != ordered[j], i != j);
        }
    }
    // The largest file follows the file-system name exactly (a row per branch).
    // clang-format off
    const std::pair<const wchar_t*, std::uint64_t> cases[] = {
        {L"FAT16", 0xFFFFFFFFull}, {L"FAT32", 0xFFFFFFFFull}, {L"NTFS", NtfsLimit}, {L"ntfs", NoLimit}};
    // clang-format on
    for (const auto& [name, limit] : cases) {
        SCOPED_TRACE(Narrow(name));
        EXPECT_EQ(Volume_Win32::MaxFileSizeFor(name), limit);
        EXPECT_EQ(Volume_Win32(VolumeInfo(0, 255, 1, L"", L"C:\\", name)).GetMaxFileSize(), limit);
    }
}

TEST_F(VolumeTest, TheTableKeepsOneObjectPerRecordUntilClearedAndAFixedDiskAnswers) {
    // Another label in the same drive is another medium.
    const VolumeInfo info(0, 100, 0x7A1E, L"TableTest", L"Q:\\", L"NTFS"),
        other(0, 100, 0x7A1E, L"Other", L"Q:\\", L"NTFS");
    EXPECT_TRUE(LookupVolume(info, false).IsNull());
    const VolumePtr made = LookupVolume(info, true);
    ASSERT_FALSE(made.IsNull());
    EXPECT_TRUE(LookupVolume(info, false).Get() == made.Get() && LookupVolume(info, true) == made);
    EXPECT_TRUE(LookupVolume(other, false).IsNull());
    EXPECT_NE(LookupVolume(other, true).Get(), made.Get());

    const Spec before = Make(L"C:\\x");
    const VolumePtr old = before->GetVolume();
    ClearVolumeTable();
    const Spec after = Make(L"C:\\x");
    EXPECT_TRUE(after->GetVolume().Get() != old.Get() && !before->IsEqualTo(after));
    EXPECT_EQ(old->GetName(), after->GetVolume()->GetName()); // the old object lives on
    // The old object is no longer in the table: specs made on it are refused.
    EXPECT_EQ(ErrorCode([&] { before->MakeChild(FilePath("y")); }), InternalError);

    // A fixed disk is shared by its specs and answers; it and shares are never unmounted.
    const VolumePtr volume = Make(dir.Child(L"a"))->GetVolume();
    ASSERT_FALSE(volume.IsNull());
    EXPECT_EQ(Make(L"C:\\windows")->GetVolume().Get(), volume.Get());
    EXPECT_TRUE(At(L"a").GetVolume() == FileSpec(FilePath(L"C:\\windows")).GetVolume());
    EXPECT_FALSE(volume->IsEqualTo(VolumePtr()));
    EXPECT_FALSE(volume->IsCaseSensitive() || volume->IsRemovable() || volume->IsRemote());
    EXPECT_TRUE(volume->IsMounted() && volume->IsValid());
    EXPECT_TRUE(volume->GetMaxNameLength() == 255u && volume->GetMaxFileSize() == NtfsLimit);
    EXPECT_TRUE(volume->GetFreeSpace() > 0 && volume->GetFreeSpace() <= volume->GetCapacity());
    const Spec root = volume->GetAsFolder(volume);
    EXPECT_TRUE(root->IsRoot() && root->GetVolume().Get() == volume.Get());
    EXPECT_EQ(Narrow(root->GetPath()), "C:\\");

    // A share that cannot be reached answers zero; it is not removable, so not asked if mounted.
    Volume_Win32 gone(VolumeInfo(0, 255, 1, L"", L"\\\\talven-no-such-server\\share\\", L""));
    EXPECT_EQ(gone.GetCapacity() + gone.GetFreeSpace(), 0u);
    EXPECT_TRUE(!gone.IsRemovable() && gone.IsMounted());
    for (Volume_IF* refused : {volume.Get(), static_cast<Volume_IF*>(&gone)}) {
        EXPECT_EQ(ErrorCode([&] { refused->Unmount(); }), InternalError); // not a FileException
    }
    EXPECT_TRUE(volume->IsMounted());
}

// The optical drive T:, whose medium is swapped.
TEST_F(VolumeTest, OpticalDriveSpecsShareOneVolumeASwappedMediumIsAnotherAndUnmountReleasesIt) {
    if (!DriveTPresent()) {
        GTEST_SKIP() << "no drive T:: run tests/fixtures/setup-drives.sh before the Wine server";
    }
    const MediumGuard medium;
    const DWORD serial = medium.Original();
    const Spec before = Make(L"T:\\a");
    const VolumePtr first = before->GetVolume();
    EXPECT_EQ(Make(L"t:/b/c")->GetVolume().Get(), first.Get());
    EXPECT_TRUE(first->IsRemovable() && first->IsMounted() && !first->IsRemote());
    EXPECT_EQ(first->GetName() + L"/" + first->GetFileSystemName(), L"TALVENCD/CDFS"); // Wine's
    EXPECT_EQ(first->GetSerialNumber(), serial);
    EXPECT_TRUE(first->GetMaxNameLength() == 221u && first->GetMaxFileSize() == NoLimit);
    // The component limit is the drive's own.
    EXPECT_NO_THROW(Make(L"T:\\" + std::wstring(221, L'n')));
    EXPECT_EQ(ErrorCode([] { Make(L"T:\\" + std::wstring(222, L'n')); }),
              FileException::InvalidFilePath.id());

    ASSERT_TRUE(SwapMediumOfT(serial ^ 0x00FF0000u));
    EXPECT_FALSE(first->IsMounted() || first->IsValid());
    const Spec after = Make(L"T:\\a");
    const VolumePtr second = after->GetVolume();
    EXPECT_TRUE(second.Get() != first.Get() && second->IsMounted());
    EXPECT_FALSE(before->IsEqualTo(after)); // same path, other medium
    // A held spec stays bound to its volume, whose record is never refreshed.
    EXPECT_TRUE(before->GetVolume().Get() == first.Get() && first->GetSerialNumber() == serial);
    EXPECT_EQ(second->GetSerialNumber(), serial ^ 0x00FF0000u);
    EXPECT_EQ(ErrorCode([&] { before->ParentFolder(); }), InternalError);
    // Specs cannot be made on a medium that is no longer in the drive.
    EXPECT_EQ(ErrorCode([&] { before->MakeChild(FilePath("x")); }), InternalError);
    EXPECT_EQ(ErrorCode([&] { first->GetAsFolder(first); }), InternalError);

    // The first medium back: its volume object is found again.
    ASSERT_TRUE(SwapMediumOfT(serial));
    EXPECT_TRUE(first->IsMounted() && !second->IsMounted());
    EXPECT_EQ(Make(L"T:\\b")->GetVolume().Get(), first.Get());
    EXPECT_NO_THROW(before->MakeChild(FilePath("x")));

    // Unmount locks and dismounts the device, and closes it again, which releases the lock.
    if (UnderWine()) {
        // Wine opens "\\.\T:" and locks it, but does not support FSCTL_DISMOUNT_VOLUME (50).
        const FileException e = CatchFileException([&] { first->Unmount(); });
        EXPECT_EQ(TextConvert::Chars(e.path()), "T:\\");
        const auto* cause = dynamic_cast<SystemException::Win32*>(e.cause());
        EXPECT_EQ(cause ? cause->number() : 0, std::uint32_t(ERROR_NOT_SUPPORTED));
    } else {
        EXPECT_NO_THROW(first->Unmount());
    }
    EXPECT_TRUE(first->IsMounted() && Make(L"T:\\.windows-label")->IsPresent());
}

} // namespace
