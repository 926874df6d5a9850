// The talven tool's subcommands, each built on the library's public classes only.
#include "Commands.h"

#include "ProgressBar.h"

#include "Private/FileChannel.h"
#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderIterator.h"
#include "Private/FolderSpec.h"
#include "Private/Tickler.h"
#include "Private/Volume.h"
#include "onlineutils/SQLite3Wrapper.h"
#include "support/DateTime.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"
#include "support/TalvenWindows.h"
#include "support/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace Talven {

bool Arguments::Has(const char* flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

ByteString Arguments::Option(const char* option) const {
    for (const auto& entry : options) {
        if (entry.first == option) {
            return entry.second;
        }
    }
    return ByteString();
}

void Out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void Out(const ByteString& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int ConsoleWidth() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        // The last column would wrap the line on some consoles.
        return width > 1 ? width - 1 : 79;
    }
    return 79;
}

ByteString LanguageFolder() {
    return FileSystem::GetApplicationFile()
        .ParentFolder()
        .MakeChild(FilePath("lang"))
        .GetPath()
        .GetBytes();
}

namespace {

std::string S(const ByteString& bytes) {
    return TextConvert::Chars(bytes);
}

void Line(const std::string& text) {
    Out(text + "\n");
}

// The argument as typed: the library resolves relative, root-relative ("\\x"), drive-relative
// ("C:x"), "." and ".." forms against the current folders itself.
FileSpec Spec(const ByteString& path) {
    if (path.empty()) {
        throw UsageError("an empty path names nothing");
    }
    return FileSpec(FilePath(path));
}

// A missing item is reported as the library reports it, with its path.
FileSpec PresentSpec(const ByteString& path) {
    FileSpec spec = Spec(path);
    if (!spec.IsPresent()) {
        throw FileException(FileException::FileNotFound, spec.GetPath().GetBytes());
    }
    return spec;
}

std::string FormatDate(const DateTime& date) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02u:%02u:%02u",
                  static_cast<int>(date.GetDate().Year()), date.GetDate().Month(),
                  date.GetDate().Day(), date.Time().Hour(), date.Time().Minute(),
                  date.Time().Second());
    return buffer;
}

std::string FormatAttributes(FileSystem::Attributes attributes) {
    std::string text = "----";
    if (attributes & FileSystem::AttributeArchive) {
        text[0] = 'A';
    }
    if (attributes & FileSystem::AttributeHidden) {
        text[1] = 'H';
    }
    if (attributes & FileSystem::AttributeReadOnly) {
        text[2] = 'R';
    }
    if (attributes & FileSystem::AttributeSystem) {
        text[3] = 'S';
    }
    return text;
}

std::string Number(std::uint64_t value) {
    return std::to_string(static_cast<unsigned long long>(value));
}

// "YYYY-MM-DD HH:MM:SS" (or with "T"), in the current zone.
DateTime ParseDate(const ByteString& text) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = ' ';
    char rest = 0;
    const std::string value = S(text);
    const int fields = std::sscanf(value.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &year, &month, &day,
                                   &separator, &hour, &minute, &second, &rest);
    const bool dateOnly = fields == 3;
    if (!dateOnly && (fields != 7 || (separator != ' ' && separator != 'T'))) {
        throw UsageError("touch: the date must read YYYY-MM-DD[ HH:MM:SS]");
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        static_cast<int>(day) >
            Date::MonthLength(static_cast<int>(year), static_cast<int>(month)) ||
        hour > 23 || minute > 59 || second > 59) {
        throw UsageError("touch: no such date: " + value);
    }
    return DateTime(TimeOfDay(static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                              static_cast<std::uint8_t>(second)),
                    Date(static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
                         static_cast<std::int16_t>(year)),
                    ZoneOffset::GetCurrentZone());
}

// ---- copy and move with the progress bar -------------------------------------------------------

std::uint64_t SizeOfPath(const ByteString& path) {
    try {
        return FileSpec(FilePath(path)).GetFileSize();
    } catch (const std::exception&) {
        // An unreadable size only makes the bar less exact.
        return 0;
    }
}

void WriteProgress(const std::string& text) {
    Out(text);
    std::fflush(stdout);
}

