#include "engine/table/sqlmem_table.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "engine/table/data_source.h"
#include "engine/table/sqlmem_database.h"
#include "table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::DefineBouquet;
using testing::DefineTimers;
using testing::DefineZenders;
using testing::RecordEvents;
using Events = std::vector<std::string>;

class SQLMemTableTest : public ::testing::Test {
protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    // Appends and posts a bouquet row with a name.
    static void AddBouquet(TSQLMemTable& bouquet, const std::string& name, int type = 1) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        bouquet.FieldByName("Type").SetAsInteger(type);
        bouquet.Post();
    }

    // Texts of one field over all visible rows, First to Eof.
    static std::vector<std::string> Column(TSQLMemDataSet& dataset, const std::string& field) {
        std::vector<std::string> values;
        dataset.First();
        while (!dataset.Eof()) {
            values.push_back(dataset.FieldByName(field).AsString());
            dataset.Next();
        }
        return values;
    }

    static void AddTimer(TSQLMemTable& timers, const std::string& name, double begin, double end) {
        timers.Append();
        timers.FieldByName("Name").SetAsString(name);
        timers.FieldByName("Begin").SetAsDateTime(begin);
        timers.FieldByName("End").SetAsDateTime(end);
        timers.Post();
    }
};

TEST_F(SQLMemTableTest, EventsFireInTheirFixedOrder) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "EventsTable");
    Events log;
    RecordEvents(bouquet, log);

    const struct {
        const char* step;
        std::function<void()> action;
        Events expected;
    } steps[] = {
        {"open", [&] { bouquet.Open(); }, {"BeforeOpen", "AfterOpen"}},
        {"append",
         [&] { bouquet.Append(); },
         {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}},
        {"set and post",
         [&] {
             bouquet.FieldByName("Bouquet").SetAsString("One");
             bouquet.Post();
         },
         {"BeforePost", "AfterPost"}},
        {"edit", [&] { bouquet.Edit(); }, {"BeforeEdit", "AfterEdit"}},
        {"edit again does nothing", [&] { bouquet.Edit(); }, {}},
        {"cancel edit", [&] { bouquet.Cancel(); }, {"BeforeCancel", "AfterCancel"}},
        {"cancel in browse does nothing", [&] { bouquet.Cancel(); }, {}},
        {"append and cancel",
         [&] {
             bouquet.Append();
             bouquet.Cancel();
         },
         {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll",
          "BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}},
        {"first", [&] { bouquet.First(); }, {"BeforeScroll", "AfterScroll"}},
        {"next onto eof", [&] { bouquet.Next(); }, {"BeforeScroll", "AfterScroll"}},
        {"next at eof", [&] { bouquet.Next(); }, {"BeforeScroll"}},
        {"edit and post unmodified through navigation",
         [&] {
             bouquet.Edit();
             bouquet.FieldByName("Type").SetAsInteger(3);
             bouquet.First();
         },
         {"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}},
        {"delete",
         [&] { bouquet.Delete(); },
         {"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}},
        {"close discards an insert without cancel events",
         [&] {
             bouquet.Append();
             log.clear();
             bouquet.Close();
         },
         {"BeforeClose", "AfterClose"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        log.clear();
        step.action();
        EXPECT_EQ(log, step.expected);
    }
    bouquet.Open();
    EXPECT_EQ(bouquet.RecordCount(), 0);
}

TEST_F(SQLMemTableTest, StatesCarryTheirNumbers) {
    EXPECT_EQ(static_cast<int>(dsInactive), 0);
    EXPECT_EQ(static_cast<int>(dsBrowse), 1);
    EXPECT_EQ(static_cast<int>(dsEdit), 2);
    EXPECT_EQ(static_cast<int>(dsInsert), 3);
    EXPECT_EQ(static_cast<int>(dsSetKey), 4);
    EXPECT_EQ(static_cast<int>(dsCalcFields), 5);
    EXPECT_EQ(static_cast<int>(dsFilter), 6);

    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "States");
    EXPECT_EQ(bouquet.State(), dsInactive);
    bouquet.Open();
    EXPECT_EQ(bouquet.State(), dsBrowse);
    bouquet.Append();
    EXPECT_EQ(bouquet.State(), dsInsert);
    bouquet.FieldByName("Bouquet").SetAsString("x");
    EXPECT_TRUE(bouquet.Modified());
    bouquet.Post();
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_FALSE(bouquet.Modified());
    bouquet.Edit();
    EXPECT_EQ(bouquet.State(), dsEdit);
    EXPECT_FALSE(bouquet.Modified());
    bouquet.Close();
    EXPECT_EQ(bouquet.State(), dsInactive);
    EXPECT_EQ(bouquet.RecordCount(), 0);
    EXPECT_EQ(bouquet.CurrentVersion(), "3.06 ");
}

TEST_F(SQLMemTableTest, CurrentVersionIsWrittenWithAPointUnderAnyLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        GTEST_SKIP() << "de_DE.UTF-8 is not generated (scripts/install-deps.sh does that)";
    }
    const TSQLMemTable table("Versions");
    const std::string version = table.CurrentVersion();
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(version, "3.06 ");
}

TEST_F(SQLMemTableTest, LeaveEditDiscardsAnUntouchedNewRowButSpendsItsNumber) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "LeaveEdit");
    bouquet.Open();
    bouquet.Append();
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 1);
    Events log;
    RecordEvents(bouquet, log);
    bouquet.First();
    EXPECT_EQ(log, (Events{"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll",
                           "BeforeScroll", "AfterScroll"}));
    EXPECT_EQ(bouquet.RecordCount(), 0);
    EXPECT_TRUE(bouquet.Eof());
    EXPECT_TRUE(bouquet.Bof());

    bouquet.Append();
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 2);
    bouquet.FieldByName("Bouquet").SetAsString("Kept");
    // The next Append posts the modified row first.
    bouquet.Append();
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 3);
    bouquet.Cancel();
    bouquet.Append();
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 4) << "a cancelled number is not reused";
    bouquet.Cancel();
    EXPECT_EQ(Column(bouquet, "Bouquet"), (std::vector<std::string>{"Kept"}));
    EXPECT_EQ(Column(bouquet, "Id"), (std::vector<std::string>{"2"}));
}

