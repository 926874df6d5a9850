// The abstract file channel: an open file read and written at a 64-bit position, and the
// open-mode flags fixed when it is opened. Platform implementations derive from it.
#pragma once

#include "support/CountedPtr.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace FileSystem {

class FileSpec_IF;

// Open-mode flags of a channel, combined with "|". Bits not listed are ignored.
using OpenMode = std::uint32_t;
constexpr OpenMode ModeRead = 0x001;       // read access
constexpr OpenMode ModeWrite = 0x002;      // write access; Flush acts only with it
constexpr OpenMode ModeCreate = 0x010;     // create the file when it is missing
constexpr OpenMode ModeTruncate = 0x020;   // cut the file to length 0 at opening; needs ModeWrite
constexpr OpenMode ModeShareRead = 0x100;  // others may read while it is open
constexpr OpenMode ModeShareWrite = 0x200; // others may write while it is open

// No data. An implementation comes out of its constructor open, and its destructor closes it
// without raising. Every operation may raise the FileException of a failing OS call.
class FileChannel_IF {
public:
    virtual ~FileChannel_IF() = default;
    // Closes the file. Raises when it is already closed.
    virtual void Close() = 0;
    // Flushes the OS buffers of a channel opened with ModeWrite; does nothing otherwise.
    virtual void Flush() = 0;
    // The length of the file in bytes.
    virtual std::uint64_t GetEndOfFile() = 0;
    // The file spec the channel was opened on (shared).
    virtual CountedPtr<FileSpec_IF> GetFileSpec() = 0;
    // The current position from the start of the file.
    virtual std::uint64_t GetPosition() = 0;
    // True until Close or ReleaseToStdio.
    virtual bool IsOpen() = 0;
    // Reads until count bytes have arrived or the end of the file; bytesRead says how many.
    // The end of the file is not an error.
    virtual void Read(void* buffer, std::size_t count, std::size_t& bytesRead) = 0;
    // Hands the open file over to a runtime-library stream that the caller then owns; the
    // channel is closed afterwards. Raises on a closed channel.
    virtual std::FILE* ReleaseToStdio() = 0;
    // Sets the length of the file; the position stays where it was.
    virtual void SetEndOfFile(std::uint64_t length) = 0;
    // Moves to an absolute position; past the end is allowed.
    virtual void SetPosition(std::uint64_t position) = 0;
    // Writes all count bytes.
    virtual void Write(const void* buffer, std::size_t count) = 0;
};

} // namespace FileSystem
