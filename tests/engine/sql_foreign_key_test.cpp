// Foreign keys through SQL: the check of a referencing row under each match rule, the
// actions a delete or key change of a referenced row runs, the refusals of DROP TABLE and
// of emptying a table, ALTER TABLE ADD FOREIGN / DROP CONSTRAINT, renaming, and a saved
// database that keeps its keys. Each case is a script and what it leaves or raises.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "engine/pages/sqlmem_stream.h"
#include "engine/record/db_types.h"
#include "engine/sql/query/sqlmem_sql_select.h"
#include "engine/stream/table_stream.h"
#include "engine/table/sqlmem_database.h"
#include "sql_script_helpers.h"

namespace tapir::engine {
namespace {

using Lines = std::vector<std::string>;

class SQLForeignKeyTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallQueryCommand(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static void Run(const std::string& sql) { testing::RunScript(sql); }
    // The error with generated key names made readable: FOREIGN_KEY_#.
    static std::string Error(const std::string& sql) {
        return std::regex_replace(testing::ScriptError(sql), std::regex("FOREIGN_KEY_[0-9]+"),
                                  "FOREIGN_KEY_#");
    }
    static Lines Rows(const std::string& table_name) { return testing::TableRows(table_name); }
    static TSQLMemDatabaseData& Memory() {
        return *TSQLMemEngine::Instance().FindDatabase("MEMORY");
    }
    static std::vector<TSQLMemConstraintDef> ForeignKeys(const std::string& table_name) {
        std::vector<TSQLMemConstraintDef> keys;
        for (const TSQLMemConstraintDef& constraint :
             Memory().FindTable(table_name)->ConstraintDefs()) {
            if (constraint.Kind == ConstraintKind::ForeignKey) {
                keys.push_back(constraint);
            }
        }
        return keys;
    }
};

constexpr const char* kViolatedInC = "Constraint foreign key 'FOREIGN_KEY_#' violated in table 'c'";

// Pairs on a two-column key; c references them under the match rule the case gives.
TEST_F(SQLForeignKeyTest, MatchRulesDecideWhichNullsPass) {
    const struct {
        const char* match;
        const char* values;
        bool passes;
    } cases[] = {
        {"", "(1, 2)", true},
        {"", "(1, 3)", false},
        {"", "(1, NULL)", true},
        {"", "(9, NULL)", true},
        {"", "(NULL, NULL)", true},
        {"MATCH FULL", "(2, 5)", true},
        {"MATCH FULL", "(2, 6)", false},
        {"MATCH FULL", "(1, NULL)", false},
        {"MATCH FULL", "(NULL, NULL)", true},
        {"MATCH PARTIAL", "(1, NULL)", true},
        {"MATCH PARTIAL", "(NULL, 5)", true},
        {"MATCH PARTIAL", "(9, NULL)", false},
        {"MATCH PARTIAL", "(NULL, 7)", false},
        {"MATCH PARTIAL", "(NULL, NULL)", true},
        {"MATCH PARTIAL", "(1, 1)", true},
        {"MATCH PARTIAL", "(2, 1)", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::string(test.match) + " " + test.values);
        Run("CREATE TABLE p (a INTEGER, b INTEGER, PRIMARY KEY (a, b));"
            "INSERT INTO p VALUES (1, 1); INSERT INTO p VALUES (1, 2); INSERT INTO p VALUES (2, 5);"
            "CREATE TABLE c (x INTEGER, y INTEGER, FOREIGN KEY (x, y) REFERENCES p " +
            std::string(test.match) + ")");
        const std::string error = Error(std::string("INSERT INTO c VALUES ") + test.values);
        if (test.passes) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(Rows("c").size(), 1u);
        } else {
            EXPECT_NE(error.find(kViolatedInC), std::string::npos) << error;
            EXPECT_TRUE(Rows("c").empty());
        }
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(SQLForeignKeyTest, UpdatesOfReferencingRowsAreChecked) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY);"
        "INSERT INTO p VALUES (1); INSERT INTO p VALUES (2);"
        "CREATE TABLE c (n INTEGER, pid INTEGER, FOREIGN KEY (pid) REFERENCES p);"
        "INSERT INTO c VALUES (1, 1)");
    EXPECT_NE(Error("UPDATE c SET pid = 7").find(kViolatedInC), std::string::npos);
    EXPECT_EQ(Error("UPDATE c SET pid = 2; UPDATE c SET n = 5"), "");
    EXPECT_EQ(Rows("c"), (Lines{"5|2"}));
}

