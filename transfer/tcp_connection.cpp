#include "transfer/tcp_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "transfer/errors.h"
#include "transfer/socket_error.h"

namespace tapir::transfer {

namespace {

[[noreturn]] void ThrowErrno(int errno_value) {
    throw EIdSocketError(SocketErrorFromErrno(errno_value));
}

bool EqualsIgnoringCase(std::string_view left, std::string_view right) {
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::string LookUpHostName(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
        const int error_number = SocketErrorFromResolver(rc == 0 ? EAI_NONAME : rc);
        if (result != nullptr) {
            ::freeaddrinfo(result);
        }
        throw EIdSocketError::ResolveFailed(error_number, host);
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ::freeaddrinfo(result);
    return text;
}

sockaddr_in MakeAddress(const std::string& dotted, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, dotted.c_str(), &address.sin_addr) != 1) {
        throw EIdSocketError(SocketErrorFromErrno(EADDRNOTAVAIL));
    }
    return address;
}

std::string AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

SocketHandle::~SocketHandle() { Reset(); }

int SocketHandle::Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void SocketHandle::Reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool IsDottedAddress(std::string_view text) {
    int parts = 0;
    std::size_t pos = 0;
    while (true) {
        std::size_t digits = 0;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        ++parts;
        if (pos == text.size()) {
            return parts == 4;
        }
        if (text[pos] != '.' || parts == 4) {
            return false;
        }
        ++pos;
    }
}

std::string ResolveHost(const std::string& host, bool* looked_up) {
    if (looked_up != nullptr) {
        *looked_up = false;
    }
    if (EqualsIgnoringCase(host, "LOCALHOST")) {
        return "127.0.0.1";
    }
    if (IsDottedAddress(host)) {
        // inet_pton wants no leading zeros; normalise "010.0.0.1" to "10.0.0.1".
        std::string normalised;
        std::size_t start = 0;
        while (start <= host.size()) {
            const std::size_t dot = std::min(host.find('.', start), host.size());
            normalised += std::to_string(std::stoi(host.substr(start, dot - start)));
            if (dot < host.size()) {
                normalised += '.';
            }
            start = dot + 1;
        }
        return normalised;
    }
    if (looked_up != nullptr) {
        *looked_up = true;
    }
    return LookUpHostName(host);
}

std::string TcpConnection::LookUpWithinLimit() {
    // The system resolver cannot be interrupted, so the lookup runs on a thread of its own that
    // shares nothing with this connection: when the limit passes or the tick handler cancels,
    // it is left to finish on its own.
    auto lookup = std::make_shared<std::packaged_task<std::string()>>(
        [host = host_] { return LookUpHostName(host); });
    std::future<std::string> result = lookup->get_future();
    std::thread([lookup] { (*lookup)(); }).detach();
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connect_timeout_);
    while (result.wait_for(std::chrono::milliseconds(kTickInterval)) != std::future_status::ready) {
        DoTick();
        if (Clock::now() >= deadline) {
            throw EIdSocketError::ResolveFailed(kWsaTryAgain, host_);
        }
    }
    return result.get();
}

void TcpConnection::DoTick() {
    if (OnTick) {
        OnTick();
    }
}

int TcpConnection::PollTicking(pollfd* entries, unsigned long count, int timeout) {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(kTickInterval);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    while (true) {
        // Ticks keep their pace across short waits too: a peer that answers every 90 ms must
        // not keep the handler from running.
        Clock::time_point now = Clock::now();
        if (now - last_tick_ >= interval) {
            last_tick_ = now;
            DoTick();
            now = Clock::now();
        }
        if (now >= deadline) {
            return 0;
        }
        const auto until_tick = last_tick_ + interval - now;
        const auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::min<Clock::duration>(deadline - now, until_tick)) +
                           std::chrono::milliseconds(1);
        const int rc = ::poll(entries, count, static_cast<int>(slice.count()));
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowLastError();
        }
        if (rc > 0) {
            return rc;
        }
    }
}

bool TcpConnection::Wait(int fd, short events, int timeout) {
    pollfd entry{fd, events, 0};
    return PollTicking(&entry, 1, timeout) > 0;
}

