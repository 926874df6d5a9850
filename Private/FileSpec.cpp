// FileSpec: forwarding to the shared implementation object, with the empty-spec checks.
#include "Private/FileSpec.h"

#include "Private/EmptyHandleCheck.h"
#include "Private/FileChannel.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Volume.h"
#include "support/TalvenException.h"

#include <typeinfo>
#include <utility>

namespace {

const char* const Source = ".\\Private\\FileSpec";

} // namespace

FileSpec::FileSpec(const FilePath& path)
    : impl_(FileSystem::ClassFactory_IF::NewFileSpec(path, CountedPtr<FileSystem::Volume_IF>())) {}

FileSpec::FileSpec(CountedPtr<FileSystem::FileSpec_IF> impl) : impl_(std::move(impl)) {}

FileSpec::~FileSpec() = default;

void FileSpec::CreateFolder() const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->CreateFolder();
}

void FileSpec::Delete() const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Delete();
}

FileSystem::Attributes FileSpec::GetAttributes() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetAttributes();
}

FilePath FileSpec::GetExtension() const {
    return impl_ ? impl_->GetExtension() : FilePath();
}

std::uint64_t FileSpec::GetFileSize() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetFileSize();
}

DateTime FileSpec::GetModificationDate() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetModificationDate();
}

FilePath FileSpec::GetName() const {
    return impl_ ? impl_->GetName() : FilePath();
}

std::wstring FileSpec::GetNativePath() const {
    return impl_ ? impl_->GetNativePath() : std::wstring();
}

FilePath FileSpec::GetPath() const {
    return impl_ ? impl_->GetPath() : FilePath();
}

Volume FileSpec::GetVolume() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return Volume(impl_->GetVolume());
}

bool FileSpec::IsAlias() const {
    return impl_ && impl_->IsAlias();
}

bool FileSpec::IsFile() const {
    return impl_ && impl_->IsFile();
}

bool FileSpec::IsFolder() const {
    return impl_ && impl_->IsFolder();
}

bool FileSpec::IsPresent() const {
    return impl_ && impl_->IsPresent();
}

bool FileSpec::IsRoot() const {
    return impl_ && impl_->IsRoot();
}

FileSpec FileSpec::MakeChild(const FilePath& name) const {
    TALVEN_REQUIRE_IMPL(impl_);
    return FileSpec(impl_->MakeChild(name));
}

FileChannel FileSpec::OpenChannel(FileSystem::OpenMode mode) const {
    TALVEN_REQUIRE_IMPL(impl_);
    return FileChannel(impl_->OpenChannel(mode, impl_));
}

FileSpec FileSpec::ParentFolder() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return FileSpec(impl_->ParentFolder());
}

void FileSpec::Rename(const FileSpec& target) const {
    TALVEN_REQUIRE_IMPL(impl_);
    TALVEN_REQUIRE_IMPL(target.impl_);
    impl_->Rename(target.impl_);
}

void FileSpec::SetAttributes(FileSystem::Attributes attributes) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->SetAttributes(attributes);
}

void FileSpec::SetModificationDate(const DateTime& date) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->SetModificationDate(date);
}

bool FileSpec::operator==(const FileSpec& other) const {
    if (impl_.IsNull()) {
        return other.impl_.IsNull();
    }
    if (other.impl_.IsNull()) {
        return false;
    }
    // Dynamic types first: implementations of different platforms never name the same item,
    // and IsEqualTo may assume its argument is of its own type.
    const FileSystem::FileSpec_IF& mine = *impl_;
    const FileSystem::FileSpec_IF& theirs = *other.impl_;
    if (typeid(mine) != typeid(theirs)) {
        return false;
    }
    return impl_->IsEqualTo(other.impl_);
}

FileSpec_Impl::~FileSpec_Impl() = default;
