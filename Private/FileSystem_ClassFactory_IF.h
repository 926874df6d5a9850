// The class factory interface and its process-wide registration: how a path becomes a
// platform implementation object without the portable classes naming a platform class.
#pragma once

#include "Private/FilePath.h"
#include "Private/FileSpec_IF.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"

namespace FileSystem {

// No data. The platform registers one factory at start-up; the first registration stays for
// the life of the process.
class ClassFactory_IF {
public:
    // A new implementation object for path, owned by the caller, or nullptr when path is
    // empty. volume is the volume the path is known to lie on, or empty; the object keeps it.
    // Raises the implementation's FileException for a path it rejects.
    // (Named apart from the static NewFileSpec below: C++ does not let a static and a
    // non-static member share a name and a parameter list.)
    virtual FileSpec_IF* MakeFileSpec(const FilePath& path, CountedPtr<Volume_IF> volume) = 0;
    virtual ~ClassFactory_IF() = default;

    // Registers factory as the process-wide factory when none is registered yet; otherwise
    // does nothing. Call once at start-up on one thread: the registration takes no lock.
    static void SetInstance(CountedPtr<ClassFactory_IF> factory);
    // A new implementation object made by the registered factory, owned by the caller, or
    // nullptr when path is empty. Raises the internal-software-error TalvenException (code -2,
    // ".\Private\FileSystem_ClassFactory_IF") when no factory is registered, before looking at
    // path; otherwise whatever the factory raises.
    static FileSpec_IF* NewFileSpec(const FilePath& path,
                                    CountedPtr<Volume_IF> volume = CountedPtr<Volume_IF>());
};

} // namespace FileSystem
