// The private temporary folder and the shut-down: one folder per process, made anew when it
// vanished and numbered when "Talven.tmp" is taken; Uninstall removes it with its content,
// never reports a failure to do so, and a later Install starts the library again. The folder
// lives in the shared user temporary folder: these tests remove only what they made.
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"

#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "support/Win32Handle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

using namespace FileSystem;
using namespace TalvenTest;

namespace {

std::wstring UserTemp() {
    wchar_t buffer[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, buffer);
    return buffer;
}

class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override { FileSystem_Win32::Install(); }
    void TearDown() override {
        FileSystem_Win32::Uninstall();
        if (!blocker.empty()) {
            ::RemoveDirectoryW(blocker.c_str());
        }
    }
    // Makes sure "Talven.tmp" exists, creating it (and so owning it) when it does not.
    void TakePlainName() {
        const std::wstring plain = UserTemp() + L"Talven.tmp";
        if (::CreateDirectoryW(plain.c_str(), nullptr)) {
            blocker = plain;
        }
    }

    std::wstring blocker;
};

TEST_F(TempFolderTest, OneFolderPerProcessMadeAnewAndNumbered) {
    const FolderSpec first = GetTempFolder();
    EXPECT_TRUE(first.IsFolder());
    EXPECT_TRUE(GetTempFolder() == first);
    EXPECT_TRUE(first.ParentFolder() == FileSpec(FilePath(UserTemp())));

    first.DeleteTree();
    // Wine gives the inode as the folder's file index, and Linux hands a freed inode out again
    // at once: a folder made in between takes it, so that "Talven.tmp" is a new folder here too.
    const std::wstring spacer =
        UserTemp() + L"talven-spacer-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(spacer.c_str(), nullptr);
    TakePlainName();
    ::RemoveDirectoryW(spacer.c_str());
    const FileSpec expected =
        MakeUniqueChild(first.ParentFolder(), FilePath("Talven"), FilePath("tmp"));
    const FolderSpec second = GetTempFolder();
    EXPECT_TRUE(second.IsFolder());
    EXPECT_TRUE(second == expected);
    EXPECT_TRUE(std::regex_match(Narrow(second.GetName()), std::regex("Talven[1-9][0-9]*\\.tmp")))
        << Narrow(second.GetName());
}

TEST_F(TempFolderTest, UninstallRemovesTheFolderAndInstallStartsAgain) {
    const FolderSpec temp = GetTempFolder();
    const std::wstring path = TextConvert::Utf8ToWide(temp.GetPath().GetBytes());
    temp.MakeChild(FilePath("sub")).CreateFolder();
    const FileSpec file = temp.MakeChild(FilePath("sub\\f.txt"));
    FileSpec_Impl(file).GetImpl()->Create();
    file.SetAttributes(AttributeReadOnly);

    FileSystem_Win32::Uninstall();
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(FileSystem_Win32::IsStarted());
    EXPECT_EQ(FileSystem_Win32::GetAPI(), nullptr);
    FileSystem_Win32::Uninstall(); // twice does no harm

    FileSystem_Win32::Install();
    EXPECT_TRUE(FileSystem_Win32::IsStarted());
    EXPECT_TRUE(GetTempFolder().IsFolder());
}

TEST_F(TempFolderTest, UninstallDoesNotReportAFolderItCannotRemove) {
    const std::wstring path = TextConvert::Utf8ToWide(GetTempFolder().GetPath().GetBytes());
    {
        // Open without sharing: the file, and so its folder, cannot be deleted meanwhile.
        const Win32Res::FileHandle held(::CreateFileW((path + L"\\held.txt").c_str(), GENERIC_WRITE,
                                                      0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr));
        ASSERT_TRUE(held.IsValid());
        EXPECT_NO_THROW(FileSystem_Win32::Uninstall());
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    EXPECT_FALSE(Exists(path));
}

} // namespace
