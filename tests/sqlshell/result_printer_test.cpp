#include "tools/sqlshell/result_printer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "engine/table/sqlmem_table_data.h"
#include "platform/date_time.h"
#include "tools/sqlshell/schema_text.h"
#include "tools/sqlshell/sql_shell.h"

namespace tapir::sqlshell {
namespace {

using namespace tapir::engine;

class ShellPrinting : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    // A table with one field of every printed kind.
    static void Define(TSQLMemTable& table) {
        table.SetTableName("Kinds");
        auto& defs = table.FieldDefs();
        defs.push_back({.Name = "Id", .DataType = ftInteger, .Required = true});
        defs.push_back({.Name = "Big", .DataType = ftLargeint});
        defs.push_back({.Name = "Ratio", .DataType = ftFloat});
        defs.push_back({.Name = "On", .DataType = ftBoolean});
        defs.push_back({.Name = "Day", .DataType = ftDate});
        defs.push_back({.Name = "At", .DataType = ftTime});
        defs.push_back({.Name = "Moment", .DataType = ftDateTime});
        defs.push_back({.Name = "Name", .DataType = ftString, .Size = 10});
        defs.push_back({.Name = "Note", .DataType = ftMemo});
        auto& indexes = table.IndexDefs();
        indexes.push_back({});
        indexes.back().Name = "ByName";
        indexes.back().Fields = "Name";
        indexes.back().Options = static_cast<TIndexOptions>(ixCaseInsensitive);
        table.CreateTable();
    }
};

TEST_F(ShellPrinting, EveryKindOfValuePrintsInListForm) {
    TSQLMemTable table("Kinds");
    Define(table);
    table.Open();
    std::ostringstream empty;
    PrintResult(table, empty);
    EXPECT_EQ(empty.str(), "Id|Big|Ratio|On|Day|At|Moment|Name|Note\n");

    const double day = platform::EncodeDate(2026, 12, 24);
    const double at = platform::EncodeTime(20, 15, 7, 0);
    table.Append();
    table.FieldByName("Id").SetAsInteger(1);
    table.FieldByName("Big").SetAsLargeint(-9007199254740993);
    table.FieldByName("Ratio").SetAsFloat(0.1 + 0.2);
    table.FieldByName("On").SetAsBoolean(true);
    table.FieldByName("Day").SetAsDateTime(day);
    table.FieldByName("At").SetAsDateTime(at);
    table.FieldByName("Moment").SetAsDateTime(day + at);
    table.FieldByName("Name").SetAsString("Grüße");
    table.FieldByName("Note").SetAsString("two\nlines");
    table.Post();
    table.Append();
    table.FieldByName("Id").SetAsInteger(2);
    table.FieldByName("Ratio").SetAsFloat(2);
    table.FieldByName("On").SetAsBoolean(false);
    table.FieldByName("Moment").SetAsDateTime(day);
    table.Post();

    std::ostringstream out;
    PrintResult(table, out);
    // Rows in the order of the dataset's current index (none: insertion order).
    EXPECT_EQ(out.str(),
              "Id|Big|Ratio|On|Day|At|Moment|Name|Note\n"
              "1|-9007199254740993|0.3|True|2026-12-24|20:15:07|2026-12-24 20:15:07|Grüße|two\n"
              "lines\n"
              "2||2|False|||2026-12-24||\n");
}

TEST_F(ShellPrinting, SchemaTextNamesTypesSizesKeysAndIndexes) {
    TSQLMemTable table("Kinds");
    Define(table);
    const TSQLMemTableData* stored =
        TSQLMemEngine::Instance().FindDatabase(kShellDatabase)->FindTable("Kinds");
    ASSERT_NE(stored, nullptr);
    const std::string schema = SchemaText(*stored);
    EXPECT_EQ(schema,
              "CREATE TABLE Kinds (\n"
              "  Id INTEGER NOT NULL,\n"
              "  Big LARGEINT,\n"
              "  Ratio FLOAT,\n"
              "  [On] LOGICAL,\n"
              "  [Day] DATE,\n"
              "  [At] TIME,\n"
              "  Moment DATETIME,\n"
              "  Name STRING(10),\n"
              "  Note MEMO\n"
              ");\n"
              "CREATE INDEX ByName ON Kinds (Name NOCASE);\n");
}

TEST_F(ShellPrinting, SchemaTextCarriesForeignKeysThatRunAgain) {
    const char* parent = "CREATE TABLE p (a INTEGER, b VARCHAR(3), PRIMARY KEY (a, b));";
    std::ostringstream out;
    SqlShell shell(out, out);
    ASSERT_TRUE(shell.RunScript(std::string(parent) +
                                "CREATE TABLE c (x INTEGER, y VARCHAR(3), z INTEGER,"
                                " FOREIGN KEY (x, y) REFERENCES p MATCH PARTIAL"
                                " ON UPDATE CASCADE ON DELETE SET NULL,"
                                " FOREIGN KEY (z, y) REFERENCES p);"))
        << out.str();
    const auto schema = [] {
        return SchemaText(*TSQLMemEngine::Instance().FindDatabase(kShellDatabase)->FindTable("c"));
    };
    const std::string text = schema();
    EXPECT_EQ(text,
              "CREATE TABLE c (\n"
              "  x INTEGER,\n"
              "  y STRING(3),\n"
              "  z INTEGER,\n"
              "  FOREIGN KEY (x, y) REFERENCES p MATCH PARTIAL ON UPDATE CASCADE ON DELETE SET "
              "NULL,\n"
              "  FOREIGN KEY (z, y) REFERENCES p\n"
              ");\n");
    TSQLMemEngine::Instance().Reset();
    SqlShell again(out, out);
    ASSERT_TRUE(again.RunScript(parent + text)) << out.str();
    EXPECT_EQ(schema(), text);
    // The keys hold again: a row naming no parent is refused.
    EXPECT_FALSE(again.RunScript("INSERT INTO c VALUES (1, 'a', NULL);"));
}

TEST(ShellInput, CommandsEndAtASemicolonOutsideStringsAndComments) {
    const struct {
        const char* text;
        bool complete;
    } cases[] = {
        {"select 1;", true},           {"select 1;  \n", true},
        {"select 1; -- done\n", true}, {"select 1; /* done */", true},
        {"select 1", false},           {"select ';'", false},
        {"select 'it''s;'", false},    {"select 'it''s';", true},
        {"select [a;b]", false},       {"select [a]]b];", true},
        {"select \"x;", false},        {"select 1 -- ;", false},
        {"select 1 /* ; */", false},   {"select 1 /* ;", false},
        {"select 1; select 2", false}, {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EndsWithCompleteCommand(c.text), c.complete) << c.text;
    }
}

}  // namespace
}  // namespace tapir::sqlshell
