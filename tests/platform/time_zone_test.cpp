#include "platform/time_zone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <utility>
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
    // Daylight time ends at 03:00 daylight time = 01:00 UTC; from then on 02:00..02:59
    // standard time follows, the second pass through that hour.
    struct Case {
        TDateTime utc;
        TDateTime local;
    };
    for (const Case& c : {Case{At(2006, 10, 29, 0, 0), At(2006, 10, 29, 2, 0)},
                          Case{At(2006, 10, 29, 0, 59), At(2006, 10, 29, 2, 59)},
                          Case{At(2006, 10, 29, 1, 0), At(2006, 10, 29, 2, 0)},
                          Case{At(2006, 10, 29, 1, 30), At(2006, 10, 29, 2, 30)},
                          Case{At(2006, 10, 29, 1, 59), At(2006, 10, 29, 2, 59)},
                          Case{At(2006, 10, 29, 2, 0), At(2006, 10, 29, 3, 0)},
                          Case{At(2006, 10, 29, 2, 1), At(2006, 10, 29, 3, 1)}}) {
        SCOPED_TRACE(DateTimeText(c.utc));
        EXPECT_TRUE(SameMillisecond(ToLocal(c.utc), c.local)) << DateTimeText(ToLocal(c.utc));
    }
}

TEST_F(TimeZoneTest, LocalToUtcOnChangeNights) {
    struct Case {
        TDateTime local;
        TDateTime utc;
    };
    for (const Case& c : {
             // Spring: 02:00..02:59 does not exist and is read as standard time.
             Case{At(2006, 3, 26, 1, 59), At(2006, 3, 26, 0, 59)},
             Case{At(2006, 3, 26, 2, 0), At(2006, 3, 26, 1, 0)},
             Case{At(2006, 3, 26, 2, 30), At(2006, 3, 26, 1, 30)},
             Case{At(2006, 3, 26, 3, 0), At(2006, 3, 26, 1, 0)},
             Case{At(2006, 3, 26, 3, 1), At(2006, 3, 26, 1, 1)},
             // Autumn: 02:00..02:59 occurs twice; the first pass (daylight time) is taken.
             Case{At(2006, 10, 29, 1, 59), At(2006, 10, 28, 23, 59)},
             Case{At(2006, 10, 29, 2, 0), At(2006, 10, 29, 0, 0)},
             Case{At(2006, 10, 29, 2, 30), At(2006, 10, 29, 0, 30)},
             Case{At(2006, 10, 29, 2, 59), At(2006, 10, 29, 0, 59)},
             Case{At(2006, 10, 29, 3, 0), At(2006, 10, 29, 2, 0)},
             Case{At(2006, 10, 29, 3, 1), At(2006, 10, 29, 2, 1)},
         }) {
        SCOPED_TRACE(DateTimeText(c.local));
        EXPECT_TRUE(SameMillisecond(ToUtc(c.local), c.utc)) << DateTimeText(ToUtc(c.local));
    }
    // A skipped time shown again comes out an hour later.
    EXPECT_TRUE(SameMillisecond(ToLocal(ToUtc(At(2006, 3, 26, 2, 30))), At(2006, 3, 26, 3, 30)));
}

TEST_F(TimeZoneTest, RoundTripThroughTheYear) {
    for (TDateTime utc = At(2007, 1, 1, 0, 0); utc < At(2008, 1, 1, 0, 0); utc += 0.37) {
        const TDateTime local = ToLocal(utc);
        const bool second_pass = CompareDateTime(utc, At(2007, 10, 28, 1, 0)) >= 0 &&
                                 CompareDateTime(utc, At(2007, 10, 28, 2, 0)) < 0;
        // The second pass through the repeated hour maps back to the first.
        const TDateTime expected = second_pass ? IncMinute(utc, -60) : utc;
        ASSERT_TRUE(SameMillisecond(ToUtc(local), expected)) << DateTimeText(utc);
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

TEST_F(TimeZoneTest, DayFieldOutOfRangeMeansNoDaylightTime) {
    // A change rule without a day in 1..5 names no moment: standard bias all year.
    for (const uint16_t day : {0, 6}) {
        SCOPED_TRACE(day);
        settings_.TimeZoneInfo = CentralEurope();
        settings_.TimeZoneInfo.DaylightDate = Rule(3, day, 2);
        EXPECT_FALSE(HasDaylightRules(settings_.TimeZoneInfo));
        EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 7, 1, 12, 0)), At(2006, 7, 1, 13, 0)));
        settings_.TimeZoneInfo = CentralEurope();
        settings_.TimeZoneInfo.StandardDate = Rule(10, day, 3);
        EXPECT_TRUE(SameMillisecond(ToLocal(At(2006, 7, 1, 12, 0)), At(2006, 7, 1, 13, 0)));
        EXPECT_TRUE(SameMillisecond(ToUtc(At(2006, 7, 1, 13, 0)), At(2006, 7, 1, 12, 0)));
    }
}

