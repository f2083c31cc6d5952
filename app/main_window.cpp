#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "app/real_dialogs.h"
#include "app/recording_now.h"
#include "app/transfer_progress.h"
#include "boxfiles/box_reader.h"
#include "boxfiles/box_tables.h"
#include "boxfiles/timer_file.h"
#include "boxfiles/timer_overlap.h"
#include "boxfiles/timer_writer.h"
#include "controls/contrast.h"
#include "controls/db_grid.h"
#include "controls/handler_guard.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/exception.h"
#include "platform/profile.h"
#include "platform/program_dir.h"
#include "transfer/box_transfer.h"
#include "transfer/id_ftp.h"
#include "transfer/id_telnet.h"
#include "transfer/local_copies.h"
#include "transfer/timer_backup.h"
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
// Rows of timers that overlap another: a light amber, dark text on it.
const QColor kOverlapBackground(0xFF, 0xD5, 0x80);
// Section of config.ini where the window's size and position are kept.
constexpr char kWindowSection[] = "Window";
constexpr int kTimer1Interval = 50;
constexpr int kTerminateDelay = 1000;
constexpr char kDateTimeShown[] = "dd-mm-yyyy hh:nn";

// An error of the Save & Exit flow whose text is already the whole message for the user.
class ESaveRefused : public tapir::Exception {
  public:
    explicit ESaveRefused(std::string message) : Exception("ESaveRefused", std::move(message)) {}
};

