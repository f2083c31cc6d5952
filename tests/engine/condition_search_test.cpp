#include "engine/table/condition_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/table/comparison_expression.h"
#include "engine/table/record_bitmap.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using testing::Buffer;
using testing::Field;
using testing::Index;
using testing::OpenCursor;
using Op = TSQLMemCompareOperator;

constexpr int kRows = 1000;

// Nums: Id autoinc (unique), X = i % 50 (index), Y = i % 37 (descending index), Z = X
// without an index, Name 5 characters (index).
TableDefinition NumsDefinition() {
    TableDefinition def;
    def.name = "Nums";
    def.fields = {Field("Id", ftAutoInc), Field("X", ftInteger), Field("Y", ftInteger),
                  Field("Z", ftInteger), Field("Name", ftString, 5)};
    TableIndexSpec y = Index("Y", "Y");
    y.descending = true;
    def.indexes = {Index("Id", "Id", true, true), Index("X", "X"), y, Index("Name", "Name")};
    return def;
}

class ConditionSearch : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        cursor_ = OpenCursor(NumsDefinition());
        std::vector<std::byte> row = Buffer(*cursor_);
        const TSQLMemFieldDefs& fields = cursor_->FieldDefs();
        for (int i = 0; i < kRows; ++i) {
            cursor_->InitNewRecord(row.data());
            SetInteger(fields, 1, i % 50, row.data());
            SetInteger(fields, 2, i % 37, row.data());
            SetInteger(fields, 3, i % 50, row.data());
            const std::string name =
                std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i % 7);
            SetText(fields, 4, name, row.data());
            ASSERT_TRUE(cursor_->InsertRecord(row.data()).Ok());
        }
        table_ = TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable("Nums");
    }
    void TearDown() override {
        cursor_.reset();
        TSQLMemEngine::Instance().Reset();
    }

    const TSQLMemFieldDefs& Fields() const { return cursor_->FieldDefs(); }

    TSQLMemFieldComparison Compare(int32_t field_no, Op op, int64_t value,
                                   bool constant_on_left = false) const {
        TSQLMemFieldComparison term;
        term.FieldNo = field_no;
        term.Operator = op;
        term.Value.assign(static_cast<size_t>(cursor_->KeyBufferSize()), std::byte{0});
        InitKeyBuffer(term.Value.data(), Fields().DataSize(), Fields().Count());
        SetInteger(Fields(), field_no, value, term.Value.data());
        term.ConstantOnLeft = constant_on_left;
        return term;
    }
    TSQLMemFieldComparison CompareText(int32_t field_no, Op op, const std::string& value,
                                       bool partial = false) const {
        TSQLMemFieldComparison term = Compare(field_no, op, 0);
        SetFieldNull(term.Value.data(), field_no, true);
        SetText(Fields(), field_no, value, term.Value.data());
        term.Text = value;
        term.Partial = partial;
        return term;
    }

    // Every matching row, in the order of the cursor's index (-1: natural order), with
    // the number of rows the search read.
    std::vector<int32_t> Marked(TSQLMemSearchExpression& expression, int32_t index_no,
                                int64_t* rows_read = nullptr) {
        std::lock_guard lock(table_->Mutex());
        TSQLMemRecordBitmap bitmap;
        TSQLMemSearchView view;
        view.Connection = cursor_->ConnectionID();
        view.IndexNo = index_no;
        TSQLMemSearchRequest request;
        request.Mode = TSQLMemSearchMode::Bitmap;
        request.Bitmap = &bitmap;
        request.Expression = &expression;
        int64_t read = 0;
        request.RowsRead = &read;
        TSQLMemRecordID found;
        FindRecord(*table_, view, request, found);
        if (rows_read != nullptr) {
            *rows_read = read;
        }
        std::vector<int32_t> slots;
        for (int64_t i = 0; i < bitmap.Count(); ++i) {
            slots.push_back(bitmap.Item(i).PageNo);
        }
        return slots;
    }

    // The same rows found by reading every row in the cursor's order.
    std::vector<int32_t> Expected(TSQLMemComparisonExpression& expression,
                                  const std::string& index_name) {
        cursor_->SetIndexName(index_name);
        std::vector<int32_t> slots;
        std::vector<std::byte> row = Buffer(*cursor_);
        cursor_->First();
        while (cursor_->GetRecord(grmNext, row.data()) == grrOK) {
            if (expression.IsRecordMatch(row.data())) {
                slots.push_back(GetRecordID(row.data(), cursor_->DataSize()).PageNo);
            }
        }
        cursor_->SetIndexName("");
        return slots;
    }

    std::unique_ptr<TSQLMemCursor> cursor_;
    TSQLMemTableData* table_ = nullptr;
};

