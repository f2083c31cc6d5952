#include "app/main_window.h"

#include "app/real_dialogs.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <exception>
#include <utility>

#include "boxfiles/box_reader.h"
#include "boxfiles/box_tables.h"
#include "boxfiles/timer_writer.h"
#include "controls/db_grid.h"
#include "controls/handler_guard.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"
#include "platform/date_time.h"
#include "platform/exception.h"
#include "transfer/box_transfer.h"
#include "transfer/id_ftp.h"
#include "transfer/id_telnet.h"
#include "transfer/ui_dispatcher.h"

namespace tapir::app {

namespace {

using tapir::engine::dsEdit;
using tapir::engine::dsInsert;
using tapir::engine::TSQLMemDataSet;

constexpr int kClientWidth = 871;
constexpr int kClientHeight = 497;
constexpr int kOuterWidth = 886;
constexpr int kFrameWidth = kOuterWidth - kClientWidth;
constexpr int kFontPointSize = 8;
constexpr int kButtonWidth = 105;
constexpr int kButtonHeight = 25;
constexpr int kDebugLogHeight = 300;
constexpr int kTimer1Interval = 50;
constexpr int kTerminateDelay = 1000;

QString DirWithSlash(const QString& dir) {
    QString cleaned = QDir::cleanPath(QDir(dir).absolutePath());
    if (!cleaned.endsWith(QLatin1Char('/'))) {
        cleaned += QLatin1Char('/');
    }
    return cleaned;
}

// First character upper case, characters 2 to 10 lower case, the rest dropped.
QString CapitalisedDayName(const QString& name) {
    if (name.isEmpty()) {
        return name;
    }
    return name.left(1).toUpper() + name.mid(1, 9).toLower();
}

void DefaultShowMessage(QWidget* parent, const QString& title, const QString& text,
                        bool error_icon) {
    QMessageBox box(error_icon ? QMessageBox::Critical : QMessageBox::NoIcon, title, text,
                    QMessageBox::Ok, parent);
    box.exec();
}

// Cancels a row left in insert or edit state when an error leaves TimersAfterInsert, so
// that the actions, which ignore requests in those states, keep working.
class LeaveEditGuard {
public:
    explicit LeaveEditGuard(TSQLMemDataSet& dataset)
        : dataset_(dataset), exceptions_on_entry_(std::uncaught_exceptions()) {}
    LeaveEditGuard(const LeaveEditGuard&) = delete;
    LeaveEditGuard& operator=(const LeaveEditGuard&) = delete;
    ~LeaveEditGuard() {
        if (std::uncaught_exceptions() <= exceptions_on_entry_) {
            return;
        }
        try {
            const auto state = dataset_.State();
            if (state == dsInsert || state == dsEdit) {
                dataset_.Cancel();
            }
        } catch (...) {
            // The original error is the one to report.
        }
    }

private:
    TSQLMemDataSet& dataset_;
    int exceptions_on_entry_;
};

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    CommandLine result;
    if (!arguments.isEmpty()) {
        result.first_argument = arguments.front();
    }
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--workdir")) {
            result.workdir = arguments[i + 1];
            ++i;
        }
    }
    return result;
}

bool DebugSwitch(const CommandLine& command_line) {
    return command_line.first_argument.toUpper().contains(QLatin1String("DEBUG"));
}

