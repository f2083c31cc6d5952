// SQL statements run through the query component: each case is a script and either the
// table contents it leaves or the error (code and message) it raises.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/sql/command/sqlmem_sql_command.h"
#include "engine/sql/statements/sqlmem_query.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "sql_script_helpers.h"

namespace tapir::engine {
namespace {

class SQLStatementTest : public ::testing::Test {
  protected:
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static int64_t Run(const std::string& sql) { return testing::RunScript(sql); }
    static std::string Error(const std::string& sql) { return testing::ScriptError(sql); }
    static std::vector<std::string> Rows(const std::string& table_name) {
        return testing::TableRows(table_name);
    }

    static std::vector<std::string> IndexNames(const std::string& table_name) {
        TSQLMemTable table;
        table.SetTableName(table_name);
        table.Open();
        std::vector<std::string> names;
        for (const TIndexDef& def : table.IndexDefs()) {
            names.push_back(def.Name + "(" + def.Fields + ")");
        }
        table.Close();
        return names;
    }
};

struct ErrorCase {
    const char* sql;
    const char* error;
};

// --- The processor's first-token table -------------------------------------------------------

TEST_F(SQLStatementTest, FirstTokenChoosesTheStatementOrRaises) {
    const ErrorCase cases[] = {
        {"FOO", "30154: SQL token expected, but 'FOO' found at line 1, column 1"},
        {"123 x", "30154: SQL token expected, but '123' found at line 1, column 1"},
        {"GRANT x", "30153: SQL token expected, but 'GRANT' found at line 1, column 1"},
        {"CREATE", "30148: Unexpected end of SQL command found at line 1, column 1"},
        {"CREATE VIEW v",
         "30147: Object type keyword expected, but 'VIEW' found at line 1, column 8"},
        {"DROP", "30150: Unexpected end of SQL command found at line 1, column 1"},
        {"DROP VIEW v",
         "30149: Object type keyword expected, but 'VIEW' found at line 1, column 6"},
        {"ALTER", "30152: Unexpected end of SQL command found at line 1, column 1"},
        {"ALTER INDEX i",
         "30151: Object type keyword expected, but 'INDEX' found at line 1, column 7"},
        {"START", "10845: Unexpected end of SQL command found at line 1, column 1"},
        {"START WORK", "10846: SQL token expected, but 'WORK' found at line 1, column 7"},
        {"RENAME", "30353: Blank SQL command"},
        {"COMMIT WORK", "30173: Unexpected token 'WORK' found at line 1, column 8"},
        {"ROLLBACK x", "30173: Unexpected token 'x' found at line 1, column 10"},
        {"START TRANSACTION now", "30173: Unexpected token 'now' found at line 1, column 19"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(Error(c.sql), c.error) << c.sql;
    }
}

TEST_F(SQLStatementTest, TransactionStatementsSucceedAndChangeNothing) {
    Run("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
    EXPECT_EQ(Run("START TRANSACTION; COMMIT NOFLUSH; ROLLBACK; COMMIT"), 0);
    EXPECT_EQ(Rows("t"), std::vector<std::string>{"1"});
}

int g_factory_calls = 0;
std::string g_factory_first_token;

class CountingQuery : public TSQLMemSQLCommand {
  public:
    using TSQLMemSQLCommand::TSQLMemSQLCommand;
    // The command starts on its first token.
    void Parse() override { g_factory_first_token = token_.Text; }
    void ExecSQL(bool, bool& read_only, bool) override { read_only = true; }
};

TEST_F(SQLStatementTest, QueriesGoThroughTheInstalledFactory) {
    SetQueryCommandFactory(nullptr);
    const std::string missing = Error("SELECT 1");
    EXPECT_EQ(missing.substr(0, 7), "30153: ") << missing;

    g_factory_calls = 0;
    SetQueryCommandFactory(
        [](TSQLMemLexer& lexer,
           const TSQLMemCommandContext& context) -> std::unique_ptr<TSQLMemSQLCommand> {
            ++g_factory_calls;
            return std::make_unique<CountingQuery>(lexer, context);
        });
    EXPECT_EQ(Error("SELECT 1; (SELECT 2)"), "");
    EXPECT_EQ(g_factory_calls, 2);
    EXPECT_EQ(g_factory_first_token, "(");
    SetQueryCommandFactory(nullptr);
}

TEST_F(SQLStatementTest, ScriptStopsAtTheFirstErrorKeepingEarlierCommands) {
    TSQLMemQuery query;
    query.SetSQL(
        "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);"
        "INSERT INTO nowhere VALUES (3); INSERT INTO t VALUES (4)");
    EXPECT_THROW(query.ExecSQL(), tapir::Exception);
    EXPECT_EQ(query.RowsAffected(), 2);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1", "2"}));
}

TEST_F(SQLStatementTest, RowsAffectedAddsUpOverTheScript) {
    EXPECT_EQ(Run("CREATE TABLE t (a INTEGER, b VARCHAR(10));"
                  "INSERT INTO t VALUES (1, 'x'); INSERT INTO t (b) VALUES ('y');"
                  "INSERT INTO t (b, a) VALUES ('z', 3);"),
              3);
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|x", "NULL|y", "3|z"}));
}

TEST_F(SQLStatementTest, OpenWithoutAResultCursorIsAnError) {
    TSQLMemQuery query;
    query.SetSQL("CREATE TABLE t (a INTEGER)");
    EXPECT_THROW(query.Open(), EDatabaseError);
    EXPECT_FALSE(query.Active());
    // The command ran all the same.
    EXPECT_TRUE(TableExists("MEMORY", "t"));
}

TEST_F(SQLStatementTest, ParametersReachTheValues) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(10))");
    TSQLMemQuery query;
    query.SetSQL("INSERT INTO t VALUES (:n + 1, :s)");
    query.Params().SetParam("n", TSQLMemVariant::FromInteger(41));
    query.Params().SetParam("s", TSQLMemVariant::FromText("hi"));
    query.ExecSQL();
    EXPECT_EQ(query.RowsAffected(), 1);
    EXPECT_EQ(Rows("t"), std::vector<std::string>{"42|hi"});
}

// --- CREATE TABLE ------------------------------------------------------------------------------

TEST_F(SQLStatementTest, CreateTableParseErrors) {
    const ErrorCase cases[] = {
        {"CREATE TABLE", "30216: Blank SQL command"},
        {"CREATE TABLE 12 (a INTEGER)",
         "30230: Table name expected, but '12' found at line 1, column 14"},
        {"CREATE TABLE t a INTEGER",
         "30214: '(' symbol expected, but 'a' found at line 1, column 16"},
        {"CREATE TABLE t (a FOO)", "30232: Unknown field type 'FOO' at line 1, column 19"},
        {"CREATE TABLE t (a 12)",
         "30228: Field type expected, but '12' found at line 1, column 19"},
        {"CREATE TABLE t (a VARCHAR)",
         "30233: '(' symbol expected, but ')' found at line 1, column 26"},
        {"CREATE TABLE t (a VARCHAR(x))",
         "30235: Decimal constant expected, but 'x' found at line 1, column 27"},
        {"CREATE TABLE t (a VARCHAR(10 20))",
         "30236: ')' or ',' symbol expected, but '20' found at line 1, column 30"},
        {"CREATE TABLE t (a INTEGER", "30059: Missing symbol ')' at line 1, column 16"},
        {"CREATE TABLE t (a INTEGER) extra",
         "30246: Unexpected token 'extra' found at line 1, column 28"},
        {"CREATE TABLE t (a INTEGER NOT 5)",
         "2011: 'NULL' expected (for NOT NULL), but '5' found at line 1, column 31"},
        {"CREATE TABLE t (a INTEGER DEFAULT 1 DEFAULT 2)",
         "30299: default value for column 'a' declared twice"},
        {"CREATE TABLE t (a INTEGER BOGUS)",
         "30229: ')' or ',' symbol expected, but 'BOGUS' found at line 1, column 27"},
        {"CREATE TABLE t (a INTEGER MINVALUE x)",
         "30292: Integer expected, but 'x' found at line 1, column 36"},
        {"CREATE TABLE t (a AUTOINC(INCREMENT x))",
         "30291: Integer expected, but 'x' found at line 1, column 37"},
        {"CREATE TABLE t (a AUTOINC(FLOAT))",
         "30295: Unsupported Autoinc DataType (FLOAT) found at line 1, column 27"},
        {"CREATE TABLE t (a AUTOINC(INTEGER, SMALLINT))",
         "30294: Unexpected token 'SMALLINT' found at line 1, column 36"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)",
         "30327: '(' symbol expected, but 'a' found at line 1, column 40"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))",
         "30239: ')' or ',' symbol expected, but 'b' found at line 1, column 43"},
        {"CREATE TABLE t (a INTEGER, FOREIGN (a) REFERENCES u)",
         "30226: Token 'KEY' expected, but '(' found at line 1, column 36"},
        {"CREATE TABLE t (a INTEGER, FOREIGN KEY (a) u)",
         "30226: Token 'REFERENCES' expected, but 'u' found at line 1, column 44"},
        {"CREATE TABLE t (a INTEGER, FOREIGN KEY (a) REFERENCES u ON UPDATE CASCADE ON "
         "UPDATE CASCADE)",
         "11244: Unexpected token 'UPDATE' found at line 1, column 78"},
        {"CREATE TABLE t (a INTEGER BLOBCOMPRESSIONMODE 256)",
         "30292: Integer expected, but '256' found at line 1, column 47"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(Error(c.sql), c.error) << c.sql;
    }
    EXPECT_FALSE(TableExists("MEMORY", "t"));
}

