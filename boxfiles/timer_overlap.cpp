#include "boxfiles/timer_overlap.h"

#include <algorithm>
#include <cmath>

namespace tapir::boxfiles {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Longer recordings are taken for damaged values and left out of the search.
constexpr int64_t kLongestRecording = 366 * kSecondsPerDay;
// Date-times beyond this many days from 1899-12-30 (about the year 9999) are not dates.
constexpr double kLastDay = 2958466.0;

struct Span {
    int64_t begin = 0;
    int64_t end = 0;
};

bool ToSeconds(double date_time, int64_t& seconds) {
    if (!std::isfinite(date_time) || date_time < -kLastDay || date_time > kLastDay) {
        return false;
    }
    seconds = std::llround(date_time * kSecondsPerDay);
    return true;
}

int64_t FloorDiv(int64_t value, int64_t divisor) {
    int64_t quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) {
        --quotient;
    }
    return quotient;
}

// Monday = 0 .. Sunday = 6; day 0 (1899-12-30) was a Saturday.
int WeekdayOfDay(int64_t day) { return static_cast<int>(((day + 5) % 7 + 7) % 7); }

// The recordings of one timer that reach into [window.begin, window.end).
std::vector<Span> SpansInWindow(const OverlapTimer& timer, Span window) {
    std::vector<Span> spans;
    int64_t begin = 0;
    int64_t end = 0;
    if (timer.disabled || !ToSeconds(timer.begin, begin) || !ToSeconds(timer.end, end) ||
        end <= begin || end - begin > kLongestRecording) {
        return spans;
    }
    const int64_t duration = end - begin;
    const uint32_t mask = timer.repeated & 0x7Fu;
    if (mask == 0) {
        if (begin < window.end && end > window.begin) {
            spans.push_back({begin, end});
        }
        return spans;
    }
    const int64_t first_day = FloorDiv(begin, kSecondsPerDay);
    const int64_t time_of_day = begin - first_day * kSecondsPerDay;
    // The earliest day whose recording can still reach the window.
    const int64_t from_day =
        std::max(first_day, FloorDiv(window.begin - time_of_day - duration, kSecondsPerDay));
    const int64_t to_day = FloorDiv(window.end - 1 - time_of_day, kSecondsPerDay);
    for (int64_t day = from_day; day <= to_day; ++day) {
        if ((mask & (1u << WeekdayOfDay(day))) == 0) {
            continue;
        }
        const Span span{day * kSecondsPerDay + time_of_day,
                        day * kSecondsPerDay + time_of_day + duration};
        if (span.begin < window.end && span.end > window.begin) {
            spans.push_back(span);
        }
    }
    return spans;
}

// The longest overlap of two recordings' spans inside the window, in seconds.
int64_t LongestOverlap(const std::vector<Span>& a, const std::vector<Span>& b, Span window) {
    int64_t longest = 0;
    for (const Span& x : a) {
        for (const Span& y : b) {
            const int64_t from = std::max({x.begin, y.begin, window.begin});
            const int64_t to = std::min({x.end, y.end, window.end});
            longest = std::max(longest, to - from);
        }
    }
    return longest;
}

}  // namespace

std::vector<std::vector<OverlapPartner>> FindOverlaps(const std::vector<OverlapTimer>& timers,
                                                      double now, int days) {
    std::vector<std::vector<OverlapPartner>> result(timers.size());
    int64_t now_seconds = 0;
    if (!ToSeconds(now, now_seconds) || days <= 0) {
        return result;
    }
    const Span window{now_seconds, now_seconds + static_cast<int64_t>(days) * kSecondsPerDay};
    std::vector<std::vector<Span>> spans;
    spans.reserve(timers.size());
    for (const OverlapTimer& timer : timers) {
        spans.push_back(SpansInWindow(timer, window));
    }
    for (std::size_t i = 0; i < timers.size(); ++i) {
        for (std::size_t j = i + 1; j < timers.size(); ++j) {
            const int64_t overlap = LongestOverlap(spans[i], spans[j], window);
            if (overlap <= 0) {
                continue;
            }
            const int minutes = static_cast<int>((overlap + 59) / 60);
            result[i].push_back({j, timers[j].name, minutes});
            result[j].push_back({i, timers[i].name, minutes});
        }
    }
    // Pairs are visited in index order, so every list is ordered by index already.
    return result;
}

std::string OverlapTooltip(const std::vector<OverlapPartner>& partners) {
    std::string text;
    for (const OverlapPartner& partner : partners) {
        if (!text.empty()) {
            text += '\n';
        }
        text += "Overlaps " + partner.name + " by " + std::to_string(partner.minutes) +
                (partner.minutes == 1 ? " minute" : " minutes");
    }
    return text;
}

}  // namespace tapir::boxfiles