TEST_F(SQLMemTableTest, AutoincNumberIsReadableInsideAfterInsert) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "AutoincInHandler");
    bouquet.Open();
    std::vector<int> seen;
    bouquet.AfterInsert = [&](TSQLMemDataSet& dataset) {
        seen.push_back(dataset.FieldByName("Id").AsInteger());
        EXPECT_FALSE(dataset.FieldByName("Id").IsNull());
        EXPECT_TRUE(dataset.FieldByName("Bouquet").IsNull());
    };
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST_F(SQLMemTableTest, EofAndBofFollowTheNavigationRules) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "EofBof");
    bouquet.Open();
    EXPECT_TRUE(bouquet.Eof());
    EXPECT_TRUE(bouquet.Bof());
    bouquet.First();
    EXPECT_TRUE(bouquet.Eof() && bouquet.Bof());
    bouquet.Last();
    EXPECT_TRUE(bouquet.Eof() && bouquet.Bof());

    AddBouquet(bouquet, "a");
    EXPECT_FALSE(bouquet.Eof());
    EXPECT_FALSE(bouquet.Bof());
    AddBouquet(bouquet, "b");
    AddBouquet(bouquet, "c");

    bouquet.First();
    EXPECT_TRUE(bouquet.Bof());
    EXPECT_FALSE(bouquet.Eof());
    bouquet.Next();
    EXPECT_FALSE(bouquet.Bof());
    EXPECT_FALSE(bouquet.Eof());
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "b");
    bouquet.Next();
    bouquet.Next();
    EXPECT_TRUE(bouquet.Eof());
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "c") << "stays on the last row";
    bouquet.Prior();
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "b");
    EXPECT_FALSE(bouquet.Eof());

    bouquet.Last();
    EXPECT_TRUE(bouquet.Eof());
    EXPECT_FALSE(bouquet.Bof());
    bouquet.Prior();
    bouquet.Prior();
    bouquet.Prior();
    EXPECT_TRUE(bouquet.Bof());
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "a");
    EXPECT_EQ(bouquet.RecNo(), 1);

    bouquet.Edit();
    bouquet.FieldByName("Type").SetAsInteger(9);
    bouquet.Post();
    EXPECT_FALSE(bouquet.Eof());
    EXPECT_FALSE(bouquet.Bof());
    EXPECT_EQ(bouquet.RecordCount(), 3);
}

TEST_F(SQLMemTableTest, MasterDetailShowsTheChannelsOfTheCurrentBouquet) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "Table326480888");
    TDataSource ds_bouquet("Ds_Bouquet");
    ds_bouquet.SetDataSet(&bouquet);
    TSQLMemTable zenders("Zenders");
    DefineZenders(zenders, "Table64929107");
    zenders.SetMasterSource(&ds_bouquet);
    zenders.SetMasterFields("Id");
    bouquet.Open();
    zenders.Open();

    // Channels are appended while their bouquet is still being inserted.
    auto add_bouquet = [&](const std::string& name, std::vector<std::string> channels) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        const int id = bouquet.FieldByName("Id").AsInteger();
        EXPECT_EQ(zenders.RecordCount(), 0) << "a new bouquet selects an empty range";
        for (const std::string& channel : channels) {
            zenders.Append();
            EXPECT_EQ(zenders.FieldByName("Id").AsInteger(), id);
            zenders.FieldByName("Zender").SetAsString(channel);
        }
    };
    add_bouquet("First", {"C1", "C2", "C3"});
    add_bouquet("Second", {"D1", "D2"});
    bouquet.Post();
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_EQ(zenders.State(), dsBrowse) << "the master's post posted the detail row first";
    EXPECT_EQ(bouquet.RecordCount(), 2);

    bouquet.First();
    EXPECT_EQ(zenders.RecordCount(), 3);
    EXPECT_EQ(Column(zenders, "Zender"), (std::vector<std::string>{"C1", "C2", "C3"}));
    EXPECT_EQ(Column(zenders, "SubId"), (std::vector<std::string>{"1", "2", "3"}));
    bouquet.Next();
    EXPECT_EQ(zenders.RecordCount(), 2);
    EXPECT_EQ(Column(zenders, "Zender"), (std::vector<std::string>{"D1", "D2"}));
    EXPECT_EQ(Column(zenders, "Id"), (std::vector<std::string>{"2", "2"}));

    // A channel appended to the current bouquet joins its range at once.
    zenders.Append();
    zenders.FieldByName("Zender").SetAsString("D3");
    zenders.Post();
    EXPECT_EQ(zenders.RecordCount(), 3);
    EXPECT_EQ(zenders.FieldByName("Zender").AsString(), "D3");
    bouquet.Prior();
    EXPECT_EQ(zenders.RecordCount(), 3);
    EXPECT_EQ(zenders.FieldByName("Zender").AsString(), "C1");

    // Without the link every channel shows.
    zenders.SetMasterSource(nullptr);
    EXPECT_EQ(zenders.RecordCount(), 6);
}

