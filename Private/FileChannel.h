// FileChannel: the copyable value that callers hold for an open file, sharing one channel
// object and forwarding each operation to it. The last copy closes the file.
#pragma once

// FileSpec.h needs this class complete and includes this header after its own classes.
#include "Private/FileChannel_IF.h"
#include "Private/FileSpec.h"
#include "support/CountedPtr.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Copies share the channel object. An empty handle holds none: every operation but IsOpen
// throws a FileException whose base is the internal-software-error TalvenException (code -2)
// for ".\Private\FileChannel", with an empty path and no cause; IsOpen answers false. Failures
// of the channel object pass through unchanged.
class FileChannel {
public:
    // The empty handle.
    FileChannel() = default;
    // Shares the given object (an empty pointer gives the empty handle).
    explicit FileChannel(CountedPtr<FileSystem::FileChannel_IF> impl);
    FileChannel(const FileChannel& other) = default;
    FileChannel& operator=(const FileChannel& other) = default;
    virtual ~FileChannel();

    // Closes the file for every copy; a second Close raises.
    void Close() const;
    // Flushes a channel opened with ModeWrite; does nothing otherwise.
    void Flush() const;
    // The length of the file in bytes.
    std::uint64_t GetEndOfFile() const;
    // The file spec the channel was opened on.
    FileSpec GetFileSpec() const;
    // The current position from the start of the file.
    std::uint64_t GetPosition() const;
    // True until Close or ReleaseToStdio; false when empty.
    bool IsOpen() const;
    // Reads until count bytes have arrived or the end of the file; bytesRead says how many.
    void Read(void* buffer, std::size_t count, std::size_t& bytesRead) const;
    // Hands the file over to a stream that the caller then owns; the channel is closed.
    std::FILE* ReleaseToStdio() const;
    // Sets the length of the file; the position stays where it was.
    void SetEndOfFile(std::uint64_t length) const;
    // Moves to an absolute position; past the end is allowed.
    void SetPosition(std::uint64_t position) const;
    // Writes all count bytes.
    void Write(const void* buffer, std::size_t count) const;

    // True for the empty handle.
    bool IsNull() const { return impl_.IsNull(); }
    // The shared channel object (empty for the empty handle).
    CountedPtr<FileSystem::FileChannel_IF> GetImpl() const { return impl_; }

private:
    CountedPtr<FileSystem::FileChannel_IF> impl_;
};
