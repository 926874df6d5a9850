// Tests of the Windows file spec's path checks and normalisation: every rule that refuses a path,
// component lengths, the accepted forms with their roots, and generated paths.
#include "Private/Volume.h"
#include "common/FileSystemTest.h"
#include "common/Generator.h"

#include "Private/Windows/FileSystem_FileSpec_Win32.h"

#include <algorithm>
#include <cwchar>

using FileSystem::FileSpec_Win32;

namespace {

const std::int32_t InvalidPath = FileException::InvalidFilePath.id();
const std::int32_t PathNotFound = FileException::FilePathNotFound.id();

// Relative paths resolve against the test's own folder.
class PathNormalisationTest : public TalvenTest::FileSystemTest {
protected:
    void SetUp() override {
        wchar_t buffer[32768];
        saved.assign(buffer, ::GetCurrentDirectoryW(32768, buffer));
        ASSERT_TRUE(::SetCurrentDirectoryW(dir.Path().c_str()));
    }
    void TearDown() override { ::SetCurrentDirectoryW(saved.c_str()); }

    static CountedPtr<FileSystem::FileSpec_IF> Make(const std::wstring& path) {
        return CountedPtr<FileSystem::FileSpec_IF>(new FileSpec_Win32(FilePath(path), nullptr));
    }

