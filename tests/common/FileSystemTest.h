// The shared fixture of the file-system suites: the installed factory and a folder of the test's
// own (FileSystemTest), the extra drives (TestDrives.h), narrow text (TestHelpers.h), a progress
// sink that records and can cancel, small file helpers, and shortcut making.
#pragma once

#include "Private/FileSpec.h"
#include "Private/Tickler.h"
#include "common/HandleCount.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"
#include "common/TestHelpers.h"
#include "support/TalvenException.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <objbase.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TalvenTest {

// A test with the file system installed and a folder of its own, removed after it.
class FileSystemTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { FileSystem_Win32::Install(); }

    // The FileSpec of name inside the test's folder.
    FileSpec At(const std::wstring& name) const { return FileSpec(FilePath(dir.Child(name))); }

    TestFolder dir;
};

// Records texts and positions; cancels once a position reaches cancelAt.
class RecordingSink : public TickleImplBase {
public:
    void SetText(const TalvenTextArgs& text) override {
        ByteString out;
        text.text(out);
        texts.emplace_back(out.begin(), out.end());
    }
    void SetProgress(double position) override {
        if (failOnProgress) {
            throw FileException(FileException::AccessDenied, ByteString());
        }
        positions.push_back(position);
        if (position >= cancelAt) {
            cancelled_ = true;
        }
    }
    void Refresh() override {}

    std::vector<double> positions;
    std::vector<std::string> texts;
    double cancelAt = 2.0; // never, by default
    bool failOnProgress = false;
};

// The FileException that f raises; fails the test when it raises none or another kind.
template <class F>
FileException CatchFileException(F&& f) {
    try {
        f();
    } catch (const FileException& e) {
        return e;
    }
    ADD_FAILURE() << "no FileException";
    return FileException(FileException::AccessDenied, ByteString());
}

// The whole content of a file, or "<missing>".
inline std::string ReadAll(const std::wstring& path) {
    const Win32Res::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
    if (!file) {
        return "<missing>";
    }
    std::string bytes;
    std::vector<char> buffer(65536);
    DWORD got = 0;
    while (::ReadFile(file.Get(), buffer.data(), DWORD(buffer.size()), &got, nullptr) && got > 0) {
        bytes.append(buffer.data(), got);
    }
    return bytes;
}

inline bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names of specs, in order.
inline std::vector<std::string> Names(const std::vector<FileSpec>& specs) {
    std::vector<std::string> names;
    for (const FileSpec& spec : specs) {
        names.push_back(Narrow(spec.GetName()));
    }
    return names;
}

// Writes a shell shortcut to target at path, with COM initialised and uninitialised again on
// the calling thread; false when any step fails.
inline bool WriteShortcut(const std::wstring& path, const std::wstring& target) {
    const HRESULT initialised = ::CoInitialize(nullptr);
    bool written = false;
    {
        Win32Res::ComPtr<IShellLinkW> link;
        Win32Res::ComPtr<IPersistFile> file;
        written = SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IShellLinkW, link.PutVoid())) &&
                  SUCCEEDED(link->SetPath(target.c_str())) &&
                  SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.PutVoid())) &&
                  SUCCEEDED(file->Save(path.c_str(), TRUE));
    }
    if (SUCCEEDED(initialised)) {
        ::CoUninitialize();
    }
    return written;
}

} // namespace TalvenTest
