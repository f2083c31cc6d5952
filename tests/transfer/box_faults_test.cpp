// The download, upload and restart flows against the receiver simulator with each of its
// faults switched on: every run ends within its time limit with the message the user sees,
// the local copies and the receiver's timer list as they were.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/settings.h"
#include "tests/transfer/loopback_peer.h"
#include "tools/boxsim/box_simulator.h"
#include "transfer/box_transfer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

namespace fs = std::filesystem;
using boxsim::Fault;
using Clock = std::chrono::steady_clock;

const fs::path kReceiverFiles = fs::path(TAPIR_SOURCE_DIR) / "testdata";
const std::string kLocalCopy = "local copy of an earlier run";
const std::string kNewTimers =
    "<?xml version=\"1.0\" ?>\n<timers>\n<timer begin=\"1700000000\" end=\"1700003600\" "
    "serviceref=\"1:0:1:6D66:437:1:C00000:0:0:0:\" name=\"" +
    std::string(300, 'n') + "\" />\n</timers>\n";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class BoxFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string base = fs::temp_directory_path() /
                                 ("tapir-faults-" + std::to_string(::getpid()) + "-" +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        box_dir_ = fs::path(base) / "box";
        program_dir_ = fs::path(base) / "program";
        fs::create_directories(box_dir_);
        fs::create_directories(program_dir_);
        for (const char* name : {"lamedb", "bouquets.tv", "timers.xml", "userbouquet.dbe01.tv"}) {
            fs::copy_file(kReceiverFiles / name, box_dir_ / name);
        }
        box_timers_ = ReadFile(box_dir_ / "timers.xml");
        for (const char* name : {"lamedb", "bouquets.tv", "timers.xml"}) {
            WriteFile(program_dir_ / name, kLocalCopy);
        }
        WriteFile(program_dir_ / "timers.new", kNewTimers);
    }
    void TearDown() override {
        if (simulator_) {
            simulator_->Stop();
        }
        std::error_code ignored;
        fs::remove_all(box_dir_.parent_path(), ignored);
    }

    void Start(std::vector<Fault> faults, std::string prompt = "root@dm7025:~# ") {
        boxsim::Options options;
        options.dir = box_dir_;
        options.faults = std::move(faults);
        options.prompt = std::move(prompt);
        options.slow_delay = std::chrono::milliseconds(40);
        simulator_ = std::make_unique<boxsim::BoxSimulator>(options);
        simulator_->Start();
        settings_.Ip = "127.0.0.1";
        settings_.Username = options.user;
        settings_.Password = options.password;
        settings_.FtpPort = simulator_->FtpPort();
        settings_.TelnetPort = simulator_->TelnetPort();
        settings_.ConnectTimeout = 1;
        settings_.ReplyTimeout = 1;
    }

    std::string ProgramDir() const { return program_dir_.string() + "/"; }

    // Runs `step`, which must fail with `Kind`; returns the error's message. Checks that it
    // ended within `limit` seconds.
    template <typename Kind>
    std::string Fails(const std::function<void()>& step, double limit = 3.0) {
        const Clock::time_point start = Clock::now();
        try {
            step();
            ADD_FAILURE() << "succeeded";
        } catch (const Kind& error) {
            EXPECT_LT(SecondsSince(start), limit);
            EXPECT_FALSE(ftp_.Connected());
            return error.Message();
        } catch (const tapir::Exception& error) {
            ADD_FAILURE() << error.KindName() << ": " << error.Message();
        }
        return {};
    }
    std::function<void()> Download() {
        return [this] { (void)DownloadBoxFiles(ftp_, settings_, ProgramDir()); };
    }
    std::function<void()> Upload() {
        return [this] { UploadTimersFile(ftp_, settings_, ProgramDir()); };
    }

    // The local copies are as they were, and no temporary file is left beside them.
    void ExpectLocalCopiesIntact() {
        for (const char* name : {"lamedb", "bouquets.tv", "timers.xml"}) {
            EXPECT_EQ(ReadFile(program_dir_ / name), kLocalCopy) << name;
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(program_dir_), fs::directory_iterator()), 4);
    }
    void ExpectBoxTimersIntact() { EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), box_timers_); }

    fs::path box_dir_;
    fs::path program_dir_;
    std::string box_timers_;
    platform::Settings settings_;
    std::unique_ptr<boxsim::BoxSimulator> simulator_;
    TIdFTP ftp_;
};

