// TalvenText and language files: registry, substitution, resolution and dump; line syntax and
// encodings, generated malformed files, selection and fallback, and the shipped translations.
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include "common/Generator.h"
#include "common/TestFolder.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Map = std::map<std::int32_t, std::string>;
// Reaches the parser and the map of a private language object, leaving the global one alone.
class Probe : public TalvenText::LanguageImpl {
public:
    Map Parse(const std::string& bytes) {
        LoadFromBytes(std::vector<unsigned char>(bytes.begin(), bytes.end()));
        return Entries();
    }
    Map Entries() const {
        Map result;
        for (const auto& entry : translations_) {
            result[entry.first] = TextConvert::Chars(entry.second);
        }
        return result;
    }
};

std::string Utf16Be(const std::wstring& text) {
    std::string bytes = "\xFE\xFF";
    for (wchar_t c : text) {
        bytes += {static_cast<char>((c >> 8) & 0xFF), static_cast<char>(c & 0xFF)};
    }
    return bytes;
}

// Substitutes markers for %0 and %1 and keeps only them: shows which placeholders a text has
// and that they stand in ascending order.
std::string Markers(const char* text) {
    std::string markers;
    for (unsigned char c : TalvenTextArgs(TalvenText(text)).arg("\x01").arg("\x02").str()) {
        if (c < 3) {
            markers += static_cast<char>(c);
        }
    }
    return markers;
}

// This program's own constants, far from the library's negative identifiers.
const TalvenText kLast(7007, "seven");
const TalvenText kFirst(7001, "one");
const TalvenText kMiddle(7004, "four");

std::vector<std::int32_t> RegisteredIds() {
    std::vector<std::int32_t> ids;
    for (const TalvenText* t = TalvenText::first(); t; t = TalvenText::next(t)) {
        ids.push_back(t->id());
    }
    return ids;
}

TEST(TalvenText, RegistryStaysSortedTheNewestEqualIdentifierWinsAndCopiesStayOut) {
    const std::vector<std::int32_t> before = RegisteredIds();
    EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
    EXPECT_EQ(TalvenText::lookup(7005), nullptr);
    {
        const TalvenText newer(7004, "newer four");
        const TalvenText front(-2147483647 - 1, "lowest"), back(2147483647, "highest");
        EXPECT_EQ(TalvenText::lookup(7004), &newer);
        EXPECT_EQ(TalvenText::next(&newer), &kMiddle);
        EXPECT_EQ(TalvenText::first(), &front);
        EXPECT_EQ(TalvenText::next(&back), nullptr);
        EXPECT_FALSE(TalvenText(kMiddle).isRegistered());
        // Assigning to a registered text takes it out of the registry instead of leaving a
        // node with a changed identifier in the sorted list.
        TalvenText target(7005, "five");
        target = kLast;
        EXPECT_FALSE(target.isRegistered());
        EXPECT_EQ(TalvenText::lookup(7005), nullptr);
        EXPECT_EQ(TalvenText::lookup(7007), &kLast);
    }
    // Destruction unlinks from the front, the middle and the end.
    EXPECT_EQ(RegisteredIds(), before);
    EXPECT_EQ(TalvenText::lookup(7004), &kMiddle);
}

// Inserted text is not scanned again. "%1" also replaces the start of "%10" and "%11", which
// leaves the search position at the end, so "%2" to "%9" are never reached.
TEST(TalvenText, FormatSubstitutesInAscendingOrderOnly) {
    const char* const cases[][3] = {
        // text, arguments each ended by '|' or the end, result
        {"copying %0", "x.txt", "copying x.txt"},
        {"%1 of %0", "A|B", "%1 of A"},
        {"%0%1", "%1|B", "%1B"},
        {"a%0b%0", "|", "ab"},
        {"a %0 %1", "A", "a A %1"},
        {"100%", "A", "100%"},
        {"%0,%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11", "A|B|C|D|E|F|G|H|I|J|K|L",
         "A,B,%2,%3,%4,%5,%6,%7,%8,%9,B0,B1"}};
    for (const auto& c : cases) {
        TalvenTextArgs args{TalvenText(c[0])};
        std::istringstream list(c[1]);
        for (std::string arg; std::getline(list, arg, '|');) {
            args.arg(arg.c_str());
        }
        EXPECT_EQ(TextConvert::Chars(args.str()), c[2]) << c[0];
    }
    ByteString out = TextConvert::Bytes("stale");
    TalvenText("%0 %1").format(out, {TextConvert::Bytes("p")});
    EXPECT_EQ(TextConvert::Chars(out), "p %1");
}

