// Whole runs around the transfers' safety: the window comes up before the download, the
// progress window's Cancel during a slow download and a slow upload, "Save & Exit"
// pressed twice, the copy of the receiver's list taken before the upload, the question
// before cutting a recording, an unconfirmed restart, stale local copies and a refused
// listing of the timer list, and fetching again after the connection settings change.

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/form_instelling.h"
#include "app/form_select_zender.h"
#include "app/form_timer.h"
#include "app/transfer_progress.h"
#include "controls/db_grid.h"
#include "controls/db_list_view.h"
#include "e2e_fixture.h"

namespace tapir::e2e {
namespace {

namespace fs = std::filesystem;

class SaveFlowTest : public BoxRunFixture {
  protected:
    int Rows() { return form_->wwDBGrid3()->GridModel().rowCount(); }

    // The files of the working directory's backup folder whose name starts with `prefix`.
    std::vector<fs::path> BackupEntries(const std::string& prefix) const {
        std::vector<fs::path> found;
        if (!fs::exists(WorkPath("backup"))) {
            return found;
        }
        for (const auto& entry : fs::directory_iterator(WorkPath("backup"))) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    // Presses Cancel of the progress window titled `title` once it is up.
    void CancelProgress(const QString& title) {
        ScriptModal<QProgressDialog>(
            [](QProgressDialog& dialog) {
                auto* button = dialog.findChild<QPushButton*>();
                ASSERT_NE(button, nullptr);
                button->click();
            },
            [title](QProgressDialog& dialog) {
                return dialog.isVisible() && dialog.windowTitle() == title;
            });
    }
};

// The working directory holds an older local set: the test files with one timer less.
void WriteOlderLocalCopies(const fs::path& served, const fs::path& work) {
    for (const auto& entry : fs::directory_iterator(served)) {
        fs::copy_file(entry.path(), work / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
    std::string timers = ReadWholeFile(work / "timers.xml");
    const auto konzert = timers.find("<timer begin=\"1801940400\"");
    ASSERT_NE(konzert, std::string::npos);
    const auto after = timers.find("</timer>", konzert);
    ASSERT_NE(after, std::string::npos);
    timers.erase(konzert, after + std::string("</timer>").size() - konzert);
    std::ofstream(work / "timers.xml", std::ios::binary | std::ios::trunc) << timers;
}

TEST_F(SaveFlowTest, WindowIsOnScreenBeforeTheDownloadStarts) {
    StartBox();
    WriteConfigForBox();
    MakeForm(false);
    // Built, not shown: nothing went over the network yet.
    EXPECT_FALSE(form_->StartupFinished());
    EXPECT_TRUE(simulator_->FtpCommands().empty());
    EXPECT_FALSE(form_->Append()->isEnabled());

    form_->show();
    ASSERT_TRUE(WaitFor([&] { return form_->StartupFinished(); }));
    EXPECT_FALSE(simulator_->FtpCommands().empty());
    EXPECT_EQ(Rows(), 5);
    EXPECT_EQ(form_->StatusText(), QStringLiteral("Timers fetched from the receiver."));
    EXPECT_TRUE(form_->Append()->isEnabled());
    EXPECT_EQ(form_->Progress(), nullptr);
}

TEST_F(SaveFlowTest, CancelDuringASlowDownloadKeepsTheLocalCopies) {
    WriteOlderLocalCopies(served_.path().toStdString(), workdir_.path().toStdString());
    const std::string local_timers = ReadWholeFile(WorkPath("timers.xml"));
    StartBox({boxsim::Fault::Slow}, 0, 0,
             [](boxsim::Options& options) { options.slow_delay = std::chrono::milliseconds(100); });
    WriteConfigForBox();
    CancelProgress(QStringLiteral("Downloading from the receiver"));
    MakeForm();

    EXPECT_EQ(scripts_run_, 1);
    // No alert: the user asked for it. The local copies stay as they were and are shown.
    EXPECT_TRUE(Alerts().empty());
    EXPECT_EQ(beeps_, 0);
    EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), local_timers);
    EXPECT_EQ(Rows(), 4);
    EXPECT_TRUE(form_->StatusText().startsWith(
        QStringLiteral("Download cancelled: the grid shows the local copy of ")))
        << form_->StatusText().toStdString();
    for (const auto& entry : fs::directory_iterator(WorkPath(""))) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    }
    // The program stays usable.
    EXPECT_TRUE(form_->Append()->isEnabled());
    EXPECT_TRUE(form_->Edit()->isEnabled());
    form_->Delete()->trigger();
    EXPECT_TRUE(form_->SaveExit()->isEnabled());
}

TEST_F(SaveFlowTest, CancelDuringASlowUploadLeavesTheReceiversList) {
    auto& first = StartBox();
    const std::uint16_t ftp_port = first.FtpPort();
    const std::uint16_t telnet_port = first.TelnetPort();
    WriteConfigForBox();
    MakeForm();
    ASSERT_EQ(Rows(), 5);
    const std::string original = ReadWholeFile(ServedPath("timers.xml"));
    form_->Delete()->trigger();

    // The receiver turns slow.
    simulator_->Stop();
    StartBox({boxsim::Fault::Slow}, ftp_port, telnet_port,
             [](boxsim::Options& options) { options.slow_delay = std::chrono::milliseconds(50); });
    CancelProgress(QStringLiteral("Uploading to the receiver"));
    form_->SaveExit()->trigger();

    EXPECT_EQ(scripts_run_, 1);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              QStringLiteral("The upload of the timer list failed (cancelled). The receiver's "
                             "timer list is unchanged. The receiver was not restarted."));
    EXPECT_EQ(ReadWholeFile(ServedPath("timers.xml")), original);
    EXPECT_EQ(simulator_->RestartCount(), 0);
    EXPECT_TRUE(simulator_->TelnetLines().empty());
    // The local copy is still the list that was read; the action can be tried again.
    EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), original);
    EXPECT_TRUE(form_->SaveExit()->isEnabled());
    EXPECT_EQ(quit_requests_, 0);
    EXPECT_EQ(BackupEntries("timers-").size(), 1u);
}

