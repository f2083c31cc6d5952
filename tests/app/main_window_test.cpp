#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <climits>
#include <string>
#include <vector>

#include "controls/contrast.h"
#include "controls/db_grid.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "platform/settings.h"
#include "tests/app/main_window_fixture.h"

namespace tapir::app {
namespace {

using testing::MainWindowFixture;
using testing::ScriptedDialogs;

class MainWindowTest : public MainWindowFixture {};

QString CapitalisedShortDay(int qt_day) {
    const QString name = QLocale::system().dayName(qt_day, QLocale::ShortFormat);
    return name.left(1).toUpper() + name.mid(1, 9).toLower();
}

TEST(CommandLine, DebugSwitchIsACaseInsensitiveTestOnTheFirstArgument) {
    struct Case {
        QStringList arguments;
        bool debug;
        QString workdir;
    };
    const std::vector<Case> cases{
        {{"DEBUG"}, true, {}},
        {{"-debug"}, true, {}},
        {{"xDebugx"}, true, {}},
        {{"DEBUG", "--workdir", "/tmp/w"}, true, "/tmp/w"},
        {{"--workdir", "/tmp/w"}, false, "/tmp/w"},
        {{"--workdir", "/tmp/w", "DEBUG"}, false, "/tmp/w"},
        {{"x", "DEBUG"}, false, {}},
        {{}, false, {}},
        {{"--workdir"}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const CommandLine command_line = ParseCommandLine(c.arguments);
        EXPECT_EQ(DebugSwitch(command_line), c.debug);
        EXPECT_EQ(command_line.workdir, c.workdir);
    }
}

TEST_F(MainWindowTest, ActionsHaveTheirCaptionsHintsAndButtons) {
    TForm1& form = MakeForm();
    struct Expected {
        QAction* action;
        const char* caption;
        const char* hint;
        const char* button;
        int x;
    };
    const std::vector<Expected> expected{
        {form.Append(), "&Append", "Append timer event", "BitBtnToevoegen", 0},
        {form.Edit(), "&Edit", "Edit timer event", "BitBtnMuteer", 104},
        {form.Delete(), "&Delete", "Delete timer event", "BitBtnDelete", 208},
        {form.SaveExit(), "&Save && Exit", "Save changes to the 7025 and reboot the box!",
         "BitBtnSaveExit", 312},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.caption);
        EXPECT_EQ(e.action->text(), QString::fromUtf8(e.caption));
        EXPECT_EQ(e.action->toolTip(), QString::fromUtf8(e.hint));
        auto* button = form.findChild<QPushButton*>(QString::fromUtf8(e.button));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromUtf8(e.caption));
        EXPECT_EQ(button->toolTip(), QString::fromUtf8(e.hint));
        EXPECT_EQ(button->geometry(), QRect(e.x, 0, 105, 25));
        EXPECT_EQ(button->isEnabled(), e.action->isEnabled());
        EXPECT_EQ(button->shortcut(), QKeySequence::mnemonic(QString::fromUtf8(e.caption)));
    }
}

TEST_F(MainWindowTest, MenuGroupCaptionAndTitle) {
    TForm1& form = MakeForm();
    const auto menus = form.menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "Main menu");
    const auto entries = menus[0]->menu()->actions();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0]->text(), "Configuration");
    EXPECT_EQ(entries[1]->text(), "Close");

    auto* group = form.findChild<QGroupBox*>(QStringLiteral("GroupBox1"));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), "Timers: ");
    EXPECT_EQ(form.windowTitle(), "Tapir  127.0.0.1:   (v0.1)");
    EXPECT_EQ(form.ProgramDir(), QDir(Workdir()).absolutePath().toStdString() + "/");
    EXPECT_EQ(form.ConfigPath(), form.ProgramDir() + "config.ini");
}

