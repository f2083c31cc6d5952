// Filter texts, the SQL filter, Locate and Lookup on the table component, over a table
// shaped like the program's timer table: which rows are visible, how many, in which order,
// what the options change, and that an index serves a filter's bound.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/table/filter_compiler.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

// Exposes how many rows the cursor's searches read.
class CountingTable : public TSQLMemTable {
  public:
    int64_t RowsRead() const { return cursor_->RowsRead(); }
};

struct Timer {
    const char* zender;
    double begin;
    const char* name;  // nullptr: no name
};

// Begin order differs from the order of appending.
const Timer kTimers[] = {
    {"ZDF", 45003.5, "Smith"},       {"ARD", 45001.25, "smart"}, {"ZDF", 45002.0, "Sm*"},
    {"RTL", 45005.0, "Jones"},       {"ARD", 45004.75, nullptr}, {"zdf", 45000.5, "SMOG"},
    {"ZDF", 45006.0, "Smörgåsbord"},
};

class DatasetFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        testing::DefineTimers(timers_, "FilterTimers");
        timers_.Open();
        for (const Timer& timer : kTimers) {
            timers_.Append();
            timers_.FieldByName("Zender").SetAsString(timer.zender);
            timers_.FieldByName("Begin").SetAsDateTime(timer.begin);
            timers_.FieldByName("End").SetAsDateTime(timer.begin + 0.1);
            if (timer.name != nullptr) {
                timers_.FieldByName("Name").SetAsString(timer.name);
            }
            timers_.Post();
        }
        timers_.First();
    }
    void TearDown() override {
        timers_.Close();
        TSQLMemEngine::Instance().Reset();
    }

    // The names of the visible rows in the table's order, "-" for none.
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (timers_.First(); !timers_.Eof(); timers_.Next()) {
            const std::string name = timers_.FieldByName("Name").AsString();
            names.push_back(name.empty() ? "-" : name);
        }
        return names;
    }

    void Filter(const std::string& text, TFilterOptions options = {}) {
        timers_.SetFiltered(false);
        timers_.SetFilter(text);
        timers_.SetFilterOptions(options);
        timers_.SetFiltered(true);
    }

    using Names_ = std::vector<std::string>;
    CountingTable timers_;
};

TEST_F(DatasetFilter, StarConstantComparesPartiallyUnlessTheOptionsForbidIt) {
    Filter("Name = 'Sm*'");
    EXPECT_EQ(timers_.RecordCount(), 3);
    EXPECT_EQ(Names(), (Names_{"Sm*", "Smith", "Smörgåsbord"}));

    Filter("Name = 'sm*'", {foCaseInsensitive});
    EXPECT_EQ(Names(), (Names_{"SMOG", "smart", "Sm*", "Smith", "Smörgåsbord"}));

    // Without partial comparison the star is a character like any other.
    Filter("Name = 'Sm*'", {foNoPartialCompare});
    EXPECT_EQ(Names(), (Names_{"Sm*"}));
    Filter("Name = 'sm*'", {foCaseInsensitive, foNoPartialCompare});
    EXPECT_EQ(Names(), (Names_{"Sm*"}));

    // Case counts without the option, also for whole texts.
    Filter("Name = 'smith'");
    EXPECT_EQ(timers_.RecordCount(), 0);
    EXPECT_TRUE(timers_.Eof() && timers_.Bof());
    Filter("Name = 'smith'", {foCaseInsensitive});
    EXPECT_EQ(Names(), (Names_{"Smith"}));
}

TEST_F(DatasetFilter, LikeAndOtherPredicatesFollowTheCaseOption) {
    Filter("Name LIKE 'sm%'");
    EXPECT_EQ(Names(), (Names_{"smart"}));
    Filter("Name LIKE 'sm%'", {foCaseInsensitive});
    EXPECT_EQ(Names(), (Names_{"SMOG", "smart", "Sm*", "Smith", "Smörgåsbord"}));
    Filter("Name IS NULL");
    EXPECT_EQ(Names(), (Names_{"-"}));
    Filter("Zender IN ('ARD', 'RTL') AND NOT Name IS NULL");
    EXPECT_EQ(Names(), (Names_{"smart", "Jones"}));
    Filter("LENGTH(Name) > 5 OR Zender = 'RTL'");
    EXPECT_EQ(Names(), (Names_{"Jones", "Smörgåsbord"}));
    // Day 45002 is 17 March 2023.
    Filter(
        "[Begin] >= TODATE('2023-03-17', 'YYYY-MM-DD') AND [End] < "
        "TODATE('2023-03-19 12:00', 'YYYY-MM-DD HH24:NN')");
    EXPECT_EQ(Names(), (Names_{"Sm*", "Smith"}));
}

