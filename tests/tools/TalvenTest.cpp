// End-to-end tests of the talven tool: the real talven.exe beside the test program, its output,
// errors and exit status. (Ctrl+C: tests/tools/ctrl-c-copy.sh, as Wine raises no console event
// for a Windows-side test.)
#include "common/FileSystemTest.h"
#include "support/ByteString.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

using TalvenTest::Exists;

struct Result {
    DWORD status = 0;
    std::string out, err, command; // UTF-8; the progress bar's lone CRs stay
};

// Runs talven.exe with args (in the folder cwd, when given) for at most a minute.
Result Talven(const std::wstring& args, const std::wstring& cwd = L"") {
    // New files per run: under Wine the child's handle copies may briefly block their removal.
    static const TalvenTest::TestFolder outputs;
    static int runs = 0;
    std::wstring command =
        L"\"" + TalvenTest::TestFolder::ProgramFolder() + L"\\talven.exe\" " + args;
    Result result{0, "", "", Narrow(command)};
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto create = [&] {
        return Win32Res::FileHandle(::CreateFileW(outputs.Child(std::to_wstring(++runs)).c_str(),
                                                  GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                                  &inherit, CREATE_ALWAYS, 0, nullptr));
    };
    const Win32Res::FileHandle out = create(), err = create();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.Get();
    startup.hStdError = err.Get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                          cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
        ADD_FAILURE() << "cannot start talven: " << ::GetLastError();
        return result;
    }
    const Win32Res::KernelHandle process(info.hProcess), thread(info.hThread);
    if (::WaitForSingleObject(process.Get(), 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "talven did not end within a minute";
        ::TerminateProcess(process.Get(), 99);
        ::WaitForSingleObject(process.Get(), 10000);
    }
    ::GetExitCodeProcess(process.Get(), &result.status);
    // Read back in one go (the outputs are small); CR LF from text mode becomes LF.
    for (auto file : {std::make_pair(&out, &result.out), std::make_pair(&err, &result.err)}) {
        DWORD got = 0;
        file.second->resize(1 << 20);
        ::SetFilePointer(file.first->Get(), 0, nullptr, FILE_BEGIN);
        ::ReadFile(file.first->Get(), &(*file.second)[0], 1 << 20, &got, nullptr);
        file.second->resize(got);
        for (std::size_t at; (at = file.second->find("\r\n")) != std::string::npos;) {
            file.second->erase(at, 1);
        }
    }
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
long LineCount(const std::string& text) {
    return long(std::count(text.begin(), text.end(), '\n'));
}

// The commands in turn on a small tree: each step's status, a part of its output (of stderr when
// it fails; "\n" stands for a line's start), its lines, and a path it makes or removes.
TEST(TalvenTest, CommandsGiveTheirOutputAndStatus) {
    TalvenTest::TestFolder folder;
    const std::wstring root = folder.Child(L"tree"), deep = root + L"\\a\\b\\c";
    const std::wstring copy = folder.Child(L"copy"), moved = folder.Child(L"moved");
    const std::wstring one = root + L"\\one.txt", solo = root + L"\\solo";
    const std::wstring gruesse = deep + L"\\Gr\u00fc\u00dfe.txt", news = root + L"\\new.txt";
    const std::wstring missing = folder.Child(L"missing.txt"), db = folder.Child(L"notes.db");
    const std::wstring link = folder.Child(L"link.lnk");
    ASSERT_EQ(Talven(L"mkdir -p " + deep).status, 0u);
    folder.WriteFile(L"tree\\one.txt", "12345");
    folder.WriteFile(L"tree\\a\\two.log", "1234567890");
    folder.WriteFile(L"tree\\a\\b\\three.txt", std::string(100, 'x'));
    folder.WriteFile(L"tree\\a\\b\\c\\Gr\u00fc\u00dfe.txt", "abc");
    ASSERT_TRUE(TalvenTest::WriteShortcut(link, db));
    const std::string notFound = ": " + Narrow(missing) + "\n",
                      rule = "+----+-------------------+\n";
    const struct {
        std::wstring args;
        DWORD status;
        std::string part;
        long lines;
        std::wstring made = L"", gone = L"";
    } steps[] = {
        {L"--version", 0, "\ntalven ", 1},
        // Failures, in the selected language; an OS failure carries its cause.
        {L"stat " + missing, 1, "\ntalven: file not found" + notFound, 1},
        {L"--lang deu stat " + missing, 1, "\ntalven: Datei nicht gefunden" + notFound, 1},
        {L"--lang DEU mkdir " + missing + L"\\x", 1, Narrow(missing) + "\\x (", 1},
        // The file commands.
        {L"mkdir " + solo, 0, "", 0, solo},
        {L"touch " + news + L" --date \"2021-06-15 08:30:00\"", 0, "", 0, news},
        {L"ls " + root, 0, "2021-06-15 08:30:00  A---             0  new.txt\n", 4},
        {L"stat " + one, 0, "\ntype:       file\nsize:       5\n", 9},
        {L"find " + root + L" *.txt -r", 0, "\n" + Narrow(gruesse) + "\n", 4},
        {L"find " + root + L" ? -r --folders", 0, "\n" + Narrow(root) + "\\a\n", 1},
        {L"du " + root + L" -r", 0, "\n118 bytes (", 1},
        {L"relpath " + gruesse + L" " + solo, 0, Narrow(L"\n./../a/b/c/Gr\u00fc\u00dfe.txt\n"), 1},
        {L"vol " + root, 0, "\nfile system:     NTFS\ncapacity:        ", -1},
        // Copy: a folder needs -r; a tree with its content and the final 100 %; a file into a
        // folder keeps its name; an existing target is refused and left alone.
        {L"copy " + root + L" " + copy, 2, "", 1, L"", copy},
        {L"copy -r " + root + L" " + copy, 0, "100% 118 B / 118 B", -1, copy + L"\\a\\b\\c"},
        {L"copy " + one + L" " + solo, 0, "", -1, solo + L"\\one.txt"},
        {L"copy " + one + L" " + solo + L"\\one.txt", 1, "file exists", 1},
        {L"move " + copy + L" " + moved, 0, "", -1, moved + L"\\a\\two.log", copy},
        // rm: a file; a folder with content only with -r; a missing one fails.
        {L"rm " + news, 0, "", 0, L"", news},
        {L"rm " + moved, 1, "", 1, moved},
        {L"rm -r " + moved, 0, "", 0, L"", moved},
        {L"rm -r " + moved, 1, "", 1, L"", moved},
        // SQL into an encrypted file (checked below), and the shortcut to it.
        {L"sql " + db +
             L" \"CREATE TABLE t(id INTEGER, name TEXT); INSERT INTO t VALUES(1, "
             L"'plain secret;text'); INSERT INTO t VALUES(22, NULL)\"",
         0, "", -1, db},
        {L"sql " + db + L" \"SELECT id, name FROM t ORDER BY id\"", 0,
         "\n| id | name              |\n" + rule + "| 1  | plain secret;text |\n" +
             "| 22 | NULL              |\n" + rule + "2 rows\n",
         7},
        {L"sql " + db + L" \"SELECT x FROM nowhere\"", 1, "nowhere", 1},
        {L"resolve " + link, 0, "\n" + Narrow(db) + "\n", 1},
    };
    // Usage errors (the last: not a shortcut): one line on stderr, nothing on stdout.
    for (const wchar_t* args : {L"", L"frobnicate", L"ls", L"ls a b", L"rm -x a", L"--lang",
                                L"--lang XYZ ls .", L"--trace many ls .", L"stat \"\"",
                                L"touch x --date \"2023-02-30 10:00:00\"", L"resolve one.txt"}) {
        const Result r = Talven(args, root);
        EXPECT_EQ(r.status, 2u) << r.command;
        EXPECT_TRUE(r.out.empty() && r.err.rfind("talven: ", 0) == 0 && LineCount(r.err) == 1)
            << r.command << r.out << r.err;
    }
    for (const auto& step : steps) {
        const Result r = Talven(step.args);
        SCOPED_TRACE(r.command);
        const std::string& text = step.status == 0 ? r.out : r.err;
        EXPECT_EQ(r.status, step.status) << r.err;
        EXPECT_TRUE(Contains("\n" + text, step.part)) << text;
        EXPECT_TRUE(step.lines < 0 || LineCount(text) == step.lines) << text;
        EXPECT_TRUE(step.made.empty() || Exists(step.made)) << Narrow(step.made);
        EXPECT_TRUE(step.gone.empty() || !Exists(step.gone)) << Narrow(step.gone);
    }
    EXPECT_EQ(TalvenTest::ReadAll(solo + L"\\one.txt"), "12345");
    EXPECT_FALSE(Contains(TalvenTest::ReadAll(db), "plain secret"));
    const std::string help = Talven(L"--help").out;
    for (const char* command : {"copy", "move", "mkdir", "rm", "ls", "find", "du", "stat", "touch",
                                "vol", "relpath", "resolve", "sql", "demo"}) {
        EXPECT_TRUE(Contains(help, std::string("talven ") + command)) << command;
    }
}

// Arguments go to the library as typed: relative, ".", "..", a ".." inside, root-relative
// ("\\x") and drive-relative ("C:x").
TEST(TalvenTest, PathsOfEveryFormAreTakenAsTyped) {
    TalvenTest::TestFolder folder;
    folder.WriteFile(L"a.txt", "12345");
    const std::wstring sub = folder.Child(L"sub");
    ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr));
    const std::wstring file = folder.Child(L"a.txt"), top = folder.Path();
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
        const Result r = Talven(L"stat " + row.arg, row.cwd);
        EXPECT_EQ(r.status, 0u) << r.command << r.err;
        EXPECT_TRUE(Contains(r.out, "path:       " + Narrow(row.names) + "\n"))
            << r.command << r.out;
    }
}

