#include "tools/boxsim/command_line.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/boxsim/raw_client.h"

namespace tapir::boxsim {
namespace {

TEST(BoxsimCommandLine, ParsesEveryOption) {
    const CommandLine line =
        ParseCommandLine({"--dir",        "/srv/box", "--ftp-port",   "2121",    "--telnet-port=0",
                          "--user",       "u",        "--password",   "p w",     "--log",
                          "/tmp/sim.log", "--prompt", "root@box:~# ", "--fault", "refuse-password",
                          "--fault=slow", "--fault",  "nlst-550",     "--fault", "close-data-early",
                          "--slow-ms",    "5"});
    EXPECT_EQ(line.options.dir, "/srv/box");
    EXPECT_EQ(line.options.ftp_port, 2121);
    EXPECT_EQ(line.options.telnet_port, 0);
    EXPECT_EQ(line.options.user, "u");
    EXPECT_EQ(line.options.password, "p w");
    EXPECT_EQ(line.log_path, "/tmp/sim.log");
    EXPECT_EQ(line.options.prompt, "root@box:~# ");
    EXPECT_EQ(line.options.HostName(), "box");
    EXPECT_EQ(line.options.faults, (std::vector<Fault>{Fault::RefusePassword, Fault::Slow,
                                                       Fault::Nlst550, Fault::CloseDataEarly}));
    EXPECT_EQ(line.options.slow_delay, std::chrono::milliseconds(5));
    EXPECT_FALSE(line.help);
}

TEST(BoxsimCommandLine, DefaultsMatchTheDemoReceiver) {
    const CommandLine line = ParseCommandLine({"--dir", "d"});
    EXPECT_EQ(line.options.ftp_port, 0);
    EXPECT_EQ(line.options.telnet_port, 0);
    EXPECT_EQ(line.options.user, "root");
    EXPECT_EQ(line.options.password, "dreambox");
    EXPECT_EQ(line.options.prompt, "root@dm7025:~# ");
    EXPECT_EQ(line.options.HostName(), "dm7025");
    EXPECT_TRUE(line.options.faults.empty());
    EXPECT_FALSE(line.log_path.has_value());
}

TEST(BoxsimCommandLine, RejectsBadArguments) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--ftp-port", "21"},
        {"--dir"},
        {"--dir", "d", "--ftp-port", "65536"},
        {"--dir", "d", "--ftp-port", "-1"},
        {"--dir", "d", "--telnet-port", "2x"},
        {"--dir", "d", "--fault", "explode"},
        {"--dir", "d", "--verbose"},
        {"--dir", "d", "stray"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& arg : args) {
            shown += arg + " ";
        }
        SCOPED_TRACE(shown);
        EXPECT_THROW(ParseCommandLine(args), EUsageError);
    }
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
}

TEST(BoxsimCommandLine, HelpNamesEveryOptionAndFault) {
    const std::string help = HelpText();
    for (const char* word : {"--dir",
                             "--ftp-port",
                             "--telnet-port",
                             "--user",
                             "--password",
                             "--prompt",
                             "--log",
                             "--fault",
                             "--slow-ms",
                             "--help",
                             "refuse-password",
                             "nlst-550",
                             "close-data-early",
                             "slow",
                             "silent-after-accept",
                             "stall-data",
                             "password-prompt",
                             "split-prompt",
                             "no-prompt",
                             "cut-stor",
                             "cut-stor-in-place",
                             "no-rename",
                             "port-550",
                             "huge-listing"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(BoxsimCommandLine, NewFaultsParse) {
    const CommandLine line = ParseCommandLine({"--dir",
                                               "d",
                                               "--fault",
                                               "silent-after-accept",
                                               "--fault=stall-data",
                                               "--fault",
                                               "password-prompt",
                                               "--fault",
                                               "split-prompt",
                                               "--fault",
                                               "no-prompt",
                                               "--fault",
                                               "cut-stor",
                                               "--fault",
                                               "no-rename",
                                               "--fault",
                                               "port-550",
                                               "--fault",
                                               "huge-listing",
                                               "--fault",
                                               "cut-stor-in-place"});
    EXPECT_EQ(
        line.options.faults,
        (std::vector<Fault>{Fault::SilentAfterAccept, Fault::StallData, Fault::PasswordPrompt,
                            Fault::SplitPrompt, Fault::NoPrompt, Fault::CutStor, Fault::NoRename,
                            Fault::Port550, Fault::HugeListing, Fault::CutStorInPlace}));
}

// The executable prints its ports, serves, and ends cleanly on SIGTERM and on SIGINT, also
// when started the way a shell starts a background job (SIGINT ignored).
TEST(BoxsimExecutable, PrintsPortsAndStopsOnSignals) {
    const std::string program = TAPIR_BINARY_DIR "/tools/boxsim/tapir-boxsim";
    if (!std::filesystem::exists(program)) {
        GTEST_SKIP() << "tapir-boxsim is not built";
    }
    const std::string dir = std::filesystem::temp_directory_path().string();
    for (const int stop_signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(stop_signal);
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGINT, SIG_IGN);
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(program.c_str(), program.c_str(), "--dir", dir.c_str(), "--ftp-port", "0",
                    "--telnet-port", "0", "--log", "/dev/null", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* output = ::fdopen(out[0], "r");
        unsigned ftp_port = 0;
        unsigned telnet_port = 0;
        const int fields =
            std::fscanf(output, "ftp-port %u telnet-port %u", &ftp_port, &telnet_port);
        EXPECT_EQ(fields, 2);
        if (fields == 2) {
            test::RawSocket control =
                test::RawSocket::Connect(static_cast<std::uint16_t>(ftp_port));
            EXPECT_EQ(control.ReadReply(), "220 Welcome to the dm7025 FTP service.");
            test::RawSocket telnet =
                test::RawSocket::Connect(static_cast<std::uint16_t>(telnet_port));
            EXPECT_EQ(telnet.ReadBytes(3), "\xff\xfd\x18");
        }
        ::kill(child, stop_signal);
        int status = 0;
        pid_t ended = 0;
        for (int tries = 0; tries < 1000 && ended == 0; ++tries) {
            ended = ::waitpid(child, &status, WNOHANG);
            if (ended == 0) {
                ::usleep(10000);
            }
        }
        if (ended == 0) {
            ADD_FAILURE() << "the simulator did not stop on signal " << stop_signal;
            ::kill(child, SIGKILL);
            ended = ::waitpid(child, &status, 0);
        }
        ASSERT_EQ(ended, child);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::fclose(output);
    }
}

}  // namespace
}  // namespace tapir::boxsim
