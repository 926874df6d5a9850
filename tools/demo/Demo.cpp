// talven_demo: a short tour of the library on built-in sample data: localised exception
// messages, calendar facts, path splitting and progress splitting. Touches no files except
// reading the language files beside the program.
#include "Private/FilePath.h"
#include "Private/Tickler.h"
#include "Private/Windows/TalvenWindows.h"
#include "support/DateTime.h"
#include "support/TalvenException.h"
#include "support/TalvenText.h"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

namespace {

void Title(const char* text) {
    std::printf("\n== %s ==\n", text);
}

// The lang folder beside the program, as UTF-8.
ByteString LanguageFolder() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], 32768);
    buffer.resize(length);
    buffer.erase(buffer.find_last_of(L"\\/") + 1);
    return TextConvert::WideToUtf8(buffer + L"lang");
}

// Console output is UTF-8 so that translations print as they are.
void PrintUtf8(const char* label, const ByteString& text) {
    std::printf("  %-9s %s\n", label, TextConvert::Chars(text).c_str());
}

void ShowMessages() {
    Title("Exception messages in three languages");
    const ByteString folder = LanguageFolder();
    struct Language {
        int index;
        const char* name;
    };
    const Language languages[] = {
        {TalvenText::EmbeddedEnglish, "English"}, {7, "German"}, {6, "French"}};
    for (const Language& language : languages) {
        TalvenText::setLanguage(language.index, folder);
        FileException notFound(FileException::FileNotFound,
                               TextConvert::Bytes("C:\\data\\report.txt"));
        TalvenTextArgs caption(FileException::CopyingFile);
        caption.arg("report.txt");
        PrintUtf8(language.name, notFound.message());
        PrintUtf8("", caption.str());
        PrintUtf8("", TalvenException(".\\tools\\demo", 42).message());
    }
    TalvenText::setLanguage(TalvenText::EmbeddedEnglish, ByteString());
    SystemException::Win32 denied(5);
    PrintUtf8("OS error", denied.message());
}

void ShowCalendar() {
    Title("Calendar: Julian up to 1582, Gregorian after");
    // The ten days of the reform are taken out of October 1582, which ends on the 21st.
    const Date lastOctober(21, 10, 1582);
    const Date next = Date::FromDayNumber(lastOctober.DayNumber() + 1);
    std::printf("  the day after 21.10.1582 is %u.%u.%d\n", next.Day(), next.Month(), next.Year());
    std::printf("  1582 has %d days; 1500 leap: %s; 1700 leap: %s; 2000 leap: %s\n",
                Date::YearLength(1582), Date::IsLeapYear(1500) ? "yes" : "no",
                Date::IsLeapYear(1700) ? "yes" : "no", Date::IsLeapYear(2000) ? "yes" : "no");
    static const char* const days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
    std::printf("  day number 0 (1.1.1) is a %s\n", days[Date().DayOfWeek()]);
    DateTime midnight(TimeOfDay(0, 30, 0), Date(1, 1, 2000), ZoneOffset());
    std::ostringstream text;
    text << midnight;
    midnight.ConvertToZone(ZoneOffset(1, 0, true));
    std::ostringstream west;
    west << midnight;
    std::printf("  %s in UTC is %s one hour west\n", text.str().c_str(), west.str().c_str());
    std::printf("  seconds since 1.1.2000 UTC at that instant: %lld\n",
                static_cast<long long>(midnight.ToSecondsSinceReference()));
}

void ShowPath() {
    Title("A path split into its parts");
    const FilePath path(TextConvert::Bytes("C:\\Users\\J\xC3\xBCrgen\\Docs\\report.2026.txt"));
    PrintUtf8("path", path.GetBytes());
    PrintUtf8("name", path.GetName().GetBytes());
    PrintUtf8("extension", path.GetExtension().GetBytes());
    PrintUtf8("base name", path.GetBaseName().GetBytes());
    PrintUtf8("key", path.GetCanonical(false).GetBytes());
    std::printf("  matches *.txt: %s, matches report.????.txt: %s\n",
                path.MatchesPattern(FilePath("*.txt"), false) ? "yes" : "no",
                path.MatchesPattern(FilePath("report.????.txt"), false) ? "yes" : "no");
}

// A sink that prints where each part of a split job reports.
class PrintingSink : public TickleImplBase {
public:
    void SetText(const TalvenTextArgs& text) override {
        std::printf("  %s\n", TextConvert::Chars(text.str()).c_str());
    }
    void SetProgress(double position) override {
        std::printf("  progress %5.1f %%\n", position * 100);
    }
    void Refresh() override {}
};

void ShowProgress() {
    Title("Progress of a job in weighted parts (1:3)");
    PrintingSink sink;
    Tickler whole(&sink);
    TalvenTextArgs caption(FileException::CopyingFile);
    caption.arg("two files");
    whole.SetText(caption);
    for (Tickler& part : Split(whole, std::vector<double>{1.0, 3.0})) {
        part.Tickle(0.5);
        part.Tickle(1.0);
    }
}

} // namespace

int main() {
    ::SetConsoleOutputCP(CP_UTF8);
    std::printf("Talven demo\n");
    try {
        ShowMessages();
        ShowCalendar();
        ShowPath();
        ShowProgress();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