TEST_F(SQLStatementTest, CreateTableDefaultsAndNullRules) {
    Run("CREATE TABLE t (id INTEGER NOT NULL, name VARCHAR(20) DEFAULT 'none', "
        "n SMALLINT DEFAULT 2 * 3 NULL, f FLOAT DEFAULT '1.5', d DATE DEFAULT NULL)");
    Run("INSERT INTO t (id) VALUES (1)");
    Run("INSERT INTO t VALUES (2, 'x', NULL, 2.25, NULL)");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|none|6|1.5|NULL", "2|x|NULL|2.25|NULL"}));
    const std::string not_null = Error("INSERT INTO t (name) VALUES ('y')");
    EXPECT_NE(not_null.find("cannot be null"), std::string::npos) << not_null;
    // A failed insert leaves no row behind.
    EXPECT_EQ(Rows("t").size(), 2U);
}

TEST_F(SQLStatementTest, CreateTableWithAnExistingNameWrapsTheInnerError) {
    Run("CREATE TABLE t (a INTEGER)");
    EXPECT_EQ(Error("CREATE TABLE T (b INTEGER)"),
              "30248: Error creating table: 'Cannot create table. Table 'T' already exists - "
              "Native error: 30247'");
    EXPECT_EQ(Error("CREATE TABLE u (a INTEGER, a INTEGER)"),
              "30248: Error creating table: 'Cannot create table 'u'. Duplicate field name 'A' - "
              "Native error: 11430'");
    EXPECT_FALSE(TableExists("MEMORY", "u"));
}

