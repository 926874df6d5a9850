// Test support: unique temporary folders, removed after each test.
#include "common/TestFolder.h"

#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace TalvenTest {

namespace {
std::atomic<unsigned> counter{0};

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("GetTempPathW failed");
    }
    return std::wstring(temp, length - 1); // without its trailing backslash
}

} // namespace

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    Win32Res::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find.Get() != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = folder + L"\\" + name;
            // Read-only entries would refuse deletion.
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            const DWORD attributes = data.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                ::DeleteFileW(child.c_str());
            } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveTree(child);
            } else if (!::RemoveDirectoryW(child.c_str())) {
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.Get(), &data));
    }
    find.Reset();
    ::RemoveDirectoryW(folder.c_str());
}

TestFolder::TestFolder() : TestFolder(TempFolder(), L"talven-test") {}

TestFolder::TestFolder(const std::wstring& parent, const std::wstring& prefix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring candidate =
            parent + L"\\" + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + std::to_wstring(::GetTickCount());
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a test folder");
}

TestFolder::~TestFolder() {
    RemoveTree(L"\\\\?\\" + path_);
}

std::wstring TestFolder::Child(const std::wstring& name) const {
    return path_ + L"\\" + name;
}

void TestFolder::WriteFile(const std::wstring& name, const std::string& bytes) const {
    Win32Res::FileHandle file(::CreateFileW(Child(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create a test file");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr) ||
            written == 0) {
            throw std::runtime_error("cannot write a test file");
        }
        done += written;
    }
}

std::wstring TestFolder::ProgramFolder() {
    wchar_t buffer[32768];
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 32768);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/"));
}

} // namespace TalvenTest