// ---------------------------------------------------------------------------------------
// Construction and layout

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QMainWindow(parent),
      options_(std::move(options)),
      command_line_(ParseCommandLine(options_.arguments)),
      tables_(std::make_unique<tapir::boxfiles::BoxTables>()) {
    if (!options_.show_message) {
        options_.show_message = [this](const QString& title, const QString& text,
                                       bool error_icon) {
            DefaultShowMessage(this, title, text, error_icon);
        };
    }
    if (!options_.beep) {
        options_.beep = [] { QApplication::beep(); };
    }
    if (!options_.request_quit) {
        options_.request_quit = [] {
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        };
    }
    BuildActions();
    BuildControls();

    // Telnet chunks are handed to the UI thread and the reader waits until they are
    // handled. A plain blocking queued call would deadlock when the window joins the reader
    // after the event loop has ended; the dispatcher's Close() releases it instead.
    auto* dispatch_receiver = new QObject(this);
    dispatcher_ = std::make_unique<transfer::UiDispatcher>(
        [dispatch_receiver](std::function<void()> call) {
            QMetaObject::invokeMethod(dispatch_receiver, std::move(call), Qt::QueuedConnection);
        });
    IdFTP1_ = std::make_unique<transfer::TIdFTP>();
    IdFTP1_->OnStatus = transfer::FtpStatusLogger([this](const std::string& line) { Log(line); });
    IdTelnet1_ = std::make_unique<transfer::TIdTelnet>(
        dispatcher_->AsFunction());
    IdTelnet1_->OnConnected = [] {};
    IdTelnet1_->OnDataAvailable = [this](const std::string& text) {
        IdTelnet1DataAvailable(text);
    };

    if (options_.make_dialogs) {
        dialogs_ = options_.make_dialogs(*this);
    } else {
        dialogs_ = std::make_unique<RealTimerDialogs>(*this, options_.request_quit);
    }
    FormCreate();
}

TForm1::~TForm1() {
    // Release a telnet reader that waits for the UI thread, then let it end.
    dispatcher_->Close();
    IdTelnet1_.reset();
    // The grid observes Ds_Timers; detach it before the tables go.
    if (grid_ != nullptr) {
        grid_->SetDataSource(nullptr);
    }
    // The stored tables belong to the process-wide database; a window built later in the
    // same process starts from empty tables.
    try {
        tables_->DropAll();
    } catch (...) {
    }
}

void TForm1::BuildActions() {
    auto make_action = [this](const char* name, const char* caption, const char* hint) {
        auto* action = new QAction(QString::fromUtf8(caption), this);
        action->setObjectName(QString::fromUtf8(name));
        if (hint != nullptr) {
            action->setToolTip(QString::fromUtf8(hint));
            action->setStatusTip(QString::fromUtf8(hint));
        }
        return action;
    };
    append_ = make_action("Append", "&Append", "Append timer event");
    edit_ = make_action("Edit", "&Edit", "Edit timer event");
    delete_ = make_action("Delete", "&Delete", "Delete timer event");
    save_exit_ = make_action("SaveExit", "&Save && Exit",
                             "Save changes to the 7025 and reboot the box!");
    configuration_ = make_action("Configuration1", "Configuration", nullptr);
    close_ = make_action("Close1", "Close", nullptr);

    connect(append_, &QAction::triggered, this, [this] { Guarded([this] { AppendExecute(); }); });
    connect(edit_, &QAction::triggered, this, [this] { Guarded([this] { EditExecute(); }); });
    connect(delete_, &QAction::triggered, this, [this] { Guarded([this] { DeleteExecute(); }); });
    connect(save_exit_, &QAction::triggered, this,
            [this] { Guarded([this] { SaveExitExecute(); }); });
    connect(configuration_, &QAction::triggered, this,
            [this] { Guarded([this] { ConfigurationClick(); }); });
    connect(close_, &QAction::triggered, this, [this] { Guarded([this] { CloseClick(); }); });
}