struct ActionCase {
    const char* name;
    const char* clause;     // the actions of c's key
    const char* statement;  // on p
    const char* error;      // a part of the error, "" when it runs
    Lines parents;
    Lines children;
};

// p holds 1, 2, 3; c holds rows referencing 1, 1 and 2 and one with no reference.
TEST_F(SQLForeignKeyTest, DeletesAndKeyChangesRunTheActions) {
    const std::vector<ActionCase> cases = {
        {"delete, no action",
         "",
         "DELETE FROM p WHERE id = 1",
         kViolatedInC,
         {"1|one", "2|two", "3|three"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"delete, explicit no action",
         "ON DELETE NO ACTION",
         "DELETE FROM p WHERE id = 2",
         kViolatedInC,
         {"1|one", "2|two", "3|three"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"delete of an unreferenced row",
         "",
         "DELETE FROM p WHERE id = 3",
         "",
         {"1|one", "2|two"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"delete, cascade",
         "ON DELETE CASCADE",
         "DELETE FROM p WHERE id <= 1",
         "",
         {"2|two", "3|three"},
         {"12|2", "13|NULL"}},
        {"delete all, cascade",
         "ON UPDATE NO ACTION ON DELETE CASCADE",
         "DELETE FROM p",
         "",
         {},
         {"13|NULL"}},
        {"delete, set null",
         "ON DELETE SET NULL",
         "DELETE FROM p WHERE id = 1",
         "",
         {"2|two", "3|three"},
         {"10|NULL", "11|NULL", "12|2", "13|NULL"}},
        {"delete, set default",
         "ON DELETE SET DEFAULT",
         "DELETE FROM p WHERE id = 1",
         "",
         {"2|two", "3|three"},
         {"10|3", "11|3", "12|2", "13|NULL"}},
        // The default must itself be a key of p.
        {"delete, set default to a missing key",
         "ON DELETE SET DEFAULT",
         "DELETE FROM p WHERE id = 3; DELETE FROM p WHERE id = 1",
         kViolatedInC,
         {"1|one", "2|two"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"key change, no action",
         "ON DELETE CASCADE",
         "UPDATE p SET id = 7 WHERE id = 1",
         kViolatedInC,
         {"1|one", "2|two", "3|three"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"other columns change, no action",
         "",
         "UPDATE p SET name = 'uno' WHERE id = 1",
         "",
         {"1|uno", "2|two", "3|three"},
         {"10|1", "11|1", "12|2", "13|NULL"}},
        {"key change, cascade",
         "ON UPDATE CASCADE",
         "UPDATE p SET id = id + 10 WHERE id < 3",
         "",
         {"11|one", "12|two", "3|three"},
         {"10|11", "11|11", "12|12", "13|NULL"}},
        {"key change, set null",
         "ON DELETE CASCADE ON UPDATE SET NULL",
         "UPDATE p SET id = 8 WHERE id = 2",
         "",
         {"1|one", "8|two", "3|three"},
         {"10|1", "11|1", "12|NULL", "13|NULL"}},
        {"key change, set default",
         "ON UPDATE SET DEFAULT",
         "UPDATE p SET id = 9 WHERE id = 1",
         "",
         {"9|one", "2|two", "3|three"},
         {"10|3", "11|3", "12|2", "13|NULL"}},
    };
    for (const ActionCase& test : cases) {
        SCOPED_TRACE(test.name);
        Run("CREATE TABLE p (id INTEGER PRIMARY KEY, name VARCHAR(10));"
            "INSERT INTO p VALUES (1, 'one'); INSERT INTO p VALUES (2, 'two');"
            "INSERT INTO p VALUES (3, 'three');"
            "CREATE TABLE c (n INTEGER, pid INTEGER DEFAULT 3, FOREIGN KEY (pid) REFERENCES p " +
            std::string(test.clause) +
            ");"
            "INSERT INTO c VALUES (10, 1); INSERT INTO c VALUES (11, 1);"
            "INSERT INTO c VALUES (12, 2); INSERT INTO c VALUES (13, NULL)");
        const std::string error = Error(test.statement);
        if (std::string(test.error).empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_NE(error.find(test.error), std::string::npos) << error;
        }
        EXPECT_EQ(Rows("p"), test.parents);
        EXPECT_EQ(Rows("c"), test.children);
        TSQLMemEngine::Instance().Reset();
    }
}

TEST_F(SQLForeignKeyTest, ASetNullThatBreaksAnotherConstraintRefusesTheDelete) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY);"
        "INSERT INTO p VALUES (1);"
        "CREATE TABLE c (pid INTEGER NOT NULL, FOREIGN KEY (pid) REFERENCES p ON DELETE SET NULL);"
        "INSERT INTO c VALUES (1)");
    EXPECT_NE(Error("DELETE FROM p").find("cannot be null"), std::string::npos);
    EXPECT_EQ(Rows("p"), (Lines{"1"}));
    EXPECT_EQ(Rows("c"), (Lines{"1"}));
}

TEST_F(SQLForeignKeyTest, PartialMatchesActOnlyOnRowsNoOtherKeyCovers) {
    Run("CREATE TABLE p (a INTEGER, b INTEGER, PRIMARY KEY (a, b));"
        "INSERT INTO p VALUES (1, 1); INSERT INTO p VALUES (1, 2); INSERT INTO p VALUES (2, 2);"
        "CREATE TABLE c (x INTEGER, y INTEGER, FOREIGN KEY (x, y) REFERENCES p MATCH PARTIAL"
        " ON DELETE CASCADE ON UPDATE CASCADE);"
        "INSERT INTO c VALUES (1, NULL); INSERT INTO c VALUES (NULL, 2);"
        "INSERT INTO c VALUES (2, 2)");
    // (1, NULL) is still covered by (1, 2); (2, 2) was the only row for itself.
    Run("DELETE FROM p WHERE a = 1 AND b = 1; UPDATE p SET a = 3 WHERE a = 2");
    EXPECT_EQ(Rows("c"), (Lines{"1|NULL", "NULL|2", "3|2"}));
    // Now (1, 2) alone covers (1, NULL): the key change carries it, its null stays.
    Run("UPDATE p SET a = 4 WHERE a = 1");
    EXPECT_EQ(Rows("c"), (Lines{"4|NULL", "NULL|2", "3|2"}));
    Run("DELETE FROM p WHERE a = 4");
    EXPECT_EQ(Rows("c"), (Lines{"NULL|2", "3|2"}));
}

TEST_F(SQLForeignKeyTest, CascadesFollowChainsOfTables) {
    Run("CREATE TABLE a (id INTEGER PRIMARY KEY);"
        "CREATE TABLE b (id INTEGER PRIMARY KEY, aid INTEGER,"
        " FOREIGN KEY (aid) REFERENCES a ON DELETE CASCADE ON UPDATE CASCADE);"
        "CREATE TABLE c (bid INTEGER, FOREIGN KEY (bid) REFERENCES b ON DELETE SET NULL);"
        "INSERT INTO a VALUES (1); INSERT INTO a VALUES (2);"
        "INSERT INTO b VALUES (5, 1); INSERT INTO b VALUES (6, 2);"
        "INSERT INTO c VALUES (5); INSERT INTO c VALUES (6)");
    Run("UPDATE a SET id = 3 WHERE id = 2");
    EXPECT_EQ(Rows("b"), (Lines{"5|1", "6|3"}));
    Run("DELETE FROM a WHERE id = 1");
    EXPECT_EQ(Rows("b"), (Lines{"6|3"}));
    EXPECT_EQ(Rows("c"), (Lines{"NULL", "6"}));
}

TEST_F(SQLForeignKeyTest, ASelfReferencingTableCascadesDownALongChain) {
    Run("CREATE TABLE e (id INTEGER PRIMARY KEY, boss INTEGER,"
        " FOREIGN KEY (boss) REFERENCES e ON DELETE CASCADE ON UPDATE CASCADE)");
    // A row may name itself; a missing boss is refused.
    EXPECT_EQ(Error("INSERT INTO e VALUES (9000, 9000)"), "");
    EXPECT_NE(Error("INSERT INTO e VALUES (1, 2)").find("violated in table 'e'"),
              std::string::npos);
    std::string chain = "INSERT INTO e VALUES (1, NULL);";
    for (int id = 2; id <= 2000; ++id) {
        chain +=
            "INSERT INTO e VALUES (" + std::to_string(id) + ", " + std::to_string(id - 1) + ");";
    }
    Run(chain);
    // A row that names itself follows its own key change.
    Run("UPDATE e SET id = 9001 WHERE id = 9000; UPDATE e SET id = 5000 WHERE id = 1000");
    Lines rows = Rows("e");
    ASSERT_EQ(rows.size(), 2001u);
    EXPECT_EQ(rows[0], "9001|9001");
    EXPECT_EQ(rows[1000], "5000|999");
    EXPECT_EQ(rows[1001], "1001|5000");
    // Deleting the head takes the whole chain, one level at a time, without deep recursion;
    // a row that only names itself goes without refusal.
    Run("DELETE FROM e WHERE id = 1");
    EXPECT_EQ(Rows("e"), (Lines{"9001|9001"}));
    Run("CREATE TABLE n (id INTEGER PRIMARY KEY, up INTEGER, FOREIGN KEY (up) REFERENCES n);"
        "INSERT INTO n VALUES (1, 1); INSERT INTO n VALUES (2, 1)");
    EXPECT_NE(Error("DELETE FROM n WHERE id = 1").find("violated in table 'n'"), std::string::npos);
    EXPECT_EQ(Error("UPDATE n SET id = 3 WHERE id = 2"), "");
    Run("DELETE FROM n WHERE id = 3; DELETE FROM n WHERE id = 1");
    EXPECT_TRUE(Rows("n").empty());
}

TEST_F(SQLForeignKeyTest, CyclesOfCascadesEnd) {
    Run("CREATE TABLE a (id INTEGER PRIMARY KEY, bid INTEGER);"
        "CREATE TABLE b (id INTEGER PRIMARY KEY, aid INTEGER,"
        " FOREIGN KEY (aid) REFERENCES a ON DELETE CASCADE);"
        "ALTER TABLE a ADD FOREIGN KEY (bid) REFERENCES b ON DELETE CASCADE;"
        "INSERT INTO a VALUES (1, NULL); INSERT INTO b VALUES (1, 1);"
        "INSERT INTO a VALUES (2, 1); INSERT INTO b VALUES (2, 2);"
        "UPDATE a SET bid = 2 WHERE id = 1; INSERT INTO a VALUES (3, NULL)");
    Run("DELETE FROM b WHERE id = 1");
    EXPECT_EQ(Rows("a"), (Lines{"3|NULL"}));
    EXPECT_TRUE(Rows("b").empty());
}

TEST_F(SQLForeignKeyTest, CreateRefusesKeysThatReferenceNoPrimaryKey) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY, other INTEGER); CREATE TABLE plain (id INTEGER)");
    EXPECT_EQ(Error("CREATE TABLE c (x INTEGER, FOREIGN KEY (x) REFERENCES nowhere)").substr(0, 6),
              "30248:");
    EXPECT_NE(Error("CREATE TABLE c (x INTEGER, FOREIGN KEY (x) REFERENCES nowhere)")
                  .find("Referenced table 'nowhere' not found - Native error: 11421"),
              std::string::npos);
    EXPECT_NE(Error("CREATE TABLE c (x INTEGER, FOREIGN KEY (x) REFERENCES plain)")
                  .find("has no primary key - Native error: 11422"),
              std::string::npos);
    EXPECT_NE(Error("CREATE TABLE c (x INTEGER, y INTEGER, FOREIGN KEY (x, y) REFERENCES p)")
                  .find("Native error: 11423"),
              std::string::npos);
    EXPECT_NE(Error("CREATE TABLE c (x INTEGER, FOREIGN KEY (z) REFERENCES p)")
                  .find("Field 'z' not found"),
              std::string::npos);
    EXPECT_FALSE(Memory().TableExists("c"));
    // Two unnamed keys get two generated names.
    Run("CREATE TABLE c (x INTEGER, y INTEGER, FOREIGN KEY (x) REFERENCES p,"
        " FOREIGN KEY (y) REFERENCES p ON DELETE CASCADE)");
    const std::vector<TSQLMemConstraintDef> keys = ForeignKeys("c");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(std::regex_match(keys[0].Name, std::regex("FOREIGN_KEY_[0-9]+")));
    EXPECT_TRUE(std::regex_match(keys[1].Name, std::regex("FOREIGN_KEY_[0-9]+")));
    EXPECT_NE(keys[0].Name, keys[1].Name);
    EXPECT_EQ(keys[1].Columns, (Lines{"y"}));
    EXPECT_EQ(keys[1].ReferencedTable, "p");
    EXPECT_EQ(keys[1].OnDelete, TSQLMemReferentialAction::Cascade);
}

