#include "app/form_timer.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/form_select_zender.h"
#include "app/real_dialogs.h"
#include "controls/contrast.h"
#include "controls/db_combo_box.h"
#include "controls/db_date_time_picker.h"
#include "controls/db_edit.h"
#include "form_test_support.h"

namespace tapir::app::testing {
namespace {

using controls::DbDateTimePicker;
using platform::IncHour;
using platform::IncMinute;
using platform::SameMillisecond;

constexpr int kMonday = 0;
constexpr int kTuesday = 1;
constexpr int kSunday = 6;

class FormTimerTest : public FormTest {
  protected:
    // Noon on Monday 2026-12-07.
    const double now_ = At(2026, 12, 7, 12, 0);

    // Creates the dialog as TimersAfterInsert does and waits for its first tick.
    TFormTimer& Open(bool is_new) {
        form_ = std::make_unique<TFormTimer>(host_, dialog_result_);
        form_->IsNew = is_new;
        form_->Beep = [this] { ++beeps_; };
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        form_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !form_->Timer1->isActive() && !form_->windowTitle().isEmpty(); }));
        return *form_;
    }

    DbDateTimePicker& Begin() { return *form_->wwDBDateTimePicker_Begin; }
    DbDateTimePicker& End() { return *form_->wwDBDateTimePicker_End; }
    bool Red(const DbDateTimePicker& picker) { return picker.Color() == QColor(Qt::red); }

    void TearDown() override {
        form_.reset();
        FormTest::TearDown();
    }

    platform::ScopedClockPin clock_{now_};
    int dialog_result_ = 1;
    int beeps_ = 0;
    std::unique_ptr<TFormTimer> form_;
};

TEST_F(FormTimerTest, NewTimerOpensWithCaptionHiddenDaysAndNormalColours) {
    NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);

    EXPECT_EQ(form.windowTitle(), QStringLiteral("New Timer"));
    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_FALSE(form.CheckBoxRepeated->isChecked());
    EXPECT_EQ(form.wwDBComboBox1->currentText(), QStringLiteral("nothing"));
    EXPECT_EQ(form.DBEdit1->text(), QStringLiteral("Das Erste"));
    EXPECT_TRUE(form.DBEdit1->isReadOnly());
    EXPECT_EQ(Begin().Text(), QStringLiteral("Mon 07-12-26  20:30"));
    EXPECT_EQ(End().Text(), QStringLiteral("Mon 07-12-26  22:30"));
    EXPECT_FALSE(Begin().Color().isValid());
    EXPECT_FALSE(End().Color().isValid());
    // The designed size, wider only when the day boxes' captions need it.
    EXPECT_GE(form.width(), TFormTimer::kClientWidth);
    EXPECT_EQ(form.height(), TFormTimer::kClientHeight);
    EXPECT_GE(form.width(), form.Panel1->geometry().right());
}

TEST_F(FormTimerTest, DayBoxesRunMondayToSundayWithLocaleNames) {
    NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);
    const char* expected[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form.DayBoxes[i]->text(), QString::fromLatin1(expected[i]));
        // At the designed pitch of 38 or wider, each box clear of the next.
        const int pitch = form.DayBoxes[1]->geometry().x() - form.DayBoxes[0]->geometry().x();
        EXPECT_GE(pitch, 38);
        EXPECT_EQ(form.DayBoxes[i]->geometry().x(), 4 + pitch * i);
        EXPECT_LT(form.DayBoxes[i]->geometry().right(), 4 + pitch * (i + 1));
        EXPECT_GE(form.DayBoxes[i]->width(), form.DayBoxes[i]->sizeHint().width());
    }
}

TEST_F(FormTimerTest, RepeatingTimerShowsStoredDaysPlusBeginWeekdayAndSavesThem) {
    // Stored: Tuesday only; the timer begins on a Monday.
    const double begin = At(2026, 12, 7, 20, 15);
    const double end = At(2026, 12, 7, 21, 0);
    EditStoredTimer(begin, end, 2);
    TFormTimer& form = Open(false);

    EXPECT_EQ(form.windowTitle(), QStringLiteral("Edit Timer"));
    EXPECT_TRUE(form.CheckBoxRepeated->isChecked());
    EXPECT_TRUE(form.Panel1->isVisible());
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form.DayBoxes[i]->isChecked(), i == kMonday || i == kTuesday);
    }

    form.BitBtnSave->click();
    EXPECT_EQ(dialog_result_, 0);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(TimerField("RepeatedOrg").AsLargeint(), 3);
    EXPECT_TRUE(SameMillisecond(host_.last_end, end));
    ASSERT_FALSE(host_.log.empty());
    EXPECT_EQ(host_.log.back(), "3");
}

