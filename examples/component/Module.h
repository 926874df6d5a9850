// The module side of the example component: the count of live COM objects, the
// library's start-up and shut-down, and the type information that serves IDispatch.
#pragma once

#include "Private/FileSpec.h"
#include "Private/Windows/TalvenWindows.h"

#include <oaidl.h>

namespace FileToolsModule {

// Every live COM object of the DLL (class factories included) counts one; DllCanUnloadNow
// answers yes only at zero objects and zero server locks. Never raise.
void ObjectCreated();
void ObjectDestroyed();
void Lock(bool lock);

// Starts the library (FileSystem_Win32::Install) once on the first object creation, and again
// after a shut-down that did not unload the DLL. Raises std::bad_alloc.
void Start();

// A new empty folder inside the library's private temporary folder, for one copy to be
// assembled in. Raises the FileException of the OS error.
FileSpec NewStagingFolder();

// The type information of ITalvenFileTools, loaded from the DLL's own type library resource on
// first use and kept until shut-down; the caller gets its own reference. Returns the failure of
// LoadTypeLibEx or GetTypeInfoOfGuid.
HRESULT TypeInfo(ITypeInfo** info);

// Starts the trace (once), names the component "TalvenFileTools" in its lines, and writes the
// lines of level and below to the debugger (and the trace viewer). Never raises.
void SetTraceLevel(long level);

// Resolving messages must not meet a change of language (the library does not lock its
// translations): every call holds this lock shared, and a change of language exclusively.
SRWLOCK& LanguageLock();

} // namespace FileToolsModule