// The local date-time of a file's last change, as the window shows dates; empty when the
// file is missing.
QString FileDateText(const std::string& path) {
    const QFileInfo info(QString::fromStdString(path));
    if (!info.exists()) {
        return {};
    }
    return info.lastModified().toString(QStringLiteral("dd-MM-yyyy HH:mm"));
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SameConversion(const platform::TimeConversionSettings& a,
                    const platform::TimeConversionSettings& b) {
    return a.UTC_Auto == b.UTC_Auto && (a.UTC_Auto || a.UTC_Offset == b.UTC_Offset);
}

bool SameConnection(const platform::Settings& a, const platform::Settings& b) {
    return a.Ip == b.Ip && a.Username == b.Username && a.Password == b.Password &&
           a.FtpPort == b.FtpPort;
}

QString ErrorText(const std::exception& error) {
    if (const auto* own = dynamic_cast<const tapir::Exception*>(&error)) {
        return QString::fromStdString(own->Message());
    }
    return QString::fromUtf8(error.what());
}

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

bool DefaultAsk(QWidget* parent, const QString& title, const QString& text, const QString& yes_text,
                const QString& no_text) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(yes_text, QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(no_text, QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
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
        options_.show_message = [this](const QString& title, const QString& text, bool error_icon) {
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
    if (!options_.ask) {
        options_.ask = [this](const QString& title, const QString& text, const QString& yes_text,
                              const QString& no_text) {
            return DefaultAsk(this, title, text, yes_text, no_text);
        };
    }
    BuildActions();
    BuildControls();

    // Telnet chunks are handed to the UI thread and the reader waits until they are
    // handled. A plain blocking queued call would deadlock when the window joins the reader
    // after the event loop has ended; the dispatcher's Close() releases it instead.
    auto* dispatch_receiver = new QObject(this);
    dispatcher_ =
        std::make_unique<transfer::UiDispatcher>([dispatch_receiver](std::function<void()> call) {
            QMetaObject::invokeMethod(dispatch_receiver, std::move(call), Qt::QueuedConnection);
        });
    IdFTP1_ = std::make_unique<transfer::TIdFTP>();
    IdFTP1_->OnStatus = transfer::FtpStatusLogger([this](const std::string& line) { Log(line); });
    // Every transfer runs under a progress window, which keeps the window painted and
    // passes on the user's Cancel.
    IdFTP1_->OnWork = [this](const std::string& remote_name, std::uint64_t bytes_done) {
        return progress_ == nullptr || progress_->Work(remote_name, bytes_done);
    };
    IdTelnet1_ = std::make_unique<transfer::TIdTelnet>(dispatcher_->AsFunction());
    IdTelnet1_->OnConnected = [] {};
    IdTelnet1_->OnDataAvailable = [this](const std::string& text) { IdTelnet1DataAvailable(text); };

    restart_watch_ = new QTimer(this);
    restart_watch_->setObjectName(QStringLiteral("RestartWatch"));
    restart_watch_->setSingleShot(true);
    connect(restart_watch_, &QTimer::timeout, this,
            [this] { Guarded([this] { RestartWatchTimeout(); }); });

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
    save_exit_ =
        make_action("SaveExit", "&Save && Exit", "Save changes to the 7025 and reboot the box!");
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
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
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
    grid_->setAccessibleName(QStringLiteral("Timers"));
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

    // The diagnostic log sits below the grid; the grid keeps at least half the height.
    log_splitter_ = new QSplitter(Qt::Vertical, central);
    log_splitter_->setObjectName(QStringLiteral("LogSplitter"));
    log_splitter_->setChildrenCollapsible(false);
    log_splitter_->addWidget(group_box_);
    central_layout->addWidget(log_splitter_, 1);

    memo_ = new QPlainTextEdit(log_splitter_);
    memo_->setObjectName(QStringLiteral("Memo1"));
    memo_->setAccessibleName(QStringLiteral("Diagnostic log"));
    memo_->setReadOnly(true);
    memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo_->hide();
    log_splitter_->addWidget(memo_);
    log_splitter_->setStretchFactor(0, 1);
    log_splitter_->setStretchFactor(1, 0);

    setCentralWidget(central);

    auto* status = new QStatusBar(this);
    status->setObjectName(QStringLiteral("StatusBar1"));
    status->setSizeGripEnabled(false);
    status_label_ = new QLabel(status);
    status_label_->setObjectName(QStringLiteral("StatusText"));
    status->addWidget(status_label_, 1);
    overlap_label_ = new QLabel(status);
    overlap_label_->setObjectName(QStringLiteral("OverlapText"));
    status->addPermanentWidget(overlap_label_);
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

    // Opens at the designed size; it may grow, and shrink to half of it.
    setMinimumSize(kClientWidth / 2, kClientHeight / 2);
    resize(kClientWidth, kClientHeight);
}

// ---------------------------------------------------------------------------------------
// Start-up

void TForm1::FormCreate() {
    bool ready = Guarded([this] {
        // Date formats: every date text of the program follows these.
        platform::SetDateSeparator('-');
        platform::SetShortDateFormat("dd-mm-yyyy");
        platform::SetShortTimeFormat("hh:nn");

        last_end_ = 0.0;
        change_count_ = 0;

        SetUpDayNames();

        time_zone_info_ = platform::ReadSystemTimeZone();
        for (const std::string& line : platform::TimeZoneStartupLines(time_zone_info_)) {
            Log(line);
        }

        const QString program_dir = DirWithSlash(QString::fromStdString(
            platform::ResolveProgramDir(command_line_.workdir.toStdString(),
                                        QCoreApplication::applicationDirPath().toStdString(),
                                        [](const char* name) { return std::getenv(name); })));
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
            memo_->show();
        }
        FitWindow();
    });
    if (terminating_) {
        return;
    }
    // The network part waits until the window is on screen, so that the user sees the
    // program and the progress of the download.
    startup_pending_ = ready;
    startup_finished_ = !ready;
    Guarded([this] { RefreshActionStates(); });

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
        {"Zender", 20, "Channel", false, {}},   {"Name", 40, "Description", false, {}},
        {"Begin", 18, "Begin", false, {}},      {"End", 18, "End", false, {}},
        {"Repeated", 5, "Repeated", false, {}},
    };
    for (int day : {1, 2, 3, 4, 5, 6, 0}) {
        columns.push_back({"d" + std::to_string(day), 2, {}, true, "True"});
    }
    columns.push_back({"Afterevent", 10, "Afterevent", false, {}});
    grid_->GridModel().SetCellText([this](const engine::TField& field) {
        if (field.DataType() == engine::ftDateTime && !field.DisplayFormat().empty()) {
            if (!field.IsNull()) {
                return platform::FormatDateTime(field.DisplayFormat(), field.AsDateTime());
            }
            return InvalidTimeText(field);
        }
        return field.AsString();
    });
    grid_->SetColumns(std::move(columns));
    grid_->SetDataSource(&tables_->Ds_Timers);

    // Timers that record at the same time are marked: the receiver may not manage both.
    auto& model = grid_->GridModel();
    connect(&model, &QAbstractItemModel::modelReset, this, [this] { MarkOverlaps(); });
    model.SetRowStyle([this](engine::TSQLMemDataSet& row) {
        controls::TDBGridRowStyle style;
        const auto found = overlaps_.find(OverlapKey(row));
        if (found != overlaps_.end()) {
            style.Background = kOverlapBackground;
            style.Foreground =
                controls::ReadableOn(palette().color(QPalette::Text), kOverlapBackground);
            style.ToolTip = QString::fromStdString(found->second);
        }
        return style;
    });
    MarkOverlaps();
}

std::string TForm1::OverlapKey(engine::TSQLMemDataSet& row) {
    // What tells timers apart in the grid; two timers alike in all of it overlap each other.
    std::string key;
    for (const char* name : {"Begin", "End", "Serviceref", "Name", "RepeatedOrg"}) {
        key += row.FieldByName(name).AsString();
        key += '\x1F';
    }
    return key;
}

void TForm1::MarkOverlaps() {
    overlaps_.clear();
    auto& timers = tables_->Timers;
    if (!timers.Active() || timers.State() != engine::dsBrowse) {
        overlap_label_->clear();
        return;
    }
    std::vector<boxfiles::OverlapTimer> list;
    std::vector<std::string> keys;
    const int count = timers.RecordCount();
    for (int rec_no = 1; rec_no <= count; ++rec_no) {
        timers.ReadRowAt(rec_no, [&] {
            const auto& begin = timers.FieldByName("Begin");
            const auto& end = timers.FieldByName("End");
            if (begin.IsNull() || end.IsNull()) {
                return;
            }
            list.push_back({begin.AsDateTime(), end.AsDateTime(),
                            static_cast<uint32_t>(timers.FieldByName("RepeatedOrg").AsLargeint()),
                            timers.FieldByName("Disabled").AsLargeint() != 0,
                            timers.FieldByName("Name").AsString()});
            keys.push_back(OverlapKey(timers));
        });
    }
    const auto found = boxfiles::FindOverlaps(list, platform::Now());
    int marked = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (!found[i].empty()) {
            overlaps_[keys[i]] = boxfiles::OverlapTooltip(found[i]);
            ++marked;
        }
    }
    overlap_label_->setText(
        marked == 0 ? QString()
                    : QStringLiteral("%1 timers overlap in the coming 14 days").arg(marked));
    grid_->GridModel().RefreshRowStyles();
}

