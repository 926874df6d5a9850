// The Win32 error table and the FileException builders of the Windows implementation.
#include "Private/Windows/FileSystem_ErrorTable.h"

#include "support/TalvenWindows.h"

#include <iterator>

namespace FileSystem {

namespace {

struct KindRow {
    std::uint32_t error;
    const TalvenText* kind;
};

// The rows use the SDK's names; the asserts below pin each to the number callers and stored
// reports know it by.
const KindRow KindTable[] = {
    {ERROR_FILE_NOT_FOUND, &FileException::FileNotFound},
    {ERROR_PATH_NOT_FOUND, &FileException::FilePathNotFound},
    {ERROR_ACCESS_DENIED, &FileException::AccessDenied},
    {ERROR_INVALID_DRIVE, &FileException::FilePathNotFound},
    {ERROR_WRITE_PROTECT, &FileException::VolumeLocked},
    {ERROR_NOT_READY, &FileException::MediaNotFound},
    {ERROR_SHARING_VIOLATION, &FileException::AccessDenied},
    {ERROR_HANDLE_EOF, &FileException::EndOfFile},
    {ERROR_HANDLE_DISK_FULL, &FileException::VolumeFull},
    {ERROR_BAD_NETPATH, &FileException::FilePathNotFound},
    {ERROR_FILE_EXISTS, &FileException::FileExists},
    {ERROR_DISK_FULL, &FileException::VolumeFull},
    {ERROR_INVALID_NAME, &FileException::InvalidFilePath},
    {ERROR_DIR_NOT_EMPTY, &FileException::FolderNotEmpty},
    {ERROR_BAD_PATHNAME, &FileException::InvalidFilePath},
    {ERROR_ALREADY_EXISTS, &FileException::FileExists},
    {ERROR_NO_MEDIA_IN_DRIVE, &FileException::MediaNotFound},
    {ERROR_NETWORK_UNREACHABLE, &FileException::MediaNotFound},
    {ERROR_UNRECOGNIZED_MEDIA, &FileException::InvalidMedia},
    {ERROR_INVALID_MEDIA, &FileException::InvalidMedia},
    {ERROR_DRIVE_MEDIA_MISMATCH, &FileException::InvalidMedia},
    {ERROR_MEDIA_UNAVAILABLE, &FileException::MediaNotFound},
    {ERROR_MEDIA_INCOMPATIBLE, &FileException::InvalidMedia},
    {ERROR_MEDIA_NOT_AVAILABLE, &FileException::MediaNotFound},
};
static_assert(std::size(KindTable) == 24, "one row per mapped Win32 error");

static_assert(ERROR_FILE_NOT_FOUND == 2 && ERROR_PATH_NOT_FOUND == 3 && ERROR_ACCESS_DENIED == 5,
              "Win32 error numbers");
static_assert(ERROR_INVALID_DRIVE == 15 && ERROR_WRITE_PROTECT == 19 && ERROR_NOT_READY == 21,
              "Win32 error numbers");
static_assert(ERROR_SHARING_VIOLATION == 32 && ERROR_HANDLE_EOF == 38 &&
                  ERROR_HANDLE_DISK_FULL == 39 && ERROR_BAD_NETPATH == 53,
              "Win32 error numbers");
static_assert(ERROR_FILE_EXISTS == 80 && ERROR_DISK_FULL == 112 && ERROR_INVALID_NAME == 123 &&
                  ERROR_DIR_NOT_EMPTY == 145 && ERROR_BAD_PATHNAME == 161 &&
                  ERROR_ALREADY_EXISTS == 183,
              "Win32 error numbers");
static_assert(ERROR_NO_MEDIA_IN_DRIVE == 1112 && ERROR_NETWORK_UNREACHABLE == 1231 &&
                  ERROR_UNRECOGNIZED_MEDIA == 1785,
              "Win32 error numbers");
static_assert(ERROR_INVALID_MEDIA == 4300 && ERROR_DRIVE_MEDIA_MISMATCH == 4303 &&
                  ERROR_MEDIA_UNAVAILABLE == 4308 && ERROR_MEDIA_INCOMPATIBLE == 4315 &&
                  ERROR_MEDIA_NOT_AVAILABLE == 4318,
              "Win32 error numbers");

} // namespace

const TalvenText* FileExceptionKind(std::uint32_t win32Error) {
    for (const KindRow& row : KindTable) {
        if (row.error == win32Error) {
            return row.kind;
        }
    }
    return nullptr;
}

FileException MakeFileException(std::uint32_t win32Error, const ByteString& utf8Path) {
    if (const TalvenText* kind = FileExceptionKind(win32Error)) {
        return FileException(*kind, utf8Path,
                             CountedPtr<TalvenException>(new SystemException::Win32(win32Error)));
    }
    // COM failures reach this point as HRESULTs, whose top bit marks them.
    CountedPtr<TalvenException> cause;
    if (static_cast<std::int32_t>(win32Error) < 0) {
        cause.Reset(new SystemException::HRESULT(static_cast<std::int32_t>(win32Error)));
    } else {
        cause.Reset(new SystemException::Win32(win32Error));
    }
    return FileException(*cause, utf8Path, cause);
}

FileException MakeFileException(std::uint32_t win32Error, const std::wstring& path) {
    return MakeFileException(win32Error, TextConvert::WideToUtf8(path));
}

void RaiseWin32Error(std::uint32_t win32Error, const std::wstring& path) {
    throw MakeFileException(win32Error, path);
}

void RaiseWin32Error(std::uint32_t win32Error, const ByteString& utf8Path) {
    throw MakeFileException(win32Error, utf8Path);
}

} // namespace FileSystem
