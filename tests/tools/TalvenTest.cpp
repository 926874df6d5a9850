// End-to-end tests of the talven tool: each starts the real talven.exe beside the test program,
// captures its standard output and error through pipes, and checks both and the exit status.
#include "Private/Windows/TalvenWindows.h"
#include "Private/Windows/Win32Handle.h"
#include "common/TestFolder.h"
#include "support/ByteString.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Result {
    DWORD status = 0;
    std::string out; // UTF-8
    std::string err;
};

// One argument quoted as the C runtime splits command lines.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which itself is escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

void Drain(HANDLE pipe, std::string* into) {
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        into->append(buffer, read);
    }
}

// Runs talven.exe with args (in the folder cwd, when given) and waits at most a minute for it.
// (Ctrl+C is tested from Linux by tests/tools/ctrl-c-copy.sh: Wine raises no console event for
// a Windows-side test.)
Result Talven(const std::vector<std::wstring>& args, const std::wstring& cwd = L"") {
    Result result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    EXPECT_TRUE(::CreatePipe(&outRead, &outWrite, &inherit, 0));
    Win32Res::KernelHandle outReadOwner(outRead), outWriteOwner(outWrite);
    EXPECT_TRUE(::CreatePipe(&errRead, &errWrite, &inherit, 0));
    Win32Res::KernelHandle errReadOwner(errRead), errWriteOwner(errWrite);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::wstring command = Quote(TalvenTest::TestFolder::ProgramFolder() + L"\\talven.exe");
    for (const std::wstring& arg : args) {
        command += L" " + Quote(arg);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    const BOOL started =
        ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                         cwd.empty() ? nullptr : cwd.c_str(), &startup, &info);
    EXPECT_TRUE(started) << ::GetLastError();
    if (!started) {
        return result;
    }
    Win32Res::KernelHandle process(info.hProcess), thread(info.hThread);
    // Only the child may hold the write ends now, so the reads end when it does.
    outWriteOwner.Reset();
    errWriteOwner.Reset();
    std::thread outReader(Drain, outRead, &result.out);
    std::thread errReader(Drain, errRead, &result.err);
    if (::WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "talven did not end within a minute";
        ::TerminateProcess(process.Get(), 99);
        ::WaitForSingleObject(process.Get(), 10000);
    }
    outReader.join();
    errReader.join();
    ::GetExitCodeProcess(process.Get(), &result.status);
    // Text mode writes CR LF; the progress bar's lone CRs stay.
    for (std::string* text : {&result.out, &result.err}) {
        for (std::size_t at; (at = text->find("\r\n")) != std::string::npos;) {
            text->erase(at, 1);
        }
    }
    return result;
}

