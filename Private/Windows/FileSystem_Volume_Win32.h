// The Windows volume: the record of what the OS reports about a volume (VolumeInfo, also the key
// of the process-wide volume table), the volume object built on it (Volume_Win32), and the
// table that keeps one volume object per medium.
#pragma once

#include "Private/FileSpec_IF.h"
#include "Private/Volume_IF.h"
#include "Private/Windows/TalvenWindows.h"
#include "support/CountedPtr.h"

#include <cstdint>
#include <string>

// <windows.h> still defines the Win16 GetFreeSpace as a macro, which would rewrite the volume
// operation of that name wherever both are seen.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif

namespace FileSystem {

// A plain record. Two records are equal when root path, label and serial number are equal; they
// are ordered by root path, then label, then serial number (strings by code unit, the serial as
// unsigned). Flags, component length and file-system name take no part in either.
class VolumeInfo {
public:
    // A record with the given values, no OS call (for tables and tests).
    VolumeInfo(std::uint32_t fileSystemFlags, std::uint32_t maxComponentLength,
               std::uint32_t serialNumber, std::wstring label, std::wstring rootPath,
               std::wstring fileSystemName);
    // Reads the record of the volume at rootPath ("X:\" or "\\server\share\") with
    // GetVolumeInformationW: at most 255 characters of label and 15 of file-system name.
    // Raises the FileException of the OS error for rootPath (an empty drive gives
    // MediaNotFound). Needs the API table (FileSystem_Win32::Install).
    explicit VolumeInfo(const std::wstring& rootPath);

    friend bool operator==(const VolumeInfo& a, const VolumeInfo& b);
    friend bool operator!=(const VolumeInfo& a, const VolumeInfo& b) { return !(a == b); }
    friend bool operator<(const VolumeInfo& a, const VolumeInfo& b);

    std::uint32_t fileSystemFlags = 0; // as reported; kept, not otherwise used
    std::uint32_t maxComponentLength = 0;
    std::uint32_t serialNumber = 0;
    std::wstring label;
    std::wstring rootPath;
    std::wstring fileSystemName; // for example "NTFS"
};

// One medium. Holds the record it was made from, never refreshed. Made only by LookupVolume;
// read-only afterwards, so its operations may run on any thread.
class Volume_Win32 : public VolumeInfo, public Volume_IF {
public:
    // Also notes, once, whether the medium sits on a fixed disk (GetDriveTypeW is DRIVE_FIXED).
    explicit Volume_Win32(const VolumeInfo& info);
    ~Volume_Win32() override;

    // True when the medium is a fixed disk, as noted at construction. A fixed medium cannot be
    // swapped, so file specs made on this volume may trust its record instead of reading
    // the volume information again for every entry of a listing. Never raises.
    bool IsFixedMedium() const { return fixed_; }

    // The root folder, made by the class factory from the root path and self. Raises what the
    // factory raises (the internal-software-error TalvenException before start-up, a
    // FileException when the medium cannot be read, or the internal-software-error
    // TalvenException when the medium in the drive is no longer this one).
    CountedPtr<FileSpec_IF> GetAsFolder(CountedPtr<Volume_IF> self) override;
    // Total bytes (GetDiskFreeSpaceExW); 0 when the OS query fails. Never raises.
    std::uint64_t GetCapacity() override;
    // Bytes available to the calling user; 0 when the OS query fails. Never raises.
    std::uint64_t GetFreeSpace() override;
    // MaxFileSizeFor the file-system name. Never raises.
    std::uint64_t GetMaxFileSize() override;
    // The record's maximum component length. Never raises.
    std::uint32_t GetMaxNameLength() override;
    // A copy of the label. Never raises.
    std::wstring GetName() override;
    // False: Windows names differ by case only in spelling. Never raises.
    bool IsCaseSensitive() override;
    // True when other is this very object. Never raises.
    bool IsEqualTo(CountedPtr<Volume_IF> other) override;
    // True for a volume that is not removable, without asking the OS. For a removable one, a
    // fresh record of the root path must equal the stored one; any failure answers false.
    // Never raises.
    bool IsMounted() override;
    // GetDriveTypeW of the root path is DRIVE_REMOTE. Never raises.
    bool IsRemote() override;
    // GetDriveTypeW of the root path is DRIVE_CDROM or DRIVE_REMOVABLE. Never raises.
    bool IsRemovable() override;
    // Same as IsMounted.
    bool IsValid() override;
    // Opens the device "\\.\X:" (read-only for an optical drive, else read-write), locks and
    // dismounts the volume, and closes the device again, which releases the lock; the medium
    // is not ejected. Raises the internal-software-error TalvenException (code -2) without
    // opening anything when the volume is not removable or has no drive letter (fixed disks,
    // network shares), and the FileException of the OS error (for the root path) when the
    // device cannot be opened, locked or dismounted.
    void Unmount() override;
    // The serial number of the record. Never raises.
    std::uint32_t GetSerialNumber() override;
    // The file-system name of the record. Never raises.
    std::wstring GetFileSystemName() override;

    // The largest file of a file system, by exact, case-sensitive name: "FAT16" and "FAT32"
    // 0xFFFFFFFF, "NTFS" 0xFFFFFFFFFFFF0000, anything else 0xFFFFFFFFFFFFFFFF (no limit).
    static std::uint64_t MaxFileSizeFor(const std::wstring& fileSystemName);

private:
    bool fixed_ = false;
};

// The volume object the volume table holds for info. When there is none: with create, a new
// Volume_Win32 made from a copy of info is entered and returned; without, the result is
// empty. Because label and serial number are part of the key, another medium in the same
// drive gets another object. Raises only std::bad_alloc. The table is locked, so threads may
// look up at once; they get one object per medium.
CountedPtr<Volume_IF> LookupVolume(const VolumeInfo& info, bool create);

// The volume the table holds for a fixed disk at rootPath, or empty when it holds none (or the
// medium at rootPath is removable, optical or remote). Asks the OS nothing. Raises only
// std::bad_alloc.
CountedPtr<Volume_IF> FindFixedVolume(const std::wstring& rootPath);

// Empties the volume table (under its lock); objects still shared elsewhere live on. For the
// library's shut-down. Never raises.
void ClearVolumeTable();

} // namespace FileSystem