TEST_F(SaveFlowTest, CutUploadLeavesTheReceiversListAndNoRestart) {
    auto& first = StartBox();
    const std::uint16_t ftp_port = first.FtpPort();
    const std::uint16_t telnet_port = first.TelnetPort();
    WriteConfigForBox();
    MakeForm();
    const std::string original = ReadWholeFile(ServedPath("timers.xml"));
    form_->Delete()->trigger();

    simulator_->Stop();
    StartBox({boxsim::Fault::CutStor}, ftp_port, telnet_port);
    form_->SaveExit()->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(
        messages_[0].text.startsWith(QStringLiteral("The upload of the timer list failed (")))
        << messages_[0].text.toStdString();
    EXPECT_TRUE(messages_[0].text.endsWith(
        QStringLiteral("The receiver's timer list is unchanged. The receiver was not restarted.")))
        << messages_[0].text.toStdString();
    EXPECT_EQ(ReadWholeFile(ServedPath("timers.xml")), original);
    EXPECT_EQ(simulator_->RestartCount(), 0);
    EXPECT_TRUE(simulator_->TelnetLines().empty());
    EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), original);
    EXPECT_FALSE(fs::exists(WorkPath("backup/timers-check.tmp")));
    EXPECT_TRUE(form_->SaveExit()->isEnabled());
}

TEST_F(SaveFlowTest, CutUploadThatDamagedTheReceiversListPutsTheCopyBack) {
    // A server without rename: the list is stored in place, and that store breaks after 100
    // bytes, leaving the receiver's list cut until the copy goes back.
    auto& first = StartBox();
    const std::uint16_t ftp_port = first.FtpPort();
    const std::uint16_t telnet_port = first.TelnetPort();
    WriteConfigForBox();
    MakeForm();
    const std::string original = ReadWholeFile(ServedPath("timers.xml"));
    ASSERT_GT(original.size(), 100u);
    form_->Delete()->trigger();

    simulator_->Stop();
    StartBox({boxsim::Fault::NoRename, boxsim::Fault::CutStorInPlace}, ftp_port, telnet_port);
    form_->SaveExit()->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.endsWith(QStringLiteral(
        "The receiver's previous timer list was put back. The receiver was not restarted.")))
        << messages_[0].text.toStdString();
    EXPECT_EQ(ReadWholeFile(ServedPath("timers.xml")), original);
    EXPECT_EQ(simulator_->RestartCount(), 0);
    EXPECT_TRUE(simulator_->TelnetLines().empty());
    EXPECT_TRUE(form_->SaveExit()->isEnabled());
}

