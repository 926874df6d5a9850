// Fault injection through the API table's seam: a clean run counts an operation's OS calls, then
// each fails in turn. The operation must raise the error's kind (or succeed alike), change nothing
// outside its target, leave the target whole or absent (a move's data in one place or both), leak
// no handle and run again to the same end. CI tries one error per call, the long run every one
// (the path computations too); the cross-drive rows need the tmpfs drive Q: (TestDrives.h).
#include "Private/FileChannel.h"
#include "common/FileSystemTest.h"
#include "common/Generator.h"

#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Win32_API.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

using namespace FileSystem;
using namespace TalvenTest;
namespace Faults = FileSystem_Win32::Faults;

namespace {

const DWORD Errors[] = {
    ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND,
    ERROR_NOT_READY,     ERROR_IO_DEVICE}; // the last has no kind in the error table

const std::wstring Fixture = L"C:\\talven-fixtures\\faults";
// With the test's folder in front, a path of more than MAX_PATH characters.
const std::wstring LongFolder = L"\\nest\\" + std::wstring(240, L'L'),
                   LongFile = LongFolder + L"\\l.txt";

// Key (C: the test's folder, Q: the run's folder on Q:, O: behind the link) -> "d", "l" (a linked
// folder, not entered) or "f", "r"/"h"; a file's last-write time if before 2001, ":" and bytes.
using State = std::map<std::wstring, std::string>;

void Walk(const std::wstring& path, const std::wstring& key, State& state, const wchar_t* skip) {
    WIN32_FIND_DATAW data;
    const Win32Res::FindHandle find(::FindFirstFileW((L"\\\\?\\" + path + L"\\*").c_str(), &data));
    for (bool more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &data)) {
        const std::wstring name = data.cFileName;
        const DWORD a = data.dwFileAttributes;
        if (name == L"." || name == L".." || name == skip) {
            continue;
        }
        std::string& value = state[key + L"\\" + name];
        value = a & FILE_ATTRIBUTE_REPARSE_POINT ? "l" : a & FILE_ATTRIBUTE_DIRECTORY ? "d" : "f";
        value += std::string(a & FILE_ATTRIBUTE_READONLY ? "r" : "") +
                 (a & FILE_ATTRIBUTE_HIDDEN ? "h" : "");
        const ULONGLONG time = (ULONGLONG(data.ftLastWriteTime.dwHighDateTime) << 32) |
                               data.ftLastWriteTime.dwLowDateTime;
        if (value[0] == 'd') {
            Walk(path + L"\\" + name, key + L"\\" + name, state, L"");
        } else if (value[0] == 'f') {
            value += (time < 126227808000000000ull ? std::to_string(time) : "now") + ":" +
                     ReadAll(L"\\\\?\\" + path + L"\\" + name);
        }
    }
}

// The entries of state under any of keys (with exclude: under none of them).
State Under(const State& state, const std::vector<std::wstring>& keys, bool exclude = false) {
    State part;
    for (const auto& entry : state) {
        const bool in = std::any_of(keys.begin(), keys.end(), [&](const std::wstring& key) {
            return entry.first == key || entry.first.compare(0, key.size() + 1, key + L"\\") == 0;
        });
        if (in != exclude) {
            part.insert(entry);
        }
    }
    return part;
}

const auto S = [](const std::wstring& path) { return FileSpec(FilePath(path)); };

// How Row::changes may look after a failure: as before or after; for a move {source, target},
// target absent and source whole, or target whole; a prefix of the clean run's file; a subset.
enum Rule { Whole, Moved, Prefix, Remains };

struct Row {
    const char* name;
    Rule rule;
    std::vector<std::wstring> changes;
    std::function<void()> run; // queries put their answer in FaultInjection::result
    std::uint32_t refused = 0; // calls that always fail, to take the fallback path
    // Starts from a new link-free tree at C\tree.
    bool Fresh() const { return !changes.empty() && changes[0].compare(0, 6, L"C\\tree") == 0; }
};

// How Run reports a FileException; Run's result starts with "ok " when nothing was raised.
std::string Raised(std::int32_t code, std::uint32_t number) {
    return "raised " + std::to_string(code) + " " + std::to_string(number) + ": ";
}

