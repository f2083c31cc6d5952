#include "platform/time_zone.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/file_io.h"

namespace tapir::platform {

namespace {

constexpr const char* kZoneInfoDir = "/usr/share/zoneinfo/";
constexpr const char* kLocalTimeFile = "/etc/localtime";

// Recursive-descent reader of a POSIX TZ rule, with the extensions the C library reads
// (quoted names, hours up to 167 and negative change times).
class PosixRuleReader {
  public:
    explicit PosixRuleReader(std::string_view text) : text_(text) {}

    std::optional<ZoneRule> Read() {
        ZoneRule rule;
        int std_west = 0;
        if (!ReadName() || !ReadOffset(std_west)) {
            return std::nullopt;
        }
        rule.std_offset = -std_west;
        rule.dst_offset = rule.std_offset;
        if (AtEnd()) {
            return rule;
        }
        if (!ReadName()) {
            return std::nullopt;
        }
        rule.has_daylight = true;
        rule.dst_offset = rule.std_offset + 3600;
        if (!AtEnd() && Peek() != ',') {
            int dst_west = 0;
            if (!ReadOffset(dst_west)) {
                return std::nullopt;
            }
            rule.dst_offset = -dst_west;
        }
        // A daylight name without change rules: the rules of the United States.
        rule.start = ZoneChange{ChangeDayForm::MonthWeekDay, 3, 2, 0, 0, kDefaultChangeTime};
        rule.end = ZoneChange{ChangeDayForm::MonthWeekDay, 11, 1, 0, 0, kDefaultChangeTime};
        if (!AtEnd()) {
            if (!Accept(',') || !ReadChange(rule.start) || !Accept(',') || !ReadChange(rule.end) ||
                !AtEnd()) {
                return std::nullopt;
            }
        }
        return rule;
    }

  private:
    static constexpr int32_t kDefaultChangeTime = 7200;
    static constexpr int kMaxOffsetHours = 24;
    static constexpr int kMaxChangeHours = 167;

    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    bool Accept(char c) {
        if (Peek() == c && !AtEnd()) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool ReadName() {
        if (Accept('<')) {
            const size_t start = pos_;
            while (!AtEnd() && Peek() != '>') {
                const char c = Peek();
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-') {
                    return false;
                }
                ++pos_;
            }
            return pos_ - start >= 3 && Accept('>');
        }
        const size_t start = pos_;
        while (!AtEnd() && std::isalpha(static_cast<unsigned char>(Peek()))) {
            ++pos_;
        }
        return pos_ - start >= 3;
    }

    bool ReadNumber(int& value, int max_digits) {
        int digits = 0;
        value = 0;
        while (!AtEnd() && digits < max_digits &&
               std::isdigit(static_cast<unsigned char>(Peek()))) {
            value = value * 10 + (Peek() - '0');
            ++pos_;
            ++digits;
        }
        return digits > 0;
    }

    // [+|-]hh[:mm[:ss]] in seconds.
    bool ReadTime(int& seconds, int max_hours) {
        int sign = 1;
        if (Accept('-')) {
            sign = -1;
        } else {
            Accept('+');
        }
        int hours = 0;
        int minutes = 0;
        int secs = 0;
        if (!ReadNumber(hours, 3) || hours > max_hours) {
            return false;
        }
        if (Accept(':')) {
            if (!ReadNumber(minutes, 2) || minutes > 59) {
                return false;
            }
            if (Accept(':')) {
                if (!ReadNumber(secs, 2) || secs > 59) {
                    return false;
                }
            }
        }
        seconds = sign * (hours * 3600 + minutes * 60 + secs);
        return true;
    }

    bool ReadOffset(int& seconds) { return ReadTime(seconds, kMaxOffsetHours); }

