// The Windows side of the file system utilities: the OS copy and its progress routine, the
// process paths, the private temporary folder and the library's shut-down.
#include "Private/Windows/FileSystem_Utilities_Win32.h"

#include "Private/EmptyHandleCheck.h"
#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Volume_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "support/TalvenException.h"
#include "support/Win32Handle.h"

#include <string>
#include <type_traits>
#include <vector>

// A missing WINAPI would only show on 32-bit, where the tests cannot run.
static_assert(std::is_same<decltype(&FileSystem::CopyProgressRoutine), LPPROGRESS_ROUTINE>::value,
              "the progress routine must have the OS's calling convention");

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\Windows\\FileSystem_Utilities_Win32";

constexpr DWORD PathBufferLength = 32768;

// The text of a path query that wrote length characters into buffer; 0 raises the OS error,
// a full buffer means the text was cut.
std::wstring PathResult(const std::vector<wchar_t>& buffer, DWORD length) {
    if (length == 0) {
        TALVEN_RAISE_LAST_ERROR(std::wstring());
    }
    if (length >= buffer.size()) {
        RaiseWin32Error(ERROR_INSUFFICIENT_BUFFER, std::wstring());
    }
    return std::wstring(buffer.data(), length);
}

FileSpec ModuleFile(HMODULE module) {
    std::vector<wchar_t> buffer(PathBufferLength);
    const DWORD length = ::GetModuleFileNameW(module, buffer.data(), PathBufferLength);
    return FileSpec(FilePath(PathResult(buffer, length)));
}

// Which folder a path names: the volume serial number and file index, stable for the folder's
// life and never shared by two folders on one volume at the same time.
struct FolderIdentity {
    DWORD serial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool known = false;
};

bool operator==(const FolderIdentity& a, const FolderIdentity& b) {
    return a.known && b.known && a.serial == b.serial && a.indexHigh == b.indexHigh &&
           a.indexLow == b.indexLow;
}

// Unknown when the folder cannot be opened, as on the Windows 9x family, which opens no
// folders.
FolderIdentity ReadIdentity(const FileSpec& folder) {
    FolderIdentity identity;
    const Win32Res::FileHandle handle(FileSystem_Win32::TheAPI(Source).CreateFileW(
        folder.GetNativePath().c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle && ::GetFileInformationByHandle(handle.Get(), &info)) {
        identity.serial = info.dwVolumeSerialNumber;
        identity.indexHigh = info.nFileIndexHigh;
        identity.indexLow = info.nFileIndexLow;
        identity.known = true;
    }
    return identity;
}

// The process-wide private temporary folder (empty until the first GetTempFolder) and the
// identity of the folder made for it.
struct KeptTemp {
    FolderSpec folder;
    FolderIdentity identity;
};

KeptTemp& KeptTempFolder() {
    static KeptTemp kept;
    return kept;
}

// Whether the kept folder is still the one this process made. A name alone would adopt a
// folder that another process made under it after ours vanished, and the shut-down would then
// remove that process's files. Where the file system hands a freed index out again at once
// (Linux, under Wine), a folder made right after ours vanished may still pass for ours.
bool IsStillOurs(const KeptTemp& kept) {
    if (kept.folder.IsNull() || !kept.folder.IsPresent()) {
        return false;
    }
    return !kept.identity.known || ReadIdentity(kept.folder) == kept.identity;
}

bool IsWin32Spec(const FileSpec& spec) {
    return dynamic_cast<FileSpec_Win32*>(FileSpec_Impl(spec).GetImpl()) != nullptr;
}

} // namespace

void RaiseCancelled(const FilePath& path) {
    RaiseWin32Error(ERROR_REQUEST_ABORTED, path.GetBytes());
}

DWORD CALLBACK CopyProgressRoutine(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                   LARGE_INTEGER, LARGE_INTEGER, DWORD streamNumber,
                                   DWORD callbackReason, HANDLE, HANDLE, LPVOID data) {
    auto* context = static_cast<CopyProgressContext*>(data);
    if (context == nullptr || context->tickler == nullptr) {
        return PROGRESS_CONTINUE;
    }
    context->called = true;
    try {
        const Tickler& tickler = *context->tickler;
        if (callbackReason == CALLBACK_STREAM_SWITCH && streamNumber == 1) {
            ReportCopyStart(tickler, context->source);
        }
        tickler.Tickle(totalFileSize.QuadPart == 0 ? 1.0
                                                   : double(totalBytesTransferred.QuadPart) /
                                                         double(totalFileSize.QuadPart));
        return tickler.IsCancelled() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
    } catch (...) {
        context->failure = std::current_exception();
        return PROGRESS_CANCEL;
    }
}