// An installed language object serves translations; an empty one falls back to the default.
TEST(TalvenText, ResolvesThroughTheInstalledLanguageObjectAndDumps) {
    Probe probe;
    probe.Parse("7001 eins\n7004\n7008 acht %1 %0");
    TalvenText::setLanguageImpl(&probe);
    const TalvenText eight(7008, "eight %0 %1");
    EXPECT_EQ(TextConvert::Chars(kFirst.str()) + TextConvert::Chars(kMiddle.str()), "einsfour");
    EXPECT_EQ(TextConvert::Chars(TalvenTextArgs(eight).arg("x").arg(TextConvert::Bytes("y")).str()),
              "acht %1 x");
    std::ostringstream dump;
    dump << std::hex << std::left;
    TalvenText::Dump(dump);
    TalvenText::setLanguageImpl(nullptr);
    EXPECT_EQ(dump.flags() & (std::ios::basefield | std::ios::adjustfield),
              std::ios::hex | std::ios::left);
    // Only translations are listed.
    EXPECT_EQ(
        dump.str().rfind("\xEF\xBB\xBFTalvenText::Dump() - ENU - Default (Embedded English)\n", 0),
        0u);
    EXPECT_NE(dump.str().find(
                  "\n       7001: eins\n       7004: <UNDEFINED>\n       7007: <UNDEFINED>\n      "
                  " 7008: acht %1 %0\n"),
              std::string::npos);
    EXPECT_EQ(TextConvert::Chars(kFirst.str()), "one");
}

constexpr int kGerman = 7;
constexpr int kFrench = 6;

// Every test starts and ends with the embedded English selected.
class LanguageFile : public ::testing::Test {
protected:
    void SetUp() override { Restore(); }
    void TearDown() override { Restore(); }
    static void Restore() { TalvenText::setLanguage(TalvenText::EmbeddedEnglish, ByteString()); }
    ByteString Folder() const { return TextConvert::WideToUtf8(folder_.Path()); }
    int Current() const { return TalvenText::languageImpl()->currentLanguage(); }

    TalvenTest::TestFolder folder_;
    const ByteString shipped_ =
        TextConvert::WideToUtf8(TalvenTest::TestFolder::ProgramFolder() + L"\\lang");
};

const struct {
    std::string content;
    Map expected;
} kSyntax[] = {
    {"-10005   Datei nicht gefunden   \n", {{-10005, "Datei nicht gefunden"}}},
    {"0x10 abc", {{16, "abc"}}},
    {" 5 x\n; 5 x\n# 5 x\n0 x\n\t6 y", {}},
    {"+7\tseven\v\f\t ", {{7, "seven"}}},
    {"8\n9 \t \n", {{8, ""}, {9, ""}}},
    {"10 first\n10 second", {{10, "second"}}},
    {"-0x2710 hex", {{-10000, "hex"}}},
    {"2147483647 max\n-2147483648 min", {{2147483647, "max"}, {-2147483647 - 1, "min"}}},
    // Identifiers that overflow 32 bits are ignored, not wrapped or clamped.
    {"2147483648 a\n-2147483649 b\n4294967295 c\n0x80000000 d\n0xFFFFD8F0 e\n"
     "99999999999999999999999 f\n-0x80000001 g",
     {}},
    {"0x x\n0xg x\n- 3 x\n-\n+\nx1 y\n", {}},
    {"1 a\r2 b\r\n\r\n\n\r3 c\n\r4 d", {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}}},
    {"11 caf\xC3\xA9 \xC2\xA0", {{11, "caf\xC3\xA9 \xC2\xA0"}}},
    {"\xEF\xBB\xBF-1 bom", {{-1, "bom"}}},
    {"\xEF\xBB", {}},
    {Utf16Be(L"; c\r\n-5 \x00FC\xD83D\xDE00\r\n-6 de"),
     {{-5, "\xC3\xBC\xF0\x9F\x98\x80"}, {-6, "de"}}},
    // Half a code unit at the end of a truncated file is dropped, not completed.
    {Utf16Be(L"-5 abc\r\n-6 de") + std::string(1, '\0'), {{-5, "abc"}, {-6, "de"}}},
    {Utf16Be(L"-7 x") + "\x21", {{-7, "x"}}},
    {Utf16Be(L"-8 a\xD800z"), {{-8, "a\xEF\xBF\xBDz"}}}, // a lone surrogate is U+FFFD
    {std::string("\xFF\xFE-\x00\x35\x00 \x00x\x00\r\x00\n\x00", 14), {}}, // UTF-16 LE: not read
};

