// The Windows class factory and the library's start-up.
#include "Private/Windows/FileSystem_Win32_Install.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/SystemFamily.h"

#include <atomic>

namespace FileSystem {

ClassFactory::ClassFactory() = default;

ClassFactory::~ClassFactory() = default;

FileSpec_IF* ClassFactory::MakeFileSpec(const FilePath& path, CountedPtr<Volume_IF> volume) {
    if (path.IsEmpty()) {
        return nullptr;
    }
    if (SystemFamily::IsWindows9x()) {
        return new FileSpec_Win9X(path, std::move(volume));
    }
    return new FileSpec_Win32(path, std::move(volume));
}

} // namespace FileSystem

namespace FileSystem_Win32 {

namespace {
std::atomic<bool> started{false};
} // namespace

void Install() {
    if (started.load()) {
        return;
    }
    CreateAPI();
    FileSystem::ClassFactory_IF::SetInstance(
        CountedPtr<FileSystem::ClassFactory_IF>(new FileSystem::ClassFactory()));
    started.store(true);
}

bool IsStarted() {
    return started.load();
}

void ClearStarted() {
    started.store(false);
}

} // namespace FileSystem_Win32
