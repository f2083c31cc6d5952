#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/boxsim/raw_client.h"
#include "tools/boxsim/box_simulator.h"

namespace tapir::boxsim {
namespace {

namespace fs = std::filesystem;
using test::DataListener;
using test::RawSocket;

// LF line ends on purpose: the simulator must not convert them.
const std::string kTimers =
    "<?xml version=\"1.0\" ?>\n<timers>\n<timer begin=\"1700000000\" end=\"1700003600\" "
    "serviceref=\"1:0:1:6D66:437:1:C00000:0:0:0:\" name=\"Nieuws\" />\n</timers>\n";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class FtpServer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "boxsim-ftp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        WriteFile(dir_ / "userbouquet.favourites.tv", "#NAME Favourites (TV)\n");
        WriteFile(dir_ / "userbouquet.dbe01.radio", "#NAME Radio\n");
        WriteFile(dir_ / "bouquets.tv", "#NAME User - bouquets (TV)\n");
        WriteFile(dir_ / "lamedb", "eDVB services /4/\n");
        WriteFile(dir_ / "timers.xml", kTimers);
        WriteFile(dir_ / ".hidden", "x");
        fs::create_directory(dir_ / "sub");
    }

    void TearDown() override {
        sim_.reset();
        fs::remove_all(dir_);
    }

    void Start(std::vector<Fault> faults = {}) {
        Options options;
        options.dir = dir_;
        options.user = "root";
        options.password = "dreambox";
        options.faults = std::move(faults);
        options.slow_delay = std::chrono::milliseconds(20);
        sim_ = std::make_unique<BoxSimulator>(options);
        sim_->Start();
    }

    // Greeting and login as the program does it, then into /etc/enigma2.
    RawSocket LoggedIn() {
        RawSocket control = RawSocket::Connect(sim_->FtpPort());
        EXPECT_EQ(control.ReadReply().substr(0, 4), "220 ");
        EXPECT_EQ(control.Command("user root"), "331 Please specify the password.");
        EXPECT_EQ(control.Command("pass dreambox"), "230 Login successful.");
        EXPECT_EQ(control.Command("type A"), "200 Switching to ASCII mode.");
        EXPECT_EQ(control.Command("syst"), "215 UNIX Type: L8");
        EXPECT_EQ(control.Command("CWD /etc/enigma2"), "250 Directory successfully changed.");
        return control;
    }

    struct Transfer {
        std::string first_reply;
        std::string data;
        std::string closing_reply;
    };

    // PORT, the command, the data connection read to its end, the closing reply.
    Transfer Receive(RawSocket& control, const std::string& command) {
        DataListener listener;
        EXPECT_EQ(control.Command(listener.PortCommand()).substr(0, 4), "200 ");
        Transfer result;
        result.first_reply = control.Command(command);
        if (result.first_reply.rfind("150 ", 0) != 0) {
            return result;
        }
        result.data = listener.Accept().ReadAll();
        result.closing_reply = control.ReadReply();
        return result;
    }

    Transfer Send(RawSocket& control, const std::string& command, const std::string& bytes) {
        DataListener listener;
        EXPECT_EQ(control.Command(listener.PortCommand()).substr(0, 4), "200 ");
        Transfer result;
        result.first_reply = control.Command(command);
        if (result.first_reply.rfind("150 ", 0) != 0) {
            return result;
        }
        {
            RawSocket data = listener.Accept();
            try {
                data.Send(bytes);
            } catch (const std::exception&) {
                // The server may close early on purpose; its reply says what happened.
            }
        }
        result.closing_reply = control.ReadReply();
        return result;
    }

    fs::path dir_;
    std::unique_ptr<BoxSimulator> sim_;
};

TEST_F(FtpServer, LogsInAndKnowsItsDirectories) {
    Start();
    RawSocket control = LoggedIn();
    EXPECT_EQ(control.Command("PWD"), "257 \"/etc/enigma2\" is the current directory");
    EXPECT_EQ(control.Command("CWD .."), "250 Directory successfully changed.");
    EXPECT_EQ(control.Command("PWD"), "257 \"/etc\" is the current directory");
    EXPECT_EQ(control.Command("CWD /nowhere"), "550 Failed to change directory.");
    EXPECT_EQ(control.Command("CWD enigma2/sub"), "250 Directory successfully changed.");
    EXPECT_EQ(control.Command("CWD /etc/enigma2/timers.xml"), "550 Failed to change directory.");
    EXPECT_EQ(control.Command("NOOP"), "200 NOOP ok.");
    EXPECT_EQ(control.Command("SITE CHMOD 777 x"), "502 Command not implemented.");
    EXPECT_EQ(control.Command("  "), "500 Unknown command.");
    EXPECT_EQ(control.Command("  pwd  "), "257 \"/etc/enigma2/sub\" is the current directory");
    EXPECT_EQ(control.Command("QUIT"), "221 Goodbye.");
    EXPECT_EQ(control.ReadAll(), "");

    const std::vector<std::string> expected_start = {"user root", "PASS ****", "type A", "syst",
                                                     "CWD /etc/enigma2"};
    const auto commands = sim_->FtpCommands();
    ASSERT_GE(commands.size(), expected_start.size());
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 5), expected_start);
}

