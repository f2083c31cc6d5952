// Start-up against a receiver that cannot be reached or refuses the login: the download
// reports its failure in the "Alert!" box and start-up still finishes on whatever local
// copies there are. Also "Save & Exit" against a receiver that went away, tried again.

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <string>

#include "controls/db_grid.h"
#include "e2e_fixture.h"

namespace tapir::e2e {
namespace {

const QString kAlertHead = QStringLiteral(
    "FTP fout bij het ophalen van bestanden vanaf de DM7025\n"
    "Mogelijk zijn er geen of oude timers ingelezen.\n\n");

// A loopback port on which nothing listens: the system hands one out and takes it back.
std::uint16_t ClosedPort() {
    boxsim::Options options;
    options.dir = std::filesystem::temp_directory_path();
    boxsim::BoxSimulator probe(options);
    probe.Start();
    const std::uint16_t port = probe.FtpPort();
    probe.Stop();
    return port;
}

using DownloadFailureTest = BoxRunFixture;

TEST_F(DownloadFailureTest, ClosedPortShowsTheSocketErrorAndStartUpFinishes) {
    const std::uint16_t port = ClosedPort();
    WriteConfig(port, port);
    MakeForm();

    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(
        alerts[0].text,
        kAlertHead + QStringLiteral("EIdSocketErrorSocket Error # 10061\r\nConnection refused."));
    EXPECT_FALSE(alerts[0].error_icon);
    EXPECT_EQ(beeps_, 1);
    // Nothing was fetched; start-up still ends with the actions set.
    EXPECT_FALSE(std::filesystem::exists(WorkPath("timers.xml")));
    EXPECT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 0);
    EXPECT_TRUE(form_->Append()->isEnabled());
    EXPECT_FALSE(form_->Edit()->isEnabled());
    EXPECT_FALSE(form_->SaveExit()->isEnabled());
}

TEST_F(DownloadFailureTest, WrongPasswordShowsTheReceiversReplyLine) {
    StartBox({boxsim::Fault::RefusePassword});
    WriteConfigForBox();
    MakeForm();

    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].text,
              kAlertHead + QStringLiteral("EIdProtocolReplyError530 Login incorrect."));
    EXPECT_EQ(beeps_, 1);
    // The login failed before any listing.
    for (const std::string& command : simulator_->FtpCommands()) {
        EXPECT_NE(command.rfind("NLST", 0), 0u) << command;
        EXPECT_NE(command.rfind("nlst", 0), 0u) << command;
    }
    EXPECT_FALSE(std::filesystem::exists(WorkPath("timers.xml")));
}

TEST_F(DownloadFailureTest, SecondRunWithTheReceiverOffReadsThePreviousCopies) {
    StartBox();
    WriteConfigForBox();
    MakeForm();
    ASSERT_TRUE(messages_.empty());
    ASSERT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 5);
    form_.reset();
    simulator_->Stop();

    MakeForm();
    const auto alerts = Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_TRUE(alerts[0].text.endsWith(QStringLiteral("Connection refused.")))
        << alerts[0].text.toStdString();
    EXPECT_EQ(form_->wwDBGrid3()->GridModel().rowCount(), 5);
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(DownloadFailureTest, SaveExitAgainstAnAbsentReceiverCanBeTriedAgain) {
    auto& first = StartBox();
    const std::uint16_t ftp_port = first.FtpPort();
    const std::uint16_t telnet_port = first.TelnetPort();
    WriteConfigForBox();
    MakeForm();
    ASSERT_TRUE(messages_.empty());
    form_->Delete()->trigger();
    ASSERT_TRUE(form_->SaveExit()->isEnabled());

    simulator_->Stop();
    form_->SaveExit()->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text,
              QStringLiteral("Nothing was uploaded: the receiver's current timer list could not "
                             "be copied first (Socket Error # 10061\r\nConnection refused.)."));
    EXPECT_TRUE(messages_[0].error_icon);
    EXPECT_FALSE(form_->TimerTerminate()->isActive());
    EXPECT_EQ(form_->ChangeCount(), 1);
    EXPECT_TRUE(form_->SaveExit()->isEnabled());

    // The receiver is back on the same ports: the second try goes through.
    StartBox({}, ftp_port, telnet_port);
    messages_.clear();
    form_->SaveExit()->trigger();
    EXPECT_TRUE(messages_.empty()) << messages_.front().text.toStdString();
    EXPECT_TRUE(WaitFor([&] { return simulator_->RestartCount() >= 1; }));
    ASSERT_EQ(simulator_->ReceivedFiles().size(), 1u);
    EXPECT_EQ(simulator_->ReceivedFiles()[0].content, ReadWholeFile(WorkPath("timers.new")));
    EXPECT_TRUE(WaitFor([&] { return quit_requests_ > 0; }));
}

}  // namespace
}  // namespace tapir::e2e