TEST_F(FormTimerTest, TickingRepeatedOnSundayTimerTicksSundayAndStores64) {
    EditStoredTimer(At(2026, 12, 13, 20, 15), At(2026, 12, 13, 21, 0), 0);
    TFormTimer& form = Open(false);
    EXPECT_FALSE(form.Panel1->isVisible());

    QTest::mouseClick(form.CheckBoxRepeated, Qt::LeftButton);
    EXPECT_TRUE(form.Panel1->isVisible());
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form.DayBoxes[i]->isChecked(), i == kSunday);
    }
    form.OpslaanExecute();
    EXPECT_EQ(dialog_result_, 0);
    EXPECT_EQ(TimerField("RepeatedOrg").AsLargeint(), 64);
}

TEST_F(FormTimerTest, UntickingEveryDayOrRepeatedStoresZero) {
    for (const bool untick_repeated : {false, true}) {
        SCOPED_TRACE(untick_repeated);
        EditStoredTimer(At(2026, 12, 8, 20, 15), At(2026, 12, 8, 21, 0), 5);
        dialog_result_ = 1;
        TFormTimer& form = Open(false);
        if (untick_repeated) {
            form.CheckBoxRepeated->click();
            EXPECT_FALSE(form.Panel1->isVisible());
            EXPECT_TRUE(form.DayBoxes[0]->isChecked()) << "ticks are kept while hidden";
        } else {
            for (QCheckBox* box : form.DayBoxes) {
                box->setChecked(false);
            }
        }
        form.OpslaanExecute();
        EXPECT_EQ(dialog_result_, 0);
        EXPECT_EQ(TimerField("RepeatedOrg").AsLargeint(), 0);
        Timers().Post();
        form_.reset();
    }
}

TEST_F(FormTimerTest, DurationButtonsSetEndFromBegin) {
    const double begin = At(2026, 12, 7, 20, 30);
    NewTimer(begin, At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);

    QPushButton* half_past_one = form.DurationButton(90);
    ASSERT_NE(half_past_one, nullptr);
    EXPECT_EQ(half_past_one->text(), QStringLiteral("1/2"));
    EXPECT_EQ(half_past_one->pos(), QPoint(289, 96));
    QTest::mouseClick(half_past_one, Qt::LeftButton);
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), IncMinute(begin, 90)));
    EXPECT_TRUE(SameMillisecond(End().Value(), IncMinute(begin, 90)));
    EXPECT_EQ(End().Text(), QStringLiteral("Mon 07-12-26  22:00"));
    EXPECT_FALSE(End().Color().isValid());

    form.DurationButton(165)->click();
    EXPECT_EQ(End().Text(), QStringLiteral("Mon 07-12-26  23:15"));
}

TEST_F(FormTimerTest, ZeroDurationTurnsEndRedAndSaveBeeps) {
    NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);

    form.DurationButton(0)->click();
    EXPECT_TRUE(Red(End()));
    EXPECT_FALSE(Red(Begin()));

    form.BitBtnSave->click();
    EXPECT_EQ(beeps_, 1);
    EXPECT_EQ(dialog_result_, 1);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(End().hasFocus());
    EXPECT_EQ(TimerField("RepeatedOrg").AsLargeint(), 0);
    EXPECT_EQ(host_.last_end, 0.0);

    form.DurationButton(15)->click();
    EXPECT_FALSE(Red(End()));
    form.BitBtnSave->click();
    EXPECT_EQ(beeps_, 1);
    EXPECT_EQ(dialog_result_, 0);
}

