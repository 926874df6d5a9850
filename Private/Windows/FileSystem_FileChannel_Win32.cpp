// The Windows file channel over one OS file handle.
#include "Private/Windows/FileSystem_FileChannel_Win32.h"

#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <io.h>
#include <utility>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\Windows\\FileSystem_FileChannel_Win32";

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t MaxChunk = 0xFFFFFFFFu;

constexpr DWORD DesiredAccess(OpenMode mode) {
    return ((mode & ModeRead) ? GENERIC_READ : 0u) | ((mode & ModeWrite) ? GENERIC_WRITE : 0u);
}

constexpr DWORD ShareMode(OpenMode mode) {
    const DWORD share = ((mode & ModeShareRead) ? DWORD(FILE_SHARE_READ) : 0u) |
                        ((mode & ModeShareWrite) ? DWORD(FILE_SHARE_WRITE) : 0u);
    // A reader that names no sharing still lets others read; a writer gets the file to itself.
    return (share == 0 && DesiredAccess(mode) == GENERIC_READ) ? DWORD(FILE_SHARE_READ) : share;
}

constexpr DWORD Disposition(OpenMode mode) {
    return (mode & ModeCreate) ? DWORD(OPEN_ALWAYS) : DWORD(OPEN_EXISTING);
}

// No flag maps one to one onto a Win32 constant; the computed values are pinned instead.
static_assert(DesiredAccess(ModeRead) == 0x80000000u && DesiredAccess(ModeWrite) == 0x40000000u &&
                  DesiredAccess(ModeRead | ModeWrite) == (GENERIC_READ | GENERIC_WRITE),
              "access of the open modes");
static_assert(ShareMode(ModeRead) == FILE_SHARE_READ && FILE_SHARE_READ == 1 &&
                  ShareMode(ModeWrite) == 0 && ShareMode(ModeRead | ModeWrite) == 0,
              "default sharing of readers and writers");
static_assert(ShareMode(ModeRead | ModeShareWrite) == FILE_SHARE_WRITE && FILE_SHARE_WRITE == 2 &&
                  ShareMode(ModeWrite | ModeShareRead | ModeShareWrite) ==
                      (FILE_SHARE_READ | FILE_SHARE_WRITE),
              "explicit sharing");
static_assert(Disposition(ModeCreate) == 4 && Disposition(ModeRead) == 3 && OPEN_ALWAYS == 4 &&
                  OPEN_EXISTING == 3,
              "creation dispositions");
static_assert(FILE_BEGIN == 0 && FILE_CURRENT == 1 && FILE_ATTRIBUTE_NORMAL == 0x80,
              "OS constants of the channel");

} // namespace

FileChannel_Win32::FileChannel_Win32(const std::wstring& path, OpenMode mode,
                                     CountedPtr<FileSpec_IF> file)
    : mode_(mode), file_(std::move(file)) {
    if (!(mode & (ModeRead | ModeWrite))) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    if ((mode & ModeTruncate) && !(mode & ModeWrite)) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    handle_.Reset(FileSystem_Win32::TheAPI(Source).CreateFileW(
        path.c_str(), DesiredAccess(mode), ShareMode(mode), nullptr, Disposition(mode),
        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_) {
        Raise(::GetLastError());
    }
    if (mode & ModeTruncate) {
        // A throw from here destroys handle_, so the file is closed again.
        std::uint64_t start = 0;
        if (!FileSystem_Win32::TheAPI(Source).SetFilePointer(handle_.Get(), 0, start, FILE_BEGIN) ||
            !FileSystem_Win32::Direct::SetEndOfFile(handle_.Get())) {
            Raise(::GetLastError());
        }
    }
}

FileChannel_Win32::~FileChannel_Win32() {
    if (handle_) {
        try {
            Close();
        } catch (const std::exception&) {
            // A destructor must not raise; the handle is given up either way.
        }
    }
}

void FileChannel_Win32::Raise(std::uint32_t win32Error) const {
    RaiseWin32Error(win32Error, file_ ? file_->GetPath().GetBytes() : ByteString());
}

HANDLE FileChannel_Win32::OpenHandle() const {
    // The empty handle value doubles as the current-process pseudo-handle, which some calls
    // (CloseHandle among them) accept; refuse it here as the OS refuses a closed handle.
    if (!handle_) {
        Raise(ERROR_INVALID_HANDLE);
    }
    return handle_.Get();
}

void FileChannel_Win32::Close() {
    // Every operation holds the lock while it uses the handle: a close on another thread would
    // otherwise free the handle value under it, and the OS may hand that value out again for
    // another object, so the operation would act on something else.
    TalvenAutoCriticalSection guard(&lock_);
    OpenHandle();
    if (!handle_.Close()) {
        Raise(::GetLastError());
    }
}

void FileChannel_Win32::Flush() {
    TalvenAutoCriticalSection guard(&lock_);
    if (!(mode_ & ModeWrite)) {
        return;
    }
    if (!FileSystem_Win32::Direct::FlushFileBuffers(OpenHandle())) {
        Raise(::GetLastError());
    }
}

std::uint64_t FileChannel_Win32::GetEndOfFile() {
    TalvenAutoCriticalSection guard(&lock_);
    std::uint64_t size = 0;
    if (!FileSystem_Win32::TheAPI(Source).GetFileSize(OpenHandle(), size)) {
        Raise(::GetLastError());
    }
    return size;
}

CountedPtr<FileSpec_IF> FileChannel_Win32::GetFileSpec() {
    return file_;
}

std::uint64_t FileChannel_Win32::GetPosition() {
    TalvenAutoCriticalSection guard(&lock_);
    std::uint64_t position = 0;
    if (!FileSystem_Win32::TheAPI(Source).SetFilePointer(OpenHandle(), 0, position, FILE_CURRENT)) {
        Raise(::GetLastError());
    }
    return position;
}

bool FileChannel_Win32::IsOpen() {
    TalvenAutoCriticalSection guard(&lock_);
    return handle_.IsValid();
}

void FileChannel_Win32::Read(void* buffer, std::size_t count, std::size_t& bytesRead) {
    TalvenAutoCriticalSection guard(&lock_);
    bytesRead = 0;
    auto* next = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        DWORD got = 0;
        const auto ask = static_cast<DWORD>(std::min(count, MaxChunk));
        if (!FileSystem_Win32::Direct::ReadFile(OpenHandle(), next, ask, &got, nullptr)) {
            Raise(::GetLastError());
        }
        if (got == 0) {
            break;
        }
        next += got;
        bytesRead += got;
        count -= got;
    }
}

