#include "app/form_timer.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "app/dialog_host.h"
#include "boxfiles/box_tables.h"
#include "controls/accessibility.h"
#include "controls/contrast.h"
#include "controls/db_combo_box.h"
#include "controls/db_date_time_picker.h"
#include "controls/db_edit.h"
#include "controls/form_layout.h"
#include "controls/handler_guard.h"
#include "engine/table/field.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/time_zone.h"

namespace tapir::app {

namespace platform = tapir::platform;
using controls::DbDateTimePicker;

namespace {

constexpr int kDayBoxWidth = 33;
constexpr int kDayBoxPitch = 38;
constexpr int kPanelBarHeight = 41;
constexpr int kStatusBarHeight = 19;
constexpr int kMinutesInPastAllowed = 2;
const QColor kAlarmColor = Qt::red;

// The captions end just left of the fields at x = 73.
constexpr int kCaptionRightEdge = 70;

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
    return controls::MakeFormLabel(parent, text, x, y, kCaptionRightEdge);
}

QPushButton* MakeButton(QWidget* parent, const QString& text, const QRect& geometry) {
    auto* button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

bool IsMinusKey(int key) { return key == Qt::Key_Minus; }
bool IsPlusKey(int key) { return key == Qt::Key_Plus || key == Qt::Key_Equal; }

}  // namespace

TFormTimer::TFormTimer(DialogHost& host, int& dialog_result, QWidget* parent)
    : QDialog(parent), host_(host), dialog_result_(dialog_result) {
    Beep = [] { QApplication::beep(); };
    FormCreate();
}

TFormTimer::~TFormTimer() = default;

void TFormTimer::FormCreate() {
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(kClientWidth, kClientHeight);
    controls::ApplyDesignFont(*this);
    boxfiles::BoxTables& tables = host_.Tables();

    Label1 = MakeLabel(this, QStringLiteral("Channel:"), 27, 16);
    DBEdit1 = new controls::DbEdit(this);
    DBEdit1->setGeometry(73, 8, 121, 21);
    DBEdit1->Bind(&tables.Ds_Timers, "Zender");
    DBEdit1->SetReadOnlyField(true);
    DBEdit1->setFocusPolicy(Qt::NoFocus);

    Label2 = MakeLabel(this, QStringLiteral("Description:"), 13, 48);
    DBEdit2 = new controls::DbEdit(this);
    DBEdit2->setGeometry(73, 40, 217, 21);
    DBEdit2->SetMaxFieldLength(40);
    DBEdit2->Bind(&tables.Ds_Timers, "Name");

    Label3 = MakeLabel(this, QStringLiteral("Begin:"), 39, 80);
    wwDBDateTimePicker_Begin = new DbDateTimePicker(this);
    wwDBDateTimePicker_Begin->setGeometry(73, 72, 121, 21);
    wwDBDateTimePicker_Begin->SetDisplayFormat(boxfiles::kTimerDateTimeFormat);
    wwDBDateTimePicker_Begin->Bind(&tables.Ds_Timers, "Begin");

    Label4 = MakeLabel(this, QStringLiteral("End:"), 47, 104);
    wwDBDateTimePicker_End = new DbDateTimePicker(this);
    wwDBDateTimePicker_End->setGeometry(73, 104, 121, 21);
    wwDBDateTimePicker_End->SetDisplayFormat(boxfiles::kTimerDateTimeFormat);
    wwDBDateTimePicker_End->Bind(&tables.Ds_Timers, "End");

    QFont big = font();
    big.setPointSize(big.pointSize() + 6);
    big.setBold(true);
    Label5 = controls::MakeFormLabel(this, QStringLiteral("+"), 201, 66);
    Label5->setFont(big);
    Label5->adjustSize();
    Label6 = controls::MakeFormLabel(this, QStringLiteral("<-"), 198, 98);
    Label6->setFont(big);
    Label6->adjustSize();

    for (std::size_t i = 0; i < kDurationTags.size(); ++i) {
        const int tag = kDurationTags[i];
        const int quarter = tag % 60;
        const QString caption = quarter == 0    ? QString::number(tag / 60)
                                : quarter == 15 ? QStringLiteral("1/4")
                                : quarter == 30 ? QStringLiteral("1/2")
                                                : QStringLiteral("3/4");
        const int x = 225 + 32 * (quarter / 15);
        const int y = 72 + 24 * (tag / 60);
        QPushButton* button = MakeButton(this, caption, QRect(x, y, 32, 24));
        button->setObjectName(QStringLiteral("Button%1").arg(tag));
        button->setFocusPolicy(Qt::NoFocus);
        // Their captions repeat from row to row; the name says the whole duration.
        button->setAccessibleName(
            QStringLiteral("End %1 h %2 min after begin").arg(tag / 60).arg(quarter));
        if (quarter == 0) {
            QFont bold = button->font();
            bold.setBold(true);
            button->setFont(bold);
            // Yellow hour captions, in the shade of yellow that stays readable on the
            // button's face.
            QPalette yellow = button->palette();
            yellow.setColor(QPalette::ButtonText,
                            controls::ReadableOn(Qt::yellow, yellow.color(QPalette::Button)));
            button->setPalette(yellow);
        }
        connect(button, &QPushButton::clicked, this,
                [this, tag] { controls::RunGuarded(this, [this, tag] { Button15Click(tag); }); });
        duration_buttons_[i] = button;
    }

    CheckBoxRepeated = new QCheckBox(QStringLiteral("Repeated:"), this);
    CheckBoxRepeated->setLayoutDirection(Qt::RightToLeft);
    {
        // Ends at x 86 as designed, reaching further left when the face needs it.
        const int width = std::max(70, CheckBoxRepeated->sizeHint().width());
        CheckBoxRepeated->setGeometry(86 - width, 152, width, 17);
    }
    connect(CheckBoxRepeated, &QCheckBox::clicked, this,
            [this] { controls::RunGuarded(this, [this] { CheckBoxRepeatedExit(); }); });
    CheckBoxRepeated->installEventFilter(this);

    Panel1 = new QFrame(this);
    const std::array<std::string, 7>& day_names = platform::ShortDayNames();
    int widest = kDayBoxWidth;
    for (int i = 0; i < 7; ++i) {
        // The boxes run Monday .. Sunday; the locale's names start at Sunday.
        auto* box = new QCheckBox(QString::fromStdString(day_names[(i + 1) % 7]), Panel1);
        box->setLayoutDirection(Qt::RightToLeft);
        box->setStyleSheet(QStringLiteral("QCheckBox { spacing: 2px; }"));
        widest = std::max(widest, box->sizeHint().width());
        DayBoxes[i] = box;
    }
    // The designed pitch, or wider when the locale's names need it: no caption is cut.
    const int pitch = std::max(kDayBoxPitch, widest + 2);
    for (int i = 0; i < 7; ++i) {
        DayBoxes[i]->setGeometry(4 + pitch * i, 4, widest, 17);
    }
    Panel1->setGeometry(96, 152, std::max(273, 4 + 7 * pitch), 25);
    // The dialog grows with the boxes.
    const int client_width = std::max(kClientWidth, Panel1->geometry().right() + 4);
    setFixedSize(client_width, kClientHeight);

    Label7 = MakeLabel(this, QStringLiteral("Afterevent:"), 17, 192);
    wwDBComboBox1 = new controls::DbComboBox(this);
    wwDBComboBox1->setGeometry(73, 184, 121, 21);
    // Current boxes write "auto" for every timer they create.
    wwDBComboBox1->SetItems(
        {QStringLiteral("nothing"), QStringLiteral("deepstandby"), QStringLiteral("auto")});
    wwDBComboBox1->setMaxVisibleItems(8);
    wwDBComboBox1->Bind(&tables.Ds_Timers, "Afterevent");

    // Each input is announced by the caption beside it.
    const std::pair<QLabel*, QWidget*> captioned[] = {{Label1, DBEdit1},
                                                      {Label2, DBEdit2},
                                                      {Label3, wwDBDateTimePicker_Begin},
                                                      {Label4, wwDBDateTimePicker_End},
                                                      {Label7, wwDBComboBox1}};
    for (const auto& [label, input] : captioned) {
        label->setBuddy(input);
        controls::NameFromCaption(*input, label->text());
    }

    Opslaan = new QAction(QStringLiteral("&Save"), this);
    Opslaan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    Cancel = new QAction(QStringLiteral("&Cancel"), this);
    Cancel->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    Plus = new QAction(QStringLiteral("&+"), this);
    Min = new QAction(QStringLiteral("&-"), this);
    for (QAction* action : {Opslaan, Cancel}) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }
    connect(Opslaan, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { OpslaanExecute(); }); });
    connect(Cancel, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { CancelExecute(); }); });
    connect(Plus, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { PlusExecute(); }); });
    connect(Min, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { MinExecute(); }); });

    // Reachable only through their mnemonics; they must not take the focus away from the
    // picker they act on.
    ButtonPlus = MakeButton(this, Plus->text(), QRect(0, 0, 1, 1));
    ButtonMin = MakeButton(this, Min->text(), QRect(1, 0, 1, 1));
    for (QPushButton* button : {ButtonPlus, ButtonMin}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setFlat(true);
    }
    connect(ButtonPlus, &QPushButton::clicked, Plus, &QAction::trigger);
    connect(ButtonMin, &QPushButton::clicked, Min, &QAction::trigger);

    Panel2 = new QFrame(this);
    Panel2->setGeometry(0, kClientHeight - kStatusBarHeight - kPanelBarHeight, width(),
                        kPanelBarHeight);
    BitBtnSave = MakeButton(Panel2, Opslaan->text(), QRect(73, 8, 89, 25));
    BitBtnCancel = MakeButton(Panel2, Cancel->text(), QRect(184, 8, 75, 25));
    connect(BitBtnSave, &QPushButton::clicked, Opslaan, &QAction::trigger);
    connect(BitBtnCancel, &QPushButton::clicked, Cancel, &QAction::trigger);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, kClientHeight - kStatusBarHeight, width(), kStatusBarHeight);

    // Ctrl+C cancels the dialog even while the caret is in a text field, which would
    // otherwise keep the key for copying.
    for (QLineEdit* edit :
         {static_cast<QLineEdit*>(DBEdit1), static_cast<QLineEdit*>(DBEdit2),
          wwDBDateTimePicker_Begin->LineEdit(), wwDBDateTimePicker_End->LineEdit()}) {
        edit->installEventFilter(this);
    }

    // Connected after binding: opening the dialog leaves both pickers in the normal colour.
    for (DbDateTimePicker* picker : {wwDBDateTimePicker_Begin, wwDBDateTimePicker_End}) {
        connect(picker, &DbDateTimePicker::Change, this, [this] {
            controls::RunGuarded(this, [this] { wwDBDateTimePicker_BeginChange(); });
        });
        connect(picker, &DbDateTimePicker::KeyDown, this, [this, picker](QKeyEvent* event) {
            controls::RunGuarded(
                this, [this, picker, event] { wwDBDateTimePicker_BeginKeyDown(picker, event); });
        });
    }

    // Tab runs down the dialog as it reads: the day boxes follow Repeated.
    std::vector<QWidget*> tab_order{DBEdit2, wwDBDateTimePicker_Begin, wwDBDateTimePicker_End,
                                    CheckBoxRepeated};
    tab_order.insert(tab_order.end(), DayBoxes.begin(), DayBoxes.end());
    tab_order.insert(tab_order.end(), {wwDBComboBox1, BitBtnSave, BitBtnCancel});
    for (std::size_t i = 1; i < tab_order.size(); ++i) {
        setTabOrder(tab_order[i - 1], tab_order[i]);
    }

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setInterval(kFillDelayMs);
    connect(Timer1, &QTimer::timeout, this,
            [this] { controls::RunGuarded(this, [this] { Timer1Timer(); }); });
    Timer1->start();
}

