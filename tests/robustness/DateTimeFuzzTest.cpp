// Randomised date-time: day numbers against an independent Julian-day computation (Julian
// calendar up to 4 October 1582, then the reform's 5..21 October, Gregorian from November
// 1582; year -1 followed by year 1), zone conversions that keep the instant and come back to
// the same fields, and the text form read back to the same value; malformed text never changes
// the target.
#include "support/DateTime.h"

#include "robustness/Robustness.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

constexpr std::uint64_t kCiCases = 200000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Julian day numbers (astronomical years: year 0 is 1 BC), valid for any year.
std::int64_t JulianJdn(std::int64_t y, std::int64_t m, std::int64_t d) {
    const std::int64_t a = FloorDiv(14 - m, 12);
    const std::int64_t yy = y + 4800 - a;
    const std::int64_t mm = m + 12 * a - 3;
    return d + FloorDiv(153 * mm + 2, 5) + 365 * yy + FloorDiv(yy, 4) - 32083;
}
std::int64_t GregorianJdn(std::int64_t y, std::int64_t m, std::int64_t d) {
    const std::int64_t a = FloorDiv(14 - m, 12);
    const std::int64_t yy = y + 4800 - a;
    const std::int64_t mm = m + 12 * a - 3;
    return d + FloorDiv(153 * mm + 2, 5) + 365 * yy + FloorDiv(yy, 4) - FloorDiv(yy, 100) +
           FloorDiv(yy, 400) - 32045;
}

// The day number (days since 1 January of year 1) of a real date of the class's calendar.
std::int64_t ReferenceDayNumber(int year, int month, int day) {
    const std::int64_t astronomical = year < 0 ? year + 1 : year;
    std::int64_t jdn;
    if (year < 1582 || (year == 1582 && month < 10) || (year == 1582 && month == 10 && day <= 4)) {
        jdn = JulianJdn(astronomical, month, day);
    } else if (year == 1582 && month == 10) {
        jdn = JulianJdn(1582, 10, 4) + (day - 4); // the reform's October runs on to the 21st
    } else {
        jdn = GregorianJdn(astronomical, month, day);
    }
    return jdn - JulianJdn(1, 1, 1);
}

// Month lengths from the reference itself: the distance to the first of the next month.
int ReferenceMonthLength(int year, int month) {
    if (year == 1582 && month == 10) {
        return 21;
    }
    const int nextYear = month == 12 ? (year == -1 ? 1 : year + 1) : year;
    const int nextMonth = month == 12 ? 1 : month + 1;
    return static_cast<int>(ReferenceDayNumber(nextYear, nextMonth, 1) -
                            ReferenceDayNumber(year, month, 1));
}

int RandomYear(Robustness::Rng& rng) {
    int year = 0;
    switch (rng.Below(4)) {
    case 0:
        year = static_cast<int>(rng.Range(1570, 1600)); // around the reform
        break;
    case 1:
        year = static_cast<int>(rng.Range(-20, 20)); // around year 1
        break;
    case 2:
        year = static_cast<int>(rng.Range(1890, 2110));
        break;
    default:
        year = static_cast<int>(rng.Range(-32000, 32000));
        break;
    }
    return year == 0 ? 1 : year;
}

Date RandomDate(Robustness::Rng& rng) {
    const int year = RandomYear(rng);
    const int month = static_cast<int>(rng.Range(1, 12));
    const int day = static_cast<int>(rng.Range(1, ReferenceMonthLength(year, month)));
    return Date(static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
                static_cast<std::int16_t>(year));
}

ZoneOffset RandomZone(Robustness::Rng& rng) {
    return ZoneOffset(static_cast<std::uint8_t>(rng.Range(0, 23)),
                      static_cast<std::uint8_t>(rng.Range(0, 59)), rng.Chance(50), rng.Chance(30));
}

std::string Text(const DateTime& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

TEST(DateTimeFuzz, CalendarZonesAndTextAgreeWithIndependentRules) {
    Robustness::Tally tally;
    Robustness::RunCases("datetime", kCiCases, [&](Robustness::Rng& rng, std::uint64_t) {
        const Date date = RandomDate(rng);
        const TimeOfDay time(static_cast<std::uint8_t>(rng.Range(0, 23)),
                             static_cast<std::uint8_t>(rng.Range(0, 59)),
                             static_cast<std::uint8_t>(rng.Range(0, 59)),
                             static_cast<std::uint32_t>(rng.Range(0, 599)));
        const ZoneOffset zone = RandomZone(rng);
        const DateTime value(time, date, zone);
        SCOPED_TRACE("value " + Text(value));

        // The calendar.
        const std::int64_t expectedDay = ReferenceDayNumber(date.Year(), date.Month(), date.Day());
        EXPECT_EQ(date.DayNumber(), expectedDay);
        EXPECT_EQ(Date::FromDayNumber(date.DayNumber()), date);
        EXPECT_EQ(Date::MonthLength(date.Year(), date.Month()),
                  ReferenceMonthLength(date.Year(), date.Month()));
        // Day number 0 is a Saturday; the Julian day number says the same through its own
        // weekday rule (JDN + 1) mod 7, Sunday = 0.
        EXPECT_EQ(date.DayOfWeek(), ((JulianJdn(1, 1, 1) + expectedDay + 1) % 7 + 7) % 7);

        // Zones: the instant is kept, and converting back gives the same fields.
        const std::int64_t ticks = value.GetUtcTicks();
        EXPECT_EQ(ticks, expectedDay * DateTime::TicksPerDay + time.ToTicks() -
                             std::int64_t{zone.OffsetMinutes()} * DateTime::TicksPerMinute);
        DateTime moved = value;
        const ZoneOffset other = RandomZone(rng);
        moved.ConvertToZone(other);
        EXPECT_EQ(moved.GetUtcTicks(), ticks) << "in zone " << Text(moved);
        EXPECT_EQ(moved.Time().DayCarry(), 0);
        moved.ConvertToZone(zone);
        EXPECT_EQ(moved, value);
        EXPECT_EQ(DateTime::FromUtcTicks(ticks, other).GetUtcTicks(), ticks);

        // The text form reads back to the same value.
        DateTime read;
        std::istringstream in(Text(value));
        in >> read;
        EXPECT_FALSE(in.fail());
        EXPECT_EQ(read, value);

        // A mutated text is read only when it is well formed, and then into a valid value that
        // reads back from its own text alike; otherwise the target is unchanged.
        std::string text = Text(value);
        for (std::uint64_t k = rng.Below(3); k > 0 && !text.empty(); --k) {
            static const char alphabet[] = "0123456789:-.+DS x";
            text[rng.Below(text.size())] = alphabet[rng.Below(sizeof alphabet - 1)];
        }
        if (rng.Chance(10)) {
            text.resize(rng.Below(text.size() + 1));
        }
        DateTime target = moved;
        std::istringstream mutated(text);
        mutated >> target;
        if (mutated.fail()) {
            tally.Refused("malformed text");
            EXPECT_EQ(target, moved);
        } else {
            tally.Accepted();
            DateTime again;
            std::istringstream written(Text(target));
            written >> again;
            EXPECT_EQ(again, target) << "read from \"" << text << "\"";
            const Date& d = target.GetDate();
            EXPECT_GE(d.Day(), 1);
            EXPECT_LE(d.Day(), ReferenceMonthLength(d.Year(), d.Month()));
        }
    });
    tally.Print("date-time (accepted = mutated text read)", Robustness::CaseCount(kCiCases));
}

} // namespace