TEST_F(DatasetFilter, FilteredSwitchesTheTextOnAndOffAndCountsFollow) {
    timers_.SetFilter("Zender = 'ZDF'");
    EXPECT_FALSE(timers_.Filtered());
    EXPECT_EQ(timers_.RecordCount(), 7);  // a text alone filters nothing
    timers_.SetFiltered(true);
    EXPECT_EQ(timers_.RecordCount(), 3);
    // The first visible row is current after switching.
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Sm*");
    timers_.Last();
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Smörgåsbord");
    timers_.Prior();
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Smith");
    EXPECT_EQ(timers_.RecNo(), 2);

    // Changing the text while filtered applies at once.
    timers_.SetFilter("Zender = 'ARD'");
    EXPECT_EQ(Names(), (Names_{"smart", "-"}));
    // So do the options.
    timers_.SetFilter("Zender = 'zdf'");
    EXPECT_EQ(timers_.RecordCount(), 1);
    timers_.SetFilterOptions({foCaseInsensitive});
    EXPECT_EQ(timers_.RecordCount(), 4);

    timers_.SetFiltered(false);
    EXPECT_EQ(timers_.RecordCount(), 7);
    EXPECT_EQ(timers_.Filter(), "Zender = 'zdf'");

    // The text and the per-row handler both apply.
    timers_.OnFilterRecord = [](TSQLMemDataSet& data, bool& accept) {
        accept = data.FieldByName("Name").AsString() != "SMOG";
    };
    timers_.SetFiltered(true);
    EXPECT_EQ(Names(), (Names_{"Sm*", "Smith", "Smörgåsbord"}));
}

TEST_F(DatasetFilter, RowsChangedUnderAFilterJoinOrLeaveTheView) {
    Filter("Zender = 'RTL'");
    ASSERT_EQ(timers_.RecordCount(), 1);
    timers_.Append();
    timers_.FieldByName("Zender").SetAsString("RTL");
    timers_.FieldByName("Begin").SetAsDateTime(44000.0);
    timers_.FieldByName("Name").SetAsString("Early");
    timers_.Post();
    EXPECT_EQ(Names(), (Names_{"Early", "Jones"}));
    timers_.Append();
    timers_.FieldByName("Zender").SetAsString("SAT1");
    timers_.FieldByName("Begin").SetAsDateTime(44001.0);
    timers_.Post();
    EXPECT_EQ(timers_.RecordCount(), 2);

    timers_.First();
    timers_.Edit();
    timers_.FieldByName("Zender").SetAsString("ARD");
    timers_.Post();
    EXPECT_EQ(Names(), (Names_{"Jones"}));
    timers_.SetFiltered(false);
    EXPECT_EQ(timers_.RecordCount(), 9);
}

TEST_F(DatasetFilter, AFilterInErrorRaisesAndLeavesTheFilterAsItWas) {
    Filter("Zender = 'ARD'");
    struct Case {
        std::string text;
        int code;
    };
    const Case cases[] = {
        {"Zender = ", 30063},           // end where a value is needed
        {"Zender 'ARD'", 30070},        // no condition
        {"Zender = 'ARD' 'x'", 30064},  // something after the condition
        {"Zender = 'ARD' AND", 30118},  // end where a condition is needed
        {"  -- nothing\n", 30119},      // blank
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            timers_.SetFilter(c.text);
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), c.code);
        }
        EXPECT_EQ(timers_.Filter(), "Zender = 'ARD'");
        EXPECT_EQ(timers_.RecordCount(), 2);
    }
    try {
        timers_.SetFilter("Nope = 1");
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& error) {
        EXPECT_EQ(error.Message(), "Field 'Nope' not found");
    }
    EXPECT_EQ(timers_.RecordCount(), 2);

    // The text is kept while not filtered, and compiled when filtering starts.
    timers_.SetFiltered(false);
    timers_.SetFilter("Zender = ");
    EXPECT_THROW(timers_.SetFiltered(true), ESQLMemException);
    EXPECT_FALSE(timers_.Filtered());
    EXPECT_EQ(timers_.RecordCount(), 7);
}

TEST_F(DatasetFilter, AFilterOnAnIndexedColumnReadsOnlyItsRange) {
    // Many rows; the index "testje" on Zender serves an equality on it.
    for (int i = 0; i < 2000; ++i) {
        timers_.Append();
        timers_.FieldByName("Zender").SetAsString("Z" + std::to_string(i % 100));
        timers_.FieldByName("Begin").SetAsDateTime(46000.0 + i);
        timers_.FieldByName("Name").SetAsString("N" + std::to_string(i % 100));
        timers_.Post();
    }
    const auto read_to_count = [this](const std::string& text, int expected) {
        timers_.SetFiltered(false);
        const int64_t before = timers_.RowsRead();
        Filter(text);
        EXPECT_EQ(timers_.RecordCount(), expected) << text;
        return timers_.RowsRead() - before;
    };
    // Filtering builds the visible-row list once: through the index only the 20 rows of the
    // range are read; the same test on an unindexed column reads every row.
    timers_.First();
    const int64_t indexed = read_to_count("Zender = 'Z42'", 20);
    const int64_t scanned = read_to_count("Name = 'N42'", 20);
    EXPECT_LE(indexed, 25);
    EXPECT_GE(scanned, 2000);
    // A partial comparison is no index bound. It compares over the shorter text, so "Z4"
    // matches as well as "Z42".
    const int64_t partial = read_to_count("Zender = 'Z42*'", 40);
    EXPECT_GE(partial, 2000);
    // The filter keeps working after each search put its bound back.
    Filter("Zender = 'Z42'");
    EXPECT_EQ(timers_.RecordCount(), 20);
    timers_.Refresh();
    EXPECT_EQ(timers_.RecordCount(), 20);
}

