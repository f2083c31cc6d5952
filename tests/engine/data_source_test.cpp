#include "engine/table/data_source.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::DefineBouquet;
using testing::DefineTimers;

// A link that writes every notification into a log, as a control would react to it.
class RecordingLink : public TDataLink {
public:
    std::vector<std::string> log;

    void ActiveChanged() override { log.push_back(Active() ? "active" : "inactive"); }
    void EditingChanged() override { log.push_back(Editing() ? "editing" : "not editing"); }
    void StateChanged() override {
        log.push_back("state " + std::to_string(static_cast<int>(DataSource()->State())));
    }
    void RecordChanged(TField* field) override {
        log.push_back(field != nullptr ? "record " + field->FieldName() : "record");
    }
    void DataSetChanged() override { log.push_back("dataset"); }
    void DataSetScrolled() override { log.push_back("scrolled"); }
    void UpdateData() override { log.push_back("update"); }
    void CheckBrowseMode() override { log.push_back("browse check"); }
};

class DataSourceTest : public ::testing::Test {
protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
};

TEST_F(DataSourceTest, StateIsTheTablesWhileEnabled) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "DsState");
    TDataSource ds_timers("Ds_Timers");
    EXPECT_EQ(ds_timers.State(), dsInactive);
    ds_timers.SetDataSet(&timers);
    EXPECT_EQ(ds_timers.State(), dsInactive);
    timers.Open();
    EXPECT_EQ(ds_timers.State(), dsBrowse);
    ds_timers.SetEnabled(false);
    EXPECT_EQ(ds_timers.State(), dsInactive);
    ds_timers.SetEnabled(true);
    EXPECT_EQ(ds_timers.State(), dsBrowse);
}

TEST_F(DataSourceTest, HandlersSeeTheNewStateOnTheDataSource) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "DsHandlers");
    TDataSource ds_timers("Ds_Timers");
    ds_timers.SetDataSet(&timers);
    std::vector<int> seen;
    auto note = [&](TSQLMemDataSet&) { seen.push_back(static_cast<int>(ds_timers.State())); };
    timers.AfterInsert = note;
    timers.AfterEdit = note;
    timers.AfterPost = note;
    timers.OnCalcFields = note;  // temporary state: the data source keeps the last one
    timers.Open();
    timers.Append();
    timers.FieldByName("Name").SetAsString("x");
    timers.Post();
    timers.Edit();
    EXPECT_EQ(seen.front(), 3) << "inside AfterInsert";
    EXPECT_EQ(seen.back(), 2) << "inside AfterEdit";
    EXPECT_NE(std::find(seen.begin(), seen.end(), 1), seen.end()) << "AfterPost sees browse";
    for (int state : seen) {
        EXPECT_NE(state, static_cast<int>(dsCalcFields));
    }
}

TEST_F(DataSourceTest, LinksHearEachOperation) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DsLinks");
    TDataSource source("Ds_Bouquet");
    source.SetDataSet(&bouquet);
    RecordingLink link;
    link.SetDataSource(&source);
    EXPECT_TRUE(link.log.empty());

    using Log = std::vector<std::string>;
    const struct {
        const char* step;
        std::function<void()> action;
        Log expected;
    } steps[] = {
        {"open", [&] { bouquet.Open(); }, {"active", "state 1"}},
        {"append", [&] { bouquet.Append(); }, {"browse check", "editing", "state 3", "dataset"}},
        {"set a field",
         [&] { bouquet.FieldByName("Bouquet").SetAsString("x"); },
         {"record Bouquet"}},
        {"post",
         [&] { bouquet.Post(); },
         {"update", "browse check", "not editing", "state 1", "dataset"}},
        {"edit", [&] { bouquet.Edit(); }, {"browse check", "editing", "state 2", "record"}},
        {"cancel",
         [&] { bouquet.Cancel(); },
         {"browse check", "not editing", "state 1", "dataset"}},
        {"next at the end", [&] { bouquet.Next(); }, {"browse check"}},
        {"close", [&] { bouquet.Close(); }, {"inactive", "state 0"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        link.log.clear();
        step.action();
        EXPECT_EQ(link.log, step.expected);
    }
}

TEST_F(DataSourceTest, ScrollingTellsTheLinks) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DsScroll");
    TDataSource source;
    source.SetDataSet(&bouquet);
    RecordingLink link;
    link.SetDataSource(&source);
    bouquet.Open();
    for (const char* name : {"a", "b"}) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        bouquet.Post();
    }
    bouquet.First();
    link.log.clear();
    bouquet.Next();
    EXPECT_EQ(link.log, (std::vector<std::string>{"browse check", "scrolled"}));
    link.log.clear();
    bouquet.First();
    EXPECT_EQ(link.log, (std::vector<std::string>{"browse check", "dataset"}));
}

