#include "transfer/id_telnet.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/transfer/loopback_peer.h"
#include "transfer/errors.h"

namespace tapir::transfer {
namespace {

using testing::OneShotPeer;
using testing::ReadBytes;
using testing::ReadLine;
using testing::SendAll;

const TIdTelnet::Dispatcher kDirectCall = [](std::function<void()> call) { call(); };

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

// Collects the chunks handed to OnDataAvailable (called on the reader thread in these tests).
class ChunkLog {
  public:
    void Add(const std::string& text) {
        std::lock_guard lock(mutex_);
        chunks_.push_back(text);
        joined_ += text;
        changed_.notify_all();
    }
    std::vector<std::string> Chunks() const {
        std::lock_guard lock(mutex_);
        return chunks_;
    }
    // Waits until the received text contains `needle`; false after a generous deadline.
    bool WaitFor(const std::string& needle) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return joined_.find(needle) != std::string::npos; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> chunks_;
    std::string joined_;
};

TEST(IdTelnet, ClosedPortIsServerNotResponding) {
    TIdTelnet telnet(kDirectCall);
    telnet.SetHost("127.0.0.1");
    telnet.SetPort(testing::UnusedPort());
    telnet.OnDataAvailable = [](const std::string&) {};
    try {
        telnet.Connect();
        FAIL() << "connect succeeded";
    } catch (const EIdTelnetClientConnectError& error) {
        EXPECT_EQ(error.KindName(), "EIdTelnetClientConnectError");
        EXPECT_EQ(error.Message(), "server not responding");
    }
    EXPECT_FALSE(telnet.Connected());
}

TEST(IdTelnet, NegotiatesOnReaderAndHandsOverText) {
    std::string client_bytes;
    ChunkLog log;
    OneShotPeer peer([&](int fd) {
        SendAll(fd, Bytes({255, 253, 24}));
        client_bytes += ReadBytes(fd, 3);
        SendAll(fd, Bytes({255, 250, 24, 1, 255, 240}));
        client_bytes += ReadBytes(fd, 10);
        SendAll(fd, "dm7025 login: ");
        client_bytes += ReadLine(fd) + "|";
        SendAll(fd, "bye");
    });
    TIdTelnet telnet(kDirectCall);
    telnet.SetHost("127.0.0.1");
    telnet.SetPort(peer.Port());
    bool connected_called = false;
    telnet.OnConnected = [&] { connected_called = true; };
    telnet.OnDataAvailable = [&](const std::string& text) {
        log.Add(text);
        if (text.find("login") != std::string::npos) {
            telnet.Write("root\n");
        }
    };
    telnet.Connect();
    EXPECT_TRUE(connected_called);
    telnet.WaitForReader();  // the peer closes after "bye"
    peer.Join();
    EXPECT_EQ(client_bytes,
              Bytes({255, 251, 24, 255, 250, 24, 0, 'd', 'u', 'm', 'b', 255, 240}) + "root|");
    std::string text;
    for (const std::string& chunk : log.Chunks()) {
        text += chunk;
    }
    EXPECT_EQ(text, "dm7025 login: bye");
    EXPECT_EQ(log.Chunks().front(), "");  // the chunk of negotiation only
    ASSERT_TRUE(telnet.LastReaderEnd().has_value());
    EXPECT_EQ(telnet.LastReaderEnd()->kind_name, "EIdConnClosedGracefully");
    EXPECT_FALSE(telnet.Connected());
}

TEST(IdTelnet, WriteSendsBytesUnchanged) {
    std::string received;
    OneShotPeer peer([&](int fd) { received = ReadBytes(fd, 6); });
    TIdTelnet telnet(kDirectCall);
    telnet.SetHost("127.0.0.1");
    telnet.SetPort(peer.Port());
    telnet.OnDataAvailable = [](const std::string&) {};
    telnet.Connect();
    telnet.Write(Bytes({'a', '\n', 255, '\r', 'b'}));
    telnet.Write("");
    telnet.Write("c");
    peer.Join();
    EXPECT_EQ(received, Bytes({'a', '\n', 255, '\r', 'b', 'c'}));
    telnet.Disconnect();
    telnet.WaitForReader();
}

TEST(IdTelnet, DisconnectFromHandlerEndsReaderAndLaterWritesFail) {
    OneShotPeer peer([](int fd) {
        SendAll(fd, "killall: enigma2: no process killed\n");
        (void)ReadLine(fd);
    });
    TIdTelnet telnet(kDirectCall);
    telnet.SetHost("127.0.0.1");
    telnet.SetPort(peer.Port());
    std::vector<std::string> statuses;
    telnet.OnStatus = [&](ConnectionStatus, const std::string& text) { statuses.push_back(text); };
    int calls = 0;
    bool write_failed = false;
    telnet.OnDataAvailable = [&](const std::string&) {
        ++calls;
        telnet.Disconnect();
        try {
            telnet.Write("x");
        } catch (const EIdSocketError& error) {
            write_failed = error.Code() == 10058;
        }
    };
    telnet.Connect();
    telnet.WaitForReader();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(write_failed);
    EXPECT_FALSE(telnet.Connected());
    EXPECT_EQ(statuses.back(), "Not connected.");
}

TEST(IdTelnet, MissingHandlerEndsReader) {
    OneShotPeer peer([](int fd) {
        SendAll(fd, "login: ");
        (void)ReadLine(fd);
    });
    TIdTelnet telnet(kDirectCall);
    telnet.SetHost("127.0.0.1");
    telnet.SetPort(peer.Port());
    telnet.Connect();
    telnet.WaitForReader();
    ASSERT_TRUE(telnet.LastReaderEnd().has_value());
    EXPECT_EQ(telnet.LastReaderEnd()->kind_name, "EIdTelnetServerOnDataAvailableIsNil");
    EXPECT_EQ(telnet.LastReaderEnd()->message, "OnDataAvailable event is nil.");
    telnet.Disconnect();
}

TEST(IdTelnet, DestructorReleasesBlockedReader) {
    OneShotPeer peer([](int fd) { (void)ReadLine(fd); });
    ChunkLog log;
    {
        TIdTelnet telnet(kDirectCall);
        telnet.SetHost("127.0.0.1");
        telnet.SetPort(peer.Port());
        telnet.OnDataAvailable = [&](const std::string& text) { log.Add(text); };
        telnet.Connect();
    }  // the reader is blocked waiting for data; destruction must not hang
    EXPECT_TRUE(log.Chunks().empty());
}

}  // namespace
}  // namespace tapir::transfer
