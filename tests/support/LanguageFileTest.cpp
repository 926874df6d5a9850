// Language files: line syntax, encodings, hostile content, selection rules, and the shipped
// German and French files against every message constant of the library.
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include "common/TestFolder.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
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
        bytes += static_cast<char>((c >> 8) & 0xFF);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

std::string Translation(std::int32_t id) {
    ByteString out;
    TalvenText::languageImpl()->lookup(out, id);
    return TextConvert::Chars(out);
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

constexpr int kGerman = 7;
constexpr int kFrench = 6;

// Every test starts and ends with the embedded English selected.
class LanguageFile : public ::testing::Test {
protected:
    void SetUp() override { Restore(); }
    void TearDown() override { Restore(); }
    static void Restore() { TalvenText::setLanguage(TalvenText::EmbeddedEnglish, ByteString()); }

    ByteString Folder() const { return TextConvert::WideToUtf8(folder_.Path()); }
    void Write(const wchar_t* name, const std::string& bytes) { folder_.WriteFile(name, bytes); }
    int Current() const { return TalvenText::languageImpl()->currentLanguage(); }

    TalvenTest::TestFolder folder_;
};

TEST(LanguageFileSyntax, LinesAndEncodingsAreReadOrIgnoredAsWritten) {
    struct Case {
        std::string content;
        Map expected;
    };
    const Case cases[] = {
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
        {"", {}},
        {Utf16Be(L"; c\r\n-5 \x00FC\xD83D\xDE00\r\n-6 de"),
         {{-5, "\xC3\xBC\xF0\x9F\x98\x80"}, {-6, "de"}}},
        // Half a code unit at the end of a truncated file is dropped, not completed to a
        // character.
        {Utf16Be(L"-5 abc\r\n-6 de") + std::string(1, '\0'), {{-5, "abc"}, {-6, "de"}}},
        {Utf16Be(L"-7 x") + "\x21", {{-7, "x"}}},
        // A lone surrogate becomes U+FFFD.
        {Utf16Be(L"-8 a\xD800z"), {{-8, "a\xEF\xBF\xBDz"}}},
        // Little-endian UTF-16 is not recognised and yields no usable lines.
        {std::string("\xFF\xFE-\0"
                     "5\0 \0x\0\r\0\n\0",
                     14),
         {}},
    };
    for (const Case& c : cases) {
        Probe probe;
        EXPECT_EQ(probe.Parse(c.content), c.expected) << c.content;
    }
}

TEST_F(LanguageFile, LoadsFromAUtf8FolderAndKeepsTheSelection) {
    TalvenText::setLanguage(kGerman, Folder() + TextConvert::Bytes("\\missing"));
    EXPECT_EQ(Current(), TalvenText::EmbeddedEnglish);
    // The narrow path of the Windows 9x family holds only characters of the ANSI code page.
    const bool win9x = (::GetVersion() & 0x80000000u) != 0;
    const std::wstring sub = win9x ? L"Spr\x00E5k" : L"Spr\x00E5k \x6587";
    ASSERT_TRUE(::CreateDirectoryW(folder_.Child(sub).c_str(), nullptr));
    Write((sub + L"\\DEU.txt").c_str(), "\xEF\xBB\xBF; de\r\n-10005 Datei nicht gefunden\r\n");
    const ByteString utf8 = TextConvert::WideToUtf8(folder_.Child(sub));
    TalvenText::setLanguage(kGerman, utf8);
    EXPECT_EQ(Current(), kGerman);
    EXPECT_EQ(Translation(-10005), "Datei nicht gefunden");

    // The same index again does not reload, even though the file changed.
    Write((sub + L"\\DEU.txt").c_str(), "-10005 neu\r\n");
    TalvenText::setLanguage(kGerman, utf8);
    EXPECT_EQ(Translation(-10005), "Datei nicht gefunden");
    TalvenText::setLanguage(17, utf8);
    EXPECT_EQ(Current(), kGerman);

    // A language without a file falls back to the embedded English and clears the map.
    TalvenText::setLanguage(kFrench, utf8);
    EXPECT_EQ(Current(), TalvenText::EmbeddedEnglish);
    EXPECT_EQ(Translation(-10005), "");
    TalvenText::setLanguage(kGerman, utf8);
    EXPECT_EQ(Translation(-10005), "neu");
    TalvenText::setLanguage(TalvenText::EmbeddedEnglish, utf8);
    EXPECT_EQ(Translation(-10005), "");
}

TEST_F(LanguageFile, HostileFilesLoadWhatIsValid) {
    std::mt19937 random(20240607);
    std::string noise(256 * 1024, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    const std::string bigLine(1 << 20, 'a');
    const std::string crlf = [] {
        std::string s;
        for (int i = 0; i < (1 << 18); ++i) {
            s += (i % 3) ? "\r\n" : "\n\r";
        }
        return s;
    }();
    struct Case {
        std::string content;
        Map expected; // entries that must be present with exactly these texts
    };
    const Case cases[] = {
        {"R" + noise + "\n-10005 valid\n" + noise, {{-10005, "valid"}}},
        {crlf, {}},
        {crlf + "-3 after\r\n" + crlf, {{-3, "after"}}},
        {"-10005 " + bigLine + "\n-10004 next\n" + std::string(1 << 20, '7') + " x\n" + bigLine,
         {{-10005, bigLine}, {-10004, "next"}}},
        {Utf16Be(L"-10005 ungerade") + std::string(1, '\0'), {{-10005, "ungerade"}}},
    };
    for (const Case& c : cases) {
        Write(L"DEU.txt", c.content);
        TalvenText::setLanguage(kGerman, Folder());
        EXPECT_EQ(Current(), kGerman);
        for (const auto& entry : c.expected) {
            EXPECT_EQ(Translation(entry.first), entry.second) << entry.first;
        }
        Probe probe;
        probe.setLanguage(kGerman, Folder());
        if (c.expected.empty()) {
            EXPECT_TRUE(probe.Entries().empty());
        }
        Restore();
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
    std::vector<std::int32_t> ids;
    for (const TalvenText* t = TalvenText::first(); t; t = TalvenText::next(t)) {
        ids.push_back(t->id());
    }
    std::vector<std::int32_t> library = {
        -10013, -10012, -10011, -10010, -10009, -10008, -10007, -10006, -10005, -10004, -10003,
        -10002, -10001, -10000, -15,    -14,    -12,    -11,    -4,     -3,     -2,     -1};
    EXPECT_EQ(ids, library);

    const ByteString folder =
        TextConvert::WideToUtf8(TalvenTest::TestFolder::ProgramFolder() + L"\\lang");
    for (int language : {kGerman, kFrench}) {
        Probe probe;
        probe.setLanguage(language, folder);
        ASSERT_EQ(probe.currentLanguage(), language);
        const Map entries = probe.Entries();
        EXPECT_EQ(entries.size(), library.size()) << language;
        for (const TalvenText* t = TalvenText::first(); t; t = TalvenText::next(t)) {
            const auto found = entries.find(t->id());
            ASSERT_NE(found, entries.end()) << language << " " << t->id();
            EXPECT_NE(found->second, t->defaultText()) << t->id();
            EXPECT_EQ(Markers(found->second.c_str()), Markers(t->defaultText())) << t->id();
        }
    }

    TalvenText::setLanguage(kGerman, folder);
    EXPECT_EQ(TextConvert::Chars(FileException::FileNotFound.str()), "Datei nicht gefunden");
    TalvenText::setLanguage(kFrench, folder);
    EXPECT_EQ(TextConvert::Chars(FileException::AccessDenied.str()), "acc\xC3\xA8s refus\xC3\xA9");
}

} // namespace
