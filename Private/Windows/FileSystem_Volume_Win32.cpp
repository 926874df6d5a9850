// The Windows volume, its OS record and the process-wide volume table.
#include "Private/Windows/FileSystem_Volume_Win32.h"

#include "Private/FilePath.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/CriticalSection.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <winioctl.h>

#include <map>
#include <tuple>
#include <utility>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\Windows\\FileSystem_Volume_Win32";

// A function-local static so that it exists whenever the first lookup comes.
std::map<VolumeInfo, CountedPtr<Volume_IF>>& VolumeTable() {
    static std::map<VolumeInfo, CountedPtr<Volume_IF>> table;
    return table;
}

// Every thread that makes a file spec looks its volume up; threads meeting a medium for the
// first time together would otherwise both insert (or tear the map) and bind two objects.
TalvenCriticalSection& VolumeTableLock() {
    static TalvenCriticalSection lock;
    return lock;
}

} // namespace

VolumeInfo::VolumeInfo(std::uint32_t fileSystemFlags, std::uint32_t maxComponentLength,
                       std::uint32_t serialNumber, std::wstring label, std::wstring rootPath,
                       std::wstring fileSystemName)
    : fileSystemFlags(fileSystemFlags), maxComponentLength(maxComponentLength),
      serialNumber(serialNumber), label(std::move(label)), rootPath(std::move(rootPath)),
      fileSystemName(std::move(fileSystemName)) {}

VolumeInfo::VolumeInfo(const std::wstring& rootPath) : rootPath(rootPath) {
    wchar_t labelBuffer[256] = {};
    wchar_t nameBuffer[16] = {};
    DWORD serial = 0;
    DWORD maxLength = 0;
    DWORD flags = 0;
    if (!FileSystem_Win32::TheAPI(Source).GetVolumeInformationW(this->rootPath.c_str(), labelBuffer,
                                                                256, &serial, &maxLength, &flags,
                                                                nameBuffer, 16)) {
        TALVEN_RAISE_LAST_ERROR(this->rootPath);
    }
    // The buffers were zero-filled and the sizes given leave room for the terminator.
    labelBuffer[255] = L'\0';
    nameBuffer[15] = L'\0';
    label = labelBuffer;
    fileSystemName = nameBuffer;
    serialNumber = serial;
    maxComponentLength = maxLength;
    fileSystemFlags = flags;
}

bool operator==(const VolumeInfo& a, const VolumeInfo& b) {
    return a.rootPath == b.rootPath && a.label == b.label && a.serialNumber == b.serialNumber;
}

bool operator<(const VolumeInfo& a, const VolumeInfo& b) {
    return std::tie(a.rootPath, a.label, a.serialNumber) <
           std::tie(b.rootPath, b.label, b.serialNumber);
}

Volume_Win32::Volume_Win32(const VolumeInfo& info) : VolumeInfo(info) {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    fixed_ = api && api->GetDriveTypeW(rootPath.c_str()) == DRIVE_FIXED;
}

Volume_Win32::~Volume_Win32() = default;

CountedPtr<FileSpec_IF> Volume_Win32::GetAsFolder(CountedPtr<Volume_IF> self) {
    return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(rootPath), self));
}

namespace {

// The space figures of a root folder; all zero when the OS query fails, which the volume
// reports as 0 rather than raising.
struct DiskSpace {
    ULARGE_INTEGER availableToCaller = {};
    ULARGE_INTEGER total = {};
    ULARGE_INTEGER free = {};
};

DiskSpace QueryDiskSpace(const std::wstring& root) {
    DiskSpace space;
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    if (!api || !api->GetDiskFreeSpaceExW(root.c_str(), &space.availableToCaller, &space.total,
                                          &space.free)) {
        return DiskSpace();
    }
    return space;
}

} // namespace

std::uint64_t Volume_Win32::GetCapacity() {
    return QueryDiskSpace(rootPath).total.QuadPart;
}

std::uint64_t Volume_Win32::GetFreeSpace() {
    return QueryDiskSpace(rootPath).availableToCaller.QuadPart;
}

std::uint64_t Volume_Win32::GetMaxFileSize() {
    return MaxFileSizeFor(fileSystemName);
}

std::uint32_t Volume_Win32::GetMaxNameLength() {
    return maxComponentLength;
}

std::wstring Volume_Win32::GetName() {
    return label;
}

