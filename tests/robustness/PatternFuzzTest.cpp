// Randomised wildcard matching: FilePath::MatchesPattern against a plain memoised recursive
// matcher written here from the documented rules, over a small alphabet (so that matches are
// common) with ASCII and non-ASCII case pairs, dots, and directory prefixes on the name.
#include "Private/FilePath.h"

#include "robustness/Robustness.h"
#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kCiCases = 200000;

// Name characters in UTF-8, with their lower-case forms (same length, so byte positions agree).
struct Letter {
    const char* text;
    const char* lower;
};
const Letter kLetters[] = {
    {"a", "a"},
    {"b", "b"},
    {"A", "a"},
    {"B", "b"},
    {".", "."},
    {"\xC3\xA9", "\xC3\xA9"},
    {"\xC3\x89", "\xC3\xA9"}, // e acute, both cases
    {"\xD0\xB6", "\xD0\xB6"},
    {"\xD0\x96", "\xD0\xB6"}, // Cyrillic zhe, both cases
};

// The documented rule, read directly: "*" matches any run of bytes, none only when more
// pattern follows; "?" one byte that is not "."; any other byte itself.
class Reference {
public:
    Reference(const std::string& name, const std::string& pattern)
        : name_(name), pattern_(pattern),
          memo_((name.size() + 1) * (pattern.size() + 1), static_cast<signed char>(-1)) {}

    bool Matches() { return From(0, 0); }

private:
    bool From(std::size_t i, std::size_t j) {
        signed char& known = memo_[i * (pattern_.size() + 1) + j];
        if (known >= 0) {
            return known != 0;
        }
        bool result = false;
        if (j == pattern_.size()) {
            result = i == name_.size();
        } else if (pattern_[j] == '*') {
            if (j + 1 == pattern_.size()) {
                result = i < name_.size();
            } else {
                for (std::size_t k = i; k <= name_.size() && !result; ++k) {
                    result = From(k, j + 1);
                }
            }
        } else if (i < name_.size()) {
            const bool byte = pattern_[j] == '?' ? name_[i] != '.' : name_[i] == pattern_[j];
            result = byte && From(i + 1, j + 1);
        }
        known = result ? 1 : 0;
        return result;
    }

    const std::string& name_;
    const std::string& pattern_;
    std::vector<signed char> memo_;
};

struct Generated {
    std::string text;  // as given
    std::string lower; // with every letter lower-cased
    void Add(const char* given, const char* lowered) {
        text += given;
        lower += lowered;
    }
};

Generated Word(Robustness::Rng& rng, std::size_t length, bool wildcards) {
    Generated word;
    for (std::size_t i = 0; i < length; ++i) {
        if (wildcards && rng.Chance(40)) {
            const char* wild = rng.Chance(60) ? "*" : "?";
            word.Add(wild, wild);
        } else {
            const Letter& letter = rng.Pick(kLetters);
            word.Add(letter.text, letter.lower);
        }
    }
    return word;
}

// A pattern made from a name, so that many cases match: letters kept in either case, or
// replaced by "?" (one per byte), or runs replaced by "*".
Generated PatternFor(Robustness::Rng& rng, const Generated& name) {
    Generated pattern;
    std::size_t i = 0;
    while (i < name.lower.size()) {
        std::size_t length = 1;
        while (i + length < name.lower.size() && (name.lower[i + length] & 0xC0) == 0x80) {
            ++length;
        }
        const std::string lower = name.lower.substr(i, length);
        const std::uint64_t choice = rng.Below(10);
        if (choice == 0) {
            pattern.Add("*", "*");
            if (rng.Chance(50)) {
                continue; // the "*" stands for nothing here, or for what the next takes
            }
        } else if (choice == 1) {
            for (std::size_t k = 0; k < length; ++k) {
                pattern.Add("?", "?");
            }
        } else {
            std::vector<const Letter*> spellings;
            for (const Letter& letter : kLetters) {
                if (lower == letter.lower) {
                    spellings.push_back(&letter);
                }
            }
            const Letter* letter = rng.Pick(spellings);
            pattern.Add(letter->text, letter->lower);
        }
        i += length;
    }
    return pattern;
}

// The first lower-casing loads the OS's case tables, which keeps handles open; the handle
// check around each test must not count them as the test's.
class WarmUp : public ::testing::Environment {
public:
    void SetUp() override { FilePath(L"A").MatchesPattern(FilePath(L"a"), false); }
};
const auto* const warmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

TEST(PatternFuzz, MatchesPatternAgreesWithTheDocumentedRules) {
    Robustness::Tally tally;
    Robustness::RunCases("pattern", kCiCases, [&](Robustness::Rng& rng, std::uint64_t) {
        const Generated name = Word(rng, static_cast<std::size_t>(rng.Range(0, 8)), false);
        Generated pattern = rng.Chance(50)
                                ? PatternFor(rng, name)
                                : Word(rng, static_cast<std::size_t>(rng.Range(0, 7)), true);
        const bool caseSensitive = rng.Chance(50);
        // Only the last component of the path is matched.
        std::string folder;
        if (rng.Chance(30)) {
            folder = rng.Chance(50) ? "C:\\dir*\\" : "x/a.b/";
        }
        const bool separatorInPattern = rng.Chance(3);
        if (separatorInPattern) {
            // At a character boundary, so that the rest of the pattern stays well formed.
            std::size_t at = rng.Below(pattern.text.size() + 1);
            while (at < pattern.text.size() && (pattern.text[at] & 0xC0) == 0x80) {
                ++at;
            }
            pattern.text.insert(at, rng.Chance(50) ? "/" : "\\");
        }
        const FilePath path(TextConvert::Bytes(folder + name.text));
        const FilePath wildcard(TextConvert::Bytes(pattern.text));
        SCOPED_TRACE("name \"" + Robustness::PrintableBytes(folder + name.text) + "\", pattern \"" +
                     Robustness::PrintableBytes(pattern.text) + "\", " +
                     (caseSensitive ? "case-sensitive" : "ignoring case"));
        try {
            const bool matches = path.MatchesPattern(wildcard, caseSensitive);
            EXPECT_FALSE(separatorInPattern) << "a pattern with a separator was accepted";
            const std::string n = caseSensitive ? name.text : name.lower;
            const std::string p = caseSensitive ? pattern.text : pattern.lower;
            EXPECT_EQ(matches, Reference(n, p).Matches());
            if (matches) {
                tally.Accepted();
            } else {
                tally.Other("no match");
            }
        } catch (const FileException& e) {
            tally.Refused("separator in pattern");
            EXPECT_TRUE(separatorInPattern);
            EXPECT_EQ(e.code(), TalvenException::InternalSoftwareError.id());
            EXPECT_EQ(TextConvert::Chars(e.path()), pattern.text);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not a FileException: " << e.what();
        }
    });
    tally.Print("pattern matching (accepted = matched)", Robustness::CaseCount(kCiCases));
}

} // namespace
