#pragma once
// The modal dialogs that TimersAfterInsert and the configuration menu open, behind a small
// interface so that tests can script them. Each call creates a fresh dialog, shows it
// modally and destroys it.

namespace tapir::app {

class TimerDialogs {
public:
    virtual ~TimerDialogs() = default;

    // Channel selection for a new timer row; sets dialog_result to 0 when a channel was
    // chosen (the row's defaults are then filled), leaves it 1 otherwise.
    virtual void ShowChannelDialog(int& dialog_result) = 0;
    // Timer editing for the current row; sets dialog_result to 0 on save.
    virtual void ShowTimerDialog(int& dialog_result, bool is_new) = 0;
    // Configuration dialog. Returns true when the user saved. In first-start mode, leaving
    // without saving ends the application.
    virtual bool ShowConfigurationDialog(bool first_start) = 0;
};

}  // namespace tapir::app
