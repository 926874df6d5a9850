// Test support: the extra drives that tests/fixtures lays out from the Linux side. Q: is a 1 MiB
// tmpfs volume (util-tmpfs-drive.sh, root only) on which each run works in a folder of its own;
// T: is an optical drive (setup-drives.sh) whose medium a test can swap and put back.
#pragma once

#include "Private/FileSpec.h"

#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace TalvenTest {

// Whether the drive exists and the library can bind its volume (Wine's mount manager knows a
// new drive letter only after the prefix's server has restarted).
inline bool DriveUsable(const wchar_t* root) {
    try {
        return ::GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES &&
               !FileSpec(FilePath(root)).IsNull();
    } catch (const std::exception&) {
        return false;
    }
}

// Whether the tmpfs drive Q: is there to fill.
inline bool TmpfsDriveUsable() {
    return ::GetFileAttributesW(L"Q:\\.util-tmpfs") != INVALID_FILE_ATTRIBUTES &&
           DriveUsable(L"Q:\\");
}

const wchar_t* const DriveT = L"T:\\";

inline bool DriveTPresent() {
    wchar_t label[256] = {};
    return ::GetDriveTypeW(DriveT) == DRIVE_CDROM &&
           ::GetVolumeInformationW(DriveT, label, 256, nullptr, nullptr, nullptr, nullptr, 0) &&
           std::wstring(label) == L"TALVENCD";
}

inline DWORD SerialOfT() {
    DWORD serial = 0;
    ::GetVolumeInformationW(DriveT, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
    return serial;
}

namespace TestDrivesDetail {
// Wine's own mount-manager control for defining a drive letter (not part of Windows).
constexpr DWORD DefineUnixDrive =
    CTL_CODE(0x6D, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct UnixDrive {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};
} // namespace TestDrivesDetail

// Puts a medium with the given serial number into T:. Wine reads a medium's serial number only
// when a drive is defined, so T: is defined again through the mount manager from the folder
// whose Linux path the fixture left in T:\.talven-unix-path. False when any step fails.
inline bool SwapMediumOfT(DWORD serial) {
    using namespace TestDrivesDetail;
    char hex[9] = {};
    std::snprintf(hex, sizeof(hex), "%08lX", static_cast<unsigned long>(serial));
    {
        const Win32Res::FileHandle file(::CreateFileW(L"T:\\.windows-serial", GENERIC_WRITE, 0,
                                                      nullptr, TRUNCATE_EXISTING, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.Get(), hex, 8, &written, nullptr) || written != 8) {
            return false;
        }
    }
    char mountPoint[4096] = {};
    DWORD read = 0;
    {
        const Win32Res::FileHandle file(::CreateFileW(L"T:\\.talven-unix-path", GENERIC_READ,
                                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                                      nullptr));
        if (!file || !::ReadFile(file.Get(), mountPoint, sizeof(mountPoint) - 1, &read, nullptr)) {
            return false;
        }
    }
    std::vector<char> request(sizeof(UnixDrive) + read + 1, '\0');
    UnixDrive* drive = reinterpret_cast<UnixDrive*>(request.data());
    drive->size = static_cast<ULONG>(request.size());
    drive->type = DRIVE_CDROM;
    drive->letter = L't';
    drive->mountPointOffset = sizeof(UnixDrive);
    std::memcpy(request.data() + sizeof(UnixDrive), mountPoint, read);
    const Win32Res::FileHandle manager(
        ::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD returned = 0;
    return manager &&
           ::DeviceIoControl(manager.Get(), DefineUnixDrive, request.data(),
                             static_cast<DWORD>(request.size()), nullptr, 0, &returned, nullptr) &&
           SerialOfT() == serial;
}

// Puts the medium found when made back into T: however the test ends (a failed swap back shows
// in the caller's next check of SerialOfT).
class MediumGuard {
public:
    MediumGuard() : original_(SerialOfT()) {}
    ~MediumGuard() {
        if (original_ != 0 && SerialOfT() != original_) {
            SwapMediumOfT(original_);
        }
    }
    MediumGuard(const MediumGuard&) = delete;
    MediumGuard& operator=(const MediumGuard&) = delete;
    DWORD Original() const { return original_; }

private:
    DWORD original_;
};

} // namespace TalvenTest
