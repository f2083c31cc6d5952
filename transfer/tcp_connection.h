#pragma once
// One IPv4 TCP connection as the FTP and telnet clients use it: connect with status reports,
// an input buffer from which lines or whatever has arrived are taken, writes that send every
// byte, and a listening mode for FTP data connections. Every wait is bounded: connecting by
// ConnectTimeout(), waiting for input, for room to send or for a peer to connect by
// ReadTimeout() without progress; meanwhile OnTick runs every kTickInterval and may throw to
// abandon the wait.
// Thread safety: one thread reads; Write(), Shutdown() and Connected() may be called from a
// second thread meanwhile. Closing is a shutdown() plus a flag; the descriptor itself is only
// released by Connect(), Listen() or the destructor, so a reader blocked on it never sees the
// number reused.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct pollfd;

namespace tapir::transfer {

enum class ConnectionStatus : int {
    Resolving = 0,
    Connecting = 1,
    Connected = 2,
    Disconnecting = 3,
    Disconnected = 4,
};

// Move-only owner of a socket descriptor.
class SocketHandle {
  public:
    SocketHandle() = default;
    explicit SocketHandle(int fd) : fd_(fd) {}
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    SocketHandle(SocketHandle&& other) noexcept : fd_(other.Release()) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    ~SocketHandle();

    [[nodiscard]] int Get() const noexcept { return fd_; }
    [[nodiscard]] bool Valid() const noexcept { return fd_ >= 0; }
    int Release() noexcept;
    void Reset() noexcept;

  private:
    int fd_ = -1;
};

class TcpConnection {
  public:
    using StatusHandler = std::function<void(ConnectionStatus kind, const std::string& text)>;
    using NotifyHandler = std::function<void()>;
    // Runs while a wait goes on; an exception it throws ends the wait and leaves the call.
    using TickHandler = std::function<void()>;

    // At most this many bytes are taken from the socket per receive call.
    static constexpr std::size_t kReceiveSize = 32768;
    // ReadLn fails once this many bytes are buffered without a line end.
    static constexpr std::size_t kDefaultMaxLineLength = 1024 * 1024;
    // Longest stretch of a wait between two OnTick calls, in milliseconds.
    static constexpr int kTickInterval = 100;
    static constexpr int kDefaultConnectTimeout = 10000;
    static constexpr int kDefaultReadTimeout = 30000;

    TcpConnection() = default;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection() = default;

    // Optional handlers; each is skipped when empty.
    StatusHandler OnStatus;
    NotifyHandler OnConnected;
    NotifyHandler OnDisconnected;
    // Called on the waiting thread at least every kTickInterval while any wait lasts.
    TickHandler OnTick;

    const std::string& Host() const { return host_; }
    void SetHost(std::string host) { host_ = std::move(host); }
    std::uint16_t Port() const { return port_; }
    void SetPort(std::uint16_t port) { port_ = port; }
    std::size_t MaxLineLength() const { return max_line_length_; }
    void SetMaxLineLength(std::size_t length) { max_line_length_ = length; }
    // Milliseconds; values below 1 are taken as 1.
    int ConnectTimeout() const { return connect_timeout_; }
    void SetConnectTimeout(int milliseconds) { connect_timeout_ = std::max(1, milliseconds); }
    int ReadTimeout() const { return read_timeout_; }
    void SetReadTimeout(int milliseconds) { read_timeout_ = std::max(1, milliseconds); }

    // Opens the connection to Host():Port(). Throws EIdAlreadyConnected when open,
    // EIdSocketError when resolving (also within ConnectTimeout()) or connecting fails,
    // EIdConnectTimeout when the peer has not answered within ConnectTimeout(); the connection then
    // stays closed.
    void Connect();
    // Closes the connection with the disconnecting/disconnected reports; nothing when closed.
    void Disconnect();
    // True while the connection is open. A connection whose peer has been seen to close is
    // closed first; its buffered input stays readable.
    [[nodiscard]] bool Connected();
    // Closes the connection when the peer has been seen to close; then, if `raise` is true, the
    // connection is closed and no input is buffered, throws EIdConnClosedGracefully.
    void CheckClosed(bool raise);
    // Thread-safe: shuts the socket down in both directions, which releases a read blocked in
    // another thread, and marks the connection closed. No status is reported.
    void Shutdown() noexcept;