void TForm1::BuildControls() {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont window_font(QStringLiteral("Sans Serif"), kFontPointSize);
    window_font.setStyleHint(QFont::SansSerif);
    setFont(window_font);

    auto* menu = menuBar()->addMenu(QStringLiteral("Main menu"));
    menuBar()->setObjectName(QStringLiteral("MainMenu1"));
    menu->setObjectName(QStringLiteral("Mainmenu1"));
    menu->addAction(configuration_);
    menu->addAction(close_);

    auto* central = new QWidget(this);
    auto* central_layout = new QVBoxLayout(central);
    central_layout->setContentsMargins(0, 0, 0, 0);
    central_layout->setSpacing(0);

    auto* panel2 = new QWidget(central);
    panel2->setObjectName(QStringLiteral("Panel2"));
    panel2->setFixedHeight(3);
    central_layout->addWidget(panel2);

    group_box_ = new QGroupBox(QStringLiteral("Timers: "), central);
    group_box_->setObjectName(QStringLiteral("GroupBox1"));
    auto* group_layout = new QVBoxLayout(group_box_);
    group_layout->setContentsMargins(2, 2, 2, 2);
    group_layout->setSpacing(0);

    grid_ = new controls::TDBGrid(group_box_);
    grid_->setObjectName(QStringLiteral("wwDBGrid3"));
    group_layout->addWidget(grid_, 1);

    auto* panel1 = new QWidget(group_box_);
    panel1->setObjectName(QStringLiteral("Panel1"));
    panel1->setFixedHeight(kButtonHeight);
    const std::array<std::pair<const char*, QAction*>, 4> buttons{{
        {"BitBtnToevoegen", append_},
        {"BitBtnMuteer", edit_},
        {"BitBtnDelete", delete_},
        {"BitBtnSaveExit", save_exit_},
    }};
    int x = 0;
    for (const auto& [name, action] : buttons) {
        auto* button = new QPushButton(action->text(), panel1);
        button->setObjectName(QString::fromUtf8(name));
        button->setGeometry(x, 0, kButtonWidth, kButtonHeight);
        button->setToolTip(action->toolTip());
        button->setEnabled(action->isEnabled());
        QAction* bound = action;
        connect(button, &QPushButton::clicked, bound, &QAction::trigger);
        connect(bound, &QAction::changed, button, [button, bound] {
            button->setEnabled(bound->isEnabled());
            button->setText(bound->text());
            button->setToolTip(bound->toolTip());
        });
        x += kButtonWidth - 1;
    }
    group_layout->addWidget(panel1);
    central_layout->addWidget(group_box_, 1);

    memo_ = new QPlainTextEdit(central);
    memo_->setObjectName(QStringLiteral("Memo1"));
    memo_->setReadOnly(true);
    memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_->setFixedHeight(1);
    memo_->hide();
    central_layout->addWidget(memo_);

    setCentralWidget(central);

    auto* status = new QStatusBar(this);
    status->setObjectName(QStringLiteral("StatusBar1"));
    status->setSizeGripEnabled(false);
    setStatusBar(status);

    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setSingleShot(true);
    timer1_->setInterval(kTimer1Interval);
    connect(timer1_, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });

    timer_terminate_ = new QTimer(this);
    timer_terminate_->setObjectName(QStringLiteral("TimerTerminate"));
    timer_terminate_->setSingleShot(true);
    connect(timer_terminate_, &QTimer::timeout, this,
            [this] { Guarded([this] { TimerTerminateTimer(); }); });

    setFixedSize(kClientWidth, kClientHeight);
}

// ---------------------------------------------------------------------------------------
// Start-up

void TForm1::FormCreate() {
    bool ready = Guarded([this] {
        // Date formats: every date text of the program follows these.
        platform::SetDateSeparator('-');
        platform::SetShortDateFormat("dd-mm-yyyy");
        platform::SetShortTimeFormat("hh:nn");

        // Outer width 886: the window system adds the frame to the client width.
        setFixedWidth(kOuterWidth - kFrameWidth);

        last_end_ = 0.0;
        change_count_ = 0;

        SetUpDayNames();

        time_zone_info_ = platform::ReadSystemTimeZone();
        for (const std::string& line : platform::TimeZoneStartupLines(time_zone_info_)) {
            Log(line);
        }

        const QString program_dir = command_line_.workdir.isEmpty()
                                        ? DirWithSlash(QCoreApplication::applicationDirPath())
                                        : DirWithSlash(command_line_.workdir);
        config_path_ = (program_dir + QStringLiteral("config.ini")).toStdString();
        if (!QFileInfo::exists(QString::fromStdString(config_path_))) {
            const bool saved = dialogs_ != nullptr && dialogs_->ShowConfigurationDialog(true);
            if (!saved) {
                // Left without saving: the program ends and nothing else of the start-up
                // runs on empty settings.
                terminating_ = true;
                options_.request_quit();
                return;
            }
        }

        ReadSettings();
        program_dir_ = program_dir.toStdString();
        OpenTables();

        if (DebugSwitch(command_line_)) {
            memo_->setFixedHeight(kDebugLogHeight);
            memo_->show();
        }
    });
    if (terminating_) {
        return;
    }
    if (ready) {
        DownloadBoxFiles();
        Guarded([this] { ReadBoxFiles(); });
    }
    Guarded([this] {
        RefreshActionStates();
        timer1_->start();
    });

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - rect().center());
    }
}

