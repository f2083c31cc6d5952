// The lost update a new user ran into: the download fails on a wrong password, the user
// fixes the password, appends a timer and saves, while the receiver has gained two timers
// since the local copies were made (one of them uploaded by this program in an earlier
// run) and dropped one. The upload is merged with the receiver's current list, so that
// every timer of both sides ends where it belongs; the time settings changed on the way do
// not move the timers the user did not touch.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <string>
#include <vector>

#include "app/form_instelling.h"
#include "app/form_select_zender.h"
#include "app/form_timer.h"
#include "controls/db_grid.h"
#include "controls/db_list_view.h"
#include "controls/db_spin_edit.h"
#include "e2e_fixture.h"

namespace tapir::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kGainedOnTheBox =
    "\t<timer begin=\"1802300000\" end=\"1802303600\" "
    "serviceref=\"1:0:19:2B66:3F3:1:C00000:0:0:0:\" repeated=\"0\" name=\"Set on the box\" "
    "description=\"\" afterevent=\"auto\" eit=\"0\" tags=\"\" disabled=\"0\" justplay=\"0\" "
    "always_zap=\"0\">\n\t\t<log code=\"0\" time=\"1801000000\">Timer created</log>\n"
    "\t</timer>\n";
// As this program writes an appended timer.
const std::string kUploadedEarlier =
    "\t<timer begin=\"1802400000\" end=\"1802407200\" "
    "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"0\" name=\"From an earlier run\" "
    "description=\"\" afterevent=\"nothing\" eit=\"98\" disabled=\"0\" justplay=\"0\">\n"
    "\t</timer>\n";

// One attribute of every timer of a list, in order.
std::vector<std::string> Attributes(const std::string& list, const std::string& name) {
    std::vector<std::string> values;
    const std::string key = " " + name + "=\"";
    for (std::size_t at = list.find("<timer "); at != std::string::npos;
         at = list.find("<timer ", at + 1)) {
        const std::size_t value = list.find(key, at) + key.size();
        values.push_back(list.substr(value, list.find('"', value) - value));
    }
    return values;
}

std::vector<std::string> Begins(const std::string& list) { return Attributes(list, "begin"); }

class LostUpdateTest : public BoxRunFixture {};

