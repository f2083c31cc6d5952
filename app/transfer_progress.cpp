#include "app/transfer_progress.h"

#include <QCoreApplication>
#include <QLocale>
#include <QProgressDialog>

namespace tapir::app {

TransferProgress::TransferProgress(QWidget* parent, const QString& title)
    : dialog_(new QProgressDialog(parent)) {
    dialog_->setObjectName(QStringLiteral("TransferProgress"));
    dialog_->setWindowTitle(title);
    dialog_->setLabelText(title);
    dialog_->setCancelButtonText(QStringLiteral("Cancel"));
    // No known total: a busy bar, the label carries the byte count.
    dialog_->setRange(0, 0);
    dialog_->setMinimumDuration(0);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setWindowModality(Qt::WindowModal);
    QObject::connect(dialog_, &QProgressDialog::canceled, dialog_, [this] { cancelled_ = true; });
    dialog_->show();
    QCoreApplication::processEvents();
}

TransferProgress::~TransferProgress() {
    // Never destroyed from inside one of the window's own signals: the transfers call back
    // from their own code, so it can go at once.
    delete dialog_.data();
}

void TransferProgress::Step(const QString& text) {
    if (dialog_ != nullptr) {
        dialog_->setLabelText(text);
    }
    QCoreApplication::processEvents();
}

bool TransferProgress::Work(const std::string& remote_name, std::uint64_t bytes_done) {
    // An empty name is a wait between files (connecting, a reply): the label stays.
    if (dialog_ != nullptr && !cancelled_ && !remote_name.empty()) {
        dialog_->setLabelText(QStringLiteral("%1\n%2: %3 bytes")
                                  .arg(dialog_->windowTitle(), QString::fromStdString(remote_name),
                                       QLocale::c().toString(static_cast<qulonglong>(bytes_done))));
    }
    QCoreApplication::processEvents();
    return !Cancelled();
}

bool TransferProgress::Cancelled() const {
    return cancelled_ || (dialog_ != nullptr && dialog_->wasCanceled());
}

}  // namespace tapir::app
