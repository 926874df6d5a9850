// Volume: the copyable value that callers hold for a volume, sharing one volume object and
// forwarding each operation to it.
#pragma once

// FileSpec.h needs this class complete and includes this header after its own classes.
#include "Private/FileSpec.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"

#include <cstdint>
#include <string>

// Copies share the volume object. An empty handle holds none: its operations marked "raises"
// throw a FileException whose base is the internal-software-error TalvenException (code -2)
// for ".\Private\Volume", with an empty path and no cause; the others answer empty or false.
// Failures of the volume object pass through unchanged.
class Volume {
public:
    // The empty handle.
    Volume() = default;
    // Shares the given object (an empty pointer gives the empty handle).
    explicit Volume(CountedPtr<FileSystem::Volume_IF> impl);
    Volume(const Volume& other) = default;
    Volume& operator=(const Volume& other) = default;
    virtual ~Volume();

    // The root folder as a file spec on this volume. Raises when empty.
    FileSpec GetAsFolder() const;
    // Total size in bytes. Raises when empty.
    std::uint64_t GetCapacity() const;
    // Bytes free for the calling user. Raises when empty.
    std::uint64_t GetFreeSpace() const;
    // The largest possible file in bytes. Raises when empty.
    std::uint64_t GetMaxFileSize() const;
    // The longest single name the file system accepts. Raises when empty.
    std::uint32_t GetMaxNameLength() const;
    // The volume label. Empty when empty.
    std::wstring GetName() const;
    // Whether names differ by case. Raises when empty: there is no safe default for a
    // comparison that depends on it.
    bool IsCaseSensitive() const;
    // False when empty.
    bool IsMounted() const;
    // False when empty.
    bool IsRemote() const;
    // False when empty.
    bool IsRemovable() const;
    // False when empty.
    bool IsValid() const;
    // Locks and dismounts a removable drive-letter volume. Raises when empty, and what the
    // volume object raises.
    void Unmount() const;
    // The medium's serial number. Raises when empty.
    std::uint32_t GetSerialNumber() const;
    // The file-system name, for example "NTFS"; empty when the handle is empty.
    std::wstring GetFileSystemName() const;

    // True for the empty handle.
    bool IsNull() const { return impl_.IsNull(); }
    // The shared volume object (empty for the empty handle).
    CountedPtr<FileSystem::Volume_IF> GetImpl() const { return impl_; }
    // Two empty handles are equal; an empty and a bound one are not; objects of different
    // types are not; otherwise the object's IsEqualTo decides.
    bool operator==(const Volume& other) const;
    bool operator!=(const Volume& other) const { return !(*this == other); }

private:
    CountedPtr<FileSystem::Volume_IF> impl_;
};
