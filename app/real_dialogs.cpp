#include "app/real_dialogs.h"

#include "app/dialog_host.h"
#include "app/form_instelling.h"
#include "app/form_select_zender.h"
#include "app/form_timer.h"

namespace tapir::app {

RealTimerDialogs::RealTimerDialogs(DialogHost& host, std::function<void()> request_terminate)
    : host_(host), request_terminate_(std::move(request_terminate)) {}

RealTimerDialogs::~RealTimerDialogs() = default;

void RealTimerDialogs::ShowChannelDialog(int& dialog_result) {
    TFormSelectZender form(host_, dialog_result, host_.DialogParent());
    form.exec();
}

void RealTimerDialogs::ShowTimerDialog(int& dialog_result, bool is_new) {
    TFormTimer form(host_, dialog_result, host_.DialogParent());
    form.IsNew = is_new;
    form.exec();
}

bool RealTimerDialogs::ShowConfigurationDialog(bool first_start) {
    TFormInstelling form(host_, host_.DialogParent());
    form.FirstStart = first_start;
    if (request_terminate_) {
        form.RequestTerminate = request_terminate_;
    }
    form.exec();
    return form.Saved();
}

}  // namespace tapir::app
