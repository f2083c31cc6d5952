// Key searches, ranges and Lookup of the table component over the index in force.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/table/data_source.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::DefineBouquet;
using testing::DefineZenders;
using testing::RecordEvents;
using Events = std::vector<std::string>;
using Values = std::vector<FieldValue>;

// The message of the error `action` raises; empty when it raises nothing.
template <typename Error, typename Action>
std::string ErrorText(Action action) {
    try {
        action();
    } catch (const Error& error) {
        return error.Message();
    }
    return {};
}

class TableKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        people_.SetTableName("People");
        people_.FieldDefs() = {{"Id", ftAutoInc, 0, false},
                               {"Name", ftString, 20, false},
                               {"Age", ftInteger, 0, false},
                               {"City", ftString, 20, false}};
        people_.IndexDefs() = {
            {"Id", "Id", ixPrimary | ixUnique, "", ""},
            {"NameAge", "Name;Age", 0, "", ""},
            {"AgeDown", "Age", static_cast<unsigned>(ixDescending), "", ""},
            {"CityNoCase", "City", static_cast<unsigned>(ixCaseInsensitive), "", ""}};
        people_.Open();
    }
    void TearDown() override {
        people_.Close();
        TSQLMemEngine::Instance().Reset();
    }

    void Add(const std::string& name, int age, const std::string& city) {
        people_.Append();
        people_.FieldByName("Name").SetAsString(name);
        people_.FieldByName("Age").SetAsInteger(age);
        people_.FieldByName("City").SetAsString(city);
        people_.Post();
    }
    // Appended in an order that differs from every index's order.
    void AddSample() {
        Add("Dave", 52, "Oslo");
        Add("Bob", 30, "paris");
        Add("Alice", 41, "Rome");
        Add("Bob", 25, "Lima");
        Add("Carol", 35, "PARIS");
        Add("Bob", 47, "Oslo");
        Add("Erin", 19, "Kyiv");
    }
    std::string Current() const {
        return people_.FieldByName("Name").AsString() + "/" + people_.FieldByName("Age").AsString();
    }
    // Every visible row from the first, as Current() writes it.
    std::vector<std::string> Visible() {
        std::vector<std::string> rows;
        people_.First();
        while (!people_.Eof()) {
            rows.push_back(Current());
            people_.Next();
        }
        return rows;
    }

    Events log_;  // outlives the handlers that write to it
    TSQLMemTable people_{"People"};
};

TEST_F(TableKeysTest, FindKeyMovesOnlyOnAnExactMatch) {
    AddSample();
    people_.SetIndexName("NameAge");
    people_.Last();
    RecordEvents(people_, log_);

    EXPECT_TRUE(people_.FindKey({std::string("Bob")}));
    EXPECT_EQ(Current(), "Bob/25");  // the first Bob in Name;Age order
    EXPECT_FALSE(people_.Eof());
    EXPECT_EQ(log_, (Events{"BeforeScroll", "AfterScroll"}));

    log_.clear();
    EXPECT_FALSE(people_.FindKey({std::string("Bobby")}));
    EXPECT_EQ(Current(), "Bob/25");
    EXPECT_EQ(log_, Events{"BeforeScroll"});

    // Both index columns: only the row with that age.
    EXPECT_TRUE(people_.FindKey({std::string("Bob"), int64_t{47}}));
    EXPECT_EQ(Current(), "Bob/47");
    EXPECT_FALSE(people_.FindKey({std::string("Bob"), int64_t{48}}));
    EXPECT_EQ(Current(), "Bob/47");
    EXPECT_EQ(people_.RecNo(), 4);  // Alice, Bob/25, Bob/30, Bob/47
}

TEST_F(TableKeysTest, KeyFieldCountLimitsTheColumnsCompared) {
    AddSample();
    people_.SetIndexName("NameAge");

    people_.SetKey();
    EXPECT_EQ(people_.State(), dsSetKey);
    people_.FieldByName("Name").SetAsString("Bob");
    people_.FieldByName("Age").SetAsInteger(99);
    people_.SetKeyFieldCount(1);
    EXPECT_EQ(people_.KeyFieldCount(), 1);
    EXPECT_TRUE(people_.GotoKey());
    EXPECT_EQ(Current(), "Bob/25");
    EXPECT_EQ(people_.State(), dsBrowse);

    // EditKey keeps the values: back to both columns, and Bob/99 does not exist.
    people_.EditKey();
    EXPECT_EQ(people_.FieldByName("Age").AsInteger(), 99);
    people_.SetKeyFieldCount(0);
    people_.Post();
    EXPECT_FALSE(people_.GotoKey());

    // Only the second column assigned: the first compares as null, which no row holds.
    people_.SetKey();
    people_.FieldByName("Age").SetAsInteger(30);
    EXPECT_FALSE(people_.GotoKey());
}

