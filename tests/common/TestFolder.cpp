// Test support: unique temporary folders, removed after each test.
#include "common/TestFolder.h"

#include "Private/Windows/TalvenWindows.h"

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace TalvenTest {

namespace {
std::atomic<unsigned> counter{0};

struct FileHandle {
    HANDLE handle;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};
} // namespace

TestFolder::TestFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("GetTempPathW failed");
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring candidate =
            std::wstring(temp) + L"talven-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + std::to_wstring(::GetTickCount());
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a test folder");
}

TestFolder::~TestFolder() {
    std::error_code ignored;
    // Read-only files would stop remove_all; clear the flag first.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::none, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        if (ignored) {
            break;
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

std::wstring TestFolder::Child(const std::wstring& name) const {
    return path_ + L"\\" + name;
}

void TestFolder::WriteFile(const std::wstring& name, const std::string& bytes) const {
    FileHandle file{::CreateFileW(Child(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create a test file");
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file.handle, bytes.data() + done, chunk, &written, nullptr) ||
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
