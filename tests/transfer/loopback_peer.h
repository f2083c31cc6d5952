#pragma once
// Test peers on 127.0.0.1: a one-connection server thread that runs a script against the
// client, plus small blocking socket helpers for such scripts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace tapir::transfer::testing {

inline void SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(count);
    }
}

// Reads up to and including LF; returns what was read (without the LF and a CR before it),
// or the partial text when the connection ends. `ok` is false when it ended first.
inline std::string ReadLine(int fd, bool* ok = nullptr) {
    std::string line;
    char byte;
    while (true) {
        const ssize_t count = ::recv(fd, &byte, 1, 0);
        if (count <= 0) {
            if (ok != nullptr) {
                *ok = false;
            }
            return line;
        }
        if (byte == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (ok != nullptr) {
                *ok = true;
            }
            return line;
        }
        line += byte;
    }
}

// Reads exactly `count` bytes, fewer when the connection ends.
inline std::string ReadBytes(int fd, std::size_t count) {
    std::string bytes;
    char buffer[256];
    while (bytes.size() < count) {
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

inline std::string ReadUntilEof(int fd) {
    std::string bytes;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

inline int ConnectTo(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A port on 127.0.0.1 that nothing listens on at the time of the call.
inline std::uint16_t UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Listens on 127.0.0.1 at construction; a thread accepts one connection and runs `script`
// with its descriptor, then closes it. The destructor waits for the script to end.
class OneShotPeer {
  public:
    explicit OneShotPeer(std::function<void(int fd)> script) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, script = std::move(script)] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    OneShotPeer(const OneShotPeer&) = delete;
    OneShotPeer& operator=(const OneShotPeer&) = delete;
    ~OneShotPeer() {
        if (thread_.joinable()) {
            ::shutdown(listener_, SHUT_RDWR);  // releases an accept() nobody connected to
            thread_.join();
        }
        ::close(listener_);
    }

    std::uint16_t Port() const { return port_; }

    // Waits for the script to end. Requires: a client has connected (or will). Idempotent.
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace tapir::transfer::testing