TEST_F(SQLMemTableTest, DetailRangeFollowsAMasterReopenedLater) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "BqLate");
    TDataSource ds_bouquet("Ds_Bouquet");
    ds_bouquet.SetDataSet(&bouquet);
    TSQLMemTable zenders("Zenders");
    DefineZenders(zenders, "ZdLate");
    zenders.SetMasterSource(&ds_bouquet);
    zenders.SetMasterFields("Id");
    zenders.Open();
    EXPECT_EQ(zenders.RecordCount(), 0);
    for (int id : {1, 1, 2}) {
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(id);
        zenders.Post();
    }
    EXPECT_EQ(zenders.RecordCount(), 3) << "no range while the master is closed";
    bouquet.Open();
    AddBouquet(bouquet, "one");
    bouquet.First();
    EXPECT_EQ(zenders.RecordCount(), 2);
    bouquet.Close();
    EXPECT_EQ(zenders.RecordCount(), 3);
}

TEST_F(SQLMemTableTest, DeletingInsideAWhileNotEofLoopAdvances) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DeleteLoop");
    bouquet.Open();
    const struct {
        const char* name;
        int type;
    } rows[] = {{"a", 1}, {"b", 2}, {"c", 2}, {"d", 1}, {"e", 2}};
    for (const auto& row : rows) {
        AddBouquet(bouquet, row.name, row.type);
    }
    std::vector<std::string> visited;
    bool last_delete_checked = false;
    bouquet.First();
    while (!bouquet.Eof()) {
        visited.push_back(bouquet.FieldByName("Bouquet").AsString());
        if (bouquet.FieldByName("Type").AsInteger() == 2) {
            const bool was_last = visited.back() == "e";
            bouquet.Delete();
            if (was_last) {
                EXPECT_FALSE(bouquet.Eof());
                EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "d");
                last_delete_checked = true;
            }
        } else {
            bouquet.Next();
        }
    }
    EXPECT_TRUE(last_delete_checked);
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b", "c", "d", "e", "d"}));
    EXPECT_EQ(Column(bouquet, "Bouquet"), (std::vector<std::string>{"a", "d"}));
    EXPECT_EQ(bouquet.RecordCount(), 2);

    bouquet.First();
    bouquet.Delete();
    bouquet.Delete();
    EXPECT_TRUE(bouquet.Eof());
    EXPECT_TRUE(bouquet.Bof());
    EXPECT_TRUE(bouquet.IsEmpty());
    try {
        bouquet.Delete();
        FAIL() << "delete on an empty table";
    } catch (const EDatabaseError& error) {
        EXPECT_STREQ(error.what(), "Bouquet: Cannot perform this operation on an empty dataset");
    }
}

TEST_F(SQLMemTableTest, TimersComeInBeginEndOrderAfterPostsAndEdits) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "Table1079105802");
    timers.Open();
    AddTimer(timers, "late", 46000.5, 46000.6);
    AddTimer(timers, "early", 46000.1, 46000.2);
    AddTimer(timers, "same begin, longer", 46000.1, 46000.3);
    AddTimer(timers, "middle", 46000.3, 46000.4);
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "middle") << "posted row is current";
    EXPECT_EQ(timers.RecNo(), 3);
    EXPECT_EQ(Column(timers, "Name"),
              (std::vector<std::string>{"early", "same begin, longer", "middle", "late"}));

    // Moving "early" past the others: after post it is current at its new place.
    timers.First();
    timers.Edit();
    timers.FieldByName("Begin").SetAsDateTime(46001.0);
    timers.FieldByName("End").SetAsDateTime(46001.1);
    timers.Post();
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "early");
    EXPECT_EQ(timers.RecNo(), 4);
    timers.Next();
    EXPECT_TRUE(timers.Eof());
    EXPECT_EQ(Column(timers, "Name"),
              (std::vector<std::string>{"same begin, longer", "middle", "late", "early"}));
}

TEST_F(SQLMemTableTest, DuplicatePrimaryKeyFailsAndKeepsTheRowInInsertState) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DuplicateKey");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    bouquet.Append();
    bouquet.FieldByName("Id").SetAsInteger(1);
    bouquet.FieldByName("Bouquet").SetAsString("c");
    try {
        bouquet.Post();
        FAIL() << "duplicate key posted";
    } catch (const EDatabaseError& error) {
        EXPECT_STREQ(
            error.what(),
            "Primary Key constraint 'Id' violated. Duplicate found. - Native error: 30319");
        EXPECT_EQ(error.KindName(), "EDatabaseError");
    }
    EXPECT_EQ(bouquet.State(), dsInsert);
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "c") << "values stay as entered";
    bouquet.FieldByName("Id").SetAsInteger(7);
    bouquet.Post();
    EXPECT_EQ(Column(bouquet, "Id"), (std::vector<std::string>{"1", "2", "7"}));
}

