// FolderSpec: a FileSpec whose implementation object also offers the folder operations
// (listing, emptying, removing a tree); and the link tests that every tree operation uses to
// keep out of junctions and symbolic links.
#pragma once

#include "Private/FileSpec.h"
#include "Private/FileSpec_IF.h"
#include "Private/FilePath.h"
#include "Private/FolderIterator.h"
#include "support/CountedPtr.h"

// Says nothing about what is on disk: it may name a folder, a file or nothing at all; only its
// operations find out. The empty FolderSpec holds no implementation (neither pointer); its
// operations below raise a FileException with an empty path and no cause whose base is the
// internal-software-error TalvenException for ".\Private\FolderSpec". The inherited FileSpec
// operations behave as for the empty FileSpec.
class FolderSpec : public FileSpec {
public:
    // The empty FolderSpec.
    FolderSpec() = default;
    // The implementation object the class factory makes for path (see FileSpec); raises what
    // that constructor raises.
    explicit FolderSpec(const FilePath& path);
    // Shares spec's implementation object. An object without the folder interface gives the
    // empty FolderSpec (on Windows every implementation has it).
    explicit FolderSpec(const FileSpec& spec);
    FolderSpec(const FolderSpec& other) = default;
    FolderSpec& operator=(const FolderSpec& other) = default;
    ~FolderSpec() override;

    // An iterator over the folder's entries, already on the first one. Raises at once when the
    // folder cannot be listed: FileNotFound or FilePathNotFound for a missing folder (also for
    // a file), AccessDenied when listing is refused, FileNotFound for a root without entries.
    FolderIterator NewIterator() const;
    // Removes the folder with everything under it, the folder itself last; a missing folder is
    // not an error. Read-only items are deleted too. A link met inside the tree (a junction
    // or symbolic link) is removed itself: what it leads to is never entered or touched. When
    // the folder itself is a link, only the link is removed. Where the OS cannot remove a link
    // without acting on its target (under Wine, any Linux symbolic link, also one to a file),
    // the link and its target stay as they are and AccessDenied is raised for the link's path.
    // Stops at the first failure and raises it; what was deleted stays deleted.
    void DeleteTree() const;
    // Deletes the files of the folder; with recursive, also its sub-folders with their trees
    // (links removed as in DeleteTree); without, every sub-folder and folder link stays as it
    // is. Raises as NewIterator when the folder cannot be listed, then as DeleteTree.
    void DeleteContents(bool recursive) const;

    // The folder interface of the implementation object; empty for the empty FolderSpec.
    CountedPtr<FileSystem::FolderSpec_IF> GetFolderImpl() const { return folder_; }

private:
    void BindFolder();

    CountedPtr<FileSystem::FolderSpec_IF> folder_;
};

namespace FileSystem {

// Whether spec names a link: a junction or symbolic link (a reparse point), to a folder or a
// file. Reads the item's own attributes, not those of its target (one OS call). False for the
// empty FileSpec and for a missing item; never raises except std::bad_alloc.
bool IsLink(const FileSpec& spec);
// Whether spec names a link to a folder (a junction or folder symbolic link; under Wine, a
// Linux symbolic link to a folder): the entry that GetFolderSize, FindFiles, FindFolders,
// CopyFolder, DeleteTree and DeleteContents must never descend into. Same rules as IsLink.
// Inside a listing, FolderIterator::CurrentIsLinkedFolder answers the same without the call.
bool IsLinkedFolder(const FileSpec& spec);

// Raises AccessDenied for spec's path (no cause) when removing the item would remove or change
// anything besides it: a link that the OS cannot remove without acting on its target (under
// Wine, any Linux symbolic link), or a name that leads to an item elsewhere (Wine lists a Linux
// link to a file as a plain file). Nothing for a missing item or the empty FileSpec. A few OS
// calls; raises nothing else but std::bad_alloc.
void CheckRemovesOnlyItself(const FileSpec& spec);

// Whether inner is the folder outer or lies inside it, decided by identity (volume serial
// number and file index of inner and of each folder above it, compared with outer's), so that
// a path through a linked folder or through a second drive letter for the same folder is seen
// too; by the paths alone where the OS cannot tell identities. False when either is empty.
// Raises only std::bad_alloc.
bool IsSameOrInside(const FileSpec& inner, const FileSpec& outer);

} // namespace FileSystem
