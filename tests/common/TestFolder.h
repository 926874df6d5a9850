// Test support: a unique scratch folder per test (or benchmark), removed with all it holds.
#pragma once

#include <string>

namespace TalvenTest {

// Removes folder and everything in it; give it the "\\?\" form to reach entries deeper than
// MAX_PATH. A linked folder is removed as a link and never entered.
void RemoveTree(const std::wstring& folder);

class TestFolder {
public:
    // Creates "<temp>\talven-test-<pid>-<counter>-<tick>\" under the user's temporary folder.
    TestFolder();
    // Creates "<parent>\<prefix>-<pid>-<counter>-<tick>\" (a parent such as L"Q:", no "\").
    TestFolder(const std::wstring& parent, const std::wstring& prefix);
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    // The folder's absolute path, without a trailing backslash.
    const std::wstring& Path() const { return path_; }
    std::wstring Child(const std::wstring& name) const;
    // Writes bytes to a file (creating or replacing it) with plain Win32 calls.
    void WriteFile(const std::wstring& name, const std::string& bytes) const;
    // The folder of the running test program (where lang\ is copied), without trailing backslash.
    static std::wstring ProgramFolder();

private:
    std::wstring path_;
};

} // namespace TalvenTest