TEST_F(FtpServer, RefusesWrongPasswordAndEverythingBeforeLogin) {
    Start();
    RawSocket control = RawSocket::Connect(sim_->FtpPort());
    control.ReadReply();
    EXPECT_EQ(control.Command("CWD /etc/enigma2"), "530 Please login with USER and PASS.");
    EXPECT_EQ(control.Command("pass dreambox"), "503 Login with USER first.");
    EXPECT_EQ(control.Command("user root"), "331 Please specify the password.");
    EXPECT_EQ(control.Command("pass wrong"), "530 Login incorrect.");
    EXPECT_EQ(control.Command("type A"), "530 Please login with USER and PASS.");
    EXPECT_EQ(control.Command("user admin"), "331 Please specify the password.");
    EXPECT_EQ(control.Command("pass dreambox"), "530 Login incorrect.");
}

TEST_F(FtpServer, ListsNamesByPatternInOrder) {
    Start();
    RawSocket control = LoggedIn();
    struct Case {
        std::string mask;
        std::string names;
    };
    const Case cases[] = {
        {"userbouquet*.*", "userbouquet.dbe01.radio\r\nuserbouquet.favourites.tv\r\n"},
        {"lamedb", "lamedb\r\n"},
        {"services", ""},  // no match: an empty list, not an error
        {"*",
         "bouquets.tv\r\nlamedb\r\nsub\r\ntimers.xml\r\nuserbouquet.dbe01.radio\r\n"
         "userbouquet.favourites.tv\r\n"},
        {"/etc/enigma2/bouquets.*", "/etc/enigma2/bouquets.tv\r\n"},
        {"/etc", "enigma2\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        const Transfer listing = Receive(control, "nlst " + c.mask);
        EXPECT_EQ(listing.first_reply, "150 Here comes the directory listing.");
        EXPECT_EQ(listing.data, c.names);
        EXPECT_EQ(listing.closing_reply, "226 Directory send OK.");
    }
}

TEST_F(FtpServer, RetrievesFilesUnchanged) {
    Start();
    RawSocket control = LoggedIn();
    const Transfer file = Receive(control, "retr timers.xml");
    EXPECT_EQ(file.first_reply, "150 Opening BINARY mode data connection for timers.xml (" +
                                    std::to_string(kTimers.size()) + " bytes).");
    EXPECT_EQ(file.data, kTimers);
    EXPECT_EQ(file.closing_reply, "226 Transfer complete.");

    EXPECT_EQ(Receive(control, "retr services").first_reply, "550 Failed to open file.");
    EXPECT_EQ(Receive(control, "retr sub").first_reply, "550 Failed to open file.");
}

TEST_F(FtpServer, StoresAndReplacesFiles) {
    Start();
    RawSocket control = LoggedIn();
    std::string upload = "<?xml version=\"1.0\" ?>\r\n<timers>\r\n</timers>\r\n";
    upload += std::string(100000, 'x') + "\xff\x00\r\n";
    const Transfer stored = Send(control, "STOR timers.xml", upload);
    EXPECT_EQ(stored.first_reply, "150 Ok to send data.");
    EXPECT_EQ(stored.closing_reply, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), upload);

    ASSERT_EQ(sim_->ReceivedFiles().size(), 1u);
    EXPECT_EQ(sim_->ReceivedFiles()[0].name, "timers.xml");
    EXPECT_EQ(sim_->ReceivedFiles()[0].content, upload);
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().rfind(".boxsim", 0), std::string::npos)
            << "leftover " << entry.path();
    }
    // The stored file is served back as it was received.
    EXPECT_EQ(Receive(control, "retr timers.xml").data, upload);
}