TEST_F(SaveFlowTest, SaveExitPressedTwiceWithinASecondRunsOnce) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    form_->Delete()->trigger();
    auto* button = form_->findChild<QPushButton*>(QStringLiteral("BitBtnSaveExit"));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());

    int second_presses = 0;
    QTimer::singleShot(100, form_.get(), [&] {
        EXPECT_FALSE(button->isEnabled());
        button->click();
        form_->SaveExit()->trigger();
        ++second_presses;
    });
    button->click();
    ASSERT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_TRUE(WaitFor([&] { return second_presses == 1; }));
    EXPECT_TRUE(WaitFor([&] { return quit_requests_ > 0; }));
    EXPECT_EQ(simulator_->ReceivedFiles().size(), 1u);
    EXPECT_EQ(simulator_->RestartCount(), 1);
    const auto lines = simulator_->TelnetLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "killall -9 enigma2"), 1);
    EXPECT_EQ(quit_requests_, 1);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(SaveFlowTest, RunningRecordingNotCutWhenTheUserSaysNotNow) {
    StartBox();
    WriteConfigForBox();
    // Monday 11-01-2027 22:00 local: the weekday timer "heute journal" (21:45-22:20) records.
    clock_pin_->Set(platform::EncodeDateTime(2027, 1, 11, 22, 0));
    MakeForm();
    ASSERT_EQ(Rows(), 5);
    form_->wwDBGrid3()->setCurrentIndex(form_->wwDBGrid3()->GridModel().index(4, 0));
    form_->Delete()->trigger();
    answer_yes_ = false;
    form_->SaveExit()->trigger();

    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_EQ(questions_[0].title, QStringLiteral("Recording in progress"));
    EXPECT_TRUE(questions_[0].text.startsWith(
        "The receiver is recording \"heute journal\" on ZDF HD until 11-01-2027 22:20."))
        << questions_[0].text.toStdString();
    EXPECT_TRUE(questions_[0].text.endsWith("[&Restart now | &Not now]"));
    // Uploaded, not restarted, and the user is told when the list takes effect.
    EXPECT_EQ(simulator_->ReceivedFiles().size(), 1u);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.contains("after its next restart or standby cycle"));
    EXPECT_EQ(quit_requests_, 1);
    QTest::qWait(200);
    EXPECT_TRUE(simulator_->TelnetLines().empty());
    EXPECT_EQ(simulator_->RestartCount(), 0);
}

TEST_F(SaveFlowTest, RecordingTheReceiverGainedMeanwhileIsAskedAbout) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    ASSERT_EQ(Rows(), 5);
    // While the user edits, a timer is set on the receiver itself: 10:00 to 14:00 UTC today,
    // recording now (12:00 local is 11:00 UTC).
    std::string box_list = ReadWholeFile(ServedPath("timers.xml"));
    box_list.insert(box_list.find("</timers>"),
                    "\t<timer begin=\"1799575200\" end=\"1799589600\" "
                    "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"0\" "
                    "name=\"Set on the box\" description=\"\" afterevent=\"auto\" eit=\"0\" "
                    "disabled=\"0\" justplay=\"0\">\n\t</timer>\n");
    std::ofstream(ServedPath("timers.xml"), std::ios::binary | std::ios::trunc) << box_list;

    form_->Delete()->trigger();
    answer_yes_ = false;
    form_->SaveExit()->trigger();
    // The merged list went up; its recording timer is named in the question.
    ASSERT_EQ(simulator_->ReceivedFiles().size(), 1u);
    EXPECT_NE(simulator_->ReceivedFiles()[0].content.find("Set on the box"), std::string::npos);
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_TRUE(questions_[0].text.startsWith(
        "The receiver is recording \"Set on the box\" on Das Erste HD until 10-01-2027 15:00."))
        << questions_[0].text.toStdString();
    EXPECT_EQ(simulator_->RestartCount(), 0);
}

