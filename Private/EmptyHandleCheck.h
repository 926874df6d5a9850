// The check shared by the portable value classes (FileSpec, FolderSpec, Volume, FileChannel):
// an operation on an empty handle raises a FileException whose base is the internal-software-
// error exception for the class's own source and the line of the check, with an empty path and
// no cause.
#pragma once

namespace FileSystem {

// Raises the FileException described above for source (".\Private\FileSpec") and line.
[[noreturn]] void RaiseEmptyHandle(const char* source, int line);

} // namespace FileSystem

// Each check site passes its own line, so the message tells which operation found no object.
// The including file defines `Source`, its own source path.
#define TALVEN_REQUIRE_IMPL(ptr)                                                                   \
    do {                                                                                           \
        if ((ptr).IsNull()) {                                                                      \
            FileSystem::RaiseEmptyHandle(Source, __LINE__);                                        \
        }                                                                                          \
    } while (false)
