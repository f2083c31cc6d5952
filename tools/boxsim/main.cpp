// tapir-boxsim: runs the receiver simulator until SIGTERM or SIGINT.

#include <signal.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/boxsim/box_simulator.h"
#include "tools/boxsim/command_line.h"
#include "tools/boxsim/net.h"

namespace {

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    char full[40];
    std::snprintf(full, sizeof full, "%s.%03d", text, static_cast<int>(millis));
    return full;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tapir::boxsim;
    CommandLine command_line;
    try {
        command_line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsageError& error) {
        std::cerr << "tapir-boxsim: " << error.what() << "\nTry 'tapir-boxsim --help'.\n";
        return 2;
    }
    if (command_line.help) {
        std::cout << HelpText();
        return 0;
    }

    std::ofstream log_file;
    std::ostream* log_stream = &std::cerr;
    if (command_line.log_path) {
        log_file.open(*command_line.log_path, std::ios::app);
        if (!log_file) {
            std::cerr << "tapir-boxsim: cannot open log file " << *command_line.log_path << "\n";
            return 1;
        }
        log_stream = &log_file;
    }
    command_line.options.log = [log_stream](const std::string& line) {
        *log_stream << Timestamp() << " " << line << std::endl;
    };

    // The signals are taken by sigwait below; every thread started from here inherits the
    // mask, so none of them is interrupted by them. A shell starts background jobs with
    // SIGINT ignored, and whether an ignored signal still reaches sigwait is left open by
    // POSIX: restore the default.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    BoxSimulator simulator(std::move(command_line.options));
    try {
        simulator.Start();
    } catch (const ESimulatorError& error) {
        std::cerr << "tapir-boxsim: " << error.what() << "\n";
        return 1;
    }
    std::cout << "ftp-port " << simulator.FtpPort() << " telnet-port " << simulator.TelnetPort()
              << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    simulator.Stop();
    *log_stream << Timestamp() << " stopped by signal " << received << " after "
                << simulator.RestartCount() << " restart(s)" << std::endl;
    return 0;
}