TEST_F(FormTimerTest, PastBeginOpensNormalButTurnsRedOnlyBeyondTwoMinutesAfterAChange) {
    // Opened with a begin long past: normal colours, and it saves unchanged.
    EditStoredTimer(At(2026, 12, 1, 20, 0), At(2026, 12, 1, 21, 0), 0);
    TFormTimer& form = Open(false);
    EXPECT_FALSE(Red(Begin()));

    Begin().SetValue(IncMinute(now_, -1));
    EXPECT_FALSE(Red(Begin()));
    Begin().SetValue(IncMinute(now_, -3));
    EXPECT_TRUE(Red(Begin()));
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), IncMinute(now_, -3)));

    form.OpslaanExecute();
    EXPECT_EQ(beeps_, 1);
    EXPECT_EQ(dialog_result_, 1);
    EXPECT_TRUE(Begin().hasFocus());

    Begin().SetValue(IncMinute(now_, -2));
    EXPECT_FALSE(Red(Begin()));
}

TEST_F(FormTimerTest, TimeInTheSkippedSpringHourShowsAsTheClockReadsIt) {
    // Central Europe: 02:00-02:59 local does not exist on 2027-03-28; 02:30 names 01:30 UTC,
    // which the clock shows as 03:30. The repeated autumn hour stays as typed.
    const auto zone = platform::ParsePosixTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    ASSERT_TRUE(zone.has_value());
    host_.conversion = platform::TimeConversionSettings{0, true, *zone};
    EditStoredTimer(At(2027, 3, 27, 20, 0), At(2027, 3, 27, 21, 0), 0);
    Open(false);

    Begin().SetValue(At(2027, 3, 28, 2, 30));
    EXPECT_TRUE(SameMillisecond(Begin().Value(), At(2027, 3, 28, 3, 30)));
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), At(2027, 3, 28, 3, 30)));
    End().SetValue(At(2027, 3, 28, 2, 45));
    EXPECT_TRUE(SameMillisecond(End().Value(), At(2027, 3, 28, 3, 45)));

    Begin().SetValue(At(2027, 10, 31, 2, 30));
    EXPECT_TRUE(SameMillisecond(Begin().Value(), At(2027, 10, 31, 2, 30)));
    Begin().SetValue(At(2027, 3, 28, 1, 59));
    EXPECT_TRUE(SameMillisecond(Begin().Value(), At(2027, 3, 28, 1, 59)));
}

TEST_F(FormTimerTest, ColouredTextsStayReadable) {
    NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);
    // The hour captions keep their yellow hue, dark enough for the button face.
    for (const int tag : {0, 60, 120}) {
        SCOPED_TRACE(tag);
        auto* button = form.findChild<QPushButton*>(QStringLiteral("Button%1").arg(tag));
        ASSERT_NE(button, nullptr);
        const QColor text = button->palette().color(QPalette::ButtonText);
        const QColor face = button->palette().color(QPalette::Button);
        EXPECT_GE(controls::ContrastRatio(text, face), controls::kReadableContrast);
        EXPECT_NEAR(text.toHsl().hslHueF(), QColor(Qt::yellow).toHsl().hslHueF(), 0.02);
        EXPECT_TRUE(button->font().bold());
    }
    // A picker marked red keeps its text readable on the red.
    Begin().SetValue(IncMinute(now_, -30));
    ASSERT_TRUE(Red(Begin()));
    EXPECT_GE(controls::ContrastRatio(Begin().palette().color(QPalette::Text), Begin().Color()),
              controls::kReadableContrast);
}

TEST_F(FormTimerTest, UnchangedPastTimerSaves) {
    EditStoredTimer(At(2026, 12, 1, 20, 0), At(2026, 12, 1, 21, 0), 0);
    TFormTimer& form = Open(false);
    form.OpslaanExecute();
    EXPECT_EQ(beeps_, 0);
    EXPECT_EQ(dialog_result_, 0);
}

TEST_F(FormTimerTest, CtrlMinusAndPlusStepOnlyThePickerWithTheKeyByAnHour) {
    const double begin = At(2026, 12, 7, 20, 30);
    const double end = At(2026, 12, 7, 22, 30);
    NewTimer(begin, end);
    Open(true);

    End().setFocus();
    QTest::keyClick(End().LineEdit(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), IncHour(end, -1)));
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), begin));

    QTest::keyClick(End().LineEdit(), Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier);
    QTest::keyClick(End().LineEdit(), Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), IncHour(end, 1)));
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), begin));
}