    std::wstring saved;
};

TEST_F(PathNormalisationTest, EveryRuleRefusesItsPaths) {
    const wchar_t* const refused[] = {
        // Colons: after a non-letter, at index 0, past index 1, a second drive.
        L"1:\\x", L":\\x", L"C:\\a:b", L"C:\\dir\\C:\\x",
        // Reserved and control characters, also after the long-path prefix.
        L"C:\\a\"b", L"C:\\a*b", L"C:\\a<b", L"C:\\a>b", L"C:\\a?b", L"C:\\a|b", L"C:\\a\x01z",
        L"C:\\a\x1f", L"\\\\?\\C:\\a?b", L"\\\\?\\\\\\?\\C:\\x",
        // Doubled separators of any kind, also after the server.
        L"C:\\a\\\\b", L"C:/a//b", L"C:\\a\\/b", L"\\\\\\srv\\share", L"\\\\srv\\\\share",
        // A trailing space hidden by a trailing separator, in any component.
        L"C:\\a \\", L"C:\\dir\\a \\",
        // Device paths; UNC paths without server or share.
        L"\\\\.\\device", L"\\\\.\\C:", L"//./C:/x", L"\\\\srv", L"\\\\srv\\", L"\\\\?\\UNC\\srv",
        L"\\\\?\\UNC\\",
        // The prefix alone: the full-path call fails with no error of its own (one is set below).
        L"\\\\?\\", L"//?/",
        // A device name behind a trailing separator or dot: without it, the path is the device.
        L"C:\\dir\\COM1\\", L"C:\\dir\\Aux\\.", L"C:\\dir\\con.txt\\"};
    for (const wchar_t* path : refused) {
        SCOPED_TRACE(::testing::PrintToString(path));
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        EXPECT_EQ(ErrorCode([&] { FileSpec_Win32::Normalise(path); }), InvalidPath);
        EXPECT_EQ(ErrorCode([&] { FileSpec{FilePath(std::wstring(path))}; }), InvalidPath);
    }
    const FileException e = TalvenTest::CatchFileException([] { FileSpec{FilePath(L"C:\\a|b")}; });
    EXPECT_EQ(TextConvert::Chars(e.path()), "C:\\a|b") << "the path as given";
    EXPECT_TRUE(e.cause() && e.cause()->code() == SystemException::Win32::Win32Error.id());

    // Components longer than the volume allows, also through MakeChild; a surrogate pair counts as
    // two code units (the third name has 255 characters).
    const std::uint32_t limit = Make(L"C:\\")->GetVolume()->GetMaxNameLength();
    ASSERT_EQ(limit, 255u); // C: under Wine and on NTFS
    Make(dir.Child(std::wstring(limit, L'n')))->Create();
    const std::wstring tooLong(limit + 1, L'n');
    for (const std::wstring& name :
         {tooLong, tooLong + L"\\x", tooLong.substr(2) + L"\U0001F600"}) {
        EXPECT_EQ(ErrorCode([&] { Make(dir.Child(name)); }), InvalidPath);
    }
    for (const std::wstring& name : {tooLong, L"x/" + tooLong}) { // one it must normalise
        EXPECT_EQ(ErrorCode([&] { Make(dir.Path())->MakeChild(FilePath(name)); }), InvalidPath);
    }
}

TEST_F(PathNormalisationTest, AcceptedFormsGiveTheirPathAndRoot) {
    const std::wstring unc = L"\\\\srv\\share\\";
    const std::pair<const wchar_t*, std::wstring> accepted[] = {
        {L"C:/dir/", L"C:\\dir"},
        {L"C:\\", L"C:\\"},
        {L"c:\\x", L"C:\\x"}, // the drive letter upper-cased
        {L"C:/", L"C:\\"},
        {L"\\\\?\\C:\\dir", L"C:\\dir"},
        {L"C:\\a\\.\\b\\..\\c", L"C:\\a\\c"},
        {L"C:\\a\\..\\..\\..", L"C:\\"},
        // GetFullPathNameW drops trailing spaces and dots of the last component, as Windows does.
        {L"C:\\dir\\name ", L"C:\\dir\\name"},
        {L"C:\\dir\\name.", L"C:\\dir\\name"},
        {L"\\\\?\\UNC\\srv\\share\\x", unc + L"x"},
        {L"\\\\?\\unc\\srv\\share\\x", unc + L"x"},
        {L"//srv/share/x/y/", unc + L"x\\y"},
        {L"\\\\srv\\share", unc},
        {L"\\\\srv\\share\\x\\..", unc},
        // Relative paths, against the current directory (of drive C: for "C:rel").
        {L"rel", dir.Child(L"rel")},
        {L"a\\..\\b", dir.Child(L"b")},
        {L".\\x\\", dir.Child(L"x")},
        {L".", dir.Path()},
        {L"C:rel", dir.Child(L"rel")},
        {L"\\top", L"C:\\top"},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(::testing::PrintToString(c.first));
        const FileSpec_Win32::NormalisedPath result = FileSpec_Win32::Normalise(c.first);
        const bool isUnc = c.second.compare(0, unc.size(), unc) == 0;
        EXPECT_EQ(result.path, c.second);
        EXPECT_EQ(result.root, isUnc ? unc : L"C:\\");
        EXPECT_EQ(result.isUnc, isUnc);
        if (!isUnc) {
            EXPECT_EQ(FileSpec{FilePath(c.first)}.GetPath().ToWide(), c.second);
        }
    }
    EXPECT_EQ(FileSpec_Win32::LongPathFor(unc + L"x", true), L"\\\\?\\UNC\\srv\\share\\x");
    // No server answers here: accepted, but reading the share's volume fails with an OS error.
    const std::int32_t code = ErrorCode([] { Make(L"\\\\talven-no-such-server\\share\\x"); });
    EXPECT_TRUE(code != 0 && code != InvalidPath) << code;
}

// Name characters every drive accepts anywhere; a and z spell no device name.
const std::wstring plainCharacters = L"az07-_+=,;'!#$%&()[]{}~@^`\u00E9\u00C4\u00DF\u65E5\u0416";

// A name of about units code units (by default mostly short, some near the limits), no space
// or dot at its ends.
std::wstring Name(TalvenTest::Rng& rng, std::uint64_t units = 0) {
    if (units == 0) {
        const std::uint64_t kind = rng.Below(10);
        units = kind == 0   ? 200 + rng.Below(101)
                : kind == 1 ? 30 + rng.Below(91)
                            : 1 + rng.Below(12);
    }
    std::wstring name;
    while (name.size() < units) {
        const bool inner = !name.empty() && units - name.size() > 1 && rng.Chance(8);
        name += inner ? (rng.Chance(50) ? L" " : L".")
                : rng.Chance(5)
                    ? L"\U0001F600" // a surrogate pair
                    : std::wstring(1, plainCharacters[rng.Below(plainCharacters.size())]);
    }
    return name;
}

// A clean generated path must give exactly expected, or be refused with code.
struct Generated {
    std::wstring path;
    bool clean = false;
    std::wstring expected = L"C:\\";
    std::int32_t code = 0;
};

// Clean: well formed and absolute on C: or the undefined K:, any separators, prefix or not, "."
// and "..", long components and totals. Otherwise anything, up to totals past 32767.
Generated MakePath(TalvenTest::Rng& rng) {
    static const wchar_t* const prefixes[] = {
        L"",   L"\\\\?\\",   L"\\\\?\\UNC\\",     L"\\\\?\\unc\\", L"\\\\",
        L"//", L"\\\\.\\",   L"\\\\srv\\share\\", L"//srv/share",  L"\\",
        L"",   L"\\\\?\\C:", L"\\\\?\\UNC\\srv\\"};
    static const wchar_t* const drives[] = {L"", L"C:", L"c:", L"K:", L"1:", L":", L"C"};
    static const wchar_t* const tokens[] = {L"",     L"\\",   L"/",   L" ",      L"...",   L"\"",
                                            L"*",    L"<",    L">",   L"?",      L"|",     L"\t",
                                            L"\x1F", L"\n",   L":",   L"CON",    L"nul",   L"Aux",
                                            L"COM1", L"lpt9", L"PRN", L"\xD800", L"\xDC00"};
    Generated g;
    g.clean = rng.Chance(40);
    const bool defined = rng.Chance(80);
    g.path = g.clean ? std::wstring(rng.Chance(20) ? L"\\\\?\\" : L"") +
                           (defined ? (rng.Chance(50) ? L"C:\\" : L"c:/") : L"K:\\")
                     : std::wstring(rng.Pick(prefixes)) + rng.Pick(drives);
    std::vector<std::wstring> resolved;
    const std::uint64_t count = rng.Chance(15) ? 40 + rng.Below(81) : rng.Below(9);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t kind = rng.Below(g.clean ? 10 : 16);
        std::wstring part = kind == 0    ? L"."
                            : kind == 1  ? L".."
                            : kind < 10  ? Name(rng)
                            : kind == 10 ? std::wstring(1, L'\0')
                                         : std::wstring(rng.Pick(tokens));
        if (kind == 11 && rng.Chance(10)) {
            const std::wstring name = Name(rng, 100);
            for (std::uint64_t k = 10 + rng.Below(391); k > 0; --k) {
                part += L"\\" + name;
            }
        }
        if (part == L".." && !resolved.empty()) {
            resolved.pop_back();
        } else if (part != L"." && part != L"..") {
            resolved.push_back(part);
        }
        const bool separator = i > 0 && (g.clean || rng.Chance(70));
        g.path += (separator ? (rng.Chance(50) ? L"\\" : L"/") : L"") + part;
    }
    g.path += count > 0 && rng.Chance(20) ? L"\\" : L"";
    for (const std::wstring& part : resolved) {
        g.expected += (&part == &resolved.front() ? L"" : L"\\") + part;
        g.code = part.size() > 255 ? InvalidPath : g.code;
    }
    g.code = defined ? g.code : PathNotFound;
    return g;
}

