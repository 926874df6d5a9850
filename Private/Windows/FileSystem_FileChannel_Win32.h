// The Windows file channel: one OS file handle read and written at a 64-bit position, with no
// buffering of its own. Made by the Windows file spec's OpenChannel.
#pragma once

#include "Private/FileChannel_IF.h"
#include "Private/FileSpec_IF.h"
#include "support/CountedPtr.h"
#include "support/CriticalSection.h"
#include "support/Win32Handle.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace FileSystem {

// Every failing OS call raises the FileException that the Win32 error table builds from the
// error and the path of the channel's file spec (an empty path when the channel has
// none). Operations on a closed channel (after Close or ReleaseToStdio) other than IsOpen,
// GetFileSpec, ReleaseToStdio, a Flush without ModeWrite and Read or Write of 0 bytes raise the
// FileException of ERROR_INVALID_HANDLE (6), which maps to no kind. Internal-error
// TalvenExceptions (code -2) name the source ".\Private\Windows\FileSystem_FileChannel_Win32".
// One object may be used by several threads: every operation holds the channel's lock while it
// uses the handle, so a Close on one thread lets an operation on another finish first, or makes
// it raise the closed-channel FileException; the threads still share the one file position.
class FileChannel_Win32 final : public FileChannel_IF {
public:
    // Opens path (the form handed to the OS, long-path prefix included) with mode; file is
    // kept for GetFileSpec and error reports and may be empty. Access: GENERIC_READ for
    // ModeRead, GENERIC_WRITE for ModeWrite. Share mode: from ModeShareRead and ModeShareWrite,
    // except that a reader naming neither still lets others read (a writer naming neither is
    // exclusive). ModeCreate opens or creates the file, otherwise it must exist. ModeTruncate
    // cuts it to length 0.
    // Raises: the internal-error TalvenException, before any OS call and without creating a
    // file, when neither ModeRead nor ModeWrite is set or ModeTruncate comes without ModeWrite,
    // or when the API table has not been created; FileException when the file cannot be opened
    // (FileNotFound, AccessDenied for a sharing violation or a read-only file opened for
    // writing, ...) or truncated, in which case the handle is closed again.
    FileChannel_Win32(const std::wstring& path, OpenMode mode, CountedPtr<FileSpec_IF> file);
    // Closes an open channel; a failing close is dropped. Never raises.
    ~FileChannel_Win32() override;
    FileChannel_Win32(const FileChannel_Win32&) = delete;
    FileChannel_Win32& operator=(const FileChannel_Win32&) = delete;

    // The operations of FileChannel_IF (FileChannel_IF.h states each contract); below, what the
    // Windows channel adds to it.

    // Raises FileException when the OS refuses; the channel is closed afterwards either way.
    void Close() override;
    // FlushFileBuffers.
    void Flush() override;
    std::uint64_t GetEndOfFile() override;
    // The file spec given at opening (may be empty). Never raises.
    CountedPtr<FileSpec_IF> GetFileSpec() override;
    std::uint64_t GetPosition() override;
    // Never raises.
    bool IsOpen() override;
    // bytesRead is set to 0 first; count 0 makes no OS call.
    void Read(void* buffer, std::size_t count, std::size_t& bytesRead) override;
    // The stream is opened "rb+" for read and write, "rb" for read alone, "wb" otherwise; the
    // caller closes it with fclose, and the channel's destructor leaves it alone.
    // Raises: the internal-error TalvenException on a closed channel; SystemException::Errno
    // when the runtime library refuses the handle or the stream; FileException when the handle
    // cannot be duplicated. On every failure the channel keeps its handle open and usable.
    std::FILE* ReleaseToStdio() override;
    // Under the channel's lock; the position stays even past the new end. If the OS refuses the
    // new length, the position is put back before raising.
    void SetEndOfFile(std::uint64_t length) override;
    // A position above 2^63 - 1 is refused by the OS and raises.
    void SetPosition(std::uint64_t position) override;
    // Count 0 makes no OS call; when it returns, every byte is in the file. A full disk raises
    // VolumeFull, also when part of the bytes still fitted (those stay written); an OS write that
    // takes no bytes without an error raises the internal-error TalvenException.
    void Write(const void* buffer, std::size_t count) override;

private:
    // The open handle; raises the ERROR_INVALID_HANDLE FileException when closed.
    HANDLE OpenHandle() const;
    [[noreturn]] void Raise(std::uint32_t win32Error) const;

    Win32Res::FileHandle handle_;
    OpenMode mode_;
    CountedPtr<FileSpec_IF> file_;
    TalvenCriticalSection lock_;
};

} // namespace FileSystem
