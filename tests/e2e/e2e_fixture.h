#pragma once
// Fixture for whole-program runs: the receiver simulator serving a temporary copy of the
// test receiver files, a temporary working directory whose config.ini points at the
// simulator's ports, and the main window built offscreen with the real dialogs. Message
// boxes, the beep and the request to end the application are recorded instead of acted
// on, so a run never blocks on a box nor ends the test process. Modal dialogs are driven
// by scripts that wait until the dialog is up, then click its controls.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/form_select_zender.h"
#include "app/form_timer.h"
#include "app/main_window.h"
#include "controls/db_list_view.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "tools/boxsim/box_simulator.h"

namespace tapir::e2e {

struct ShownMessage {
    QString title;
    QString text;
    bool error_icon = false;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& each : lines) {
        if (each == line) {
            return true;
        }
    }
    return false;
}

// Upper bound for anything the tests wait for; only reached when something is broken.
inline constexpr int kWaitLimitMs = 10000;

class BoxRunFixture : public ::testing::Test {
  protected:
    static constexpr char kUser[] = "root";
    static constexpr char kPassword[] = "dreambox";
    // The manual offset of the runs: local time is UTC + 1 hour.
    static constexpr int kUtcOffsetHours = 1;

    // "Now" of every run: 10-01-2027 12:00 local, before all timers of the test files.
    static platform::TDateTime PinnedNow() {
        return platform::EncodeDateTime(2027, 1, 10, 12, 0, 0);
    }

    void SetUp() override {
        ASSERT_TRUE(served_.isValid());
        ASSERT_TRUE(workdir_.isValid());
        const std::filesystem::path source = std::filesystem::path(TAPIR_SOURCE_DIR) / "testdata";
        for (const auto& entry : std::filesystem::directory_iterator(source)) {
            std::filesystem::copy_file(entry.path(), ServedPath(entry.path().filename().string()));
        }
        clock_pin_.emplace(PinnedNow());
    }

    void TearDown() override {
        ClearScripts();
        // The window first: it releases and joins its telnet reader before the box goes.
        form_.reset();
        if (simulator_) {
            simulator_->Stop();
        }
        clock_pin_.reset();
    }

    std::filesystem::path ServedPath(const std::string& name) const {
        return std::filesystem::path(served_.path().toStdString()) / name;
    }
    std::filesystem::path WorkPath(const std::string& name) const {
        return std::filesystem::path(workdir_.path().toStdString()) / name;
    }

    // Starts the simulator over the served copy.
    // `adjust` may change the remaining options (prompt, delay) before the start.
    boxsim::BoxSimulator& StartBox(std::vector<boxsim::Fault> faults = {},
                                   std::uint16_t ftp_port = 0, std::uint16_t telnet_port = 0,
                                   const std::function<void(boxsim::Options&)>& adjust = {}) {
        boxsim::Options options;
        options.dir = served_.path().toStdString();
        options.user = kUser;
        options.password = kPassword;
        options.faults = std::move(faults);
        options.ftp_port = ftp_port;
        options.telnet_port = telnet_port;
        if (adjust) {
            adjust(options);
        }
        simulator_ = std::make_unique<boxsim::BoxSimulator>(std::move(options));
        simulator_->Start();
        return *simulator_;
    }

    // `extra` holds further lines of the section, each ended by "\n".
    void WriteConfig(int ftp_port, int telnet_port, const std::string& password = kPassword,
                     const std::string& extra = {}) {
        std::ofstream out(WorkPath("config.ini"), std::ios::binary | std::ios::trunc);
        out << "[DU7025]\nIp=127.0.0.1\nUsername=" << kUser << "\nPassword=" << password
            << "\nUTC_Offset=" << kUtcOffsetHours << "\nUTC_Auto=0\nFtpPort=" << ftp_port
            << "\nTelnetPort=" << telnet_port << "\n"
            << extra;
    }

    void WriteConfigForBox(const std::string& password = kPassword, const std::string& extra = {}) {
        WriteConfig(simulator_->FtpPort(), simulator_->TelnetPort(), password, extra);
    }