TEST_F(FtpServer, KeepsClientsInsideTheServedTree) {
    Start();
    RawSocket control = LoggedIn();
    EXPECT_EQ(control.Command("CWD ../../../../.."), "250 Directory successfully changed.");
    EXPECT_EQ(control.Command("PWD"), "257 \"/\" is the current directory");
    EXPECT_EQ(control.Command("CWD /etc/enigma2"), "250 Directory successfully changed.");
    EXPECT_EQ(Receive(control, "retr ../../etc/passwd").first_reply, "550 Failed to open file.");
    EXPECT_EQ(Receive(control, "nlst ../*").data, "../enigma2\r\n");
    EXPECT_EQ(Send(control, "STOR ../evil", "x").first_reply, "553 Could not create file.");
    EXPECT_EQ(Send(control, "STOR /etc/enigma2", "x").first_reply, "553 Could not create file.");
    EXPECT_EQ(Send(control, "STOR sub", "x").first_reply, "553 Could not create file.");
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "evil"));
    EXPECT_TRUE(sim_->ReceivedFiles().empty());
}

TEST_F(FtpServer, DataConnectionsGoOnlyBackToTheClient) {
    Start();
    RawSocket control = LoggedIn();
    EXPECT_EQ(control.Command("nlst *"), "425 Use PORT or PASV first.");
    EXPECT_EQ(control.Command("PORT 10,1,2,3,4,1"), "500 Illegal PORT command.");
    EXPECT_EQ(control.Command("PORT 127,0,0,1,4"), "501 Illegal PORT command.");
    EXPECT_EQ(control.Command("PORT 127,0,0,1,4,256"), "501 Illegal PORT command.");
    EXPECT_EQ(control.Command("retr timers.xml"), "425 Use PORT or PASV first.");
    // A port nobody listens on: the transfer does not start.
    {
        std::uint16_t closed_port = 0;
        {
            DataListener gone;
            const std::string text = gone.PortCommand();
            const std::size_t last = text.rfind(',');
            const std::size_t before = text.rfind(',', last - 1);
            closed_port = static_cast<std::uint16_t>(
                std::stoi(text.substr(before + 1, last - before - 1)) * 256 +
                std::stoi(text.substr(last + 1)));
        }
        EXPECT_EQ(control
                      .Command("PORT 127,0,0,1," + std::to_string(closed_port / 256) + "," +
                               std::to_string(closed_port % 256))
                      .substr(0, 4),
                  "200 ");
        EXPECT_EQ(control.Command("retr timers.xml"), "425 Failed to establish connection.");
    }
}

TEST_F(FtpServer, FaultRefusePassword) {
    Start({Fault::RefusePassword});
    RawSocket control = RawSocket::Connect(sim_->FtpPort());
    control.ReadReply();
    EXPECT_EQ(control.Command("user root"), "331 Please specify the password.");
    EXPECT_EQ(control.Command("pass dreambox"), "530 Login incorrect.");
}

TEST_F(FtpServer, FaultNlst550AnswersOnlyUnmatchedListings) {
    Start({Fault::Nlst550});
    RawSocket control = LoggedIn();
    EXPECT_EQ(Receive(control, "nlst services").first_reply, "550 No files found.");
    // The PORT of the refused listing is used up; the next one works as usual.
    const Transfer matched = Receive(control, "nlst userbouquet*.*");
    EXPECT_EQ(matched.data, "userbouquet.dbe01.radio\r\nuserbouquet.favourites.tv\r\n");
    EXPECT_EQ(matched.closing_reply, "226 Directory send OK.");
    EXPECT_EQ(control.Command("nlst timers.xml"), "425 Use PORT or PASV first.");
}

TEST_F(FtpServer, FaultCloseDataEarly) {
    Start({Fault::CloseDataEarly});
    RawSocket control = LoggedIn();
    const Transfer file = Receive(control, "retr timers.xml");
    EXPECT_EQ(file.data, kTimers.substr(0, kTimers.size() / 2));
    EXPECT_EQ(file.closing_reply, "451 Failure reading local file.");

    const Transfer stored = Send(control, "STOR timers.xml", std::string(300000, 'y'));
    EXPECT_EQ(stored.closing_reply, "451 Failure writing to local file.");
    // As on the receiver, the file was emptied at the start and keeps the piece that came.
    const std::string kept = ReadFile(dir_ / "timers.xml");
    EXPECT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), 300000u);
    EXPECT_EQ(kept, std::string(kept.size(), 'y'));
    EXPECT_TRUE(sim_->ReceivedFiles().empty());
}