TEST_F(TableKeysTest, NearestAndExclusiveSearches) {
    AddSample();
    people_.SetIndexName("NameAge");

    people_.FindNearest({std::string("Bo")});
    EXPECT_EQ(Current(), "Bob/25");
    people_.FindNearest({std::string("Bob"), int64_t{26}});
    EXPECT_EQ(Current(), "Bob/30");
    people_.FindNearest({std::string("Bob"), int64_t{30}});
    EXPECT_EQ(Current(), "Bob/30");

    people_.SetKey();
    people_.FieldByName("Name").SetAsString("Bob");
    people_.SetKeyExclusive(true);
    EXPECT_TRUE(people_.KeyExclusive());
    people_.GotoNearest();
    EXPECT_EQ(Current(), "Carol/35");  // past every Bob

    people_.SetKey();
    people_.FieldByName("Name").SetAsString("Bob");
    people_.FieldByName("Age").SetAsInteger(30);
    people_.SetKeyExclusive(true);
    people_.GotoNearest();
    EXPECT_EQ(Current(), "Bob/47");

    // Nothing at or after the key: the end of the data.
    people_.FindNearest({std::string("Zed")});
    EXPECT_TRUE(people_.Eof());
    EXPECT_EQ(Current(), "Erin/19");
    people_.Prior();
    EXPECT_EQ(Current(), "Dave/52");
}

TEST_F(TableKeysTest, DescendingAndCaseInsensitiveIndexes) {
    AddSample();
    people_.SetIndexName("AgeDown");
    EXPECT_TRUE(people_.FindKey({int64_t{35}}));
    EXPECT_EQ(Current(), "Carol/35");
    // Descending: "nearest" is the next row in index order, the greatest age not above.
    people_.FindNearest({int64_t{45}});
    EXPECT_EQ(Current(), "Alice/41");
    people_.FindNearest({int64_t{10}});
    EXPECT_TRUE(people_.Eof());
    EXPECT_EQ(Current(), "Erin/19");

    people_.SetIndexName("CityNoCase");
    EXPECT_TRUE(people_.FindKey({std::string("PARIS")}));
    const std::string city = people_.FieldByName("City").AsString();
    EXPECT_TRUE(city == "paris" || city == "PARIS") << city;
    people_.SetRange({std::string("paris")}, {std::string("Paris")});
    EXPECT_EQ(people_.RecordCount(), 2);
    EXPECT_FALSE(people_.FindKey({std::string("Pari")}));
}

TEST_F(TableKeysTest, RangesStartOnlyEndOnlyAndBoth) {
    AddSample();
    people_.SetIndexName("NameAge");

    people_.SetRangeStart();
    people_.FieldByName("Name").SetAsString("Bob");
    people_.SetRangeEnd();  // leaves the start key as set
    people_.FieldByName("Name").SetAsString("Carol");
    people_.ApplyRange();
    EXPECT_EQ(Visible(), (std::vector<std::string>{"Bob/25", "Bob/30", "Bob/47", "Carol/35"}));
    EXPECT_EQ(people_.RecordCount(), 4);

    // Start only: the end key has nothing assigned and is no bound.
    people_.SetRangeStart();
    people_.FieldByName("Name").SetAsString("Carol");
    people_.SetRangeEnd();
    people_.ApplyRange();
    EXPECT_EQ(Visible(), (std::vector<std::string>{"Carol/35", "Dave/52", "Erin/19"}));

    // End only, exclusive: the bound's own rows stay out.
    people_.SetRangeStart();
    people_.SetRangeEnd();
    people_.FieldByName("Name").SetAsString("Bob");
    people_.SetKeyExclusive(true);
    people_.ApplyRange();
    EXPECT_EQ(Visible(), std::vector<std::string>{"Alice/41"});

    // Two columns at the start, one at the end; exclusive start.
    people_.SetRange({std::string("Bob"), int64_t{25}}, {std::string("Bob")});
    EXPECT_EQ(Visible(), (std::vector<std::string>{"Bob/25", "Bob/30", "Bob/47"}));
    people_.EditRangeStart();
    people_.SetKeyExclusive(true);
    people_.ApplyRange();
    EXPECT_EQ(Visible(), (std::vector<std::string>{"Bob/30", "Bob/47"}));

    // Searches stay inside the range.
    EXPECT_FALSE(people_.FindKey({std::string("Alice")}));
    EXPECT_TRUE(people_.FindKey({std::string("Bob"), int64_t{47}}));
}

