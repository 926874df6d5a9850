// DateTime: the calendar against an independent day count, zone conversion, tick arithmetic,
// the operating-system and runtime conversions, and the text form.
#include "support/DateTime.h"

#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>

namespace {

// The calendar as a historian states it, kept apart from the library's formulas: astronomical
// year numbering before 1582, the Gregorian rule from then on, ten days cut from October 1582.
bool ModelLeap(int year) {
    const int astronomical = year < 0 ? year + 1 : year;
    if (year < 1582) {
        return astronomical % 4 == 0;
    }
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int ModelMonthDays(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ModelLeap(year)) {
        return 29;
    }
    if (year == 1582 && month == 10) {
        return 21;
    }
    return days[month - 1];
}

// Walks every day of the year range one by one and counts the days where the library differs.
struct DayCheck {
    int mismatches = 0;
    std::string first;
    void Check(int day, int month, int year, std::int32_t number) {
        const Date date(static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
                        static_cast<std::int16_t>(year));
        if (date.DayNumber() != number || Date::FromDayNumber(number) != date) {
            if (mismatches++ == 0) {
                std::ostringstream text;
                text << date << " expected day " << number << ", got " << date.DayNumber()
                     << " and back " << Date::FromDayNumber(number);
                first = text.str();
            }
        }
    }
};

TEST(DateTimeCalendar, EveryDayOfTheYearRangeRoundTripsThroughItsDayNumber) {
    DayCheck check;
    std::int32_t number = 0;
    for (int year = 1; year <= 32767; ++year) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= ModelMonthDays(year, month); ++day) {
                check.Check(day, month, year, number++);
            }
        }
    }
    const std::int32_t pastLast = number;
    number = -1;
    for (int year = -1; year >= -32767; --year) {
        for (int month = 12; month >= 1; --month) {
            for (int day = ModelMonthDays(year, month); day >= 1; --day) {
                check.Check(day, month, year, number--);
            }
        }
    }
    EXPECT_EQ(check.mismatches, 0) << check.first;

    // Beyond the years -32767..32767 every day number gives the default date.
    for (std::int32_t outside :
         {pastLast, pastLast + 1000, number, number - 1000,
          std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()}) {
        EXPECT_EQ(Date::FromDayNumber(outside), Date()) << outside;
    }
}

TEST(DateTimeCalendar, KnownDaysHaveTheirDayNumberAndWeekday) {
    struct Row {
        int day, month, year;
        std::int32_t number;
        int weekday;
    };
    // Weekdays from the historical calendar; the day after Julian 4 October 1582 (Thursday)
    // is the Friday this calendar numbers 5 October.
    const Row rows[] = {
        {1, 1, 1, 0, 6},           {1, 1, -1, -366, 4},     {4, 10, 1582, 577736, 4},
        {5, 10, 1582, 577737, 5},  {1, 3, 1700, 620608, 1}, {4, 7, 1776, 648492, 4},
        {31, 12, 1899, 693596, 0}, {1, 1, 1900, 693597, 1}, {1, 1, 2000, 730121, 6},
        {1, 3, 2100, 766705, 1},
    };
    for (const Row& row : rows) {
        const Date date(static_cast<std::uint8_t>(row.day), static_cast<std::uint8_t>(row.month),
                        static_cast<std::int16_t>(row.year));
        EXPECT_EQ(date.DayNumber(), row.number) << date;
        EXPECT_EQ(date.DayOfWeek(), row.weekday) << date;
    }
    EXPECT_EQ(Date::FromDayNumber(Date(21, 10, 1582).DayNumber() + 1), Date(1, 11, 1582));
}

TEST(DateTimeCalendar, YearAndMonthLengths) {
    const struct {
        int year, length, february;
    } rows[] = {{1582, 355, 28}, {1500, 366, 29}, {1600, 366, 29}, {1700, 365, 28},
                {1900, 365, 28}, {2000, 366, 29}, {-1, 366, 29},   {-4, 365, 28},
                {-5, 366, 29},   {-1701, 366, 29}};
    for (const auto& row : rows) {
        EXPECT_EQ(Date::YearLength(row.year), row.length) << row.year;
        EXPECT_EQ(Date::MonthLength(row.year, 2), row.february) << row.year;
    }
    EXPECT_EQ(Date::MonthLength(1582, 10), 21);
    EXPECT_EQ(Date::MonthLength(2000, 13), 0);
}