void TcpConnection::DoStatus(ConnectionStatus kind, const std::string& text) {
    if (OnStatus) {
        OnStatus(kind, text);
    }
}

void TcpConnection::ThrowLastError() { ThrowErrno(errno); }

void TcpConnection::Connect() {
    if (open_) {
        throw EIdAlreadyConnected();
    }
    listener_.Reset();
    socket_.Reset();
    input_.clear();
    closed_by_peer_ = false;
    SocketHandle handle(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!handle.Valid()) {
        ThrowLastError();
    }
    const bool needs_lookup = !EqualsIgnoringCase(host_, "LOCALHOST") && !IsDottedAddress(host_);
    if (needs_lookup) {
        DoStatus(ConnectionStatus::Resolving, "Resolving hostname " + host_ + ".");
    }
    peer_address_ = needs_lookup ? LookUpWithinLimit() : ResolveHost(host_);
    DoStatus(ConnectionStatus::Connecting, "Connecting to " + peer_address_ + ".");
    const sockaddr_in address = MakeAddress(peer_address_, port_);
    // The socket is non-blocking, so that connecting (and every later wait) is bounded.
    // `handle` closes the socket on every way out below.
    if (::connect(handle.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            ThrowLastError();
        }
        if (!Wait(handle.Get(), POLLOUT, connect_timeout_)) {
            throw EIdConnectTimeout(peer_address_, port_, connect_timeout_);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(handle.Get(), SOL_SOCKET, SO_ERROR, &error, &length) < 0) {
            ThrowLastError();
        }
        if (error != 0) {
            ThrowErrno(error);
        }
    }
    ReadLocalAddress(handle.Get());
    socket_ = std::move(handle);
    open_ = true;
    DoStatus(ConnectionStatus::Connected, "Connected.");
    if (OnConnected) {
        OnConnected();
    }
}

void TcpConnection::ReadLocalAddress(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        local_address_ = AddressText(local);
        local_port_ = ntohs(local.sin_port);
    }
}

void TcpConnection::CloseSocket() noexcept {
    if (open_.exchange(false) && socket_.Valid()) {
        ::shutdown(socket_.Get(), SHUT_RDWR);
    }
}

void TcpConnection::Shutdown() noexcept { CloseSocket(); }

void TcpConnection::Disconnect() {
    if (!open_) {
        return;
    }
    DoStatus(ConnectionStatus::Disconnecting, "Disconnecting from " + peer_address_ + ".");
    CloseSocket();
    DoStatus(ConnectionStatus::Disconnected, "Not connected.");
    if (OnDisconnected) {
        OnDisconnected();
    }
}

bool TcpConnection::Connected() {
    if (closed_by_peer_) {
        CloseSocket();
    }
    return open_;
}

void TcpConnection::CheckClosed(bool raise) {
    if (closed_by_peer_) {
        CloseSocket();
    }
    if (raise && !open_ && input_.empty()) {
        throw EIdConnClosedGracefully();
    }
}

void TcpConnection::Receive() {
    if (!open_ || !socket_.Valid()) {
        throw EIdSocketError(kWsaSocketShutDown);
    }
    if (!Wait(socket_.Get(), POLLIN, read_timeout_)) {
        throw EIdReadTimeout(peer_address_, read_timeout_);
    }
    char buffer[kReceiveSize];
    ssize_t received;
    do {
        received = ::recv(socket_.Get(), buffer, sizeof buffer, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;  // woken without data; the caller waits again
    }
    if (received < 0) {
        const int error_number = SocketErrorFromErrno(errno);
        if (error_number == kWsaSocketShutDown) {
            CloseSocket();
            if (!input_.empty()) {
                return;
            }
        }
        throw EIdSocketError(error_number);
    }
    if (received == 0) {
        closed_by_peer_ = true;
        return;
    }
    input_.append(buffer, static_cast<std::size_t>(received));
}

void TcpConnection::Write(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    if (!open_ || !socket_.Valid()) {
        throw EIdSocketError(kWsaSocketShutDown);
    }
    std::size_t sent_total = 0;
    while (sent_total < bytes.size()) {
        const ssize_t sent = ::send(socket_.Get(), bytes.data() + sent_total,
                                    bytes.size() - sent_total, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!Wait(socket_.Get(), POLLOUT, read_timeout_)) {
                    throw EIdWriteTimeout(peer_address_, read_timeout_);
                }
                continue;
            }
            const int error_number = SocketErrorFromErrno(errno);
            if (error_number == kWsaSocketShutDown) {
                CloseSocket();
            }
            throw EIdSocketError(error_number);
        }
        if (sent == 0) {
            closed_by_peer_ = true;
            CloseSocket();
            if (input_.empty()) {
                throw EIdConnClosedGracefully();
            }
            return;
        }
        sent_total += static_cast<std::size_t>(sent);
    }
}

