// The one header that brings in the Windows API. Every library, test and tool source that
// calls Win32 includes this instead of <windows.h>, so the target version and the trimmed
// header set are the same everywhere.
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

// Win16 leftovers that collide with the library's own operation names.
#ifdef GetFreeSpace
#undef GetFreeSpace
#endif
