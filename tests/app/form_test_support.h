#pragma once
// Shared fixture of the dialog tests: real tables behind a plain DialogHost, a pinned
// clock, and helpers that fill bouquets, channels and timers and that put the timer
// table into the state the dialogs expect.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_host.h"
#include "boxfiles/box_tables.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/settings.h"
#include "platform/time_zone.h"

namespace tapir::app::testing {

class FormTestHost : public DialogHost {
public:
    boxfiles::BoxTables& Tables() override { return tables; }
    double LastEnd() const override { return last_end; }
    void SetLastEnd(double value) override { last_end = value; }
    platform::Settings& CurrentSettings() override { return settings; }
    std::string ConfigPath() const override { return config_path; }
    platform::TimeConversionSettings TimeConversion() const override { return conversion; }
    void Log(const std::string& line) override { log.push_back(line); }
    QWidget* DialogParent() override { return nullptr; }

    boxfiles::BoxTables tables;
    platform::Settings settings;
    std::string config_path;
    // Manual UTC + 0 unless a test sets a zone.
    platform::TimeConversionSettings conversion{0, false, {}};
    double last_end = 0.0;
    std::vector<std::string> log;
};

// Runs `script` on the first visible top-level dialog of type Form once the event loop of
// a modal exec() shows it; gives up (rejecting every visible dialog) after a few seconds so
// that a failing test cannot hang.
template <typename Form>
void ScriptModal(std::function<void(Form&)> script) {
    auto* timer = new QTimer(QApplication::instance());
    auto ticks = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, ticks, script] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* form = qobject_cast<Form*>(widget);
            if (form != nullptr && form->isVisible()) {
                timer->stop();
                timer->deleteLater();
                script(*form);
                return;
            }
        }
        if (++*ticks > 500) {
            timer->stop();
            timer->deleteLater();
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                    dialog->reject();
                }
            }
        }
    });
    timer->start(10);
}

// 2026-12-07 is a Monday.
inline double At(int year, int month, int day, int hour, int minute, int second = 0) {
    return platform::EncodeDateTime(year, month, day, hour, minute, second, 0);
}

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ResetFormatSettings();
        host_.tables.DropAll();
        host_.tables.OpenAll();
    }

    void TearDown() override {
        engine::TSQLMemTable& timers = host_.tables.Timers;
        if (timers.Active() && (timers.State() == engine::TDataSetState::dsInsert ||
                                timers.State() == engine::TDataSetState::dsEdit)) {
            timers.Cancel();
        }
        host_.tables.DropAll();
    }

    engine::TSQLMemTable& Timers() { return host_.tables.Timers; }
    engine::TField& TimerField(const char* name) { return Timers().FieldByName(name); }

    int AddBouquet(const std::string& name) {
        engine::TSQLMemTable& bouquet = host_.tables.Bouquet;
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        bouquet.FieldByName("Type").SetAsInteger(1);
        bouquet.Post();
        return bouquet.FieldByName("Id").AsInteger();
    }

    void AddChannel(int bouquet_id, const std::string& name, const std::string& service) {
        engine::TSQLMemTable& zenders = host_.tables.Zenders;
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(bouquet_id);
        zenders.FieldByName("Zender").SetAsString(name);
        zenders.FieldByName("Service").SetAsString(service);
        zenders.Post();
    }

    // A stored timer, then put into edit state as the main window's Edit does.
    void EditStoredTimer(double begin, double end, int64_t mask, const std::string& name = "News") {
        Timers().Append();
        TimerField("Zender").SetAsString("Das Erste");
        TimerField("Name").SetAsString(name);
        TimerField("Begin").SetAsDateTime(begin);
        TimerField("End").SetAsDateTime(end);
        TimerField("RepeatedOrg").SetAsLargeint(mask);
        TimerField("Afterevent").SetAsString("nothing");
        Timers().Post();
        Timers().Edit();
    }

    // A new row in insert state with the defaults the channel dialog writes.
    void NewTimer(double begin, double end) {
        Timers().Append();
        TimerField("Zender").SetAsString("Das Erste");
        TimerField("Begin").SetAsDateTime(begin);
        TimerField("End").SetAsDateTime(end);
        TimerField("RepeatedOrg").SetAsLargeint(0);
        TimerField("Afterevent").SetAsString("nothing");
    }

    FormTestHost host_;
};

}  // namespace tapir::app::testing
