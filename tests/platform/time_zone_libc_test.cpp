// The conversions against the C library's own reading of the same zones: localtime_r with
// TZ set to a zone file or to a POSIX rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/time_zone.h"

namespace tapir::platform {
namespace {

constexpr int kFirstYear = 2024;
constexpr int kLastYear = 2030;
constexpr int64_t kStepSeconds = 30 * 60;

// Sets TZ for the C library and puts the old value back afterwards.
class LibcZone {
  public:
    explicit LibcZone(const std::string& tz) {
        if (const char* old = std::getenv("TZ")) {
            saved_ = old;
        }
        ::setenv("TZ", tz.c_str(), 1);
        ::tzset();
    }
    ~LibcZone() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    LibcZone(const LibcZone&) = delete;
    LibcZone& operator=(const LibcZone&) = delete;

  private:
    std::optional<std::string> saved_;
};

int64_t YearStart(int year) { return DateTimeToUnix(EncodeDate(year, 1, 1)); }

// Seconds east of UTC at `t` as the C library sees it under the current TZ.
int64_t LibcOffset(int64_t t) {
    const time_t when = static_cast<time_t>(t);
    tm parts{};
    if (localtime_r(&when, &parts) == nullptr) {
        ADD_FAILURE() << "localtime_r failed at " << t;
        return 0;
    }
    return parts.tm_gmtoff;
}

struct YearResult {
    int mismatches = 0;
    std::string first_mismatch;
};

// Compares one year every 30 minutes; also checks that converting each local time back
// gives its moment, or for the second pass through a repeated hour the first pass.
YearResult CompareYear(int year, const TimeConversionSettings& settings) {
    YearResult result;
    for (int64_t t = YearStart(year); t < YearStart(year + 1); t += kStepSeconds) {
        const TDateTime utc = UnixToDateTime(t);
        const TDateTime local = UtcToLocal(utc, settings, nullptr);
        const int64_t ours = (DateTimeToMilliseconds(local) - DateTimeToMilliseconds(utc)) / 1000;
        const int64_t libc = LibcOffset(t);
        if (ours != libc) {
            if (result.mismatches++ == 0) {
                result.first_mismatch = DateTimeText(utc) + " UTC: ours " + std::to_string(ours) +
                                        " s, C library " + std::to_string(libc) + " s";
            }
            continue;
        }
        const TDateTime back = LocalToUtc(local, settings, nullptr);
        if (!SameMillisecond(back, utc)) {
            EXPECT_LT(CompareDateTime(back, utc), 0) << DateTimeText(local);
            EXPECT_TRUE(SameMillisecond(UtcToLocal(back, settings, nullptr), local))
                << DateTimeText(local);
        }
    }
    return result;
}

TimeConversionSettings AutomaticWith(const TimeZoneInformation& zone) {
    TimeConversionSettings settings;
    settings.UTC_Auto = true;
    settings.TimeZoneInfo = zone;
    return settings;
}

// A zone file holds the zone's history and its footer the rule from the last listed change
// on. A zone whose rule changed inside the years compared has whole years at the start
// where the footer does not describe what the C library reads from the history. So the
// comparison starts at the first year in which the footer and the C library agree at every
// step, and from there on every step of every year must agree. At least four whole years
// must be compared, so that a zone cannot pass by never agreeing.
TEST(TimeZoneAgainstLibc, ZoneFilesUnderTheirCurrentRule) {
    const char* const zones[] = {
        "Europe/Berlin",
        "Europe/London",
        "America/New_York",
        "America/Nuuk",
        "America/Santiago",
        "Africa/Cairo",
        "Asia/Jerusalem",
        "Australia/Sydney",
        "Pacific/Auckland",
        "Asia/Kolkata",
        "UTC",
        "Europe/Dublin",
        "Pacific/Chatham",
        "Australia/Lord_Howe",
        "Asia/Tehran",
        "America/Asuncion",
    };
    for (const char* name : zones) {
        SCOPED_TRACE(name);
        const std::string path = std::string("/usr/share/zoneinfo/") + name;
        const std::optional<std::string> footer = ReadTzifFooter(path);
        ASSERT_TRUE(footer.has_value()) << path << " missing (is tzdata installed?)";
        const std::optional<TimeZoneInformation> zone = ParsePosixTimeZone(*footer);
        ASSERT_TRUE(zone.has_value()) << *footer;
        const TimeConversionSettings settings = AutomaticWith(*zone);

        LibcZone libc(std::string(":") + path);
        std::optional<int> first_agreeing;
        for (int year = kFirstYear; year <= kLastYear; ++year) {
            const YearResult result = CompareYear(year, settings);
            if (!first_agreeing) {
                if (result.mismatches == 0) {
                    first_agreeing = year;
                }
                continue;
            }
            EXPECT_EQ(result.mismatches, 0)
                << *footer << " in " << year << ", first at " << result.first_mismatch;
        }
        ASSERT_TRUE(first_agreeing.has_value()) << *footer;
        EXPECT_LE(*first_agreeing, kLastYear - 3) << *footer;
    }
}

// Rules given directly, in every form the reader takes; the C library applies them to every
// year, so every step of every year must agree.
TEST(TimeZoneAgainstLibc, PosixRulesOfEveryForm) {
    const char* const rules[] = {
        "CET-1CEST,M3.5.0,M10.5.0/3",
        "XXX3YYY,J60/2,J300/2",             // Julian days without February 29
        "XXX3YYY,59/2,299/2",               // zero-based days with February 29
        "XXX-2YYY,J1/5,J365/20",            // first and last day of the year
        "<-02>2<-01>,M3.5.0/-1,M10.5.0/0",  // negative change time
        "IST-2IDT,M3.4.4/26,M10.5.0",       // Thursday plus 26 hours
        "EET-2EEST,M4.5.5/0,M10.5.4/24",
        "<-04>4<-03>,M9.1.6/24,M4.1.6/24",  // southern hemisphere, Saturday 24:00
        "AAA-10BBB,M10.1.0,M4.1.0/3",
        "AAA-10BBB-10:30,M10.1.0,M4.1.0/2:30",            // half-hour daylight step
        "XXX-3YYY,M3.5.4/-26,M10.1.6/100",                // far outside the day in both directions
        "XXX5YYY4:15:30,M3.2.3/1:02:03,M11.1.1/4:05:06",  // offsets with seconds
        "IST-1GMT0,M10.5.0,M3.5.0/1",                     // daylight offset below the standard one
        "<+0530>-5:30",
        "UTC0",
        "EST5EDT",  // daylight name without rules
    };
    for (const char* text : rules) {
        SCOPED_TRACE(text);
        const std::optional<TimeZoneInformation> zone = ParsePosixTimeZone(text);
        ASSERT_TRUE(zone.has_value());
        const TimeConversionSettings settings = AutomaticWith(*zone);
        LibcZone libc(text);
        for (int year = kFirstYear; year <= kLastYear; ++year) {
            const YearResult result = CompareYear(year, settings);
            EXPECT_EQ(result.mismatches, 0) << year << ", first at " << result.first_mismatch;
        }
    }
}

}  // namespace
}  // namespace tapir::platform
