// Whole runs of the program against the receiver simulator: start-up downloads and reads
// the receiver's files into the grid, a timer is edited or appended through the real
// dialogs, and "Save & Exit" uploads the new timer list and restarts the receiver's
// software over telnet.

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/form_select_zender.h"
#include "app/form_timer.h"
#include "controls/db_edit.h"
#include "controls/db_grid.h"
#include "controls/db_list_view.h"
#include "e2e_fixture.h"
#include "platform/date_time.h"

namespace tapir::e2e {
namespace {

// The served files the download must fetch (every user bouquet, the service list, both
// bouquet lists and the timers).
const std::vector<std::string> kServedFiles = {"userbouquet.dbe01.tv",
                                               "userbouquet.favourites.radio",
                                               "userbouquet.favourites.tv",
                                               "userbouquet.international.tv",
                                               "userbouquet.klassik.radio",
                                               "lamedb",
                                               "bouquets.tv",
                                               "bouquets.radio",
                                               "timers.xml"};

// The five timers of the test files as the receiver wrote them, in begin order: every
// attribute, the log line and the text between the tags go back as they came.
const std::string kHeuteJournal =
    "<timer begin=\"1799700300\" end=\"1799702400\""
    " serviceref=\"1:0:19:2B66:3F3:1:C00000:0:0:0:\" repeated=\"31\" name=\"heute journal\""
    " description=\"Nachrichten\" afterevent=\"nothing\" eit=\"28711\" tags=\"\""
    " disabled=\"0\" justplay=\"0\" always_zap=\"0\">"
    "\n\t\t<log code=\"0\" time=\"1799441100\">Timer created</log>\n\t</timer>";
const std::string kTagesschau =
    "<timer begin=\"1800039480\" end=\"1800040800\""
    " serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"0\" name=\"Tagesschau\""
    " description=\"Nachrichten &amp; Wetter\" afterevent=\"nothing\" eit=\"12345\""
    " tags=\"\" disabled=\"0\" justplay=\"0\" always_zap=\"0\">"
    "\n\t\t<log code=\"0\" time=\"1799780280\">Timer created</log>\n\t</timer>";
const std::string kTatort =
    "<timer begin=\"1800213300\" end=\"1800219000\""
    " serviceref=\"1:0:1:6DCA:44D:1:C00000:0:0:0:\" repeated=\"0\" name=\"Tatort: Die"
    " Ferien des Monsieur Murot\" description=\"Krimi\" afterevent=\"deepstandby\""
    " eit=\"4711\" tags=\"\" disabled=\"0\" justplay=\"0\" always_zap=\"0\">"
    "\n\t\t<log code=\"0\" time=\"1799954100\">Timer created</log>\n\t</timer>";
const std::string kVremya =
    "<timer begin=\"1801501200\" end=\"1801503900\""
    " serviceref=\"1:0:1:4F26:407:1:C00000:0:0:0:\" repeated=\"0\""
    " name=\"\xD0\x92\xD1\x80\xD0\xB5\xD0\xBC\xD1\x8F\""
    " description="
    "\"\xD0\x98\xD0\xBD\xD1\x84\xD0\xBE\xD1\x80\xD0\xBC\xD0\xB0\xD1\x86\xD0\xB8\xD0\xBE\xD0\xBD\xD0"
    "\xBD\xD0\xB0\xD1\x8F"
    " \xD0\xBF\xD1\x80\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBC\xD0\xBC\xD0\xB0\""
    " afterevent=\"auto\" eit=\"301\" tags=\"\" disabled=\"0\" justplay=\"0\""
    " always_zap=\"0\">"
    "\n\t\t<log code=\"0\" time=\"1801242000\">Timer created</log>\n\t</timer>";
const std::string kKonzert =
    "<timer begin=\"1801940400\" end=\"1801947600\""
    " serviceref=\"1:0:2:6D67:437:1:C00000:0:0:0:\" repeated=\"0\" name=\"Konzert am"
    " Samstagabend\" description=\"\" afterevent=\"nothing\" eit=\"98\" tags=\"\""
    " disabled=\"0\" justplay=\"0\" always_zap=\"0\">"
    "\n\t\t<log code=\"0\" time=\"1801681200\">Timer created</log>\n\t</timer>";

// A timer the user appended, in the usual form.
std::string UsualTimer(const std::string& start_tag) { return start_tag + "\r\n</timer>"; }

std::string TimersFile(const std::vector<std::string>& timers) {
    std::string text = "<?xml version=\"1.0\" ?>\r\n<timers>\r\n";
    for (const std::string& timer : timers) {
        text += timer + "\r\n";
    }
    return text + "</timers>\r\n";
}

class BoxRoundTripTest : public BoxRunFixture {
  protected:
    std::string original_timers_;

