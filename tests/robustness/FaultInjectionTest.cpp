// Fault injection through the API table's seam (FileSystem_Win32::Faults): a run without faults
// counts an operation's N calls; then each call k fails in turn, and the operation must raise
// the error's kind (or succeed alike), change nothing outside its target, leave the target
// complete or absent (a move's data whole in one place or both), leak no handle, and run again
// without faults to the same end. CI tries one error per point, in turn; with
// TALVEN_ROBUSTNESS_CASES (scripts/run-reliability.sh) every error at every point. The
// cross-drive rows need the tmpfs drive Q: (tests/fixtures/util-tmpfs-drive.sh).
#include "Private/FileChannel.h"
#include "Private/FileSpec.h"
#include "Private/FileSystem_Utilities.h"
#include "Private/FolderSpec.h"

#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Utilities_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "Private/Windows/FileSystem_Win32_Install.h"
#include "common/FileSystemTest.h"
#include "common/HandleCount.h"
#include "common/TestDrives.h"
#include "common/TestFolder.h"
#include "robustness/Robustness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
                     TalvenTest::ReadAll(L"\\\\?\\" + child);
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

FileSpec At(const std::wstring& path) {
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

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        FileSystem_Win32::Install();
        if (TmpfsDriveUsable()) {
            remote = std::make_unique<TalvenTest::TestFolder>(L"Q:", L"faults");
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
            const wchar_t* name;
            std::string bytes;
            DWORD attributes;
        } files[] = {{L"\\zero.txt", "", 0},
                     {L"\\ro.txt", "read-only", FILE_ATTRIBUTE_READONLY},
                     {L"\\hid.txt", std::string(70000, 'h'), FILE_ATTRIBUTE_HIDDEN},
                     {LongFile.c_str(), "long", 0}};
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
                                    (root + L"\\holder").c_str()))
                << "no link holder: run tests/fixtures/fault-link.sh <wineprefix>";
        }
    }

    // Everything but the persistent source goes; a fresh tree is built when the row needs one.
    void Reset(const Row& row) {
        for (const wchar_t* key : {L"C\\tree", L"C\\out"}) {
            const std::wstring path = L"\\\\?\\" + Path(key);
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(path.c_str())) {
                TalvenTest::RemoveTree(path);
            }
        }
        if (remote) {
            TalvenTest::RemoveTree(L"\\\\?\\" + remote->Path());
            ::CreateDirectoryW(remote->Path().c_str(), nullptr);
        }
        if (row.fresh) {
            Build(Path(L"C\\tree"), false);
        }
    }

    std::vector<Row> Rows();
    void Try(const Row& row);

    TalvenTest::TestFolder dir;
    std::unique_ptr<TalvenTest::TestFolder> remote;
    std::map<DWORD, unsigned> tally; // runs that raised, by error; 0 = absorbed
    unsigned points = 0;
};