TEST_F(SQLStatementTest, PrimaryKeyRejectsNullAndDuplicatesWithItsOwnText) {
    Run("CREATE TABLE t (id INTEGER PRIMARY KEY, name VARCHAR(10))");
    EXPECT_EQ(IndexNames("t"), std::vector<std::string>{"PK_t(id)"});
    Run("INSERT INTO t VALUES (1, 'a')");
    const std::string null_key = Error("INSERT INTO t (name) VALUES ('b')");
    EXPECT_NE(null_key.find("Constraint 'PK_t' violated. Value in field 'id' cannot be null"),
              std::string::npos)
        << null_key;
    EXPECT_NE(null_key.find("30330"), std::string::npos) << null_key;
    const std::string duplicate = Error("INSERT INTO t VALUES (1, 'c')");
    EXPECT_NE(duplicate.find("Primary Key constraint 'PK_t' violated. Duplicate found."),
              std::string::npos)
        << duplicate;
    EXPECT_EQ(Rows("t"), std::vector<std::string>{"1|a"});
}

TEST_F(SQLStatementTest, TableKeyClausesAndUniqueColumns) {
    Run("CREATE TABLE other (id INTEGER PRIMARY KEY); INSERT INTO other VALUES (1)");
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5) UNIQUE, c INTEGER, "
        "PRIMARY KEY (a DESC, c), "
        "FOREIGN KEY (c) REFERENCES other MATCH FULL ON DELETE SET NULL ON UPDATE NO ACTION)");
    EXPECT_EQ(IndexNames("t"), (std::vector<std::string>{"PK_t(a;c)", "UQ_b(b)"}));
    Run("INSERT INTO t VALUES (1, 'x', 1); INSERT INTO t VALUES (2, 'y', 1)");
    const std::string duplicate = Error("INSERT INTO t VALUES (3, 'x', 1)");
    EXPECT_NE(duplicate.find("Constraint unique 'UQ_b' violated"), std::string::npos) << duplicate;
    // The primary key is descending on a: the key order shows it.
    TSQLMemTable table;
    table.SetTableName("t");
    table.SetIndexName("PK_t");
    table.Open();
    table.First();
    EXPECT_EQ(table.FieldByName("a").AsInteger(), 2);
    table.Close();
}

