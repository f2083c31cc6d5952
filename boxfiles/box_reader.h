#pragma once
// The box-file reader run once at start: the service list, then the bouquet index files
// with their bouquet files into Bouquet and Zenders, then the timer list into Timers.
// Used from the UI thread only.

#include <exception>
#include <string>
#include <vector>

#include "boxfiles/box_tables.h"
#include "boxfiles/service_list.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles {

// Name of the service list file: "services", else "lamedb" (also when neither exists:
// current boxes keep their list there, so a missing list is reported under that name).
std::string ServiceListPath(const std::string& program_dir);

// What ReadBoxFiles met. The error texts are those of the errors (what the message box
// shows); the exceptions are the errors themselves, for a caller that shows them the way
// it shows any error.
struct BoxReadReport {
    // The error that stopped reading the service list or the bouquets; empty when none.
    std::string channel_error;
    // The error met reading the timer list; empty when none.
    std::string timer_error;
    // False when timers.xml exists but could not be read or is not well-formed: Timers
    // then lacks timers the box has, and uploading it would lose them.
    bool timers_complete = true;
    std::exception_ptr channel_exception;
    std::exception_ptr timer_exception;
    // Bouquet files named by index lines that were not read because they name a path
    // (only plain file names in the program's folder are read).
    std::vector<std::string> refused_bouquet_files;
};

// Fills the three (empty, open) tables from the copies of the box's files in
// `program_dir` (ends with '/'):
//  1. the service list (ServiceListPath);
//  2. bouquets.tv (Type 1) and bouquets.radio (Type 2) and every bouquet file they name
//     by a plain file name (other lines are logged and listed in the report); bouquets
//     without channels are removed;
//  3. timers.xml when it exists, also when 1 or 2 stopped with an error (channel names
//     then stay empty where unknown): one row per timer, times converted with
//     UtcToLocal, each timer's start tag logged; a begin or end that no date-time can
//     show stays null in the row and keeps its text in the file; a timer that is not
//     repeated and ended more than 24 hours before Now() is dropped. Each row's hidden
//     Origin refers to the timer in tables.TimersRead it was read from. Timers.AfterInsert
//     is detached while rows are appended and put back afterwards, also after an error.
// Errors do not propagate: the first error of 1 and 2 ends those stages and is reported
// as channel_error, an error of 3 as timer_error (EFOpenError "Cannot open file <path>",
// EFileTooLargeError, ETimerListError, EConvertError "'0x..' is not a valid integer
// value", EStringListError "List index out of bounds (<n>)"). Rows read before an error
// stay in the tables, posted. Bouquet and Zenders end on their first rows, Timers too.
BoxReadReport ReadBoxFiles(const std::string& program_dir, BoxTables& tables,
                           const platform::TimeConversionSettings& conversion,
                           const platform::LogSink& log);

// The channel name for a service reference: walks the channels of every bouquet, in
// bouquet order and then SubId order, and returns the Zender of the first row whose
// Service equals `service_ref` exactly; the empty text when none does. Leaves Bouquet
// and Zenders on the matching row, or past their last rows.
std::string ZenderOfService(BoxTables& tables, const std::string& service_ref);

}  // namespace tapir::boxfiles
