#include "platform/time_zone.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/file_io.h"

namespace tapir::platform {

namespace {

constexpr const char* kZoneInfoDir = "/usr/share/zoneinfo/";
constexpr const char* kLocalTimeFile = "/etc/localtime";

// Recursive-descent reader of a POSIX TZ rule (with the RFC 8536 extensions: hours up to
// 167 and negative rule times).
class PosixRuleReader {
public:
    explicit PosixRuleReader(std::string_view text) : text_(text) {}

    std::optional<TimeZoneInformation> Read() {
        if (!ReadName()) {
            return std::nullopt;
        }
        int std_offset = 0;
        if (!ReadOffset(std_offset)) {
            return std::nullopt;
        }
        TimeZoneInformation zone;
        zone.Bias = std_offset / 60;
        if (AtEnd()) {
            return zone;
        }
        if (!ReadName()) {
            return std::nullopt;
        }
        int dst_offset = std_offset - 3600;
        if (!AtEnd() && Peek() != ',') {
            if (!ReadOffset(dst_offset)) {
                return std::nullopt;
            }
        }
        Rule start{3, 2, 0, 7200, true};
        Rule end{11, 1, 0, 7200, true};
        if (!AtEnd()) {
            if (!Accept(',') || !ReadRule(start) || !Accept(',') || !ReadRule(end) || !AtEnd()) {
                return std::nullopt;
            }
        }
        if (!start.expressible || !end.expressible) {
            return zone;  // rules the record cannot hold: standard offset all year
        }
        zone.DaylightBias = (dst_offset - std_offset) / 60;
        zone.DaylightDate = ToSystemTime(start);
        zone.StandardDate = ToSystemTime(end);
        return zone;
    }

private:
    struct Rule {
        int month = 0;
        int week = 0;
        int weekday = 0;
        int seconds = 7200;
        bool expressible = true;
    };

    static SystemTime ToSystemTime(const Rule& rule) {
        SystemTime out;
        out.wMonth = static_cast<uint16_t>(rule.month);
        out.wDay = static_cast<uint16_t>(rule.week);
        out.wDayOfWeek = static_cast<uint16_t>(rule.weekday);
        out.wHour = static_cast<uint16_t>(rule.seconds / 3600);
        out.wMinute = static_cast<uint16_t>(rule.seconds / 60 % 60);
        out.wSecond = static_cast<uint16_t>(rule.seconds % 60);
        return out;
    }

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

    bool ReadOffset(int& seconds) { return ReadTime(seconds, 24); }

    bool ReadRule(Rule& rule) {
        int value = 0;
        if (Accept('M')) {
            if (!ReadNumber(rule.month, 2) || rule.month < 1 || rule.month > 12 || !Accept('.') ||
                !ReadNumber(rule.week, 1) || rule.week < 1 || rule.week > 5 || !Accept('.') ||
                !ReadNumber(rule.weekday, 1) || rule.weekday > 6) {
                return false;
            }
        } else {
            // Julian day forms "Jn" (1..365) and "n" (0..365): no month/week form exists.
            const bool julian = Accept('J');
            if (!ReadNumber(value, 3) || value > 365 || (julian && value < 1)) {
                return false;
            }
            rule.expressible = false;
        }
        if (Accept('/')) {
            if (!ReadTime(rule.seconds, 167)) {
                return false;
            }
        }
        if (rule.seconds < 0) {
            rule.expressible = false;
        }
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

std::optional<TimeZoneInformation> ZoneFromFile(const std::string& path) {
    const std::optional<std::string> footer = ReadTzifFooter(path);
    if (!footer) {
        return std::nullopt;
    }
    return ParsePosixTimeZone(*footer);
}

bool InDaylightWindow(TDateTime value, const TimeZoneInformation& zone, TDateTime year_source) {
    if (!HasDaylightRules(zone)) {
        return false;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    DecodeDate(year_source, year, month, day);
    if (year < 1 || year > 9999) {
        return false;
    }
    const TDateTime standard = DstChangeDate(static_cast<uint16_t>(year), zone.StandardDate);
    const TDateTime daylight = DstChangeDate(static_cast<uint16_t>(year), zone.DaylightDate);
    // A rule with day 0 yields a moment on day 0 rather than a date of this year; such a
    // pair keeps the plain window test.
    const bool both_dates = daylight >= 1.0 && standard >= 1.0;
    if (!both_dates || CompareDateTime(daylight, standard) <= 0) {
        return CompareDateTime(daylight, value) <= 0 && CompareDateTime(value, standard) <= 0;
    }
    // Southern-hemisphere zones: daylight time starts late in the year and runs over the
    // turn of the year, so it holds outside the interval between the two change moments.
    return CompareDateTime(daylight, value) <= 0 || CompareDateTime(value, standard) <= 0;
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
    const auto valid = [](const SystemTime& rule) { return rule.wMonth >= 1 && rule.wMonth <= 12; };
    return valid(zone.StandardDate) && valid(zone.DaylightDate);
}

std::optional<TimeZoneInformation> ParsePosixTimeZone(std::string_view rule) {
    return PosixRuleReader(rule).Read();
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

TDateTime UtcToLocal(TDateTime utc, const TimeConversionSettings& settings, const LogSink& log) {
    TDateTime result = 0;
    if (!settings.UTC_Auto) {
        const double offset = settings.UTC_Offset * 0.0416666666666666;
        result = utc + offset;
    } else {
        const TimeZoneInformation& zone = settings.TimeZoneInfo;
        const TDateTime standard_local = IncMinute(utc, -static_cast<int64_t>(zone.Bias));
        const bool daylight = InDaylightWindow(standard_local, zone, utc);
        result = IncMinute(standard_local,
                           -static_cast<int64_t>(daylight ? zone.DaylightBias : zone.StandardBias));
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
        const TimeZoneInformation& zone = settings.TimeZoneInfo;
        const TDateTime standard = IncMinute(local, static_cast<int64_t>(zone.Bias));
        const bool daylight = InDaylightWindow(local, zone, local);
        result = IncMinute(standard,
                           static_cast<int64_t>(daylight ? zone.DaylightBias : zone.StandardBias));
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
    lines.push_back(DateTimeText(DstChangeDate(2006, zone.StandardDate)));
    lines.push_back(DateTimeText(DstChangeDate(2006, zone.DaylightDate)));
    lines.push_back(RuleLine("StandardDate: %d  %02d-%02d-%04d  %d  %02d:%02d", zone.StandardDate));
    lines.push_back(RuleLine("DaylightDate: %d  %02d-%02d-%04d  %d  %02d:%02d", zone.DaylightDate));
    return lines;
}

}  // namespace tapir::platform
