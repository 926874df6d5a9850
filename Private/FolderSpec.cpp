// FolderSpec: forwarding to the folder interface of the shared implementation object.
#include "Private/FolderSpec.h"

#include "Private/EmptyHandleCheck.h"
#include "support/TalvenException.h"

namespace {

const char* const Source = ".\\Private\\FolderSpec";

} // namespace

FolderSpec::FolderSpec(const FilePath& path) : FileSpec(path) {
    BindFolder();
}

FolderSpec::FolderSpec(const FileSpec& spec) : FileSpec(spec) {
    BindFolder();
}

FolderSpec::~FolderSpec() = default;

void FolderSpec::BindFolder() {
    // The cast shares the count of impl_, so both pointers keep the one object alive.
    folder_ = impl_.DynamicCast<FileSystem::FolderSpec_IF>();
    if (folder_.IsNull()) {
        impl_ = CountedPtr<FileSystem::FileSpec_IF>();
    }
}

FolderIterator FolderSpec::NewIterator() const {
    if (folder_.IsNull()) {
        FileSystem::RaiseEmptyHandle(Source, __LINE__);
    }
    return FolderIterator(folder_->NewIterator(folder_));
}

void FolderSpec::DeleteTree() const {
    if (folder_.IsNull()) {
        FileSystem::RaiseEmptyHandle(Source, __LINE__);
    }
    folder_->DeleteTree(folder_);
}

void FolderSpec::DeleteContents(bool recursive) const {
    if (folder_.IsNull()) {
        FileSystem::RaiseEmptyHandle(Source, __LINE__);
    }
    folder_->DeleteContents(recursive, folder_);
}
