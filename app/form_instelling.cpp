#include "app/form_instelling.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "app/dialog_host.h"
#include "controls/accessibility.h"
#include "controls/db_spin_edit.h"
#include "controls/form_layout.h"
#include "controls/handler_guard.h"
#include "platform/exception.h"
#include "platform/host_address.h"
#include "platform/settings.h"

namespace tapir::app {

namespace {

constexpr int kGroupBox1Height = 105;
constexpr int kGroupBox2Height = 88;

// Removes blanks and control characters (everything up to the space) at both ends.
QString TrimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() <= u' ') {
        ++first;
    }
    while (last > first && text[last - 1].unicode() <= u' ') {
        --last;
    }
    return text.mid(first, last - first);
}

// The captions end just left of the fields at x = 96.
constexpr int kCaptionRightEdge = 92;

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
    return controls::MakeFormLabel(parent, text, x, y, kCaptionRightEdge);
}

QLineEdit* MakeEdit(QWidget* parent, const QString& text, int x, int y) {
    auto* edit = new QLineEdit(text, parent);
    edit->setGeometry(x, y, 121, 21);
    return edit;
}

}  // namespace

QString AcceptedAddress(const QString& typed, QString* problem) {
    const QString address = TrimBlanks(typed);
    const QByteArray utf8 = address.toUtf8();
    const platform::HostAddressCheck check =
        platform::CheckHostAddress(std::string_view(utf8.constData(), utf8.size()));
    if (check.kind == platform::HostAddressKind::Invalid) {
        if (problem) {
            *problem = QString::fromStdString(check.problem);
        }
        return {};
    }
    return address;
}

TFormInstelling::TFormInstelling(DialogHost& host, QWidget* parent) : QDialog(parent), host_(host) {
    ShowMessage = [this](const QString& text) {
        QMessageBox::information(this, QCoreApplication::applicationName(), text, QMessageBox::Ok);
    };
    RequestTerminate = [] {
        // Takes effect once the main event loop runs, also when asked before it started.
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    };
    FormCreate();
}

TFormInstelling::~TFormInstelling() = default;

