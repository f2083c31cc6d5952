// The FTP client's time limits, progress reports and cancelling, and its bounded listings,
// against scripted servers on 127.0.0.1 that misbehave on purpose.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/transfer/loopback_peer.h"
#include "transfer/errors.h"
#include "transfer/id_ftp.h"

namespace tapir::transfer {
namespace {

namespace fs = std::filesystem;
using testing::OneShotPeer;
using testing::ReadLine;
using testing::SendAll;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Greeting and the replies to "user", "pass", "type", "syst".
void ServeLogin(int fd) {
    SendAll(fd, "220 box\r\n");
    for (const char* reply : {"331 pw\r\n", "230 ok\r\n", "200 ok\r\n", "215 UNIX\r\n"}) {
        (void)ReadLine(fd);
        SendAll(fd, reply);
    }
}

// Reads "PORT h1,h2,h3,h4,p1,p2", answers 200 and returns the data port the client listens on.
std::uint16_t ServePort(int fd) {
    const std::string command = ReadLine(fd);
    int parts[6] = {};
    std::sscanf(command.c_str(), "PORT %d,%d,%d,%d,%d,%d", &parts[0], &parts[1], &parts[2],
                &parts[3], &parts[4], &parts[5]);
    SendAll(fd, "200 PORT ok\r\n");
    return static_cast<std::uint16_t>(parts[4] * 256 + parts[5]);
}

// Keeps the control connection until the client closes it.
void WaitForClose(int fd) {
    bool open = true;
    while (open) {
        (void)ReadLine(fd, &open);
    }
}

class FtpLimitsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tapir-ftp-limits-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ftp_.SetHost("127.0.0.1");
        ftp_.SetUser("root");
        ftp_.SetPassword("dreambox");
        ftp_.SetConnectTimeout(1000);
        ftp_.SetReplyTimeout(1000);
        { std::ofstream(dir_ / "timers.xml") << "earlier copy"; }
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Local() const {
        std::ifstream in(dir_ / "timers.xml", std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
    TIdFTP ftp_;
};

TEST_F(FtpLimitsTest, SilentServerEndsWithinTheReplyLimitWhileReportingWork) {
    OneShotPeer silent([](int fd) { WaitForClose(fd); });  // accepts, then says nothing
    ftp_.SetPort(silent.Port());
    std::vector<std::string> names;
    ftp_.OnWork = [&](const std::string& name, std::uint64_t) {
        names.push_back(name);
        return true;
    };
    const Clock::time_point start = Clock::now();
    try {
        ftp_.Connect(true);
        FAIL() << "connected to a silent server";
    } catch (const EIdReadTimeout& error) {
        EXPECT_EQ(error.KindName(), "EIdReadTimeout");
        EXPECT_EQ(error.Message(), "Read timed out: 127.0.0.1 sent nothing for 1 s.");
    }
    const double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_GE(names.size(), 7u);  // about one report per 100 ms
    EXPECT_EQ(std::count(names.begin(), names.end(), ""), static_cast<long>(names.size()));
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(FtpLimitsTest, CancelEndsAWaitAtOnce) {
    OneShotPeer silent([](int fd) { WaitForClose(fd); });
    ftp_.SetPort(silent.Port());
    ftp_.SetReplyTimeout(20000);
    int calls = 0;
    ftp_.OnWork = [&](const std::string&, std::uint64_t) { return ++calls < 3; };
    const Clock::time_point start = Clock::now();
    try {
        ftp_.Connect(true);
        FAIL() << "connected to a silent server";
    } catch (const EAbort& error) {
        EXPECT_EQ(error.KindName(), "EAbort");
        EXPECT_EQ(error.Message(), "Operation aborted");
    }
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(FtpLimitsTest, ConnectGivesUpWithAddressAndPort) {
    // A listener whose queue is full and that never accepts: the handshake never completes.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::uint16_t port = ntohs(address.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ftp_.SetPort(port);
    ftp_.SetConnectTimeout(500);
    const Clock::time_point start = Clock::now();
    try {
        ftp_.Connect(true);
        ADD_FAILURE() << "connected to a full queue";
    } catch (const EIdConnectTimeout& error) {
        EXPECT_EQ(error.Message(), "Connection timed out: no answer from 127.0.0.1 port " +
                                       std::to_string(port) + " within 0.5 s.");
    }
    EXPECT_LT(SecondsSince(start), 2.0);
    for (const int fd : fillers) {
        ::close(fd);
    }
    ::close(listener);
}

TEST_F(FtpLimitsTest, StalledOrMissingDataConnectionFailsAndKeepsTheLocalCopy) {
    for (const bool connects : {true, false}) {
        SCOPED_TRACE(connects ? "data connection stalls" : "no data connection");
        OneShotPeer server([connects](int fd) {
            ServeLogin(fd);
            const std::uint16_t data_port = ServePort(fd);
            (void)ReadLine(fd);  // retr
            SendAll(fd, "150 Here it comes\r\n");
            int data = -1;
            if (connects) {
                data = testing::ConnectTo("127.0.0.1", data_port);
                SendAll(data, "half of it");
            }
            WaitForClose(fd);
            if (data >= 0) {
                ::close(data);
            }
        });
        ftp_.SetPort(server.Port());
        ftp_.Connect(true);
        const Clock::time_point start = Clock::now();
        try {
            ftp_.Get("timers.xml", (dir_ / "timers.xml").string());
            FAIL() << "get succeeded";
        } catch (const EIdReadTimeout&) {
            EXPECT_TRUE(connects);
        } catch (const EIdAcceptTimeout& error) {
            EXPECT_FALSE(connects);
            EXPECT_EQ(error.Message(),
                      "Data connection timed out: the server did not connect within 1 s.");
        }
        EXPECT_LT(SecondsSince(start), 3.0);
        EXPECT_FALSE(ftp_.Connected());
        EXPECT_EQ(Local(), "earlier copy");
        EXPECT_EQ(FileCount(), 1u);
    }
}

TEST_F(FtpLimitsTest, ReceiverThatTakesNoDataFailsTheUpload) {
    // Far more than the socket buffers of both ends hold.
    { std::ofstream(dir_ / "timers.new", std::ios::binary) << std::string(24 << 20, 'x'); }
    OneShotPeer server([](int fd) {
        ServeLogin(fd);
        const std::uint16_t data_port = ServePort(fd);
        (void)ReadLine(fd);  // STOR
        SendAll(fd, "150 Ok to send data.\r\n");
        const int data = testing::ConnectTo("127.0.0.1", data_port);
        WaitForClose(fd);
        ::close(data);
    });
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    std::uint64_t last_bytes = 0;
    ftp_.OnWork = [&](const std::string& name, std::uint64_t bytes) {
        EXPECT_EQ(name, "timers.xml");
        last_bytes = bytes;
        return true;
    };
    const Clock::time_point start = Clock::now();
    EXPECT_THROW(ftp_.Put((dir_ / "timers.new").string(), "timers.xml"), EIdWriteTimeout);
    EXPECT_LT(SecondsSince(start), 4.0);
    EXPECT_GT(last_bytes, 0u);
    EXPECT_LT(last_bytes, 24u << 20);
    EXPECT_FALSE(ftp_.Connected());
}

TEST_F(FtpLimitsTest, ProgressAndCancelDuringASlowDownload) {
    std::atomic<bool> stop{false};
    OneShotPeer server([&stop](int fd) {
        ServeLogin(fd);
        const std::uint16_t data_port = ServePort(fd);
        (void)ReadLine(fd);  // retr
        SendAll(fd, "150 Here it comes\r\n");
        const int data = testing::ConnectTo("127.0.0.1", data_port);
        for (int i = 0; i < 100 && !stop; ++i) {
            SendAll(data, std::string(100, 'a'));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ::close(data);
        WaitForClose(fd);
    });
    ftp_.SetPort(server.Port());
    ftp_.Connect(true);
    std::vector<std::uint64_t> reported;
    ftp_.OnWork = [&](const std::string& name, std::uint64_t bytes) {
        EXPECT_EQ(name, "timers.xml");
        reported.push_back(bytes);
        return bytes < 500;
    };
    EXPECT_THROW(ftp_.Get("timers.xml", (dir_ / "timers.xml").string()), EAbort);
    stop = true;
    ASSERT_FALSE(reported.empty());
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    EXPECT_GE(reported.back(), 500u);
    EXPECT_LT(reported.back(), 10000u);
    EXPECT_FALSE(ftp_.Connected());
    EXPECT_EQ(Local(), "earlier copy");
    EXPECT_EQ(FileCount(), 1u);  // the partial temporary file is gone
}

// Sends `lines` names of `width` characters as the answer to one NLST.
OneShotPeer* ListingServer(std::size_t lines, std::size_t width) {
    return new OneShotPeer([lines, width](int fd) {
        ServeLogin(fd);
        const std::uint16_t data_port = ServePort(fd);
        (void)ReadLine(fd);  // nlst
        SendAll(fd, "150 Here it comes\r\n");
        const int data = testing::ConnectTo("127.0.0.1", data_port);
        const std::string name = std::string(width, 'n') + "\n";
        std::string block;
        for (std::size_t i = 0; i < lines; ++i) {
            block += name;
            if (block.size() > 65536 || i + 1 == lines) {
                SendAll(data, block);
                block.clear();
            }
        }
        ::close(data);
        SendAll(fd, "226 Done\r\n");
        WaitForClose(fd);
    });
}

TEST_F(FtpLimitsTest, ListingsAreBoundedInNamesAndBytes) {
    struct Case {
        std::size_t lines;
        std::size_t width;
        bool fits;
    };
    const Case cases[] = {
        {100000, 3, true},
        {100001, 3, false},
        {1000000, 0, false},  // empty lines count as names, too
        {90000, 200, false},  // 18 MB of names
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.lines) + " names of " + std::to_string(c.width));
        std::unique_ptr<OneShotPeer> server(ListingServer(c.lines, c.width));
        ftp_.SetPort(server->Port());
        ftp_.Connect(true);
        std::vector<std::string> names;
        if (c.fits) {
            ftp_.ListNames(names, "*");
            EXPECT_EQ(names.size(), c.lines);
            ftp_.Disconnect();
            continue;
        }
        try {
            ftp_.ListNames(names, "*");
            FAIL() << "listing accepted";
        } catch (const EIdListingTooLarge& error) {
            EXPECT_EQ(error.Message(),
                      "The listing of * is too large: more than 100000 names or 16 MiB.");
        }
        EXPECT_TRUE(names.empty());
        EXPECT_FALSE(ftp_.Connected());
    }
}

}  // namespace
}  // namespace tapir::transfer
