#include "boxfiles/timer_overlap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/date_time.h"

namespace tapir::boxfiles {
namespace {

using platform::EncodeDateTime;

// Wednesday 9 December 2026, noon: the "now" of every case.
const double kNow = EncodeDateTime(2026, 12, 9, 12, 0);
constexpr uint32_t kTuesday = 1u << 1;
constexpr uint32_t kEveryDay = 0x7F;

OverlapTimer OneOff(const char* name, double begin, double end) {
    return OverlapTimer{begin, end, 0, false, name};
}

TEST(TimerOverlap, PlainTimersOverlapOnlyWhenTheyShareTime) {
    {
        SCOPED_TRACE("one minute of overlap");
        const auto found = FindOverlaps({OneOff("News", EncodeDateTime(2026, 12, 10, 20, 0),
                                                EncodeDateTime(2026, 12, 10, 20, 31)),
                                         OneOff("Film", EncodeDateTime(2026, 12, 10, 20, 30),
                                                EncodeDateTime(2026, 12, 10, 22, 0))},
                                        kNow);
        ASSERT_EQ(found.size(), 2u);
        ASSERT_EQ(found[0].size(), 1u);
        EXPECT_EQ(found[0][0].index, 1u);
        EXPECT_EQ(found[0][0].name, "Film");
        EXPECT_EQ(found[0][0].minutes, 1);
        ASSERT_EQ(found[1].size(), 1u);
        EXPECT_EQ(found[1][0].index, 0u);
        EXPECT_EQ(OverlapTooltip(found[0]), "Overlaps Film by 1 minute");
    }
    {
        SCOPED_TRACE("end touches begin");
        const auto found = FindOverlaps({OneOff("News", EncodeDateTime(2026, 12, 10, 20, 0),
                                                EncodeDateTime(2026, 12, 10, 20, 30)),
                                         OneOff("Film", EncodeDateTime(2026, 12, 10, 20, 30),
                                                EncodeDateTime(2026, 12, 10, 22, 0))},
                                        kNow);
        EXPECT_TRUE(found[0].empty());
        EXPECT_TRUE(found[1].empty());
    }
    {
        SCOPED_TRACE("apart");
        const auto found = FindOverlaps(
            {OneOff("A", EncodeDateTime(2026, 12, 10, 8, 0), EncodeDateTime(2026, 12, 10, 9, 0)),
             OneOff("B", EncodeDateTime(2026, 12, 11, 8, 0), EncodeDateTime(2026, 12, 11, 9, 0))},
            kNow);
        EXPECT_TRUE(found[0].empty());
        EXPECT_TRUE(found[1].empty());
        EXPECT_EQ(OverlapTooltip(found[0]), "");
    }
}

TEST(TimerOverlap, WeeklyTimerCountsOnEveryDayItRepeats) {
    // Started weeks ago on a Tuesday, repeats on Tuesdays 21:00-22:00.
    OverlapTimer weekly{EncodeDateTime(2026, 11, 3, 21, 0), EncodeDateTime(2026, 11, 3, 22, 0),
                        kTuesday, false, "Weekly"};
    const OverlapTimer next_tuesday =
        OneOff("Match", EncodeDateTime(2026, 12, 15, 21, 45), EncodeDateTime(2026, 12, 15, 23, 0));
    const OverlapTimer next_wednesday =
        OneOff("Other", EncodeDateTime(2026, 12, 16, 21, 0), EncodeDateTime(2026, 12, 16, 22, 0));
    const auto found = FindOverlaps({weekly, next_tuesday, next_wednesday}, kNow);
    ASSERT_EQ(found[0].size(), 1u);
    EXPECT_EQ(found[0][0].name, "Match");
    EXPECT_EQ(found[0][0].minutes, 15);
    EXPECT_TRUE(found[2].empty());

    // Beyond the 14 days nothing counts: the Tuesday after the window.
    const OverlapTimer far_tuesday =
        OneOff("Far", EncodeDateTime(2026, 12, 29, 21, 0), EncodeDateTime(2026, 12, 29, 22, 0));
    EXPECT_TRUE(FindOverlaps({weekly, far_tuesday}, kNow)[0].empty());
    EXPECT_EQ(FindOverlaps({weekly, far_tuesday}, kNow, 21)[0].size(), 1u);

    // A repeating timer whose first day lies ahead does not count before it.
    weekly.begin = EncodeDateTime(2026, 12, 22, 21, 0);
    weekly.end = EncodeDateTime(2026, 12, 22, 22, 0);
    EXPECT_TRUE(FindOverlaps({weekly, next_tuesday}, kNow)[0].empty());
}

TEST(TimerOverlap, RecordingOverMidnightAndTwoDailyTimers) {
    // Daily 23:30-00:30 against a one-off at 00:00-01:00 on Friday.
    const OverlapTimer nightly{EncodeDateTime(2026, 12, 1, 23, 30),
                               EncodeDateTime(2026, 12, 2, 0, 30), kEveryDay, false, "Nightly"};
    const OverlapTimer friday =
        OneOff("Late", EncodeDateTime(2026, 12, 11, 0, 0), EncodeDateTime(2026, 12, 11, 1, 0));
    const OverlapTimer daily_late{EncodeDateTime(2026, 12, 1, 0, 15),
                                  EncodeDateTime(2026, 12, 1, 0, 20), kEveryDay, false, "Short"};
    const auto found = FindOverlaps({nightly, friday, daily_late}, kNow);
    ASSERT_EQ(found[0].size(), 2u);
    EXPECT_EQ(found[0][0].minutes, 30);
    EXPECT_EQ(found[0][1].minutes, 5);
    ASSERT_EQ(found[1].size(), 2u);
    EXPECT_EQ(OverlapTooltip(found[1]),
              "Overlaps Nightly by 30 minutes\nOverlaps Short by 5 minutes");
}

TEST(TimerOverlap, DisabledEndedAndDamagedTimersTakeNoPart) {
    const double begin = EncodeDateTime(2026, 12, 10, 20, 0);
    const double end = EncodeDateTime(2026, 12, 10, 21, 0);
    OverlapTimer disabled = OneOff("Off", begin, end);
    disabled.disabled = true;
    const OverlapTimer backwards = OneOff("Backwards", end, begin);
    const OverlapTimer past =
        OneOff("Past", EncodeDateTime(2026, 12, 1, 20, 0), EncodeDateTime(2026, 12, 1, 21, 0));
    const OverlapTimer nan = OneOff("NaN", std::numeric_limits<double>::quiet_NaN(), end);
    const OverlapTimer huge = OneOff("Huge", begin, 1e300);
    const OverlapTimer active = OneOff("On", begin, end);
    const auto found = FindOverlaps({active, disabled, backwards, past, nan, huge}, kNow);
    for (const auto& partners : found) {
        EXPECT_TRUE(partners.empty());
    }
    // A past recording that is still running at "now" counts only from now on.
    const OverlapTimer running =
        OneOff("Running", EncodeDateTime(2026, 12, 9, 11, 0), EncodeDateTime(2026, 12, 9, 13, 0));
    const OverlapTimer earlier =
        OneOff("Earlier", EncodeDateTime(2026, 12, 9, 10, 0), EncodeDateTime(2026, 12, 9, 12, 30));
    const auto running_found = FindOverlaps({running, earlier}, kNow);
    ASSERT_EQ(running_found[0].size(), 1u);
    EXPECT_EQ(running_found[0][0].minutes, 30);
}

}  // namespace
}  // namespace tapir::boxfiles
