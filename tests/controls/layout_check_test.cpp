#include "tests/support/layout_check.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QWidget>

namespace tapir::testing {
namespace {

// The checker itself: it must see a cut where there is one, and none where there is none.
TEST(LayoutCheck, FindsCutTextsAndOnlyThose) {
    QWidget form;
    form.resize(400, 300);
    auto* label = new QLabel(QStringLiteral("&Description:"), &form);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(10, 10, 200, 20);
    auto* box = new QCheckBox(QStringLiteral("Wednesday"), &form);
    box->setObjectName(QStringLiteral("box"));
    box->setGeometry(10, 40, 200, 20);
    auto* button = new QPushButton(QStringLiteral("&Save"), &form);
    button->setGeometry(10, 70, 75, 25);
    QStandardItemModel model(1, 2);
    model.setHorizontalHeaderLabels({QStringLiteral("Repeated"), QStringLiteral("Mon")});
    auto* view = new QTableView(&form);
    view->setObjectName(QStringLiteral("view"));
    view->setModel(&model);
    view->setGeometry(10, 100, 380, 150);
    view->setColumnWidth(0, 200);
    view->setColumnWidth(1, 200);
    form.show();
    EXPECT_TRUE(CutTexts(form).isEmpty()) << CutTexts(form).join('\n').toStdString();

    label->resize(20, 20);
    box->resize(30, 20);
    view->setColumnWidth(1, 8);
    const QStringList cut = CutTexts(form);
    ASSERT_EQ(cut.size(), 3) << cut.join('\n').toStdString();
    EXPECT_TRUE(cut[0].contains(QStringLiteral("label 'Description:'"))) << cut[0].toStdString();
    EXPECT_TRUE(cut.filter(QStringLiteral("box 'Wednesday'")).size() == 1);
    EXPECT_TRUE(cut.filter(QStringLiteral("view 'Mon'")).size() == 1);

    // Hidden widgets show nothing and so cut nothing.
    label->hide();
    box->hide();
    EXPECT_EQ(CutTexts(form).size(), 1);
}

}  // namespace
}  // namespace tapir::testing
