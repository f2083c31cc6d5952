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

// Minutes, with UTC = local time + bias (one hour east of Greenwich: Bias = -60).
// StandardDate is when daylight saving time ends, DaylightDate when it begins; a zone
// without daylight saving time has month 0 in both rules.
struct TimeZoneInformation {
    int32_t Bias = 0;
    int32_t StandardBias = 0;
    int32_t DaylightBias = 0;
    SystemTime StandardDate;
    SystemTime DaylightDate;
    bool operator==(const TimeZoneInformation&) const = default;
};

// Whether the record has usable change rules (both months 1..12). Without them the
// conversions apply the standard bias all year.
bool HasDaylightRules(const TimeZoneInformation& zone);

// Record from a POSIX TZ rule such as "CET-1CEST,M3.5.0,M10.5.0/3" or "<+03>-3".
//  - Bias = the standard offset in minutes (POSIX offsets count west, as Bias does),
//    StandardBias = 0, DaylightBias = DST offset - standard offset (default -60).
//  - DaylightDate from the start rule, StandardDate from the end rule, both "Mm.w.d[/time]"
//    (time default 02:00:00; the weekday d goes to wDayOfWeek, which the conversions do not
//    consult). A DST name without rules takes "M3.2.0,M11.1.0".
//  - Rules in the Julian forms "Jn" / "n", or with a negative time, cannot be expressed in
//    the record: the zone is then taken without daylight saving (standard offset only).
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

// What a conversion reads, as it stands at the moment of the call.
struct TimeConversionSettings {
    int32_t UTC_Offset = 0;  // hours, local = UTC + offset (manual mode)
    bool UTC_Auto = true;    // use TimeZoneInfo instead of UTC_Offset
    TimeZoneInformation TimeZoneInfo;
};

using LogSink = std::function<void(const std::string&)>;

// Local time for a UTC date-time. Logs
// "UTC2Local-> UTC:" + DateTimeText(utc) + "  Local: " + DateTimeText(result).
// Automatic mode: l = utc - Bias minutes; daylight time when d <= l <= s (change dates of
// the year of utc, compared at millisecond resolution; both ends count as daylight), then
// l - DaylightBias minutes, else l - StandardBias minutes. `log` may be empty.
TDateTime UtcToLocal(TDateTime utc, const TimeConversionSettings& settings, const LogSink& log);

// UTC for a local date-time. Logs
// "Local2UTC-> Local:" + DateTimeText(local) + "  UTC: " + DateTimeText(result).
// Automatic mode: the window test is made on the local input itself.
TDateTime LocalToUtc(TDateTime local, const TimeConversionSettings& settings, const LogSink& log);

// The seven diagnostic lines written at start: the three biases, the 2006 change dates of
// StandardDate and DaylightDate as DateTimeText, then
// "StandardDate: %d  %02d-%02d-%04d  %d  %02d:%02d" and the same for DaylightDate
// (day of week, day, month, year, day of week, hour, minute).
std::vector<std::string> TimeZoneStartupLines(const TimeZoneInformation& zone);

}  // namespace tapir::platform
