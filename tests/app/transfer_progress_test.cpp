// The progress window of a transfer: window-modal over its parent, names the file and the
// bytes so far, keeps the label during waits, and reports the user's Cancel.

#include "app/transfer_progress.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProgressDialog>
#include <QPushButton>
#include <QWidget>

namespace tapir::app {
namespace {

TEST(TransferProgress, ShowsTheFileAndTheBytesUntilCancelled) {
    QWidget window;
    window.show();
    {
        TransferProgress progress(&window, QStringLiteral("Uploading to the receiver"));
        QProgressDialog* dialog = progress.Dialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Uploading to the receiver"));

        EXPECT_TRUE(progress.Work("timers.xml", 4096));
        EXPECT_EQ(dialog->labelText(),
                  QStringLiteral("Uploading to the receiver\ntimers.xml: 4096 bytes"));
        // A wait between files leaves the label as it was.
        EXPECT_TRUE(progress.Work("", 0));
        EXPECT_EQ(dialog->labelText(),
                  QStringLiteral("Uploading to the receiver\ntimers.xml: 4096 bytes"));

        auto* cancel = dialog->findChild<QPushButton*>();
        ASSERT_NE(cancel, nullptr);
        cancel->click();
        EXPECT_TRUE(progress.Cancelled());
        EXPECT_FALSE(progress.Work("timers.xml", 8192));
    }
    // Closed with its owner.
    QCoreApplication::processEvents();
    EXPECT_EQ(window.findChild<QProgressDialog*>(), nullptr);
}

}  // namespace
}  // namespace tapir::app
