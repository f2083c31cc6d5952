// Every window of the program as a user meets it, at its default size: each input is
// announced by a name of its own, and no caption, check-box text or column title is cut.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/form_instelling.h"
#include "app/form_select_zender.h"
#include "app/form_timer.h"
#include "controls/accessibility.h"
#include "controls/db_combo_box.h"
#include "controls/db_edit.h"
#include "form_test_support.h"
#include "main_window_fixture.h"
#include "tests/support/layout_check.h"

namespace tapir::app::testing {
namespace {

// The widgets Tab visits, in the order it visits them, from the first of the window.
std::vector<QWidget*> TabOrder(QWidget& window) {
    std::vector<QWidget*> order;
    QWidget* widget = &window;
    for (int guard = 0; guard < 500; ++guard) {
        widget = widget->nextInFocusChain();
        if (widget == &window) {
            break;
        }
        if (widget->isVisibleTo(&window) && widget->isEnabled() &&
            (widget->focusPolicy() & Qt::TabFocus) != 0 && widget->focusProxy() == nullptr &&
            widget->width() >= 4) {
            order.push_back(widget);
        }
    }
    return order;
}

// Tab moves down the window, and along a row from left to right.
void ExpectTabFollowsTheLayout(QWidget& window) {
    QPoint previous(-1, -1);
    int previous_height = 0;
    QString previous_name;
    for (QWidget* widget : TabOrder(window)) {
        const QPoint at = widget->mapTo(&window, QPoint(0, 0));
        const QString name = QString::fromLatin1(widget->metaObject()->className()) +
                             QLatin1Char(' ') + controls::AnnouncedName(*widget);
        const bool same_row =
            std::abs(at.y() - previous.y()) < std::min(widget->height(), previous_height) / 2 + 1;
        EXPECT_TRUE(same_row ? at.x() > previous.x() : at.y() > previous.y())
            << name.toStdString() << " at " << at.x() << "," << at.y() << " after "
            << previous_name.toStdString() << " at " << previous.x() << "," << previous.y();
        if (std::getenv("TAPIR_PRINT_TAB_ORDER") != nullptr) {
            std::fprintf(stderr, "tab: %s %d,%d\n", name.toStdString().c_str(), at.x(), at.y());
        }
        previous = at;
        previous_height = widget->height();
        previous_name = name;
    }
}

void ExpectNamedAndWhole(QWidget& window) {
    QTest::qWait(10);
    ExpectTabFollowsTheLayout(window);
    const QStringList unnamed = controls::InputsWithoutOwnName(window);
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(QLatin1Char('\n')).toStdString();
    const QStringList cut = tapir::testing::CutTexts(window);
    EXPECT_TRUE(cut.isEmpty()) << cut.join(QLatin1Char('\n')).toStdString();
}

class DialogFitTest : public FormTest {
  protected:
    platform::ScopedClockPin clock_{At(2026, 12, 7, 16, 0)};
};

TEST_F(DialogFitTest, TimerDialogForANewAndAStoredTimer) {
    for (const bool is_new : {true, false}) {
        SCOPED_TRACE(is_new);
        if (is_new) {
            NewTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30));
        } else {
            EditStoredTimer(At(2026, 12, 7, 20, 30), At(2026, 12, 7, 22, 30), 0x7F);
        }
        int dialog_result = 1;
        TFormTimer form(host_, dialog_result);
        form.IsNew = is_new;
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        ExpectNamedAndWhole(form);
        EXPECT_EQ(controls::AnnouncedName(*form.wwDBComboBox1), QStringLiteral("Afterevent"));
        EXPECT_EQ(controls::AnnouncedName(*form.DBEdit2), QStringLiteral("Description"));
        form.close();
        Timers().Cancel();
    }
}

TEST_F(DialogFitTest, ChannelDialog) {
    const int id = AddBouquet("Favourites (TV)");
    AddChannel(id, "Das Erste HD", "1:0:19:283D:3FB:1:C00000:0:0:0:");
    host_.tables.Bouquet.First();
    Timers().Append();
    int dialog_result = 1;
    TFormSelectZender form(host_, dialog_result);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ExpectNamedAndWhole(form);
}

TEST_F(DialogFitTest, ConfigurationDialog) {
    QTemporaryDir dir;
    host_.config_path = dir.filePath(QStringLiteral("config.ini")).toStdString();
    TFormInstelling form(host_);
    form.FirstStart = true;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ExpectNamedAndWhole(form);
    // Each field by its own caption, not by its group's.
    EXPECT_EQ(controls::AnnouncedName(*form.Edit_Ip), QStringLiteral("Dreambox IP"));
    EXPECT_EQ(controls::AnnouncedName(*form.Edit_User), QStringLiteral("Username"));
    EXPECT_EQ(controls::AnnouncedName(*form.Edit_Pass), QStringLiteral("Password"));
}

class MainWindowFitTest : public MainWindowFixture {};

TEST_F(MainWindowFitTest, MainWindowWithTheDemoFiles) {
    CopyTestFiles();
    WriteConfig("127.0.0.1", false, 1);
    platform::ScopedClockPin now(platform::EncodeDateTime(2027, 1, 10, 12, 0));
    TForm1& form = MakeForm({QStringLiteral("DEBUG")});
    ExpectNamedAndWhole(form);
}

}  // namespace
}  // namespace tapir::app::testing
