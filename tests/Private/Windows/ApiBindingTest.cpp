// Tests of the Win32 seams: the API table's 64-bit sizes and positions, the functions bound by
// name at run time (or missing), and the error table's kinds, causes and UTF-8 paths.
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Binding.h"
#include "common/FileSystemTest.h"

#include <atomic>
#include <functional>
#include <thread>

using FileSystem_Win32::API;
using FileSystem_Win32::Binding::Failure;
using FileSystem_Win32::Binding::Library;
using FileSystem_Win32::Binding::Slot;
using F = FileException;

namespace {

template <class Function, Library Lib_, Failure OnFailure_>
struct Described {
    using Fn = Function;
    static constexpr Library Lib = Lib_;
    static constexpr Failure OnFailure = OnFailure_;
};
// Names that no system library exports, one per failure value.
struct MissingKernelBool
    : Described<BOOL(WINAPI*)(LPCWSTR, DWORD), Library::Kernel32, Failure::Zero> {
    static constexpr const char* Name = "TalvenNoSuchExport";
};
struct MissingUserHandle
    : Described<HANDLE(WINAPI*)(LPCWSTR), Library::User32, Failure::InvalidHandle> {
    static constexpr const char* Name = "TalvenNoSuchHandleExport";
};
// A real export, bound through a slot of its own so the race test makes its first call.
struct StringLength : Described<int(WINAPI*)(LPCWSTR), Library::Kernel32, Failure::Zero> {
    static constexpr const char* Name = "lstrlenW";
};

class ApiBindingTest : public TalvenTest::FileSystemTest {
protected:
    API* api = FileSystem_Win32::GetAPI();
};

TEST_F(ApiBindingTest, SizesAndPositionsPast32BitsAndEveryBoundFunctionIsFound) {
    Win32Res::FileHandle file(api->CreateFileW(dir.Child(L"big.bin").c_str(),
                                               GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, 0, nullptr));
    std::uint64_t position = 0, size = 0;
    ASSERT_TRUE(api->SetFilePointer(file.Get(), 0xFFFFFFFF, position, FILE_BEGIN) &&
                ::SetEndOfFile(file.Get()));
    // A stale error from an earlier call must not turn the 0xFFFFFFFF low word into a failure.
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(api->GetFileSize(file.Get(), size));
    EXPECT_TRUE(api->SetFilePointer(file.Get(), 0, position, FILE_END));
    EXPECT_EQ(std::make_pair(size, position), std::make_pair(0xFFFFFFFFull, 0xFFFFFFFFull));
    const std::uint64_t target = 0x500012345ull; // past 4 GiB, and back by a negative offset
    EXPECT_TRUE(api->SetFilePointer(file.Get(), std::int64_t(target), position, FILE_BEGIN));
    EXPECT_EQ(position, target);
    EXPECT_TRUE(api->SetFilePointer(file.Get(), -0x12346, position, FILE_CURRENT));
    EXPECT_EQ(position, 0x4FFFFFFFFull);
    // Real failures still fail, and leave the output alone.
    size = position = 77;
    EXPECT_FALSE(api->GetFileSize(INVALID_HANDLE_VALUE, size));
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(api->SetFilePointer(file.Get(), -1, position, FILE_BEGIN));
    EXPECT_EQ(::GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(size + position, 154u);

    // A mistyped name or library would bind the fallback; every function must reach the system.
    namespace Bound = FileSystem_Win32::Bound;
    const std::wstring missing = dir.Child(L"missing");
    const wchar_t* m = missing.c_str();
    wchar_t buffer[MAX_PATH] = {}, text[] = L"Abc\u00e9";
    char utf8[8] = {};
    WIN32_FIND_DATAW found = {};
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ULARGE_INTEGER a, b, c;
    const USHORT desktop = 0; // the empty item list
    // clang-format off
    const std::function<void()> calls[] = {
        [&] { api->CopyFileExW(m, L"x", nullptr, nullptr, nullptr, 0); },
        [&] { api->CreateDirectoryW(dir.Path().c_str(), nullptr); },
        [&] { api->CreateFileW(m, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0); },
        [&] { api->DeleteFileW(m); },
        [&] { api->FindFirstFileW((missing + L"\\*").c_str(), &found); },
        [&] { api->FindNextFileW(INVALID_HANDLE_VALUE, &found); },
        [&] { EXPECT_GT(api->GetCurrentDirectoryW(0, nullptr), 0u); },
        [&] { EXPECT_TRUE(api->GetDiskFreeSpaceExW(L"C:\\", &a, &b, &c)); },
        [&] { EXPECT_EQ(api->GetDriveTypeW(L"C:\\"), UINT(DRIVE_FIXED)); },
        [&] { api->GetFileAttributesExW(m, GetFileExInfoStandard, &data); },
        [&] { EXPECT_GT(api->GetFullPathNameW(L"x", 0, nullptr, nullptr), 0u); },
        [&] { EXPECT_GT(api->GetTempPathW(0, nullptr), 0u); },
        [&] { EXPECT_TRUE(api->GetVolumeInformationW(L"C:\\", 0, 0, 0, 0, 0, buffer, MAX_PATH)); },
        [&] { api->MoveFileW(m, L"x"); },
        [&] { api->RemoveDirectoryW(m); },
        [&] { api->SetCurrentDirectoryW(m); },
        [&] { api->SetFileAttributesW(m, FILE_ATTRIBUTE_NORMAL); },
        [&] { EXPECT_GT(Bound::SearchPathW(0, L"kernel32.dll", 0, MAX_PATH, buffer, 0), 0u); },
        [&] { Win32Res::Module(Bound::LoadLibraryW(L"kernel32.dll")); },
        [&] { Bound::FindWindowW(L"Talven::NoSuchWindowClass", nullptr); },
        [&] { Bound::SendMessageW(nullptr, WM_NULL, 0, 0); },
        [&] { Bound::SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(&desktop), buffer); },
        [&] { EXPECT_EQ((Bound::CharUpperBuffW(text, 4), std::wstring(text)), L"ABC\u00c9"); },
        [&] { EXPECT_EQ((Bound::CharLowerBuffW(text, 4), std::wstring(text)), L"abc\u00e9"); },
        [&] { Bound::WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, utf8, 8, 0, 0);
              EXPECT_EQ(std::string(utf8), "\xC3\xA9"); },
    };
    // clang-format on
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i); // the row's index in calls
        ::SetLastError(0);
        calls[i]();
        EXPECT_NE(::GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    }
}

