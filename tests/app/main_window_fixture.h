#pragma once
// Test fixture for the main window: a fresh working directory with a config.ini (so no
// first-start dialog), scripted dialogs, and message boxes and quit requests recorded
// instead of shown. The box address points at a closed local port, so the download at
// start fails at once with a real connection error.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/dialog_host.h"
#include "app/main_window.h"
#include "app/timer_dialogs.h"
#include "boxfiles/box_tables.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"
#include "platform/date_time.h"

namespace tapir::app::testing {

// Dialogs whose behaviour each test scripts. An unscripted dialog is left at once, as
// with its close box.
class ScriptedDialogs : public TimerDialogs {
  public:
    explicit ScriptedDialogs(DialogHost& host) : host_(host) {}

    void ShowChannelDialog(int& dialog_result) override {
        ++channel_calls;
        if (channel) {
            channel(host_, dialog_result);
        }
    }
    void ShowTimerDialog(int& dialog_result, bool is_new) override {
        ++timer_calls;
        timer_entry_results.push_back(dialog_result);
        timer_is_new.push_back(is_new);
        if (timer) {
            timer(host_, dialog_result, is_new);
        }
    }
    bool ShowConfigurationDialog(bool first_start) override {
        configuration_first_start.push_back(first_start);
        return configuration ? configuration(host_, first_start) : false;
    }

    std::function<void(DialogHost&, int&)> channel;
    std::function<void(DialogHost&, int&, bool)> timer;
    std::function<bool(DialogHost&, bool)> configuration;

    int channel_calls = 0;
    int timer_calls = 0;
    std::vector<int> timer_entry_results;
    std::vector<bool> timer_is_new;
    std::vector<bool> configuration_first_start;

  private:
    DialogHost& host_;
};

struct ShownMessage {
    QString title;
    QString text;
    bool error_icon = false;
};

// A local TCP port on which nothing listens: one the system just handed out and took back.
inline int ClosedLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 9;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = 9;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

class MainWindowFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        closed_port_ = ClosedLocalPort();
        WriteConfig("127.0.0.1");
    }

    void TearDown() override { form_.reset(); }

    QString Workdir() const { return dir_.path(); }
    QString PathOf(const QString& name) const { return QDir(dir_.path()).filePath(name); }

    void WriteConfig(const std::string& ip, bool utc_auto = true, int utc_offset = 0) {
        QFile file(PathOf(QStringLiteral("config.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        const std::string text =
            "[DU7025]\nIp=" + ip +
            "\nUsername=root\nPassword=\nUTC_Offset=" + std::to_string(utc_offset) +
            "\nUTC_Auto=" + (utc_auto ? "1" : "0") + "\nFtpPort=" + std::to_string(closed_port_) +
            "\nTelnetPort=" + std::to_string(closed_port_) + "\n";
        file.write(text.c_str());
    }

    void WriteFile(const QString& name, const std::string& text) {
        QFile file(PathOf(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.c_str(), static_cast<qint64>(text.size()));
    }

    // Copies the receiver files of the test data into the working directory.
    void CopyTestFiles() {
        const QDir source(QStringLiteral(TAPIR_SOURCE_DIR "/testdata"));
        for (const QString& name : source.entryList(QDir::Files)) {
            QFile::remove(PathOf(name));
            ASSERT_TRUE(QFile::copy(source.filePath(name), PathOf(name)));
        }
    }

    // Builds the window with `arguments` (the working directory option is added at the
    // end unless `with_workdir` is false). `script` runs on the dialogs before start-up.
    // The window is shown and its start-up finished unless `show` is false.
    TForm1& MakeForm(QStringList arguments = {}, bool with_workdir = true,
                     const std::function<void(ScriptedDialogs&)>& script = {}, bool show = true) {
        if (with_workdir) {
            arguments << QStringLiteral("--workdir") << Workdir();
        }
        TForm1Options options;
        options.arguments = arguments;
        options.make_dialogs = [this, script](DialogHost& host) {
            auto dialogs = std::make_unique<ScriptedDialogs>(host);
            dialogs_ = dialogs.get();
            if (script) {
                script(*dialogs);
            }
            return dialogs;
        };
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
        messages_.clear();
        form_ = std::make_unique<TForm1>(std::move(options));
        if (show && !form_->Terminating()) {
            ShowAndFinishStartup();
        }
        return *form_;
    }

    // Puts the window on screen and waits until its download and reading have run.
    void ShowAndFinishStartup() {
        form_->show();
        EXPECT_TRUE(QTest::qWaitFor([this] { return form_->StartupFinished(); }, 10000));
    }

    engine::TSQLMemTable& Timers() { return form_->Tables().Timers; }

    // Scripts the dialogs to accept a new timer with these values.
    void ScriptAccept(const std::string& zender, double begin, double end,
                      const std::string& name = "Name") {
        dialogs_->channel = [zender, begin, end](DialogHost& host, int& result) {
            auto& timers = host.Tables().Timers;
            timers.FieldByName("Zender").SetAsString(zender);
            timers.FieldByName("Begin").SetAsDateTime(begin);
            timers.FieldByName("End").SetAsDateTime(end);
            timers.FieldByName("Afterevent").SetAsString("nothing");
            timers.FieldByName("RepeatedOrg").SetAsLargeint(0);
            result = 0;
        };
        dialogs_->timer = [name](DialogHost& host, int& result, bool) {
            host.Tables().Timers.FieldByName("Name").SetAsString(name);
            result = 0;
        };
    }

    void AppendTimer(const std::string& zender, double begin, double end,
                     const std::string& name = "Name") {
        ScriptAccept(zender, begin, end, name);
        form_->Append()->trigger();
    }

    bool AnyMessageContains(const QString& part) const {
        for (const auto& message : messages_) {
            if (message.text.contains(part)) {
                return true;
            }
        }
        return false;
    }

    QTemporaryDir dir_;
    int closed_port_ = 9;
    std::unique_ptr<TForm1> form_;
    ScriptedDialogs* dialogs_ = nullptr;
    std::vector<ShownMessage> messages_;
    // Questions asked, their answers appended to the text; every one is answered with
    // answer_yes_.
    std::vector<ShownMessage> questions_;
    bool answer_yes_ = false;
    int beeps_ = 0;
    int quit_requests_ = 0;
};

}  // namespace tapir::app::testing