void TFormTimer::Timer1Timer() {
    Timer1->stop();
    setWindowTitle(IsNew ? QStringLiteral("New Timer") : QStringLiteral("Edit Timer"));
    const int32_t mask = host_.Tables().Timers.FieldByName("RepeatedOrg").AsInteger();
    if (mask <= 0) {
        Panel1->hide();
        return;
    }
    CheckBoxRepeated->setChecked(true);
    CheckBoxRepeatedExit();
    for (int bit = 0; bit < 7; ++bit) {
        if ((mask & (1 << bit)) != 0) {
            DayBoxes[bit]->setChecked(true);
        }
    }
}

void TFormTimer::Button15Click(int tag) {
    engine::TSQLMemTable& timers = host_.Tables().Timers;
    const double begin = timers.FieldByName("Begin").AsDateTime();
    timers.FieldByName("End").SetAsDateTime(platform::IncMinute(begin, tag));
}

void TFormTimer::CheckBoxRepeatedExit() {
    const bool repeated = CheckBoxRepeated->isChecked();
    Panel1->setVisible(repeated);
    if (!repeated) {
        return;
    }
    for (const QCheckBox* box : DayBoxes) {
        if (box->isChecked()) {
            return;
        }
    }
    // DayOfWeek counts Sunday as 1; the boxes start at Monday.
    const double begin = host_.Tables().Timers.FieldByName("Begin").AsDateTime();
    DayBoxes[(platform::DayOfWeek(begin) + 5) % 7]->setChecked(true);
}