    // Builds the main window on the working directory and, unless `show` is false, puts it
    // on screen and waits until the start-up's download and reading have run.
    app::TForm1& MakeForm(bool show = true) {
        app::TForm1Options options;
        options.arguments = {QStringLiteral("--workdir"), workdir_.path()};
        options.show_message = [this](const QString& title, const QString& text, bool icon) {
            messages_.push_back({title, text, icon});
        };
        options.beep = [this] { ++beeps_; };
        options.request_quit = [this] { ++quit_requests_; };
        options.ask = [this](const QString& title, const QString& text, const QString& yes,
                             const QString& no) {
            questions_.push_back({title,
                                  text + QStringLiteral(" [") + yes + QStringLiteral(" | ") + no +
                                      QStringLiteral("]"),
                                  false});
            return answer_yes_;
        };
        form_.reset();
        form_ = std::make_unique<app::TForm1>(std::move(options));
        if (show) {
            ShowAndFinishStartup();
        }
        return *form_;
    }

    void ShowAndFinishStartup() {
        form_->show();
        EXPECT_TRUE(WaitFor([this] { return form_->StartupFinished(); }));
    }

    // Once a modal dialog of type Dialog is up and `ready` says it has finished its own
    // deferred set-up, runs `act` on it once. A dialog that does not become ready within
    // the wait limit is closed, so that the modal loop, and the test, end.
    template <typename Dialog>
    void ScriptModal(
        std::function<void(Dialog&)> act,
        std::function<bool(Dialog&)> ready = [](Dialog&) { return true; }) {
        auto* poll = new QTimer;
        auto started = std::chrono::steady_clock::now();
        auto done = std::make_shared<bool>(false);
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, started, done, act, ready] {
            if (*done) {
                return;
            }
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr && ready(*dialog)) {
                *done = true;
                poll->stop();
                act(*dialog);
                ++scripts_run_;
                return;
            }
            if (std::chrono::steady_clock::now() - started >
                std::chrono::milliseconds(kWaitLimitMs)) {
                *done = true;
                poll->stop();
                ADD_FAILURE() << "the expected modal dialog did not come up";
                if (QWidget* modal = QApplication::activeModalWidget()) {
                    modal->close();
                }
            }
        });
        poll->start(10);
        scripts_.push_back(poll);
    }

    // Appends a timer on the first channel through the real dialogs; it begins now.
    void AppendTimerThroughScript() {
        ScriptModal<app::TFormSelectZender>(
            [](app::TFormSelectZender& dialog) {
                dialog.wwDBGrid1->setCurrentIndex(dialog.wwDBGrid1->model()->index(0, 0));
                dialog.wwDBGrid2->setCurrentIndex(dialog.wwDBGrid2->model()->index(0, 0));
                dialog.BitBtn1->click();
            },
            [](app::TFormSelectZender& dialog) { return !dialog.Timer1->isActive(); });
        ScriptModal<app::TFormTimer>(
            [](app::TFormTimer& dialog) { dialog.BitBtnSave->click(); },
            [](app::TFormTimer& dialog) { return !dialog.Timer1->isActive(); });
        form_->Append()->trigger();
    }

    void ClearScripts() {
        for (QTimer* poll : scripts_) {
            delete poll;
        }
        scripts_.clear();
    }

    // Processes Qt events until `condition` holds or the wait limit passes.
    static bool WaitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, kWaitLimitMs);
    }

    // The messages whose title is "Alert!".
    std::vector<ShownMessage> Alerts() const {
        std::vector<ShownMessage> alerts;
        for (const ShownMessage& message : messages_) {
            if (message.title == QStringLiteral("Alert!")) {
                alerts.push_back(message);
            }
        }
        return alerts;
    }

    QTemporaryDir served_;
    QTemporaryDir workdir_;
    std::optional<platform::ScopedClockPin> clock_pin_;
    std::unique_ptr<boxsim::BoxSimulator> simulator_;
    std::unique_ptr<app::TForm1> form_;
    std::vector<QTimer*> scripts_;
    std::vector<ShownMessage> messages_;
    // Questions asked, their answers appended to the text; each is answered answer_yes_.
    std::vector<ShownMessage> questions_;
    bool answer_yes_ = false;
    int beeps_ = 0;
    int quit_requests_ = 0;
    int scripts_run_ = 0;
};

}  // namespace tapir::e2e