std::string TcpConnection::ReadLn() {
    std::size_t searched = 0;
    std::size_t line_feed;
    while ((line_feed = input_.find('\n', searched)) == std::string::npos) {
        searched = input_.size();
        if (searched > max_line_length_) {
            throw EIdMaxLineLengthExceeded(max_line_length_);
        }
        if (closed_by_peer_) {
            CloseSocket();
            throw EIdConnClosedGracefully();
        }
        Receive();
    }
    std::size_t line_end = line_feed;
    if (line_end > 0 && input_[line_end - 1] == '\r') {
        --line_end;
    }
    if (line_end > max_line_length_) {
        throw EIdMaxLineLengthExceeded(max_line_length_);
    }
    std::string line = input_.substr(0, line_end);
    input_.erase(0, line_feed + 1);
    return line;
}

std::string TcpConnection::ReadAvailable() {
    if (open_ && !closed_by_peer_) {
        Receive();
    }
    std::string taken;
    taken.swap(input_);
    return taken;
}

void TcpConnection::ReadUntilClose(const std::function<void(std::string_view)>& sink) {
    while (true) {
        if (!input_.empty()) {
            std::string chunk;
            chunk.swap(input_);
            sink(chunk);
        }
        if (closed_by_peer_ || !open_) {
            CloseSocket();
            return;
        }
        Receive();
    }
}

void TcpConnection::ReadUntilClose(std::string& dest) {
    ReadUntilClose([&dest](std::string_view chunk) { dest.append(chunk); });
}

void TcpConnection::Listen(const std::string& local_address) {
    if (open_) {
        throw EIdAlreadyConnected();
    }
    socket_.Reset();
    input_.clear();
    closed_by_peer_ = false;
    SocketHandle handle(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!handle.Valid()) {
        ThrowLastError();
    }
    const sockaddr_in address = MakeAddress(local_address, 0);
    if (::bind(handle.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(handle.Get(), 1) < 0) {
        ThrowLastError();
    }
    ReadLocalAddress(handle.Get());
    listener_ = std::move(handle);
}

bool TcpConnection::Accept(TcpConnection* watch) {
    // A pending connection wins over input on the watched connection: a server may well have
    // connected and already sent its closing reply by the time we get here.
    const bool watching = watch != nullptr && watch->open_ && watch->socket_.Valid();
    if (watching && watch->HasBufferedInput()) {
        pollfd entry{listener_.Get(), POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0) {
            return false;
        }
    }
    int fd = -1;
    sockaddr_in peer{};
    while (fd < 0) {
        pollfd entries[2] = {{listener_.Get(), POLLIN, 0},
                             {watching ? watch->socket_.Get() : -1, POLLIN, 0}};
        if (PollTicking(entries, watching ? 2 : 1, read_timeout_) == 0) {
            throw EIdAcceptTimeout(read_timeout_);
        }
        if (entries[0].revents == 0) {
            return false;  // the server answered on the watched connection instead
        }
        socklen_t length = sizeof peer;
        fd = ::accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK &&
            errno != ECONNABORTED) {
            ThrowLastError();
        }
    }
    listener_.Reset();
    socket_ = SocketHandle(fd);
    peer_address_ = AddressText(peer);
    ReadLocalAddress(fd);
    open_ = true;
    return true;
}

}  // namespace tapir::transfer
