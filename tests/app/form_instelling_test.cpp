#include "app/form_instelling.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "app/real_dialogs.h"
#include "controls/db_spin_edit.h"
#include "form_test_support.h"

namespace tapir::app::testing {
namespace {

TEST(AcceptedAddress, TakesAddressesAndNamesAfterTrimming) {
    struct Case {
        const char* typed;
        const char* stored;  // empty: refused
    };
    const Case cases[] = {
        {"192.168.1.10", "192.168.1.10"},
        {"10.0.0.1", "10.0.0.1"},
        {"1.1.1.1", "1.1.1.1"},
        {"box.local", "box.local"},
        {"fe80::1", "fe80::1"},
        {".........", ""},
        {"999999999", ""},
        {"10.1", ""},
        {"0x7f.1", ""},
        {"0177.0.0.1", ""},
        {"  192.168.1.10 \t", "192.168.1.10"},
        {"\x01"
         "192.168.1.10\r\n",
         "192.168.1.10"},
        {"192.168. 1.10", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        QString problem;
        EXPECT_EQ(AcceptedAddress(QString::fromLatin1(c.typed), &problem),
                  QString::fromLatin1(c.stored));
        EXPECT_EQ(problem.isEmpty(), *c.stored != '\0') << problem.toStdString();
    }
}

class FormInstellingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        host_.config_path = ConfigPath().toStdString();
    }
    void TearDown() override { form_.reset(); }

    QString ConfigPath() const { return QDir(dir_.path()).filePath(QStringLiteral("config.ini")); }

    TFormInstelling& Open(bool first_start) {
        form_ = std::make_unique<TFormInstelling>(host_);
        form_->FirstStart = first_start;
        form_->ShowMessage = [this](const QString& text) { messages_.push_back(text); };
        form_->RequestTerminate = [this] { ++terminate_requests_; };
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Timer1->isActive(); }));
        return *form_;
    }

    QTemporaryDir dir_;
    FormTestHost host_;
    std::vector<QString> messages_;
    int terminate_requests_ = 0;
    std::unique_ptr<TFormInstelling> form_;
};

TEST_F(FormInstellingTest, FirstStartShowsTheInitialValues) {
    host_.settings.Ip = "10.1.1.1";
    TFormInstelling& form = Open(true);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Configuration"));
    EXPECT_EQ(form.Edit_Ip->text(), QStringLiteral("192.168.1.1"));
    EXPECT_EQ(form.Edit_User->text(), QStringLiteral("root"));
    EXPECT_EQ(form.Edit_Pass->text(), QString());
    EXPECT_EQ(form.Edit_Pass->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(form.CheckBox1->isChecked());
    EXPECT_FALSE(form.wwDBSpinEdit1->isEnabled());
    EXPECT_EQ(form.wwDBSpinEdit1->Value(), 0.0);
}

TEST_F(FormInstellingTest, FromTheMenuShowsTheCurrentSettings) {
    host_.settings = {};
    host_.settings.Ip = "192.168.0.77";
    host_.settings.Username = "admin";
    host_.settings.Password = "secret";
    host_.settings.UTC_Offset = 2;
    host_.settings.UTC_Auto = false;
    {
        TFormInstelling& form = Open(false);
        EXPECT_EQ(form.Edit_Ip->text(), QStringLiteral("192.168.0.77"));
        EXPECT_EQ(form.Edit_User->text(), QStringLiteral("admin"));
        EXPECT_EQ(form.Edit_Pass->text(), QStringLiteral("secret"));
        EXPECT_FALSE(form.CheckBox1->isChecked());
        EXPECT_TRUE(form.wwDBSpinEdit1->isEnabled());
        EXPECT_EQ(form.wwDBSpinEdit1->Value(), 2.0);
    }
    host_.settings.UTC_Auto = true;
    {
        TFormInstelling& form = Open(false);
        EXPECT_TRUE(form.CheckBox1->isChecked());
        EXPECT_FALSE(form.wwDBSpinEdit1->isEnabled());
        EXPECT_EQ(form.wwDBSpinEdit1->Value(), 2.0);
    }
}

TEST_F(FormInstellingTest, SpinFieldIsEnabledExactlyWhenAutomaticIsUnticked) {
    TFormInstelling& form = Open(false);
    ASSERT_TRUE(form.CheckBox1->isChecked());
    QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
    EXPECT_FALSE(form.CheckBox1->isChecked());
    EXPECT_TRUE(form.wwDBSpinEdit1->isEnabled());
    QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
    EXPECT_FALSE(form.wwDBSpinEdit1->isEnabled());
}

TEST_F(FormInstellingTest, RefusedAddressShowsMessageAndStoresNothing) {
    host_.settings.Ip = "192.168.1.5";
    for (const char* typed : {"999999999", "10.1", "0x7f.1", "0177.0.0.1", "box..local"}) {
        SCOPED_TRACE(typed);
        TFormInstelling& form = Open(true);
        form.Edit_Ip->setText(QString::fromLatin1(typed));
        form.BitBtn_Ok->click();
        ASSERT_FALSE(messages_.empty());
        // The message names the fault and says why underneath.
        const QStringList lines = messages_.back().split(u'\n');
        ASSERT_EQ(lines.size(), 3);
        EXPECT_EQ(lines[0], QStringLiteral("Ongeldig IP adres"));
        EXPECT_FALSE(lines[2].isEmpty());
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.FirstStart);
        EXPECT_FALSE(form.Saved());
        EXPECT_EQ(host_.settings.Ip, "192.168.1.5");
        EXPECT_FALSE(QFileInfo::exists(ConfigPath()));
        form_.reset();
    }
}

