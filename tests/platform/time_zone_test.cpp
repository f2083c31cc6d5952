#include "platform/time_zone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace tapir::platform {
namespace {

SystemTime Rule(uint16_t month, uint16_t day, uint16_t hour, uint16_t minute = 0,
                uint16_t second = 0) {
    SystemTime rule;
    rule.wMonth = month;
    rule.wDay = day;
    rule.wHour = hour;
    rule.wMinute = minute;
    rule.wSecond = second;
    return rule;
}

// One hour east of Greenwich, summer time from the last Sunday of March 02:00 to the last
// Sunday of October 03:00.
TimeZoneInformation CentralEurope() {
    TimeZoneInformation zone;
    zone.Bias = -60;
    zone.StandardBias = 0;
    zone.DaylightBias = -60;
    zone.DaylightDate = Rule(3, 5, 2);
    zone.StandardDate = Rule(10, 5, 3);
    return zone;
}

TDateTime At(int y, int mo, int d, int h, int mi) { return EncodeDateTime(y, mo, d, h, mi); }

class TimeZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFormatSettings();
        settings_.UTC_Auto = true;
        settings_.TimeZoneInfo = CentralEurope();
    }
    void TearDown() override { ResetFormatSettings(); }

    TDateTime ToLocal(TDateTime utc) {
        return UtcToLocal(utc, settings_,
                          [this](const std::string& line) { log_.push_back(line); });
    }
    TDateTime ToUtc(TDateTime local) {
        return LocalToUtc(local, settings_,
                          [this](const std::string& line) { log_.push_back(line); });
    }

    TimeConversionSettings settings_;
    std::vector<std::string> log_;
};

TEST_F(TimeZoneTest, ChangeDatesFor2006And2007) {
    const TimeZoneInformation zone = CentralEurope();
    EXPECT_EQ(DstChangeDate(2006, zone.DaylightDate), At(2006, 3, 26, 2, 0));
    EXPECT_EQ(DstChangeDate(2006, zone.StandardDate), At(2006, 10, 29, 3, 0));
    EXPECT_EQ(DstChangeDate(2007, zone.DaylightDate), At(2007, 3, 25, 2, 0));
    EXPECT_EQ(DstChangeDate(2007, zone.StandardDate), At(2007, 10, 28, 3, 0));
}

TEST_F(TimeZoneTest, ChangeDateOccurrencesAndTime) {
    // October 2006 starts on a Sunday: occurrences 1..5 are the 1st, 8th, 15th, 22nd, 29th.
    const int expected[] = {1, 8, 15, 22, 29};
    for (uint16_t occurrence = 1; occurrence <= 5; ++occurrence) {
        SCOPED_TRACE(occurrence);
        EXPECT_EQ(DstChangeDate(2006, Rule(10, occurrence, 1, 30, 15)),
                  EncodeDateTime(2006, 10, expected[occurrence - 1], 1, 30, 15));
    }
    // February 2009 has exactly four Sundays; "5" falls back to the fourth (22nd).
    EXPECT_EQ(DstChangeDate(2009, Rule(2, 5, 0)), EncodeDate(2009, 2, 22));
}

TEST_F(TimeZoneTest, DayFieldOutOfRangeGivesOnlyTheTime) {
    EXPECT_EQ(DstChangeDate(2006, Rule(3, 0, 2)), EncodeTime(2, 0, 0, 0));
    EXPECT_EQ(DstChangeDate(2006, Rule(3, 6, 2, 30)), EncodeTime(2, 30, 0, 0));
}

TEST_F(TimeZoneTest, MonthZeroGivesZeroPoint) {
    EXPECT_EQ(DstChangeDate(2006, Rule(0, 5, 2)), 0.0);
    EXPECT_EQ(DstChangeDate(2006, Rule(13, 1, 2)), 0.0);
}

TEST_F(TimeZoneTest, ManualOffset) {
    settings_.UTC_Auto = false;
    settings_.UTC_Offset = 1;
    const TDateTime local = ToLocal(At(2007, 1, 28, 16, 0));
    EXPECT_TRUE(SameMillisecond(local, At(2007, 1, 28, 17, 0)));
    EXPECT_EQ(local, At(2007, 1, 28, 16, 0) + 0.0416666666666666);
    EXPECT_TRUE(SameMillisecond(ToUtc(local), At(2007, 1, 28, 16, 0)));

    settings_.UTC_Offset = 0;
    EXPECT_EQ(ToLocal(At(2007, 1, 28, 16, 0)), At(2007, 1, 28, 16, 0));
    EXPECT_EQ(ToUtc(At(2007, 1, 28, 16, 0)), At(2007, 1, 28, 16, 0));
}