TEST_F(MainWindowTest, WindowShowsEveryColumnAndRemembersItsSizeAndPlace) {
    CopyTestFiles();
    WriteConfig("127.0.0.1", false, 1);
    TForm1& form = MakeForm();
    // Wide enough for every column (within a 1280-pixel screen), no horizontal scroll bar.
    auto* grid = form.wwDBGrid3();
    QTest::qWait(20);
    EXPECT_LE(form.width(), 1280);
    EXPECT_GE(grid->width(), grid->ColumnsWidth() - grid->verticalScrollBar()->width());
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible())
        << "window " << form.width() << " grid " << grid->width() << " columns "
        << grid->ColumnsWidth() << " viewport " << grid->viewport()->width();
    EXPECT_LT(form.minimumSize().width(), form.width());
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    // The size the user leaves it at is in config.ini and is where it opens next time.
    form.resize(form.width() + 40, 450);
    form.close();
    const std::string ini = PathOf(QStringLiteral("config.ini")).toStdString();
    EXPECT_EQ(platform::ReadProfileInteger(ini, "Window", "Width", 0), form.width());
    EXPECT_EQ(platform::ReadProfileInteger(ini, "Window", "Height", 0), 450);
    EXPECT_NE(platform::ReadProfileInteger(ini, "Window", "Left", INT32_MIN), INT32_MIN);
    // The receiver's settings are untouched.
    EXPECT_EQ(platform::ReadProfileString(ini, "DU7025", "Ip", ""), "127.0.0.1");
    const int width = form.width();
    TForm1& again = MakeForm();
    EXPECT_EQ(again.width(), width);
    EXPECT_EQ(again.height(), 450);
}

TEST_F(MainWindowTest, GridColumnsInOrderWithDayTitles) {
    TForm1& form = MakeForm();
    const auto& columns = form.wwDBGrid3()->GridModel().Columns();
    struct Expected {
        const char* field;
        int width;
        bool check_box;
    };
    const std::vector<Expected> expected{
        {"Zender", 20, false},     {"Name", 40, false}, {"Begin", 18, false}, {"End", 18, false},
        {"Repeated", 5, false},    {"d1", 2, true},     {"d2", 2, true},      {"d3", 2, true},
        {"d4", 2, true},           {"d5", 2, true},     {"d6", 2, true},      {"d0", 2, true},
        {"Afterevent", 10, false},
    };
    ASSERT_EQ(columns.size(), expected.size());
    auto& model = form.wwDBGrid3()->GridModel();
    const std::vector<QString> titles{"Channel", "Description", "Begin", "End", "Repeated"};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].field);
        EXPECT_EQ(columns[i].FieldName, expected[i].field);
        EXPECT_EQ(columns[i].Width, expected[i].width);
        EXPECT_EQ(columns[i].CheckBox, expected[i].check_box);
        const QString title = model.headerData(static_cast<int>(i), Qt::Horizontal).toString();
        if (i < titles.size()) {
            EXPECT_EQ(title, titles[i]);
        } else if (expected[i].check_box) {
            // d1..d6 are Monday..Saturday (Qt days 1..6), d0 is Sunday (Qt day 7).
            const int day = expected[i].field[1] - '0';
            EXPECT_EQ(title, CapitalisedShortDay(day == 0 ? 7 : day));
            EXPECT_EQ(QString::fromStdString(
                          form.Tables().Timers.FieldByName(expected[i].field).DisplayLabel()),
                      title);
        } else {
            EXPECT_EQ(title, "Afterevent");
        }
    }
    // Sunday ticks like the other days.
    EXPECT_EQ(columns[11].TickValue, columns[5].TickValue);
}

TEST_F(MainWindowTest, EmptyTableAfterStartUp) {
    TForm1& form = MakeForm();
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form.ChangeCount(), 0);
    EXPECT_DOUBLE_EQ(form.LastEnd(), 0.0);
    EXPECT_TRUE(form.Append()->isEnabled());
    EXPECT_FALSE(form.Edit()->isEnabled());
    EXPECT_FALSE(form.Delete()->isEnabled());
    EXPECT_FALSE(form.SaveExit()->isEnabled());
    // Start-up got through to its end: the focus timer is armed.
    EXPECT_TRUE(form.Timer1()->isActive());
    EXPECT_EQ(form.Timer1()->interval(), 50);
    EXPECT_TRUE(form.Timer1()->isSingleShot());
    EXPECT_FALSE(form.TimerTerminate()->isActive());
}

TEST_F(MainWindowTest, MissingBoxFilesAreReportedAndStartUpFinishes) {
    TForm1& form = MakeForm();
    // Nothing was downloaded and the directory holds no service list: the parse stops
    // with the reader's error, shown in a message box.
    EXPECT_TRUE(AnyMessageContains(QStringLiteral("Cannot open file")));
    EXPECT_FALSE(form.Terminating());
    EXPECT_TRUE(form.Append()->isEnabled());
}

