// DateTime: the calendar arithmetic, the zone and operating-system conversions and the text
// form of the date-time value.
#include "support/DateTime.h"

#include "support/TalvenWindows.h"

#include <algorithm>
#include <istream>
#include <limits>
#include <ostream>
#include <string>

namespace {

// All calendar arithmetic runs in 64 bits so that no day number or year, however far out of
// range, can overflow; results are narrowed only where the public types demand it.
constexpr std::int64_t kTicksPerDay = DateTime::TicksPerDay;
constexpr std::int64_t kMinYear = -32767;
constexpr std::int64_t kMaxYear = 32767;

const std::uint8_t kNormalMonths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const std::uint8_t kLeapMonths[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const std::uint8_t kReformMonths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 21, 30, 31};

std::int64_t ExistingYear(std::int64_t year) {
    return year == 0 ? 1 : year;
}

bool Leap(std::int64_t year) {
    year = ExistingYear(year);
    // Years before year 1 are always Julian: -1, -5, -9 ... are leap years.
    if (year < 0) {
        return (-year - 1) % 4 == 0;
    }
    if (year % 4 != 0) {
        return false;
    }
    return year < 1582 || year % 100 != 0 || year % 400 == 0;
}

std::int64_t YearDays(std::int64_t year) {
    year = ExistingYear(year);
    if (year == 1582) {
        return 355;
    }
    return Leap(year) ? 366 : 365;
}

const std::uint8_t* MonthTable(std::int64_t year) {
    year = ExistingYear(year);
    if (year == 1582) {
        return kReformMonths;
    }
    return Leap(year) ? kLeapMonths : kNormalMonths;
}

std::int64_t NextYear(std::int64_t year) {
    return year == -1 ? 1 : year + 1;
}

std::int64_t PreviousYear(std::int64_t year) {
    return year == 1 ? -1 : year - 1;
}

// The leap days before year y are counted up to y - 1: counting with y itself (as a naive
// "(y - 1500) / 100" does) would drop the day of 1700, 1800, 1900 a year early and give
// 1 January of those years the day number of the 31 December before. For years before 1 the
// leap years among -n..-1 are -1, -5, ..., (n + 3) / 4 of them.
std::int64_t DaysBefore(std::int64_t year) {
    year = ExistingYear(year);
    if (year < 0) {
        const std::int64_t n = -year;
        return -(n * 365 + (n + 3) / 4);
    }
    const std::int64_t n = year - 1;
    std::int64_t days = n * 365 + n / 4;
    if (year >= 1583) {
        days += -10 - (n - 1500) / 100 + (n - 1200) / 400;
    }
    return days;
}

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// The tick count with the day carry as signed whole days, so that a negative carry means the
// day before instead of wrapping.
std::int64_t SignedTicks(const TimeOfDay& time) {
    const std::int64_t seconds = std::int64_t{time.DayCarry()} * 86400 +
                                 (std::int64_t{time.Hour()} * 60 + time.Minute()) * 60 +
                                 time.Second();
    return seconds * DateTime::TicksPerSecond + time.Fraction();
}

std::int64_t FloorDivide(std::int64_t value, std::int64_t divisor, std::int64_t& remainder) {
    std::int64_t quotient = value / divisor;
    remainder = value % divisor;
    if (remainder < 0) {
        remainder += divisor;
        --quotient;
    }
    return quotient;
}

// --- Text form ---------------------------------------------------------------------------

void AppendNumber(std::string& text, std::uint32_t value, std::size_t width) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (digits.size() < width) {
        text.append(width - digits.size(), '0');
    }
    text += digits;
}

void AppendTime(std::string& text, const TimeOfDay& time) {
    AppendNumber(text, time.Hour(), 2);
    text += ':';
    AppendNumber(text, time.Minute(), 2);
    text += ':';
    AppendNumber(text, time.Second(), 2);
    text += ':';
    AppendNumber(text, time.Fraction(), 3);
}

void AppendDate(std::string& text, const Date& date) {
    AppendNumber(text, date.Day(), 2);
    text += '.';
    AppendNumber(text, date.Month(), 2);
    text += '.';
    const int year = date.Year();
    if (year < 0) {
        text += '-';
    }
    AppendNumber(text, static_cast<std::uint32_t>(year < 0 ? -year : year), 4);
}

