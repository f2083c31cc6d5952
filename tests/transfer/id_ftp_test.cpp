#include "transfer/id_ftp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/transfer/loopback_peer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

namespace fs = std::filesystem;
using testing::OneShotPeer;
using testing::ReadLine;
using testing::SendAll;

TEST(FtpReply, ReadsSingleMultiLineAndBlankLines) {
    const struct {
        const char* name;
        std::vector<std::string> wire;
        std::vector<std::string> lines;
        int code;
    } cases[] = {
        {"single", {"220 ready"}, {"220 ready"}, 220},
        {"blank lines skipped, trimmed", {"", "  \t", " 230 ok \t"}, {"230 ok"}, 230},
        {"multi-line",
         {"220-Welcome", "  to the box", "", "220 ready"},
         {"220-Welcome", "to the box", "220 ready"},
         220},
        {"end line matched without case", {"abc-x", "ABC done"}, {"abc-x", "ABC done"}, 0},
        {"short line ends a multi-line reply",
         {"211-Features", "211"},
         {"211-Features", "211"},
         211},
        {"other code inside keeps going",
         {"150-a", "226 b", "150 c"},
         {"150-a", "226 b", "150 c"},
         150},
        {"no number", {"hello"}, {"hello"}, 0},
        {"three characters only", {"426"}, {"426"}, 426},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t next = 0;
        const FtpReply reply = ReadFtpReply([&] { return c.wire.at(next++); }, 1 << 20);
        EXPECT_EQ(reply.lines, c.lines);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(next, c.wire.size());
    }
}

TEST(FtpReply, EndlessReplyFails) {
    int count = 0;
    auto endless = [&] {
        ++count;
        return count == 1 ? std::string("220-start") : std::string(100, 'x');
    };
    EXPECT_THROW((void)ReadFtpReply(endless, 10000), EIdMaxLineLengthExceeded);
}

TEST(FtpReply, PortCommandText) {
    EXPECT_EQ(PortCommand("192.168.1.20", 1025), "PORT 192,168,1,20,4,1");
    EXPECT_EQ(PortCommand("127.0.0.1", 65535), "PORT 127,0,0,1,255,255");
    EXPECT_EQ(PortCommand("10.0.0.2", 255), "PORT 10,0,0,2,0,255");
}

// One step of a scripted FTP server: the command it expects next, and its answer. A step with
// `data` connects to the client's PORT address after the reply, sends the data (or, with
// `receive`, reads until the client closes) and then sends `after`.
struct Step {
    Step(std::string reply_text, std::optional<std::string> data_bytes = std::nullopt,
         bool receive_data = false, std::string after_data = {})
        : reply(std::move(reply_text)),
          data(std::move(data_bytes)),
          receive(receive_data),
          after(std::move(after_data)) {}

    std::string reply;
    std::optional<std::string> data;
    bool receive;
    std::string after;
};

class ScriptedFtpServer {
  public:
    ScriptedFtpServer(std::string greeting, std::vector<Step> steps)
        : peer_([this, greeting = std::move(greeting), steps = std::move(steps)](int fd) {
              Run(fd, greeting, steps);
          }) {}

    std::uint16_t Port() const { return peer_.Port(); }
    // Wait for the server to end (the client must have disconnected), then return what it saw.
    const std::vector<std::string>& Commands() {
        peer_.Join();
        return commands_;
    }
    const std::string& Received() {
        peer_.Join();
        return received_;
    }