TEST_F(TableKeysTest, EqualRangeIsNotReappliedAndCancelRangeKeepsTheRow) {
    AddSample();
    people_.SetIndexName("NameAge");
    people_.SetRange({std::string("Bob")}, {std::string("Bob")});
    people_.Last();
    EXPECT_EQ(Current(), "Bob/47");

    RecordEvents(people_, log_);
    people_.SetRange({std::string("Bob")}, {std::string("Bob")});
    EXPECT_EQ(Current(), "Bob/47");
    EXPECT_TRUE(log_.empty());

    people_.SetRange({std::string("Bob")}, {std::string("Carol")});
    EXPECT_EQ(Current(), "Bob/25");  // a new range starts at its first row
    EXPECT_EQ(log_, (Events{"BeforeScroll", "AfterScroll"}));

    people_.Next();
    log_.clear();
    people_.CancelRange();
    EXPECT_EQ(Current(), "Bob/30");
    EXPECT_EQ(people_.RecordCount(), 7);
    EXPECT_EQ(people_.RecNo(), 3);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(Visible().size(), 7u);
}

TEST_F(TableKeysTest, ChangingTheIndexDropsTheRangeAndKeys) {
    AddSample();
    people_.SetIndexName("NameAge");
    people_.SetRange({std::string("Bob")}, {std::string("Bob")});
    EXPECT_EQ(people_.RecordCount(), 3);
    people_.SetIndexName("AgeDown");
    EXPECT_EQ(people_.RecordCount(), 7);
    // The new index's own key: a text key from before would not fit its column.
    EXPECT_TRUE(people_.FindKey({int64_t{52}}));
    EXPECT_EQ(Current(), "Dave/52");
}

TEST_F(TableKeysTest, SetKeyStateAcceptsOnlyIndexFieldsAndIsNotRelayed) {
    AddSample();
    people_.SetIndexName("NameAge");
    TDataSource source;
    source.SetDataSet(&people_);
    people_.FindKey({std::string("Carol")});

    people_.SetKey();
    EXPECT_EQ(people_.State(), dsSetKey);
    EXPECT_EQ(source.State(), dsBrowse);
    try {
        people_.FieldByName("City").SetAsString("Rome");
        ADD_FAILURE() << "a field outside the index was accepted";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 20019);
        EXPECT_NE(error.Message().find("Field City is not in the current index"),
                  std::string::npos);
    }
    people_.FieldByName("Name").SetAsString("Alice");
    people_.Cancel();  // the key as it was: "Carol"
    EXPECT_EQ(people_.State(), dsBrowse);
    EXPECT_EQ(Current(), "Carol/35");  // the row is shown again, not the key
    EXPECT_TRUE(people_.GotoKey());
    EXPECT_EQ(Current(), "Carol/35");

    // A move leaves set-key state and keeps the key.
    people_.SetKey();
    people_.FieldByName("Name").SetAsString("Dave");
    people_.First();
    EXPECT_EQ(people_.State(), dsBrowse);
    EXPECT_TRUE(people_.GotoKey());
    EXPECT_EQ(Current(), "Dave/52");

    // Delete in set-key state only cancels it.
    people_.SetKey();
    people_.Delete();
    EXPECT_EQ(people_.RecordCount(), 7);

    EXPECT_NE(ErrorText<EDatabaseError>([&] { people_.SetKeyExclusive(true); }), "");
    EXPECT_NE(ErrorText<EDatabaseError>([&] {
                  people_.FindKey({std::string("A"), int64_t{1}, std::string("x")});
              }).find("Too many key values: 3 given, the index in force has 2 fields"),
              std::string::npos);
}

