// The process-wide class factory registration.
#include "Private/FileSystem_ClassFactory_IF.h"

#include "support/TalvenException.h"

#include <utility>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\FileSystem_ClassFactory_IF";

// A function-local static, so that a registration made during another unit's static
// initialisation finds it constructed; it is released at static destruction.
CountedPtr<ClassFactory_IF>& Registered() {
    static CountedPtr<ClassFactory_IF> factory;
    return factory;
}

} // namespace

void ClassFactory_IF::SetInstance(CountedPtr<ClassFactory_IF> factory) {
    CountedPtr<ClassFactory_IF>& registered = Registered();
    if (registered.IsNull()) {
        registered = std::move(factory);
    }
}

FileSpec_IF* ClassFactory_IF::NewFileSpec(const FilePath& path, CountedPtr<Volume_IF> volume) {
    const CountedPtr<ClassFactory_IF>& registered = Registered();
    if (registered.IsNull()) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    if (path.IsEmpty()) {
        return nullptr;
    }
    return registered->MakeFileSpec(path, std::move(volume));
}

} // namespace FileSystem