TEST_F(MainWindowTest, StartUpRunsItsStepsInOrder) {
    TForm1& form = MakeForm();
    const std::string log = form.MemoText();
    // Time-zone lines, then the download's connection attempt.
    const auto zone = log.find("TimeZoneInformation.Bias: ");
    const auto download = log.find("asStatusText : ");
    ASSERT_NE(zone, std::string::npos);
    ASSERT_NE(download, std::string::npos);
    EXPECT_LT(zone, download);
    // The download's alert comes before the reader's error.
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[0].title, "Alert!");
    EXPECT_TRUE(messages_[1].text.startsWith("Cannot open file "));
    EXPECT_TRUE(messages_[1].error_icon);
}

TEST_F(MainWindowTest, StartUpShowsTheLocalCopiesInBeginOrder) {
    for (const QString& name :
         QDir(QStringLiteral(TAPIR_SOURCE_DIR "/testdata")).entryList(QDir::Files)) {
        ASSERT_TRUE(
            QFile::copy(QStringLiteral(TAPIR_SOURCE_DIR "/testdata/") + name, PathOf(name)));
    }
    WriteConfig("127.0.0.1", false, 1);
    platform::ScopedClockPin now(platform::EncodeDateTime(2027, 1, 10, 12, 0));
    TForm1& form = MakeForm();

    ASSERT_EQ(messages_.size(), 1u);  // only the download's alert
    auto& model = form.wwDBGrid3()->GridModel();
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "heute journal");
    Timers().First();
    double previous = 0;
    for (int row = 0; row < 5; ++row) {
        SCOPED_TRACE(row);
        const double begin = Timers().FieldByName("Begin").AsDateTime();
        EXPECT_GE(begin, previous);
        previous = begin;
        Timers().Next();
    }
    // Monday to Friday (mask 31): d1..d5 ticked, Saturday and Sunday not.
    EXPECT_EQ(model.data(model.index(0, 4)).toString(), "True");
    for (int column = 5; column <= 11; ++column) {
        SCOPED_TRACE(column);
        EXPECT_EQ(model.data(model.index(0, column), Qt::CheckStateRole).toInt(),
                  column <= 9 ? Qt::Checked : Qt::Unchecked);
    }
    EXPECT_TRUE(form.Edit()->isEnabled());
    EXPECT_TRUE(form.Delete()->isEnabled());
    EXPECT_FALSE(form.SaveExit()->isEnabled());
    EXPECT_EQ(form.ChangeCount(), 0);
}

TEST_F(MainWindowTest, TimesNoDateTimeCanHoldShowAsInvalidWithTheFilesText) {
    WriteFile(QStringLiteral("lamedb"), "eDVB services /4/\nservices\nend\n");
    WriteFile(QStringLiteral("bouquets.tv"), "");
    WriteFile(QStringLiteral("bouquets.radio"), "");
    WriteFile(QStringLiteral("timers.xml"),
              "<timers>\n<timer begin=\"99999999999999\" end=\"-5\" "
              "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\" repeated=\"1\" name=\"Far\"/>\n"
              "</timers>\n");
    TForm1& form = MakeForm();
    auto& model = form.wwDBGrid3()->GridModel();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "Far");
    EXPECT_EQ(model.data(model.index(0, 2)).toString(), "invalid: 99999999999999");
    EXPECT_EQ(model.data(model.index(0, 3)).toString(), "invalid: -5");
}

