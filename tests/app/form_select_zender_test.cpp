#include "app/form_select_zender.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <memory>

#include "controls/db_list_view.h"
#include "form_test_support.h"

namespace tapir::app::testing {
namespace {

using platform::SameMillisecond;

struct BeginCase {
    const char* label;
    double now;
    double last_end;
    double expected;
};

TEST(ProposedBegin, FollowsTheEveningRuleRoundingAndLastEnd) {
    const BeginCase cases[] = {
        {"early afternoon: now rounded up, seconds kept", At(2026, 12, 7, 14, 3, 27), 0.0,
         At(2026, 12, 7, 14, 10, 27)},
        {"four and a half hours before 20:30", At(2026, 12, 7, 16, 0), 0.0,
         At(2026, 12, 7, 20, 30)},
        {"five whole hours before 20:30", At(2026, 12, 7, 15, 29), 0.0, At(2026, 12, 7, 15, 30)},
        {"less than five hours before 20:30", At(2026, 12, 7, 15, 31), 0.0,
         At(2026, 12, 7, 20, 30)},
        {"after 20:30 on a ten-minute mark", At(2026, 12, 7, 21, 0), 0.0, At(2026, 12, 7, 21, 0)},
        {"after 20:30 with seconds", At(2026, 12, 7, 20, 31, 10), 0.0, At(2026, 12, 7, 20, 40, 10)},
        {"last end later than now wins unrounded", At(2026, 12, 7, 16, 0), At(2026, 12, 7, 23, 15),
         At(2026, 12, 7, 23, 15)},
        {"last end earlier than now is ignored", At(2026, 12, 7, 16, 0), At(2026, 12, 7, 15, 3),
         At(2026, 12, 7, 20, 30)},
        {"late evening rounds into the next day", At(2026, 12, 7, 23, 55), 0.0,
         At(2026, 12, 8, 0, 0)},
    };
    for (const BeginCase& c : cases) {
        SCOPED_TRACE(c.label);
        const double got = ProposedBegin(c.now, c.last_end);
        EXPECT_TRUE(SameMillisecond(got, c.expected))
            << platform::DateTimeText(got) << " expected " << platform::DateTimeText(c.expected);
    }
}

class FormSelectZenderTest : public FormTest {
  protected:
    void SetUp() override {
        FormTest::SetUp();
        Timers().Append();  // as TimersAfterInsert finds it
    }

    void TearDown() override {
        form_.reset();
        FormTest::TearDown();
    }

    void AddBouquets(int count) {
        for (int i = 0; i < count; ++i) {
            const int id = AddBouquet("Bouquet " + std::to_string(i + 1));
            for (int c = 0; c <= i % 3; ++c) {
                AddChannel(id, "Ch " + std::to_string(i + 1) + "." + std::to_string(c + 1),
                           "1:0:1:" + std::to_string(100 + 10 * i + c) + ":3:85:C00000:0:0:0:");
            }
        }
        host_.tables.Bouquet.First();
    }

    TFormSelectZender& Open() {
        form_ = std::make_unique<TFormSelectZender>(host_, dialog_result_);
        form_->Beep = [this] { ++beeps_; };
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        form_->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(form_.get()));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !form_->Timer1->isActive(); }));
        return *form_;
    }

    platform::ScopedClockPin clock_{At(2026, 12, 7, 16, 0)};
    int dialog_result_ = 1;
    int beeps_ = 0;
    std::unique_ptr<TFormSelectZender> form_;
};

TEST_F(FormSelectZenderTest, BouquetListHeightFollowsTheNumberOfBouquets) {
    EXPECT_EQ(TFormSelectZender::BouquetListHeight(2), 55);
    EXPECT_EQ(TFormSelectZender::BouquetListHeight(7), 123);
    for (const int count : {2, 7}) {
        SCOPED_TRACE(count);
        host_.tables.DropAll();
        host_.tables.OpenAll();
        Timers().Append();
        AddBouquets(count);
        TFormSelectZender& form = Open();
        EXPECT_EQ(form.wwDBGrid1->height(), count == 2 ? 55 : 123);
        EXPECT_EQ(form.wwDBGrid1->model()->rowCount(), count);
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Select channel"));
        form_.reset();
    }
}

TEST_F(FormSelectZenderTest, GrowsWithTheListsTakingTheRoom) {
    AddBouquets(20);
    TFormSelectZender& form = Open();
    const QSize designed = form.size();
    EXPECT_EQ(form.minimumSize(), designed);
    EXPECT_GT(form.maximumSize().height(), designed.height());
    EXPECT_GT(form.maximumSize().width(), designed.width());
    EXPECT_EQ(form.wwDBGrid1->height(), 123);

    const int channels_before = form.wwDBGrid2->height();
    form.resize(designed.width() + 200, designed.height() + 300);
    QTest::qWait(10);
    EXPECT_EQ(form.wwDBGrid2->height(), channels_before + 300);
    EXPECT_EQ(form.wwDBGrid1->width(), designed.width() + 200);

    // The splitter hands room to the bouquets, at most enough for all twenty of them.
    auto* splitter = qobject_cast<QSplitter*>(form.wwDBGrid1->parentWidget());
    ASSERT_NE(splitter, nullptr);
    splitter->setSizes({2000, 100});
    QTest::qWait(10);
    EXPECT_EQ(form.wwDBGrid1->height(), 20 * 17 + 21);
}