void TForm1::ReadSettings() {
    settings_ = platform::ReadSettings(config_path_);
    setWindowTitle(QString::fromStdString(platform::MainCaption(settings_)));
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!log_split_done_ && !memo_->isHidden()) {
        // Once laid out: the log takes up to kDebugLogHeight, never more than half.
        log_split_done_ = true;
        QTimer::singleShot(0, this, [this] {
            const int total = log_splitter_->height() - log_splitter_->handleWidth();
            const int log = std::min(kDebugLogHeight, total / 2);
            log_splitter_->setSizes({total - log, log});
        });
    }
    if (startup_pending_) {
        startup_pending_ = false;
        QTimer::singleShot(0, this, [this] { RunStartupTransfers(); });
    }
}

void TForm1::RunStartupTransfers() {
    std::vector<std::string> listed;
    const DownloadOutcome outcome = DownloadBoxFiles(listed);
    if (outcome == DownloadOutcome::Completed) {
        Guarded([&] {
            for (const std::string& name :
                 transfer::MoveStaleCopies(program_dir_, listed, platform::Now())) {
                Log("Not listed by the box, moved to " + std::string(transfer::kBackupFolderName) +
                    "/: " + name);
            }
        });
    }
    Guarded([this] { ReadBoxFiles(); });
    ShowStartupStatus(outcome, listed);
    // The rows read may widen the columns (dates, long names).
    FitWindow();
    startup_finished_ = true;
    Guarded([this] {
        RefreshActionStates();
        timer1_->start();
    });
}

TForm1::DownloadOutcome TForm1::DownloadBoxFiles(std::vector<std::string>& listed) {
    // The download reports its own failure and never stops start-up.
    std::string alert;
    TransferProgress progress(this, QStringLiteral("Downloading from the receiver"));
    progress_ = &progress;
    try {
        listed = transfer::DownloadBoxFiles(*IdFTP1_, settings_, program_dir_);
        progress_ = nullptr;
        return DownloadOutcome::Completed;
    } catch (const tapir::Exception& error) {
        alert = transfer::DownloadAlertText(error);
    } catch (const std::exception& error) {
        alert = transfer::DownloadAlertText(tapir::Exception("Exception", error.what()));
    }
    progress_ = nullptr;
    if (progress.Cancelled()) {
        Log("Download cancelled");
        return DownloadOutcome::Cancelled;
    }
    options_.beep();
    ShowMessage(QString::fromUtf8(transfer::kAlertCaption), QString::fromStdString(alert), false);
    return DownloadOutcome::Failed;
}