TEST_F(SQLMemTableTest, DatasetErrorsCarryTheComponentName) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "PrefixTimers");
    const struct {
        const char* what;
        std::function<void()> action;
        const char* text;
    } cases[] = {
        {"closed", [&] { timers.First(); },
         "Timers: Cannot perform this operation on a closed dataset"},
        {"post in browse",
         [&] {
             timers.Open();
             timers.Post();
         },
         "Timers: Dataset not in edit or insert mode"},
        {"unknown field", [&] { timers.FieldByName("Nope"); }, "Timers: Field 'Nope' not found"},
        {"empty while open", [&] { timers.EmptyTable(); },
         "Timers: Cannot perform this operation on an open dataset"},
        {"no index", [&] { timers.SetIndexFieldNames("Name"); },
         "Timers: No index for fields 'Name'"},
        {"read only",
         [&] {
             timers.SetReadOnly(true);
             timers.Append();
         },
         "Timers: Cannot modify a read-only dataset"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.what);
        try {
            entry.action();
            ADD_FAILURE() << "no error";
        } catch (const EDatabaseError& error) {
            EXPECT_STREQ(error.what(), entry.text);
        }
    }
    EXPECT_EQ(timers.IndexFieldNames(), "Begin;End") << "a refused ordering keeps the old one";

    TSQLMemTable unnamed;
    unnamed.SetTableName("");
    try {
        unnamed.Open();
        FAIL();
    } catch (const EDatabaseError& error) {
        EXPECT_STREQ(error.what(), "Missing TableName property");
    }
    EXPECT_FALSE(unnamed.Active());
}

TEST_F(SQLMemTableTest, SettingAFieldOutsideEditIsAnEngineError) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "NotEditing");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    try {
        bouquet.FieldByName("Bouquet").SetAsString("b");
        FAIL();
    } catch (const ESQLMemException& error) {
        EXPECT_STREQ(error.what(), "Dataset not in edit or insert mode - Native error: 10007");
        EXPECT_EQ(error.Code(), 10007);
    }
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "a");
}

TEST_F(SQLMemTableTest, EditOnAnEmptyTableInserts) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "EditEmpty");
    timers.Open();
    Events log;
    RecordEvents(timers, log);
    timers.Edit();
    EXPECT_EQ(timers.State(), dsInsert);
    EXPECT_EQ(
        log, (Events{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
}

TEST_F(SQLMemTableTest, PostAndCancelWorkInsideAfterInsertAndAfterEdit) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "Reentrant");
    timers.Open();
    Events log;
    RecordEvents(timers, log);
    bool accept = true;
    // As the program's handler does: fill the row in a dialog, then post or cancel.
    auto handler = [&](TSQLMemDataSet& dataset) {
        log.emplace_back(dataset.State() == dsInsert ? "AfterInsert" : "AfterEdit");
        dataset.FieldByName("Name").SetAsString(accept ? "accepted" : "rejected");
        dataset.FieldByName("Begin").SetAsDateTime(46000.0);
        if (accept) {
            dataset.Post();
        } else {
            dataset.Cancel();
        }
    };
    timers.AfterInsert = handler;
    timers.AfterEdit = handler;

    timers.Append();
    EXPECT_EQ(timers.State(), dsBrowse);
    EXPECT_EQ(log, (Events{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                           "BeforePost", "AfterPost", "AfterScroll"}));
    accept = false;
    timers.Append();
    EXPECT_EQ(timers.RecordCount(), 1);
    log.clear();
    timers.Edit();
    EXPECT_EQ(log, (Events{"BeforeEdit", "AfterEdit", "BeforeCancel", "AfterCancel"}));
    EXPECT_EQ(timers.State(), dsBrowse);
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "accepted");
    accept = true;
    timers.Edit();
    EXPECT_EQ(timers.State(), dsBrowse);
    EXPECT_EQ(timers.RecordCount(), 1);
}

TEST_F(SQLMemTableTest, HandlersCanBeClearedAndSetAgain) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "Rebind");
    timers.Open();
    int calls = 0;
    timers.AfterInsert = [&](TSQLMemDataSet& dataset) {
        ++calls;
        dataset.AfterInsert = nullptr;  // a handler may even clear itself
    };
    timers.Append();
    timers.Cancel();
    timers.Append();
    timers.Cancel();
    EXPECT_EQ(calls, 1);
}