TEST_F(SQLStatementTest, AutoincOptionsShapeTheSequence) {
    Run("CREATE TABLE t (id AUTOINC(INCREMENT 5, INITIALVALUE 10 SMALLINT), v INTEGER)");
    Run("INSERT INTO t (v) VALUES (1); INSERT INTO t (v) VALUES (2)");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"15|1", "20|2"}));
    Run("CREATE TABLE c (id AUTOINC(MINVALUE 1, MAXVALUE 2, CYCLED), v INTEGER)");
    Run("INSERT INTO c (v) VALUES (1); INSERT INTO c (v) VALUES (2); INSERT INTO c (v) VALUES (3)");
    EXPECT_EQ(Rows("c"), (std::vector<std::string>{"1|1", "2|2", "1|3"}));
}

TEST_F(SQLStatementTest, MinAndMaxValueLimitAPlainColumn) {
    Run("CREATE TABLE t (n INTEGER MINVALUE -5 MAXVALUE 10)");
    Run("INSERT INTO t VALUES (-5); INSERT INTO t VALUES (10)");
    EXPECT_NE(Error("INSERT INTO t VALUES (11)"), "");
    EXPECT_NE(Error("INSERT INTO t VALUES (-6)"), "");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"-5", "10"}));
}

// --- DROP TABLE, RENAME --------------------------------------------------------------------------

TEST_F(SQLStatementTest, DropTable) {
    Run("CREATE TABLE t (a INTEGER)");
    EXPECT_EQ(Run("DROP TABLE t"), 0);
    EXPECT_FALSE(TableExists("MEMORY", "t"));
    EXPECT_EQ(Error("DROP TABLE t"), "");  // a missing table is no error
    EXPECT_EQ(Error("DROP TABLE MEMORY t CASCADE"), "");
    EXPECT_EQ(Error("DROP TABLE"), "30249: Blank SQL command");
    EXPECT_EQ(Error("DROP TABLE t x"), "30170: Unexpected token 'x' found at line 1, column 14");
    Run("CREATE TABLE t (a INTEGER)");
    TSQLMemTable open;
    open.SetTableName("t");
    open.Open();
    const std::string busy = Error("DROP TABLE t");
    EXPECT_EQ(busy.substr(0, 36), "30250: Error dropping table: 'Cannot") << busy;
    open.Close();
}