TEST_F(TableKeysTest, KeyOperationsNeedAnIndex) {
    AddSample();
    const std::string expected =
        "People: No index in force: key searches and ranges need IndexName or IndexFieldNames";
    EXPECT_EQ(ErrorText<EDatabaseError>([&] { people_.SetKey(); }), expected);
    EXPECT_EQ(people_.State(), dsBrowse);
    EXPECT_EQ(ErrorText<EDatabaseError>([&] { people_.FindKey({int64_t{1}}); }), expected);
    EXPECT_EQ(ErrorText<EDatabaseError>([&] { people_.GotoNearest(); }), expected);
    EXPECT_EQ(ErrorText<EDatabaseError>([&] { people_.ApplyRange(); }), expected);
    EXPECT_EQ(ErrorText<EDatabaseError>([&] { people_.SetRangeEnd(); }), expected);
}

TEST_F(TableKeysTest, SearchesOnAnEmptyTable) {
    people_.SetIndexName("Id");
    EXPECT_FALSE(people_.FindKey({int64_t{1}}));
    EXPECT_TRUE(people_.IsEmpty());
    people_.FindNearest({int64_t{1}});
    EXPECT_TRUE(people_.Eof());
    EXPECT_TRUE(people_.Bof());
    EXPECT_TRUE(people_.IsEmpty());
    people_.SetRange({int64_t{1}}, {int64_t{5}});
    EXPECT_EQ(people_.RecordCount(), 0);

    Add("Erin", 19, "Kyiv");  // Id 1, outside no bound
    EXPECT_TRUE(people_.FindKey({int64_t{1}}));
    EXPECT_EQ(Current(), "Erin/19");
}

TEST_F(TableKeysTest, LookupReadsWithoutMoving) {
    AddSample();
    people_.SetIndexName("NameAge");
    people_.FindKey({std::string("Dave")});
    RecordEvents(people_, log_);

    const auto found = people_.Lookup("Name;Age", {"Bob", "47"}, "City;Id");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, (Values{std::string("Oslo"), int64_t{6}}));
    EXPECT_EQ(Current(), "Dave/52");
    EXPECT_EQ(people_.RecNo(), 6);
    EXPECT_TRUE(log_.empty());

    EXPECT_FALSE(people_.Lookup("Name", {"Nobody"}, "City").has_value());
    EXPECT_EQ(Current(), "Dave/52");
    // The next move goes on from where the dataset was, not from the match.
    people_.Next();
    EXPECT_EQ(Current(), "Erin/19");

    // Only visible rows count.
    people_.SetRange({std::string("Alice")}, {std::string("Bob")});
    EXPECT_FALSE(people_.Lookup("Name", {"Carol"}, "City").has_value());
    EXPECT_EQ(people_.Lookup("City", {"Lima"}, "Age"), (Values{int64_t{25}}));
}

TEST_F(TableKeysTest, UserRangeGivesWayToTheMasterLink) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "KeysBouquet");
    TSQLMemTable zenders("Zenders");
    DefineZenders(zenders, "KeysZenders");
    bouquet.Open();
    zenders.Open();
    for (int b = 1; b <= 2; ++b) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString("B" + std::to_string(b));
        bouquet.Post();
        for (int z = 0; z < b + 1; ++z) {
            zenders.Append();
            zenders.FieldByName("Id").SetAsInteger(b);
            zenders.FieldByName("Zender").SetAsString("Z" + std::to_string(b));
            zenders.Post();
        }
    }
    TDataSource source;
    source.SetDataSet(&bouquet);
    zenders.SetMasterSource(&source);
    zenders.SetMasterFields("Id");
    bouquet.First();
    EXPECT_EQ(zenders.RecordCount(), 2);

    zenders.SetRange({int64_t{1}}, {int64_t{2}});
    EXPECT_EQ(zenders.RecordCount(), 5);
    bouquet.Next();  // the master's range for bouquet 2 replaces it
    EXPECT_EQ(zenders.RecordCount(), 3);
    EXPECT_TRUE(zenders.FindKey({int64_t{2}}));
    EXPECT_FALSE(zenders.FindKey({int64_t{1}}));
    zenders.Close();
    bouquet.Close();
}

}  // namespace
}  // namespace tapir::engine