void AppendZone(std::string& text, const ZoneOffset& zone) {
    text += zone.IsWest() ? '-' : '+';
    AppendNumber(text, zone.Hours(), 2);
    text += ':';
    AppendNumber(text, zone.Minutes(), 2);
    text += zone.IsDaylight() ? 'D' : 'S';
}

// Reads straight from the stream buffer: the form has no white space, so nothing may be
// skipped between its fields.
class TextReader {
public:
    explicit TextReader(std::streambuf* buffer) : buffer_(buffer) {}

    bool Take(char expected) {
        if (Peek() != static_cast<unsigned char>(expected)) {
            return false;
        }
        buffer_->sbumpc();
        return true;
    }

    bool Number(int minDigits, int maxDigits, std::uint32_t& value) {
        value = 0;
        int count = 0;
        while (count < maxDigits) {
            const int c = Peek();
            if (c < '0' || c > '9') {
                break;
            }
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            buffer_->sbumpc();
            ++count;
        }
        return count >= minDigits;
    }

    bool AtEnd() const { return atEnd_; }

private:
    int Peek() {
        using Traits = std::char_traits<char>;
        const Traits::int_type c = buffer_ == nullptr ? Traits::eof() : buffer_->sgetc();
        if (Traits::eq_int_type(c, Traits::eof())) {
            atEnd_ = true;
            return -1;
        }
        return static_cast<unsigned char>(Traits::to_char_type(c));
    }

    std::streambuf* buffer_;
    bool atEnd_ = false;
};

bool ReadTime(TextReader& reader, TimeOfDay& time) {
    std::uint32_t hour = 0, minute = 0, second = 0, fraction = 0;
    if (!(reader.Number(2, 2, hour) && reader.Take(':') && reader.Number(2, 2, minute) &&
          reader.Take(':') && reader.Number(2, 2, second) && reader.Take(':') &&
          reader.Number(3, 3, fraction))) {
        return false;
    }
    if (hour > 23 || minute > 59 || second > 59 || fraction >= DateTime::TicksPerSecond) {
        return false;
    }
    time = TimeOfDay(static_cast<std::uint8_t>(hour), static_cast<std::uint8_t>(minute),
                     static_cast<std::uint8_t>(second), fraction);
    return true;
}

bool ReadDate(TextReader& reader, Date& date) {
    std::uint32_t day = 0, month = 0, year = 0;
    if (!(reader.Number(2, 2, day) && reader.Take('.') && reader.Number(2, 2, month) &&
          reader.Take('.'))) {
        return false;
    }
    const bool beforeYearOne = reader.Take('-');
    if (!reader.Number(4, 5, year) || year == 0 || year > kMaxYear) {
        return false;
    }
    const int signedYear = beforeYearOne ? -static_cast<int>(year) : static_cast<int>(year);
    if (day < 1 || day > static_cast<std::uint32_t>(Date::MonthLength(signedYear, month))) {
        return false;
    }
    date = Date(static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(month),
                static_cast<std::int16_t>(signedYear));
    return true;
}

bool ReadZone(TextReader& reader, ZoneOffset& zone) {
    bool west = false;
    if (reader.Take('-')) {
        west = true;
    } else if (!reader.Take('+')) {
        return false;
    }
    std::uint32_t hours = 0, minutes = 0;
    if (!(reader.Number(2, 2, hours) && reader.Take(':') && reader.Number(2, 2, minutes))) {
        return false;
    }
    if (hours > 23 || minutes > 59) {
        return false;
    }
    bool daylight = false;
    if (reader.Take('D')) {
        daylight = true;
    } else if (!reader.Take('S')) {
        return false;
    }
    zone = ZoneOffset(static_cast<std::uint8_t>(hours), static_cast<std::uint8_t>(minutes), west,
                      daylight);
    return true;
}

// Runs one parse inside a sentry; the target is assigned only when the whole text was good.
template <typename Value, typename Parse>
std::istream& Extract(std::istream& in, Value& value, Parse parse) {
    const std::istream::sentry sentry(in);
    if (!sentry) {
        return in;
    }
    std::ios_base::iostate state = std::ios_base::goodbit;
    try {
        TextReader reader(in.rdbuf());
        Value parsed = value;
        if (parse(reader, parsed)) {
            value = parsed;
        } else {
            state |= std::ios_base::failbit;
        }
        if (reader.AtEnd()) {
            state |= std::ios_base::eofbit;
        }
    } catch (...) {
        state |= std::ios_base::badbit;
    }
    in.setstate(state);
    return in;
}

} // namespace