std::vector<Row> FaultInjection::Rows() {
    const std::wstring src = Path(L"C\\src"), tree = Path(L"C\\tree"), out = Path(L"C\\out");
    const std::wstring q = remote ? Path(L"Q\\moved") : L"";
    const DateTime date(TimeOfDay(12, 0, 0), Date(15, 6, 1999), ZoneOffset());
    const Tickler none;
    // clang-format off
    std::vector<Row> rows = {
        {"CopyFile, OS copy", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFile(At(out), At(src + LongFile), none); }},
        {"CopyFile, channel copy", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFileByChannel(At(out), At(src + L"\\hid.txt"), none); }},
        {"CopyFolder", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CopyFolder(At(out), At(src), true, none); }},
        {"Move, file", true, Rule::Moved, {L"C\\tree\\hid.txt", L"C\\out"},
         [=](std::string&) { Move(At(out), At(tree + L"\\hid.txt"), none); }},
        {"Move, tree", true, Rule::Moved, {L"C\\tree", L"C\\out"},
         [=](std::string&) { Move(At(out), At(tree), none); }},
        {"Move, file, copy and delete", true, Rule::Moved, {L"C\\tree\\hid.txt", L"C\\out"},
         [=](std::string&) { Move(At(out), At(tree + L"\\hid.txt"), none); },
         Faults::Bit(Faults::Call::MoveFileW)},
        {"DeleteTree", true, Rule::Remains, {L"C\\tree"},
         [=](std::string&) { FolderSpec(At(tree)).DeleteTree(); }},
        {"DeleteContents", true, Rule::Remains, {L"C\\tree"},
         [=](std::string&) { FolderSpec(At(tree)).DeleteContents(false); }},
        {"CreateFolderTree", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { CreateFolderTree(At(out + L"\\x\\y\\z")); }},
        {"FileSpec Create", false, Rule::Whole, {L"C\\out"},
         [=](std::string&) { FileSpec_Impl(At(out)).GetImpl()->Create(); }},
        {"FileSpec Delete, read-only file", true, Rule::Whole, {L"C\\tree\\ro.txt"},
         [=](std::string&) { At(tree + L"\\ro.txt").Delete(); }},
        {"FileSpec Rename", true, Rule::Whole, {L"C\\tree\\hid.txt", L"C\\tree\\b.txt"},
         [=](std::string&) { At(tree + L"\\hid.txt").Rename(At(tree + L"\\b.txt")); }},
        {"FileSpec date setters", true, Rule::Whole, {L"C\\tree\\hid.txt"}, [=](std::string&) {
             const FileSpec_Impl file(At(tree + L"\\hid.txt"));
             file.GetImpl()->SetCreationDate(date);
             file.GetImpl()->SetAccessDate(date);
             file.SetModificationDate(date); }},
        {"FileSpec SetAttributes", true, Rule::Whole, {L"C\\tree\\hid.txt"},
         [=](std::string&) { At(tree + L"\\hid.txt").SetAttributes(AttributeReadOnly); }},
        {"Channel write, SetEndOfFile", false, Rule::Prefix, {L"C\\out"}, [=](std::string&) {
             const FileChannel channel = At(out).OpenChannel(ModeWrite | ModeCreate | ModeTruncate);
             const std::string bytes(50000, 'w');
             channel.Write(bytes.data(), bytes.size());
             channel.Write(bytes.data(), bytes.size());
             channel.SetEndOfFile(150000);
             channel.Close(); }},
        {"GetFolderSize", false, Rule::Whole, {},
         [=](std::string& size) { size = std::to_string(GetFolderSize(At(src), true)); }},
        {"FindFiles", false, Rule::Whole, {}, [=](std::string& names) {
             for (const FileSpec& file : FindFiles(At(src), FilePath("*"), true)) {
                 names += TextConvert::Chars(file.GetPath().GetBytes()) + "|";
             } }},
        {"Move, file across drives", true, Rule::Moved, {L"C\\tree\\hid.txt", L"Q\\moved"},
         [=](std::string&) { Move(At(q), At(tree + L"\\hid.txt"), none); }},
        {"Move, tree across drives", true, Rule::Moved, {L"C\\tree", L"Q\\moved"},
         [=](std::string&) { Move(At(q), At(tree), none); }},
    };
    // clang-format on
    if (!remote) {
        rows.resize(rows.size() - 2);
    }
    return rows;
}