TEST(LanguageFileSyntax, LinesAndEncodingsAreReadOrIgnoredAsWritten) {
    for (const auto& c : kSyntax) {
        EXPECT_EQ(Probe().Parse(c.content), c.expected) << c.content;
    }
}

// The messages of exceptions made after each selection, in order: a language is loaded once
// per index, a missing file falls back to the embedded English, and so does each message the
// file lacks.
TEST_F(LanguageFile, SelectionAndFallbackDecideTheExceptionMessages) {
    // The narrow path of the Windows 9x family holds only characters of the ANSI code page.
    const std::wstring sub = ::GetVersion() & 0x80000000u ? L"Spr\x00E5k" : L"Spr\x00E5k \x6587";
    const std::wstring own = folder_.Child(sub);
    ASSERT_TRUE(::CreateDirectoryW(own.c_str(), nullptr));
    const ByteString ownUtf8 = TextConvert::WideToUtf8(own), missing = TextConvert::Bytes("C:\\no");
    const std::string en = "file not found|access denied|operating system error: number = "
                           "0x3FFFFFFF - n/a";
    const std::string de = "Datei nicht gefunden|Zugriff verweigert|Betriebssystemfehler: Nummer "
                           "= 0x3FFFFFFF - n/a";
    const std::string fr =
        "fichier introuvable|acc\xC3\xA8s refus\xC3\xA9|erreur du syst\xC3\xA8me "
        "d'exploitation : num\xC3\xA9ro = 0x3FFFFFFF - n/a";
    const std::string own1 = "Datei nicht gefunden|access denied|Fehler 0x3FFFFFFF: n/a";
    const struct {
        int index;
        const ByteString& folder;
        const char* write; // the own file's new content, if any
        int current;
        std::string messages;
    } steps[] = {
        {kGerman, shipped_, nullptr, kGerman, de},
        {kFrench, shipped_, nullptr, kFrench, fr},
        {17, shipped_, nullptr, kFrench, fr}, // outside the table: ignored
        {-1, missing, nullptr, kFrench, fr},
        {kGerman, missing, nullptr, TalvenText::EmbeddedEnglish, en},
        {kGerman, ownUtf8, "\xEF\xBB\xBF; de\r\n-10005 Datei nicht gefunden\r\n-12 Fehler %0: %1",
         kGerman, own1},
        {kGerman, ownUtf8, "-10005 neu\r\n", kGerman, own1}, // the same index is not reloaded
        {kFrench, ownUtf8, nullptr, TalvenText::EmbeddedEnglish, en},
        {kGerman, ownUtf8, nullptr, kGerman, "neu" + en.substr(14)},
        {TalvenText::EmbeddedEnglish, ownUtf8, nullptr, TalvenText::EmbeddedEnglish, en},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(&step - steps) + ": " + TextConvert::Chars(step.folder));
        if (step.write) {
            folder_.WriteFile(sub + L"\\DEU.txt", step.write);
        }
        TalvenText::setLanguage(step.index, step.folder);
        EXPECT_EQ(Current(), step.current);
        std::string messages;
        for (const TalvenException& e :
             {TalvenException(FileException(FileException::FileNotFound, ByteString())),
              exceptionFromCode(-10000), TalvenException(SystemException::Win32(0x3FFFFFFF))}) {
            messages += (messages.empty() ? "" : "|") + TextConvert::Chars(e.message());
        }
        EXPECT_EQ(messages, step.messages);
    }
}

