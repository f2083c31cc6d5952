#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCalendarWidget>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "controls/db_combo_box.h"
#include "controls/db_date_time_picker.h"
#include "controls/db_edit.h"
#include "controls/db_list_view.h"
#include "controls/db_spin_edit.h"
#include "controls_test_support.h"

namespace tapir::controls::testing {
namespace {

using platform::EncodeDateTime;
using platform::IncMinute;
using platform::SameMillisecond;

class DbEditTest : public ControlsTest {};

TEST_F(DbEditTest, ShowsTheCurrentRowAndFollowsTheDataset) {
    AddRow("alpha", 0, "", 0);
    AddRow("beta", 0, "", 0);
    DbEdit edit;
    edit.Bind(&source_, "Name");
    EXPECT_EQ(edit.text(), QStringLiteral("beta"));
    table_.First();
    EXPECT_EQ(edit.text(), QStringLiteral("alpha"));
    table_.Edit();
    Field("Name").SetAsString("gamma");
    EXPECT_EQ(edit.text(), QStringLiteral("gamma"));
    table_.Cancel();
    EXPECT_EQ(edit.text(), QStringLiteral("alpha"));
}

TEST_F(DbEditTest, TypingWritesTheFieldOnlyWhileEditing) {
    AddRow("alpha", 0, "", 0);
    DbEdit edit;
    edit.Bind(&source_, "Name");
    edit.show();
    EXPECT_EQ(edit.maxLength(), 10);

    edit.selectAll();
    QTest::keyClicks(&edit, "zz");
    EXPECT_EQ(Field("Name").AsString(), "alpha") << "browse state: the row is not written";
    EXPECT_EQ(edit.text(), QStringLiteral("alpha"));

    table_.Edit();
    EXPECT_EQ(edit.text(), QStringLiteral("alpha"));
    edit.selectAll();
    QTest::keyClicks(&edit, "delta-delta-delta");
    EXPECT_EQ(Field("Name").AsString(), "delta-delt");
    table_.Post();
    EXPECT_EQ(Field("Name").AsString(), "delta-delt");
}

TEST_F(DbEditTest, ReadOnlyFieldTakesNoTypingAndNoTabStop) {
    AddRow("alpha", 0, "", 0);
    table_.Edit();
    DbEdit edit;
    edit.Bind(&source_, "Name");
    edit.SetReadOnlyField(true);
    edit.show();
    QTest::keyClicks(&edit, "x");
    EXPECT_EQ(Field("Name").AsString(), "alpha");
    EXPECT_FALSE(edit.focusPolicy() & Qt::TabFocus);
}

class DbDateTimePickerTest : public ControlsTest {
protected:
    const double when_ = EncodeDateTime(2026, 12, 7, 20, 30);
};

TEST_F(DbDateTimePickerTest, ShowsTheFieldInItsFormatAndFieldChangesAtOnce) {
    AddRow("a", when_, "", 0);
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    EXPECT_EQ(picker.Text(), QStringLiteral("Mon 07-12-26  20:30"));
    QSignalSpy changes(&picker, &DbDateTimePicker::Change);

    table_.Edit();
    Field("When").SetAsDateTime(IncMinute(when_, 90));
    EXPECT_EQ(picker.Text(), QStringLiteral("Mon 07-12-26  22:00"));
    EXPECT_EQ(changes.count(), 1);
    Field("When").SetAsDateTime(IncMinute(when_, 90));
    EXPECT_EQ(changes.count(), 1) << "the same value is no change";
}

TEST_F(DbDateTimePickerTest, SetValueWritesTheRow) {
    AddRow("a", when_, "", 0);
    table_.Edit();
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    QSignalSpy changes(&picker, &DbDateTimePicker::Change);
    picker.SetValue(IncMinute(when_, -15));
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), IncMinute(when_, -15)));
    EXPECT_EQ(changes.count(), 1);
}

TEST_F(DbDateTimePickerTest, TypedTextIsReadWithTheTwoDigitYearWindow) {
    AddRow("a", when_, "", 0);
    table_.Edit();
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    picker.show();
    struct Case {
        const char* typed;
        double expected;
    };
    const Case cases[] = {
        {"Tue 08-12-26  21:15", EncodeDateTime(2026, 12, 8, 21, 15)},
        {"08-12-49 06:05", EncodeDateTime(2049, 12, 8, 6, 5)},
        {"08-12-50 06:05", EncodeDateTime(1950, 12, 8, 6, 5)},
        {"01-01-2031 00:00", EncodeDateTime(2031, 1, 1, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        picker.LineEdit()->selectAll();
        QTest::keyClicks(picker.LineEdit(), QString::fromLatin1(c.typed));
        QTest::keyClick(picker.LineEdit(), Qt::Key_Return);
        EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), c.expected))
            << platform::DateTimeText(Field("When").AsDateTime());
        EXPECT_TRUE(SameMillisecond(picker.Value(), c.expected));
    }
    // Text that is no date leaves the value and shows it again.
    picker.LineEdit()->selectAll();
    QTest::keyClicks(picker.LineEdit(), "tomorrow");
    QTest::keyClick(picker.LineEdit(), Qt::Key_Return);
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), EncodeDateTime(2031, 1, 1, 0, 0)));
    EXPECT_EQ(picker.Text(), QStringLiteral("Wed 01-01-31  00:00"));
}