TEST_F(SQLForeignKeyTest, AlterAddsAndDropsKeys) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY); INSERT INTO p VALUES (1);"
        "CREATE TABLE c (pid INTEGER); INSERT INTO c VALUES (1); INSERT INTO c VALUES (2)");
    const std::string refused = Error("ALTER TABLE c ADD FOREIGN KEY (pid) REFERENCES p");
    EXPECT_EQ(refused.substr(0, 6), "30265:");
    EXPECT_NE(refused.find(kViolatedInC), std::string::npos) << refused;
    EXPECT_TRUE(ForeignKeys("c").empty());
    Run("DELETE FROM c WHERE pid = 2; ALTER TABLE c ADD FOREIGN KEY (pid) REFERENCES p");
    ASSERT_EQ(ForeignKeys("c").size(), 1u);
    EXPECT_NE(Error("INSERT INTO c VALUES (2)").find(kViolatedInC), std::string::npos);
    // The referenced primary key stays while the key needs it.
    EXPECT_NE(Error("ALTER TABLE p DROP CONSTRAINT PK_p").find("Native error: 11425"),
              std::string::npos);
    Run("ALTER TABLE c DROP CONSTRAINT " + ForeignKeys("c")[0].Name);
    EXPECT_EQ(Error("INSERT INTO c VALUES (2)"), "");
    EXPECT_EQ(Error("DELETE FROM p"), "");
}

