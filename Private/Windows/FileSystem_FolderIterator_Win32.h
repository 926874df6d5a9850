// The Windows listing of a folder over FindFirstFileW/FindNextFileW, and the folder operations
// of FileSpec_Win32 built on it: NewIterator, DeleteContents, DeleteTree.
#pragma once

#include "Private/FileSpec_IF.h"
#include "Private/FolderIterator.h"
#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "support/CountedPtr.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <string>

namespace FileSystem {

// Reachable as FileSpec_Win32::Iterator. Two states: Listing (search handle open, one entry
// buffered) and Exhausted (no handle; Next answers empty forever). "." and ".." are skipped
// wherever the OS returns them. Meant for one thread.
class FolderIterator_Win32 : public FolderSpec_Iterator, public FolderEntryInfo_IF {
public:
    // The search pattern for a folder's long path: "*.*" appended to a root (which ends in
    // "\"), "\*.*" to any other folder.
    static std::wstring PatternFor(const std::wstring& longPath);

    // Starts the search on folder (which it keeps alive). Raises the FileException of the OS
    // error for the folder's path when the search cannot start: FileNotFound or
    // FilePathNotFound for a missing folder or a file, AccessDenied, FileNotFound for a root
    // without entries; the internal-software-error TalvenException for
    // ".\Private\Windows\FileSystem_FolderIterator_Win32" for an empty folder pointer.
    explicit FolderIterator_Win32(CountedPtr<FileSpec_Win32> folder);
    ~FolderIterator_Win32() override;
    FolderIterator_Win32(const FolderIterator_Win32&) = delete;
    FolderIterator_Win32& operator=(const FolderIterator_Win32&) = delete;

    // The buffered entry as a new file spec (the folder's MakeChild, on its volume), then
    // buffers the following one. The end of the listing ends it quietly; any other OS failure
    // while fetching raises its FileException for the folder's path. Empty once exhausted.
    // Raises what MakeChild raises for a name that cannot be made into a file spec, and
    // InvalidFilePath (for the folder's path joined with the name) for one that normalisation
    // would change into another name (a name ending in a space or a dot); the listing then goes
    // on after that entry.
    CountedPtr<FileSpec_IF> Next() override;
    // EntryFolder from FILE_ATTRIBUTE_DIRECTORY, EntryLink from FILE_ATTRIBUTE_REPARSE_POINT,
    // of the entry the last Next returned.
    EntryFlags LastEntryFlags() const override { return lastFlags_; }
    // The listing's own view of the next entry (FolderEntryInfo_IF); MakeStepEntry raises as
    // Next does.
    bool Step() override;
    const std::wstring& StepName() const override { return stepName_; }
    std::uint64_t StepSize() const override { return stepSize_; }
    CountedPtr<FileSpec_IF> MakeStepEntry() override;
    // Whether a search is still open (one entry buffered).
    bool IsListing() const { return find_.IsValid(); }

private:
    // Fetches entries until one is neither "." nor ".."; at the end closes the search, on any
    // other error closes it and raises.
    void Advance();
    bool BufferIsDotEntry() const;

    CountedPtr<FileSpec_Win32> folder_;
    Win32Res::FindHandle find_;
    WIN32_FIND_DATAW data_;
    EntryFlags lastFlags_ = 0;
    std::wstring stepName_;
    std::uint64_t stepSize_ = 0;
};

// The folder operations of FileSpec_Win32. self must point at a FileSpec_Win32 (it is the
// object the operation works on); anything else raises the internal-software-error
// TalvenException for ".\Private\Windows\FileSystem_FolderIterator_Win32".
namespace FolderOps_Win32 {

// A FolderIterator_Win32 over self; raises as its constructor.
CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF> self);
// Lists self and, per entry in listing order: deletes a file or a link to a file
// (FileSpec_Win32::Delete, with its read-only retry); with recursive, removes a link to a
// folder as a link (never entering it) and a sub-folder with DeleteTree; without, leaves
// folders and folder links. Nothing outside the folder is ever removed or changed: a link that
// the OS cannot remove without touching its target (under Wine, every link) stays as it is,
// and AccessDenied is raised for its path. Stops at the first raise; what was deleted stays
// deleted.
void DeleteContents(bool recursive, CountedPtr<FolderSpec_IF> self);
// Nothing when self is not there (an error of that check other than "not found" raises). A
// link is removed as a link (or refused as above). Otherwise DeleteContents (recursive) and
// then the folder itself. Raises what those raise.
void DeleteTree(CountedPtr<FolderSpec_IF> self);
// The Win32 attributes of the item at a long path, as GetFileAttributesExW gives them (those
// of a link itself, not of its target); false when the OS cannot tell. Never raises.
bool ReadAttributes(const std::wstring& longPath, DWORD& attributes);

} // namespace FolderOps_Win32

} // namespace FileSystem
