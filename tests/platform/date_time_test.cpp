#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/clock.h"
#include "platform/exception.h"

namespace tapir::platform {
namespace {

class DateTimeTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetFormatSettings(); }
    void TearDown() override { ResetFormatSettings(); }
};

TEST_F(DateTimeTest, EncodesKnownDayNumbers) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
    EXPECT_EQ(EncodeDate(2000, 3, 1), 36586.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_EQ(EncodeDateTime(2006, 3, 26, 2, 0), 38802.0 + 2.0 / 24);
}

TEST_F(DateTimeTest, RejectsImpossibleDatesAndTimes) {
    TDateTime out = 7;
    EXPECT_FALSE(TryEncodeDate(2007, 2, 29, out));
    EXPECT_TRUE(TryEncodeDate(2008, 2, 29, out));
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, out));
    EXPECT_TRUE(TryEncodeDate(2000, 2, 29, out));
    EXPECT_FALSE(TryEncodeDate(2006, 13, 1, out));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, out));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, out));
    EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, out));
    try {
        EncodeDate(2006, 4, 31);
        FAIL() << "no error";
    } catch (const tapir::Exception& e) {
        EXPECT_EQ(e.KindName(), "EConvertError");
    }
}

TEST_F(DateTimeTest, DecodeRoundsToTheMillisecond) {
    const TDateTime value = EncodeDateTime(2024, 2, 29, 23, 59, 59, 999);
    DateTimeParts parts = DecodeDateTime(value);
    EXPECT_EQ(parts.year, 2024);
    EXPECT_EQ(parts.month, 2);
    EXPECT_EQ(parts.day, 29);
    EXPECT_EQ(parts.hour, 23);
    EXPECT_EQ(parts.minute, 59);
    EXPECT_EQ(parts.second, 59);
    EXPECT_EQ(parts.ms, 999);

    // A hair below midnight is midnight of the next day, not 23:59:59.999.
    parts = DecodeDateTime(EncodeDate(2024, 3, 1) - 1e-10);
    EXPECT_EQ(parts.month, 3);
    EXPECT_EQ(parts.day, 1);
    EXPECT_EQ(parts.hour, 0);
    EXPECT_EQ(parts.ms, 0);
}

TEST_F(DateTimeTest, DecodesEveryDayOfFourHundredYearsBack) {
    // Walk 1900..2299 day by day and check the calendar decode against a simple counter.
    int year = 1900;
    int month = 1;
    int day = 1;
    for (TDateTime d = EncodeDate(1900, 1, 1); d < EncodeDate(2300, 1, 1); d += 1) {
        int y = 0;
        int m = 0;
        int dd = 0;
        DecodeDate(d, y, m, dd);
        ASSERT_EQ(y, year);
        ASSERT_EQ(m, month);
        ASSERT_EQ(dd, day);
        if (++day > DaysInMonth(year, month)) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
}

TEST_F(DateTimeTest, DayOfWeekStartsOnSunday) {
    EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);  // Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(2006, 10, 1)), 1);   // Sunday
    EXPECT_EQ(DayOfWeek(EncodeDateTime(2006, 3, 27, 23, 0)), 2);
    EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 24)), 1);
}

TEST_F(DateTimeTest, MinuteStepsUseExtendedPrecision) {
    const TDateTime utc = EncodeDateTime(2006, 3, 26, 1, 0);
    const TDateTime stepped = IncMinute(utc, 60);
    // The step lands a hair below 02:00, within the same millisecond.
    EXPECT_LT(stepped, EncodeDateTime(2006, 3, 26, 2, 0));
    EXPECT_TRUE(SameMillisecond(stepped, EncodeDateTime(2006, 3, 26, 2, 0)));
    const long double expected = (static_cast<long double>(utc) * 1440 + 60) / 1440;
    EXPECT_EQ(stepped, static_cast<double>(expected));
    EXPECT_EQ(IncHour(0.0, 36), 1.5);
    EXPECT_EQ(IncSecond(1.0, -43200), 0.5);
    EXPECT_TRUE(SameMillisecond(IncMinute(IncMinute(utc, 90), -90), utc));
}

