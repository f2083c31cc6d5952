// The cursor over the B-tree: record numbers both ways, key searches, Locate served by an
// index, distinct views and steps from a row another component deleted.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/table/comparison_expression.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using testing::Buffer;
using testing::Field;
using testing::Index;
using testing::OpenCursor;

constexpr int kRows = 3000;

// K = i % 100 (index "K"), Name (case-insensitive index), N = i.
TableDefinition KeysDefinition() {
    TableDefinition def;
    def.name = "Keys";
    def.fields = {Field("Id", ftAutoInc), Field("K", ftInteger), Field("Name", ftString, 12),
                  Field("N", ftInteger)};
    TableIndexSpec name = Index("Name", "Name");
    name.case_insensitive = true;
    def.indexes = {Index("Id", "Id", true, true), Index("K", "K"), name};
    return def;
}

class CursorIndex : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        cursor_ = OpenCursor(KeysDefinition());
        row_ = Buffer(*cursor_);
        for (int i = 0; i < kRows; ++i) {
            cursor_->InitNewRecord(row_.data());
            SetInteger(Fields(), 1, (i * 37) % 100, row_.data());
            SetText(Fields(), 2, (i % 2 == 0 ? "Name" : "name") + std::to_string(i % 500),
                    row_.data());
            SetInteger(Fields(), 3, i, row_.data());
            ASSERT_TRUE(cursor_->InsertRecord(row_.data()).Ok());
        }
    }
    void TearDown() override {
        cursor_.reset();
        TSQLMemEngine::Instance().Reset();
    }

    const TSQLMemFieldDefs& Fields() const { return cursor_->FieldDefs(); }
    int64_t N() const { return GetInteger(Fields(), 3, row_.data()).value_or(-1); }

    std::vector<int64_t> ScanN() {
        std::vector<int64_t> ns;
        cursor_->First();
        while (cursor_->GetRecord(grmNext, row_.data()) == grrOK) {
            ns.push_back(N());
        }
        return ns;
    }

    std::vector<std::byte> Key(int32_t field_no, int64_t value) const {
        std::vector<std::byte> key(static_cast<size_t>(cursor_->KeyBufferSize()));
        cursor_->InitKeyBuffer(key.data());
        SetInteger(Fields(), field_no, value, key.data());
        return key;
    }

    std::unique_ptr<TSQLMemCursor> cursor_;
    std::vector<std::byte> row_;
};

TEST_F(CursorIndex, RecordNumbersMatchTheOrderInBothDirections) {
    ASSERT_TRUE(cursor_->SetIndexName("K"));
    const std::vector<int64_t> order = ScanN();
    ASSERT_EQ(order.size(), static_cast<size_t>(kRows));
    // Walking: each row's number is its place.
    cursor_->First();
    for (int64_t rec_no = 1; cursor_->GetRecord(grmNext, row_.data()) == grrOK; ++rec_no) {
        ASSERT_EQ(cursor_->RecNo(), rec_no);
    }
    cursor_->Last();
    for (int64_t rec_no = kRows; cursor_->GetRecord(grmPrior, row_.data()) == grrOK; --rec_no) {
        ASSERT_EQ(cursor_->RecNo(), rec_no);
    }
    // Jumping: near the last jump, far from it, and backwards.
    std::mt19937 random(7);
    std::vector<int64_t> targets = {1, 2, 3, kRows, kRows - 1, 1500, 1501, 1499, 20, 2999};
    for (int i = 0; i < 200; ++i) {
        targets.push_back(1 + static_cast<int64_t>(random() % kRows));
    }
    for (const int64_t target : targets) {
        ASSERT_TRUE(cursor_->SetRecNo(target));
        ASSERT_EQ(cursor_->GetRecord(grmCurrent, row_.data()), grrOK);
        ASSERT_EQ(N(), order[static_cast<size_t>(target - 1)]) << "rec no " << target;
        ASSERT_EQ(cursor_->RecNo(), target);
    }
    EXPECT_FALSE(cursor_->SetRecNo(kRows + 1));
    // After a change, numbers are counted again.
    ASSERT_TRUE(cursor_->SetRecNo(10));
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row_.data()), grrOK);
    ASSERT_TRUE(cursor_->DeleteRecord(row_.data()).Ok());
    const std::vector<int64_t> after = ScanN();
    ASSERT_TRUE(cursor_->SetRecNo(10));
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row_.data()), grrOK);
    EXPECT_EQ(N(), after[9]);
    EXPECT_EQ(cursor_->RecNo(), 10);
}