// --- TimeOfDay -----------------------------------------------------------------------------

TimeOfDay::TimeOfDay(std::uint8_t hour, std::uint8_t minute, std::uint8_t second,
                     std::uint32_t fraction, std::int8_t dayCarry)
    : fraction_(fraction), second_(second), minute_(minute), hour_(hour), dayCarry_(dayCarry) {}

std::uint32_t TimeOfDay::ToTicks() const {
    return static_cast<std::uint32_t>(SignedTicks(*this));
}

void TimeOfDay::SetFromTicks(std::uint32_t ticks) {
    fraction_ = ticks % DateTime::TicksPerSecond;
    ticks /= DateTime::TicksPerSecond;
    second_ = static_cast<std::uint8_t>(ticks % 60);
    ticks /= 60;
    minute_ = static_cast<std::uint8_t>(ticks % 60);
    ticks /= 60;
    hour_ = static_cast<std::uint8_t>(ticks % 24);
    // At most 82 days fit into 32 bits of ticks.
    dayCarry_ = static_cast<std::int8_t>(ticks / 24);
}

bool operator==(const TimeOfDay& a, const TimeOfDay& b) {
    return a.fraction_ == b.fraction_ && a.second_ == b.second_ && a.minute_ == b.minute_ &&
           a.hour_ == b.hour_ && a.dayCarry_ == b.dayCarry_;
}

// --- Date ----------------------------------------------------------------------------------

Date::Date(std::uint8_t day, std::uint8_t month, std::int16_t year)
    : day_(day), month_(month), year_(year) {}

std::int32_t Date::DayNumber() const {
    const std::uint8_t* months = MonthTable(year_);
    const int month = std::clamp<int>(month_, 1, 12);
    std::int64_t dayOfYear = day_;
    for (int m = 1; m < month; ++m) {
        dayOfYear += months[m - 1];
    }
    return ClampToInt32(DaysBefore(year_) + dayOfYear - 1);
}

Date Date::FromDayNumber(std::int32_t dayNumber) {
    const std::int64_t n = dayNumber;
    // A Julian estimate: it is never more than a year off, and the walk below makes it exact.
    std::int64_t year;
    if (n >= 0) {
        year = (n - n / 1460) / 365 + 1;
    } else {
        const std::int64_t m = -n;
        year = (m / 1460 - m) / 365 - 1;
    }
    std::int64_t before = DaysBefore(year);
    while (before + YearDays(year) <= n) {
        before += YearDays(year);
        year = NextYear(year);
    }
    while (before > n) {
        year = PreviousYear(year);
        before -= YearDays(year);
    }
    if (year < kMinYear || year > kMaxYear) {
        return Date();
    }
    const std::uint8_t* months = MonthTable(year);
    std::int64_t rest = n - before;
    int month = 1;
    while (rest >= months[month - 1] && month < 12) {
        rest -= months[month - 1];
        ++month;
    }
    return Date(static_cast<std::uint8_t>(rest + 1), static_cast<std::uint8_t>(month),
                static_cast<std::int16_t>(year));
}

int Date::DayOfWeek() const {
    const int remainder = DayNumber() % 7;
    return (remainder + 7 + 6) % 7;
}

bool Date::IsLeapYear(int year) {
    return Leap(year);
}

int Date::YearLength(int year) {
    return static_cast<int>(YearDays(year));
}

int Date::MonthLength(int year, int month) {
    if (month < 1 || month > 12) {
        return 0;
    }
    return MonthTable(year)[month - 1];
}

std::int32_t Date::DaysBeforeYear(int year) {
    return ClampToInt32(DaysBefore(year));
}

bool operator==(const Date& a, const Date& b) {
    return a.day_ == b.day_ && a.month_ == b.month_ && a.year_ == b.year_;
}

// --- ZoneOffset ----------------------------------------------------------------------------

ZoneOffset::ZoneOffset(std::uint8_t hours, std::uint8_t minutes, bool west, bool daylight)
    : hours_(hours), minutes_(minutes), west_(west ? 1 : 0), daylight_(daylight ? 1 : 0) {}