// Checks a failed run's end against the row's rule; true when a move's data is in both places.
bool CheckRule(const Row& row, const State& start, const State& final, const State& now) {
    EXPECT_EQ(Under(now, row.changes, true), Under(start, row.changes, true)) << "changed outside";
    const State part = Under(now, row.changes), after = Under(final, row.changes);
    if (row.rule == Whole) {
        EXPECT_TRUE(part == Under(start, row.changes) || part == after)
            << "neither before nor after";
    } else if (row.rule == Moved) {
        const State source = Under(now, {row.changes[0]}), target = Under(now, {row.changes[1]});
        EXPECT_TRUE((target.empty() && source == Under(start, {row.changes[0]})) ||
                    (target == Under(final, {row.changes[1]}) &&
                     std::includes(start.begin(), start.end(), source.begin(), source.end())))
            << "data lost or partly moved";
        return !source.empty() && !target.empty();
    } else if (row.rule == Prefix) { // the bytes after ":" are a prefix of the whole
        const std::string whole = after.begin()->second,
                          got = part.empty() ? ":" : part.begin()->second;
        EXPECT_TRUE(part.size() <= 1 && whole.find(got.substr(got.find(':'))) == whole.find(':'))
            << "not a prefix";
    }
    EXPECT_TRUE(row.rule != Remains ||
                std::includes(start.begin(), start.end(), part.begin(), part.end()))
        << "what remains changed";
    return false;
}

constexpr int RowCount = 19; // the rows of FaultInjection::Rows

// One row per test, so that a row stops at its first failing run and the others go on.
class FaultInjection : public FileSystemTest, public ::testing::WithParamInterface<int> {
protected:
    static void SetUpTestSuite() {
        FileSystemTest::SetUpTestSuite();
        // What a failure's report keeps for good on first use is taken before any handle count.
        for (DWORD error : Errors) {
            EXPECT_NE(CatchFileException([&] { RaiseWin32Error(error, Fixture); }).what(), nullptr);
        }
    }
    void SetUp() override {
        if (!Exists(Fixture + L"\\holder\\linked")) {
            GTEST_SKIP() << "no linked folder: run tests/fixtures/fault-link.sh <wineprefix>";
        }
        remote = TmpfsDriveUsable() ? std::make_unique<TestFolder>(L"Q:", L"faults") : nullptr;
        Build(Path(L"C\\src"), true);
    }
    // The holder goes back, so that no test folder ever holds a link when it is removed.
    void TearDown() override {
        ::MoveFileW(Path(L"C\\src\\holder").c_str(), (Fixture + L"\\holder").c_str());
    }

    std::wstring Path(const std::wstring& key) const {
        return (key[0] == L'C'   ? dir.Path()
                : key[0] == L'Q' ? remote->Path()
                                 : Fixture + L"\\outside") +
               key.substr(1);
    }

    State Snapshot(const Row& row) const { // the source tree is left out where not read
        State state;
        Walk(dir.Path(), L"C", state, row.Fresh() ? L"src" : L"");
        Walk(Path(L"O"), L"O", state, L"");
        if (remote) {
            Walk(remote->Path(), L"Q", state, L"");
        }
        return state;
    }

    // The tree under test, made with plain Win32 calls; with link, the fixture's link holder too.
    void Build(const std::wstring& root, bool link) {
        for (const std::wstring& sub :
             {std::wstring(), std::wstring(L"\\empty"), std::wstring(L"\\nest"), LongFolder}) {
            ::CreateDirectoryW((L"\\\\?\\" + root + sub).c_str(), nullptr);
        }
        const FILETIME stamp = {0x12345678u, 0x01BF0000u}; // in 1999
        // clang-format off
        const std::tuple<std::wstring, std::string, DWORD> files[] = {{L"\\zero.txt", "", 0},
            {L"\\ro.txt", "read-only", FILE_ATTRIBUTE_READONLY}, {LongFile, "long", 0},
            {L"\\hid.txt", std::string(70000, 'h'), FILE_ATTRIBUTE_HIDDEN}};
        // clang-format on
        for (const auto& [name, bytes, attributes] : files) {
            const std::wstring path = L"\\\\?\\" + root + name;
            Win32Res::FileHandle file(
                ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(
                ::WriteFile(file.Get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                ::SetFileTime(file.Get(), nullptr, nullptr, &stamp));
            file.Reset();
            ::SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_ARCHIVE);
        }
        if (link) {
            ASSERT_TRUE(::MoveFileW((Fixture + L"\\holder").c_str(), (root + L"\\holder").c_str()));
        }
    }

    // Everything but the persistent source goes; a fresh tree is built when the row needs one.
    void Reset(const Row& row) {
        for (const wchar_t* key : {L"C\\tree", L"C\\out", L"Q\\moved"}) {
            if (key[0] == L'C' || remote) {
                const std::wstring path = L"\\\\?\\" + Path(key);
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str()), RemoveTree(path);
            }
        }
        if (row.Fresh()) {
            Build(Path(L"C\\tree"), false);
        }
    }

