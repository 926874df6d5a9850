// Fault injection through the API table's seam (FileSystem_Win32::Faults): a run without faults
// counts an operation's N calls; then each call k fails in turn, and the operation must raise
// the error's kind (or succeed alike), change nothing outside its target, leave the target
// complete or absent (a move's data whole in one place or both), leak no handle, and run again
// without faults to the same end. CI tries one error per point, in turn; with
// TALVEN_ROBUSTNESS_CASES (scripts/run-reliability.sh) every error at every point. The
// cross-drive rows need the tmpfs drive Q: (TestDrives.h) and skip without it.
#include "Private/FileChannel.h"
#include "common/FileSystemTest.h"
#include "common/Generator.h"

#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Win32_API.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

using namespace FileSystem;
using namespace TalvenTest;
namespace Faults = FileSystem_Win32::Faults;

namespace {

const DWORD Errors[] = {
    ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND,
    ERROR_NOT_READY,     ERROR_IO_DEVICE}; // the last has no kind in the error table

const wchar_t* const Fixture = L"C:\\talven-fixtures\\faults";
// With the test's folder in front, a path of more than MAX_PATH characters.
const std::wstring LongFolder = L"\\nest\\" + std::wstring(240, L'L');
const std::wstring LongFile = LongFolder + L"\\l.txt";

// Key -> what is there: "d" and "l" (a linked folder, never entered) or "f", then "r"/"h" for
// read-only/hidden, the last-write time when set by a test (before 2001; "now" otherwise), ":"
// and the bytes. Keys start with the root: C (the test's folder), Q (the run's folder on Q:),
// O (the data behind the link).
using State = std::map<std::wstring, std::string>;

// Records what lies below path, except the entry called skip.
void Walk(const std::wstring& path, const std::wstring& key, State& state,
          const wchar_t* skip = L"") {
    WIN32_FIND_DATAW data;
    const Win32Res::FindHandle find(::FindFirstFileW((L"\\\\?\\" + path + L"\\*").c_str(), &data));
    for (bool more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &data)) {
        const std::wstring name = data.cFileName, child = path + L"\\" + name;
        const DWORD a = data.dwFileAttributes;
        if (name == L"." || name == L".." || name == skip) {
            continue;
        }
        std::string& value = state[key + L"\\" + name];
        value = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? "l"
                : (a & FILE_ATTRIBUTE_DIRECTORY)   ? "d"
                                                   : "f";
        value += std::string(a & FILE_ATTRIBUTE_READONLY ? "r" : "") +
                 (a & FILE_ATTRIBUTE_HIDDEN ? "h" : "");
        if (value[0] == 'd') {
            Walk(child, key + L"\\" + name, state);
        } else if (value[0] == 'f') {
            const ULONGLONG time = (ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                   data.ftLastWriteTime.dwLowDateTime;
            value += (time < 126227808000000000ull ? std::to_string(time) : "now") + ":" +
                     ReadAll(L"\\\\?\\" + child);
        }
    }
}

// The entries of state under any of keys (with exclude: under none of them).
State Under(const State& state, const std::vector<std::wstring>& keys, bool exclude = false) {
    State part;
    for (const auto& entry : state) {
        bool in = false;
        for (const std::wstring& key : keys) {
            in = in || entry.first.compare(0, key.size() + 1, key + L"\\") == 0 ||
                 entry.first == key;
        }
        if (in != exclude) {
            part.insert(entry);
        }
    }
    return part;
}

bool Contains(const State& whole, const State& part) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

FileSpec Spec(const std::wstring& path) {
    return FileSpec(FilePath(path));
}

// How the entries an operation may change (Row::changes) must look after a failure.
enum class Rule {
    Whole,   // as at the start, or as after the run without faults
    Moved,   // changes = {source, target}: target absent and source whole, or target whole and
             // source whole or partly removed
    Prefix,  // a file that is absent or holds a prefix of its bytes after the run without faults
    Remains, // what is left is unchanged
};

struct Row {
    const char* name;
    bool fresh; // starts from a new link-free tree at C\tree
    Rule rule;
    std::vector<std::wstring> changes;
    std::function<void(std::string& result)> run; // the operation; queries give a result
    std::uint32_t refused = 0; // calls that always fail, to take the fallback path
};

struct Outcome {
    std::string result, raised; // raised: the exception's text, empty when none
    std::int32_t code = 0;      // the FileException's code and its Win32 cause's number
    std::uint32_t number = 0;
};

// Runs row under plan (none: without faults).
Outcome RunRow(const Row& row, Faults::Plan* plan) {
    Outcome outcome;
    Faults::SetPlan(plan);
    try {
        row.run(outcome.result);
    } catch (const FileException& x) {
        const auto* cause = dynamic_cast<const SystemException::Win32*>(x.cause());
        outcome.raised = x.what();
        outcome.code = x.code();
        outcome.number = cause ? cause->number() : 0;
    } catch (const std::exception& x) {
        outcome.raised = std::string("not a FileException: ") + x.what();
    }
    Faults::SetPlan(nullptr);
    return outcome;
}

// Checks the state after a failed run against the row's rule; true when the data of a move is
// now in both places.
bool CheckRule(const Row& row, const State& start, const State& final, const State& now) {
    EXPECT_EQ(Under(now, row.changes, true), Under(start, row.changes, true)) << "changed outside";
    const State part = Under(now, row.changes), before = Under(start, row.changes),
                after = Under(final, row.changes);
    switch (row.rule) {
    case Rule::Whole:
        EXPECT_TRUE(part == before || part == after) << "neither as before nor whole";
        return false;
    case Rule::Moved: {
        const State source = Under(now, {row.changes[0]}), target = Under(now, {row.changes[1]});
        EXPECT_TRUE((target.empty() && source == Under(start, {row.changes[0]})) ||
                    (target == Under(final, {row.changes[1]}) && Contains(start, source)))
            << "data lost or partly moved";
        return !source.empty() && !target.empty();
    }
    case Rule::Prefix: {
        // The bytes, after the ":", of a file that is absent or a prefix of the whole.
        const std::string whole = after.begin()->second,
                          got = part.empty() ? ":" : part.begin()->second;
        EXPECT_TRUE(part.size() <= 1 && whole.find(got.substr(got.find(':'))) == whole.find(':'))
            << "not a prefix";
        return false;
    }
    case Rule::Remains:
        EXPECT_TRUE(Contains(start, part)) << "what remains changed";
        return false;
    }
    return false;
}

constexpr int RowCount = 19; // the rows of FaultInjection::Rows

// One row of Rows per test, so that a row stops at its first failing run and the others go on.
class FaultInjection : public FileSystemTest, public ::testing::WithParamInterface<int> {
protected:
    static void SetUpTestSuite() {
        FileSystemTest::SetUpTestSuite();
        // What a failure's report keeps for good on first use is taken before any handle count.
        for (DWORD error : Errors) {
            const auto raise = [&] { RaiseWin32Error(error, std::wstring(L"C:\\x")); };
            EXPECT_NE(CatchFileException(raise).what(), nullptr);
        }
    }
    void SetUp() override {
        if (!Exists(std::wstring(Fixture) + L"\\holder\\linked")) {
            GTEST_SKIP() << "no linked folder: run tests/fixtures/fault-link.sh <wineprefix>";
        }
        if (TmpfsDriveUsable()) {
            remote = std::make_unique<TestFolder>(L"Q:", L"faults");
        }
        Build(Path(L"C\\src"), true);
    }
    void TearDown() override {
        // The holder goes back, so that no test folder ever holds a link when it is removed.
        ::MoveFileW(Path(L"C\\src\\holder").c_str(), (std::wstring(Fixture) + L"\\holder").c_str());
    }

