// The table of wide-character Win32 file functions that the Windows implementation calls, and
// the other wide-character functions reached through the same run-time binding. Functions are
// bound by name on first use, so one build runs on the NT family and, through the Unicode layer
// "unicows.dll", on the Windows 9x family. A function that cannot be bound fails like the OS
// call would: it returns its failure value with last error 120 (ERROR_CALL_NOT_IMPLEMENTED).
#pragma once

#include "Private/Windows/TalvenWindows.h"

#include <shtypes.h>

#include <cstdint>

namespace FileSystem_Win32 {

// One instance serves the whole process (GetAPI). Each operation takes the arguments of the
// Win32 function of the same name and returns its result unchanged; none raises. On failure the
// caller reads GetLastError() and raises through FileSystem::RaiseWin32Error. The operations may
// be called from any thread.
class API final {
public:
    API() = default;
    API(const API&) = delete;
    API& operator=(const API&) = delete;

    virtual BOOL CopyFileExW(LPCWSTR existingName, LPCWSTR newName, LPPROGRESS_ROUTINE progress,
                             LPVOID progressData, LPBOOL cancel, DWORD copyFlags);
    virtual BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
    // INVALID_HANDLE_VALUE on failure.
    virtual HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition,
                               DWORD flagsAndAttributes, HANDLE templateFile);
    virtual BOOL DeleteFileW(LPCWSTR path);
    // INVALID_HANDLE_VALUE on failure.
    virtual HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW findData);
    virtual BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW findData);
    virtual DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer);
    virtual BOOL GetDiskFreeSpaceExW(LPCWSTR directory, PULARGE_INTEGER availableToCaller,
                                     PULARGE_INTEGER totalBytes, PULARGE_INTEGER freeBytes);
    virtual UINT GetDriveTypeW(LPCWSTR rootPath);
    virtual BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data);
    // The 64-bit size of the open file. False (size unchanged) when the OS reports an error;
    // a file of exactly 0xFFFFFFFF bytes gives true.
    virtual bool GetFileSize(HANDLE file, std::uint64_t& size);
    virtual DWORD GetFullPathNameW(LPCWSTR path, DWORD bufferLength, LPWSTR buffer,
                                   LPWSTR* filePart);
    virtual DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
    virtual BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR nameBuffer, DWORD nameLength,
                                       LPDWORD serialNumber, LPDWORD maxComponentLength,
                                       LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                                       DWORD fileSystemNameLength);
    virtual BOOL MoveFileW(LPCWSTR existingName, LPCWSTR newName);
    virtual BOOL RemoveDirectoryW(LPCWSTR path);
    virtual BOOL SetCurrentDirectoryW(LPCWSTR path);
    virtual BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
    // Moves the file pointer by distance from method (FILE_BEGIN 0, FILE_CURRENT 1, FILE_END 2)
    // and stores the full 64-bit new position. False (newPosition unchanged) when the OS reports
    // an error.
    virtual bool SetFilePointer(HANDLE file, std::int64_t distance, std::uint64_t& newPosition,
                                DWORD method);
};

// The process-wide table, or nullptr before CreateAPI and after DestroyAPI.
API* GetAPI();
// Creates the table when there is none; a second call keeps the existing instance. Raises
// std::bad_alloc when it cannot be allocated.
void CreateAPI();
// Deletes the table (nothing when there is none). Call only when no other thread uses it.
void DestroyAPI();

// Wide-character functions outside the table, served by the same binding. Same arguments,
// results and failure behaviour as the Win32 functions; none raises.
namespace Bound {

// When the function cannot be bound, the one exported by kernel32.dll itself is tried; failing
// that, 0 with last error 127 (ERROR_PROC_NOT_FOUND).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow,
                        int narrowLength, LPCCH defaultChar, LPBOOL usedDefaultChar);
DWORD CharLowerBuffW(LPWSTR text, DWORD length);
DWORD CharUpperBuffW(LPWSTR text, DWORD length);
DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength,
                  LPWSTR buffer, LPWSTR* filePart);
// The caller owns the returned module (wrap it in Win32Res::Module at once).
HMODULE LoadLibraryW(LPCWSTR fileName);
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE idList, LPWSTR path);

} // namespace Bound

} // namespace FileSystem_Win32