// Whether a reserved or control character stands past the long-path prefix.
bool MustRefuse(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    const std::size_t start = path.compare(0, 4, L"\\\\?\\") != 0               ? 0
                              : ::_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0 ? 8
                                                                                : 4;
    return std::any_of(path.begin() + std::min(start, path.size()), path.end(),
                       [](wchar_t c) { return c < 0x20 || std::wcschr(L"\"*<>?|", c) != nullptr; });
}

// Accepted: normalises to itself below its root, reached by prefix. Refused: as Normalise says.
void CheckPath(const Generated& g) {
    SCOPED_TRACE("input: " + ::testing::PrintToString(g.path));
    try {
        const FileSpec spec{FilePath(g.path)};
        if (spec.IsNull()) {
            EXPECT_TRUE(FilePath(g.path).IsEmpty()) << "only the empty path gives no spec";
            return;
        }
        const std::wstring path = spec.GetPath().ToWide();
        SCOPED_TRACE("path: " + ::testing::PrintToString(path));
        EXPECT_FALSE(MustRefuse(g.path)) << "a reserved character was accepted";
        EXPECT_TRUE(!g.clean || g.code == 0) << "accepted";
        EXPECT_EQ(path, g.clean ? g.expected : path);
        FileSpec_Win32::NormalisedPath again;
        EXPECT_EQ(ErrorCode([&] { again = FileSpec_Win32::Normalise(path); }), 0);
        EXPECT_EQ(again.path, path);
        EXPECT_EQ(path.compare(0, again.root.size(), again.root), 0);
        EXPECT_EQ(spec.GetNativePath(),
                  again.isUnc ? L"\\\\?\\UNC" + path.substr(1) : L"\\\\?\\" + path);
    } catch (const FileException& e) {
        EXPECT_TRUE(!g.clean || e.code() == g.code) << e.code();
        FileSpec_Win32::NormalisedPath n;
        const std::int32_t early = ErrorCode([&] { n = FileSpec_Win32::Normalise(g.path); });
        if (early != 0) {
            EXPECT_EQ(early, InvalidPath);
            EXPECT_EQ(e.code(), early) << "FileSpec and Normalise disagree";
            return;
        }
        EXPECT_FALSE(MustRefuse(g.path)) << "a reserved character passed Normalise";
        // Defined drives refuse only long names, others are not found; no share answers (Wine:
        // 144).
        const wchar_t letter = n.path[0];
        const bool defined = !n.isUnc && letter >= L'A' && letter <= L'Z' &&
                             ((::GetLogicalDrives() >> (letter - L'A')) & 1) != 0;
        EXPECT_EQ(e.code() == InvalidPath, defined) << e.code();
        EXPECT_TRUE(n.isUnc || defined || e.code() == PathNotFound) << e.code();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not a FileException: " << e.what();
    }
}

TEST_F(PathNormalisationTest, GeneratedPathsAreCleanAndStableOrRefusedWithAKnownKind) {
    TalvenTest::ForEachGeneratedCase(
        "GeneratedPathsAreCleanAndStableOrRefusedWithAKnownKind", 300, 100000,
        [](TalvenTest::Rng& rng, std::uint64_t) { CheckPath(MakePath(rng)); });
    // Wine drops a folder name's trailing dot ("a..\b" gave "a.\b", then "a\b"): refused there.
    for (const wchar_t* given : {L"C:\\a..\\b", L"C:\\...\\b", L"C:/a.../b/", L"C:\\a..\\"}) {
        if (UnderWine()) {
            EXPECT_EQ(ErrorCode([&] { FileSpec{FilePath(given)}; }), InvalidPath) << Narrow(given);
        } else {
            CheckPath({given});
        }
    }
}

} // namespace