// Runs a copy or move under a progress bar; on cancellation removes what the job created.
void WithProgress(const FileSpec& source, const FileSpec& target,
                  const std::function<void(const Tickler&)>& job) {
    const bool folder = source.IsFolder();
    const bool targetExisted = target.IsPresent();
    ProgressBar bar(ConsoleWidth(), WriteProgress);
    if (folder) {
        bar.SetTotal(FileSystem::GetFolderSize(source, true), SizeOfPath);
    } else {
        bar.SetTotal(source.GetFileSize());
    }
    try {
        job(Tickler(&bar));
    } catch (const std::exception&) {
        if (!bar.IsCancelled()) {
            Out(std::string("\n"));
            throw;
        }
        Out(std::string("\n"));
        // A cancelled copy removes what it made; a tree the job created goes whole all the same.
        if (folder && !targetExisted && target.IsPresent()) {
            FolderSpec(target).DeleteTree();
        }
        throw Cancelled();
    }
    bar.Finish();
}

// Copying a file into an existing folder puts it there under its own name.
FileSpec FileTarget(const FileSpec& source, const FileSpec& target) {
    if (target.IsFolder()) {
        return target.MakeChild(source.GetName());
    }
    return target;
}

void CopyCommand(const Arguments& args) {
    const FileSpec source = PresentSpec(args.positional[0]);
    FileSpec target = Spec(args.positional[1]);
    if (source.IsFolder()) {
        if (!args.Has("-r")) {
            throw UsageError("copy: " + S(args.positional[0]) + " is a folder (use -r)");
        }
        WithProgress(source, target, [&](const Tickler& tickler) {
            FileSystem::CopyFolder(target, source, true, tickler);
        });
    } else {
        target = FileTarget(source, target);
        WithProgress(source, target, [&](const Tickler& tickler) {
            FileSystem::CopyFile(target, source, tickler);
        });
    }
}

void MoveCommand(const Arguments& args) {
    const FileSpec source = PresentSpec(args.positional[0]);
    FileSpec target = Spec(args.positional[1]);
    if (!source.IsFolder()) {
        target = FileTarget(source, target);
    }
    WithProgress(source, target,
                 [&](const Tickler& tickler) { FileSystem::Move(target, source, tickler); });
}

// ---- the other file commands
// ----------------------------------------------------------------------

void MkdirCommand(const Arguments& args) {
    const FileSpec folder = Spec(args.positional[0]);
    if (args.Has("-p")) {
        FileSystem::CreateFolderTree(folder);
    } else {
        folder.CreateFolder();
    }
}

void RmCommand(const Arguments& args) {
    const FileSpec spec = PresentSpec(args.positional[0]);
    if (spec.IsFolder() && args.Has("-r")) {
        FolderSpec(spec).DeleteTree();
    } else {
        spec.Delete();
    }
}

void LsCommand(const Arguments& args) {
    const FileSpec spec = PresentSpec(args.positional[0]);
    if (!spec.IsFolder()) {
        Line(FormatDate(spec.GetModificationDate()) + "  " +
             FormatAttributes(spec.GetAttributes()) + "  " + Number(spec.GetFileSize()) + "  " +
             S(spec.GetName().GetBytes()));
        return;
    }
    for (FolderIterator it = FolderSpec(spec).NewIterator(); !it.AtEnd(); it.Advance()) {
        const FileSpec& entry = it.Current();
        const bool isFolder = it.CurrentIsFolder();
        char size[24];
        std::snprintf(size, sizeof size, "%12s",
                      isFolder ? "<DIR>" : Number(entry.GetFileSize()).c_str());
        Line(FormatDate(entry.GetModificationDate()) + "  " +
             FormatAttributes(entry.GetAttributes()) + "  " + size + "  " +
             S(entry.GetName().GetBytes()));
    }
}

