// TalvenText and language files: registry, substitution, dump, syntax, selection, shipped files.
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
#include <tuple>
#include <vector>

namespace {

using Map = std::map<std::int32_t, std::string>;
// Reaches the parser and the map of a private language object, leaving the global one alone.
struct Probe : TalvenText::LanguageImpl {
    Map Parse(const std::string& b) { return LoadFromBytes({b.begin(), b.end()}), Entries(); }
    Map Entries() const {
        Map result;
        for (const auto& entry : translations_) {
            result[entry.first] = TextConvert::Chars(entry.second);
        }
        return result;
    }
};

const auto Chars = [](const ByteString& bytes) { return TextConvert::Chars(bytes); };

std::string Utf16Be(const std::wstring& text) {
    std::string bytes = "\xFE\xFF";
    for (wchar_t c : text) {
        bytes += {static_cast<char>((c >> 8) & 0xFF), static_cast<char>(c & 0xFF)};
    }
    return bytes;
}

// The placeholders %0 and %1 of a text, in the order they stand.
std::string Markers(const char* text) {
    std::string s = Chars(TalvenTextArgs(TalvenText(text)).arg("\x01").arg("\x02").str());
    s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c < 1 || c > 2; }), s.end());
    return s;
}

// This program's own constants, far from the library's negative identifiers.
const TalvenText kLast(7007, "seven"), kFirst(7001, "one"), kMiddle(7004, "four");

std::vector<std::int32_t> RegisteredIds() {
    std::vector<std::int32_t> ids;
    for (const TalvenText* t = TalvenText::first(); t; t = TalvenText::next(t)) {
        ids.push_back(t->id());
    }
    return ids;
}

// An installed language object serves translations; an empty one falls back to the default.
TEST(TalvenText, RegistryResolutionDumpAndSubstitution) {
    const std::vector<std::int32_t> before = RegisteredIds();
    EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
    {
        const TalvenText newer(7004, "newer four");
        const TalvenText front(-2147483647 - 1, "lowest"), back(2147483647, "highest");
        EXPECT_EQ(TalvenText::lookup(7004), &newer);
        EXPECT_EQ(TalvenText::next(&newer), &kMiddle);
        EXPECT_TRUE(TalvenText::first() == &front && !TalvenText::next(&back));
        EXPECT_FALSE(TalvenText(kMiddle).isRegistered());
        // Assigned to, a registered text leaves the registry (its identifier changes).
        TalvenText target(7005, "five");
        target = kLast;
        EXPECT_TRUE(!target.isRegistered() && !TalvenText::lookup(7005));
        EXPECT_EQ(TalvenText::lookup(7007), &kLast);
    }
    EXPECT_EQ(RegisteredIds(), before);
    EXPECT_EQ(TalvenText::lookup(7004), &kMiddle);

    Probe probe;
    probe.Parse("7001 eins\n7004\n7008 acht %1 %0");
    TalvenText::setLanguageImpl(&probe);
    const TalvenText eight(7008, "eight %0 %1");
    EXPECT_EQ(Chars(kFirst.str()) + Chars(kMiddle.str()), "einsfour");
    EXPECT_EQ(Chars(TalvenTextArgs(eight).arg("x").arg(TextConvert::Bytes("y")).str()),
              "acht %1 x");
    std::ostringstream dump;
    dump << std::hex << std::left;
    TalvenText::Dump(dump);
    TalvenText::setLanguageImpl(nullptr);
    EXPECT_EQ(dump.flags() & (std::ios::basefield | std::ios::adjustfield),
              std::ios::hex | std::ios::left);
    const std::string text = dump.str(); // lists only translations
    EXPECT_EQ(text.rfind("\xEF\xBB\xBFTalvenText::Dump() - ENU - Default (Embedded English)\n", 0),
              0u);
    EXPECT_NE(
        text.find("\n       7001: eins\n       7004: <UNDEFINED>\n       7007: <UNDEFINED>\n      "
                  " 7008: acht %1 %0\n"),
        std::string::npos);
    EXPECT_EQ(Chars(kFirst.str()), "one");

    // Inserted text is not rescanned; "%1" also takes the start of "%10" and ends the search.
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
        EXPECT_EQ(Chars(args.str()), c[2]) << c[0];
    }
    ByteString out = TextConvert::Bytes("stale");
    TalvenText("%0 %1").format(out, {TextConvert::Bytes("p")});
    EXPECT_EQ(Chars(out), "p %1");
}

constexpr int kGerman = 7, kFrench = 6;

struct LanguageFile : ::testing::Test {
    void SetUp() override { Restore(); }
    void TearDown() override { Restore(); }
    static void Restore() { TalvenText::setLanguage(TalvenText::EmbeddedEnglish, ByteString()); }