TEST_F(SaveFlowTest, UnconfirmedRestartIsReported) {
    // A shell whose prompt the program does not know.
    StartBox({}, 0, 0, [](boxsim::Options& options) { options.prompt = "box> "; });
    WriteConfigForBox(kPassword, "ReplyTimeout=1\n");
    MakeForm();
    form_->Delete()->trigger();
    form_->SaveExit()->trigger();
    ASSERT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_EQ(simulator_->ReceivedFiles().size(), 1u);

    ASSERT_TRUE(WaitFor([&] { return quit_requests_ > 0; }));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              QStringLiteral("The timers were uploaded, but the receiver did not restart. It "
                             "needs a restart (or a standby cycle) to use the new timer list."));
    EXPECT_EQ(simulator_->RestartCount(), 0);
    EXPECT_EQ(quit_requests_, 1);
    EXPECT_FALSE(form_->TimerTerminate()->isActive());
}

TEST_F(SaveFlowTest, ReceiverWithoutATimerListGetsTheUploadWithoutACopy) {
    fs::remove(ServedPath("timers.xml"));
    StartBox();
    WriteConfigForBox();
    MakeForm();
    EXPECT_EQ(Rows(), 0);
    AppendTimerThroughScript();
    ASSERT_EQ(Rows(), 1);
    answer_yes_ = true;  // it records from now on
    form_->SaveExit()->trigger();
    ASSERT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_TRUE(WaitFor([&] { return simulator_->RestartCount() == 1; }));
    EXPECT_TRUE(BackupEntries("timers-").empty());
    EXPECT_EQ(ReadWholeFile(ServedPath("timers.xml")), ReadWholeFile(WorkPath("timers.new")));
}

TEST_F(SaveFlowTest, StaleServiceListIsMovedAsideAndNotRead) {
    // An old "services" from an earlier receiver beside the fresh download of "lamedb".
    std::ofstream(WorkPath("services"), std::ios::binary) << "not a service list\n";
    StartBox();
    WriteConfigForBox();
    MakeForm();
    EXPECT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_FALSE(fs::exists(WorkPath("services")));
    const auto stale = BackupEntries("stale-");
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(ReadWholeFile(stale[0] / "services"), "not a service list\n");
    EXPECT_EQ(form_->wwDBGrid3()->GridModel().data(form_->wwDBGrid3()->GridModel().index(0, 0)),
              QStringLiteral("ZDF HD"));
}

TEST_F(SaveFlowTest, RefusedTimerListingShowsTheOlderLocalCopy) {
    WriteOlderLocalCopies(served_.path().toStdString(), workdir_.path().toStdString());
    fs::remove(ServedPath("timers.xml"));
    StartBox({boxsim::Fault::Nlst550});
    WriteConfigForBox();
    MakeForm();
    EXPECT_TRUE(Alerts().empty());
    EXPECT_EQ(Rows(), 4);
    const QString date = QFileInfo(QString::fromStdString(WorkPath("timers.xml").string()))
                             .lastModified()
                             .toString(QStringLiteral("dd-MM-yyyy HH:mm"));
    EXPECT_EQ(form_->StatusText(),
              QStringLiteral("The timer list could not be fetched from the receiver; the grid "
                             "shows an older local copy of ") +
                  date + QStringLiteral("."))
        << form_->StatusText().toStdString();
}

TEST_F(SaveFlowTest, FixedPasswordOffersToFetchAgain) {
    StartBox();
    WriteConfigForBox("wrong");
    MakeForm();
    ASSERT_EQ(Alerts().size(), 1u);
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(form_->StatusText().startsWith(QStringLiteral("Download failed: ")))
        << form_->StatusText().toStdString();

    ScriptModal<app::TFormInstelling>(
        [](app::TFormInstelling& dialog) {
            dialog.Edit_Pass->setText(QString::fromLatin1(kPassword));
            dialog.BitBtn_Ok->click();
        },
        [](app::TFormInstelling& dialog) { return !dialog.Timer1->isActive(); });
    answer_yes_ = true;
    form_->Configuration()->trigger();
    ASSERT_EQ(scripts_run_, 1);
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_TRUE(questions_[0].text.startsWith(
        QStringLiteral("The connection settings have changed. Fetch the receiver's")));
    EXPECT_EQ(Rows(), 5);
    EXPECT_EQ(form_->StatusText(), QStringLiteral("Timers fetched from the receiver."));
    EXPECT_EQ(ReadWholeFile(WorkPath("timers.xml")), ReadWholeFile(ServedPath("timers.xml")));
}

}  // namespace
}  // namespace tapir::e2e