void TForm1::SetUpDayNames() {
    // Short weekday names of the user's locale, Sunday first; Qt counts Monday as 1.
    const QLocale locale = QLocale::system();
    std::array<std::string, 7> names;
    for (int i = 0; i < 7; ++i) {
        const int qt_day = i == 0 ? 7 : i;
        names[static_cast<size_t>(i)] =
            CapitalisedDayName(locale.dayName(qt_day, QLocale::ShortFormat)).toStdString();
    }
    platform::SetShortDayNames(names);
    for (int i = 0; i < 7; ++i) {
        tables_->Timers.FieldByName("d" + std::to_string(i))
            .SetDisplayLabel(names[static_cast<size_t>(i)]);
    }
}

void TForm1::OpenTables() {
    // Bouquet first: the channel table's detail link reads it.
    for (engine::TSQLMemTable* table : {&tables_->Bouquet, &tables_->Zenders, &tables_->Timers}) {
        if (!table->Active()) {
            table->Open();
        }
    }
    tables_->Timers.AfterInsert = [this](TSQLMemDataSet& dataset) { TimersAfterInsert(dataset); };
    tables_->Timers.AfterEdit = [this](TSQLMemDataSet& dataset) { TimersAfterInsert(dataset); };

    // The Sunday column ticks like the other days: the calculated flags are booleans,
    // whose text is "True" or "False".
    std::vector<controls::TDBGridColumn> columns{
        {"Zender", 20, "Channel", false, {}},
        {"Name", 40, "Description", false, {}},
        {"Begin", 18, "Begin", false, {}},
        {"End", 18, "End", false, {}},
        {"Repeated", 5, "Repeated", false, {}},
    };
    for (int day : {1, 2, 3, 4, 5, 6, 0}) {
        columns.push_back({"d" + std::to_string(day), 2, {}, true, "True"});
    }
    columns.push_back({"Afterevent", 10, "Afterevent", false, {}});
    grid_->GridModel().SetCellText([](const engine::TField& field) {
        if (field.DataType() == engine::ftDateTime && !field.DisplayFormat().empty() &&
            !field.IsNull()) {
            return platform::FormatDateTime(field.DisplayFormat(), field.AsDateTime());
        }
        return field.AsString();
    });
    grid_->SetColumns(std::move(columns));
    grid_->SetDataSource(&tables_->Ds_Timers);
}

void TForm1::ReadSettings() {
    settings_ = platform::ReadSettings(config_path_);
    setWindowTitle(QString::fromStdString(platform::MainCaption(settings_)));
}

void TForm1::DownloadBoxFiles() {
    // The download reports its own failure and never stops start-up.
    std::string alert;
    try {
        transfer::DownloadBoxFiles(*IdFTP1_, settings_, program_dir_);
        return;
    } catch (const tapir::Exception& error) {
        alert = transfer::DownloadAlertText(error);
    } catch (const std::exception& error) {
        alert = transfer::DownloadAlertText(tapir::Exception("Exception", error.what()));
    }
    options_.beep();
    ShowMessage(QString::fromUtf8(transfer::kAlertCaption), QString::fromStdString(alert), false);
}

void TForm1::ReadBoxFiles() {
    boxfiles::ReadBoxFiles(program_dir_, *tables_, Conversion(),
                           [this](const std::string& line) { Log(line); });
}