    std::string Run(const Row& row, Faults::Plan* plan) { // without plan: without faults
        Faults::SetPlan(plan);
        std::string outcome;
        try {
            result.clear(), row.run(), outcome = "ok " + result;
        } catch (const FileException& x) {
            const auto* cause = dynamic_cast<const SystemException::Win32*>(x.cause());
            outcome = Raised(x.code(), cause ? cause->number() : 0) + x.what();
        } catch (const std::exception& x) {
            outcome = std::string("not a FileException: ") + x.what();
        }
        Faults::SetPlan(nullptr);
        return outcome;
    }

    std::vector<Row> Rows();
    std::unique_ptr<TestFolder> remote;
    std::string result;
};

std::vector<Row> FaultInjection::Rows() {
    const std::wstring s = Path(L"C\\src"), t = Path(L"C\\tree"), o = Path(L"C\\out"),
                       q = remote ? Path(L"Q\\moved") : L"", th = t + L"\\hid.txt",
                       sh = s + L"\\hid.txt", h = L"C\\tree\\hid.txt";
    const std::vector<std::wstring> O = {L"C\\out"}, T = {L"C\\tree"}, H = {h};
    const DateTime date(TimeOfDay(12, 0, 0), Date(15, 6, 1999), ZoneOffset());
    const Tickler none;
    const std::string w(50000, 'w');
    const std::uint32_t noMove = Faults::Bit(Faults::Call::MoveFileW);
    // clang-format off
    return {
        {"CopyFile, OS copy", Whole, O, [=] { CopyFile(S(o), S(s + LongFile), none); }},
        {"CopyFile, channel copy", Whole, O, [=] { CopyFileByChannel(S(o), S(sh), none); }},
        {"CopyFolder", Whole, O, [=] { CopyFolder(S(o), S(s), true, none); }},
        {"Move, file", Moved, {h, L"C\\out"}, [=] { Move(S(o), S(th), none); }},
        {"Move, tree", Moved, {L"C\\tree", L"C\\out"}, [=] { Move(S(o), S(t), none); }},
        {"Move by copy", Moved, {h, L"C\\out"}, [=] { Move(S(o), S(th), none); }, noMove},
        {"DeleteTree", Remains, T, [=] { FolderSpec(S(t)).DeleteTree(); }},
        {"DeleteContents", Remains, T, [=] { FolderSpec(S(t)).DeleteContents(false); }},
        {"CreateFolderTree", Whole, O, [=] { CreateFolderTree(S(o + L"\\x\\y\\z")); }},
        {"FileSpec Create", Whole, O, [=] { FileSpec_Impl(S(o)).GetImpl()->Create(); }},
        {"Delete, read-only", Whole, {L"C\\tree\\ro.txt"}, [=] { S(t + L"\\ro.txt").Delete(); }},
        {"Rename", Whole, {h, L"C\\tree\\b.txt"}, [=] { S(th).Rename(S(t + L"\\b.txt")); }},
        {"date setters", Whole, H, [=] { const FileSpec_Impl f(S(th)); auto* i = f.GetImpl();
             i->SetCreationDate(date), i->SetAccessDate(date), f.SetModificationDate(date); }},
        {"FileSpec SetAttributes", Whole, H, [=] { S(th).SetAttributes(AttributeReadOnly); }},
        {"Channel write, SetEndOfFile", Prefix, O, [=] {
             const FileChannel c = S(o).OpenChannel(ModeWrite | ModeCreate | ModeTruncate);
             c.Write(w.data(), w.size()), c.Write(w.data(), w.size());
             c.SetEndOfFile(150000), c.Close(); }},
        {"GetFolderSize", Whole, {}, [=] { result = std::to_string(GetFolderSize(S(s), true)); }},
        {"FindFiles", Whole, {}, [=] {
             for (const FileSpec& f : FindFiles(S(s), FilePath("*"), true)) {
                 result += Narrow(f.GetPath()) + "|"; } }},
        // Across drives: the last rows, left out without Q:.
        {"Move, file to Q:", Moved, {h, L"Q\\moved"}, [=] { Move(S(q), S(th), none); }},
        {"Move, tree to Q:", Moved, {L"C\\tree", L"Q\\moved"}, [=] { Move(S(q), S(t), none); }},
    };
    // clang-format on
}

