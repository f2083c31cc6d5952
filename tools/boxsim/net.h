#pragma once
// Small POSIX socket helpers for the simulator's servers: an owning file descriptor, a
// stop signal that wakes every blocking wait, and waits/reads/writes that give up when
// the signal is raised. All functions are safe to call from any thread.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tapir::boxsim {

// Raised when a socket call that the simulator cannot do without fails (bind, listen).
class ESimulatorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Move-only owner of a file descriptor; closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd() { Reset(); }

    [[nodiscard]] int Get() const { return fd_; }
    [[nodiscard]] bool Valid() const { return fd_ >= 0; }
    int Release() noexcept;
    void Reset() noexcept;

private:
    int fd_ = -1;
};

// A one-way latch: once raised it stays raised, and every wait below that was given it
// returns at once. Built on a pipe so that it can sit in a poll() set.
class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise();
    [[nodiscard]] bool Raised() const;
    // The descriptor that becomes readable when the signal is raised.
    [[nodiscard]] int Fd() const { return read_end_.Get(); }

    // Sleeps for `duration` or until the signal is raised; returns false if raised.
    bool SleepFor(std::chrono::milliseconds duration) const;

private:
    UniqueFd read_end_;
    UniqueFd write_end_;
};

enum class WaitResult { Ready, Timeout, Stopped };

// Waits until `fd` is readable (or writable when `for_write`), the signal is raised or
// the timeout passes; no timeout waits for ever.
WaitResult WaitFd(int fd, const StopSignal& stop, bool for_write,
                  std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// Opens a TCP socket listening on 127.0.0.1:`port` (0 = any free port).
// Throws ESimulatorError when the port cannot be bound.
UniqueFd ListenLoopback(std::uint16_t port);

// The local port a bound socket listens on.
std::uint16_t LocalPort(int fd);

// Accepts one connection; returns an invalid fd when stopped or on a failed accept.
UniqueFd AcceptConnection(int listen_fd, const StopSignal& stop,
                          std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// Connects to `address` with a time limit; returns an invalid fd on failure.
UniqueFd ConnectTo(const sockaddr_in& address, const StopSignal& stop,
                   std::chrono::milliseconds timeout);

enum class ReadStatus { Data, Closed, Failed, Timeout, Stopped };

// Reads what is available (at most `max` bytes) into `out`, replacing its content, after
// waiting for at least one byte. Closed = the peer ended the stream in order; Failed = a
// socket error such as a reset.
ReadStatus ReadInto(int fd, const StopSignal& stop, std::string& out, std::size_t max = 4096,
                    std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// ReadInto for callers that need no reason: nullopt for everything but data.
std::optional<std::string> ReadSome(int fd, const StopSignal& stop, std::size_t max = 4096);

// Writes all of `data`; false when the peer is gone or the signal was raised.
bool WriteAll(int fd, std::string_view data, const StopSignal& stop);

// The IPv4 address of the peer of a connected socket.
std::optional<sockaddr_in> PeerAddress(int fd);

}  // namespace tapir::boxsim