TEST_F(FormTimerTest, PlusAndMinStepTheFocusedPickerByFiveMinutes) {
    const double begin = At(2026, 12, 7, 20, 30);
    const double end = At(2026, 12, 7, 22, 30);
    NewTimer(begin, end);
    TFormTimer& form = Open(true);

    form.DBEdit2->setFocus();
    form.PlusExecute();
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), begin));
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), end));

    Begin().setFocus();
    ASSERT_TRUE(Begin().hasFocus());
    form.PlusExecute();
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), IncMinute(begin, 5)));

    // Alt+minus reaches MinExecute through the mnemonic of the hidden button.
    QTest::keyClick(Begin().LineEdit(), Qt::Key_Minus, Qt::AltModifier);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return SameMillisecond(TimerField("Begin").AsDateTime(), begin); }));
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), end));
}

TEST_F(FormTimerTest, CancelLeavesDialogResultOneAndCallerCancelRestoresRow) {
    const double begin = At(2026, 12, 7, 20, 30);
    const double end = At(2026, 12, 7, 22, 30);
    enum class Way { Button, CtrlCInTextField, CloseBox };
    for (const Way way : {Way::Button, Way::CtrlCInTextField, Way::CloseBox}) {
        SCOPED_TRACE(static_cast<int>(way));
        EditStoredTimer(begin, end, 0, "News");
        dialog_result_ = 1;
        TFormTimer& form = Open(false);

        form.DBEdit2->setFocus();
        form.DBEdit2->selectAll();
        QTest::keyClicks(form.DBEdit2, "Sport");
        form.DurationButton(45)->click();
        EXPECT_EQ(TimerField("Name").AsString(), "Sport");

        switch (way) {
            case Way::Button:
                form.BitBtnCancel->click();
                break;
            case Way::CtrlCInTextField:
                QTest::keyClick(form.DBEdit2, Qt::Key_C, Qt::ControlModifier);
                break;
            case Way::CloseBox:
                form.close();
                break;
        }
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(dialog_result_, 1);

        Timers().Cancel();
        EXPECT_EQ(TimerField("Name").AsString(), "News");
        EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), end));
        form_.reset();
    }
}

TEST_F(FormTimerTest, TypedNameIsCutToFortyCharacters) {
    NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
    TFormTimer& form = Open(true);
    form.DBEdit2->setFocus();
    QTest::keyClicks(form.DBEdit2, QString(45, QLatin1Char('x')));
    EXPECT_EQ(TimerField("Name").AsString(), std::string(40, 'x'));
}

}  // namespace
}  // namespace tapir::app::testing

namespace tapir::app::testing {
namespace {

class RealDialogsTest : public FormTest {
  protected:
    platform::ScopedClockPin clock_{At(2026, 12, 7, 16, 0)};
};

TEST_F(RealDialogsTest, AppendPathRunsChannelThenTimerDialogOnTheSameRow) {
    const int id = AddBouquet("Dutch");
    AddChannel(id, "NPO 1", "1:0:1:FA1:3F2:1:C00000:0:0:0:");
    RealTimerDialogs dialogs(host_);
    Timers().Append();

    int result = 1;
    ScriptModal<TFormSelectZender>([](TFormSelectZender& form) { form.SelectExecute(); });
    dialogs.ShowChannelDialog(result);
    ASSERT_EQ(result, 0);

    result = 1;
    QString caption;
    ScriptModal<TFormTimer>([&caption](TFormTimer& form) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form.Timer1->isActive(); }));
        caption = form.windowTitle();
        form.DurationButton(30)->click();
        form.OpslaanExecute();
    });
    dialogs.ShowTimerDialog(result, true);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(caption, QStringLiteral("New Timer"));
    EXPECT_EQ(TimerField("Zender").AsString(), "NPO 1");
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), At(2026, 12, 7, 21, 0)));
    EXPECT_TRUE(SameMillisecond(host_.last_end, At(2026, 12, 7, 21, 0)));
    Timers().Post();
    EXPECT_EQ(Timers().RecordCount(), 1);
}

}  // namespace
}  // namespace tapir::app::testing