TEST_F(MainWindowTest, OverlappingTimersAreMarkedWithTheirPartnerAndCounted) {
    WriteFile(QStringLiteral("lamedb"), "eDVB services /4/\nservices\nend\n");
    WriteFile(QStringLiteral("bouquets.tv"), "");
    WriteFile(QStringLiteral("bouquets.radio"), "");
    const std::string ref = "serviceref=\"1:0:19:283D:3FB:1:C00000:0:0:0:\"";
    WriteFile(QStringLiteral("timers.xml"),
              "<timers>\n<timer begin=\"1799697600\" end=\"1799701200\" " + ref +
                  " name=\"News\"/>\n<timer begin=\"1799699400\" end=\"1799704800\" " + ref +
                  " name=\"Film\"/>\n<timer begin=\"1799740800\" end=\"1799744400\" " + ref +
                  " name=\"Morning\"/>\n</timers>\n");
    WriteConfig("127.0.0.1", false, 0);
    platform::ScopedClockPin now(platform::EncodeDateTime(2027, 1, 10, 12, 0));
    TForm1& form = MakeForm();
    auto& model = form.wwDBGrid3()->GridModel();
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "News");
    EXPECT_EQ(model.data(model.index(0, 0), Qt::ToolTipRole).toString(),
              "Overlaps Film by 30 minutes");
    EXPECT_EQ(model.data(model.index(1, 3), Qt::ToolTipRole).toString(),
              "Overlaps News by 30 minutes");
    const QColor marked = model.data(model.index(0, 1), Qt::BackgroundRole).value<QColor>();
    ASSERT_TRUE(marked.isValid());
    const QColor text = model.data(model.index(0, 1), Qt::ForegroundRole).value<QColor>();
    EXPECT_GE(controls::ContrastRatio(text, marked), controls::kReadableContrast);
    EXPECT_FALSE(model.data(model.index(2, 1), Qt::BackgroundRole).isValid());
    auto* count = form.findChild<QLabel*>(QStringLiteral("OverlapText"));
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->text(), "2 timers overlap in the coming 14 days");

    // Deleting one of the two clears the marks.
    Timers().First();
    form.Delete()->trigger();
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::BackgroundRole).isValid());
    EXPECT_EQ(count->text(), "");
}

TEST_F(MainWindowTest, StartUpLogsTheTimeZoneRecord) {
    TForm1& form = MakeForm();
    const std::string log = form.MemoText();
    EXPECT_NE(log.find("TimeZoneInformation.Bias: "), std::string::npos);
    EXPECT_NE(log.find("TimeZoneInformation.StandardBias: "), std::string::npos);
    EXPECT_NE(log.find("TimeZoneInformation.DaylightBias: "), std::string::npos);
    EXPECT_NE(log.find("StandardDate: "), std::string::npos);
    EXPECT_NE(log.find("DaylightDate: "), std::string::npos);
}

TEST_F(MainWindowTest, AppendThenDeleteCountsTwoChanges) {
    TForm1& form = MakeForm();
    const double begin = platform::EncodeDateTime(2030, 5, 1, 20, 0);
    AppendTimer("Een", begin, begin + 1.0 / 24);
    EXPECT_EQ(Timers().RecordCount(), 1);
    EXPECT_EQ(form.ChangeCount(), 1);
    EXPECT_TRUE(form.Edit()->isEnabled());
    EXPECT_TRUE(form.Delete()->isEnabled());
    EXPECT_TRUE(form.SaveExit()->isEnabled());

    form.Delete()->trigger();
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form.ChangeCount(), 2);
    EXPECT_FALSE(form.Edit()->isEnabled());
    EXPECT_FALSE(form.Delete()->isEnabled());
    EXPECT_TRUE(form.SaveExit()->isEnabled());
    EXPECT_TRUE(form.Append()->isEnabled());
}

TEST_F(MainWindowTest, DeleteOnAnEmptyTableChangesNothing) {
    TForm1& form = MakeForm();
    form.DeleteExecute();
    EXPECT_EQ(form.ChangeCount(), 0);
    EXPECT_FALSE(form.SaveExit()->isEnabled());
}

TEST_F(MainWindowTest, DeleteRemovesTheCurrentRowAtOnce) {
    TForm1& form = MakeForm();
    const double day = platform::EncodeDate(2030, 5, 1);
    AppendTimer("Een", day + 0.5, day + 0.6, "first");
    AppendTimer("Twee", day + 1.5, day + 1.6, "second");
    Timers().First();
    form.Delete()->trigger();
    ASSERT_EQ(Timers().RecordCount(), 1);
    Timers().First();
    EXPECT_EQ(Timers().FieldByName("Name").AsString(), "second");
    EXPECT_EQ(dialogs_->timer_calls, 2);  // no question asked
}