void TForm1::ShowStartupStatus(DownloadOutcome outcome, const std::vector<std::string>& listed) {
    const std::string timers_path = program_dir_ + transfer::kUploadRemoteName;
    const QString date = FileDateText(timers_path);
    const QString copy = date.isEmpty()
                             ? QStringLiteral("there is no local copy of the timer list")
                             : QStringLiteral("the grid shows the local copy of %1").arg(date);
    QString text;
    if (outcome == DownloadOutcome::Cancelled) {
        text = QStringLiteral("Download cancelled: ") + copy + QLatin1Char('.');
    } else if (outcome == DownloadOutcome::Failed) {
        text = QStringLiteral("Download failed: ") + copy + QLatin1Char('.');
    } else {
        bool timers_listed = false;
        for (const std::string& name : listed) {
            const std::size_t slash = name.rfind('/');
            if ((slash == std::string::npos ? name : name.substr(slash + 1)) ==
                transfer::kUploadRemoteName) {
                timers_listed = true;
            }
        }
        const QString older =
            date.isEmpty() ? copy
                           : QStringLiteral("the grid shows an older local copy of %1").arg(date);
        text = timers_listed
                   ? QStringLiteral("Timers fetched from the receiver.")
                   : QStringLiteral("The timer list could not be fetched from the receiver; ") +
                         older + QLatin1Char('.');
    }
    if (!timers_complete_) {
        text += QStringLiteral(
            " The timer list could not be read completely; Save & Exit will "
            "not upload it.");
    }
    SetStatus(text);
    Log(text.toStdString());
}

void TForm1::SetStatus(const QString& text) { status_label_->setText(text); }

QString TForm1::StatusText() const { return status_label_->text(); }

void TForm1::ReadBoxFiles() {
    shown_conversion_ = Conversion();
    // Until the reader has said otherwise, the list counts as incomplete: Save & Exit must
    // never upload a list that lacks timers the receiver has.
    timers_complete_ = false;
    const boxfiles::BoxReadReport report = boxfiles::ReadBoxFiles(
        program_dir_, *tables_, shown_conversion_, [this](const std::string& line) { Log(line); });
    timers_complete_ = report.timers_complete;
    // The channel lists' error does not stop the timers: both are shown, each once.
    if (!report.channel_error.empty()) {
        ShowMessage(QStringLiteral("Tapir"), QString::fromStdString(report.channel_error), true);
    }
    if (!report.timer_error.empty()) {
        ShowMessage(QStringLiteral("Tapir"), QString::fromStdString(report.timer_error), true);
    }
}

// Empties the tables and reads the local copies again, e.g. after a second download.
void TForm1::ReloadBoxFiles() {
    for (engine::TSQLMemTable* table : {&tables_->Timers, &tables_->Zenders, &tables_->Bouquet}) {
        table->Close();
        table->EmptyTable();
    }
    tables_->TimersRead.Clear();
    OpenTables();
    change_count_ = 0;
    last_end_ = 0.0;
    ReadBoxFiles();
}