platform::TimeConversionSettings TForm1::Conversion() const {
    return platform::TimeConversionSettings{settings_.UTC_Offset, settings_.UTC_Auto,
                                            time_zone_info_};
}

// ---------------------------------------------------------------------------------------
// Handlers

bool TForm1::Guarded(const std::function<void()>& body) {
    return controls::RunGuarded(
        body, [this](const QString& text) { ShowMessage(QStringLiteral("Tapir"), text, true); });
}

void TForm1::ShowMessage(const QString& title, const QString& text, bool error_icon) {
    options_.show_message(title, text, error_icon);
}

bool TForm1::TimersBusy() const {
    const auto state = tables_->Timers.State();
    return state == dsInsert || state == dsEdit;
}

void TForm1::Timer1Timer() {
    timer1_->stop();
    grid_->setFocus(Qt::OtherFocusReason);
}

void TForm1::TimerTerminateTimer() {
    timer_terminate_->stop();
    options_.request_quit();
}

void TForm1::ConfigurationClick() {
    if (dialogs_ != nullptr) {
        dialogs_->ShowConfigurationDialog(false);
    }
    ReadSettings();
}

void TForm1::CloseClick() {
    close();
    options_.request_quit();
}

void TForm1::AppendExecute() {
    if (!TimersBusy()) {
        tables_->Timers.Append();
    }
}

void TForm1::EditExecute() {
    if (!TimersBusy()) {
        tables_->Timers.Edit();
    }
}

void TForm1::DeleteExecute() {
    if (TimersBusy()) {
        return;
    }
    if (tables_->Timers.RecordCount() > 0) {
        tables_->Timers.Delete();
        ++change_count_;
        RefreshActionStates();
    }
}

void TForm1::SaveExitExecute() {
    boxfiles::WriteTimersFile(program_dir_ + "timers.new", tables_->Timers, Conversion(),
                              [this](const std::string& line) { Log(line); });
    transfer::UploadTimersFile(*IdFTP1_, settings_, program_dir_);
    transfer::StartRestart(*IdTelnet1_, settings_);
    // The restart dialogue has one second from here.
    timer_terminate_->setInterval(kTerminateDelay);
    timer_terminate_->start();
}

void TForm1::IdTelnet1DataAvailable(const std::string& text) {
    Guarded([&] {
        transfer::RestartDialogue(settings_.Prompt, *IdTelnet1_,
                                  [this](const std::string& line) { Log(line); })
            .DataAvailable(text);
    });
}

void TForm1::TimersAfterInsert(TSQLMemDataSet& dataset) {
    LeaveEditGuard guard(dataset);
    int DialogResult = 1;
    if (dataset.State() == dsInsert) {
        if (dialogs_ != nullptr) {
            dialogs_->ShowChannelDialog(DialogResult);
        }
        if (DialogResult == 1) {
            dataset.Cancel();
            return;
        }
    }
    DialogResult = 1;
    if (dialogs_ != nullptr) {
        dialogs_->ShowTimerDialog(DialogResult, dataset.State() == dsInsert);
    }
    if (DialogResult == 1) {
        dataset.Cancel();
    } else {
        dataset.Post();
        ++change_count_;
    }
    RefreshActionStates();
}

void TForm1::RefreshActionStates() {
    const bool has_rows = tables_->Timers.Active() && tables_->Timers.RecordCount() > 0;
    edit_->setEnabled(has_rows);
    delete_->setEnabled(has_rows);
    save_exit_->setEnabled(change_count_ != 0);
    append_->setEnabled(true);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // FormClose and FormCloseQuery do nothing: the close box ends the program at once.
    event->accept();
}

// ---------------------------------------------------------------------------------------
// DialogHost and log

tapir::boxfiles::BoxTables& TForm1::Tables() { return *tables_; }

void TForm1::Log(const std::string& line) {
    memo_->appendPlainText(QString::fromUtf8(line));
}

std::string TForm1::MemoText() const { return memo_->toPlainText().toStdString(); }

bool TForm1::DebugLogShown() const { return !memo_->isHidden(); }

}  // namespace tapir::app