TEST_F(SQLForeignKeyTest, DropAndEmptyAreRefusedWhileOtherTablesRelyOnTheRows) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY); INSERT INTO p VALUES (1);"
        "CREATE TABLE q (id INTEGER PRIMARY KEY); INSERT INTO q VALUES (1);"
        "CREATE TABLE c (pid INTEGER, qid INTEGER, FOREIGN KEY (pid) REFERENCES p,"
        " FOREIGN KEY (qid) REFERENCES q ON DELETE CASCADE);"
        "CREATE TABLE s (id INTEGER PRIMARY KEY, up INTEGER, FOREIGN KEY (up) REFERENCES s"
        " ON DELETE CASCADE);"
        "INSERT INTO s VALUES (1, NULL); INSERT INTO s VALUES (2, 1)");
    EXPECT_EQ(Error("DROP TABLE p"),
              "30250: Error dropping table: 'Cannot delete table 'p' - foreign key constraint(s) "
              "violated - Native error: 11481'");
    // NO ACTION without referencing rows lets the table be emptied; a delete action never.
    EmptyTable("MEMORY", "p");
    Run("INSERT INTO p VALUES (1); INSERT INTO c VALUES (1, NULL)");
    const auto empty_error = [](const char* table) {
        try {
            EmptyTable("MEMORY", table);
        } catch (const ESQLMemException& error) {
            return std::to_string(error.Code().value_or(0)) + ": " + error.BareMessage();
        }
        return std::string();
    };
    EXPECT_EQ(empty_error("p"),
              "11494: Cannot empty table 'p' - foreign key(s) with delete action referencing "
              "this table exists");
    EXPECT_EQ(empty_error("q"),
              "11494: Cannot empty table 'q' - foreign key(s) with delete action referencing "
              "this table exists");
    // A table's references to itself do not hold it.
    EXPECT_EQ(empty_error("s"), "");
    EXPECT_EQ(Error("DROP TABLE s"), "");
    // Once the referencing table is gone, so are its keys.
    Run("DROP TABLE c; DROP TABLE p");
    EXPECT_FALSE(Memory().TableExists("p"));
    // CASCADE drops the keys that reference the table.
    Run("CREATE TABLE c (qid INTEGER, FOREIGN KEY (qid) REFERENCES q); INSERT INTO c VALUES (1);"
        "DROP TABLE q CASCADE");
    EXPECT_TRUE(ForeignKeys("c").empty());
    EXPECT_EQ(Error("INSERT INTO c VALUES (5)"), "");
}

