#include "app/recording_now.h"

#include <cmath>

namespace tapir::app {

namespace {

constexpr int64_t kWeekMask = 0x7F;

// Bit of the repeat mask for a day: Monday bit 0 .. Sunday bit 6.
int64_t DayBit(platform::TDateTime day) {
    const int day_of_week = platform::DayOfWeek(day);  // 1 = Sunday .. 7 = Saturday
    const int monday_first = (day_of_week + 5) % 7;
    return int64_t{1} << monday_first;
}

bool Covers(platform::TDateTime begin, platform::TDateTime end, platform::TDateTime now) {
    return platform::CompareDateTime(begin, now) <= 0 && platform::CompareDateTime(now, end) < 0;
}

}  // namespace

std::optional<RunningRecording> RecordingAt(const std::vector<PlannedTimer>& timers,
                                            platform::TDateTime now) {
    for (const PlannedTimer& timer : timers) {
        if (timer.disabled || timer.justplay || !(timer.end > timer.begin)) {
            continue;
        }
        const int64_t mask = timer.repeated & kWeekMask;
        if (mask == 0) {
            if (Covers(timer.begin, timer.end, now)) {
                return RunningRecording{timer, timer.end};
            }
            continue;
        }
        const double first_day = std::floor(timer.begin);
        const double time_of_day = timer.begin - first_day;
        const double length = timer.end - timer.begin;
        // An occurrence that started yesterday may still run past midnight; one of a
        // length of more than a day is not a weekly recording the receiver repeats.
        for (double day = std::floor(now) - 1; day <= std::floor(now); day += 1) {
            if (day < first_day || (mask & DayBit(day)) == 0) {
                continue;
            }
            const double begin = day + time_of_day;
            if (Covers(begin, begin + length, now)) {
                return RunningRecording{timer, begin + length};
            }
        }
    }
    return std::nullopt;
}

}  // namespace tapir::app
