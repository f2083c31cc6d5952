#pragma once
// A small real table for the control tests: a name, a date-time, a choice, a number, with
// a data source the controls bind to. The stored table is removed after each test.

#include <gtest/gtest.h>

#include "engine/table/data_source.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"
#include "platform/clock.h"
#include "platform/date_time.h"

namespace tapir::controls::testing {

class ControlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetFormatSettings();
        table_.SetTableName("ControlsTestTable");
        table_.FieldDefs().push_back({"Name", engine::ftString, 10, false});
        table_.FieldDefs().push_back({"When", engine::ftDateTime, 0, false});
        table_.FieldDefs().push_back({"Choice", engine::ftString, 20, false});
        table_.FieldDefs().push_back({"Count", engine::ftInteger, 0, false});
        table_.SetIndexFieldNames("");
        if (table_.Exists()) {
            table_.DeleteTable();
        }
        table_.Open();
        table_.FieldByName("When").SetDisplayFormat("ddd dd-mm-yy  hh:nn");
        source_.SetDataSet(&table_);
    }

    void TearDown() override {
        if (table_.State() == engine::dsEdit || table_.State() == engine::dsInsert) {
            table_.Cancel();
        }
        table_.Close();
        if (table_.Exists()) {
            table_.DeleteTable();
        }
    }

    void AddRow(const std::string& name, double when, const std::string& choice, int count) {
        table_.Append();
        table_.FieldByName("Name").SetAsString(name);
        table_.FieldByName("When").SetAsDateTime(when);
        table_.FieldByName("Choice").SetAsString(choice);
        table_.FieldByName("Count").SetAsInteger(count);
        table_.Post();
    }

    engine::TField& Field(const char* name) { return table_.FieldByName(name); }

    // Order matters: the data source lets go of the table before the table is destroyed.
    engine::TSQLMemTable table_{"Items"};
    engine::TDataSource source_{"Ds_Items"};
};

}  // namespace tapir::controls::testing
