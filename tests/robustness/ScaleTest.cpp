// Scale: size, search, copy and delete are exact over many files five levels deep
// (TALVEN_SCALE_FILES=<n>; time and memory are bench/filesystem/ScaleBench.cpp's), and a path of
// 30,000 characters is made, used through a channel and removed.
#include "Private/FileChannel.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "common/FileSystemTest.h"
#include "common/Generator.h"

using namespace FileSystem;

namespace {

class Scale : public TalvenTest::FileSystemTest {};

// File i is f<i>.dat in folder i % folder count, with i % 101 bytes.
std::wstring FilePathOf(const std::wstring& root, const std::vector<std::wstring>& in, unsigned i) {
    return root + in[i % in.size()] + L"\\f" + std::to_wstring(i) + L".dat";
}

// FindFiles lists each file of the tree under root once, at its path, with its size.
void ExpectTree(const std::wstring& root, const std::vector<std::wstring>& folders,
                unsigned files) {
    const FileSpecList found = FindFiles(FileSpec(FilePath(root)), FilePath("*"), true);
    EXPECT_EQ(found.size(), files);
    std::vector<bool> seen(files, false);
    for (const FileSpec& file : found) {
        const std::string path = Narrow(file.GetPath());
        const unsigned long i = std::stoul(Narrow(file.GetName()).substr(1));
        ASSERT_TRUE(i < files && !seen[i]) << path;
        seen[i] = true;
        EXPECT_EQ(path, Narrow(FilePathOf(root, folders, i)));
        EXPECT_EQ(file.GetFileSize(), i % 101) << path;
    }
}

TEST_F(Scale, TreeOperationsGiveExactResults) {
    const unsigned files = static_cast<unsigned>(TalvenTest::EnvNumber("TALVEN_SCALE_FILES", 1500));
    std::vector<std::wstring> folders{L""}; // the root, and x, y and z in each, five levels deep
    for (std::size_t i = 0; folders.size() < 1 + 3 + 9 + 27 + 81 + 243; ++i) {
        for (const wchar_t* name : {L"\\x", L"\\y", L"\\z"}) {
            folders.push_back(folders[i] + name);
        }
    }
    const std::wstring tree = dir.Child(L"tree");
    for (const std::wstring& folder : folders) { // with plain Win32 calls: the library is checked
        ASSERT_TRUE(::CreateDirectoryW((tree + folder).c_str(), nullptr));
    }
    std::uint64_t bytes = 0;
    for (unsigned i = 0; i < files; ++i) {
        dir.WriteFile(FilePathOf(L"tree", folders, i), std::string(i % 101, 'x'));
        bytes += i % 101;
    }
    EXPECT_EQ(GetFolderSize(At(L"tree"), true), bytes);
    ExpectTree(tree, folders, files);
    CopyFolder(At(L"copy"), At(L"tree"), true, Tickler());
    ExpectTree(dir.Child(L"copy"), folders, files); // which checks every size
    for (const wchar_t* name : {L"copy", L"tree"}) {
        FolderSpec(At(name)).DeleteTree();
        EXPECT_FALSE(TalvenTest::Exists(dir.Child(name))) << Narrow(name);
    }
}

// Writes 100,000 bytes into file through a channel and reads them back through another.
void ExpectChannelRoundTrip(const FileSpec& file) {
    std::string payload(100000, '\0'), back(100001, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7 + i / 251);
    }
    file.OpenChannel(ModeWrite | ModeCreate).Write(payload.data(), payload.size());
    std::size_t got = 0;
    file.OpenChannel(ModeRead).Read(&back[0], back.size(), got);
    EXPECT_TRUE(back.substr(0, got) == payload) << "read " << got << " of " << payload.size();
}

TEST_F(Scale, PathOfThirtyThousandCharacters) {
    constexpr std::size_t Length = 30000;
    const FileSpec top = At(L"deep");
    // 200-character components, the last one sized so that the path comes out exact.
    std::wstring path = dir.Child(L"deep");
    while (Length - path.size() > 202) {
        path += L"\\" + std::wstring(200, L'p');
    }
    path += L"\\" + std::wstring(Length - path.size() - 1, L'q');
    const FileSpec deep{FilePath(path)};
    ASSERT_EQ(Narrow(deep.GetPath()), Narrow(path));
    // The test folder's clean-up does not reach below MAX_PATH: remove them even on failure.
    struct RemoveTop {
        std::wstring top;
        ~RemoveTop() { TalvenTest::RemoveTree(L"\\\\?\\" + top); }
    } removeTop{dir.Child(L"deep")};

    std::string failedPath;
    bool osCause = false;
    try {
        CreateFolderTree(deep);
    } catch (const FileException& e) {
        failedPath = Narrow(FilePath(e.path()));
        const auto* cause = dynamic_cast<const SystemException::Win32*>(e.cause());
        osCause = cause != nullptr && cause->number() != 0;
    }
    if (failedPath.empty()) {
        EXPECT_TRUE(deep.IsFolder());
        ExpectChannelRoundTrip(deep.MakeChild(FilePath("data.bin")));
    } else {
        // Wine differs: it maps each path to a Linux path, and those end at 4096 bytes.
        ASSERT_TRUE(UnderWine()) << "failed at " << failedPath.size();
        // The failure names the first folder not made, in the caller's form, with the OS error;
        // the folders made before it are removed again, and all above it can be made.
        ASSERT_EQ(Narrow(path).compare(0, failedPath.size() + 1, failedPath + "\\"), 0)
            << failedPath;
        EXPECT_TRUE(osCause);
        EXPECT_FALSE(top.IsPresent());
        const FileSpec reached = FileSpec(FilePath(failedPath)).ParentFolder();
        CreateFolderTree(reached);
        EXPECT_GT(Narrow(reached.GetPath()).size(), std::size_t(MAX_PATH));
        // The channel works as deep as the folders go, and at the full depth it fails as a
        // missing folder, leaving nothing.
        ExpectChannelRoundTrip(reached.MakeChild(FilePath("data.bin")));
        const FileSpec file = deep.MakeChild(FilePath("data.bin"));
        EXPECT_EQ(ErrorCode([&] { file.OpenChannel(ModeWrite | ModeCreate); }),
                  FileException::FilePathNotFound.id());
        EXPECT_FALSE(file.IsPresent());
    }
    FolderSpec(top).DeleteTree();
    EXPECT_FALSE(top.IsPresent());
}

} // namespace
