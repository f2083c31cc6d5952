#pragma once
// The configuration dialog: edits the box's address, user name, password and the time
// conversion, stores them in the main window's settings and writes config.ini. In
// first-start mode (no config.ini yet) leaving it without a successful save ends the
// application.

#include <QDialog>
#include <QString>
#include <functional>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tapir::controls {
class DbSpinEdit;
}

namespace tapir::app {

class DialogHost;

// The address text with blanks and control characters removed at both ends, if it is a
// dotted IPv4 address, an IPv6 address or a host name that no resolver reads as some other
// address. Empty when refused; `problem` (when given) then says why.
QString AcceptedAddress(const QString& typed, QString* problem = nullptr);

class TFormInstelling : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kClientWidth = 262;
    static constexpr int kClientHeight = 231;
    static constexpr int kFillDelayMs = 10;
    // The offset field's range in hours; a stored offset outside it widens it, so that it
    // survives the dialog unchanged.
    static constexpr int kMinUtcOffset = -12;
    static constexpr int kMaxUtcOffset = 14;

    explicit TFormInstelling(DialogHost& host, QWidget* parent = nullptr);
    ~TFormInstelling() override;

    // Set by the caller before showing, only when config.ini does not exist; cleared by a
    // successful save.
    bool FirstStart = false;
    // True once the settings were stored and written.
    bool Saved() const { return saved_; }

    // Shows a message box with one OK button; tests replace it.
    std::function<void(const QString& text)> ShowMessage;
    // Asks the application to end (first-start mode left without saving).
    std::function<void()> RequestTerminate;

    void Timer1Timer();
    void CheckBox1Click();
    void SaveExecute();
    void CancelExecute();

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit_Ip = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit_User = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Edit_Pass = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLabel* Label4 = nullptr;
    controls::DbSpinEdit* wwDBSpinEdit1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* BitBtn_Ok = nullptr;
    QPushButton* BitBtn_Cancel = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* Save = nullptr;
    QAction* Cancel = nullptr;

    // Every way of closing ends here.
    void done(int result) override;

  private:
    void FormCreate();
    void FormClose();

    DialogHost& host_;
    bool saved_ = false;
};

}  // namespace tapir::app
