// Tests of the API table: its 64-bit size and position forms, the functions bound by name at run
// time, and the failure behaviour of a function that no library exports.
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Binding.h"
#include "common/HandleCount.h"
#include "common/TestFolder.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using FileSystem_Win32::API;
using FileSystem_Win32::Binding::Failure;
using FileSystem_Win32::Binding::Library;
using FileSystem_Win32::Binding::Slot;

namespace {

constexpr std::uint64_t FourGiB = 0x100000000ull;

// Names that no system library exports, one per library and failure value.
struct MissingKernelBool {
    using Fn = BOOL(WINAPI*)(LPCWSTR, DWORD);
    static constexpr const char* Name = "TalvenNoSuchExport";
    static constexpr Library Lib = Library::Kernel32;
    static constexpr Failure OnFailure = Failure::Zero;
};
struct MissingUserHandle {
    using Fn = HANDLE(WINAPI*)(LPCWSTR);
    static constexpr const char* Name = "TalvenNoSuchHandleExport";
    static constexpr Library Lib = Library::User32;
    static constexpr Failure OnFailure = Failure::InvalidHandle;
};
struct MissingShellLength {
    using Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
    static constexpr const char* Name = "TalvenNoSuchShellExport";
    static constexpr Library Lib = Library::Shell32;
    static constexpr Failure OnFailure = Failure::Zero;
};
// A real export, bound through a slot of its own so the test sees its first call.
struct StringLength {
    using Fn = int(WINAPI*)(LPCWSTR);
    static constexpr const char* Name = "lstrlenW";
    static constexpr Library Lib = Library::Kernel32;
    static constexpr Failure OnFailure = Failure::Zero;
};
// The same, for a warm-up race before the race under test.
struct StringLengthWarmUp : StringLength {};

class ApiBindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileSystem_Win32::CreateAPI();
        api = FileSystem_Win32::GetAPI();
        ASSERT_NE(api, nullptr);
    }

    Win32Res::FileHandle CreateScratch(const std::wstring& name) {
        return Win32Res::FileHandle(
            api->CreateFileW(folder.Child(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    TalvenTest::TestFolder folder;
    API* api = nullptr;
};

TEST_F(ApiBindingTest, CreateKeepsTheInstanceAndDestroyEmptiesIt) {
    FileSystem_Win32::CreateAPI();
    EXPECT_EQ(FileSystem_Win32::GetAPI(), api);
    FileSystem_Win32::DestroyAPI();
    EXPECT_EQ(FileSystem_Win32::GetAPI(), nullptr);
    FileSystem_Win32::DestroyAPI();
    FileSystem_Win32::CreateAPI();
    EXPECT_NE(FileSystem_Win32::GetAPI(), nullptr);
}

TEST_F(ApiBindingTest, FileSizeOfExactly0xFFFFFFFFBytesAndOfAnInvalidHandle) {
    Win32Res::FileHandle file = CreateScratch(L"big.bin");
    ASSERT_TRUE(file);
    std::uint64_t position = 0;
    ASSERT_TRUE(api->SetFilePointer(file.Get(), 0xFFFFFFFF, position, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.Get()));

    // A stale error from an earlier call must not turn the 0xFFFFFFFF low word into a failure.
    ::SetLastError(ERROR_ACCESS_DENIED);
    std::uint64_t size = 0;
    EXPECT_TRUE(api->GetFileSize(file.Get(), size));
    EXPECT_EQ(size, 0xFFFFFFFFull);

    ASSERT_TRUE(api->SetFilePointer(file.Get(), 0, position, FILE_END));
    EXPECT_EQ(position, 0xFFFFFFFFull);

    // A real failure still fails, and leaves the output alone.
    size = 1234;
    EXPECT_FALSE(api->GetFileSize(INVALID_HANDLE_VALUE, size));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(size, 1234u);
}

TEST_F(ApiBindingTest, FilePointerPast4GiB) {
    Win32Res::FileHandle file = CreateScratch(L"seek.bin");
    ASSERT_TRUE(file);
    const std::uint64_t target = 5 * FourGiB + 0x12345;
    std::uint64_t position = 0;
    ASSERT_TRUE(
        api->SetFilePointer(file.Get(), static_cast<std::int64_t>(target), position, FILE_BEGIN));
    EXPECT_EQ(position, target);
    ASSERT_TRUE(api->SetFilePointer(file.Get(), -0x12346, position, FILE_CURRENT));
    EXPECT_EQ(position, 5 * FourGiB - 1);
    ASSERT_TRUE(api->SetFilePointer(file.Get(), 0, position, FILE_CURRENT));
    EXPECT_EQ(position, 5 * FourGiB - 1);

    // Before the start: refused, and the output stays as it was.
    position = 77;
    EXPECT_FALSE(api->SetFilePointer(file.Get(), -1, position, FILE_BEGIN));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(position, 77u);
}

TEST(ApiBindingMissing, UnexportedNamesFailWithError120OnEveryCall) {
    for (int call = 0; call < 3; ++call) {
        ::SetLastError(0);
        EXPECT_EQ(Slot<MissingKernelBool>::Call(L"x", 1), FALSE);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        EXPECT_TRUE(Slot<MissingKernelBool>::IsBound());

        ::SetLastError(0);
        EXPECT_EQ(Slot<MissingUserHandle>::Call(L"x"), INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

        wchar_t buffer[8] = {};
        ::SetLastError(0);
        EXPECT_EQ(Slot<MissingShellLength>::Call(8, buffer), 0u);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    }
}

// Eight threads make the first call of an unbound slot at once; returns how many got the answer.
template <class Description>
int RaceToBind() {
    std::atomic<bool> go{false};
    std::atomic<int> right{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            right += Slot<Description>::Call(L"four") == 4 ? 1 : 0;
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    return right.load();
}

TEST(ApiBindingRace, ThreadsBindingOneSlotAtOnceAllGetTheFunction) {
    // Under Wine the loader's locks keep a handle from their first contention on; a race on
    // another slot takes it before the handle count of this test starts.
    RaceToBind<StringLengthWarmUp>();
    ASSERT_FALSE(Slot<StringLength>::IsBound());
    EXPECT_EQ(RaceToBind<StringLength>(), 8);
    EXPECT_TRUE(Slot<StringLength>::IsBound());
}

// A mistyped name or library would bind the fallback; every function must reach the system.
TEST_F(ApiBindingTest, EveryBoundFunctionIsFound) {
    namespace Bound = FileSystem_Win32::Bound;
    const std::wstring missing = folder.Child(L"missing");
    const wchar_t* m = missing.c_str();
    wchar_t buffer[MAX_PATH] = {};
    WIN32_FIND_DATAW found = {};
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ULARGE_INTEGER a, b, c;
    const USHORT desktop = 0; // the empty item list
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"CopyFileExW", [&] { api->CopyFileExW(m, L"x", nullptr, nullptr, nullptr, 0); }},
        {"CreateDirectoryW", [&] { api->CreateDirectoryW(folder.Path().c_str(), nullptr); }},
        {"CreateFileW",
         [&] { api->CreateFileW(m, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0); }},
        {"DeleteFileW", [&] { api->DeleteFileW(m); }},
        {"FindFirstFileW", [&] { api->FindFirstFileW((missing + L"\\*").c_str(), &found); }},
        {"FindNextFileW", [&] { api->FindNextFileW(INVALID_HANDLE_VALUE, &found); }},
        {"GetCurrentDirectoryW", [&] { EXPECT_GT(api->GetCurrentDirectoryW(0, nullptr), 0u); }},
        {"GetDiskFreeSpaceExW",
         [&] { EXPECT_TRUE(api->GetDiskFreeSpaceExW(L"C:\\", &a, &b, &c)); }},
        {"GetDriveTypeW", [&] { EXPECT_EQ(api->GetDriveTypeW(L"C:\\"), UINT(DRIVE_FIXED)); }},
        {"GetFileAttributesExW",
         [&] { api->GetFileAttributesExW(m, GetFileExInfoStandard, &data); }},
        {"GetFullPathNameW",
         [&] { EXPECT_GT(api->GetFullPathNameW(L"x", 0, nullptr, nullptr), 0u); }},
        {"GetTempPathW", [&] { EXPECT_GT(api->GetTempPathW(0, nullptr), 0u); }},
        {"GetVolumeInformationW",
         [&] {
             EXPECT_TRUE(api->GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr, nullptr,
                                                    buffer, MAX_PATH));
         }},
        {"MoveFileW", [&] { api->MoveFileW(m, L"x"); }},
        {"RemoveDirectoryW", [&] { api->RemoveDirectoryW(m); }},
        {"SetCurrentDirectoryW", [&] { api->SetCurrentDirectoryW(m); }},
        {"SetFileAttributesW", [&] { api->SetFileAttributesW(m, FILE_ATTRIBUTE_NORMAL); }},
        {"SearchPathW",
         [&] {
             EXPECT_GT(
                 Bound::SearchPathW(nullptr, L"kernel32.dll", nullptr, MAX_PATH, buffer, nullptr),
                 0u);
         }},
        {"LoadLibraryW", [&] { Win32Res::Module(Bound::LoadLibraryW(L"kernel32.dll")); }},
        {"FindWindowW", [&] { Bound::FindWindowW(L"Talven::NoSuchWindowClass", nullptr); }},
        {"SendMessageW", [&] { Bound::SendMessageW(nullptr, WM_NULL, 0, 0); }},
        {"SHGetPathFromIDListW",
         [&] {
             Bound::SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(&desktop), buffer);
         }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.first);
        ::SetLastError(0);
        call.second();
        EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    }

    // The conversions also give the right results.
    wchar_t text[] = L"Abc\u00e9";
    EXPECT_EQ(Bound::CharUpperBuffW(text, 4), 4u);
    EXPECT_EQ(std::wstring(text), L"ABC\u00c9");
    EXPECT_EQ(Bound::CharLowerBuffW(text, 4), 4u);
    EXPECT_EQ(std::wstring(text), L"abc\u00e9");
    char utf8[8] = {};
    EXPECT_EQ(Bound::WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, utf8, 8, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(utf8), "\xC3\xA9");
}

} // namespace