TEST_F(MainWindowTest, CancelledTimerDialogLeavesChangeCount) {
    TForm1& form = MakeForm();
    ScriptAccept("Een", 47000.5, 47000.6);
    dialogs_->timer = [](DialogHost&, int& result, bool) { result = 1; };
    form.Append()->trigger();
    EXPECT_EQ(Timers().RecordCount(), 0);
    EXPECT_EQ(form.ChangeCount(), 0);
    EXPECT_FALSE(form.SaveExit()->isEnabled());
}

TEST_F(MainWindowTest, GridListsPostedRowsInBeginOrder) {
    TForm1& form = MakeForm();
    const double day = platform::EncodeDate(2030, 5, 1);
    AppendTimer("Later", day + 0.75, day + 0.8, "late");
    AppendTimer("Earlier", day + 0.25, day + 0.3, "early");
    auto& model = form.wwDBGrid3()->GridModel();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.data(model.index(0, 0)).toString(), "Earlier");
    EXPECT_EQ(model.data(model.index(1, 0)).toString(), "Later");
    // Begin in the display format "ddd dd-mm-yy  hh:nn".
    const QString expected_begin =
        QString::fromStdString(platform::ShortDayNames()[3]) + " 01-05-30  06:00";
    EXPECT_EQ(model.data(model.index(0, 2)).toString(), expected_begin);
    EXPECT_EQ(model.data(model.index(0, 4)).toString(), "False");
}

TEST_F(MainWindowTest, DayColumnsTickTheRepeatedDaysSundayIncluded) {
    TForm1& form = MakeForm();
    const double day = platform::EncodeDate(2030, 5, 1);
    ScriptAccept("Een", day + 0.5, day + 0.6);
    dialogs_->timer = [](DialogHost& host, int& result, bool) {
        // Monday and Sunday.
        host.Tables().Timers.FieldByName("RepeatedOrg").SetAsLargeint(1 | 64);
        result = 0;
    };
    form.Append()->trigger();
    auto& model = form.wwDBGrid3()->GridModel();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.data(model.index(0, 4)).toString(), "True");
    std::vector<int> ticked;
    for (int column = 5; column <= 11; ++column) {
        if (model.data(model.index(0, column), Qt::CheckStateRole).toInt() == Qt::Checked) {
            ticked.push_back(column);
        }
    }
    // Column 5 is Monday (d1), column 11 is Sunday (d0).
    EXPECT_EQ(ticked, (std::vector<int>{5, 11}));
}

class DebugSwitchTest : public MainWindowFixture,
                        public ::testing::WithParamInterface<std::pair<QStringList, bool>> {};