void TFormTimer::wwDBDateTimePicker_BeginChange() {
    // A local time that does not exist (the hour skipped when daylight time starts) is
    // stored as the moment it names under the time before the change; show that moment as
    // the clock reads it, so that what the dialog shows is what the box will record.
    const platform::TimeConversionSettings conversion = host_.TimeConversion();
    const platform::LogSink quiet;
    for (DbDateTimePicker* picker : {wwDBDateTimePicker_Begin, wwDBDateTimePicker_End}) {
        const double shown = picker->Value();
        const double real =
            platform::UtcToLocal(platform::LocalToUtc(shown, conversion, quiet), conversion, quiet);
        if (!platform::SameMillisecond(shown, real)) {
            picker->SetValue(real);
        }
    }
    const double begin = wwDBDateTimePicker_Begin->Value();
    const double end = wwDBDateTimePicker_End->Value();
    const double earliest = platform::IncMinute(platform::Now(), -kMinutesInPastAllowed);
    wwDBDateTimePicker_Begin->SetColor(
        platform::CompareDateTime(begin, earliest) >= 0 ? QColor() : kAlarmColor);
    wwDBDateTimePicker_End->SetColor(platform::CompareDateTime(begin, end) < 0 ? QColor()
                                                                               : kAlarmColor);
}

