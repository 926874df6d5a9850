// Test support for the file system utilities: a progress sink that records what it is told and
// can cancel at a given position, and small helpers for files, exceptions and Wine.
#pragma once

#include "Private/FileSpec.h"
#include "Private/Tickler.h"
#include "common/TestHelpers.h"
#include "support/TalvenException.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace UtilitiesTest {

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

} // namespace UtilitiesTest
