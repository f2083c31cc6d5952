// Restructuring a stored table: ALTER TABLE's column forms run through SQL scripts on
// tables that hold rows, and the table-level operation underneath them.

#include "engine/table/table_restructure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/pages/sqlmem_stream.h"
#include "engine/record/db_types.h"
#include "engine/stream/table_stream.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "engine/table/sqlmem_table_data.h"
#include "sql_script_helpers.h"

namespace tapir::engine {
namespace {

using Lines = std::vector<std::string>;

TSQLMemDatabaseData& Memory() { return *TSQLMemEngine::Instance().FindDatabase("MEMORY"); }

TSQLMemTableData& Stored(const std::string& name) {
    TSQLMemTableData* table = Memory().FindTable(name);
    EXPECT_NE(table, nullptr) << name;
    return *table;
}

// The columns as "name type[ NOT NULL]", in column order.
Lines Columns(const std::string& table_name) {
    const TSQLMemTableData& table = Stored(table_name);
    Lines columns;
    for (int32_t f = 0; f < table.FieldDefs().Count(); ++f) {
        const TSQLMemFieldDef& field = table.FieldDefs()[f];
        std::string column = field.Name + " " + std::string(BaseTypeName(field.BaseType).substr(3));
        for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
            if (constraint.Kind == ConstraintKind::NotNull && constraint.FieldNo == f) {
                column += " NOT NULL";
            }
        }
        columns.push_back(column);
    }
    return columns;
}

// The indexes as "name(col;col)", and the constraints that go with indexes by name.
Lines Indexes(const std::string& table_name) {
    const TSQLMemTableData& table = Stored(table_name);
    Lines indexes;
    for (size_t i = 0; i < table.IndexDefs().size(); ++i) {
        const TSQLMemIndexDef& index = table.IndexDefs()[i];
        std::string text = index.Name + "(";
        for (size_t c = 0; c < index.Columns.size(); ++c) {
            text += (c == 0 ? "" : ";") + index.Columns[c].FieldName;
        }
        text += ")";
        for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
            if (constraint.IndexNo == static_cast<int32_t>(i)) {
                text += constraint.Kind == ConstraintKind::PrimaryKey ? " pk" : " unique";
            }
        }
        indexes.push_back(text);
    }
    return indexes;
}

class TableRestructureTest : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

// --- Each form, with rows present -------------------------------------------------------------

struct AlterCase {
    const char* alter;
    Lines columns;  // after the statement; empty when it is refused
    Lines rows;
    const char* error;  // a part of the refusal; "" when the statement succeeds
};

