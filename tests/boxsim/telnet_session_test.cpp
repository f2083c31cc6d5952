#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/boxsim/raw_client.h"
#include "tools/boxsim/box_simulator.h"

namespace tapir::boxsim {
namespace {

namespace fs = std::filesystem;
using test::RawSocket;

constexpr auto kWait = std::chrono::seconds(10);

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) {
        out += static_cast<char>(value);
    }
    return out;
}

const std::string kOffer = Bytes({255, 253, 24, 255, 251, 1, 255, 251, 3});  // DO TT, WILL ECHO/SGA
const std::string kSendTerminalType = Bytes({255, 250, 24, 1, 255, 240});
const std::string kPrompt = "root@dm7025:~# ";

class TelnetServer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "boxsim-telnet-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        sim_.reset();
        fs::remove_all(dir_);
    }

    void Start(const std::string& prompt = kPrompt, std::vector<Fault> faults = {}) {
        Options options;
        options.dir = dir_;
        options.prompt = prompt;
        options.faults = std::move(faults);
        options.slow_delay = std::chrono::milliseconds(20);
        sim_ = std::make_unique<BoxSimulator>(options);
        sim_->Start();
    }

    // Connects and answers the negotiation as the program's client does: WILL TERMINAL-TYPE,
    // DO ECHO, DONT SUPPRESS-GO-AHEAD, then the terminal type "dumb".
    RawSocket Negotiated() {
        RawSocket telnet = RawSocket::Connect(sim_->TelnetPort());
        EXPECT_EQ(telnet.ReadBytes(kOffer.size()), kOffer);
        telnet.Send(Bytes({255, 251, 24, 255, 253, 1, 255, 254, 3}));
        EXPECT_EQ(telnet.ReadBytes(kSendTerminalType.size()), kSendTerminalType);
        telnet.Send(Bytes({255, 250, 24, 0}) + "dumb" + Bytes({255, 240}));
        EXPECT_EQ(telnet.ReadUntil("login: "), "\r\ndm7025 login: ");
        return telnet;
    }

    fs::path dir_;
    std::unique_ptr<BoxSimulator> sim_;
};

TEST_F(TelnetServer, NegotiatesLogsInRootAndCountsTheRestart) {
    Start();
    RawSocket telnet = Negotiated();
    EXPECT_EQ(sim_->TerminalType(), "dumb");
    EXPECT_EQ(sim_->TelnetNegotiation(),
              (std::vector<std::string>{"WILL 24", "DO 1", "DONT 3", "SB 24 IS dumb"}));

    // The program sends bare LF line ends; the server echoes (it was asked to) with CR LF.
    telnet.Send("root\n");
    EXPECT_EQ(telnet.ReadUntil(kPrompt), "root\r\n" + kPrompt);
    telnet.Send("killall -9 enigma2\n");
    EXPECT_EQ(telnet.ReadUntil(kPrompt), "killall -9 enigma2\r\n" + kPrompt);
    ASSERT_TRUE(sim_->WaitForRestarts(1, kWait));

    // The program sends the command again on every prompt; the software is down by then.
    telnet.Send("killall -9 enigma2\n");
    EXPECT_EQ(telnet.ReadUntil(kPrompt),
              "killall -9 enigma2\r\nkillall: enigma2: no process killed\r\n" + kPrompt);
    ASSERT_TRUE(sim_->WaitForTelnetLines(3, kWait));
    EXPECT_EQ(sim_->TelnetLines(),
              (std::vector<std::string>{"root", "killall -9 enigma2", "killall -9 enigma2"}));
    EXPECT_EQ(sim_->RestartCount(), 1);
}

TEST_F(TelnetServer, SoftwareRunsAgainForTheNextConnection) {
    Start();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        RawSocket telnet = Negotiated();
        telnet.Send("root\r\nkillall -9 enigma2\r\n");
        telnet.ReadUntil(kPrompt);
        telnet.ReadUntil(kPrompt);
        ASSERT_TRUE(sim_->WaitForRestarts(round, kWait));
        telnet.Send("exit\r\n");
        telnet.ReadAll();
    }
    EXPECT_EQ(sim_->RestartCount(), 2);
}

