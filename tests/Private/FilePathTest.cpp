// Tests of FilePath: splitting, comparison keys, wildcard matching, extensions, and the text
// conversions of its constructors (including what becomes of invalid text).
#include "Private/FilePath.h"

#include "common/FileSystemTest.h"

namespace {

const auto P = [](const std::string& utf8) { return FilePath(TextConvert::Bytes(utf8)); };
const auto S = [](const FilePath& path) { return TextConvert::Chars(path.GetBytes()); };

struct Pair {
    const char *a, *b;
    bool insensitive, sensitive;
};

// The matching rule as a plain recursion: exponential on some patterns, so only for short input.
bool LiteralMatch(const char* name, const char* pattern) {
    if (*pattern == '*') {
        return *name != '\0' && (pattern[1] == '\0' || LiteralMatch(name, pattern + 1) ||
                                 LiteralMatch(name + 1, pattern));
    }
    return *pattern == '\0' || *name == '\0'
               ? *pattern == *name
               : (*pattern == '?' ? *name != '.' : *pattern == *name) &&
                     LiteralMatch(name + 1, pattern + 1);
}

TEST(FilePathTest, SplitsAndAddsExtensions) {
    const struct {
        const char *path, *name, *extension, *withoutExtension, *baseName;
    } cases[] = {
        {"C:\\dir\\file.txt", "file.txt", "txt", "C:\\dir\\file", "file"},
        {"C:\\dir\\", "", "", "C:\\dir\\", ""},
        {"C:", "C:", "", "C:", "C:"},
        {"a/b\\c", "c", "", "a/b\\c", "c"},
        // The extension search is not limited to the last component.
        {"C:\\dir.d\\file", "file", "d\\file", "C:\\dir", "file"},
        {"C:\\dir\\file.", "file.", "", "C:\\dir\\file", "file"},
        {"C:\\dir.d\\file.tar.gz", "file.tar.gz", "gz", "C:\\dir.d\\file.tar", "file.tar"},
        {"C:\\dir\\.profile", ".profile", "profile", "C:\\dir\\", ""},
        {"", "", "", "", ""},
        {"\xC3\xA9t\xC3\xA9.\xC3\xA0", "\xC3\xA9t\xC3\xA9.\xC3\xA0", "\xC3\xA0",
         "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const FilePath path = P(c.path);
        EXPECT_EQ(S(path.GetName()), c.name);
        EXPECT_EQ(S(path.GetExtension()), c.extension);
        EXPECT_EQ(S(path.RemoveExtension()), c.withoutExtension);
        EXPECT_EQ(S(path.GetBaseName()), c.baseName);
        EXPECT_EQ(S(path), c.path) << "operations must leave the path unchanged";
    }
    EXPECT_EQ(S(P("a").AddExtension(P("txt"))), "a.txt");
    EXPECT_EQ(S(P("a").AddExtension(P(".txt"))), "a.txt");
    EXPECT_EQ(S(P("a").AddExtension(P(""))), "a");
    EXPECT_EQ(S(P("a.txt").AddExtension(P("bak"))), "a.txt.bak");
    EXPECT_EQ(S(P("dir\\").AddExtension(P("x"))), "dir\\.x");
}

TEST(FilePathTest, CanonicalKeysEqualityAndLowerCase) {
    EXPECT_EQ(S(P("C:\\Dir\\File.TXT").GetCanonical(false)), "c:/dir/file.txt");
    EXPECT_EQ(S(P("C:\\Dir\\File.TXT").GetCanonical(true)), "C:/Dir/File.TXT");
    EXPECT_EQ(S(P("C:\\\xC3\x84RGER").GetCanonical(false)), "c:/\xC3\xA4rger");
    const Pair cases[] = {
        {"C:\\a\\b", "c:/A/B", true, false},
        {"C:\\a\\b", "C:/a/b", true, true},
        {"C:\\a\\b", "C:\\a\\b\\", false, false},
        {"\xC3\x84", "\xC3\xA4", true, false},
        {"", "", true, true},
        {"a", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(P(c.a).IsEqual(P(c.b), false), c.insensitive);
        EXPECT_EQ(P(c.a).IsEqual(P(c.b), true), c.sensitive);
        EXPECT_EQ(P(c.b).IsEqual(P(c.a), false), c.insensitive);
    }
    EXPECT_EQ(S(P("C:\\DIR\\\xC3\x84\xC3\x96\xC3\x9C.TXT").ToLower()),
              "c:\\dir\\\xC3\xA4\xC3\xB6\xC3\xBC.txt");
    EXPECT_EQ(S(P("").ToLower()), "");
    EXPECT_EQ(S(P("A\xF0\x9F\x98\x80").ToLower()), "a\xF0\x9F\x98\x80"); // outside the BMP
    // The Windows 9x way goes through the ANSI code page.
    EXPECT_EQ(TextConvert::Chars(FilePath::LowerCase(TextConvert::Bytes("ABC.TXT"), true)),
              "abc.txt");
    if (TextConvert::AnsiToWide(TextConvert::WideToAnsi(L"\u00C4")) == L"\u00C4") {
        EXPECT_EQ(TextConvert::Chars(FilePath::LowerCase(TextConvert::Bytes("\xC3\x84X"), true)),
                  "\xC3\xA4x");
    }
}

TEST(FilePathTest, MatchesPatterns) {
    // Case, folders before the name, multi-byte characters: what the exhaustive check misses.
    const Pair cases[] = {
        {"notes.TXT", "*.txt", true, false},
        {"C:\\dir\\notes.txt", "*.txt", true, true},
        {"C:\\x.txt\\readme", "*.txt", false, false},
        {"x/a.b/ab", "a?", true, true},
        {"ABC", "abc", true, false},
        {"\xC3\xA9", "?", false, false}, // "?" takes one byte
        {"\xC3\xA9", "??", true, true},
        {"\xC3\x89t\xC3\xA9.txt", "\xC3\xA9*.TXT", true, false},
        {"\xD0\x96\xD0\xB6z", "\xD0\xB6*\xD0\x96?", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " ~ " + c.b);
        EXPECT_EQ(P(c.a).MatchesPattern(P(c.b), false), c.insensitive);
        EXPECT_EQ(P(c.a).MatchesPattern(P(c.b), true), c.sensitive);
    }
    // A separator in the pattern is a caller's error, named with the pattern.
    for (const char* pattern : {"sub\\*.txt", "sub/*.txt", "\\"}) {
        const FileException e = TalvenTest::CatchFileException(
            [&] { P("C:\\dir\\a.txt").MatchesPattern(P(pattern), false); });
        EXPECT_TRUE(e.code() == TalvenException::InternalSoftwareError.id() && !e.cause());
        EXPECT_EQ(TextConvert::Chars(e.path()), pattern);
        EXPECT_EQ(TextConvert::Chars(e.message())
                      .rfind("internal software error: .\\Private\\FilePath, line ", 0),
                  0u);
    }
}

std::vector<std::string> AllTexts(const std::string& alphabet, std::size_t longest) {
    std::vector<std::string> texts{""};
    for (std::size_t i = 0; texts[i].size() < longest; ++i) {
        for (char c : alphabet) {
            texts.push_back(texts[i] + c);
        }
    }
    return texts;
}

TEST(FilePathTest, MatchingAgreesWithTheRuleOnEveryShortInputAndBacktracksQuickly) {
    int failures = 0;
    for (const std::string& pattern : AllTexts("ab.*?", 4)) {
        for (const std::string& name : AllTexts("ab.", 5)) {
            const bool expected = LiteralMatch(name.c_str(), pattern.c_str());
            if ((P(name).MatchesPattern(P(pattern), true) != expected ||
                 P(name).MatchesPattern(P(pattern), false) != expected) &&
                ++failures < 10) {
                ADD_FAILURE() << "\"" << name << "\" ~ \"" << pattern << "\" should be "
                              << expected;
            }
        }
    }
    EXPECT_EQ(failures, 0);

    // Taken literally, each "*" retries every suffix of the name: these would not finish.
    const std::string many(4000, 'a');
    const FilePath pattern = P("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b");
    EXPECT_FALSE(P(many).MatchesPattern(pattern, false));
    EXPECT_TRUE(P(many + "b").MatchesPattern(pattern, false));
    EXPECT_FALSE(P(many).MatchesPattern(P("*?*?*?*?*?*?*?*?*?*?*."), true));
}

TEST(FilePathTest, TextRoundTripsAndInvalidTextBecomesReplacementCharacters) {
    const char* utf8 = "C:\\Z\xC3\xBCrich\\\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.txt";
    const wchar_t* wide = L"C:\\Z\u00FCrich\\\u65E5\u672C\\\xD83D\xDE00.txt";
    EXPECT_EQ(S(P(utf8)), utf8);
    EXPECT_TRUE(P(utf8).ToWide() == wide);
    EXPECT_TRUE(S(FilePath(wide)) == utf8 && S(FilePath(std::wstring(wide))) == utf8);
    EXPECT_EQ(S(P("\xF3\xA0\x80\x81\xF4\x8F\xBF\xBFz")), "\xF3\xA0\x80\x81\xF4\x8F\xBF\xBFz");
    const std::string ansi = TextConvert::WideToAnsi(L"caf\u00E9");
    if (TextConvert::AnsiToWide(ansi) == L"caf\u00E9") { // where the ANSI code page has it
        EXPECT_TRUE(S(FilePath(ansi)) == "caf\xC3\xA9" && P("caf\xC3\xA9").ToAnsi() == ansi);
    }
    EXPECT_TRUE(FilePath(static_cast<const char*>(nullptr)).IsEmpty());
    EXPECT_TRUE(FilePath(static_cast<const wchar_t*>(nullptr)).IsEmpty());

    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(S(P("a\xFFz")), "a" + fffd + "z");
    EXPECT_EQ(S(P("\x80z")), fffd + "z");
    EXPECT_EQ(S(P("x\xC3")), "x" + fffd);
    // An overlong "/" must not become a separator, nor an encoded surrogate reach the OS.
    for (const char* input :
         {"a\xC0\xAFz", "a\xE0\x80\xAFz", "a\xED\xA0\x80z", "a\xF4\x90\x80\x80z", "a\xE6\x97zz"}) {
        const std::string result = S(P(input));
        SCOPED_TRACE(result);
        EXPECT_EQ(result.find('/'), std::string::npos);
        EXPECT_NE(result.find(fffd), std::string::npos);
        EXPECT_TRUE(result.front() == 'a' && result.back() == 'z');
        EXPECT_EQ(P(result).GetBytes(), TextConvert::Bytes(result)) << "well formed";
    }
    EXPECT_EQ(S(FilePath(std::wstring(L"a\xD800z"))), "a" + fffd + "z");
    EXPECT_EQ(S(FilePath(std::wstring(L"\xDC00z"))), fffd + "z");
    EXPECT_EQ(S(FilePath(std::wstring(L"a\xD83D"))), "a" + fffd);
}

} // namespace
