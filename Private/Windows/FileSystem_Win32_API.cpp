// The API table, the functions bound outside it, and the run-time binding that serves both.
#include "Private/Windows/FileSystem_Win32_API.h"

#include "Private/Windows/FileSystem_Win32_Binding.h"
#include "support/TalvenException.h"
#include "support/Win32Handle.h"

#include <shlobj.h>

#include <iterator>
#include <memory>
#include <type_traits>

namespace FileSystem_Win32 {

namespace Binding {

namespace {

enum Family : int { Unknown = 0, NtFamily = 1, Win9xFamily = 2 };

std::atomic<int> familyState{Unknown};

// The libraries in the order of Library, then the Unicode layer of the 9x family.
constexpr const char* LibraryNames[] = {"kernel32.dll", "user32.dll", "shell32.dll", "unicows.dll"};
constexpr int UnicodeLayer = 3;

// Loaded once and kept for the life of the process: the bound addresses point into them, and
// freeing system libraries during static destruction is unsafe.
std::atomic<HMODULE> libraryHandles[std::size(LibraryNames)] = {};

HMODULE LoadOnce(int index) {
    HMODULE kept = libraryHandles[index].load(std::memory_order_acquire);
    if (kept) {
        return kept;
    }
    // LoadLibraryA exists on both families and is not itself reached through the binding.
    Win32Res::Module loaded(::LoadLibraryA(LibraryNames[index]));
    if (!loaded) {
        return nullptr;
    }
    HMODULE expected = nullptr;
    if (libraryHandles[index].compare_exchange_strong(expected, loaded.Get(),
                                                      std::memory_order_acq_rel)) {
        return loaded.Release();
    }
    // Another thread stored its handle first; ours is freed as `loaded` goes.
    return expected;
}

} // namespace

bool IsNtFamily() {
    int family = familyState.load(std::memory_order_acquire);
    if (family == Unknown) {
        const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        family = (ntdll && ::GetProcAddress(ntdll, "LdrUnloadDll")) ? NtFamily : Win9xFamily;
        familyState.exchange(family, std::memory_order_acq_rel);
    }
    return family == NtFamily;
}

FARPROC Resolve(const char* name, Library library) {
    const int index = IsNtFamily() ? static_cast<int>(library) : UnicodeLayer;
    const HMODULE module = LoadOnce(index);
    return module ? ::GetProcAddress(module, name) : nullptr;
}

} // namespace Binding

namespace {

using Binding::Failure;
using Binding::Library;

// One description per bound function. Fn is spelled out by hand and checked against the SDK's
// declaration, so a missing WINAPI cannot slip into the 32-bit build.
#define TALVEN_BIND(Function, Lib_, OnFailure_, ...)                                               \
    struct Function##Description {                                                                 \
        using Fn = __VA_ARGS__;                                                                    \
        static constexpr const char* Name = #Function;                                             \
        static constexpr Library Lib = Lib_;                                                       \
        static constexpr Failure OnFailure = OnFailure_;                                           \
    };                                                                                             \
    static_assert(std::is_same<Function##Description::Fn, decltype(&::Function)>::value,           \
                  #Function " slot type differs from the SDK declaration");                        \
    using Function##Slot = Binding::Slot<Function##Description>

TALVEN_BIND(CopyFileExW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD));
TALVEN_BIND(CreateDirectoryW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES));
TALVEN_BIND(CreateFileW, Library::Kernel32, Failure::InvalidHandle,
            HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE));
TALVEN_BIND(DeleteFileW, Library::Kernel32, Failure::Zero, BOOL(WINAPI*)(LPCWSTR));
TALVEN_BIND(FindFirstFileW, Library::Kernel32, Failure::InvalidHandle,
            HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW));
TALVEN_BIND(FindNextFileW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(HANDLE, LPWIN32_FIND_DATAW));
TALVEN_BIND(GetCurrentDirectoryW, Library::Kernel32, Failure::Zero, DWORD(WINAPI*)(DWORD, LPWSTR));
TALVEN_BIND(GetDiskFreeSpaceExW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER));
TALVEN_BIND(GetDriveTypeW, Library::Kernel32, Failure::Zero, UINT(WINAPI*)(LPCWSTR));
TALVEN_BIND(GetFileAttributesExW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID));
TALVEN_BIND(GetFinalPathNameByHandleW, Library::Kernel32, Failure::Zero,
            DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD));
TALVEN_BIND(GetFullPathNameW, Library::Kernel32, Failure::Zero,
            DWORD(WINAPI*)(LPCWSTR, DWORD, LPWSTR, LPWSTR*));
