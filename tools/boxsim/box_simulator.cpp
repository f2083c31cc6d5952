#include "tools/boxsim/box_simulator.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "tools/boxsim/ftp_session.h"
#include "tools/boxsim/net.h"
#include "tools/boxsim/server_context.h"
#include "tools/boxsim/telnet_session.h"

namespace tapir::boxsim {

bool Options::Has(Fault fault) const {
    return std::find(faults.begin(), faults.end(), fault) != faults.end();
}

std::string Options::HostName() const {
    const std::size_t at = prompt.find('@');
    if (at != std::string::npos) {
        const std::size_t end = prompt.find_first_of(":# $>", at + 1);
        const std::string name =
            prompt.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        if (!name.empty()) {
            return name;
        }
    }
    return "dm7025";
}

void Recorder::Log(const std::string& line) {
    const std::lock_guard lock(mutex_);
    if (log_) {
        log_(line);
    }
}

void Recorder::AddFtpCommand(const std::string& command) {
    const std::lock_guard lock(mutex_);
    ftp_commands_.push_back(command);
    changed_.notify_all();
}

void Recorder::AddReceivedFile(ReceivedFile file) {
    const std::lock_guard lock(mutex_);
    received_files_.push_back(std::move(file));
    changed_.notify_all();
}

void Recorder::RenameReceivedFile(const std::string& from, const std::string& to) {
    const std::lock_guard lock(mutex_);
    for (auto file = received_files_.rbegin(); file != received_files_.rend(); ++file) {
        const std::size_t slash = file->name.rfind('/');
        if (file->name.substr(slash == std::string::npos ? 0 : slash + 1) == from) {
            file->name = to;
            break;
        }
    }
    changed_.notify_all();
}

void Recorder::AddTelnetLine(const std::string& line) {
    const std::lock_guard lock(mutex_);
    telnet_lines_.push_back(line);
    changed_.notify_all();
}

void Recorder::AddNegotiation(const std::string& text) {
    const std::lock_guard lock(mutex_);
    negotiation_.push_back(text);
    changed_.notify_all();
}

void Recorder::SetTerminalType(const std::string& type) {
    const std::lock_guard lock(mutex_);
    terminal_type_ = type;
    changed_.notify_all();
}

int Recorder::CountStorInPlace() {
    const std::lock_guard lock(mutex_);
    return ++stors_in_place_;
}

void Recorder::AddRestart() {
    const std::lock_guard lock(mutex_);
    ++restarts_;
    changed_.notify_all();
}

std::vector<std::string> Recorder::FtpCommands() const {
    const std::lock_guard lock(mutex_);
    return ftp_commands_;
}

std::vector<ReceivedFile> Recorder::ReceivedFiles() const {
    const std::lock_guard lock(mutex_);
    return received_files_;
}

std::vector<std::string> Recorder::TelnetLines() const {
    const std::lock_guard lock(mutex_);
    return telnet_lines_;
}

std::vector<std::string> Recorder::Negotiation() const {
    const std::lock_guard lock(mutex_);
    return negotiation_;
}

std::optional<std::string> Recorder::TerminalType() const {
    const std::lock_guard lock(mutex_);
    return terminal_type_;
}

int Recorder::RestartCount() const {
    const std::lock_guard lock(mutex_);
    return restarts_;
}

bool Recorder::WaitForTelnetLines(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return telnet_lines_.size() >= count; });
}

bool Recorder::WaitForRestarts(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return restarts_ >= count; });
}

bool Recorder::WaitForReceivedFiles(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_files_.size() >= count; });
}

struct BoxSimulator::Impl {
    explicit Impl(Options opts)
        : options(std::move(opts)), recorder(options.log), context{options, recorder, stop} {}

