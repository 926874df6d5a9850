// The library's Windows start-up: the class factory that makes Windows file specs, and
// Install, which creates the API table, registers that factory and sets the started flag.
#pragma once

#include "Private/FilePath.h"
#include "Private/FileSpec_IF.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"

namespace FileSystem {

// No fields. Decides the class on every call, nothing is cached.
class ClassFactory : public ClassFactory_IF {
public:
    ClassFactory();
    ~ClassFactory() override;

    // nullptr for an empty path. Otherwise a new FileSpec_Win9X when GetVersion has its top bit
    // (0x80000000) set, the Windows 9x family, else a new FileSpec_Win32, made from path and
    // volume; the caller owns it. Raises what their constructor raises (nothing is made then).
    FileSpec_IF* MakeFileSpec(const FilePath& path, CountedPtr<Volume_IF> volume) override;
};

} // namespace FileSystem

namespace FileSystem_Win32 {

// The library's start-up, called by the hosting component once when it is loaded, on one
// thread, before any other use of the library. Does nothing while the started flag is set.
// Otherwise creates the API table (an existing one is kept), registers a new
// FileSystem::ClassFactory (refused, and deleted with its last pointer, when a factory is
// registered already: the first registration stays), and sets the started flag. Raises
// std::bad_alloc when memory runs out; the flag is then left clear.
void Install();

// Whether Install has run and the shut-down has not undone it since. Never raises.
bool IsStarted();

// Clears the started flag; only the library's shut-down calls it, after deleting the API table.
// Never raises.
void ClearStarted();

} // namespace FileSystem_Win32