    bool ReadChange(ZoneChange& change) {
        change = ZoneChange{};
        if (Accept('M')) {
            change.form = ChangeDayForm::MonthWeekDay;
            if (!ReadNumber(change.month, 2) || change.month < 1 || change.month > 12 ||
                !Accept('.') || !ReadNumber(change.week, 1) || change.week < 1 || change.week > 5 ||
                !Accept('.') || !ReadNumber(change.weekday, 1) || change.weekday > 6) {
                return false;
            }
        } else if (Accept('J')) {
            change.form = ChangeDayForm::JulianNoLeap;
            if (!ReadNumber(change.day, 3) || change.day < 1 || change.day > 365) {
                return false;
            }
        } else {
            change.form = ChangeDayForm::JulianZero;
            if (!ReadNumber(change.day, 3) || change.day > 365) {
                return false;
            }
        }
        if (Accept('/')) {
            int seconds = 0;
            if (!ReadTime(seconds, kMaxChangeHours)) {
                return false;
            }
            change.seconds = seconds;
        }
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

// The record's change rule for a change, when the record can hold it.
std::optional<SystemTime> RecordChange(const ZoneChange& change) {
    if (change.form != ChangeDayForm::MonthWeekDay || change.seconds < 0) {
        return std::nullopt;
    }
    SystemTime out;
    out.wMonth = static_cast<uint16_t>(change.month);
    out.wDay = static_cast<uint16_t>(change.week);
    out.wDayOfWeek = static_cast<uint16_t>(change.weekday);
    out.wHour = static_cast<uint16_t>(change.seconds / 3600);
    out.wMinute = static_cast<uint16_t>(change.seconds / 60 % 60);
    out.wSecond = static_cast<uint16_t>(change.seconds % 60);
    return out;
}

TimeZoneInformation RecordFromRule(const ZoneRule& rule) {
    TimeZoneInformation zone;
    zone.Bias = -rule.std_offset / 60;
    if (rule.has_daylight) {
        zone.DaylightBias = -(rule.dst_offset - rule.std_offset) / 60;
        const std::optional<SystemTime> start = RecordChange(rule.start);
        const std::optional<SystemTime> end = RecordChange(rule.end);
        if (start && end) {
            zone.DaylightDate = *start;
            zone.StandardDate = *end;
        }
    }
    zone.Rule = rule;
    return zone;
}

bool RecordRuleUsable(const SystemTime& rule) {
    return rule.wMonth >= 1 && rule.wMonth <= 12 && rule.wDay >= 1 && rule.wDay <= 5;
}

ZoneChange ChangeFromRecord(const SystemTime& rule) {
    ZoneChange change;
    change.form = ChangeDayForm::MonthWeekDay;
    change.month = rule.wMonth;
    change.week = rule.wDay;
    change.weekday = 0;  // the record's changes always fall on a Sunday
    change.seconds = (rule.wHour * 60 + rule.wMinute) * 60 + rule.wSecond;
    return change;
}

// Local moment of a change in milliseconds on the date-time scale.
std::optional<int64_t> ChangeMilliseconds(int year, const ZoneChange& change) {
    if (year < 1 || year > 9999) {
        return std::nullopt;
    }
    TDateTime date = 0;
    switch (change.form) {
        case ChangeDayForm::MonthWeekDay: {
            if (change.month < 1 || change.month > 12 || change.week < 1 || change.week > 5 ||
                change.weekday < 0 || change.weekday > 6) {
                return std::nullopt;
            }
            const TDateTime first = EncodeDate(year, change.month, 1);
            const int first_weekday = DayOfWeek(first) - 1;  // 0 = Sunday
            int day = 1 + (change.weekday - first_weekday + 7) % 7 + 7 * (change.week - 1);
            while (day > DaysInMonth(year, change.month)) {
                day -= 7;
            }
            date = first + (day - 1);
            break;
        }
        case ChangeDayForm::JulianNoLeap: {
            if (change.day < 1 || change.day > 365) {
                return std::nullopt;
            }
            // February 29 is never counted: day 60 is always March 1.
            const int leap_day = IsLeapYear(year) && change.day >= 60 ? 1 : 0;
            date = EncodeDate(year, 1, 1) + (change.day - 1 + leap_day);
            break;
        }
        case ChangeDayForm::JulianZero:
            if (change.day < 0 || change.day > 365) {
                return std::nullopt;
            }
            date = EncodeDate(year, 1, 1) + change.day;
            break;
    }
    // `date` is a whole day number, so the conversion is exact.
    return static_cast<int64_t>(date) * kMsPerDay + static_cast<int64_t>(change.seconds) * 1000;
}

// Values the change rules are evaluated for: from 1899-12-31 (below day 1 the date-time
// scale does not run linearly) to the end of 9998, so that the next year's changes exist.
bool InRuleRange(TDateTime value) {
    static const TDateTime kLast = EncodeDate(9999, 1, 1);
    return std::isfinite(value) && value >= 1.0 && value < kLast;
}

struct Change {
    int64_t at_ms;  // UTC
    bool daylight_after;
};

// The changes of one year and both its neighbours in time order, for the moments of that
// year (UTC).
struct YearChanges {
    ZoneRule rule;
    int64_t from_ms = 0;
    int64_t to_ms = 0;  // exclusive; from_ms == to_ms: nothing computed yet
    std::array<Change, 6> changes{};
    size_t count = 0;
};

void ComputeYearChanges(const ZoneRule& rule, int year, YearChanges& out) {
    out.rule = rule;
    out.from_ms = static_cast<int64_t>(EncodeDate(year, 1, 1)) * kMsPerDay;
    out.to_ms = out.from_ms + (IsLeapYear(year) ? 366 : 365) * kMsPerDay;
    out.count = 0;
    for (int y = year - 1; y <= year + 1; ++y) {
        if (const auto start = ChangeMilliseconds(y, rule.start)) {
            out.changes[out.count++] = {*start - int64_t{rule.std_offset} * 1000, true};
        }
        if (const auto end = ChangeMilliseconds(y, rule.end)) {
            out.changes[out.count++] = {*end - int64_t{rule.dst_offset} * 1000, false};
        }
    }
    // Insertion sort keeps changes at the same moment in year order.
    for (size_t i = 1; i < out.count; ++i) {
        for (size_t j = i; j > 0 && out.changes[j].at_ms < out.changes[j - 1].at_ms; --j) {
            std::swap(out.changes[j], out.changes[j - 1]);
        }
    }
}

// Seconds east of Greenwich in force at a UTC moment (milliseconds on the date-time scale,
// within the rule range). The changes of the moment's year and of both neighbouring years
// are put in time order; the last one at or before the moment decides, so changes whose
// local time runs into another year and zones whose daylight time spans the turn of the
// year come out right. The list of the last year asked for is kept per thread, as
// conversions mostly come in runs within one year.
int32_t OffsetAtUtc(const ZoneRule& rule, int64_t utc_ms) {
    if (!rule.has_daylight) {
        return rule.std_offset;
    }
    thread_local YearChanges cache;
    if (utc_ms < cache.from_ms || utc_ms >= cache.to_ms || !(cache.rule == rule)) {
        int year = 0;
        int month = 0;
        int day = 0;
        DecodeDate(MillisecondsToDateTime(utc_ms), year, month, day);
        ComputeYearChanges(rule, year, cache);
    }
    if (cache.count == 0) {
        return rule.std_offset;
    }
    bool daylight = !cache.changes.front().daylight_after;
    for (size_t i = 0; i < cache.count && cache.changes[i].at_ms <= utc_ms; ++i) {
        daylight = cache.changes[i].daylight_after;
    }
    return daylight ? rule.dst_offset : rule.std_offset;
}

// Moves a date-time by an offset in seconds: by whole minutes when it is one, so that the
// usual offsets take the program's minute step.
TDateTime ShiftBySeconds(TDateTime value, int32_t seconds) {
    if (seconds % 60 == 0) {
        return IncMinute(value, seconds / 60);
    }
    return IncSecond(value, seconds);
}

std::optional<TimeZoneInformation> ZoneFromFile(const std::string& path) {
    const std::optional<std::string> footer = ReadTzifFooter(path);
    if (!footer) {
        return std::nullopt;
    }
    return ParsePosixTimeZone(*footer);
}

std::string Printf(const char* format, int a, int b, int c, int d, int e, int f, int g) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c, d, e, f, g);
    return buf;
}

std::string RuleLine(const char* format, const SystemTime& rule) {
    return Printf(format, rule.wDayOfWeek, rule.wDay, rule.wMonth, rule.wYear, rule.wDayOfWeek,
                  rule.wHour, rule.wMinute);
}

}  // namespace

bool HasDaylightRules(const TimeZoneInformation& zone) {
    return EffectiveZoneRule(zone).has_daylight;
}

ZoneRule EffectiveZoneRule(const TimeZoneInformation& zone) {
    if (zone.Rule) {
        return *zone.Rule;
    }
    ZoneRule rule;
    rule.std_offset = -(zone.Bias + zone.StandardBias) * 60;
    rule.dst_offset = -(zone.Bias + zone.DaylightBias) * 60;
    rule.has_daylight = RecordRuleUsable(zone.StandardDate) && RecordRuleUsable(zone.DaylightDate);
    if (rule.has_daylight) {
        rule.start = ChangeFromRecord(zone.DaylightDate);
        rule.end = ChangeFromRecord(zone.StandardDate);
    }
    return rule;
}

std::optional<TimeZoneInformation> ParsePosixTimeZone(std::string_view rule) {
    const std::optional<ZoneRule> parsed = PosixRuleReader(rule).Read();
    if (!parsed) {
        return std::nullopt;
    }
    return RecordFromRule(*parsed);
}

std::optional<std::string> ReadTzifFooter(const std::string& path) {
    const std::optional<std::string> contents = ReadWholeFile(path);
    if (!contents) {
        return std::nullopt;
    }
    const std::string& data = *contents;
    if (data.size() < 46 || data.compare(0, 4, "TZif") != 0 || data[4] < '2' ||
        data.back() != '\n') {
        return std::nullopt;
    }
    // The footer is "\n" rule "\n" at the very end; the rule itself holds no newline.
    const size_t open = data.rfind('\n', data.size() - 2);
    if (open == std::string::npos || open + 2 >= data.size()) {
        return std::nullopt;
    }
    return data.substr(open + 1, data.size() - open - 2);
}

TimeZoneInformation ReadSystemTimeZone() {
    std::optional<TimeZoneInformation> zone;
    if (const char* tz = std::getenv("TZ")) {
        std::string text = tz;
        if (text.empty()) {
            return {};
        }
        const bool file_only = text.front() == ':';
        if (file_only) {
            text.erase(0, 1);
        }
        if (!file_only) {
            zone = ParsePosixTimeZone(text);
        }
        if (!zone) {
            if (text.empty()) {
                zone = ZoneFromFile(kLocalTimeFile);
            } else if (text.front() == '/') {
                zone = ZoneFromFile(text);
            } else if (text.find("..") == std::string::npos) {
                zone = ZoneFromFile(kZoneInfoDir + text);
            }
        }
    } else {
        zone = ZoneFromFile(kLocalTimeFile);
    }
    return zone.value_or(TimeZoneInformation{});
}

TDateTime DstChangeDate(uint16_t year, const SystemTime& rule) {
    TDateTime first = 0;
    if (!TryEncodeDate(year, rule.wMonth, 1, first)) {
        return 0.0;
    }
    while (DayOfWeek(first) != 1) {
        first += 1;
    }
    TDateTime date = 0.0;
    switch (rule.wDay) {
        case 1:
        case 2:
        case 3:
        case 4:
            date = first + 7.0 * (rule.wDay - 1);
            break;
        case 5: {
            date = first + 28;
            int y = 0;
            int m = 0;
            int d = 0;
            DecodeDate(date, y, m, d);
            if (m != rule.wMonth) {
                date = first + 21;
            }
            break;
        }
        default:
            date = 0.0;
            break;
    }
    // Hours beyond 23 (rules that change "at 26:00") simply run on into the next days.
    const int64_t ms =
        ((static_cast<int64_t>(rule.wHour) * 60 + rule.wMinute) * 60 + rule.wSecond) * 1000;
    return date + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

std::optional<TDateTime> ZoneChangeDate(int year, const ZoneChange& change) {
    const std::optional<int64_t> ms = ChangeMilliseconds(year, change);
    if (!ms) {
        return std::nullopt;
    }
    return MillisecondsToDateTime(*ms);
}

TDateTime UtcToLocal(TDateTime utc, const TimeConversionSettings& settings, const LogSink& log) {
    TDateTime result = 0;
    if (!settings.UTC_Auto) {
        const double offset = settings.UTC_Offset * 0.0416666666666666;
        result = utc + offset;
    } else {
        const ZoneRule rule = EffectiveZoneRule(settings.TimeZoneInfo);
        const int32_t offset =
            InRuleRange(utc) ? OffsetAtUtc(rule, DateTimeToMilliseconds(utc)) : rule.std_offset;
        result = ShiftBySeconds(utc, offset);
    }
    if (log) {
        log("UTC2Local-> UTC:" + DateTimeText(utc) + "  Local: " + DateTimeText(result));
    }
    return result;
}

TDateTime LocalToUtc(TDateTime local, const TimeConversionSettings& settings, const LogSink& log) {
    TDateTime result = 0;
    if (!settings.UTC_Auto) {
        const double offset = settings.UTC_Offset * 0.0416666666666666;
        result = local - offset;
    } else {
        const ZoneRule rule = EffectiveZoneRule(settings.TimeZoneInfo);
        int32_t offset = rule.std_offset;
        if (rule.has_daylight && InRuleRange(local)) {
            const int64_t local_ms = DateTimeToMilliseconds(local);
            // The local time read with each offset; a reading holds when that offset is in
            // force at the UTC moment it gives.
            std::optional<int64_t> first_utc;
            for (const int32_t candidate : {rule.std_offset, rule.dst_offset}) {
                const int64_t utc_ms = local_ms - int64_t{candidate} * 1000;
                if (OffsetAtUtc(rule, utc_ms) == candidate && (!first_utc || utc_ms < *first_utc)) {
                    first_utc = utc_ms;
                    offset = candidate;
                }
            }
            if (!first_utc) {
                // Skipped by a change to the larger offset: read with the one before it.
                offset = std::min(rule.std_offset, rule.dst_offset);
            }
        }
        result = ShiftBySeconds(local, -offset);
    }
    if (log) {
        log("Local2UTC-> Local:" + DateTimeText(local) + "  UTC: " + DateTimeText(result));
    }
    return result;
}

std::vector<std::string> TimeZoneStartupLines(const TimeZoneInformation& zone) {
    std::vector<std::string> lines;
    lines.push_back("TimeZoneInformation.Bias: " + std::to_string(zone.Bias));
    lines.push_back("TimeZoneInformation.StandardBias: " + std::to_string(zone.StandardBias));
    lines.push_back("TimeZoneInformation.DaylightBias: " + std::to_string(zone.DaylightBias));
    // With the full rule at hand the dates are the ones the conversions use (any weekday,
    // Julian days, negative times); without daylight time they stay the zero point.
    const auto change_date = [&zone](const SystemTime& record_rule, bool daylight_start) {
        if (!zone.Rule) {
            return DstChangeDate(2006, record_rule);
        }
        if (!zone.Rule->has_daylight) {
            return TDateTime{0.0};
        }
        return ZoneChangeDate(2006, daylight_start ? zone.Rule->start : zone.Rule->end)
            .value_or(0.0);
    };
    lines.push_back(DateTimeText(change_date(zone.StandardDate, false)));
    lines.push_back(DateTimeText(change_date(zone.DaylightDate, true)));
    lines.push_back(RuleLine("StandardDate: %d  %02d-%02d-%04d  %d  %02d:%02d", zone.StandardDate));
    lines.push_back(RuleLine("DaylightDate: %d  %02d-%02d-%04d  %d  %02d:%02d", zone.DaylightDate));
    return lines;
}

}  // namespace tapir::platform
