#pragma once
// Conversion between the box's UTC times and the user's local time: either a manual
// whole-hour offset or the rules of a time-zone record read once at start from the system
// (the POSIX rule of $TZ, else the footer of /etc/localtime). Every conversion leaves one
// trace line through the given sink. Pure functions; thread-safe.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"

namespace tapir::platform {

// A change rule: of its fields only wMonth (1..12), wDay (the occurrence of the Sunday in
// the month, 1..5, 5 = last), wHour, wMinute and wSecond are used by the conversions.
struct SystemTime {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;
    uint16_t wDayOfWeek = 0;
    uint16_t wDay = 0;
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
    bool operator==(const SystemTime&) const = default;
};

// How a POSIX rule names the day of a change.
enum class ChangeDayForm : uint8_t {
    MonthWeekDay,  // "Mm.w.d": weekday d (0 = Sunday) of week w (5 = the last) of month m
    JulianNoLeap,  // "Jn": day 1..365 of the year, February 29 never counted
    JulianZero,    // "n": day 0..365 of the year, February 29 counted in leap years
};

// One change of a zone's rule: a day and the local time of day on it.
struct ZoneChange {
    ChangeDayForm form = ChangeDayForm::MonthWeekDay;
    int month = 0;    // MonthWeekDay: 1..12
    int week = 0;     // MonthWeekDay: 1..5
    int weekday = 0;  // MonthWeekDay: 0..6
    int day = 0;      // Julian forms
    // Local time of the change in seconds after midnight of the day; may be negative or
    // reach into the following days (-167 h .. +167 h).
    int32_t seconds = 7200;
    bool operator==(const ZoneChange&) const = default;
};

// A zone's full rule. Offsets in seconds east of Greenwich (local = UTC + offset). Daylight
// time starts at `start` given in local standard time and ends at `end` given in local
// daylight time; when `start` falls after `end` in the year, daylight time spans the turn
// of the year.
struct ZoneRule {
    int32_t std_offset = 0;
    int32_t dst_offset = 0;
    bool has_daylight = false;
    ZoneChange start;
    ZoneChange end;
    bool operator==(const ZoneRule&) const = default;
};

// Minutes, with UTC = local time + bias (one hour east of Greenwich: Bias = -60).
// StandardDate is when daylight saving time ends, DaylightDate when it begins; a zone
// without daylight saving time has month 0 in both rules.
struct TimeZoneInformation {
    int32_t Bias = 0;
    int32_t StandardBias = 0;
    int32_t DaylightBias = 0;
    SystemTime StandardDate;
    SystemTime DaylightDate;
    // The rule the record was read from. It also holds what the fields above cannot
    // (Julian days, weekdays other than Sunday, negative change times, offsets with
    // seconds), and the conversions use it when present. A record without it (filled in
    // field by field) converts by its fields, with every change on a Sunday.
    std::optional<ZoneRule> Rule;
    bool operator==(const TimeZoneInformation&) const = default;
};

// Whether the zone has daylight saving time: the rule says so, or (without a rule) both
// change rules of the record have a month 1..12 and a day 1..5. Without it the
// conversions apply the standard bias all year.
bool HasDaylightRules(const TimeZoneInformation& zone);

// The rule a record converts by: its `Rule` when present, else one built from its fields.
ZoneRule EffectiveZoneRule(const TimeZoneInformation& zone);

// Record from a POSIX TZ rule such as "CET-1CEST,M3.5.0,M10.5.0/3", "<+03>-3" or
// "<-02>2<-01>,M3.5.0/-1,M10.5.0/0"; every form the C library reads. The record's `Rule`
// holds the whole rule; its fields are filled as far as they can express it:
//  - Bias = the standard offset in minutes (POSIX offsets count west, as Bias does),
//    StandardBias = 0, DaylightBias = DST offset - standard offset (default -60).
//  - DaylightDate from the start rule, StandardDate from the end rule, when they are of the
//    form "Mm.w.d" with a time of 0..167 h (the weekday d goes to wDayOfWeek); otherwise the
//    date stays all zero. A DST name without rules takes "M3.2.0,M11.1.0".
// Returns nullopt when the text is not a valid rule.
std::optional<TimeZoneInformation> ParsePosixTimeZone(std::string_view rule);

// The POSIX rule in the footer of a TZif file of version 2 or later; nullopt when the file
// is missing, not TZif, version 1, or has an empty footer.
std::optional<std::string> ReadTzifFooter(const std::string& path);

// The system's record: $TZ if set (a leading ':' dropped; a POSIX rule, else a zone file
// name under /usr/share/zoneinfo or an absolute path; an empty $TZ is UTC), otherwise the
// footer of /etc/localtime. Anything unreadable or unparsable gives the record of UTC:
// all zero, no daylight saving. Reads the environment and files; call once at start.
TimeZoneInformation ReadSystemTimeZone();

// The local date-time at which `rule` takes effect in `year`: the first Sunday of the rule's
// month, plus 7 x (day - 1) days; day 5 falls back to the fourth Sunday when the fifth is
// in the next month; then the rule's hour, minute and second are added.
// A day field of 0 or above 5 gives only the time of day (on 1899-12-30); a month outside
// 1..12 gives 0.0.
TDateTime DstChangeDate(uint16_t year, const SystemTime& rule);

// The local date-time of `change` in `year` (1..9999): the day its form names, plus its
// time (which may move it into the previous or following days). Weekday 5 of "Mm.w.d" is
// the last such weekday of the month; "n" = 365 in a common year is January 1 of the next.
// nullopt for a year outside 1..9999 or a change whose fields are out of range.
std::optional<TDateTime> ZoneChangeDate(int year, const ZoneChange& change);

// What a conversion reads, as it stands at the moment of the call.
struct TimeConversionSettings {
    int32_t UTC_Offset = 0;  // hours, local = UTC + offset (manual mode)
    bool UTC_Auto = true;    // use TimeZoneInfo instead of UTC_Offset
    TimeZoneInformation TimeZoneInfo;
};

using LogSink = std::function<void(const std::string&)>;

// Local time for a UTC date-time. Logs
// "UTC2Local-> UTC:" + DateTimeText(utc) + "  Local: " + DateTimeText(result).
// Automatic mode: daylight time holds from the start change (a moment in local standard
// time) up to, not including, the end change (a moment in local daylight time). Values
// outside 1899-12-31 .. 9998-12-31 take the standard offset. `log` may be empty.
TDateTime UtcToLocal(TDateTime utc, const TimeConversionSettings& settings, const LogSink& log);

// UTC for a local date-time. Logs
// "Local2UTC-> Local:" + DateTimeText(local) + "  UTC: " + DateTimeText(result).
// Automatic mode: a local time that occurs twice (the hour repeated when daylight time ends)
// maps to its first occurrence; one that does not occur (the hour skipped when daylight
// time starts) maps with the offset that held before the skip, so 02:30 on the spring night
// of Central Europe gives 01:30 UTC.
TDateTime LocalToUtc(TDateTime local, const TimeConversionSettings& settings, const LogSink& log);

// The seven diagnostic lines written at start: the three biases, the 2006 change dates of
// StandardDate and DaylightDate as DateTimeText (taken from the record's Rule when it has
// one, so they are the dates the conversions use), then
// "StandardDate: %d  %02d-%02d-%04d  %d  %02d:%02d" and the same for DaylightDate
// (day of week, day, month, year, day of week, hour, minute).
std::vector<std::string> TimeZoneStartupLines(const TimeZoneInformation& zone);

}  // namespace tapir::platform