    std::wstring Path(const std::wstring& key) const {
        const std::wstring root = key[0] == L'C'   ? dir.Path()
                                  : key[0] == L'Q' ? remote->Path()
                                                   : std::wstring(Fixture) + L"\\outside";
        return root + key.substr(1);
    }

    // The source tree is left out for the rows that do not read it.
    State Snapshot(const Row& row) const {
        State state;
        Walk(dir.Path(), L"C", state, row.fresh ? L"src" : L"");
        Walk(std::wstring(Fixture) + L"\\outside", L"O", state);
        if (remote) {
            Walk(remote->Path(), L"Q", state);
        }
        return state;
    }

    // The tree under test, made with plain Win32 calls; the link holder is moved in from the
    // fixture when link is set.
    void Build(const std::wstring& root, bool link) {
        for (const std::wstring& folder :
             {std::wstring(), std::wstring(L"\\empty"), std::wstring(L"\\nest"), LongFolder}) {
            ::CreateDirectoryW((L"\\\\?\\" + root + folder).c_str(), nullptr);
        }
        const struct {
            std::wstring name;
            std::string bytes;
            DWORD attributes;
        } files[] = {{L"\\zero.txt", "", 0},
                     {L"\\ro.txt", "read-only", FILE_ATTRIBUTE_READONLY},
                     {L"\\hid.txt", std::string(70000, 'h'), FILE_ATTRIBUTE_HIDDEN},
                     {LongFile, "long", 0}};
        for (const auto& file : files) {
            const std::wstring path = L"\\\\?\\" + root + file.name;
            Win32Res::FileHandle handle(
                ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            const FILETIME stamp = {0x12345678u, 0x01BF0000u}; // in 1999
            ASSERT_TRUE(::WriteFile(handle.Get(), file.bytes.data(), DWORD(file.bytes.size()),
                                    &written, nullptr) &&
                        ::SetFileTime(handle.Get(), nullptr, nullptr, &stamp));
            handle.Reset();
            ::SetFileAttributesW(path.c_str(), file.attributes | FILE_ATTRIBUTE_ARCHIVE);
        }
        if (link) {
            ASSERT_TRUE(::MoveFileW((std::wstring(Fixture) + L"\\holder").c_str(),
                                    (root + L"\\holder").c_str()));
        }
    }

    // Everything but the persistent source goes; a fresh tree is built when the row needs one.
    void Reset(const Row& row) {
        for (const wchar_t* key : {L"C\\tree", L"C\\out"}) {
            const std::wstring path = L"\\\\?\\" + Path(key);
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(path.c_str())) {
                RemoveTree(path);
            }
        }
        if (remote) {
            RemoveTree(L"\\\\?\\" + remote->Path());
            ::CreateDirectoryW(remote->Path().c_str(), nullptr);
        }
        if (row.fresh) {
            Build(Path(L"C\\tree"), false);
        }
    }