TALVEN_BIND(GetTempPathW, Library::Kernel32, Failure::Zero, DWORD(WINAPI*)(DWORD, LPWSTR));
TALVEN_BIND(GetVolumeInformationW, Library::Kernel32, Failure::Zero,
            BOOL(WINAPI*)(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD));
TALVEN_BIND(MoveFileW, Library::Kernel32, Failure::Zero, BOOL(WINAPI*)(LPCWSTR, LPCWSTR));
TALVEN_BIND(RemoveDirectoryW, Library::Kernel32, Failure::Zero, BOOL(WINAPI*)(LPCWSTR));
TALVEN_BIND(SetCurrentDirectoryW, Library::Kernel32, Failure::Zero, BOOL(WINAPI*)(LPCWSTR));
TALVEN_BIND(SetFileAttributesW, Library::Kernel32, Failure::Zero, BOOL(WINAPI*)(LPCWSTR, DWORD));

TALVEN_BIND(CharLowerBuffW, Library::User32, Failure::Zero, DWORD(WINAPI*)(LPWSTR, DWORD));
TALVEN_BIND(CharUpperBuffW, Library::User32, Failure::Zero, DWORD(WINAPI*)(LPWSTR, DWORD));
TALVEN_BIND(SearchPathW, Library::Kernel32, Failure::Zero,
            DWORD(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPWSTR, LPWSTR*));
TALVEN_BIND(LoadLibraryW, Library::Kernel32, Failure::Zero, HMODULE(WINAPI*)(LPCWSTR));
TALVEN_BIND(FindWindowW, Library::User32, Failure::Zero, HWND(WINAPI*)(LPCWSTR, LPCWSTR));
TALVEN_BIND(SendMessageW, Library::User32, Failure::Zero,
            LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM));
TALVEN_BIND(SHGetPathFromIDListW, Library::Shell32, Failure::Zero,
            BOOL(WINAPI*)(PCIDLIST_ABSOLUTE, LPWSTR));

#undef TALVEN_BIND

// The 9x Unicode layer may lack the conversion; kernel32 of every family exports it.
struct WideCharToMultiByteDescription {
    using Fn = int(WINAPI*)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
    static constexpr const char* Name = "WideCharToMultiByte";
    static constexpr Library Lib = Library::Kernel32;
    static constexpr Failure OnFailure = Failure::Custom;

    static int WINAPI Fallback(UINT codePage, DWORD flags, LPCWCH wide, int wideLength,
                               LPSTR narrow, int narrowLength, LPCCH defaultChar,
                               LPBOOL usedDefaultChar) {
        const HMODULE kernel32 = ::GetModuleHandleA("kernel32.dll");
        const FARPROC address = kernel32 ? ::GetProcAddress(kernel32, Name) : nullptr;
        if (!address) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return 0;
        }
        const auto function = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
        return function(codePage, flags, wide, wideLength, narrow, narrowLength, defaultChar,
                        usedDefaultChar);
    }
};
static_assert(
    std::is_same<WideCharToMultiByteDescription::Fn, decltype(&::WideCharToMultiByte)>::value,
    "WideCharToMultiByte slot type differs from the SDK declaration");
static_assert(std::is_same<decltype(&WideCharToMultiByteDescription::Fallback),
                           WideCharToMultiByteDescription::Fn>::value,
              "WideCharToMultiByte fallback type differs from the slot");
using WideCharToMultiByteSlot = Binding::Slot<WideCharToMultiByteDescription>;

// The two 64-bit forms report an error only through GetLastError when the low word is
// 0xFFFFFFFF. Clearing it first keeps a stale error from failing a file whose size or position
// really has that low word.
bool ReportedError(DWORD lowWord) {
    return lowWord == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR;
}

std::unique_ptr<API> theAPI;

std::atomic<Faults::Plan*> activePlan{nullptr};

} // namespace

namespace Faults {

const char* Name(Call call) {
    static const char* const names[] = {"CopyFileExW",
                                        "CreateDirectoryW",
                                        "CreateFileW",
                                        "DeleteFileW",
                                        "FindFirstFileW",
                                        "FindNextFileW",
                                        "GetCurrentDirectoryW",
                                        "GetDiskFreeSpaceExW",
                                        "GetDriveTypeW",
                                        "GetFileAttributesExW",
                                        "GetFileSize",
                                        "GetFullPathNameW",
                                        "GetTempPathW",
                                        "GetVolumeInformationW",
                                        "MoveFileW",
                                        "RemoveDirectoryW",
                                        "SetCurrentDirectoryW",
                                        "SetFileAttributesW",
                                        "SetFilePointer",
                                        "ReadFile",
                                        "WriteFile",
                                        "SetEndOfFile",
                                        "FlushFileBuffers",
                                        "SetFileTime"};
    static_assert(std::size(names) == static_cast<std::size_t>(Call::Count), "one name per call");
    const auto index = static_cast<std::size_t>(call);
    return index < std::size(names) ? names[index] : "?";
}

void SetPlan(Plan* plan) {
    activePlan.store(plan, std::memory_order_release);
}

bool Trip(Call call) {
    Plan* plan = activePlan.load(std::memory_order_acquire);
    if (plan == nullptr) {
        return false;
    }
    if ((plan->refused & Bit(call)) != 0) {
        ::SetLastError(plan->refusal);
        return true;
    }
    if ((plan->calls & Bit(call)) == 0) {
        return false;
    }
    const std::uint32_t number = plan->seen.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (number != plan->failAt) {
        return false;
    }
    plan->failed.store(call, std::memory_order_release);
    ::SetLastError(plan->error);
    return true;
}

} // namespace Faults

