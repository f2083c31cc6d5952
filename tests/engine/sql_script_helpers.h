#pragma once
// What the SQL statement tests share: run a script through the query component, read the
// error it raises, and print a table's rows.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine::testing {

// Runs a script; the rows it changed.
inline int64_t RunScript(const std::string& sql) {
    TSQLMemQuery query;
    query.SetSQL(sql);
    query.ExecSQL();
    return query.RowsAffected();
}

// The error a script raises: "<code>: <message>", or "" when it runs.
inline std::string ScriptError(const std::string& sql) {
    try {
        RunScript(sql);
    } catch (const ESQLMemException& error) {
        return std::to_string(error.Code().value_or(0)) + ": " + error.BareMessage();
    } catch (const tapir::Exception& error) {
        return error.KindName() + ": " + error.Message();
    }
    return "";
}

// The rows of a table in natural order, or in the order of the index named, fields joined
// by '|', NULL for null.
inline std::vector<std::string> TableRows(const std::string& table_name,
                                          const std::string& index_name = "") {
    TSQLMemTable table;
    table.SetTableName(table_name);
    if (!index_name.empty()) {
        table.SetIndexName(index_name);
    }
    table.Open();
    std::vector<std::string> rows;
    for (table.First(); !table.Eof(); table.Next()) {
        std::string row;
        for (const TField* field : table.Fields()) {
            row += (row.empty() ? "" : "|") + (field->IsNull() ? "NULL" : field->AsString());
        }
        rows.push_back(row);
    }
    table.Close();
    return rows;
}

}  // namespace tapir::engine::testing