    TalvenTest::TestFolder folder_;
    const ByteString shipped_ =
        TextConvert::WideToUtf8(TalvenTest::TestFolder::ProgramFolder() + L"\\lang");
};

const std::pair<std::string, Map> kSyntax[] = {
    {"-10005   Datei nicht gefunden   \n", {{-10005, "Datei nicht gefunden"}}},
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
    {Utf16Be(L"-8 a\xD800z"), {{-8, "a\xEF\xBF\xBDz"}}}, // a lone surrogate is U+FFFD
    {std::string("\xFF\xFE-\x00\x35\x00 \x00x\x00\r\x00\n\x00", 14), {}}, // UTF-16 LE: not read
};

// Syntax rows read or ignore lines as written; a language loads once per index; a missing file or
// message falls back to English.
TEST_F(LanguageFile, SyntaxSelectionFallbackAndTheShippedTranslations) {
    for (const auto& [content, expected] : kSyntax) {
        EXPECT_EQ(Probe().Parse(content), expected) << content;
    }
    // The narrow path of the Windows 9x family holds only characters of the ANSI code page.
    const std::wstring sub = ::GetVersion() & 0x80000000u ? L"Spr\x00E5k" : L"Spr\x00E5k \x6587";
    const std::wstring own = folder_.Child(sub);
    ASSERT_TRUE(::CreateDirectoryW(own.c_str(), nullptr));
    const ByteString ownUtf8 = TextConvert::WideToUtf8(own), missing = TextConvert::Bytes("C:\\no");
    const std::string en = "file not found|operating system error: number = 0x3FFFFFFF - n/a";
    const std::string de = "Datei nicht gefunden|Betriebssystemfehler: Nummer = 0x3FFFFFFF - n/a";
    const std::string fr = "fichier introuvable|erreur du syst\xC3\xA8me d'exploitation : "
                           "num\xC3\xA9ro = 0x3FFFFFFF - n/a";
    const std::string own1 = "Datei nicht gefunden|Fehler 0x3FFFFFFF: n/a";
    // index, folder, the own file's new content if any, current language, messages
    const std::tuple<int, const ByteString&, const char*, int, std::string> steps[] = {
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
    for (const auto& [index, folder, write, current, messages] : steps) {
        SCOPED_TRACE(std::to_string(index) + ": " + Chars(folder) + (write ? write : ""));
        if (write) {
            folder_.WriteFile(sub + L"\\DEU.txt", write);
        }
        TalvenText::setLanguage(index, folder);
        EXPECT_EQ(TalvenText::languageImpl()->currentLanguage(), current);
        EXPECT_EQ(Chars(exceptionFromCode(-10005).message()) + "|" +
                      Chars(SystemException::Win32(0x3FFFFFFF).message()),
                  messages);
    }

    // Shipped files translate every library constant, keep its placeholders, and add nothing.
    ASSERT_TRUE(FileException::VolumeNotFound.isRegistered()); // links the file of all constants
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

// A mutated syntax row (rarely a huge line) loads without raising; what it keeps is well formed.
const std::string kJunk("\xEF\xBB\xBF\xFE\xFF\n-2147483649 x\n0x100000000 y\r\n-0 z\n\0", 41);

TEST_F(LanguageFile, GeneratedMutatedFilesLoadWithoutRaisingAndKeepWellFormedEntries) {
    TalvenTest::ForEachGeneratedCase(
        "language", 500, 50000, [&](TalvenTest::Rng& rng, std::uint64_t number) {
            std::string bytes = rng.Pick(kSyntax).first;
            for (std::uint64_t steps = rng.Below(7); steps > 0; --steps) {
                const auto at = static_cast<std::size_t>(rng.Below(bytes.size() + 1));
                if (rng.Chance(1)) { // a huge line or a long run of line ends
                    bytes.insert(at, std::string(1 << 20, "a7\r\n"[rng.Below(4)]));
                } else if (rng.Chance(25)) { // a cut or a hole
                    bytes.erase(at, rng.Chance(30) ? std::string::npos : rng.Below(8));
                } else {
                    bytes.insert(rng.Chance(20) ? 0 : at,
                                 rng.Chance(50)
                                     ? kJunk.substr(rng.Below(kJunk.size()), rng.Below(16))
                                     : std::string(1, static_cast<char>(rng.Below(256))));
                }
            }
            SCOPED_TRACE("file: " + testing::PrintToString(bytes.substr(0, 4000)));
            Probe probe;
            Map entries;
            const bool viaFile = number % 25 == 0 || bytes.size() > 65536; // chunked reads
            try {
                if (viaFile) {
                    folder_.WriteFile(L"DEU.txt", bytes);
                    probe.setLanguage(kGerman, TextConvert::WideToUtf8(folder_.Path()));
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