TEST_F(SQLStatementTest, RenameTable) {
    Run("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7)");
    Run("RENAME TABLE t TO u");
    EXPECT_FALSE(TableExists("MEMORY", "t"));
    EXPECT_EQ(Rows("u"), std::vector<std::string>{"7"});
    Run("RENAME MEMORY u TO v");
    EXPECT_EQ(Rows("v"), std::vector<std::string>{"7"});
    Run("CREATE TABLE w (a INTEGER)");
    EXPECT_EQ(Error("RENAME v TO w"),
              "30265: Error altering teble: 'Table 'w' already exists - Native error: 10027'");
    EXPECT_EQ(Error("RENAME v w"),
              "30352: Token 'TO' expected, but 'w' found at line 1, column 10");
    EXPECT_EQ(Error("RENAME TABLE"), "30354: Blank SQL command");
}

// --- ALTER TABLE --------------------------------------------------------------------------------

TEST_F(SQLStatementTest, AlterTableParsesEveryForm) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5))");
    // Each form that changes columns, on a table of its own.
    const char* restructures[] = {
        "ALTER TABLE t ADD (c INTEGER NOT NULL DEFAULT 1, d VARCHAR(3) UNIQUE)",
        "ALTER TABLE t ADD COLUMN (c INTEGER)",
        "ALTER TABLE t DROP b",
        "ALTER TABLE t DROP COLUMN (a)",
        "ALTER TABLE t ALTER COLUMN (b VARCHAR(10))",
        "ALTER TABLE t MODIFY (b VARCHAR(10))",
        "ALTER TABLE t RENAME a TO x, b TO y",
        "ALTER TABLE t RENAME COLUMN a TO x",
    };
    for (const char* sql : restructures) {
        Run("DROP TABLE t; CREATE TABLE t (a INTEGER, b VARCHAR(5))");
        EXPECT_EQ(Error(sql), "") << sql;
    }
    const ErrorCase cases[] = {
        {"ALTER TABLE t CHANGE b",
         "30253: ADD, DROP or ALTER keyword expected, but 'CHANGE' found at line 1, column 15"},
        {"ALTER TABLE t SELECT b",
         "30252: ADD, DROP or ALTER keyword expected, but 'SELECT' found at line 1, column 15"},
        {"ALTER TABLE t", "30290: Unexpected end of SQL command found at line 1, column 13"},
        {"ALTER TABLE", "30251: Blank SQL command"},
        {"ALTER TABLE t ADD c INTEGER",
         "11468: '(' symbol expected, but 'c' found at line 1, column 19"},
        {"ALTER TABLE t DROP CONSTRAINT 5",
         "11495: Constraint name expected, but '5' found at line 1, column 31"},
        {"ALTER TABLE t RENAME a x",
         "30280: Token 'TO' expected, but 'x' found at line 1, column 24"},
        {"ALTER TABLE t DROP a b", "30174: Unexpected token 'b' found at line 1, column 22"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(Error(c.sql), c.error) << c.sql;
    }
}

TEST_F(SQLStatementTest, AlterTableRenamesAndChangesConstraints) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5) UNIQUE); INSERT INTO t VALUES (1, 'x')");
    Run("ALTER TABLE t ADD PRIMARY KEY (a)");
    EXPECT_EQ(IndexNames("t"), (std::vector<std::string>{"UQ_b(b)", "PK_t(a)"}));
    EXPECT_NE(Error("INSERT INTO t VALUES (1, 'y')"), "");
    Run("ALTER TABLE t DROP CONSTRAINT UQ_b CASCADE");
    EXPECT_EQ(IndexNames("t"), std::vector<std::string>{"PK_t(a)"});
    Run("INSERT INTO t VALUES (2, 'x')");
    Run("CREATE TABLE other (id INTEGER PRIMARY KEY);"
        "INSERT INTO other VALUES (1); INSERT INTO other VALUES (2)");
    Run("ALTER TABLE t ADD FOREIGN KEY (a) REFERENCES other");
    Run("ALTER TABLE t RENAME TO u");
    EXPECT_EQ(Rows("u"), (std::vector<std::string>{"1|x", "2|x"}));
    const std::string missing = Error("ALTER TABLE u DROP CONSTRAINT nope");
    EXPECT_NE(missing.find("Constraint 'nope' not found"), std::string::npos) << missing;
}

