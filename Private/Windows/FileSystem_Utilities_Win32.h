// The Windows side of the file system utilities: the OS copy with its progress routine, and the
// library's shut-down.
#pragma once

#include "Private/FilePath.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/Tickler.h"

#include "support/TalvenWindows.h"

#include <exception>

namespace FileSystem {

// What the progress routine of one CopyFileExW call works with; lives for that call.
struct CopyProgressContext {
    const Tickler* tickler = nullptr; // the caller's progress reporter
    FilePath source;                  // the file being copied: the "%0" of the status text
    FilePath target;                  // the copy
    // What the sink raised inside the routine. An exception must not unwind through the OS
    // copy, so the routine keeps it, cancels the copy, and the copy raises it afterwards.
    std::exception_ptr failure;
    // Whether the routine has run at all; the copy reports the text and 1.0 itself when the OS
    // never called it.
    bool called = false;
};

// The progress routine handed to CopyFileExW, with its data pointer at a CopyProgressContext.
// At the start of the main data stream (reason CALLBACK_STREAM_SWITCH, stream 1) it reports 0.0
// and the text "copying %0" with the source path. On every call it then reports
// transferred / total, or 1.0 when total is 0. Returns PROGRESS_CANCEL when the tickler is
// cancelled or its sink raised (kept in failure), else PROGRESS_CONTINUE. Never raises.
DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                   LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred,
                                   DWORD streamNumber, DWORD callbackReason, HANDLE sourceFile,
                                   HANDLE targetFile, LPVOID data);

} // namespace FileSystem

namespace FileSystem_Win32 {

// The library's shut-down, the counterpart of Install: removes the private temporary folder of
// FileSystem::GetTempFolder with its content, unless another folder has taken its name since
// (a failure to remove it is not reported), empties the volume table, deletes the API table
// and clears the started flag, so that a later Install starts the library again. The
// registered class factory stays. File specs made before must not be used afterwards, and
// no other thread may use the library meanwhile. Never raises.
void Uninstall();

} // namespace FileSystem_Win32