TEST_F(BoxFaultsTest, SilentServerEndsDownloadAndUploadWithinTheReplyLimit) {
    Start({Fault::SilentAfterAccept});
    EXPECT_EQ(Fails<EIdReadTimeout>(Download()), "Read timed out: 127.0.0.1 sent nothing for 1 s.");
    ExpectLocalCopiesIntact();
    EXPECT_EQ(Fails<EIdReadTimeout>(Upload()), "Read timed out: 127.0.0.1 sent nothing for 1 s.");
    ExpectBoxTimersIntact();
}

TEST_F(BoxFaultsTest, StalledDataConnectionEndsDownloadAndUpload) {
    Start({Fault::StallData});
    EXPECT_EQ(Fails<EIdReadTimeout>(Download()), "Read timed out: 127.0.0.1 sent nothing for 1 s.");
    ExpectLocalCopiesIntact();
    // The upload's bytes fit into the socket buffers; then the closing reply never comes.
    (void)Fails<EIdReadTimeout>(Upload());
    ExpectBoxTimersIntact();
    EXPECT_TRUE(simulator_->ReceivedFiles().empty());
}

TEST_F(BoxFaultsTest, CutUploadFailsAndLeavesTheReceiversListAlone) {
    Start({Fault::CutStor});
    EXPECT_EQ(Fails<EUploadFailed>(Upload()),
              "Upload of timers.xml failed: the receiver cut the transfer off (426 Failure "
              "reading network stream.).");
    ExpectBoxTimersIntact();
    EXPECT_FALSE(fs::exists(box_dir_ / "timers.xml.tapir-upload"));  // removed again
    // A file large enough that the sender sees the closed data connection itself.
    WriteFile(program_dir_ / "timers.new", std::string(8 << 20, 't'));
    const std::string message = Fails<EUploadFailed>(Upload());
    EXPECT_EQ(message.rfind("Upload of timers.xml failed: ", 0), 0u) << message;
    ExpectBoxTimersIntact();
}

TEST_F(BoxFaultsTest, RefusedRenameStoresDirectlyAndChecksTheCopy) {
    Start({Fault::NoRename});
    UploadTimersFile(ftp_, settings_, ProgramDir());
    EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), kNewTimers);
    EXPECT_FALSE(fs::exists(box_dir_ / "timers.xml.tapir-upload"));
    std::vector<std::string> commands = simulator_->FtpCommands();
    std::erase_if(commands,
                  [](const std::string& command) { return command.rfind("PORT", 0) == 0; });
    const std::vector<std::string> tail(commands.end() - 5, commands.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "STOR timers.xml.tapir-upload", "RNFR timers.xml.tapir-upload",
                        "DELE timers.xml.tapir-upload", "STOR timers.xml", "retr timers.xml"}));
}

TEST_F(BoxFaultsTest, UploadRenamesIntoPlaceAndChecksTheSize) {
    Start({});
    UploadTimersFile(ftp_, settings_, ProgramDir());
    EXPECT_EQ(ReadFile(box_dir_ / "timers.xml"), kNewTimers);
    const std::vector<std::string> commands = simulator_->FtpCommands();
    const std::vector<std::string> tail(commands.end() - 4, commands.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"STOR timers.xml.tapir-upload",
                                              "RNFR timers.xml.tapir-upload", "RNTO timers.xml",
                                              "SIZE timers.xml"}));
    ASSERT_EQ(simulator_->ReceivedFiles().size(), 1u);
    EXPECT_EQ(simulator_->ReceivedFiles()[0].name, "timers.xml");
}

TEST_F(BoxFaultsTest, RefusedPortIsAnErrorNotAnEmptyListing) {
    Start({Fault::Port550});
    EXPECT_EQ(Fails<EIdProtocolReplyError>(Download()), "550 PORT command failed.");
    ExpectLocalCopiesIntact();
}

TEST_F(BoxFaultsTest, HugeListingFailsWithinBoundedMemory) {
    Start({Fault::HugeListing});
    EXPECT_EQ(Fails<EIdListingTooLarge>(Download()),
              "The listing of userbouquet*.* is too large: more than 100000 names or 16 MiB.");
    ExpectLocalCopiesIntact();
}

