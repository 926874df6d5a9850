// FolderIterator: the portable walk over an iterator implementation, keeping the current entry.
#include "Private/FolderIterator.h"

#include "Private/FolderSpec.h"

#include <utility>

FolderIterator::FolderIterator(CountedPtr<FileSystem::FolderSpec_Iterator> impl)
    : impl_(std::move(impl)) {
    Fetch();
}

FolderIterator::~FolderIterator() = default;

void FolderIterator::Advance() {
    Fetch();
}

void FolderIterator::Fetch() {
    if (impl_.IsNull()) {
        current_ = FileSpec();
        currentFlags_ = 0;
        flagsKnown_ = false;
        return;
    }
    // Assigned only once Next has returned, so a raise leaves the previous entry in place.
    FileSpec next(impl_->Next());
    if (next.IsNull()) {
        // Letting the implementation go ends the OS search now rather than with the last copy.
        impl_ = CountedPtr<FileSystem::FolderSpec_Iterator>();
        current_ = FileSpec();
        currentFlags_ = 0;
        flagsKnown_ = false;
        return;
    }
    const auto* info = dynamic_cast<const FileSystem::FolderEntryInfo_IF*>(impl_.Get());
    current_ = std::move(next);
    currentFlags_ = info ? info->LastEntryFlags() : 0;
    flagsKnown_ = info != nullptr;
}

bool FolderIterator::CurrentIsFolder() const {
    if (flagsKnown_) {
        return (currentFlags_ & FileSystem::EntryFolder) != 0;
    }
    return current_.IsFolder();
}

bool FolderIterator::CurrentIsLink() const {
    if (flagsKnown_) {
        return (currentFlags_ & FileSystem::EntryLink) != 0;
    }
    return FileSystem::IsLink(current_);
}