// The shipped files must translate every constant of the library, keep its placeholders in
// ascending order, and carry nothing else.
TEST_F(LanguageFile, ShippedFilesTranslateEveryConstant) {
    // Referencing the constants links the object files that define them.
    for (const TalvenText* linked :
         {&TalvenException::RuntimeError, &SystemException::Win32::Win32Error,
          &SystemException::Errno::ErrnoError, &SystemException::HRESULT::HResultError,
          &SystemException::MMRESULT::MMResultError, &FileException::AccessDenied,
          &FileException::VolumeNotFound}) {
        EXPECT_TRUE(linked->isRegistered());
    }
    for (int language : {kGerman, kFrench}) {
        Probe probe;
        probe.setLanguage(language, shipped_);
        ASSERT_EQ(probe.currentLanguage(), language);
        Map entries = probe.Entries();
        for (const TalvenText* t = TalvenText::first(); t && t->id() < 0; t = TalvenText::next(t)) {
            const auto found = entries.find(t->id());
            ASSERT_NE(found, entries.end()) << language << " " << t->id();
            EXPECT_NE(found->second, t->defaultText()) << t->id();
            EXPECT_EQ(Markers(found->second.c_str()), Markers(t->defaultText())) << t->id();
            entries.erase(found);
        }
        EXPECT_TRUE(entries.empty()) << language << " has " << entries.begin()->first;
    }
}

// A syntax row, mutated: bytes inserted, erased, cut, zero bytes, encoding
// marks, rarely a huge line. Loading never raises; what it keeps is well formed.
const std::string kJunk("\xEF\xBB\xBF\xFE\xFF\n-2147483649 x\n0x100000000 y\r\n-0 z\n\0", 41);

TEST_F(LanguageFile, GeneratedMutatedFilesLoadWithoutRaisingAndKeepWellFormedEntries) {
    TalvenTest::ForEachGeneratedCase(
        "language", 500, 50000, [&](TalvenTest::Rng& rng, std::uint64_t number) {
            std::string bytes = rng.Pick(kSyntax).content;
            for (std::uint64_t steps = rng.Below(7); steps > 0; --steps) {
                const auto at = static_cast<std::size_t>(rng.Below(bytes.size() + 1));
                if (rng.Chance(1)) { // a huge line or a long run of line ends
                    bytes.insert(at, std::string(1 << 20, "a7\r\n"[rng.Below(4)]));
                } else if (rng.Chance(25)) {
                    bytes.erase(at,
                                rng.Chance(30) ? std::string::npos : rng.Below(8)); // cut or hole
                } else {
                    bytes.insert(rng.Chance(20) ? 0 : at,
                                 rng.Chance(50)
                                     ? kJunk.substr(rng.Below(kJunk.size()), rng.Below(16))
                                     : std::string(1, static_cast<char>(rng.Below(256))));
                }
            }
            const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
            const std::wstring widened(start, start + std::min<std::size_t>(bytes.size(), 4000));
            SCOPED_TRACE("file: \"" + TalvenTest::Printable(widened) + "\"");
            Probe probe;
            Map entries;
            const bool viaFile = number % 25 == 0 || bytes.size() > 65536; // chunked reads
            try {
                if (viaFile) {
                    folder_.WriteFile(L"DEU.txt", bytes);
                    probe.setLanguage(kGerman, Folder());
                    EXPECT_EQ(probe.currentLanguage(), kGerman);
                }
                entries = viaFile ? probe.Entries() : probe.Parse(bytes);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "raised: " << e.what();
            }
            EXPECT_LE(entries.size(), std::count(bytes.begin(), bytes.end(), '\n') +
                                          std::count(bytes.begin(), bytes.end(), '\r') + 1);
            for (const auto& [id, text] : entries) { // a trimmed text of one line
                const std::string blank = " \t\v\f";
                EXPECT_TRUE(id != 0 && text.find_first_of("\r\n") == std::string::npos &&
                            (text.empty() || (blank.find(text.front()) == std::string::npos &&
                                              blank.find(text.back()) == std::string::npos)))
                    << id << ": " << text;
            }
        });
}

} // namespace