TEST_F(ConditionSearch, ImpossibleConditionsFindNothingWithoutReadingARow) {
    TSQLMemComparisonExpression both(Fields(),
                                     {Compare(1, Op::Equal, 5), Compare(1, Op::Equal, 6)});
    int64_t read = -1;
    EXPECT_TRUE(Marked(both, -1, &read).empty());
    EXPECT_EQ(read, 0);

    TSQLMemComparisonExpression apart(Fields(),
                                      {Compare(1, Op::Greater, 7), Compare(1, Op::Lower, 3)});
    EXPECT_TRUE(Marked(apart, -1, &read).empty());
    EXPECT_EQ(read, 0);

    TSQLMemComparisonExpression touching(
        Fields(), {Compare(1, Op::Lower, 5), Compare(1, Op::GreaterEqual, 5)});
    EXPECT_TRUE(Marked(touching, -1, &read).empty());
    EXPECT_EQ(read, 0);

    // Six characters never equal a five-character field.
    TSQLMemComparisonExpression too_long(Fields(), {CompareText(4, Op::Equal, "abcdef")});
    EXPECT_TRUE(too_long.CannotMatch());
    EXPECT_TRUE(Marked(too_long, -1, &read).empty());
    EXPECT_EQ(read, 0);
}

TEST_F(ConditionSearch, ARangeOnAnIndexedFieldReadsOnlyThatRange) {
    TSQLMemComparisonExpression range(
        Fields(), {Compare(1, Op::GreaterEqual, 3), Compare(1, Op::LowerEqual, 7)});
    int64_t read = 0;
    const std::vector<int32_t> found = Marked(range, -1, &read);
    EXPECT_EQ(found.size(), 100u);
    EXPECT_EQ(read, 100);
    EXPECT_EQ(found, Expected(range, ""));
    // The same condition on the column without an index reads every row.
    TSQLMemComparisonExpression unindexed(
        Fields(), {Compare(3, Op::GreaterEqual, 3), Compare(3, Op::LowerEqual, 7)});
    EXPECT_EQ(Marked(unindexed, -1, &read), found);
    EXPECT_EQ(read, kRows);
}

TEST_F(ConditionSearch, AConstantOnTheLeftIsMirrored) {
    for (const int32_t field_no : {1, 3}) {  // with and without an index
        TSQLMemComparisonExpression left(Fields(), {Compare(field_no, Op::Lower, 5, true)});
        TSQLMemComparisonExpression right(Fields(), {Compare(field_no, Op::Greater, 5)});
        const std::vector<int32_t> found = Marked(left, -1);
        EXPECT_EQ(found.size(), 44u * 20u);
        EXPECT_EQ(found, Marked(right, -1));
    }
}

TEST_F(ConditionSearch, EqualityOnAUniqueIndexReadsOneRow) {
    TSQLMemFieldComparison prefix = CompareText(4, Op::Equal, "j", true);
    TSQLMemComparisonExpression expression(Fields(), {Compare(0, Op::Equal, 10), prefix});
    int64_t read = 0;
    const std::vector<int32_t> found = Marked(expression, -1, &read);
    EXPECT_EQ(read, 1);
    ASSERT_EQ(found.size(), 1u);  // row 10 of 0..: "j" + "3"
    EXPECT_EQ(found, Expected(expression, ""));
}

TEST_F(ConditionSearch, RowsComeInTheCursorsOrderWhateverIndexServesTheCondition) {
    TSQLMemComparisonExpression on_x(Fields(), {Compare(1, Op::Equal, 4)});
    // Y is the descending index (number 2): the rows with X = 4 in Y's order.
    const std::vector<int32_t> by_y = Marked(on_x, 2);
    EXPECT_EQ(by_y.size(), 20u);
    EXPECT_EQ(by_y, Expected(on_x, "Y"));
    EXPECT_EQ(Marked(on_x, 3), Expected(on_x, "Name"));
    EXPECT_EQ(Marked(on_x, -1), Expected(on_x, ""));
}