TEST_F(DbDateTimePickerTest, ArrowKeysStepFiveMinutes) {
    AddRow("a", when_, "", 0);
    table_.Edit();
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    picker.show();
    QTest::keyClick(picker.LineEdit(), Qt::Key_Up);
    QTest::keyClick(picker.LineEdit(), Qt::Key_Up);
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), IncMinute(when_, 10)));
    QTest::keyClick(picker.LineEdit(), Qt::Key_Down);
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), IncMinute(when_, 5)));
    EXPECT_EQ(picker.Text(), QStringLiteral("Mon 07-12-26  20:35"));
}

TEST_F(DbDateTimePickerTest, RowInBrowseStateKeepsItsValue) {
    AddRow("a", when_, "", 0);
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    picker.show();
    QSignalSpy changes(&picker, &DbDateTimePicker::Change);
    QTest::keyClick(picker.LineEdit(), Qt::Key_Up);
    picker.SetValue(IncMinute(when_, 60));
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), when_));
    EXPECT_TRUE(SameMillisecond(picker.Value(), when_));
    EXPECT_EQ(picker.Text(), QStringLiteral("Mon 07-12-26  20:30"));
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(DbDateTimePickerTest, KeyDownHandlerCanTakeAKey) {
    AddRow("a", when_, "", 0);
    table_.Edit();
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    picker.show();
    int seen = 0;
    QObject::connect(&picker, &DbDateTimePicker::KeyDown, [&seen](QKeyEvent* event) {
        ++seen;
        if (event->key() == Qt::Key_Up) {
            event->accept();
        }
    });
    QTest::keyClick(picker.LineEdit(), Qt::Key_Up);
    EXPECT_EQ(seen, 1);
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), when_));
}

TEST_F(DbDateTimePickerTest, CalendarStartsAt2005AndKeepsTheTimeOfDay) {
    AddRow("a", when_, "", 0);
    table_.Edit();
    DbDateTimePicker picker;
    picker.Bind(&source_, "When");
    picker.show();
    QTest::mouseClick(picker.DropDownButton(), Qt::LeftButton);
    QCalendarWidget* calendar = picker.Calendar();
    ASSERT_NE(calendar, nullptr);
    EXPECT_EQ(calendar->minimumDate(), QDate(2005, 1, 1));
    EXPECT_EQ(calendar->selectedDate(), QDate(2026, 12, 7));
    calendar->setSelectedDate(QDate(2027, 1, 15));
    emit calendar->clicked(QDate(2027, 1, 15));
    EXPECT_TRUE(SameMillisecond(Field("When").AsDateTime(), EncodeDateTime(2027, 1, 15, 20, 30)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return picker.Calendar() == nullptr; }));
}

class DbComboBoxTest : public ControlsTest {};

TEST_F(DbComboBoxTest, PickingWritesAndFieldSelects) {
    AddRow("a", 0, "deepstandby", 0);
    table_.Edit();
    DbComboBox combo;
    combo.SetItems({QStringLiteral("nothing"), QStringLiteral("deepstandby")});
    combo.Bind(&source_, "Choice");
    EXPECT_FALSE(combo.isEditable());
    EXPECT_EQ(combo.currentText(), QStringLiteral("deepstandby"));
    combo.setCurrentIndex(0);
    EXPECT_EQ(Field("Choice").AsString(), "nothing");
    Field("Choice").SetAsString("deepstandby");
    EXPECT_EQ(combo.currentIndex(), 1);
    Field("Choice").SetAsString("auto");
    EXPECT_EQ(combo.currentIndex(), -1) << "a value outside the items selects none";
    EXPECT_EQ(Field("Choice").AsString(), "auto");
}

class DbSpinEditTest : public ControlsTest {};

TEST_F(DbSpinEditTest, StandaloneKeepsItsRangeAndBoundWritesTheField) {
    DbSpinEdit spin;
    spin.setRange(0, 23);
    spin.SetValue(7.9);
    EXPECT_EQ(spin.Value(), 7.0);
    spin.SetValue(40);
    EXPECT_EQ(spin.Value(), 23.0);

    AddRow("a", 0, "", 4);
    DbSpinEdit bound;
    bound.setRange(0, 100);
    bound.Bind(&source_, "Count");
    EXPECT_EQ(bound.Value(), 4.0);
    table_.Edit();
    bound.stepUp();
    EXPECT_EQ(Field("Count").AsInteger(), 5);
}

class DbListViewTest : public ControlsTest {};

TEST_F(DbListViewTest, ListsRowsAndKeepsSelectionAndCurrentRowTogether) {
    AddRow("alpha", 0, "", 0);
    AddRow("beta", 0, "", 0);
    AddRow("gamma", 0, "", 0);
    table_.First();
    DbListView list;
    list.Bind(&source_, {{"Name", 30, "Title"}});
    QAbstractItemModelTester tester(list.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    list.show();
    ASSERT_EQ(list.model()->rowCount(), 3);
    EXPECT_EQ(list.model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Title"));
    EXPECT_EQ(list.model()->index(1, 0).data().toString(), QStringLiteral("beta"));
    EXPECT_EQ(list.currentIndex().row(), 0);

    table_.Last();
    EXPECT_EQ(list.currentIndex().row(), 2);

    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Up);
    EXPECT_EQ(Field("Name").AsString(), "beta");

    AddRow("delta", 0, "", 0);
    EXPECT_EQ(list.model()->rowCount(), 4);
    EXPECT_EQ(list.currentIndex().row(), table_.RecNo() - 1);
}

}  // namespace
}  // namespace tapir::controls::testing
