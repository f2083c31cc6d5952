#include "tools/boxsim/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tapir::boxsim {

namespace {

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

int PollMillis(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout) {
        return -1;
    }
    return static_cast<int>(std::max<std::int64_t>(0, timeout->count()));
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

StopSignal::StopSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw ESimulatorError(ErrnoText("pipe"));
    }
    read_end_ = UniqueFd(fds[0]);
    write_end_ = UniqueFd(fds[1]);
}

void StopSignal::Raise() {
    const char byte = 1;
    // The pipe is never drained, so one byte keeps it readable for good; a full pipe
    // (EAGAIN) means it is raised already.
    [[maybe_unused]] const ssize_t written = ::write(write_end_.Get(), &byte, 1);
}

bool StopSignal::Raised() const {
    pollfd pfd{read_end_.Get(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
}

bool StopSignal::SleepFor(std::chrono::milliseconds duration) const {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return !Raised();
        }
        pollfd pfd{read_end_.Get(), POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (rc > 0) {
            return false;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

WaitResult WaitFd(int fd, const StopSignal& stop, bool for_write,
                  std::optional<std::chrono::milliseconds> timeout) {
    const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                  : std::chrono::steady_clock::time_point::max();
    for (;;) {
        std::optional<std::chrono::milliseconds> left;
        if (timeout) {
            left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left->count() < 0) {
                left = std::chrono::milliseconds(0);
            }
        }
        pollfd pfds[2] = {{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0},
                          {stop.Fd(), POLLIN, 0}};
        const int rc = ::poll(pfds, 2, PollMillis(left));
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Stopped;
        }
        if (pfds[1].revents != 0) {
            return WaitResult::Stopped;
        }
        if (rc == 0) {
            return WaitResult::Timeout;
        }
        // Errors and hang-ups count as ready: the following call reports them.
        return WaitResult::Ready;
    }
}

UniqueFd ListenLoopback(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        throw ESimulatorError(ErrnoText("socket"));
    }
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw ESimulatorError(ErrnoText(("bind 127.0.0.1:" + std::to_string(port)).c_str()));
    }
    if (::listen(fd.Get(), 16) != 0) {
        throw ESimulatorError(ErrnoText("listen"));
    }
    return fd;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw ESimulatorError(ErrnoText("getsockname"));
    }
    return ntohs(address.sin_port);
}

UniqueFd AcceptConnection(int listen_fd, const StopSignal& stop,
                          std::optional<std::chrono::milliseconds> timeout) {
    for (;;) {
        if (WaitFd(listen_fd, stop, false, timeout) != WaitResult::Ready) {
            return UniqueFd();
        }
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            // Replies are short writes in quick succession (150, then 226); without this
            // the second waits for the peer's delayed acknowledgement of the first.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return UniqueFd(fd);
        }
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
            return UniqueFd();
        }
    }
}

UniqueFd ConnectTo(const sockaddr_in& address, const StopSignal& stop,
                   std::chrono::milliseconds timeout) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        return UniqueFd();
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            return UniqueFd();
        }
        if (WaitFd(fd.Get(), stop, true, timeout) != WaitResult::Ready) {
            return UniqueFd();
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return UniqueFd();
        }
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

ReadStatus ReadInto(int fd, const StopSignal& stop, std::string& out, std::size_t max,
                    std::optional<std::chrono::milliseconds> timeout) {
    out.clear();
    for (;;) {
        const WaitResult wait = WaitFd(fd, stop, false, timeout);
        if (wait == WaitResult::Timeout) {
            return ReadStatus::Timeout;
        }
        if (wait == WaitResult::Stopped) {
            return ReadStatus::Stopped;
        }
        out.resize(max);
        const ssize_t count = ::recv(fd, out.data(), out.size(), MSG_DONTWAIT);
        if (count > 0) {
            out.resize(static_cast<std::size_t>(count));
            return ReadStatus::Data;
        }
        out.clear();
        if (count == 0) {
            return ReadStatus::Closed;
        }
        if (errno != EINTR && errno != EAGAIN) {
            return ReadStatus::Failed;
        }
    }
}

std::optional<std::string> ReadSome(int fd, const StopSignal& stop, std::size_t max) {
    std::string out;
    if (ReadInto(fd, stop, out, max) != ReadStatus::Data) {
        return std::nullopt;
    }
    return out;
}

bool WriteAll(int fd, std::string_view data, const StopSignal& stop) {
    while (!data.empty()) {
        if (WaitFd(fd, stop, true) != WaitResult::Ready) {
            return false;
        }
        const ssize_t count = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

std::optional<sockaddr_in> PeerAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return std::nullopt;
    }
    return address;
}

}  // namespace tapir::boxsim
