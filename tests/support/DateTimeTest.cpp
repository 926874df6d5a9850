// DateTime: the calendar against an independent day count, zone conversion, tick arithmetic,
// the operating-system and runtime conversions, and the text form.
#include "support/DateTime.h"

#include "common/Generator.h"
#include "support/TalvenWindows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

namespace {

using Int32 = std::numeric_limits<std::int32_t>;
using Int64 = std::numeric_limits<std::int64_t>;

// The calendar as a historian states it, kept apart from the library's formulas: astronomical
// year numbering before 1582, the Gregorian rule from then on, ten days cut from October 1582.
int ModelMonthDays(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int astronomical = year < 0 ? year + 1 : year;
    const bool leap =
        year < 1582 ? astronomical % 4 == 0 : year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return year == 1582 && month == 10 ? 21 : month == 2 && leap ? 29 : days[month - 1];
}

DateTime Parse(const char* text) {
    DateTime value;
    std::istringstream in(text);
    EXPECT_TRUE(in >> value) << text;
    return value;
}

// Walks every day of the year range: day numbers both ways, weekdays (day 0 is a Saturday, and
// they run on through the 1582 reform), month and year lengths; beyond it, the default date.
TEST(DateTimeCalendar, EveryDayOfTheYearRangeAgreesWithTheModel) {
    std::int32_t number = 0;
    for (int year = -32767, month = 1; year < 0; year += month == 12, month = month % 12 + 1) {
        number -= ModelMonthDays(year, month);
    }
    const std::int32_t firstDay = number;
    for (int year = -32767; year <= 32767; year += year == -1 ? 2 : 1) {
        int yearDays = 0;
        for (int month = 1; month <= 12; ++month) {
            const int days = ModelMonthDays(year, month);
            ASSERT_EQ(Date::MonthLength(year, month), days) << month << "." << year;
            for (int day = 1; day <= days; ++day, ++number, ++yearDays) {
                const Date date(static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
                                static_cast<std::int16_t>(year));
                if (date.DayNumber() != number || !(Date::FromDayNumber(number) == date) ||
                    date.DayOfWeek() != (number % 7 + 13) % 7) {
                    FAIL() << day << "." << month << "." << year << " is not day " << number
                           << ", weekday " << (number % 7 + 13) % 7;
                }
            }
        }
        ASSERT_EQ(Date::YearLength(year), yearDays) << year;
    }
    EXPECT_EQ(Date(1, 1, 1).DayNumber() + Date::MonthLength(2000, 13), 0);
    for (std::int32_t outside :
         {number, number + 1000, firstDay - 1, firstDay - 1000, Int32::max(), Int32::min()}) {
        EXPECT_EQ(Date::FromDayNumber(outside), Date()) << outside;
    }
}

// A time of day carries whole days; a pending carry moves the date in a conversion, but the
// same zone changes nothing.
TEST(DateTimeTicks, TimeOfDayCarriesWholeDaysIntoAConversion) {
    EXPECT_EQ(TimeOfDay(23, 59, 59, 599).ToTicks(), 51839999u);
    TimeOfDay time(1, 2, 3);
    time.SetFromTicks(std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(time.DayCarry(), 82);
    EXPECT_EQ(time.ToTicks(), std::numeric_limits<std::uint32_t>::max());
    time.SetFromTicks(DateTime::TicksPerDay);
    EXPECT_EQ(time, TimeOfDay(0, 0, 0, 0, 1));
    DateTime carried(time, Date(31, 12, 1999), ZoneOffset());
    carried.ConvertToZone(ZoneOffset());
    EXPECT_EQ(carried.Time().DayCarry(), 1);
    carried.ConvertToZone(ZoneOffset(2, 0, false));
    EXPECT_EQ(carried, Parse("02:00:00:000-01.01.2000-+02:00S"));
}

TEST(DateTimeZone, OffsetsFromOperatingSystemBiases) {
    // bias, daylight bias, daylight, offset minutes, west
    const int rows[][5] = {{0, -60, 0, 0, 0},      {0, -60, 1, 60, 0},     {-330, 0, 0, 330, 0},
                           {210, -60, 0, -210, 1}, {210, -60, 1, -150, 1}, {-60, -60, 1, 120, 0},
                           {60, -60, 1, 0, 1},     {30, -60, 1, 30, 0}};
    for (const auto& row : rows) {
        const ZoneOffset zone = ZoneOffset::FromBias(row[0], row[1], row[2] != 0);
        EXPECT_EQ(zone.OffsetMinutes(), row[3]) << row[0] << " " << row[2];
        EXPECT_EQ(zone.IsWest(), row[4] != 0) << row[0] << " " << row[2];
        EXPECT_EQ(zone.IsDaylight(), row[2] != 0);
    }
    EXPECT_EQ(ZoneOffset(3, 30, true).OffsetMinutes(), -210);
}

// Random instants over the year range, half near year 1, the 1582 reform and 2000: the ticks
// stay across a conversion to another zone and back, and the text form reads back.
TEST(DateTimeZone, GeneratedInstantsKeepTicksAcrossZonesAndText) {
    const std::int32_t first = Date(1, 1, -32766).DayNumber(), hubs[] = {0, 577736, 730120};
    TalvenTest::ForEachGeneratedCase(
        "datetime", 3000, 5000000, [&](TalvenTest::Rng& rng, std::uint64_t) {
            const auto unit = [&](int n) { return static_cast<std::uint8_t>(rng.Below(n)); };
            const auto zone = [&] {
                return ZoneOffset(unit(24), unit(60), rng.Chance(50), rng.Chance(30));
            };
            const std::int32_t day =
                rng.Chance(50) ? rng.Pick(hubs) + static_cast<std::int32_t>(rng.Below(801)) - 400
                               : first + static_cast<std::int32_t>(
                                             rng.Below(Date(1, 1, 32767).DayNumber() - first));
            const DateTime value(
                TimeOfDay(unit(24), unit(60), unit(60), static_cast<std::uint32_t>(rng.Below(600))),
                Date::FromDayNumber(day), zone());
            std::ostringstream text;
            text << value;
            SCOPED_TRACE(text.str());
            DateTime moved = value;
            moved.ConvertToZone(zone());
            EXPECT_EQ(moved.GetUtcTicks(), value.GetUtcTicks()) << moved;
            moved.ConvertToZone(value.Zone());
            EXPECT_EQ(moved, value);
            EXPECT_EQ(Parse(text.str().c_str()), value);
        });
}

// UTC ticks floor and clamp; seconds since the reference and runtime times round-trip.
TEST(DateTimeTicks, UtcTicksReferenceSecondsRuntimeTimesAndNow) {
    const ZoneOffset utc;
    EXPECT_EQ(DateTime::FromUtcTicks(-1, utc), Parse("23:59:59:599-31.12.-0001-+00:00S"));
    const std::int64_t lastTick = Parse("23:59:59:599-31.12.32767-+00:00S").GetUtcTicks();
    EXPECT_EQ(DateTime::FromUtcTicks(lastTick, utc).GetDate(), Date(31, 12, 32767));
    for (std::int64_t ticks : {lastTick + 1, Int64::max(), Int64::min()}) {
        EXPECT_EQ(DateTime::FromUtcTicks(ticks, utc).GetDate(), Date()) << ticks;
    }
    // Seconds since the reference truncate toward zero: half a second before it counts as 0.
    const std::pair<const char*, std::int64_t> rows[] = {{"00:00:00:000-01.01.2000-+00:00S", 0},
                                                         {"00:00:01:000-01.01.2000-+00:00S", 1},
                                                         {"23:59:59:000-31.12.1999-+00:00S", -1},
                                                         {"23:59:59:300-31.12.1999-+00:00S", 0},
                                                         {"01:00:00:000-01.01.2000-+01:00S", 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(Parse(row.first).ToSecondsSinceReference(), row.second) << row.first;
    }
    EXPECT_EQ(DateTime::Reference(), Parse(rows[0].first));
    for (std::int32_t seconds : {Int32::min(), -1, 0, 1, Int32::max()}) {
        EXPECT_EQ(DateTime::FromSecondsSinceReference(seconds).ToSecondsSinceReference(), seconds);
    }
    for (std::time_t time : {std::time_t{86400}, std::time_t{951782400}, std::time_t{1700000000}}) {
        EXPECT_EQ(DateTime::FromCTime(time).ToCTime(), time) << time;
    }
    const DateTime now = DateTime::Now(); // whole seconds
    EXPECT_EQ(now.Time().Fraction(), 0u);
    const std::time_t difference = now.ToCTime() - std::time(nullptr);
    EXPECT_LE(difference < 0 ? -difference : difference, 2);
}

TEST(DateTimeSystem, MillisecondsBecomeTicksAndBack) {
    SYSTEMTIME in = {2024, 2, 0, 29, 13, 14, 15, 0};
    // Ticks written out and read back are the same ticks: a file's date must not drift.
    const WORD rows[][3] = {{0, 0, 0},       {1, 0, 0},       {2, 1, 2},
                            {500, 300, 500}, {998, 598, 997}, {999, 599, 999}};
    for (const auto& row : rows) {
        in.wMilliseconds = row[0];
        const DateTime value = DateTime::FromSystemTime(in);
        EXPECT_EQ(value.Time().Fraction(), row[1]) << row[0];
        const SYSTEMTIME out = value.ToSystemTime();
        EXPECT_EQ(out.wMilliseconds, row[2]) << row[0];
        EXPECT_EQ(DateTime::FromSystemTime(out).Time().Fraction(), row[1]) << row[0];
        EXPECT_EQ(out.wDayOfWeek, 4); // a Thursday
        EXPECT_EQ(out.wYear * 10000 + out.wMonth * 100 + out.wDay, 20240229);
        EXPECT_EQ(out.wHour * 10000 + out.wMinute * 100 + out.wSecond, 131415);
    }
    in.wYear = 40000;
    EXPECT_EQ(DateTime::FromSystemTime(in).GetDate().Year(), 32767);
}

// Good rows read back as written (white space between values skipped); bad ones keep the value.
TEST(DateTimeText, ReadsBackTheFormAndRefusesMalformedText) {
    EXPECT_EQ(Parse("00:00:00:000-01.01.0001-+00:00S"), DateTime());
    EXPECT_EQ(
        Parse("23:59:59:599-31.12.32767--03:30D"),
        DateTime(TimeOfDay(23, 59, 59, 599), Date(31, 12, 32767), ZoneOffset(3, 30, true, true)));
    EXPECT_EQ(Parse("00:00:00:001-15.03.-0044-+14:00S"),
              DateTime(TimeOfDay(0, 0, 0, 1), Date(15, 3, -44), ZoneOffset(14, 0, false)));
    std::istringstream rows(" \t14:05:09:300-24.12.2023-+01:00S 00:00:00:001-15.03.-0044-+14:00S\n"
                            "12:00:00:000-01.01.-32767-+00:00S 23:59:59:599-31.12.32767--03:30D\n"
                            "!\n!12:00:00:000-01.01.2000-+00:00\n!12:00:00.000-01.01.2000-+00:00S\n"
                            "!12:00:00:000 -01.01.2000-+00:00S\n!1:00:00:000-01.01.2000-+00:00S\n"
                            "!24:00:00:000-01.01.2000-+00:00S\n!12:60:00:000-01.01.2000-+00:00S\n"
                            "!12:00:00:600-01.01.2000-+00:00S\n!12:00:00:00-01.01.2000-+00:00S\n"
                            "!12:00:00:000-29.02.1900-+00:00S\n!12:00:00:000-22.10.1582-+00:00S\n"
                            "!12:00:00:000-00.01.2000-+00:00S\n!12:00:00:000-01.13.2000-+00:00S\n"
                            "!12:00:00:000-01.01.0000-+00:00S\n!12:00:00:000-01.01.200-+00:00S\n"
                            "!12:00:00:000-01.01.32768-+00:00S\n!12:00:00:000-01.01.2000-+24:00S\n"
                            "!12:00:00:000-01.01.2000-*01:00S\n!12:00:00:000-01.01.2000-+01:60S\n"
                            "!12:00:00:000-01.01.2000-+01:00X");
    const DateTime original(TimeOfDay(7, 8, 9, 10), Date(11, 12, 1313), ZoneOffset(1, 2, true));
    for (std::string row; std::getline(rows, row);) {
        const bool bad = row[0] == '!';
        std::istringstream in(row.substr(bad));
        std::string written;
        DateTime value = original;
        while (in >> value) {
            std::ostringstream out;
            out << value;
            written += (written.empty() ? "" : " ") + out.str();
        }
        EXPECT_EQ(written, bad ? "" : row.substr(row.find_first_not_of(" \t"))) << row;
        EXPECT_TRUE(!bad || value == original) << row;
    }
}

} // namespace