TEST(TalvenTest, DemoRunsGreenAndLeavesNothingBehind) {
    TalvenTest::TestFolder folder;
    const std::wstring temp = folder.Child(L"temp"); // the demo's, through TMP and TEMP
    ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
    wchar_t oldTmp[MAX_PATH] = L"", oldTemp[MAX_PATH] = L"";
    ::GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
    ::GetEnvironmentVariableW(L"TEMP", oldTemp, MAX_PATH);
    ::SetEnvironmentVariableW(L"TMP", temp.c_str());
    ::SetEnvironmentVariableW(L"TEMP", temp.c_str());
    const Result r = Talven(L"demo");
    ::SetEnvironmentVariableW(L"TMP", oldTmp[0] ? oldTmp : nullptr);
    ::SetEnvironmentVariableW(L"TEMP", oldTemp[0] ? oldTemp : nullptr);
    EXPECT_EQ(r.status, 0u) << r.err;
    for (const char* part :
         {"1. Build a sample tree", "7. Remove everything", "100%", "the plain text is not in it",
          "Datei nicht gefunden", "fichier introuvable", " is gone"}) {
        EXPECT_TRUE(Contains(r.out, part)) << part;
    }
    EXPECT_TRUE(::RemoveDirectoryW(temp.c_str())) << "the demo left something behind";
}

} // namespace