TEST_F(TableRestructureTest, EachColumnFormChangesTheRowsOrLeavesThemAlone) {
    const char* setup =
        "CREATE TABLE t (a INTEGER, b VARCHAR(5), c VARCHAR(4));"
        "INSERT INTO t VALUES (1, 'xyz', '12');"
        "INSERT INTO t VALUES (2, NULL, '-3');"
        "INSERT INTO t VALUES (3, 'w', NULL)";
    const Lines before_columns = {"a SignedInt32", "b Varchar", "c Varchar"};
    const Lines before_rows = {"1|xyz|12", "2|NULL|-3", "3|w|NULL"};
    const AlterCase cases[] = {
        {"ALTER TABLE t ADD (d INTEGER DEFAULT 7, e VARCHAR(2))",
         {"a SignedInt32", "b Varchar", "c Varchar", "d SignedInt32", "e Varchar"},
         {"1|xyz|12|7|NULL", "2|NULL|-3|7|NULL", "3|w|NULL|7|NULL"},
         ""},
        {"ALTER TABLE t ADD COLUMN (d INTEGER NOT NULL DEFAULT 0)",
         {"a SignedInt32", "b Varchar", "c Varchar", "d SignedInt32 NOT NULL"},
         {"1|xyz|12|0", "2|NULL|-3|0", "3|w|NULL|0"},
         ""},
        {"ALTER TABLE t ADD (d INTEGER NOT NULL)", {}, {}, "cannot be null - Native error: 30026"},
        {"ALTER TABLE t ADD (B INTEGER)", {}, {}, "Field 'B' already exists in table 't'"},
        {"ALTER TABLE t ADD (d INTEGER, d VARCHAR(2))", {}, {}, "Field 'd' already exists"},
        {"ALTER TABLE t DROP b", {"a SignedInt32", "c Varchar"}, {"1|12", "2|-3", "3|NULL"}, ""},
        {"ALTER TABLE t DROP COLUMN (a, C)", {"b Varchar"}, {"xyz", "NULL", "w"}, ""},
        {"ALTER TABLE t DROP (a, b, c)", {}, {}, "Cannot drop every field of table 't'"},
        {"ALTER TABLE t DROP a, zz", {}, {}, "Field 'zz' not found in table 't'"},
        // Conversions through the value casts, the columns in their places.
        {"ALTER TABLE t MODIFY (c INTEGER)",
         {"a SignedInt32", "b Varchar", "c SignedInt32"},
         {"1|xyz|12", "2|NULL|-3", "3|w|NULL"},
         ""},
        {"ALTER TABLE t ALTER COLUMN (a VARCHAR(3), b VARCHAR(2))",
         {"a Varchar", "b Varchar", "c Varchar"},
         {"1|xy|12", "2|NULL|-3", "3|w|NULL"},
         ""},
        {"ALTER TABLE t MODIFY (a DOUBLE)",
         {"a Double", "b Varchar", "c Varchar"},
         {"1|xyz|12", "2|NULL|-3", "3|w|NULL"},
         ""},
        {"ALTER TABLE t MODIFY (b INTEGER)", {}, {}, "30078"},
        {"ALTER TABLE t MODIFY (b VARCHAR(5) NOT NULL)", {}, {}, "cannot be null"},
        {"ALTER TABLE t MODIFY (b VARCHAR(5) NOT NULL DEFAULT 'none')",
         {"a SignedInt32", "b Varchar NOT NULL", "c Varchar"},
         {"1|xyz|12", "2|none|-3", "3|w|NULL"},
         ""},
        {"ALTER TABLE t MODIFY (zz INTEGER)", {}, {}, "Field 'zz' not found in table 't'"},
        {"ALTER TABLE t MODIFY (a INTEGER MINVALUE 2)", {}, {}, "cannot be lower then '2'"},
        {"ALTER TABLE t RENAME a TO x, b TO y",
         {"x SignedInt32", "y Varchar", "c Varchar"},
         before_rows,
         ""},
        // Renames apply in turn: the second sees the first's result.
        {"ALTER TABLE t RENAME COLUMN a TO tmp, b TO a, tmp TO b",
         {"b SignedInt32", "a Varchar", "c Varchar"},
         before_rows,
         ""},
        {"ALTER TABLE t RENAME a TO A2",
         {"A2 SignedInt32", "b Varchar", "c Varchar"},
         before_rows,
         ""},
        {"ALTER TABLE t RENAME a TO C", {}, {}, "Field 'C' already exists in table 't'"},
        {"ALTER TABLE t RENAME zz TO q", {}, {}, "Field 'zz' not found in table 't'"},
    };
    for (const AlterCase& c : cases) {
        TSQLMemEngine::Instance().Reset();
        testing::RunScript(setup);
        const std::string error = testing::ScriptError(c.alter);
        if (*c.error == '\0') {
            EXPECT_EQ(error, "") << c.alter;
            EXPECT_EQ(Columns("t"), c.columns) << c.alter;
            EXPECT_EQ(testing::TableRows("t"), c.rows) << c.alter;
        } else {
            // Every refusal is a failed restructure inside a failed ALTER, and the table
            // is as it was.
            EXPECT_EQ(error.substr(0, 55),
                      "30265: Error altering teble: 'Restructure table error: ")
                << c.alter;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.alter << "\n" << error;
            EXPECT_NE(error.find("Native error: 30347'"), std::string::npos) << error;
            EXPECT_EQ(Columns("t"), before_columns) << c.alter;
            EXPECT_EQ(testing::TableRows("t"), before_rows) << c.alter;
        }
        EXPECT_TRUE(Stored("t").CheckIntegrity().empty()) << c.alter;
    }
}

