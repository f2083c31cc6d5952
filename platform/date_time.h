#pragma once
// Date-times as the whole program sees them: a double counting days since 1899-12-30 00:00,
// the fraction being the time of day (1970-01-01 is day 25569). Encoding, decoding at
// millisecond resolution, extended-precision minute/hour/second steps, and text conversion
// driven by process-wide format settings that the main window sets once at start.
// The format settings are plain process-wide state: set them before other threads format.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tapir::platform {

using TDateTime = double;

inline constexpr TDateTime kUnixEpochDays = 25569.0;  // 1970-01-01 00:00
inline constexpr int64_t kMsPerDay = 86'400'000;

// ---- Encoding and decoding ---------------------------------------------------------------

// Day count of midnight of the given date. Throws tapir::Exception (kind "EConvertError")
// when the date does not exist (year 1..9999, month 1..12, day within the month).
TDateTime EncodeDate(int year, int month, int day);
[[nodiscard]] bool TryEncodeDate(int year, int month, int day, TDateTime& out);

// Fraction of a day. Throws tapir::Exception (kind "EConvertError") unless
// hour 0..23, minute 0..59, second 0..59, ms 0..999.
TDateTime EncodeTime(int hour, int minute, int second, int ms);
[[nodiscard]] bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime& out);

// EncodeDate + EncodeTime (same errors).
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second = 0,
                         int ms = 0);

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, ms = 0;
};

// All parts of a value, rounded to the nearest millisecond first, so a value a hair below
// midnight decodes as the next day at 00:00:00.000. Negative values follow the classic
// reading: the integer part is the date, the absolute fraction the time of day. Values that
// are not finite or lie 1e11 days or more from the zero point decode (and format) as the
// zero point, 1899-12-30 00:00.
DateTimeParts DecodeDateTime(TDateTime value);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& ms);

// 1 = Sunday, 2 = Monday ... 7 = Saturday (of the millisecond-rounded value).
int DayOfWeek(TDateTime value);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 for a month outside 1..12

// ---- Steps ------------------------------------------------------------------------------
// (x * 1440 + n) / 1440, (x * 24 + n) / 24 and (x * 86400 + n) / 86400 evaluated in
// extended precision (long double) and rounded once to double. These are the only way the
// program moves a date-time by minutes, hours or seconds.
TDateTime IncMinute(TDateTime value, int64_t minutes = 1);
TDateTime IncHour(TDateTime value, int64_t hours = 1);
TDateTime IncSecond(TDateTime value, int64_t seconds = 1);

// ---- Seconds since 1970 (UTC values, no zone applied) -------------------------------------
TDateTime UnixToDateTime(int64_t seconds);
// Seconds since 1970-01-01 00:00, rounded to the nearest whole second (a value read from
// UnixToDateTime converts back to exactly the same count). Beyond the 64-bit range the
// result is that range's end; NaN gives 0.
int64_t DateTimeToUnix(TDateTime value);

// ---- Millisecond resolution ---------------------------------------------------------------
// Tables store date-times to the millisecond; the extended-precision steps can leave a value
// a hair away from a moment it equals. Compare through these.
// round(value * 86400000); beyond the 64-bit range that range's end, NaN gives 0.
int64_t DateTimeToMilliseconds(TDateTime value);
TDateTime MillisecondsToDateTime(int64_t ms);
int CompareDateTime(TDateTime a, TDateTime b);  // -1, 0, 1 at millisecond resolution
bool SameMillisecond(TDateTime a, TDateTime b);

// ---- Process-wide format settings --------------------------------------------------------
// Defaults (before the main window sets them): date separator '-', time separator ':',
// short date "dd-mm-yyyy", short time "hh:nn", long time "hh:nn:ss", English day and
// month names. Index 0 of the day names is Sunday.
struct FormatSettings {
    char date_separator = '-';
    char time_separator = ':';
    std::string short_date_format = "dd-mm-yyyy";
    std::string long_date_format = "dddd d mmmm yyyy";
    std::string short_time_format = "hh:nn";
    std::string long_time_format = "hh:nn:ss";
    std::string time_am = "AM";
    std::string time_pm = "PM";
    std::array<std::string, 7> short_day_names{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::array<std::string, 7> long_day_names{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};
    std::array<std::string, 12> short_month_names{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::array<std::string, 12> long_month_names{"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};
};

const FormatSettings& GetFormatSettings();
void SetFormatSettings(const FormatSettings& settings);
void ResetFormatSettings();  // back to the defaults above (tests call this in SetUp)
void SetDateSeparator(char separator);
void SetShortDateFormat(std::string format);
void SetShortTimeFormat(std::string format);
void SetLongTimeFormat(std::string format);
void SetShortDayNames(const std::array<std::string, 7>& names);  // [0] = Sunday
const std::array<std::string, 7>& ShortDayNames();

// ---- Text ---------------------------------------------------------------------------------
// Formats `value` (rounded to the millisecond). Specifiers, letter case ignored:
//   c        short date, and long time unless the time of day is 0
//   d dd     day 1..31 / 01..31          ddd dddd   short / long day name
//   ddddd    short date format           dddddd     long date format
//   m mm     month (minute after h/hh)   mmm mmmm   short / long month name
//   yy yyyy  two- / four-digit year (y runs of 1-2 give two digits, 3+ four)
//   h hh     hour                        n nn       minute
//   s ss     second                      z zzz      millisecond
//   t tt     short / long time format    am/pm a/p ampm  12-hour clock marker
//   /        date separator              :          time separator
//   "..." '...'  literal text; any other character is copied as it is.
std::string FormatDateTime(std::string_view format, TDateTime value);

std::string DateToStr(TDateTime value);      // short date format
std::string TimeToStr(TDateTime value);      // long time format
std::string DateTimeToStr(TDateTime value);  // "c"

// Log text of a date-time: a value of at least 1 with no time of day as the date alone
// (short date format); a value of at least 1 with a time of day as date, one space and time
// (long time format); a value below 1 (or one decoded as the zero point) as the time alone.
// Judged at millisecond resolution.
std::string DateTimeText(TDateTime value);

// Reads `text` laid out as `format` (the numeric specifiers d dd m mm yy yyyy h hh n nn s
// ss z zzz, day names ddd/dddd which are skipped, '/' and ':' as the separators, everything
// else literal; a run of blanks in the format matches any run of blanks, at least one).
// Numbers may have fewer digits than their specifier; a year field (yy or yyyy) takes up
// to four digits, and a year of one or two digits reads into 1950..2049. Parts missing from the
// format default to 1899-12-30 / 00:00. Returns false on any mismatch, trailing text or impossible
// date/time; `out` is then unchanged.
[[nodiscard]] bool TryParseDateTime(std::string_view text, std::string_view format, TDateTime& out);

}  // namespace tapir::platform