TEST_F(SQLMemTableTest, CalculatedFieldsStartNullInOnCalcFields) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "CalcNull");
    std::vector<bool> null_at_start;
    std::vector<TDataSetState> states;
    timers.OnCalcFields = [&](TSQLMemDataSet& dataset) {
        states.push_back(dataset.State());
        null_at_start.push_back(dataset.FieldByName("Repeated").IsNull() &&
                                dataset.FieldByName("d0").IsNull());
        const int64_t mask = dataset.FieldByName("RepeatedOrg").AsLargeint();
        dataset.FieldByName("Repeated").SetAsBoolean(mask != 0);
        if (mask & 1) {
            dataset.FieldByName("d1").SetAsBoolean(true);
        }
    };
    timers.Open();
    timers.Append();
    timers.FieldByName("RepeatedOrg").SetAsLargeint(1);
    EXPECT_TRUE(timers.Modified()) << "calculating does not reset Modified";
    EXPECT_TRUE(timers.FieldByName("Repeated").AsBoolean());
    timers.Post();
    ASSERT_FALSE(null_at_start.empty());
    for (bool was_null : null_at_start) {
        EXPECT_TRUE(was_null);
    }
    for (TDataSetState state : states) {
        EXPECT_EQ(state, dsCalcFields);
    }
    EXPECT_TRUE(timers.FieldByName("d1").AsBoolean());
    EXPECT_TRUE(timers.FieldByName("d0").IsNull()) << "not set: null, not false";
    EXPECT_FALSE(timers.FieldByName("d0").AsBoolean());
    EXPECT_EQ(timers.FieldByName("d0").AsString(), "");
    EXPECT_EQ(timers.State(), dsBrowse);
}

TEST_F(SQLMemTableTest, EmptyTableRules) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "EmptyRules");
    TSQLMemTable other("Other");
    other.SetTableName("EMPTYRULES");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    other.Open();
    bouquet.Close();
    try {
        bouquet.EmptyTable();
        FAIL();
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 10072);
        EXPECT_NE(std::string(error.what()).find("Table is open by another dataset"),
                  std::string::npos);
    }
    EXPECT_EQ(other.RecordCount(), 2);
    other.Close();
    bouquet.EmptyTable();
    bouquet.Open();
    EXPECT_EQ(bouquet.RecordCount(), 0);
    bouquet.Append();
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 3) << "numbering continues";
}

TEST_F(SQLMemTableTest, SameTableNameInAnotherCaseSharesRows) {
    TSQLMemTable first("First");
    DefineBouquet(first, "SharedName");
    first.Open();
    AddBouquet(first, "shared");
    EXPECT_TRUE(first.Exists());

    TSQLMemTable second("Second");
    second.SetTableName("SHAREDNAME");
    EXPECT_TRUE(second.Exists());
    second.Open();
    EXPECT_EQ(second.RecordCount(), 1);
    EXPECT_EQ(second.FieldByName("bouquet").AsString(), "shared");
    ASSERT_EQ(second.FieldDefs().size(), 3u) << "definitions come from the stored table";
    EXPECT_EQ(second.FieldDefs()[0].DataType, ftAutoInc);
    EXPECT_EQ(second.IndexDefs().size(), 1u);
    second.Close();
    EXPECT_TRUE(second.Fields().empty()) << "fields made at open go at close";
}

TEST_F(SQLMemTableTest, FieldByNameIgnoresCase) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "FieldNames");
    timers.Open();
    EXPECT_EQ(&timers.FieldByName("begin"), &timers.FieldByName("Begin"));
    EXPECT_EQ(timers.FieldByName("BEGIN").FieldName(), "Begin");
    EXPECT_EQ(timers.FindField("nothing"), nullptr);
    EXPECT_EQ(timers.FieldCount(), 19);
}

