#pragma once
// Shared set-up for the table component tests: the program's three tables built the way
// the main window builds them, and a recorder for dataset events.

#include <string>
#include <vector>

#include "engine/table/data_source.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine::testing {

// Records the name of every dataset event in the order they fire.
inline void RecordEvents(TSQLMemDataSet& dataset, std::vector<std::string>& log) {
    auto note = [&log](const char* name) {
        return [&log, name](TSQLMemDataSet&) { log.emplace_back(name); };
    };
    dataset.BeforeOpen = note("BeforeOpen");
    dataset.AfterOpen = note("AfterOpen");
    dataset.BeforeClose = note("BeforeClose");
    dataset.AfterClose = note("AfterClose");
    dataset.BeforeInsert = note("BeforeInsert");
    dataset.AfterInsert = note("AfterInsert");
    dataset.BeforeEdit = note("BeforeEdit");
    dataset.AfterEdit = note("AfterEdit");
    dataset.BeforePost = note("BeforePost");
    dataset.AfterPost = note("AfterPost");
    dataset.BeforeCancel = note("BeforeCancel");
    dataset.AfterCancel = note("AfterCancel");
    dataset.BeforeDelete = note("BeforeDelete");
    dataset.AfterDelete = note("AfterDelete");
    dataset.BeforeScroll = note("BeforeScroll");
    dataset.AfterScroll = note("AfterScroll");
    dataset.OnNewRecord = note("OnNewRecord");
}

// Bouquet: Id autoinc (primary index "Id"), Bouquet string 20, Type smallint; no declared
// fields, natural order.
inline void DefineBouquet(TSQLMemTable& table, const std::string& table_name) {
    table.SetTableName(table_name);
    table.FieldDefs() = {{"Id", ftAutoInc, 0, false},
                         {"Bouquet", ftString, 20, false},
                         {"Type", ftSmallint, 0, false}};
    table.IndexDefs() = {{"Id", "Id", ixPrimary | ixUnique, "", ""}};
}

// Zenders: declared fields, index ZendersIndex on Id;Subid (primary), order "Id".
inline void DefineZenders(TSQLMemTable& table, const std::string& table_name) {
    table.SetTableName(table_name);
    table.FieldDefs() = {{"SubId", ftAutoInc, 0, false},
                         {"Id", ftInteger, 0, false},
                         {"Zender", ftString, 20, false},
                         {"Service", ftString, 40, false}};
    table.IndexDefs() = {{"ZendersIndex", "Id;Subid", static_cast<unsigned>(ixPrimary), "", ""},
                         {"Service", "Service", 0, "", ""}};
    table.DeclareField("SubId", ftAutoInc);
    table.DeclareField("Id", ftInteger);
    table.DeclareField("Zender", ftString, 20);
    table.DeclareField("Service", ftString, 40);
    table.SetIndexFieldNames("Id");
}

// Timers: declared stored fields and calculated booleans, order "Begin;End".
inline void DefineTimers(TSQLMemTable& table, const std::string& table_name) {
    table.SetTableName(table_name);
    table.FieldDefs() = {{"Zender", ftString, 20, false},       {"Begin", ftDateTime, 0, false},
                         {"End", ftDateTime, 0, false},         {"Name", ftString, 40, false},
                         {"RepeatedOrg", ftLargeint, 0, false}, {"Afterevent", ftString, 20, false},
                         {"Justplay", ftLargeint, 0, false},    {"Serviceref", ftString, 40, false},
                         {"Description", ftString, 40, false},  {"Eit", ftLargeint, 0, false},
                         {"Disabled", ftLargeint, 0, false}};
    table.IndexDefs() = {{"BeginEnd", "Begin;End", 0, "", ""}, {"testje", "Zender", 0, "", ""}};
    table.DeclareField("Zender", ftString, 20);
    table.DeclareField("Begin", ftDateTime);
    table.DeclareField("End", ftDateTime);
    table.DeclareField("Name", ftString, 40);
    table.DeclareField("RepeatedOrg", ftLargeint);
    table.DeclareField("Afterevent", ftString, 20);
    table.DeclareField("Justplay", ftLargeint);
    table.DeclareField("Serviceref", ftString, 40);
    table.DeclareField("Description", ftString, 40);
    table.DeclareField("Eit", ftLargeint);
    table.DeclareField("Disabled", ftLargeint);
    table.DeclareField("Repeated", ftBoolean, 0, fkCalculated);
    for (const char* day : {"d1", "d2", "d3", "d4", "d5", "d6", "d0"}) {
        table.DeclareField(day, ftBoolean, 0, fkCalculated);
    }
    table.SetIndexFieldNames("Begin;End");
}

}  // namespace tapir::engine::testing