TEST_F(TableRestructureTest, UnknownTableIsRefusedInsideTheAlterError) {
    const std::string error = testing::ScriptError("ALTER TABLE nowhere ADD (a INTEGER)");
    EXPECT_NE(error.find("30265: Error altering teble: 'Restructure table error: "),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("nowhere"), std::string::npos) << error;
}

// --- Indexes and constraints ------------------------------------------------------------------

TEST_F(TableRestructureTest, IndexesSurviveWithTheirColumnsAndGoWithThem) {
    testing::RunScript(
        "CREATE TABLE t (a INTEGER PRIMARY KEY, b VARCHAR(5) UNIQUE, c INTEGER MAXVALUE 100);"
        "CREATE INDEX ibc ON t (b, c DESC);"
        "CREATE INDEX ic ON t (c DESC);"
        "INSERT INTO t VALUES (1, 'q', 30); INSERT INTO t VALUES (2, 'p', 10);"
        "INSERT INTO t VALUES (3, 'r', 20)");
    testing::RunScript("ALTER TABLE t RENAME b TO bb, c TO cc");
    EXPECT_EQ(Indexes("t"), (Lines{"PK_t(a) pk", "UQ_b(bb) unique", "ibc(bb;cc)", "ic(cc)"}));
    EXPECT_EQ(testing::TableRows("t", "ic"), (Lines{"1|q|30", "3|r|20", "2|p|10"}));
    EXPECT_TRUE(Stored("t").Index(3).Definition().Columns[0].descending);
    // The check constraint followed its column through the rename.
    EXPECT_NE(testing::ScriptError("INSERT INTO t VALUES (4, 's', 101)").find("30030"),
              std::string::npos);

    // A key column cannot become a BLOB column: its index could not order it.
    const std::string blob = testing::ScriptError("ALTER TABLE t MODIFY (bb MEMO)");
    EXPECT_NE(blob.find("Field 'bb' of index 'UQ_b' cannot become a BLOB field"), std::string::npos)
        << blob;
    EXPECT_EQ(Indexes("t").size(), 4U);

    testing::RunScript("ALTER TABLE t DROP cc");
    EXPECT_EQ(Indexes("t"), (Lines{"PK_t(a) pk", "UQ_b(bb) unique"}));
    EXPECT_EQ(testing::TableRows("t", "UQ_b"), (Lines{"2|p", "1|q", "3|r"}));
    // The surviving keys still refuse duplicates; a dropped key no longer refuses.
    EXPECT_NE(testing::ScriptError("INSERT INTO t VALUES (1, 'z')").find("30319"),
              std::string::npos);
    EXPECT_NE(testing::ScriptError("INSERT INTO t VALUES (9, 'q')").find("30320"),
              std::string::npos);
    testing::RunScript("ALTER TABLE t DROP a");
    EXPECT_EQ(Indexes("t"), Lines{"UQ_b(bb) unique"});
    testing::RunScript("INSERT INTO t VALUES ('s')");
    EXPECT_TRUE(Stored("t").CheckIntegrity().empty());
}