TEST_F(TimeZoneTest, SummerAndWinter) {
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 7, 1, 12, 0)), At(2006, 7, 1, 14, 0)));
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 12, 1, 12, 0)), At(2006, 12, 1, 13, 0)));
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 7, 1, 14, 0)), At(2006, 7, 1, 12, 0)));
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 12, 1, 13, 0)), At(2006, 12, 1, 12, 0)));
}

TEST_F(TimeZoneTest, BothSidesOfTheSpringChange) {
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 3, 26, 0, 59)), At(2006, 3, 26, 1, 59)));
    // 01:00 UTC + 60 minutes lands a hair below 02:00, which equals the change moment at
    // millisecond resolution and therefore already counts as daylight time.
    const TDateTime local = ToLocal(At(2006, 3, 26, 1, 0));
    EXPECT_TRUE(SameMillisecond(local, At(2006, 3, 26, 3, 0)));
    EXPECT_EQ(DateTimeText(local), "26-03-2006 03:00:00");
}

TEST_F(TimeZoneTest, BothSidesOfTheAutumnChange) {
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 10, 29, 2, 0)), At(2006, 10, 29, 4, 0)));
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 10, 29, 2, 1)), At(2006, 10, 29, 3, 1)));
}

TEST_F(TimeZoneTest, LocalToUtcTestsTheLocalInput) {
    // 02:30 local on the spring day lies inside the window (d <= local); 01:59 does not.
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 3, 26, 2, 30)), At(2006, 3, 26, 0, 30)));
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 3, 26, 1, 59)), At(2006, 3, 26, 0, 59)));
    // 03:00 on the autumn day is still daylight; 03:01 is standard time.
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 10, 29, 3, 0)), At(2006, 10, 29, 1, 0)));
    EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 10, 29, 3, 1)), At(2006, 10, 29, 2, 1)));
}

TEST_F(TimeZoneTest, RoundTripThroughTheYear) {
    for (TDateTime utc = At(2007, 1, 1, 0, 0); utc < At(2008, 1, 1, 0, 0); utc += 0.37) {
        const TDateTime local = ToLocal(utc);
        if (CompareDateTime(local, At(2007, 10, 28, 2, 0)) >= 0 &&
            CompareDateTime(local, At(2007, 10, 28, 4, 0)) < 0) {
            continue;  // the repeated autumn hour cannot map back uniquely
        }
        ASSERT_TRUE(SameMillisecond(ToUtc(local), utc)) << DateTimeText(utc);
    }
}

TEST_F(TimeZoneTest, ZoneSpanningTheTurnOfTheYearKeepsDaylightOverNewYear) {
    // Southern-hemisphere style rule: daylight from the first Sunday of October to the last
    // Sunday of March. Daylight time holds outside the March..October interval.
    settings_.TimeZoneInfo.Bias = -600;
    settings_.TimeZoneInfo.DaylightDate = Rule(10, 1, 2);
    settings_.TimeZoneInfo.StandardDate = Rule(3, 5, 3);
    struct Case {
        TDateTime utc;
        int offset_minutes;
    };
    for (const Case& c : {Case{At(2006, 1, 15, 0, 0), 660}, Case{At(2006, 7, 1, 0, 0), 600},
                          Case{At(2006, 12, 1, 0, 0), 660}}) {
        SCOPED_TRACE(DateTimeText(c.utc));
        const TDateTime local = ToLocal(c.utc);
        EXPECT_TRUE(SameMillisecond(local, IncMinute(c.utc, c.offset_minutes)))
            << DateTimeText(local);
        EXPECT_TRUE(SameMillisecond(ToUtc(local), c.utc));
    }
}

TEST_F(TimeZoneTest, DayFieldZeroInEitherRule) {
    // Daylight rule with day 0: its date is 1899-12-30, so only the standard date decides.
    settings_.TimeZoneInfo.DaylightDate = Rule(3, 0, 2);
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 1, 15, 12, 0)), At(2006, 1, 15, 14, 0)));
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 11, 15, 12, 0)), At(2006, 11, 15, 13, 0)));
    // Standard rule with day 0: nothing passes the upper bound, standard bias all year.
    settings_.TimeZoneInfo = CentralEurope();
    settings_.TimeZoneInfo.StandardDate = Rule(10, 0, 3);
    EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 7, 1, 12, 0)), At(2006, 7, 1, 13, 0)));
}