TEST_F(FormSelectZenderTest, ListsAndButtonsHaveAccessibleNames) {
    AddBouquets(2);
    TFormSelectZender& form = Open();
    EXPECT_EQ(form.wwDBGrid1->accessibleName(), QStringLiteral("Bouquet"));
    EXPECT_EQ(form.wwDBGrid2->accessibleName(), QStringLiteral("Channel"));
    EXPECT_EQ(form.BitBtn1->accessibleName(), QStringLiteral("Select"));
    EXPECT_EQ(form.BitBtn2->accessibleName(), QStringLiteral("Cancel"));
}

TEST_F(FormSelectZenderTest, OpensWithFocusOnChannelListAndFollowsTheBouquet) {
    AddBouquets(3);
    TFormSelectZender& form = Open();
    EXPECT_TRUE(form.wwDBGrid2->hasFocus());
    EXPECT_EQ(form.wwDBGrid2->model()->rowCount(), 1);

    form.wwDBGrid1->setFocus();
    QTest::keyClick(form.wwDBGrid1, Qt::Key_Down);
    QTest::keyClick(form.wwDBGrid1, Qt::Key_Down);
    EXPECT_EQ(host_.tables.Bouquet.FieldByName("Bouquet").AsString(), "Bouquet 3");
    EXPECT_EQ(form.wwDBGrid2->model()->rowCount(), 3);
    EXPECT_EQ(form.wwDBGrid2->model()->index(2, 0).data().toString(), QStringLiteral("Ch 3.3"));
}

TEST_F(FormSelectZenderTest, SelectFillsTheNewRowWithChannelAndDefaults) {
    AddBouquets(2);
    host_.tables.Bouquet.Next();
    TFormSelectZender& form = Open();
    form.wwDBGrid2->setFocus();
    QTest::keyClick(form.wwDBGrid2, Qt::Key_Down);
    ASSERT_EQ(host_.tables.Zenders.FieldByName("Zender").AsString(), "Ch 2.2");

    form.BitBtn1->click();
    EXPECT_EQ(dialog_result_, 0);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(TimerField("Zender").AsString(), "Ch 2.2");
    EXPECT_EQ(TimerField("Serviceref").AsString(),
              host_.tables.Zenders.FieldByName("Service").AsString());
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), At(2026, 12, 7, 20, 30)));
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), At(2026, 12, 7, 22, 30)));
    EXPECT_EQ(TimerField("RepeatedOrg").AsLargeint(), 0);
    EXPECT_EQ(TimerField("Afterevent").AsString(), "nothing");
    EXPECT_EQ(TimerField("Justplay").AsLargeint(), 0);
    EXPECT_EQ(TimerField("Disabled").AsLargeint(), 0);
    EXPECT_EQ(TimerField("Eit").AsLargeint(), 98);
    EXPECT_TRUE(TimerField("Name").IsNull());
    EXPECT_TRUE(TimerField("Description").IsNull());
}

TEST_F(FormSelectZenderTest, LastEndLaterThanNowBecomesTheBegin) {
    AddBouquets(1);
    host_.last_end = At(2026, 12, 7, 23, 15);
    Open().SelectExecute();
    EXPECT_TRUE(SameMillisecond(TimerField("Begin").AsDateTime(), At(2026, 12, 7, 23, 15)));
    EXPECT_TRUE(SameMillisecond(TimerField("End").AsDateTime(), At(2026, 12, 8, 1, 15)));
}

TEST_F(FormSelectZenderTest, EnterSelectsInTheChannelListOnly) {
    AddBouquets(2);
    TFormSelectZender& form = Open();

    form.wwDBGrid1->setFocus();
    QTest::keyClick(form.wwDBGrid1, Qt::Key_Return);
    EXPECT_EQ(dialog_result_, 1);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(TimerField("Zender").IsNull());

    form.wwDBGrid2->setFocus();
    QTest::keyClick(form.wwDBGrid2, Qt::Key_Return);
    EXPECT_EQ(dialog_result_, 0);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(TimerField("Zender").AsString(), "Ch 1.1");
}

TEST_F(FormSelectZenderTest, DoubleClickInTheChannelListSelects) {
    AddBouquets(1);
    TFormSelectZender& form = Open();
    const QRect cell = form.wwDBGrid2->visualRect(form.wwDBGrid2->model()->index(0, 0));
    QTest::mouseDClick(form.wwDBGrid2->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(dialog_result_, 0);
    EXPECT_EQ(TimerField("Zender").AsString(), "Ch 1.1");
}

TEST_F(FormSelectZenderTest, SelectWithoutAChannelBeepsAndFillsNothing) {
    // No bouquets at all, then a bouquet without channels.
    for (const bool with_empty_bouquet : {false, true}) {
        SCOPED_TRACE(with_empty_bouquet);
        if (with_empty_bouquet) {
            AddBouquet("Empty");
        }
        TFormSelectZender& form = Open();
        form.BitBtn1->click();
        EXPECT_EQ(dialog_result_, 1);
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(TimerField("Begin").IsNull());
        EXPECT_TRUE(TimerField("Serviceref").IsNull());
        form_.reset();
    }
    EXPECT_EQ(beeps_, 2);
}

TEST_F(FormSelectZenderTest, CancelAndCloseBoxLeaveTheRowUntouched) {
    AddBouquets(1);
    for (const bool close_box : {false, true}) {
        SCOPED_TRACE(close_box);
        TFormSelectZender& form = Open();
        if (close_box) {
            form.close();
        } else {
            form.BitBtn2->click();
        }
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(dialog_result_, 1);
        EXPECT_TRUE(TimerField("Zender").IsNull());
        form_.reset();
    }
}

}  // namespace
}  // namespace tapir::app::testing
