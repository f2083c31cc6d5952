#pragma once
// The program's only clock: the local wall-clock date and time, to the millisecond.
// Tests replace it with a fixed or scripted reading. Safe to call from any thread.

#include <functional>

#include "platform/date_time.h"

namespace tapir::platform {

// Local wall-clock time now (the system's local time zone), millisecond resolution.
TDateTime Now();

// Replaces the reading of Now() until ResetClockForTesting(). An empty function resets.
void SetClockForTesting(std::function<TDateTime()> clock);
void ResetClockForTesting();

// Pins Now() to a fixed value for the lifetime of the object; restores the real clock.
class ScopedClockPin {
public:
    explicit ScopedClockPin(TDateTime fixed);
    ~ScopedClockPin();
    ScopedClockPin(const ScopedClockPin&) = delete;
    ScopedClockPin& operator=(const ScopedClockPin&) = delete;

    void Set(TDateTime fixed);  // moves the pinned reading

private:
    TDateTime value_;
};

}  // namespace tapir::platform
