// libFuzzer target: the input is an SQL script run by the query component on a scratch
// database that holds two small tables. Every command may fail only with the engine's own
// errors; a result cursor is read to its end; afterwards every table's indexes must still
// describe its rows.
//
// Scripts are cut at 2 000 bytes and 8 commands, so that a run of INSERT ... SELECT
// doubling a table cannot take the fuzzer's memory.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_dataset.h"
#include "engine/table/sqlmem_table_data.h"
#include "platform/exception.h"

namespace {

namespace te = tapir::engine;

constexpr size_t kMaxScript = 2000;
constexpr long kMaxCommands = 8;

constexpr const char* kSetup =
    "CREATE TABLE t1 (id INTEGER, a INTEGER, s VARCHAR(8), d DATE, f FLOAT, "
    "PRIMARY KEY (id));"
    "CREATE TABLE t2 (id INTEGER, c INTEGER, s VARCHAR(8));"
    "CREATE INDEX t2c ON t2 (c);"
    "INSERT INTO t1 VALUES (1, 5, 'ab', TODATE('2026-12-24', 'YYYY-MM-DD'), 1.5);"
    "INSERT INTO t1 VALUES (2, NULL, 'b', NULL, -2);"
    "INSERT INTO t1 VALUES (3, -3, NULL, TODATE('2020-01-01', 'YYYY-MM-DD'), NULL);"
    "INSERT INTO t2 VALUES (1, 5, 'x');"
    "INSERT INTO t2 VALUES (2, NULL, 'ab');"
    "INSERT INTO t2 VALUES (3, -3, 'b');";

void Run(const std::string& sql, bool open) {
    te::TSQLMemQuery query;
    query.SetSQL(sql);
    if (!open) {
        query.ExecSQL();
        return;
    }
    query.Open();
    te::TSQLMemDataSet& result = *query.Result();
    for (result.First(); !result.Eof(); result.Next()) {
        for (te::TField* field : result.Fields()) {
            (void)field->AsString();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string script(reinterpret_cast<const char*>(data), std::min(size, kMaxScript));
    if (std::count(script.begin(), script.end(), ';') >= kMaxCommands) {
        return 0;
    }
    te::TSQLMemEngine::Instance().Reset();
    Run(kSetup, false);
    try {
        Run(script, true);
    } catch (const tapir::Exception&) {
        // The engine's own error (a bad command, or a script whose last command has no
        // result): what ran before it stays.
    }
    te::TSQLMemDatabaseData& database = *te::TSQLMemEngine::Instance().FindDatabase("MEMORY");
    for (const std::string& name : database.TableNames()) {
        if (!database.FindTable(name)->CheckIntegrity().empty()) {
            std::abort();
        }
    }
    return 0;
}