TEST_F(TableRestructureTest, AddedKeysJoinOrMakeThePrimaryKeyAndUniqueIndexes) {
    testing::RunScript(
        "CREATE TABLE t (a INTEGER NOT NULL);"
        "INSERT INTO t VALUES (5); INSERT INTO t VALUES (6)");
    // A new autoinc column numbers the rows there are, so it can be a key at once.
    testing::RunScript("ALTER TABLE t ADD (id AUTOINC PRIMARY KEY)");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"5|1", "6|2"}));
    EXPECT_EQ(Indexes("t"), (Lines{"PK_t(id) pk"}));
    // A unique index holds one null at most, as it does for inserted rows.
    EXPECT_NE(testing::ScriptError("ALTER TABLE t ADD (u VARCHAR(3) UNIQUE)").find("30320"),
              std::string::npos);
    testing::RunScript(
        "ALTER TABLE t ADD (u VARCHAR(3) DEFAULT 'x'); UPDATE t SET u = 'y' WHERE "
        "id = 2; ALTER TABLE t MODIFY (u VARCHAR(3) UNIQUE)");
    EXPECT_EQ(Indexes("t"), (Lines{"PK_t(id) pk", "UQ_u(u) unique"}));
    testing::RunScript("INSERT INTO t (a, u) VALUES (7, 'z')");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"5|1|x", "6|2|y", "7|3|z"}));
    // The key grows by a later column; one whose values repeat cannot join it.
    testing::RunScript("ALTER TABLE t ADD (k INTEGER NOT NULL DEFAULT 0 PRIMARY KEY)");
    EXPECT_EQ(Indexes("t"), (Lines{"UQ_u(u) unique", "PK_t(id;k) pk"}));
    const std::string error = testing::ScriptError("ALTER TABLE t MODIFY (u VARCHAR(3) UNIQUE)");
    EXPECT_EQ(error, "");  // already unique: nothing added
    testing::RunScript(
        "CREATE TABLE v (a INTEGER); INSERT INTO v VALUES (1); INSERT INTO v "
        "VALUES (1)");
    EXPECT_NE(testing::ScriptError("ALTER TABLE v MODIFY (a INTEGER PRIMARY KEY)").find("30319"),
              std::string::npos);
    EXPECT_EQ(Indexes("v"), Lines{});
    EXPECT_EQ(testing::TableRows("v"), (Lines{"1", "1"}));
}

// --- Sequences and BLOB values ----------------------------------------------------------------

TEST_F(TableRestructureTest, AutoincColumnsContinueTheirSequence) {
    testing::RunScript(
        "CREATE TABLE t (id AUTOINC, s VARCHAR(5));"
        "INSERT INTO t (s) VALUES ('a'); INSERT INTO t (s) VALUES ('b');"
        "INSERT INTO t (s) VALUES ('c'); DELETE FROM t WHERE id = 3");
    testing::RunScript("ALTER TABLE t ADD (n INTEGER); ALTER TABLE t RENAME id TO ident");
    testing::RunScript("INSERT INTO t (s) VALUES ('d')");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"1|a|NULL", "2|b|NULL", "4|d|NULL"}));
    // A column that becomes autoinc continues after the highest value it holds.
    testing::RunScript(
        "CREATE TABLE u (n INTEGER, s VARCHAR(3));"
        "INSERT INTO u VALUES (40, 'a'); INSERT INTO u VALUES (NULL, 'b');"
        "INSERT INTO u VALUES (7, 'c')");
    testing::RunScript("ALTER TABLE u MODIFY (n AUTOINC)");
    EXPECT_EQ(testing::TableRows("u"), (Lines{"40|a", "1|b", "7|c"}));
    testing::RunScript("INSERT INTO u (s) VALUES ('d')");
    EXPECT_EQ(testing::TableRows("u").back(), "41|d");
}

