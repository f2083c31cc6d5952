#pragma once
// Starts a real server program for integration tests and stops it again: its own process
// group (so its children go with it), output into a log file, readiness by connecting.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/transfer/loopback_peer.h"

extern char** environ;

namespace tapir::transfer::testing {

class ServerProcess {
  public:
    ServerProcess(const std::vector<std::string>& argv, const std::string& log_path)
        : log_path_(log_path) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    bool Alive() {
        if (pid_ <= 0 || exited_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            pid_ = -1;
            return false;
        }
        return true;
    }

    // Waits until something accepts connections on 127.0.0.1:`port`; false when the process
    // ends first or nothing listens within a generous start-up allowance.
    bool WaitUntilListening(std::uint16_t port) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const int fd = ConnectTo("127.0.0.1", port);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            if (!Alive()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string Log() const {
        std::ifstream in(log_path_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string log_path_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

}  // namespace tapir::transfer::testing
