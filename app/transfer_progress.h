#pragma once
// The progress window of a transfer with the receiver: a window-modal QProgressDialog that
// names the file being moved and the bytes so far, with a Cancel button. The transfers run
// on the UI thread; each progress report pumps the event loop so the window stays painted
// and the button can be pressed. UI thread only.

#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <cstdint>
#include <string>

class QWidget;

namespace tapir::app {

class TransferProgress {
  public:
    // Shows the window over `parent` with `title` ("Downloading", "Uploading" ...).
    TransferProgress(QWidget* parent, const QString& title);
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;
    // Closes the window.
    ~TransferProgress();

    // Shows a step without a byte count (connecting, listing).
    void Step(const QString& text);
    // Reports `bytes_done` of `remote_name` and processes pending events. Returns false once
    // the user pressed Cancel (the transfer is then to be aborted).
    bool Work(const std::string& remote_name, std::uint64_t bytes_done);
    // True once the user pressed Cancel.
    [[nodiscard]] bool Cancelled() const;
    // The window, for tests and scripts; null after it was closed.
    [[nodiscard]] QProgressDialog* Dialog() const { return dialog_; }

  private:
    QPointer<QProgressDialog> dialog_;
    bool cancelled_ = false;
};

}  // namespace tapir::app