TEST(DateTimeTicks, TimeOfDayCarriesWholeDays) {
    EXPECT_EQ(TimeOfDay(23, 59, 59, 599).ToTicks(), 51839999u);
    TimeOfDay time(1, 2, 3);
    time.SetFromTicks(DateTime::TicksPerDay);
    EXPECT_EQ(time, TimeOfDay(0, 0, 0, 0, 1));
    time.SetFromTicks(std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(time.DayCarry(), 82);
    EXPECT_EQ(time.ToTicks(), std::numeric_limits<std::uint32_t>::max());
}

TEST(DateTimeZone, OffsetsFromOperatingSystemBiases) {
    const struct {
        std::int32_t bias, daylightBias;
        bool daylight;
        std::int32_t minutes;
        bool west;
    } rows[] = {
        {0, -60, false, 0, false},     {0, -60, true, 60, false},    {-330, 0, false, 330, false},
        {210, -60, false, -210, true}, {210, -60, true, -150, true}, {-60, -60, true, 120, false},
        {60, -60, true, 0, true},      {30, -60, true, 30, false},
    };
    for (const auto& row : rows) {
        const ZoneOffset zone = ZoneOffset::FromBias(row.bias, row.daylightBias, row.daylight);
        EXPECT_EQ(zone.OffsetMinutes(), row.minutes) << row.bias << " " << row.daylight;
        EXPECT_EQ(zone.IsWest(), row.west) << row.bias << " " << row.daylight;
        EXPECT_EQ(zone.IsDaylight(), row.daylight);
    }
    EXPECT_EQ(ZoneOffset(3, 30, true).OffsetMinutes(), -210);

    TIME_ZONE_INFORMATION info = {};
    const DWORD result = GetTimeZoneInformation(&info);
    const bool daylight = result == TIME_ZONE_ID_DAYLIGHT;
    EXPECT_EQ(ZoneOffset::GetCurrentZone().OffsetMinutes(),
              -(info.Bias + (daylight ? info.DaylightBias : 0)));
}

TEST(DateTimeZone, ConversionKeepsTheInstantAcrossMidnight) {
    const ZoneOffset utc, oneWest(1, 0, true), twoEast(2, 0, false), newfoundland(3, 30, true);
    const struct {
        DateTime from;
        ZoneOffset to;
        TimeOfDay time;
        Date date;
    } rows[] = {
        {DateTime(TimeOfDay(0, 30, 0), Date(1, 1, 2000), utc), oneWest, TimeOfDay(23, 30, 0),
         Date(31, 12, 1999)},
        {DateTime(TimeOfDay(23, 30, 0), Date(1, 1, 2000), utc), twoEast, TimeOfDay(1, 30, 0),
         Date(2, 1, 2000)},
        {DateTime(TimeOfDay(2, 0, 0, 7), Date(1, 1, 2000), utc), newfoundland,
         TimeOfDay(22, 30, 0, 7), Date(31, 12, 1999)},
        {DateTime(TimeOfDay(0, 0, 0), Date(1, 3, 1900), utc), oneWest, TimeOfDay(23, 0, 0),
         Date(28, 2, 1900)},
        {DateTime(TimeOfDay(23, 0, 0), Date(21, 10, 1582), utc), twoEast, TimeOfDay(1, 0, 0),
         Date(1, 11, 1582)},
        {DateTime(TimeOfDay(23, 0, 0), Date(31, 12, -1), utc), twoEast, TimeOfDay(1, 0, 0),
         Date(1, 1, 1)},
        {DateTime(TimeOfDay(1, 0, 0), Date(1, 1, 2000), twoEast), oneWest, TimeOfDay(22, 0, 0),
         Date(31, 12, 1999)},
        // A pending day carry moves the date as well.
        {DateTime(TimeOfDay(0, 0, 0, 0, 1), Date(31, 12, 1999), utc), twoEast, TimeOfDay(2, 0, 0),
         Date(1, 1, 2000)},
    };
    for (const auto& row : rows) {
        DateTime value = row.from;
        value.ConvertToZone(row.to);
        EXPECT_EQ(value, DateTime(row.time, row.date, row.to)) << row.from << " -> " << value;
        EXPECT_EQ(value.GetUtcTicks(), row.from.GetUtcTicks()) << row.from;
        EXPECT_EQ(DateTime::FromUtcTicks(row.from.GetUtcTicks(), row.to), value) << row.from;
    }

    // The same zone changes nothing, not even a pending carry.
    DateTime carried(TimeOfDay(0, 0, 0, 0, 1), Date(1, 1, 2000), twoEast);
    carried.ConvertToZone(twoEast);
    EXPECT_EQ(carried.Time().DayCarry(), 1);
}

TEST(DateTimeTicks, UtcTicksFloorAndClamp) {
    const DateTime beforeDayZero = DateTime::FromUtcTicks(-1, ZoneOffset());
    EXPECT_EQ(beforeDayZero, DateTime(TimeOfDay(23, 59, 59, 599), Date(31, 12, -1), ZoneOffset()));
    for (std::int64_t ticks :
         {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_EQ(DateTime::FromUtcTicks(ticks, ZoneOffset()).GetDate(), Date());
    }
    const std::int64_t lastTick =
        DateTime(TimeOfDay(23, 59, 59, 599), Date(31, 12, 32767), ZoneOffset()).GetUtcTicks();
    EXPECT_EQ(DateTime::FromUtcTicks(lastTick, ZoneOffset()).GetDate(), Date(31, 12, 32767));
    EXPECT_EQ(DateTime::FromUtcTicks(lastTick + 1, ZoneOffset()).GetDate(), Date());
}

TEST(DateTimeReference, SecondsSinceTheReferenceInstant) {
    const ZoneOffset utc;
    EXPECT_EQ(DateTime::Reference().ToSecondsSinceReference(), 0);
    EXPECT_EQ(DateTime(TimeOfDay(0, 0, 1), Date(1, 1, 2000), utc).ToSecondsSinceReference(), 1);
    EXPECT_EQ(DateTime(TimeOfDay(23, 59, 59), Date(31, 12, 1999), utc).ToSecondsSinceReference(),
              -1);
    // Truncation toward zero: half a second before the reference counts as 0.
    EXPECT_EQ(
        DateTime(TimeOfDay(23, 59, 59, 300), Date(31, 12, 1999), utc).ToSecondsSinceReference(), 0);
    EXPECT_EQ(DateTime(TimeOfDay(1, 0, 0), Date(1, 1, 2000), ZoneOffset(1, 0, false))
                  .ToSecondsSinceReference(),
              0);
    for (std::int32_t seconds : {std::numeric_limits<std::int32_t>::min(), -1, 0, 1,
                                 std::numeric_limits<std::int32_t>::max()}) {
        EXPECT_EQ(DateTime::FromSecondsSinceReference(seconds).ToSecondsSinceReference(), seconds);
    }
}

TEST(DateTimeSystem, MillisecondsBecomeTicksAndBack) {
    SYSTEMTIME in = {};
    in.wYear = 2024;
    in.wMonth = 2;
    in.wDay = 29;
    in.wHour = 13;
    in.wMinute = 14;
    in.wSecond = 15;
    const struct {
        WORD in, ticks, out;
    } rows[] = {{0, 0, 0}, {1, 0, 0}, {2, 1, 1}, {500, 300, 500}, {999, 599, 998}};
    for (const auto& row : rows) {
        in.wMilliseconds = row.in;
        const DateTime value = DateTime::FromSystemTime(in);
        EXPECT_EQ(value.Time().Fraction(), row.ticks) << row.in;
        const SYSTEMTIME out = value.ToSystemTime();
        EXPECT_EQ(out.wMilliseconds, row.out) << row.in;
        EXPECT_EQ(out.wDayOfWeek, 4); // a Thursday
        EXPECT_EQ(out.wYear * 10000 + out.wMonth * 100 + out.wDay, 20240229);
        EXPECT_EQ(out.wHour * 10000 + out.wMinute * 100 + out.wSecond, 131415);
    }
    in.wYear = 40000;
    EXPECT_EQ(DateTime::FromSystemTime(in).GetDate().Year(), 32767);
}

TEST(DateTimeSystem, RuntimeTimesRoundTripAndNowIsWholeSeconds) {
    for (std::time_t time : {std::time_t{86400}, std::time_t{951782400}, std::time_t{1700000000}}) {
        EXPECT_EQ(DateTime::FromCTime(time).ToCTime(), time) << time;
    }
    const DateTime now = DateTime::Now();
    EXPECT_EQ(now.Time().Fraction(), 0u);
    const std::time_t difference = now.ToCTime() - std::time(nullptr);
    EXPECT_LE(difference < 0 ? -difference : difference, 2);
}

TEST(DateTimeText, WritesAndReadsBackTheForm) {
    const struct {
        DateTime value;
        const char* text;
    } rows[] = {
        {DateTime(), "00:00:00:000-01.01.0001-+00:00S"},
        {DateTime(TimeOfDay(14, 5, 9, 300), Date(24, 12, 2023), ZoneOffset(1, 0, false)),
         "14:05:09:300-24.12.2023-+01:00S"},
        {DateTime(TimeOfDay(23, 59, 59, 599), Date(31, 12, 32767), ZoneOffset(3, 30, true, true)),
         "23:59:59:599-31.12.32767--03:30D"},
        {DateTime(TimeOfDay(0, 0, 0, 1), Date(15, 3, -44), ZoneOffset(14, 0, false)),
         "00:00:00:001-15.03.-0044-+14:00S"},
        {DateTime(TimeOfDay(12, 0, 0), Date(1, 1, -32767), ZoneOffset()),
         "12:00:00:000-01.01.-32767-+00:00S"},
    };
    std::string all;
    for (const auto& row : rows) {
        std::ostringstream out;
        out << row.value;
        EXPECT_EQ(out.str(), row.text);
        all += std::string("  ") + row.text;
    }
    std::istringstream in(all);
    for (const auto& row : rows) {
        DateTime read(TimeOfDay(1, 1, 1), Date(2, 2, 2), ZoneOffset(1, 1, true));
        EXPECT_TRUE(in >> read) << row.text;
        EXPECT_EQ(read, row.value) << row.text;
    }
}

TEST(DateTimeText, MalformedTextFailsAndLeavesTheValue) {
    const char* const rows[] = {
        "",
        "12:00:00:000-01.01.2000-+00:00",   // no daylight marker
        "12:00:00.000-01.01.2000-+00:00S",  // wrong separator
        "12:00:00:000 -01.01.2000-+00:00S", // white space inside
        "1:00:00:000-01.01.2000-+00:00S",
        "24:00:00:000-01.01.2000-+00:00S",
        "12:60:00:000-01.01.2000-+00:00S",
        "12:00:00:600-01.01.2000-+00:00S",
        "12:00:00:00-01.01.2000-+00:00S",
        "12:00:00:000-29.02.1900-+00:00S",
        "12:00:00:000-22.10.1582-+00:00S",
        "12:00:00:000-00.01.2000-+00:00S",
        "12:00:00:000-01.13.2000-+00:00S",
        "12:00:00:000-01.01.0000-+00:00S",
        "12:00:00:000-01.01.200-+00:00S",
        "12:00:00:000-01.01.32768-+00:00S",
        "12:00:00:000-01.01.2000-+24:00S",
        "12:00:00:000-01.01.2000-*01:00S",
        "12:00:00:000-01.01.2000-+01:60S",
        "12:00:00:000-01.01.2000-+01:00X",
    };
    const DateTime original(TimeOfDay(7, 8, 9, 10), Date(11, 12, 1313), ZoneOffset(1, 2, true));
    for (const char* text : rows) {
        std::istringstream in(text);
        DateTime value = original;
        in >> value;
        EXPECT_TRUE(in.fail()) << text;
        EXPECT_EQ(value, original) << text;
    }
}

} // namespace
