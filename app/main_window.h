#pragma once
// The main window: owns the three tables, the settings, the time-zone record, the box
// clients, the diagnostic log and the editing counters for the whole run. Its
// construction runs the local start-up (settings, tables); the download and the reading
// of the box's files run once the window is on screen. Its actions append, edit and
// delete timers, and "Save & Exit" copies the box's timer list aside, writes, uploads and
// restarts. UI thread only; the transfers run on it with a progress window.

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_host.h"
#include "app/timer_dialogs.h"
#include "platform/settings.h"
#include "platform/time_zone.h"

class QAction;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QSplitter;
class QPushButton;
class QStatusBar;
class QTimer;
class QWidget;

namespace tapir::engine {
class TField;
class TSQLMemDataSet;
}  // namespace tapir::engine
namespace tapir::controls {
class TDBGrid;
}
namespace tapir::transfer {
class RestartDialogue;
class TIdFTP;
class TIdTelnet;
class UiDispatcher;
}  // namespace tapir::transfer

namespace tapir::app {

// What the command line asks for: the first argument (tested for the DEBUG switch) and
// the directory that replaces the program's own directory when `--workdir DIR` is given.
struct CommandLine {
    QString first_argument;
    QString workdir;  // empty: the directory of the program file
};
// `arguments` excludes the program name.
CommandLine ParseCommandLine(const QStringList& arguments);
// True when the first argument, upper-cased, contains "DEBUG".
bool DebugSwitch(const CommandLine& command_line);

// Everything the window takes from outside; the defaults are the program's own.
struct TForm1Options {
    // The command line without the program name.
    QStringList arguments;
    // Creates the modal dialogs for the window; called once during construction.
    std::function<std::unique_ptr<TimerDialogs>(DialogHost&)> make_dialogs;
    // Shows a modal message box with one OK button and waits for it to be closed.
    // `error_icon` is false for the download's "Alert!" box, which has no icon.
    std::function<void(const QString& title, const QString& text, bool error_icon)> show_message;
    // The system beep.
    std::function<void()> beep;
    // Asks the application to end once the event loop runs.
    std::function<void()> request_quit;
    // Asks a question with two answers and waits for it; true for `yes_text`. The
    // default button is `no_text`.
    std::function<bool(const QString& title, const QString& text, const QString& yes_text,
                       const QString& no_text)>
        ask;
};

class TransferProgress;

class TForm1 : public QMainWindow, public DialogHost {
    Q_OBJECT

  public:
    // Builds the window and runs the local start-up (FormCreate); the download and the
    // reading of the box's files follow once the window is first shown. Errors of start-up
    // steps are shown in message boxes; the constructor does not throw.
    explicit TForm1(TForm1Options options, QWidget* parent = nullptr);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // True when the first-start configuration was left without saving: the application
    // has been asked to end and the window must not be shown.
    bool Terminating() const { return terminating_; }
    // True once the start-up's download and reading have run (or could not run).
    bool StartupFinished() const { return startup_finished_; }
    // True while "Save & Exit" runs and after it succeeded.
    bool Saving() const { return saving_; }
    // False when the timer list could not be read completely; "Save & Exit" then refuses.
    bool TimersComplete() const { return timers_complete_; }
    // The status line's text.
    QString StatusText() const;
    // The progress window of the transfer running now; null when none runs.
    TransferProgress* Progress() const { return progress_; }

    // --- State read by the dialogs and the box steps ---
    const std::string& ProgramDir() const { return program_dir_; }
    int ChangeCount() const { return change_count_; }
    const platform::TimeZoneInformation& TimeZoneInfo() const { return time_zone_info_; }
    std::string MemoText() const;
    bool DebugLogShown() const;

    // --- Controls and actions, by their window names ---
    QAction* Append() const { return append_; }
    QAction* Edit() const { return edit_; }
    QAction* Delete() const { return delete_; }
    QAction* SaveExit() const { return save_exit_; }
    QAction* Configuration() const { return configuration_; }
    QAction* Close() const { return close_; }
    controls::TDBGrid* wwDBGrid3() const { return grid_; }
    QPlainTextEdit* Memo1() const { return memo_; }
    QTimer* Timer1() const { return timer1_; }
    QTimer* TimerTerminate() const { return timer_terminate_; }

    // --- Handlers ---
    void Timer1Timer();
    void TimerTerminateTimer();
    void ConfigurationClick();
    void CloseClick();
    void AppendExecute();
    void EditExecute();
    void DeleteExecute();
    void SaveExitExecute();
    // OnDataAvailable of IdTelnet1, run on the UI thread for every received chunk: the
    // restart dialogue with the box.
    void IdTelnet1DataAvailable(const std::string& text);
    // Runs the editing dialogs for the row just put into insert or edit state, then posts
    // or cancels it. The table never stays in insert or edit state after this returns,
    // also when a dialog or the post raises an error.
    void TimersAfterInsert(tapir::engine::TSQLMemDataSet& dataset);
    void RefreshActionStates();
    // Loads config.ini into the settings and sets the caption.
    void ReadSettings();

