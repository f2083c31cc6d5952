#include <QAction>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "controls/db_grid.h"
#include "engine/record/db_types.h"
#include "platform/date_time.h"
#include "tests/app/main_window_fixture.h"

namespace tapir::app {
namespace {

using testing::MainWindowFixture;

class TimersAfterInsertTest : public MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        MakeForm();
        day_ = platform::EncodeDate(2030, 6, 3);
    }

    // Disables Append, which every refresh enables again: shows whether a refresh ran.
    void MarkActionStates() { form_->Append()->setEnabled(false); }
    bool Refreshed() const { return form_->Append()->isEnabled(); }

    std::string FieldText(const char* name) { return Timers().FieldByName(name).AsString(); }

    double day_ = 0;
};

TEST_F(TimersAfterInsertTest, AcceptedNewTimerIsPostedAndCounted) {
    AppendTimer("Een", day_ + 0.5, day_ + 0.55, "News");
    EXPECT_EQ(dialogs_->channel_calls, 1);
    EXPECT_EQ(dialogs_->timer_calls, 1);
    // The timer dialog always starts from "cancelled" and knows it edits a new row.
    EXPECT_EQ(dialogs_->timer_entry_results, std::vector<int>{1});
    EXPECT_EQ(dialogs_->timer_is_new, std::vector<bool>{true});
    EXPECT_EQ(Timers().State(), engine::dsBrowse);
    ASSERT_EQ(Timers().RecordCount(), 1);
    EXPECT_EQ(FieldText("Name"), "News");
    EXPECT_EQ(form_->ChangeCount(), 1);
}

TEST_F(TimersAfterInsertTest, ChannelCancelAddsNoRowAndDoesNotRefresh) {
    dialogs_->channel = [](DialogHost&, int& result) { result = 1; };
    MarkActionStates();
    form_->AppendExecute();
    EXPECT_EQ(dialogs_->channel_calls, 1);
    EXPECT_EQ(dialogs_->timer_calls, 0);
    EXPECT_EQ(Timers().State(), engine::dsBrowse);
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form_->ChangeCount(), 0);
    EXPECT_FALSE(Refreshed());
}

TEST_F(TimersAfterInsertTest, TimerCancelAfterChannelAddsNoRow) {
    ScriptAccept("Een", day_ + 0.5, day_ + 0.55);
    dialogs_->timer = [](DialogHost& host, int& result, bool) {
        host.Tables().Timers.FieldByName("Name").SetAsString("typed, then cancelled");
        result = 1;
    };
    MarkActionStates();
    form_->AppendExecute();
    EXPECT_EQ(dialogs_->timer_calls, 1);
    EXPECT_EQ(Timers().State(), engine::dsBrowse);
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form_->ChangeCount(), 0);
    EXPECT_TRUE(Refreshed());
}

TEST_F(TimersAfterInsertTest, EditCancelKeepsTheStoredValues) {
    AppendTimer("Een", day_ + 0.5, day_ + 0.55, "Original");
    dialogs_->timer = [this](DialogHost& host, int& result, bool) {
        auto& timers = host.Tables().Timers;
        timers.FieldByName("Name").SetAsString("Changed");
        timers.FieldByName("Begin").SetAsDateTime(day_ - 3);
        result = 1;
    };
    form_->Edit()->trigger();
    EXPECT_EQ(dialogs_->channel_calls, 1);  // only for the append
    EXPECT_EQ(dialogs_->timer_is_new, (std::vector<bool>{true, false}));
    EXPECT_EQ(Timers().State(), engine::dsBrowse);
    ASSERT_EQ(Timers().RecordCount(), 1);
    Timers().First();
    EXPECT_EQ(FieldText("Name"), "Original");
    EXPECT_TRUE(platform::SameMillisecond(Timers().FieldByName("Begin").AsDateTime(),
                                          day_ + 0.5));
    EXPECT_EQ(form_->ChangeCount(), 1);
}

TEST_F(TimersAfterInsertTest, EditAcceptedMovesTheRowToItsPlace) {
    AppendTimer("Een", day_ + 0.5, day_ + 0.55, "first");
    AppendTimer("Twee", day_ + 0.7, day_ + 0.75, "second");
    Timers().Last();
    ASSERT_EQ(FieldText("Name"), "second");
    dialogs_->timer = [this](DialogHost& host, int& result, bool) {
        host.Tables().Timers.FieldByName("Begin").SetAsDateTime(day_ + 0.1);
        result = 0;
    };
    form_->Edit()->trigger();
    EXPECT_EQ(form_->ChangeCount(), 3);
    Timers().First();
    EXPECT_EQ(FieldText("Name"), "second");
    auto& model = form_->wwDBGrid3()->GridModel();
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "second");
}

TEST_F(TimersAfterInsertTest, RequestsDuringADialogAreIgnored) {
    dialogs_->channel = [this](DialogHost&, int& result) {
        // The table is in insert state while the dialog is open.
        EXPECT_EQ(Timers().State(), engine::dsInsert);
        form_->AppendExecute();
        form_->EditExecute();
        form_->DeleteExecute();
        result = 1;
    };
    form_->AppendExecute();
    EXPECT_EQ(dialogs_->channel_calls, 1);
    EXPECT_EQ(form_->ChangeCount(), 0);
    EXPECT_EQ(Timers().RecordCount(), 0);
}

TEST_F(TimersAfterInsertTest, AnErrorInADialogLeavesTheTableBrowsing) {
    ScriptAccept("Een", day_ + 0.5, day_ + 0.55);
    dialogs_->timer = [](DialogHost&, int&, bool) {
        throw tapir::Exception("EDatabaseError", "Dialog failed");
    };
    messages_.clear();
    form_->Append()->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Dialog failed");
    EXPECT_EQ(Timers().State(), engine::dsBrowse);
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form_->ChangeCount(), 0);

    // The actions keep working afterwards.
    AppendTimer("Een", day_ + 0.5, day_ + 0.55);
    EXPECT_EQ(Timers().RecordCount(), 1);
    EXPECT_EQ(form_->ChangeCount(), 1);
}

TEST_F(TimersAfterInsertTest, ChannelDialogSeesLastEnd) {
    AppendTimer("Een", day_ + 0.5, day_ + 0.55);
    form_->SetLastEnd(day_ + 0.55);
    double seen = 0;
    dialogs_->channel = [&seen](DialogHost& host, int& result) {
        seen = host.LastEnd();
        result = 1;
    };
    form_->AppendExecute();
    EXPECT_DOUBLE_EQ(seen, day_ + 0.55);
}

}  // namespace
}  // namespace tapir::app
