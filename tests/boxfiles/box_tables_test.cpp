#include "boxfiles/box_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_fixture.h"
#include "engine/table/field.h"

namespace tapir::boxfiles {
namespace {

class BoxTablesTest : public testing::BoxFilesTest {
  protected:
    // The calculated columns of a timer with this mask: "R" when Repeated, then for each of
    // d0..d6 '1' ticked, '0' false, '-' null.
    std::string CalculatedFor(int64_t mask) {
        engine::TSQLMemTable& t = tables_.Timers;
        t.Append();
        t.FieldByName("RepeatedOrg").SetAsLargeint(mask);
        // A distinct begin per mask, within the years a date-time holds.
        t.FieldByName("Begin").SetAsDateTime(47000.0 + static_cast<double>(mask % 100000));
        t.Post();
        std::string result = t.FieldByName("Repeated").AsBoolean() ? "R" : "-";
        for (int day = 0; day < 7; ++day) {
            const engine::TField& field = t.FieldByName("d" + std::to_string(day));
            result += field.IsNull() ? '-' : field.AsBoolean() ? '1' : '0';
        }
        return result;
    }
};

TEST_F(BoxTablesTest, WeekdayColumnsFollowTheRepeatMask) {
    struct Case {
        int64_t mask;
        const char* columns;  // Repeated, then d0 (Sunday) .. d6 (Saturday)
    };
    const Case cases[] = {
        {0, "--------"},
        {127, "R1111111"},
        {64, "R1------"},
        {1, "R-1-----"},
        {128, "R-------"},
        {31, "R-11111-"},
        {0x100000041LL, "R11-----"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        EXPECT_EQ(CalculatedFor(c.mask), c.columns);
    }
}

TEST_F(BoxTablesTest, DefinitionsAndOrder) {
    EXPECT_EQ(tables_.Bouquet.TableName(), kBouquetTableName);
    EXPECT_EQ(tables_.Zenders.TableName(), kZendersTableName);
    EXPECT_EQ(tables_.Timers.TableName(), kTimersTableName);
    EXPECT_EQ(tables_.Timers.IndexFieldNames(), "Begin;End");
    EXPECT_EQ(tables_.Zenders.MasterSource(), &tables_.Ds_Bouquet);
    EXPECT_EQ(tables_.Timers.FieldByName("Name").DisplayLabel(), "Description");
    EXPECT_EQ(tables_.Timers.FieldByName("Begin").DisplayFormat(), "ddd dd-mm-yy  hh:nn");
    EXPECT_FALSE(tables_.Timers.FieldByName("Serviceref").Visible());
    EXPECT_EQ(tables_.Timers.FieldByName("Name").Size(), 40);

    // A later begin posted first is still listed after an earlier one.
    for (double begin : {47002.0, 47001.0}) {
        tables_.Timers.Append();
        tables_.Timers.FieldByName("Begin").SetAsDateTime(begin);
        tables_.Timers.FieldByName("End").SetAsDateTime(begin + 0.1);
        tables_.Timers.Post();
    }
    tables_.Timers.First();
    EXPECT_EQ(tables_.Timers.FieldByName("Begin").AsDateTime(), 47001.0);
}

}  // namespace
}  // namespace tapir::boxfiles
