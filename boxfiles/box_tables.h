#pragma once
// The three tables the program keeps everything in: the box's bouquets, their channels
// (a detail of the bouquet table) and the recording timers, with their definitions,
// display properties and the calculated weekday columns of the timer table.
// Used from the UI thread only.

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
    // the in-memory database, so that the next OpenAll starts empty.
    void DropAll();

    // Data sources first: the detail link of Zenders refers to Ds_Bouquet.
    engine::TDataSource Ds_Bouquet{"Ds_Bouquet"};
    engine::TDataSource Ds_Zenders{"Ds_Zenders"};
    engine::TDataSource Ds_Timers{"Ds_Timers"};
    engine::TSQLMemTable Bouquet{"Bouquet"};
    engine::TSQLMemTable Zenders{"Zenders"};
    engine::TSQLMemTable Timers{"Timers"};
};

// OnCalcFields of Timers: Repeated := RepeatedOrg (low 32 bits) is not 0; for each of bits
// 0..6 (Monday..Sunday) that is set, the day's column is ticked (d1 Monday .. d6 Saturday,
// d0 Sunday). Days whose bit is clear, and every day when the mask is 0, stay null.
void TimersCalcFields(engine::TSQLMemDataSet& data_set);

}  // namespace tapir::boxfiles
