// Volume: the copyable value that callers hold for a volume, sharing one volume object and
// forwarding each operation to it.
#pragma once

#include "Private/FileSpec.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"

#include <cstdint>
#include <string>

// Copies share the volume object. Each operation is Volume_IF's of the same name (Volume_IF.h
// states its contract). An empty handle holds no object: GetName and GetFileSystemName answer
// empty and the Is* operations false (IsCaseSensitive excepted: there is no safe default for a
// comparison that depends on it); every other operation throws a FileException whose base is
// the internal-software-error TalvenException (code -2) for ".\Private\Volume", with an empty
// path and no cause. Failures of the volume object pass through unchanged.
class Volume {
public:
    // The empty handle.
    Volume() = default;
    // Shares the given object (an empty pointer gives the empty handle).
    explicit Volume(CountedPtr<FileSystem::Volume_IF> impl);
    Volume(const Volume& other) = default;
    Volume& operator=(const Volume& other) = default;
    virtual ~Volume();

    // The root folder as a file spec on this volume.
    FileSpec GetAsFolder() const;
    std::uint64_t GetCapacity() const;
    std::uint64_t GetFreeSpace() const;
    std::uint64_t GetMaxFileSize() const;
    std::uint32_t GetMaxNameLength() const;
    std::wstring GetName() const;
    bool IsCaseSensitive() const;
    bool IsMounted() const;
    bool IsRemote() const;
    bool IsRemovable() const;
    bool IsValid() const;
    void Unmount() const;
    std::uint32_t GetSerialNumber() const;
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