// --- CREATE INDEX, DROP INDEX
// ----------------------------------------------------------------------

TEST_F(SQLStatementTest, CreateIndexFilesTheExistingRows) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5));"
        "INSERT INTO t VALUES (3, 'c'); INSERT INTO t VALUES (1, 'A'); INSERT INTO t VALUES (2, "
        "'b')");
    Run("CREATE INDEX ib ON t (b NOCASE)");
    Run("CREATE INDEX IF NOT EXISTS ib ON t (a)");  // left alone
    EXPECT_EQ(IndexNames("t"), std::vector<std::string>{"ib(b)"});
    TSQLMemTable table;
    table.SetTableName("t");
    table.SetIndexName("ib");
    table.Open();
    std::string order;
    for (table.First(); !table.Eof(); table.Next()) {
        order += table.FieldByName("b").AsString();
    }
    EXPECT_EQ(order, "Abc");
    table.Close();
    const std::string again = Error("CREATE INDEX ib ON t (a)");
    EXPECT_NE(again.find("Duplicate index name 'ib'"), std::string::npos) << again;
}

TEST_F(SQLStatementTest, UniqueIndexOverDuplicatesFailsAndLeavesTheTable) {
    Run("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (1)");
    const std::string error = Error("CREATE UNIQUE INDEX u ON t (a)");
    EXPECT_NE(error.find("Constraint unique 'u' violated. Duplicate found."), std::string::npos)
        << error;
    EXPECT_TRUE(IndexNames("t").empty());
    Run("INSERT INTO t VALUES (2)");
    EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1", "1", "2"}));
}

TEST_F(SQLStatementTest, DropIndex) {
    Run("CREATE TABLE t (a INTEGER, b INTEGER); CREATE UNIQUE INDEX ua ON t (a DESC);"
        "CREATE INDEX ib ON t (b)");
    Run("INSERT INTO t VALUES (1, 1)");
    EXPECT_NE(Error("INSERT INTO t VALUES (1, 2)"), "");
    Run("DROP INDEX t.ua");
    EXPECT_EQ(IndexNames("t"), std::vector<std::string>{"ib(b)"});
    Run("INSERT INTO t VALUES (1, 2)");  // no longer unique
    EXPECT_EQ(Error("DROP INDEX IF EXISTS t.ua"), "");
    const std::string missing = Error("DROP INDEX t.ua");
    EXPECT_NE(missing.find("Index 'ua' not found"), std::string::npos) << missing;
}

