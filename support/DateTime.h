// DateTime: a civil date with its own calendar (Julian up to 1582, Gregorian after, the reform
// year 1582 of 355 days), a time of day in ticks of 1/600 second, and the zone offset the value
// was taken in. Converts to and from Win32 SYSTEMTIME, C time and seconds since 2000-01-01 UTC.
// No operation raises.
//
// Text form (written and read by the stream operators below), without any white space:
//
//     HH:MM:SS:TTT-DD.MM.YYYY-ZHH:MMF        e.g. 14:05:09:300-24.12.2023-+01:00S
//
//   time of day  HH:MM:SS:TTT  hour 00-23, minute 00-59, second 00-59, and TTT the fraction in
//                              ticks of 1/600 second, 000-599 (not milliseconds: 300 is 0.5 s);
//   date         DD.MM.YYYY    day, month 01-12, and the year in at least four digits, with a
//                              "-" before years before year 1: 15.03.-0044; no year 0;
//   zone         ZHH:MMF       Z is "+" east of UTC or UTC itself and "-" west of it, HH:MM
//                              the absolute offset (hours 00-23, minutes 00-59), F is "D" while
//                              daylight time was in force and "S" otherwise.
//
// The day carry of the time of day is not written. Reading accepts exactly this form: a field
// with the wrong number of digits, out of its range, or a day that its month does not have
// (30.02., 22.10.1582) makes the read fail.
#pragma once

#include <cstdint>
#include <ctime>
#include <iosfwd>

struct _SYSTEMTIME; // Win32 SYSTEMTIME; include the Windows header to call the conversions.

class TimeOfDay {
public:
    TimeOfDay() = default;
    TimeOfDay(std::uint8_t hour, std::uint8_t minute, std::uint8_t second,
              std::uint32_t fraction = 0, std::int8_t dayCarry = 0);

    // ((dayCarry * 86400) + (hour * 60 + minute) * 60 + second) * 600 + fraction, modulo 2^32
    // (a negative day carry wraps).
    std::uint32_t ToTicks() const;
    // Splits ticks into fraction, second, minute, hour; whole days go to the day carry.
    void SetFromTicks(std::uint32_t ticks);

    std::uint32_t Fraction() const { return fraction_; }
    std::uint8_t Second() const { return second_; }
    std::uint8_t Minute() const { return minute_; }
    std::uint8_t Hour() const { return hour_; }
    std::int8_t DayCarry() const { return dayCarry_; }
    void ClearDayCarry() { dayCarry_ = 0; }

    friend bool operator==(const TimeOfDay& a, const TimeOfDay& b);
    friend bool operator!=(const TimeOfDay& a, const TimeOfDay& b) { return !(a == b); }

private:
    std::uint32_t fraction_ = 0;
    std::uint8_t second_ = 0;
    std::uint8_t minute_ = 0;
    std::uint8_t hour_ = 0;
    std::int8_t dayCarry_ = 0;
};

// The fields are not checked. In the day numbers and the calendar functions, year 0 (which does not
// exist) counts as year 1, a month outside 1..12 as the nearest of 1 and 12, and a day beyond its
// month runs on into the following days.
class Date {
public:
    Date() = default; // 1 January of year 1
    Date(std::uint8_t day, std::uint8_t month, std::int16_t year);

    // Days since 1 January of year 1 (day number 0).
    std::int32_t DayNumber() const;
    // The date of a day number; a year outside -32767..32767 gives 1 January of year 1.
    static Date FromDayNumber(std::int32_t dayNumber);
    // 0 for Sunday to 6 for Saturday; day number 0 is a Saturday.
    int DayOfWeek() const;

    std::uint8_t Day() const { return day_; }
    std::uint8_t Month() const { return month_; }
    std::int16_t Year() const { return year_; }

    // Calendar facts: year -1 is followed by year 1 (there is no year 0). Years before 1582
    // (negative ones too) follow the Julian rule, later ones the Gregorian rule.
    static bool IsLeapYear(int year);
    // 355 for 1582, else 365 or 366.
    static int YearLength(int year);
    // 0 for a month outside 1..12; October 1582 has 21 days.
    static int MonthLength(int year, int month);
    // Days from day number 0 to 1 January of year, clamped to the 32-bit range (reached only by
    // years far beyond -32767..32767).
    static std::int32_t DaysBeforeYear(int year);

    friend bool operator==(const Date& a, const Date& b);
    friend bool operator!=(const Date& a, const Date& b) { return !(a == b); }

private:
    std::uint8_t day_ = 1;
    std::uint8_t month_ = 1;
    std::int16_t year_ = 1;
};

class ZoneOffset {
public:
    ZoneOffset() = default; // UTC
    ZoneOffset(std::uint8_t hours, std::uint8_t minutes, bool west, bool daylight = false);