    QAbstractItemModel& Grid() { return form_->wwDBGrid3()->GridModel(); }

    // The grid's text in `column` (0 Channel, 1 Description, 2 Begin, 3 End) of every row.
    std::vector<std::string> GridColumn(int column) {
        std::vector<std::string> cells;
        for (int row = 0; row < Grid().rowCount(); ++row) {
            cells.push_back(Grid().data(Grid().index(row, column)).toString().toStdString());
        }
        return cells;
    }

    // How the grid shows a local date-time: "ddd dd-mm-yy  hh:nn".
    static std::string Shown(int year, int month, int day, int hour, int minute) {
        const platform::TDateTime value = platform::EncodeDateTime(year, month, day, hour, minute);
        const int weekday = platform::DayOfWeek(value) - 1;  // 0 = Sunday
        char text[96];
        std::snprintf(text, sizeof(text), " %02d-%02d-%02d  %02d:%02d", day, month, year % 100,
                      hour, minute);
        return platform::ShortDayNames()[static_cast<std::size_t>(weekday)] + text;
    }

    // Runs "Save & Exit" and waits until the receiver has been restarted.
    void SaveAndExit() {
        original_timers_ = ReadWholeFile(ServedPath("timers.xml"));
        ASSERT_TRUE(form_->SaveExit()->isEnabled());
        form_->SaveExit()->trigger();
        ASSERT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
        // From the first press on, the action stays disabled.
        EXPECT_FALSE(form_->SaveExit()->isEnabled());
        EXPECT_EQ(quit_requests_, 0);
        // The telnet reader hands each chunk to the UI thread and waits for it, so the
        // dialogue only moves while events are processed here.
        EXPECT_TRUE(WaitFor([&] { return simulator_->RestartCount() >= 1; }));
        // Armed once the restart command went out.
        EXPECT_TRUE(WaitFor([&] { return form_->TimerTerminate()->isActive(); }));
        EXPECT_EQ(form_->TimerTerminate()->interval(), 1000);
    }

    // What a completed run leaves behind: one upload with `expected` as timers.xml, the
    // same bytes as timers.new in the working directory, the telnet login and restart, and
    // the request to end the program from TimerTerminate.
    void ExpectUploadAndRestart(const std::string& expected) {
        const auto received = simulator_->ReceivedFiles();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].name, "timers.xml");
        EXPECT_EQ(received[0].content, expected);
        EXPECT_EQ(ReadWholeFile(WorkPath("timers.new")), expected);
        // The uploaded list is now the local copy of the receiver's list, and the list the
        // receiver held before is kept in the backup folder.
        EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), expected);
        const auto backups = std::filesystem::directory_iterator(WorkPath("backup"));
        int copies = 0;
        for (const auto& entry : backups) {
            EXPECT_EQ(entry.path().filename().string().rfind("timers-20270110-1200", 0), 0u)
                << entry.path();
            EXPECT_EQ(ReadWholeFile(entry.path()), original_timers_);
            ++copies;
        }
        EXPECT_EQ(copies, 1);

        const auto lines = simulator_->TelnetLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "root");
        EXPECT_TRUE(Contains(lines, "killall -9 enigma2"));
        // Nothing else is typed: the negotiation stays out of the text.
        for (const std::string& line : lines) {
            EXPECT_TRUE(line == "root" || line == "killall -9 enigma2") << line;
        }
        EXPECT_EQ(simulator_->TerminalType(), std::optional<std::string>("dumb"));
        // Typed once, however many prompts follow.
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "killall -9 enigma2"), 1);
        EXPECT_EQ(simulator_->RestartCount(), 1);

        // The upload went to /etc/enigma2 under a temporary name, renamed to the receiver's.
        const auto commands = simulator_->FtpCommands();
        const auto stor =
            std::find(commands.begin(), commands.end(), "STOR timers.xml.tapir-upload");
        ASSERT_NE(stor, commands.end());
        EXPECT_NE(std::find(stor, commands.end(), "RNTO timers.xml"), commands.end());
        // In the upload's own session: after its login, before the STOR.
        auto login = stor;
        while (login != commands.begin() && login->substr(0, 5) != "user " &&
               login->substr(0, 5) != "USER ") {
            --login;
        }
        ASSERT_NE(login, commands.begin());
        EXPECT_NE(std::find(login, stor, "CWD /etc/enigma2"), stor);

        // The program ends one second after the restart command went out.
        EXPECT_TRUE(WaitFor([&] { return quit_requests_ > 0; }));
        EXPECT_EQ(quit_requests_, 1);
        EXPECT_FALSE(form_->TimerTerminate()->isActive());
    }
};