std::string TForm1::InvalidTimeText(const engine::TField& field) const {
    // Begin and End are empty only for a timer whose time in the file is no date-time (before
    // 1970, beyond the year 9999 or no number at all); the file's text goes back unchanged.
    const engine::TField* origin = field.DataSet().FindField("Origin");
    if (origin == nullptr || origin->IsNull()) {
        return {};
    }
    const auto& read = tables_->TimersRead.timers;
    const int64_t index = origin->AsLargeint();
    const char* attribute = field.FieldName() == "Begin" ? "begin" : "end";
    const std::string* text = index >= 1 && static_cast<std::size_t>(index) <= read.size()
                                  ? read[static_cast<std::size_t>(index - 1)].Find(attribute)
                                  : nullptr;
    return text == nullptr ? std::string("invalid") : "invalid: " + *text;
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

bool TForm1::Ask(const QString& title, const QString& text, const QString& yes_text,
                 const QString& no_text) {
    return options_.ask(title, text, yes_text, no_text);
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
    SaveWindowGeometry();
    options_.request_quit();
}

void TForm1::ConfigurationClick() {
    const platform::Settings before = settings_;
    if (dialogs_ != nullptr) {
        dialogs_->ShowConfigurationDialog(false);
    }
    ReadSettings();
    if (!startup_finished_ || saving_) {
        return;
    }
    const platform::TimeConversionSettings now_conversion = Conversion();
    if (!SameConversion(shown_conversion_, now_conversion)) {
        // The timers keep their moments on the receiver; only their local times change.
        ReconvertTimers(shown_conversion_, now_conversion);
    }
    if (!SameConnection(before, settings_)) {
        QString text = QStringLiteral(
            "The connection settings have changed. Fetch the receiver's channel lists and "
            "timers again now?");
        if (change_count_ != 0) {
            text += QStringLiteral("\n\nYour unsaved changes to the timers would be lost.");
        }
        if (Ask(QStringLiteral("Tapir"), text, QStringLiteral("&Fetch again"),
                QStringLiteral("&Not now"))) {
            std::vector<std::string> listed;
            const DownloadOutcome outcome = DownloadBoxFiles(listed);
            if (outcome == DownloadOutcome::Completed) {
                for (const std::string& name :
                     transfer::MoveStaleCopies(program_dir_, listed, platform::Now())) {
                    Log("Not listed by the box, moved to " +
                        std::string(transfer::kBackupFolderName) + "/: " + name);
                }
                ReloadBoxFiles();
            }
            ShowStartupStatus(outcome, listed);
            RefreshActionStates();
        }
    }
}

void TForm1::ReconvertTimers(const platform::TimeConversionSettings& from,
                             const platform::TimeConversionSettings& to) {
    auto& timers = tables_->Timers;
    if (!timers.Active()) {
        shown_conversion_ = to;
        return;
    }
    // Row by row through their bookmarks: posting a new Begin may move a row in the order.
    std::vector<engine::TSQLMemBookmark> rows;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        rows.push_back(timers.GetBookmark());
    }
    const auto after_edit = std::move(timers.AfterEdit);
    timers.AfterEdit = nullptr;
    const platform::LogSink quiet;
    auto convert = [&](double local) {
        return platform::UtcToLocal(platform::LocalToUtc(local, from, quiet), to, quiet);
    };
    // Where Begin and End sit among the values a row was read with.
    const auto& names = boxfiles::TimerFieldNames();
    std::vector<std::size_t> time_values;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string field = names[i].field;
        if (field == "Begin" || field == "End") {
            time_values.push_back(i);
        }
    }
    auto& read_values = tables_->TimersRead.read_values;
    try {
        for (const auto& row : rows) {
            timers.GotoBookmark(row);
            const auto before = boxfiles::TimerRowValues(timers);
            auto& origin = timers.FieldByName("Origin");
            const int64_t read_index = origin.IsNull() ? 0 : origin.AsInteger();
            auto& begin = timers.FieldByName("Begin");
            auto& end = timers.FieldByName("End");
            timers.Edit();
            if (!begin.IsNull()) {
                begin.SetAsDateTime(convert(begin.AsDateTime()));
            }
            if (!end.IsNull()) {
                end.SetAsDateTime(convert(end.AsDateTime()));
            }
            timers.Post();
            // A time the user did not touch still counts as untouched, so that the timer
            // goes back exactly as it came: its value as read moves along with the row.
            if (read_index >= 1 && static_cast<std::size_t>(read_index) <= read_values.size()) {
                timers.GotoBookmark(row);
                const auto after = boxfiles::TimerRowValues(timers);
                auto& read = read_values[static_cast<std::size_t>(read_index - 1)];
                for (const std::size_t i : time_values) {
                    if (i < read.size() && i < before.size() && read[i] == before[i]) {
                        read[i] = after[i];
                    }
                }
            }
        }
    } catch (...) {
        if (timers.State() == dsEdit) {
            timers.Cancel();
        }
        timers.AfterEdit = after_edit;
        throw;
    }
    timers.AfterEdit = after_edit;
    shown_conversion_ = to;
    timers.First();
    Log("Local times of the timers converted for the new time settings");
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
    if (saving_ || !startup_finished_) {
        return;
    }
    if (!timers_complete_) {
        ShowMessage(QStringLiteral("Tapir"),
                    QStringLiteral("The timer list could not be read completely, so nothing was "
                                   "uploaded: uploading would replace the receiver's timers with "
                                   "an incomplete list."),
                    true);
        return;
    }
    // Disabled from here until the flow fails: a second press must not start it again.
    saving_ = true;
    RefreshActionStates();
    try {
        RunSaveExit();
    } catch (...) {
        saving_ = false;
        RefreshActionStates();
        throw;
    }
}