TEST_F(FtpServer, RenameSizeAndDeleteWorkAsOnARealServer) {
    Start();
    RawSocket control = LoggedIn();
    EXPECT_EQ(Send(control, "STOR new.xml", "12345").closing_reply, "226 Transfer complete.");
    EXPECT_EQ(control.Command("SIZE new.xml"), "213 5");
    EXPECT_EQ(control.Command("SIZE missing.xml"), "550 Could not get file size.");
    EXPECT_EQ(control.Command("SIZE /etc/enigma2"), "550 Could not get file size.");
    EXPECT_EQ(control.Command("RNTO timers.xml"), "503 RNFR required first.");
    EXPECT_EQ(control.Command("RNFR missing.xml"), "550 RNFR command failed.");
    EXPECT_EQ(control.Command("RNFR new.xml"), "350 Ready for RNTO.");
    EXPECT_EQ(control.Command("NOOP"), "200 NOOP ok.");
    EXPECT_EQ(control.Command("RNTO timers.xml"), "503 RNFR required first.");  // not next
    EXPECT_EQ(control.Command("RNFR new.xml"), "350 Ready for RNTO.");
    EXPECT_EQ(control.Command("RNTO /etc/timers.xml"), "550 Rename failed.");  // outside
    EXPECT_EQ(control.Command("RNFR new.xml"), "350 Ready for RNTO.");
    EXPECT_EQ(control.Command("RNTO timers.xml"), "250 Rename successful.");
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), "12345");
    EXPECT_FALSE(fs::exists(dir_ / "new.xml"));
    ASSERT_EQ(sim_->ReceivedFiles().size(), 1u);
    EXPECT_EQ(sim_->ReceivedFiles()[0].name, "timers.xml");
    EXPECT_EQ(control.Command("DELE timers.xml"), "250 Delete operation successful.");
    EXPECT_EQ(control.Command("DELE timers.xml"), "550 Delete operation failed.");
    EXPECT_FALSE(fs::exists(dir_ / "timers.xml"));
}

TEST_F(FtpServer, RefusalFaults) {
    Start({Fault::NoRename, Fault::Port550});
    RawSocket control = LoggedIn();
    EXPECT_EQ(control.Command("RNFR timers.xml"), "502 Command not implemented.");
    EXPECT_EQ(control.Command("PORT 127,0,0,1,4,1"), "550 PORT command failed.");
}

TEST_F(FtpServer, StoreEmptiesTheFileBeforeTheFirstByte) {
    Start({Fault::StallData});
    RawSocket control = LoggedIn();
    DataListener listener;
    EXPECT_EQ(control.Command(listener.PortCommand()).substr(0, 4), "200 ");
    EXPECT_EQ(control.Command("STOR timers.xml"), "150 Ok to send data.");
    RawSocket data = listener.Accept();
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), "");
}

TEST_F(FtpServer, CutStoreAnswers426Then226) {
    Start({Fault::CutStor});
    RawSocket control = LoggedIn();
    const Transfer stored = Send(control, "STOR timers.xml", std::string(5000, 'z'));
    EXPECT_EQ(stored.closing_reply, "426 Failure reading network stream.");
    EXPECT_EQ(control.ReadReply(), "226 Transfer complete.");
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), std::string(100, 'z'));
    EXPECT_TRUE(sim_->ReceivedFiles().empty());
}

TEST_F(FtpServer, FaultSlowStillServesEverything) {
    Start({Fault::Slow});
    RawSocket control = LoggedIn();
    EXPECT_EQ(Receive(control, "retr timers.xml").data, kTimers);
    EXPECT_EQ(Send(control, "STOR timers.xml", "new").closing_reply, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(dir_ / "timers.xml"), "new");
}

TEST_F(FtpServer, ServesSeveralClientsAndStopsWithOpenConnections) {
    Start();
    RawSocket first = LoggedIn();
    RawSocket second = LoggedIn();
    EXPECT_EQ(second.Command("PWD"), "257 \"/etc/enigma2\" is the current directory");
    EXPECT_EQ(first.Command("CWD /"), "250 Directory successfully changed.");
    EXPECT_EQ(second.Command("PWD"), "257 \"/etc/enigma2\" is the current directory");
    sim_->Stop();  // must not wait for the clients to leave
    EXPECT_EQ(first.ReadAll(), "");
    EXPECT_THROW(RawSocket::Connect(sim_->FtpPort()), std::runtime_error);
}

}  // namespace
}  // namespace tapir::boxsim
