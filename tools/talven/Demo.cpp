// talven demo: a guided tour that shows every subsystem at work in a private temporary folder,
// each step titled, and removes everything at the end.
#include "Commands.h"
#include "ProgressBar.h"

#include "Private/FileChannel.h"
#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"
#include "Private/Tickler.h"
#include "Private/Volume.h"
#include "onlineutils/SQLite3Wrapper.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace Talven {

namespace {

// Sample tree: FolderCount folders of FilesPerFolder small files and one larger file each, so
// that the progress bar moves evenly. Wine creates files slowly; this stays within seconds.
constexpr int FolderCount = 10;
constexpr int FilesPerFolder = 30;
constexpr std::size_t LargeFileSize = 512u << 10;

const char PlainText[] = "Meet me at the old mill at midnight";

int step = 0;

void Title(const char* text) {
    Out(std::string("\n== ") + std::to_string(++step) + ". " + text + " ==\n");
}

void Say(const std::string& text) {
    Out("   " + text + "\n");
}

FilePath Name(const std::string& utf8) {
    return FilePath(TextConvert::Bytes(utf8));
}

std::string PathOf(const FileSpec& spec) {
    return TextConvert::Chars(spec.GetPath().GetBytes());
}

void WriteFile(const FileSpec& file, const std::string& content) {
    FileChannel channel =
        file.OpenChannel(FileSystem::ModeWrite | FileSystem::ModeCreate | FileSystem::ModeTruncate);
    channel.Write(content.data(), content.size());
    channel.Close();
}

std::string ReadFile(const FileSpec& file) {
    FileChannel channel = file.OpenChannel(FileSystem::ModeRead | FileSystem::ModeShareRead);
    std::string content(static_cast<std::size_t>(channel.GetEndOfFile()), '\0');
    std::size_t read = 0;
    channel.Read(&content[0], content.size(), read);
    channel.Close();
    content.resize(read);
    return content;
}

FileSpec BuildTree(const FileSpec& root) {
    Title("Build a sample tree");
    const FileSpec source = root.MakeChild(Name("source"));
    source.CreateFolder();
    int files = 0;
    for (int f = 0; f < FolderCount; ++f) {
        const FileSpec folder = source.MakeChild(Name("folder" + std::to_string(f)));
        folder.CreateFolder();
        for (int i = 0; i < FilesPerFolder; ++i) {
            const char* extension = i % 3 == 0 ? ".log" : ".txt";
            WriteFile(folder.MakeChild(Name("file" + std::to_string(i) + extension)),
                      "sample " + std::to_string(f) + "/" + std::to_string(i) + "\n");
            ++files;
        }
        WriteFile(folder.MakeChild(Name("data.bin")), std::string(LargeFileSize, 'x'));
        ++files;
    }
    // Names outside ASCII: German, Greek and Japanese.
    const char* const names[] = {"Gr\xC3\xBC\xC3\x9F\x65.txt", "\xCE\xB1\xCE\xB2\xCE\xB3.txt",
                                 "\xE6\x97\xA5\xE6\x9C\xAC.txt"};
    for (const char* name : names) {
        WriteFile(source.MakeChild(Name(name)), "non-ASCII name\n");
        ++files;
    }
    // A path longer than the classic limit of 260 characters.
    FileSpec deep = source;
    for (int level = 0; level < 6; ++level) {
        deep = deep.MakeChild(
            Name("a-rather-long-folder-name-to-pass-the-old-limit-" + std::to_string(level)));
    }
    FileSystem::CreateFolderTree(deep);
    const FileSpec deepFile = deep.MakeChild(Name("deep.txt"));
    WriteFile(deepFile, "far down\n");
    ++files;
    Say(std::to_string(files) + " files in " + PathOf(source));
    Say("the longest path has " + std::to_string(deepFile.GetPath().ToWide().size()) +
        " characters");
    return source;
}

FileSpec CopyTree(const FileSpec& root, const FileSpec& source) {
    Title("Copy it with a progress bar");
    const FileSpec target = root.MakeChild(Name("copy"));
    ProgressBar bar(ConsoleWidth(), [](const std::string& text) {
        Out(text);
        std::fflush(stdout);
    });
    bar.SetTotal(FileSystem::GetFolderSize(source, true),
                 [](const ByteString& path) { return FileSpec(FilePath(path)).GetFileSize(); });
    FileSystem::CopyFolder(target, source, true, Tickler(&bar));
    bar.Finish();
    return target;
}

void SearchAndMeasure(const FileSpec& copy) {
    Title("Find files by pattern and measure the tree");
    const FileSystem::FileSpecList logs = FileSystem::FindFiles(copy, FilePath("*.log"), true);
    const FileSystem::FileSpecList texts = FileSystem::FindFiles(copy, FilePath("*.txt"), true);
    const FileSystem::FileSpecList folders =
        FileSystem::FindFolders(copy, FilePath("folder?"), true);
    Say("*.log: " + std::to_string(logs.size()) + " files, *.txt: " + std::to_string(texts.size()) +
        " files, folder?: " + std::to_string(folders.size()) + " folders");
    const std::uint64_t size = FileSystem::GetFolderSize(copy, true);
    Say("the copy holds " + std::to_string(static_cast<unsigned long long>(size)) + " bytes (" +
        FormatBytes(size) + ")");
}

void ShowVolume(const FileSpec& root, const FileSpec& copy) {
    Title("The volume and a relative path");
    const Volume volume = root.GetVolume();
    Say("volume " + PathOf(volume.GetAsFolder()) + ": " + FormatBytes(volume.GetFreeSpace()) +
        " free of " + FormatBytes(volume.GetCapacity()) + ", names up to " +
        std::to_string(volume.GetMaxNameLength()) + " characters");
    const FileSpec from = copy.MakeChild(Name("folder3"));
    const FileSpec to = copy.MakeChild(Name("folder7")).MakeChild(Name("file1.txt"));
    Say("from " + PathOf(from));
    Say("to   " + PathOf(to));
    Say("is   " + TextConvert::Chars(FileSystem::GetRelativePath(to, from).GetBytes()));
}

void ShowDatabase(const FileSpec& root) {
    Title("An encrypted database");
    const FileSpec file = root.MakeChild(Name("demo.db"));
    {
        SQLite3WrapperDB db;
        db.Open(PathOf(file).c_str());
        db.Execute("CREATE TABLE notes(id INTEGER PRIMARY KEY, text TEXT)");
        const std::string insert =
            std::string("INSERT INTO notes(text) VALUES('") + PlainText + "')";
        db.Execute(insert.c_str());
        db.Close();
    }
    SQLite3WrapperDB db;
    db.Open(PathOf(file).c_str());
    CountedPtr<SQLite3WrapperQuery> query = db.RunQuery("SELECT text FROM notes");
    Say(std::string("read back: \"") + (query->AtEnd() ? "" : query->ColumnText(0)) + "\"");
    query->Finish();
    db.Close();
    const std::string bytes = ReadFile(file);
    const bool plain = bytes.find(PlainText) != std::string::npos;
    Say("the file has " + std::to_string(bytes.size()) + " bytes; the plain text is " +
        (plain ? "IN IT" : "not in it"));
}

void ShowMessages(const FileSpec& root) {
    Title("The same failure in English, German and French");
    const FileSpec missing = root.MakeChild(Name("missing.txt"));
    const int current = TalvenText::languageImpl()->currentLanguage();
    const ByteString folder = LanguageFolder();
    struct Language {
        int index;
        const char* name;
    };
    const Language languages[] = {
        {TalvenText::EmbeddedEnglish, "English"}, {7, "German "}, {6, "French "}};
    for (const Language& language : languages) {
        TalvenText::setLanguage(language.index, folder);
        try {
            missing.GetFileSize();
            Say("no failure?");
        } catch (const FileException& e) {
            Say(std::string(language.name) + "  " + TextConvert::Chars(e.message()) + ": " +
                TextConvert::Chars(e.path()));
        }
    }
    TalvenText::setLanguage(current, folder);
}

} // namespace

void DemoCommand(const Arguments&) {
    const auto started = std::chrono::steady_clock::now();
    step = 0;
    Out(std::string("Talven demo: a tour of the library in a private temporary folder\n"));
    const FileSpec root =
        FileSystem::MakeUniqueChild(FileSystem::GetTempFolder(), FilePath("demo*"), FilePath());
    root.CreateFolder();
    try {
        const FileSpec source = BuildTree(root);
        const FileSpec copy = CopyTree(root, source);
        SearchAndMeasure(copy);
        ShowVolume(root, copy);
        ShowDatabase(root);
        ShowMessages(root);
    } catch (...) {
        FolderSpec(root).DeleteTree();
        throw;
    }
    Title("Remove everything");
    FolderSpec(root).DeleteTree();
    Say(PathOf(root) + (root.IsPresent() ? " is still there" : " is gone"));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    Out("\ndone in " + std::to_string(elapsed.count() / 1000.0).substr(0, 4) + " s\n");
}

} // namespace Talven