    // --- DialogHost ---
    tapir::boxfiles::BoxTables& Tables() override;
    double LastEnd() const override { return last_end_; }
    void SetLastEnd(double value) override { last_end_ = value; }
    platform::Settings& CurrentSettings() override { return settings_; }
    std::string ConfigPath() const override { return config_path_; }
    platform::TimeConversionSettings TimeConversion() const override { return Conversion(); }
    void Log(const std::string& line) override;
    QWidget* DialogParent() override { return this; }

    // Runs a handler body; an error that escapes it is shown in a message box with the
    // error's text and the program goes on. Returns false when an error was shown.
    bool Guarded(const std::function<void()>& body);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    enum class DownloadOutcome { Completed, Failed, Cancelled };

    void BuildControls();
    // Finds the timers that overlap in the coming days, marks their rows and counts them in
    // the status bar.
    void MarkOverlaps();
    static std::string OverlapKey(tapir::engine::TSQLMemDataSet& row);
    // Sizes the window to show every grid column (or as the user left it last time, from
    // config.ini section Window), within the screen.
    void FitWindow();
    // Stores the window's size and position in config.ini section Window (only values that
    // changed; nothing when config.ini does not exist).
    void SaveWindowGeometry();
    void BuildActions();
    void FormCreate();
    void SetUpDayNames();
    void OpenTables();
    void RunStartupTransfers();
    DownloadOutcome DownloadBoxFiles(std::vector<std::string>& listed);
    void ReadBoxFiles();
    void ReloadBoxFiles();
    void ShowStartupStatus(DownloadOutcome outcome, const std::vector<std::string>& listed);
    void SetStatus(const QString& text);
    bool Ask(const QString& title, const QString& text, const QString& yes_text,
             const QString& no_text);
    void ReconvertTimers(const platform::TimeConversionSettings& from,
                         const platform::TimeConversionSettings& to);
    void RunSaveExit();
    std::string FetchBackup();
    void UploadWithRollback(const std::string& backup_path);
    bool ReceiverListUnchanged(const std::string& backup_path);
    bool AskRestartDespiteRecording();
    void StartRestartWatch();
    void RestartWatchTimeout();
    void FinishSaveExit();
    std::unique_ptr<transfer::RestartDialogue> MakeRestartDialogue();
    void ShowMessage(const QString& title, const QString& text, bool error_icon);
    bool TimersBusy() const;
    platform::TimeConversionSettings Conversion() const;
    // The grid's text for an empty Begin or End: "invalid: " and the file's text.
    std::string InvalidTimeText(const engine::TField& field) const;

    TForm1Options options_;
    CommandLine command_line_;
    std::unique_ptr<TimerDialogs> dialogs_;
    std::unique_ptr<tapir::boxfiles::BoxTables> tables_;
    std::unique_ptr<transfer::UiDispatcher> dispatcher_;
    std::unique_ptr<transfer::TIdFTP> IdFTP1_;
    // The dialogue of the running restart; its actions use IdTelnet1_.
    std::unique_ptr<transfer::RestartDialogue> restart_dialogue_;
    // Last: its reader thread is joined before the dispatcher and the tables go.
    std::unique_ptr<transfer::TIdTelnet> IdTelnet1_;

    std::string program_dir_;
    std::string config_path_;
    platform::Settings settings_;
    platform::TimeZoneInformation time_zone_info_;
    int change_count_ = 0;
    double last_end_ = 0.0;
    bool terminating_ = false;
    bool startup_pending_ = false;
    bool startup_finished_ = false;
    bool saving_ = false;
    bool timers_complete_ = true;
    bool restart_sent_ = false;
    bool restart_finished_ = false;
    // The conversion the grid's local times were made with.
    platform::TimeConversionSettings shown_conversion_;
    TransferProgress* progress_ = nullptr;
    QLabel* status_label_ = nullptr;
    QTimer* restart_watch_ = nullptr;

    QAction* append_ = nullptr;
    QAction* edit_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* save_exit_ = nullptr;
    QAction* configuration_ = nullptr;
    QAction* close_ = nullptr;
    QGroupBox* group_box_ = nullptr;
    controls::TDBGrid* grid_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QSplitter* log_splitter_ = nullptr;
    QLabel* overlap_label_ = nullptr;
    // Tooltip texts of the overlapping timers' rows, by OverlapKey.
    std::map<std::string, std::string> overlaps_;
    bool log_split_done_ = false;
    QTimer* timer1_ = nullptr;
    QTimer* timer_terminate_ = nullptr;
};

}  // namespace tapir::app