    // Sends every byte. Throws EIdSocketError (10058 once closed), EIdConnClosedGracefully, or
    // EIdWriteTimeout when the peer takes nothing for ReadTimeout().
    void Write(std::string_view bytes);
    // Returns the next line without its LF and one CR before it. Throws EIdConnClosedGracefully
    // when the peer closes before a line end, EIdMaxLineLengthExceeded past MaxLineLength().
    // Every read below throws EIdReadTimeout when nothing arrives for ReadTimeout().
    [[nodiscard]] std::string ReadLn();
    // If open, waits until readable and receives once; returns the whole input buffer, possibly
    // empty. A close by the peer raises nothing here.
    [[nodiscard]] std::string ReadAvailable();
    // Hands the buffered input and then everything received to `sink` until the peer closes.
    void ReadUntilClose(const std::function<void(std::string_view)>& sink);
    void ReadUntilClose(std::string& dest);

    // Binds a listening socket to `local_address` and a free port (backlog 1).
    // Throws EIdAlreadyConnected when open, EIdSocketError on failure.
    void Listen(const std::string& local_address);
    // Waits for one incoming connection, which becomes this open connection; the listening
    // socket is closed. When `watch` is given and has input before a peer connects, returns
    // false and stays unconnected. Throws EIdAcceptTimeout when no peer connects within
    // ReadTimeout(). Requires: Listen() was called.
    [[nodiscard]] bool Accept(TcpConnection* watch = nullptr);

    [[nodiscard]] bool HasBufferedInput() const { return !input_.empty(); }
    // Address and port of this end of the open socket (or of the listening socket).
    const std::string& LocalAddress() const { return local_address_; }
    std::uint16_t LocalPort() const { return local_port_; }
    const std::string& PeerAddress() const { return peer_address_; }

  private:
    void Receive();
    // Waits until `fd` reports one of `events` (or an error or hang-up), ticking meanwhile.
    // Returns false when `timeout` milliseconds passed first.
    [[nodiscard]] bool Wait(int fd, short events, int timeout);
    // poll() in slices of at most kTickInterval with a tick after each empty slice; returns the
    // poll result, 0 when `timeout` milliseconds passed without an event.
    int PollTicking(pollfd* entries, unsigned long count, int timeout);
    void DoTick();
    // Looks Host() up by name, waiting at most ConnectTimeout() and ticking meanwhile.
    [[nodiscard]] std::string LookUpWithinLimit();
    void CloseSocket() noexcept;
    void ReadLocalAddress(int fd);
    void DoStatus(ConnectionStatus kind, const std::string& text);
    [[noreturn]] void ThrowLastError();

    std::string host_;
    std::uint16_t port_ = 0;
    std::size_t max_line_length_ = kDefaultMaxLineLength;
    int connect_timeout_ = kDefaultConnectTimeout;
    int read_timeout_ = kDefaultReadTimeout;
    std::chrono::steady_clock::time_point last_tick_ = std::chrono::steady_clock::now();
    SocketHandle socket_;
    SocketHandle listener_;
    std::atomic<bool> open_{false};
    std::atomic<bool> closed_by_peer_{false};
    std::string input_;
    std::string local_address_;
    std::uint16_t local_port_ = 0;
    std::string peer_address_;
};

// Resolves a host text the way connecting does: "LOCALHOST" in any case gives 127.0.0.1, a
// dotted address of four numbers 0..255 is kept, anything else is looked up by name.
// Sets `looked_up` when a name lookup was needed. Throws EIdSocketError when not found.
[[nodiscard]] std::string ResolveHost(const std::string& host, bool* looked_up = nullptr);

// True for four dot-separated decimal numbers from 0 to 255.
[[nodiscard]] bool IsDottedAddress(std::string_view text);

}  // namespace tapir::transfer
