// Tests of the Win32 error table: each mapped error number gives its FileException kind with a
// Win32 cause, other numbers a SystemException base (HRESULT when negative) that is also the
// cause; made or raised, the exception carries the path in UTF-8.
#include "Private/Windows/FileSystem_ErrorTable.h"

#include "support/TalvenException.h"

#include "common/FileSystemTest.h"

#include <cstdint>
#include <string>

namespace {

const TalvenText* const Win32Base = &SystemException::Win32::Win32Error;
const TalvenText* const HResultBase = &SystemException::HRESULT::HResultError;

struct Row {
    std::uint32_t error;
    const TalvenText* kind; // a FileException kind, or the base of an unmapped error
};

using F = FileException;

// By number, as the errors reach the library; a renamed or mistyped SDK constant cannot hide
// behind its own name here. The unmapped rows are the mapped ones' neighbours and the bounds of
// the sign.
// clang-format off
const Row Rows[] = {
    {2, &F::FileNotFound}, {3, &F::FilePathNotFound}, {5, &F::AccessDenied},
    {15, &F::FilePathNotFound}, {19, &F::VolumeLocked}, {21, &F::MediaNotFound},
    {32, &F::AccessDenied}, {38, &F::EndOfFile}, {39, &F::VolumeFull}, {53, &F::FilePathNotFound},
    {80, &F::FileExists}, {112, &F::VolumeFull}, {123, &F::InvalidFilePath},
    {145, &F::FolderNotEmpty}, {161, &F::InvalidFilePath}, {183, &F::FileExists},
    {1112, &F::MediaNotFound}, {1231, &F::MediaNotFound}, {1785, &F::InvalidMedia},
    {4300, &F::InvalidMedia}, {4303, &F::InvalidMedia}, {4308, &F::MediaNotFound},
    {4315, &F::InvalidMedia}, {4318, &F::MediaNotFound},
    {0, Win32Base}, {1, Win32Base}, {4, Win32Base}, {6, Win32Base}, {33, Win32Base},
    {81, Win32Base}, {120, Win32Base}, {127, Win32Base}, {1113, Win32Base}, {4301, Win32Base},
    {4319, Win32Base}, {0x7FFFFFFFu, Win32Base}, {0x800401F0u, HResultBase}, // CO_E_NOTINITIALIZED
};
// clang-format on

TEST(ErrorTable, EachErrorGivesItsKindAndACauseWithTheNumber) {
    const ByteString path = TextConvert::Bytes("C:\\caf\xC3\xA9.txt");
    for (std::size_t i = 0; i < std::size(Rows); ++i) {
        const Row& row = Rows[i];
        SCOPED_TRACE(row.error);
        const bool mapped = row.kind != Win32Base && row.kind != HResultBase;
        EXPECT_EQ(FileSystem::FileExceptionKind(row.error), mapped ? row.kind : nullptr);
        // Every other row raised with a wide path.
        const FileException e =
            i % 2 ? FileSystem::MakeFileException(row.error, path)
                  : TalvenTest::CatchFileException([&] {
                        FileSystem::RaiseWin32Error(row.error, std::wstring(L"C:\\caf\u00e9.txt"));
                    });
        EXPECT_EQ(e.code(), row.kind->id());
        EXPECT_EQ(e.path(), path);
        const auto* win32 = dynamic_cast<const SystemException::Win32*>(e.cause());
        const auto* hresult = dynamic_cast<const SystemException::HRESULT*>(e.cause());
        ASSERT_EQ(hresult != nullptr, row.kind == HResultBase);
        ASSERT_EQ(win32 != nullptr, row.kind != HResultBase);
        EXPECT_EQ(win32 ? win32->number() : hresult->number(), row.error);
        EXPECT_EQ(e.message(), mapped ? row.kind->str() : e.cause()->message());
        EXPECT_TRUE(!win32 || win32->code() == Win32Base->id());
    }
}

} // namespace
