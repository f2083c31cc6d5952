#include "platform/date_time.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/exception.h"

namespace tapir::platform {

namespace {

constexpr int kDaysBefore[2][13] = {
    {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
};

// Days from 0001-01-01 (day 0) to 1899-12-30.
constexpr int64_t kDaysFromYearOneToZeroPoint = 693593;

FormatSettings& MutableSettings() {
    static FormatSettings settings;
    return settings;
}

// Days since 0001-01-01 (day 0) for a valid date.
int64_t DaysFromYearOne(int year, int month, int day) {
    const int64_t y = year - 1;
    return y * 365 + y / 4 - y / 100 + y / 400 + kDaysBefore[IsLeapYear(year) ? 1 : 0][month] +
           day - 1;
}

void CivilFromDays(int64_t days_since_year_one, int& year, int& month, int& day) {
    // Howard Hinnant's algorithm on days since 1970-01-01.
    const int64_t z = days_since_year_one - 719162 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(y + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

// Beyond this many days from the zero point (about 270 million years) a value is no date:
// its day number and year would not fit the integers the calendar is computed in.
constexpr long double kMaxCalendarDays = 1e11L;

// Date part (signed day number) and time of day in ms, rounded to the millisecond. Values
// that are not finite or lie beyond the calendar's reach split as the zero point.
void SplitDateTime(TDateTime value, int64_t& date, int64_t& time_ms) {
    if (!std::isfinite(value) || std::fabs(static_cast<long double>(value)) >= kMaxCalendarDays) {
        date = 0;
        time_ms = 0;
        return;
    }
    const long double whole = std::trunc(static_cast<long double>(value));
    const long double frac = std::fabs(static_cast<long double>(value) - whole);
    date = static_cast<int64_t>(whole);
    time_ms = std::llround(frac * kMsPerDay);
    if (time_ms >= kMsPerDay) {
        time_ms -= kMsPerDay;
        date += value < 0 ? -1 : 1;
    }
}

// Rounds to the nearest integer; values beyond the 64-bit range give its ends, NaN gives 0.
int64_t SaturatingRound(long double value) {
    constexpr long double kLimit = 9.2e18L;  // just inside the range of int64_t
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= kLimit) {
        return std::numeric_limits<int64_t>::max();
    }
    if (value <= -kLimit) {
        return std::numeric_limits<int64_t>::min();
    }
    return std::llround(value);
}

TDateTime Step(TDateTime value, int64_t amount, long double per_day) {
    const long double x = static_cast<long double>(value);
    return static_cast<double>((x * per_day + static_cast<long double>(amount)) / per_day);
}

std::string Pad(int value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
    return buf;
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view prefix) {
    if (text.size() - pos < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[pos + i]) != Lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

size_t RunLength(std::string_view format, size_t pos, char letter) {
    size_t n = 0;
    while (pos + n < format.size() && Lower(format[pos + n]) == letter) {
        ++n;
    }
    return n;
}

class Formatter {
  public:
    Formatter(const FormatSettings& settings, TDateTime value)
        : settings_(settings), parts_(DecodeDateTime(value)) {
        int64_t date = 0;
        SplitDateTime(value, date, time_ms_);
        date_is_zero_ = date == 0;
        day_of_week_ = DayOfWeek(value);
    }

    void Append(std::string_view format, std::string& out, int depth) {
        if (depth > 2) {  // nested formats cannot loop forever
            return;
        }
        // Whether an am/pm marker anywhere in the format selects the 12-hour clock.
        const bool twelve_hour = UsesTwelveHourClock(format);
        bool last_was_hour = false;
        size_t i = 0;
        while (i < format.size()) {
            const char c = format[i];
            const char lc = Lower(c);
            if (c == '"' || c == '\'') {
                const size_t end = format.find(c, i + 1);
                const size_t stop = end == std::string_view::npos ? format.size() : end;
                out.append(format.substr(i + 1, stop - i - 1));
                i = stop == format.size() ? stop : stop + 1;
                continue;
            }
            if (lc == 'a') {
                if (StartsWithNoCase(format, i, "am/pm")) {
                    out += parts_.hour < 12 ? CaseLike(format.substr(i, 2), "am")
                                            : CaseLike(format.substr(i + 3, 2), "pm");
                    i += 5;
                } else if (StartsWithNoCase(format, i, "a/p")) {
                    out += parts_.hour < 12 ? (format[i] == 'A' ? 'A' : 'a')
                                            : (format[i + 2] == 'P' ? 'P' : 'p');
                    i += 3;
                } else if (StartsWithNoCase(format, i, "ampm")) {
                    out += parts_.hour < 12 ? settings_.time_am : settings_.time_pm;
                    i += 4;
                } else {
                    out += c;
                    ++i;
                }
                last_was_hour = false;
                continue;
            }
            const size_t run = RunLength(format, i, lc);
            bool hour_token = false;
            switch (lc) {
                case 'c':
                    if (!date_is_zero_) {
                        Append(settings_.short_date_format, out, depth + 1);
                    }
                    if (time_ms_ != 0) {
                        if (!date_is_zero_) {
                            out += ' ';
                        }
                        Append(settings_.long_time_format, out, depth + 1);
                    } else if (date_is_zero_) {
                        Append(settings_.long_time_format, out, depth + 1);
                    }
                    i += 1;
                    break;
                case 'd':
                    AppendDay(run, out, depth);
                    i += run;
                    break;
                case 'm':
                    if (last_was_hour && run <= 2) {
                        out += run == 1 ? std::to_string(parts_.minute) : Pad(parts_.minute, 2);
                    } else if (run == 1) {
                        out += std::to_string(parts_.month);
                    } else if (run == 2) {
                        out += Pad(parts_.month, 2);
                    } else if (run == 3) {
                        out += settings_.short_month_names[parts_.month - 1];
                    } else {
                        out += settings_.long_month_names[parts_.month - 1];
                    }
                    i += run <= 4 ? run : 4;
                    break;
                case 'y':
                    out += run <= 2 ? Pad(parts_.year % 100, 2) : Pad(parts_.year, 4);
                    i += run;
                    break;
                case 'h': {
                    int hour = parts_.hour;
                    if (twelve_hour) {
                        hour %= 12;
                        if (hour == 0) {
                            hour = 12;
                        }
                    }
                    out += run == 1 ? std::to_string(hour) : Pad(hour, 2);
                    i += run <= 2 ? run : 2;
                    hour_token = true;
                    break;
                }
                case 'n':
                    out += run == 1 ? std::to_string(parts_.minute) : Pad(parts_.minute, 2);
                    i += run <= 2 ? run : 2;
                    break;
                case 's':
                    out += run == 1 ? std::to_string(parts_.second) : Pad(parts_.second, 2);
                    i += run <= 2 ? run : 2;
                    break;
                case 'z':
                    out += run < 3 ? std::to_string(parts_.ms) : Pad(parts_.ms, 3);
                    i += run < 3 ? run : 3;
                    break;
                case 't':
                    Append(run == 1 ? settings_.short_time_format : settings_.long_time_format, out,
                           depth + 1);
                    i += run <= 2 ? run : 2;
                    break;
                case '/':
                    out += settings_.date_separator;
                    ++i;
                    hour_token = last_was_hour;
                    break;
                case ':':
                    out += settings_.time_separator;
                    ++i;
                    hour_token = last_was_hour;
                    break;
                default:
                    out += c;
                    ++i;
                    // Separators between an hour and "mm" keep "mm" as minutes (hh:mm).
                    hour_token = last_was_hour;
                    break;
            }
            last_was_hour = hour_token;
        }
    }

  private:
    static std::string CaseLike(std::string_view sample, std::string_view lower_text) {
        std::string out(lower_text);
        if (!sample.empty() && std::isupper(static_cast<unsigned char>(sample[0]))) {
            for (char& ch : out) {
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            }
        }
        return out;
    }

    static bool UsesTwelveHourClock(std::string_view format) {
        for (size_t i = 0; i < format.size(); ++i) {
            if (format[i] == '"' || format[i] == '\'') {
                const size_t end = format.find(format[i], i + 1);
                if (end == std::string_view::npos) {
                    return false;
                }
                i = end;
                continue;
            }
            if (StartsWithNoCase(format, i, "am/pm") || StartsWithNoCase(format, i, "a/p") ||
                StartsWithNoCase(format, i, "ampm")) {
                return true;
            }
        }
        return false;
    }

    void AppendDay(size_t run, std::string& out, int depth) {
        switch (run) {
            case 1:
                out += std::to_string(parts_.day);
                break;
            case 2:
                out += Pad(parts_.day, 2);
                break;
            case 3:
                out += settings_.short_day_names[day_of_week_ - 1];
                break;
            case 4:
                out += settings_.long_day_names[day_of_week_ - 1];
                break;
            case 5:
                Append(settings_.short_date_format, out, depth + 1);
                break;
            default:
                Append(settings_.long_date_format, out, depth + 1);
                break;
        }
    }

    const FormatSettings& settings_;
    DateTimeParts parts_;
    int64_t time_ms_ = 0;
    bool date_is_zero_ = false;
    int day_of_week_ = 1;
};

// ---- Parsing ----

bool ReadNumber(std::string_view text, size_t& pos, size_t max_digits, int& value, size_t& digits) {
    digits = 0;
    value = 0;
    while (pos < text.size() && digits < max_digits &&
           std::isdigit(static_cast<unsigned char>(text[pos]))) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits > 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month)) {
        return false;
    }
    out = static_cast<double>(DaysFromYearOne(year, month, day) - kDaysFromYearOneToZeroPoint);
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime out = 0;
    if (!TryEncodeDate(year, month, day, out)) {
        throw tapir::Exception("EConvertError", "Invalid argument to date encode");
    }
    return out;
}

bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime& out) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 ||
        ms > 999) {
        return false;
    }
    const int64_t total = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + ms;
    out = static_cast<double>(total) / static_cast<double>(kMsPerDay);
    return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int ms) {
    TDateTime out = 0;
    if (!TryEncodeTime(hour, minute, second, ms, out)) {
        throw tapir::Exception("EConvertError", "Invalid argument to time encode");
    }
    return out;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    const TDateTime date = EncodeDate(year, month, day);
    const TDateTime time = EncodeTime(hour, minute, second, ms);
    return date >= 0 ? date + time : date - time;
}