TEST_F(DataSourceTest, NothingIsRelayedWhileCalculatingFields) {
    TSQLMemTable timers("Timers");
    DefineTimers(timers, "DsCalc");
    TDataSource source;
    source.SetDataSet(&timers);
    RecordingLink link;
    link.SetDataSource(&source);
    timers.OnCalcFields = [](TSQLMemDataSet& dataset) {
        dataset.FieldByName("Repeated").SetAsBoolean(true);
    };
    timers.Open();
    timers.Append();
    link.log.clear();
    timers.FieldByName("Name").SetAsString("x");
    EXPECT_EQ(link.log, (std::vector<std::string>{"record Name"}));
    EXPECT_TRUE(timers.FieldByName("Repeated").AsBoolean());
}

TEST_F(DataSourceTest, DisabledSourceRelaysNoDataEvents) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DsDisabled");
    TDataSource source;
    source.SetDataSet(&bouquet);
    RecordingLink link;
    link.SetDataSource(&source);
    bouquet.Open();
    source.SetEnabled(false);
    link.log.clear();
    bouquet.Append();
    bouquet.FieldByName("Bouquet").SetAsString("x");
    bouquet.Post();
    EXPECT_TRUE(std::find(link.log.begin(), link.log.end(), "record Bouquet") == link.log.end());
    EXPECT_TRUE(std::find(link.log.begin(), link.log.end(), "dataset") == link.log.end());
}

TEST_F(DataSourceTest, LinkMayLeaveDuringANotification) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DsLeave");
    TDataSource source;
    source.SetDataSet(&bouquet);
    struct LeavingLink : TDataLink {
        std::unique_ptr<RecordingLink>* other = nullptr;
        void StateChanged() override {
            other->reset();  // a dialog closing destroys its controls
            SetDataSource(nullptr);
        }
    };
    auto second = std::make_unique<RecordingLink>();
    LeavingLink first;
    first.other = &second;
    first.SetDataSource(&source);
    second->SetDataSource(&source);
    bouquet.Open();
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(first.DataSource(), nullptr);
    EXPECT_TRUE(source.Links().empty());
}

TEST_F(DataSourceTest, DestroyedDatasetLeavesItsSourcesInactive) {
    TDataSource source;
    RecordingLink link;
    link.SetDataSource(&source);
    {
        TSQLMemTable bouquet("Bouquet");
        DefineBouquet(bouquet, "DsGone");
        source.SetDataSet(&bouquet);
        bouquet.Open();
        EXPECT_TRUE(link.Active());
    }
    EXPECT_EQ(source.DataSet(), nullptr);
    EXPECT_EQ(source.State(), dsInactive);
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(link.DataSet(), nullptr);
}

TEST_F(DataSourceTest, DetailForgetsAMasterSourceThatGoesAway) {
    TSQLMemTable bouquet("Bouquet");
    DefineBouquet(bouquet, "DsMasterGone");
    TSQLMemTable zenders("Zenders");
    testing::DefineZenders(zenders, "DsDetailStays");
    bouquet.Open();
    zenders.Open();
    for (int id : {1, 2}) {
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(id);
        zenders.Post();
    }
    bouquet.Append();
    bouquet.FieldByName("Bouquet").SetAsString("one");
    bouquet.Post();
    {
        TDataSource ds_bouquet("Ds_Bouquet");
        ds_bouquet.SetDataSet(&bouquet);
        zenders.SetMasterSource(&ds_bouquet);
        zenders.SetMasterFields("Id");
        EXPECT_EQ(zenders.RecordCount(), 1);
        EXPECT_EQ(zenders.GetDataSource(), &ds_bouquet);
    }
    EXPECT_EQ(zenders.MasterSource(), nullptr);
    EXPECT_EQ(zenders.RecordCount(), 2);
}

}  // namespace
}  // namespace tapir::engine