void TFormTimer::wwDBDateTimePicker_BeginKeyDown(DbDateTimePicker* picker, QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    const bool ctrl = (modifiers & Qt::ControlModifier) != 0 && (modifiers & Qt::AltModifier) == 0;
    const bool alt = (modifiers & Qt::AltModifier) != 0 && (modifiers & Qt::ControlModifier) == 0;
    if (ctrl && (IsMinusKey(key) || IsPlusKey(key))) {
        picker->SetValue(platform::IncHour(picker->Value(), IsMinusKey(key) ? -1 : 1));
        event->accept();
    } else if (alt && IsMinusKey(key)) {
        Min->trigger();
        event->accept();
    } else if (alt && key == Qt::Key_Plus) {
        Plus->trigger();
        event->accept();
    }
}

DbDateTimePicker* TFormTimer::FocusedPicker() const {
    for (DbDateTimePicker* picker : {wwDBDateTimePicker_Begin, wwDBDateTimePicker_End}) {
        if (picker->hasFocus()) {
            return picker;
        }
    }
    return nullptr;
}

void TFormTimer::PlusExecute() {
    if (DbDateTimePicker* picker = FocusedPicker()) {
        picker->SetValue(platform::IncMinute(picker->Value(), 5));
    }
}

void TFormTimer::MinExecute() {
    if (DbDateTimePicker* picker = FocusedPicker()) {
        picker->SetValue(platform::IncMinute(picker->Value(), -5));
    }
}

bool TFormTimer::IsRed(const DbDateTimePicker* picker) const { return picker->Color().isValid(); }

void TFormTimer::OpslaanExecute() {
    const bool begin_red = IsRed(wwDBDateTimePicker_Begin);
    if (begin_red || IsRed(wwDBDateTimePicker_End)) {
        (begin_red ? wwDBDateTimePicker_Begin : wwDBDateTimePicker_End)->setFocus();
        if (Beep) {
            Beep();
        }
        return;
    }
    int64_t mask = 0;
    if (CheckBoxRepeated->isChecked()) {
        for (int i = 0; i < 7; ++i) {
            if (DayBoxes[i]->isChecked()) {
                mask += int64_t{1} << i;
            }
        }
    }
    host_.Tables().Timers.FieldByName("RepeatedOrg").SetAsLargeint(mask);
    host_.SetLastEnd(wwDBDateTimePicker_End->Value());
    host_.Log(std::to_string(mask));
    dialog_result_ = 0;
    accept();
}

void TFormTimer::CancelExecute() {
    dialog_result_ = 1;
    reject();
}

QPushButton* TFormTimer::DurationButton(int tag) const {
    for (std::size_t i = 0; i < kDurationTags.size(); ++i) {
        if (kDurationTags[i] == tag) {
            return duration_buttons_[i];
        }
    }
    return nullptr;
}

bool TFormTimer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == CheckBoxRepeated && event->type() == QEvent::FocusOut) {
        CheckBoxRepeatedExit();
    } else if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_C &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier) {
            // Not taken by the text field: the dialog's Ctrl+C shortcut gets it.
            key->ignore();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace tapir::app