TEST_F(ConditionSearch, TheExpressionIsWholeAgainAfterTheSearch) {
    TSQLMemComparisonExpression expression(Fields(), {Compare(1, Op::Equal, 4)});
    Marked(expression, -1);
    EXPECT_EQ(expression.TakenCount(), 0);
    std::vector<std::byte> row = Buffer(*cursor_);
    cursor_->InitNewRecord(row.data());
    SetInteger(Fields(), 1, 5, row.data());
    EXPECT_FALSE(expression.IsRecordMatch(row.data()));
    SetInteger(Fields(), 1, 4, row.data());
    EXPECT_TRUE(expression.IsRecordMatch(row.data()));
}

// Random conjunctions over indexed and plain columns, searched in every order and mode,
// against reading every row.
TEST_F(ConditionSearch, RandomConditionsFindWhatAFullScanFinds) {
    const char* fixed = std::getenv("TAPIR_TEST_SEED");
    const unsigned seed =
        fixed != nullptr ? static_cast<unsigned>(std::stoul(fixed)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::vector<Op> ops = {Op::Equal,      Op::NotEqual, Op::Lower,
                                 Op::LowerEqual, Op::Greater,  Op::GreaterEqual};
    const std::vector<std::pair<int32_t, std::string>> orders = {
        {-1, ""}, {1, "X"}, {2, "Y"}, {3, "Name"}};
    // Stepping with a bound on another index than the cursor's sorts the range at every
    // step; a few dozen steps show the order.
    constexpr size_t kSteps = 40;
    for (int round = 0; round < 30; ++round) {
        std::vector<TSQLMemFieldComparison> terms;
        const int count = 1 + static_cast<int>(random() % 3);
        for (int t = 0; t < count; ++t) {
            const auto field_no = static_cast<int32_t>(1 + random() % 3);
            terms.push_back(Compare(field_no, ops[random() % ops.size()],
                                    static_cast<int64_t>(random() % 52) - 1, random() % 2 == 0));
        }
        TSQLMemComparisonExpression expression(Fields(), terms);
        const auto& order = orders[random() % orders.size()];
        const std::vector<int32_t> expected = Expected(expression, order.second);
        std::string text = "order '" + order.second + "':";
        for (const TSQLMemFieldComparison& term : terms) {
            text += " f" + std::to_string(term.FieldNo) + " op" +
                    std::to_string(static_cast<int>(term.Operator)) + " " +
                    std::to_string(
                        GetInteger(Fields(), term.FieldNo, term.Value.data()).value_or(-99)) +
                    (term.ConstantOnLeft ? " (left)" : "");
        }
        SCOPED_TRACE(text);
        ASSERT_EQ(Marked(expression, order.first), expected) << "round " << round;

        // Stepping: the first match, then each next one from it, through the cursor.
        cursor_->SetIndexName(order.second);
        std::vector<int32_t> stepped;
        std::vector<std::byte> row = Buffer(*cursor_);
        if (cursor_->Locate(&expression, nullptr, row.data())) {
            stepped.push_back(GetRecordID(row.data(), cursor_->DataSize()).PageNo);
            std::lock_guard lock(table_->Mutex());
            for (;;) {
                TSQLMemSearchView view;
                view.Connection = cursor_->ConnectionID();
                view.IndexNo = order.first;
                view.Position = {stepped.back(), 0};
                view.AtBeginning = false;
                TSQLMemSearchRequest request;
                request.Mode = TSQLMemSearchMode::Next;
                request.Expression = &expression;
                TSQLMemRecordID found;
                if (!FindRecord(*table_, view, request, found)) {
                    break;
                }
                stepped.push_back(found.PageNo);
                ASSERT_LE(stepped.size(), expected.size());
                if (stepped.size() == kSteps) {
                    break;
                }
            }
        }
        cursor_->SetIndexName("");
        // The first steps, and the end reached when they are all.
        const std::vector<int32_t> head(
            expected.begin(),
            expected.begin() + static_cast<std::ptrdiff_t>(std::min(expected.size(), kSteps)));
        ASSERT_EQ(stepped, head) << "round " << round;
    }
}

TEST(SearchBounds, MergingKeepsTheTighterBoundAndRefusesDisjointOnes) {
    TSQLMemEngine::Instance().Reset();
    auto cursor = OpenCursor(NumsDefinition());
    TSQLMemTableData* table = TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable("Nums");
    std::lock_guard lock(table->Mutex());
    TSQLMemBTreeIndex& index = table->Index(1);
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();
    const auto bound = [&](TSQLMemSearchCondition condition, int32_t x) {
        TSQLMemSearchBound b;
        b.Condition = condition;
        b.Key.assign(static_cast<size_t>(fields.KeyBufferSize()), std::byte{0});
        InitKeyBuffer(b.Key.data(), fields.DataSize(), fields.Count());
        SetInteger(fields, 1, x, b.Key.data());
        b.KeyFieldCount = 1;
        b.IndexNo = 1;
        return b;
    };
    std::vector<TSQLMemSearchBound> kept;
    ASSERT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scGreaterEqual, 3)));
    ASSERT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scGreater, 3)));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].Condition, scGreater);
    ASSERT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scLowerEqual, 9)));
    ASSERT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scLower, 8)));
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].Condition, scLower);
    EXPECT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scEqual, 5)));
    EXPECT_FALSE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scEqual, 3)));
    EXPECT_FALSE(MergeAndCheckSearchConditionsCompatibility(index, kept, bound(scEqual, 8)));
    std::vector<TSQLMemSearchBound> equal;
    ASSERT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, equal, bound(scEqual, 5)));
    EXPECT_TRUE(MergeAndCheckSearchConditionsCompatibility(index, equal, bound(scEqual, 5)));
    EXPECT_EQ(equal.size(), 1u);
    EXPECT_FALSE(MergeAndCheckSearchConditionsCompatibility(index, equal, bound(scEqual, 6)));
}

