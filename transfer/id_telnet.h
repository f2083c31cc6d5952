#pragma once
// The telnet client of the restart dialogue: opens a TCP connection, answers the server's
// option negotiation on a reader thread and hands every received chunk, with the telnet
// commands removed, to OnDataAvailable on the UI thread through the injected dispatcher.
// Thread safety: Connect, Disconnect and the destructor are called from the UI thread; Write
// may be called from the UI thread (also inside OnDataAvailable) while the reader runs.
// Handlers are set before Connect and not changed while the reader runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "transfer/tcp_connection.h"
#include "transfer/telnet_negotiator.h"

namespace tapir::transfer {

class TIdTelnet {
  public:
    // Runs the given call on the UI thread and returns once it has run. In tests a direct call.
    // It must not wait forever once the UI thread stops serving it: the destructor joins the
    // reader, which may be waiting inside the dispatcher.
    using Dispatcher = std::function<void(std::function<void()>)>;
    using DataAvailableHandler = std::function<void(const std::string& text)>;
    using NotifyHandler = std::function<void()>;

    // The error that ended the reader thread, kept for inspection only.
    struct ReaderEnd {
        std::string kind_name;
        std::string message;
    };

    // How long Connect waits for the reader of an earlier connection to end.
    static constexpr std::chrono::milliseconds kReaderStopWait{500};

    explicit TIdTelnet(Dispatcher dispatcher);
    TIdTelnet(const TIdTelnet&) = delete;
    TIdTelnet& operator=(const TIdTelnet&) = delete;
    // Stops the reader (shutting the socket down) and waits for it to end.
    ~TIdTelnet();

    // Runs at the end of a successful TCP connect, before the reader starts.
    NotifyHandler OnConnected;
    // Runs on the UI thread for every received chunk, also an empty one, while the reader waits.
    DataAvailableHandler OnDataAvailable;
    // Status of the connection (same texts as the FTP control connection).
    TcpConnection::StatusHandler OnStatus;

    const std::string& Host() const { return host_; }
    void SetHost(std::string host) { host_ = std::move(host); }
    std::uint16_t Port() const { return port_; }
    void SetPort(std::uint16_t port) { port_ = port; }
    // Time limits in milliseconds: for connecting, and for the reader's wait for the next chunk
    // (the reader ends with EIdReadTimeout after that long without input).
    void SetConnectTimeout(int milliseconds) { connection_.SetConnectTimeout(milliseconds); }
    void SetReplyTimeout(int milliseconds) { connection_.SetReadTimeout(milliseconds); }
    const std::string& Terminal() const { return negotiator_.Terminal(); }
    void SetTerminal(std::string terminal) { negotiator_.SetTerminal(std::move(terminal)); }

    // Opens the connection and starts the reader. A socket error while connecting becomes
    // EIdTelnetClientConnectError "server not responding"; EIdConnectTimeout and
    // EIdAlreadyConnected pass unchanged. The reader of an earlier connection is joined only
    // once it has ended: Connect asks it to stop and waits at most kReaderStopWait for it, as it
    // may be waiting inside the dispatcher for this very (UI) thread; if it has not ended by
    // then, Connect throws EIdAlreadyConnected instead of joining it, and a later Connect, once
    // the UI thread has served the reader, succeeds.
    void Connect();
    // Sends the bytes unchanged (no line end added, 255 not doubled). Throws the connection's
    // errors, e.g. EIdSocketError 10058 after a disconnect.
    void Write(std::string_view text);
    // Asks the reader to stop without waiting for it, then closes the connection.
    void Disconnect();
    [[nodiscard]] bool Connected();

    // Waits until the reader thread has ended. Requires: not called from inside the dispatcher.
    void WaitForReader();
    // The error that ended the last reader, if it has ended by one.
    [[nodiscard]] std::optional<ReaderEnd> LastReaderEnd() const;

  private:
    void ReaderLoop(std::stop_token stop);
    void RecordReaderEnd(std::string kind_name, std::string message);

    Dispatcher dispatcher_;
    std::string host_;
    std::uint16_t port_ = 23;
    TelnetNegotiator negotiator_;  // touched by the reader thread only while it runs
    TcpConnection connection_;
    std::mutex write_mutex_;        // guards sending on connection_; rank: innermost
    mutable std::mutex end_mutex_;  // guards reader_end_; rank: innermost, never nested
    std::optional<ReaderEnd> reader_end_;
    std::atomic<bool> reader_running_{false};  // set before the reader starts, cleared as it ends
    std::stop_source stop_;  // the reader's stop request; replaced before each reader starts
    std::jthread reader_;    // last member: joined before the connection goes away
};

}  // namespace tapir::transfer