void StatCommand(const Arguments& args) {
    const FileSpec spec = PresentSpec(args.positional[0]);
    FileSystem::FileSpec_IF* impl = FileSpec_Impl(spec).GetImpl();
    Line("path:       " + S(spec.GetPath().GetBytes()));
    Line("long path:  " + S(TextConvert::WideToUtf8(spec.GetNativePath())));
    Line("canonical:  " + S(impl->GetCanonicalPath().GetBytes()));
    Line(std::string("type:       ") + (FileSystem::IsLink(spec) ? "link"
                                        : spec.IsFolder()        ? "folder"
                                                                 : "file"));
    if (spec.IsFile()) {
        Line("size:       " + Number(spec.GetFileSize()));
    }
    Line("attributes: " + FormatAttributes(spec.GetAttributes()));
    Line("created:    " + FormatDate(impl->GetCreationDate()));
    Line("modified:   " + FormatDate(spec.GetModificationDate()));
    Line("accessed:   " + FormatDate(impl->GetAccessDate()));
}

void TouchCommand(const Arguments& args) {
    const FileSpec spec = Spec(args.positional[0]);
    const ByteString dateText = args.Option("--date");
    const DateTime date = dateText.empty() ? DateTime::Now() : ParseDate(dateText);
    if (!spec.IsPresent()) {
        spec.OpenChannel(FileSystem::ModeWrite | FileSystem::ModeCreate).Close();
    }
    spec.SetModificationDate(date);
}

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

void VolCommand(const Arguments& args) {
    const FileSpec spec = PresentSpec(args.positional[0]);
    const Volume volume = spec.GetVolume();
    Line("root:            " + S(volume.GetAsFolder().GetPath().GetBytes()));
    Line("label:           " + S(TextConvert::WideToUtf8(volume.GetName())));
    char serial[16];
    const std::uint32_t number = volume.GetSerialNumber();
    std::snprintf(serial, sizeof serial, "%04X-%04X", static_cast<unsigned>(number >> 16),
                  static_cast<unsigned>(number & 0xFFFF));
    Line("serial:          " + std::string(serial));
    Line("file system:     " + S(TextConvert::WideToUtf8(volume.GetFileSystemName())));
    Line("capacity:        " + Number(volume.GetCapacity()) + " (" +
         FormatBytes(volume.GetCapacity()) + ")");
    Line("free space:      " + Number(volume.GetFreeSpace()) + " (" +
         FormatBytes(volume.GetFreeSpace()) + ")");
    Line("max file size:   " + Number(volume.GetMaxFileSize()));
    Line("max name length: " + Number(volume.GetMaxNameLength()));
    Line("case-sensitive:  " + YesNo(volume.IsCaseSensitive()));
    Line("removable:       " + YesNo(volume.IsRemovable()));
    Line("remote:          " + YesNo(volume.IsRemote()));
    Line("mounted:         " + YesNo(volume.IsMounted()));
}

void RelpathCommand(const Arguments& args) {
    const FilePath relative =
        FileSystem::GetRelativePath(Spec(args.positional[0]), Spec(args.positional[1]));
    if (relative.IsEmpty()) {
        throw UsageError("relpath: the two paths lie on different volumes");
    }
    Line(S(relative.GetBytes()));
}

void FindCommand(const Arguments& args) {
    const FileSpec folder = PresentSpec(args.positional[0]);
    const FilePath pattern(args.positional[1]);
    const bool recursive = args.Has("-r");
    const FileSystem::FileSpecList found = args.Has("--folders")
                                               ? FileSystem::FindFolders(folder, pattern, recursive)
                                               : FileSystem::FindFiles(folder, pattern, recursive);
    for (const FileSpec& spec : found) {
        Line(S(spec.GetPath().GetBytes()));
    }
}

void DuCommand(const Arguments& args) {
    const FileSpec folder = PresentSpec(args.positional[0]);
    const std::uint64_t size = FileSystem::GetFolderSize(folder, args.Has("-r"));
    Line(Number(size) + " bytes (" + FormatBytes(size) + ")");
}

void ResolveCommand(const Arguments& args) {
    const FileSpec link = PresentSpec(args.positional[0]);
    auto* alias = dynamic_cast<FileSystem::AliasSpec_IF*>(FileSpec_Impl(link).GetImpl());
    if (alias == nullptr || !link.IsAlias()) {
        throw UsageError("resolve: " + S(args.positional[0]) + " is no shortcut");
    }
    Line(S(FileSpec(alias->ResolveAlias()).GetPath().GetBytes()));
}

// ---- sql
// ----------------------------------------------------------------------------------------------