TEST_P(FaultInjection, EveryFailurePointLosesNothing) {
    const std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), std::size_t(RowCount));
    if (!remote && GetParam() >= RowCount - 2) {
        GTEST_SKIP() << "no tmpfs drive Q: for the cross-drive rows";
    }
    const Row& row = rows[GetParam()];
    SCOPED_TRACE(row.name);
    // CI leaves out GetFullPathNameW, which touches no file and sits next to the item's file call.
    Reset(row);
    const State start = Snapshot(row);
    const std::uint64_t perPoint = std::min<std::uint64_t>(
        EnvNumber("TALVEN_ROBUSTNESS_CASES", EnvNumber("TALVEN_LONG_RUN", 0) ? 99 : 1),
        std::size(Errors));
    Faults::Plan plan;
    plan.calls =
        Faults::AllCalls & (perPoint > 1 ? ~0u : ~Faults::Bit(Faults::Call::GetFullPathNameW));
    plan.refused = row.refused;
    const std::string clean = Run(row, &plan);
    ASSERT_EQ(clean.substr(0, 3), "ok ") << clean;
    const State final = Snapshot(row);
    const std::uint32_t calls = plan.seen;
    for (std::uint32_t k = 1; k <= calls && !HasFailure(); ++k) {
        for (std::uint64_t e = 0; e < perPoint && !HasFailure(); ++e) {
            const DWORD error = Errors[(k + e) % std::size(Errors)];
            Reset(row);
            const HandleLeakCheck handles; // the clean run opened what stays for good
            plan.failAt = k, plan.error = error, plan.seen = 0, plan.failed = Faults::Call::Count;
            const std::string failed = Run(row, &plan);
            const State now = Snapshot(row);
            SCOPED_TRACE("call " + std::to_string(k) + " of " + std::to_string(calls) + " (" +
                         Faults::Name(plan.failed) + ") fails with " + std::to_string(error));
            // Told that an item is not there, an operation may act on that.
            const bool absent =
                error == ERROR_PATH_NOT_FOUND && plan.failed == Faults::Call::GetFileAttributesExW;
            const bool raised = failed.compare(0, 3, "ok ") != 0;
            const TalvenText* kind = FileExceptionKind(error);
            const std::string expected =
                Raised(kind ? kind->id() : SystemException::Win32::Win32Error.id(), error);
            if (raised && !absent) {
                EXPECT_EQ(failed.substr(0, expected.size()), expected) << failed;
            } else if (!raised) {
                EXPECT_EQ(failed, clean) << "success with another result";
                EXPECT_TRUE(now == final || absent) << "success with another end";
            }
            const bool both = CheckRule(row, start, final, now);
            handles.Expect("the failed operation");
            // A move whose data is now in both places cannot run again onto its own copy.
            if (raised && !both && !HasFailure()) {
                EXPECT_EQ(Run(row, nullptr), clean) << "the run again";
                EXPECT_EQ(Snapshot(row), final) << "the run again ends elsewhere";
            }
        }
    }
    std::printf("[fault injection] %s: %u calls, each failed with %llu error(s)\n", row.name,
                static_cast<unsigned>(calls), static_cast<unsigned long long>(perPoint));
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultInjection, ::testing::Range(0, RowCount));

} // namespace
