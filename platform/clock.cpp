#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <mutex>
#include <utility>

namespace tapir::platform {

namespace {

struct ClockOverride {
    std::mutex mutex;  // guards reader
    std::function<TDateTime()> reader;
};

ClockOverride& Override() {
    static ClockOverride instance;
    return instance;
}

TDateTime SystemNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms_total =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(ms_total / 1000);
    int ms = static_cast<int>(ms_total % 1000);
    if (ms < 0) {
        ms += 1000;
        --seconds;
    }
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr) {
        return UnixToDateTime(seconds) + ms / static_cast<double>(kMsPerDay);
    }
    // A leap second (tm_sec 60) is held on the last second of the minute.
    const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, second, ms);
}

}  // namespace

TDateTime Now() {
    ClockOverride& state = Override();
    std::function<TDateTime()> reader;
    {
        std::lock_guard lock(state.mutex);
        reader = state.reader;
    }
    return reader ? reader() : SystemNow();
}

void SetClockForTesting(std::function<TDateTime()> clock) {
    ClockOverride& state = Override();
    std::lock_guard lock(state.mutex);
    state.reader = std::move(clock);
}

void ResetClockForTesting() { SetClockForTesting(nullptr); }

ScopedClockPin::ScopedClockPin(TDateTime fixed) : value_(fixed) { Set(fixed); }

ScopedClockPin::~ScopedClockPin() { ResetClockForTesting(); }

void ScopedClockPin::Set(TDateTime fixed) {
    value_ = fixed;
    SetClockForTesting([fixed] { return fixed; });
}

}  // namespace tapir::platform