void CopyFile(const FileSpec& target, const FileSpec& source, const Tickler& tickler) {
    if (!IsWin32Spec(source) || !IsWin32Spec(target)) {
        CopyFileByChannel(target, source, tickler);
        return;
    }
    CopyProgressContext context;
    context.tickler = &tickler;
    context.source = source.GetPath();
    context.target = target.GetPath();
    const bool targetWasPresent = target.IsPresent();
    if (!FileSystem_Win32::TheAPI(Source).CopyFileExW(
            source.GetNativePath().c_str(), target.GetNativePath().c_str(), &CopyProgressRoutine,
            &context, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
        const DWORD error = ::GetLastError();
        // Windows removes a partial target itself; Wine leaves it behind when a write fails
        // (a full disk). A target that was there before the copy is never touched.
        if (!targetWasPresent && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            try {
                target.Delete();
            } catch (...) {
            }
        }
        if (context.failure) {
            std::rethrow_exception(context.failure);
        }
        RaiseWin32Error(error, context.source.GetBytes());
    }
    // Wine's CopyFileExW never calls the routine; the caller still sees the file and its end.
    if (!context.called) {
        try {
            ReportCopyStart(tickler, context.source);
            tickler.Tickle(1.0);
        } catch (...) {
            // A failed copy leaves no target, also when only its report failed.
            try {
                target.Delete();
            } catch (...) {
            }
            throw;
        }
    }
}

FileSpec GetApplicationFile() {
    return ModuleFile(nullptr);
}

FileSpec GetModuleFile() {
    // Any address inside this library names the module it was linked into: the executable, or
    // the component's DLL.
    static const int marker = 0;
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&marker), &module)) {
        TALVEN_RAISE_LAST_ERROR(std::wstring());
    }
    return ModuleFile(module);
}

FileSpec GetCurrentFolder() {
    std::vector<wchar_t> buffer(PathBufferLength);
    const DWORD length =
        FileSystem_Win32::TheAPI(Source).GetCurrentDirectoryW(PathBufferLength, buffer.data());
    return FileSpec(FilePath(PathResult(buffer, length)));
}

void SetCurrentFolder(const FileSpec& folder) {
    if (folder.IsNull()) {
        RaiseEmptyHandle(Source, __LINE__);
    }
    if (!FileSystem_Win32::TheAPI(Source).SetCurrentDirectoryW(folder.GetNativePath().c_str())) {
        TALVEN_RAISE_LAST_ERROR(folder.GetPath().GetBytes());
    }
}

FolderSpec GetTempFolder() {
    KeptTemp& kept = KeptTempFolder();
    if (IsStillOurs(kept)) {
        return kept.folder;
    }
    std::vector<wchar_t> buffer(PathBufferLength);
    const DWORD length =
        FileSystem_Win32::TheAPI(Source).GetTempPathW(PathBufferLength, buffer.data());
    const FileSpec temp{FilePath(PathResult(buffer, length))};
    // Another process may take the free name before it is created; the next one is tried then.
    for (int attempt = 1;; ++attempt) {
        const FolderSpec folder(MakeUniqueChild(temp, FilePath("Talven"), FilePath("tmp")));
        try {
            folder.CreateFolder();
        } catch (const FileException& e) {
            if (attempt >= 10 || e.code() != FileException::FileExists.id()) {
                throw;
            }
            continue;
        }
        kept.folder = folder;
        kept.identity = ReadIdentity(folder);
        return kept.folder;
    }
}

} // namespace FileSystem

namespace FileSystem_Win32 {

void Uninstall() {
    FileSystem::KeptTemp& kept = FileSystem::KeptTempFolder();
    try {
        if (FileSystem::IsStillOurs(kept)) {
            kept.folder.DeleteTree();
        }
    } catch (...) {
    }
    kept = FileSystem::KeptTemp();
    FileSystem::ClearVolumeTable();
    DestroyAPI();
    ClearStarted();
}

} // namespace FileSystem_Win32