TEST_F(BoxFaultsTest, RefusedListingIsNoMatchAndInterruptedFetchesAreCleanedUp) {
    Start({Fault::Nlst550});
    WriteFile(program_dir_ / ".tapir-get-Ab12Cd", "left by an interrupted run");
    const std::vector<std::string> fetched = DownloadBoxFiles(ftp_, settings_, ProgramDir());
    EXPECT_EQ(fetched, (std::vector<std::string>{"userbouquet.dbe01.tv", "lamedb", "bouquets.tv",
                                                 "timers.xml"}));
    EXPECT_FALSE(fs::exists(program_dir_ / ".tapir-get-Ab12Cd"));
    EXPECT_EQ(ReadFile(program_dir_ / "timers.xml"), box_timers_);
}

TEST_F(BoxFaultsTest, CancelDuringSlowDownloadAndUpload) {
    Start({Fault::Slow});
    std::vector<std::string> names;
    int calls = 0;
    ftp_.OnWork = [&](const std::string& name, std::uint64_t) {
        names.push_back(name);
        return ++calls < 15;
    };
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Fails<EAbort>(Download()), "Operation aborted");
    EXPECT_LT(SecondsSince(start), 2.5);
    EXPECT_EQ(calls, 15);
    ExpectLocalCopiesIntact();

    // Cancelled while the bytes go to the temporary name: the receiver's list is untouched.
    calls = 0;
    bool storing = false;
    ftp_.OnWork = [&](const std::string& name, std::uint64_t bytes) {
        storing = storing || (name == "timers.xml.tapir-upload" && bytes > 0);
        return !storing;
    };
    EXPECT_EQ(Fails<EAbort>(Upload()), "Operation aborted");
    EXPECT_TRUE(storing);
    ExpectBoxTimersIntact();
}