void TForm1::RunSaveExit() {
    const std::string backup_path = FetchBackup();
    // The receiver's list as it is now: when it changed since it was read, the upload is
    // merged with it, so that what the receiver gained meanwhile is not lost.
    std::optional<std::string> box_now;
    if (!backup_path.empty()) {
        box_now = ReadFileText(backup_path);
    }
    const boxfiles::TimerMergeReport merge = boxfiles::WriteTimersFile(
        program_dir_ + transfer::kUploadLocalName, tables_->Timers, Conversion(),
        [this](const std::string& line) { Log(line); },
        box_now ? std::optional<std::string_view>(*box_now) : std::nullopt);
    Log(merge.LogText());
    UploadWithRollback(backup_path);
    if (merge.merged) {
        ShowMessage(QStringLiteral("Tapir"), QString::fromStdString(merge.MessageText()), false);
    }
    transfer::AdoptUploadedTimers(program_dir_, transfer::kUploadLocalName);
    for (const std::string& removed : transfer::PruneTimerBackups(program_dir_)) {
        Log("Old copy removed: " + removed);
    }
    if (!AskRestartDespiteRecording()) {
        ShowMessage(QStringLiteral("Tapir"),
                    QStringLiteral("The timers were uploaded. The receiver was not restarted: it "
                                   "uses the new timer list after its next restart or standby "
                                   "cycle."),
                    false);
        restart_finished_ = true;
        options_.request_quit();
        return;
    }
    restart_sent_ = false;
    restart_dialogue_ = MakeRestartDialogue();
    try {
        transfer::StartRestart(*IdTelnet1_, settings_);
    } catch (const std::exception& error) {
        // The upload stands: the flow ends as when the receiver does not answer in time.
        Log("Restart connection failed: " + ErrorText(error).toStdString());
        RestartWatchTimeout();
        return;
    }
    StartRestartWatch();
}

// Copies the receiver's current timer list into the backup folder. Returns the copy's path,
// or an empty text when the receiver has no timer list. Throws when the copy cannot be
// taken: without it nothing is uploaded.
std::string TForm1::FetchBackup() {
    const std::string path = transfer::PrepareTimerBackupPath(program_dir_, platform::Now());
    TransferProgress progress(this, QStringLiteral("Copying the receiver's timer list"));
    progress_ = &progress;
    bool present = false;
    try {
        present = transfer::FetchBoxFile(*IdFTP1_, settings_, transfer::kUploadRemoteName, path);
    } catch (const std::exception& error) {
        progress_ = nullptr;
        const QString why = progress.Cancelled() ? QStringLiteral("cancelled") : ErrorText(error);
        Log("Copy of the receiver's timer list failed: " + why.toStdString());
        throw ESaveRefused(
            QStringLiteral("Nothing was uploaded: the receiver's current timer list could not "
                           "be copied first (%1).")
                .arg(why)
                .toStdString());
    }
    progress_ = nullptr;
    if (!present) {
        Log("The receiver has no timer list to copy");
        return {};
    }
    Log("Receiver's timer list copied to " + path);
    return path;
}

// Uploads timers.new. On failure the copy taken before is put back and the error is raised
// with a text saying what the receiver now holds; the receiver is not restarted then.
void TForm1::UploadWithRollback(const std::string& backup_path) {
    QString why;
    {
        TransferProgress progress(this, QStringLiteral("Uploading to the receiver"));
        progress_ = &progress;
        try {
            transfer::UploadTimersFile(*IdFTP1_, settings_, program_dir_);
            progress_ = nullptr;
            Log("Timer list uploaded");
            return;
        } catch (const std::exception& error) {
            why = progress.Cancelled() ? QStringLiteral("cancelled") : ErrorText(error);
        }
        progress_ = nullptr;
    }
    Log("Upload failed: " + why.toStdString());
    QString outcome;
    if (ReceiverListUnchanged(backup_path)) {
        outcome = QStringLiteral("The receiver's timer list is unchanged.");
        Log("The receiver's timer list is unchanged");
    } else if (backup_path.empty()) {
        outcome = QStringLiteral("The receiver had no timer list before.");
    } else {
        try {
            TransferProgress progress(this, QStringLiteral("Putting the timer list back"));
            progress_ = &progress;
            transfer::UploadFileVerified(*IdFTP1_, settings_, backup_path,
                                         transfer::kUploadRemoteName);
            progress_ = nullptr;
            outcome = QStringLiteral("The receiver's previous timer list was put back.");
            Log("Previous timer list put back from " + backup_path);
        } catch (const std::exception& error) {
            progress_ = nullptr;
            outcome = QStringLiteral(
                          "Putting the previous timer list back failed as well (%1); a copy "
                          "of it is in %2.")
                          .arg(ErrorText(error), QString::fromStdString(backup_path));
            Log("Putting the previous timer list back failed: " + ErrorText(error).toStdString());
        }
    }
    throw ESaveRefused(QStringLiteral("The upload of the timer list failed (%1). %2 The receiver "
                                      "was not restarted.")
                           .arg(why, outcome)
                           .toStdString());
}