TEST_F(BoxRoundTripTest, StartUpDownloadsTheFilesAndShowsTheTimersInBeginOrder) {
    StartBox();
    WriteConfigForBox();
    MakeForm();

    EXPECT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_EQ(beeps_, 0);
    for (const std::string& name : kServedFiles) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadWholeFile(WorkPath(name)), ReadWholeFile(ServedPath(name)));
    }
    EXPECT_FALSE(std::filesystem::exists(WorkPath("services")));

    // Every timer finds its channel, whichever bouquet holds it. The channel field holds
    // 20 characters: the Cyrillic name is whole.
    EXPECT_EQ(GridColumn(0),
              (std::vector<std::string>{"ZDF HD", "Das Erste HD", "Das Erste",
                                        "\xD0\x9F\xD0\xB5\xD1\x80\xD0\xB2\xD1\x8B\xD0\xB9 "
                                        "\xD0\xBA\xD0\xB0\xD0\xBD\xD0\xB0\xD0\xBB",
                                        "BR-KLASSIK"}));
    EXPECT_EQ(GridColumn(1)[0], "heute journal");
    EXPECT_EQ(GridColumn(1)[2], "Tatort: Die Ferien des Monsieur Murot");
    // Begin and end in local time (UTC + 1).
    EXPECT_EQ(GridColumn(2),
              (std::vector<std::string>{Shown(2027, 1, 11, 21, 45), Shown(2027, 1, 15, 19, 58),
                                        Shown(2027, 1, 17, 20, 15), Shown(2027, 2, 1, 18, 0),
                                        Shown(2027, 2, 6, 20, 0)}));
    EXPECT_EQ(GridColumn(3)[0], Shown(2027, 1, 11, 22, 20));

    EXPECT_TRUE(form_->Edit()->isEnabled());
    EXPECT_TRUE(form_->Delete()->isEnabled());
    EXPECT_FALSE(form_->SaveExit()->isEnabled());
    EXPECT_TRUE(simulator_->ReceivedFiles().empty());
    EXPECT_TRUE(simulator_->TelnetLines().empty());
}

TEST_F(BoxRoundTripTest, EditedTimerIsUploadedAndTheReceiverRestarted) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    ASSERT_EQ(Grid().rowCount(), 5);

    // The user picks the Tatort row, opens it, sets a length of one hour and makes it a
    // weekly timer (its day, Sunday, is ticked for it) and saves.
    form_->wwDBGrid3()->setCurrentIndex(Grid().index(2, 0));
    ScriptModal<app::TFormTimer>(
        [](app::TFormTimer& dialog) {
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Edit Timer"));
            dialog.DurationButton(60)->click();
            dialog.CheckBoxRepeated->click();
            EXPECT_TRUE(dialog.DayBoxes[6]->isChecked());
            dialog.BitBtnSave->click();
        },
        [](app::TFormTimer& dialog) { return !dialog.Timer1->isActive(); });
    form_->Edit()->trigger();
    ASSERT_EQ(scripts_run_, 1);
    EXPECT_EQ(form_->ChangeCount(), 1);
    EXPECT_EQ(GridColumn(3)[2], Shown(2027, 1, 17, 21, 15));

    SaveAndExit();

    std::string tatort = kTatort;
    tatort.replace(tatort.find("end=\"1800219000\""), 16, "end=\"1800216900\"");
    tatort.replace(tatort.find("repeated=\"0\""), 12, "repeated=\"64\"");
    ExpectUploadAndRestart(TimersFile({kHeuteJournal, kTagesschau, tatort, kVremya, kKonzert}));
}

