#pragma once
// The editing dialogs as the program shows them: each call creates a fresh dialog owned by
// the host's window, runs it modally and destroys it.

#include <functional>

#include "app/timer_dialogs.h"

namespace tapir::app {

class DialogHost;

class RealTimerDialogs : public TimerDialogs {
  public:
    // request_terminate: how the configuration dialog asks the application to end when
    // first-start mode is left without saving; empty keeps the dialog's own request (a
    // quit once the event loop runs). Requires: host outlives this object.
    explicit RealTimerDialogs(DialogHost& host, std::function<void()> request_terminate = {});
    ~RealTimerDialogs() override;

    void ShowChannelDialog(int& dialog_result) override;
    void ShowTimerDialog(int& dialog_result, bool is_new) override;
    bool ShowConfigurationDialog(bool first_start) override;

  private:
    DialogHost& host_;
    std::function<void()> request_terminate_;
};

}  // namespace tapir::app
