#pragma once
// A stand-in for the receiver on the loopback interface: an FTP server that serves one
// local directory as /etc/enigma2 and a telnet server with a login and a tiny shell that
// counts "killall -9 enigma2" as a restart of the receiver's software. Used by the demo
// and by tests, which start it in-process on free ports and inspect what it received.
// Thread safety: every public method may be called from any thread while it runs.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tapir::boxsim {

// Misbehaviours that tests switch on to see how a client copes.
enum class Fault : std::uint8_t {
    RefusePassword,     // every PASS is answered "530 Login incorrect."
    Nlst550,            // a listing that matches nothing is answered 550 instead of an empty list
    CloseDataEarly,     // RETR/STOR stop half-way, close the data connection, reply 451
    Slow,               // every reply and every piece of output is delayed by `slow_delay`
    SilentAfterAccept,  // FTP and telnet accept a connection and then never send anything
    StallData,          // a data connection is opened and then neither sent on nor read
    PasswordPrompt,     // telnet asks for the password after "root" (the FTP password)
    SplitPrompt,        // telnet sends its prompts a few bytes at a time
    NoPrompt,           // telnet shows no shell prompt after the login
    CutStor,            // STOR keeps the first 100 bytes, closes the data connection, 426+226
    CutStorInPlace,     // as CutStor, for the first STOR that overwrites an existing file
    NoRename,           // RNFR is refused as not implemented
    Port550,            // every PORT is answered 550
    HugeListing,        // NLST sends 200 000 names whatever the mask
};

struct Options {
    std::filesystem::path dir;      // served as /etc/enigma2
    std::uint16_t ftp_port = 0;     // 0 = any free port
    std::uint16_t telnet_port = 0;  // 0 = any free port
    std::string user = "root";
    std::string password = "dreambox";
    std::string prompt = "root@dm7025:~# ";  // shell prompt after login
    std::vector<Fault> faults;
    std::chrono::milliseconds slow_delay{200};
    // Receives one line per event (commands, replies, telnet lines, restarts); may be empty.
    // Called from the servers' threads, one call at a time.
    std::function<void(const std::string&)> log;

    [[nodiscard]] bool Has(Fault fault) const;
    // The receiver's host name, taken from the prompt ("root@NAME:..."); "dm7025" when the
    // prompt names none. Shown in the login prompt and the FTP greeting.
    [[nodiscard]] std::string HostName() const;
};

// One completed STOR: the name as the client sent it (or, once renamed, the name it was
// renamed to) and the bytes received.
struct ReceivedFile {
    std::string name;
    std::string content;
};

// What the servers have seen so far, shared by all sessions.
class Recorder {
  public:
    explicit Recorder(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    void Log(const std::string& line);
    void AddFtpCommand(const std::string& command);
    void AddReceivedFile(ReceivedFile file);
    // The latest received file stored as `from` (compared by file name) now is `to`.
    void RenameReceivedFile(const std::string& from, const std::string& to);
    void AddTelnetLine(const std::string& line);
    void AddNegotiation(const std::string& text);
    void SetTerminalType(const std::string& type);
    void AddRestart();
    // Counts one more STOR over an existing file; returns how many there were so far.
    int CountStorInPlace();

    std::vector<std::string> FtpCommands() const;
    std::vector<ReceivedFile> ReceivedFiles() const;
    std::vector<std::string> TelnetLines() const;
    std::vector<std::string> Negotiation() const;
    std::optional<std::string> TerminalType() const;
    int RestartCount() const;

    // Wait until the count is reached or the timeout passes; return whether it was reached.
    bool WaitForTelnetLines(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForRestarts(int count, std::chrono::milliseconds timeout) const;
    bool WaitForReceivedFiles(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    std::function<void(const std::string&)> log_;
    mutable std::mutex mutex_;  // guards everything below and serialises log_ calls
    mutable std::condition_variable changed_;
    std::vector<std::string> ftp_commands_;
    std::vector<ReceivedFile> received_files_;
    std::vector<std::string> telnet_lines_;
    std::vector<std::string> negotiation_;
    std::optional<std::string> terminal_type_;
    int restarts_ = 0;
    int stors_in_place_ = 0;
};

class BoxSimulator {
  public:
    explicit BoxSimulator(Options options);
    BoxSimulator(const BoxSimulator&) = delete;
    BoxSimulator& operator=(const BoxSimulator&) = delete;
    ~BoxSimulator();  // stops the servers

    // Binds both listening sockets on 127.0.0.1 and starts serving.
    // Throws ESimulatorError when a port cannot be bound or the directory is missing.
    // Requires: not started yet.
    void Start();
    // Stops accepting, ends every session and joins all threads. Idempotent.
    void Stop();

    // The ports actually bound. Requires: Start() succeeded.
    [[nodiscard]] std::uint16_t FtpPort() const;
    [[nodiscard]] std::uint16_t TelnetPort() const;

    // Commands received on FTP control connections, in order, as sent (PASS text hidden).
    [[nodiscard]] std::vector<std::string> FtpCommands() const;
    // Completed uploads in the order they completed.
    [[nodiscard]] std::vector<ReceivedFile> ReceivedFiles() const;
    // Every line typed on a telnet connection (login names and shell commands), in order.
    [[nodiscard]] std::vector<std::string> TelnetLines() const;
    // Option commands received from telnet clients, e.g. "WILL 24", "DO 1", "SB 24 IS dumb".
    [[nodiscard]] std::vector<std::string> TelnetNegotiation() const;
    // The terminal type the last telnet client reported, if any.
    [[nodiscard]] std::optional<std::string> TerminalType() const;
    // How many "killall -9 enigma2" found the receiver's software running.
    [[nodiscard]] int RestartCount() const;

    // Wait helpers for tests whose client runs asynchronously; return whether reached.
    bool WaitForTelnetLines(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForRestarts(int count, std::chrono::milliseconds timeout) const;
    bool WaitForReceivedFiles(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tapir::boxsim