void FaultInjection::Try(const Row& row) {
    // Each row stops at its first failing run, so that one fault does not bury the others.
    const auto failures = [] {
        return ::testing::UnitTest::GetInstance()
            ->current_test_info()
            ->result()
            ->total_part_count();
    };
    const int clean = failures();

    // The run without faults: its call count, result and end state.
    Reset(row);
    const State start = Snapshot(row);
    // CI leaves out the path computations (GetFullPathNameW), which touch no file: each sits
    // next to the file call of the same item. The long run fails them too.
    const std::uint64_t perPoint = std::min<std::uint64_t>(
        Robustness::EnvNumber("TALVEN_ROBUSTNESS_CASES", 1), std::size(Errors));
    const std::uint32_t set = perPoint > 1
                                  ? Faults::AllCalls
                                  : Faults::AllCalls & ~Faults::Bit(Faults::Call::GetFullPathNameW);
    Faults::Plan count;
    count.calls = set;
    count.refused = row.refused;
    Faults::SetPlan(&count);
    std::string expected;
    try {
        row.run(expected);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "fails without faults: " << e.what();
    }
    Faults::SetPlan(nullptr);
    const State final = Snapshot(row);
    const std::uint32_t calls = count.seen;

    for (std::uint32_t k = 1; k <= calls && failures() == clean; ++k) {
        for (std::uint64_t e = 0; e < perPoint && failures() == clean; ++e) {
            const DWORD error = Errors[(k + e) % std::size(Errors)];
            Reset(row);
            const HandleLeakCheck handles;
            Faults::Plan plan;
            plan.calls = set;
            plan.failAt = k;
            plan.error = error;
            plan.refused = row.refused;
            Faults::SetPlan(&plan);
            std::string result, raised;
            std::int32_t code = 0;
            std::uint32_t number = 0;
            try {
                row.run(result);
            } catch (const FileException& x) {
                const auto* cause = dynamic_cast<const SystemException::Win32*>(x.cause());
                raised = x.what();
                code = x.code();
                number = cause ? cause->number() : 0;
            } catch (const std::exception& x) {
                raised = std::string("not a FileException: ") + x.what();
            }
            Faults::SetPlan(nullptr);
            const State now = Snapshot(row);
            SCOPED_TRACE(std::string(row.name) + ": call " + std::to_string(k) + " of " +
                         std::to_string(calls) + " (" + Faults::Name(plan.failed) +
                         ") fails with " + std::to_string(error));
            ++points;
            ++tally[raised.empty() ? 0 : error];
            // Told that an item is not there, an operation may act on that.
            const bool absent =
                error == ERROR_PATH_NOT_FOUND && plan.failed == Faults::Call::GetFileAttributesExW;
            const TalvenText* kind = FileExceptionKind(error);
            if (!raised.empty() && !absent) {
                EXPECT_EQ(code, kind ? kind->id() : SystemException::Win32::Win32Error.id())
                    << raised;
                EXPECT_EQ(number, error) << raised;
            } else if (raised.empty()) {
                EXPECT_EQ(result, expected) << "success with another result";
                EXPECT_TRUE(now == final || absent) << "success with another end";
            }
            EXPECT_EQ(Under(now, row.changes, true), Under(start, row.changes, true))
                << "changed outside";
            const State part = Under(now, row.changes), before = Under(start, row.changes),
                        after = Under(final, row.changes);
            bool both = false;
            switch (row.rule) {
            case Rule::Whole:
                EXPECT_TRUE(part == before || part == after) << "neither as before nor whole";
                break;
            case Rule::Moved: {
                const State source = Under(now, {row.changes[0]}),
                            target = Under(now, {row.changes[1]});
                both = !source.empty() && !target.empty();
                EXPECT_TRUE((target.empty() && source == Under(start, {row.changes[0]})) ||
                            (target == Under(final, {row.changes[1]}) && Contains(start, source)))
                    << "data lost or partly moved";
                break;
            }
            case Rule::Prefix: {
                // The bytes, after the ":", of a file that is absent or a prefix of the whole.
                const std::string whole = after.begin()->second,
                                  got = part.empty() ? ":" : part.begin()->second;
                EXPECT_TRUE(part.size() <= 1 &&
                            whole.find(got.substr(got.find(':'))) == whole.find(':'))
                    << "not a prefix";
                break;
            }
            case Rule::Remains:
                EXPECT_TRUE(Contains(start, part)) << "what remains changed";
                break;
            }
            handles.Expect("the failed operation");
            // Run again without faults: nothing the failure left stands in the way. A move whose
            // data is now in both places cannot run again onto its own copy.
            if (!raised.empty() && !both && failures() == clean) {
                try {
                    row.run(result = "");
                    EXPECT_EQ(result, expected);
                } catch (const std::exception& x) {
                    ADD_FAILURE() << "the run again raised " << x.what();
                }
                EXPECT_EQ(Snapshot(row), final) << "the run again ends elsewhere";
            }
        }
    }
    std::printf("%-32s %4u calls\n", row.name, calls);
}

TEST_F(FaultInjection, EveryFailurePointOfEveryFileOperationLosesNothing) {
    if (::GetFileAttributesW(Path(L"C\\src\\holder\\linked").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no linked folder: run tests/fixtures/fault-link.sh <wineprefix>";
    }
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        Try(row);
    }
    std::printf("FaultInjection: %u failure points; raised:", points);
    for (const auto& entry : tally) {
        std::printf(" %lu x%u", static_cast<unsigned long>(entry.first), entry.second);
    }
    std::printf(" (0: absorbed)\n");
}

} // namespace