DateTimeParts DecodeDateTime(TDateTime value) {
    int64_t date = 0;
    int64_t time_ms = 0;
    SplitDateTime(value, date, time_ms);
    DateTimeParts parts;
    CivilFromDays(date + kDaysFromYearOneToZeroPoint, parts.year, parts.month, parts.day);
    parts.ms = static_cast<int>(time_ms % 1000);
    time_ms /= 1000;
    parts.second = static_cast<int>(time_ms % 60);
    time_ms /= 60;
    parts.minute = static_cast<int>(time_ms % 60);
    parts.hour = static_cast<int>(time_ms / 60);
    return parts;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    const DateTimeParts parts = DecodeDateTime(value);
    year = parts.year;
    month = parts.month;
    day = parts.day;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& ms) {
    const DateTimeParts parts = DecodeDateTime(value);
    hour = parts.hour;
    minute = parts.minute;
    second = parts.second;
    ms = parts.ms;
}

int DayOfWeek(TDateTime value) {
    int64_t date = 0;
    int64_t time_ms = 0;
    SplitDateTime(value, date, time_ms);
    // Day 0 (1899-12-30) was a Saturday.
    const int64_t index = ((date + 6) % 7 + 7) % 7;  // 0 = Sunday
    return static_cast<int>(index) + 1;
}

