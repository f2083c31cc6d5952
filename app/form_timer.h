#pragma once
// The timer dialog: edits the current row of the timer table (a new row in insert state
// or an existing one in edit state) through bound controls, sets the weekly repetition
// mask from its weekday boxes, checks begin and end, and reports acceptance through the
// caller's DialogResult (0 saved, 1 cancelled or closed).

#include <QDialog>
#include <array>
#include <functional>

class QAction;
class QCheckBox;
class QFrame;
class QKeyEvent;
class QLabel;
class QPushButton;
class QStatusBar;
class QTimer;

namespace tapir::controls {
class DbComboBox;
class DbDateTimePicker;
class DbEdit;
}  // namespace tapir::controls

namespace tapir::app {

class DialogHost;

class TFormTimer : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 372;
    static constexpr int kClientHeight = 276;
    static constexpr int kFillDelayMs = 50;
    // Tags of the duration buttons in minutes: one row per hour, one column per quarter.
    static constexpr std::array<int, 12> kDurationTags = {0,  15,  30,  45,  60,  75,
                                                          90, 105, 120, 135, 150, 165};

    // Requires: host's timer table is in insert or edit state for the whole life of the
    // dialog; dialog_result outlives the dialog.
    TFormTimer(DialogHost& host, int& dialog_result, QWidget* parent = nullptr);
    ~TFormTimer() override;

    // Set by the caller before the dialog is shown.
    bool IsNew = false;
    // Sounds the system beep; tests replace it.
    std::function<void()> Beep;

    // Handlers.
    void Timer1Timer();
    void Button15Click(int tag);
    void CheckBoxRepeatedExit();
    void wwDBDateTimePicker_BeginChange();
    void wwDBDateTimePicker_BeginKeyDown(controls::DbDateTimePicker* picker, QKeyEvent* event);
    void PlusExecute();
    void MinExecute();
    void OpslaanExecute();
    void CancelExecute();

    // The duration button with this tag (see kDurationTags), or nullptr.
    QPushButton* DurationButton(int tag) const;

    // Controls, by their window names.
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    controls::DbEdit* DBEdit1 = nullptr;
    controls::DbEdit* DBEdit2 = nullptr;
    controls::DbDateTimePicker* wwDBDateTimePicker_Begin = nullptr;
    controls::DbDateTimePicker* wwDBDateTimePicker_End = nullptr;
    QCheckBox* CheckBoxRepeated = nullptr;
    QFrame* Panel1 = nullptr;
    std::array<QCheckBox*, 7> DayBoxes{};  // 0 = Monday ... 6 = Sunday
    controls::DbComboBox* wwDBComboBox1 = nullptr;
    QPushButton* ButtonPlus = nullptr;
    QPushButton* ButtonMin = nullptr;
    QFrame* Panel2 = nullptr;
    QPushButton* BitBtnSave = nullptr;
    QPushButton* BitBtnCancel = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* Opslaan = nullptr;
    QAction* Cancel = nullptr;
    QAction* Plus = nullptr;
    QAction* Min = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    bool IsRed(const controls::DbDateTimePicker* picker) const;
    controls::DbDateTimePicker* FocusedPicker() const;

    DialogHost& host_;
    int& dialog_result_;
    std::array<QPushButton*, 12> duration_buttons_{};
};

}  // namespace tapir::app
