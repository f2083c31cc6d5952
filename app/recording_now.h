#pragma once
// Which timer of a list is recording at a given moment: the check made before the
// receiver's software is restarted, since a restart ends any recording in progress.
// Times are local date-times; plain functions, any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/date_time.h"

namespace tapir::app {

// One timer as the check needs it.
struct PlannedTimer {
    std::string channel;
    std::string name;
    platform::TDateTime begin = 0.0;  // local
    platform::TDateTime end = 0.0;    // local
    // Repeat mask: bit 0 Monday .. bit 6 Sunday; 0 for a single recording.
    int64_t repeated = 0;
    bool disabled = false;
    bool justplay = false;  // a zap timer: switches the channel, records nothing
};

// A timer recording now and when that recording ends.
struct RunningRecording {
    PlannedTimer timer;
    platform::TDateTime until = 0.0;
};

// The first timer of `timers` that records at `now`: an enabled recording timer with
// begin <= now < end, or a repeating one whose occurrence on a day of its mask (at the
// time of day of its begin, for its length, not before the day of its begin) covers `now`.
// nullopt when none does.
[[nodiscard]] std::optional<RunningRecording> RecordingAt(const std::vector<PlannedTimer>& timers,
                                                          platform::TDateTime now);

}  // namespace tapir::app