std::FILE* FileChannel_Win32::ReleaseToStdio() {
    TalvenAutoCriticalSection guard(&lock_);
    if (!handle_) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    // _open_osfhandle makes the descriptor own the handle it is given, and a descriptor whose
    // _fdopen fails can only be given back by closing it. Handing over a duplicate keeps the
    // channel's own handle untouched until the stream exists: on any failure the duplicate is
    // closed exactly once (by its owner or by _close) and the channel stays open.
    HANDLE duplicateValue = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, handle_.Get(), process, &duplicateValue, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        Raise(::GetLastError());
    }
    Win32Res::FileHandle duplicate(duplicateValue);

    const int descriptor = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(duplicate.Get()), 0);
    if (descriptor == -1) {
        const int error = errno;
        throw SystemException::Errno(error);
    }
    duplicate.Release(); // now owned by the descriptor

    const char* streamMode = "wb";
    if ((mode_ & ModeRead) && (mode_ & ModeWrite)) {
        streamMode = "rb+";
    } else if (mode_ & ModeRead) {
        streamMode = "rb";
    }
    std::FILE* stream = ::_fdopen(descriptor, streamMode);
    if (!stream) {
        const int error = errno;
        ::_close(descriptor);
        throw SystemException::Errno(error);
    }
    // The duplicate shares the file object, and with it the position; closing ours leaves the
    // stream as the only owner. A failing close here only loses a handle that is gone anyway.
    handle_.Close();
    return stream;
}

void FileChannel_Win32::SetEndOfFile(std::uint64_t length) {
    TalvenAutoCriticalSection guard(&lock_);
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    const HANDLE handle = OpenHandle();
    std::uint64_t position = 0;
    std::uint64_t ignored = 0;
    if (!api.SetFilePointer(handle, 0, position, FILE_CURRENT)) {
        Raise(::GetLastError());
    }
    if (!api.SetFilePointer(handle, static_cast<std::int64_t>(length), ignored, FILE_BEGIN) ||
        !FileSystem_Win32::Direct::SetEndOfFile(handle)) {
        const DWORD error = ::GetLastError();
        api.SetFilePointer(handle, static_cast<std::int64_t>(position), ignored, FILE_BEGIN);
        Raise(error);
    }
    if (!api.SetFilePointer(handle, static_cast<std::int64_t>(position), ignored, FILE_BEGIN)) {
        Raise(::GetLastError());
    }
}

void FileChannel_Win32::SetPosition(std::uint64_t position) {
    TalvenAutoCriticalSection guard(&lock_);
    std::uint64_t ignored = 0;
    if (!FileSystem_Win32::TheAPI(Source).SetFilePointer(
            OpenHandle(), static_cast<std::int64_t>(position), ignored, FILE_BEGIN)) {
        Raise(::GetLastError());
    }
}

void FileChannel_Win32::Write(const void* buffer, std::size_t count) {
    TalvenAutoCriticalSection guard(&lock_);
    const auto* next = static_cast<const unsigned char*>(buffer);
    while (count > 0) {
        DWORD written = 0;
        const auto ask = static_cast<DWORD>(std::min(count, MaxChunk));
        if (!FileSystem_Win32::Direct::WriteFile(OpenHandle(), next, ask, &written, nullptr)) {
            Raise(::GetLastError());
        }
        // An OS may take only what still fits (Wine does on a full disk) and report success;
        // asking again for the rest makes it report why it stopped.
        if (written == 0) {
            TALVEN_INTERNAL_ERROR(Source);
        }
        next += written;
        count -= written;
    }
}

} // namespace FileSystem
