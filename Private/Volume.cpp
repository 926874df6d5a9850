// Volume: forwarding to the shared volume object, with the empty-handle checks.
#include "Private/Volume.h"

#include "Private/EmptyHandleCheck.h"
#include "support/TalvenException.h"

#include <typeinfo>
#include <utility>

namespace {

const char* const Source = ".\\Private\\Volume";

} // namespace

Volume::Volume(CountedPtr<FileSystem::Volume_IF> impl) : impl_(std::move(impl)) {}

Volume::~Volume() = default;

FileSpec Volume::GetAsFolder() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return FileSpec(impl_->GetAsFolder(impl_));
}

std::uint64_t Volume::GetCapacity() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetCapacity();
}

std::uint64_t Volume::GetFreeSpace() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetFreeSpace();
}

std::uint64_t Volume::GetMaxFileSize() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetMaxFileSize();
}

std::uint32_t Volume::GetMaxNameLength() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetMaxNameLength();
}

std::wstring Volume::GetName() const {
    return impl_ ? impl_->GetName() : std::wstring();
}

bool Volume::IsCaseSensitive() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->IsCaseSensitive();
}

bool Volume::IsMounted() const {
    return impl_ && impl_->IsMounted();
}

bool Volume::IsRemote() const {
    return impl_ && impl_->IsRemote();
}

bool Volume::IsRemovable() const {
    return impl_ && impl_->IsRemovable();
}

bool Volume::IsValid() const {
    return impl_ && impl_->IsValid();
}

std::uint32_t Volume::GetSerialNumber() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetSerialNumber();
}

std::wstring Volume::GetFileSystemName() const {
    return impl_ ? impl_->GetFileSystemName() : std::wstring();
}

void Volume::Unmount() const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Unmount();
}

bool Volume::operator==(const Volume& other) const {
    if (impl_.IsNull()) {
        return other.impl_.IsNull();
    }
    if (other.impl_.IsNull()) {
        return false;
    }
    const FileSystem::Volume_IF& mine = *impl_;
    const FileSystem::Volume_IF& theirs = *other.impl_;
    if (typeid(mine) != typeid(theirs)) {
        return false;
    }
    return impl_->IsEqualTo(other.impl_);
}