TEST_F(TimeZoneTest, MonthZeroAppliesStandardBiasAllYear) {
    TimeZoneInformation zone;
    zone.Bias = -180;
    zone.StandardBias = 0;
    zone.DaylightBias = -60;  // present but without rules: never used
    settings_.TimeZoneInfo = zone;
    for (const TDateTime utc : {At(2006, 1, 15, 0, 0), At(2006, 7, 1, 12, 0)}) {
        SCOPED_TRACE(DateTimeText(utc));
        EXPECT_TRUE(SameMillisecond(ToLocal(utc), IncMinute(utc, 180)));
        EXPECT_TRUE(SameMillisecond(ToUtc(IncMinute(utc, 180)), utc));
    }
    EXPECT_FALSE(HasDaylightRules(zone));
    // Start-up still writes its seven lines; a change date without a month is the zero point.
    const std::vector<std::string> lines = TimeZoneStartupLines(zone);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "TimeZoneInformation.Bias: -180");
    EXPECT_EQ(lines[3], "00:00:00");
    EXPECT_EQ(lines[4], "00:00:00");
    EXPECT_EQ(lines[5], "StandardDate: 0  00-00-0000  0  00:00");
}

TEST_F(TimeZoneTest, OneLogLinePerConversion) {
    ToLocal(At(2006, 7, 1, 12, 0));
    ToUtc(At(2006, 12, 1, 13, 0));
    ToLocal(EncodeDate(2006, 12, 1));
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_EQ(log_[0], "UTC2Local-> UTC:01-07-2006 12:00:00  Local: 01-07-2006 14:00:00");
    EXPECT_EQ(log_[1], "Local2UTC-> Local:01-12-2006 13:00:00  UTC: 01-12-2006 12:00:00");
    EXPECT_EQ(log_[2], "UTC2Local-> UTC:01-12-2006  Local: 01-12-2006 01:00:00");
    // An empty sink is allowed.
    EXPECT_NO_THROW(UtcToLocal(1.0, settings_, nullptr));
}

TEST_F(TimeZoneTest, StartupLines) {
    TimeZoneInformation zone = CentralEurope();
    zone.DaylightDate.wYear = 0;
    zone.StandardDate.wDayOfWeek = 0;
    const std::vector<std::string> expected = {
        "TimeZoneInformation.Bias: -60",
        "TimeZoneInformation.StandardBias: 0",
        "TimeZoneInformation.DaylightBias: -60",
        "29-10-2006 03:00:00",
        "26-03-2006 02:00:00",
        "StandardDate: 0  05-10-0000  0  03:00",
        "DaylightDate: 0  05-03-0000  0  02:00",
    };
    EXPECT_EQ(TimeZoneStartupLines(zone), expected);
}

// ---- POSIX rules and the system record ----

TEST(PosixTimeZone, ParsesRules) {
    struct Case {
        const char* text;
        int32_t bias;
        int32_t daylight_bias;
        SystemTime daylight;
        SystemTime standard;
    };
    SystemTime us_start = Rule(3, 2, 2);
    SystemTime us_end = Rule(11, 1, 2);
    SystemTime eu_start = Rule(3, 5, 2);
    SystemTime eu_end = Rule(10, 5, 3);
    SystemTime au_start = Rule(10, 1, 2);
    SystemTime au_end = Rule(4, 1, 3);
    SystemTime uk_start = Rule(3, 5, 1);
    SystemTime uk_end = Rule(10, 5, 2);
    SystemTime odd_start = Rule(3, 4, 26);
    odd_start.wDayOfWeek = 4;
    SystemTime none;
    const Case cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", -60, -60, eu_start, eu_end},
        {"EST5EDT,M3.2.0,M11.1.0", 300, -60, us_start, us_end},
        {"EST5EDT", 300, -60, us_start, us_end},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", -600, -60, au_start, au_end},
        {"GMT0BST,M3.5.0/1,M10.5.0", 0, -60, uk_start, uk_end},
        {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", -630, -30, au_start, Rule(4, 1, 2)},
        {"IST-2IDT,M3.4.4/26,M10.5.0", -120, -60, odd_start, Rule(10, 5, 2)},
        {"UTC0", 0, 0, none, none},
        {"<+03>-3", -180, 0, none, none},
        {"NST3:30NDT,M3.2.0,M11.1.0", 210, -60, us_start, us_end},
        // Julian-day rules cannot be held by the record: standard offset only.
        {"XXX3YYY,J60/2,J300/2", 180, 0, none, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<TimeZoneInformation> zone = ParsePosixTimeZone(c.text);
        ASSERT_TRUE(zone.has_value());
        EXPECT_EQ(zone->Bias, c.bias);
        EXPECT_EQ(zone->StandardBias, 0);
        EXPECT_EQ(zone->DaylightBias, c.daylight_bias);
        EXPECT_EQ(zone->DaylightDate, c.daylight);
        EXPECT_EQ(zone->StandardDate, c.standard);
    }
}

TEST(PosixTimeZone, RejectsMalformedRules) {
    for (const char* text : {"", "C-1", "CET", "CET-1CEST,M3.5.0", "CET-1CEST,M13.5.0,M10.5.0",
                             "CET-1CEST,M3.6.0,M10.5.0", "CET-1CEST,M3.5.7,M10.5.0", "CET-1x",
                             "<+03-3", "CET-25", "CET-1CEST,M3.5.0,M10.5.0/3 "}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ParsePosixTimeZone(text).has_value());
    }
}

