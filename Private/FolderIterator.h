// FolderIterator: the copyable value that walks the entries of one folder, one at a time, in
// the order the OS returns them; and FolderEntryInfo_IF, through which an iterator
// implementation tells what each entry is from the listing itself.
#pragma once

#include "Private/FileSpec.h"
#include "Private/FileSpec_IF.h"
#include "support/CountedPtr.h"

#include <cstdint>
#include <string>

namespace FileSystem {

// What a listing knows about an entry without asking the OS again.
using EntryFlags = std::uint32_t;
constexpr EntryFlags EntryFolder = 0x1; // the entry is a folder (or a link to one)
constexpr EntryFlags EntryLink = 0x2;   // the entry is a link (junction, symbolic link): a
                                        // reparse point, which tree operations never enter

// Offered beside FolderSpec_Iterator by an iterator that reads each entry's kind and size from
// the listing (on Windows, the find data); found by a dynamic cast. No data. Step lets a walk
// that needs only what the listing says (a size, a name to match) go past an entry without
// making its file spec.
class FolderEntryInfo_IF {
public:
    virtual ~FolderEntryInfo_IF() = default;
    // The flags of the entry that the last Next returned; 0 before the first Next and once
    // Next has returned an empty pointer. After Step, those of the entry it moved to. Never
    // raises.
    virtual EntryFlags LastEntryFlags() const = 0;
    // Moves to the next entry like Next, without making its file spec; false at the end, and
    // on every later call. Never raises.
    virtual bool Step() = 0;
    // The name and the size (as the listing gives it; 0 for a folder) of the entry Step moved
    // to. Never raise.
    virtual const std::wstring& StepName() const = 0;
    virtual std::uint64_t StepSize() const = 0;
    // The file spec of the entry Step moved to; raises what Next raises for that entry.
    virtual CountedPtr<FileSpec_IF> MakeStepEntry() = 0;
};

} // namespace FileSystem

// The caller's loop:
//     for (FolderIterator it = folder.NewIterator(); !it.AtEnd(); it.Advance()) { it.Current(); }
// Copies share the implementation and so the one OS search: advancing one copy moves the
// search under the others too (each copy keeps its own current entry). The search is ended as
// soon as it runs out, or when the last copy goes. "." and ".." never appear.
class FolderIterator {
public:
    // An iterator at its end.
    FolderIterator() = default;
    // Takes the implementation and fetches the first entry at once (an empty pointer gives an
    // iterator at its end). Raises what the implementation's Next raises.
    explicit FolderIterator(CountedPtr<FileSystem::FolderSpec_Iterator> impl);
    FolderIterator(const FolderIterator& other) = default;
    FolderIterator& operator=(const FolderIterator& other) = default;
    ~FolderIterator();

    // The current entry; the empty FileSpec at the end.
    const FileSpec& Current() const { return current_; }
    // True once Current is the empty FileSpec.
    bool AtEnd() const { return current_.IsNull(); }
    // Moves to the next entry; at the end it does nothing. When there is no next entry the
    // implementation is let go, which ends the OS search. Raises what the implementation's
    // Next raises (an entry whose name cannot be made into a file spec, an OS failure that
    // breaks the listing off); the iterator then stays on its previous entry.
    void Advance();

    // Whether the current entry is a folder, and whether it is a link (a reparse point: a
    // junction or symbolic link, to a folder or a file). Answered from the listing when the
    // implementation offers FolderEntryInfo_IF, else by asking the OS about Current (and then
    // raising what that raises, for example for an entry deleted since it was listed). False
    // at the end.
    bool CurrentIsFolder() const;
    bool CurrentIsLink() const;
    // A folder that is a link: tree operations remove such an entry as a whole and never
    // descend into it, since it leads outside the tree or back into an ancestor.
    bool CurrentIsLinkedFolder() const { return CurrentIsFolder() && CurrentIsLink(); }

private:
    void Fetch();

    CountedPtr<FileSystem::FolderSpec_Iterator> impl_;
    FileSpec current_;
    FileSystem::EntryFlags currentFlags_ = 0;
    bool flagsKnown_ = false; // currentFlags_ came from the listing
};
