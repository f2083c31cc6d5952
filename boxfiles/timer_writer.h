#pragma once
// Writes the timer table as a timer list for the box (the local file timers.new, which the
// upload then stores on the box as timers.xml). A row read from the box goes back as the
// timer it was read from, with only the values the user changed put in; a row the user
// appended is written in the usual form. Just before an upload the list can be merged
// with the box's current list, so that timers the box gained meanwhile are not lost.
// Used from the UI thread only.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boxfiles/box_tables.h"
#include "boxfiles/timer_file.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles {

// One timer of the table as it would be written.
struct OurTimer {
    TimerElement element;
    // Index into TimersAsRead::timers of the timer the row was read from; nullopt for a
    // row the user appended.
    std::optional<std::size_t> origin;
    // True when the user changed any of the row's values since it was read.
    bool changed = false;
};

// The rows of Timers in their current order (Begin, End). Changed values are written as
// the table holds them, Begin and End converted with LocalToUtc and turned into whole
// seconds; a Begin or End the user did not change keeps its text as read, also when no
// date-time could show it. `as_read` may be nullptr (every row is then written in the
// usual form). Leaves Timers past its last row.
std::vector<OurTimer> OurTimersOf(engine::TSQLMemTable& timers, const TimersAsRead* as_read,
                                  const platform::TimeConversionSettings& conversion,
                                  const platform::LogSink& log);

// What a merge with the box's current list did; every list holds timer names (the name,
// else the description, else the service reference).
struct TimerMergeReport {
    // False when the box's list was not given or equals the list read at start: then the
    // table alone was written.
    bool merged = false;
    std::vector<std::string> kept_from_box;     // gained on the box since: kept
    std::vector<std::string> updated_from_box;  // changed on the box, untouched here
    std::vector<std::string> dropped_by_box;    // removed on the box, untouched here
    std::vector<std::string> kept_yours;        // removed on the box, changed here: kept
    std::vector<std::string> conflicts;         // changed on both sides: yours written

    // One line for the log: "Timer list merge: no merge" or a summary of the lists above.
    std::string LogText() const;
    // The text of the message box after a merge; the empty text when nothing was merged.
    std::string MessageText() const;
};

struct TimerMergeResult {
    std::vector<TimerElement> timers;
    TimerMergeReport report;
};

// Three-way merge of the timer list read at start (`base`), the box's current list
// (`box_now`) and ours. A timer of the box is matched to one of `base` when it is equal,
// else when it has the same serviceref and the same begin and end, else the same
// serviceref and the same non-zero eit, else the same serviceref and begin, else the same
// serviceref and end (a box has no timer ids; these are what stays when it changes a
// timer); each pass in list order, each timer matched at most once. Ours are matched to `base` by
// their origin. Then: the user's appends, edits and deletes apply; a timer the box
// changed and the user did not is taken from the box; one the box removed and the user
// did not touch stays removed; one the box gained is kept (after ours). When the box's
// list equals `base`, the result is ours unchanged and `merged` is false.
TimerMergeResult MergeTimerLists(const std::vector<TimerElement>& base,
                                 const std::vector<TimerElement>& box_now,
                                 const std::vector<OurTimer>& ours);

// Writes the timer table to `path` (normally ProgramDir + "timers.new"), replacing an
// existing file. The rows are those of OurTimersOf, with what the table's BoxTables read
// at start (BoxTablesOfTimers). With `box_now`, the text of the box's current
// timers.xml, the list written is MergeTimerLists of the list read at start, the box's
// and ours; the result says what was merged. Without it, nothing is merged.
// Throws ETimerListError when `box_now` is not a well-formed timer list (nothing is
// written then), EFCreateError "Cannot create file <path>" when the file cannot be
// created, EWriteError when writing it fails.
TimerMergeReport WriteTimersFile(const std::string& path, engine::TSQLMemTable& timers,
                                 const platform::TimeConversionSettings& conversion,
                                 const platform::LogSink& log,
                                 std::optional<std::string_view> box_now = std::nullopt);

}  // namespace tapir::boxfiles
