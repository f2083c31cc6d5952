// Index and name changes on a stored table that already holds rows, and column defaults.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {
namespace {

TableFieldSpec Column(const std::string& name, TFieldType type, int32_t size = 0) {
    TableFieldSpec definition;
    definition.name = name;
    definition.data_type = type;
    definition.size = size;
    return definition;
}

class TableIndexOperationsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TableDefinition definition;
        definition.name = "Items";
        TableFieldSpec id;
        id.name = "Id";
        id.data_type = ftInteger;
        TableFieldSpec name;
        name.name = "Name";
        name.data_type = ftString;
        name.size = 10;
        definition.fields = {id, name};
        CreateTable("MEMORY", definition);
    }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static TSQLMemTableData& Data(const std::string& name = "Items") {
        return *TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable(name);
    }

    static void Add(std::optional<int> id, const std::string& name) {
        TSQLMemTable table;
        table.SetTableName("Items");
        table.Open();
        table.Append();
        if (id) {
            table.FieldByName("Id").SetAsInteger(*id);
        }
        table.FieldByName("Name").SetAsString(name);
        table.Post();
        table.Close();
    }

    // Names in the order of `index_name`.
    static std::string Order(const std::string& index_name) {
        TSQLMemTable table;
        table.SetTableName("Items");
        table.SetIndexName(index_name);
        table.Open();
        std::string order;
        for (table.First(); !table.Eof(); table.Next()) {
            order += table.FieldByName("Name").AsString();
        }
        table.Close();
        return order;
    }

    static int ErrorCode(const std::function<void()>& action) {
        try {
            action();
        } catch (const ESQLMemException& error) {
            return error.Code().value_or(-1);
        }
        return 0;
    }

    static TableIndexSpec Index(const std::string& name, const std::string& fields,
                                bool unique = false, bool primary = false) {
        TableIndexSpec definition;
        definition.name = name;
        definition.fields = fields;
        definition.unique = unique;
        definition.primary = primary;
        return definition;
    }
};

TEST_F(TableIndexOperationsTest, AddedIndexHoldsEveryRowInKeyOrder) {
    Add(3, "c");
    Add(1, "a");
    Add(2, "b");
    TableIndexSpec definition = Index("ById", "Id");
    definition.descending = true;
    AddIndex("MEMORY", "Items", definition);
    EXPECT_TRUE(IndexExists("MEMORY", "items", "BYID"));
    EXPECT_TRUE(Data().CheckIntegrity().empty());
    EXPECT_EQ(Order("ById"), "cba");
    // Later rows are filed too.
    Add(4, "d");
    EXPECT_EQ(Order("ById"), "dcba");
    EXPECT_TRUE(Data().CheckIntegrity().empty());
}

TEST_F(TableIndexOperationsTest, KeyViolationsLeaveTheTableAsItWas) {
    Add(1, "a");
    Add(1, "b");
    Add(std::nullopt, "c");
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("U", "Id", true)); }), 30320);
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("P", "Name", false, true)); }), 0);
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("P2", "Id", false, true)); }),
              11427);
    DropIndex("MEMORY", "Items", "P");
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("P2", "Id", false, true)); }),
              30319);
    // No two keys are equal here, but the third row has no Id.
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("P2", "Id;Name", false, true)); }),
              30330);
    EXPECT_EQ(Data().IndexDefs().size(), 0U);
    EXPECT_TRUE(Data().ConstraintDefs().empty());
    EXPECT_TRUE(Data().CheckIntegrity().empty());
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("X", "Nope")); }), 11435);
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("X", "")); }), 11434);
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Nope", Index("X", "Id")); }), 10028);
}

TEST_F(TableIndexOperationsTest, DroppingAnIndexKeepsTheOtherConstraintsOnTheirIndexes) {
    AddIndex("MEMORY", "Items", Index("UId", "Id", true));
    AddIndex("MEMORY", "Items", Index("UName", "Name", true));
    Add(1, "a");
    DropIndex("MEMORY", "Items", "uid");
    EXPECT_FALSE(IndexExists("MEMORY", "Items", "UId"));
    Add(1, "b");  // Id is free now
    // Name is still unique, through the index that moved to position 0.
    try {
        Add(2, "a");
        FAIL() << "a duplicate name was stored";
    } catch (const tapir::Exception& error) {
        EXPECT_NE(error.Message().find("UName"), std::string::npos) << error.Message();
    }
    EXPECT_EQ(ErrorCode([] { DropIndex("MEMORY", "Items", "UId"); }), 10077);
    EXPECT_TRUE(Data().CheckIntegrity().empty());
}

TEST_F(TableIndexOperationsTest, ChangesWaitForOpenCursors) {
    TSQLMemTable open;
    open.SetTableName("Items");
    open.Open();
    EXPECT_EQ(ErrorCode([] { AddIndex("MEMORY", "Items", Index("I", "Id")); }), 20018);
    EXPECT_EQ(ErrorCode([] { RenameTable("MEMORY", "Items", "Things"); }), 20018);
    open.Close();
    AddIndex("MEMORY", "Items", Index("I", "Id"));
    EXPECT_EQ(ErrorCode([] { DropIndex("MEMORY", "Items", "I"); }), 0);
}

TEST_F(TableIndexOperationsTest, RenameKeepsRowsAndRefusesATakenName) {
    Add(1, "a");
    RenameTable("MEMORY", "Items", "Things");
    EXPECT_FALSE(TableExists("MEMORY", "Items"));
    EXPECT_EQ(Data("Things").RecordCount(), 1);
    TableDefinition other;
    other.name = "Other";
    other.fields = {Column("A", ftInteger)};
    CreateTable("MEMORY", other);
    EXPECT_EQ(ErrorCode([] { RenameTable("MEMORY", "Things", "other"); }), 10027);
    // A change of case alone is allowed.
    RenameTable("MEMORY", "Things", "THINGS");
    EXPECT_EQ(Data("things").Name(), "THINGS");
}

TEST_F(TableIndexOperationsTest, DefaultValuesFillNewRowsAndSurviveASavedFile) {
    TableDefinition definition;
    definition.name = "Defaults";
    TableFieldSpec n = Column("N", ftInteger);
    n.default_value = TSQLMemVariant::FromText("42");  // converted to the column's type
    TableFieldSpec s = Column("S", ftString, 8);
    s.default_value = TSQLMemVariant::FromText("abc");
    const TableFieldSpec plain = Column("P", ftInteger);
    definition.fields = {n, s, plain};
    CreateTable("MEMORY", definition);
    auto read_new_row = [] {
        TSQLMemTable table;
        table.SetTableName("Defaults");
        table.Open();
        table.Append();
        table.Post();
        table.Last();
        const std::string row = table.FieldByName("N").AsString() + "|" +
                                table.FieldByName("S").AsString() + "|" +
                                (table.FieldByName("P").IsNull() ? "NULL" : "set");
        table.Close();
        return row;
    };
    EXPECT_EQ(read_new_row(), "42|abc|NULL");

    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("tapir_defaults_" + std::to_string(::getpid()) + ".tbl");
    TSQLMemTable table;
    table.SetTableName("Defaults");
    table.SaveTableToFile(file.string());
    DeleteTable("MEMORY", "Defaults");
    table.LoadTableFromFile(file.string());
    std::filesystem::remove(file);
    EXPECT_EQ(read_new_row(), "42|abc|NULL");
}

}  // namespace
}  // namespace tapir::engine