    // The zone in force now, from GetTimeZoneInformation; UTC when that call fails.
    static ZoneOffset GetCurrentZone();
    // The zone of the operating system's biases in minutes (UTC = local time + bias):
    // the offset is |bias + daylightBias| while daylight time is in force, |bias| otherwise;
    // the zone is west when that sum is positive (or is 0 and bias is positive). Offsets
    // beyond 255 hours 59 minutes are clamped.
    static ZoneOffset FromBias(std::int32_t bias, std::int32_t daylightBias, bool daylight);
    // hours * 60 + minutes, negative west of UTC.
    std::int32_t OffsetMinutes() const;

    std::uint8_t Hours() const { return hours_; }
    std::uint8_t Minutes() const { return minutes_; }
    bool IsWest() const { return west_ != 0; }
    bool IsDaylight() const { return daylight_ != 0; }

    // All four fields, the daylight flag included.
    friend bool operator==(const ZoneOffset& a, const ZoneOffset& b);
    friend bool operator!=(const ZoneOffset& a, const ZoneOffset& b) { return !(a == b); }

private:
    std::uint8_t hours_ = 0;
    std::uint8_t minutes_ = 0;
    std::uint8_t west_ = 0;
    std::uint8_t daylight_ = 0;
};

class DateTime {
public:
    static constexpr std::uint32_t TicksPerSecond = 600;
    static constexpr std::uint32_t TicksPerMinute = 36000;
    static constexpr std::uint32_t TicksPerDay = 51840000;

    DateTime() = default; // 1 January of year 1, 00:00, UTC
    DateTime(const TimeOfDay& time, const Date& date, const ZoneOffset& zone);

    // The current local date and time in whole seconds, in the current zone.
    static DateTime Now();
    // From a SYSTEMTIME in local time, with the current zone; milliseconds become ticks
    // (truncated). A year above 32767 is taken as 32767.
    static DateTime FromSystemTime(const _SYSTEMTIME& time);
    // The date and time fields; the zone is not used. Milliseconds are rounded up, so
    // FromSystemTime(ToSystemTime()) gives the same ticks.
    // A year before 1 does not fit and comes out modulo 65536.
    _SYSTEMTIME ToSystemTime() const;

    // Ticks since the start of day number 0, in UTC. A day carry counts as whole days.
    std::int64_t GetUtcTicks() const;
    // The instant expressed in zone; days beyond the 32-bit range are clamped, and a day whose
    // year is outside -32767..32767 is replaced by 1 January of year 1 (in UTC, before the
    // value is expressed in zone).
    static DateTime FromUtcTicks(std::int64_t ticks, const ZoneOffset& zone);
    // Re-expresses the same instant in zone, in place; a pending day carry moves the date.
    // Nothing changes when zone equals the value's zone in all four fields.
    void ConvertToZone(const ZoneOffset& zone);

    // Seconds from 1 January 2000, 00:00:00 UTC (truncated toward zero).
    std::int64_t ToSecondsSinceReference() const;
    // In the current zone.
    static DateTime FromSecondsSinceReference(std::int32_t seconds);
    // The reference instant, 1 January 2000 00:00:00.000 UTC.
    static const DateTime& Reference();

    // Through the runtime library's mktime (local time, daylight decided by the runtime);
    // (time_t)-1 when the runtime cannot represent the value.
    std::time_t ToCTime() const;
    // Through the runtime library's local-time conversion, in the current zone. A time the
    // runtime cannot convert gives 1 January of year 1, 00:00, in the current zone.
    static DateTime FromCTime(std::time_t time);

    const TimeOfDay& Time() const { return time_; }
    const Date& GetDate() const { return date_; }
    const ZoneOffset& Zone() const { return zone_; }

    // Field by field: the same instant in two zones is not equal.
    friend bool operator==(const DateTime& a, const DateTime& b);
    friend bool operator!=(const DateTime& a, const DateTime& b) { return !(a == b); }

private:
    TimeOfDay time_;
    Date date_;
    ZoneOffset zone_;
};

// Text form (see the top of this file): time of day, "-", date, "-", zone. Output is one
// formatted insertion, so it stops at the first stream failure and honours the field width
// as a whole. Input skips leading white space like any formatted extraction, then reads
// exactly the form; malformed text sets failbit (and eofbit at the end of the input) and
// leaves the value unchanged. The components read and write their own parts of the form.
std::ostream& operator<<(std::ostream& out, const DateTime& value);
std::istream& operator>>(std::istream& in, DateTime& value);
std::ostream& operator<<(std::ostream& out, const TimeOfDay& value);
std::istream& operator>>(std::istream& in, TimeOfDay& value);
std::ostream& operator<<(std::ostream& out, const Date& value);
std::istream& operator>>(std::istream& in, Date& value);
std::ostream& operator<<(std::ostream& out, const ZoneOffset& value);
std::istream& operator>>(std::istream& in, ZoneOffset& value);