TDateTime IncMinute(TDateTime value, int64_t minutes) { return Step(value, minutes, 1440.0L); }
TDateTime IncHour(TDateTime value, int64_t hours) { return Step(value, hours, 24.0L); }
TDateTime IncSecond(TDateTime value, int64_t seconds) { return Step(value, seconds, 86400.0L); }

TDateTime UnixToDateTime(int64_t seconds) {
    return static_cast<double>(static_cast<long double>(seconds) / 86400.0L +
                               static_cast<long double>(kUnixEpochDays));
}

int64_t DateTimeToUnix(TDateTime value) {
    return SaturatingRound((static_cast<long double>(value) - kUnixEpochDays) * 86400.0L);
}

int64_t DateTimeToMilliseconds(TDateTime value) {
    return SaturatingRound(static_cast<long double>(value) * kMsPerDay);
}

TDateTime MillisecondsToDateTime(int64_t ms) {
    return static_cast<double>(static_cast<long double>(ms) / kMsPerDay);
}

int CompareDateTime(TDateTime a, TDateTime b) {
    const int64_t ma = DateTimeToMilliseconds(a);
    const int64_t mb = DateTimeToMilliseconds(b);
    return ma < mb ? -1 : (ma > mb ? 1 : 0);
}

bool SameMillisecond(TDateTime a, TDateTime b) { return CompareDateTime(a, b) == 0; }

const FormatSettings& GetFormatSettings() { return MutableSettings(); }
void SetFormatSettings(const FormatSettings& settings) { MutableSettings() = settings; }
void ResetFormatSettings() { MutableSettings() = FormatSettings{}; }
void SetDateSeparator(char separator) { MutableSettings().date_separator = separator; }
void SetShortDateFormat(std::string format) {
    MutableSettings().short_date_format = std::move(format);
}
void SetShortTimeFormat(std::string format) {
    MutableSettings().short_time_format = std::move(format);
}
void SetLongTimeFormat(std::string format) {
    MutableSettings().long_time_format = std::move(format);
}
void SetShortDayNames(const std::array<std::string, 7>& names) {
    MutableSettings().short_day_names = names;
}
const std::array<std::string, 7>& ShortDayNames() { return MutableSettings().short_day_names; }