TEST_F(CursorIndex, FindKeyExactNearestAndAfter) {
    ASSERT_TRUE(cursor_->SetIndexName("K"));
    const std::vector<int64_t> order = ScanN();
    std::vector<std::byte> key = Key(1, 42);
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, row_.data()));
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 42);
    const int64_t first_42 = cursor_->RecNo();
    EXPECT_EQ(first_42, 42 * 30 + 1);  // 30 rows for each K before it
    EXPECT_EQ(N(), order[static_cast<size_t>(first_42 - 1)]);

    ASSERT_TRUE(
        cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::NearestAfter, row_.data()));
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 43);
    EXPECT_EQ(cursor_->RecNo(), 43 * 30 + 1);

    // No K = 150: exact keeps the position, nearest goes past the last row.
    key = Key(1, 150);
    const int64_t before = cursor_->RecNo();
    EXPECT_FALSE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, row_.data()));
    EXPECT_EQ(cursor_->RecNo(), before);
    EXPECT_FALSE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Nearest, row_.data()));
    EXPECT_TRUE(cursor_->AtEnd());
    key = Key(1, -5);
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Nearest, row_.data()));
    EXPECT_EQ(cursor_->RecNo(), 1);

    // Inside a range the search sees only the range.
    std::vector<std::byte> low = Key(1, 10);
    std::vector<std::byte> high = Key(1, 20);
    cursor_->ApplyRange(low.data(), high.data(), false, false, 1, 1);
    key = Key(1, 5);
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Nearest, row_.data()));
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 10);
    EXPECT_EQ(cursor_->RecNo(), 1);
    key = Key(1, 30);
    EXPECT_FALSE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, row_.data()));
}

TEST_F(CursorIndex, FindKeyOnACaseInsensitiveIndexIgnoresCase) {
    ASSERT_TRUE(cursor_->SetIndexName("Name"));
    std::vector<std::byte> key(static_cast<size_t>(cursor_->KeyBufferSize()));
    cursor_->InitKeyBuffer(key.data());
    SetText(Fields(), 2, "NAME7", key.data());
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, row_.data()));
    const std::string found = GetText(Fields(), 2, row_.data()).value_or("");
    EXPECT_TRUE(found == "Name7" || found == "name7") << found;
}

TEST_F(CursorIndex, LocateThroughAnIndexReadsOnlyTheMatchingRows) {
    TSQLMemFieldComparison term;
    term.FieldNo = 1;
    term.Value = Key(1, 64);
    TSQLMemComparisonExpression expression(Fields(), {term});
    const int64_t read_before = cursor_->RowsRead();
    ASSERT_TRUE(cursor_->Locate(&expression, nullptr, row_.data()));
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 64);
    // Natural order: the lowest identifier among the 30 rows of the index's range.
    EXPECT_EQ(N(), 72);  // the first i with i * 37 % 100 == 64
    EXPECT_LE(cursor_->RowsRead() - read_before, 30);
}

TEST_F(CursorIndex, DistinctShowsOneRowPerKey) {
    ASSERT_TRUE(cursor_->SetIndexName("K"));
    cursor_->SetDistinct(1);
    EXPECT_EQ(cursor_->RecordCount(), 100);
    std::vector<int64_t> keys;
    cursor_->First();
    while (cursor_->GetRecord(grmNext, row_.data()) == grrOK) {
        keys.push_back(GetInteger(Fields(), 1, row_.data()).value_or(-1));
    }
    ASSERT_EQ(keys.size(), 100u);
    for (int64_t k = 0; k < 100; ++k) {
        EXPECT_EQ(keys[static_cast<size_t>(k)], k);
    }
    cursor_->SetDistinct(0);
    EXPECT_EQ(cursor_->RecordCount(), kRows);
}

TEST_F(CursorIndex, AStepFromARowDeletedElsewhereGoesOnFromItsKey) {
    ASSERT_TRUE(cursor_->SetIndexName("K"));
    auto other = OpenCursor(KeysDefinition());
    std::vector<std::byte> other_row = Buffer(*other);
    std::vector<std::byte> key = Key(1, 50);
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, row_.data()));
    // The other component deletes every row with K = 50.
    ASSERT_TRUE(other->SetIndexName("K"));
    while (other->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Exact, other_row.data())) {
        ASSERT_TRUE(other->DeleteRecord(other_row.data()).Ok());
    }
    ASSERT_EQ(cursor_->GetRecord(grmNext, row_.data()), grrOK);
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 51);
    ASSERT_TRUE(cursor_->FindKey(key.data(), 1, TSQLMemCursor::KeySearch::Nearest, row_.data()));
    EXPECT_EQ(GetInteger(Fields(), 1, row_.data()), 51);
    EXPECT_TRUE(cursor_->CheckIntegrity().empty());
}

}  // namespace
}  // namespace tapir::engine