TEST_F(FormInstellingTest, SaveStoresTrimmedValuesAndWritesConfig) {
    TFormInstelling& form = Open(true);
    form.Edit_Ip->setText(QStringLiteral("  192.168.1.10 "));
    form.Edit_User->setText(QStringLiteral(" root "));
    form.Edit_Pass->setText(QStringLiteral(" dreambox\t"));
    form.CheckBox1->setChecked(false);
    form.wwDBSpinEdit1->SetValue(3);
    form.BitBtn_Ok->click();

    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(form.Saved());
    EXPECT_FALSE(form.FirstStart);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(terminate_requests_, 0);
    EXPECT_EQ(host_.settings.Ip, "192.168.1.10");
    EXPECT_EQ(host_.settings.Username, "root");
    EXPECT_EQ(host_.settings.Password, "dreambox");
    EXPECT_EQ(host_.settings.UTC_Offset, 3);
    EXPECT_FALSE(host_.settings.UTC_Auto);

    const platform::Settings read = platform::ReadSettings(host_.config_path);
    EXPECT_EQ(read.Ip, "192.168.1.10");
    EXPECT_EQ(read.Username, "root");
    EXPECT_EQ(read.Password, "dreambox");
    EXPECT_EQ(read.UTC_Offset, 3);
    EXPECT_FALSE(read.UTC_Auto);
}

TEST_F(FormInstellingTest, AcceptedAddressFormsAreStored) {
    for (const char* typed : {"10.0.0.1", "box.local", "::1"}) {
        SCOPED_TRACE(typed);
        TFormInstelling& form = Open(false);
        form.Edit_Ip->setText(QString::fromLatin1(typed));
        form.SaveExecute();
        EXPECT_TRUE(messages_.empty());
        EXPECT_TRUE(form.Saved());
        EXPECT_EQ(platform::ReadSettings(host_.config_path).Ip, typed);
        form_.reset();
    }
}

TEST_F(FormInstellingTest, OffsetFieldTakesMinusTwelveToPlusFourteen) {
    TFormInstelling& form = Open(true);
    EXPECT_EQ(form.wwDBSpinEdit1->minimum(), -12);
    EXPECT_EQ(form.wwDBSpinEdit1->maximum(), 14);
    form.CheckBox1->setChecked(false);
    // Typed into the field, not yet confirmed with Enter.
    form.wwDBSpinEdit1->setFocus();
    form.wwDBSpinEdit1->selectAll();
    QTest::keyClicks(form.wwDBSpinEdit1, QStringLiteral("-7"));
    form.Edit_Ip->setText(QStringLiteral("192.168.1.10"));
    form.SaveExecute();
    ASSERT_TRUE(form.Saved());
    EXPECT_EQ(platform::ReadSettings(host_.config_path).UTC_Offset, -7);
}