TEST_P(DebugSwitchTest, ShowsTheLogOnlyForTheFirstArgument) {
    const auto& [leading, shown] = GetParam();
    TForm1& form = MakeForm(leading);
    EXPECT_EQ(form.DebugLogShown(), shown);
    if (shown) {
        // Below the grid, which keeps at least half of the height they share.
        QTest::qWait(20);
        auto* grid_box = form.findChild<QGroupBox*>(QStringLiteral("GroupBox1"));
        ASSERT_NE(grid_box, nullptr);
        EXPECT_GT(form.Memo1()->height(), 100);
        EXPECT_LE(form.Memo1()->height(), 300);
        EXPECT_GE(grid_box->height(), form.Memo1()->height());
        EXPECT_GT(form.Memo1()->y(), grid_box->y());
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, DebugSwitchTest,
                         ::testing::Values(std::make_pair(QStringList{"-debug"}, true),
                                           std::make_pair(QStringList{"xDebugx"}, true),
                                           std::make_pair(QStringList{"DEBUG"}, true),
                                           std::make_pair(QStringList{"x", "DEBUG"}, false),
                                           std::make_pair(QStringList{}, false)));

TEST_F(MainWindowTest, FirstStartWithoutSavingEndsTheProgram) {
    QFile::remove(PathOf(QStringLiteral("config.ini")));
    TForm1& form = MakeForm({}, true, [](ScriptedDialogs& dialogs) {
        dialogs.configuration = [](DialogHost&, bool) { return false; };
    });
    ASSERT_EQ(dialogs_->configuration_first_start, std::vector<bool>{true});
    EXPECT_TRUE(form.Terminating());
    EXPECT_EQ(quit_requests_, 1);
    EXPECT_FALSE(QFile::exists(PathOf(QStringLiteral("config.ini"))));
    // Nothing else of the start-up ran.
    EXPECT_TRUE(messages_.empty());
    EXPECT_FALSE(form.Timer1()->isActive());
}

TEST_F(MainWindowTest, FirstStartSavedGoesOnWithTheNewSettings) {
    QFile::remove(PathOf(QStringLiteral("config.ini")));
    const int port = closed_port_;
    TForm1& form = MakeForm({}, true, [port](ScriptedDialogs& dialogs) {
        dialogs.configuration = [port](DialogHost& host, bool) {
            platform::Settings settings = host.CurrentSettings();
            settings.Ip = "127.0.0.1";
            settings.Username = "root";
            platform::WriteSettings(host.ConfigPath(), settings);
            // Keep the download away from a real port 21.
            QFile file(QString::fromStdString(host.ConfigPath()));
            EXPECT_TRUE(file.open(QIODevice::Append));
            file.write(("FtpPort=" + std::to_string(port) + "\n").c_str());
            return true;
        };
    });
    EXPECT_FALSE(form.Terminating());
    EXPECT_EQ(quit_requests_, 0);
    EXPECT_EQ(form.windowTitle(), "Tapir  127.0.0.1:   (v0.1)");
    EXPECT_EQ(form.CurrentSettings().FtpPort, port);
    EXPECT_TRUE(form.Timer1()->isActive());
}

TEST_F(MainWindowTest, ConfigurationReadsTheFileBackWhateverTheOutcome) {
    TForm1& form = MakeForm();
    struct Case {
        bool saved;
        std::string ip;
    };
    for (const Case& c : {Case{true, "127.0.0.10"}, Case{false, "127.0.0.20"}}) {
        SCOPED_TRACE(c.ip);
        dialogs_->configuration = [this, c](DialogHost& host, bool first_start) {
            EXPECT_FALSE(first_start);
            // The dialog changes the window's copy; only the file counts afterwards.
            host.CurrentSettings().Ip = "changed in memory";
            WriteConfig(c.ip);
            return c.saved;
        };
        form.Configuration()->trigger();
        EXPECT_EQ(form.CurrentSettings().Ip, c.ip);
        EXPECT_EQ(form.windowTitle(), QString::fromStdString("Tapir  " + c.ip + ":   (v0.1)"));
    }
    EXPECT_EQ(dialogs_->configuration_first_start, (std::vector<bool>{false, false}));
}

TEST_F(MainWindowTest, CloseAsksTheProgramToEnd) {
    TForm1& form = MakeForm();
    form.show();
    form.Close()->trigger();
    EXPECT_EQ(quit_requests_, 1);
    EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindowTest, CloseBoxClosesWithoutAsking) {
    TForm1& form = MakeForm();
    AppendTimer("Een", 47000.5, 47000.6);
    form.show();
    messages_.clear();
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(messages_.empty());  // no question about the unsaved change
    EXPECT_EQ(form.ChangeCount(), 1);
}

TEST_F(MainWindowTest, Timer1GivesTheGridTheFocus) {
    TForm1& form = MakeForm();
    form.show();
    QApplication::setActiveWindow(&form);
    form.Timer1Timer();
    EXPECT_FALSE(form.Timer1()->isActive());
    EXPECT_TRUE(form.wwDBGrid3()->hasFocus());
}

TEST_F(MainWindowTest, TerminateTimerEndsTheProgram) {
    TForm1& form = MakeForm();
    form.TimerTerminateTimer();
    EXPECT_EQ(quit_requests_, 1);
    EXPECT_FALSE(form.TimerTerminate()->isActive());
}

TEST_F(MainWindowTest, TelnetChunksAreLoggedAndFailedRepliesDropped) {
    TForm1& form = MakeForm();
    messages_.clear();
    // Not connected: the reply to "login" cannot be sent, which the dialogue ignores.
    form.IdTelnet1DataAvailable("dm7025 login: ");
    EXPECT_NE(form.MemoText().find("dm7025 login: "), std::string::npos);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, AnErrorInAHandlerIsShownAndTheProgramGoesOn) {
    TForm1& form = MakeForm();
    messages_.clear();
    EXPECT_FALSE(form.Guarded([] { throw tapir::Exception("EDatabaseError", "Bad thing"); }));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Bad thing");
    EXPECT_TRUE(form.Guarded([] {}));
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(MainWindowTest, DownloadFailureIsAnAlertWithTheSocketError) {
    MakeForm();
    ASSERT_FALSE(messages_.empty());
    const testing::ShownMessage alert = messages_.front();
    EXPECT_EQ(alert.title, "Alert!");
    EXPECT_FALSE(alert.error_icon);
    EXPECT_TRUE(alert.text.startsWith(
        "FTP fout bij het ophalen van bestanden vanaf de DM7025\nMogelijk zijn er geen of "
        "oude timers ingelezen.\n\n"));
    EXPECT_TRUE(alert.text.endsWith("EIdSocketErrorSocket Error # 10061\r\nConnection refused."))
        << alert.text.toStdString();
    EXPECT_EQ(beeps_, 1);
}

TEST_F(MainWindowTest, SaveExitUploadsNothingWhenTheReceiversListCannotBeCopied) {
    CopyTestFiles();
    TForm1& form = MakeForm();
    ASSERT_TRUE(form.TimersComplete());
    const double day = platform::EncodeDate(2030, 5, 1);
    AppendTimer("Een", day + 0.5, day + 0.6, "kept");
    messages_.clear();
    form.SaveExit()->trigger();
    // The copy of the receiver's list comes first; without it nothing is written or sent.
    EXPECT_FALSE(QFile::exists(PathOf(QStringLiteral("timers.new"))));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.startsWith(
        "Nothing was uploaded: the receiver's current timer list could not be copied first"))
        << messages_[0].text.toStdString();
    EXPECT_TRUE(messages_[0].text.contains("Connection refused."));
    // Nothing after the failing step ran; the window stays and the action can be retried.
    EXPECT_FALSE(form.TimerTerminate()->isActive());
    EXPECT_EQ(quit_requests_, 0);
    EXPECT_EQ(form.ChangeCount(), 1);
    EXPECT_FALSE(form.Saving());
    EXPECT_TRUE(form.SaveExit()->isEnabled());
    EXPECT_EQ(Timers().RecordCount(), 6);
}

TEST_F(MainWindowTest, FailedChannelListsStillShowTheTimersAndAllowTheUpload) {
    CopyTestFiles();
    ASSERT_TRUE(QFile::remove(PathOf(QStringLiteral("lamedb"))));
    WriteConfig("127.0.0.1", false, 1);
    platform::ScopedClockPin now(platform::EncodeDateTime(2027, 1, 10, 12, 0));
    TForm1& form = MakeForm();
    // The download's alert, then the service list's error; the timers are there all the same.
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[0].title, "Alert!");
    EXPECT_TRUE(messages_[1].text.startsWith("Cannot open file "))
        << messages_[1].text.toStdString();
    EXPECT_TRUE(messages_[1].text.endsWith("lamedb")) << messages_[1].text.toStdString();
    EXPECT_EQ(Timers().RecordCount(), 5);
    EXPECT_TRUE(form.TimersComplete());
    EXPECT_FALSE(form.StatusText().contains("could not be read"));
}

