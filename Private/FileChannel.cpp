// FileChannel: forwarding to the shared channel object, with the empty-handle checks.
#include "Private/FileChannel.h"

#include "Private/EmptyHandleCheck.h"
#include "support/TalvenException.h"

#include <utility>

namespace {

const char* const Source = ".\\Private\\FileChannel";

} // namespace

FileChannel::FileChannel(CountedPtr<FileSystem::FileChannel_IF> impl) : impl_(std::move(impl)) {}

FileChannel::~FileChannel() = default;

void FileChannel::Close() const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Close();
}

void FileChannel::Flush() const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Flush();
}

std::uint64_t FileChannel::GetEndOfFile() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetEndOfFile();
}

FileSpec FileChannel::GetFileSpec() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return FileSpec(impl_->GetFileSpec());
}

std::uint64_t FileChannel::GetPosition() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->GetPosition();
}

bool FileChannel::IsOpen() const {
    return impl_ && impl_->IsOpen();
}

void FileChannel::Read(void* buffer, std::size_t count, std::size_t& bytesRead) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Read(buffer, count, bytesRead);
}

std::FILE* FileChannel::ReleaseToStdio() const {
    TALVEN_REQUIRE_IMPL(impl_);
    return impl_->ReleaseToStdio();
}

void FileChannel::SetEndOfFile(std::uint64_t length) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->SetEndOfFile(length);
}

void FileChannel::SetPosition(std::uint64_t position) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->SetPosition(position);
}

void FileChannel::Write(const void* buffer, std::size_t count) const {
    TALVEN_REQUIRE_IMPL(impl_);
    impl_->Write(buffer, count);
}