TEST_F(DateTimeTest, UnixSecondsRoundTrip) {
    EXPECT_EQ(UnixToDateTime(0), 25569.0);
    EXPECT_EQ(UnixToDateTime(86400), 25570.0);
    for (const int64_t seconds : {int64_t{0}, int64_t{1}, int64_t{1159487999}, int64_t{1700000001},
                                  int64_t{4102444799}, int64_t{-1}}) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(DateTimeToUnix(UnixToDateTime(seconds)), seconds);
    }
    // Nearest second, not truncation.
    EXPECT_EQ(DateTimeToUnix(UnixToDateTime(100) - 1e-9), 100);
}

TEST_F(DateTimeTest, ValuesBeyondTheCalendarAreSafe) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Not finite or far beyond any year: decoded and formatted as the zero point.
    for (const double value : {1e300, -1e300, 1e11, -1e11, 9.3e18, kInf, -kInf, nan}) {
        SCOPED_TRACE(value);
        const DateTimeParts parts = DecodeDateTime(value);
        EXPECT_EQ(parts.year, 1899);
        EXPECT_EQ(parts.month, 12);
        EXPECT_EQ(parts.day, 30);
        EXPECT_EQ(DayOfWeek(value), 7);
        EXPECT_EQ(DateTimeText(value), "00:00:00");
        EXPECT_EQ(FormatDateTime("dd-mm-yyyy hh:nn ddd", value), "30-12-1899 00:00 Sat");
    }
    // Just inside that reach the calendar still runs (about 273 million years on).
    EXPECT_GT(DecodeDateTime(9.9e10).year, 270'000'000);
    // Conversions to integers saturate instead of overflowing.
    EXPECT_EQ(DateTimeToMilliseconds(1e300), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(DateTimeToMilliseconds(-kInf), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(DateTimeToMilliseconds(nan), 0);
    EXPECT_EQ(DateTimeToUnix(1e300), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(DateTimeToUnix(-1e300), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(CompareDateTime(1e300, EncodeDate(9999, 12, 31)), 1);
    EXPECT_EQ(CompareDateTime(-1e300, 0.0), -1);
}

TEST_F(DateTimeTest, ComparesAtMillisecondResolution) {
    const TDateTime a = EncodeDateTime(2006, 10, 29, 3, 0);
    EXPECT_EQ(CompareDateTime(a, a - 1e-10), 0);
    EXPECT_EQ(CompareDateTime(a, a + 2.0 / kMsPerDay), -1);
    EXPECT_EQ(CompareDateTime(a + 2.0 / kMsPerDay, a), 1);
    EXPECT_EQ(MillisecondsToDateTime(DateTimeToMilliseconds(a)), a);
}

TEST_F(DateTimeTest, FormatsTimerColumnText) {
    const TDateTime value = EncodeDateTime(2007, 1, 28, 16, 5, 9, 42);
    EXPECT_EQ(FormatDateTime("ddd dd-mm-yy  hh:nn", value), "Sun 28-01-07  16:05");
    EXPECT_EQ(FormatDateTime("d/m/yyyy h:n:s.zzz", value), "28-1-2007 16:5:9.042");
    EXPECT_EQ(FormatDateTime("dddd mmmm mmm 'mm' \"yy\"", value), "Sunday January Jan mm yy");
    EXPECT_EQ(FormatDateTime("hh:mm", value), "16:05");  // mm after hh is minutes
    EXPECT_EQ(FormatDateTime("h:nn am/pm", value), "4:05 pm");
    EXPECT_EQ(FormatDateTime("h:nn AM/PM", EncodeTime(0, 30, 0, 0)), "12:30 AM");
    EXPECT_EQ(FormatDateTime("ddddd t", value), "28-01-2007 16:05");
    EXPECT_EQ(FormatDateTime("c", value), "28-01-2007 16:05:09");
    EXPECT_EQ(FormatDateTime("c", EncodeDate(2007, 1, 28)), "28-01-2007");
}

TEST_F(DateTimeTest, FormatFollowsProcessWideSettings) {
    SetShortDayNames({"Zo", "Ma", "Di", "Wo", "Do", "Vr", "Za"});
    SetDateSeparator('.');
    SetShortDateFormat("yyyy/mm/dd");
    SetLongTimeFormat("hh.nn.ss");
    const TDateTime value = EncodeDateTime(2006, 3, 27, 8, 0);
    EXPECT_EQ(FormatDateTime("ddd", value), "Ma");
    EXPECT_EQ(ShortDayNames()[1], "Ma");
    EXPECT_EQ(DateToStr(value), "2006.03.27");
    EXPECT_EQ(TimeToStr(value), "08.00.00");
}

TEST_F(DateTimeTest, DateTimeTextChoosesDateTimeOrBoth) {
    struct Case {
        TDateTime value;
        const char* text;
    };
    const Case cases[] = {
        {EncodeDate(2006, 3, 26), "26-03-2006"},
        {EncodeDateTime(2006, 3, 26, 2, 0), "26-03-2006 02:00:00"},
        {EncodeTime(3, 0, 0, 0), "03:00:00"},
        {0.0, "00:00:00"},
        {1.0, "31-12-1899"},
        {EncodeDate(2006, 3, 26) - 1e-10, "26-03-2006"},  // midnight within a millisecond
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(DateTimeText(c.value), c.text);
    }
}

TEST_F(DateTimeTest, ParsesPickerText) {
    TDateTime out = 0;
    ASSERT_TRUE(TryParseDateTime("Sun 28-01-07  16:05", "ddd dd-mm-yy  hh:nn", out));
    EXPECT_EQ(out, EncodeDateTime(2007, 1, 28, 16, 5));
    ASSERT_TRUE(TryParseDateTime("01-02-49 0:00", "dd-mm-yy hh:nn", out));
    EXPECT_EQ(out, EncodeDate(2049, 2, 1));
    ASSERT_TRUE(TryParseDateTime("01-02-50 0:00", "dd-mm-yy hh:nn", out));
    EXPECT_EQ(out, EncodeDate(1950, 2, 1));
    ASSERT_TRUE(TryParseDateTime("28-01-2007 16:05", "dd-mm-yy hh:nn", out));
    EXPECT_EQ(out, EncodeDateTime(2007, 1, 28, 16, 5));
    ASSERT_TRUE(TryParseDateTime("5-3-2006", "dd/mm/yyyy", out));
    EXPECT_EQ(out, EncodeDate(2006, 3, 5));
    ASSERT_TRUE(TryParseDateTime("02:00:05", "hh:nn:ss", out));
    EXPECT_EQ(out, EncodeTime(2, 0, 5, 0));

    const TDateTime before = 123.0;
    out = before;
    for (const char* bad : {"31-02-07 10:00", "28-01-07 24:00", "28-01-07 10:60", "28-01-07",
                            "28-01-07 10:00x", "28/01/07 10:00", "", "aa-01-07 10:00"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(TryParseDateTime(bad, "dd-mm-yy hh:nn", out));
        EXPECT_EQ(out, before);
    }
}

TEST(Clock, PinnedReadingAndRealClock) {
    const TDateTime real_before = Now();
    {
        ScopedClockPin pin(EncodeDateTime(2006, 7, 1, 12, 0));
        EXPECT_EQ(Now(), EncodeDateTime(2006, 7, 1, 12, 0));
        pin.Set(3.25);
        EXPECT_EQ(Now(), 3.25);
    }
    // Back on the machine's clock: a plausible present, not the pinned values.
    const TDateTime real_after = Now();
    EXPECT_GE(real_after, real_before);
    EXPECT_GT(real_after, EncodeDate(2020, 1, 1));
    int counter = 0;
    SetClockForTesting([&counter] { return static_cast<TDateTime>(++counter); });
    EXPECT_EQ(Now(), 1.0);
    EXPECT_EQ(Now(), 2.0);
    ResetClockForTesting();
    EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
}

}  // namespace
}  // namespace tapir::platform
