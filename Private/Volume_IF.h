// The abstract volume: the disk, partition, removable medium or network share a file lies on.
// There is one object per medium, so identity of volume objects means the same medium.
#pragma once

#include "support/CountedPtr.h"

#include <cstdint>
#include <string>

namespace FileSystem {

class FileSpec_IF;

// No data. Implementations are read-only after construction.
class Volume_IF {
public:
    virtual ~Volume_IF() = default;
    // The root folder as a file spec on this volume. self is the caller's own
    // pointer to this very object; the file spec keeps it. Raises what the class
    // factory raises.
    virtual CountedPtr<FileSpec_IF> GetAsFolder(CountedPtr<Volume_IF> self) = 0;
    // Total size in bytes.
    virtual std::uint64_t GetCapacity() = 0;
    // Bytes free for the calling user.
    virtual std::uint64_t GetFreeSpace() = 0;
    // The largest possible file in bytes.
    virtual std::uint64_t GetMaxFileSize() = 0;
    // The longest single name the file system accepts.
    virtual std::uint32_t GetMaxNameLength() = 0;
    // The volume label.
    virtual std::wstring GetName() = 0;
    // Whether names on the volume differ by case.
    virtual bool IsCaseSensitive() = 0;
    // True when other is this very object.
    virtual bool IsEqualTo(CountedPtr<Volume_IF> other) = 0;
    // Whether the medium this object describes is still in place; never raises.
    virtual bool IsMounted() = 0;
    // The volume is a network share.
    virtual bool IsRemote() = 0;
    // The medium is removable (removable disk or optical drive).
    virtual bool IsRemovable() = 0;
    // Same as IsMounted.
    virtual bool IsValid() = 0;
    // Locks and dismounts a removable drive-letter volume. Raises the internal-software-error
    // TalvenException for any other volume, and a FileException when the OS refuses.
    virtual void Unmount() = 0;
    // The serial number the OS reports for the medium (given when it was formatted). Never
    // raises.
    virtual std::uint32_t GetSerialNumber() = 0;
    // The file-system name the OS reports, for example "NTFS". Never raises.
    virtual std::wstring GetFileSystemName() = 0;
};

} // namespace FileSystem