ZoneOffset ZoneOffset::GetCurrentZone() {
    // Zeroed, so that a failed call cannot hand on whatever the stack held.
    TIME_ZONE_INFORMATION info = {};
    const DWORD result = ::GetTimeZoneInformation(&info);
    if (result == TIME_ZONE_ID_INVALID) {
        return ZoneOffset();
    }
    return FromBias(info.Bias, info.DaylightBias, result == TIME_ZONE_ID_DAYLIGHT);
}

ZoneOffset ZoneOffset::FromBias(std::int32_t bias, std::int32_t daylightBias, bool daylight) {
    const std::int64_t effective = std::int64_t{bias} + (daylight ? daylightBias : 0);
    const std::int64_t absolute =
        std::min<std::int64_t>(effective < 0 ? -effective : effective, 255 * 60 + 59);
    // The direction follows the offset actually in force; only a zero offset keeps the
    // standard bias's direction, as the plain "bias > 0" test would.
    const bool west = effective > 0 || (effective == 0 && bias > 0);
    return ZoneOffset(static_cast<std::uint8_t>(absolute / 60),
                      static_cast<std::uint8_t>(absolute % 60), west, daylight);
}

std::int32_t ZoneOffset::OffsetMinutes() const {
    const std::int32_t minutes = std::int32_t{hours_} * 60 + minutes_;
    return west_ != 0 ? -minutes : minutes;
}

bool operator==(const ZoneOffset& a, const ZoneOffset& b) {
    return a.hours_ == b.hours_ && a.minutes_ == b.minutes_ && a.west_ == b.west_ &&
           a.daylight_ == b.daylight_;
}

// --- DateTime ------------------------------------------------------------------------------

DateTime::DateTime(const TimeOfDay& time, const Date& date, const ZoneOffset& zone)
    : time_(time), date_(date), zone_(zone) {}

DateTime DateTime::Now() {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    now.wMilliseconds = 0;
    return FromSystemTime(now);
}

DateTime DateTime::FromSystemTime(const SYSTEMTIME& time) {
    const std::int16_t year =
        static_cast<std::int16_t>(std::min<std::uint32_t>(time.wYear, kMaxYear));
    const std::uint32_t fraction = std::uint32_t{time.wMilliseconds} * TicksPerSecond / 1000;
    return DateTime(
        TimeOfDay(static_cast<std::uint8_t>(time.wHour), static_cast<std::uint8_t>(time.wMinute),
                  static_cast<std::uint8_t>(time.wSecond), fraction),
        Date(static_cast<std::uint8_t>(time.wDay), static_cast<std::uint8_t>(time.wMonth), year),
        ZoneOffset::GetCurrentZone());
}

SYSTEMTIME DateTime::ToSystemTime() const {
    SYSTEMTIME result = {};
    result.wYear = static_cast<WORD>(date_.Year());
    result.wMonth = date_.Month();
    result.wDay = date_.Day();
    result.wDayOfWeek = static_cast<WORD>(date_.DayOfWeek());
    result.wHour = time_.Hour();
    result.wMinute = time_.Minute();
    result.wSecond = time_.Second();
    // Rounded up, so that reading the milliseconds back gives the same ticks: a date read from a
    // file and written back must not lose a tick each time.
    result.wMilliseconds = static_cast<WORD>(
        (std::uint64_t{time_.Fraction()} * 1000 + TicksPerSecond - 1) / TicksPerSecond);
    return result;
}

std::int64_t DateTime::GetUtcTicks() const {
    return std::int64_t{date_.DayNumber()} * kTicksPerDay + SignedTicks(time_) -
           std::int64_t{zone_.OffsetMinutes()} * TicksPerMinute;
}

DateTime DateTime::FromUtcTicks(std::int64_t ticks, const ZoneOffset& zone) {
    std::int64_t rest = 0;
    const std::int64_t days = FloorDivide(ticks, kTicksPerDay, rest);
    DateTime result;
    result.time_.SetFromTicks(static_cast<std::uint32_t>(rest));
    result.date_ = Date::FromDayNumber(ClampToInt32(days));
    result.ConvertToZone(zone);
    return result;
}