TEST_F(TimeZoneTest, ValuesOutsideTheRuleYearsTakeTheStandardOffset) {
    for (const TDateTime value :
         {0.5, -700000.0, EncodeDateTime(9999, 6, 1, 12, 0), 1e300, -1e300,
          std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(value);
        const TDateTime local = ToLocal(value);
        const TDateTime utc = ToUtc(value);
        if (std::isfinite(value) && std::fabs(value) < 1e6) {
            EXPECT_TRUE(SameMillisecond(local, IncMinute(value, 60)));
            EXPECT_TRUE(SameMillisecond(utc, IncMinute(value, -60)));
        }
    }
    // Summer of the first and last years the rules are evaluated for.
    EXPECT_TRUE(SameMillisecond(ToLocal(At(1900, 7, 1, 12, 0)), At(1900, 7, 1, 14, 0)));
    EXPECT_TRUE(SameMillisecond(ToLocal(At(9998, 7, 1, 12, 0)), At(9998, 7, 1, 14, 0)));
    // West of Greenwich the last evening of 9998 is already 9999 in UTC.
    settings_.TimeZoneInfo = *ParsePosixTimeZone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_TRUE(SameMillisecond(ToUtc(At(9998, 12, 31, 23, 30)), At(9999, 1, 1, 4, 30)));
    EXPECT_TRUE(SameMillisecond(ToLocal(At(9998, 12, 31, 23, 30)), At(9998, 12, 31, 18, 30)));
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

TEST(TimeZoneStartup, ChangeDatesComeFromTheFullRule) {
    struct Case {
        const char* rule;
        const char* standard;
        const char* daylight;
    };
    for (const Case& c : {
             Case{"CET-1CEST,M3.5.0,M10.5.0/3", "29-10-2006 03:00:00", "26-03-2006 02:00:00"},
             // Fourth Thursday of March (23rd) plus 26 hours, not a Sunday.
             Case{"IST-2IDT,M3.4.4/26,M10.5.0", "29-10-2006 02:00:00", "24-03-2006 02:00:00"},
             // Negative time: the evening before the last Sunday of March.
             Case{"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", "29-10-2006", "25-03-2006 23:00:00"},
             Case{"XXX3YYY,J60/2,J300/2", "27-10-2006 02:00:00", "01-03-2006 02:00:00"},
             Case{"<+0530>-5:30", "00:00:00", "00:00:00"},
         }) {
        SCOPED_TRACE(c.rule);
        ResetFormatSettings();
        const std::vector<std::string> lines = TimeZoneStartupLines(*ParsePosixTimeZone(c.rule));
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[3], c.standard);
        EXPECT_EQ(lines[4], c.daylight);
    }
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
        // Rules the record's fields cannot hold leave its dates empty (the rule keeps them).
        {"XXX3YYY,J60/2,J300/2", 180, -60, none, none},
        {"XXX3YYY,60/2,300/2", 180, -60, none, none},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 120, -60, none, none},
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
        ASSERT_TRUE(zone->Rule.has_value());
        EXPECT_EQ(zone->Rule->std_offset, -c.bias * 60);
        EXPECT_EQ(zone->Rule->dst_offset, -(c.bias + c.daylight_bias) * 60);
    }
}