    template <typename Session>
    void AcceptLoop(int listen_fd) {
        while (!stop.Raised()) {
            UniqueFd connection = AcceptConnection(listen_fd, stop);
            if (!connection.Valid()) {
                // A failed accept (out of descriptors, say) should not spin.
                stop.SleepFor(std::chrono::milliseconds(50));
                continue;
            }
            const std::lock_guard lock(sessions_mutex);
            sessions.emplace_back([this, fd = std::move(connection)]() mutable {
                try {
                    Session(std::move(fd), context).Run();
                } catch (const std::exception& error) {
                    recorder.Log(std::string("session ended by an error: ") + error.what());
                }
            });
        }
    }

    Options options;
    Recorder recorder;
    StopSignal stop;
    ServerContext context;
    UniqueFd ftp_listener;
    UniqueFd telnet_listener;
    std::uint16_t ftp_port = 0;
    std::uint16_t telnet_port = 0;
    bool started = false;
    std::thread ftp_acceptor;
    std::thread telnet_acceptor;
    std::mutex sessions_mutex;  // guards sessions
    std::vector<std::thread> sessions;
};

BoxSimulator::BoxSimulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

BoxSimulator::~BoxSimulator() { Stop(); }

void BoxSimulator::Start() {
    Impl& impl = *impl_;
    std::error_code error;
    if (!std::filesystem::is_directory(impl.options.dir, error)) {
        throw ESimulatorError("not a directory: " + impl.options.dir.string());
    }
    impl.ftp_listener = ListenLoopback(impl.options.ftp_port);
    impl.telnet_listener = ListenLoopback(impl.options.telnet_port);
    impl.ftp_port = LocalPort(impl.ftp_listener.Get());
    impl.telnet_port = LocalPort(impl.telnet_listener.Get());
    impl.started = true;
    impl.ftp_acceptor =
        std::thread([&impl] { impl.AcceptLoop<FtpSession>(impl.ftp_listener.Get()); });
    impl.telnet_acceptor =
        std::thread([&impl] { impl.AcceptLoop<TelnetSession>(impl.telnet_listener.Get()); });
    impl.recorder.Log("listening on 127.0.0.1: ftp port " + std::to_string(impl.ftp_port) +
                      ", telnet port " + std::to_string(impl.telnet_port) + ", serving " +
                      impl.options.dir.string() + " as /etc/enigma2");
}

void BoxSimulator::Stop() {
    Impl& impl = *impl_;
    impl.stop.Raise();
    if (impl.ftp_acceptor.joinable()) {
        impl.ftp_acceptor.join();
    }
    if (impl.telnet_acceptor.joinable()) {
        impl.telnet_acceptor.join();
    }
    std::vector<std::thread> sessions;
    {
        const std::lock_guard lock(impl.sessions_mutex);
        sessions.swap(impl.sessions);
    }
    for (auto& session : sessions) {
        session.join();
    }
    impl.ftp_listener.Reset();
    impl.telnet_listener.Reset();
}

std::uint16_t BoxSimulator::FtpPort() const { return impl_->ftp_port; }
std::uint16_t BoxSimulator::TelnetPort() const { return impl_->telnet_port; }

std::vector<std::string> BoxSimulator::FtpCommands() const { return impl_->recorder.FtpCommands(); }
std::vector<ReceivedFile> BoxSimulator::ReceivedFiles() const {
    return impl_->recorder.ReceivedFiles();
}
std::vector<std::string> BoxSimulator::TelnetLines() const { return impl_->recorder.TelnetLines(); }
std::vector<std::string> BoxSimulator::TelnetNegotiation() const {
    return impl_->recorder.Negotiation();
}
std::optional<std::string> BoxSimulator::TerminalType() const {
    return impl_->recorder.TerminalType();
}
int BoxSimulator::RestartCount() const { return impl_->recorder.RestartCount(); }

bool BoxSimulator::WaitForTelnetLines(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->recorder.WaitForTelnetLines(count, timeout);
}
bool BoxSimulator::WaitForRestarts(int count, std::chrono::milliseconds timeout) const {
    return impl_->recorder.WaitForRestarts(count, timeout);
}
bool BoxSimulator::WaitForReceivedFiles(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
    return impl_->recorder.WaitForReceivedFiles(count, timeout);
}

}  // namespace tapir::boxsim
