// The abstract interfaces of a file spec's implementation object: the file operations
// (FileSpec_IF), shortcut resolution (AliasSpec_IF), the folder operations (FolderSpec_IF) and
// the iterator over a folder's entries (FolderSpec_Iterator).
#pragma once

#include "Private/FileChannel_IF.h"
#include "Private/FilePath.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"
#include "support/DateTime.h"

#include <cstdint>
#include <string>

namespace FileSystem {

// Attribute flags of GetAttributes and SetAttributes; no other bits are used.
using Attributes = std::uint32_t;
constexpr Attributes AttributeArchive = 0x1;
constexpr Attributes AttributeHidden = 0x2;
constexpr Attributes AttributeReadOnly = 0x4;
constexpr Attributes AttributeSystem = 0x8;

// The file operations. A platform implementation class derives from FileSpec_IF, AliasSpec_IF
// and FolderSpec_IF, in that order, so one object offers all three; code holding a FileSpec_IF
// pointer reaches the others by a dynamic cast. An object names one path for its whole life:
// no operation changes what it names. Every failure of the operating system leaves an
// operation as a FileException naming this item's path.
class FileSpec_IF {
public:
    virtual ~FileSpec_IF() = default;
    // Creates the item as a new, empty file; an existing file raises FileExists.
    virtual void Create() = 0;
    // Creates the item as one folder; its parent must exist.
    virtual void CreateFolder() = 0;
    // Removes the file or empty folder; nothing there is not an error.
    virtual void Delete() = 0;
    // Time of last access, local time.
    virtual DateTime GetAccessDate() = 0;
    // The four attribute flags of the item.
    virtual Attributes GetAttributes() = 0;
    // GetBaseName of the path.
    virtual FilePath GetBaseName() = 0;
    // GetCanonical of the path, case-sensitive exactly when the volume is.
    virtual FilePath GetCanonicalPath() = 0;
    // Time of creation, local time.
    virtual DateTime GetCreationDate() = 0;
    // GetExtension of the path.
    virtual FilePath GetExtension() = 0;
    // Size of the file in bytes.
    virtual std::uint64_t GetFileSize() = 0;
    // Time of last write, local time.
    virtual DateTime GetModificationDate() = 0;
    // GetName of the path.
    virtual FilePath GetName() = 0;
    // The path in the form the OS calls take (with the long-path prefix).
    virtual std::wstring GetNativePath() = 0;
    // The normalised absolute path.
    virtual FilePath GetPath() = 0;
    // The volume the item lies on.
    virtual CountedPtr<Volume_IF> GetVolume() = 0;
    // The item is a shortcut (extension "lnk", any case).
    virtual bool IsAlias() = 0;
    // Both name the same item: the same object, or the same volume object and equal
    // canonical paths.
    virtual bool IsEqualTo(CountedPtr<FileSpec_IF> other) = 0;
    // The item is not a folder.
    virtual bool IsFile() = 0;
    // The item is a folder; a missing item raises rather than answering false.
    virtual bool IsFolder() = 0;
    // Something exists at the path; never raises.
    virtual bool IsPresent() = 0;
    // The path is the root of its volume.
    virtual bool IsRoot() = 0;
    // A new file spec for the path joined with name (one separator between them, none
    // added after a root).
    virtual CountedPtr<FileSpec_IF> MakeChild(const FilePath& name) = 0;
    // Opens the file as a byte channel. self is the caller's own pointer to this very object;
    // the channel keeps it.
    virtual CountedPtr<FileChannel_IF> OpenChannel(OpenMode mode, CountedPtr<FileSpec_IF> self) = 0;
    // The file spec of the containing folder; empty for a root.
    virtual CountedPtr<FileSpec_IF> ParentFolder() = 0;
    // Moves or renames the item to target's path.
    virtual void Rename(CountedPtr<FileSpec_IF> target) = 0;
    // The file spec of the root of the item's volume.
    virtual CountedPtr<FileSpec_IF> RootFolder() = 0;
    // Sets the time of last access.
    virtual void SetAccessDate(const DateTime& date) = 0;
    // Sets the four flags; all other attributes of the item are kept.
    virtual void SetAttributes(Attributes attributes) = 0;
    // Sets the time of creation.
    virtual void SetCreationDate(const DateTime& date) = 0;
    // Grows or cuts the file to exactly size bytes.
    virtual void SetFileSize(std::uint64_t size) = 0;
    // Sets the time of last write.
    virtual void SetModificationDate(const DateTime& date) = 0;
};

// Shortcut resolution.
class AliasSpec_IF {
public:
    virtual ~AliasSpec_IF() = default;
    // The file spec of the target of the shortcut file.
    virtual CountedPtr<FileSpec_IF> ResolveAlias() = 0;
};

// An iterator over the entries of one folder, in the order the OS returns them. No data.
class FolderSpec_Iterator {
public:
    virtual ~FolderSpec_Iterator() = default;
    // The next entry, or an empty pointer when there are no more (and on every later call).
    // Raises when an entry cannot be made into a file spec.
    virtual CountedPtr<FileSpec_IF> Next() = 0;
};

// The folder operations. Each takes, as self, the caller's own pointer to this very object, so
// that the iterators and child objects it makes can share it.
class FolderSpec_IF {
public:
    virtual ~FolderSpec_IF() = default;
    // Removes the folder with everything under it; a missing folder is not an error. Stops at
    // the first failure and raises it; what was deleted stays deleted.
    virtual void DeleteTree(CountedPtr<FolderSpec_IF> self) = 0;
    // Deletes the files of the folder, and its sub-folders with their trees when recursive.
    // Stops at the first failure and raises it.
    virtual void DeleteContents(bool recursive, CountedPtr<FolderSpec_IF> self) = 0;
    // An iterator over the folder's entries. Raises at once when the folder cannot be listed.
    virtual CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF> self) = 0;
};

} // namespace FileSystem