void TFormInstelling::FormCreate() {
    setWindowTitle(QStringLiteral("Configuration"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(kClientWidth, kClientHeight);
    controls::ApplyDesignFont(*this);

    GroupBox1 = new QGroupBox(QStringLiteral("Dreambox: "), this);
    GroupBox1->setGeometry(0, 0, kClientWidth, kGroupBox1Height);
    Label1 = MakeLabel(GroupBox1, QStringLiteral("Dreambox IP"), 24, 28);
    Edit_Ip = MakeEdit(GroupBox1, QStringLiteral("192.168.1.1"), 96, 24);
    Label2 = MakeLabel(GroupBox1, QStringLiteral("Username:"), 34, 52);
    Edit_User = MakeEdit(GroupBox1, QStringLiteral("root"), 96, 48);
    Label3 = MakeLabel(GroupBox1, QStringLiteral("Password:"), 36, 72);
    Edit_Pass = MakeEdit(GroupBox1, QString(), 96, 72);
    Edit_Pass->setEchoMode(QLineEdit::Normal);

    GroupBox2 = new QGroupBox(QStringLiteral("UTC time offset: "), this);
    GroupBox2->setGeometry(0, kGroupBox1Height, kClientWidth, kGroupBox2Height);
    Label4 = MakeLabel(GroupBox2, QStringLiteral("Time offset:"), 32, 32);
    wwDBSpinEdit1 = new controls::DbSpinEdit(GroupBox2);
    wwDBSpinEdit1->setGeometry(96, 24, 41, 21);
    wwDBSpinEdit1->setRange(kMinUtcOffset, kMaxUtcOffset);
    wwDBSpinEdit1->setSingleStep(1);
    wwDBSpinEdit1->SetValue(0);
    wwDBSpinEdit1->setEnabled(false);
    const std::pair<QLabel*, QWidget*> captioned[] = {
        {Label1, Edit_Ip}, {Label2, Edit_User}, {Label3, Edit_Pass}, {Label4, wwDBSpinEdit1}};
    for (const auto& [label, input] : captioned) {
        label->setBuddy(input);
        controls::NameFromCaption(*input, label->text());
    }
    CheckBox1 = new QCheckBox(QStringLiteral("Automatic:"), GroupBox2);
    CheckBox1->setLayoutDirection(Qt::RightToLeft);
    {
        // Ends at x 110 as designed, reaching further left when the face needs it.
        const int width = std::max(71, CheckBox1->sizeHint().width());
        CheckBox1->setGeometry(110 - width, 56, width, 17);
    }
    CheckBox1->setChecked(true);
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this] { controls::RunGuarded(this, [this] { CheckBox1Click(); }); });

    Save = new QAction(QStringLiteral("&Save"), this);
    Cancel = new QAction(QStringLiteral("&Cancel"), this);
    connect(Save, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { SaveExecute(); }); });
    connect(Cancel, &QAction::triggered, this,
            [this] { controls::RunGuarded(this, [this] { CancelExecute(); }); });
    BitBtn_Ok = new QPushButton(Save->text(), this);
    BitBtn_Ok->setGeometry(96, 200, 75, 25);
    BitBtn_Cancel = new QPushButton(Cancel->text(), this);
    BitBtn_Cancel->setGeometry(176, 200, 75, 25);
    for (QPushButton* button : {BitBtn_Ok, BitBtn_Cancel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    connect(BitBtn_Ok, &QPushButton::clicked, Save, &QAction::trigger);
    connect(BitBtn_Cancel, &QPushButton::clicked, Cancel, &QAction::trigger);

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setInterval(kFillDelayMs);
    connect(Timer1, &QTimer::timeout, this,
            [this] { controls::RunGuarded(this, [this] { Timer1Timer(); }); });
    Timer1->start();
}

void TFormInstelling::Timer1Timer() {
    Timer1->stop();
    if (FirstStart) {
        return;
    }
    const platform::Settings& settings = host_.CurrentSettings();
    Edit_Ip->setText(QString::fromStdString(settings.Ip));
    Edit_User->setText(QString::fromStdString(settings.Username));
    Edit_Pass->setText(QString::fromStdString(settings.Password));
    wwDBSpinEdit1->setRange(std::min(kMinUtcOffset, settings.UTC_Offset),
                            std::max(kMaxUtcOffset, settings.UTC_Offset));
    wwDBSpinEdit1->SetValue(settings.UTC_Offset);
    CheckBox1->setChecked(settings.UTC_Auto);
}

void TFormInstelling::CheckBox1Click() { wwDBSpinEdit1->setEnabled(!CheckBox1->isChecked()); }

void TFormInstelling::SaveExecute() {
    QString problem;
    const QString address = AcceptedAddress(Edit_Ip->text(), &problem);
    if (address.isEmpty()) {
        if (ShowMessage) {
            ShowMessage(QStringLiteral("Ongeldig IP adres\n\n") + problem);
        }
        return;
    }
    platform::Settings& settings = host_.CurrentSettings();
    settings.Ip = address.toStdString();
    settings.Username = TrimBlanks(Edit_User->text()).toStdString();
    settings.Password = TrimBlanks(Edit_Pass->text()).toStdString();
    settings.UTC_Offset = static_cast<int32_t>(std::trunc(wwDBSpinEdit1->Value()));
    settings.UTC_Auto = CheckBox1->isChecked();
    try {
        platform::WriteSettings(host_.ConfigPath(), settings);
    } catch (const tapir::Exception& error) {
        if (ShowMessage) {
            ShowMessage(QString::fromStdString(error.Message()));
        }
        return;
    }
    FirstStart = false;
    saved_ = true;
    accept();
}

void TFormInstelling::CancelExecute() { reject(); }

void TFormInstelling::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TFormInstelling::FormClose() {
    if (FirstStart && RequestTerminate) {
        RequestTerminate();
    }
}

}  // namespace tapir::app
