#pragma once
// The box-file reader run once at start: the service list, then the bouquet index files
// with their bouquet files into Bouquet and Zenders, then the timer list into Timers.
// Used from the UI thread only.

#include <string>

#include "boxfiles/box_tables.h"
#include "boxfiles/service_list.h"
#include "platform/time_zone.h"

namespace tapir::boxfiles {

// Name of the service list file: "services", or "lamedb" when there is no "services".
std::string ServiceListPath(const std::string& program_dir);

// Fills the three (empty, open) tables from the copies of the box's files in
// `program_dir` (ends with '/'):
//  1. the service list (ServiceListPath);
//  2. bouquets.tv (Type 1) and bouquets.radio (Type 2) and every bouquet file they name;
//     bouquets without channels are removed; Bouquet ends on its first row;
//  3. timers.xml when it exists: one row per timer line, times converted with UtcToLocal,
//     each line logged; a timer that is not repeated and ended more than 24 hours before
//     Now() is dropped. Timers.AfterInsert is detached while rows are appended and put
//     back afterwards, also when an error is raised.
// Errors propagate with their texts (EFOpenError "Cannot open file <path>",
// EConvertError "'0x..' is not a valid integer value", EStringListError "List index out
// of bounds (<n>)"); rows read before the error stay in the tables, posted.
void ReadBoxFiles(const std::string& program_dir, BoxTables& tables,
                  const platform::TimeConversionSettings& conversion, const platform::LogSink& log);

// The channel name for a service reference: walks the channels of every bouquet, in
// bouquet order and then SubId order, and returns the Zender of the first row whose
// Service equals `service_ref` exactly; the empty text when none does. Leaves Bouquet
// and Zenders on the matching row, or past their last rows.
std::string ZenderOfService(BoxTables& tables, const std::string& service_ref);

}  // namespace tapir::boxfiles
