// A timer read from the box, edited in the timer dialog and written back: names with
// markup characters show and go back as typed, the after-event "auto" is offered, and
// everything the dialog does not edit is kept.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/form_timer.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/text_lines.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_writer.h"
#include "controls/db_combo_box.h"
#include "controls/db_edit.h"
#include "form_test_support.h"

namespace tapir::app::testing {
namespace {

class TimerFileDialogTest : public FormTest {
  protected:
    void SetUp() override {
        FormTest::SetUp();
        char pattern[] = "/tmp/tapir-dialog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
        conversion_.UTC_Auto = false;
        conversion_.UTC_Offset = 1;
        Write("lamedb",
              "eDVB services /4/\nservices\n283d:00c00000:03fb:0001:25:0\nDas Erste HD\n"
              "p:ARD\nend\n");
        Write("bouquets.tv", "#SERVICE 1:7:1:0:0:0:0:0:0:0:FROM BOUQUET \"userbouquet.a.tv\"\n");
        Write("bouquets.radio", "");
        Write("userbouquet.a.tv", "#NAME A\n#SERVICE 1:0:19:283D:3FB:1:C00000:0:0:0:\n");
    }

    void TearDown() override {
        form_.reset();
        FormTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + name, std::ios::binary) << text;
    }

    void ReadFiles() {
        host_.tables.DropAll();
        host_.tables.OpenAll();
        const boxfiles::BoxReadReport report =
            boxfiles::ReadBoxFiles(dir_, host_.tables, conversion_, {});
        ASSERT_TRUE(report.channel_error.empty()) << report.channel_error;
        ASSERT_TRUE(report.timers_complete) << report.timer_error;
        Timers().First();
    }

    TFormTimer& OpenForEdit() {
        Timers().Edit();
        form_ = std::make_unique<TFormTimer>(host_, dialog_result_);
        form_->IsNew = false;
        form_->Beep = [] {};
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        form_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Timer1->isActive(); }));
        return *form_;
    }

    std::string dir_;
    platform::TimeConversionSettings conversion_;
    platform::ScopedClockPin clock_{At(2027, 1, 1, 12, 0)};
    int dialog_result_ = 1;
    std::unique_ptr<TFormTimer> form_;
};

TEST_F(TimerFileDialogTest, MarkupCharactersAndAutoGoThroughTheDialogAsTyped) {
    const std::string timer =
        "<timer begin=\"1800000000\" end=\"1800003600\" marginBefore=\"180\" "
        "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"0\" "
        "name=\"A&amp;B &quot;x&quot;\" description=\"d\" afterevent=\"auto\" eit=\"7\" "
        "disabled=\"0\" justplay=\"0\" isAutoTimer=\"1\">\n"
        "\t\t<log code=\"0\" time=\"1799441100\">Timer created</log>\n\t</timer>\n";
    Write("timers.xml", "<?xml version=\"1.0\" ?>\n<timers>\n\t" + timer + "</timers>\n");
    ReadFiles();

    TFormTimer& form = OpenForEdit();
    EXPECT_EQ(form.DBEdit2->text(), QStringLiteral("A&B \"x\""));
    EXPECT_EQ(form.wwDBComboBox1->currentText(), QStringLiteral("auto"));
    EXPECT_GE(form.wwDBComboBox1->findText(QStringLiteral("auto")), 0);

    form.DBEdit2->setFocus();
    form.DBEdit2->selectAll();
    QTest::keyClicks(form.DBEdit2, QStringLiteral("C&D \"y\" <z>"));
    form.OpslaanExecute();
    EXPECT_EQ(dialog_result_, 0);
    form_.reset();
    Timers().Post();

    boxfiles::WriteTimersFile(dir_ + "timers.xml", Timers(), conversion_, {});
    const std::string written = boxfiles::ReadWholeFile(dir_ + "timers.xml");
    // Only the name changed; the rest of the timer, its log line included, is as read.
    boxfiles::TimerList expected =
        boxfiles::ParseTimerList("<timers>" + timer.substr(0, timer.find(" name=")) +
                                 " name=\"C&amp;D &quot;y&quot; "
                                 "&lt;z&gt;\"" +
                                 timer.substr(timer.find(" description=")) + "</timers>");
    ASSERT_FALSE(expected.error);
    EXPECT_EQ(boxfiles::ParseTimerList(written).timers, expected.timers) << written;

    ReadFiles();
    EXPECT_EQ(TimerField("Name").AsString(), "C&D \"y\" <z>");
    TFormTimer& again = OpenForEdit();
    EXPECT_EQ(again.DBEdit2->text(), QStringLiteral("C&D \"y\" <z>"));
}

TEST_F(TimerFileDialogTest, TimerWithATimeNoDateTimeCanShowOpensAndKeepsItsText) {
    Write("timers.xml",
          "<timers><timer begin=\"99999999999999\" end=\"1800003600\" "
          "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" name=\"Far\"/></timers>");
    ReadFiles();
    EXPECT_TRUE(TimerField("Begin").IsNull());
    TFormTimer& form = OpenForEdit();
    EXPECT_EQ(form.DBEdit2->text(), QStringLiteral("Far"));
    form.BitBtnCancel->click();
    form_.reset();
    Timers().Cancel();
    boxfiles::WriteTimersFile(dir_ + "timers.new", Timers(), conversion_, {});
    EXPECT_NE(boxfiles::ReadWholeFile(dir_ + "timers.new").find("begin=\"99999999999999\""),
              std::string::npos);
}

}  // namespace
}  // namespace tapir::app::testing