bool Volume_Win32::IsCaseSensitive() {
    return false;
}

bool Volume_Win32::IsEqualTo(CountedPtr<Volume_IF> other) {
    return other.Get() == static_cast<Volume_IF*>(this);
}

bool Volume_Win32::IsMounted() {
    if (!IsRemovable()) {
        return true;
    }
    try {
        return VolumeInfo(rootPath) == static_cast<const VolumeInfo&>(*this);
    } catch (const std::exception&) {
        // No medium, an unreadable one, or no API table: the medium is not (known to be) there.
        return false;
    }
}

bool Volume_Win32::IsRemote() {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    return api && api->GetDriveTypeW(rootPath.c_str()) == DRIVE_REMOTE;
}

std::uint32_t Volume_Win32::GetSerialNumber() {
    return serialNumber;
}

std::wstring Volume_Win32::GetFileSystemName() {
    return fileSystemName;
}

bool Volume_Win32::IsRemovable() {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    if (!api) {
        return false;
    }
    const UINT type = api->GetDriveTypeW(rootPath.c_str());
    return type == DRIVE_CDROM || type == DRIVE_REMOVABLE;
}

bool Volume_Win32::IsValid() {
    return IsMounted();
}

void Volume_Win32::Unmount() {
    if (!IsRemovable() || rootPath.size() < 2 || rootPath[1] != L':') {
        TALVEN_INTERNAL_ERROR(Source);
    }
    std::wstring device = L"\\\\.\\X:";
    device[4] = rootPath[0];

    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    // An optical drive cannot be opened for writing.
    const DWORD access = api.GetDriveTypeW(rootPath.c_str()) == DRIVE_CDROM
                             ? GENERIC_READ
                             : GENERIC_READ | GENERIC_WRITE;
    Win32Res::FileHandle handle(api.CreateFileW(device.c_str(), access,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        TALVEN_RAISE_LAST_ERROR(rootPath);
    }
    DWORD bytesReturned = 0;
    if (!::DeviceIoControl(handle.Get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &bytesReturned,
                           nullptr) ||
        !::DeviceIoControl(handle.Get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                           &bytesReturned, nullptr)) {
        TALVEN_RAISE_LAST_ERROR(rootPath);
    }
    // Closing the device (here or while the exception leaves) releases the lock.
}

std::uint64_t Volume_Win32::MaxFileSizeFor(const std::wstring& fileSystemName) {
    if (fileSystemName == L"FAT16" || fileSystemName == L"FAT32") {
        return 0x00000000FFFFFFFFull;
    }
    if (fileSystemName == L"NTFS") {
        return 0xFFFFFFFFFFFF0000ull;
    }
    return 0xFFFFFFFFFFFFFFFFull;
}

CountedPtr<Volume_IF> LookupVolume(const VolumeInfo& info, bool create) {
    const TalvenAutoCriticalSection guard(&VolumeTableLock());
    std::map<VolumeInfo, CountedPtr<Volume_IF>>& table = VolumeTable();
    const auto found = table.find(info);
    if (found != table.end()) {
        return found->second;
    }
    if (!create) {
        return CountedPtr<Volume_IF>();
    }
    CountedPtr<Volume_IF> volume(new Volume_Win32(info));
    table.emplace(info, volume);
    return volume;
}

CountedPtr<Volume_IF> FindFixedVolume(const std::wstring& rootPath) {
    const TalvenAutoCriticalSection guard(&VolumeTableLock());
    std::map<VolumeInfo, CountedPtr<Volume_IF>>& table = VolumeTable();
    // Ordered by root path first: the records of this root follow the smallest key for it.
    const VolumeInfo first(0, 0, 0, std::wstring(), rootPath, std::wstring());
    for (auto at = table.lower_bound(first); at != table.end() && at->first.rootPath == rootPath;
         ++at) {
        const auto* volume = dynamic_cast<const Volume_Win32*>(at->second.Get());
        if (volume && volume->IsFixedMedium()) {
            return at->second;
        }
    }
    return CountedPtr<Volume_IF>();
}

void ClearVolumeTable() {
    // Swapped out first, so that volume destructors never run while the table is mid-change.
    std::map<VolumeInfo, CountedPtr<Volume_IF>> old;
    {
        const TalvenAutoCriticalSection guard(&VolumeTableLock());
        old.swap(VolumeTable());
    }
}

} // namespace FileSystem