TEST_F(TelnetServer, AcceptsEveryCommonLineEnd) {
    Start();
    RawSocket telnet = Negotiated();
    // CR LF, CR NUL, lone CR, lone LF; a doubled IAC is one byte 255 of the line.
    telnet.Send("root\r\nfirst\r" + std::string(1, '\0') + "second\rthird\nfo" + Bytes({255, 255}) +
                "urth\n");
    for (int i = 0; i < 5; ++i) {
        telnet.ReadUntil(kPrompt);
    }
    ASSERT_TRUE(sim_->WaitForTelnetLines(5, kWait));
    EXPECT_EQ(sim_->TelnetLines(), (std::vector<std::string>{"root", "first", "second", "third",
                                                             "fo\xff"
                                                             "urth"}));
    EXPECT_EQ(sim_->RestartCount(), 0);
}

TEST_F(TelnetServer, OtherUsersNeedAPasswordAndAreRefused) {
    Start();
    RawSocket telnet = Negotiated();
    telnet.Send("admin\n");
    EXPECT_EQ(telnet.ReadUntil("Password: "), "admin\r\nPassword: ");
    telnet.Send("secret\n");
    // No echo of the password.
    EXPECT_EQ(telnet.ReadUntil("login: "), "\r\nLogin incorrect\r\ndm7025 login: ");
    telnet.Send("root\n");
    telnet.ReadUntil(kPrompt);
    telnet.Send("ls /etc\n");
    EXPECT_EQ(telnet.ReadUntil(kPrompt), "ls /etc\r\n-sh: ls: not found\r\n" + kPrompt);
    ASSERT_TRUE(sim_->WaitForTelnetLines(3, kWait));
    EXPECT_EQ(sim_->TelnetLines(), (std::vector<std::string>{"admin", "root", "ls /etc"}));
}

TEST_F(TelnetServer, ClientRefusingTerminalTypeGetsPromptWithoutEcho) {
    Start("root@vuduo2:~# ");
    RawSocket telnet = RawSocket::Connect(sim_->TelnetPort());
    EXPECT_EQ(telnet.ReadBytes(kOffer.size()), kOffer);
    // WONT TERMINAL-TYPE, DONT ECHO, and an unsolicited WILL NAWS that the server refuses.
    telnet.Send(Bytes({255, 252, 24, 255, 254, 1, 255, 251, 31}));
    EXPECT_EQ(telnet.ReadUntil("login: "), Bytes({255, 254, 31}) + "\r\nvuduo2 login: ");
    telnet.Send("root\n");
    EXPECT_EQ(telnet.ReadUntil("# "), "root@vuduo2:~# ");
    EXPECT_EQ(sim_->TerminalType(), std::nullopt);
}

TEST_F(TelnetServer, ClientIgnoringNegotiationStillGetsThePrompt) {
    Start();
    RawSocket telnet = RawSocket::Connect(sim_->TelnetPort());
    EXPECT_EQ(telnet.ReadUntil("login: "), kOffer + "\r\ndm7025 login: ");
    telnet.Send("root\r\n");
    // Echo was never agreed, so the prompt comes alone.
    EXPECT_EQ(telnet.ReadUntil("# "), kPrompt);
    EXPECT_EQ(sim_->TerminalType(), std::nullopt);
}

TEST_F(TelnetServer, FaultSlowStillCompletesTheDialogue) {
    Start(kPrompt, {Fault::Slow});
    RawSocket telnet = Negotiated();
    telnet.Send("root\n");
    telnet.ReadUntil(kPrompt);
    telnet.Send("killall -9 enigma2\n");
    telnet.ReadUntil(kPrompt);
    EXPECT_TRUE(sim_->WaitForRestarts(1, kWait));
}

}  // namespace
}  // namespace tapir::boxsim
