#pragma once
// Writes the whole timer table as a timer list for the box (the local file timers.new,
// which the upload then stores on the box as timers.xml). Used from the UI thread only.

#include <string>
#include <vector>

#include "boxfiles/box_tables.h"
#include "boxfiles/timer_file.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles {

// The rows of Timers in their current order (Begin, End), Begin and End converted with
// LocalToUtc and turned into whole seconds. Leaves Timers past its last row.
std::vector<TimerFileRow> TimerFileRowsOf(engine::TSQLMemTable& timers,
                                          const platform::TimeConversionSettings& conversion,
                                          const platform::LogSink& log);

// Writes TimersFileText of the table's rows to `path` (normally ProgramDir + "timers.new"),
// replacing an existing file. Throws EFCreateError "Cannot create file <path>" when the
// file cannot be created, EWriteError when writing it fails.
void WriteTimersFile(const std::string& path, engine::TSQLMemTable& timers,
                     const platform::TimeConversionSettings& conversion,
                     const platform::LogSink& log);

}  // namespace tapir::boxfiles