namespace Direct {

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (Faults::Trip(Faults::Call::ReadFile)) {
        return FALSE;
    }
    return ::ReadFile(file, buffer, count, read, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
    if (Faults::Trip(Faults::Call::WriteFile)) {
        return FALSE;
    }
    return ::WriteFile(file, buffer, count, written, overlapped);
}

BOOL SetEndOfFile(HANDLE file) {
    if (Faults::Trip(Faults::Call::SetEndOfFile)) {
        return FALSE;
    }
    return ::SetEndOfFile(file);
}

BOOL FlushFileBuffers(HANDLE file) {
    if (Faults::Trip(Faults::Call::FlushFileBuffers)) {
        return FALSE;
    }
    return ::FlushFileBuffers(file);
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                 const FILETIME* write) {
    if (Faults::Trip(Faults::Call::SetFileTime)) {
        return FALSE;
    }
    return ::SetFileTime(file, creation, access, write);
}

} // namespace Direct

BOOL API::CopyFileExW(LPCWSTR existingName, LPCWSTR newName, LPPROGRESS_ROUTINE progress,
                      LPVOID progressData, LPBOOL cancel, DWORD copyFlags) {
    if (Faults::Trip(Faults::Call::CopyFileExW)) {
        return FALSE;
    }
    return CopyFileExWSlot::Call(existingName, newName, progress, progressData, cancel, copyFlags);
}

BOOL API::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    if (Faults::Trip(Faults::Call::CreateDirectoryW)) {
        return FALSE;
    }
    return CreateDirectoryWSlot::Call(path, security);
}

HANDLE API::CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                        DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    if (Faults::Trip(Faults::Call::CreateFileW)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileWSlot::Call(name, access, shareMode, security, disposition, flagsAndAttributes,
                                 templateFile);
}

// DeleteFileW, GetVolumeInformationW and SetFileAttributesW are bound too, not imported: the
// 9x kernel32 has only failing stubs for them, so a direct call could never delete a file,
// read a volume or change attributes there.
BOOL API::DeleteFileW(LPCWSTR path) {
    if (Faults::Trip(Faults::Call::DeleteFileW)) {
        return FALSE;
    }
    return DeleteFileWSlot::Call(path);
}

HANDLE API::FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW findData) {
    if (Faults::Trip(Faults::Call::FindFirstFileW)) {
        return INVALID_HANDLE_VALUE;
    }
    return FindFirstFileWSlot::Call(pattern, findData);
}

BOOL API::FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW findData) {
    if (Faults::Trip(Faults::Call::FindNextFileW)) {
        return FALSE;
    }
    return FindNextFileWSlot::Call(search, findData);
}

DWORD API::GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
    if (Faults::Trip(Faults::Call::GetCurrentDirectoryW)) {
        return 0;
    }
    return GetCurrentDirectoryWSlot::Call(bufferLength, buffer);
}

BOOL API::GetDiskFreeSpaceExW(LPCWSTR directory, PULARGE_INTEGER availableToCaller,
                              PULARGE_INTEGER totalBytes, PULARGE_INTEGER freeBytes) {
    if (Faults::Trip(Faults::Call::GetDiskFreeSpaceExW)) {
        return FALSE;
    }
    return GetDiskFreeSpaceExWSlot::Call(directory, availableToCaller, totalBytes, freeBytes);
}

UINT API::GetDriveTypeW(LPCWSTR rootPath) {
    if (Faults::Trip(Faults::Call::GetDriveTypeW)) {
        return DRIVE_UNKNOWN;
    }
    return GetDriveTypeWSlot::Call(rootPath);
}

BOOL API::GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
    if (Faults::Trip(Faults::Call::GetFileAttributesExW)) {
        return FALSE;
    }
    return GetFileAttributesExWSlot::Call(path, level, data);
}

DWORD API::GetFinalPathNameByHandleW(HANDLE file, LPWSTR buffer, DWORD bufferLength, DWORD flags) {
    return GetFinalPathNameByHandleWSlot::Call(file, buffer, bufferLength, flags);
}

