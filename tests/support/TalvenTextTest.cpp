// TalvenText: the sorted registry, argument substitution, resolution through the language
// object, TalvenTextArgs and the dump.
#include "support/TalvenText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// This program's own constants, far from the library's negative identifiers.
const TalvenText kLast(7007, "seven");
const TalvenText kFirst(7001, "one");
const TalvenText kMiddle(7004, "four");

std::string S(const ByteString& bytes) {
    return TextConvert::Chars(bytes);
}

std::vector<std::int32_t> RegisteredIds() {
    std::vector<std::int32_t> ids;
    for (const TalvenText* t = TalvenText::first(); t; t = TalvenText::next(t)) {
        ids.push_back(t->id());
    }
    return ids;
}

// Serves fixed translations and records which identifiers were asked for.
class FakeLanguage : public TalvenText::LanguageImpl {
public:
    std::map<std::int32_t, std::string> texts;
    mutable std::vector<std::int32_t> asked;

    void lookup(ByteString& out, std::int32_t id) const override {
        asked.push_back(id);
        const auto found = texts.find(id);
        out = found == texts.end() ? ByteString() : TextConvert::Bytes(found->second);
    }
};

struct InstalledLanguage {
    explicit InstalledLanguage(TalvenText::LanguageImpl* impl) {
        TalvenText::setLanguageImpl(impl);
    }
    ~InstalledLanguage() { TalvenText::setLanguageImpl(nullptr); }
};

TEST(TalvenText, RegistryStaysSortedTheNewestEqualIdentifierWinsAndCopiesStayOut) {
    const std::vector<std::int32_t> before = RegisteredIds();
    EXPECT_TRUE(std::is_sorted(before.begin(), before.end()));
    EXPECT_EQ(TalvenText::lookup(7004), &kMiddle);
    EXPECT_EQ(TalvenText::lookup(7005), nullptr);
    {
        const TalvenText newer(7004, "newer four");
        const TalvenText front(-2147483647 - 1, "lowest");
        const TalvenText back(2147483647, "highest");
        EXPECT_EQ(TalvenText::lookup(7004), &newer);
        EXPECT_EQ(TalvenText::next(&newer), &kMiddle);
        EXPECT_EQ(TalvenText::first(), &front);
        EXPECT_EQ(TalvenText::next(&back), nullptr);
        const std::vector<std::int32_t> during = RegisteredIds();
        EXPECT_TRUE(std::is_sorted(during.begin(), during.end()));
        const TalvenText copy(kMiddle);
        EXPECT_FALSE(copy.isRegistered());
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
    EXPECT_EQ(S(TalvenText(7009, nullptr).str()), "");
}

TEST(TalvenText, FormatSubstitutesInAscendingOrderOnly) {
    struct Case {
        const char* text;
        std::vector<const char*> args;
        const char* expected;
    };
    const Case cases[] = {
        {"copying %0", {"x.txt"}, "copying x.txt"},
        {"%1 of %0", {"A", "B"}, "%1 of A"},
        {"a %0 b %0", {"X"}, "a X b X"},
        {"%0%1", {"%1", "B"}, "%1B"}, // inserted text is not scanned again
        {"%0", {"%0"}, "%0"},
        {"a%0b%0", {""}, "ab"},
        {"a %0 %1", {"A"}, "a A %1"},
        {"plain", {"unused"}, "plain"},
        {"100%", {"A"}, "100%"},
        {"x %1", {}, "x %1"},
    };
    for (const Case& c : cases) {
        std::vector<ByteString> args;
        for (const char* a : c.args) {
            args.push_back(TextConvert::Bytes(a));
        }
        ByteString out = TextConvert::Bytes("stale");
        TalvenText(c.text).format(out, args);
        EXPECT_EQ(S(out), c.expected) << c.text;
    }
}

TEST(TalvenText, FormatWithTwelveArgumentsLetsPercentOneEatPercentTen) {
    TalvenTextArgs args(TalvenText("%0,%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11"));
    TalvenTextArgs tail(TalvenText("value %11"));
    for (const char* a : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L"}) {
        args.arg(a);
        tail.arg(a);
    }
    // "%1" also replaces the start of "%10" and "%11", which leaves the search position at the
    // end, so "%2" to "%9" are never reached.
    EXPECT_EQ(S(args.str()), "A,B,%2,%3,%4,%5,%6,%7,%8,%9,B0,B1");
    EXPECT_EQ(S(tail.str()), "value B1");
}

TEST(TalvenText, ResolvesThroughTheCurrentLanguageObject) {
    FakeLanguage fake;
    fake.texts = {{7001, "eins"}, {7004, ""}, {7008, "acht %1 %0"}};
    {
        InstalledLanguage installed(&fake);
        EXPECT_EQ(S(kFirst.str()), "eins");
        EXPECT_EQ(S(kMiddle.str()), "four"); // an empty translation falls back
        fake.asked.clear();
        EXPECT_EQ(S(TalvenText("no id").str()), "no id");
        EXPECT_TRUE(fake.asked.empty());

        TalvenTextArgs args(TalvenText(7008, "eight %0 %1"));
        EXPECT_FALSE(args.isRegistered());
        args.arg("x").arg(TextConvert::Bytes("y"));
        EXPECT_EQ(S(args.str()), "acht %1 x");
        ByteString out;
        args.format(out, {TextConvert::Bytes("p")});
        EXPECT_EQ(S(out), "acht %1 p");
    }
    EXPECT_EQ(S(kFirst.str()), "one");
    // Indices outside the table are ignored without touching the file system.
    TalvenText::LanguageImpl* builtIn = TalvenText::languageImpl();
    EXPECT_EQ(builtIn->language(17), nullptr);
    TalvenText::setLanguage(17, TextConvert::Bytes("C:\\"));
    TalvenText::setLanguage(-1, TextConvert::Bytes("C:\\"));
    EXPECT_EQ(builtIn->currentLanguage(), TalvenText::EmbeddedEnglish);
}

TEST(TalvenText, DumpListsTranslationsOnlyAndRestoresFlags) {
    FakeLanguage fake;
    fake.texts = {{7004, "vier"}};
    InstalledLanguage installed(&fake);
    std::ostringstream out;
    out << std::hex << std::left;
    TalvenText::Dump(out);
    EXPECT_EQ(out.flags() & (std::ios::basefield | std::ios::adjustfield),
              std::ios::hex | std::ios::left);
    const std::string dump = out.str();
    EXPECT_EQ(dump.rfind("\xEF\xBB\xBFTalvenText::Dump() - ENU - Default (Embedded English)\n", 0),
              0u);
    EXPECT_NE(
        dump.find("\n       7001: <UNDEFINED>\n       7004: vier\n       7007: <UNDEFINED>\n"),
        std::string::npos);
}

} // namespace
