// DateTime: a civil date with its own calendar (Julian up to 1582, Gregorian after, the reform
// year 1582 of 355 days), a time of day in ticks of 1/600 second, and the zone offset the value
// was taken in. Converts to and from Win32 SYSTEMTIME, C time and seconds since 2000-01-01 UTC.
// No operation raises.
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

    // ((dayCarry * 86400) + (hour * 60 + minute) * 60 + second) * 600 + fraction.
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

class Date {
public:
    Date() = default; // 1 January of year 1
    Date(std::uint8_t day, std::uint8_t month, std::int16_t year);

    // Days since 1 January of year 1 (day number 0).
    std::int32_t DayNumber() const;
    // The date of a day number; a year outside -32767..32767 gives 1 January of year 1.
    static Date FromDayNumber(std::int32_t dayNumber);
    // 0 for Sunday to 6 for Saturday.
    int DayOfWeek() const;

    std::uint8_t Day() const { return day_; }
    std::uint8_t Month() const { return month_; }
    std::int16_t Year() const { return year_; }

    // Calendar facts: year -1 is followed by year 1 (there is no year 0).
    static bool IsLeapYear(int year);
    static int YearLength(int year);
    static int MonthLength(int year, int month);
    // Days from day number 0 to 1 January of year.
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

    // The zone in force now, from GetTimeZoneInformation.
    static ZoneOffset GetCurrentZone();
    // hours * 60 + minutes, negative west of UTC.
    std::int32_t OffsetMinutes() const;

    std::uint8_t Hours() const { return hours_; }
    std::uint8_t Minutes() const { return minutes_; }
    bool IsWest() const { return west_ != 0; }
    bool IsDaylight() const { return daylight_ != 0; }

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

    DateTime() = default;
    DateTime(const TimeOfDay& time, const Date& date, const ZoneOffset& zone);

    // The current local date and time in whole seconds, in the current zone.
    static DateTime Now();
    // From a SYSTEMTIME in local time, with the current zone; milliseconds become ticks
    // (truncated).
    static DateTime FromSystemTime(const _SYSTEMTIME& time);
    // The date and time fields; the zone is not used. 999 ms read in come back as 998 ms.
    _SYSTEMTIME ToSystemTime() const;

    // Ticks since the start of day number 0, in UTC.
    std::int64_t GetUtcTicks() const;
    // The instant expressed in zone; days beyond the 32-bit range are clamped.
    static DateTime FromUtcTicks(std::int64_t ticks, const ZoneOffset& zone);
    // Re-expresses the same instant in zone, in place.
    void ConvertToZone(const ZoneOffset& zone);

    // Seconds from 1 January 2000, 00:00:00 UTC (truncated toward zero).
    std::int64_t ToSecondsSinceReference() const;
    static DateTime FromSecondsSinceReference(std::int32_t seconds);
    // The reference instant, 1 January 2000 00:00:00.000 UTC.
    static const DateTime& Reference();

    // Through the runtime library's mktime (local time, daylight decided by the runtime).
    std::time_t ToCTime() const;
    // Through the runtime library's local-time conversion, in the current zone.
    static DateTime FromCTime(std::time_t time);

    const TimeOfDay& Time() const { return time_; }
    const Date& GetDate() const { return date_; }
    const ZoneOffset& Zone() const { return zone_; }

    friend bool operator==(const DateTime& a, const DateTime& b);
    friend bool operator!=(const DateTime& a, const DateTime& b) { return !(a == b); }

private:
    TimeOfDay time_;
    Date date_;
    ZoneOffset zone_;
};

// Text form: time of day, "-", date, "-", zone. Output stops at the first stream failure;
// input reads the same form and sets failbit on malformed text, leaving the value unchanged.
std::ostream& operator<<(std::ostream& out, const DateTime& value);
std::istream& operator>>(std::istream& in, DateTime& value);