bool API::GetFileSize(HANDLE file, std::uint64_t& size) {
    if (Faults::Trip(Faults::Call::GetFileSize)) {
        return false;
    }
    DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const DWORD low = ::GetFileSize(file, &high);
    if (ReportedError(low)) {
        return false;
    }
    size = (static_cast<std::uint64_t>(high) << 32) | low;
    return true;
}

DWORD API::GetFullPathNameW(LPCWSTR path, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart) {
    if (Faults::Trip(Faults::Call::GetFullPathNameW)) {
        return 0;
    }
    return GetFullPathNameWSlot::Call(path, bufferLength, buffer, filePart);
}

DWORD API::GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
    if (Faults::Trip(Faults::Call::GetTempPathW)) {
        return 0;
    }
    return GetTempPathWSlot::Call(bufferLength, buffer);
}

BOOL API::GetVolumeInformationW(LPCWSTR root, LPWSTR nameBuffer, DWORD nameLength,
                                LPDWORD serialNumber, LPDWORD maxComponentLength,
                                LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                                DWORD fileSystemNameLength) {
    if (Faults::Trip(Faults::Call::GetVolumeInformationW)) {
        return FALSE;
    }
    return GetVolumeInformationWSlot::Call(root, nameBuffer, nameLength, serialNumber,
                                           maxComponentLength, fileSystemFlags, fileSystemName,
                                           fileSystemNameLength);
}

BOOL API::MoveFileW(LPCWSTR existingName, LPCWSTR newName) {
    if (Faults::Trip(Faults::Call::MoveFileW)) {
        return FALSE;
    }
    return MoveFileWSlot::Call(existingName, newName);
}

BOOL API::RemoveDirectoryW(LPCWSTR path) {
    if (Faults::Trip(Faults::Call::RemoveDirectoryW)) {
        return FALSE;
    }
    return RemoveDirectoryWSlot::Call(path);
}

BOOL API::SetCurrentDirectoryW(LPCWSTR path) {
    if (Faults::Trip(Faults::Call::SetCurrentDirectoryW)) {
        return FALSE;
    }
    return SetCurrentDirectoryWSlot::Call(path);
}

BOOL API::SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    if (Faults::Trip(Faults::Call::SetFileAttributesW)) {
        return FALSE;
    }
    return SetFileAttributesWSlot::Call(path, attributes);
}

bool API::SetFilePointer(HANDLE file, std::int64_t distance, std::uint64_t& newPosition,
                         DWORD method) {
    if (Faults::Trip(Faults::Call::SetFilePointer)) {
        return false;
    }
    const auto bits = static_cast<std::uint64_t>(distance);
    LONG high = static_cast<LONG>(static_cast<std::uint32_t>(bits >> 32));
    ::SetLastError(NO_ERROR);
    const DWORD low =
        ::SetFilePointer(file, static_cast<LONG>(static_cast<std::uint32_t>(bits)), &high, method);
    if (ReportedError(low)) {
        return false;
    }
    newPosition = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low;
    return true;
}

API* GetAPI() {
    return theAPI.get();
}

API& TheAPI(const char* source) {
    API* api = theAPI.get();
    if (!api) {
        TALVEN_INTERNAL_ERROR(source);
    }
    return *api;
}

void CreateAPI() {
    if (!theAPI) {
        theAPI.reset(new API());
    }
}

void DestroyAPI() {
    theAPI.reset();
}

namespace Bound {

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow,
                        int narrowLength, LPCCH defaultChar, LPBOOL usedDefaultChar) {
    return WideCharToMultiByteSlot::Call(codePage, flags, wide, wideLength, narrow, narrowLength,
                                         defaultChar, usedDefaultChar);
}

DWORD CharLowerBuffW(LPWSTR text, DWORD length) {
    return CharLowerBuffWSlot::Call(text, length);
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length) {
    return CharUpperBuffWSlot::Call(text, length);
}

DWORD SearchPathW(LPCWSTR path, LPCWSTR fileName, LPCWSTR extension, DWORD bufferLength,
                  LPWSTR buffer, LPWSTR* filePart) {
    return SearchPathWSlot::Call(path, fileName, extension, bufferLength, buffer, filePart);
}

HMODULE LoadLibraryW(LPCWSTR fileName) {
    return LoadLibraryWSlot::Call(fileName);
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    return FindWindowWSlot::Call(className, windowName);
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageWSlot::Call(window, message, wParam, lParam);
}

BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE idList, LPWSTR path) {
    return SHGetPathFromIDListWSlot::Call(idList, path);
}

} // namespace Bound

} // namespace FileSystem_Win32
