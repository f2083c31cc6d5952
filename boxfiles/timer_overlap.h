#pragma once
// Finds timers whose recordings overlap in the coming days, so the window can mark them:
// the receiver may not be able to record both. A weekly repeating timer counts on every day
// it repeats. Plain values in, plain values out; no table access.

#include <cstdint>
#include <string>
#include <vector>

namespace tapir::boxfiles {

// One timer as the overlap search sees it. Times are local date-times (days since
// 1899-12-30, the fraction the time of day), as the Timers table holds them.
struct OverlapTimer {
    double begin = 0.0;
    double end = 0.0;
    // Weekly repetition, bit 0 Monday .. bit 6 Sunday; 0 for a one-off recording.
    uint32_t repeated = 0;
    bool disabled = false;
    std::string name;
};

// Another timer that overlaps one timer: its index in the searched list, its name and the
// longest single overlap in whole minutes (at least 1).
struct OverlapPartner {
    std::size_t index = 0;
    std::string name;
    int minutes = 0;
};

// For each timer of `timers`, in the same order, the timers it overlaps within the window
// [now, now + days), ordered by index. A one-off recording occupies [begin, end); a
// repeating one occupies, on every day of its mask from the day of `begin` on, the same
// time of day for the same duration. Recordings that only touch (one ends when the other
// begins) do not overlap. Disabled timers and timers whose end is not after their begin
// take no part. Requires: `days` >= 0.
std::vector<std::vector<OverlapPartner>> FindOverlaps(const std::vector<OverlapTimer>& timers,
                                                      double now, int days = 14);

// The tooltip text for one timer's overlaps: one line per partner,
// "Overlaps <name> by <n> minute(s)". Empty when there are none.
std::string OverlapTooltip(const std::vector<OverlapPartner>& partners);

}  // namespace tapir::boxfiles