TEST(ApiBindingSlot, MissingNamesFailWith120AndRacingFirstCallsAllGetTheFunction) {
    for (int call = 0; call < 3; ++call) {
        ::SetLastError(0);
        EXPECT_EQ(Slot<MissingKernelBool>::Call(L"x", 1), FALSE);
        EXPECT_EQ(::GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
        EXPECT_TRUE(Slot<MissingKernelBool>::IsBound());
        ::SetLastError(0);
        EXPECT_EQ(Slot<MissingUserHandle>::Call(L"x"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    }
    // Eight threads make the first call of the unbound slot at once: every one gets the function.
    ASSERT_FALSE(Slot<StringLength>::IsBound());
    std::atomic<bool> go{false};
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            right += Slot<StringLength>::Call(L"four") == 4 ? 1 : 0;
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(right.load(), 8);
    EXPECT_TRUE(Slot<StringLength>::IsBound());
}

const TalvenText* const Win32Base = &SystemException::Win32::Win32Error;
const TalvenText* const HResultBase = &SystemException::HRESULT::HResultError;

// By number, so that a mistyped SDK constant cannot hide behind its name; the unmapped rows are
// the mapped ones' neighbours and the bounds of the sign.
// clang-format off
const std::pair<std::uint32_t, const TalvenText*> Errors[] = {
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
    for (std::size_t i = 0; i < std::size(Errors); ++i) {
        const std::uint32_t error = Errors[i].first; // not bound: C++17 lambdas cannot capture it
        const TalvenText* const kind = Errors[i].second;
        SCOPED_TRACE(error);
        const bool mapped = kind != Win32Base && kind != HResultBase;
        EXPECT_EQ(FileSystem::FileExceptionKind(error), mapped ? kind : nullptr);
        // Every other row raised with a wide path.
        const FileException e =
            i % 2 ? FileSystem::MakeFileException(error, path)
                  : TalvenTest::CatchFileException([&] {
                        FileSystem::RaiseWin32Error(error, std::wstring(L"C:\\caf\u00e9.txt"));
                    });
        EXPECT_EQ(e.code(), kind->id());
        EXPECT_EQ(e.path(), path);
        const auto* win32 = dynamic_cast<const SystemException::Win32*>(e.cause());
        const auto* hresult = dynamic_cast<const SystemException::HRESULT*>(e.cause());
        ASSERT_EQ(hresult != nullptr, kind == HResultBase);
        ASSERT_EQ(win32 != nullptr, kind != HResultBase);
        EXPECT_EQ(win32 ? win32->number() : hresult->number(), error);
        EXPECT_EQ(e.message(), mapped ? kind->str() : e.cause()->message());
        EXPECT_TRUE(!win32 || win32->code() == Win32Base->id());
    }
}

} // namespace