// True when the receiver's timer list is still the copy at `backup_path` (or still absent
// when that is empty), so that nothing needs putting back. False also when it cannot be
// fetched to compare.
bool TForm1::ReceiverListUnchanged(const std::string& backup_path) {
    const std::string check = transfer::BackupFolder(program_dir_) + "timers-check.tmp";
    bool unchanged = false;
    try {
        TransferProgress progress(this, QStringLiteral("Checking the receiver's timer list"));
        progress_ = &progress;
        const bool present =
            transfer::FetchBoxFile(*IdFTP1_, settings_, transfer::kUploadRemoteName, check);
        progress_ = nullptr;
        unchanged = backup_path.empty()
                        ? !present
                        : present && ReadFileText(check) == ReadFileText(backup_path);
    } catch (const std::exception& error) {
        progress_ = nullptr;
        Log("The receiver's timer list could not be checked: " + ErrorText(error).toStdString());
    }
    std::error_code ignored;
    std::filesystem::remove(check, ignored);
    return unchanged;
}

// True when the restart may go ahead: no timer of the uploaded list records now, or the
// user chose to restart anyway.
bool TForm1::AskRestartDespiteRecording() {
    // The channel names the grid shows, by service reference.
    std::map<std::string, std::string> channels;
    auto& timers = tables_->Timers;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        channels.emplace(timers.FieldByName("Serviceref").AsString(),
                         timers.FieldByName("Zender").AsString());
    }
    timers.First();
    // The list as uploaded, which holds what a merge kept from the receiver as well.
    const boxfiles::TimerList uploaded =
        boxfiles::ParseTimerList(ReadFileText(program_dir_ + transfer::kUploadLocalName));
    const platform::LogSink quiet;
    std::vector<PlannedTimer> planned;
    for (const boxfiles::TimerElement& element : uploaded.timers) {
        const boxfiles::TimerLineValues values = boxfiles::ValuesOfTimer(element);
        if (!values.begin_valid || !values.end_valid) {
            continue;
        }
        PlannedTimer timer;
        const auto channel = channels.find(values.serviceref);
        timer.channel = channel != channels.end() && !channel->second.empty() ? channel->second
                                                                              : values.serviceref;
        timer.name = values.name;
        timer.begin =
            platform::UtcToLocal(boxfiles::UtcOfSeconds(values.begin), Conversion(), quiet);
        timer.end = platform::UtcToLocal(boxfiles::UtcOfSeconds(values.end), Conversion(), quiet);
        timer.repeated = values.repeated;
        timer.disabled = values.disabled != 0;
        timer.justplay = values.justplay != 0;
        planned.push_back(std::move(timer));
    }
    const auto running = RecordingAt(planned, platform::Now());
    if (!running) {
        return true;
    }
    const QString what = QStringLiteral("\"%1\" on %2")
                             .arg(QString::fromStdString(running->timer.name),
                                  QString::fromStdString(running->timer.channel));
    const QString until =
        QString::fromStdString(platform::FormatDateTime(kDateTimeShown, running->until));
    const bool restart = Ask(
        QStringLiteral("Recording in progress"),
        QStringLiteral("The receiver is recording %1 until %2. Restarting it now cuts that "
                       "recording off.\n\nRestart now, or not now? If not now, the receiver uses "
                       "the new timer list after its next restart or standby cycle.")
            .arg(what, until),
        QStringLiteral("&Restart now"), QStringLiteral("&Not now"));
    Log(restart ? "Restart despite the recording in progress"
                : "Restart left to the user: a recording is in progress");
    return restart;
}

void TForm1::StartRestartWatch() {
    // The receiver has the reply time limit to show its prompt and take the command.
    restart_watch_->setInterval(settings_.ReplyTimeout * 1000);
    restart_watch_->start();
}

// The receiver did not take the restart command in time: the user is told, then the
// program ends as after a restart.
void TForm1::RestartWatchTimeout() {
    restart_watch_->stop();
    if (restart_sent_ || restart_finished_) {
        return;
    }
    restart_finished_ = true;
    IdTelnet1_->Disconnect();
    Log("Restart not confirmed by the receiver");
    ShowMessage(QStringLiteral("Tapir"),
                QStringLiteral("The timers were uploaded, but the receiver did not restart. It "
                               "needs a restart (or a standby cycle) to use the new timer list."),
                true);
    options_.request_quit();
}

