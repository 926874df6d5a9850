// Randomised language files: the shipped German (UTF-8 with mark) and French (UTF-16 BE) files
// and generated ones, mutated (bytes flipped, inserted, deleted, cut; marks swapped or dropped;
// odd lengths; huge, negative and hexadecimal identifiers; missing separators). Loading never
// raises, and the translations are exactly what a reader written here from the documented
// line rules takes from the decoded text. Some cases go through a real file and setLanguage.
#include "support/TalvenText.h"

#include "common/TestFolder.h"
#include "robustness/Robustness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kCiCases = 20000;
// Every this many cases, the bytes are written to a file and loaded through setLanguage.
constexpr std::uint64_t kFileEvery = 25;
constexpr int kGerman = 7;

using Map = std::map<std::int32_t, std::string>;

class Probe : public TalvenText::LanguageImpl {
public:
    void Load(const std::string& bytes) {
        LoadFromBytes(std::vector<unsigned char>(bytes.begin(), bytes.end()));
    }
    Map Entries() const {
        Map result;
        for (const auto& entry : translations_) {
            result[entry.first] = TextConvert::Chars(entry.second);
        }
        return result;
    }
};

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The text the lines are read from: after EF BB BF as it stands, after FE FF as UTF-16 BE
// (a trailing odd byte dropped, a lone surrogate read as U+FFFD), otherwise as it stands.
std::string Decode(const std::string& bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return bytes.substr(3);
    }
    if (bytes.compare(0, 2, "\xFE\xFF") != 0) {
        return bytes;
    }
    std::vector<std::uint32_t> units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        units.push_back((static_cast<unsigned char>(bytes[i]) << 8) |
                        static_cast<unsigned char>(bytes[i + 1]));
    }
    std::string text;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(text, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(text, 0xFFFD);
        } else {
            AppendUtf8(text, u);
        }
    }
    return text;
}

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// One line by the documented rules; false when the line is a comment or has no identifier.
bool ReadLine(const std::string& line, std::int32_t& id, std::string& text) {
    if (line.empty() || line[0] == ';' || line[0] == '#') {
        return false;
    }
    std::size_t at = 0;
    const bool negative = line[0] == '-';
    if (line[0] == '-' || line[0] == '+') {
        at = 1;
    }
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    auto digits = [&](int base, long long& value) {
        const std::size_t start = at;
        bool over = false;
        value = 0;
        for (; at < line.size(); ++at) {
            const char c = line[at];
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (base == 16 && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            }
            if (digit < 0) {
                break;
            }
            if (!over) {
                value = value * base + digit;
                over = value > limit;
            }
        }
        return at > start && !over;
    };
    long long value = 0;
    if (!digits(10, value)) {
        return false;
    }
    if (value == 0 && at < line.size() && line[at] == 'x') {
        ++at;
        if (!digits(16, value)) {
            return false;
        }
    }
    if (value == 0) {
        return false;
    }
    id = static_cast<std::int32_t>(negative ? -value : value);
    std::size_t end = line.size();
    while (at < end && Blank(line[at])) {
        ++at;
    }
    while (end > at && Blank(line[end - 1])) {
        --end;
    }
    text = line.substr(at, end - at);
    return true;
}

Map Expected(const std::string& bytes) {
    const std::string text = Decode(bytes);
    Map result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::int32_t id = 0;
        std::string translation;
        if (ReadLine(text.substr(start, end - start), id, translation)) {
            result[id] = translation;
        }
        start = end + 1;
    }
    return result;
}