TEST_F(LostUpdateTest, EveryTimerOfBothSidesEndsWhereItBelongs) {
    // The local copies are those of an earlier run.
    for (const auto& entry : fs::directory_iterator(ServedPath(""))) {
        fs::copy_file(entry.path(), WorkPath(entry.path().filename().string()));
    }
    // Since then the receiver gained two timers and dropped "Tagesschau".
    std::string box_list = ReadWholeFile(ServedPath("timers.xml"));
    const std::size_t tagesschau = box_list.find("\t<timer begin=\"1800039480\"");
    ASSERT_NE(tagesschau, std::string::npos);
    const std::size_t tagesschau_end = box_list.find("</timer>\n", tagesschau) + 9;
    box_list.erase(tagesschau, tagesschau_end - tagesschau);
    box_list.insert(box_list.find("</timers>"), kGainedOnTheBox + kUploadedEarlier);
    std::ofstream(ServedPath("timers.xml"), std::ios::binary | std::ios::trunc) << box_list;

    StartBox();
    WriteConfigForBox("wrong");
    MakeForm();
    ASSERT_EQ(Alerts().size(), 1u);
    ASSERT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 5);

    // The user fixes the password and, offered a new download, says not now.
    ScriptModal<app::TFormInstelling>(
        [](app::TFormInstelling& dialog) {
            dialog.Edit_Pass->setText(QString::fromLatin1(kPassword));
            dialog.BitBtn_Ok->click();
        },
        [](app::TFormInstelling& dialog) { return !dialog.Timer1->isActive(); });
    answer_yes_ = false;
    form_->Configuration()->trigger();
    ASSERT_EQ(questions_.size(), 1u);
    ASSERT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 5);

    // Appends a timer on the first channel; it begins now.
    AppendTimerThroughScript();
    ASSERT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 6);

    answer_yes_ = true;  // the new timer records from now on: restart all the same
    messages_.clear();
    form_->SaveExit()->trigger();
    ASSERT_TRUE(WaitFor([&] { return simulator_->RestartCount() == 1; }));

    const auto received = simulator_->ReceivedFiles();
    ASSERT_EQ(received.size(), 1u);
    const std::string uploaded = received[0].content;
    // The appended timer (10-01-2027 11:00 UTC), the untouched timers the receiver still
    // has, and after them the two it gained; "Tagesschau" stays dropped.
    EXPECT_EQ(Begins(uploaded),
              (std::vector<std::string>{"1799578800", "1799700300", "1800213300", "1801501200",
                                        "1801940400", "1802300000", "1802400000"}));
    EXPECT_EQ(uploaded.find("Tagesschau"), std::string::npos);
    // The gained timer goes up whole, with its log line.
    EXPECT_NE(uploaded.find("<log code=\"0\" time=\"1801000000\">Timer created</log>"),
              std::string::npos);
    // The message and the log say what was merged.
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.startsWith(
        QStringLiteral("The timer list on the box changed since it was read.")))
        << messages_[0].text.toStdString();
    EXPECT_TRUE(messages_[0].text.contains(QStringLiteral("Set on the box")));
    EXPECT_TRUE(messages_[0].text.contains(QStringLiteral("From an earlier run")));
    EXPECT_TRUE(messages_[0].text.contains(QStringLiteral("Tagesschau")));
    EXPECT_NE(form_->MemoText().find("Timer list merge"), std::string::npos);
    // The copy taken before the upload is the receiver's list as it was.
    EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), uploaded);
}

TEST_F(LostUpdateTest, ChangedTimeSettingsDoNotMoveUntouchedTimers) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    auto& grid = form_->wwDBGrid3()->GridModel();
    ASSERT_EQ(grid.rowCount(), 5);
    const QString first_begin = grid.data(grid.index(0, 2)).toString();

    // The user sets the offset from +1 to +3 hours.
    ScriptModal<app::TFormInstelling>(
        [](app::TFormInstelling& dialog) {
            dialog.wwDBSpinEdit1->setValue(3);
            dialog.BitBtn_Ok->click();
        },
        [](app::TFormInstelling& dialog) { return !dialog.Timer1->isActive(); });
    form_->Configuration()->trigger();
    ASSERT_EQ(scripts_run_, 1);
    // The grid shows the new local times: two hours later.
    EXPECT_NE(grid.data(grid.index(0, 2)).toString(), first_begin);
    EXPECT_TRUE(grid.data(grid.index(0, 2)).toString().endsWith(QStringLiteral("23:45")))
        << grid.data(grid.index(0, 2)).toString().toStdString();

    // Deleting the last timer is the only change: the others go back exactly as read.
    form_->wwDBGrid3()->setCurrentIndex(grid.index(4, 0));
    form_->Delete()->trigger();
    form_->SaveExit()->trigger();
    ASSERT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    ASSERT_TRUE(WaitFor([&] { return simulator_->RestartCount() == 1; }));
    const std::string uploaded = simulator_->ReceivedFiles().at(0).content;
    std::string expected = ReadWholeFile(WorkPath("backup") / "timers-20270110-120000.xml");
    const std::size_t konzert = expected.find("\t<timer begin=\"1801940400\"");
    ASSERT_NE(konzert, std::string::npos);
    expected.erase(konzert, expected.find("</timer>\n", konzert) + 9 - konzert);
    EXPECT_EQ(Begins(uploaded), Begins(expected));
    EXPECT_EQ(Attributes(uploaded, "end"), Attributes(expected, "end"));
    EXPECT_EQ(Begins(uploaded).size(), 4u);
}

}  // namespace
}  // namespace tapir::e2e