TEST_F(TableRestructureTest, BlobValuesAreCarriedAndConverted) {
    testing::RunScript(
        "CREATE TABLE t (a INTEGER, m MEMO, b VARCHAR(10));"
        "INSERT INTO t VALUES (1, 'first memo', 'x'); INSERT INTO t VALUES (2, NULL, '42');"
        "INSERT INTO t VALUES (3, 'third', NULL)");
    testing::RunScript("ALTER TABLE t DROP a; ALTER TABLE t ADD (z INTEGER)");
    EXPECT_EQ(testing::TableRows("t"),
              (Lines{"first memo|x|NULL", "NULL|42|NULL", "third|NULL|NULL"}));
    EXPECT_EQ(Stored("t").Blobs().Count(), 2U);
    // Between memo and text in both directions.
    testing::RunScript("ALTER TABLE t MODIFY (m VARCHAR(5), b MEMO)");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"first|x|NULL", "NULL|42|NULL", "third|NULL|NULL"}));
    EXPECT_EQ(Stored("t").Blobs().Count(), 2U);
    EXPECT_EQ(Columns("t"), (Lines{"m Varchar", "b Clob", "z SignedInt32"}));
    testing::RunScript("ALTER TABLE t MODIFY (b WIDEMEMO)");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"first|x|NULL", "NULL|42|NULL", "third|NULL|NULL"}));
    // Memo text becomes BLOB bytes; a value that does not convert stops the change.
    testing::RunScript("ALTER TABLE t MODIFY (m BLOB)");
    EXPECT_EQ(Columns("t"), (Lines{"m Blob", "b WideClob", "z SignedInt32"}));
    EXPECT_NE(testing::ScriptError("ALTER TABLE t MODIFY (b INTEGER)").find("30078"),
              std::string::npos);
    testing::RunScript("ALTER TABLE t MODIFY (m VARCHAR(10))");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"first|x|NULL", "NULL|42|NULL", "third|NULL|NULL"}));
}

// --- Open cursors, streams --------------------------------------------------------------------