TEST_F(BoxRoundTripTest, AppendedTimerIsUploadedInItsPlace) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    ASSERT_EQ(Grid().rowCount(), 5);

    // Channel dialog: the third channel of the first bouquet (arte HD). Its proposed begin
    // is now (12:00 local), its length two hours. Timer dialog: a name, then save.
    ScriptModal<app::TFormSelectZender>(
        [](app::TFormSelectZender& dialog) {
            dialog.wwDBGrid1->setCurrentIndex(dialog.wwDBGrid1->model()->index(0, 0));
            dialog.wwDBGrid2->setCurrentIndex(dialog.wwDBGrid2->model()->index(2, 0));
            dialog.BitBtn1->click();
        },
        [](app::TFormSelectZender& dialog) { return !dialog.Timer1->isActive(); });
    ScriptModal<app::TFormTimer>(
        [](app::TFormTimer& dialog) {
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("New Timer"));
            dialog.DBEdit2->setFocus();
            QTest::keyClicks(dialog.DBEdit2, QStringLiteral("Mittagsmagazin"));
            dialog.BitBtnSave->click();
        },
        [](app::TFormTimer& dialog) { return !dialog.Timer1->isActive(); });
    form_->Append()->trigger();
    ASSERT_EQ(scripts_run_, 2);
    ASSERT_EQ(Grid().rowCount(), 6);
    // The new timer records from now on: the restart is asked for, and allowed.
    answer_yes_ = true;
    // Sooner than every timer read from the receiver: listed first at once.
    EXPECT_EQ(GridColumn(0)[0], "arte HD");
    EXPECT_EQ(GridColumn(1)[0], "Mittagsmagazin");
    EXPECT_EQ(GridColumn(2)[0], Shown(2027, 1, 10, 12, 0));

    SaveAndExit();

    // 10-01-2027 12:00 local is 11:00 UTC, 1799578800 seconds; the channel dialog's
    // defaults fill the rest.
    const std::string appended =
        "<timer begin=\"1799578800\" end=\"1799586000\" "
        "serviceref=\"1:0:19:283E:3FB:1:C00000:0:0:0:\""
        " repeated=\"0\" name=\"Mittagsmagazin\" description=\"\" afterevent=\"nothing\""
        " eit=\"98\" disabled=\"0\" justplay=\"0\">";
    ExpectUploadAndRestart(
        TimersFile({UsualTimer(appended), kHeuteJournal, kTagesschau, kTatort, kVremya, kKonzert}));
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_TRUE(questions_[0].text.contains(
        "The receiver is recording \"Mittagsmagazin\" on arte HD until 10-01-2027 14:00"))
        << questions_[0].text.toStdString();
    EXPECT_TRUE(questions_[0].text.endsWith("[&Restart now | &Not now]"));
}

TEST_F(BoxRoundTripTest, CancelledTimerDialogChangesNothingOnTheReceiver) {
    StartBox();
    WriteConfigForBox();
    MakeForm();

    ScriptModal<app::TFormTimer>(
        [](app::TFormTimer& dialog) {
            dialog.DurationButton(120)->click();
            dialog.BitBtnCancel->click();
        },
        [](app::TFormTimer& dialog) { return !dialog.Timer1->isActive(); });
    form_->Edit()->trigger();
    ASSERT_EQ(scripts_run_, 1);
    EXPECT_EQ(form_->ChangeCount(), 0);
    EXPECT_FALSE(form_->SaveExit()->isEnabled());
    EXPECT_EQ(GridColumn(3)[0], Shown(2027, 1, 11, 22, 20));

    // Deleting is a change: the file goes up without the deleted timer.
    form_->Delete()->trigger();
    SaveAndExit();
    ExpectUploadAndRestart(TimersFile({kTagesschau, kTatort, kVremya, kKonzert}));
}

}  // namespace
}  // namespace tapir::e2e