TEST_F(SQLStatementTest, IndexStatementParseErrors) {
    const ErrorCase cases[] = {
        {"CREATE UNIQUE TABLE t",
         "30267: 'INDEX' keyword expected, but 'TABLE' found at line 1, column 15"},
        {"CREATE INDEX IF EXISTS i",
         "11236: 'NOT' keyword expected, but 'EXISTS' found at line 1, column 17"},
        {"CREATE INDEX IF NOT i",
         "11238: 'EXISTS' keyword expected, but 'i' found at line 1, column 21"},
        {"CREATE INDEX i t (a)",
         "30270: 'ON' keyword expected, but 't' found at line 1, column 16"},
        {"CREATE INDEX 5 ON t (a)",
         "30269: index name expected, but '5' found at line 1, column 14"},
        {"CREATE INDEX i ON t a", "30273: '(' symbol expected, but 'a' found at line 1, column 21"},
        {"CREATE INDEX i ON t (a b)",
         "30276: ')' or ',' symbol expected, but 'b' found at line 1, column 24"},
        {"CREATE INDEX i ON t (a) PASSWORD x",
         "30275: Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line "
         "1, "
         "column 34"},
        {"CREATE INDEX i ON", "30203: Unexpected end of SQL command found at line 1, column 16"},
        {"DROP INDEX t i", "30355: Token '.' expected, but 'i' found at line 1, column 14"},
        {"DROP INDEX IF t.i",
         "11238: 'EXISTS' keyword expected, but 't' found at line 1, column 15"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(Error(c.sql), c.error) << c.sql;
    }
}

// --- INSERT
// ------------------------------------------------------------------------------------------

TEST_F(SQLStatementTest, InsertErrors) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5))");
    const ErrorCase cases[] = {
        {"INSERT", "30155: Blank SQL command"},
        {"INSERT t VALUES (1)", "30206: Token 'INTO' expected, but 't' found at line 1, column 8"},
        {"INSERT INTO 5 VALUES (1)",
         "30180: Table name expected, but '5' found at line 1, column 13"},
        {"INSERT INTO t", "30161: Unexpected end of SQL command found at line 1, column 13"},
        {"INSERT INTO t VALUE (1)",
         "30188: Token 'VALUES' expected, but 'VALUE' found at line 1, column 15"},
        {"INSERT INTO t (a b) VALUES (1)",
         "30212: ')' or ',' symbol expected, but 'b' found at line 1, column 18"},
        {"INSERT INTO t VALUES (1, )", "30357: Error parsing parameter ')' at line 1, column 26"},
        {"INSERT INTO t VALUES (1) x", "30168: Unexpected token 'x' found at line 1, column 26"},
        {"INSERT INTO t VALUES (1, 'a', 3)",
         "30361: INSERT into table 't' gives 3 values for 2 columns"},
        {"INSERT INTO t VALUES (UPPER(1, 2), 'a')", ""},
    };
    for (const ErrorCase& c : cases) {
        const std::string error = Error(c.sql);
        if (std::string(c.error).empty()) {
            EXPECT_NE(error, "") << c.sql;
        } else {
            EXPECT_EQ(error, c.error) << c.sql;
        }
    }
    EXPECT_TRUE(Rows("t").empty());
}

TEST_F(SQLStatementTest, InsertValueThatCannotBeComputedNamesTheField) {
    Run("CREATE TABLE t (a INTEGER, b VARCHAR(5))");
    EXPECT_EQ(Error("INSERT INTO t (b, a) VALUES ('x', zz + 1)"),
              "30356: Parameter Value undefined (FieldName='a', Type='aftInteger')");
    EXPECT_TRUE(Rows("t").empty());
    // The table is usable afterwards: the failed row was cancelled.
    Run("INSERT INTO t VALUES (1, 'y')");
    EXPECT_EQ(Rows("t"), std::vector<std::string>{"1|y"});
}

TEST_F(SQLStatementTest, InsertedValuesTakeTheColumnsTypes) {
    Run("CREATE TABLE t (i INTEGER, f FLOAT, s VARCHAR(4), b BOOLEAN, l LARGEINT)");
    Run("INSERT INTO t VALUES ('12', 3, 42, TRUE, 9000000000)");
    Run("INSERT INTO t VALUES (NULL, 2.5, 'abcdef', FALSE, -1)");
    EXPECT_EQ(Rows("t"),
              (std::vector<std::string>{"12|3|42|True|9000000000", "NULL|2.5|abcd|False|-1"}));
    EXPECT_NE(Error("INSERT INTO t (i) VALUES ('x')"), "");
    EXPECT_EQ(Rows("t").size(), 2U);
}

TEST_F(SQLStatementTest, InsertIntoAMissingTableFails) {
    EXPECT_NE(Error("INSERT INTO nowhere VALUES (1)"), "");
    EXPECT_FALSE(TableExists("MEMORY", "nowhere"));
}

}  // namespace
}  // namespace tapir::engine