std::string ReadFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Utf16Be(const std::string& utf8) {
    const std::wstring wide = TextConvert::Utf8ToWide(TextConvert::Bytes(utf8));
    std::string bytes = "\xFE\xFF";
    for (wchar_t c : wide) {
        bytes += static_cast<char>((c >> 8) & 0xFF);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

// A file of random lines: identifiers of every form (huge, negative, hexadecimal, zero,
// missing), comments, blank and white-space-only lines, mixed line ends, non-ASCII text.
std::string GeneratedText(Robustness::Rng& rng) {
    static const char* const ids[] = {
        "-10000",     "1",          "+7",          "-1",          "0",
        "-0",         "0x10",       "-0x2710",     "0X10",        "0x",
        "2147483647", "2147483648", "-2147483648", "-2147483649", "99999999999999999999",
        "0x7FFFFFFF", "0x80000000", "-0x80000000", "00x1f",       "x1",
        "--1",        "",           " 5",          "\t6",         "12abc"};
    static const char* const texts[] = {
        "Datei nicht gefunden",     "%0 - %1",          "",      "  padded\t ", "caf\xC3\xA9",
        "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", "a;b#c", "\x01\x7F",    "0x12"};
    static const char* const ends[] = {"\n", "\r\n", "\r", "\n\n", "\r\r\n", ""};
    std::string text;
    const std::size_t lines = static_cast<std::size_t>(rng.Range(0, 30));
    for (std::size_t i = 0; i < lines; ++i) {
        switch (rng.Below(8)) {
        case 0:
            text += rng.Chance(50) ? "; comment" : "# comment";
            break;
        case 1:
            text += rng.Chance(50) ? "" : " \t ";
            break;
        default:
            text += rng.Pick(ids);
            text += rng.Chance(80) ? (rng.Chance(50) ? " " : "\t") : "";
            text += rng.Pick(texts);
            break;
        }
        text += rng.Pick(ends);
    }
    return text;
}

std::string Mutate(Robustness::Rng& rng, std::string bytes) {
    const std::size_t steps = static_cast<std::size_t>(rng.Range(0, 6));
    for (std::size_t i = 0; i < steps; ++i) {
        const std::size_t at = static_cast<std::size_t>(rng.Below(bytes.size() + 1));
        switch (rng.Below(8)) {
        case 0:
            if (at < bytes.size()) {
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << rng.Below(8)));
            }
            break;
        case 1:
            bytes.insert(at, 1, static_cast<char>(rng.Below(256)));
            break;
        case 2:
            if (at < bytes.size()) {
                bytes.erase(at, static_cast<std::size_t>(rng.Range(1, 8)));
            }
            break;
        case 3:
            bytes.resize(at);
            break;
        case 4: {
            // Swap, drop or add a byte-order mark.
            static const char* const marks[] = {"\xEF\xBB\xBF", "\xFE\xFF", "\xFF\xFE", ""};
            std::size_t old = 0;
            if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                old = 3;
            } else if (bytes.compare(0, 2, "\xFE\xFF") == 0 ||
                       bytes.compare(0, 2, "\xFF\xFE") == 0) {
                old = 2;
            }
            bytes.replace(0, old, rng.Pick(marks));
            break;
        }
        case 5:
            if (!bytes.empty() && bytes.size() % 2 == 0) {
                bytes.pop_back(); // odd length
            }
            break;
        case 6: {
            static const char* const lines[] = {"\n99999999999999999999999 huge\n",
                                                "\n-2147483649 below\n",
                                                "\n0x100000000 wide\n",
                                                "\n-2147483648 lowest\n",
                                                "\n42\n",
                                                "\n-\n"};
            bytes.insert(at, rng.Pick(lines));
            break;
        }
        default:
            bytes.insert(at, std::string(static_cast<std::size_t>(rng.Range(1, 3)), '\0'));
            break;
        }
    }
    return bytes;
}

TEST(LanguageFuzz, LoadedTranslationsAreExactlyWhatTheLineRulesTake) {
    const std::wstring lang = TalvenTest::TestFolder::ProgramFolder() + L"\\lang\\";
    const std::string german = ReadFile(lang + L"DEU.txt");
    const std::string french = ReadFile(lang + L"FRA.txt");
    ASSERT_FALSE(german.empty());
    ASSERT_FALSE(french.empty());
    TalvenTest::TestFolder folder;
    const ByteString folderUtf8 = TextConvert::WideToUtf8(folder.Path());

    Robustness::Tally tally;
    Robustness::RunCases("language", kCiCases, [&](Robustness::Rng& rng, std::uint64_t number) {
        std::string bytes;
        switch (rng.Below(4)) {
        case 0:
            bytes = german;
            break;
        case 1:
            bytes = french;
            break;
        case 2:
            bytes = GeneratedText(rng);
            break;
        default:
            bytes = Utf16Be(GeneratedText(rng));
            break;
        }
        bytes = Mutate(rng, bytes);
        SCOPED_TRACE("file: \"" + Robustness::PrintableBytes(bytes) + "\"");

        Probe probe;
        try {
            if (number % kFileEvery == 0) {
                folder.WriteFile(L"DEU.txt", bytes);
                probe.setLanguage(kGerman, folderUtf8);
                EXPECT_EQ(probe.currentLanguage(), kGerman);
            } else {
                probe.Load(bytes);
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "raised: " << e.what();
            return;
        }
        const Map loaded = probe.Entries();
        const Map expected = Expected(bytes);
        EXPECT_EQ(loaded, expected);
        if (loaded.empty()) {
            tally.Refused("no entry");
        } else {
            tally.Accepted();
        }
        tally.Other("entries " + std::string(loaded.size() > 20 ? ">20" : "<=20"));
    });
    tally.Print("language files (accepted = some entry loaded)", Robustness::CaseCount(kCiCases));
}

} // namespace
