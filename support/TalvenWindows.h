// The one header that brings in the Windows API. Every library, test and tool source that
// calls Win32 includes this instead of <windows.h>, so the target version, the trimmed header
// set and the macro clean-up below are the same everywhere.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WINVER
#define WINVER _WIN32_WINNT
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

// The whole list of Windows macros that collide with the library's own operation names
// (Volume::GetFreeSpace, FileSystem::CopyFile). Removed here, once, so that no other file has to
// care which headers come first.
#ifdef GetFreeSpace
#undef GetFreeSpace // Win16 leftover
#endif
#ifdef CopyFile
#undef CopyFile // CopyFileA / CopyFileW
#endif
