// The one place where Win32 error numbers become exceptions: the table that picks a
// FileException kind for an error, and the functions that build and raise the FileException.
#pragma once

#include "support/ByteString.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"
#include "support/TalvenWindows.h"

#include <cstdint>
#include <string>

namespace FileSystem {

// The FileException kind (one of the FileException constants) for a Win32 error number, or
// nullptr when the error has no kind. Never raises.
const TalvenText* FileExceptionKind(std::uint32_t win32Error);

// The FileException for a failed operation on path (wide, or UTF-8; the user's path, never the
// long-path form). With a kind: the kind's code and message, and a SystemException::Win32 of the
// error as cause. Without one: code and message of SystemException::HRESULT when the error read
// as a signed 32-bit number is negative, else of SystemException::Win32; that exception is also
// the cause. Raises only std::bad_alloc.
FileException MakeFileException(std::uint32_t win32Error, const std::wstring& path);
FileException MakeFileException(std::uint32_t win32Error, const ByteString& utf8Path);

// Throws MakeFileException(win32Error, path) as a FileException.
[[noreturn]] void RaiseWin32Error(std::uint32_t win32Error, const std::wstring& path);
[[noreturn]] void RaiseWin32Error(std::uint32_t win32Error, const ByteString& utf8Path);

} // namespace FileSystem

// Throws MakeFileException(GetLastError(), path). The error is read before path is evaluated, so
// nothing in between (a path built, a handle closed) can change it.
#define TALVEN_RAISE_LAST_ERROR(path)                                                              \
    do {                                                                                           \
        const std::uint32_t talvenLastError = ::GetLastError();                                    \
        ::FileSystem::RaiseWin32Error(talvenLastError, (path));                                    \
    } while (false)
