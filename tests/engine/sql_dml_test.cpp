// UPDATE, DELETE and INSERT from a query: each case is a script and the table contents it
// leaves with the rows it reports, or the error (code and message) it raises.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/query/sqlmem_sql_select.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "sql_script_helpers.h"

namespace tapir::engine {
namespace {

class SQLDataChangeTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallQueryCommand(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static int64_t Run(const std::string& sql) { return testing::RunScript(sql); }
    static std::string Error(const std::string& sql) { return testing::ScriptError(sql); }
    static std::vector<std::string> Rows(const std::string& table_name) {
        return testing::TableRows(table_name);
    }
};

using Lines = std::vector<std::string>;

struct ChangeCase {
    const char* name;
    const char* setup;
    const char* statement;
    int64_t rows_affected;
    const char* table;
    Lines rows;
};

TEST_F(SQLDataChangeTest, StatementsChangeTheRowsTheirConditionShows) {
    const char* numbers =
        "CREATE TABLE t (n INTEGER, s VARCHAR(10));"
        "INSERT INTO t VALUES (1, 'a'); INSERT INTO t VALUES (2, 'b');"
        "INSERT INTO t VALUES (5, 'c')";
    const char* keyed =
        "CREATE TABLE k (id INTEGER PRIMARY KEY, v INTEGER);"
        "INSERT INTO k VALUES (3, 30); INSERT INTO k VALUES (1, 10);"
        "INSERT INTO k VALUES (2, 20)";
    const std::vector<ChangeCase> cases = {
        // Rows leaving the condition neither stop nor repeat the scan.
        {"leaving rows",
         numbers,
         "UPDATE t SET n = n + 1 WHERE n < 3",
         2,
         "t",
         {"2|a", "3|b", "5|c"}},
        {"constant, all rows", numbers, "UPDATE t SET s = 'z'", 3, "t", {"1|z", "2|z", "5|z"}},
        {"constant, some rows",
         numbers,
         "UPDATE t SET s = 'q', n = 0 WHERE s >= 'b'",
         2,
         "t",
         {"1|a", "0|q", "0|q"}},
        {"no row matches",
         numbers,
         "UPDATE t SET n = 9 WHERE n > 100",
         0,
         "t",
         {"1|a", "2|b", "5|c"}},
        {"to null",
         numbers,
         "UPDATE MEMORY t SET s = NULL WHERE n = 2",
         1,
         "t",
         {"1|a", "2|NULL", "5|c"}},
        {"from other columns",
         numbers,
         "UPDATE t SET s = s || 'x', n = n * 10 WHERE n <> 2",
         2,
         "t",
         {"10|ax", "2|b", "50|cx"}},
        // The condition is served by the primary index.
        {"where on a key",
         keyed,
         "UPDATE k SET v = v + 1 WHERE id = 2",
         1,
         "k",
         {"3|30", "1|10", "2|21"}},
        // Each row moves in the key's order but is changed once.
        {"indexed column", keyed, "UPDATE k SET id = id + 10", 3, "k", {"13|30", "11|10", "12|20"}},
        {"indexed column, range",
         keyed,
         "UPDATE k SET id = id + 1 WHERE id >= 2",
         2,
         "k",
         {"4|30", "1|10", "3|20"}},
        {"key leaves and moves",
         keyed,
         "UPDATE k SET id = id + 10 WHERE id < 3",
         2,
         "k",
         {"3|30", "11|10", "12|20"}},
        {"condition with a subquery",
         numbers,
         "UPDATE t SET s = 'm' WHERE n > (SELECT MIN(n) FROM t)",
         2,
         "t",
         {"1|a", "2|m", "5|m"}},
        {"delete with a subquery",
         numbers,
         "DELETE FROM t WHERE n < (SELECT MAX(n) FROM t)",
         2,
         "t",
         {"5|c"}},
        {"delete all", numbers, "DELETE FROM t", 3, "t", {}},
        {"delete some", numbers, "DELETE FROM t WHERE n >= 2 AND s <> 'c'", 1, "t", {"1|a", "5|c"}},
        {"delete none", numbers, "DELETE FROM t WHERE n IS NULL", 0, "t", {"1|a", "2|b", "5|c"}},
        {"delete by key", keyed, "DELETE FROM k WHERE id > 1", 2, "k", {"1|10"}},
        {"insert select by position",
         numbers,
         "CREATE TABLE u (a INTEGER, b VARCHAR(10));"
         "INSERT INTO u SELECT n, s FROM t WHERE n > 1",
         2,
         "u",
         {"2|b", "5|c"}},
        {"insert select by columns",
         numbers,
         "CREATE TABLE u (a INTEGER, b VARCHAR(10), c INTEGER);"
         "INSERT INTO u (c, b) SELECT n * 2, s FROM t ORDER BY n DESC",
         3,
         "u",
         {"NULL|c|10", "NULL|b|4", "NULL|a|2"}},
        {"insert select into itself",
         numbers,
         "INSERT INTO t SELECT n + 100, s FROM t",
         3,
         "t",
         {"1|a", "2|b", "5|c", "101|a", "102|b", "105|c"}},
        {"insert select nothing",
         numbers,
         "CREATE TABLE u (a INTEGER); INSERT INTO u (SELECT n FROM t WHERE n > 9)",
         0,
         "u",
         {}},
    };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c.setup);
        EXPECT_EQ(Run(c.statement), c.rows_affected);
        EXPECT_EQ(Rows(c.table), c.rows);
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(SQLDataChangeTest, ParametersReachConditionsAndValues) {
    Run("CREATE TABLE t (n INTEGER, s VARCHAR(10));"
        "INSERT INTO t VALUES (1, 'a'); INSERT INTO t VALUES (2, 'b')");
    TSQLMemQuery query;
    query.SetSQL("UPDATE t SET s = :s WHERE n = :n");
    query.Params().SetParam("s", TSQLMemVariant::FromText("p"));
    query.Params().SetParam("n", TSQLMemVariant::FromInteger(2));
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 1);
    EXPECT_EQ(Rows("t"), (Lines{"1|a", "2|p"}));
}

struct ErrorCase {
    const char* sql;
    const char* error;
};

TEST_F(SQLDataChangeTest, ErrorsAndWhatTheyLeave) {
    const char* setup =
        "CREATE TABLE t (id INTEGER PRIMARY KEY, n INTEGER NOT NULL);"
        "INSERT INTO t VALUES (1, 1); INSERT INTO t VALUES (2, 2)";
    const std::vector<ErrorCase> cases = {
        {"UPDATE t SET x = 1", "11590: Cannot find field x in table t"},
        {"UPDATE nowhere SET x = 1", "11505: Table 'nowhere' does not exist"},
        {"DELETE FROM nowhere", "11505: Table 'nowhere' does not exist"},
        {"UPDATE", "30155: Blank SQL command"},
        {"DELETE", "30155: Blank SQL command"},
        {"UPDATE t n = 1", "30181: Token 'SET' expected, but 'n' found at line 1, column 10"},
        {"UPDATE t SET n 1", "30182: Token '=' expected, but '1' found at line 1, column 16"},
        {"UPDATE t SET n =", "30161: Unexpected end of SQL command found at line 1, column 16"},
        {"UPDATE t SET n = 1 ORDER BY n",
         "30168: Unexpected token 'ORDER' found at line 1, column 20"},
        {"DELETE t", "30184: Token 'FROM' expected, but 't' found at line 1, column 8"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.sql);
        Run(setup);
        EXPECT_EQ(Error(c.sql), c.error);
        EXPECT_EQ(Rows("t"), (Lines{"1|1", "2|2"}));
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(SQLDataChangeTest, AConstraintViolationCancelsTheRowAndStopsTheUpdate) {
    Run("CREATE TABLE t (id INTEGER PRIMARY KEY, n INTEGER NOT NULL);"
        "INSERT INTO t VALUES (1, 1); INSERT INTO t VALUES (2, 2); INSERT INTO t VALUES (3, 3)");
    // The second row would take the first one's key.
    const std::string duplicate = Error("UPDATE t SET id = 1 WHERE id >= 2");
    EXPECT_FALSE(duplicate.empty());
    EXPECT_EQ(Rows("t"), (Lines{"1|1", "2|2", "3|3"}));
    const std::string null = Error("UPDATE t SET n = NULL WHERE id = 3");
    EXPECT_FALSE(null.empty());
    EXPECT_EQ(Rows("t"), (Lines{"1|1", "2|2", "3|3"}));
    // The table is usable afterwards: no row was left in edit.
    EXPECT_EQ(Run("UPDATE t SET n = 7 WHERE id = 3"), 1);
    EXPECT_EQ(Rows("t"), (Lines{"1|1", "2|2", "3|7"}));
}

TEST_F(SQLDataChangeTest, InsertFromSelectKeepsGoodRowsAndReportsTheFailedOnes) {
    Run("CREATE TABLE src (n INTEGER); INSERT INTO src VALUES (1); INSERT INTO src VALUES (NULL);"
        "INSERT INTO src VALUES (3);"
        "CREATE TABLE dst (n INTEGER NOT NULL)");
    const std::string error = Error("INSERT INTO dst SELECT n FROM src");
    EXPECT_EQ(
        error.rfind("11350: Error - INSERT from SELECT failed, table name = dst, error log: ", 0),
        0u)
        << error;
    EXPECT_EQ(Rows("dst"), (Lines{"1", "3"}));
    EXPECT_EQ(Error("INSERT INTO dst SELECT n, n FROM src"),
              "30361: INSERT into table 'dst' gives 2 values for 1 columns");
    EXPECT_EQ(Rows("dst"), (Lines{"1", "3"}));
}

}  // namespace
}  // namespace tapir::engine