TEST(PosixTimeZone, KeepsTheWholeRule) {
    using enum ChangeDayForm;
    struct Case {
        const char* text;
        ZoneRule rule;
    };
    const Case cases[] = {
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0",
         {-7200, -3600, true, {MonthWeekDay, 3, 5, 0, 0, -3600}, {MonthWeekDay, 10, 5, 0, 0, 0}}},
        {"XXX3YYY,J60/2,59/-2:30",
         {-10800,
          -7200,
          true,
          {JulianNoLeap, 0, 0, 0, 60, 7200},
          {JulianZero, 0, 0, 0, 59, -9000}}},
        {"<-04>4<-03>,M9.1.6/24,M4.1.6/167",
         {-14400,
          -10800,
          true,
          {MonthWeekDay, 9, 1, 6, 0, 86400},
          {MonthWeekDay, 4, 1, 6, 0, 167 * 3600}}},
        {"EST5EDT",
         {-18000,
          -14400,
          true,
          {MonthWeekDay, 3, 2, 0, 0, 7200},
          {MonthWeekDay, 11, 1, 0, 0, 7200}}},
        {"XXX-5:30:15", {19815, 19815, false, {}, {}}},
        {"IST-1GMT0,M10.5.0,M3.5.0/1",
         {3600, 0, true, {MonthWeekDay, 10, 5, 0, 0, 7200}, {MonthWeekDay, 3, 5, 0, 0, 3600}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<TimeZoneInformation> zone = ParsePosixTimeZone(c.text);
        ASSERT_TRUE(zone.has_value());
        ASSERT_TRUE(zone->Rule.has_value());
        EXPECT_EQ(*zone->Rule, c.rule);
        EXPECT_EQ(HasDaylightRules(*zone), c.rule.has_daylight);
    }
}

TEST(PosixTimeZone, ChangeDatesOfEveryForm) {
    using enum ChangeDayForm;
    struct Case {
        int year;
        ZoneChange change;
        TDateTime expected;
    };
    const Case cases[] = {
        // Fourth Thursday of March 2024 (28th) plus 26 hours.
        {2024, {MonthWeekDay, 3, 4, 4, 0, 26 * 3600}, EncodeDateTime(2024, 3, 29, 2, 0)},
        // Last Sunday of March 2024 (31st), one hour before midnight.
        {2024, {MonthWeekDay, 3, 5, 0, 0, -3600}, EncodeDateTime(2024, 3, 30, 23, 0)},
        // Last Thursday of February: the 29th in 2024, the 23rd in 2023.
        {2024, {MonthWeekDay, 2, 5, 4, 0, 0}, EncodeDate(2024, 2, 29)},
        {2023, {MonthWeekDay, 2, 5, 4, 0, 0}, EncodeDate(2023, 2, 23)},
        // First Saturday of September 2024 (7th) at 24:00.
        {2024, {MonthWeekDay, 9, 1, 6, 0, 86400}, EncodeDate(2024, 9, 8)},
        // "Jn" never counts February 29; "n" does.
        {2024, {JulianNoLeap, 0, 0, 0, 60, 0}, EncodeDate(2024, 3, 1)},
        {2023, {JulianNoLeap, 0, 0, 0, 60, 0}, EncodeDate(2023, 3, 1)},
        {2024, {JulianNoLeap, 0, 0, 0, 365, 0}, EncodeDate(2024, 12, 31)},
        {2024, {JulianZero, 0, 0, 0, 59, 0}, EncodeDate(2024, 2, 29)},
        {2023, {JulianZero, 0, 0, 0, 59, 0}, EncodeDate(2023, 3, 1)},
        {2023, {JulianZero, 0, 0, 0, 365, 0}, EncodeDate(2024, 1, 1)},
        {2024, {JulianZero, 0, 0, 0, 0, -7200}, EncodeDateTime(2023, 12, 31, 22, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DateTimeText(c.expected));
        const std::optional<TDateTime> date = ZoneChangeDate(c.year, c.change);
        ASSERT_TRUE(date.has_value());
        EXPECT_TRUE(SameMillisecond(*date, c.expected)) << DateTimeText(*date);
    }
    for (const auto& [year, change] : {std::pair{0, ZoneChange{MonthWeekDay, 3, 5, 0, 0, 0}},
                                       std::pair{10000, ZoneChange{MonthWeekDay, 3, 5, 0, 0, 0}},
                                       std::pair{2024, ZoneChange{MonthWeekDay, 13, 5, 0, 0, 0}},
                                       std::pair{2024, ZoneChange{MonthWeekDay, 3, 0, 0, 0, 0}},
                                       std::pair{2024, ZoneChange{MonthWeekDay, 3, 5, 7, 0, 0}},
                                       std::pair{2024, ZoneChange{JulianNoLeap, 0, 0, 0, 0, 0}},
                                       std::pair{2024, ZoneChange{JulianZero, 0, 0, 0, 366, 0}}}) {
        EXPECT_FALSE(ZoneChangeDate(year, change).has_value()) << year;
    }
}

TEST(PosixTimeZone, RejectsMalformedRules) {
    for (const char* text :
         {"", "C-1", "CET", "CET-1CEST,M3.5.0", "CET-1CEST,M13.5.0,M10.5.0",
          "CET-1CEST,M3.6.0,M10.5.0", "CET-1CEST,M3.5.7,M10.5.0", "CET-1x", "<+03-3", "CET-25",
          "CET-1CEST,M3.5.0,M10.5.0/3 ", "XXX3YYY,J0,J300", "XXX3YYY,366,300", "XXX3YYY,J60,J366",
          "CET-1CEST,M3.5.0/168,M10.5.0", "CET-1CEST,M3.5.0,M10.5.0/-168",
          "CET-1CEST,M3.5.0/,M10.5.0", "CET-1CEST,M3.5,M10.5.0", "<AB>3"}) {
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
