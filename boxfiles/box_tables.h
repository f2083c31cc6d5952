#pragma once
// The three tables the program keeps everything in: the box's bouquets, their channels
// (a detail of the bouquet table) and the recording timers, with their definitions,
// display properties and the calculated weekday columns of the timer table.
// Used from the UI thread only.

#include <string>
#include <vector>

#include "boxfiles/timer_file.h"
#include "engine/table/data_source.h"
#include "engine/table/sqlmem_dataset.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::boxfiles {

// Engine table names of the three tables.
inline constexpr char kBouquetTableName[] = "Table326480888";
inline constexpr char kZendersTableName[] = "Table64929107";
inline constexpr char kTimersTableName[] = "Table1079105802";

// Display format of Timers.Begin and Timers.End.
inline constexpr char kTimerDateTimeFormat[] = "ddd dd-mm-yy  hh:nn";

// A value of a Timers field as the row held it: text for texts and integers, the number
// for date-times (whose text would round to minutes).
struct TimerFieldValue {
    bool null = true;
    std::string text;
    double date_time = 0;
    bool operator==(const TimerFieldValue&) const = default;
};

// The timer list as read at start. A row of Timers refers to the timer it was read from
// through its hidden field Origin, the 1-based index into `timers`; a row the user
// appended has no Origin. `read_values[i]` holds the values the row of timers[i] was given
// when it was read (one per entry of TimerFieldNames()), so that the writer can tell what
// the user changed and keep everything else as read. Timers that were not taken into the
// table (ended long ago) are in `timers` all the same: they are the base a later merge
// with the box's own list starts from.
struct TimersAsRead {
    std::vector<TimerElement> timers;
    std::vector<std::vector<TimerFieldValue>> read_values;
    // False when a timer list existed but could not be read or was not well-formed.
    bool complete = true;

    void Clear();
};

// The Timers fields the timer list is written from, in the order of the usual form, each
// with its attribute: Begin begin, End end, Serviceref serviceref, RepeatedOrg repeated,
// Name name, Description description, Afterevent afterevent, Eit eit, Disabled disabled,
// Justplay justplay.
struct TimerFieldAttribute {
    const char* field;
    const char* attribute;
};
const std::vector<TimerFieldAttribute>& TimerFieldNames();

// The current values of the TimerFieldNames() fields of the data set's current row.
std::vector<TimerFieldValue> TimerRowValues(engine::TSQLMemDataSet& timers);

struct BoxTables {
    // Defines the tables (closed). Timers.OnCalcFields runs TimersCalcFields; the
    // AfterInsert/AfterEdit handlers are left to the owner.
    BoxTables();
    BoxTables(const BoxTables&) = delete;
    BoxTables& operator=(const BoxTables&) = delete;
    ~BoxTables();

    // Opens Bouquet, Zenders and Timers, in that order. The first open of each creates its
    // in-memory table from the definitions; a table of that name that already exists in
    // the process is opened with its rows.
    void OpenAll();

    // Closes the three tables and removes their stored tables (rows and definitions) from
    // the in-memory database, so that the next OpenAll starts empty; clears TimersRead.
    void DropAll();

    // Data sources first: the detail link of Zenders refers to Ds_Bouquet.
    engine::TDataSource Ds_Bouquet{"Ds_Bouquet"};
    engine::TDataSource Ds_Zenders{"Ds_Zenders"};
    engine::TDataSource Ds_Timers{"Ds_Timers"};
    engine::TSQLMemTable Bouquet{"Bouquet"};
    engine::TSQLMemTable Zenders{"Zenders"};
    engine::TSQLMemTable Timers{"Timers"};

    // What the timer rows were read from; filled by ReadBoxFiles.
    TimersAsRead TimersRead;
};

// The BoxTables whose Timers table is `timers`, or nullptr for a table of no BoxTables.
// Lets code that is handed the timer table alone find what its rows were read from.
BoxTables* BoxTablesOfTimers(const engine::TSQLMemTable& timers);

// OnCalcFields of Timers: Repeated := RepeatedOrg (low 32 bits) is not 0; for each of bits
// 0..6 (Monday..Sunday) that is set, the day's column is ticked (d1 Monday .. d6 Saturday,
// d0 Sunday). Days whose bit is clear, and every day when the mask is 0, stay null.
void TimersCalcFields(engine::TSQLMemDataSet& data_set);

}  // namespace tapir::boxfiles
