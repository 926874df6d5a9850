// FileChannel: the copyable value that callers hold for an open file, sharing one channel
// object and forwarding each operation to it. The last copy closes the file.
#pragma once

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

    // The operations of FileChannel_IF (FileChannel_IF.h states each contract), for every copy.
    void Close() const;
    void Flush() const;
    std::uint64_t GetEndOfFile() const;
    FileSpec GetFileSpec() const;
    std::uint64_t GetPosition() const;
    bool IsOpen() const;
    void Read(void* buffer, std::size_t count, std::size_t& bytesRead) const;
    std::FILE* ReleaseToStdio() const;
    void SetEndOfFile(std::uint64_t length) const;
    void SetPosition(std::uint64_t position) const;
    void Write(const void* buffer, std::size_t count) const;

    // True for the empty handle.
    bool IsNull() const { return impl_.IsNull(); }
    // The shared channel object (empty for the empty handle).
    CountedPtr<FileSystem::FileChannel_IF> GetImpl() const { return impl_; }

private:
    CountedPtr<FileSystem::FileChannel_IF> impl_;
};