    std::vector<Row> Rows();
    std::unique_ptr<TestFolder> remote;
};

std::vector<Row> FaultInjection::Rows() {
    const std::wstring src = Path(L"C\\src"), tree = Path(L"C\\tree"), out = Path(L"C\\out");
    const std::wstring q = remote ? Path(L"Q\\moved") : L"";
    const DateTime date(TimeOfDay(12, 0, 0), Date(15, 6, 1999), ZoneOffset());
    const Tickler none;
    // clang-format off
    return {
        {"CopyFile, OS copy", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFile(Spec(out), Spec(src + LongFile), none); }},
        {"CopyFile, channel copy", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFileByChannel(Spec(out), Spec(src + L"\\hid.txt"), none); }},
        {"CopyFolder", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFolder(Spec(out), Spec(src), true, none); }},
        {"Move, file", true, Rule::Moved, {L"C\\tree\\hid.txt", L"C\\out"},
         [=](std::string&) { Move(Spec(out), Spec(tree + L"\\hid.txt"), none); }},
        {"Move, tree", true, Rule::Moved, {L"C\\tree", L"C\\out"},
         [=](std::string&) { Move(Spec(out), Spec(tree), none); }},
        {"Move, file, copy and delete", true, Rule::Moved, {L"C\\tree\\hid.txt", L"C\\out"},
         [=](std::string&) { Move(Spec(out), Spec(tree + L"\\hid.txt"), none); },
         Faults::Bit(Faults::Call::MoveFileW)},
        {"DeleteTree", true, Rule::Remains, {L"C\\tree"},
         [=](std::string&) { FolderSpec(Spec(tree)).DeleteTree(); }},
        {"DeleteContents", true, Rule::Remains, {L"C\\tree"},
         [=](std::string&) { FolderSpec(Spec(tree)).DeleteContents(false); }},
        {"CreateFolderTree", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CreateFolderTree(Spec(out + L"\\x\\y\\z")); }},
        {"FileSpec Create", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { FileSpec_Impl(Spec(out)).GetImpl()->Create(); }},
        {"FileSpec Delete, read-only file", true, Rule::Whole, {L"C\\tree\\ro.txt"},
         [=](std::string&) { Spec(tree + L"\\ro.txt").Delete(); }},
        {"FileSpec Rename", true, Rule::Whole, {L"C\\tree\\hid.txt", L"C\\tree\\b.txt"},
         [=](std::string&) { Spec(tree + L"\\hid.txt").Rename(Spec(tree + L"\\b.txt")); }},
        {"FileSpec date setters", true, Rule::Whole, {L"C\\tree\\hid.txt"}, [=](std::string&) {
             const FileSpec_Impl file(Spec(tree + L"\\hid.txt"));
             file.GetImpl()->SetCreationDate(date);
             file.GetImpl()->SetAccessDate(date);
             file.SetModificationDate(date); }},
        {"FileSpec SetAttributes", true, Rule::Whole, {L"C\\tree\\hid.txt"},
         [=](std::string&) { Spec(tree + L"\\hid.txt").SetAttributes(AttributeReadOnly); }},
        {"Channel write, SetEndOfFile", false, Rule::Prefix, {L"C\\out"}, [=](std::string&) {
             const FileChannel channel =
                 Spec(out).OpenChannel(ModeWrite | ModeCreate | ModeTruncate);
             const std::string bytes(50000, 'w');
             channel.Write(bytes.data(), bytes.size());
             channel.Write(bytes.data(), bytes.size());
             channel.SetEndOfFile(150000);
             channel.Close(); }},
        {"GetFolderSize", false, Rule::Whole, {},
         [=](std::string& size) { size = std::to_string(GetFolderSize(Spec(src), true)); }},
        {"FindFiles", false, Rule::Whole, {}, [=](std::string& names) {
             for (const FileSpec& file : FindFiles(Spec(src), FilePath("*"), true)) {
                 names += Narrow(file.GetPath()) + "|";
             } }},
        // Across drives: the last rows, left out without Q:.
        {"Move, file across drives", true, Rule::Moved, {L"C\\tree\\hid.txt", L"Q\\moved"},
         [=](std::string&) { Move(Spec(q), Spec(tree + L"\\hid.txt"), none); }},
        {"Move, tree across drives", true, Rule::Moved, {L"C\\tree", L"Q\\moved"},
         [=](std::string&) { Move(Spec(q), Spec(tree), none); }},
    };
    // clang-format on
}