TEST(SearchConditions, AConditionNumberOutsideTheListIsRefused) {
    TSQLMemScanSearchConditionArray conditions;
    try {
        conditions.Delete(0);
        FAIL() << "no error";
    } catch (const ESQLMemException& e) {
        EXPECT_EQ(e.Code().value_or(0), 10382);
        EXPECT_NE(e.Message().find("Invalid condition number = 0, count = 0"), std::string::npos);
    }
}

// --- The visible-row list ---

TEST(RecordBitmap, KeepsItsOrderAndFindsRowsWhetherSortedOrNot) {
    TSQLMemRecordBitmap list;
    for (const int32_t slot : {2, 5, 9}) {
        list.Append({slot, 0});
    }
    EXPECT_TRUE(list.SortedByID());
    EXPECT_EQ(list.Find({5, 0}), 1);
    EXPECT_EQ(list.Find({4, 0}), -1);
    list.Append({1, 0});
    EXPECT_FALSE(list.SortedByID());
    EXPECT_EQ(list.Find({1, 0}), 3);
    list.InsertAfter({5, 0}, {7, 0});
    EXPECT_EQ(list.Find({7, 0}), 2);
    EXPECT_EQ(list.Find({9, 0}), 3);
    list.Remove({2, 0});
    EXPECT_EQ(list.Find({5, 0}), 0);
    EXPECT_EQ(list.Find({2, 0}), -1);
    list.InsertAt(0, {40, 0});
    EXPECT_EQ(list.Find({40, 0}), 0);
    EXPECT_EQ(list.Find({1, 0}), 4);
    EXPECT_EQ(list.Count(), 5);

    TSQLMemRecordBitmap sorted;
    sorted.Append({1, 0});
    sorted.Append({8, 0});
    sorted.InsertAt(1, {4, 0});
    EXPECT_TRUE(sorted.SortedByID());
    sorted.InsertAt(0, {6, 0});
    EXPECT_FALSE(sorted.SortedByID());
    EXPECT_EQ(sorted.Find({8, 0}), 3);
}

TEST(RecordBitmap, AListOutOfStepWithTheTableRaisesItsErrors) {
    TSQLMemRecordBitmap list;
    list.Append({3, 0});
    const auto code = [](const auto& action) {
        try {
            action();
        } catch (const ESQLMemException& e) {
            return e.Code().value_or(0);
        }
        return 0;
    };
    EXPECT_EQ(code([&] { list.Append({3, 0}); }), 11328);
    EXPECT_EQ(code([&] { list.Remove({4, 0}); }), 11327);
    EXPECT_EQ(code([&] { list.InsertAfter({4, 0}, {5, 0}); }), 11332);
    EXPECT_EQ(code([&] { list.Item(1); }), 11326);
    EXPECT_EQ(code([&] { list.Item(-1); }), 11326);
}

}  // namespace
}  // namespace tapir::engine