// A scripted server whose every NLST offers the same names, to see what the download fetches.
TEST(DownloadListingFilter, OnlyNamesMatchingThePatternAreFetched) {
    using testing::ReadLine;
    using testing::SendAll;
    std::vector<std::string> retrieved;
    testing::OneShotPeer server([&retrieved](int fd) {
        SendAll(fd, "220 box\r\n");
        std::uint16_t data_port = 0;
        while (true) {
            bool ok = false;
            const std::string command = ReadLine(fd, &ok);
            if (!ok) {
                return;
            }
            if (command.rfind("PORT ", 0) == 0) {
                int parts[6] = {};
                std::sscanf(command.c_str(), "PORT %d,%d,%d,%d,%d,%d", &parts[0], &parts[1],
                            &parts[2], &parts[3], &parts[4], &parts[5]);
                data_port = static_cast<std::uint16_t>(parts[4] * 256 + parts[5]);
                SendAll(fd, "200 ok\r\n");
            } else if (command.rfind("nlst ", 0) == 0 || command.rfind("retr ", 0) == 0) {
                const bool listing = command[0] == 'n';
                if (!listing) {
                    retrieved.push_back(command.substr(5));
                }
                SendAll(fd, "150 go\r\n");
                const int data = testing::ConnectTo("127.0.0.1", data_port);
                SendAll(data, listing ? "config.ini\r\ntapir\r\n/etc/enigma2/timers.xml\r\n"
                                        "../lamedb\r\nuserbouquet.a.tv\r\n.\r\n"
                                      : "content");
                ::close(data);
                SendAll(fd, "226 done\r\n");
            } else if (command.rfind("user ", 0) == 0) {
                SendAll(fd, "230 ok\r\n");
            } else if (command == "syst") {
                SendAll(fd, "215 UNIX\r\n");
            } else {
                SendAll(fd, command.rfind("CWD", 0) == 0 ? "250 ok\r\n" : "200 ok\r\n");
            }
        }
    });
    const fs::path dir = fs::temp_directory_path() / ("tapir-filter-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    platform::Settings settings;
    settings.Ip = "127.0.0.1";
    settings.FtpPort = server.Port();
    TIdFTP ftp;
    const std::vector<std::string> fetched = DownloadBoxFiles(ftp, settings, dir.string() + "/");
    server.Join();
    EXPECT_EQ(fetched, (std::vector<std::string>{"userbouquet.a.tv", "lamedb", "timers.xml"}));
    EXPECT_EQ(retrieved, (std::vector<std::string>{"userbouquet.a.tv", "../lamedb",
                                                   "/etc/enigma2/timers.xml"}));
    EXPECT_FALSE(fs::exists(dir / "config.ini"));
    EXPECT_FALSE(fs::exists(dir / "tapir"));
    EXPECT_EQ(ReadFile(dir / "timers.xml"), "content");
    fs::remove_all(dir);
}

// ---- the restart dialogue against the simulator's telnet faults ----

// A restart dialogue on a telnet client whose handler runs on the reader thread.
class RestartRun {
  public:
    explicit RestartRun(const platform::Settings& settings)
        : telnet_([](std::function<void()> call) { call(); }),
          dialogue_(
              settings.Prompt,
              RestartDialogue::Actions{[](const std::string&) {}, [this] { telnet_.Disconnect(); },
                                       [this](std::string_view bytes) { telnet_.Write(bytes); }},
              settings.Password) {
        dialogue_.OnRestartSent = [this] { ++sent_count_; };
        telnet_.OnDataAvailable = [this](const std::string& text) {
            dialogue_.DataAvailable(text);
        };
        StartRestart(telnet_, settings);
    }
    ~RestartRun() {
        telnet_.Disconnect();
        telnet_.WaitForReader();
    }

    // Waits until the reader has ended (for the silent cases: by its time limit).
    void WaitForReader() { telnet_.WaitForReader(); }
    std::optional<TIdTelnet::ReaderEnd> ReaderEnd() const { return telnet_.LastReaderEnd(); }
    int SentCount() const { return sent_count_; }

  private:
    TIdTelnet telnet_;
    RestartDialogue dialogue_;
    std::atomic<int> sent_count_{0};
};

int KillallLines(const boxsim::BoxSimulator& simulator) {
    int count = 0;
    for (const std::string& line : simulator.TelnetLines()) {
        count += line.rfind("killall", 0) == 0 ? 1 : 0;
    }
    return count;
}

TEST_F(BoxFaultsTest, RestartReachesTheReceiverExactlyOnce) {
    const struct {
        const char* name;
        std::vector<Fault> faults;
        std::string prompt;
    } cases[] = {
        {"plain", {}, "root@dm7025:~# "},
        {"password asked", {Fault::PasswordPrompt}, "root@dm7025:~# "},
        {"prompt split into pieces",
         {Fault::SplitPrompt, Fault::PasswordPrompt},
         "root@dm7025:~# "},
        {"another shell prompt", {}, "root@vuduo2:/etc# "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.faults, c.prompt);
        {
            RestartRun run(settings_);
            EXPECT_TRUE(simulator_->WaitForRestarts(1, std::chrono::seconds(5)));
            // The shell shows its prompt again after the command; nothing more is typed.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(run.SentCount(), 1);
        }
        EXPECT_EQ(simulator_->RestartCount(), 1);
        EXPECT_EQ(KillallLines(*simulator_), 1);
        simulator_->Stop();
    }
}

TEST_F(BoxFaultsTest, UnconfirmedRestartEndsWithinTheReplyLimit) {
    for (const Fault fault : {Fault::NoPrompt, Fault::SilentAfterAccept}) {
        SCOPED_TRACE(static_cast<int>(fault));
        Start({fault});
        const Clock::time_point start = Clock::now();
        RestartRun run(settings_);
        run.WaitForReader();
        EXPECT_LT(SecondsSince(start), 3.0);
        ASSERT_TRUE(run.ReaderEnd().has_value());
        EXPECT_EQ(run.ReaderEnd()->kind_name, "EIdReadTimeout");
        EXPECT_EQ(run.SentCount(), 0);
        EXPECT_EQ(simulator_->RestartCount(), 0);
        simulator_->Stop();
    }
}

// The reader hands a chunk to a "UI thread" that is busy in Connect itself: Connect must not
// join that reader.
TEST_F(BoxFaultsTest, SecondConnectDoesNotWaitForAReaderWaitingOnTheUiThread) {
    Start({});
    std::mutex mutex;
    std::condition_variable changed;
    bool in_dispatch = false;
    bool release = false;
    TIdTelnet telnet([&](std::function<void()> call) {
        std::unique_lock lock(mutex);
        in_dispatch = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        lock.unlock();
        call();
    });
    telnet.OnDataAvailable = [](const std::string&) {};
    StartRestart(telnet, settings_);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return in_dispatch; }));
    }
    telnet.Disconnect();  // e.g. the dialogue ended; the reader still waits in the dispatcher
    const Clock::time_point start = Clock::now();
    EXPECT_THROW(StartRestart(telnet, settings_), EIdAlreadyConnected);
    EXPECT_LT(SecondsSince(start), 2.0);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    telnet.WaitForReader();
    EXPECT_NO_THROW(StartRestart(telnet, settings_));  // the reader has ended: connects again
    telnet.Disconnect();
}

}  // namespace
}  // namespace tapir::transfer