TEST_F(SQLForeignKeyTest, RenamedTablesStayReferenced) {
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY); INSERT INTO p VALUES (1);"
        "CREATE TABLE c (pid INTEGER, FOREIGN KEY (pid) REFERENCES p ON DELETE CASCADE);"
        "INSERT INTO c VALUES (1); RENAME TABLE p TO parent");
    EXPECT_EQ(ForeignKeys("c")[0].ReferencedTable, "parent");
    EXPECT_NE(Error("INSERT INTO c VALUES (2)").find(kViolatedInC), std::string::npos);
    Run("CREATE TABLE p (id INTEGER PRIMARY KEY); INSERT INTO p VALUES (2)");
    EXPECT_NE(Error("INSERT INTO c VALUES (2)").find(kViolatedInC), std::string::npos);
    Run("ALTER TABLE c RENAME TO child; DELETE FROM parent");
    EXPECT_TRUE(Rows("child").empty());
    EXPECT_NE(Error("DROP TABLE parent").find("11481"), std::string::npos);
}

TEST_F(SQLForeignKeyTest, ASavedDatabaseKeepsItsKeysEnforced) {
    Run("CREATE TABLE p (a INTEGER, b VARCHAR(5), PRIMARY KEY (a, b)); INSERT INTO p VALUES (1, "
        "'x');"
        "INSERT INTO p VALUES (2, 'y');"
        "CREATE TABLE c (n INTEGER, pb VARCHAR(5), pa INTEGER,"
        " FOREIGN KEY (pa, pb) REFERENCES p MATCH FULL ON UPDATE CASCADE ON DELETE SET NULL);"
        "INSERT INTO c VALUES (1, 'x', 1); INSERT INTO c VALUES (2, 'y', 2)");
    const TSQLMemConstraintDef saved = ForeignKeys("c")[0];
    TSQLMemMemoryStream stream;
    SaveAllTablesToStream(Memory(), stream, acaNone, 1, 0);
    TSQLMemEngine::Instance().Reset();
    ASSERT_TRUE(stream.SetPosition(0));
    LoadAllTablesFromStream(Memory(), stream);
    const std::vector<TSQLMemConstraintDef> keys = ForeignKeys("c");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].Name, saved.Name);
    EXPECT_EQ(keys[0].Columns, (Lines{"pa", "pb"}));
    EXPECT_EQ(keys[0].ReferencedTable, "p");
    EXPECT_EQ(keys[0].Match, TSQLMemMatchRule::Full);
    EXPECT_EQ(keys[0].OnUpdate, TSQLMemReferentialAction::Cascade);
    EXPECT_EQ(keys[0].OnDelete, TSQLMemReferentialAction::SetNull);
    EXPECT_NE(Error("INSERT INTO c VALUES (3, 'x', 2)").find(kViolatedInC), std::string::npos);
    EXPECT_NE(Error("INSERT INTO c VALUES (3, NULL, 2)").find(kViolatedInC), std::string::npos);
    Run("UPDATE p SET b = 'z' WHERE a = 2; DELETE FROM p WHERE a = 1");
    EXPECT_EQ(Rows("c"), (Lines{"1|NULL|NULL", "2|z|2"}));
    EXPECT_NE(Error("DROP TABLE p").find("11481"), std::string::npos);
}

}  // namespace
}  // namespace tapir::engine