TEST_F(DatasetFilter, SqlFilterHoldsWhateverFilteredSays) {
    timers_.SetSQLFilter("Zender = 'ZDF' OR Zender = 'zdf'");
    EXPECT_EQ(timers_.RecordCount(), 4);
    Filter("Name = 'SM*'", {foCaseInsensitive});
    EXPECT_EQ(Names(), (Names_{"SMOG", "Sm*", "Smith", "Smörgåsbord"}));
    // SQL rules: case counts and no star rule.
    timers_.SetSQLFilter("Name = 'Sm*'");
    EXPECT_EQ(Names(), (Names_{"Sm*"}));
    timers_.SetFiltered(false);
    timers_.SetSQLFilter("");
    EXPECT_EQ(timers_.RecordCount(), 7);
}

TEST_F(DatasetFilter, LocateWithCaseAndPartialOptions) {
    const TSQLMemDataSet::LocateOptions exact;
    const TSQLMemDataSet::LocateOptions ignore_case{true, false};
    const TSQLMemDataSet::LocateOptions partial{false, true};
    const TSQLMemDataSet::LocateOptions both{true, true};
    EXPECT_FALSE(timers_.Locate("Name", {"smith"}, exact));
    ASSERT_TRUE(timers_.Locate("Name", {"smith"}, ignore_case));
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Smith");
    // The first match in Begin order.
    ASSERT_TRUE(timers_.Locate("Name", {"Sm"}, partial));
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Sm*");
    ASSERT_TRUE(timers_.Locate("Name", {"sm"}, both));
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "SMOG");
    ASSERT_TRUE(timers_.Locate("Zender;Name", {"zdf", "smo"}, both));
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "SMOG");
    // An empty key finds the row without a name.
    ASSERT_TRUE(timers_.Locate("Name", {""}));
    EXPECT_EQ(timers_.FieldByName("Zender").AsString(), "ARD");
    // Not found: the position stays.
    EXPECT_FALSE(timers_.Locate("Name", {"Nobody"}));
    EXPECT_EQ(timers_.FieldByName("Zender").AsString(), "ARD");
    // A date-time column reads its key as a date.
    ASSERT_TRUE(timers_.Locate("Begin", {"2023-03-18 12:00"}));
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Smith");

    try {
        timers_.Locate("Zender;Name", {"ZDF"});
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30112);
        EXPECT_EQ(error.BareMessage(), "Count of FieldNames (2) not equal counts of KeyValues (1)");
    }
    // Locate searches the filtered view only.
    Filter("Zender = 'ARD'");
    EXPECT_FALSE(timers_.Locate("Name", {"Smith"}));
    EXPECT_TRUE(timers_.Locate("Name", {"smart"}));
}

TEST_F(DatasetFilter, LookupReadsWithoutMoving) {
    timers_.Last();
    const auto found = timers_.Lookup("Zender;Name", {"ARD", "smart"}, "Begin;Name");
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), 2U);
    EXPECT_DOUBLE_EQ(std::get<double>((*found)[0]), 45001.25);
    EXPECT_EQ(std::get<std::string>((*found)[1]), "smart");
    EXPECT_EQ(timers_.FieldByName("Name").AsString(), "Smörgåsbord");
    EXPECT_FALSE(timers_.Lookup("Name", {"smith"}, "Zender").has_value());
}

TEST(FilterCompilerRegistry, FiltersWithoutTheSqlLayerRaiseAClearError) {
    const TSQLMemFilterCompiler* installed = GetFilterCompiler();
    ASSERT_NE(installed, nullptr);  // the SQL layer installs itself in every program
    SetFilterCompiler(nullptr);
    TSQLMemEngine::Instance().Reset();
    TSQLMemTable bouquet;
    testing::DefineBouquet(bouquet, "NoCompiler");
    bouquet.Open();
    bouquet.SetFilter("Type = 1");
    try {
        bouquet.SetFiltered(true);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), kNoFilterCompilerCode);
    }
    EXPECT_FALSE(bouquet.Filtered());
    EXPECT_THROW(bouquet.Locate("Type", {"1"}), ESQLMemException);
    bouquet.Close();
    SetFilterCompiler(installed);
    TSQLMemEngine::Instance().Reset();
}

}  // namespace
}  // namespace tapir::engine