  private:
    void Run(int fd, const std::string& greeting, const std::vector<Step>& steps) {
        SendAll(fd, greeting);
        std::string data_address;
        std::uint16_t data_port = 0;
        for (const Step& step : steps) {
            bool ok = false;
            const std::string command = ReadLine(fd, &ok);
            if (!ok) {
                return;
            }
            commands_.push_back(command);
            if (command.rfind("PORT ", 0) == 0) {
                int parts[6] = {};
                std::sscanf(command.c_str() + 5, "%d,%d,%d,%d,%d,%d", &parts[0], &parts[1],
                            &parts[2], &parts[3], &parts[4], &parts[5]);
                data_address = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
                               std::to_string(parts[2]) + "." + std::to_string(parts[3]);
                data_port = static_cast<std::uint16_t>(parts[4] * 256 + parts[5]);
            }
            SendAll(fd, step.reply);
            if (step.data || step.receive) {
                const int data_fd = testing::ConnectTo(data_address, data_port);
                if (step.receive) {
                    received_ = testing::ReadUntilEof(data_fd);
                } else {
                    SendAll(data_fd, *step.data);
                }
                ::close(data_fd);
                SendAll(fd, step.after);
            }
        }
        // Keep the control connection until the client closes it.
        bool open = true;
        while (open) {
            (void)ReadLine(fd, &open);
        }
    }

    std::vector<std::string> commands_;
    std::string received_;
    OneShotPeer peer_;  // last: its thread ends before the members above go away
};

const std::vector<Step> kLoginSteps = {{"331 Password please.\r\n"},
                                       {"230 Logged in.\r\n"},
                                       {"200 Type A.\r\n"},
                                       {"215 UNIX Type: L8\r\n"}};

std::vector<Step> LoginThen(std::vector<Step> more) {
    std::vector<Step> steps = kLoginSteps;
    steps.insert(steps.end(), more.begin(), more.end());
    return steps;
}

class IdFtpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tapir-ftp-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ftp_.SetHost("127.0.0.1");
        ftp_.SetUser("root");
        ftp_.SetPassword("dreambox");
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    fs::path dir_;
    TIdFTP ftp_;
};

TEST_F(IdFtpTest, LoginSendsCommandsExactly) {
    ScriptedFtpServer server("220 box\r\n", LoginThen({{"250 ok\r\n"}}));
    ftp_.SetPort(server.Port());
    std::vector<std::string> statuses;
    ftp_.OnStatus = [&](ConnectionStatus, const std::string& text) { statuses.push_back(text); };
    ftp_.Connect(true);
    ftp_.ChangeDir("/etc/enigma2");
    ftp_.Disconnect();
    EXPECT_FALSE(ftp_.Connected());
    const std::vector<std::string> expected = {"user root", "pass dreambox", "type A", "syst",
                                               "CWD /etc/enigma2"};
    EXPECT_EQ(server.Commands(), expected);
    const std::vector<std::string> expected_statuses = {"Connecting to 127.0.0.1.", "Connected.",
                                                        "Disconnecting from 127.0.0.1.",
                                                        "Not connected."};
    EXPECT_EQ(statuses, expected_statuses);
}

TEST_F(IdFtpTest, UserAnswered230GetsNoPass) {
    ScriptedFtpServer server("220 box\r\n",
                             {{"230 Welcome.\r\n"}, {"200 ok\r\n"}, {"500 unknown\r\n"}});
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);  // 500 to "syst" is allowed
    ftp_.Disconnect();
    const std::vector<std::string> expected = {"user root", "type A", "syst"};
    EXPECT_EQ(server.Commands(), expected);
}

