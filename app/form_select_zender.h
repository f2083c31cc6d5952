#pragma once
// The channel dialog, the first step of appending a timer: the user picks a bouquet and a
// channel from the shared tables; selecting fills the new timer row with the channel and
// default values, including a proposed begin, and reports acceptance through the caller's
// DialogResult (0 selected, 1 cancelled or closed).

#include <QDialog>
#include <functional>

class QAction;
class QFrame;
class QKeyEvent;
class QPushButton;
class QTimer;

namespace tapir::controls {
class DbListView;
}

namespace tapir::app {

class DialogHost;

// The begin proposed for a new timer at `now`: today 20:30 when that lies less than five
// whole hours ahead, else now; rounded up to a whole ten minutes (seconds kept); replaced
// by `last_end` when that lies after now.
double ProposedBegin(double now, double last_end);

class TFormSelectZender : public QDialog {
    Q_OBJECT
public:
    static constexpr int kOuterWidth = 224;
    static constexpr int kOuterHeight = 535;
    static constexpr int kFocusDelayMs = 50;
    static constexpr int kMaxBouquetRowsShown = 6;
    // Two hours, as the default length of a new timer.
    static constexpr double kDefaultLength = 0.083333333333;

    // Requires: host's timer table is in insert state for the whole life of the dialog;
    // dialog_result outlives the dialog.
    TFormSelectZender(DialogHost& host, int& dialog_result, QWidget* parent = nullptr);
    ~TFormSelectZender() override;

    // Height of the bouquet list for `bouquet_count` bouquets.
    static int BouquetListHeight(int bouquet_count);

    // Sounds the system beep; tests replace it.
    std::function<void()> Beep;

    void Timer1Timer();
    void SelectExecute();
    void CancelExecute();
    void wwDBGrid2KeyDown(QKeyEvent* event);

    controls::DbListView* wwDBGrid1 = nullptr;
    controls::DbListView* wwDBGrid2 = nullptr;
    QFrame* Panel1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QTimer* Timer1 = nullptr;
    QAction* Select = nullptr;
    QAction* Cancel = nullptr;

private:
    void FormCreate();

    DialogHost& host_;
    int& dialog_result_;
};

}  // namespace tapir::app