TEST_P(FaultInjection, EveryFailurePointLosesNothing) {
    const std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), std::size_t(RowCount));
    if (!remote && GetParam() >= int(rows.size()) - 2) {
        GTEST_SKIP() << "no tmpfs drive Q: for the cross-drive rows";
    }
    const Row& row = rows[GetParam()];
    SCOPED_TRACE(row.name);
    // The run without faults: its call count, result and end state. CI leaves out the path
    // computations (GetFullPathNameW), which touch no file: each sits next to the file call of
    // the same item. The long run fails them too.
    Reset(row);
    const State start = Snapshot(row);
    const std::uint64_t perPoint =
        std::min<std::uint64_t>(EnvNumber("TALVEN_ROBUSTNESS_CASES", 1), std::size(Errors));
    Faults::Plan plan;
    plan.calls =
        Faults::AllCalls & (perPoint > 1 ? ~0u : ~Faults::Bit(Faults::Call::GetFullPathNameW));
    plan.refused = row.refused;
    const Outcome clean = RunRow(row, &plan);
    ASSERT_EQ(clean.raised, "") << "fails without faults";
    const State final = Snapshot(row);
    const std::uint32_t calls = plan.seen;
    std::printf("%-32s %4u calls\n", row.name, calls);

    for (std::uint32_t k = 1; k <= calls && !HasFailure(); ++k) {
        for (std::uint64_t e = 0; e < perPoint && !HasFailure(); ++e) {
            const DWORD error = Errors[(k + e) % std::size(Errors)];
            Reset(row);
            const HandleLeakCheck handles; // the run without faults opened what stays for good
            plan.failAt = k;
            plan.error = error;
            plan.seen = 0;
            plan.failed = Faults::Call::Count;
            const Outcome failed = RunRow(row, &plan);
            const State now = Snapshot(row);
            SCOPED_TRACE("call " + std::to_string(k) + " of " + std::to_string(calls) + " (" +
                         Faults::Name(plan.failed) + ") fails with " + std::to_string(error));
            // Told that an item is not there, an operation may act on that.
            const bool absent =
                error == ERROR_PATH_NOT_FOUND && plan.failed == Faults::Call::GetFileAttributesExW;
            const TalvenText* kind = FileExceptionKind(error);
            if (!failed.raised.empty() && !absent) {
                EXPECT_EQ(failed.code, kind ? kind->id() : SystemException::Win32::Win32Error.id())
                    << failed.raised;
                EXPECT_EQ(failed.number, error) << failed.raised;
            } else if (failed.raised.empty()) {
                EXPECT_EQ(failed.result, clean.result) << "success with another result";
                EXPECT_TRUE(now == final || absent) << "success with another end";
            }
            const bool both = CheckRule(row, start, final, now);
            handles.Expect("the failed operation");
            // Run again without faults: nothing the failure left stands in the way. A move whose
            // data is now in both places cannot run again onto its own copy.
            if (!failed.raised.empty() && !both && !HasFailure()) {
                const Outcome again = RunRow(row, nullptr);
                EXPECT_EQ(again.raised, "") << "the run again raised";
                EXPECT_EQ(again.result, clean.result);
                EXPECT_EQ(Snapshot(row), final) << "the run again ends elsewhere";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultInjection, ::testing::Range(0, RowCount));

} // namespace
