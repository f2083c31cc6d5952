#pragma once
// A deliberately plain blocking socket client for driving the simulator byte by byte,
// independent of the simulator's own socket helpers. Every read has a time limit so a
// misbehaving server fails the test instead of hanging it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tapir::boxsim::test {

class RawSocket {
public:
    explicit RawSocket(int fd = -1) : fd_(fd) { SetTimeout(); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    RawSocket(RawSocket&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)) {
        other.fd_ = -1;
    }
    ~RawSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    static RawSocket Connect(std::uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            throw std::runtime_error("connect failed");
        }
        return RawSocket(fd);
    }

    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (count <= 0) {
                throw std::runtime_error("send failed");
            }
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
    }

    // One receive into the buffer; false when the peer closed (or the time limit passed).
    bool Fill() {
        char chunk[4096];
        const ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
        if (count <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(count));
        return true;
    }

    // Bytes up to and including `marker`; throws when the stream ends first.
    std::string ReadUntil(std::string_view marker) {
        for (;;) {
            const std::size_t at = buffer_.find(marker);
            if (at != std::string::npos) {
                std::string out = buffer_.substr(0, at + marker.size());
                buffer_.erase(0, at + marker.size());
                return out;
            }
            if (!Fill()) {
                throw std::runtime_error("stream ended before \"" + std::string(marker) +
                                         "\"; got: " + buffer_);
            }
        }
    }

    // Exactly `count` bytes.
    std::string ReadBytes(std::size_t count) {
        while (buffer_.size() < count) {
            if (!Fill()) {
                throw std::runtime_error("stream ended early");
            }
        }
        std::string out = buffer_.substr(0, count);
        buffer_.erase(0, count);
        return out;
    }

    // Everything until the peer closes.
    std::string ReadAll() {
        while (Fill()) {
        }
        std::string out = std::move(buffer_);
        buffer_.clear();
        return out;
    }

    // One FTP reply; returns the last line without its CR LF (multi-line replies end at
    // the line starting with the code and a blank).
    std::string ReadReply() {
        std::string first = ReadUntil("\r\n");
        first.resize(first.size() - 2);
        std::string line = first;
        if (first.size() > 3 && first[3] == '-') {
            do {
                line = ReadUntil("\r\n");
                line.resize(line.size() - 2);
            } while (line.rfind(first.substr(0, 3) + " ", 0) != 0);
        }
        return line;
    }

    std::string Command(const std::string& command) {
        Send(command + "\r\n");
        return ReadReply();
    }

    [[nodiscard]] int Fd() const { return fd_; }

private:
    void SetTimeout() {
        if (fd_ >= 0) {
            timeval limit{10, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        }
    }

    int fd_;
    std::string buffer_;
};

// A listening socket for active-mode data connections.
class DataListener {
public:
    DataListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 1) != 0) {
            throw std::runtime_error("listen failed");
        }
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    DataListener(const DataListener&) = delete;
    DataListener& operator=(const DataListener&) = delete;
    ~DataListener() { ::close(fd_); }

    [[nodiscard]] std::string PortCommand() const {
        return "PORT 127,0,0,1," + std::to_string(port_ / 256) + "," +
               std::to_string(port_ % 256);
    }

    RawSocket Accept() {
        const int fd = ::accept(fd_, nullptr, nullptr);
        if (fd < 0) {
            throw std::runtime_error("no data connection");
        }
        return RawSocket(fd);
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace tapir::boxsim::test