std::string U8(const std::wstring& text) {
    return TextConvert::Chars(TextConvert::WideToUtf8(text));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t LineCount(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) {
        count += c == '\n' ? 1 : 0;
    }
    return count;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(TalvenTest, GlobalOptionsAndUsageErrors) {
    Result version = Talven({L"--version"});
    EXPECT_EQ(version.status, 0u);
    EXPECT_TRUE(Contains(version.out, "talven ")) << version.out;

    Result help = Talven({L"--help"});
    EXPECT_EQ(help.status, 0u);
    for (const char* command : {"copy", "move", "mkdir", "rm", "ls", "find", "du", "stat", "touch",
                                "vol", "relpath", "resolve", "sql", "demo"}) {
        EXPECT_TRUE(Contains(help.out, std::string("talven ") + command)) << command;
    }

    // Each usage error: status 2, one line on stderr, nothing on stdout.
    const std::vector<std::vector<std::wstring>> wrong = {
        {},
        {L"frobnicate"},
        {L"ls"},
        {L"ls", L"a", L"b"},
        {L"rm", L"-x", L"a"},
        {L"--lang", L"XYZ", L"ls", L"C:\\"},
        {L"--lang"},
        {L"--trace", L"many", L"ls", L"C:\\"},
        {L"touch", L"x", L"--date", L"2023-02-30 10:00:00"},
    };
    for (const auto& args : wrong) {
        Result r = Talven(args);
        std::wstring joined;
        for (const auto& arg : args) {
            joined += arg + L" ";
        }
        EXPECT_EQ(r.status, 2u) << U8(joined);
        EXPECT_EQ(LineCount(r.err), 1u) << U8(joined) << r.err;
        EXPECT_TRUE(Contains(r.err, "talven: ")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST(TalvenTest, MissingPathGivesTheLocalisedMessageAndStatusOne) {
    TalvenTest::TestFolder folder;
    const std::wstring missing = folder.Child(L"missing.txt");
    const std::pair<const wchar_t*, const char*> languages[] = {{nullptr, "file not found"},
                                                                {L"DEU", "Datei nicht gefunden"},
                                                                {L"FRA", "fichier introuvable"},
                                                                {L"enu", "file not found"}};
    for (const auto& language : languages) {
        std::vector<std::wstring> args;
        if (language.first != nullptr) {
            args = {L"--lang", language.first};
        }
        args.push_back(L"stat");
        args.push_back(missing);
        Result r = Talven(args);
        EXPECT_EQ(r.status, 1u);
        EXPECT_EQ(r.err, std::string("talven: ") + language.second + ": " + U8(missing) + "\n");
    }
    // An OS failure carries its cause: creating a folder inside a missing one.
    Result r = Talven({L"--lang", L"DEU", L"mkdir", folder.Child(L"no\\such")});
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_TRUE(Contains(r.err, U8(folder.Child(L"no\\such")))) << r.err;
    EXPECT_TRUE(Contains(r.err, "(")) << r.err;
}

TEST(TalvenTest, FileCommandsOnAGeneratedTree) {
    TalvenTest::TestFolder folder;
    const std::wstring root = folder.Child(L"tree");
    const std::wstring deep = root + L"\\a\\b\\c";

    EXPECT_EQ(Talven({L"mkdir", L"-p", deep}).status, 0u);
    EXPECT_EQ(Talven({L"mkdir", root + L"\\solo"}).status, 0u);
    EXPECT_TRUE(Exists(deep));
    folder.WriteFile(L"tree\\one.txt", "12345");
    folder.WriteFile(L"tree\\a\\two.log", "1234567890");
    folder.WriteFile(L"tree\\a\\b\\three.txt", std::string(100, 'x'));
    folder.WriteFile(L"tree\\a\\b\\c\\Gr\u00fc\u00dfe.txt", "abc");

    Result touch = Talven({L"touch", root + L"\\one.txt", L"--date", L"2021-06-15 08:30:00"});
    EXPECT_EQ(touch.status, 0u) << touch.err;
    EXPECT_EQ(Talven({L"touch", root + L"\\new.txt"}).status, 0u);
    EXPECT_TRUE(Exists(root + L"\\new.txt"));

    Result ls = Talven({L"ls", root});
    EXPECT_EQ(ls.status, 0u) << ls.err;
    EXPECT_EQ(LineCount(ls.out), 4u) << ls.out;
    EXPECT_TRUE(Contains(ls.out, "2021-06-15 08:30:00  A---             5  one.txt")) << ls.out;
    EXPECT_TRUE(Contains(ls.out, "<DIR>  a")) << ls.out;

    Result stat = Talven({L"stat", root + L"\\one.txt"});
    EXPECT_EQ(stat.status, 0u) << stat.err;
    for (const std::string& line :
         {"path:       " + U8(root) + "\\one.txt", std::string("size:       5"),
          std::string("type:       file"), std::string("modified:   2021-06-15 08:30:00"),
          std::string("long path:  "), std::string("canonical:  ")}) {
        EXPECT_TRUE(Contains(stat.out, line)) << line << "\n" << stat.out;
    }

    Result find = Talven({L"find", root, L"*.txt", L"-r"});
    EXPECT_EQ(find.status, 0u) << find.err;
    EXPECT_EQ(LineCount(find.out), 4u) << find.out;
    EXPECT_TRUE(Contains(find.out, U8(deep + L"\\Gr\u00fc\u00dfe.txt"))) << find.out;
    Result flat = Talven({L"find", root, L"*.txt"});
    EXPECT_EQ(LineCount(flat.out), 2u) << flat.out;
    Result folders = Talven({L"find", root, L"?", L"-r", L"--folders"});
    EXPECT_EQ(LineCount(folders.out), 1u) << folders.out; // "a" matches and is not entered

    Result du = Talven({L"du", root, L"-r"});
    EXPECT_EQ(du.status, 0u);
    EXPECT_TRUE(Contains(du.out, "118 bytes")) << du.out;
    EXPECT_TRUE(Contains(Talven({L"du", root}).out, "5 bytes"));

    Result rel = Talven({L"relpath", deep + L"\\Gr\u00fc\u00dfe.txt", root + L"\\solo"});
    EXPECT_EQ(rel.status, 0u);
    EXPECT_EQ(rel.out, U8(L"./../a/b/c/Gr\u00fc\u00dfe.txt\n"));

    Result vol = Talven({L"vol", root});
    EXPECT_EQ(vol.status, 0u) << vol.err;
    EXPECT_TRUE(Contains(vol.out, "capacity:")) << vol.out;
    EXPECT_TRUE(Contains(vol.out, "max name length: 255")) << vol.out;
    EXPECT_TRUE(Contains(vol.out, "file system:     NTFS")) << vol.out;

    // Copy: a folder needs -r; a file into a folder keeps its name; a tree with its content.
    EXPECT_EQ(Talven({L"copy", root, folder.Child(L"copy")}).status, 2u);
    Result copy = Talven({L"copy", L"-r", root, folder.Child(L"copy")});
    EXPECT_EQ(copy.status, 0u) << copy.err;
    EXPECT_TRUE(Contains(copy.out, "100% 118 B / 118 B")) << copy.out;
    EXPECT_TRUE(Exists(folder.Child(L"copy\\a\\b\\c\\Gr\u00fc\u00dfe.txt")));
    EXPECT_EQ(Talven({L"copy", root + L"\\one.txt", root + L"\\solo"}).status, 0u);
    EXPECT_TRUE(Exists(root + L"\\solo\\one.txt"));
    // An existing target is refused and left alone.
    Result exists = Talven({L"copy", root + L"\\one.txt", root + L"\\solo\\one.txt"});
    EXPECT_EQ(exists.status, 1u);
    EXPECT_TRUE(Contains(exists.err, "file exists")) << exists.err;

    Result move = Talven({L"move", folder.Child(L"copy"), folder.Child(L"moved")});
    EXPECT_EQ(move.status, 0u) << move.err;
    EXPECT_FALSE(Exists(folder.Child(L"copy")));
    EXPECT_TRUE(Exists(folder.Child(L"moved\\a\\two.log")));

    // rm: a file; a folder with content only with -r.
    EXPECT_EQ(Talven({L"rm", root + L"\\new.txt"}).status, 0u);
    EXPECT_FALSE(Exists(root + L"\\new.txt"));
    EXPECT_EQ(Talven({L"rm", folder.Child(L"moved")}).status, 1u);
    EXPECT_TRUE(Exists(folder.Child(L"moved")));
    EXPECT_EQ(Talven({L"rm", L"-r", folder.Child(L"moved")}).status, 0u);
    EXPECT_FALSE(Exists(folder.Child(L"moved")));
    EXPECT_EQ(Talven({L"rm", L"-r", folder.Child(L"moved")}).status, 1u);
}

// Every argument is handed to the library as typed, which resolves it against the current
// folders: relative, ".", "..", a ".." inside, root-relative ("\\x") and drive-relative ("C:x").
TEST(TalvenTest, PathsOfEveryFormAreTakenAsTyped) {
    TalvenTest::TestFolder folder;
    folder.WriteFile(L"a.txt", "12345");
    const std::wstring sub = folder.Child(L"sub");
    ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
    const std::wstring file = folder.Child(L"a.txt");
    const std::wstring& top = folder.Path();
    const struct {
        std::wstring cwd, arg, names;
    } rows[] = {{top, L"a.txt", file},
                {top, L".", top},
                {sub, L"..", top},
                {sub, L"..\\a.txt", file},
                {top, L"sub\\..\\a.txt", file},
                {sub, top.substr(2) + L"\\a.txt", file},
                {sub, top.substr(0, 2) + L"..\\a.txt", file}};
    for (const auto& row : rows) {
        const Result r = Talven({L"stat", row.arg}, row.cwd);
        EXPECT_EQ(r.status, 0u) << U8(row.arg) << r.err;
        EXPECT_TRUE(Contains(r.out, "path:       " + U8(row.names) + "\n")) << U8(row.arg) << r.out;
    }
    EXPECT_EQ(Talven({L"stat", L""}).status, 2u);
}

TEST(TalvenTest, SqlPrintsRowsAndKeepsTheFileEncrypted) {
    TalvenTest::TestFolder folder;
    const std::wstring db = folder.Child(L"notes.db");
    Result create = Talven({L"sql", db,
                            L"CREATE TABLE t(id INTEGER, name TEXT); "
                            L"INSERT INTO t VALUES(1, 'plain secret;text'); "
                            L"INSERT INTO t VALUES(22, NULL)"});
    EXPECT_EQ(create.status, 0u) << create.err;
    Result select = Talven({L"sql", db, L"SELECT id, name FROM t ORDER BY id"});
    EXPECT_EQ(select.status, 0u) << select.err;
    EXPECT_TRUE(Contains(select.out, "| id | name              |")) << select.out;
    EXPECT_TRUE(Contains(select.out, "| 1  | plain secret;text |")) << select.out;
    EXPECT_TRUE(Contains(select.out, "| 22 | NULL              |")) << select.out;
    EXPECT_TRUE(Contains(select.out, "2 rows")) << select.out;

    Win32Res::FileHandle file(::CreateFileW(db.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(file.Get(), INVALID_HANDLE_VALUE);
    std::string bytes(1 << 16, '\0');
    DWORD read = 0;
    ASSERT_TRUE(
        ::ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr));
    bytes.resize(read);
    EXPECT_GT(read, 0u);
    EXPECT_FALSE(Contains(bytes, "plain secret"));

    Result bad = Talven({L"sql", db, L"SELECT x FROM nowhere"});
    EXPECT_EQ(bad.status, 1u);
    EXPECT_EQ(LineCount(bad.err), 1u) << bad.err;
    EXPECT_TRUE(Contains(bad.err, "nowhere")) << bad.err;
}

TEST(TalvenTest, ResolveReadsAShortcut) {
    TalvenTest::TestFolder folder;
    folder.WriteFile(L"target.txt", "x");
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    {
        Win32Res::ComPtr<IShellLinkW> link;
        ASSERT_EQ(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IShellLinkW, link.PutVoid()),
                  S_OK);
        ASSERT_EQ(link->SetPath(folder.Child(L"target.txt").c_str()), S_OK);
        Win32Res::ComPtr<IPersistFile> file;
        ASSERT_EQ(link->QueryInterface(IID_IPersistFile, file.PutVoid()), S_OK);
        ASSERT_EQ(file->Save(folder.Child(L"link.lnk").c_str(), TRUE), S_OK);
    }
    ::CoUninitialize();
    Result r = Talven({L"resolve", folder.Child(L"link.lnk")});
    EXPECT_EQ(r.status, 0u) << r.err;
    EXPECT_EQ(r.out, U8(folder.Child(L"target.txt")) + "\n");
    EXPECT_EQ(Talven({L"resolve", folder.Child(L"target.txt")}).status, 2u);
}

TEST(TalvenTest, TraceOptionRunsTheCommand) {
    Result r = Talven({L"--trace", L"3", L"--version"});
    EXPECT_EQ(r.status, 0u);
    TalvenTest::TestFolder folder;
    Result ls = Talven({L"--trace", L"3", L"ls", folder.Path()});
    EXPECT_EQ(ls.status, 0u) << ls.err;
}

// The demo's temporary folder is placed inside a test folder through TMP and TEMP.
TEST(TalvenTest, DemoRunsGreenAndLeavesNothingBehind) {
    TalvenTest::TestFolder folder;
    const std::wstring temp = folder.Child(L"temp");
    ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
    wchar_t oldTmp[MAX_PATH] = L"", oldTemp[MAX_PATH] = L"";
    ::GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    ::GetEnvironmentVariableW(L"TEMP", oldTemp, MAX_PATH);
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
    Result r = Talven({L"demo"});
    ::SetEnvironmentVariableW(L"TMP", oldTmp[0] ? oldTmp : nullptr);
    ::SetEnvironmentVariableW(L"TEMP", oldTemp[0] ? oldTemp : nullptr);

    EXPECT_EQ(r.status, 0u) << r.err;
    for (const char* title : {"1. Build a sample tree", "2. Copy it with a progress bar",
                              "3. Find files", "4. The volume", "5. An encrypted database",
                              "6. The same failure", "7. Remove everything"}) {
        EXPECT_TRUE(Contains(r.out, title)) << title;
    }
    EXPECT_TRUE(Contains(r.out, "100%"));
    EXPECT_TRUE(Contains(r.out, "the plain text is not in it"));
    EXPECT_TRUE(Contains(r.out, "Datei nicht gefunden"));
    EXPECT_TRUE(Contains(r.out, "fichier introuvable"));
    EXPECT_TRUE(Contains(r.out, " is gone"));
    WIN32_FIND_DATAW data;
    Win32Res::FindHandle find(::FindFirstFileW((temp + L"\\*").c_str(), &data));
    int entries = 0;
    if (find.Get() != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            entries += name != L"." && name != L".." ? 1 : 0;
        } while (::FindNextFileW(find.Get(), &data));
    }
    EXPECT_EQ(entries, 0);
}

} // namespace
