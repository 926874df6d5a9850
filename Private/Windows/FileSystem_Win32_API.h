// The table of wide-character Win32 file functions that the Windows implementation calls, and
// the other wide-character functions reached through the same run-time binding. Functions are
// bound by name on first use, so one build runs on the NT family and, through the Unicode layer
// "unicows.dll", on the Windows 9x family. A function that cannot be bound fails like the OS
// call would: it returns its failure value with last error 120 (ERROR_CALL_NOT_IMPLEMENTED).
#pragma once

#include "support/TalvenWindows.h"

#include <shtypes.h>

#include <atomic>
#include <cstdint>

namespace FileSystem_Win32 {

// One instance serves the whole process (GetAPI). Each operation takes the arguments of the
// Win32 function of the same name and returns its result unchanged; none raises. On failure the
// caller raises through TALVEN_RAISE_LAST_ERROR (FileSystem_ErrorTable.h). The operations may
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
    // Missing before Windows Vista: then it fails with last error 120.
    virtual DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD bufferLength,
                                            DWORD flags);
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
// The process-wide table, for an operation of the file source (".\Private\Windows\..."). Raises
// the internal-software-error TalvenException for source before CreateAPI and after DestroyAPI
// (the library has not been started, or has been shut down).
API& TheAPI(const char* source);
// Creates the table when there is none; a second call keeps the existing instance. Raises
// std::bad_alloc when it cannot be allocated.
void CreateAPI();
// Deletes the table (nothing when there is none). Call only when no other thread uses it.
void DestroyAPI();

// Direct imports that change a file's data, length or time stamps. They are not bound at run
// time (every family exports them from kernel32.dll) but pass the fault seam below like the
// table's operations. Same arguments and results as the Win32 functions; none raises.
namespace Direct {

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                 const FILETIME* write);

} // namespace Direct

// The fault seam: a test counts the file calls an operation makes and makes the k-th of a
// chosen set fail with a chosen Win32 error, to prove that every failure point of every file
// operation loses nothing. A failing call does not reach the OS: it sets the thread's last
// error and returns its failure value (FALSE, 0, INVALID_HANDLE_VALUE for CreateFileW and
// FindFirstFileW, false for the 64-bit forms). The calls of FileSystem_Win32::Bound are not
// file calls and have no fault point.
// Compiled into every build, not only test builds: one library serves the tests and the
// product, so what the tests prove is what ships. Without a plan, a call pays one atomic load
// and an untaken branch (about a nanosecond against the microseconds of an OS call);
// filespec_bench shows no difference.
namespace Faults {

// Every call with a fault point, in the order of the table and then of Direct.
enum class Call : unsigned {
    CopyFileExW,
    CreateDirectoryW,
    CreateFileW,
    DeleteFileW,
    FindFirstFileW,
    FindNextFileW,
    GetCurrentDirectoryW,
    GetDiskFreeSpaceExW,
    GetDriveTypeW,
    GetFileAttributesExW,
    GetFileSize,
    GetFullPathNameW,
    GetTempPathW,
    GetVolumeInformationW,
    MoveFileW,
    RemoveDirectoryW,
    SetCurrentDirectoryW,
    SetFileAttributesW,
    SetFilePointer,
    ReadFile,
    WriteFile,
    SetEndOfFile,
    FlushFileBuffers,
    SetFileTime,
    Count
};

constexpr std::uint32_t Bit(Call call) {
    return std::uint32_t{1} << static_cast<unsigned>(call);
}
constexpr std::uint32_t AllCalls = (std::uint32_t{1} << static_cast<unsigned>(Call::Count)) - 1;

// The function's name, for reports. Never raises.
const char* Name(Call call);

// What to fail: the failAt-th call (from 1) among those whose Bit is in calls fails with error;
// with failAt 0 the calls are only counted. The calls in refused fail every time with refusal
// and are not counted, so that a test can take an operation down its fallback path. The counts
// are kept atomically, so the calls of several threads count alike.
struct Plan {
    std::uint32_t calls = AllCalls;
    std::uint32_t failAt = 0;
    DWORD error = ERROR_ACCESS_DENIED;
    std::uint32_t refused = 0;
    DWORD refusal = ERROR_NOT_SAME_DEVICE;
    // The calls of the set met so far, the failing one included.
    std::atomic<std::uint32_t> seen{0};
    // Which call was failed; meaningful once seen has reached failAt.
    std::atomic<Call> failed{Call::Count};
};

// Makes plan the process's plan (nullptr: none, the normal state). The plan must stay alive
// until it is replaced. Never raises.
void SetPlan(Plan* plan);

// Called by each call with a fault point before it reaches the OS: true when this call is the
// one to fail, with the thread's last error set to the plan's error. Never raises.
bool Trip(Call call);

} // namespace Faults

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