TEST_F(FormInstellingTest, StoredOffsetsSurviveOpeningAndSaving) {
    // Negative offsets from config.ini, both ends of the range, and offsets an older version
    // let the user store beyond it: opening and saving the dialog keeps each one as it is.
    for (const int32_t offset : {-5, -12, 14, 0, 20, -13}) {
        for (const bool automatic : {false, true}) {
            SCOPED_TRACE(std::to_string(offset) + (automatic ? " automatic" : " manual"));
            platform::Settings stored;
            stored.Ip = "192.168.1.10";
            stored.UTC_Offset = offset;
            stored.UTC_Auto = automatic;
            platform::WriteSettings(host_.config_path, stored);
            host_.settings = platform::ReadSettings(host_.config_path);
            ASSERT_EQ(host_.settings.UTC_Offset, offset);

            TFormInstelling& form = Open(false);
            EXPECT_EQ(form.wwDBSpinEdit1->Value(), offset);
            form.BitBtn_Ok->click();
            ASSERT_TRUE(form.Saved());
            EXPECT_EQ(host_.settings.UTC_Offset, offset);
            EXPECT_EQ(platform::ReadSettings(host_.config_path).UTC_Offset, offset);
            form_.reset();
        }
    }
}

TEST_F(FormInstellingTest, OffsetIsTakenAlsoWhenAutomaticIsTicked) {
    host_.settings.UTC_Offset = 5;
    host_.settings.UTC_Auto = true;
    TFormInstelling& form = Open(false);
    form.Edit_Ip->setText(QStringLiteral("192.168.10.1"));
    form.SaveExecute();
    EXPECT_EQ(host_.settings.UTC_Offset, 5);
    EXPECT_TRUE(host_.settings.UTC_Auto);
    EXPECT_TRUE(platform::ReadSettings(host_.config_path).UTC_Auto);
}

TEST_F(FormInstellingTest, FirstStartLeftWithoutSavingAsksToEndAndWritesNothing) {
    enum class Way { Cancel, CloseBox };
    for (const Way way : {Way::Cancel, Way::CloseBox}) {
        SCOPED_TRACE(static_cast<int>(way));
        terminate_requests_ = 0;
        TFormInstelling& form = Open(true);
        if (way == Way::Cancel) {
            form.BitBtn_Cancel->click();
        } else {
            form.close();
        }
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(terminate_requests_, 1);
        EXPECT_FALSE(QFileInfo::exists(ConfigPath()));
        form_.reset();
    }
}

TEST_F(FormInstellingTest, CancelFromTheMenuDoesNotEndTheProgram) {
    TFormInstelling& form = Open(false);
    form.Edit_Ip->setText(QStringLiteral("192.168.1.99"));
    form.BitBtn_Cancel->click();
    EXPECT_EQ(terminate_requests_, 0);
    EXPECT_FALSE(form.Saved());
    EXPECT_NE(host_.settings.Ip, "192.168.1.99");
    EXPECT_FALSE(QFileInfo::exists(ConfigPath()));
}

TEST_F(FormInstellingTest, UnwritableConfigKeepsTheDialogOpenInFirstStartMode) {
    host_.config_path = QDir(dir_.path()).filePath("missing/dir/config.ini").toStdString();
    TFormInstelling& form = Open(true);
    form.Edit_Ip->setText(QStringLiteral("192.168.1.10"));
    form.SaveExecute();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], QString::fromStdString("Unable to write to " + host_.config_path));
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.FirstStart);
    EXPECT_FALSE(form.Saved());
    EXPECT_EQ(host_.settings.Ip, "192.168.1.10");
    EXPECT_EQ(terminate_requests_, 0);
}

TEST_F(FormInstellingTest, RealDialogsReportFirstStartCancelThroughTheSeam) {
    int requests = 0;
    RealTimerDialogs dialogs(host_, [&requests] { ++requests; });
    ScriptModal<TFormInstelling>([](TFormInstelling& form) { form.CancelExecute(); });
    EXPECT_FALSE(dialogs.ShowConfigurationDialog(true));
    EXPECT_EQ(requests, 1);
    EXPECT_FALSE(QFileInfo::exists(ConfigPath()));
}

TEST_F(FormInstellingTest, RealDialogsReportASave) {
    int requests = 0;
    RealTimerDialogs dialogs(host_, [&requests] { ++requests; });
    ScriptModal<TFormInstelling>([](TFormInstelling& form) {
        form.Edit_Ip->setText(QStringLiteral("192.168.1.10"));
        form.SaveExecute();
    });
    EXPECT_TRUE(dialogs.ShowConfigurationDialog(true));
    EXPECT_EQ(requests, 0);
    EXPECT_TRUE(QFileInfo::exists(ConfigPath()));
}

}  // namespace
}  // namespace tapir::app::testing