TEST(PosixTimeZone, RuleTimeBeyondADayRunsIntoTheNextDays) {
    const std::optional<TimeZoneInformation> zone =
        ParsePosixTimeZone("IST-2IDT,M3.4.4/26,M10.5.0");
    ASSERT_TRUE(zone.has_value());
    // Fourth Sunday of March 2006 (26th) plus 26 hours.
    EXPECT_EQ(DstChangeDate(2006, zone->DaylightDate), EncodeDateTime(2006, 3, 27, 2, 0));
}

class ScopedTz {
public:
    explicit ScopedTz(const char* value) {
        if (const char* old = std::getenv("TZ")) {
            saved_ = old;
        }
        if (value) {
            ::setenv("TZ", value, 1);
        } else {
            ::unsetenv("TZ");
        }
    }
    ~ScopedTz() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
    }

private:
    std::optional<std::string> saved_;
};

std::filesystem::path WriteTzif(const std::string& name, char version, const std::string& footer) {
    const auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream out(path, std::ios::binary);
    std::string header = "TZif";
    header += version;
    header.append(15, '\0');
    header.append(24, '\0');  // six zero counts
    out << header;
    if (version >= '2') {
        out << header << "\n" << footer << "\n";
    }
    return path;
}

TEST(SystemTimeZone, ReadsTzifFooter) {
    const auto v2 = WriteTzif("tapir_tz_v2", '2', "CET-1CEST,M3.5.0,M10.5.0/3");
    const auto v1 = WriteTzif("tapir_tz_v1", '\0', "");
    EXPECT_EQ(ReadTzifFooter(v2.string()), "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_FALSE(ReadTzifFooter(v1.string()).has_value());
    EXPECT_FALSE(ReadTzifFooter("/nonexistent/tapir/zone").has_value());
    {
        ScopedTz tz((":" + v2.string()).c_str());
        const TimeZoneInformation zone = ReadSystemTimeZone();
        EXPECT_EQ(zone.Bias, -60);
        EXPECT_EQ(zone.StandardDate, Rule(10, 5, 3));
    }
    std::filesystem::remove(v2);
    std::filesystem::remove(v1);
}

TEST(SystemTimeZone, FromEnvironment) {
    {
        ScopedTz tz("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(ReadSystemTimeZone().Bias, 300);
    }
    {
        ScopedTz tz("");
        EXPECT_EQ(ReadSystemTimeZone(), TimeZoneInformation{});
    }
    for (const char* unusable : {"no such zone", ":/tmp", "../../etc/passwd", ":/etc/passwd"}) {
        SCOPED_TRACE(unusable);
        ScopedTz tz(unusable);
        EXPECT_EQ(ReadSystemTimeZone(), TimeZoneInformation{});
    }
    if (std::filesystem::exists("/usr/share/zoneinfo/Europe/Amsterdam")) {
        ScopedTz tz("Europe/Amsterdam");
        const TimeZoneInformation zone = ReadSystemTimeZone();
        EXPECT_EQ(zone.Bias, -60);
        EXPECT_EQ(zone.DaylightBias, -60);
        EXPECT_EQ(zone.DaylightDate, Rule(3, 5, 2));
        EXPECT_EQ(zone.StandardDate, Rule(10, 5, 3));
    }
}

TEST(SystemTimeZone, MachineLocaltimeFooterParses) {
    const std::optional<std::string> footer = ReadTzifFooter("/etc/localtime");
    if (!footer) {
        GTEST_SKIP() << "/etc/localtime is absent or has no TZif v2+ footer";
    }
    const std::optional<TimeZoneInformation> zone = ParsePosixTimeZone(*footer);
    ASSERT_TRUE(zone.has_value()) << *footer;
    ScopedTz tz(nullptr);
    EXPECT_EQ(ReadSystemTimeZone(), *zone);
}

}  // namespace
}  // namespace tapir::platform
