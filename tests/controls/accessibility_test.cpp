#include "controls/accessibility.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tapir::controls {
namespace {

TEST(Accessibility, SpokenCaptionDropsMarkersAndColon) {
    EXPECT_EQ(SpokenCaption(QStringLiteral("&Begin:")), QStringLiteral("Begin"));
    EXPECT_EQ(SpokenCaption(QStringLiteral("&Save && Exit")), QStringLiteral("Save & Exit"));
    EXPECT_EQ(SpokenCaption(QStringLiteral(" Dreambox IP ")), QStringLiteral("Dreambox IP"));
    EXPECT_EQ(SpokenCaption(QStringLiteral("Time offset: :")), QStringLiteral("Time offset"));
    EXPECT_EQ(SpokenCaption(QString()), QString());
}

TEST(Accessibility, FindsInputsWithoutOrWithSharedNames) {
    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* group = new QGroupBox(QStringLiteral("Box:"), &dialog);
    auto* group_layout = new QVBoxLayout(group);
    auto* address = new QLineEdit(group);
    address->setObjectName(QStringLiteral("address"));
    auto* user = new QLineEdit(group);
    user->setObjectName(QStringLiteral("user"));
    group_layout->addWidget(address);
    group_layout->addWidget(user);
    layout->addWidget(group);
    auto* offset = new QSpinBox(&dialog);
    offset->setObjectName(QStringLiteral("offset"));
    layout->addWidget(offset);
    auto* automatic = new QCheckBox(QStringLiteral("&Automatic"), &dialog);
    layout->addWidget(automatic);
    auto* save = new QPushButton(QStringLiteral("&Save"), &dialog);
    layout->addWidget(save);

    // Unnamed line edits and spin box are found; the check box and button speak their text.
    const QStringList before = InputsWithoutOwnName(dialog);
    EXPECT_TRUE(before.filter(QStringLiteral("offset")).size() == 1)
        << before.join('\n').toStdString();
    EXPECT_EQ(before.filter(QStringLiteral("Automatic")).size(), 0);
    EXPECT_EQ(before.filter(QStringLiteral("QPushButton")).size(), 0);

    NameFromCaption(*address, QStringLiteral("Dreambox IP"));
    NameFromCaption(*user, QStringLiteral("Dreambox IP"));
    NameFromCaption(*offset, QStringLiteral("Time &offset:"));
    EXPECT_EQ(AnnouncedName(*offset), QStringLiteral("Time offset"));
    const QStringList shared = InputsWithoutOwnName(dialog);
    ASSERT_EQ(shared.size(), 1) << shared.join('\n').toStdString();
    EXPECT_TRUE(shared[0].contains(QStringLiteral("also"))) << shared[0].toStdString();

    // A label's buddy takes the label's text too.
    auto* user_label = new QLabel(QStringLiteral("&Username:"), group);
    user_label->setBuddy(user);
    user->setAccessibleName(QString());
    group_layout->addWidget(user_label);
    EXPECT_TRUE(InputsWithoutOwnName(dialog).isEmpty())
        << InputsWithoutOwnName(dialog).join('\n').toStdString();
}

}  // namespace
}  // namespace tapir::controls