TEST_F(SQLMemTableTest, FieldAccessorsConvertAndValidate) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "Accessors");
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "AccessorsBq");
    timers.Open();
    bouquet.Open();
    timers.Append();
    bouquet.Append();
    TField& name = timers.FieldByName("Zender");
    TField& mask = timers.FieldByName("RepeatedOrg");
    TField& type = bouquet.FieldByName("Type");

    name.SetAsString("abcdefghijklmnopqrstuvwxy");
    EXPECT_EQ(name.AsString(), "abcdefghijklmnopqrst");
    name.SetAsString("");
    EXPECT_TRUE(name.IsNull());
    name.SetAsString(std::string("ab\0cd", 5));
    EXPECT_EQ(name.AsString(), "ab");
    // Sizes count characters; a cut never splits one.
    std::string accented;
    for (int i = 0; i < 21; ++i) {
        accented += "\xC3\xA9";
    }
    name.SetAsString(accented);
    EXPECT_EQ(name.AsString(), accented.substr(0, 40));
    name.SetAsString("a" + accented);
    EXPECT_EQ(name.AsString(), "a" + accented.substr(0, 38));

    mask.SetAsString("");
    EXPECT_TRUE(mask.IsNull());
    EXPECT_EQ(mask.AsInteger(), 0);
    mask.SetAsString("-5000000000");
    EXPECT_EQ(mask.AsLargeint(), -5000000000LL);
    EXPECT_EQ(mask.AsString(), "-5000000000");
    mask.SetAsLargeint(0x100000005LL);
    EXPECT_EQ(mask.AsInteger(), 5) << "the low 32 bits";

    const struct {
        std::function<void()> action;
        const char* text;
    } errors[] = {
        {[&] { type.SetAsInteger(40000); },
         "40000 is not a valid value for field 'Type'. The allowed range is -32768 to 32767"},
        {[&] { type.SetAsString("12a"); }, "'12a' is not a valid integer value for field 'Type'"},
        {[&] { mask.SetAsString("x1"); },
         "'x1' is not a valid integer value for field 'RepeatedOrg'"},
        {[&] { bouquet.FieldByName("Id").SetAsLargeint(1LL << 40); },
         "1099511627776 is not a valid value for field 'Id'. The allowed range is -2147483648 "
         "to 2147483647"},
    };
    for (const auto& entry : errors) {
        SCOPED_TRACE(entry.text);
        try {
            entry.action();
            ADD_FAILURE();
        } catch (const EDatabaseError& error) {
            EXPECT_STREQ(error.what(), entry.text);
        }
    }
    type.SetAsString("-12");
    EXPECT_EQ(type.AsInteger(), -12);
    EXPECT_EQ(type.AsString(), "-12");
    type.SetAsString("");
    EXPECT_TRUE(type.IsNull());
    EXPECT_EQ(type.AsString(), "");

    TField& begin = timers.FieldByName("Begin");
    begin.SetAsDateTime(0.5);
    EXPECT_DOUBLE_EQ(begin.AsDateTime(), 0.5);
    EXPECT_EQ(begin.AsString(), "30-12-1899 12:00:00");
    const struct {
        const char* text;
        double value;
    } dates[] = {{"30-12-1899", 0.0},
                 {"01-01-1970 06:00", 25569.25},
                 {"29-02-2024 18:30:00", 45351.0 + 0.7708333333333334}};
    for (const auto& date : dates) {
        SCOPED_TRACE(date.text);
        begin.SetAsString(date.text);
        EXPECT_NEAR(begin.AsDateTime(), date.value, 1e-9);
    }
    EXPECT_EQ(begin.AsString(), "29-02-2024 18:30:00");
    for (const char* bad : {"29-02-2023", "1-1", "01-01-2000 25:00", "01-01-2000x"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(begin.SetAsString(bad), EDatabaseError);
    }
    begin.Clear();
    EXPECT_TRUE(begin.IsNull());
    EXPECT_EQ(begin.AsDateTime(), 0.0);
}

TEST_F(SQLMemTableTest, ReadRowAtReadsOtherRowsWithoutMoving) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "ReadRowAt");
    timers.OnCalcFields = [](TSQLMemDataSet& dataset) {
        dataset.FieldByName("Repeated")
            .SetAsBoolean(dataset.FieldByName("RepeatedOrg").AsLargeint() != 0);
    };
    timers.Open();
    AddTimer(timers, "b", 2, 3);
    timers.Edit();
    timers.FieldByName("RepeatedOrg").SetAsLargeint(4);
    timers.Post();
    AddTimer(timers, "a", 1, 2);
    Events log;
    RecordEvents(timers, log);
    std::vector<std::string> seen;
    for (int rec_no = 1; rec_no <= timers.RecordCount(); ++rec_no) {
        EXPECT_TRUE(timers.ReadRowAt(rec_no, [&] {
            seen.push_back(timers.FieldByName("Name").AsString() +
                           timers.FieldByName("Repeated").AsString());
        }));
    }
    EXPECT_FALSE(timers.ReadRowAt(3, [] {}));
    EXPECT_EQ(seen, (std::vector<std::string>{"aFalse", "bTrue"}));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "a");
    timers.Next();
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "b");
}

TEST_F(SQLMemTableTest, PostErrorHandlerCanAbortOrRetry) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "PostError");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    int calls = 0;
    bouquet.OnPostError = [&](TSQLMemDataSet& dataset, const EDatabaseError&, TDataAction& action) {
        ++calls;
        if (calls == 1) {
            action = daAbort;
        } else {
            dataset.FieldByName("Id").SetAsInteger(50);
            action = daRetry;
        }
    };
    bouquet.Append();
    bouquet.FieldByName("Id").SetAsInteger(1);
    bouquet.Post();  // aborted silently
    EXPECT_EQ(bouquet.State(), dsInsert);
    bouquet.Post();  // the handler corrects the key and retries
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(bouquet.FieldByName("Id").AsInteger(), 50);
}

TEST_F(SQLMemTableTest, CircularMasterLinksAreRefused) {
    TSQLMemTable a("A");
    TSQLMemTable b("B");
    TDataSource ds_a;
    TDataSource ds_b;
    ds_a.SetDataSet(&a);
    ds_b.SetDataSet(&b);
    b.SetMasterSource(&ds_a);
    for (TDataSource* source : {&ds_a, &ds_b}) {
        try {
            a.SetMasterSource(source);
            ADD_FAILURE();
        } catch (const EDatabaseError& error) {
            EXPECT_STREQ(error.what(), "A: Circular datalinks are not allowed");
        }
    }
    EXPECT_EQ(a.MasterSource(), nullptr);
}