TEST_F(TableRestructureTest, AnOpenTableIsNotRestructured) {
    testing::RunScript("CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1)");
    TSQLMemTable open;
    open.SetTableName("t");
    open.Open();
    const std::string error = testing::ScriptError("ALTER TABLE t ADD (b INTEGER)");
    EXPECT_NE(error.find("Cannot alter table 't'. Table is open by another dataset"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("20018"), std::string::npos) << error;
    EXPECT_EQ(open.FieldCount(), 1);
    open.Close();
    testing::RunScript("ALTER TABLE t ADD (b INTEGER)");
    EXPECT_EQ(testing::TableRows("t"), Lines{"1|NULL"});
}

TEST_F(TableRestructureTest, ARestructuredTableSavesAndLoadsBack) {
    testing::RunScript(
        "CREATE TABLE t (id AUTOINC PRIMARY KEY, a VARCHAR(4), m MEMO);"
        "INSERT INTO t (a, m) VALUES ('x', 'memo one'); INSERT INTO t (a, m) VALUES ('y', NULL);"
        "ALTER TABLE t ADD (d DOUBLE DEFAULT 1.5 NOT NULL);"
        "ALTER TABLE t RENAME a TO name;"
        "ALTER TABLE t MODIFY (name VARCHAR(2) UNIQUE)");
    const Lines rows = {"1|x|memo one|1.5", "2|y|NULL|1.5"};
    ASSERT_EQ(testing::TableRows("t"), rows);
    const Lines indexes = Indexes("t");
    ASSERT_EQ(indexes, (Lines{"PK_t(id) pk", "UQ_name(name) unique"}));

    TSQLMemMemoryStream stream;
    SaveTableToStream(Memory(), "t", stream, acaNone, 1, 0);
    TSQLMemEngine::Instance().Reset();
    ASSERT_TRUE(stream.SetPosition(0));
    LoadTableFromStream(Memory(), stream);
    EXPECT_EQ(testing::TableRows("t"), rows);
    EXPECT_EQ(Columns("t"),
              Lines({"id SignedInt32", "name Varchar", "m Clob", "d Double NOT NULL"}));
    EXPECT_EQ(Indexes("t"), indexes);
    testing::RunScript("INSERT INTO t (name) VALUES ('z')");
    EXPECT_EQ(testing::TableRows("t").back(), "3|z|NULL|1.5");
}

// --- The table-level operation ----------------------------------------------------------------

TEST_F(TableRestructureTest, APlanReordersColumnsAndCarriesOtherConstraints) {
    testing::RunScript(
        "CREATE TABLE p (id INTEGER, PRIMARY KEY (id));"
        "INSERT INTO p VALUES (10); INSERT INTO p VALUES (20);"
        "CREATE TABLE t (a INTEGER, b VARCHAR(3), c INTEGER, FOREIGN KEY (c) REFERENCES p);"
        "INSERT INTO t VALUES (1, 'p', 10); INSERT INTO t VALUES (2, 'q', 20)");
    TSQLMemTableData& before = Stored("t");
    std::string key_name;
    for (const TSQLMemConstraintDef& constraint : before.ConstraintDefs()) {
        if (constraint.Kind == ConstraintKind::ForeignKey) {
            key_name = constraint.Name;
        }
    }
    ASSERT_FALSE(key_name.empty());

    RestructurePlan plan = CurrentColumns(before);
    ASSERT_EQ(plan.columns.size(), 3U);
    // c renamed to k and moved first, a dropped, a new text column last.
    RestructurePlan reordered;
    reordered.columns.push_back(plan.columns[2]);
    reordered.columns.back().field.name = "k";
    reordered.columns.push_back(plan.columns[1]);
    TableFieldSpec added;
    added.name = "n";
    added.data_type = ftString;
    added.size = 2;
    added.default_value = TSQLMemVariant::FromText("zz");
    reordered.columns.push_back({added, ""});
    RestructureTable(Memory(), "T", reordered);

    TSQLMemTableData& after = Stored("t");
    EXPECT_NE(&after, &before);
    EXPECT_EQ(after.Name(), "t");
    EXPECT_EQ(testing::TableRows("t"), (Lines{"10|p|zz", "20|q|zz"}));
    bool carried = false;
    for (const TSQLMemConstraintDef& constraint : after.ConstraintDefs()) {
        if (constraint.Kind == ConstraintKind::ForeignKey) {
            carried = constraint.Name == key_name && constraint.Columns == Lines{"k"} &&
                      constraint.ReferencedTable == "p";
        }
    }
    EXPECT_TRUE(carried);

    // Dropping the key's column is refused; the table stays.
    RestructurePlan without_key = CurrentColumns(after);
    without_key.columns.erase(without_key.columns.begin());
    try {
        RestructureTable(Memory(), "t", without_key);
        ADD_FAILURE() << "dropping a foreign key column was allowed";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code().value_or(0), kRestructureColumnCode);
        EXPECT_NE(error.Message().find("constraint '" + key_name + "' uses it"), std::string::npos)
            << error.Message();
    }
    EXPECT_EQ(Memory().FindTable("t"), &after);

    // A source column the table does not have.
    RestructurePlan stale = CurrentColumns(after);
    stale.columns[0].source = "gone";
    EXPECT_THROW(RestructureTable(Memory(), "t", stale), ESQLMemException);
    EXPECT_EQ(testing::TableRows("t"), (Lines{"10|p|zz", "20|q|zz"}));

    // The carried key still holds, and the referenced key cannot be dropped under it.
    EXPECT_NE(testing::ScriptError("INSERT INTO t VALUES (99, 'r', 'x')").find("11420"),
              std::string::npos);
    RestructurePlan keyless = CurrentColumns(Stored("p"));
    TableFieldSpec other;
    other.name = "n";
    other.data_type = ftInteger;
    keyless.columns = {{other, ""}};
    EXPECT_THROW(RestructureTable(Memory(), "p", keyless), ESQLMemException);
    EXPECT_EQ(testing::TableRows("p"), (Lines{"10", "20"}));
}

}  // namespace
}  // namespace tapir::engine