std::string FormatDateTime(std::string_view format, TDateTime value) {
    std::string out;
    Formatter(GetFormatSettings(), value).Append(format, out, 0);
    return out;
}

std::string DateToStr(TDateTime value) {
    return FormatDateTime(GetFormatSettings().short_date_format, value);
}

std::string TimeToStr(TDateTime value) {
    return FormatDateTime(GetFormatSettings().long_time_format, value);
}

std::string DateTimeToStr(TDateTime value) { return FormatDateTime("c", value); }

std::string DateTimeText(TDateTime value) {
    const int64_t ms = DateTimeToMilliseconds(value);
    const bool no_date =
        !std::isfinite(value) || std::fabs(static_cast<long double>(value)) >= kMaxCalendarDays;
    if (ms < kMsPerDay || no_date) {
        return TimeToStr(value);
    }
    if (ms % kMsPerDay == 0) {
        return DateToStr(value);
    }
    return DateToStr(value) + " " + TimeToStr(value);
}

bool TryParseDateTime(std::string_view text, std::string_view format, TDateTime& out) {
    const FormatSettings& settings = GetFormatSettings();
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int ms = 0;
    bool have_date = false;
    bool last_was_hour = false;
    size_t pos = 0;
    size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        const char lc = Lower(c);
        const size_t run = RunLength(format, i, lc);
        int value = 0;
        size_t digits = 0;
        bool hour_token = false;
        switch (lc) {
            case 'd':
                if (run <= 2) {
                    if (!ReadNumber(text, pos, 2, value, digits)) {
                        return false;
                    }
                    day = value;
                    have_date = true;
                } else {
                    // Day names carry no information the date lacks: skip the letters.
                    const size_t start = pos;
                    while (pos < text.size() && !IsBlank(text[pos]) &&
                           !std::isdigit(static_cast<unsigned char>(text[pos]))) {
                        ++pos;
                    }
                    if (pos == start) {
                        return false;
                    }
                }
                i += run;
                break;
            case 'm':
                if (!ReadNumber(text, pos, 2, value, digits)) {
                    return false;
                }
                if (last_was_hour) {
                    minute = value;
                } else {
                    month = value;
                    have_date = true;
                }
                i += run <= 2 ? run : 2;
                break;
            case 'y':
                if (!ReadNumber(text, pos, 4, value, digits)) {
                    return false;
                }
                if (digits <= 2) {
                    year = value < 50 ? 2000 + value : 1900 + value;
                } else {
                    year = value;
                }
                have_date = true;
                i += run;
                break;
            case 'h':
                if (!ReadNumber(text, pos, 2, value, digits)) {
                    return false;
                }
                hour = value;
                hour_token = true;
                i += run <= 2 ? run : 2;
                break;
            case 'n':
                if (!ReadNumber(text, pos, 2, value, digits)) {
                    return false;
                }
                minute = value;
                i += run <= 2 ? run : 2;
                break;
            case 's':
                if (!ReadNumber(text, pos, 2, value, digits)) {
                    return false;
                }
                second = value;
                i += run <= 2 ? run : 2;
                break;
            case 'z':
                if (!ReadNumber(text, pos, 3, value, digits)) {
                    return false;
                }
                ms = value;
                i += run <= 3 ? run : 3;
                break;
            case ' ':
            case '\t': {
                while (i < format.size() && IsBlank(format[i])) {
                    ++i;
                }
                const size_t start = pos;
                while (pos < text.size() && IsBlank(text[pos])) {
                    ++pos;
                }
                if (pos == start) {
                    return false;
                }
                hour_token = last_was_hour;
                break;
            }
            default: {
                char expected = c;
                if (c == '/') {
                    expected = settings.date_separator;
                } else if (c == ':') {
                    expected = settings.time_separator;
                }
                if (pos >= text.size() || Lower(text[pos]) != Lower(expected)) {
                    return false;
                }
                ++pos;
                ++i;
                hour_token = last_was_hour;
                break;
            }
        }
        last_was_hour = hour_token;
    }
    if (pos != text.size()) {
        return false;
    }
    TDateTime date = 0;
    TDateTime time = 0;
    if (have_date && !TryEncodeDate(year, month, day, date)) {
        return false;
    }
    if (!TryEncodeTime(hour, minute, second, ms, time)) {
        return false;
    }
    out = date + time;
    return true;
}

}  // namespace tapir::platform
