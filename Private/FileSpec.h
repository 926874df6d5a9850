// FileSpec: the copyable value that names one file or folder, sharing one implementation
// object (made by the registered class factory) and forwarding each operation to it; and
// FileSpec_Impl, through which library code reaches that object.
#pragma once

#include "Private/FileChannel_IF.h"
#include "Private/FilePath.h"
#include "Private/FileSpec_IF.h"
#include "support/CountedPtr.h"
#include "support/DateTime.h"

#include <cstdint>
#include <string>

class Volume;
class FileChannel;

// Copies share the implementation object; assignment replaces it. Each operation is
// FileSpec_IF's of the same name (FileSpec_IF.h states its contract). The empty file spec holds
// no object: the operations that answer a name, a path, an extension or a question (GetName,
// GetExtension, GetNativePath, GetPath, the Is* operations) give an empty value or false, and
// every other operation throws a FileException whose base is the internal-software-error
// TalvenException (code -2) for ".\Private\FileSpec", with an empty path and no cause.
// Failures inside the implementation object (bad paths, OS errors) pass through unchanged.
class FileSpec {
public:
    // The empty file spec.
    FileSpec() = default;
    // The implementation object the registered class factory makes for path; an empty path
    // gives the empty file spec. Raises the internal-software-error TalvenException (not a
    // FileException) when no factory is registered, even for an empty path, and the
    // implementation's FileException for a path it rejects.
    explicit FileSpec(const FilePath& path);
    // Shares the given object (an empty pointer gives the empty file spec).
    explicit FileSpec(CountedPtr<FileSystem::FileSpec_IF> impl);
    FileSpec(const FileSpec& other) = default;
    FileSpec& operator=(const FileSpec& other) = default;
    virtual ~FileSpec();

    void CreateFolder() const;
    void Delete() const;
    FileSystem::Attributes GetAttributes() const;
    FilePath GetExtension() const;
    std::uint64_t GetFileSize() const;
    DateTime GetModificationDate() const;
    FilePath GetName() const;
    std::wstring GetNativePath() const;
    FilePath GetPath() const;
    Volume GetVolume() const;
    bool IsAlias() const;
    bool IsFile() const;
    bool IsFolder() const;
    bool IsPresent() const;
    bool IsRoot() const;
    FileSpec MakeChild(const FilePath& name) const;
    // The channel shares this object.
    FileChannel OpenChannel(FileSystem::OpenMode mode) const;
    // The empty file spec for a root.
    FileSpec ParentFolder() const;
    // This object still names the old path afterwards. Raises when this file spec is empty,
    // and then when target is empty, before anything is moved.
    void Rename(const FileSpec& target) const;
    void SetAttributes(FileSystem::Attributes attributes) const;
    void SetModificationDate(const DateTime& date) const;

    // True for the empty file spec.
    bool IsNull() const { return impl_.IsNull(); }
    // Two empty file specs are equal; an empty and a bound one are not; objects of
    // different implementation types are never equal; otherwise the implementation's
    // IsEqualTo decides.
    bool operator==(const FileSpec& other) const;
    bool operator!=(const FileSpec& other) const { return !(*this == other); }

protected:
    CountedPtr<FileSystem::FileSpec_IF> impl_;
};

// A FileSpec that hands out its implementation object, for library code that must reach the
// operations FileSpec does not forward or test the object's run-time type.
class FileSpec_Impl : public FileSpec {
public:
    explicit FileSpec_Impl(const FileSpec& spec) : FileSpec(spec) {}
    ~FileSpec_Impl() override;

    // The implementation object, or nullptr for the empty file spec. Valid while this
    // object (or another owner) shares it.
    FileSystem::FileSpec_IF* GetImpl() const { return impl_.Get(); }
    // The same object as a shared pointer, for operations that take a spec pointer.
    CountedPtr<FileSystem::FileSpec_IF> GetImplPtr() const { return impl_; }
};