// The restart command went out: the program ends one second later, which leaves the
// receiver's reply time to arrive.
void TForm1::FinishSaveExit() {
    restart_watch_->stop();
    timer_terminate_->setInterval(kTerminateDelay);
    timer_terminate_->start();
}

void TForm1::IdTelnet1DataAvailable(const std::string& text) {
    Guarded([&] {
        if (!restart_dialogue_) {
            restart_dialogue_ = MakeRestartDialogue();
        }
        restart_dialogue_->DataAvailable(text);
    });
}

// One dialogue per restart: it remembers what it answered, so that the restart command is
// typed once however many prompts follow.
std::unique_ptr<transfer::RestartDialogue> TForm1::MakeRestartDialogue() {
    auto dialogue = std::make_unique<transfer::RestartDialogue>(
        settings_.Prompt, *IdTelnet1_, [this](const std::string& line) { Log(line); },
        settings_.Password);
    dialogue->OnRestartSent = [this] {
        restart_sent_ = true;
        Log("Restart command sent");
        if (saving_ && !restart_finished_) {
            FinishSaveExit();
        }
    };
    return dialogue;
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
    save_exit_->setEnabled(change_count_ != 0 && !saving_ && startup_finished_);
    append_->setEnabled(startup_finished_ && !saving_);
}

void TForm1::closeEvent(QCloseEvent* event) {
    // FormClose and FormCloseQuery do nothing: the close box ends the program at once.
    SaveWindowGeometry();
    event->accept();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    // The grid keeps at least half of the room the log shares with it; the splitter has its
    // new height once the layouts have run.
    QTimer::singleShot(0, this, [this] {
        memo_->setMaximumHeight(
            std::max(1, (log_splitter_->height() - log_splitter_->handleWidth()) / 2));
    });
}

void TForm1::FitWindow() {
    // Wide enough for every column of the grid, as far as the screen allows; a size the
    // user left the window at last time wins.
    const int around_grid =
        width() - grid_->width() > 0 && grid_->isVisible()
            ? width() - grid_->width()
            : group_box_->contentsMargins().left() + group_box_->contentsMargins().right() + 8;
    int wanted = std::max(kClientWidth, grid_->ColumnsWidth() + around_grid);
    int height = kClientHeight;
    QRect available(0, 0, 1 << 15, 1 << 15);
    if (QScreen* shown_on = screen()) {
        available = shown_on->availableGeometry();
    }
    const std::string& ini = config_path_;
    const int stored_width = platform::ReadProfileInteger(ini, kWindowSection, "Width", 0);
    const int stored_height = platform::ReadProfileInteger(ini, kWindowSection, "Height", 0);
    if (stored_width >= minimumWidth() && stored_height >= minimumHeight()) {
        wanted = stored_width;
        height = stored_height;
    }
    resize(std::min(wanted, available.width() - kFrameWidth), std::min(height, available.height()));
    const QPoint stored_at(platform::ReadProfileInteger(ini, kWindowSection, "Left", INT32_MIN),
                           platform::ReadProfileInteger(ini, kWindowSection, "Top", INT32_MIN));
    if (stored_at.x() != INT32_MIN && stored_at.y() != INT32_MIN &&
        available.intersects(QRect(stored_at, size()))) {
        move(stored_at);
    }
}

void TForm1::SaveWindowGeometry() {
    if (config_path_.empty() || !QFileInfo::exists(QString::fromStdString(config_path_))) {
        return;
    }
    const QRect frame = frameGeometry();
    const std::pair<const char*, int> values[] = {
        {"Left", frame.x()}, {"Top", frame.y()}, {"Width", width()}, {"Height", height()}};
    for (const auto& [key, value] : values) {
        if (platform::ReadProfileInteger(config_path_, kWindowSection, key, INT32_MIN) != value &&
            !platform::WriteProfileString(config_path_, kWindowSection, key,
                                          std::to_string(value))) {
            Log("Window size not stored in " + config_path_);
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------
// DialogHost and log

tapir::boxfiles::BoxTables& TForm1::Tables() { return *tables_; }

void TForm1::Log(const std::string& line) { memo_->appendPlainText(QString::fromUtf8(line)); }

std::string TForm1::MemoText() const { return memo_->toPlainText().toStdString(); }

bool TForm1::DebugLogShown() const { return !memo_->isHidden(); }

}  // namespace tapir::app