// The statements of a script, split at semicolons outside quotes and comments.
std::vector<std::string> SplitStatements(const std::string& sql) {
    std::vector<std::string> statements;
    std::string current;
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote != 0) {
            current += c;
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
            quote = c == '[' ? ']' : c;
            current += c;
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            while (i < sql.size() && sql[i] != '\n') {
                ++i;
            }
        } else if (c == ';') {
            statements.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    statements.push_back(current);
    statements.erase(std::remove_if(statements.begin(), statements.end(),
                                    [](const std::string& s) {
                                        return s.find_first_not_of(" \t\r\n") == std::string::npos;
                                    }),
                     statements.end());
    return statements;
}

std::size_t TextWidth(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

void PrintTable(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(header.size());
    for (std::size_t c = 0; c < header.size(); ++c) {
        widths[c] = TextWidth(header[c]);
        for (const auto& row : rows) {
            widths[c] = std::max(widths[c], TextWidth(row[c]));
        }
    }
    auto printRow = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += (c == 0 ? "| " : " | ") + row[c];
            line.append(widths[c] - TextWidth(row[c]), ' ');
        }
        Line(line + " |");
    };
    std::string rule;
    for (std::size_t c = 0; c < widths.size(); ++c) {
        rule += "+" + std::string(widths[c] + 2, '-');
    }
    rule += "+";
    Line(rule);
    printRow(header);
    Line(rule);
    for (const auto& row : rows) {
        printRow(row);
    }
    Line(rule);
    Line(std::to_string(rows.size()) + (rows.size() == 1 ? " row" : " rows"));
}

void RunSql(SQLite3WrapperDB& db, const std::string& sql) {
    for (const std::string& statement : SplitStatements(sql)) {
        CountedPtr<SQLite3WrapperQuery> query = db.RunQuery(statement.c_str());
        const int columns = query->ColumnCount();
        if (columns == 0) {
            continue;
        }
        std::vector<std::string> header;
        for (int c = 0; c < columns; ++c) {
            header.push_back(query->ColumnName(c));
        }
        std::vector<std::vector<std::string>> rows;
        for (; !query->AtEnd(); query->Step()) {
            std::vector<std::string> row;
            for (int c = 0; c < columns; ++c) {
                const char* value = query->ColumnText(c);
                row.push_back(value != nullptr ? value : "NULL");
            }
            rows.push_back(row);
        }
        PrintTable(header, rows);
    }
}

void SqlCommand(const Arguments& args) {
    const FileSpec file = Spec(args.positional[0]);
    SQLite3WrapperDB db;
    db.Open(S(file.GetPath().GetBytes()).c_str());
    RunSql(db, S(args.positional[1]));
}

} // namespace

const std::vector<CommandInfo>& Commands() {
    static const std::vector<CommandInfo> commands = {
        {"mkdir", "mkdir [-p] PATH", {"-p"}, {}, 1, 1, MkdirCommand},
        {"rm", "rm [-r] PATH", {"-r"}, {}, 1, 1, RmCommand},
        {"ls", "ls PATH", {}, {}, 1, 1, LsCommand},
        {"stat", "stat PATH", {}, {}, 1, 1, StatCommand},
        {"touch",
         "touch PATH [--date \"YYYY-MM-DD HH:MM:SS\"]",
         {},
         {"--date"},
         1,
         1,
         TouchCommand},
        {"vol", "vol PATH", {}, {}, 1, 1, VolCommand},
        {"relpath", "relpath TARGET BASE", {}, {}, 2, 2, RelpathCommand},
        {"find", "find PATH PATTERN [-r] [--folders]", {"-r", "--folders"}, {}, 2, 2, FindCommand},
        {"du", "du PATH [-r]", {"-r"}, {}, 1, 1, DuCommand},
        {"copy", "copy [-r] SRC DST", {"-r"}, {}, 2, 2, CopyCommand},
        {"move", "move SRC DST", {}, {}, 2, 2, MoveCommand},
        {"sql", "sql DB \"SQL\"", {}, {}, 2, 2, SqlCommand},
        {"resolve", "resolve LINK.lnk", {}, {}, 1, 1, ResolveCommand},
        {"demo", "demo", {}, {}, 0, 0, DemoCommand},
    };
    return commands;
}

} // namespace Talven
