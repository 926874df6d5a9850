// Tests of the Win32 error table: each mapped error number gives its FileException kind with a
// Win32 cause, other numbers a SystemException base that is also the cause.
#include "Private/Windows/FileSystem_ErrorTable.h"

#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct MappedError {
    std::uint32_t error;
    const TalvenText* kind;
};

// By number, as the errors reach the library; a renamed or mistyped SDK constant cannot hide
// behind its own name here.
const MappedError Mapped[] = {
    {2, &FileException::FileNotFound},      {3, &FileException::FilePathNotFound},
    {5, &FileException::AccessDenied},      {15, &FileException::FilePathNotFound},
    {19, &FileException::VolumeLocked},     {21, &FileException::MediaNotFound},
    {32, &FileException::AccessDenied},     {38, &FileException::EndOfFile},
    {39, &FileException::VolumeFull},       {53, &FileException::FilePathNotFound},
    {80, &FileException::FileExists},       {112, &FileException::VolumeFull},
    {123, &FileException::InvalidFilePath}, {145, &FileException::FolderNotEmpty},
    {161, &FileException::InvalidFilePath}, {183, &FileException::FileExists},
    {1112, &FileException::MediaNotFound},  {1231, &FileException::MediaNotFound},
    {1785, &FileException::InvalidMedia},   {4300, &FileException::InvalidMedia},
    {4303, &FileException::InvalidMedia},   {4308, &FileException::MediaNotFound},
    {4315, &FileException::InvalidMedia},   {4318, &FileException::MediaNotFound},
};

const ByteString SomePath = TextConvert::Bytes("C:\\dir\\file.txt");

TEST(ErrorTable, EveryMappedErrorGivesItsKindWithAWin32Cause) {
    for (const MappedError& row : Mapped) {
        SCOPED_TRACE(row.error);
        EXPECT_EQ(FileSystem::FileExceptionKind(row.error), row.kind);

        const FileException e = FileSystem::MakeFileException(row.error, SomePath);
        EXPECT_EQ(e.code(), row.kind->id());
        EXPECT_EQ(e.message(), row.kind->str());
        EXPECT_EQ(e.path(), SomePath);
        const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
        ASSERT_NE(cause, nullptr);
        EXPECT_EQ(cause->number(), row.error);
        EXPECT_EQ(cause->code(), SystemException::Win32::Win32Error.id());
    }
}

TEST(ErrorTable, NeighboursOfMappedErrorsHaveNoKind) {
    for (std::uint32_t error : {0u, 1u, 4u, 6u, 33u, 81u, 120u, 127u, 1113u, 4301u, 4319u}) {
        SCOPED_TRACE(error);
        EXPECT_EQ(FileSystem::FileExceptionKind(error), nullptr);
    }
}

TEST(ErrorTable, UnmappedErrorBecomesAWin32Exception) {
    const FileException e =
        FileSystem::MakeFileException(120u, SomePath); // ERROR_CALL_NOT_IMPLEMENTED
    EXPECT_EQ(e.code(), SystemException::Win32::Win32Error.id());
    const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
    ASSERT_NE(cause, nullptr);
    EXPECT_EQ(cause->number(), 120u);
    EXPECT_EQ(e.message(), cause->message());
    EXPECT_EQ(e.path(), SomePath);
}

TEST(ErrorTable, NegativeNumberBecomesAnHresultException) {
    const std::uint32_t coNotInitialized = 0x800401F0u;
    const FileException e = FileSystem::MakeFileException(coNotInitialized, SomePath);
    EXPECT_EQ(e.code(), SystemException::HRESULT::HResultError.id());
    const auto* cause = dynamic_cast<const SystemException::HRESULT*>(e.cause());
    ASSERT_NE(cause, nullptr);
    EXPECT_EQ(cause->number(), coNotInitialized);
    EXPECT_EQ(e.message(), cause->message());
    // The largest positive number is still a Win32 error.
    const FileException big = FileSystem::MakeFileException(0x7FFFFFFFu, SomePath);
    EXPECT_NE(dynamic_cast<const SystemException::Win32*>(big.cause()), nullptr);
}

TEST(ErrorTable, RaiseThrowsAFileExceptionWithTheWidePathInUtf8) {
    try {
        FileSystem::RaiseWin32Error(2, std::wstring(L"C:\\caf\u00e9.txt"));
        FAIL() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), FileException::FileNotFound.id());
        EXPECT_EQ(e.path(), TextConvert::Bytes("C:\\caf\xC3\xA9.txt"));
    }
    try {
        FileSystem::RaiseWin32Error(145, TextConvert::Bytes("C:\\full"));
        FAIL() << "no exception";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), FileException::FolderNotEmpty.id());
        EXPECT_EQ(e.path(), TextConvert::Bytes("C:\\full"));
    }
}

} // namespace