TEST_F(SQLMemTableTest, LocateFindsAVisibleRowOrKeepsThePosition) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "LocateBq");
    bouquet.Open();
    AddBouquet(bouquet, "Alpha", 1);
    AddBouquet(bouquet, "Beta", 2);
    AddBouquet(bouquet, "Gamma", 3);
    bouquet.First();
    EXPECT_TRUE(bouquet.Locate("Bouquet", {"Gamma"}));
    EXPECT_EQ(bouquet.FieldByName("Type").AsInteger(), 3);
    EXPECT_FALSE(bouquet.Locate("Bouquet", {"gamma"}));
    EXPECT_TRUE(bouquet.Locate("bouquet;Type", {"be", "2"}, {true, true}));
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "Beta");
    EXPECT_FALSE(bouquet.Locate("Type", {"9"}));
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "Beta");
}

TEST_F(SQLMemTableTest, FailedOpenLeavesTheTableInactive) {
    TSQLMemTable broken("Broken");
    broken.SetTableName("BrokenTable");
    broken.FieldDefs() = {{"Name", ftString, 10, false}, {"NAME", ftInteger, 0, false}};
    Events log;
    RecordEvents(broken, log);
    try {
        broken.Open();
        FAIL();
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 11430);
    }
    EXPECT_FALSE(broken.Active());
    EXPECT_EQ(log, (Events{"BeforeOpen"}));
    EXPECT_FALSE(broken.Exists());
    EXPECT_TRUE(broken.Fields().empty());
}

TEST_F(SQLMemTableTest, DeclaredDataFieldsJoinTheDefinitions) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "DeclaredOnly");
    timers.FieldDefs().erase(timers.FieldDefs().begin() + 3, timers.FieldDefs().end());
    timers.Open();
    ASSERT_EQ(timers.FieldDefs().size(), 11u) << "calculated fields are not stored";
    EXPECT_EQ(timers.FieldDefs()[3].Name, "Name");
    EXPECT_EQ(timers.FieldDefs()[3].Size, 40);
    EXPECT_EQ(timers.FieldDefs()[10].Name, "Disabled");
    EXPECT_EQ(timers.FieldDefs()[10].DataType, ftLargeint);
    AddTimer(timers, "x", 1, 2);
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "x");
}

TEST_F(SQLMemTableTest, FailingOnNewRecordDropsTheNewRow) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "NewRecordFails");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    bouquet.OnNewRecord = [](TSQLMemDataSet&) { throw EDatabaseError("refused"); };
    Events log;
    EXPECT_THROW(bouquet.Append(), EDatabaseError);
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "a");
    EXPECT_EQ(bouquet.RecordCount(), 1);
}

TEST_F(SQLMemTableTest, ChangingTheOrderKeepsTheCurrentRow) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "Reorder");
    timers.Open();
    const struct {
        const char* name;
        const char* channel;
        double begin;
    } rows[] = {{"one", "Zeta", 1}, {"two", "Alpha", 2}, {"three", "Mid", 3}};
    for (const auto& row : rows) {
        timers.Append();
        timers.FieldByName("Name").SetAsString(row.name);
        timers.FieldByName("Zender").SetAsString(row.channel);
        timers.FieldByName("Begin").SetAsDateTime(row.begin);
        timers.Post();
    }
    timers.First();
    timers.Next();
    timers.Edit();
    timers.FieldByName("Description").SetAsString("pending");
    timers.SetIndexFieldNames("zender");
    EXPECT_EQ(timers.State(), dsBrowse) << "the pending edit was posted";
    EXPECT_EQ(timers.FieldByName("Name").AsString(), "two");
    EXPECT_EQ(timers.FieldByName("Description").AsString(), "pending");
    EXPECT_EQ(timers.RecNo(), 1);
    EXPECT_EQ(Column(timers, "Name"), (std::vector<std::string>{"two", "three", "one"}));
    timers.SetIndexName("BeginEnd");
    EXPECT_EQ(timers.IndexFieldNames(), "");
    EXPECT_EQ(Column(timers, "Name"), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(SQLMemTableTest, DetailRowWithAChangedLinkLeavesTheRange) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "BqMove");
    TDataSource ds_bouquet("Ds_Bouquet");
    ds_bouquet.SetDataSet(&bouquet);
    TSQLMemTable zenders("Zenders");
    DefineZenders(zenders, "ZdMove");
    zenders.SetMasterSource(&ds_bouquet);
    zenders.SetMasterFields("Id");
    bouquet.Open();
    zenders.Open();
    AddBouquet(bouquet, "one");
    for (const char* name : {"a", "b", "c"}) {
        zenders.Append();
        zenders.FieldByName("Zender").SetAsString(name);
        zenders.Post();
    }
    AddBouquet(bouquet, "two");
    bouquet.First();
    zenders.First();
    zenders.Next();
    zenders.Edit();
    zenders.FieldByName("Id").SetAsInteger(2);
    zenders.Post();
    EXPECT_EQ(zenders.RecordCount(), 2);
    EXPECT_EQ(zenders.FieldByName("Zender").AsString(), "c") << "moved on to the next row";
    bouquet.Next();
    EXPECT_EQ(Column(zenders, "Zender"), (std::vector<std::string>{"b"}));
}

TEST_F(SQLMemTableTest, DeleteInEditStateRemovesTheRow) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DeleteEditing");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    bouquet.First();
    bouquet.Edit();
    bouquet.FieldByName("Bouquet").SetAsString("changed");
    bouquet.Delete();
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_EQ(Column(bouquet, "Bouquet"), (std::vector<std::string>{"b"}));
    bouquet.Append();
    bouquet.Delete();  // in insert state: cancels
    EXPECT_EQ(bouquet.State(), dsBrowse);
    EXPECT_EQ(bouquet.RecordCount(), 1);
}