TEST_F(IdFtpTest, SystRefusedFailsConnectAndCloses) {
    ScriptedFtpServer server(
        "220 box\r\n",
        {{"230 Welcome.\r\n"}, {"200 ok\r\n"}, {"502 Command not implemented.\r\n"}});
    ftp_.SetPort(server.Port());
    try {
        ftp_.Connect(true);
        FAIL() << "connect succeeded";
    } catch (const EIdProtocolReplyError& error) {
        EXPECT_EQ(error.KindName(), "EIdProtocolReplyError");
        EXPECT_EQ(error.Message(), "502 Command not implemented.");
        EXPECT_EQ(error.Code(), 502);
    }
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(IdFtpTest, WrongPasswordFailsWithServerLine) {
    ScriptedFtpServer server("220 box\r\n",
                             {{"331 Password please.\r\n"}, {"530 Login incorrect.\r\n"}});
    ftp_.SetPort(server.Port());
    try {
        ftp_.Connect(true);
        FAIL() << "connect succeeded";
    } catch (const EIdProtocolReplyError& error) {
        EXPECT_EQ(error.Message(), "530 Login incorrect.");
        EXPECT_EQ(error.Code(), 530);
    }
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(IdFtpTest, MultiLineGreetingIsOneReply) {
    ScriptedFtpServer server("220-Welcome\r\n220-to the\r\n   receiver\r\n220 ready\r\n",
                             kLoginSteps);
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    ftp_.Disconnect();
    EXPECT_EQ(server.Commands().size(), 4u);
}

TEST_F(IdFtpTest, GreetingOtherThan220Fails) {
    ScriptedFtpServer server("421 Too many users\r\n", {});
    ftp_.SetPort(server.Port());
    EXPECT_THROW(ftp_.Connect(true), EIdProtocolReplyError);
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(IdFtpTest, ListNamesSplitsAtAnyLineEnd) {
    ScriptedFtpServer server(
        "220 box\r\n",
        LoginThen({{"200 PORT ok\r\n"},
                   {"150 Here it comes\r\n", "a.tv\r\nb.tv\nc.radio\rd\r\n", false, "226 Done\r\n"},
                   {"200 PORT ok\r\n"},
                   {"150 Here it comes\r\n", "", false, "226 Done\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    std::vector<std::string> names = {"stale"};
    ftp_.ListNames(names, "userbouquet*.*");
    EXPECT_EQ(names, (std::vector<std::string>{"a.tv", "b.tv", "c.radio", "d"}));
    ftp_.ListNames(names, "timers.xml ");
    EXPECT_TRUE(names.empty());
    ftp_.Disconnect();
    const std::vector<std::string>& commands = server.Commands();
    ASSERT_EQ(commands.size(), 8u);
    EXPECT_EQ(commands[4].rfind("PORT 127,0,0,1,", 0), 0u) << commands[4];
    EXPECT_EQ(commands[5], "nlst userbouquet*.*");
    EXPECT_EQ(commands[7], "nlst timers.xml");
}

TEST_F(IdFtpTest, ListNamesRefusedRaisesReplyError) {
    ScriptedFtpServer server("220 box\r\n",
                             LoginThen({{"200 PORT ok\r\n"}, {"550 No files found\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    std::vector<std::string> names = {"kept"};
    try {
        ftp_.ListNames(names, "lamedb");
        FAIL() << "listing succeeded";
    } catch (const EIdProtocolReplyError& error) {
        EXPECT_EQ(error.Code(), 550);
        EXPECT_EQ(error.Message(), "550 No files found");
    }
    EXPECT_TRUE(ftp_.Connected());  // a later failure leaves the connection to the caller
    ftp_.Disconnect();
}

TEST_F(IdFtpTest, GetKeepsBytesUnchanged) {
    const std::string content = "line one\nline two\r\nno end";
    ScriptedFtpServer server(
        "220 box\r\n",
        LoginThen({{"200 PORT ok\r\n"}, {"125 Go\r\n", content, false, "226 ok\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    ftp_.Get("timers.xml", (dir_ / "timers.xml").string());
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), content);
    EXPECT_EQ(ftp_.LastReply().code, 226);
    ftp_.Disconnect();
    EXPECT_EQ(server.Commands().back(), "retr timers.xml");
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(IdFtpTest, TransferCutOffWith426FailsEvenWhen226Follows) {
    { std::ofstream(dir_ / "timers.xml") << "earlier copy"; }
    { std::ofstream(dir_ / "timers.new") << std::string(5000, 't'); }
    for (const bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "Put" : "Get");
        ScriptedFtpServer server(
            "220 box\r\n",
            LoginThen({{"200 PORT ok\r\n"},
                       upload ? Step("150 Go\r\n", std::nullopt, true,
                                     "426 Connection closed; aborted.\r\n226 ok\r\n")
                              : Step("150 Go\r\n", "part", false,
                                     "426 Connection closed; aborted.\r\n226 ok\r\n")}));
        ftp_.SetPort(server.Port());
        ftp_.Connect(true);
        try {
            if (upload) {
                ftp_.Put((dir_ / "timers.new").string(), "timers.xml");
            } else {
                ftp_.Get("timers.xml", (dir_ / "timers.xml").string());
            }
            FAIL() << "a cut-off transfer succeeded";
        } catch (const EIdProtocolReplyError& error) {
            EXPECT_EQ(error.Code(), 426);
            EXPECT_EQ(error.Message(), "426 Connection closed; aborted.");
        }
        EXPECT_FALSE(ftp_.Connected());
    }
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), "earlier copy");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(IdFtpTest, RefusedGetLeavesEarlierCopyAsItWas) {
    { std::ofstream(dir_ / "services") << "earlier copy"; }
    ScriptedFtpServer server("220 box\r\n",
                             LoginThen({{"200 PORT ok\r\n"}, {"550 Permission denied.\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    EXPECT_THROW(ftp_.Get("services", (dir_ / "services").string()), EIdProtocolReplyError);
    EXPECT_THROW(ftp_.Get("x", (dir_ / "no-such-dir" / "x").string()), EFCreateError);
    ftp_.Disconnect();
    EXPECT_EQ(ReadFile(dir_ / "services"), "earlier copy");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(IdFtpTest, PutSendsFileUnchanged) {
    const std::string content = "<timers>\r\n<timer begin=\"1\" />\r\n</timers>\r\n";
    { std::ofstream(dir_ / "timers.new", std::ios::binary) << content; }
    ScriptedFtpServer server("220 box\r\n", LoginThen({{"200 PORT ok\r\n"},
                                                       {"150 Ok to send data.\r\n", std::nullopt,
                                                        true, "226 Transfer complete.\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    ftp_.Put((dir_ / "timers.new").string(), "timers.xml");
    ftp_.Disconnect();
    EXPECT_EQ(server.Commands().back(), "STOR timers.xml");
    EXPECT_EQ(server.Received(), content);
}

TEST_F(IdFtpTest, PutOfMissingFileSendsNothing) {
    ScriptedFtpServer server("220 box\r\n", kLoginSteps);
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    const std::string missing = (dir_ / "timers.new").string();
    try {
        ftp_.Put(missing, "timers.xml");
        FAIL() << "put succeeded";
    } catch (const EFOpenError& error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + missing);
    }
    ftp_.Disconnect();
    EXPECT_EQ(server.Commands().size(), 4u);
}

TEST_F(IdFtpTest, ServerRefusingDataConnectionDoesNotHang) {
    ScriptedFtpServer server(
        "220 box\r\n",
        LoginThen({{"200 PORT ok\r\n"}, {"150 Opening\r\n425 Can't open data connection.\r\n"}}));
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    try {
        ftp_.Get("timers.xml", (dir_ / "timers.xml").string());
        FAIL() << "get succeeded";
    } catch (const EIdProtocolReplyError& error) {
        EXPECT_EQ(error.Code(), 425);
    }
    ftp_.Disconnect();
}

TEST_F(IdFtpTest, EndlessControlLineFails) {
    OneShotPeer peer([](int fd) {
        const std::string block(64 * 1024, 'x');
        SendAll(fd, "220");
        for (int i = 0; i < 40; ++i) {  // 2.5 MiB without a line end
            SendAll(fd, block);
        }
        (void)ReadLine(fd);
    });
    ftp_.SetPort(peer.Port());
    try {
        ftp_.Connect(true);
        FAIL() << "connect succeeded";
    } catch (const EIdMaxLineLengthExceeded& error) {
        EXPECT_EQ(error.KindName(), "EIdMaxLineLengthExceeded");
    }
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(IdFtpTest, ServerClosingControlConnectionIsGracefulClose) {
    OneShotPeer server([](int fd) {
        SendAll(fd, "220 box\r\n");
        (void)ReadLine(fd);  // "user root", then the server goes away
    });
    ftp_.SetPort(server.Port());
    try {
        ftp_.Connect(true);
        FAIL() << "connect succeeded";
    } catch (const EIdConnClosedGracefully& error) {
        EXPECT_EQ(error.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_FALSE(ftp_.Connected());
}

}  // namespace
}  // namespace tapir::transfer