TEST_F(MainWindowTest, SaveExitRefusesWhenTheTimerListWasNotReadCompletely) {
    CopyTestFiles();
    // A timer list cut off in the middle: not well-formed.
    WriteFile(QStringLiteral("timers.xml"),
              "<?xml version=\"1.0\" ?>\n<timers>\n\t<timer begin=\"1799700300\" "
              "end=\"1799702400\" serviceref=\"1:0:19:2B66:3F3:1:C00000:0:0:0:\" name=\"a\">\n"
              "\t</timer>\n\t<timer begin=\"18000");
    TForm1& form = MakeForm();
    EXPECT_FALSE(form.TimersComplete());
    EXPECT_TRUE(form.StatusText().contains("could not be read")) << form.StatusText().toStdString();
    AppendTimer("Een", 47000.5, 47000.6, "new");
    messages_.clear();
    ASSERT_TRUE(form.SaveExit()->isEnabled());
    form.SaveExit()->trigger();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].text.contains(
        "uploading would replace the receiver's timers with an incomplete list"));
    EXPECT_FALSE(QFile::exists(PathOf(QStringLiteral("timers.new"))));
    EXPECT_FALSE(QDir(PathOf(QStringLiteral("backup"))).exists());
    EXPECT_TRUE(form.SaveExit()->isEnabled());
}

}  // namespace
}  // namespace tapir::app