TEST_F(SQLMemTableTest, FilterHidesRowsTheHandlerRejects) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "Filtered");
    bouquet.Open();
    for (int type = 1; type <= 4; ++type) {
        AddBouquet(bouquet, "b" + std::to_string(type), type);
    }
    std::vector<TDataSetState> states;
    bouquet.OnFilterRecord = [&](TSQLMemDataSet& dataset, bool& accept) {
        states.push_back(dataset.State());
        accept = dataset.FieldByName("Type").AsInteger() % 2 == 0;
    };
    bouquet.SetFiltered(true);
    EXPECT_EQ(bouquet.RecordCount(), 2);
    EXPECT_EQ(Column(bouquet, "Bouquet"), (std::vector<std::string>{"b2", "b4"}));
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), dsFilter);
    EXPECT_EQ(bouquet.State(), dsBrowse);
    bouquet.SetFiltered(false);
    EXPECT_EQ(bouquet.RecordCount(), 4);
}

TEST_F(SQLMemTableTest, BookmarksReturnToARow) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "Bookmarks");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    AddBouquet(bouquet, "c");
    bouquet.First();
    bouquet.Next();
    const TSQLMemBookmark mark = bouquet.GetBookmark();
    bouquet.Last();
    EXPECT_TRUE(bouquet.BookmarkValid(mark));
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "c") << "testing does not move";
    bouquet.GotoBookmark(mark);
    EXPECT_EQ(bouquet.FieldByName("Bouquet").AsString(), "b");
    bouquet.Delete();
    EXPECT_FALSE(bouquet.BookmarkValid(mark));
    EXPECT_THROW(bouquet.GotoBookmark(mark), EDatabaseError);
}

TEST_F(SQLMemTableTest, RequiredFieldIsCheckedAtPost) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "ReqTable");
    bouquet.FieldDefs()[1].Required = true;
    bouquet.Open();
    EXPECT_TRUE(bouquet.FieldByName("Bouquet").Required());
    bouquet.Append();
    bouquet.FieldByName("Type").SetAsInteger(1);
    try {
        bouquet.Post();
        FAIL();
    } catch (const EDatabaseError& error) {
        EXPECT_STREQ(error.what(),
                     "Constraint '$C_NotNull$ReqTable$Bouquet' violated. Value in field "
                     "'Bouquet' cannot be null - Native error: 30026");
    }
    EXPECT_EQ(bouquet.State(), dsInsert);
}

TEST_F(SQLMemTableTest, ChangingAMasterLinkFieldMovesTheDetailRange) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "BqRelink");
    TDataSource ds_bouquet("Ds_Bouquet");
    ds_bouquet.SetDataSet(&bouquet);
    TSQLMemTable zenders("Zenders");
    DefineZenders(zenders, "ZdRelink");
    zenders.SetMasterSource(&ds_bouquet);
    zenders.SetMasterFields("Id");
    bouquet.Open();
    zenders.Open();
    for (int id : {5, 5, 6}) {
        zenders.SetMasterSource(nullptr);
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(id);
        zenders.Post();
    }
    zenders.SetMasterSource(&ds_bouquet);
    bouquet.Append();
    bouquet.FieldByName("Bouquet").SetAsString("x");
    EXPECT_EQ(zenders.RecordCount(), 0);
    bouquet.FieldByName("Id").SetAsInteger(5);
    EXPECT_EQ(zenders.RecordCount(), 2) << "the link field's new value applies at once";
    bouquet.FieldByName("Id").SetAsInteger(6);
    EXPECT_EQ(zenders.RecordCount(), 1);
    bouquet.FieldByName("Type").SetAsInteger(2);
    EXPECT_EQ(zenders.RecordCount(), 1);
}

TEST_F(SQLMemTableTest, SequenceOverflowLeavesTheTableWhereItWas) {
    TableDefinition definition;
    definition.name = "Limited";
    TableFieldSpec id;
    id.name = "Id";
    id.data_type = ftAutoInc;
    id.max_value = 2;
    TableFieldSpec name;
    name.name = "Name";
    name.data_type = ftString;
    name.size = 10;
    definition.fields = {id, name};
    CreateTable("MEMORY", definition);

    TSQLMemTable limited("Limited");
    limited.SetTableName("limited");
    limited.Open();
    for (const char* text : {"a", "b"}) {
        limited.Append();
        limited.FieldByName("Name").SetAsString(text);
        limited.Post();
    }
    limited.First();
    try {
        limited.Append();
        FAIL();
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30009);
        EXPECT_STREQ(error.what(),
                     "Sequence '$S_Autoinc$Limited$Id' overflow - Native error: 30009");
    }
    EXPECT_EQ(limited.State(), dsBrowse);
    EXPECT_EQ(limited.FieldByName("Name").AsString(), "a");
    limited.Next();
    EXPECT_EQ(limited.FieldByName("Name").AsString(), "b");
    EXPECT_FALSE(limited.Eof());
}

}  // namespace
}  // namespace tapir::engine
