// Locate and Lookup on the table component: the same answers with and without an index on
// the fields, and an index that covers them saves reading the table.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::engine {
namespace {

constexpr int kRows = 4000;

// Exposes how many rows the cursor's searches read.
class CountingTable : public TSQLMemTable {
  public:
    int64_t RowsRead() const { return cursor_->RowsRead(); }
};

class TableLocate : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        table_.SetTableName("Things");
        table_.FieldDefs() = {{"Id", ftAutoInc, 0, false},
                              {"Name", ftString, 10, false},
                              {"Plain", ftString, 10, false},
                              {"Count", ftInteger, 0, false}};
        table_.IndexDefs() = {{"Id", "Id", ixPrimary | ixUnique, "", ""},
                              {"Name", "Name", 0, "", ""},
                              {"Count", "Count", 0, "", ""}};
        table_.Open();
        for (int i = 0; i < kRows; ++i) {
            table_.Append();
            if (i != 17) {  // row 18 has no name
                table_.FieldByName("Name").SetAsString("n" + std::to_string(i % 1000));
                table_.FieldByName("Plain").SetAsString("n" + std::to_string(i % 1000));
            }
            table_.FieldByName("Count").SetAsInteger(i % 300);
            table_.Post();
        }
        table_.First();
    }
    void TearDown() override {
        table_.Close();
        TSQLMemEngine::Instance().Reset();
    }

    int64_t ReadBy(const std::function<void()>& action) {
        const int64_t before = table_.RowsRead();
        action();
        return table_.RowsRead() - before;
    }

    CountingTable table_;
};

TEST_F(TableLocate, AnIndexedFieldIsFoundWithoutReadingTheTable) {
    bool found = false;
    const int64_t indexed = ReadBy([&] { found = table_.Locate("Name", {"n777"}); });
    ASSERT_TRUE(found);
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 778);
    EXPECT_LE(indexed, 4);

    table_.First();
    const int64_t plain = ReadBy([&] { found = table_.Locate("Plain", {"n777"}); });
    ASSERT_TRUE(found);
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 778);
    EXPECT_GE(plain, 700);

    // Numbers by value: "07" finds 7 through the index too.
    table_.First();
    const int64_t counted = ReadBy([&] { found = table_.Locate("Count", {"07"}); });
    ASSERT_TRUE(found);
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 8);
    EXPECT_LE(counted, 16);
}

TEST_F(TableLocate, AnswersAreTheSameWithAndWithoutTheIndex) {
    for (const char* wanted : {"n5", "n999", "n1000", "", "nothing at all", "N5"}) {
        table_.First();
        const bool by_index = table_.Locate("Name", {wanted});
        const int64_t id_by_index = by_index ? table_.FieldByName("Id").AsInteger() : -1;
        table_.First();
        const bool by_scan = table_.Locate("Plain", {wanted});
        const int64_t id_by_scan = by_scan ? table_.FieldByName("Id").AsInteger() : -1;
        EXPECT_EQ(by_index, by_scan) << "'" << wanted << "'";
        EXPECT_EQ(id_by_index, id_by_scan) << "'" << wanted << "'";
    }
    // The empty text finds the row without a name.
    table_.First();
    ASSERT_TRUE(table_.Locate("Name", {""}));
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 18);
    // Case-insensitive: no index serves it, the answer is the same.
    table_.First();
    ASSERT_TRUE(table_.Locate("Name", {"N5"}, {true, false}));
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 6);
    // Two fields: the index narrows, the other field decides.
    table_.First();
    ASSERT_TRUE(table_.Locate("Name;Count", {"n5", "5"}));
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 6);
    table_.First();
    ASSERT_TRUE(table_.Locate("Name;Count", {"n5", "105"}));
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 1006);
    const int64_t before = table_.FieldByName("Id").AsInteger();
    EXPECT_FALSE(table_.Locate("Name;Count", {"n5", "6"}));
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), before);
}

TEST_F(TableLocate, LookupUsesTheIndexAndDoesNotMove) {
    table_.Last();
    const int64_t here = table_.FieldByName("Id").AsInteger();
    std::optional<std::vector<FieldValue>> values;
    const int64_t read = ReadBy([&] { values = table_.Lookup("Name", {"n321"}, "Id;Count"); });
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(std::get<int64_t>((*values)[0]), 322);
    EXPECT_EQ(std::get<int64_t>((*values)[1]), 321 % 300);
    EXPECT_LE(read, 4);
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), here);
}

}  // namespace
}  // namespace tapir::engine
