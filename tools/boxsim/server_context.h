#pragma once
// What every simulator session shares: the options, the recorder of what was seen, and
// the stop signal that ends all waits when the simulator stops.

#include "tools/boxsim/box_simulator.h"
#include "tools/boxsim/net.h"

namespace tapir::boxsim {

struct ServerContext {
    const Options& options;
    Recorder& recorder;
    const StopSignal& stop;

    // Pauses before output when the slow fault is on; false once the simulator stops.
    bool MaybeSlow() const {
        return !options.Has(Fault::Slow) || stop.SleepFor(options.slow_delay);
    }
};

}  // namespace tapir::boxsim
