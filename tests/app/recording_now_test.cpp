// Which timer records at a given moment: single timers, repeating timers on their days
// (also across midnight), and timers that record nothing.

#include "app/recording_now.h"

#include <gtest/gtest.h>

#include "platform/date_time.h"

namespace tapir::app {
namespace {

using platform::EncodeDateTime;

PlannedTimer Timer(const char* name, platform::TDateTime begin, platform::TDateTime end,
                   int64_t repeated = 0) {
    PlannedTimer timer;
    timer.name = name;
    timer.channel = "Een";
    timer.begin = begin;
    timer.end = end;
    timer.repeated = repeated;
    return timer;
}

TEST(RecordingAt, SingleTimerCoversBeginButNotEnd) {
    const auto timers = std::vector<PlannedTimer>{
        Timer("news", EncodeDateTime(2027, 1, 10, 20, 0), EncodeDateTime(2027, 1, 10, 20, 30))};
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 10, 19, 59, 59)));
    const auto at_begin = RecordingAt(timers, EncodeDateTime(2027, 1, 10, 20, 0));
    ASSERT_TRUE(at_begin);
    EXPECT_EQ(at_begin->timer.name, "news");
    EXPECT_DOUBLE_EQ(at_begin->until, EncodeDateTime(2027, 1, 10, 20, 30));
    EXPECT_TRUE(RecordingAt(timers, EncodeDateTime(2027, 1, 10, 20, 29, 59)));
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 10, 20, 30)));
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 11, 20, 15)));
}

TEST(RecordingAt, DisabledZapAndEmptyTimersRecordNothing) {
    auto disabled =
        Timer("off", EncodeDateTime(2027, 1, 10, 11, 0), EncodeDateTime(2027, 1, 10, 13, 0));
    disabled.disabled = true;
    auto zap = Timer("zap", EncodeDateTime(2027, 1, 10, 11, 0), EncodeDateTime(2027, 1, 10, 13, 0));
    zap.justplay = true;
    const auto empty =
        Timer("empty", EncodeDateTime(2027, 1, 10, 13, 0), EncodeDateTime(2027, 1, 10, 11, 0));
    EXPECT_FALSE(RecordingAt({disabled, zap, empty}, EncodeDateTime(2027, 1, 10, 12, 0)));
}

TEST(RecordingAt, RepeatingTimerRecordsOnItsDaysOnly) {
    // 10-01-2027 is a Sunday; the timer repeats Monday to Friday (bits 0..4) at 21:45.
    const auto weekdays = Timer("journal", EncodeDateTime(2027, 1, 4, 21, 45),
                                EncodeDateTime(2027, 1, 4, 22, 20), 31);
    const std::vector<PlannedTimer> timers{weekdays};
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 10, 22, 0)));  // Sunday
    const auto monday = RecordingAt(timers, EncodeDateTime(2027, 1, 11, 22, 0));
    ASSERT_TRUE(monday);
    EXPECT_DOUBLE_EQ(monday->until, EncodeDateTime(2027, 1, 11, 22, 20));
    EXPECT_TRUE(RecordingAt(timers, EncodeDateTime(2027, 1, 15, 21, 45)));   // Friday
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 16, 21, 50)));  // Saturday
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2027, 1, 12, 21, 0)));   // before its hour
    // Not before the day of its first begin.
    EXPECT_FALSE(RecordingAt(timers, EncodeDateTime(2026, 12, 28, 22, 0)));

    // Sunday is bit 6.
    const auto sunday =
        Timer("sunday", EncodeDateTime(2027, 1, 3, 11, 0), EncodeDateTime(2027, 1, 3, 12, 30), 64);
    EXPECT_TRUE(RecordingAt({sunday}, EncodeDateTime(2027, 1, 10, 12, 0)));
    EXPECT_FALSE(RecordingAt({sunday}, EncodeDateTime(2027, 1, 11, 12, 0)));
}

TEST(RecordingAt, RepeatingTimerRunsPastMidnightOfItsDay) {
    // Saturdays (bit 5) 23:30 to 00:30.
    const auto late =
        Timer("late", EncodeDateTime(2027, 1, 2, 23, 30), EncodeDateTime(2027, 1, 3, 0, 30), 32);
    const auto sunday_night = RecordingAt({late}, EncodeDateTime(2027, 1, 10, 0, 15));
    ASSERT_TRUE(sunday_night);
    EXPECT_DOUBLE_EQ(sunday_night->until, EncodeDateTime(2027, 1, 10, 0, 30));
    EXPECT_FALSE(RecordingAt({late}, EncodeDateTime(2027, 1, 11, 0, 15)));  // Monday night
}

}  // namespace
}  // namespace tapir::app