void DateTime::ConvertToZone(const ZoneOffset& zone) {
    if (zone == zone_) {
        return;
    }
    // One floor division does what stepping a day at a time would, in any range of ticks.
    const std::int64_t ticks =
        SignedTicks(time_) +
        std::int64_t{TicksPerMinute} * (zone.OffsetMinutes() - zone_.OffsetMinutes());
    std::int64_t rest = 0;
    const std::int64_t days = FloorDivide(ticks, kTicksPerDay, rest);
    time_.SetFromTicks(static_cast<std::uint32_t>(rest));
    if (days != 0) {
        date_ = Date::FromDayNumber(ClampToInt32(std::int64_t{date_.DayNumber()} + days));
    }
    zone_ = zone;
}

const DateTime& DateTime::Reference() {
    static const DateTime reference(TimeOfDay(), Date(1, 1, 2000), ZoneOffset());
    return reference;
}

std::int64_t DateTime::ToSecondsSinceReference() const {
    return (GetUtcTicks() - Reference().GetUtcTicks()) / TicksPerSecond;
}

DateTime DateTime::FromSecondsSinceReference(std::int32_t seconds) {
    return FromUtcTicks(std::int64_t{seconds} * TicksPerSecond + Reference().GetUtcTicks(),
                        ZoneOffset::GetCurrentZone());
}

std::time_t DateTime::ToCTime() const {
    std::tm broken = {};
    broken.tm_sec = time_.Second();
    broken.tm_min = time_.Minute();
    broken.tm_hour = time_.Hour();
    broken.tm_mday = date_.Day();
    broken.tm_mon = date_.Month() - 1;
    broken.tm_year = date_.Year() - 1900;
    broken.tm_isdst = -1;
    return std::mktime(&broken);
}

DateTime DateTime::FromCTime(std::time_t time) {
    std::tm broken = {};
    // localtime_s rather than localtime: the latter shares one buffer between threads.
    if (localtime_s(&broken, &time) != 0) {
        return DateTime(TimeOfDay(), Date(), ZoneOffset::GetCurrentZone());
    }
    return DateTime(TimeOfDay(static_cast<std::uint8_t>(broken.tm_hour),
                              static_cast<std::uint8_t>(broken.tm_min),
                              static_cast<std::uint8_t>(broken.tm_sec)),
                    Date(static_cast<std::uint8_t>(broken.tm_mday),
                         static_cast<std::uint8_t>(broken.tm_mon + 1),
                         static_cast<std::int16_t>(broken.tm_year + 1900)),
                    ZoneOffset::GetCurrentZone());
}

bool operator==(const DateTime& a, const DateTime& b) {
    return a.time_ == b.time_ && a.date_ == b.date_ && a.zone_ == b.zone_;
}

// --- Text form -----------------------------------------------------------------------------

std::ostream& operator<<(std::ostream& out, const DateTime& value) {
    std::string text;
    AppendTime(text, value.Time());
    text += '-';
    AppendDate(text, value.GetDate());
    text += '-';
    AppendZone(text, value.Zone());
    return out << text;
}

std::istream& operator>>(std::istream& in, DateTime& value) {
    return Extract(in, value, [](TextReader& reader, DateTime& parsed) {
        TimeOfDay time;
        Date date;
        ZoneOffset zone;
        if (!(ReadTime(reader, time) && reader.Take('-') && ReadDate(reader, date) &&
              reader.Take('-') && ReadZone(reader, zone))) {
            return false;
        }
        parsed = DateTime(time, date, zone);
        return true;
    });
}

std::ostream& operator<<(std::ostream& out, const TimeOfDay& value) {
    std::string text;
    AppendTime(text, value);
    return out << text;
}

std::istream& operator>>(std::istream& in, TimeOfDay& value) {
    return Extract(in, value, ReadTime);
}

std::ostream& operator<<(std::ostream& out, const Date& value) {
    std::string text;
    AppendDate(text, value);
    return out << text;
}

std::istream& operator>>(std::istream& in, Date& value) {
    return Extract(in, value, ReadDate);
}

std::ostream& operator<<(std::ostream& out, const ZoneOffset& value) {
    std::string text;
    AppendZone(text, value);
    return out << text;
}

std::istream& operator>>(std::istream& in, ZoneOffset& value) {
    return Extract(in, value, ReadZone);
}
